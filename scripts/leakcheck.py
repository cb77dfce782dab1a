#!/usr/bin/env python3
"""Reference-leak check of native_extensions, in the manner of CPython's `regrtest -R 3:3`.

Run on a debug interpreter (one with sys.gettotalrefcount), with the module built against that
interpreter's own headers: every path below is run for a few warm-up repetitions and then for a
few measured ones, each repetition calling the path a fixed number of times. After every
repetition the cyclic garbage collector runs and the interpreter's total reference count and
number of allocated memory blocks are read. Every measured repetition must leave both exactly
where the previous one left them; any growth (or shrinkage) is reported and the script exits 1.

Every path also checks what it did (which traceback entries survived, whether the fork warning
was printed), so that a path cannot silently stop exercising the code it is meant to.

Paths marked "fresh" need module state nobody has touched yet (no hook set, module not imported,
verbose interpreter); they run in a new interpreter started with `--child NAME`.

`--smoke N` runs every path N times without measuring anything, on any interpreter: it is the
driver that the valgrind check runs.

    python3.11-dbg scripts/leakcheck.py            # all paths, -R 3:3 style
    python3.11-dbg scripts/leakcheck.py --list     # path names
    python3.11-dbg scripts/leakcheck.py -k fork    # paths whose name contains "fork"
    python3 scripts/leakcheck.py --smoke 2         # just run everything twice
"""

import argparse
import array
import ctypes
import gc
import importlib
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time

MARK = "__quenvar__tracebackhide__"
WARNING_PREFIX = b"[Quenvar] Quenvar does not support running in forking processes."

# The module and its shared library; set by load_module(), so that a fresh child can do things
# before the import.
ne = None
lib = None


# ---------------------------------------------------------------------------------------------
# Path registry
# ---------------------------------------------------------------------------------------------

PATHS = []


class Path:
    def __init__(self, name, func, inner, fresh, setup, teardown, available):
        self.name = name
        self.func = func
        self.inner = inner
        self.fresh = fresh
        self.setup = setup
        self.teardown = teardown
        self.available = available


def path(name, inner=20, fresh=False, setup=None, teardown=None, available=None):
    def register(func):
        PATHS.append(Path(name, func, inner, fresh, setup, teardown, available))
        return func

    return register


class CheckFailed(Exception):
    """A path did not behave as expected (as opposed to leaking)."""


def check(condition, message, *details):
    if not condition:
        raise CheckFailed(message + (": " + repr(details) if details else ""))


# ---------------------------------------------------------------------------------------------
# Loading the module and its exported C++ symbols
# ---------------------------------------------------------------------------------------------


def module_file():
    spec = importlib.util.find_spec("native_extensions")
    if spec is None or spec.origin is None:
        sys.exit("leakcheck: native_extensions is not importable (set PYTHONPATH)")
    return spec.origin


def load_library():
    global lib
    if lib is None:
        lib = ctypes.PyDLL(module_file())
    return lib


def load_module():
    global ne
    import native_extensions

    ne = native_extensions
    load_library()
    return ne


def symbol(name, restype=None, argtypes=()):
    func = getattr(load_library(), name)
    func.restype = restype
    func.argtypes = list(argtypes)
    return func


def module_pointer():
    """The object native_extensions::Module points to (None when null)."""
    address = ctypes.c_void_p.in_dll(load_library(), "_ZN17native_extensions6ModuleE").value
    if not address:
        return None
    return ctypes.cast(address, ctypes.py_object).value


def call_returning_new_reference(func):
    """Calls an entry point that returns a new reference, and owns that reference.

    A restype of py_object would take another reference of its own and leak the one returned, so
    the address is taken raw and the returned reference released once the object is held.
    """
    address = func()
    check(address, "entry point returned null")
    obj = ctypes.cast(address, ctypes.py_object).value
    ctypes.pythonapi.Py_DecRef(ctypes.c_void_p(address))
    return obj


# ---------------------------------------------------------------------------------------------
# Tracebacks
# ---------------------------------------------------------------------------------------------


def frame_label(frame):
    code = frame.f_code
    if code is level.__code__ or code is recurse.__code__:
        return "%s%d" % (code.co_name, frame.f_locals["depth"])
    return code.co_name


def labels(tb):
    out = []
    while tb is not None:
        out.append(frame_label(tb.tb_frame))
        tb = tb.tb_next
    return tuple(out)


