#!/usr/bin/env bash
# Shows that test_all_pythons.sh really fails on a warning: in a scratch copy of the checkout,
# plants one warning at a time and expects the copy's test_all_pythons.sh to reject the build
# for that reason.
#
#   scripts/check_werror.sh
#
# Environment: PYTHONS (default 3.12: the first version on which Py_VerboseFlag is deprecated),
# NATIVE_EXTENSIONS_BUILD_DIR as for test_all_pythons.sh.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_common.sh"
check_build_root

export PYTHONS=${PYTHONS:-3.12}
export REQUIRED_PYTHONS=$PYTHONS
WORK=$BUILD_ROOT/werror
t0=$(date +%s)

fresh_copy() {
    rm -rf "$WORK/src-copy"
    mkdir -p "$WORK/src-copy"
    cp -r "$REPO"/CMakeLists.txt "$REPO"/pyproject.toml "$REPO"/README.md "$REPO"/src \
        "$REPO"/scripts "$REPO"/tests "$WORK/src-copy/"
}

failures=0

# expect NAME PATTERN: the copy's suite must fail, and its output must match PATTERN.
expect() {
    local name=$1 pattern=$2 out=$WORK/$1.log
    NATIVE_EXTENSIONS_BUILD_DIR=$WORK/build bash "$WORK/src-copy/scripts/test_all_pythons.sh" \
        >"$out" 2>&1
    local rc=$?
    if [ "$rc" -ne 0 ] && grep -qE -- "$pattern" "$out"; then
        echo "ok    $name: rejected ($(grep -m1 -oE -- "$pattern" "$out"))"
    else
        echo "FAIL  $name: exit $rc, no match for '$pattern' (log: $out)"
        failures=$((failures + 1))
    fi
}

# 1. A -Wall warning in the module's own code.
fresh_copy
cat >>"$WORK/src-copy/src/atfork.cpp" <<'EOF'
int planted_warning_unused() {
    int unused = 0;
    return 1;
}
EOF
expect unused-variable '-Werror=unused-variable'

# 2. A deprecated interpreter API: Py_VerboseFlag is deprecated from 3.12 on; the locally
#    deprecated function catches the same class of warning on any version.
fresh_copy
cat >>"$WORK/src-copy/src/atfork.cpp" <<'EOF'
[[deprecated("planted")]] inline int planted_old_api() { return 0; }
int planted_warning_deprecated() {
    return planted_old_api() + Py_VerboseFlag;
}
EOF
expect deprecated-declarations '-Werror=deprecated-declarations'

# 3. A CMake warning, which -Werror does not cover: the log scan must catch it.
fresh_copy
echo 'message(WARNING "planted configure warning")' >>"$WORK/src-copy/CMakeLists.txt"
expect cmake-warning 'build printed warnings'

echo "check_werror: $((3 - failures)) passed, $failures failed ($(elapsed "$t0"))"
[ "$failures" -eq 0 ]
