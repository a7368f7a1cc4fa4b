#!/usr/bin/env bash
# Builds and installs clipweave for every supported CPython found (3.10 and
# 3.11 always, 3.12 and 3.13 where pyenv has them), then runs the test suite
# against each installed copy: all of it on the target, CPython 3.10; on the
# others, all but the tests marked heavy (renders and rebuilds, whose time is
# spent in ffmpeg and the compiler, not in the interpreter). CLIPWEAVE_ALL=1
# runs every test everywhere. Extra arguments go to pytest.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh || exit 1
mapfile -t envs < .venv/envs
status=0
for v in "${envs[@]}"; do
    echo "== tests on $(.venv/$v/bin/python -c 'import platform; print(platform.python_version())') ==" >&2
    select=()
    [ "$v" = py310 ] || [ -n "${CLIPWEAVE_ALL:-}" ] || select=(-m "not heavy")
    # Run from tests/ so that the installed package, not the source tree, is imported.
    (cd tests && ../.venv/$v/bin/python -m pytest -q "${select[@]}" "$@") || status=1
done
exit $status
