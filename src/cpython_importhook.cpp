// The import hook slot, its call-through, and the removal of hidden frames from the traceback of
// a hook that failed.
#include "native_extensions.h"

#ifdef Py_GIL_DISABLED
#include <pthread.h>
#include <sched.h>
#endif

namespace native_extensions {
namespace {

constexpr const char kTracebackHideName[] = "__quenvar__tracebackhide__";

// Whether `frame` marks itself hidden: 1 or 0, or -1 with the exception pending when testing it
// failed. A function frame does so with a bound local, cell or free variable named `key`; any
// other frame (module level, class body, exec'd code) with `key` in its locals mapping, which for
// a module is its globals.
int frame_is_hidden(PyFrameObject* frame, PyObject* key) {
    switch (compat::frame_kind(frame, key)) {
    case 0:
        // A function can only bind a variable its code declares: most frames are settled here,
        // without building their locals mapping.
        return 0;
    case 1:
        return compat::function_binds(frame, key);
    case 2:
        return compat::namespace_holds(frame, key);
    default:
        return -1;
    }
}

// The successor slot that `owner` holds, or the chain's head `*head` when `owner` is null: its
// entry, borrowed (the slot holds it), or null.
PyObject* linked(PyObject** head, PyObject* owner) {
    if (owner == nullptr) {
        return *head;
    }
    PyObject* next = compat::entry_next(owner);
    Py_XDECREF(next);  // the slot keeps its own reference
    return next;
}

// Puts `entry` (a new reference, or null) in the successor slot of `owner`, or in `*head` when
// `owner` is null, releasing what the slot held. A link the interpreter refuses (one that would
// close a loop, which only Python code relinking entries meanwhile can bring about) is left as
// it was.
void set_link(PyObject** head, PyObject* owner, PyObject* entry) {
    if (owner == nullptr) {
        Py_XSETREF(*head, entry);
        return;
    }
    if (compat::set_entry_next(owner, entry) < 0) {
        PyErr_Clear();
    }
    Py_XDECREF(entry);
}

// A failure while testing a frame or copying entries counts as "not hidden" and is forgotten when
// it is an ordinary Exception (a lookup that failed). Anything else (KeyboardInterrupt, SystemExit
// from a signal handler, GeneratorExit, a test runner's timeout) must reach the program: it stays
// pending and ends the walk.
bool interrupted() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return true;
    }
    PyErr_Clear();
    return false;
}

// Whether `target` is `entry` or follows it in its chain, as the chain will be once handed back
// (entry_next gives an entry's successor to be where its relink is deferred). Chains never have
// cycles (the tb_next setter refuses them, and the walk never makes one); a cycle among deferred
// successors, which Python code relinking entries meanwhile could bring about, is caught by a
// second cursor moving at half speed, and counts as reaching `target`: nothing is linked then.
bool chain_reaches(PyObject* entry, PyObject* target) {
    PyObject* cursor = Py_XNewRef(entry);  // owned
    PyObject* slow = Py_XNewRef(entry);    // owned
    bool move_slow = false;
    bool reaches = false;
    while (cursor != nullptr) {
        if (cursor == target) {
            reaches = true;
            break;
        }
        Py_XSETREF(cursor, compat::entry_next(cursor));  // a new reference, or null
        if (move_slow) {
            Py_XSETREF(slow, compat::entry_next(slow));  // behind `cursor`: never null first
        }
        move_slow = !move_slow;
        if (cursor != nullptr && cursor == slow) {
            reaches = true;
            break;
        }
    }
    Py_XDECREF(cursor);
    Py_XDECREF(slow);
    return reaches;
}

// Makes the slot of `owner` (the head `*head` when null, which nothing else can reach) hold
// `target` (a new reference, consumed), unless that would close a cycle: Python code that ran
// during the walk may have linked `owner` after `target`. The slot is then left as that code made
// it.
void link_safely(PyObject** head, PyObject* owner, PyObject* target) {
    if (owner != nullptr && target != nullptr && chain_reaches(target, owner)) {
        Py_DECREF(target);
        return;
    }
    set_link(head, owner, target);
}

