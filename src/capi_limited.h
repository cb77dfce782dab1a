// The C-API layer of the stable-ABI build (abi3): one binary for every GIL build of CPython from
// 3.12 on, so only the limited API, no interpreter structure and no internal header. What the
// running release does differently is asked of the running release (Py_Version), never of the
// headers the module was compiled with. Included by capi.h.
#pragma once

#if Py_LIMITED_API + 0 < 0x030C0000
#error "the stable-ABI build needs Py_LIMITED_API 0x030C0000 (3.12) or later"
#endif
#ifdef Py_GIL_DISABLED
#error "abi3 does not cover free-threaded builds: build the version-specific module for them"
#endif

#include <atomic>
#include <stdlib.h>
#include <string.h>

// --- What the full API has and the limited API leaves out, under the full API's names ----------
#ifndef Py_XSETREF
#define Py_XSETREF(dst, src)                                          \
    do {                                                              \
        PyObject** setref_dst = reinterpret_cast<PyObject**>(&(dst)); \
        PyObject* setref_old = *setref_dst;                           \
        *setref_dst = reinterpret_cast<PyObject*>(src);               \
        Py_XDECREF(setref_old);                                       \
    } while (0)
#endif
#define PyTuple_GET_SIZE(tuple) PyTuple_Size(tuple)
#define PyTuple_GET_ITEM(tuple, i) PyTuple_GetItem(tuple, i)
#define PyUnicode_GET_LENGTH(text) PyUnicode_GetLength(text)

inline PyObject* PyObject_CallOneArg(PyObject* callable, PyObject* arg) {
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}

// Stores `value` under the str `key` unless the key is there already (no Python code runs
// between the lookup and the store); `*result` is the value in place, a new reference.
inline int PyDict_SetDefaultRef(PyObject* dict, PyObject* key, PyObject* value, PyObject** result) {
    *result = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    if (*result != nullptr || PyErr_Occurred()) {
        return *result != nullptr ? 1 : -1;
    }
    *result = PyDict_SetItem(dict, key, value) < 0 ? nullptr : Py_NewRef(value);
    return *result != nullptr ? 0 : -1;
}

#if Py_LIMITED_API + 0 < 0x030D0000
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    *result = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    return *result != nullptr ? 1 : PyErr_Occurred() ? -1 : 0;
}

inline int PyObject_GetOptionalAttr(PyObject* object, PyObject* name, PyObject** result) {
    return native_extensions::capi::getattr_or_absent(object, name, result);
}
#endif

#define NE_DICT_WATCHERS 0  // not in the limited API

