"""Module shape, calling conventions and the C entry points."""
import ctypes
import sys

import pytest

from conftest import run_python

DOCS = {
    "RegisterPreforkCallback": "Registers to the pre fork callback to print the user that we do not support forking",
    "CallImportHookRemovingFrames": "Call the import hook set by SetImportHook, removing any traceback frames where "
    "the locals had __quenvar__tracebackhide__ defined",
    "SetImportHook": "Set the import hook that will be called by CallImportHookRemovingFrames",
    "SetRemoveImportHookFrames": "Set whether the import hook removes frames with __quenvar__tracebackhide__ defined",
}


def library(ne):
    return ctypes.PyDLL(ne.__file__)


def module_pointer(ne):
    return ctypes.c_void_p.in_dll(library(ne), "_ZN17native_extensions6ModuleE").value


def test_module_shape(ne):
    assert ne.__name__ == "native_extensions"
    assert ne.__doc__ == "Quenvar native extensions"
    functions = {name for name in dir(ne) if not name.startswith("__")}
    assert functions == set(DOCS)
    for name, doc in DOCS.items():
        assert getattr(ne, name).__doc__ == doc


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("RegisterPreforkCallback", (), {"x": 1}),
        ("SetImportHook", (), {}),
        ("SetImportHook", (1, 2), {}),
        ("SetImportHook", (), {"hook": len}),
        ("SetRemoveImportHookFrames", (), {}),
        ("SetRemoveImportHookFrames", (True, True), {}),
    ],
)
def test_calling_conventions_refused(ne, name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(ne, name)(*args, **kwargs)


def test_only_the_entry_points_are_exported(ne):
    lib = library(ne)
    for symbol in [
        "PyInit_native_extensions",
        "_ZN17native_extensions20InitNativeExtensionsEv",
        "_ZN17native_extensions33InitNativeExtensionModuleInternalEv",
        "_ZN17native_extensions27remove_tracebackhide_framesEv",
        "_ZN17native_extensions13SetImportHookEP7_objectS1_",
    ]:
        getattr(lib, symbol)
    with pytest.raises(AttributeError):
        lib._ZN17native_extensions12_GLOBAL__N_111import_hookE


def test_module_pointer_follows_newest_module_and_owns_it():
    # InitNativeExtensions() from C makes a second module; Module points at it and keeps it alive
    # even after the caller drops its reference.
    proc = run_python(
        """
        import ctypes, gc, sys, weakref
        import native_extensions as ne
        lib = ctypes.PyDLL(ne.__file__)
        pointer = lambda: ctypes.c_void_p.in_dll(lib, "_ZN17native_extensions6ModuleE").value
        assert pointer() == id(ne)
        init = lib._ZN17native_extensions20InitNativeExtensionsEv
        init.restype = ctypes.py_object
        second = init()
        assert second is not ne and second.__name__ == "native_extensions"
        assert pointer() == id(second)
        probe = weakref.ref(second)
        del second
        gc.collect()
        assert probe() is not None, "the module Module points at was freed"
        third = init()
        assert pointer() == id(third)
        del third
        gc.collect()
        assert probe() is None, "Module kept the older module alive"
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"


def test_failed_creation_leaves_module_null():
    # Fail each allocation in turn while InitNativeExtensions runs: whenever the module itself
    # could not be created, Module is null afterwards.
    proc = run_python(
        """
        import ctypes, _testcapi
        import native_extensions as ne
        lib = ctypes.PyDLL(ne.__file__)
        init = lib._ZN17native_extensions20InitNativeExtensionsEv
        init.restype = ctypes.py_object
        slot = ctypes.c_void_p.in_dll(lib, "_ZN17native_extensions6ModuleE")
        nulled = 0
        for start in range(40):
            before = slot.value
            _testcapi.set_nomemory(start, start + 1)
            try:
                init()
            except MemoryError:
                failed = True
            else:
                failed = False
            finally:
                _testcapi.remove_mem_hooks()
            if failed and slot.value is None:
                nulled += 1
                init()  # leave a module behind again
            elif failed:
                assert slot.value == before
        assert nulled > 0
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"


def test_reimport_reuses_the_first_module_pointer():
    proc = run_python(
        """
        import ctypes, sys
        import native_extensions as first
        del sys.modules["native_extensions"]
        import native_extensions as second
        lib = ctypes.PyDLL(second.__file__)
        assert second is not first
        assert ctypes.c_void_p.in_dll(lib, "_ZN17native_extensions6ModuleE").value == id(first)
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"


def test_direct_removal_without_pending_exception_does_nothing(ne):
    remove = library(ne)._ZN17native_extensions27remove_tracebackhide_framesEv
    remove.restype = None
    # PyDLL raises whatever is pending after the call: nothing must be.
    remove()
    assert sys.exc_info() == (None, None, None)