// Gives the slot of `last_kept` (the head when null) fresh copies of the `count` entries that
// follow one another from `first` on, and moves `last_kept` to the last copy. False, with the
// exception pending, if a copy could not be made: the slot then holds the original entries from
// there on, so that nothing is lost.
bool copy_entries(PyObject** head, PyObject*& last_kept, PyObject* first, Py_ssize_t count) {
    PyObject* source = Py_NewRef(first);  // owned
    for (Py_ssize_t i = 0; i < count && source != nullptr; ++i) {
        PyObject* copy = compat::copy_entry(source);
        if (copy == nullptr) {
            link_safely(head, last_kept, source);  // takes our reference
            return false;
        }
        // A fresh copy ends its own chain: linking it can close no cycle.
        set_link(head, last_kept, Py_NewRef(copy));
        Py_XSETREF(last_kept, copy);
        // Read after the allocation, which may have run Python code (a collection's finalizers).
        Py_XSETREF(source, compat::entry_next(source));
    }
    Py_XDECREF(source);
    return true;
}

// Unlinks the hidden entries of the chain whose head `*head` owns, keeping the others in order.
// Returns false if an exception that is not an ordinary Exception, left pending, ended the walk;
// the entries not reached yet are then kept.
//
// Entries that only this chain references are relinked in place. From the first kept entry that
// something else also references (another exception's traceback, after `raise
// e.with_traceback(tb)`, or a variable), the rest of the chain is shared and must not change:
// where a hidden entry follows, the kept entries ahead of it are replaced by copies, and the
// shared tail after the last hidden entry is linked as it is.
//
// Testing a frame can run arbitrary Python code (a mapping's __contains__, a key's __eq__, a
// signal handler, a finalizer run by a collection or by a local dropped while the locals mapping
// is refreshed), and so can releasing an entry (its frame's locals die with it). Such code can
// relink, drop or replace entries of this very chain. So the walk owns a reference to every entry
// it still touches (the current one, its successor, the last kept one, whose tb_next is the slot a
// hidden entry is unlinked from, the head's while it is null, and the first of the shared entries
// not copied yet), and it never writes a link that could close a cycle: an entry is unlinked only
// while the last kept entry still links to it, which costs one comparison, and the rarer writes of
// shared chains check that the entry they link to does not lead back.
bool unlink_hidden_entries(PyObject** head, PyObject* key) {
    PyObject* last_kept = nullptr;  // owned: the owner of the slot written, null for the head
    PyObject* run = nullptr;        // owned: once shared, the first kept entry not copied yet
    Py_ssize_t run_length = 0;
    bool shared = false;
    bool interrupt = false;
    bool tail_linked = false;
    PyObject* current = Py_XNewRef(*head);  // owned
    // Python code run by a test can send the walk back to an entry it has passed (linking the
    // entry being tested after it, and cutting the loop before it closes), again at every visit;
    // and where deferred links stand in for cut ones (abi3), it can link an entry after one whose
    // deferred successor leads to it, a loop the setter does not see. Either way the walk would go
    // round for ever: an entry met again at a checkpoint moved at doubling distances (found
    // within twice the loop's length) ends it; deferred links are made later, the one closing a
    // loop refused. The checkpoint is held, so that no new entry can take its address; its
    // reference is discounted where the walk asks whether an entry is held elsewhere, and a hidden
    // checkpoint that nothing else holds once unlinked is cut from its successor, which would
    // otherwise look held elsewhere. (It stays the checkpoint: a loop of hidden entries ends too.)
    PyObject* checkpoint = nullptr;  // owned
    Py_ssize_t steps = 0;
    Py_ssize_t span = 1;
    while (current != nullptr) {
        if (current == checkpoint) {
            break;
        }
        if (++steps == span) {
            Py_XSETREF(checkpoint, Py_NewRef(current));
            steps = 0;
            span *= 2;
        }
        int hidden = frame_is_hidden(compat::entry_frame(current), key);
        if (hidden < 0) {
            if (interrupted()) {
                interrupt = true;
                break;
            }
            hidden = 0;
        }
        // A kept entry of our own has two references: the slot that links it, and ours.
        const bool held_as_checkpoint = current == checkpoint;
        if (!shared && !hidden && Py_REFCNT(current) > 2 + held_as_checkpoint) {
            shared = true;
        }
        // Read after the test, and nothing below runs Python code before it is linked.
        PyObject* next = compat::entry_next(current);  // owned
        if (!shared) {
            if (!hidden) {
                Py_XSETREF(last_kept, Py_NewRef(current));
            } else if (linked(head, last_kept) == current) {
                // Read right before the write, with no Python code in between. The slot's
                // reference to this entry passes to its successor. As the slot's owner links to
                // this entry, and this entry to `next`, `next` cannot lead back to it.
                set_link(head, last_kept, Py_XNewRef(next));
            }
            // Otherwise code run by the test has relinked the last kept entry: the entry is no
            // longer where the walk found it, and is left alone.
        } else if (!hidden) {
            if (run == nullptr) {
                run = Py_NewRef(current);
            }
            ++run_length;
        } else if (run != nullptr) {
            // The copies end in a null successor: the hidden entry is left out.
            const bool copied = copy_entries(head, last_kept, run, run_length);
            Py_CLEAR(run);
            run_length = 0;
            if (!copied) {
                interrupt = interrupted();
                tail_linked = true;
                Py_XDECREF(next);  // null when the hidden entry was the last
                break;
            }
        }
        if (held_as_checkpoint && hidden && Py_REFCNT(current) == 2) {
            compat::cut_entry(current);  // only the walk can reach it: `next` is ours already
        }
        Py_DECREF(current);  // ours: the entry may go now, and run its frame's finalizers
        current = next;
    }
    if (shared && !tail_linked) {
        // After the last kept entry, the shared entries not copied, as they are: from the first
        // of them, or from where the walk stopped (null when it ended on hidden entries).
        link_safely(head, last_kept, Py_XNewRef(run != nullptr ? run : current));
    }
    Py_XDECREF(current);
    Py_XDECREF(checkpoint);
    Py_XDECREF(run);
    Py_XDECREF(last_kept);
    return !interrupt;
}

