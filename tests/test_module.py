"""Module shape, calling conventions and the C entry points."""
import ctypes

import pytest

import scenarios as S
from conftest import run_python

DOCS = {
    "RegisterPreforkCallback": "Registers to the pre fork callback to print the user that we do not support forking",
    "CallImportHookRemovingFrames": "Call the import hook set by SetImportHook, removing any traceback frames where "
    "the locals had __quenvar__tracebackhide__ defined",
    "SetImportHook": "Set the import hook that will be called by CallImportHookRemovingFrames",
    "SetRemoveImportHookFrames": "Set whether the import hook removes frames with __quenvar__tracebackhide__ defined",
}
# Run in a fresh interpreter: the library, Module's current value, and InitNativeExtensions().
PRELUDE = """
import ctypes, gc, sys, weakref
import native_extensions as ne
lib = ctypes.PyDLL(ne.__file__)
pointer = lambda: ctypes.c_void_p.in_dll(lib, "_ZN17native_extensions6ModuleE").value
init = lib._ZN17native_extensions20InitNativeExtensionsEv
init.restype = ctypes.py_object
"""


def run_ok(code):
    proc = run_python(PRELUDE + code + "print('ok')\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"


def test_module_shape(ne):
    assert (ne.__name__, ne.__doc__) == ("native_extensions", "Quenvar native extensions")
    assert {name for name in dir(ne) if not name.startswith("__")} == set(DOCS)
    assert {name: getattr(ne, name).__doc__ for name in DOCS} == DOCS


@pytest.mark.parametrize(
    "name, args, kwargs",
    [("RegisterPreforkCallback", (), {"x": 1}), ("SetImportHook", (), {}), ("SetImportHook", (1, 2), {}),
     ("SetImportHook", (), {"hook": len}), ("SetRemoveImportHookFrames", (), {}),
     ("SetRemoveImportHookFrames", (True, True), {})],
)
def test_calling_conventions_refused(ne, name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(ne, name)(*args, **kwargs)


def test_only_the_entry_points_are_exported_and_removal_alone_does_nothing(ne):
    lib = ctypes.PyDLL(ne.__file__)
    for symbol in ["PyInit_native_extensions", "_ZN17native_extensions20InitNativeExtensionsEv",
                   "_ZN17native_extensions33InitNativeExtensionModuleInternalEv",
                   "_ZN17native_extensions27remove_tracebackhide_framesEv",
                   "_ZN17native_extensions13SetImportHookEP7_objectS1_"]:
        getattr(lib, symbol)
    with pytest.raises(AttributeError):
        lib._ZN17native_extensions12_GLOBAL__N_111import_hookE
    S.exported_removal_alone()


def test_module_pointer_follows_newest_module_and_owns_it():
    # A re-import reuses the first module; InitNativeExtensions() from C makes a new one, which
    # Module points at and keeps alive after the caller drops its reference.
    run_ok(
        """
del sys.modules["native_extensions"]
import native_extensions as second
assert second is not ne and pointer() == id(ne)
second = init()
assert second is not ne and second.__name__ == "native_extensions" and pointer() == id(second)
probe = weakref.ref(second)
del second
gc.collect()
assert probe() is not None, "the module Module points at was freed"
third = init()
assert pointer() == id(third)
del third
gc.collect()
assert probe() is None, "Module kept the older module alive"
"""
    )


def test_failed_creation_leaves_module_null():
    # Fail each allocation in turn while InitNativeExtensions runs: whenever the module itself
    # could not be created, Module is null afterwards.
    run_ok(
        """
import _testcapi
nulled = 0
for start in range(40):
    before = pointer()
    _testcapi.set_nomemory(start, start + 1)
    try:
        init()
    except MemoryError:
        _testcapi.remove_mem_hooks()
        nulled += pointer() is None
        assert pointer() in (None, before)
        init()  # leave a module behind again
    _testcapi.remove_mem_hooks()
assert nulled > 0
"""
    )
