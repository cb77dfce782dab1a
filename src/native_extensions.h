// Shared declarations of the native_extensions extension module.
//
// Everything the module exports lives in the namespace `native_extensions`; the only other
// exported symbol is the interpreter's entry point `PyInit_native_extensions`. The second half of
// this header gathers every difference between the supported CPython versions (3.10 to 3.13), so
// that the module's logic reads the same on all of them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(Py_LIMITED_API)
// The stable-ABI build (abi3): one binary for every later GIL build of CPython, so only the
// limited API, no interpreter structure and no internal header. Its oldest target is 3.12, the
// first with one exception object (PyErr_GetRaisedException) in the limited API.
#if Py_LIMITED_API + 0 < 0x030C0000
#error "the stable-ABI build needs Py_LIMITED_API 0x030C0000 (3.12) or later"
#endif
#ifdef Py_GIL_DISABLED
#error "abi3 does not cover free-threaded builds: build the version-specific module for them"
#endif
#include <stdlib.h>
#else
#include <frameobject.h>
#endif

#if defined(Py_LIMITED_API)
// (no internal headers)
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
// 3.11 has no public call that reads one variable of a frame (PyFrame_GetVar came in 3.12), so
// function frames are read in place through the interpreter's frame layout and locals kinds (and
// a namespace frame's namespace through the same layout).
#define Py_BUILD_CORE 1
#include <internal/pycore_code.h>
#include <internal/pycore_frame.h>
#undef Py_BUILD_CORE
#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
// 3.12 and 3.13 frames are asked whether their variables were cleared before PyFrame_GetVar
// reads them, and a namespace frame's namespace is read from its layout; 3.13's configuration is
// read through _Py_GetConfig.
#define Py_BUILD_CORE 1
#include <internal/pycore_frame.h>
#if PY_VERSION_HEX >= 0x030D0000
#include <internal/pycore_pystate.h>
#endif
#undef Py_BUILD_CORE
#elif PY_VERSION_HEX >= 0x030E0000
// From 3.14 on, the frame layout is read only for the namespace of a module-level, class-body or
// exec'd frame, which no public call gives while the frame runs an inlined comprehension.
#define Py_BUILD_CORE 1
#include <internal/pycore_frame.h>
#include <internal/pycore_interpframe_structs.h>
#undef Py_BUILD_CORE
#endif

#include <atomic>
#include <stdint.h>
#include <string.h>

#define NATIVE_EXTENSIONS_API __attribute__((visibility("default")))

namespace native_extensions {

// The main interpreter's module object: the one its import made (or, when a sub-interpreter
// imported first, the one its import built from the copy), and after that the newest one that
// InitNativeExtensions() made there. It holds a strong reference of its own, so that the fork
// handler never reads a module that has been freed; the reference moves on with it, and is
// released when the main interpreter ends. Read and written atomically.
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
#ifdef Py_LIMITED_API
// Stable-ABI build: what the code objects of recent frames declare, so that a frame is settled
// without asking its code for the names of its variables (each ask builds new tuples). Direct-mapped
// by the code object's address; each slot holds a strong reference to its code object, so that
// the address cannot be reused by another one while it is cached. At most this many code objects
// are kept alive, and the interpreter releases them as it ends.
struct CodeKindCache {
    static constexpr int kSlots = 64;
    PyObject* code[kSlots];
    signed char kind[kSlots];
};
#endif

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
#ifdef Py_LIMITED_API
    CodeKindCache code_kinds;
#endif
};

// The calling interpreter's state, made if need be: null (with an exception set) only if a
// sub-interpreter's state cannot be made. Call with the interpreter lock held.
InterpreterState* interpreter_state();

// Makes `Module` the main interpreter's own module when it is still to be found (the module was set
// up on behalf of a sub-interpreter) and the main interpreter has imported the module since. Call in
// the main interpreter with its lock held and nothing pending.
void adopt_main_module();

// `Module` as a new reference, or null while the main interpreter has no module of its own.
PyObject* main_module();

// Whether any interpreter has set the module up in the runtime now running. Safe without the lock.
bool module_was_set_up();

// The state of `interp` if it has one, made by nothing (for the fork handler); null otherwise.
InterpreterState* existing_interpreter_state(PyInterpreterState* interp);

// Arranges, once per process, that no forked child inherits a lock of the module held by a thread
// it does not have. False, with an exception set, if that cannot be arranged.
bool arrange_fork_safety();

