"""The hook slot, the removal switch and the call-through."""
import contextlib
import functools
import gc
import sys
import weakref

import pytest

from conftest import run_python


def names(info):
    return [entry.name for entry in info.traceback]


def test_call_before_any_hook_raises_runtime_error():
    proc = run_python("import native_extensions as ne\nne.CallImportHookRemovingFrames(1, name='x')")
    assert proc.stderr.endswith("\nRuntimeError: This function cannot be called without first calling SetImportHook\n")


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {"c": 3}), ((object(), "name", None), {"level": 0})])
def test_arguments_and_result_pass_through_unchanged(ne, args, kwargs):
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
    __quenvar__tracebackhide__ = None
    raise ERROR


class Undecided:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "flag, removes",
    [(0, False), ("", False), ([], False), (False, False), (None, False),
     (1, True), ("0", True), ([0], True), (True, True), (object(), True), (Undecided(), True)],
)
def test_flag_truthiness(ne, flag, removes):
    ne.SetImportHook(marked_hook)
    ne.SetRemoveImportHookFrames(not removes)
    # A failed truth test is reported and switches removal on.
    with pytest.raises(ZeroDivisionError) if isinstance(flag, Undecided) else contextlib.nullcontext():
        assert ne.SetRemoveImportHookFrames(flag) is None
    with pytest.raises(ValueError) as info:
        ne.CallImportHookRemovingFrames()
    assert info.value is ERROR and ("marked_hook" in names(info)) is not removes


def test_hook_references_are_counted_exactly(ne):
    first, second = (lambda: 1), (lambda: 2)
    base_first, base_second = sys.getrefcount(first), sys.getrefcount(second)
    ne.SetImportHook(first)
    ne.SetImportHook(first)  # the same hook again
    assert sys.getrefcount(first) == base_first + 1
    ne.SetImportHook(second)  # the previous hook is released once
    assert (sys.getrefcount(first), sys.getrefcount(second)) == (base_first, base_second + 1)
    ne.SetImportHook(len)
    assert sys.getrefcount(second) == base_second


@pytest.mark.parametrize("fails", [False, True])
@pytest.mark.parametrize("removal", [False, True])
def test_no_reference_leaks_over_many_calls(ne, fails, removal):
    arg, value, result, error = objects = object(), object(), object(), LookupError("kept")

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
    counts = [sys.getrefcount(o) for o in (hook, *objects)]
    for _ in range(1000):
        call()
    assert [sys.getrefcount(o) for o in (hook, *objects)] == counts


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
        assert ("hook" in names(info)) is not switch


def test_nested_call_through(ne):
    def hook(depth):
        if depth:
            return ne.CallImportHookRemovingFrames(depth - 1) + 1
        __quenvar__tracebackhide__ = 1
        raise ValueError(depth)

    ne.SetImportHook(hook)
    with pytest.raises(ValueError) as info:
        ne.CallImportHookRemovingFrames(3)
    assert names(info).count("hook") == 3  # the innermost, marked frame is gone
