#!/usr/bin/env bash
# Runs the whole test suite against an AddressSanitizer + UndefinedBehaviorSanitizer build of the
# module, on each CPython version found (3.11 required), and fails on any sanitizer report.
#
#   scripts/check_sanitizers.sh [pytest args...]
#
# The interpreter itself is not instrumented, so the sanitizer runtimes that the module links
# (gcc's libasan and libubsan) are preloaded into it, and PYTHONMALLOC=malloc sends every Python
# object through the sanitized malloc, so that objects get red zones and freed ones quarantine.
# Tests start subprocesses with the inherited environment, so they run sanitized too. Reports are
# written to files (log_path) rather than stderr, so a report from a subprocess whose output a
# test swallows is still seen: any file in the log directory fails the check. Before the suite,
# a planted heap overflow and a planted signed overflow must each produce a report, so that a
# silent run means something.
#
# Environment:
#   PYTHONS                     versions to try (default "3.10 3.11 3.12 3.13")
#   REQUIRED_PYTHONS            versions that must be present (default "3.11")
#   NATIVE_EXTENSIONS_BUILD_DIR scratch directory (default ${TMPDIR:-/tmp}/native_extensions-build)
#   PYTEST_TIMEOUT              seconds allowed for one version's test run (default 600)
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_common.sh"
check_build_root

select_pythons "3.10 3.11 3.12 3.13"
WORK=$BUILD_ROOT/sanitize
rm -rf "$WORK"
mkdir -p "$WORK"
t_all=$(date +%s)
failed=0
declare -A RESULT

# sanitized_env LOGDIR PRELOAD COMMAND...: runs COMMAND with the sanitizer runtimes preloaded.
# detect_leaks=0: the interpreter does not free everything at exit, by design.
sanitized_env() {
    local logs=$1 preload=$2
    shift 2
    env LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:log_path=$logs/asan" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
        SANITIZER_UBSAN_RUNTIME="${preload#* }" SANITIZER_UBSAN_REPORT_PATH="$logs/ubsan" \
        "$@"
}

# gcc's UBSan runtime ignores UBSAN_OPTIONS=log_path when the ASan runtime is loaded before it:
# its call to __sanitizer_set_report_path binds to ASan's copy of that function, so its reports
# would go to stderr, where a test that captures a subprocess's output could swallow them. This
# start-up line, run by every interpreter of the scratch environment, sets the report path in the
# UBSan runtime's own copy (dlsym on its handle finds its own definition first).
install_ubsan_report_path() {
    # (A sub-interpreter that cannot load ctypes skips it: the path is set for the process.)
    cat >"$1/zz_ubsan_report_path.pth" <<'EOF'
import os; _p = os.environ.get("SANITIZER_UBSAN_REPORT_PATH"); _r = os.environ.get("SANITIZER_UBSAN_RUNTIME"); exec("try:\n    _p and _r and __import__('ctypes').CDLL(_r).__sanitizer_set_report_path(_p.encode())\nexcept ImportError:\n    pass")
EOF
}

# Prints the reports in directory $1 (if any) and succeeds only if there are none.
no_reports() {
    local files
    files=$(find "$1" -type f 2>/dev/null | sort)
    [ -z "$files" ] && return 0
    local f
    for f in $files; do
        echo "---- $f"
        head -n 60 "$f"
    done
    return 1
}

