#!/usr/bin/env python3
"""Reference-leak check of native_extensions, in the manner of CPython's `regrtest -R 3:3`.

Every path below is called a fixed number of times per repetition; after each repetition the
type method cache is cleared, the garbage collector runs, and sys.gettotalrefcount() and
sys.getallocatedblocks() are read. After the warm-up repetitions, every measured one must leave
both exactly where the previous one did. Each path also checks its own outcome (the surviving
traceback entries, the fork warnings printed), so that it cannot silently stop exercising the
code it is meant to. Paths that need an interpreter where no hook has been set yet, or one
started with -v, run in a new interpreter.

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
import functools
import gc
import os
import subprocess
import sys
import tempfile
import time
import types
from collections import UserDict

import native_extensions as ne

lib = ctypes.PyDLL(ne.__file__)
WARNING = b"[Quenvar] Quenvar does not support running in forking processes."
PATHS = {}  # name -> (function, calls per repetition, interpreter options if run fresh, or None)


def path(name, inner=20, fresh=None):
    def register(func):
        PATHS[name] = (func, inner, fresh)
        return func

    return register


class CheckFailed(Exception):
    pass


def expect(condition, what, *details):
    if not condition:
        raise CheckFailed(what + (": %r" % (details,) if details else ""))


# --- Failing calls and their tracebacks ---------------------------------------------------------


def level(depth, marked):
    if depth in marked:
        __quenvar__tracebackhide__ = True  # noqa: F841
    if depth == 4:
        raise ValueError(depth)
    level(depth + 1, marked)


class Prepared(type):
    """A metaclass whose class bodies run in a namespace that is not a dict."""

    @classmethod
    def __prepare__(mcls, name, bases):
        return UserDict()

    def __new__(mcls, name, bases, namespace):
        return super().__new__(mcls, name, bases, dict(namespace))


def class_body(marked):
    class Body(metaclass=Prepared):
        if marked:
            __quenvar__tracebackhide__ = True
        raise ValueError("class body")


def labels(tb):
    out = []
    while tb is not None:
        frame = tb.tb_frame
        depth = frame.f_locals["depth"] if frame.f_code is level.__code__ else ""
        out.append("%s%s" % (frame.f_code.co_name, depth))
        tb = tb.tb_next
    return tuple(out)


def fails(*args):
    """Calls the hook, which must raise ValueError; returns the labels of the traceback entries
    after the caller's own."""
    try:
        ne.CallImportHookRemovingFrames(*args)
    except ValueError as exc:
        expect(exc.__traceback__.tb_frame is sys._getframe(), "the caller's own entry is gone")
        if exc.args == ("shared",):  # the exception whose entries it shares keeps them all
            whole = labels(exc.__context__.__traceback__)
            expect(whole == ("reraise_shared",) + LEVELS, "shared entries changed", whole)
        return labels(exc.__traceback__.tb_next)
    raise CheckFailed("the hook did not raise")


def failing_call(hook, args, entries, hidden, remove):
    ne.SetImportHook(hook)
    ne.SetRemoveImportHookFrames(remove)
    expected = tuple(e for e in entries if not (remove and e in hidden))
    got = fails(*args)
    expect(got == expected, "surviving traceback entries", got, expected)


LEVELS = tuple("level%d" % d for d in range(5))
MODULES = {"leakcheck_marked_module": "__quenvar__tracebackhide__ = 1\nraise ValueError\n",
           "leakcheck_plain_module": "raise ValueError\n"}  # written to a directory on sys.path by main()
MARKED, PLAIN = (compile(source, "<exec>", "exec") for source in MODULES.values())
SHAPES = {"none": (), "first": (0,), "middle": (2,), "adjacent": (1, 2), "last": (4,), "all": range(5)}
FAILURES = {  # name: (hook, its arguments, traceback entries it leaves, those that mark themselves)
    **{"%s marked" % shape: (level, (0, frozenset(marked)), LEVELS, {LEVELS[d] for d in marked})
       for shape, marked in SHAPES.items()},
    "import of a marked module": (__import__, ("leakcheck_marked_module",), ("<module>",), {"<module>"}),
    "import of an unmarked module": (__import__, ("leakcheck_plain_module",), ("<module>",), set()),
    "exec, marked globals": (exec, (MARKED, {}), ("<module>",), {"<module>"}),
    "exec, marked non-dict locals": (exec, (MARKED, {}, UserDict()), ("<module>",), {"<module>"}),
    "exec, unmarked non-dict locals": (exec, (PLAIN, {}, UserDict()), ("<module>",), set()),
    "class body, marked non-dict __prepare__ namespace":
        (class_body, (True,), ("class_body", "Body"), {"Body"}),
    "class body, unmarked non-dict __prepare__ namespace":
        (class_body, (False,), ("class_body", "Body"), set()),
}


