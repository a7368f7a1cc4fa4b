#!/usr/bin/env bash
# Sets up and builds clipweave for CPython 3.10, then makes a narrated recap
# offline: a test-pattern video and local stand-ins of the download and
# speech services (flite narration). Results go to out/demo/, with the
# source video kept as out/demo/sample.mp4 for a first real run.
# Extra arguments go to "clipweave demo" (e.g. --speed 2 --seconds 30).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh py310
# The console script, not "python -m", so that the installed package is
# imported rather than the unbuilt source tree in the current directory.
exec .venv/py310/bin/clipweave demo --output-dir out/demo --overwrite "$@"
