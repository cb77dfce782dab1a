"""The hook slot, the removal switch and the call-through."""
import functools
import gc
import sys
import weakref

import pytest

from conftest import run_python


def test_call_before_any_hook_raises_runtime_error():
    proc = run_python(
        """
        import native_extensions as ne
        for args, kwargs in [((), {}), ((1, 2), {}), ((), {"name": "x"}), (("a",), {"b": None})]:
            try:
                ne.CallImportHookRemovingFrames(*args, **kwargs)
            except RuntimeError as e:
                assert str(e) == "This function cannot be called without first calling SetImportHook", e
            else:
                raise AssertionError("no RuntimeError")
        ne.SetImportHook(lambda *a, **k: (a, k))
        assert ne.CallImportHookRemovingFrames(1, x=2) == ((1,), {"x": 2})
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1,), {}), ((), {"c": 3}), ((object(), "name", None), {"globals": {}, "level": 0})],
)
def test_arguments_and_result_pass_through_unchanged(ne, args, kwargs):
    seen = []
    result = object()

    def hook(*a, **k):
        seen.append((a, k))
        return result

    ne.SetImportHook(hook)
    assert ne.CallImportHookRemovingFrames(*args, **kwargs) is result
    (got_args, got_kwargs), = seen
    assert len(got_args) == len(args) and all(a is b for a, b in zip(got_args, args))
    assert got_kwargs == kwargs and all(got_kwargs[k] is v for k, v in kwargs.items())


def test_hook_exception_reaches_caller_unchanged_with_removal_off(ne):
    error = KeyError("missing")

    def hook():
        __quenvar__tracebackhide__ = True
        raise error

    ne.SetImportHook(hook)
    ne.SetRemoveImportHookFrames(False)
    with pytest.raises(KeyError) as info:
        ne.CallImportHookRemovingFrames()
    assert info.value is error
    assert [entry.name for entry in info.traceback][-1] == "hook"


def test_none_hook_fails_with_type_error(ne):
    ne.SetImportHook(None)
    with pytest.raises(TypeError, match="not callable"):
        ne.CallImportHookRemovingFrames()


@pytest.mark.parametrize(
    "flag, removes",
    [(0, False), ("", False), ([], False), (False, False), (None, False),
     (1, True), ("0", True), ([0], True), (True, True), (object(), True)],
)
def test_flag_truthiness(ne, flag, removes):
    def hook():
        __quenvar__tracebackhide__ = None
        raise ValueError

    ne.SetImportHook(hook)
    assert ne.SetRemoveImportHookFrames(flag) is None
    with pytest.raises(ValueError) as info:
        ne.CallImportHookRemovingFrames()
    assert ("hook" in [entry.name for entry in info.traceback]) is not removes


def test_failing_truth_test_is_reported_and_switches_removal_on(ne):
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    def hook():
        __quenvar__tracebackhide__ = None
        raise ValueError

    ne.SetImportHook(hook)
    ne.SetRemoveImportHookFrames(False)
    with pytest.raises(ZeroDivisionError, match="no truth"):
        ne.SetRemoveImportHookFrames(Undecided())
    with pytest.raises(ValueError) as info:
        ne.CallImportHookRemovingFrames()
    assert "hook" not in [entry.name for entry in info.traceback]


def test_hook_references_are_counted_exactly(ne):
    first, second = (lambda: 1), (lambda: 2)
    base_first, base_second = sys.getrefcount(first), sys.getrefcount(second)
    ne.SetImportHook(first)
    assert sys.getrefcount(first) == base_first + 1
    ne.SetImportHook(first)  # the same hook again
    assert sys.getrefcount(first) == base_first + 1
    ne.SetImportHook(second)  # the previous hook is released once
    assert sys.getrefcount(first) == base_first
    assert sys.getrefcount(second) == base_second + 1
    ne.SetImportHook(len)
    assert sys.getrefcount(second) == base_second


@pytest.mark.parametrize("fails", [False, True])
@pytest.mark.parametrize("removal", [False, True])
def test_no_reference_leaks_over_many_calls(ne, fails, removal):
    arg, value, result = object(), object(), object()
    error = LookupError("kept")

    def hook(a, *, key):
        if fails:
            __quenvar__tracebackhide__ = 1
            raise error
        return result

    ne.SetImportHook(hook)
    ne.SetRemoveImportHookFrames(removal)

    def call():
        try:
            return ne.CallImportHookRemovingFrames(arg, key=value)
        except LookupError as e:
            assert e is error
        finally:
            error.__traceback__ = None

    call()
    counts = [sys.getrefcount(o) for o in (hook, arg, value, result, error)]
    for _ in range(1000):
        call()
    assert [sys.getrefcount(o) for o in (hook, arg, value, result, error)] == counts


def test_hook_that_replaces_itself_stays_alive_until_it_returns(ne):
    def body():
        ne.SetImportHook(len)  # drops the slot's reference to the running hook
        gc.collect()
        return probe() is not None

    hook = functools.partial(body)
    probe = weakref.ref(hook)
    ne.SetImportHook(hook)
    del hook
    assert ne.CallImportHookRemovingFrames() is True
    assert probe() is None, "the replaced hook was never released"


def test_flag_changed_by_the_hook_decides_its_own_failure(ne):
    def hook(switch):
        __quenvar__tracebackhide__ = 1
        ne.SetRemoveImportHookFrames(switch)
        raise ValueError

    ne.SetImportHook(hook)
    for switch in (False, True):
        with pytest.raises(ValueError) as info:
            ne.CallImportHookRemovingFrames(switch)
        assert ("hook" in [entry.name for entry in info.traceback]) is not switch


def test_nested_call_through(ne):
    def hook(depth):
        if depth:
            return ne.CallImportHookRemovingFrames(depth - 1) + 1
        __quenvar__tracebackhide__ = 1
        raise ValueError(depth)

    ne.SetImportHook(hook)
    with pytest.raises(ValueError) as info:
        ne.CallImportHookRemovingFrames(3)
    names = [entry.name for entry in info.traceback]
    assert names.count("hook") == 3  # the innermost, marked frame is gone
