"""Scenarios that the tests run and that scripts/leakcheck.py repeats on a debug interpreter.

Each scenario calls into the module and asserts its outcome, so that it cannot silently stop
reaching the code it is about. `@scenario` gives it a table of cases, built like stacked
`pytest.mark.parametrize` decorators (every combination of the groups' values), with the same ids
in the tests and in the leak check (leakcheck.py -k and pytest -k take the same names). Nothing
here imports pytest: the debug interpreters the leak check runs on have none. A scenario with `fresh` set needs an interpreter of its own (started
with those options): the tests and the leak check run it in one.
"""
import atexit
import collections
import ctypes
import gc
import itertools
import os
import shutil
import signal
import sys
import tempfile
import traceback
import types
import weakref

import native_extensions as ne

MARKER = "__quenvar__tracebackhide__"
SCENARIOS = {}  # name -> function


def scenario(*groups, ids=None, inner=20, fresh=None):
    """Registers a scenario with the cases of `groups` ("argname[, argname...]", values, ...);
    `ids` maps a group's position to its values' ids. `inner` is the leak check's calls per
    repetition."""
    names, columns = [], []
    for position, (argnames, values) in enumerate(zip(groups[::2], groups[1::2])):
        split = [a.strip() for a in argnames.split(",")]
        names += split
        labels = (ids or {}).get(position) or [label(v) for v in values]
        columns.append([(tuple(v) if len(split) > 1 else (v,), i) for v, i in zip(values, labels)])
    rows = [(sum((v for v, _ in row), ()), "-".join(i for _, i in row)) for row in itertools.product(*columns)]

    def register(func):
        func.cases = {(func.__name__ + "[%s]" % i if i else func.__name__): args for args, i in rows} if groups else {
            func.__name__: ()}
        func.params = {"argnames": ",".join(names), "argvalues": [a if len(names) != 1 else a[0] for a, _ in rows],
                       "ids": [i for _, i in rows]}
        func.inner, func.fresh = inner, fresh
        SCENARIOS[func.__name__] = func
        return func

    return register


def label(value):
    if isinstance(value, (str, int, float, type(None))):
        return str(value)
    if isinstance(value, (tuple, list)):
        return "".join(map(label, value))
    if isinstance(value, BaseException):
        return type(value).__name__
    return getattr(value, "__name__", type(value).__name__)


def entry_names(error):
    return [frame.f_code.co_name for frame, _ in traceback.walk_tb(error.__traceback__)]


def failing_call(*args):
    """Calls through and returns the exception, as caught by this frame."""
    try:
        ne.CallImportHookRemovingFrames(*args)
    except BaseException as error:  # noqa: B036 - every exception must come back
        return error
    raise AssertionError("the hook did not raise")


def raises(error, call, *args, **kwargs):
    """Calls, and returns the exception of type `error` that the call must raise."""
    try:
        call(*args, **kwargs)
    except error as caught:
        return caught
    raise AssertionError("%s not raised" % error.__name__)


def define(source, name="hook"):
    namespace = {}
    exec(source, namespace)
    return namespace[name]


# --- The call-through, the hook slot and the removal switch ---------------------------------------


@scenario("args, kwargs", [((), {}), ((1,), {"c": 3}), ((object(), "name", None), {"level": 0})],
          ids={0: ["none", "keyword", "objects"]})
def arguments_and_result_pass_through_unchanged(args, kwargs):
    seen, result = [], object()

    def hook(*a, **k):
        seen.append((a, k))
        return result

    ne.SetImportHook(hook)
    assert ne.CallImportHookRemovingFrames(*args, **kwargs) is result
    (got_args, got_kwargs), = seen
    assert len(got_args) == len(args) and all(a is b for a, b in zip(got_args, args))
    assert got_kwargs == kwargs and all(got_kwargs[k] is v for k, v in kwargs.items())


ERROR = ValueError("the hook's own")


def marked_hook():
    __quenvar__tracebackhide__ = None  # noqa: F841
    raise ERROR


class Undecided:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@scenario("flag, removes", [(0, False), ("", False), ([], False), (False, False), (None, False),
                            (1, True), ("0", True), ([0], True), (True, True), (object(), True), (Undecided(), True)])
