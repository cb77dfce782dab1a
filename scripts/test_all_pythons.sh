#!/usr/bin/env bash
# Builds the module and runs the whole test suite on every supported CPython found here.
#
#   scripts/test_all_pythons.sh [pytest args...]
#
# For each interpreter asked for, in a fresh virtual environment: installs the checkout with its
# `test` extra, compiling with warnings as errors and verbosely, and fails on any compiler,
# linker or CMake warning in the log; then runs the tests from an empty directory outside the
# checkout, so that the installed module is the one imported; any test failure or Python
# warning that pytest reports fails it. Prints a summary per interpreter (with the C-API route
# its build took) and exits non-zero if a required one is missing or any one found fails.
#
# Interpreters, by label:
#   3.10 3.11 3.12 3.13   CPython X.Y found here (see find_python in _common.sh: pyenv's), else
#   3.14 3.15             the Debian sid chroot's pythonX.Y
#   3.13-sid              the sid chroot's python3.13 (sid's newest 3.13 release)
#   3.13t (3.14t 3.15t)   a free-threaded build; the suite runs twice, as rows "3.13t" (the
#                         interpreter's default) and "3.13t-nogil" (PYTHON_GIL=0, which the
#                         tests' subprocesses inherit); "3.13t-nogil" alone runs only the second
#   3.13t-tsan            the free-threaded build with ThreadSanitizer; the module is built by
#                         clang with -fsanitize=thread and run with PYTHON_GIL=0; a report fails it
#                         (races that CPython's own suppression list names are not reported)
# For the sid chroot's interpreters the virtual environment, the build and the tests run inside
# the chroot (see in_sid in _common.sh); the logs are checked here. Free-threaded builds install
# with --prefer-binary (the newest release of a dependency may have no wheel for them yet).
# Unless NATIVE_EXTENSIONS_PROVISION=0, scripts/provision_pythons.sh first provisions what the
# chroot and free-threaded labels need (once per machine: later runs find it cached); an
# interpreter that is still not there is skipped, unless it is required.
#
# Environment:
#   PYTHONS                     labels to try (default "3.10 3.11 3.12 3.13 3.13-sid 3.14 3.15 3.13t")
#   REQUIRED_PYTHONS            labels that must be present, among those tried (default "3.11")
#   PYTHON_3_X, PYTHON_3_XT     interpreter to use for 3.X, or for 3.Xt, instead of looking for one
#   NATIVE_EXTENSIONS_BUILD_DIR scratch directory (default ${TMPDIR:-/tmp}/native_extensions-build)
#   NATIVE_EXTENSIONS_CACHE     where provisioned interpreters live (default /var/cache/native_extensions)
#   NATIVE_EXTENSIONS_PROVISION 0: do not provision, use only what is there
#   PYTEST_TIMEOUT              seconds allowed for one test run (default 600; 3600 under
#                               ThreadSanitizer)
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_common.sh"
check_build_root

select_pythons "3.10 3.11 3.12 3.13 3.13-sid 3.14 3.15 3.13t"
WORK=$BUILD_ROOT/pythons
mkdir -p "$WORK/logs"

# The summary's rows: a free-threaded label runs twice.
ROWS=()
for v in $PYTHONS; do
    case $v in
    *.*t) ROWS+=("$v" "$v-nogil") ;;
    *) ROWS+=("$v") ;;
    esac
done

declare -A RESULT DETAIL CAPI INSTALLED
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

