"""Which traceback entries a failing hook call loses, and which it keeps: specific faults.

Frame kinds, closures, unbound markers, namespaces and generators are drawn in test_properties.py.
"""
import collections
import gc
import itertools
import os
import signal
import sys
import traceback
import types
import weakref

import native_extensions
import pytest

from conftest import run_python

MARKER = "__quenvar__tracebackhide__"


def entry_names(error):
    return [frame.f_code.co_name for frame, _ in traceback.walk_tb(error.__traceback__)]


def failing_call(ne, *args):
    """Calls through and returns the exception, as caught by this frame."""
    try:
        ne.CallImportHookRemovingFrames(*args)
    except BaseException as error:  # noqa: B036 - every exception must come back
        return error
    raise AssertionError("the hook did not raise")


def define(source, name="hook"):
    namespace = {}
    exec(source, namespace)
    return namespace[name]


@pytest.mark.parametrize(
    "marks",
    [[1, 0, 0, 0], [0, 1, 1, 0], [1, 1, 0, 1], [1, 1, 1, 1], [0, 0, 0, 0], [0, 1, 0, 1, 0, 1]],
)
@pytest.mark.parametrize("value", ["None", "False", "0", "object()"])
def test_marked_entries_go_wherever_they_stand(ne, marks, value):
    # f0 -> f1 -> ...: f<i> marks itself when marks[i]; the last one raises.
    ne.SetImportHook(define("".join(
        f"def f{i}():\n" + (f"    {MARKER} = {value}\n" if marked else "")
        + (f"    f{i + 1}()\n" if i + 1 < len(marks) else "    raise LookupError\n")
        for i, marked in enumerate(marks)), "f0"))
    for remove in (True, False):
        ne.SetRemoveImportHookFrames(remove)
        error = failing_call(ne)
        kept = [f"f{i}" for i, marked in enumerate(marks) if not (remove and marked)]
        assert type(error) is LookupError and entry_names(error) == ["failing_call", *kept]
        # The relinked chain is consistent: each entry's line belongs to its frame's code.
        assert all(f.f_code.co_firstlineno <= line for f, line in traceback.walk_tb(error.__traceback__))


@pytest.mark.parametrize("body", [f"locals()['{MARKER}'] = 1", f"{MARKER} = 1; del {MARKER}",
                                  f"import sys; sys._getframe().f_locals['{MARKER}'] = 1"])
def test_injected_or_deleted_marker_does_not_mark(ne, body):
    # Injected, it is not a variable of the function: whatever locals() or the frame's locals
    # mapping keeps of it (from 3.13 on, f_locals writes through to the frame) does not count.
    ne.SetImportHook(define(f"def hook():\n    {body}\n    raise KeyError\n"))
    assert entry_names(failing_call(ne)) == ["failing_call", "hook"]


def test_frame_cleared_before_removal_is_not_marked(ne):
    def cleared():
        __quenvar__tracebackhide__ = True
        raise KeyError

    def hook():
        try:
            cleared()
        except KeyError as error:
            error.__traceback__.tb_next.tb_frame.clear()  # drops its locals, marker included
            raise

    ne.SetImportHook(hook)
    assert entry_names(failing_call(ne)) == ["failing_call", "hook", "cleared"]


def test_marked_callers_kept_and_chained_exceptions_left_whole(ne):
    def inner():
        __quenvar__tracebackhide__ = 1
        raise KeyError("cause")

    def hook():
        __quenvar__tracebackhide__ = 1
        try:
            inner()
        except KeyError as cause:
            raise ValueError("effect") from cause

    def outer():
        __quenvar__tracebackhide__ = 1
        ne.CallImportHookRemovingFrames()

    ne.SetImportHook(hook)
    with pytest.raises(ValueError) as info:
        outer()
    assert entry_names(info.value) == ["test_marked_callers_kept_and_chained_exceptions_left_whole", "outer"]
    assert entry_names(info.value.__cause__) == ["hook", "inner"]


