#!/usr/bin/env bash
# Checks the installed type stubs against the installed module.
#
#   scripts/check_stubs.sh
#
# In a fresh virtual environment per interpreter (default: 3.11; STUB_PYTHONS="3.11 3.13" for
# more), installs the checkout and mypy, then from a directory outside the checkout:
#   1. python -m mypy.stubtest native_extensions    (names and kinds of the stub vs. the module)
#   2. the stub's docstrings are the module's own, for every function
#   3. mypy, type-checking a client, resolves the installed stubs: correct calls pass and each
#      misuse is reported (every `type: ignore` below must be needed, --warn-unused-ignores)
#
# Environment: STUB_PYTHONS, PYTHON_3_X and NATIVE_EXTENSIONS_BUILD_DIR as for test_all_pythons.sh.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_common.sh"
check_build_root

STUB_PYTHONS=${STUB_PYTHONS:-3.11}
WORK=$BUILD_ROOT/stubs
mkdir -p "$WORK"
t_all=$(date +%s)

check_version() {
    local v=$1 python t0 venv run
    t0=$(date +%s)
    python=$(find_python "$v")
    if [ -z "$python" ]; then
        echo "FAIL  $v: interpreter not found"
        return 1
    fi
    venv=$WORK/venv-$v
    run=$WORK/run-$v
    fresh_venv "$python" "$venv" || return 1
    if ! "$venv/bin/python" -m pip install -q "$REPO" mypy >"$WORK/$v-install.log" 2>&1; then
        tail -n 20 "$WORK/$v-install.log"
        echo "FAIL  $v: install failed"
        return 1
    fi
    rm -rf "$run" && mkdir -p "$run"
    cd "$run" || return 1
    local ok=1

    echo "-- $v: python -m mypy.stubtest native_extensions"
    if ! env -u PYTHONPATH "$venv/bin/python" -m mypy.stubtest native_extensions; then
        ok=0
        if ! ls -d "$venv"/lib/python*/site-packages/native_extensions-stubs >/dev/null 2>&1; then
            echo "note: mypy reads a single-module distribution's stubs only from a stub package," \
                "site-packages/native_extensions-stubs/__init__.pyi, which is not installed"
        fi
    fi

    echo "-- $v: stub docstrings match the module's"
    env -u PYTHONPATH "$venv/bin/python" - <<'EOF' || ok=0
import ast, os, sys
import native_extensions

# The stub a type checker uses (PEP 561 stub package) and the one beside the extension module.
site = os.path.dirname(native_extensions.__file__)
stubs = [os.path.join(site, "native_extensions-stubs", "__init__.pyi"),
         os.path.join(site, "native_extensions.pyi")]
errors = []
for path in stubs:
    if not os.path.isfile(path):
        errors.append("missing " + path)
        continue
    tree = ast.parse(open(path).read())
    if ast.get_docstring(tree, clean=False) != native_extensions.__doc__:
        errors.append("%s: module docstring differs" % path)
    funcs = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    public = {name for name in dir(native_extensions) if not name.startswith("_")}
    if set(funcs) != public:
        errors.append("%s: declares %s, module has %s" % (path, sorted(funcs), sorted(public)))
    for name, node in funcs.items():
        runtime = getattr(native_extensions, name, None)
        if runtime is not None and ast.get_docstring(node, clean=False) != runtime.__doc__:
            errors.append("%s: %s: docstring %r, module says %r"
                          % (path, name, ast.get_docstring(node, clean=False), runtime.__doc__))
if errors:
    sys.exit("\n".join(errors))
print("%d stub files, docstrings match" % len(stubs))
EOF

    echo "-- $v: mypy on a client of the module"
    cat >client.py <<'EOF'
import native_extensions as ne

def hook(name: str, *rest: object) -> object:
    return name

ne.SetImportHook(hook)
ne.SetRemoveImportHookFrames(False)
result = ne.CallImportHookRemovingFrames("os", None, level=0)
failed: bool = ne.RegisterPreforkCallback()
ne.RegisterPreforkCallback(1, "any", None)

ne.SetImportHook()  # type: ignore[call-arg]
ne.SetImportHook(hook, hook)  # type: ignore[call-arg]
ne.SetImportHook(hook=hook)  # type: ignore[call-arg]
ne.SetRemoveImportHookFrames(flag=True)  # type: ignore[call-arg]
text: str = ne.RegisterPreforkCallback()  # type: ignore[assignment]
ne.NoSuchFunction()  # type: ignore[attr-defined]
EOF
    env -u PYTHONPATH "$venv/bin/python" -m mypy --strict --warn-unused-ignores \
        --no-incremental client.py || ok=0

    cd - >/dev/null || true
    if [ "$ok" -eq 1 ]; then
        echo "ok    $v: stubs check out ($(elapsed "$t0"))"
    else
        echo "FAIL  $v: stub check failed ($(elapsed "$t0"))"
        return 1
    fi
}

passed=0 nfailed=0
for v in ${STUB_PYTHONS//,/ }; do
    if check_version "$v"; then passed=$((passed + 1)); else nfailed=$((nfailed + 1)); fi
done
echo "check_stubs: $passed passed, $nfailed failed ($(elapsed "$t_all"))"
[ "$nfailed" -eq 0 ]