def flag_truthiness(flag, removes):
    ne.SetImportHook(marked_hook)
    ne.SetRemoveImportHookFrames(not removes)
    if isinstance(flag, Undecided):  # a failed truth test is reported and switches removal on
        raises(ZeroDivisionError, ne.SetRemoveImportHookFrames, flag)
    else:
        assert ne.SetRemoveImportHookFrames(flag) is None
    error = raises(ValueError, ne.CallImportHookRemovingFrames)
    assert error is ERROR and ("marked_hook" in entry_names(error)) is not removes
    ERROR.__traceback__ = None


@scenario()
def hook_references_are_counted_exactly():
    first, second = (lambda: 1), (lambda: 2)
    base_first, base_second = sys.getrefcount(first), sys.getrefcount(second)
    ne.SetImportHook(first)
    ne.SetImportHook(first)  # the same hook again
    assert sys.getrefcount(first) == base_first + 1
    ne.SetImportHook(second)  # the previous hook is released once
    assert (sys.getrefcount(first), sys.getrefcount(second)) == (base_first, base_second + 1)
    ne.SetImportHook(None)
    ne.SetImportHook(len)
    assert sys.getrefcount(second) == base_second


@scenario()
def hook_that_replaces_itself_stays_alive_until_it_returns():
    class Hook:
        def __call__(self):
            ne.SetImportHook(len)  # drops the slot's reference to the running hook
            gc.collect()
            return probe() is not None

    hook = Hook()
    probe = weakref.ref(hook)
    ne.SetImportHook(hook)
    del hook
    assert ne.CallImportHookRemovingFrames() is True
    assert probe() is None, "the replaced hook was never released"
    assert ne.CallImportHookRemovingFrames("ab") == 2, "its replacement is not called"


@scenario()
def flag_changed_by_the_hook_decides_its_own_failure():
    def hook(switch):
        __quenvar__tracebackhide__ = 1  # noqa: F841
        ne.SetRemoveImportHookFrames(switch)
        raise ValueError

    ne.SetImportHook(hook)
    for switch in (False, True):
        assert ("hook" in entry_names(raises(ValueError, ne.CallImportHookRemovingFrames, switch))) is not switch


@scenario()
def nested_call_through():
    def hook(depth):
        if depth:
            return ne.CallImportHookRemovingFrames(depth - 1) + 1
        __quenvar__tracebackhide__ = 1  # noqa: F841
        raise ValueError(depth)

    ne.SetImportHook(hook)
    assert entry_names(raises(ValueError, ne.CallImportHookRemovingFrames, 3)).count("hook") == 3


# --- Which entries a failing call keeps ----------------------------------------------------------


@scenario("marks", [[1, 0, 0, 0], [0, 1, 1, 0], [1, 1, 0, 1], [1, 1, 1, 1], [0, 0, 0, 0], [0, 1, 0, 1, 0, 1]],
          "value", ["None", "False", "0", "object()"])
def marked_entries_go_wherever_they_stand(marks, value):
    # f0 -> f1 -> ...: f<i> marks itself when marks[i]; the last one raises.
    ne.SetImportHook(define("".join(
        f"def f{i}():\n" + (f"    {MARKER} = {value}\n" if marked else "")
        + (f"    f{i + 1}()\n" if i + 1 < len(marks) else "    raise LookupError\n")
        for i, marked in enumerate(marks)), "f0"))
    for remove in (True, False):
        ne.SetRemoveImportHookFrames(remove)
        error = failing_call()
        kept = [f"f{i}" for i, marked in enumerate(marks) if not (remove and marked)]
        assert type(error) is LookupError and entry_names(error) == ["failing_call", *kept]
        # The relinked chain is consistent: each entry's line belongs to its frame's code.
        assert all(f.f_code.co_firstlineno <= line for f, line in traceback.walk_tb(error.__traceback__))


@scenario("body", [f"locals()['{MARKER}'] = 1", f"{MARKER} = 1; del {MARKER}",
                   f"import sys; sys._getframe().f_locals['{MARKER}'] = 1"], ids={0: ["locals", "deleted", "f_locals"]})
