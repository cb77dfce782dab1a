#!/usr/bin/env bash
# Reference-leak check on Debian's debug interpreter (python3.11-dbg, which has
# sys.gettotalrefcount): builds the module against that interpreter's own headers and runs
# scripts/leakcheck.py, which requires zero growth of the total reference count and of the
# allocated memory blocks over repeated runs of every path; then scripts/leakcheck_mutants.py,
# which shows that the check catches planted reference-counting (and behaviour) mistakes.
#
#   scripts/check_leaks.sh [--no-mutants] [leakcheck.py args...]     e.g. -k fork, --runs 5
#
# Installs python3.11-dbg (and libpython3.11-dev) with apt-get when missing (as root). Environment:
#   PYTHON_DBG                  debug interpreter (default python3.11-dbg)
#   NATIVE_EXTENSIONS_BUILD_DIR scratch directory (default ${TMPDIR:-/tmp}/native_extensions-build)
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_common.sh"
check_build_root

PYTHON_DBG=${PYTHON_DBG:-python3.11-dbg}
WORK=$BUILD_ROOT/leaks
mutants=1
if [ "${1:-}" = "--no-mutants" ]; then
    mutants=0
    shift
fi
t0=$(date +%s)

# The debug interpreter and its headers (Debian's python3.11d include directory links into the
# release one, which libpython3.11-dev provides).
headers_present() {
    "$PYTHON_DBG" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null
}
if ! command -v "$PYTHON_DBG" >/dev/null 2>&1 || ! headers_present; then
    if [ "$PYTHON_DBG" = python3.11-dbg ] && command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
        echo "== Installing python3.11-dbg"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >/dev/null
        apt-get install -y -qq python3.11-dbg libpython3.11-dev >/dev/null
    fi
    if ! command -v "$PYTHON_DBG" >/dev/null 2>&1 || ! headers_present; then
        echo "error: $PYTHON_DBG or its headers not found (Debian: apt-get install python3.11-dbg libpython3.11-dev)" >&2
        exit 2
    fi
fi
PYTHON_DBG=$(command -v "$PYTHON_DBG")
"$PYTHON_DBG" -c 'import sys; sys.gettotalrefcount' 2>/dev/null || {
    echo "error: $PYTHON_DBG is not a debug build (no sys.gettotalrefcount)" >&2
    exit 2
}

# The module, built against the debug interpreter's headers. The interpreter's include directory
# must be given with -I, not -isystem: Debian's python3.11d directory is symbolic links into the
# release one, and for a system directory gcc follows them and takes the release pyconfig.h,
# which yields a module whose Py_INCREF/Py_DECREF the total reference count never sees.
rm -rf "$WORK"
mkdir -p "$WORK/build"
echo "== Building the module for $PYTHON_DBG ($("$PYTHON_DBG" -c 'import sys; print(sys.version.split()[0])'))"
if command -v cmake >/dev/null 2>&1 && cmake --version >/dev/null 2>&1; then
    cmake -S "$REPO" -B "$WORK/build" -DPython_EXECUTABLE="$PYTHON_DBG" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON >"$WORK/build.log" 2>&1 &&
        cmake --build "$WORK/build" >>"$WORK/build.log" 2>&1 || {
        cat "$WORK/build.log"
        exit 1
    }
else
    suffix=$("$PYTHON_DBG" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    include=$("$PYTHON_DBG" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    g++ -std=c++17 -shared -fPIC -g -fvisibility=hidden -fvisibility-inlines-hidden -Wall -Wextra \
        -fno-exceptions -fno-rtti -I"$include" "$REPO"/src/*.cpp \
        -o "$WORK/build/native_extensions$suffix"
fi

# From a directory outside the checkout, so that only the build directory provides the module.
status=0
cd "$WORK"
echo "== Leak check"
PYTHONPATH=$WORK/build "$PYTHON_DBG" "$REPO/scripts/leakcheck.py" "$@" || status=1
if [ "$mutants" = 1 ]; then
    echo "== Planted leaks must be caught"
    "$PYTHON_DBG" "$REPO/scripts/leakcheck_mutants.py" || status=1
fi
echo "check_leaks: $([ "$status" = 0 ] && echo passed || echo FAILED) ($(elapsed "$t0"))"
exit "$status"
