#!/usr/bin/env bash
# Builds and installs clipweave into .venv/py310, then runs the benchmarks
# and prints their table. --no-install measures what is installed already;
# other arguments go to bench.py (--quick, --cache DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
install=1
args=()
for arg in "$@"; do
    if [[ $arg == --no-install ]]; then install=0; else args+=("$arg"); fi
done
if ((install)); then
    bash scripts/install.sh py310 >&2
fi
exec .venv/py310/bin/python bench/bench.py "${args[@]+"${args[@]}"}"
