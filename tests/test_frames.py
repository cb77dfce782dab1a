"""Which traceback entries a failing hook call loses, and which it keeps."""
import collections.abc
import sys

import pytest

from conftest import run_python

MARKER = "__quenvar__tracebackhide__"


def entry_names(error):
    names, tb = [], error.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def failing_call(ne, *args):
    """Calls through and returns the exception, as caught by this frame."""
    try:
        ne.CallImportHookRemovingFrames(*args)
    except BaseException as error:  # noqa: B036 - every exception must come back
        return error
    raise AssertionError("the hook did not raise")


def make_chain(marks, value="None"):
    """Builds f0 -> f1 -> ... where f<i> marks itself when marks[i]; the last one raises."""
    source = []
    for i, marked in enumerate(marks):
        body = f"    {MARKER} = {value}\n" if marked else ""
        call = f"    f{i + 1}()\n" if i + 1 < len(marks) else "    raise LookupError('deep')\n"
        source.append(f"def f{i}(*args, **kwargs):\n{body}{call}")
    namespace = {}
    exec("".join(source), namespace)
    return namespace["f0"]


@pytest.mark.parametrize(
    "marks",
    [
        [True, False, False, False],  # the hook's own frame
        [False, True, False, False],  # in the middle
        [False, True, True, False],  # adjacent
        [True, True, False, True],  # adjacent at the head
        [False, False, False, True],  # the last one
        [True, True, True, True],  # all of them
        [False, False, False, False],  # none
        [False, True, False, True, False, True],
    ],
)
@pytest.mark.parametrize("value", ["None", "False", "0", "object()"])
def test_marked_entries_go_wherever_they_stand(ne, marks, value):
    ne.SetImportHook(make_chain(marks, value))
    error = failing_call(ne)
    assert isinstance(error, LookupError)
    kept = [f"f{i}" for i, marked in enumerate(marks) if not marked]
    assert entry_names(error) == ["failing_call"] + kept
    # The relinked chain is consistent: each entry's line belongs to its frame's code.
    tb = error.__traceback__
    while tb is not None:
        assert tb.tb_frame.f_code.co_firstlineno <= tb.tb_lineno
        tb = tb.tb_next


def test_removal_off_keeps_every_entry(ne):
    ne.SetImportHook(make_chain([True, True, False, True]))
    ne.SetRemoveImportHookFrames(False)
    assert entry_names(failing_call(ne)) == ["failing_call", "f0", "f1", "f2", "f3"]


def test_closure_variables_mark_their_frames(ne):
    def hook():
        __quenvar__tracebackhide__ = 0  # a cell variable: `inner` reads it

        def inner():
            __quenvar__tracebackhide__  # a free variable, bound
            plain()

        inner()

    def plain():
        raise KeyError

    ne.SetImportHook(hook)
    assert entry_names(failing_call(ne)) == ["failing_call", "plain"]


def test_unbound_marker_does_not_mark(ne):
    def assigned_later():
        raises()
        __quenvar__tracebackhide__ = 1

    def deleted():
        __quenvar__tracebackhide__ = 1
        del __quenvar__tracebackhide__
        assigned_later()

    def empty_cell():
        def inner():
            return __quenvar__tracebackhide__

        deleted()
        __quenvar__tracebackhide__ = 1

    def injected():
        # Not a variable of the function: whatever locals() keeps of it does not mark the frame.
        locals()["__quenvar__tracebackhide__"] = 1
        raises()

    def raises():
        raise KeyError

    ne.SetImportHook(empty_cell)
    assert entry_names(failing_call(ne)) == ["failing_call", "empty_cell", "deleted", "assigned_later", "raises"]
    ne.SetImportHook(injected)
    assert entry_names(failing_call(ne)) == ["failing_call", "injected", "raises"]


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


def test_marked_caller_frames_are_kept(ne):
    def hook():
        __quenvar__tracebackhide__ = 1
        raise KeyError

    def outer():
        __quenvar__tracebackhide__ = 1
        ne.CallImportHookRemovingFrames()

    ne.SetImportHook(hook)
    with pytest.raises(KeyError) as info:
        outer()
    assert entry_names(info.value) == ["test_marked_caller_frames_are_kept", "outer"]


def test_chained_exceptions_are_left_whole(ne):
    def inner():
        __quenvar__tracebackhide__ = 1
        raise KeyError("cause")

    def hook():
        __quenvar__tracebackhide__ = 1
        try:
            inner()
        except KeyError as cause:
            raise ValueError("effect") from cause

    ne.SetImportHook(hook)
    error = failing_call(ne)
    assert entry_names(error) == ["failing_call"]
    assert entry_names(error.__cause__) == ["hook", "inner"]


def test_module_level_frame_marked_through_a_global(ne, tmp_path, monkeypatch):
    (tmp_path / "hidden_module_ne.py").write_text(f"{MARKER} = False\nraise ImportError('from module')\n")
    (tmp_path / "shown_module_ne.py").write_text("raise ImportError('from module')\n")
    monkeypatch.syspath_prepend(str(tmp_path))

    def hook(name):
        __import__(name)

    ne.SetImportHook(hook)
    hidden = failing_call(ne, "hidden_module_ne")
    shown = failing_call(ne, "shown_module_ne")
    assert "<module>" not in entry_names(hidden)
    assert "hook" in entry_names(hidden)
    assert entry_names(shown)[-1] == "<module>"