bool interpreter_is_verbose(InterpreterState* state) {
    if (!compat::verbose_setting_is_remembered) {
        return compat::read_verbose_setting() > 0;
    }
    int verbose = state->verbose_setting.load(std::memory_order_relaxed);
    if (verbose < 0) {
        verbose = compat::read_verbose_setting();  // still -1 if it cannot be read now
        state->verbose_setting.store(verbose, std::memory_order_relaxed);
    }
    return verbose > 0;
}

void remove_hidden_frames(InterpreterState* state) {
    compat::PendingException pending = compat::fetch_exception();
    if (compat::is_set(pending) && !interpreter_is_verbose(state)) {
        PyObject* traceback = compat::take_traceback(pending);  // owned
        // Without the marker key (it could not be created) no frame counts as marked.
        PyObject* key = traceback != nullptr ? tracebackhide_key(state) : nullptr;  // borrowed
        const bool completed = key == nullptr || unlink_hidden_entries(&traceback, key);
        compat::put_traceback(pending, traceback);
        if (!completed) {
            // An exception that is not an Exception ended the walk: it goes on, raised while the
            // hook's exception was being handled.
            compat::chain_under_pending(pending);
            return;
        }
    }
    compat::restore_exception(pending);
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

PyObject* tracebackhide_key(InterpreterState* state) {
    PyObject* key = state->traceback_hide_string.load(std::memory_order_acquire);
    if (key == nullptr) {
        // Interned, so that it is the very object code objects use for the name.
        PyObject* made = PyUnicode_InternFromString(kTracebackHideName);
        if (made == nullptr) {
            PyErr_Clear();
            return nullptr;  // a later call tries again
        }
        // Another thread may have stored one meanwhile: the first one stored stays.
        if (state->traceback_hide_string.compare_exchange_strong(key, made, std::memory_order_acq_rel)) {
            key = made;
        } else {
            Py_DECREF(made);
        }
    }
    return key;
}

void remove_tracebackhide_frames() {
    if (PyErr_Occurred() == nullptr) {
        return;
    }
    // Looked up with nothing pending: making a sub-interpreter's record may fail.
    compat::PendingException pending = compat::fetch_exception();
    InterpreterState* state = interpreter_state();
    if (state == nullptr) {
        PyErr_Clear();  // no record, no key: nothing counts as marked
    }
    compat::restore_exception(pending);
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