def failing_call(exc_type, *args, **kwargs):
    """Calls through a hook that must raise `exc_type`; returns the labels of the traceback entries
    collected inside the hook (the caller's own entry left out) and the exception's args."""
    try:
        ne.CallImportHookRemovingFrames(*args, **kwargs)
    except exc_type as exc:
        check(exc.__traceback__ is not None and exc.__traceback__.tb_frame is sys._getframe(),
              "caller's traceback entry missing")
        return labels(exc.__traceback__.tb_next), exc.args
    raise CheckFailed("the hook did not raise %s" % exc_type.__name__)


def expect_labels(exc_type, expected, *args, **kwargs):
    got, _ = failing_call(exc_type, *args, **kwargs)
    check(got == expected, "surviving traceback entries", got, expected)


class removal:
    """Switches removal to `on` for the duration of a block, then back on."""

    def __init__(self, on):
        self.on = on

    def __enter__(self):
        ne.SetRemoveImportHookFrames(self.on)

    def __exit__(self, *exc):
        ne.SetRemoveImportHookFrames(True)


# ---------------------------------------------------------------------------------------------
# Code run inside the hook
# ---------------------------------------------------------------------------------------------

LAST = 4  # level0 .. level4; the last one raises


def level(depth, marked):
    # Every level declares the marker; only the marked ones bind it.
    if depth in marked:
        __quenvar__tracebackhide__ = depth  # noqa: F841
    if depth == LAST:
        raise ValueError(depth)
    level(depth + 1, marked)


def recurse(depth):
    if depth % 2:
        __quenvar__tracebackhide__ = None  # noqa: F841
    recurse(depth + 1)


def plain_a():
    plain_b()


def plain_b():
    __quenvar__tracebackhide__ = False  # noqa: F841
    plain_c()


def plain_c():
    raise KeyError("c")


def marker_after_raise():
    raise LookupError("before the marker")
    __quenvar__tracebackhide__ = 1  # noqa: F841 (declared, never bound)


def closure_outer():
    __quenvar__tracebackhide__ = 0  # a cell variable

    def closure_inner():
        __quenvar__tracebackhide__  # noqa: B018 (a free variable)
        raise ArithmeticError("inner")

    closure_inner()


def hidden_generator():
    __quenvar__tracebackhide__ = ()  # noqa: F841
    yield 1
    raise EOFError("generator")


def generator_hook():
    return list(hidden_generator())


class Namespace:
    """A class-body namespace that is not a dict."""

    def __init__(self, contains_raises=False, on_contains=None):
        self.data = {}
        self.contains_raises = contains_raises
        self.on_contains = on_contains

    def __getitem__(self, key):
        return self.data[key]

    def __setitem__(self, key, value):
        self.data[key] = value

    def __delitem__(self, key):
        del self.data[key]

    def __contains__(self, key):
        if self.on_contains is not None:
            self.on_contains()
        if self.contains_raises:
            raise RuntimeError("__contains__ refuses")
        return key in self.data


class PreparingMeta(type):
    @classmethod
    def __prepare__(mcls, name, bases, **kwargs):
        return Namespace(**kwargs)

    def __new__(mcls, name, bases, namespace, **kwargs):
        return super().__new__(mcls, name, bases, dict(namespace.data))


def class_body_hook(marked, **namespace_kwargs):
    if marked:
        class HiddenBody(metaclass=PreparingMeta, **namespace_kwargs):
            __quenvar__tracebackhide__ = 1
            raise ValueError("class body")
    else:
        class VisibleBody(metaclass=PreparingMeta, **namespace_kwargs):
            visible = 1
            raise ValueError("class body")


def dict_class_body_hook():
    class DictBody:
        __quenvar__tracebackhide__ = 1
        raise ValueError("class body")


class CollidingKey(str):
    """A key equal in hash to the marker whose comparison raises: the membership test fails."""

    def __hash__(self):
        return hash(MARK)

    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __ne__ = __eq__


MODULE_CODE = compile("__quenvar__tracebackhide__ = 1\nraise ValueError('module level')\n",
                      "<exec-module>", "exec")
LOCALS_CODE = compile("__quenvar__tracebackhide__ = 1\nraise ValueError('exec locals')\n",
                      "<exec-locals>", "exec")
PLAIN_CODE = compile("raise ValueError('plain module level')\n", "<exec-plain>", "exec")


def returning_hook(*args, **kwargs):
    return (args, kwargs)


def raising_hook(*args, **kwargs):
    __quenvar__tracebackhide__ = 1  # noqa: F841
    raise ValueError(args, kwargs)


class CallableHook:
    def __call__(self, x):
        __quenvar__tracebackhide__ = 1  # noqa: F841
        raise TypeError(x)


class Finalized:
    """Calls `action` when it dies."""

    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class WrongTruth:
    def __bool__(self):
        return "yes"


class LengthRaises:
    def __len__(self):
        raise OverflowError("no length")


