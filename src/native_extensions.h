// Shared declarations of the native_extensions extension module.
//
// Everything the module exports lives in the namespace `native_extensions`; the only other
// exported symbol is the interpreter's entry point `PyInit_native_extensions`. The second half of
// this header gathers every difference between the supported CPython versions (3.10 to 3.13), so
// that the module's logic reads the same on all of them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
// 3.11 has no public call that reads one variable of a frame (PyFrame_GetVar came in 3.12), so
// function frames are read in place through the interpreter's frame layout and locals kinds.
#define Py_BUILD_CORE 1
#include <internal/pycore_code.h>
#include <internal/pycore_frame.h>
#undef Py_BUILD_CORE
#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
// 3.12 and 3.13 frames are asked whether their variables were cleared before PyFrame_GetVar
// reads them.
#define Py_BUILD_CORE 1
#include <internal/pycore_frame.h>
#undef Py_BUILD_CORE
#endif

#include <atomic>

#define NATIVE_EXTENSIONS_API __attribute__((visibility("default")))

namespace native_extensions {

// The main interpreter's most recently created module object. It holds a strong reference of its
// own, so that the fork handler never reads a module that has been freed; the reference moves on
// with it, and is released when the main interpreter ends. Read and written atomically.
NATIVE_EXTENSIONS_API extern PyObject* Module;

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

// ---------------------------------------------------------------------------------------------
// What each interpreter of the process has of its own (internal, not exported).
//
// Every interpreter sees the module as if it had it alone: its own hook slot and removal switch,
// and the names it looks up, made by that interpreter. The main interpreter's state is a static
// record, so that its calls stay cheap; a sub-interpreter's is made when it first needs it. Each
// record is released by its own interpreter when that interpreter ends (a capsule in the
// interpreter's own dictionary owns it), so that no object of an ended interpreter, or of a
// finalised runtime, is ever used again: a new runtime starts from the initial state.
struct InterpreterState {
    // The hook set by SetImportHook: one strong reference, or null before the first one. On a
    // free-threaded build it is read (with a reference taken) and replaced under a spin lock.
    PyObject* import_hook;
    // Whether a failing hook call has its hidden frames removed.
    std::atomic<bool> strip_tracebackhide_frames;
    // The marker key "__quenvar__tracebackhide__", interned; made on first need.
    std::atomic<PyObject*> traceback_hide_string;
    // The names "python_fork_handler_called", "native_extensions" and "__getattr__", interned,
    // made with the record: the fork handler then allocates nothing.
    PyObject* fork_handled_name;
    PyObject* module_name;
    PyObject* getattr_name;
    // The interpreter's verbose setting where it is read once: 1 or 0, or -1 while unknown.
    std::atomic<int> verbose_setting;
};

// The calling interpreter's state, made if need be: null (with an exception set) only if a
// sub-interpreter's state cannot be made. Call with the interpreter lock held.
InterpreterState* interpreter_state();

// Makes `Module` the main interpreter's own module when the one it holds was made on behalf of a
// sub-interpreter and the main interpreter has imported the module since. Call in the main
// interpreter with its lock held and nothing pending.
void adopt_main_module();

// The state of `interp` if it has one, made by nothing (for the fork handler); null otherwise.
InterpreterState* existing_interpreter_state(PyInterpreterState* interp);

// Arranges, once per process, that no forked child inherits a lock of the module held by a thread
// it does not have. False, with an exception set, if that cannot be arranged.
bool arrange_fork_safety();

// The marker key of `state`, made on first need: borrowed, or null if it cannot be made now.
PyObject* tracebackhide_key(InterpreterState* state);

// ---------------------------------------------------------------------------------------------
// Interpreter version differences, all in one place.
//
// 3.10      PyErr_Fetch/Restore; Py_VerboseFlag; the frame's f_locals after PyFrame_FastToLocals;
//           code names in co_varnames, co_cellvars and co_freevars.
// 3.11      PyErr_Fetch/Restore; Py_VerboseFlag; PyFrame_GetLocals (which refreshes the fast
//           locals itself); code names in co_localsplusnames; one variable of a function frame
//           is read in place through the interpreter's internal frame layout, as no public call
//           reads it without building the whole locals mapping.
// 3.12-3.13 A frame whose variables were cleared is not asked for them (3.13.0 reads them from
//           freed memory for a frame that outlived its closed generator).
// 3.12+     One exception object (PyErr_GetRaisedException) carrying its own traceback;
//           Py_VerboseFlag is deprecated: the interpreter's configuration is read instead
//           (3.12 directly, 3.13 through its own sys.flags, 3.14 by PyConfig_GetInt); PyFrame_GetVar
//           reads one variable of a function frame without building its locals mapping (on
//           3.13 that mapping is a write-through proxy for function frames anyway).
// ---------------------------------------------------------------------------------------------
namespace compat {

// The calling thread's pending exception, taken out of the interpreter.
struct PendingException {
#if PY_VERSION_HEX >= 0x030C0000
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
#if PY_VERSION_HEX >= 0x030C0000
    e.exc = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&e.type, &e.value, &e.traceback);
#endif
    return e;
}

// Makes `e` the pending exception again, consuming its references. Any exception raised since
// the fetch is discarded.
inline void restore_exception(PendingException& e) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(e.exc);
    e.exc = nullptr;
#else
    PyErr_Restore(e.type, e.value, e.traceback);
    e.type = e.value = e.traceback = nullptr;
#endif
}