def reraise_shared(marked):
    """Re-raises with the caught exception's traceback: the entries below are shared with it."""
    try:
        level(0, marked)
    except ValueError as caught:
        raise ValueError("shared").with_traceback(caught.__traceback__)


class Lookup:
    """A namespace with neither __contains__ nor __iter__: asked by looking the name up."""

    def __init__(self):
        self.names = {}

    def __setitem__(self, key, value):
        self.names[key] = value

    def __getitem__(self, key):
        return self.names[key]


FAILURES.update({
    "shared entries, %s marked" % shape: (reraise_shared, (frozenset(marked),), ("reraise_shared",) * 2 + LEVELS,
                                          {LEVELS[d] for d in marked})
    for shape, marked in (("middle", (2,)), ("last", (4,)), ("all", range(5)))})
FAILURES.update({
    "exec, marked lookup-only locals": (exec, (MARKED, {}, Lookup()), ("<module>",), {"<module>"}),
    "exec, unmarked lookup-only locals": (exec, (PLAIN, {}, Lookup()), ("<module>",), set()),
})
for _name, _case in FAILURES.items():
    for _remove in (True, False):
        path("failure: %s, removal %s" % (_name, "on" if _remove else "off"))(
            functools.partial(failing_call, *_case, _remove))


class Stopping(dict):
    """A namespace whose membership test raises what is not an Exception: the walk ends there."""

    def __init__(self, error):
        super().__init__()
        self.error = error

    def __contains__(self, key):
        raise self.error() if isinstance(self.error, type) else self.error


class Timeout(BaseException):
    pass


def stopped_walk(error, source=None):
    ne.SetImportHook(exec)
    ne.SetRemoveImportHookFrames(True)
    try:
        ne.CallImportHookRemovingFrames(source or MARKED, {}, Stopping(error))
        raise CheckFailed("the hook did not raise")
    except BaseException as exc:  # noqa: B036
        expect(type(exc) is error and type(exc.__context__) is ValueError, "context", exc, exc.__context__)


for _error in (KeyboardInterrupt, SystemExit, GeneratorExit, Timeout):
    path("failure: %s during the walk, the hook's exception its context" % _error.__name__)(
        functools.partial(stopped_walk, _error))
# A ValueError raised by C code with nothing handled: not an instance yet on 3.10 and 3.11.
path("failure: KeyboardInterrupt during the walk, the hook's exception raised by C")(
    functools.partial(stopped_walk, KeyboardInterrupt, "int('x')"))

SAME = KeyboardInterrupt("the hook's own")


@path("failure: the hook's own exception raised again during the walk, never its own context")
def _():
    ne.SetImportHook(exec)
    ne.SetRemoveImportHookFrames(True)
    try:
        ne.CallImportHookRemovingFrames("raise SAME", {"SAME": SAME}, Stopping(SAME))
        raise CheckFailed("the hook did not raise")
    except KeyboardInterrupt as exc:
        expect(exc is SAME and exc.__context__ is None, "context", exc.__context__)
    SAME.__traceback__ = None


class LeadingBack(dict):
    """Cuts the chain after the hook's entry and links this frame's entry back to it, while the
    entries from there on are held elsewhere: the walk must not close a cycle."""

    def __contains__(self, key):
        tracebacks = [o for o in gc.get_objects() if type(o) is types.TracebackType]
        mine, = (o for o in tracebacks if o.tb_frame.f_code.co_filename == "<inner>" and o.tb_frame.f_locals is self)
        ahead, = (o for o in tracebacks if o.tb_frame.f_code is relinked_hook.__code__ and o.tb_next is mine)
        ahead.tb_next = None
        mine.tb_next = ahead
        return False


HELD = []


def relinked_hook():
    try:
        exec(compile("raise ValueError\n", "<inner>", "exec"), {}, LeadingBack())
    except ValueError as e:
        HELD.append(e.__traceback__)
        raise