// The main interpreter's state (its names are made when the module is first set up there).
InterpreterState* main_interpreter_state();

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
//           (3.12 directly, 3.13 by _Py_GetConfig, 3.14 by PyConfig_GetInt); PyFrame_GetVar
//           reads one variable of a function frame without building its locals mapping (on
//           3.13 that mapping is a write-through proxy for function frames anyway).
// 3.13+     A sub-interpreter's first import runs the entry point in the main interpreter, in a
//           thread state made for it (its _whence says so); a dict watcher's callback may stop
//           watching the dict it is called for, so the main interpreter's sys.modules is watched
//           for the module its own import then builds from the copy.
// abi3      (Py_LIMITED_API, 3.12 and later from one binary) The limited API only: traceback
//           entries are read through the traceback type's own member and get/set tables (found
//           once by PyType_GetSlot; tb_next is relinked through its setter, which refuses a
//           loop); a code object's flags and names are read as attributes, once per code object
//           (a small cache per interpreter); a function frame's variable is looked up in its
//           f_locals (3.12: a snapshot dict, 3.13+: a proxy), asked only of frames whose code
//           declares it and, on 3.12 and 3.13, only when the frame type's traversal shows that
//           the frame's variables were not cleared; the verbose setting through the
//           interpreter's own sys.flags, read once; the main interpreter is the one whose id is 0; a thread holds its
//           interpreter's lock when it has an attached thread state, which PyThreadState_GetDict
//           reports; the module is created with the stable ABI's version number; a dict value
//           is read by PyDict_GetItemWithError (PyDict_GetItemRef is limited from 3.13 only) and a
//           module's __getattr__ called by PyObject_CallFunctionObjArgs; whether the entry point
//           runs for a sub-interpreter's import is asked from 3.13 on by the running version.
// ---------------------------------------------------------------------------------------------
namespace compat {

#ifdef Py_LIMITED_API
// What the full API has as macros in headers that the limited API leaves out.
#ifndef Py_XSETREF
#define Py_XSETREF(dst, src)                                  \
    do {                                                      \
        PyObject** setref_dst = reinterpret_cast<PyObject**>(&(dst)); \
        PyObject* setref_old = *setref_dst;                   \
        *setref_dst = reinterpret_cast<PyObject*>(src);       \
        Py_XDECREF(setref_old);                               \
    } while (0)
#endif
// The code flag of a function's code (its locals are fast locals): CO_OPTIMIZED, whose value
// the inspect module documents.
constexpr long kCodeOptimized = 0x0001;
constexpr int kModuleApiVersion = PYTHON_ABI_VERSION;
#else
constexpr int kModuleApiVersion = PYTHON_API_VERSION;
#endif

// The calling thread's pending exception, taken out of the interpreter.
struct PendingException {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = nullptr;
#ifdef Py_LIMITED_API
    // Whether relinks are deferred while this exception's chain is edited (see set_entry_next),
    // and where the records of the chain edited around it begin (-1: none).
    bool defers_links = false;
    Py_ssize_t outer_links_base = -1;
#endif
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
#endif
};

#ifdef Py_LIMITED_API
inline Py_ssize_t begin_deferred_links();
inline void apply_deferred_links(Py_ssize_t base);
#endif

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
#ifdef Py_LIMITED_API
    e.outer_links_base = begin_deferred_links();
    e.defers_links = true;
#endif
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
#ifdef Py_LIMITED_API
    if (e.defers_links) {
        apply_deferred_links(e.outer_links_base);
        e.defers_links = false;
    }
#endif
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
    if (exc == nullptr || context == exc) {
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
#if PY_VERSION_HEX >= 0x030E0000 && !defined(Py_LIMITED_API)
    int verbose = 0;
    if (PyConfig_GetInt("verbose", &verbose) < 0) {
        PyErr_Clear();
        return -1;
    }
    return verbose != 0;
#elif PY_VERSION_HEX >= 0x030D0000 && !defined(Py_LIMITED_API)
    // The configuration of the calling thread's interpreter (the interpreter exports the call to
    // its own modules; PyConfig_GetInt came in 3.14).
    return _Py_GetConfig()->verbose != 0;
#elif defined(Py_LIMITED_API)
    // The limited API has no call that reads the configuration: the interpreter's own sys module
    // (an application that replaced sys.flags is believed). PySys_GetObject itself reports a
    // failure to make the name on stderr, which is why this is read once, when the module is set
    // up.
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
// Where it is cheap to read (a field of the configuration), it is read afresh instead.
#ifdef Py_LIMITED_API
constexpr bool verbose_setting_is_remembered = true;
#else
constexpr bool verbose_setting_is_remembered = PY_VERSION_HEX >= 0x030E0000;
#endif

// The index of `name` in a tuple of names of a code's variables, or -1.
inline Py_ssize_t name_index(PyObject* names, PyObject* name) {
#ifdef Py_LIMITED_API
    const Py_ssize_t size = PyTuple_Size(names);
    const Py_ssize_t length = PyUnicode_GetLength(name);
    auto item = [names](Py_ssize_t i) { return PyTuple_GetItem(names, i); };  // borrowed
    auto text_length = [](PyObject* text) { return PyUnicode_GetLength(text); };
#else
    const Py_ssize_t size = PyTuple_GET_SIZE(names);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    auto item = [names](Py_ssize_t i) { return PyTuple_GET_ITEM(names, i); };
    auto text_length = [](PyObject* text) { return PyUnicode_GET_LENGTH(text); };
#endif
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* candidate = item(i);
        if (candidate == name) {
            return i;
        }
        // Names in code objects are interned, so identity nearly always decides; the text is
        // compared only for a string of the right length that is not the interned one.
        if (PyUnicode_Check(candidate) && text_length(candidate) == length &&
            PyUnicode_Compare(candidate, name) == 0) {
            return i;
        }
    }
    return -1;
}

#ifdef Py_LIMITED_API
// Stable-ABI build: a read-only field or a computed attribute of a built-in type, found by name in
// the type's own member and get/set tables (PyType_GetSlot reads them from any type since 3.10).
// They are static data of the interpreter's library, the same for every interpreter of the
// process, so they are looked up once; where a future release no longer has the attribute in
// its tables, it is read by name instead.
struct Attribute {
    const char* name;
    std::atomic<int> resolved{0};  // 0: not yet, 1: found in a table, -1: read by name
    std::atomic<PyMemberDef*> member{nullptr};
    std::atomic<PyGetSetDef*> getset{nullptr};

