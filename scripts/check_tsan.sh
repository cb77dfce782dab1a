#!/usr/bin/env bash
# ThreadSanitizer check of the module on a free-threaded interpreter that is itself built with
# ThreadSanitizer (3.13t, --with-thread-sanitizer, clang; provisioned by provision_pythons.sh
# --tsan): builds the module with -fsanitize=thread and runs the threaded stress test (callers
# with failing and succeeding hooks, threads swapping fresh hooks and flipping the switch, threads
# forking with the handler registered) and the hook and fork tests with the GIL off. Fails on any
# report whose stack passes through the module. Reports inside the interpreter alone are counted
# and shown, not failed on: they are the interpreter's own (its suppression list is applied).
#
# First a build with the hook slot's lock taken out must be reported, so that a clean run means
# something.
#
#   scripts/check_tsan.sh
#
# Environment:
#   NATIVE_EXTENSIONS_CACHE     where the interpreters are provisioned (default /var/cache/native_extensions)
#   NATIVE_EXTENSIONS_BUILD_DIR scratch directory (default ${TMPDIR:-/tmp}/native_extensions-build)
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_common.sh"
check_build_root

PYTHON=$CACHE_ROOT/python3.13t-tsan/bin/python3.13t
if [ ! -x "$PYTHON" ]; then
    bash "$REPO/scripts/provision_pythons.sh" --tsan || exit 1
fi
WORK=$BUILD_ROOT/tsan
rm -rf "$WORK"
mkdir -p "$WORK/logs"
t_all=$(date +%s)
# The interpreter's own list of its known races, from the upstream tarball it was built from.
suppressions=
tarball=$(ls "$CACHE_ROOT"/src/python3.13/python3.13_*.orig.tar.xz 2>/dev/null | head -n 1)
if [ -n "$tarball" ]; then
    member=$(tar -tJf "$tarball" | grep 'Tools/tsan/suppressions_free_threading.txt$' | head -n 1)
    if [ -n "$member" ] && tar -xJf "$tarball" -O "$member" >"$WORK/suppressions.txt"; then
        suppressions=$WORK/suppressions.txt
    fi
fi
echo "== ThreadSanitizer: $("$PYTHON" -c 'import sys; print(sys.version.split()[0])') free-threaded" \
    "(suppressions: ${suppressions:-none})"

# build_and_run NAME SOURCE_DIR: builds the module from SOURCE_DIR into a fresh environment, runs
# the tests there with the GIL off and reports into $WORK/logs/NAME; prints the number of reports
# through the module.
# Everything runs some ten times slower under the sanitizer, pip included: one environment serves
# both builds.
venv=$WORK/venv
build_and_run() {
    local name=$1 source=$2 logs=$WORK/logs/$1
    mkdir -p "$logs"
    CC=clang CXX=clang++ "$venv/bin/python" -m pip install -q --no-deps --force-reinstall \
        --config-settings=cmake.define.NATIVE_EXTENSIONS_SANITIZE=thread \
        --config-settings=cmake.define.NATIVE_EXTENSIONS_WERROR=ON \
        "$source" >"$WORK/$name-install.log" 2>&1 || { tail -n 20 "$WORK/$name-install.log" >&2; return 2; }
    (cd "$WORK" && env PYTHON_GIL=0 \
        TSAN_OPTIONS="halt_on_error=0 report_signal_unsafe=0 log_path=$logs/report ${suppressions:+suppressions=$suppressions}" \
        timeout 900 "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        "$REPO/tests/test_stress.py::test_threads_call_through_while_hooks_swap_and_threads_fork" \
        "$REPO/tests/test_hook.py" "$REPO/tests/test_fork.py" \
        >"$WORK/$name-pytest.log" 2>&1)
    local rc=$?
    tail -n 1 "$WORK/$name-pytest.log" >&2
    local all=0 ours=0 file
    for file in "$logs"/report*; do
        [ -e "$file" ] || continue
        all=$((all + $(grep -c '^WARNING: ThreadSanitizer' "$file")))
        # One report is the text from its WARNING line to the next row of equals signs.
        ours=$((ours + $(awk '/^WARNING: ThreadSanitizer/ {r = 1; hit = 0} r && /native_extensions/ {hit = 1}
            /^==================/ && r && NR > 1 {if (hit) n++; r = 0} END {print n + 0}' "$file")))
    done
    echo "   $name: $all reports in all, $ours through the module (pytest exit $rc; reports: $logs)" >&2
    [ "$rc" = 0 ] || [ "$ours" -gt 0 ] || return 2
    echo "$ours"
}

"$PYTHON" -m venv "$venv" && "$venv/bin/python" -m pip install -q --prefer-binary \
    "scikit-build-core>=0.10" pytest >"$WORK/venv.log" 2>&1 || { tail -n 20 "$WORK/venv.log"; exit 1; }
export PIP_NO_BUILD_ISOLATION=1

# The planted race: the hook slot without its lock.
planted=$WORK/planted
mkdir -p "$planted"
cp -r "$REPO/src" "$REPO/CMakeLists.txt" "$REPO/pyproject.toml" "$REPO/README.md" "$planted/"
python3 - "$planted/src/cpython_importhook.cpp" <<'EOF'
import sys
path = sys.argv[1]
text = open(path).read()
# The lock is taken without waiting: every thread gets it at once.
taking = "hook_lock.exchange(true, std::memory_order_acquire)"
assert text.count(taking) == 1, "the lock's code moved: update this check"
open(path, "w").write(text.replace(taking, "false"))
EOF
failed=0
echo "== A build without the hook slot's lock must be reported"
seen=$(build_and_run planted "$planted") || seen=error
if [ "$seen" = error ] || [ "$seen" = 0 ]; then
    echo "   FAIL: the planted race was not reported ($seen)"
    failed=1
else
    echo "   ok: the planted race was reported"
fi
echo "== The module"
ours=$(build_and_run module "$REPO") || ours=error
if [ "$ours" != 0 ]; then
    echo "   FAIL: reports through the module ($ours); see $WORK/logs/module"
    for file in "$WORK"/logs/module/report*; do
        [ -e "$file" ] && grep -B2 -A30 'native_extensions' "$file" | head -n 80
    done
    failed=1
fi
echo "check_tsan: $([ "$failed" = 0 ] && echo passed || echo FAILED) ($(elapsed "$t_all"))"
exit "$failed"