# Planted faults, compiled with the module's sanitizer flags: each must be reported.
self_test() {
    local v=$1 python=$2 preload=$3 dir=$WORK/selftest-$v
    mkdir -p "$dir"
    cat >"$dir/planted.c" <<'EOF'
#include <stdlib.h>
int planted_heap_overflow(int n) {
    volatile char* p = malloc(n);
    p[n] = 1;
    int r = p[0];
    free((void*)p);
    return r;
}
int planted_signed_overflow(int x) { return x + 1; }
EOF
    gcc -shared -fPIC -g -fsanitize=address,undefined -fno-sanitize-recover=all \
        -o "$dir/planted.so" "$dir/planted.c" || return 1
    local call ok=0
    for call in "planted_heap_overflow(16)" "planted_signed_overflow(2**31 - 1)"; do
        rm -rf "$dir/logs" && mkdir -p "$dir/logs"
        sanitized_env "$dir/logs" "$preload" "$python" -c \
            "import ctypes; ctypes.CDLL('$dir/planted.so').$call" >/dev/null 2>&1
        if grep -qsE 'ERROR: AddressSanitizer|runtime error:' "$dir"/logs/*; then
            echo "   self-test: $call reported ($(grep -hoE 'AddressSanitizer: [a-z-]+|runtime error: [a-z ]+' "$dir"/logs/* | head -n 1))"
        else
            echo "   self-test: $call NOT reported"
            ok=1
        fi
    done
    return $ok
}

run_version() {
    local v=$1 python=$2 t0 venv log so preload logs out rc
    shift 2
    t0=$(date +%s)
    venv=$WORK/venv-$v
    log=$WORK/$v-install.log
    logs=$WORK/reports-$v
    echo "== $v: $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
    fresh_venv "$python" "$venv" || { RESULT[$v]="FAIL venv creation failed"; return 1; }
    # RelWithDebInfo: optimised as shipped, with line numbers in the reports.
    if ! "$venv/bin/python" -m pip install -v \
        --config-settings=cmake.define.NATIVE_EXTENSIONS_SANITIZE=address,undefined \
        --config-settings=cmake.build-type=RelWithDebInfo \
        --config-settings=build.verbose=true \
        "$REPO[test]" >"$log" 2>&1; then
        tail -n 20 "$log"
        RESULT[$v]="FAIL build/install failed (log: $log)"
        return 1
    fi
    local compiles
    compiles=$(grep -E -- ' -c [^ ]*\.cpp' "$log" || true)
    if [ -z "$compiles" ] || grep -qv -- '-fsanitize=address,undefined' <<<"$compiles"; then
        echo "   not every source was compiled with -fsanitize=address,undefined (log: $log)"
        RESULT[$v]="FAIL module not sanitized"
        return 1
    fi
    install_ubsan_report_path "$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
    so=$(cd "$WORK" && env -u PYTHONPATH "$venv/bin/python" -c \
        'import importlib.util; print(importlib.util.find_spec("native_extensions").origin)')
    # The very runtimes the module was linked with, ASan first.
    preload=$(ldd "$so" | awk '/libasan\.so/ {a = $3} /libubsan\.so/ {u = $3} END {print a, u}')
    if [ -z "${preload// /}" ] || ! ldd "$so" | grep -q libasan; then
        echo "   $so does not link the AddressSanitizer runtime"
        RESULT[$v]="FAIL module not sanitized"
        return 1
    fi
    echo "   module: $so"
    echo "   preload: $preload"
    self_test "$v" "$venv/bin/python" "$preload" || { RESULT[$v]="FAIL sanitizer self-test"; return 1; }

    mkdir -p "$logs" "$WORK/run-$v"
    out=$WORK/$v-pytest.log
    (cd "$WORK/run-$v" && sanitized_env "$logs" "$preload" env -u PYTHONPATH \
        timeout "${PYTEST_TIMEOUT:-600}" "$venv/bin/python" -m pytest -p no:cacheprovider -q \
        "$REPO/tests" "$@") >"$out" 2>&1
    rc=$?
    tail -n 3 "$out" | sed 's/^/   /'
    local closing
    closing=$(grep -E '^=*[ ]*[0-9]+ (passed|failed).* in [0-9.]+s' "$out" | tail -n 1 | sed -E 's/^=+ //; s/ =+$//')
    if ! no_reports "$logs"; then
        RESULT[$v]="FAIL sanitizer reports in $logs (pytest exit $rc) [$(elapsed "$t0")]"
        return 1
    fi
    if [ "$rc" -ne 0 ]; then
        RESULT[$v]="FAIL pytest exit $rc: $closing (log: $out) [$(elapsed "$t0")]"
        return 1
    fi
    RESULT[$v]="ok   $closing, no sanitizer reports [$(elapsed "$t0")]"
}

for v in $PYTHONS; do
    python=$(find_python "$v")
    if [ -z "$python" ]; then
        if [[ " $REQUIRED_PYTHONS " == *" $v "* ]]; then
            RESULT[$v]="FAIL required interpreter not found"
            failed=1
        else
            RESULT[$v]="skip not found on this machine"
        fi
        continue
    fi
    run_version "$v" "$python" "$@" || failed=1
done

finish_checks check_sanitizers
