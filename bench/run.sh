#!/usr/bin/env bash
# Builds and installs clipweave for every supported interpreter, runs the
# benchmarks on CPython 3.10 and prints their table, then the call-overhead
# rows once more on each other interpreter. --no-install measures what is
# installed already; other arguments go to bench.py (--quick, --cache DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
install=1
args=()
for arg in "$@"; do
    if [[ $arg == --no-install ]]; then install=0; else args+=("$arg"); fi
done
if ((install)); then
    bash scripts/install.sh >&2
fi
.venv/py310/bin/python bench/bench.py "${args[@]+"${args[@]}"}"
.venv/py310/bin/python bench/voices.py "${args[@]+"${args[@]}"}"
quick=()
for arg in "${args[@]+"${args[@]}"}"; do [[ $arg == --quick ]] && quick=(--quick); done
.venv/py310/bin/python bench/align.py "${quick[@]+"${quick[@]}"}"
.venv/py310/bin/python bench/batch.py "${quick[@]+"${quick[@]}"}"
.venv/py310/bin/python bench/follow.py "${args[@]+"${args[@]}"}"
.venv/py310/bin/python bench/edit.py "${args[@]+"${args[@]}"}"
while read -r v; do
    [ "$v" = py310 ] && continue
    .venv/$v/bin/python bench/bench.py --calls-only "${args[@]+"${args[@]}"}"
done < .venv/envs