namespace native_extensions {
namespace capi {

constexpr int kModuleApiVersion = PYTHON_ABI_VERSION;
// The code flag of a function's code (its locals are fast locals), as the inspect module gives it.
constexpr long kCodeOptimized = 0x0001;
// An absent attribute is read by getattr, which makes an AttributeError (and so allocates).
constexpr bool kOptionalReadAllocatesNothing = false;
// No call of the limited API reads the configuration: sys.flags is read once, as the module is
// set up (PySys_GetObject reports a failure to make the name on stderr).
constexpr bool kVerboseSettingRemembered = true;

// A read-only field or a computed attribute of a built-in type, found by name in the type's own
// member and get/set tables (PyType_GetSlot reads them from any type). They are static data of
// the interpreter's library, the same for every interpreter of the process, so they are looked up
// once; where a future release no longer has the attribute in its tables, it is read by name.
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

// --- Exceptions ---------------------------------------------------------------------------

// The calling thread's pending exception, taken out of the interpreter.
struct PendingException {
    PyObject* exc = nullptr;
};

inline PendingException fetch_exception() {
    return PendingException{PyErr_GetRaisedException()};
}

inline void restore_exception(PendingException& e) {
    PyErr_SetRaisedException(e.exc);
    e.exc = nullptr;
}

inline bool is_set(const PendingException& e) {
    return e.exc != nullptr;
}

// The head of the exception's traceback chain, owned, detached from the exception (see the full
// API's take_traceback).
inline PyObject* take_traceback(PendingException& e) {
    PyObject* tb = PyException_GetTraceback(e.exc);
    if (tb != nullptr && PyException_SetTraceback(e.exc, Py_None) < 0) {
        PyErr_Clear();
    }
    return tb;
}

inline void put_traceback(PendingException& e, PyObject* tb) {
    if (PyException_SetTraceback(e.exc, tb ? tb : Py_None) < 0) {
        PyErr_Clear();
    }
    Py_XDECREF(tb);
}

inline void chain_under_pending(PendingException& e) {
    PyObject* pending = PyErr_GetRaisedException();
    set_context(pending, e.exc);
    e.exc = nullptr;
    PyErr_SetRaisedException(pending);
}

// The interpreter's own sys.flags.verbose (an application that replaced sys.flags is believed):
// 1 or 0, or -1 when it cannot be read now (nothing is left pending).
inline int read_verbose_setting() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    PyObject* value = flags != nullptr ? PyObject_GetAttrString(flags, "verbose") : nullptr;
    const int truth = value != nullptr ? PyObject_IsTrue(value) : -1;
    Py_XDECREF(value);
    if (truth < 0) {
        PyErr_Clear();
    }
    return truth;
}

// --- Threads, interpreters, modules -------------------------------------------------------------

// The thread state through which the calling thread holds its interpreter's lock, or null. The
// limited API cannot ask for it without a fatal error when there is none (PyThreadState_Get), and
// PyGILState_Check answers 1 for any thread once a sub-interpreter exists. PyThreadState_GetDict
// asks exactly the question: null, raising nothing, when the calling thread has no attached
// thread state (it makes the thread state's dictionary the first time, with the lock held).
inline PyThreadState* own_attached_thread_state() {
    return PyThreadState_GetDict() != nullptr ? PyThreadState_Get() : nullptr;
}

// Whether the entry point, called by the import system in the main interpreter, runs there on
// behalf of a sub-interpreter's first import (from 3.13 on): the limited API cannot see a thread
// state's origin, so no Python frame on the thread decides.
inline bool runs_for_a_subinterpreter_import() {
    if (Py_Version < 0x030D0000) {
        return false;  // before 3.13 the sub-interpreter runs the entry point itself
    }
    PyFrameObject* frame = PyThreadState_GetFrame(PyThreadState_Get());  // owned
    Py_XDECREF(reinterpret_cast<PyObject*>(frame));  // opaque in the limited API
    return frame == nullptr;
}

// The limited API cannot name the main interpreter: it is the one with id 0 (the id counter starts
// again at 0 with each initialisation).
inline bool is_main_interpreter(PyInterpreterState* interp) {
    return PyInterpreterState_GetID(interp) == 0;
}

inline Attribute mro_attribute{"__mro__"};

// Whether the tables a static type is made from (its methods, fields and computed attributes)
// name `name`: its namespace holds what they name, and the interpreter's own static types may keep
// theirs where the limited API cannot read it in place.
inline bool static_type_names(PyTypeObject* type, const char* name) {
    for (auto* m = static_cast<PyMethodDef*>(PyType_GetSlot(type, Py_tp_methods)); m && m->ml_name; ++m) {
        if (strcmp(m->ml_name, name) == 0) {
            return true;
        }
    }
    for (auto* m = static_cast<PyMemberDef*>(PyType_GetSlot(type, Py_tp_members)); m && m->name; ++m) {
        if (strcmp(m->name, name) == 0) {
            return true;
        }
    }
    for (auto* g = static_cast<PyGetSetDef*>(PyType_GetSlot(type, Py_tp_getset)); g && g->name; ++g) {
        if (strcmp(g->name, name) == 0) {
            return true;
        }
    }
    return false;
}

// Whether a module of class `type` (a subclass of the module type) is read as a module is: it
// keeps the module type's attribute lookup and no class of its resolution order has `name` in its
// own namespace, which that lookup asks first. The namespaces are read in place, as the
// interpreter's own lookup reads them, never through getattr on the class, which would run a
// metaclass's __getattr__ or descriptors; a static type's through its tables. Allocates nothing.
inline bool keeps_module_lookup(PyTypeObject* type, PyObject* name) {
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, nullptr);  // the name's own ASCII data
    if (utf8 == nullptr || PyType_GetSlot(type, Py_tp_getattro) != PyType_GetSlot(&PyModule_Type, Py_tp_getattro)) {
        PyErr_Clear();
        return false;
    }
    mro_attribute.resolve(&PyType_Type);  // the type's own field, whatever the metaclass
    if (mro_attribute.resolved.load(std::memory_order_acquire) != 1) {
        return false;
    }
    PyObject* mro = mro_attribute.get(reinterpret_cast<PyObject*>(type));
    bool keeps = mro != nullptr && PyTuple_Check(mro);
    for (Py_ssize_t i = 0; keeps && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);  // borrowed
        auto* base_type = reinterpret_cast<PyTypeObject*>(base);
        if (!PyType_Check(base)) {
            keeps = false;
        } else if ((PyType_GetFlags(base_type) & Py_TPFLAGS_HEAPTYPE) == 0) {
            keeps = !static_type_names(base_type, utf8);
        } else {
            // A heap type's namespace is its type's dictionary slot, which every metaclass inherits.
            PyObject* names = PyObject_GenericGetDict(base, nullptr);
            keeps = names != nullptr && PyDict_Check(names) && PyDict_Contains(names, name) == 0;
            Py_XDECREF(names);
        }
    }
    Py_XDECREF(mro);
    PyErr_Clear();
    return keeps;
}

}  // namespace capi
}  // namespace native_extensions