class IndexRaises:
    def __index__(self):
        raise ValueError("no index")


class IndexOne:
    def __index__(self):
        return 1


# ---------------------------------------------------------------------------------------------
# Self-test: the measurement must see a deliberate leak
# ---------------------------------------------------------------------------------------------

CANARY_SENTINEL = object()
CANARY_LIST = []


def canary_reference_leak():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(CANARY_SENTINEL))


def canary_block_leak():
    CANARY_LIST.append(object())


# ---------------------------------------------------------------------------------------------
# Paths: successful calls
# ---------------------------------------------------------------------------------------------

RESULT = object()


@path("success: no arguments")
def _():
    ne.SetImportHook(lambda: RESULT)
    check(ne.CallImportHookRemovingFrames() is RESULT, "result is not the hook's")


@path("success: positional and keyword arguments passed through")
def _():
    ne.SetImportHook(returning_hook)
    args, kwargs = ne.CallImportHookRemovingFrames(1, "two", 3.0, [4], key="v", other=None)
    check(args == (1, "two", 3.0, [4]) and kwargs == {"key": "v", "other": None}, "arguments", args, kwargs)


@path("success: builtin hook, removal off")
def _():
    ne.SetImportHook(len)
    with removal(False):
        check(ne.CallImportHookRemovingFrames([1, 2, 3]) == 3, "len result")


@path("success: hook that replaces itself while running")
def _():
    def make():
        def hook():
            ne.SetImportHook(len)  # drops the slot's reference to this very hook
            return RESULT

        return hook

    ne.SetImportHook(make())
    check(ne.CallImportHookRemovingFrames() is RESULT, "self-replacing hook result")
    check(ne.CallImportHookRemovingFrames("ab") == 2, "replacement hook not called")


# ---------------------------------------------------------------------------------------------
# Paths: failing calls, every traceback shape, removal on and off
# ---------------------------------------------------------------------------------------------

ALL_LEVELS = tuple("level%d" % d for d in range(LAST + 1))
SHAPES = {
    "none": frozenset(),
    "first": frozenset({0}),
    "middle": frozenset({2}),
    "adjacent": frozenset({1, 2}),
    "last": frozenset({LAST}),
    "alternate": frozenset({0, 2, 4}),
    "all": frozenset(range(LAST + 1)),
}


def make_shape_path(shape, marked, remove):
    expected = ALL_LEVELS if not remove else tuple(
        "level%d" % d for d in range(LAST + 1) if d not in marked)

    def run():
        ne.SetImportHook(level)
        with removal(remove):
            expect_labels(ValueError, expected, 0, marked)

    path("failure: %s marked, removal %s" % (shape, "on" if remove else "off"))(run)


for _shape, _marked in SHAPES.items():
    for _remove in (True, False):
        make_shape_path(_shape, _marked, _remove)


@path("failure: keyword arguments, hook frame marked")
def _():
    ne.SetImportHook(raising_hook)
    got, args = failing_call(ValueError, 1, 2, key=3)
    check(got == () and args == ((1, 2), {"key": 3}), "raising_hook", got, args)


@path("failure: unmarked, declared-unbound and marked frames of different functions")
def _():
    ne.SetImportHook(plain_a)
    expect_labels(KeyError, ("plain_a", "plain_c"))


@path("failure: marker assigned after the raise")
def _():
    ne.SetImportHook(marker_after_raise)
    expect_labels(LookupError, ("marker_after_raise",))


@path("failure: marker in cell and free variables")
def _():
    ne.SetImportHook(closure_outer)
    expect_labels(ArithmeticError, ())


@path("failure: generator frame")
def _():
    ne.SetImportHook(generator_hook)
    expect_labels(EOFError, ("generator_hook",))


@path("failure: callable object, bound __call__ frame marked")
def _():
    ne.SetImportHook(CallableHook())
    expect_labels(TypeError, (), "x")


@path("failure: hook raising without traceback (None, builtin)")
def _():
    ne.SetImportHook(None)
    expect_labels(TypeError, ())
    ne.SetImportHook(int)
    expect_labels(ValueError, (), "not a number")


@path("failure: BaseException subclass")
def _():
    def hook():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        raise KeyboardInterrupt

    ne.SetImportHook(hook)
    expect_labels(KeyboardInterrupt, ())


@path("failure: chained exceptions keep their own tracebacks")
def _():
    def hook():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        try:
            plain_a()
        except KeyError as exc:
            raise ValueError("outer") from exc

    ne.SetImportHook(hook)
    try:
        ne.CallImportHookRemovingFrames()
    except ValueError as exc:
        check(labels(exc.__traceback__.tb_next) == (), "outer traceback", labels(exc.__traceback__))
        check(labels(exc.__cause__.__traceback__) == ("hook", "plain_a", "plain_b", "plain_c"),
              "cause traceback", labels(exc.__cause__.__traceback__))
    else:
        raise CheckFailed("no exception")


