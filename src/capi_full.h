// The C-API layer of the version-specific build: the full API of the one CPython release the
// module is compiled for, its frame and traceback structures read in place. Included by capi.h.
#pragma once

#include <frameobject.h>

// --- Version facts: each interpreter change the module follows, named once -------------------
// 3.11: a frame object fronts the interpreter's own frame (f_frame), and a code object names all
//       its variables in one tuple (co_localsplusnames).
#define NE_INTERPRETER_FRAMES (PY_VERSION_HEX >= 0x030B0000)
// 3.12: an exception is one object carrying its own traceback (PyErr_GetRaisedException);
//       PyFrame_GetVar reads one variable of a frame; an absent attribute can be read without
//       making an AttributeError; the deprecated Py_VerboseFlag no longer follows the
//       configuration, which is read instead.
#define NE_EXCEPTION_OBJECTS (PY_VERSION_HEX >= 0x030C0000)
// 3.12 and 3.13: a frame whose variables the interpreter cleared shows it only by stacktop 0,
//       and from 3.12.4 a closed generator's frame keeps freed pointers in its slots.
#define NE_STACKTOP_TELLS_CLEARED (PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000)
// 3.13: a sub-interpreter's first import runs the entry point in the main interpreter, in a
//       thread state made for it; a dict watcher's callback may stop watching its dict; the
//       calling interpreter's configuration is read by _Py_GetConfig.
#define NE_IMPORT_RUNS_IN_MAIN (PY_VERSION_HEX >= 0x030D0000)
#define NE_DICT_WATCHERS NE_IMPORT_RUNS_IN_MAIN
// 3.14: the configuration is read by PyConfig_GetInt; the interpreter's frame structures moved
//       to pycore_interpframe_structs.h.
#define NE_PUBLIC_CONFIG (PY_VERSION_HEX >= 0x030E0000)

// The interpreter's own frame layout: 3.11 reads a function frame's variable in place (no public
// call reads one before PyFrame_GetVar); 3.12 and 3.13 read stacktop; from 3.11 on, a namespace
// frame's namespace is read from the frame (f_locals is no namespace while the frame runs an
// inlined comprehension). These headers compile as C++.
#if NE_INTERPRETER_FRAMES
#define Py_BUILD_CORE 1
#if !NE_EXCEPTION_OBJECTS
#include <internal/pycore_code.h>
#endif
#include <internal/pycore_frame.h>
#if NE_PUBLIC_CONFIG
#include <internal/pycore_interpframe_structs.h>
#elif NE_IMPORT_RUNS_IN_MAIN
#include <internal/pycore_pystate.h>
#endif
#undef Py_BUILD_CORE
#endif

// --- Newer API under its own name, for the older releases (no logic here) ----------------------
#if !NE_IMPORT_RUNS_IN_MAIN
inline PyThreadState* PyThreadState_GetUnchecked() {
    return _PyThreadState_UncheckedGet();
}

inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    *result = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    return *result != nullptr ? 1 : PyErr_Occurred() ? -1 : 0;
}

inline int PyDict_SetDefaultRef(PyObject* dict, PyObject* key, PyObject* value, PyObject** result) {
    *result = Py_XNewRef(PyDict_SetDefault(dict, key, value));
    return *result != nullptr ? (*result != value) : -1;
}
#endif
#if NE_EXCEPTION_OBJECTS && !NE_IMPORT_RUNS_IN_MAIN
inline int PyObject_GetOptionalAttr(PyObject* object, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(object, name, result);
}
#elif !NE_EXCEPTION_OBJECTS
inline int PyObject_GetOptionalAttr(PyObject* object, PyObject* name, PyObject** result) {
    return native_extensions::capi::getattr_or_absent(object, name, result);
}
#endif

