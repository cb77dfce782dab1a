// The import hook slot, its call-through, and the removal of hidden frames from the traceback of
// a hook that failed.
#include "interpreter_state.h"
#include "traceback_walk.h"

#ifdef Py_GIL_DISABLED
#include <pthread.h>
#include <sched.h>
#endif

namespace native_extensions {
namespace {

bool interpreter_is_verbose(InterpreterState* state) {
    if (!capi::kVerboseSettingRemembered) {
        return capi::read_verbose_setting() > 0;
    }
    int verbose = state->verbose_setting.load(std::memory_order_relaxed);
    if (verbose < 0) {
        verbose = capi::read_verbose_setting();  // still -1 if it cannot be read now
        state->verbose_setting.store(verbose, std::memory_order_relaxed);
    }
    return verbose > 0;
}

void remove_hidden_frames(InterpreterState* state) {
    capi::PendingException pending = capi::fetch_exception();
    if (capi::is_set(pending) && !interpreter_is_verbose(state)) {
        PyObject* traceback = capi::take_traceback(pending);  // owned
        // Without the marker key (it could not be created) no frame counts as marked.
        PyObject* key = traceback != nullptr ? tracebackhide_key(state) : nullptr;  // borrowed
        const bool completed = key == nullptr || unlink_hidden_entries(&traceback, key, state->code_kinds);
        capi::put_traceback(pending, traceback);
        if (!completed) {
            // An exception that is not an Exception ended the walk: it goes on, raised while the
            // hook's exception was being handled.
            capi::chain_under_pending(pending);
            return;
        }
    }
    capi::restore_exception(pending);
}

#ifdef Py_GIL_DISABLED
// Guards every interpreter's hook slot on a free-threaded build. It is held only to read (taking
// a reference) or replace a slot: a few instructions that run no Python code, never allocate and
// never detach the thread state. A spin lock rather than a PyMutex: a PyMutex waiter parks with
// its thread state detached, and after a while the unlocking thread hands the lock straight to
// it; a fork that stops the world at that moment would leave the child a lock owned by a thread
// it does not have. A holder of this lock stays attached, so the world cannot stop while it is
// held, and a fork that does not stop the world (a foreign fork() from C) finds it released in
// the child by the handler below.
std::atomic<bool> hook_lock{false};

void lock_hooks() {
    for (unsigned spins = 0; hook_lock.exchange(true, std::memory_order_acquire); ++spins) {
        while (hook_lock.load(std::memory_order_relaxed)) {
            if (++spins % 64 == 0) {
                sched_yield();  // the holder may have been preempted
            }
        }
    }
}

void unlock_hooks() {
    hook_lock.store(false, std::memory_order_release);
}

// Runs in the child after every fork(): the only thread there is the forking one, which held no
// hook lock (it was forking), so any lock seen held belonged to a thread the child does not have.
void reset_hook_lock_in_child() {
    hook_lock.store(false, std::memory_order_relaxed);
}
#endif

// The hook of `state`, as a new reference (null before the first SetImportHook).
PyObject* current_hook(InterpreterState* state) {
#ifdef Py_GIL_DISABLED
    lock_hooks();
    PyObject* hook = Py_XNewRef(state->import_hook);
    unlock_hooks();
    return hook;
#else
    return Py_XNewRef(state->import_hook);
#endif
}

// Makes `hook` (a new reference) the hook of `state`; returns the previous one, owned by the caller.
PyObject* replace_hook(InterpreterState* state, PyObject* hook) {
#ifdef Py_GIL_DISABLED
    lock_hooks();
    PyObject* previous = state->import_hook;
    state->import_hook = hook;
    unlock_hooks();
    return previous;
#else
    PyObject* previous = state->import_hook;
    state->import_hook = hook;
    return previous;
#endif
}

}  // namespace

bool arrange_fork_safety() {
#ifdef Py_GIL_DISABLED
    // Registered once for the life of the process: handlers cannot be removed, and the library is
    // never unloaded.
    static std::atomic<bool> registered{false};
    if (!registered.exchange(true) && pthread_atfork(nullptr, nullptr, reset_hook_lock_in_child) != 0) {
        registered.store(false);
        PyErr_SetString(PyExc_OSError, "cannot register a fork handler");
        return false;
    }
#endif
    return true;
}

void remove_tracebackhide_frames() {
    if (PyErr_Occurred() == nullptr) {
        return;
    }
    // Looked up with nothing pending: making a sub-interpreter's record may fail.
    capi::PendingException pending = capi::fetch_exception();
    InterpreterState* state = interpreter_state();
    if (state == nullptr) {
        PyErr_Clear();  // no record, no key: nothing counts as marked
    }
    capi::restore_exception(pending);
    if (state != nullptr) {
        remove_hidden_frames(state);
    }
}

PyObject* SetImportHook(PyObject* /*self*/, PyObject* hook) {
    InterpreterState* state = interpreter_state();
    if (state == nullptr) {
        return nullptr;
    }
    // Released last, outside any lock: the previous hook's finalizer may run and find the slot
    // already updated.
    Py_XDECREF(replace_hook(state, Py_NewRef(hook)));
    Py_RETURN_NONE;
}

PyObject* SetRemoveImportHookFrames(PyObject* /*self*/, PyObject* flag) {
    InterpreterState* state = interpreter_state();
    if (state == nullptr) {
        return nullptr;
    }
    const int truth = PyObject_IsTrue(flag);
    // A failed truth test switches removal on, and its exception reaches the caller.
    state->strip_tracebackhide_frames.store(truth != 0, std::memory_order_relaxed);
    if (truth < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* CallImportHookRemovingFrames(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    InterpreterState* state = interpreter_state();
    if (state == nullptr) {
        return nullptr;
    }
    // Our own reference keeps the hook alive even if it is replaced while it runs.
    PyObject* hook = current_hook(state);
    if (hook == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "This function cannot be called without first calling SetImportHook");
        return nullptr;
    }
    PyObject* result = PyObject_Call(hook, args, kwargs);
    if (result == nullptr && state->strip_tracebackhide_frames.load(std::memory_order_relaxed)) {
        remove_hidden_frames(state);
    }
    Py_DECREF(hook);
    return result;
}

}  // namespace native_extensions