@path("failure: RecursionError, odd depths marked", inner=3)
def _():
    ne.SetImportHook(recurse)
    got, _ = failing_call(RecursionError, 0)
    check(len(got) > 100 and all(int(label[len("recurse"):]) % 2 == 0 for label in got),
          "RecursionError traceback", len(got), got[:4])


@path("failure: verbose flag set through Py_VerboseFlag (removal skipped)",
      available=lambda: sys.version_info < (3, 12))
def _():
    flag = ctypes.c_int.in_dll(ctypes.pythonapi, "Py_VerboseFlag")
    ne.SetImportHook(level)
    flag.value = 1
    try:
        expect_labels(ValueError, ALL_LEVELS, 0, SHAPES["all"])
    finally:
        flag.value = 0


# ---------------------------------------------------------------------------------------------
# Paths: frames that are not function frames
# ---------------------------------------------------------------------------------------------

IMPORT_DIR = None
IMPORT_MODULES = {
    "leakcheck_hidden_module": "__quenvar__tracebackhide__ = 1\nraise ValueError('hidden module')\n",
    "leakcheck_visible_module": "raise ValueError('visible module')\n",
    "leakcheck_hidden_import_error": "__quenvar__tracebackhide__ = None\nimport leakcheck_missing_module_xyz\n",
}


def import_setup():
    global IMPORT_DIR
    IMPORT_DIR = tempfile.mkdtemp(prefix="leakcheck-import-")
    for name, source in IMPORT_MODULES.items():
        with open(os.path.join(IMPORT_DIR, name + ".py"), "w") as f:
            f.write(source)
    sys.path.insert(0, IMPORT_DIR)
    importlib.invalidate_caches()


def import_teardown():
    sys.path.remove(IMPORT_DIR)
    shutil.rmtree(IMPORT_DIR, ignore_errors=True)


def import_hook(name):
    __import__(name)


@path("module level: import of a module that sets the global marker and raises",
      setup=import_setup, teardown=import_teardown)
def _():
    ne.SetImportHook(import_hook)
    expect_labels(ValueError, ("import_hook",), "leakcheck_hidden_module")
    with removal(False):
        expect_labels(ValueError, ("import_hook", "<module>"), "leakcheck_hidden_module")
    expect_labels(ValueError, ("import_hook", "<module>"), "leakcheck_visible_module")
    check("leakcheck_hidden_module" not in sys.modules, "failed import left in sys.modules")


@path("module level: ImportError raised from a marked module",
      setup=import_setup, teardown=import_teardown)
def _():
    ne.SetImportHook(import_hook)
    expect_labels(ModuleNotFoundError, ("import_hook",), "leakcheck_hidden_import_error")


@path("module level: exec with a globals dict")
def _():
    ne.SetImportHook(exec)
    namespace = {"__name__": "exec_module"}
    expect_labels(ValueError, (), MODULE_CODE, namespace)
    namespace = {"__name__": "exec_module"}
    expect_labels(ValueError, ("<module>",), PLAIN_CODE, namespace)


@path("module level: exec with a non-dict locals mapping")
def _():
    ne.SetImportHook(exec)
    expect_labels(ValueError, (), LOCALS_CODE, {}, Namespace())
    expect_labels(ValueError, ("<module>",), PLAIN_CODE, {}, Namespace())
    expect_labels(ValueError, ("<module>",), LOCALS_CODE, {}, Namespace(contains_raises=True))


@path("module level: membership test whose key comparison raises")
def _():
    ne.SetImportHook(exec)
    namespace = {CollidingKey("colliding"): 1}
    expect_labels(ValueError, ("<module>",), PLAIN_CODE, namespace)


@path("class body: dict namespace")
def _():
    ne.SetImportHook(dict_class_body_hook)
    expect_labels(ValueError, ("dict_class_body_hook",))


@path("class body: non-dict __prepare__ namespace, marked and unmarked")
def _():
    ne.SetImportHook(class_body_hook)
    expect_labels(ValueError, ("class_body_hook",), True)
    expect_labels(ValueError, ("class_body_hook", "VisibleBody"), False)
    with removal(False):
        expect_labels(ValueError, ("class_body_hook", "HiddenBody"), True)


@path("class body: non-dict namespace whose __contains__ raises")
def _():
    ne.SetImportHook(class_body_hook)
    expect_labels(ValueError, ("class_body_hook", "HiddenBody"), True, contains_raises=True)