@path("failure: the chain relinked during the walk by the code it runs")
def _():
    ne.SetImportHook(relinked_hook)
    ne.SetRemoveImportHookFrames(True)
    try:
        ne.CallImportHookRemovingFrames()
        raise CheckFailed("the hook did not raise")
    except ValueError as exc:
        tb = exc.__traceback__
        expect(tb.tb_next.tb_frame.f_code is relinked_hook.__code__ and tb.tb_next.tb_next is None, "chain")
    HELD.clear()


# --- Successful calls, hook and flag churn --------------------------------------------------


@path("success: arguments and result passed through")
def _():
    ne.SetImportHook(lambda *args, **kwargs: (args, kwargs))
    result = ne.CallImportHookRemovingFrames(1, "two", key=[3])
    expect(result == ((1, "two"), {"key": [3]}), "result", result)
    ne.SetImportHook(len)
    expect(ne.CallImportHookRemovingFrames("abc") == 3, "builtin hook's result")


@path("churn: hook replacement (new, same, None, builtin, replaced while running)")
def _():
    hook = lambda: "first"  # noqa: E731
    for new in (hook, hook, None, len, hook):
        ne.SetImportHook(new)
    expect(ne.CallImportHookRemovingFrames() == "first", "the last hook set is not called")

    def replaces_itself():
        ne.SetImportHook(len)  # drops the slot's reference to the running hook
        return "second"

    ne.SetImportHook(replaces_itself)
    expect(ne.CallImportHookRemovingFrames() == "second", "self-replacing hook's result")
    expect(ne.CallImportHookRemovingFrames("ab") == 2, "its replacement is not called")


class RaisingBool:
    def __bool__(self):
        raise ZeroDivisionError


@path("churn: removal flag values, and one whose __bool__ raises")
def _():
    ne.SetImportHook(level)
    for value, on in ((0, False), ("", False), (None, False), (1, True), ("x", True), (len, True)):
        expect(ne.SetRemoveImportHookFrames(value) is None, "flag result")
        got = fails(0, frozenset(range(5)))
        expect(got == (() if on else LEVELS), "removal with flag %r" % (value,), got)
    ne.SetRemoveImportHookFrames(False)
    try:
        ne.SetRemoveImportHookFrames(RaisingBool())
        raise CheckFailed("the truth test's error was not raised")
    except ZeroDivisionError:
        pass
    expect(fails(0, frozenset(range(5))) == (), "a failed truth test does not switch removal on")


# --- Exported C++ entry points through ctypes --------------------------------------------------


def module_pointer():
    """The module native_extensions::Module points to."""
    address = ctypes.c_void_p.in_dll(lib, "_ZN17native_extensions6ModuleE").value
    return ctypes.cast(address, ctypes.py_object).value


@path("ctypes: remove_tracebackhide_frames with nothing pending")
def _():
    lib._ZN17native_extensions27remove_tracebackhide_framesEv()  # PyDLL raises if one is pending after


@path("ctypes: InitNativeExtensions")
def _():
    init = lib._ZN17native_extensions20InitNativeExtensionsEv
    init.restype = ctypes.c_void_p  # a py_object restype would add a reference of its own
    address = init()
    created = ctypes.cast(address, ctypes.py_object).value
    ctypes.pythonapi.Py_DecRef(ctypes.c_void_p(address))  # the one the call returned
    expect(created is not ne and created.__name__ == "native_extensions", "new module", created)
    expect(module_pointer() is created, "Module does not point to the newest module")


# --- The fork handler ------------------------------------------------------------------------


def fork_warnings(fork):
    """Forks with C stdout sent to a file; returns the number of fork warnings printed."""
    sys.stdout.flush()
    fd = os.open(tempfile.gettempdir(), os.O_TMPFILE | os.O_RDWR)
    saved = os.dup(1)
    os.dup2(fd, 1)
    try:
        pid = fork()
        if pid == 0:
            os._exit(0)
        _, status = os.waitpid(pid, 0)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    output = os.pread(fd, 1 << 16, 0)
    os.close(fd)
    expect(status == 0, "child status", status)
    return output.count(WARNING)


