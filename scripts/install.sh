#!/usr/bin/env bash
# Builds clipweave and installs it, offline, into the virtual environments
# made by setup.sh (both by default, or those named: py310 py311).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
envs=("$@")
((${#envs[@]})) || envs=(py310 py311)
for v in "${envs[@]}"; do
    echo "install: building and installing into .venv/$v" >&2
    .venv/$v/bin/python -m pip install -q --no-build-isolation --no-index . \
        || { echo "install: pip install failed for .venv/$v" >&2; exit 1; }
done
