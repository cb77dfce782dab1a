"""The hook slot, the removal switch and the call-through."""
import sys

import pytest

import scenarios as S
from conftest import run_scenario


def test_call_before_any_hook_raises_runtime_error():
    run_scenario("call_before_any_hook_raises_runtime_error")


@pytest.mark.parametrize(**S.arguments_and_result_pass_through_unchanged.params)
def test_arguments_and_result_pass_through_unchanged(ne, args, kwargs):
    S.arguments_and_result_pass_through_unchanged(args, kwargs)


@pytest.mark.parametrize(**S.flag_truthiness.params)
def test_flag_truthiness(ne, flag, removes):
    S.flag_truthiness(flag, removes)


def test_hook_references_are_counted_exactly(ne):
    S.hook_references_are_counted_exactly()


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
    S.hook_that_replaces_itself_stays_alive_until_it_returns()


def test_flag_changed_by_the_hook_decides_its_own_failure(ne):
    S.flag_changed_by_the_hook_decides_its_own_failure()


def test_nested_call_through(ne):
    S.nested_call_through()
