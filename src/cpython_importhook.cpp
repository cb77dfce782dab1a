// The import hook slot, its call-through, and the removal of hidden frames from the traceback of
// a hook that failed.
#include "native_extensions.h"

namespace native_extensions {
namespace {

// The hook set by SetImportHook: one strong reference, kept until it is replaced (never emptied).
PyObject* import_hook = nullptr;

// Whether a failing hook call has its hidden frames removed.
bool strip_tracebackhide_frames = true;

constexpr const char kTracebackHideName[] = "__quenvar__tracebackhide__";

// The marker key, created on first need and kept (with its one reference) for the life of the
// process. Returns a borrowed reference, or null if it cannot be created yet; a later call tries
// again.
PyObject* tracebackhide_key() {
    static PyObject* traceback_hide_string = nullptr;
    if (traceback_hide_string == nullptr) {
        // Interned, so that it is the very object code objects use for the name.
        PyObject* key = PyUnicode_InternFromString(kTracebackHideName);
        if (key == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        // Creating it may run a garbage collection and so other threads' code: keep whichever key
        // was stored first.
        if (traceback_hide_string == nullptr) {
            traceback_hide_string = key;
        } else {
            Py_DECREF(key);
        }
    }
    return traceback_hide_string;
}

// Whether `frame` marks itself hidden. A function frame does so with a bound local, cell or free
// variable named `key`; any other frame (module level, class body, exec'd code) with `key` in its
// locals mapping, which for a module is its globals. Nothing is left pending.
bool frame_is_hidden(PyFrameObject* frame, PyObject* key) {
    PyCodeObject* code = PyFrame_GetCode(frame);  // new reference
    const bool function_frame = (code->co_flags & CO_OPTIMIZED) != 0;
    const bool declares = function_frame && compat::code_declares(code, key);
    Py_DECREF(code);
    if (function_frame) {
        // A function can only bind a variable its code declares: most frames are settled here,
        // without building their locals mapping.
        return declares && compat::function_binds(frame, key);
    }
    return compat::locals_hold(frame, key);
}

// The field of a traceback entry that holds (a strong reference to) its successor.
PyObject** successor_slot(PyObject* entry) {
    return reinterpret_cast<PyObject**>(&reinterpret_cast<PyTracebackObject*>(entry)->tb_next);
}

// Unlinks the hidden entries of the chain whose head `*head` owns, keeping the others in order.
//
// Testing a frame can run arbitrary Python code (a mapping's __contains__, a key's __eq__, a
// finalizer of a local dropped while the locals mapping is refreshed), and so can releasing an
// entry (its frame's locals die with it). Such code could relink or drop entries, so the walk
// owns a reference to every entry it still touches: the current one, its successor, and the last
// kept one, whose tb_next is the slot a hidden entry is unlinked from.
void unlink_hidden_entries(PyObject** head, PyObject* key) {
    PyObject* last_kept = nullptr;           // owned
    PyObject* current = Py_XNewRef(*head);   // owned
    while (current != nullptr) {
        const bool hidden = frame_is_hidden(reinterpret_cast<PyTracebackObject*>(current)->tb_frame, key);
        PyObject* next = Py_XNewRef(*successor_slot(current));  // owned
        if (hidden) {
            PyObject** link = last_kept != nullptr ? successor_slot(last_kept) : head;
            if (*link == current) {
                // The slot's reference to this entry passes to its successor.
                *link = Py_XNewRef(next);
                Py_DECREF(current);
            }
            Py_DECREF(current);  // ours: the entry may go now, and run its frame's finalizers
        } else {
            Py_XSETREF(last_kept, current);
        }
        current = next;
    }
    Py_XDECREF(last_kept);
}

}  // namespace

void remove_tracebackhide_frames() {
    compat::PendingException pending = compat::fetch_exception();
    if (compat::is_set(pending) && !compat::interpreter_is_verbose()) {
        PyObject* traceback = compat::take_traceback(pending);  // owned
        // Without the marker key (it could not be created) no frame counts as marked.
        PyObject* key = traceback != nullptr ? tracebackhide_key() : nullptr;  // borrowed
        if (key != nullptr) {
            unlink_hidden_entries(&traceback, key);
        }
        compat::put_traceback(pending, traceback);
    }
    compat::restore_exception(pending);
}

PyObject* SetImportHook(PyObject* /*self*/, PyObject* hook) {
    PyObject* previous = import_hook;
    import_hook = Py_NewRef(hook);
    // Released last: the previous hook's finalizer may run and find the slot already updated.
    Py_XDECREF(previous);
    Py_RETURN_NONE;
}

PyObject* SetRemoveImportHookFrames(PyObject* /*self*/, PyObject* flag) {
    const int truth = PyObject_IsTrue(flag);
    // A failed truth test switches removal on, and its exception reaches the caller.
    strip_tracebackhide_frames = truth != 0;
    if (truth < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* CallImportHookRemovingFrames(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    if (import_hook == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "This function cannot be called without first calling SetImportHook");
        return nullptr;
    }
    // Our own reference keeps the hook alive even if it replaces itself while it runs.
    PyObject* hook = Py_NewRef(import_hook);
    PyObject* result = PyObject_Call(hook, args, kwargs);
    if (result == nullptr && strip_tracebackhide_frames) {
        remove_tracebackhide_frames();
    }
    Py_DECREF(hook);
    return result;
}

}  // namespace native_extensions
