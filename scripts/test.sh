#!/usr/bin/env bash
# Builds and installs clipweave for every supported CPython found (3.10 and
# 3.11 always, 3.12 and 3.13 where pyenv has them), then runs the whole test
# suite against each installed copy. Extra arguments go to pytest.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh || exit 1
mapfile -t envs < .venv/envs
status=0
for v in "${envs[@]}"; do
    echo "== tests on $(.venv/$v/bin/python -c 'import platform; print(platform.python_version())') ==" >&2
    # Run from tests/ so that the installed package, not the source tree, is imported.
    (cd tests && ../.venv/$v/bin/python -m pytest -q "$@") || status=1
done
exit $status