def injected_or_deleted_marker_does_not_mark(body):
    # Injected, it is not a variable of the function: whatever locals() or the frame's locals
    # mapping keeps of it (from 3.13 on, f_locals writes through to the frame) does not count.
    ne.SetImportHook(define(f"def hook():\n    {body}\n    raise KeyError\n"))
    assert entry_names(failing_call()) == ["failing_call", "hook"]


@scenario()
def frame_cleared_before_removal_is_not_marked():
    def cleared():
        __quenvar__tracebackhide__ = True  # noqa: F841
        raise KeyError

    def hook():
        try:
            cleared()
        except KeyError as error:
            error.__traceback__.tb_next.tb_frame.clear()  # drops its locals, marker included
            raise

    ne.SetImportHook(hook)
    assert entry_names(failing_call()) == ["failing_call", "hook", "cleared"]


@scenario()
def marked_callers_kept_and_chained_exceptions_left_whole():
    def inner():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        raise KeyError("cause")

    def hook():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        try:
            inner()
        except KeyError as cause:
            raise ValueError("effect") from cause

    def outer():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        ne.CallImportHookRemovingFrames()

    ne.SetImportHook(hook)
    error = raises(ValueError, outer)
    assert entry_names(error) == ["raises", "outer"]
    assert entry_names(error.__cause__) == ["hook", "inner"]


def deeper():
    __quenvar__tracebackhide__ = 1  # noqa: F841
    raise OSError("deep")


class Claims(collections.UserDict):
    """Not a dict, and holds nothing: only the membership test answers."""

    def __contains__(self, key):
        return key == MARKER


class Refusing(collections.UserDict):
    def __contains__(self, key):
        raise RuntimeError("no membership test here")


class Clashing:
    """A key that collides with the marker and cannot be compared."""

    def __hash__(self):
        return hash(MARKER)

    def __eq__(self, other):
        raise ArithmeticError("cannot compare")


@scenario("make_locals, removed", [(Claims, True), (Refusing, False), (lambda: {Clashing(): 1}, False)],
          ids={0: ["Claims", "Refusing", "Clashing"]})
def locals_mapping_is_asked_with_in(make_locals, removed):
    # A failing membership test keeps its entry, loses nothing else, and leaves nothing pending for
    # the next one (the inner exec'd code, which Claims marks) nor behind.
    inner = compile("deeper()\n", "<inner>", "exec")
    outer = compile("exec(inner, {'deeper': deeper}, Claims())\n", "<outer>", "exec")

    def hook():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        exec(outer, {"inner": inner, "deeper": deeper, "Claims": Claims}, make_locals())

    ne.SetImportHook(hook)
    error = failing_call()
    assert type(error) is OSError and str(error) == "deep" and error.__context__ is None
    assert entry_names(error) == ["failing_call"] + ([] if removed else ["<module>"])
    assert sys.exc_info() == (None, None, None)


class OnlyGetitem:
    """A namespace with neither __contains__ nor __iter__: `in` would probe __getitem__(0), (1), ..."""

    def __init__(self, answers_everything):
        self.names, self.answers_everything = {}, answers_everything

    def __setitem__(self, key, value):
        self.names[key] = value

    def __getitem__(self, key):
        if key in self.names or self.answers_everything:
            return self.names.get(key)
        raise KeyError(key)


@scenario("answers_everything, marks, removed", [
    (True, False, True),  # a defaulting namespace answers the marker too: the lookup says bound
    (False, True, True),
    (False, False, False),
])
def namespace_without_contains_is_asked_like_a_name_lookup(answers_everything, marks, removed):
    inner = compile((f"{MARKER} = 1\n" if marks else "") + "deeper()\n", "<inner>", "exec")

    def hook():
        exec(inner, {"deeper": deeper}, OnlyGetitem(answers_everything))

    ne.SetImportHook(hook)
    error = failing_call()  # must return at all: no probing by index
    assert entry_names(error) == ["failing_call", "hook"] + ([] if removed else ["<module>"])


class Prepared(type):
    """Class bodies run in a namespace that is not a dict (its __contains__ is asked)."""

    @classmethod
    def __prepare__(mcls, name, bases):
        return collections.UserDict()

    def __new__(mcls, name, bases, namespace):
        return super().__new__(mcls, name, bases, dict(namespace))


def class_body(marked):
    class Body(metaclass=Prepared):
        if marked:
            __quenvar__tracebackhide__ = True
        raise ValueError("class body")