    void resolve(PyTypeObject* type) {
        if (resolved.load(std::memory_order_acquire) != 0) {
            return;
        }
        auto* members = static_cast<PyMemberDef*>(PyType_GetSlot(type, Py_tp_members));
        for (; members != nullptr && members->name != nullptr; ++members) {
            // An object field: _Py_T_OBJECT (6, None when empty) or Py_T_OBJECT_EX.
            if (strcmp(members->name, name) == 0 && (members->type == 6 || members->type == Py_T_OBJECT_EX)) {
                member.store(members, std::memory_order_relaxed);
                break;
            }
        }
        auto* getsets = static_cast<PyGetSetDef*>(PyType_GetSlot(type, Py_tp_getset));
        for (; member.load(std::memory_order_relaxed) == nullptr && getsets != nullptr && getsets->name != nullptr;
             ++getsets) {
            if (strcmp(getsets->name, name) == 0 && getsets->get != nullptr) {
                getset.store(getsets, std::memory_order_relaxed);
                break;
            }
        }
        PyErr_Clear();  // PyType_GetSlot reports nothing for these slots; nothing is left pending
        const bool found = member.load(std::memory_order_relaxed) || getset.load(std::memory_order_relaxed);
        resolved.store(found ? 1 : -1, std::memory_order_release);
    }

    // The attribute's value: a new reference, or null with an exception set.
    PyObject* get(PyObject* object) {
        resolve(Py_TYPE(object));
        if (PyMemberDef* m = member.load(std::memory_order_relaxed)) {
            return PyMember_GetOne(reinterpret_cast<const char*>(object), m);
        }
        if (PyGetSetDef* g = getset.load(std::memory_order_relaxed)) {
            return g->get(object, g->closure);
        }
        return PyObject_GetAttrString(object, name);
    }