class Namespace(collections.abc.MutableMapping):
    """A class namespace that is not a dict."""

    def __init__(self):
        self.data = {}

    def __getitem__(self, key):
        return self.data[key]

    def __setitem__(self, key, value):
        self.data[key] = value

    def __delitem__(self, key):
        del self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class Refusing(Namespace):
    """A namespace whose membership test fails."""

    def __contains__(self, key):
        raise RuntimeError("no membership test here")


def class_body_hook(namespace_type, marked):
    class Meta(type):
        @classmethod
        def __prepare__(mcs, name, bases):
            return namespace_type()

        def __new__(mcs, name, bases, namespace):
            return super().__new__(mcs, name, bases, dict(namespace))

    def hook():
        class Body(metaclass=Meta):
            if marked:
                __quenvar__tracebackhide__ = True
            deeper()

    return hook


def deeper():
    __quenvar__tracebackhide__ = 1
    raise OSError("deep")


@pytest.mark.parametrize(
    "namespace_type, marked, body_kept",
    [(dict, True, False), (dict, False, True), (Namespace, True, False), (Namespace, False, True),
     (Refusing, True, True)],
)
def test_class_body_namespaces(ne, namespace_type, marked, body_kept):
    ne.SetImportHook(class_body_hook(namespace_type, marked))
    error = failing_call(ne)
    # A failing membership test keeps its entry, loses nothing else, and leaves no trace.
    assert type(error) is OSError and str(error) == "deep"
    assert error.__context__ is None
    assert entry_names(error) == ["failing_call", "hook"] + (["Body"] if body_kept else [])


@pytest.mark.parametrize("mapping_type", [dict, Namespace])
def test_exec_with_a_locals_mapping(ne, mapping_type):
    code = compile(f"{MARKER} = 1\ndeeper()\n", "<exec'd>", "exec")

    def hook():
        exec(code, {"deeper": deeper}, mapping_type())

    ne.SetImportHook(hook)
    assert entry_names(failing_call(ne)) == ["failing_call", "hook"]


def test_failing_key_comparison_keeps_the_entry_and_the_exception(ne):
    class Clashing:
        """A key that collides with the marker and cannot be compared."""

        def __hash__(self):
            return hash(MARKER)

        def __eq__(self, other):
            raise ArithmeticError("cannot compare")

    error = OSError("hook's own")
    globals_ = {Clashing(): 1, "deeper": deeper, "error": error}
    code = compile("deeper()\n", "<clash>", "exec")

    def hook():
        __quenvar__tracebackhide__ = 1
        exec(code, globals_)

    ne.SetImportHook(hook)
    caught = failing_call(ne)
    assert type(caught) is OSError and str(caught) == "deep" and caught.__context__ is None
    assert entry_names(caught) == ["failing_call", "<module>"]
    assert sys.exc_info() == (None, None, None)


def test_generator_frames(ne):
    def generator():
        __quenvar__tracebackhide__ = 1
        yield 1
        raise KeyError

    def hook():
        for _ in generator():
            pass

    ne.SetImportHook(hook)
    assert entry_names(failing_call(ne)) == ["failing_call", "hook"]


@pytest.mark.parametrize("how", [["-v"], ["-X", "importtime"]])
def test_verbose_interpreter_keeps_every_entry(how):
    proc = run_python(
        """
        import native_extensions as ne
        def hook():
            __quenvar__tracebackhide__ = 1
            raise KeyError
        ne.SetImportHook(hook)
        for _ in range(2):
            try:
                ne.CallImportHookRemovingFrames()
            except KeyError as e:
                print(e.__traceback__.tb_next is not None)
        """,
        *how,
    )
    assert proc.returncode == 0, proc.stderr
    verbose = how == ["-v"]
    assert proc.stdout == f"{verbose}\n{verbose}\n"


def test_removal_imports_nothing():
    # The removal must not go through builtins.__import__: that is usually the hook itself.
    proc = run_python(
        """
        import builtins
        import native_extensions as ne
        imported, real_import = [], builtins.__import__
        def spy(name, *args, **kwargs):
            imported.append(name)
            return real_import(name, *args, **kwargs)
        def hook():
            __quenvar__tracebackhide__ = 1
            raise KeyError
        ne.SetImportHook(hook)
        builtins.__import__ = spy
        try:
            ne.CallImportHookRemovingFrames()
        except KeyError as e:
            builtins.__import__ = real_import
            print(imported, e.__traceback__.tb_next)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "[] None\n"


def test_pythonverbose_environment_keeps_every_entry():
    proc = run_python(
        """
        import sys
        import native_extensions as ne
        def hook():
            __quenvar__tracebackhide__ = 1
            raise KeyError
        ne.SetImportHook(hook)
        try:
            ne.CallImportHookRemovingFrames()
        except KeyError as e:
            print(sys.flags.verbose, e.__traceback__.tb_next.tb_frame.f_code.co_name)
        """,
        env={"PYTHONVERBOSE": "1"},
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "1 hook\n"


def test_hook_that_fails_without_traceback(ne):
    # A C callable failing before any Python frame: nothing to remove, exception intact.
    ne.SetImportHook(int)
    with pytest.raises(ValueError, match="invalid literal"):
        ne.CallImportHookRemovingFrames("not a number")
