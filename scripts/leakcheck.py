#!/usr/bin/env python3
"""Reference-leak check of native_extensions, in the manner of CPython's `regrtest -R 3:3`.

The paths are the cases of the test suite's scenarios (tests/scenarios.py), each of which asserts
its own outcome. Each is called a fixed number of times per repetition; after each repetition the
type method cache is cleared, the garbage collector runs, and sys.gettotalrefcount() and
sys.getallocatedblocks() are read. After the warm-up repetitions, every measured one must leave
both exactly where the previous one did. Scenarios that need an interpreter where no hook has been
set yet, or one started with -v, run in a new interpreter.

Needs a debug interpreter (sys.gettotalrefcount) and the module built against its own headers,
except with --smoke N, which runs every path N times without measuring, on any interpreter (the
valgrind check uses it).

    python3.11-dbg scripts/leakcheck.py             # every path, -R 3:3
    python3.11-dbg scripts/leakcheck.py -k fork     # paths whose name contains "fork"
    python3 scripts/leakcheck.py --smoke 1
"""

import argparse
import array
import ctypes
import gc
import os
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import native_extensions as ne  # noqa: E402
import scenarios  # noqa: E402

PATHS = {}  # name -> (function, arguments, calls per repetition, interpreter options if run fresh, or None)
for _func in scenarios.SCENARIOS.values():
    for _name, _args in _func.cases.items():
        PATHS[_name] = (_func, _args, _func.inner, _func.fresh)


# Two paths of the leak check's own: the tests reach them in fresh interpreters, with more checks
# (test_module.py, test_interpreters.py), but here they must run over and over in one process.


def module_made_by_c_replaces_module():
    init = scenarios.LIB._ZN17native_extensions20InitNativeExtensionsEv
    init.restype = ctypes.c_void_p  # a py_object restype would add a reference of its own
    address = init()
    made = ctypes.cast(address, ctypes.py_object).value
    ctypes.pythonapi.Py_DecRef(ctypes.c_void_p(address))  # the one the call returned
    assert made is not ne and made.__name__ == "native_extensions" and scenarios.module_pointer() is made


SUBINTERPRETER = """import native_extensions as ne
def hook():
    __quenvar__tracebackhide__ = 1
    raise ValueError("sub")
try:
    ne.CallImportHookRemovingFrames()
    raise SystemExit("no RuntimeError before the sub-interpreter's own hook")
except RuntimeError:
    pass
ne.SetImportHook(hook)
for remove in (False, True):
    ne.SetRemoveImportHookFrames(remove)
    try:
        ne.CallImportHookRemovingFrames()
    except ValueError as e:
        assert (e.__traceback__.tb_next is None) == remove
ne.python_fork_handler_called = 1
"""


def subinterpreter_has_its_own_hook_and_switch():
    # Its hook is released as it ends; the main interpreter's hook and switch stay as they were.
    import _testcapi
    ne.SetImportHook(scenarios.marked_hook)
    ne.SetRemoveImportHookFrames(False)
    assert _testcapi.run_in_subinterp(SUBINTERPRETER) == 0, "the sub-interpreter's code failed"
    assert scenarios.entry_names(scenarios.failing_call()) == ["failing_call", "marked_hook"]
    scenarios.ERROR.__traceback__ = None


PATHS["module_made_by_c_replaces_module"] = (module_made_by_c_replaces_module, (), 20, None)
PATHS["subinterpreter_has_its_own_hook_and_switch"] = (subinterpreter_has_its_own_hook_and_switch, (), 3, None)


def call(name):
    func, args = PATHS[name][:2]
    try:
        func(*args)
    finally:
        ne.SetRemoveImportHookFrames(True)  # as the tests' fixture leaves it


def run_child(name, args):
    mode = ["--smoke", args.smoke] if args.smoke else ["--warmup", args.warmup, "--runs", args.runs]
    command = [sys.executable, *PATHS[name][3], os.path.abspath(__file__), "--child", name, *mode]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONVERBOSE"}
    proc = subprocess.run([str(arg) for arg in command], capture_output=True, text=True, timeout=300, env=env)
    out = proc.stdout.strip()
    if proc.returncode and not out.startswith(("FAIL", "LEAK")):
        stderr = "\n".join(proc.stderr.splitlines()[-15:])
        out = "FAIL  %s: child exited %d\n%s" % (name, proc.returncode, stderr)
    return proc.returncode == 0, out


# --- Measurement ---------------------------------------------------------------------------------