IMPORTED = {"scenarios_marked_module": f"{MARKER} = 1\nraise ValueError\n",
            "scenarios_plain_module": "raise ValueError\n"}


def import_fresh(name):
    """Imports a module written to a directory of its own, which is on sys.path only meanwhile.
    Its code raises, so the import leaves nothing in sys.modules: the next one runs it again."""
    if not MODULES:
        MODULES.append(tempfile.mkdtemp(prefix="scenarios-"))
        atexit.register(shutil.rmtree, MODULES[0], True)
        for module, source in IMPORTED.items():
            with open(os.path.join(MODULES[0], module + ".py"), "w") as f:
                f.write(source)
    sys.path.insert(0, MODULES[0])
    try:
        __import__(name)
    finally:
        sys.path.remove(MODULES[0])


MODULES = []  # the directory, once made


@scenario("hook, arg, entries", [(class_body, True, ["class_body"]), (class_body, False, ["class_body", "Body"]),
                                 (import_fresh, "scenarios_marked_module", ["import_fresh"]),
                                 (import_fresh, "scenarios_plain_module", ["import_fresh", "<module>"])],
          ids={0: ["marked_class_body", "class_body", "marked_module", "module"]})
def namespace_frames_of_class_bodies_and_modules(hook, arg, entries):
    # A class body whose namespace is not a dict; an imported module's globals.
    ne.SetImportHook(hook)
    error = failing_call(arg)
    names = [n for n in entry_names(error) if not n.startswith("_")]  # the import system's own frames
    assert type(error) is ValueError and names == ["failing_call", *entries], names


# --- Entries held elsewhere, and chains changed during the walk ------------------------------------

KEPT = []


def marked_leaf():
    __quenvar__tracebackhide__ = 1  # noqa: F841
    raise KeyError("inner")


def reraise_with_its_traceback():
    try:
        marked_leaf()
    except KeyError as e:
        raise ImportError("outer").with_traceback(e.__traceback__)


def raise_while_a_traceback_is_kept():
    try:
        marked_leaf()
    except KeyError as e:
        KEPT.append(e.__traceback__)  # held elsewhere: its entries must not change
        raise


def marked_step():
    __quenvar__tracebackhide__ = 1  # noqa: F841
    marked_leaf()


def reraise_two_hidden():
    try:
        marked_step()
    except KeyError as e:
        raise ImportError("outer").with_traceback(e.__traceback__)


def kept_tail():
    raise KeyError("inner")


def hidden_middle():
    __quenvar__tracebackhide__ = 1  # noqa: F841
    kept_tail()


def kept_head():
    hidden_middle()


def reraise_hidden_in_the_middle():
    try:
        kept_head()
    except KeyError as e:
        raise ImportError("outer").with_traceback(e.__traceback__)


def context_traceback(error):
    return error.__context__.__traceback__


@scenario("hook, held, entries, leaves", [
    # The re-raised exception has the hook's entry twice: where it raised, then the shared one.
    (reraise_with_its_traceback, context_traceback, ["reraise_with_its_traceback"] * 2, ["marked_leaf"]),
    (raise_while_a_traceback_is_kept, lambda error: KEPT[-1], ["raise_while_a_traceback_is_kept"], ["marked_leaf"]),
    # Two hidden shared entries in a row: the second has no kept entries before it to copy.
    (reraise_two_hidden, context_traceback, ["reraise_two_hidden"] * 2, ["marked_step", "marked_leaf"]),
    # Kept shared entries on either side of a hidden one: copies, then a link to the rest.
    (reraise_hidden_in_the_middle, context_traceback, ["reraise_hidden_in_the_middle"] * 2 + ["kept_head", "kept_tail"],
     ["kept_head", "hidden_middle", "kept_tail"]),
], ids={0: ["reraised", "kept", "reraised_two_hidden", "reraised_hidden_in_the_middle"]})
def entries_held_elsewhere_are_left_unchanged(hook, held, entries, leaves):
    ne.SetImportHook(hook)
    for _ in range(2):  # the second time over entries that the first call copied
        error = failing_call()
        assert entry_names(error) == ["failing_call", *entries]
        assert [frame.f_code.co_name for frame, _ in traceback.walk_tb(held(error))] == [hook.__name__, *leaves]
        # A copy stands for its entry: same frame, same line.
        shared = [(f, line) for f, line in traceback.walk_tb(held(error)) if f.f_code.co_name in entries]
        assert list(traceback.walk_tb(error.__traceback__))[-len(shared):] == shared
    KEPT.clear()


