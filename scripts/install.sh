#!/usr/bin/env bash
# Builds clipweave and installs it, offline, into the virtual environments
# made by setup.sh: every one it made (.venv/envs), or those named (py310 ...).
# One build per interpreter, into its own environment; setup.py compiles only
# what changed since that interpreter's last build, and the sources that do
# not depend on the interpreter once for all of them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
envs=("$@")
((${#envs[@]})) || mapfile -t envs < .venv/envs
# setuptools copies the package into build/lib and never removes from there,
# so a module deleted from the source would be installed again.
find build -path 'build/lib*' -type f ! -name '*.so' -delete 2>/dev/null || true
for v in "${envs[@]}"; do
    [ -x ".venv/$v/bin/python" ] || { echo "install: no .venv/$v (see scripts/setup.sh)" >&2; exit 1; }
    echo "install: building and installing into .venv/$v" >&2
    .venv/$v/bin/python -m pip install -q --no-build-isolation --no-index --disable-pip-version-check . \
        || { echo "install: pip install failed for .venv/$v" >&2; exit 1; }
done