# Settings of LABEL's build and runs: R, the command prefix (in_sid for the chroot); PIP_EXTRA
# and RUN_ENV, extra pip arguments and environment.
settings() {
    local v=$1
    R=() PIP_EXTRA=() RUN_ENV=()
    [ "$KIND" = sid ] && R=(in_sid)
    case $v in
    *.*t | *.*t-*) PIP_EXTRA+=(--prefer-binary) ;;
    esac
    case $v in
    *t-tsan)
        PIP_EXTRA+=(--config-settings=cmake.define.NATIVE_EXTENSIONS_SANITIZE=thread)
        # The races known in the interpreter itself (from its sources) are not reported.
        local supp=${PY%/bin/*}/tsan-suppressions.txt
        [ -s "$supp" ] || supp=""
        RUN_ENV=(CC=clang CXX=clang++ PYTHON_GIL=0
            TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1${supp:+ suppressions=$supp} ${TSAN_OPTIONS:-}")
        ;;
    *.*t-nogil) RUN_ENV=(PYTHON_GIL=0) ;;
    *.*t) RUN_ENV=(-u PYTHON_GIL) ;;
    esac
}

# install_version LABEL: a fresh virtual environment with the checkout and its test extra built
# and installed; sets SO to the installed module.
install_version() {
    local v=$1 t0 venv log
    t0=$(date +%s)
    venv=$WORK/venv-$v
    log=$WORK/logs/$v-install.log
    settings "$v"

    echo "== $v: $PY${WHERE:+ $WHERE} ($("${R[@]}" env "${RUN_ENV[@]}" "$PY" -c 'import sys; print(sys.version.split()[0])'))"
    rm -rf "$venv"
    "${R[@]}" env "${RUN_ENV[@]}" "$PY" -m venv "$venv" || { DETAIL[$v]="venv creation failed"; return 1; }

    # -v makes pip show the build's output; build.verbose makes it list each compiler command.
    # (--config-settings, not -C: the pip bundled with 3.10 predates the short form.)
    if ! "${R[@]}" env "${RUN_ENV[@]}" "$venv/bin/python" -m pip install -v "${PIP_EXTRA[@]}" \
        --config-settings=cmake.define.NATIVE_EXTENSIONS_WERROR=ON \
        --config-settings=build.verbose=true \
        "${REPO}[test]" >"$log" 2>&1; then
        grep -E '(error|warning):' "$log" | head -n 20
        tail -n 8 "$log"
        echo "   (full log: $log)"
        DETAIL[$v]="build/install failed ($(elapsed "$t0"))"
        return 1
    fi
    local flags
    if ! flags=$(compiler_flags_checked "$log"); then
        echo "$flags"
        DETAIL[$v]="compiler flags not as expected"
        return 1
    fi
    echo "   build: $flags"
    if ! no_build_warnings "$log"; then
        DETAIL[$v]="build printed warnings (log: $log)"
        return 1
    fi
    echo "   build: no compiler, linker or CMake warnings"

    # An empty directory outside the checkout: only the installed module can be imported. (The
    # scratch directory has the same path inside the chroot.)
    local run=$WORK/run-$v where
    rm -rf "$run" && mkdir -p "$run"
    where=$(cd "$run" && "${R[@]}" env -u PYTHONPATH "${RUN_ENV[@]}" "$venv/bin/python" -c '
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
        DETAIL[$v]="installed module not importable"
        return 1
    }
    SO=$where
    echo "   module: $SO"
    echo "   build and install: $(elapsed "$t0")"
}

# test_version ROW [pytest args...]: runs the whole suite in the environment of ROW's label.
test_version() {
    local v=$1 key t0 timeout=${PYTEST_TIMEOUT:-600}
    shift
    t0=$(date +%s)
    key=${v%-nogil}
    settings "$v"
    case $v in
    *t-tsan) timeout=${PYTEST_TIMEOUT:-3600} ;;
    esac
    [ "$v" = "$key" ] || echo "== $v: $PY, ${RUN_ENV[*]}"

    local out=$WORK/logs/$v-pytest.log rc
    (cd "$WORK/run-$key" && "${R[@]}" env -u PYTHONPATH "${RUN_ENV[@]}" timeout "$timeout" \
        "$WORK/venv-$key/bin/python" -m pytest -p no:cacheprovider "$REPO/tests" "$@") 2>&1 | tee "$out"
    rc=${PIPESTATUS[0]}
    local closing
    closing=$(grep -E '^=+ .* in [0-9.]+s' "$out" | tail -n 1 | sed -E 's/^=+ //; s/ =+$//')
    count_tests "$closing"
    # Python warnings (DeprecationWarning included) raised while testing fail the run as well,
    # and so does a ThreadSanitizer report that did not stop it.
    if [ "$rc" -eq 0 ] && grep -q 'warnings summary' "$out"; then
        rc=1
        closing+=" (the run printed Python warnings)"
    fi
    if [ "$rc" -eq 0 ] && grep -q 'WARNING: ThreadSanitizer' "$out"; then
        rc=1
        closing+=" (ThreadSanitizer reports)"
    fi
    case $rc in
    0) RESULT[$v]=ok; DETAIL[$v]="$closing" ;;
    5) RESULT[$v]=FAIL; DETAIL[$v]="no tests ran" ;;
    124) RESULT[$v]=FAIL; DETAIL[$v]="tests timed out after ${timeout}s" ;;
    *) RESULT[$v]=FAIL; DETAIL[$v]="pytest exit $rc: $closing" ;;
    esac
    DETAIL[$v]+=" [$(elapsed "$t0") tests${INSTALL_TIME[$key]:+, $(elapsed "${INSTALL_TIME[$key]}") with the build}]"
    unset 'INSTALL_TIME[$key]'
    [ "$rc" -eq 0 ]
}

# What the chroot and free-threaded labels need is provisioned first (or found in the cache).
provision_args=()
need_provision=0
for v in $PYTHONS; do
    case $v in
    *-tsan) need_provision=1 provision_args=(--tsan) ;;
    *-sid | *.*t | *.*t-*) need_provision=1 ;;
    *) [ -n "$(find_python "$v")" ] || need_provision=1 ;;
    esac
done
if [ "$need_provision" = 1 ] && [ "${NATIVE_EXTENSIONS_PROVISION:-1}" != 0 ]; then
    t0=$(date +%s)
    echo "== Provisioning the chroot and free-threaded interpreters (scripts/provision_pythons.sh)"
    if [ "$(id -u)" != 0 ]; then
        echo "   not root: only what is provisioned already is used"
    elif ! bash "$REPO/scripts/provision_pythons.sh" "${provision_args[@]}" 2>&1 | sed -u 's/^/   /'; then
        echo "   provisioning incomplete: what is missing is skipped"
    fi
    echo "   provisioning: $(elapsed "$t0")"
fi

declare -A INSTALL_TIME
for v in "${ROWS[@]}"; do
    key=${v%-nogil}
    if ! locate "$v"; then
        if [[ " $REQUIRED_PYTHONS " == *" $v "* || " $REQUIRED_PYTHONS " == *" $key "* ]]; then
            RESULT[$v]=FAIL; DETAIL[$v]="required interpreter not found"; failed=1
        else
            RESULT[$v]=skip; DETAIL[$v]="not found on this machine"
            case $v in
            *-sid | *.*t | *.*t-* | 3.1[4-9]) DETAIL[$v]="not provisioned (scripts/provision_pythons.sh)" ;;
            esac
        fi
        echo "== $v: ${DETAIL[$v]}"
        continue
    fi
    tested=$((tested + 1))
    # A "-nogil" row tests the environment that its label's row installed (or installs it).
    if [ -z "${INSTALLED[$key]:-}" ]; then
        INSTALL_TIME[$key]=$(date +%s)
        if install_version "$key"; then
            INSTALLED[$key]=$SO
            CAPI[$key]=$(capi_path "$SO")
            echo "   C API: ${CAPI[$key]}"
        else
            INSTALLED[$key]=failed
        fi
    fi
    if [ "${INSTALLED[$key]}" = failed ]; then
        RESULT[$v]=FAIL; failed=1
        [ "$v" = "$key" ] || DETAIL[$v]="not tested: the build for $key failed"
        continue
    fi
    test_version "$v" "$@" || failed=1
done
if [ "$tested" -eq 0 ]; then
    echo "== none of the interpreters asked for ($PYTHONS) was found"
    failed=1
fi

echo
echo "== Summary (scratch: $WORK, $(elapsed "$start_all") in all)"
for v in "${ROWS[@]}"; do
    printf '  %-11s %-4s %s\n' "$v" "${RESULT[$v]}" "${DETAIL[$v]}"
    [ -n "${CAPI[$v]:-}" ] && printf '              C API: %s\n' "${CAPI[$v]}"
done
echo "all-pythons: $total_passed passed, $total_failed failed, $total_skipped skipped"
exit $failed