class LeadingBack(dict):
    """A namespace whose membership test cuts the chain after the hook's entry and links its own
    entry back to it, while a later entry is held elsewhere (the rest of the chain is shared).
    When relinking_hook is the hook, the entry linked back to is the one right ahead of its own,
    which the walk has passed: it goes round to its checkpoint."""

    def __contains__(self, key):
        tracebacks = [o for o in gc.get_objects() if type(o) is types.TracebackType]
        mine, = (o for o in tracebacks if o.tb_frame.f_code.co_filename == "<inner>" and o.tb_frame.f_locals is self)
        ahead, = [o for o in tracebacks if o.tb_frame.f_code is hook.__code__ and o.tb_next is not None
                  and o.tb_next.tb_next is mine] or [
            o for o in tracebacks if o.tb_frame.f_code is relinking_hook.__code__ and o.tb_next is mine]
        ahead.tb_next = None
        mine.tb_next = ahead
        return False


def relinking_hook():
    try:
        exec(compile("marked_leaf()\n", "<inner>", "exec"), {"marked_leaf": marked_leaf}, LeadingBack())
    except KeyError as e:
        KEPT.append(e.__traceback__)
        raise


def hook():
    relinking_hook()


class BackToKept(dict):
    """A namespace whose membership test links its own entry after the entry ahead of the hidden
    one just unlinked: a loop that the tb_next setter refuses, unless that unlink is deferred (the
    stable-ABI build), which the walk must then survive."""

    def __contains__(self, key):
        tracebacks = [o for o in gc.get_objects() if type(o) is types.TracebackType]
        mine, = (o for o in tracebacks if o.tb_frame.f_code.co_filename == "<back>" and o.tb_frame.f_locals is self)
        ahead, = (o for o in tracebacks if o.tb_frame.f_code is linking_back_hook.__code__)
        try:
            mine.tb_next = ahead
        except ValueError:
            pass
        return False


def hidden_step():
    __quenvar__tracebackhide__ = True  # noqa: F841
    exec(compile("marked_leaf()\n", "<back>", "exec"), {"marked_leaf": marked_leaf}, BackToKept())


def linking_back_hook():
    hidden_step()


@scenario("hook, outcomes", [
    # The walk must not link the hook's entry to the shared ones that now lead back to it: the
    # chain as the namespace left it.
    (hook, [["failing_call", "hook"]]),
    (relinking_hook, [["failing_call", "relinking_hook"]]),
    # The link back is refused, or (deferred) the walk ends at the loop and the link that would
    # close it is refused when the links are made.
    (linking_back_hook, [["failing_call", "linking_back_hook", "<module>"], ["failing_call", "linking_back_hook"]]),
], ids={0: ["hook", "relinking_hook", "linking_back_hook"]}, inner=5)
def chain_relinked_during_removal_leaves_without_a_cycle(hook, outcomes):
    ne.SetImportHook(hook)
    error = failing_call()
    KEPT.clear()
    walked = itertools.islice(traceback.walk_tb(error.__traceback__), 10)  # ends even on a cycle
    assert [frame.f_code.co_name for frame, _ in walked] in outcomes


class Timeout(BaseException):
    """What a test runner raises when a test takes too long: not an Exception."""


class Raising(dict):
    """A namespace whose membership test raises `self.error` (or has a signal handler do it)."""

    def __init__(self, error, by_signal):
        super().__init__()
        self.error, self.by_signal = error, by_signal

    def __contains__(self, key):
        if not self.by_signal:
            raise self.error

        def handler(signum, frame):
            raise self.error
        previous = signal.signal(signal.SIGTERM, handler)
        try:
            os.kill(os.getpid(), signal.SIGTERM)  # handled at the next bytecode boundary, right here
            for _ in range(10):
                pass
        finally:
            signal.signal(signal.SIGTERM, previous)
        return False


