#!/usr/bin/env bash
# Sets up and builds clipweave for CPython 3.10, then makes a narrated recap
# offline: a test-pattern video and local stand-ins of the download and
# speech services (espeak-ng narration). Results go to out/demo/.
# Extra arguments go to "clipweave demo" (e.g. --speed 2 --seconds 30).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh py310
# The console script, not "python -m", so that the installed package is
# imported rather than the unbuilt source tree in the current directory.
exec .venv/py310/bin/clipweave demo --output-dir out/demo --overwrite "$@"