inline bool is_set(const PendingException& e) {
#if PY_VERSION_HEX >= 0x030C0000
    return e.exc != nullptr;
#else
    return e.type != nullptr;
#endif
}

// Hands out the head of the exception's traceback chain as an owned reference (or null), and
// detaches it from the exception object, so that while the chain is edited the only reference to
// its head is the one handed out: an entry referenced by anything else is then held elsewhere.
inline PyObject* take_traceback(PendingException& e) {
#if PY_VERSION_HEX >= 0x030C0000
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
#if PY_VERSION_HEX >= 0x030C0000
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

// Makes `context` (owned, consumed) the __context__ of the exception instance `exc`, as the
// interpreter chains an exception raised while another is handled: never an exception to itself,
// and never closing a cycle (a context chain that already leads to `exc` is cut there; one that
// already has a cycle of its own is not followed for ever).
inline void set_context(PyObject* exc, PyObject* context) {
    if (context == exc) {
        Py_DECREF(context);
        return;
    }
    PyObject* cursor = context;  // each borrowed: its predecessor's context keeps it
    PyObject* slow = context;
    bool move_slow = false;
    for (;;) {
        PyObject* next = PyException_GetContext(cursor);
        if (next == nullptr) {
            break;
        }
        Py_DECREF(next);
        if (next == exc) {
            PyException_SetContext(cursor, nullptr);
            break;
        }
        cursor = next;
        if (cursor == slow) {
            break;
        }
        if (move_slow) {
            PyObject* slow_next = PyException_GetContext(slow);  // `slow` is behind `cursor`
            Py_XDECREF(slow_next);
            slow = slow_next != nullptr ? slow_next : cursor;
        }
        move_slow = !move_slow;
    }
    PyException_SetContext(exc, context);  // takes the reference
}

// Makes the exception now pending the context of `e`: `e` is consumed and the pending exception
// stays pending, as when an exception is raised while another is being handled.
inline void chain_under_pending(PendingException& e) {
#if PY_VERSION_HEX >= 0x030C0000
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
// cannot be read now (nothing is left pending). Never through sys.modules, whose entry for sys an
// application may replace, nor through an import, which would go through builtins.__import__,
// usually the very hook whose failure is being handled.
inline int read_verbose_setting() {
#if PY_VERSION_HEX >= 0x030E0000
    int verbose = 0;
    if (PyConfig_GetInt("verbose", &verbose) < 0) {
        PyErr_Clear();
        return -1;
    }
    return verbose != 0;
#elif PY_VERSION_HEX >= 0x030D0000
    // The interpreter's own sys module; PySys_GetObject itself reports a failure to make the
    // name on stderr, which is why this is read once, when the module is set up.
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    PyObject* value = flags != nullptr ? PyObject_GetAttrString(flags, "verbose") : nullptr;
    const int truth = value != nullptr ? PyObject_IsTrue(value) : -1;
    Py_XDECREF(value);
    if (truth < 0) {
        PyErr_Clear();
    }
    return truth;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyInterpreterState_GetConfig(PyInterpreterState_Get())->verbose != 0;
#else
    // A global that an embedding application may change at any time.
    return Py_VerboseFlag != 0;
#endif
}

// Whether the verbose setting is fixed when the interpreter starts, so that it can be read once
// and remembered (from 3.12 on, writing the deprecated Py_VerboseFlag later has no effect).
// Where it is cheap to read, it is read afresh instead.
constexpr bool verbose_setting_is_remembered = PY_VERSION_HEX >= 0x030D0000;

// The index of `name` in a tuple of names of a code's variables, or -1.
inline Py_ssize_t name_index(PyObject* names, PyObject* name) {
    const Py_ssize_t size = PyTuple_GET_SIZE(names);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* candidate = PyTuple_GET_ITEM(names, i);
        if (candidate == name) {
            return i;
        }
        // Names in code objects are interned, so identity nearly always decides; the text is
        // compared only for a string of the right length that is not the interned one.
        if (PyUnicode_Check(candidate) && PyUnicode_GET_LENGTH(candidate) == length &&
            PyUnicode_Compare(candidate, name) == 0) {
            return i;
        }
    }
    return -1;
}

// Whether `code` has a local, cell or free variable called `name` (a str).
inline bool code_declares(PyCodeObject* code, PyObject* name) {
#if PY_VERSION_HEX >= 0x030B0000
    return name_index(code->co_localsplusnames, name) >= 0;
#else
    return name_index(code->co_varnames, name) >= 0 || name_index(code->co_cellvars, name) >= 0 ||
           name_index(code->co_freevars, name) >= 0;
#endif
}

// The frame's locals mapping, refreshed from its fast locals: a new reference, or null with an
// exception set.
inline PyObject* frame_locals(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyFrame_GetLocals(frame);
#else
    if (PyFrame_FastToLocalsWithError(frame) < 0) {
        return nullptr;
    }
    if (frame->f_locals == nullptr) {
        PyErr_SetString(PyExc_SystemError, "frame has no locals");
        return nullptr;
    }
    Py_INCREF(frame->f_locals);
    return frame->f_locals;
#endif
}

// Whether `mapping` holds `key`, asked the way the interpreter looks a name up in a namespace:
// through its type's membership test where it has one, else by looking the key up, KeyError
// meaning absent. Never by iteration: `in` on a mapping with neither __contains__ nor __iter__
// probes __getitem__(0), __getitem__(1), ... which a defaulting namespace answers for ever.
// 1 or 0; -1 with the exception pending when the test failed.
inline int mapping_holds(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        return PyDict_Contains(mapping, key);
    }
    PySequenceMethods* sequence = Py_TYPE(mapping)->tp_as_sequence;
    if (sequence != nullptr && sequence->sq_contains != nullptr) {
        return sequence->sq_contains(mapping, key);
    }
    PyObject* value = PyObject_GetItem(mapping, key);
    if (value != nullptr) {
        Py_DECREF(value);
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// Whether `name` is in the frame's locals mapping: 1 or 0; -1 with the exception pending when
// the mapping could not be had or tested.
inline int locals_hold(PyFrameObject* frame, PyObject* name) {
    PyObject* locals = frame_locals(frame);
    if (locals == nullptr) {
        return -1;
    }
    const int found = mapping_holds(locals, name);
    Py_DECREF(locals);
    return found;
}

// Whether the function frame has its local, cell or free variable `name` bound. Only asked of
// frames whose code declares `name`. 1 or 0; -1 with the exception pending on a failure.
inline int function_binds(PyFrameObject* frame, PyObject* name) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
    // What PyFrame_GetLocals would copy into the mapping for this one name: nothing once the
    // frame has been cleared (stacktop 0); for a cell or free variable, the cell's content (a
    // cell variable is not a cell yet only before the frame's first instruction).
    _PyInterpreterFrame* data = frame->f_frame;
    if (data->stacktop == 0) {
        return 0;
    }
    PyCodeObject* code = data->f_code;
    const Py_ssize_t i = name_index(code->co_localsplusnames, name);
    if (i < 0) {
        return 0;
    }
    PyObject* value = data->localsplus[i];
    const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, static_cast<int>(i));
    if (value != nullptr && (kind & (CO_FAST_CELL | CO_FAST_FREE)) && PyCell_Check(value)) {
        value = PyCell_GET(value);
    }
    return value != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
#if PY_VERSION_HEX < 0x030E0000
    // A cleared frame (stacktop 0) binds nothing. From 3.12.4 and 3.13.0 on, closing a generator
    // suspended outside any handler clears its variables but leaves their pointers behind, and a
    // frame object that outlives the generator copies none of them, yet PyFrame_GetVar reads them
    // all (until a later 3.13 release mended it): such a frame must not be asked at all.
    if (frame->f_frame->stacktop == 0) {
        return 0;
    }
#endif
    PyObject* value = PyFrame_GetVar(frame, name);
    if (value == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_NameError)) {  // declared but unbound
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    Py_DECREF(value);
    return 1;
#else
    return locals_hold(frame, name);
#endif
}