@scenario("inner, hook_error, entries", [
    ("deeper()", OSError, ["<module>", "deeper"]),
    ("int('raised by C, with nothing handled')", ValueError, ["<module>"]),  # 3.10/3.11: not an instance yet
], "by_signal", [False, True], "error, propagates", [
    (KeyboardInterrupt(), True),
    (SystemExit(3), True),  # sys.exit() in a SIGTERM handler
    (GeneratorExit(), True),
    (Timeout(), True),
    (ValueError("a failing lookup"), False),  # counts as not marked, and is discarded
], ids={0: ["python", "c"], 1: ["raised", "signal_handler"]})
def exception_that_is_not_an_exception_ends_removal_and_reaches_the_caller(
        inner, hook_error, entries, by_signal, error, propagates):
    # It ends the walk; the hook's exception, with what the walk had removed, is its context.
    inner = compile(inner, "<inner>", "exec")
    namespaces = []  # weak references

    def hook():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        namespaces.append(weakref.ref(namespace := Raising(error, by_signal)))
        exec(inner, {"deeper": deeper}, namespace)

    ne.SetImportHook(hook)
    caught = failing_call()
    assert sys.exc_info() == (None, None, None)
    if propagates:
        assert caught is error and type(caught.__context__) is hook_error
        assert entry_names(caught.__context__) == entries  # as far as the walk went
    else:
        assert type(caught) is hook_error and entry_names(caught) == ["failing_call", "<module>"]
    assert (caught.__context__ if propagates else caught).__context__ is None
    # Nothing that the walk stood on outlives the exceptions: the namespace dies with its frame.
    del caught
    error.__traceback__ = error.__context__ = None
    gc.collect()
    assert [ref() for ref in namespaces] == [None]


@scenario("source, context, raised_in", [
    ("raise SAME\n", type(None), "hook"),
    # The hook's exception has the interrupt as its context: that link is cut, closing no cycle.
    ("try:\n    raise SAME\nexcept KeyboardInterrupt:\n    raise ValueError\n", ValueError, "__contains__"),
], ids={0: ["itself", "its_context"]})
def hooks_own_exception_raised_again_is_never_its_own_context(source, context, raised_in):
    same = KeyboardInterrupt("the hook's own")
    inner = compile(source, "<inner>", "exec")

    def hook():
        exec(inner, {"SAME": same}, Raising(same, False))

    ne.SetImportHook(hook)
    for _ in range(2):
        caught = failing_call()
        assert caught is same and type(caught.__context__) is context
        assert getattr(caught.__context__, "__context__", None) is None
        assert entry_names(caught)[:2] == ["failing_call", raised_in]
    same.__traceback__ = same.__context__ = None


@scenario("hook, args, error", [(int, ("not a number",), ValueError), (None, (), TypeError)], ids={0: ["int", "None"]})
def hook_that_fails_without_traceback(hook, args, error):
    # A C callable (or none at all) failing before any Python frame: the exception is intact.
    ne.SetImportHook(hook)
    caught = failing_call(*args)
    assert type(caught) is error and entry_names(caught) == ["failing_call"]
    assert ("invalid literal" if hook else "not callable") in str(caught)


class Probe(dict):
    """Notes the ids (no references) of the traceback entries alive when its frame is tested."""

    seen = []

    def __contains__(self, key):
        Probe.seen = [id(o) for o in gc.get_objects() if type(o) is types.TracebackType]
        return False


def kept_ahead_of_a_hidden_one():
    marked_leaf()


@scenario(inner=5)
def entries_nothing_else_holds_are_relinked_not_copied():
    # Only entries held elsewhere are replaced by copies; the walk's own bookkeeping must not
    # make an entry look held.
    def hook():
        exec(compile("kept()\n", "<probe>", "exec"), {"kept": kept_ahead_of_a_hidden_one}, Probe())

    ne.SetImportHook(hook)
    error = failing_call()
    entries = list(itertools.islice(traceback.walk_tb(error.__traceback__), 10))[1:]
    assert [frame.f_code.co_name for frame, _ in entries] == ["hook", "<module>", "kept_ahead_of_a_hidden_one"]
    tb, originals = error.__traceback__.tb_next, []
    while tb is not None:
        originals.append(id(tb) in Probe.seen)
        tb = tb.tb_next
    assert all(originals), originals
    Probe.seen = []


