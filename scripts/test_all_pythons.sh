#!/usr/bin/env bash
# Builds the module and runs the whole test suite on every supported CPython found here.
#
#   scripts/test_all_pythons.sh [pytest args...]
#
# For each of CPython 3.10, 3.11, 3.12 and 3.13 found (see find_python in _common.sh), in a
# fresh virtual environment: installs the checkout with its `test` extra, compiling with
# warnings as errors and verbosely, and fails on any compiler, linker or CMake warning in the
# log; then runs the tests from an empty directory outside the checkout, so that the installed
# module is the one imported; any test failure or Python warning that pytest reports fails it.
# Prints a summary per version (with the C-API route its build took) and exits non-zero if a
# required version is missing or any version found fails.
#
# Environment:
#   PYTHONS                     versions to try (default "3.10 3.11 3.12 3.13")
#   REQUIRED_PYTHONS            versions that must be present, among those tried (default "3.11")
#   PYTHON_3_X                  interpreter to use for 3.X instead of looking for one
#   NATIVE_EXTENSIONS_BUILD_DIR scratch directory (default ${TMPDIR:-/tmp}/native_extensions-build)
#   PYTEST_TIMEOUT              seconds allowed for one version's test run (default 600)
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_common.sh"
check_build_root

select_pythons "3.10 3.11 3.12 3.13"
WORK=$BUILD_ROOT/pythons
mkdir -p "$WORK/logs"

declare -A RESULT DETAIL CAPI
failed=0 tested=0
total_passed=0 total_failed=0 total_skipped=0
start_all=$(date +%s)

# Adds the counts from pytest's closing line ("== 3 failed, 40 passed, 2 skipped in 1.2s ==").
count_tests() {
    local line=$1 n word
    for word in passed failed error errors skipped; do
        n=$(grep -oE "[0-9]+ $word\b" <<<"$line" | awk '{s += $1} END {print s + 0}')
        case $word in
        passed) total_passed=$((total_passed + n)) ;;
        failed | error | errors) total_failed=$((total_failed + n)) ;;
        skipped) total_skipped=$((total_skipped + n)) ;;
        esac
    done
}

run_version() {
    local v=$1 python=$2 t0 venv log run so
    shift 2
    t0=$(date +%s)
    venv=$WORK/venv-$v
    run=$WORK/run-$v
    log=$WORK/logs/$v-install.log

    echo "== $v: $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
    fresh_venv "$python" "$venv" || { RESULT[$v]=FAIL; DETAIL[$v]="venv creation failed"; return 1; }

    # -v makes pip show the build's output; build.verbose makes it list each compiler command.
    # (--config-settings, not -C: the pip bundled with 3.10 predates the short form.)
    if ! "$venv/bin/python" -m pip install -v \
        --config-settings=cmake.define.NATIVE_EXTENSIONS_WERROR=ON \
        --config-settings=build.verbose=true \
        "${REPO}[test]" >"$log" 2>&1; then
        grep -E '(error|warning):' "$log" | head -n 20
        tail -n 8 "$log"
        echo "   (full log: $log)"
        RESULT[$v]=FAIL; DETAIL[$v]="build/install failed ($(elapsed "$t0"))"
        return 1
    fi
    local flags
    if ! flags=$(compiler_flags_checked "$log"); then
        echo "$flags"
        RESULT[$v]=FAIL; DETAIL[$v]="compiler flags not as expected"
        return 1
    fi
    echo "   build: $flags"
    if ! no_build_warnings "$log"; then
        RESULT[$v]=FAIL; DETAIL[$v]="build printed warnings (log: $log)"
        return 1
    fi
    echo "   build: no compiler, linker or CMake warnings"

    # An empty directory outside the checkout: only the installed module can be imported.
    rm -rf "$run" && mkdir -p "$run"
    local where
    where=$(cd "$run" && env -u PYTHONPATH "$venv/bin/python" -c '
import os, sys, sysconfig, native_extensions
path = os.path.realpath(native_extensions.__file__)
site = os.path.realpath(sysconfig.get_paths()["platlib"])
stub = os.path.join(os.path.dirname(path), "native_extensions.pyi")
if os.path.dirname(path) != site:
    sys.exit("imported from %s, not from %s" % (path, site))
if not os.path.isfile(stub):
    sys.exit("no stub beside " + path)
print(path)') || {
        echo "   $where"
        RESULT[$v]=FAIL; DETAIL[$v]="installed module not importable"
        return 1
    }
    so=$where
    CAPI[$v]=$(capi_path "$so")
    echo "   module: $so"
    echo "   C API: ${CAPI[$v]}"

    local out=$WORK/logs/$v-pytest.log rc
    (cd "$run" && env -u PYTHONPATH timeout "${PYTEST_TIMEOUT:-600}" \
        "$venv/bin/python" -m pytest -p no:cacheprovider "$REPO/tests" "$@") 2>&1 | tee "$out"
    rc=${PIPESTATUS[0]}
    local closing
    closing=$(grep -E '^=+ .* in [0-9.]+s' "$out" | tail -n 1 | sed -E 's/^=+ //; s/ =+$//')
    count_tests "$closing"
    # Python warnings (DeprecationWarning included) raised while testing fail the run as well.
    if [ "$rc" -eq 0 ] && grep -q 'warnings summary' "$out"; then
        rc=1
        closing+=" (the run printed Python warnings)"
    fi
    case $rc in
    0) RESULT[$v]=ok; DETAIL[$v]="$closing" ;;
    5) RESULT[$v]=FAIL; DETAIL[$v]="no tests ran" ;;
    124) RESULT[$v]=FAIL; DETAIL[$v]="tests timed out after ${PYTEST_TIMEOUT:-600}s" ;;
    *) RESULT[$v]=FAIL; DETAIL[$v]="pytest exit $rc: $closing" ;;
    esac
    DETAIL[$v]+=" [$(elapsed "$t0") total]"
    [ "$rc" -eq 0 ]
}

for v in $PYTHONS; do
    python=$(find_python "$v")
    if [ -z "$python" ]; then
        if [[ " $REQUIRED_PYTHONS " == *" $v "* ]]; then
            RESULT[$v]=FAIL; DETAIL[$v]="required interpreter not found"; failed=1
        else
            RESULT[$v]=skip; DETAIL[$v]="not found on this machine"
        fi
        echo "== $v: ${DETAIL[$v]}"
        continue
    fi
    tested=$((tested + 1))
    run_version "$v" "$python" "$@" || failed=1
done
if [ "$tested" -eq 0 ]; then
    echo "== none of the interpreters asked for ($PYTHONS) was found"
    failed=1
fi

echo
echo "== Summary (scratch: $WORK, $(elapsed "$start_all") in all)"
for v in $PYTHONS; do
    printf '  %-5s %-4s %s\n' "$v" "${RESULT[$v]}" "${DETAIL[$v]}"
    [ -n "${CAPI[$v]:-}" ] && printf '        C API: %s\n' "${CAPI[$v]}"
done
echo "all-pythons: $total_passed passed, $total_failed failed, $total_skipped skipped"
exit $failed
