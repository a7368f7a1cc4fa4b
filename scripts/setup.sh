#!/usr/bin/env bash
# Prepares a Debian 12 machine for clipweave: installs the Debian packages it
# needs (only when one is missing), finds CPython 3.10 (pyenv) and Debian's
# CPython 3.11, and makes one virtual environment for each under .venv/.
# Idempotent and non-interactive. Prints the two interpreters' paths.
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "setup: $*" >&2; exit 1; }

PACKAGES=(
    g++ make ffmpeg wget espeak-ng sox
    python3 python3-dev python3-venv python3-pip python3-setuptools python3-wheel
    python3-requests python3-pytest python3-hypothesis
    python3-exceptiongroup python3-tomli
)
DIST_PACKAGES=/usr/lib/python3/dist-packages

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    command -v apt-get >/dev/null || die "apt-get not found; this script expects Debian 12"
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    echo "setup: installing ${missing[*]}" >&2
    $sudo apt-get update -qq >/dev/null || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null || die "apt-get install failed for: ${missing[*]}"
fi

find_python310() {
    local root="${PYENV_ROOT:-$HOME/.pyenv}" v
    if [ -n "${CLIPWEAVE_PYTHON310:-}" ]; then echo "$CLIPWEAVE_PYTHON310"; return; fi
    if command -v pyenv >/dev/null; then
        v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.10\.[0-9]+$' | sort -V | tail -n 1)
        if [ -n "$v" ]; then echo "$(pyenv prefix "$v")/bin/python3.10"; return; fi
    fi
    ls -d "$root"/versions/3.10.*/bin/python3.10 2>/dev/null | sort -V | tail -n 1
}

PY310=$(find_python310)
[ -n "$PY310" ] && [ -x "$PY310" ] || die "CPython 3.10 not found (install it with pyenv, or set CLIPWEAVE_PYTHON310)"
PY311=/usr/bin/python3.11
[ -x "$PY311" ] || die "Debian's CPython 3.11 not found at $PY311"

# 3.10 gets Debian's pure-Python packages (requests, pytest, ...) behind its own.
if [ ! -x .venv/py310/bin/python ]; then
    "$PY310" -m venv .venv/py310 || die "could not make a virtual environment with $PY310"
fi
site=$(.venv/py310/bin/python -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
echo "$DIST_PACKAGES" > "$site/debian-dist-packages.pth"

if [ ! -x .venv/py311/bin/python ]; then
    "$PY311" -m venv --system-site-packages .venv/py311 || die "could not make a virtual environment with $PY311"
fi

for v in py310 py311; do
    .venv/$v/bin/python -c 'import requests, pytest, hypothesis' 2>/dev/null \
        || die ".venv/$v cannot import requests, pytest and hypothesis"
done
for tool in ffmpeg wget espeak-ng; do
    command -v "$tool" >/dev/null || die "$tool is not on the search path"
done