ABI3 = ne.__file__.endswith(".abi3.so")
LIVE_NAMESPACE = """
try:
    fail()
except ZeroDivisionError as error:
    hook.cached = error
entries.append([call() for _ in [0]][0] if in_comprehension else call())
"""


@scenario("namespace", ["globals", "dict", "claims"], "in_comprehension", [False, True])
def running_namespace_frame_of_a_reraised_failure(namespace, in_comprehension):
    # The hook re-raises a cached failure whose entries include a module-level or exec'd frame
    # that is still running, its namespace marked: the entry goes, also while that frame runs an
    # inlined comprehension (3.12+), where its f_locals is a copy (3.12) or a proxy (3.13+) that
    # abi3 alone has to go by.
    def fail():
        raise ZeroDivisionError

    def hook():
        raise hook.cached

    def call():
        return entry_names(failing_call())

    ne.SetImportHook(hook)
    entries = []
    names = {"fail": fail, "hook": hook, "call": call, "entries": entries, "in_comprehension": in_comprehension}
    if namespace == "globals":
        exec(LIVE_NAMESPACE, {**names, MARKER: 1})
    else:
        exec(LIVE_NAMESPACE, names, {MARKER: 1} if namespace == "dict" else Claims())
    seen_by_abi3 = not in_comprehension or (sys.version_info < (3, 13) and namespace != "claims")
    assert entries == [["failing_call", "hook"] + ([] if seen_by_abi3 or not ABI3 else ["<module>"]) + ["fail"]]
    hook.cached = None


class Recording(dict):
    """A class namespace that records what is written to its class cells' names."""

    def __setitem__(self, key, value):
        self.written = getattr(self, "written", []) + [key] * (key in ("__class__", "__classdict__"))
        super().__setitem__(key, value)

    __delitem__ = lambda self, key: self.__setitem__(key, None)  # noqa: E731 - recorded the same


@scenario("frame", ["class body", "function"])
def walk_leaves_a_running_frame_as_it_was(frame):
    # A re-raised failure whose entries include a frame still running: testing it writes nothing
    # into a class namespace being built (its __class__ and __classdict__ cells) and keeps none of
    # a function's variables alive. Only abi3 on 3.12 has to make the frame's locals mapping.
    def hook():
        raise hook.cached

    def call():
        try:
            ne.CallImportHookRemovingFrames()
        except LookupError:
            pass

    ne.SetImportHook(hook)
    code = {"class body": "class C(metaclass=Meta):\n    def method(self):\n        return __class__\n"
            + "    def generic[T](self): pass\n" * (sys.version_info >= (3, 12)) + "    BODY\nns = spaces[0]\n",
            "function": "def running():\n    resource = type('R', (), {})()\n    BODY\n    alive = weakref.ref(resource)\n"
            "    del resource\n    if alive():\n        __quenvar__tracebackhide__ = 1  # declared: the frame is tested\n"
            "    return alive()\nns = running()\n"}[frame]
    body = "try:\n        raise LookupError\n    except LookupError as error:\n        hook.cached = error\n    call()"
    spaces = []
    names = {"Meta": type("Meta", (type,), {"__prepare__": classmethod(lambda *args: spaces.append(Recording()) or spaces[0])}),
             "spaces": spaces, "hook": hook, "call": call, "weakref": weakref, MARKER: None}
    exec(code.replace("BODY", body), names)
    hook.cached = None
    changed = ABI3 and sys.version_info[:2] == (3, 12)
    assert (bool(getattr(names["ns"], "written", None)) if frame == "class body" else names["ns"] is not None) == changed


# --- The exported C++ entry points, through ctypes ------------------------------------------------

LIB = ctypes.PyDLL(ne.__file__)


def module_pointer():
    """The module that native_extensions::Module points to."""
    address = ctypes.c_void_p.in_dll(LIB, "_ZN17native_extensions6ModuleE").value
    return ctypes.cast(address, ctypes.py_object).value if address else None