    // Sets the attribute through its setter: 0, or -1 with an exception set.
    int set(PyObject* object, PyObject* value) {
        resolve(Py_TYPE(object));
        PyGetSetDef* g = getset.load(std::memory_order_relaxed);
        if (g != nullptr && g->set != nullptr) {
            return g->set(object, value, g->closure);
        }
        return PyObject_SetAttrString(object, name, value);
    }
};

inline Attribute tb_next_attribute{"tb_next"};
inline Attribute tb_frame_attribute{"tb_frame"};
inline Attribute f_locals_attribute{"f_locals"};
inline Attribute f_trace_attribute{"f_trace"};

// What a frame's code says about how the frame is tested, found from the code's attributes.
// 0: a function's code without a variable `name`; 1: a function's code that has one; 2: other
// code (module, class body, exec'd code), whose locals mapping is asked; -1 with an exception set
// if the attributes could not be read.
inline int read_code_kind(PyObject* code, PyObject* name) {
    PyObject* flags_object = PyObject_GetAttrString(code, "co_flags");
    const long flags = flags_object != nullptr ? PyLong_AsLong(flags_object) : -1;
    Py_XDECREF(flags_object);
    if (flags == -1 && PyErr_Occurred()) {
        return -1;
    }
    if ((flags & kCodeOptimized) == 0) {
        return 2;
    }
    static const char* const kNameTuples[] = {"co_varnames", "co_cellvars", "co_freevars"};
    for (const char* attribute : kNameTuples) {
        PyObject* names = PyObject_GetAttrString(code, attribute);
        if (names == nullptr) {
            return -1;
        }
        const bool found = PyTuple_Check(names) && name_index(names, name) >= 0;
        Py_DECREF(names);
        if (found) {
            return 1;
        }
    }
    return 0;
}

// The code kind of `code` (as read_code_kind), from the calling interpreter's cache when it has it.
inline int cached_code_kind(PyObject* code, PyObject* name) {
    InterpreterState* state = interpreter_state();
    if (state == nullptr) {
        PyErr_Clear();
        return read_code_kind(code, name);
    }
    CodeKindCache& cache = state->code_kinds;
    const auto address = reinterpret_cast<uintptr_t>(code);
    const int slot = static_cast<int>(((address >> 4) ^ (address >> 12)) % CodeKindCache::kSlots);
    if (cache.code[slot] == code) {
        return cache.kind[slot];
    }
    const int kind = read_code_kind(code, name);
    if (kind >= 0) {
        // The name is the interpreter's one marker key, so the kind stays true for this code.
        cache.kind[slot] = static_cast<signed char>(kind);
        Py_XSETREF(cache.code[slot], Py_NewRef(code));
    }
    return kind;
}

// Releases the cached code objects (in the cache's own interpreter, with its lock held).
inline void release_code_kinds(InterpreterState* state) {
    for (int i = 0; i < CodeKindCache::kSlots; ++i) {
        Py_CLEAR(state->code_kinds.code[i]);
    }
}
#endif

// How `frame` is tested for the marker `name`: 0 when its code is a function's that has no
// local, cell or free variable `name` (such a frame cannot be marked); 1 when it is a function's
// that has one (function_binds tells); 2 for other code (module level, class body, exec'd code),
// whose namespace is asked (namespace_holds). -1 with the exception pending on a failure.
inline int frame_kind(PyFrameObject* frame, PyObject* name) {
#ifdef Py_LIMITED_API
    if (frame == nullptr) {
        return -1;  // the entry's frame could not be read (entry_frame left the exception)
    }
#endif
    PyCodeObject* code = PyFrame_GetCode(frame);  // new reference
#ifdef Py_LIMITED_API
    const int kind = cached_code_kind(reinterpret_cast<PyObject*>(code), name);
#else
    const bool function_frame = (code->co_flags & CO_OPTIMIZED) != 0;
#if PY_VERSION_HEX >= 0x030B0000
    const bool declares = function_frame && name_index(code->co_localsplusnames, name) >= 0;
#else
    const bool declares = function_frame && (name_index(code->co_varnames, name) >= 0 ||
                                             name_index(code->co_cellvars, name) >= 0 ||
                                             name_index(code->co_freevars, name) >= 0);
#endif
    const int kind = !function_frame ? 2 : declares ? 1 : 0;
#endif
    Py_DECREF(code);
    return kind;
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
#ifdef Py_LIMITED_API
    auto contains = reinterpret_cast<objobjproc>(PyType_GetSlot(Py_TYPE(mapping), Py_sq_contains));
    if (contains != nullptr) {
        return contains(mapping, key);
    }
#else
    PySequenceMethods* sequence = Py_TYPE(mapping)->tp_as_sequence;
    if (sequence != nullptr && sequence->sq_contains != nullptr) {
        return sequence->sq_contains(mapping, key);
    }
#endif
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

#ifdef Py_LIMITED_API
// Whether `name` is in the frame's f_locals (3.12: the frame's dict, refreshed from its fast
// locals; 3.13+: a proxy that reads them): 1 or 0; -1 with the exception pending when the mapping
// could not be had or tested.
inline int locals_hold(PyFrameObject* frame, PyObject* name) {
    PyObject* locals = f_locals_attribute.get(reinterpret_cast<PyObject*>(frame));
    if (locals == nullptr) {
        return -1;
    }
    const int found = mapping_holds(locals, name);
    Py_DECREF(locals);
    return found;
}
#endif

// Whether `name` is in the namespace of a frame whose code is not a function's (module level,
// class body, exec'd code): 1 or 0; -1 with the exception pending when the test failed.
inline int namespace_holds(PyFrameObject* frame, PyObject* name) {
#ifdef Py_LIMITED_API
    // Only f_locals shows the namespace here: a running frame inside an inlined comprehension
    // (3.12+) shows the comprehension's variables there instead (README says so).
    return locals_hold(frame, name);
#else
    // The namespace itself, read from the frame: f_locals is no namespace for a running frame
    // inside an inlined comprehension (3.12: a copy made by iterating it, 3.13+: a proxy of the
    // comprehension's variables), and making it writes the frame's cells into a class body's
    // namespace while the class is being built (3.10 to 3.12). A cleared frame has none.
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* names = Py_XNewRef(frame->f_frame->f_locals);
#else
    PyObject* names = Py_XNewRef(frame->f_locals);
#endif
    if (names == nullptr) {
        return 0;
    }
    const int found = mapping_holds(names, name);
    Py_DECREF(names);
    return found;
#endif
}

#ifdef Py_LIMITED_API
// What the frame type's traversal shows of a frame (see variables_unreadable).
struct FrameVisits {
    PyObject* code;
    int code_visits_to_skip;  // 1 when f_trace holds the code object too (it is visited first)
    bool owned;               // the code object was visited with the frame's own data
    bool variable;            // a variable or stack slot was visited after it
};

inline int visit_frame_part(PyObject* object, void* arg) {
    auto* visits = static_cast<FrameVisits*>(arg);
    if (visits->owned) {
        visits->variable = true;
        return 1;  // one is enough: the traversal stops here
    }
    if (object == visits->code && visits->code_visits_to_skip-- == 0) {
        visits->owned = true;
    }
    return 0;
}

// Whether the function frame's variables must not be read through f_locals on the running
// release: 1 when they must not (the frame binds nothing then), 0 when they can be, -1 with the
// exception pending on a failure.
//
// On 3.12 and 3.13 a frame whose variables the interpreter cleared has stacktop 0 and nothing
// else to show for it; from 3.12.4 to 3.13.5, closing a generator suspended outside any handler
// clears them that way but leaves their pointers behind, and a frame object that outlives the
// generator copies none of them, yet its locals mapping reads them all. The frame type's own
// traversal (what gc.get_referents shows) reads no more than stacktop slots: for a frame that its
// frame object owns, it visits the frame's code object and then each variable and stack slot that
// holds something, so a frame with nothing after its code object binds nothing, as the
// version-specific build finds from stacktop. For a frame that a generator or a running thread
// owns, it shows nothing, and on the releases that leave freed pointers in a closed generator's
// frame nothing readable tells a closed generator from a suspended one: such a frame is not asked.
inline int variables_unreadable(PyFrameObject* frame) {
    const long version = static_cast<long>(Py_Version);
    if (version >= 0x030E0000) {
        return 0;
    }
    PyObject* object = reinterpret_cast<PyObject*>(frame);
    auto traverse = reinterpret_cast<traverseproc>(PyType_GetSlot(Py_TYPE(object), Py_tp_traverse));
    if (traverse == nullptr) {
        PyErr_Clear();
        return 1;  // nothing tells what the frame holds: not read
    }
    PyObject* trace = f_trace_attribute.get(object);  // owned: None when there is none
    if (trace == nullptr) {
        return -1;
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyFrame_GetCode(frame));  // owned
    FrameVisits visits{code, trace == code ? 1 : 0, false, false};
    Py_DECREF(trace);
    traverse(object, visit_frame_part, &visits);
    Py_DECREF(code);
    if (visits.owned) {
        return visits.variable ? 0 : 1;
    }
    return version >= 0x030C0400 && version < 0x030D0600 ? 1 : 0;
}
#endif

// Whether the function frame has its local, cell or free variable `name` bound. Only asked of
// frames whose code declares `name`. 1 or 0; -1 with the exception pending on a failure.
inline int function_binds(PyFrameObject* frame, PyObject* name) {
#if defined(Py_LIMITED_API)
    // No public call of the limited API reads one variable: the locals mapping is asked. It has
    // the name only while the variable is bound (3.12's refreshed dict drops a deleted one).
    const int unreadable = variables_unreadable(frame);
    if (unreadable != 0) {
        return unreadable < 0 ? -1 : 0;
    }
    return locals_hold(frame, name);
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
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
    // What PyFrame_FastToLocals would copy into the mapping for this one name, read in place:
    // making the mapping of a running frame would keep a copy of every variable alive on it as
    // long as the frame runs. A variable that is also a cell (an argument a closure uses) is
    // empty in its own slot and read from its cell; a cleared frame has every slot empty.
    PyCodeObject* code = frame->f_code;
    PyObject** slots = frame->f_localsplus;
    Py_ssize_t i = name_index(code->co_varnames, name);
    if (i >= 0 && slots[i] != nullptr) {
        return 1;
    }
    const Py_ssize_t cells = code->co_nlocals;
    const Py_ssize_t frees = cells + PyTuple_GET_SIZE(code->co_cellvars);
    PyObject* cell = nullptr;
    if ((i = name_index(code->co_cellvars, name)) >= 0) {
        cell = slots[cells + i];
    } else if ((i = name_index(code->co_freevars, name)) >= 0) {
        cell = slots[frees + i];
    }
    return cell != nullptr && PyCell_Check(cell) && PyCell_GET(cell) != nullptr;
#endif
}

// `key`'s value in the dict `dict`, as a new reference, or null (nothing pending) when it is absent
// or the lookup failed. Allocates nothing.
inline PyObject* dict_value(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000 && !defined(Py_LIMITED_API)
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) {
        PyErr_Clear();
    }
    return value;
#else
    // (The limited API has PyDict_GetItemRef from 3.13 on only.) The value is borrowed: taken at
    // once, with no Python code run in between (the module's namespace has str keys).
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
        PyErr_Clear();
    }
    return Py_XNewRef(value);
#endif
}

