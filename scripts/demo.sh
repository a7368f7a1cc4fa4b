#!/usr/bin/env bash
# Sets up and builds clipweave for CPython 3.10, then runs "clipweave demo":
# a narrated recap made offline from a test-pattern video, through local
# stand-ins of the download service and of the speech service (which speaks
# with flite), rendered by the studio with captions. Results go to out/demo/
# (FINAL_RECAP.mp4, FINAL_RECAP.srt, and the
# source video as sample.mp4 for a first real run). Extra arguments go to
# "clipweave demo" (e.g. --speed 2 --seconds 30, --classic).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh py310
# The console script, not "python -m", so that the installed package is
# imported rather than the unbuilt source tree in the current directory.
exec .venv/py310/bin/clipweave demo --output-dir out/demo --overwrite "$@"