@scenario()
def exported_removal_alone():
    remove = LIB._ZN17native_extensions27remove_tracebackhide_framesEv
    remove.restype = None
    remove()  # with nothing pending it does nothing: PyDLL raises whatever is pending after the call
    assert sys.exc_info() == (None, None, None)

    # With one pending it removes the marked entries of its traceback: called as the destructor of
    # a capsule released right after the call that raised it, before this frame's entry is added.
    def marked():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        raise KeyError("pending")

    error = raises(KeyError, marked)
    api = ctypes.PyDLL(None)
    api.PyCapsule_New.restype = ctypes.py_object
    api.PyCapsule_New.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
    try:
        api.PyErr_SetObject(ctypes.py_object(KeyError), ctypes.py_object(error),
                            ctypes.py_object(api.PyCapsule_New(1, None, ctypes.cast(remove, ctypes.c_void_p))))
    except KeyError as info:
        assert info is error
    else:
        raise AssertionError("nothing pending")
    assert [frame.f_code.co_name for frame, _ in traceback.walk_tb(error.__traceback__)] == [
        "exported_removal_alone", "raises"]
    error.__traceback__ = None


# --- The fork handler ----------------------------------------------------------------------------

WARNING = b"[Quenvar] Quenvar does not support running in forking processes."
ABSENT = object()
FORKS = {"os.fork": os.fork,
         "libc_lock_held": ctypes.PyDLL(None).fork,
         "libc_lock_released": ctypes.CDLL(None).fork}  # the handler must not touch objects


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
    assert status == 0, status
    return output.count(WARNING)


REGISTERED = []


@scenario("fork, how, value, warnings", [
    ("os.fork", "attribute", ABSENT, 0), ("os.fork", "attribute", 1, 0), ("os.fork", "attribute", 0, 1),
    ("os.fork", "attribute", "x", 1), ("os.fork", "attribute", 2**70, 1),
    ("libc_lock_held", "attribute", "1", 1), ("libc_lock_released", "attribute", 1, 1),
    ("os.fork", "getattr", ABSENT, 0), ("os.fork", "getattr", 1, 0), ("os.fork", "getattr", 0, 1),
], ids={0: ["os.fork-attribute-absent", "os.fork-attribute-1", "os.fork-attribute-0", "os.fork-attribute-x",
            "os.fork-attribute-2**70", "libc_lock_held-attribute-'1'", "libc_lock_released-attribute-1",
            "os.fork-getattr-absent", "os.fork-getattr-1", "os.fork-getattr-0"]}, inner=5)
def fork_warns_unless_handled(fork, how, value, warnings):
    # The attribute as the package sets it on the module, or given by the module's __getattr__.
    # The handler stays registered for the rest of the process: the tests run this in an
    # interpreter of its own.
    if not REGISTERED:  # once: each registration warns once more at every fork
        assert ne.RegisterPreforkCallback() is False
        REGISTERED.append(True)
    holder = module_pointer()
    name = "python_fork_handler_called" if how == "attribute" else "__getattr__"
    if how == "getattr":
        value = ({} if value is ABSENT else {"python_fork_handler_called": value}).__getitem__
    if value is not ABSENT:
        setattr(holder, name, value)
    try:
        assert fork_warnings(FORKS[fork]) == warnings
    finally:
        vars(holder).pop(name, None)


# --- Fresh interpreters -------------------------------------------------------

@scenario(fresh=[])
def call_before_any_hook_raises_runtime_error():
    error = raises(RuntimeError, ne.CallImportHookRemovingFrames, 1, name="x")
    assert str(error) == "This function cannot be called without first calling SetImportHook"


@scenario(fresh=["-v"])
def verbose_interpreter_keeps_every_entry():
    # -v or PYTHONVERBOSE: every entry stays, the marked ones included, and removal (which does not
    # run) imports nothing either way: it must not go through builtins.__import__, usually the hook.
    import builtins
    verbose = sys.flags.verbose > 0
    imported, real_import = [], builtins.__import__

    def hook():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        raise KeyError

    ne.SetImportHook(hook)
    builtins.__import__ = lambda name, *a, **k: imported.append(name) or real_import(name, *a, **k)
    try:
        for _ in range(2):
            assert (entry_names(failing_call()) == ["failing_call", "hook"]) is verbose
    finally:
        builtins.__import__ = real_import
    assert imported == []


def run(name):
    """Runs every case of the scenario `name` (how a fresh interpreter started by the tests runs it)."""
    func = SCENARIOS[name]
    for args in func.cases.values():
        func(*args)