REGISTERED = []
ABSENT = object()
FORKS = {"os.fork": os.fork,
         "libc fork, lock held": ctypes.PyDLL(None).fork,
         "libc fork, lock released": ctypes.CDLL(None).fork}  # the handler must not touch objects


def fork_path(fork, value, warns):
    if not REGISTERED:
        expect(ne.RegisterPreforkCallback() is False, "registration failed")
        REGISTERED.append(True)
    holder = module_pointer()
    if value is not ABSENT:
        holder.python_fork_handler_called = value
    try:
        count = fork_warnings(FORKS[fork])
    finally:
        vars(holder).pop("python_fork_handler_called", None)
    expect(count == warns, "fork warnings", count, warns)


def getattr_path(value, warns):
    """The attribute from the module's own __getattr__."""
    holder = module_pointer()
    holder.__getattr__ = {"python_fork_handler_called": value}.__getitem__ if value is not ABSENT else {}.__getitem__
    try:
        fork_path("os.fork", ABSENT, warns)
    finally:
        vars(holder).pop("__getattr__", None)


for _value, _warns in ((ABSENT, 0), (1, 0), (0, 1)):
    path("fork (os.fork): module __getattr__ gives %s" % ("nothing" if _value is ABSENT else _value), inner=5)(
        functools.partial(getattr_path, _value, _warns))

for _fork, _value, _warns in (("os.fork", ABSENT, 0), ("os.fork", 1, 0), ("os.fork", 0, 1),
                              ("os.fork", "x", 1), ("os.fork", 2**70, 1), ("libc fork, lock held", "1", 1),
                              ("libc fork, lock released", 1, 1)):
    _label = "absent" if _value is ABSENT else repr(_value)
    path("fork (%s): attribute %s" % (_fork, _label), inner=5)(
        functools.partial(fork_path, _fork, _value, _warns))


# --- Sub-interpreters ------------------------------------------------------------------------

SUBINTERPRETER = """
import native_extensions as ne
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
        if (e.__traceback__.tb_next is None) != remove:
            raise SystemExit("removal in the sub-interpreter")
ne.python_fork_handler_called = 1
"""


@path("subinterpreter: own hook and switch, released as it ends", inner=3)
def _():
    import _testcapi
    ne.SetImportHook(level)
    expect(_testcapi.run_in_subinterp(SUBINTERPRETER) == 0, "the sub-interpreter's code failed")
    expect(fails(0, frozenset()) == LEVELS, "the main interpreter's hook")


# --- In a fresh interpreter ----------------------------------------------------------------


@path("fresh: no hook set yet: RuntimeError", fresh=[])
def _():
    try:
        ne.CallImportHookRemovingFrames(1, key=2)
        raise CheckFailed("no RuntimeError")
    except RuntimeError as exc:
        expect("SetImportHook" in str(exc), "message", exc)


@path("fresh: verbose interpreter (-v): nothing removed", fresh=["-v"])
def _():
    # Every level marked and removal on, yet every entry stays.
    failing_call(level, (0, frozenset(range(5))), LEVELS, (), True)


def run_child(name, args):
    mode = ["--smoke", args.smoke] if args.smoke else ["--warmup", args.warmup, "--runs", args.runs]
    command = [sys.executable, *PATHS[name][2], os.path.abspath(__file__), "--child", name, *mode]
    proc = subprocess.run([str(arg) for arg in command], capture_output=True, text=True, timeout=300)
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
    func, inner, _ = PATHS[name]
    started = time.perf_counter()
    try:
        if args.smoke:
            for _ in range(args.smoke):
                func()
        else:
            refs, blocks = hunt(func, inner, args.warmup, args.runs)
    except Exception as exc:
        return False, "FAIL  %s: %s: %s" % (name, type(exc).__name__, exc)
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
    with tempfile.TemporaryDirectory(prefix="leakcheck-") as modules:
        for module, source in MODULES.items():
            with open(os.path.join(modules, module + ".py"), "w") as f:
                f.write(source)
        sys.path.insert(0, modules)
        for name in selected:
            path_ok, line = (run_child if PATHS[name][2] is not None else run_path)(name, args)
            print(line, flush=True)
            failures += not path_ok
    print("leakcheck: %d paths, %d clean, %d failed, %.1fs" % (
        len(selected), len(selected) - failures, failures, time.perf_counter() - started))
    return 0 if ok and not failures else 1


if __name__ == "__main__":
    sys.exit(main())