def cleanup():
    # The method cache holds a reference to the attribute name of each slot it fills, names that
    # are not interned included (PyObject_GetAttrString makes a new string on every call): they
    # would show as allocated blocks growing until every slot is taken.
    # (sys._clear_type_cache is deprecated from 3.14 on; its successor exists from 3.13 on.)
    (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()
    gc.collect()
    gc.collect()


def hunt(func, inner, warmup, runs):
    """Per-repetition growth of the total reference count and of the allocated blocks, for the
    `runs` repetitions after `warmup` ones. Arrays keep the bookkeeping free of new objects."""
    refs = array.array("q", bytes(8 * (warmup + runs)))
    blocks = array.array("q", bytes(8 * (warmup + runs)))
    cleanup()
    refs_before, blocks_before = sys.gettotalrefcount(), sys.getallocatedblocks()
    for i in range(warmup + runs):
        for _ in range(inner):
            func()
        cleanup()
        blocks_after = sys.getallocatedblocks()
        refs_after = sys.gettotalrefcount()
        refs[i], blocks[i] = refs_after - refs_before, blocks_after - blocks_before
        refs_before, blocks_before = refs_after, blocks_after
    return list(refs[warmup:]), list(blocks[warmup:])


def run_path(name, args):
    started = time.perf_counter()
    try:
        if args.smoke:
            for _ in range(args.smoke):
                call(name)
        else:
            refs, blocks = hunt(lambda: call(name), PATHS[name][2], args.warmup, args.runs)
    except Exception as exc:
        where = traceback.extract_tb(exc.__traceback__)[-1]
        return False, "FAIL  %s: %s: %s (%s:%d: %s)" % (
            name, type(exc).__name__, exc, os.path.basename(where.filename), where.lineno, where.line)
    took = " (%.2fs)" % (time.perf_counter() - started)
    if args.smoke:
        return True, "ok    " + name + took
    leaked = any(refs) or any(blocks)
    verdict = "LEAK " if leaked else "ok   "
    return not leaked, "%s %s: refs %s blocks %s%s" % (verdict, name, refs, blocks, took)


def built_for_debug_abi():
    """Only a module built against this debug interpreter's own headers updates the total
    reference count in its Py_INCREF and Py_DECREF. (Debian's python3.11d include directory is
    symbolic links into the release one: a compiler that resolves them for a system include
    directory takes the release pyconfig.h.)"""
    with open(ne.__file__, "rb") as f:
        image = f.read()
    return any(m in image for m in (b"_Py_RefTotal", b"_Py_IncRefTotal", b"_Py_NegativeRefcount"))


SENTINEL, HOARD = object(), []


def self_test(args):
    """The measurement must see a planted reference leak and a planted block leak."""
    api, sentinel = ctypes.pythonapi, ctypes.py_object(SENTINEL)
    refs, _ = hunt(lambda: api.Py_IncRef(sentinel), 5, args.warmup, args.runs)
    _, blocks = hunt(lambda: HOARD.append(object()), 5, args.warmup, args.runs)
    for _ in range(5 * (args.warmup + args.runs)):
        api.Py_DecRef(sentinel)
    HOARD.clear()
    return all(d == 5 for d in refs) and all(d >= 5 for d in blocks), refs, blocks


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--warmup", type=int, default=3, help="unmeasured repetitions (default 3)")
    parser.add_argument("--runs", type=int, default=3, help="measured repetitions (default 3)")
    parser.add_argument("--smoke", type=int, default=0, metavar="N", help="run each path N times, unmeasured")
    parser.add_argument("-k", dest="select", default="", help="only paths whose name contains this")
    parser.add_argument("--list", action="store_true", help="list the paths")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if not args.smoke and not hasattr(sys, "gettotalrefcount"):
        sys.exit("leakcheck: needs a debug interpreter (python3.11-dbg), or --smoke")
    if args.child:
        ok, line = run_path(args.child, args)
        print(line)
        return 0 if ok else 1
    selected = [name for name in PATHS if args.select in name]
    if args.list:
        print("\n".join(selected))
        return 0

    started = time.perf_counter()
    print("leakcheck: %s %s, module %s" % (sys.executable, sys.version.split()[0], ne.__file__))
    print("leakcheck: %d paths, %s" % (len(selected), "smoke run x%d" % args.smoke if args.smoke
                                        else "-R %d:%d" % (args.warmup, args.runs)), flush=True)
    ok = True
    if not args.smoke:
        abi_ok = built_for_debug_abi()
        test_ok, refs, blocks = self_test(args)
        print("ok   " if abi_ok else "FAIL ", "module built for the debug interpreter's reference counting")
        print("ok   " if test_ok else "FAIL ", "self-test: planted leaks seen: refs", refs, "blocks", blocks)
        ok = abi_ok and test_ok
    failures = 0
    for name in selected:
        path_ok, line = (run_child if PATHS[name][3] is not None else run_path)(name, args)
        print(line, flush=True)
        failures += not path_ok
    print("leakcheck: %d paths, %d clean, %d failed, %.1fs" % (
        len(selected), len(selected) - failures, failures, time.perf_counter() - started))
    return 0 if ok and not failures else 1


if __name__ == "__main__":
    sys.exit(main())