# ---------------------------------------------------------------------------------------------
# Paths: code run during the walk that relinks the chain
# ---------------------------------------------------------------------------------------------


def relink_through_namespace():
    """A class body's namespace cuts the chain behind itself when tested."""
    holder = {}

    def cut():
        tb = holder.pop("tb", None)
        if tb is not None:
            tb.tb_next = None  # drops the entries after the class body's

    def hook():
        try:
            class_body_hook(True, on_contains=cut)
        except ValueError as exc:
            holder["tb"] = exc.__traceback__.tb_next  # class_body_hook's entry
            raise

    return hook


def relink_through_finalizer():
    """A local dropped when the locals mapping is refreshed cuts the chain behind its frame."""
    holder = {}

    def cut():
        tb = holder.pop("tb", None)
        if tb is not None:
            tb.tb_next = None

    def inner():
        raise ValueError("inner")

    def middle():
        if holder.get("never"):
            __quenvar__tracebackhide__ = 1  # noqa: F841 (declared: its locals get refreshed)
        dying = Finalized(cut)
        locals()  # the mapping now holds `dying` too
        dying = None  # noqa: F841 (the mapping's reference is the last one)
        inner()

    def hook():
        try:
            middle()
        except ValueError as exc:
            holder["tb"] = exc.__traceback__  # hook's own entry: middle, inner follow
            raise

    return hook


@path("hostile: class namespace relinks the traceback during the walk")
def _():
    ne.SetImportHook(relink_through_namespace())
    # hook, class_body_hook kept; HiddenBody removed; the cut happens while HiddenBody is tested.
    got, _ = failing_call(ValueError)
    check(got == ("hook", "class_body_hook"), "relinked traceback", got)


@path("hostile: finalizer run by the locals refresh relinks the traceback")
def _():
    ne.SetImportHook(relink_through_finalizer())
    got, _ = failing_call(ValueError)
    if sys.version_info < (3, 12):
        # 3.10/3.11 refresh middle's locals while testing it, which runs the finalizer: the chain
        # is cut behind the hook's entry while the walk stands on middle's.
        check(got == ("hook",), "relinked traceback", got)
    else:
        # 3.12+ read the one variable without refreshing the mapping: nothing runs.
        check(got == ("hook", "middle", "inner"), "traceback", got)


# ---------------------------------------------------------------------------------------------
# Paths: hook replacement and flag churn
# ---------------------------------------------------------------------------------------------


@path("churn: hook replacement (new, same, None, builtin)")
def _():
    hook = lambda: RESULT  # noqa: E731
    ne.SetImportHook(hook)
    ne.SetImportHook(hook)
    ne.SetImportHook(None)
    ne.SetImportHook(len)
    ne.SetImportHook(lambda *a: a)
    check(ne.CallImportHookRemovingFrames(1) == (1,), "last hook not called")


@path("churn: replaced hook's finalizer sets another hook")
def _():
    ne.SetImportHook(Finalized(lambda: ne.SetImportHook(len)))
    ne.SetImportHook(None)  # the finalizer runs here and wins
    check(ne.CallImportHookRemovingFrames("abc") == 3, "finalizer's hook not in place")


@path("churn: removal flag values")
def _():
    ne.SetImportHook(level)
    for value, on in ((0, False), ("", False), ([], False), (None, False),
                      (1, True), ("x", True), ([0], True), (object(), True)):
        check(ne.SetRemoveImportHookFrames(value) is None, "flag result")
        expect_labels(ValueError, () if on else ALL_LEVELS, 0, SHAPES["all"])
    ne.SetRemoveImportHookFrames(True)


@path("churn: flag whose truth test raises")
def _():
    ne.SetImportHook(level)
    for value, exc_type in ((Truthless(), ZeroDivisionError), (WrongTruth(), TypeError),
                            (LengthRaises(), OverflowError)):
        ne.SetRemoveImportHookFrames(False)
        try:
            ne.SetRemoveImportHookFrames(value)
        except exc_type:
            pass
        else:
            raise CheckFailed("truth test error not raised for %r" % type(value).__name__)
        # A failed truth test switches removal on.
        expect_labels(ValueError, (), 0, SHAPES["all"])
    ne.SetRemoveImportHookFrames(True)


@path("churn: flag flipped by the hook itself")
def _():
    def hook():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        ne.SetRemoveImportHookFrames(False)  # read after the hook returns: decides this call
        raise ValueError

    ne.SetImportHook(hook)
    expect_labels(ValueError, ("hook",))
    ne.SetRemoveImportHookFrames(True)


# ---------------------------------------------------------------------------------------------
# Paths: exported C++ entry points through ctypes
# ---------------------------------------------------------------------------------------------


