// The module object: its definition, method table and entry points.
#include "native_extensions.h"

namespace native_extensions {

PyObject* Module = nullptr;

namespace {

PyMethodDef g_native_extensions_functions[] = {
    {"RegisterPreforkCallback", RegisterPreforkCallback, METH_VARARGS,
     "Registers to the pre fork callback to print the user that we do not support forking"},
    // A METH_VARARGS | METH_KEYWORDS function takes the keyword dictionary as a third argument;
    // the table stores it as a PyCFunction, as the interpreter expects.
    {"CallImportHookRemovingFrames",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(CallImportHookRemovingFrames)),
     METH_VARARGS | METH_KEYWORDS,
     "Call the import hook set by SetImportHook, removing any traceback frames where the locals had "
     "__quenvar__tracebackhide__ defined"},
    {"SetImportHook", SetImportHook, METH_O,
     "Set the import hook that will be called by CallImportHookRemovingFrames"},
    {"SetRemoveImportHookFrames", SetRemoveImportHookFrames, METH_O,
     "Set whether the import hook removes frames with __quenvar__tracebackhide__ defined"},
    {nullptr, nullptr, 0, nullptr},
};

// No per-module state: everything lives in process-wide globals, so the module is initialised
// once per process (single-phase initialisation).
PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "native_extensions",
    "Quenvar native extensions",
    -1,
    g_native_extensions_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* InitNativeExtensionModuleInternal() {
    PyObject* module = PyModule_Create2(&moduledef, PYTHON_API_VERSION);
    prime_verbose_setting();
    // `Module` follows the newest module (null when creation failed) and owns a reference to it;
    // the reference returned belongs to the caller.
    PyObject* previous = Module;
    Module = Py_XNewRef(module);
    Py_XDECREF(previous);
    return module;
}

PyObject* InitNativeExtensions() {
    return InitNativeExtensionModuleInternal();
}

}  // namespace native_extensions

PyMODINIT_FUNC PyInit_native_extensions() {
    return native_extensions::InitNativeExtensionModuleInternal();
}