def deeper():
    __quenvar__tracebackhide__ = 1
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


@pytest.mark.parametrize("make_locals, removed", [(Claims, True), (Refusing, False), (lambda: {Clashing(): 1}, False)])
def test_locals_mapping_is_asked_with_in(ne, make_locals, removed):
    # A failing membership test keeps its entry, loses nothing else, and leaves nothing pending for
    # the next one (the inner exec'd code, which Claims marks) nor behind.
    inner = compile("deeper()\n", "<inner>", "exec")
    outer = compile("exec(inner, {'deeper': deeper}, Claims())\n", "<outer>", "exec")

    def hook():
        __quenvar__tracebackhide__ = 1
        exec(outer, {"inner": inner, "deeper": deeper, "Claims": Claims}, make_locals())

    ne.SetImportHook(hook)
    error = failing_call(ne)
    assert type(error) is OSError and str(error) == "deep" and error.__context__ is None
    assert entry_names(error) == ["failing_call"] + ([] if removed else ["<module>"])
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize(
    "args, env, verbose",
    [(["-v"], {}, True), ([], {"PYTHONVERBOSE": "1"}, True), (["-X", "importtime"], {}, False)],
)
def test_verbose_interpreter_keeps_every_entry_and_removal_imports_nothing(args, env, verbose):
    # The removal must not go through builtins.__import__: that is usually the hook itself.
    proc = run_python(
        """
        import builtins, native_extensions as ne
        imported, real_import = [], builtins.__import__
        def hook():
            __quenvar__tracebackhide__ = 1
            raise KeyError
        ne.SetImportHook(hook)
        builtins.__import__ = lambda name, *a, **k: imported.append(name) or real_import(name, *a, **k)
        for _ in range(2):
            try:
                ne.CallImportHookRemovingFrames()
            except KeyError as e:
                print(e.__traceback__.tb_next is not None, imported)
        """,
        *args,
        env=env,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"{verbose} []\n" * 2


@pytest.mark.parametrize("hook, args, error", [(int, ("not a number",), ValueError), (None, (), TypeError)])
def test_hook_that_fails_without_traceback(ne, hook, args, error):
    # A C callable (or none at all) failing before any Python frame: the exception is intact.
    ne.SetImportHook(hook)
    with pytest.raises(error, match="invalid literal|not callable"):
        ne.CallImportHookRemovingFrames(*args)


def marked_leaf():
    __quenvar__tracebackhide__ = 1
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


KEPT = []


@pytest.mark.parametrize("hook, held, kept", [
    # The re-raised exception has the hook's entry twice: where it raised, then the shared one.
    (reraise_with_its_traceback, lambda error: error.__context__.__traceback__, 2),
    (raise_while_a_traceback_is_kept, lambda error: KEPT[-1], 1),
])
def test_entries_held_elsewhere_are_left_unchanged(ne, hook, held, kept):
    ne.SetImportHook(hook)
    for _ in range(2):  # the second time over entries that the first call copied
        error = failing_call(ne)
        assert entry_names(error) == ["failing_call"] + [hook.__name__] * kept
        assert [frame.f_code.co_name for frame, _ in traceback.walk_tb(held(error))] == [hook.__name__, "marked_leaf"]
        # A copy stands for its entry: same frame, same line.
        (frame, line), = list(traceback.walk_tb(error.__traceback__))[-1:]
        assert (frame, line) == next(traceback.walk_tb(held(error)))
    KEPT.clear()


class LeadingBack(dict):
    """A namespace whose membership test cuts the chain after the hook's entry and links its own
    entry back to it, while a later entry is held elsewhere (the rest of the chain is shared)."""

    def __contains__(self, key):
        tracebacks = [o for o in gc.get_objects() if type(o) is types.TracebackType]
        mine, = (o for o in tracebacks if o.tb_frame.f_code.co_filename == "<inner>" and o.tb_frame.f_locals is self)
        hooks = (o for o in tracebacks if o.tb_frame.f_code is hook.__code__)
        ahead, = (o for o in hooks if o.tb_next is not None and o.tb_next.tb_next is mine)
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


@pytest.mark.parametrize("hook, outcomes", [
    # The walk must not link the hook's entry to the shared ones that now lead back to it: the
    # chain as the namespace left it.
    (hook, [["failing_call", "hook"]]),
    # The link back is refused, or (deferred) the walk ends at the loop and the link that would
    # close it is refused when the links are made.
    (linking_back_hook, [["failing_call", "linking_back_hook", "<module>"], ["failing_call", "linking_back_hook"]]),
])
def test_chain_relinked_during_removal_leaves_without_a_cycle(ne, hook, outcomes):
    ne.SetImportHook(hook)
    error = failing_call(ne)
    KEPT.clear()
    walked = itertools.islice(traceback.walk_tb(error.__traceback__), 10)  # ends even on a cycle
    assert [frame.f_code.co_name for frame, _ in walked] in outcomes


class Probe(dict):
    """Notes the ids (no references) of the traceback entries alive when its frame is tested."""

    seen = []

    def __contains__(self, key):
        Probe.seen = [id(o) for o in gc.get_objects() if type(o) is types.TracebackType]
        return False


def kept_ahead_of_a_hidden_one():
    marked_leaf()


def test_entries_nothing_else_holds_are_relinked_not_copied(ne):
    # Only entries held elsewhere are replaced by copies; the walk's own bookkeeping must not
    # make an entry look held.
    def hook():
        exec(compile("kept()\n", "<probe>", "exec"), {"kept": kept_ahead_of_a_hidden_one}, Probe())

    ne.SetImportHook(hook)
    error = failing_call(ne)
    entries = list(itertools.islice(traceback.walk_tb(error.__traceback__), 10))[1:]
    assert [frame.f_code.co_name for frame, _ in entries] == ["hook", "<module>", "kept_ahead_of_a_hidden_one"]
    tb, originals = error.__traceback__.tb_next, []
    while tb is not None:
        originals.append(id(tb) in Probe.seen)
        tb = tb.tb_next
    assert all(originals), originals


# A namespace that grows the chain (A -> H1 -> B -> H2 -> L, H1 and H2 hidden) behind its own entry
# G, then L's namespace links A back to G, which the walk's later link from G to A must not undo
# into a loop. A's frame may hold an object whose finalizer calls through again (a walk nested in
# the release of the first walk's bookkeeping), and L's namespace may end the walk by raising
# KeyboardInterrupt.
RELINKED_AND_RELEASED = """
import gc, sys, traceback, types, native_extensions as ne

def frame_of(marked, bomb=None):
    def f():
        if marked:
            __quenvar__tracebackhide__ = 1
        keep = bomb
        return sys._getframe()
    return f()

def entry_of(frame):
    return [o for o in gc.get_referrers(frame) if isinstance(o, types.TracebackType)][0]

def hidden_call(then):
    __quenvar__tracebackhide__ = 1
    then()

def nested_hook():  # hidden and kept frames alternate
    def leaf(): raise KeyError("inner")
    def k4(): hidden_call(leaf)
    def k3(): hidden_call(k4)
    def k2(): hidden_call(k3)
    def k1(): hidden_call(k2)
    k1()

inner = []

class Bomb:
    def __del__(self):
        ne.SetImportHook(nested_hook)
        try:
            ne.CallImportHookRemovingFrames()
        except KeyError as e:
            inner.append(e)

def body_frame(namespace_type):
    meta = type("Meta", (type,), {"__prepare__": classmethod(lambda mcs, name, bases: namespace_type())})
    frames = []
    class C(metaclass=meta):
        frames.append(sys._getframe())
    return frames[0]

state = {}

class LoopBack(dict):
    def __contains__(self, key):
        if not state.get("looped"):
            state["looped"] = True
            try:
                entry_of(state.pop("A")).tb_next = entry_of(state.pop("G"))
            except ValueError:
                pass
            if INTERRUPT:
                raise KeyboardInterrupt
        return False

class Grow(dict):
    def __contains__(self, key):
        if not state.get("grown"):
            state["grown"] = True
            frame = self["me"]
            fa = frame_of(False, Bomb() if BOMB else None)
            l = types.TracebackType(None, body_frame(LoopBack), 0, 1)
            h2 = types.TracebackType(l, frame_of(True), 0, 1)
            b = types.TracebackType(h2, frame_of(False), 0, 1)
            h1 = types.TracebackType(b, frame_of(True), 0, 1)
            a = types.TracebackType(h1, fa, 0, 1)
            entry_of(frame).tb_next = a
            state["G"], state["A"] = frame, fa
            del a, h1, b, h2, l, fa
        return False

class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases):
        return Grow()

def hook():
    class G(metaclass=Meta):
        me = sys._getframe()
        raise ValueError("outer")

ne.SetImportHook(hook)
try:
    ne.CallImportHookRemovingFrames()
except BaseException as e:
    print(type(e).__name__, type(e.__context__).__name__, len(list(traceback.walk_tb(e.__traceback__))) < 10)
gc.collect()
print([len(list(traceback.walk_tb(e.__traceback__))) for e in inner])
inner.clear()
gc.collect()
print("done")
"""


# An entry that the walk unlinks (hidden) or that a namespace unlinks (kept), freed, and a new
# entry that Python code then makes at its address and links in, followed by a hidden one: the
# walk must not take the new one for an entry it has met before.
ADDRESS_REUSED = """import gc, sys, types, traceback, native_extensions as ne

state = {}

def kept_frame():
    return sys._getframe()

def hidden_frame():
    __quenvar__tracebackhide__ = 1
    return sys._getframe()

class Probe(dict):  # 2nd entry's namespace: notes the id of the 3rd entry, no reference
    def __contains__(self, key):
        if state.get("armed") and "h3" not in state:
            for o in gc.get_objects():
                if type(o) is types.TracebackType and o.tb_frame.f_code.co_name == "h3":
                    state["h3"] = id(o)
        return False

class Grow(dict):  # 5th entry's namespace: links a new entry at the freed one's address
    def __contains__(self, key):
        if state.get("armed") and not state.get("grown"):
            state["grown"] = True
            if not HIDDEN:  # unlinks the 3rd entry (kept, ahead of the last kept one)
                entries = {o.tb_frame.f_code.co_name: o for o in gc.get_objects() if type(o) is types.TracebackType}
                entries["K2"].tb_next = entries["k4"]
                del entries
            made = state["made"]  # made beforehand: a new list would take the freed block
            kf = state["kf"]
            for _ in range(200000):
                x = types.TracebackType(None, kf, 0, 1)
                if id(x) == state.get("h3"):
                    state["reused"] = True
                    break
                made.append(x)
            x.tb_next = types.TracebackType(None, hidden_frame(), 0, 1)
            me = [o for o in gc.get_referrers(self["me"]) if type(o) is types.TracebackType][0]
            me.tb_next = x
            del me
            made.clear()
            del x
        return False

def meta(ns):
    return type("M", (type,), {"__prepare__": classmethod(lambda mcs, name, bases: ns())})

def h3():
    if HIDDEN:
        __quenvar__tracebackhide__ = 1
    k4()

def k4():
    class G(metaclass=meta(Grow)):
        me = sys._getframe()
        raise ValueError("x")

def hook():
    class K2(metaclass=meta(Probe)):
        h3()

state["made"] = []
state["kf"] = kept_frame()
ne.SetImportHook(hook)
try:  # once unarmed: the module caches what it reads of these frames' code (the names it reads
    ne.CallImportHookRemovingFrames()  # with would take the freed block)
except ValueError:
    pass
state["armed"] = True
try:
    ne.CallImportHookRemovingFrames()
except ValueError as e:
    names = [f.f_code.co_name for f, _ in traceback.walk_tb(e.__traceback__)]
print("address reused:", state.get("reused", False))
print(names)
print("hidden left:", "hidden_frame" in names)
"""


@pytest.mark.parametrize("hidden", [True, False], ids=["unlinked_by_the_walk", "unlinked_by_a_namespace"])
def test_an_entry_made_where_a_freed_one_was_is_walked_like_any_other(hidden):
    proc = run_python(ADDRESS_REUSED.replace("HIDDEN", str(hidden)))
    assert proc.returncode == 0, proc.stderr[-2000:]
    reused, names, left = proc.stdout.splitlines()
    if hidden and not reused.endswith("True"):  # (a kept entry the walk holds cannot be freed)
        pytest.skip("no new entry took the freed one's address")
    assert left.endswith("False"), names


@pytest.mark.parametrize("bomb, interrupt, outcome", [
    (True, False, "ValueError NoneType True\n[7]\ndone\n"),
    (False, True, "KeyboardInterrupt ValueError True\n[]\ndone\n"),
])
def test_chain_relinked_while_its_links_are_released(bomb, interrupt, outcome):
    proc = run_python(RELINKED_AND_RELEASED.replace("BOMB", str(bomb)).replace("INTERRUPT", str(interrupt)), "-X", "dev")
    assert (proc.returncode, proc.stdout) == (0, outcome), proc.stderr[-2000:]


# A hidden frame's namespace links its own entry back to the last kept one, which no longer
# links it: the walk must not link the kept entry to itself.
LAST_KEPT_RELINKED = """import gc, types, traceback, native_extensions as ne
class Relinking(dict):
    def __contains__(self, key):
        entries = [o for o in gc.get_objects() if type(o) is types.TracebackType]
        mine, = (o for o in entries if o.tb_frame.f_locals is self)
        ahead, = (o for o in entries if o.tb_next is mine)
        ahead.tb_next, mine.tb_next = None, ahead
        return True
ne.SetImportHook(lambda: exec("raise KeyError", {}, Relinking()))
try:
    ne.CallImportHookRemovingFrames()
except KeyError as e:
    print([frame.f_code.co_name for frame, _ in traceback.walk_tb(e.__traceback__)][:5])
"""


def test_last_kept_entry_relinked_by_a_hidden_frames_namespace():
    proc = run_python(LAST_KEPT_RELINKED, timeout=10)  # a walk that goes round for ever fails here
    assert (proc.returncode, proc.stdout) == (0, "['<module>', '<lambda>']\n"), proc.stderr[-2000:]


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


@pytest.mark.parametrize("answers_everything, marks, removed", [
    (True, False, True),  # a defaulting namespace answers the marker too: the lookup says bound
    (False, True, True),
    (False, False, False),
])
def test_namespace_without_contains_is_asked_like_a_name_lookup(ne, answers_everything, marks, removed):
    inner = compile((f"{MARKER} = 1\n" if marks else "") + "deeper()\n", "<inner>", "exec")

    def hook():
        exec(inner, {"deeper": deeper}, OnlyGetitem(answers_everything))

    ne.SetImportHook(hook)
    error = failing_call(ne)  # must return at all: no probing by index
    assert entry_names(error) == ["failing_call", "hook"] + ([] if removed else ["<module>"])


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


@pytest.mark.parametrize("inner, hook_error, entries", [
    ("deeper()", OSError, ["<module>", "deeper"]),
    ("int('raised by C, with nothing handled')", ValueError, ["<module>"]),  # 3.10/3.11: not an instance yet
], ids=["python", "c"])
@pytest.mark.parametrize("by_signal", [False, True], ids=["raised", "signal_handler"])
@pytest.mark.parametrize("error, propagates", [
    (KeyboardInterrupt(), True),
    (SystemExit(3), True),  # sys.exit() in a SIGTERM handler
    (GeneratorExit(), True),
    (Timeout(), True),
    (ValueError("a failing lookup"), False),  # counts as not marked, and is discarded
])
def test_exception_that_is_not_an_exception_ends_removal_and_reaches_the_caller(
        ne, inner, hook_error, entries, by_signal, error, propagates):
    # It ends the walk; the hook's exception, with what the walk had removed, is its context.
    inner = compile(inner, "<inner>", "exec")
    namespaces = []  # weak references

    def hook():
        __quenvar__tracebackhide__ = 1
        namespaces.append(weakref.ref(namespace := Raising(error, by_signal)))
        exec(inner, {"deeper": deeper}, namespace)

    ne.SetImportHook(hook)
    caught = failing_call(ne)
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


@pytest.mark.parametrize("source, context, raised_in", [
    ("raise SAME\n", type(None), "hook"),
    # The hook's exception has the interrupt as its context: that link is cut, closing no cycle.
    ("try:\n    raise SAME\nexcept KeyboardInterrupt:\n    raise ValueError\n", ValueError, "__contains__"),
], ids=["itself", "its_context"])
def test_hooks_own_exception_raised_again_is_never_its_own_context(ne, source, context, raised_in):
    same = KeyboardInterrupt("the hook's own")
    inner = compile(source, "<inner>", "exec")

    def hook():
        exec(inner, {"SAME": same}, Raising(same, False))

    ne.SetImportHook(hook)
    for _ in range(2):
        caught = failing_call(ne)
        assert caught is same and type(caught.__context__) is context
        assert getattr(caught.__context__, "__context__", None) is None
        assert entry_names(caught)[:2] == ["failing_call", raised_in]


ABI3 = native_extensions.__file__.endswith(".abi3.so")
STAND_IN_SYS = "sys.modules['sys'] = types.ModuleType('sys'); sys.modules['sys'].flags = types.SimpleNamespace(verbose=1)"


@pytest.mark.parametrize("before_import, after_import, abi3_removes", [
    (STAND_IN_SYS, STAND_IN_SYS, True),  # a stand-in sys, whenever the setting is read
    ("", STAND_IN_SYS, True),
    ("sys.flags = types.SimpleNamespace(verbose=1)", "", False),  # the limited API reads no config
])
def test_verbose_setting_is_the_interpreters_own(before_import, after_import, abi3_removes):
    # A stand-in that says verbose: removal goes on all the same, except where abi3 reads sys.flags.
    proc = run_python(
        f"""
        import sys, types
        real_sys, real_flags = sys.modules["sys"], sys.flags
        {before_import}
        import native_extensions as ne
        def hook():
            __quenvar__tracebackhide__ = 1
            raise KeyError
        ne.SetImportHook(hook)
        {after_import}
        try:
            ne.CallImportHookRemovingFrames()
        except KeyError as e:
            real_sys.modules["sys"], real_sys.flags = real_sys, real_flags
            print(e.__traceback__.tb_next is None)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"{abi3_removes or not ABI3}\n"


CLOSED_GENERATOR = """
import gc, native_extensions as ne
failed, kept = {}, []
def cached_failure(name):
    __quenvar__tracebackhide__ = [name]
    lambda: __quenvar__tracebackhide__  # a cell: reading it dereferences the slot
    try:
        raise ImportError(name)
    except ImportError as e:
        failed[name] = e  # a cache of failed imports
    yield
def hook(name):
    raise failed[name]
ne.SetImportHook(hook)
for how in ("dropped", "closed", "collected", "closed, kept", "suspended", "closed, traced"):
    generator = cached_failure(how)
    next(generator)
    if how.startswith("closed"):
        generator.close()
    if how == "collected":
        cycle = [generator]
        cycle.append(cycle)
        del cycle
    elif how.endswith(("kept", "suspended")):
        kept.append(generator)
    del generator
    if how.endswith("traced"):  # the frame type's traversal shows f_trace before the code object
        frame = failed[how].__traceback__.tb_frame
        frame.f_trace = frame.f_code
        del frame
    gc.collect()
    [[object()] for _ in range(3000)]  # reuses what the generator freed
    try:
        ne.CallImportHookRemovingFrames(how)
    except ImportError as e:
        print(how, len(list(__import__("traceback").walk_tb(e.__traceback__))))
"""


def test_frame_that_outlived_its_closed_generator():
    # From 3.12.4 to 3.13.5 closing a suspended generator clears its variables (stacktop 0) and
    # leaves their freed pointers behind: the frame binds nothing and its entry stays; elsewhere the
    # frame keeps them and the entry goes. abi3 there cannot tell a generator's own frame that was
    # closed from a suspended one, and asks neither. The allocator's debug hooks overwrite what is
    # freed, so that a read of it shows. (Free-threaded builds take "debug"; the sanitizer runs
    # keep the C allocator.)
    allocator = "malloc_debug" if os.environ.get("PYTHONMALLOC") == "malloc" else "debug"
    proc = run_python(CLOSED_GENERATOR, env={"PYTHONMALLOC": allocator})
    assert proc.returncode == 0, proc.stderr[-2000:]
    cleared = (3, 12, 4) <= sys.version_info[:3] < (3, 13, 6)
    entries = {"dropped": 2 + cleared, "closed": 2 + cleared, "collected": 2 + cleared,
               "closed, kept": 2 + cleared, "suspended": 2 + (cleared and ABI3), "closed, traced": 2 + cleared}
    assert proc.stdout == "".join(f"{how} {n}\n" for how, n in entries.items())


LIVE_NAMESPACE = """
try:
    fail()
except ZeroDivisionError as error:
    hook.cached = error
entries.append([call() for _ in [0]][0] if in_comprehension else call())
"""


@pytest.mark.parametrize("namespace", ["globals", "dict", "claims"])
@pytest.mark.parametrize("in_comprehension", [False, True])
def test_running_namespace_frame_of_a_reraised_failure(ne, namespace, in_comprehension):
    # The hook re-raises a cached failure whose entries include a module-level or exec'd frame
    # that is still running, its namespace marked: the entry goes, also while that frame runs an
    # inlined comprehension (3.12+), where its f_locals is a copy (3.12) or a proxy (3.13+) that
    # abi3 alone has to go by.
    def fail():
        raise ZeroDivisionError

    def hook():
        raise hook.cached

    def call():
        return entry_names(failing_call(ne))

    ne.SetImportHook(hook)
    entries = []
    names = {"fail": fail, "hook": hook, "call": call, "entries": entries, "in_comprehension": in_comprehension}
    if namespace == "globals":
        exec(LIVE_NAMESPACE, {**names, MARKER: 1})
    else:
        exec(LIVE_NAMESPACE, names, {MARKER: 1} if namespace == "dict" else Claims())
    seen_by_abi3 = not in_comprehension or (sys.version_info < (3, 13) and namespace != "claims")
    assert entries == [["failing_call", "hook"] + ([] if seen_by_abi3 or not ABI3 else ["<module>"]) + ["fail"]]


class Recording(dict):
    """A class namespace that records what is written to its class cells' names."""

    def __setitem__(self, key, value):
        self.written = getattr(self, "written", []) + [key] * (key in ("__class__", "__classdict__"))
        super().__setitem__(key, value)

    __delitem__ = lambda self, key: self.__setitem__(key, None)  # noqa: E731 - recorded the same


@pytest.mark.parametrize("frame", ["class body", "function"])
def test_walk_leaves_a_running_frame_as_it_was(ne, frame):
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