@path("ctypes: remove_tracebackhide_frames with nothing pending")
def _():
    remove = symbol("_ZN17native_extensions27remove_tracebackhide_framesEv")
    remove()  # a PyDLL call raises if an exception was left pending
    check(sys.exc_info()[0] is None, "exception appeared")


@path("ctypes: InitNativeExtensions and InitNativeExtensionModuleInternal")
def _():
    for name in ("_ZN17native_extensions20InitNativeExtensionsEv",
                 "_ZN17native_extensions33InitNativeExtensionModuleInternalEv"):
        created = call_returning_new_reference(symbol(name, ctypes.c_void_p))
        check(created.__name__ == "native_extensions" and created is not ne, "new module", created)
        check(module_pointer() is created, "Module does not point to the newest module")


# ---------------------------------------------------------------------------------------------
# Paths: the fork handler
# ---------------------------------------------------------------------------------------------


class StdoutCapture:
    """Sends file descriptor 1 (C stdout, where the fork warning goes) to a file."""

    def __init__(self):
        self.fd = None
        self.saved = None

    def __enter__(self):
        sys.stdout.flush()
        self.fd = os.open(tempfile.gettempdir(), os.O_TMPFILE | os.O_RDWR)
        self.saved = os.dup(1)
        os.dup2(self.fd, 1)
        return self

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)
        os.close(self.fd)

    def size(self):
        return os.fstat(self.fd).st_size

    def warnings_since(self, offset):
        data = os.pread(self.fd, self.size() - offset, offset)
        return data.count(WARNING_PREFIX)


CAPTURE = None
REGISTERED = 0


def fork_setup():
    global CAPTURE, REGISTERED
    if REGISTERED == 0:
        check(ne.RegisterPreforkCallback() is False, "registration failed")
        REGISTERED = 1
    CAPTURE = StdoutCapture().__enter__()


def fork_teardown():
    global CAPTURE
    CAPTURE.__exit__()
    CAPTURE = None
    holder = module_pointer()
    if hasattr(holder, "python_fork_handler_called"):
        del holder.python_fork_handler_called


def fork_os():
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    return pid


def fork_libc_holding_lock():
    # A fork through the system library that the interpreter did not start, lock held.
    pid = ctypes.PyDLL(None).fork()
    if pid == 0:
        os._exit(0)
    return pid


def fork_libc_without_lock():
    # ctypes.CDLL releases the interpreter lock around the call: the handler must not touch
    # interpreter objects and warns.
    pid = ctypes.CDLL(None).fork()
    if pid == 0:
        os._exit(0)
    return pid


def forked(fork, expect_warning):
    offset = CAPTURE.size()
    pid = fork()
    check(pid > 0, "fork failed")
    _, status = os.waitpid(pid, 0)
    check(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, "child status", status)
    warnings = CAPTURE.warnings_since(offset)
    check(warnings == (REGISTERED if expect_warning else 0), "fork warnings", warnings, expect_warning)


FORK_VALUES = {
    "absent": (None, False),
    "1": (1, False),
    "True": (True, False),
    "__index__ giving 1": (IndexOne(), False),
    "0": (0, True),
    "'1' (unconvertible)": ("1", True),
    "None (unconvertible)": (None, True),
    "__index__ raising (unconvertible)": (IndexRaises(), True),
    "2**70 (overflow)": (2 ** 70, True),
}


def make_fork_path(label, value, warns, fork, how):
    def run():
        holder = module_pointer()
        if label == "absent":
            if hasattr(holder, "python_fork_handler_called"):
                del holder.python_fork_handler_called
        else:
            holder.python_fork_handler_called = value
        forked(fork, warns)

    path("fork (%s): attribute %s" % (how, label), inner=5, setup=fork_setup, teardown=fork_teardown)(run)


for _label, (_value, _warns) in FORK_VALUES.items():
    make_fork_path(_label, _value, _warns, fork_os, "os.fork")
make_fork_path("'x'", "x", True, fork_libc_holding_lock, "libc fork, lock held")
make_fork_path("1", 1, False, fork_libc_holding_lock, "libc fork, lock held")
make_fork_path("1", 1, True, fork_libc_without_lock, "libc fork, lock released")


@path("fork (os.fork): while an exception is being handled", inner=5,
      setup=fork_setup, teardown=fork_teardown)
def _():
    module_pointer().python_fork_handler_called = "x"
    try:
        raise KeyError("being handled")
    except KeyError:
        forked(fork_os, True)
        check(sys.exc_info()[0] is KeyError, "handled exception lost")


# ---------------------------------------------------------------------------------------------
# Fresh-interpreter paths (run with --child)
# ---------------------------------------------------------------------------------------------