// `key`'s value in the dict `dict`, as a new reference, or null (nothing pending) when it is absent
// or the lookup failed. Allocates nothing.
inline PyObject* dict_value(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) {
        PyErr_Clear();
    }
    return value;
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);  // borrowed
    if (value == nullptr) {
        PyErr_Clear();
    }
    return Py_XNewRef(value);
#endif
}

// The attribute `name` of `module`, as a new reference, or null when it has none (nothing is left
// pending). An ordinary module is asked as the interpreter asks it, its namespace and then its
// own __getattr__ (named by `getattr_name`), without making an AttributeError when the attribute
// is absent, so that this allocates nothing then; any other object through getattr.
inline PyObject* optional_attribute(PyObject* module, PyObject* name, PyObject* getattr_name) {
    if (!PyModule_CheckExact(module)) {
        PyObject* value = PyObject_GetAttr(module, name);
        if (value == nullptr) {
            PyErr_Clear();
        }
        return value;
    }
    // The module type itself has no attribute of that name: its namespace decides.
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* value = dict_value(dict, name);
    if (value == nullptr) {
        PyObject* getattr = dict_value(dict, getattr_name);
        if (getattr != nullptr) {
            value = PyObject_CallOneArg(getattr, name);
            Py_DECREF(getattr);
            if (value == nullptr) {
                PyErr_Clear();
            }
        }
    }
    return value;
}

// The thread state through which the calling thread holds its interpreter's lock, or null when
// it holds none or that cannot be told safely. Safe to call without the lock.
inline PyThreadState* own_attached_thread_state() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#elif PY_VERSION_HEX >= 0x030C0000
    // From 3.12 on, the calling thread's attached thread state.
    return _PyThreadState_UncheckedGet();
#else
    // Before 3.12, the thread state holding the one lock, whichever thread that is: it is this
    // thread's only if it is the thread state this thread was given first. (A thread that an
    // embedding application switched to a second thread state of its own cannot be told from
    // another thread without reading a thread state that may be freed meanwhile.)
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current == PyGILState_GetThisThreadState() ? current : nullptr;
#endif
}

}  // namespace compat
}  // namespace native_extensions