// Whether `module` is asked for `name` as an ordinary module is (below): it is one, or, where the
// interpreter has no read that leaves the AttributeError unmade (before 3.12, and the stable ABI),
// an instance of a subclass of the module type (`module.__class__ = ...` gives a module
// properties) that keeps that type's attribute lookup and whose class has no attribute `name`,
// which that lookup asks first. Allocates nothing.
inline bool asked_as_a_module(PyObject* module, PyObject* name) {
    if (PyModule_CheckExact(module)) {
        return true;
    }
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_LIMITED_API)
    static_cast<void>(name);
    return false;
#else
    if (!PyModule_Check(module)) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(module);
#ifdef Py_LIMITED_API
    // hasattr on the class makes no AttributeError: from 3.12 on a type's own lookup makes none.
    return PyType_GetSlot(type, Py_tp_getattro) == PyType_GetSlot(&PyModule_Type, Py_tp_getattro) &&
           !PyObject_HasAttr(reinterpret_cast<PyObject*>(type), name);
#else
    return type->tp_getattro == PyModule_Type.tp_getattro && _PyType_Lookup(type, name) == nullptr;  // borrowed
#endif
#endif
}

// The attribute `name` of `module`, as a new reference, or null when it has none (nothing is left
// pending). A module is asked as the interpreter asks it, its namespace and then its own
// __getattr__ (named by `getattr_name`), without making an AttributeError when the attribute is
// absent, so that this allocates nothing then. Any other object through getattr: from 3.12 on the
// interpreter's read that makes no AttributeError, which a module's own lookup honours.
inline PyObject* optional_attribute(PyObject* module, PyObject* name, PyObject* getattr_name) {
    if (!asked_as_a_module(module, name)) {
        PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000 && !defined(Py_LIMITED_API)
        if (PyObject_GetOptionalAttr(module, name, &value) < 0) {
            PyErr_Clear();
        }
#elif PY_VERSION_HEX >= 0x030C0000 && !defined(Py_LIMITED_API)
        if (_PyObject_LookupAttr(module, name, &value) < 0) {
            PyErr_Clear();
        }
#else
        value = PyObject_GetAttr(module, name);
        if (value == nullptr) {
            PyErr_Clear();
        }
#endif
        return value;
    }
    // The module type itself has no attribute of that name: its namespace decides.
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* value = dict_value(dict, name);
    if (value == nullptr) {
        PyObject* getattr = dict_value(dict, getattr_name);
        if (getattr != nullptr) {
#ifdef Py_LIMITED_API
            value = PyObject_CallFunctionObjArgs(getattr, name, nullptr);  // no CallOneArg there
#else
            value = PyObject_CallOneArg(getattr, name);
#endif
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
#if defined(Py_LIMITED_API)
    // The limited API cannot ask for the calling thread's thread state without a fatal error when
    // it has none (PyThreadState_Get), and PyGILState_Check (not in it anyway) answers 1 for any
    // thread once a sub-interpreter exists. PyThreadState_GetDict asks exactly the question, from
    // 3.12 on: it answers null, raising nothing, when the calling thread has no attached thread
    // state; otherwise that thread holds its interpreter's lock and PyThreadState_Get is safe.
    // (It makes the thread state's dictionary the first time it is asked, with the lock held.)
    return PyThreadState_GetDict() != nullptr ? PyThreadState_Get() : nullptr;
#elif PY_VERSION_HEX >= 0x030D0000
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

// --- Traceback entries ------------------------------------------------------------------------

#ifdef Py_LIMITED_API
// Stable-ABI build: the only public way to relink an entry is the tb_next setter, which walks the
// new successor's chain to refuse a loop. Relinking entry by entry while walking a chain from
// its head would cost the rest of the chain each time, O(k·n) for k unlinked entries of n. So
// while a chain is edited (between take_traceback and put_traceback) each relink is recorded
// here and the entry cut from its successor; the links are made in their order when the chain
// is handed back, each walking only as far as the next cut: O(n) in all. The entries are the
// calling thread's chain alone (the exception no longer holds it); a walk nested in another
// (Python code run by a frame test) has its records above the outer one's.
struct DeferredLink {
    PyObject* owner;  // owned
    PyObject* next;   // owned, or null for none
};
struct DeferredLinks {
    DeferredLink* items;
    Py_ssize_t size;
    Py_ssize_t capacity;
    Py_ssize_t base;  // where the innermost edited chain's records begin, -1 when none is edited
};
inline thread_local DeferredLinks deferred_links = {nullptr, 0, 0, -1};

inline bool grow_deferred_links() {
    DeferredLinks& links = deferred_links;
    const Py_ssize_t capacity = links.capacity > 0 ? 2 * links.capacity : 64;
    void* items = realloc(links.items, static_cast<size_t>(capacity) * sizeof(DeferredLink));
    if (items == nullptr) {
        return false;  // the link is then made at once
    }
    links.items = static_cast<DeferredLink*>(items);
    links.capacity = capacity;
    return true;
}

inline Py_ssize_t begin_deferred_links() {
    DeferredLinks& links = deferred_links;
    const Py_ssize_t outer = links.base;
    links.base = links.size;
    return outer;
}

// The successor that a deferred relink gives `entry` (borrowed), or null.
inline PyObject* deferred_successor(PyObject* entry) {
    const DeferredLinks& links = deferred_links;
    for (Py_ssize_t i = links.size - 1; i >= links.base && i >= 0; --i) {
        if (links.items[i].owner == entry) {
            return links.items[i].next;
        }
    }
    return nullptr;
}

// Makes the links deferred since the matching begin_deferred_links, in order, and returns to the
// outer chain's records (`outer`). A link the setter refuses (a loop that Python code made
// meanwhile) is left out, as a refused direct relink would be. An exception pending on entry (one
// that ended the walk) is still pending afterwards.
inline void apply_deferred_links(Py_ssize_t outer) {
    DeferredLinks& links = deferred_links;
    const Py_ssize_t base = links.base;
    const Py_ssize_t size = links.size;
    PyObject* pending = PyErr_GetRaisedException();  // owned, or null
    for (Py_ssize_t i = base; i < size; ++i) {
        // Read afresh each time: a finalizer run by a link's release may nest a walk, whose records
        // go above these (they are still counted) and may move the buffer.
        PyObject* owner = links.items[i].owner;
        PyObject* next = links.items[i].next;
        if (tb_next_attribute.set(owner, next != nullptr ? next : Py_None) < 0) {
            PyErr_Clear();
        }
    }
    // Released after every link is made (no finalizer runs while the chain is half linked), and
    // before the records stop being counted, for the same reason.
    for (Py_ssize_t i = base; i < size; ++i) {
        PyObject* owner = links.items[i].owner;
        PyObject* next = links.items[i].next;
        links.items[i] = DeferredLink{nullptr, nullptr};
        Py_DECREF(owner);
        Py_XDECREF(next);
    }
    links.size = base;
    links.base = outer;
    if (outer < 0) {
        // The outermost chain is handed back: the thread keeps no buffer (it would outlive the
        // thread).
        free(links.items);
        links.items = nullptr;
        links.capacity = 0;
    }
    PyErr_SetRaisedException(pending);
}
#endif

// The frame of the traceback entry `entry`: borrowed from the entry, which holds it for as long
// as the entry lives (tb_frame cannot be changed), so valid while the caller holds the entry.
// Null, with an exception set, only in the stable-ABI build when it could not be read.
inline PyFrameObject* entry_frame(PyObject* entry) {
#ifdef Py_LIMITED_API
    // Read from the type's member table it cannot fail; read by name (a future release) it can:
    // null then, with the exception pending.
    PyObject* frame = tb_frame_attribute.get(entry);
    Py_XDECREF(frame);
    return reinterpret_cast<PyFrameObject*>(frame);
#else
    return reinterpret_cast<PyTracebackObject*>(entry)->tb_frame;
#endif
}

// The successor of the traceback entry `entry`: a new reference, or null for the last entry.
// Leaves no exception pending.
inline PyObject* entry_next(PyObject* entry) {
#ifdef Py_LIMITED_API
    PyObject* next = tb_next_attribute.get(entry);  // the attribute is None for the last entry
    if (next == Py_None) {
        Py_DECREF(next);
        // An entry whose relink is deferred has no successor meanwhile: its successor to be.
        return Py_XNewRef(deferred_successor(entry));
    }
    if (next == nullptr) {
        PyErr_Clear();
    }
    return next;
#else
    return Py_XNewRef(reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(entry)->tb_next));
#endif
}

// Makes `next` (an entry, or null for none) the successor of the traceback entry `entry`, which
// takes a reference of its own and releases its previous successor. 0, or -1 with an exception
// set if the interpreter refused the link: the limited API's setter refuses one that would close
// a loop, which only Python code relinking entries during a walk can bring about; the entry then
// keeps its successor.
inline int set_entry_next(PyObject* entry, PyObject* next) {
#ifdef Py_LIMITED_API
    DeferredLinks& links = deferred_links;
    if (links.base >= 0) {
        // While a chain is edited, the link is made later, in order, when the new successor's
        // own successor is cut: the setter's loop check then stops at once. Meanwhile the entry
        // has none (its old successor is released now, as the direct write would).
        if (links.size > links.base && links.items[links.size - 1].owner == entry) {
            Py_XSETREF(links.items[links.size - 1].next, Py_XNewRef(next));
            return 0;
        }
        if (links.size < links.capacity || grow_deferred_links()) {
            if (tb_next_attribute.set(entry, Py_None) < 0) {
                return -1;
            }
            links.items[links.size++] = DeferredLink{Py_NewRef(entry), Py_XNewRef(next)};
            return 0;
        }
    }
    return tb_next_attribute.set(entry, next != nullptr ? next : Py_None);
#else
    auto* tb = reinterpret_cast<PyTracebackObject*>(entry);
    Py_XSETREF(tb->tb_next, reinterpret_cast<PyTracebackObject*>(Py_XNewRef(next)));
    return 0;
#endif
}

// Cuts the traceback entry `entry` from its successor at once, also while relinks are deferred.
// For an entry that nothing but the caller can reach any more.
inline void cut_entry(PyObject* entry) {
#ifdef Py_LIMITED_API
    if (tb_next_attribute.set(entry, Py_None) < 0) {
        PyErr_Clear();
    }
#else
    Py_CLEAR(reinterpret_cast<PyTracebackObject*>(entry)->tb_next);
#endif
}

// A new traceback entry for the same frame, instruction and line as `entry`, with no successor:
// a new reference, or null with an exception set.
inline PyObject* copy_entry(PyObject* entry) {
    PyObject* type = reinterpret_cast<PyObject*>(&PyTraceBack_Type);
#ifdef Py_LIMITED_API
    PyObject* lasti = PyObject_GetAttrString(entry, "tb_lasti");
    PyObject* lineno = lasti != nullptr ? PyObject_GetAttrString(entry, "tb_lineno") : nullptr;
    PyObject* copy = lineno != nullptr ? PyObject_CallFunction(type, "OOOO", Py_None, entry_frame(entry), lasti, lineno)
                                       : nullptr;
    Py_XDECREF(lasti);
    Py_XDECREF(lineno);
    return copy;
#else
    auto* tb = reinterpret_cast<PyTracebackObject*>(entry);
    return PyObject_CallFunction(type, "OOii", Py_None, tb->tb_frame, tb->tb_lasti, tb->tb_lineno);
#endif
}

// --- Interpreters, module creation, raw memory -------------------------------------------------

// Whether the entry point, called by the import system in the main interpreter, runs there on behalf
// of a sub-interpreter's first import (3.13 on). The import system then runs it in a thread state of
// the main interpreter made for the occasion (its origin recorded as _PyThreadState_WHENCE_EXEC),
// with no Python code running in it; the main interpreter's own imports call it from the import
// system's Python code. The limited API cannot see a thread state's origin: there, no Python frame on
// the thread decides.
inline bool runs_for_a_subinterpreter_import() {
#if PY_VERSION_HEX >= 0x030D0000 || defined(Py_LIMITED_API)
#ifdef Py_LIMITED_API
    if (Py_Version < 0x030D0000) {
        return false;  // one binary for 3.12 on: before 3.13 the sub-interpreter runs it itself
    }
#endif
    PyThreadState* tstate = PyThreadState_Get();
#ifndef Py_LIMITED_API
    // The value of _PyThreadState_WHENCE_EXEC from 3.13 to 3.15 (its name is the core's only).
    constexpr int kWhenceExec = 5;
    if (tstate->_whence != kWhenceExec) {
        return false;
    }
#endif
    PyFrameObject* frame = PyThreadState_GetFrame(tstate);  // new reference
    Py_XDECREF(reinterpret_cast<PyObject*>(frame));  // opaque in the limited API
    return frame == nullptr;
#else
    return false;  // the sub-interpreter runs the entry point itself
#endif
}

// Dict watchers whose callback may stop watching the dict it is called for: the full API from 3.13
// on (3.12 puts the dict's watcher bits back after the callbacks).
#if PY_VERSION_HEX >= 0x030D0000 && !defined(Py_LIMITED_API)
#define NATIVE_EXTENSIONS_DICT_WATCHERS 1
#endif

// Whether `interp` is the main interpreter. The limited API cannot name the main interpreter;
// it is the one with id 0 (the id counter starts again at 0 with each initialisation).
inline bool is_main_interpreter(PyInterpreterState* interp) {
#ifdef Py_LIMITED_API
    return PyInterpreterState_GetID(interp) == 0;
#else
    return interp == PyInterpreterState_Main();
#endif
}

// Stores `value` under `key` in `dict` unless the key is there already. Returns the value in
// place (borrowed), or null with an exception set. Only str keys: no Python code runs between
// the lookup and the store.
inline PyObject* dict_set_default(PyObject* dict, PyObject* key, PyObject* value) {
#ifdef Py_LIMITED_API
    PyObject* in_place = PyDict_GetItemWithError(dict, key);  // borrowed
    if (in_place != nullptr || PyErr_Occurred()) {
        return in_place;
    }
    return PyDict_SetItem(dict, key, value) < 0 ? nullptr : value;
#else
    return PyDict_SetDefault(dict, key, value);
#endif
}

// Memory that no interpreter owns (the limited API has no raw allocator before 3.13).
inline void* raw_malloc(size_t size) {
#ifdef Py_LIMITED_API
    return malloc(size);
#else
    return PyMem_RawMalloc(size);
#endif
}

inline void raw_free(void* memory) {
#ifdef Py_LIMITED_API
    free(memory);
#else
    PyMem_RawFree(memory);
#endif
}

}  // namespace compat
}  // namespace native_extensions