@path("fresh: RuntimeError before any hook is set", fresh=True)
def _():
    for args, kwargs in (((), {}), ((1, 2), {"k": 3})):
        try:
            ne.CallImportHookRemovingFrames(*args, **kwargs)
        except RuntimeError as exc:
            check(exc.args == ("This function cannot be called without first calling SetImportHook",),
                  "message", exc.args)
        else:
            raise CheckFailed("no RuntimeError")


@path("fresh: remove_tracebackhide_frames and InitNativeExtensions before the module is imported",
      fresh=True)
def _():
    # Runs before `import native_extensions` in its child (see child_main).
    symbol("_ZN17native_extensions27remove_tracebackhide_framesEv")()
    created = call_returning_new_reference(symbol("_ZN17native_extensions20InitNativeExtensionsEv",
                                                  ctypes.c_void_p))
    check(module_pointer() is created, "Module")


@path("fresh: repeated RegisterPreforkCallback, then one fork", inner=3, fresh=True)
def _():
    global REGISTERED
    check(ne.RegisterPreforkCallback(1, "two", None) is False, "registration failed")
    REGISTERED += 1


def after_repeated_registration():
    ne.python_fork_handler_called = 0
    with StdoutCapture() as capture:
        global CAPTURE
        CAPTURE = capture
        forked(fork_os, True)  # one warning per registration
        CAPTURE = None


@path("fresh: failing calls in a verbose interpreter (-v): nothing removed", fresh=True)
def _():
    ne.SetImportHook(level)
    expect_labels(ValueError, ALL_LEVELS, 0, SHAPES["all"])
    ne.SetImportHook(exec)
    expect_labels(ValueError, ("<module>",), MODULE_CODE, {})


FRESH_INTERPRETER_ARGS = {
    "fresh: failing calls in a verbose interpreter (-v): nothing removed": ["-v"],
}
BEFORE_IMPORT = "fresh: remove_tracebackhide_frames and InitNativeExtensions before the module is imported"
AFTER_PATH = {"fresh: repeated RegisterPreforkCallback, then one fork": after_repeated_registration}


# ---------------------------------------------------------------------------------------------
# Measurement
# ---------------------------------------------------------------------------------------------


def cleanup():
    # The method cache keeps a strong reference to the attribute name of each of its slots,
    # including names that are not interned (PyObject_GetAttrString makes a new string on every
    # call): it would show as allocated blocks that grow until its slots are all taken.
    sys._clear_type_cache()
    gc.collect()
    gc.collect()


def hunt(func, inner, warmup, runs):
    """Runs `func` `inner` times per repetition; returns per-repetition deltas of the total
    reference count and allocated blocks, after `warmup` unmeasured repetitions.

    The deltas are kept in arrays so that recording them creates no objects, and the previous
    readings are the only ints kept alive between repetitions, so that the bookkeeping costs the
    same in every repetition.
    """
    repetitions = warmup + runs
    ref_deltas = array.array("q", bytes(8 * repetitions))
    block_deltas = array.array("q", bytes(8 * repetitions))
    loop = range(inner)
    cleanup()
    blocks_before = sys.getallocatedblocks()
    refs_before = sys.gettotalrefcount()
    for i in range(repetitions):
        for _ in loop:
            func()
        cleanup()
        blocks_after = sys.getallocatedblocks()
        refs_after = sys.gettotalrefcount()
        ref_deltas[i] = refs_after - refs_before
        block_deltas[i] = blocks_after - blocks_before
        refs_before = refs_after
        blocks_before = blocks_after
    return list(ref_deltas[warmup:]), list(block_deltas[warmup:])


def run_path(p, args):
    """Returns (ok, line) for one path measured in this process."""
    started = time.perf_counter()
    try:
        if p.setup:
            p.setup()
        try:
            if args.smoke:
                for _ in range(args.smoke):
                    p.func()
                refs = blocks = None
            else:
                refs, blocks = hunt(p.func, args.inner or p.inner, args.warmup, args.runs)
        finally:
            if p.teardown:
                p.teardown()
        if p.name in AFTER_PATH:
            AFTER_PATH[p.name]()
    except CheckFailed as exc:
        return False, "FAIL  %s: wrong behaviour: %s" % (p.name, exc)
    elapsed = time.perf_counter() - started
    if refs is None:
        return True, "ok    %s (%.2fs)" % (p.name, elapsed)
    leaked = any(refs) or any(blocks)
    return not leaked, "%s %s: refs %s blocks %s (%.2fs)" % (
        "LEAK " if leaked else "ok   ", p.name, refs, blocks, elapsed)