namespace native_extensions {
namespace capi {

constexpr int kModuleApiVersion = PYTHON_API_VERSION;

// Whether the optional attribute read makes no AttributeError for an absent attribute (before
// 3.12 it makes one and clears it, which allocates).
constexpr bool kOptionalReadAllocatesNothing = NE_EXCEPTION_OBJECTS;

// Whether the verbose setting is fixed when the interpreter starts, so that it is read once and
// remembered; where it is a field of the configuration, it is read afresh instead.
constexpr bool kVerboseSettingRemembered = NE_PUBLIC_CONFIG;

// --- Exceptions ---------------------------------------------------------------------------

// The calling thread's pending exception, taken out of the interpreter.
struct PendingException {
#if NE_EXCEPTION_OBJECTS
    PyObject* exc = nullptr;
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
#endif
};

// Takes the pending exception (if any) out of the interpreter: nothing is pending afterwards.
inline PendingException fetch_exception() {
    PendingException e;
#if NE_EXCEPTION_OBJECTS
    e.exc = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&e.type, &e.value, &e.traceback);
#endif
    return e;
}

// Makes `e` the pending exception again, consuming its references. Any exception raised since
// the fetch is discarded.
inline void restore_exception(PendingException& e) {
#if NE_EXCEPTION_OBJECTS
    PyErr_SetRaisedException(e.exc);
    e.exc = nullptr;
#else
    PyErr_Restore(e.type, e.value, e.traceback);
    e.type = e.value = e.traceback = nullptr;
#endif
}

inline bool is_set(const PendingException& e) {
#if NE_EXCEPTION_OBJECTS
    return e.exc != nullptr;
#else
    return e.type != nullptr;
#endif
}

// Hands out the head of the exception's traceback chain as an owned reference (or null), and
// detaches it from the exception object, so that while the chain is edited the only reference to
// its head is the one handed out: an entry referenced by anything else is then held elsewhere.
inline PyObject* take_traceback(PendingException& e) {
#if NE_EXCEPTION_OBJECTS
    PyObject* tb = PyException_GetTraceback(e.exc);
    if (tb != nullptr && PyException_SetTraceback(e.exc, Py_None) < 0) {
        PyErr_Clear();
    }
#else
    PyObject* tb = e.traceback;
    e.traceback = nullptr;
    // The value's __traceback__ is the entry where it was last caught, somewhere in the chain (the
    // interpreter brings it up to date when the exception is caught again).
    if (e.value != nullptr && PyExceptionInstance_Check(e.value) && PyException_SetTraceback(e.value, Py_None) < 0) {
        PyErr_Clear();
    }
#endif
    return tb;
}

// Gives the exception `tb` (owned, may be null) as its traceback chain.
inline void put_traceback(PendingException& e, PyObject* tb) {
#if NE_EXCEPTION_OBJECTS
    if (PyException_SetTraceback(e.exc, tb ? tb : Py_None) < 0) {
        PyErr_Clear();
    }
    Py_XDECREF(tb);
#else
    if (e.value != nullptr && PyExceptionInstance_Check(e.value) &&
        PyException_SetTraceback(e.value, tb ? tb : Py_None) < 0) {
        PyErr_Clear();
    }
    Py_XDECREF(e.traceback);
    e.traceback = tb;
#endif
}

// Makes the exception now pending the context of `e`: `e` is consumed and the pending exception
// stays pending, as when an exception is raised while another is being handled.
inline void chain_under_pending(PendingException& e) {
#if NE_EXCEPTION_OBJECTS
    PyObject* pending = PyErr_GetRaisedException();
    set_context(pending, e.exc);
    e.exc = nullptr;
    PyErr_SetRaisedException(pending);
#else
    // The exception raised during the walk is taken out first: making an instance of the hook's
    // exception (one raised by C code while nothing was handled is still a type and a value)
    // calls its constructor, which must not run with another exception pending.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&e.type, &e.value, &e.traceback);
    if (e.traceback != nullptr) {
        PyException_SetTraceback(e.value, e.traceback);
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == e.value) {
        // The hook's own exception raised again: as from 3.12 on, where an exception has one
        // traceback, it carries the edited chain.
        Py_XSETREF(traceback, e.traceback);
        e.traceback = nullptr;
    }
    if (PyExceptionInstance_Check(value) && PyExceptionInstance_Check(e.value)) {
        set_context(value, e.value);
    } else {
        Py_XDECREF(e.value);
    }
    Py_XDECREF(e.type);
    Py_XDECREF(e.traceback);
    e.type = e.value = e.traceback = nullptr;
    PyErr_Restore(type, value, traceback);
#endif
}

// The calling interpreter's own verbose setting (-v or PYTHONVERBOSE): 1 or 0, or -1 when it
// cannot be read now (nothing is left pending).
inline int read_verbose_setting() {
#if NE_PUBLIC_CONFIG
    int verbose = 0;
    if (PyConfig_GetInt("verbose", &verbose) < 0) {
        PyErr_Clear();
        return -1;
    }
    return verbose != 0;
#elif NE_IMPORT_RUNS_IN_MAIN
    return _Py_GetConfig()->verbose != 0;
#elif NE_EXCEPTION_OBJECTS
    return _PyInterpreterState_GetConfig(PyInterpreterState_Get())->verbose != 0;
#else
    return Py_VerboseFlag != 0;  // a global that an embedding application may change at any time
#endif
}

// --- Threads, interpreters, modules -------------------------------------------------------------

// The thread state through which the calling thread holds its interpreter's lock, or null when it
// holds none or that cannot be told safely. Safe to call without the lock.
inline PyThreadState* own_attached_thread_state() {
#if NE_EXCEPTION_OBJECTS
    return PyThreadState_GetUnchecked();
#else
    // The thread state holding the one lock, whichever thread that is: it is this thread's only if
    // it is the one this thread was given first. (A thread that an embedding application switched
    // to a second thread state cannot be told from another thread without reading a thread state
    // that may be freed meanwhile.)
    PyThreadState* current = PyThreadState_GetUnchecked();
    return current != nullptr && current == PyGILState_GetThisThreadState() ? current : nullptr;
#endif
}

// Whether the entry point, called by the import system in the main interpreter, runs there on
// behalf of a sub-interpreter's first import: in a thread state made for the occasion, its origin
// recorded as _PyThreadState_WHENCE_EXEC (5 from 3.13 to 3.15; the name is the core's only), with
// no Python code running in it. The main interpreter's own imports call it from Python code.
inline bool runs_for_a_subinterpreter_import() {
#if NE_IMPORT_RUNS_IN_MAIN
    constexpr int kWhenceExec = 5;
    PyThreadState* tstate = PyThreadState_Get();
    if (tstate->_whence != kWhenceExec) {
        return false;
    }
    PyFrameObject* frame = PyThreadState_GetFrame(tstate);  // new reference
    Py_XDECREF(frame);
    return frame == nullptr;
#else
    return false;  // the sub-interpreter runs the entry point itself
#endif
}

inline bool is_main_interpreter(PyInterpreterState* interp) {
    return interp == PyInterpreterState_Main();
}

// Whether a module of class `type` (a subclass of the module type) is read as a module is: the
// class keeps the module type's attribute lookup and has no attribute `name`, which that lookup
// asks first. Allocates nothing.
inline bool keeps_module_lookup(PyTypeObject* type, PyObject* name) {
    return type->tp_getattro == PyModule_Type.tp_getattro && _PyType_Lookup(type, name) == nullptr;  // borrowed
}

}  // namespace capi
}  // namespace native_extensions
