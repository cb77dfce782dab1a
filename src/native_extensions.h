// The exported interface of the native_extensions extension module.
//
// Everything the module exports lives in the namespace `native_extensions`; the only other
// exported symbol is the interpreter's entry point `PyInit_native_extensions`. The rest of the
// library is internal: the per-interpreter records (interpreter_state.h) and the C-API layer,
// one file per build flavour (capi.h chooses).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NATIVE_EXTENSIONS_API __attribute__((visibility("default")))

namespace native_extensions {

// The main interpreter's module object: the one its import made (or, when a sub-interpreter
// imported first, the one its import built from the copy), and after that the newest one that
// InitNativeExtensions() made there. It holds a strong reference of its own, so that the fork
// handler never reads a module that has been freed; the reference moves on with it, and is
// released when the main interpreter ends. Read and written atomically.
NATIVE_EXTENSIONS_API extern PyObject* Module;

// Create a module object, as the import system's entry point does, for an embedding
// application that sets the module up from C. A new reference, or null with an exception set.
NATIVE_EXTENSIONS_API PyObject* InitNativeExtensions();
NATIVE_EXTENSIONS_API PyObject* InitNativeExtensionModuleInternal();

// Python-visible functions; `self` is the module object and is ignored.
NATIVE_EXTENSIONS_API PyObject* RegisterPreforkCallback(PyObject* self, PyObject* args);
NATIVE_EXTENSIONS_API PyObject* CallImportHookRemovingFrames(PyObject* self, PyObject* args, PyObject* kwargs);
NATIVE_EXTENSIONS_API PyObject* SetImportHook(PyObject* self, PyObject* hook);
NATIVE_EXTENSIONS_API PyObject* SetRemoveImportHookFrames(PyObject* self, PyObject* flag);

// Removes from the calling thread's pending exception every traceback entry whose frame defines
// the local `__quenvar__tracebackhide__`. Call with the interpreter lock held.
NATIVE_EXTENSIONS_API void remove_tracebackhide_frames();

}  // namespace native_extensions