def check_debug_build():
    """The module must count references the way the interpreter does: built against this debug
    interpreter's own headers, its Py_INCREF and Py_DECREF update the total reference count.
    (Debian's python3.11d include directory is made of symbolic links into the release one; a
    compiler that resolves them for a system include directory picks up the release pyconfig.h
    and builds a module whose reference changes the total never sees.)"""
    with open(ne.__file__, "rb") as f:
        image = f.read()
    markers = (b"_Py_RefTotal", b"_Py_IncRefTotal", b"_Py_INCREF_IncRefTotal", b"_Py_NegativeRefcount")
    ok = any(marker in image for marker in markers)
    print("%s module built for the debug interpreter's reference counting" % ("ok   " if ok else "FAIL "))
    return ok


def self_test(args):
    """The measurement must report a deliberate reference leak and a deliberate block leak."""
    refs, _ = hunt(canary_reference_leak, 5, args.warmup, args.runs)
    _, blocks = hunt(canary_block_leak, 5, args.warmup, args.runs)
    CANARY_LIST.clear()
    ctypes.pythonapi.Py_DecRef.argtypes = [ctypes.py_object]
    for _ in range(5 * (args.warmup + args.runs)):
        ctypes.pythonapi.Py_DecRef(CANARY_SENTINEL)
    ctypes.pythonapi.Py_DecRef.argtypes = None
    ok = all(d == 5 for d in refs) and all(d >= 5 for d in blocks)
    print("%s self-test: deliberate leaks seen as refs %s blocks %s" % ("ok   " if ok else "FAIL ", refs, blocks))
    return ok


def run_child(p, args):
    """Runs one fresh path in a new interpreter; returns (ok, output)."""
    command = [sys.executable, *FRESH_INTERPRETER_ARGS.get(p.name, []), os.path.abspath(__file__),
               "--child", p.name, "--warmup", str(args.warmup), "--runs", str(args.runs)]
    if args.smoke:
        command += ["--smoke", str(args.smoke)]
    if args.inner:
        command += ["--inner", str(args.inner)]
    env = dict(os.environ)
    env.pop("PYTHONVERBOSE", None)
    proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=300)
    out = proc.stdout.decode(errors="replace").rstrip("\n")
    if proc.returncode != 0:
        err = proc.stderr.decode(errors="replace").splitlines()
        out += "\n      child exited %d; last lines of its stderr:\n      %s" % (
            proc.returncode, "\n      ".join(err[-15:]))
    return proc.returncode == 0, out


def child_main(args):
    chosen = [p for p in PATHS if p.name == args.child]
    if not chosen:
        sys.exit("leakcheck: no path %r" % args.child)
    p = chosen[0]
    if p.name == BEFORE_IMPORT:
        load_library()
        ok, line = run_path(p, args)
        load_module()
    else:
        load_module()
        ok, line = run_path(p, args)
    print(line, flush=True)
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--warmup", type=int, default=3, help="unmeasured repetitions (default 3)")
    parser.add_argument("--runs", type=int, default=3, help="measured repetitions (default 3)")
    parser.add_argument("--inner", type=int, default=0, help="calls per repetition (default: per path)")
    parser.add_argument("--smoke", type=int, default=0, metavar="N",
                        help="run every path N times without measuring (any interpreter)")
    parser.add_argument("-k", dest="select", default="", help="only paths whose name contains this")
    parser.add_argument("--list", action="store_true", help="list the paths and exit")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if not args.smoke and not hasattr(sys, "gettotalrefcount"):
        sys.exit("leakcheck: this interpreter has no sys.gettotalrefcount; run a debug build "
                 "(python3.11-dbg) or use --smoke")

    if args.child:
        return child_main(args)

    selected = [p for p in PATHS if args.select in p.name and (p.available is None or p.available())]
    if args.list:
        for p in selected:
            print(p.name)
        return 0

    load_module()
    started = time.perf_counter()
    print("leakcheck: %s %s, module %s" % (sys.executable, sys.version.split()[0], ne.__file__))
    mode = "smoke run x%d" % args.smoke if args.smoke else "-R %d:%d" % (args.warmup, args.runs)
    print("leakcheck: %d paths, %s" % (len(selected), mode), flush=True)

    ok = True
    if not args.smoke:
        ok = check_debug_build() and self_test(args)
    failures = 0
    for p in selected:
        if p.fresh:
            path_ok, line = run_child(p, args)
        else:
            path_ok, line = run_path(p, args)
        print(line, flush=True)
        failures += not path_ok
    ok = ok and failures == 0
    print("leakcheck: %d paths, %d clean, %d failed, %.1fs" % (
        len(selected), len(selected) - failures, failures, time.perf_counter() - started))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
