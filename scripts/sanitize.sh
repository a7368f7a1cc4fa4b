#!/usr/bin/env bash
# Builds clipweave with AddressSanitizer and UndefinedBehaviorSanitizer (g++),
# installs it into its own virtual environment .venv/asan310 (CPython 3.10),
# and runs under it the tests that drive the C++ modules in the test process
# (marked "native" and not "heavy"; tests/conftest.py says why), stopping at
# the first failure. Extra arguments go to pytest after that selection (a -m
# of theirs replaces it).
#
# What fails the script: a test failure; an ASan or LSan report of any
# process, the Python children of the tests included (they are written to
# files, checked at the end); an UBSan report, which with ASan linked in
# always goes to standard error and ends the process at once (halt_on_error),
# so it fails the test process, or the test whose child it ends, and its text
# is looked for in the test run's output as well.
#
# Leaks: Python frees little at exit, so everything allocated through the
# interpreter's allocator is suppressed (scripts/lsan.supp); LeakSanitizer
# then reports what the module allocates itself (new, malloc). Leaked Python
# objects are tests/test_leaks.py's business.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

die() { echo "sanitize: $*" >&2; exit 1; }

bash scripts/setup.sh >/dev/null || die "setup failed"

venv=.venv/asan310
asan=$(g++ -print-file-name=libasan.so)
[ -f "$asan" ] || die "libasan.so not found (g++ -print-file-name=libasan.so)"
# The interpreter is C: unless libstdc++ is loaded from the start, ASan
# cannot find the real __cxa_throw and aborts at the module's first throw.
cxx=$(readlink -f "$(g++ -print-file-name=libstdc++.so)")
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -g -O1 -UNDEBUG"

# The same interpreter as .venv/py310, with Debian's pure-Python packages behind it.
if [ ! -x "$venv/bin/python3.10-real" ]; then
    rm -rf "$venv"
    base=$(readlink -f .venv/py310/bin/python3.10)
    "$base" -m venv "$venv" || die "could not make $venv"
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    cp .venv/py310/lib/python3.10/site-packages/zz-debian-dist-packages.pth "$site/"
    # bin/python* become wrappers: the ASan runtime has to be the first
    # library of a process that loads the instrumented module, so a wrapper
    # preloads it, for the test process and for every Python child it runs
    # through sys.executable (which, by exec -a, is the wrapper itself).
    mv "$venv/bin/python3.10" "$venv/bin/python3.10-real"
    for name in python python3 python3.10; do
        rm -f "$venv/bin/$name"
        cat > "$venv/bin/$name" <<'EOF'
#!/bin/bash
here=$(dirname "$0")
if [ -n "${CLIPWEAVE_ASAN_PRELOAD:-}" ]; then
    LD_PRELOAD="$CLIPWEAVE_ASAN_PRELOAD${LD_PRELOAD:+ $LD_PRELOAD}"
    export LD_PRELOAD
fi
exec -a "$0" "$here/python3.10-real" "$@"
EOF
        chmod +x "$venv/bin/$name"
    done
    # Other programs (ffmpeg, wget, espeak-ng) must not run with the runtime
    # preloaded: it would check them for leaks and fail them.
    cat > "$site/sitecustomize.py" <<'EOF'
import os
os.environ.pop("LD_PRELOAD", None)
EOF
fi
"$venv/bin/python" -c 'import requests, pytest, hypothesis' 2>/dev/null \
    || die "$venv cannot import requests, pytest and hypothesis"

# Built in the checkout like the ordinary install: setup.py keeps objects
# compiled with other flags apart and links a module again when its link
# changed, so the two builds share nothing but the sources.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
echo "sanitize: building with $flags" >&2
CLIPWEAVE_EXTRA_CFLAGS="$flags" CLIPWEAVE_EXTRA_LDFLAGS="-fsanitize=address,undefined" \
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-index --force-reinstall \
    --no-deps --disable-pip-version-check . || die "build failed"

so=$(cd tests && "../$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("clipweave.clipweave").origin)')
case "$(ldd "$so")" in *libasan*) ;; *) die "$so is not instrumented" ;; esac

export CLIPWEAVE_ASAN_PRELOAD="$asan $cxx"
export PYTHONMALLOC=malloc
export CLIPWEAVE_SANITIZER_RUN=1  # the tests shorten their long loops
export ASAN_OPTIONS="detect_leaks=1:log_path=$logs/asan:check_initialization_order=1:strict_string_checks=1:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"

args=(-x -m "native and not heavy" "$@")
start=$(date +%s)
(cd tests && ../$venv/bin/python -m pytest -q -p no:cacheprovider "${args[@]}") 2>&1 \
    | tee "$logs/pytest.out"
status=${PIPESTATUS[0]}
echo "sanitize: tests finished in $(( $(date +%s) - start )) s with status $status" >&2

reports=$(find "$logs" -type f -size +0c ! -name pytest.out | sort)
if grep -qE "runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)" "$logs/pytest.out"; then
    die "sanitizer report in the test output (above)"
fi
if [ -n "$reports" ]; then
    for r in $reports; do
        echo "sanitize: report $r" >&2
        cat "$r" >&2
    done
    die "sanitizer reports found"
fi
[ "$status" = 0 ] || die "tests failed under the sanitizers"
echo "sanitize: no sanitizer reports" >&2
