#!/usr/bin/env bash
# Runs the test suite against installed builds of clipweave (from inside
# tests/, so that the installed package is imported, not the source tree).
#
#   bash scripts/test.sh [PYTEST ARGS]
#       The target, CPython 3.10: sets up, builds and installs it, and runs
#       every test.
#   bash scripts/test.sh --all [PYTEST ARGS]
#       What CI runs: the above, then, for each other interpreter setup.sh
#       found (3.11; 3.12 and 3.13 where pyenv has them), a build of its own
#       and the tests marked "interpreter"; then scripts/sanitize.sh (the
#       tests marked "native" and not "heavy", under AddressSanitizer and
#       UndefinedBehaviorSanitizer). Which test runs where, and why, is
#       written in tests/conftest.py.
#
# Extra arguments go to every pytest run (e.g. -x, -k binding; -n 0 for one
# process). The runs go on after a failure; the status is 1 if any failed.
#
# Each run spreads its tests over CLIPWEAVE_TEST_WORKERS processes (3 by
# default; pytest-xdist): the tests wait much of their time on ffmpeg, the
# speech engines, children and loopback servers, so one process leaves the
# processors idle. A file's tests stay in one process (--dist loadscope), so
# its shared media are made once. The tests make their files, ports and
# servers their own, so they run side by side.
set -uo pipefail
cd "$(dirname "$0")/.."

all=
if [ "${1:-}" = "--all" ]; then all=1; shift; fi

elapsed() { echo "test: $1 took $(( $(date +%s) - $2 )) s" >&2; }

start=$(date +%s)
if [ -n "$all" ]; then bash scripts/install.sh || exit 1; else bash scripts/install.sh py310 || exit 1; fi
elapsed "setting up and building" "$start"
mapfile -t envs < .venv/envs
parallel=(-n "${CLIPWEAVE_TEST_WORKERS:-3}" --dist loadscope)
status=0
for v in "${envs[@]}"; do
    [ -n "$all" ] || [ "$v" = py310 ] || continue
    select=()
    [ "$v" = py310 ] || select=(-m interpreter)
    start=$(date +%s)
    echo "== tests on $(.venv/$v/bin/python -c 'import platform; print(platform.python_version())') ${select[*]} ==" >&2
    (cd tests && ../.venv/$v/bin/python -m pytest -q "${parallel[@]}" "${select[@]}" "$@") || status=1
    elapsed "the tests on $v" "$start"
done
if [ -n "$all" ]; then
    start=$(date +%s)
    bash scripts/sanitize.sh "${parallel[@]}" "$@" || status=1
    elapsed "the sanitizer build and run" "$start"
fi
exit $status
