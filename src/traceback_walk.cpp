// The walk that unlinks the hidden entries of a traceback chain: a frame test, and the relinking.
#include "traceback_walk.h"

namespace native_extensions {

Py_ssize_t capi::name_index(PyObject* names, PyObject* name) {
    const Py_ssize_t size = PyTuple_GET_SIZE(names);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* candidate = PyTuple_GET_ITEM(names, i);  // borrowed
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

// Through the mapping type's membership test where it has one, else by looking the key up, KeyError
// meaning absent. Never by iteration: `in` on a mapping with neither __contains__ nor __iter__
// probes __getitem__(0), __getitem__(1), ... which a defaulting namespace answers for ever.
int capi::mapping_holds(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        return PyDict_Contains(mapping, key);
    }
    if (auto contains = reinterpret_cast<objobjproc>(PyType_GetSlot(Py_TYPE(mapping), Py_sq_contains))) {
        return contains(mapping, key);
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

namespace {

// Tells when a walk along links comes back where it has been: an object met again at a checkpoint
// moved at doubling distances (found within twice the loop's length). The checkpoint is held, so
// that no new object can take its address meanwhile.
struct LoopGuard {
    PyObject* checkpoint = nullptr;  // owned
    Py_ssize_t steps = 0;
    Py_ssize_t span = 1;
};

// Whether `cursor` is the checkpoint, met again; otherwise counts the step.
bool comes_back(LoopGuard& guard, PyObject* cursor) {
    if (cursor == guard.checkpoint) {
        return true;
    }
    if (++guard.steps == guard.span) {
        Py_XSETREF(guard.checkpoint, Py_NewRef(cursor));
        guard.steps = 0;
        guard.span *= 2;
    }
    return false;
}

void let_go(LoopGuard& guard) {
    Py_CLEAR(guard.checkpoint);
}

}  // namespace

// As the interpreter chains an exception raised while another is handled: never an exception to
// itself, and never closing a cycle (a context chain that already leads to `exc` is cut there; one
// that already has a cycle of its own is not followed for ever).
void capi::set_context(PyObject* exc, PyObject* context) {
    if (exc == nullptr || context == exc) {
        Py_DECREF(context);
        return;
    }
    LoopGuard guard;
    for (PyObject* cursor = context; !comes_back(guard, cursor);) {  // borrowed: its predecessor holds it
        PyObject* next = PyException_GetContext(cursor);
        Py_XDECREF(next);
        if (next == exc) {
            PyException_SetContext(cursor, nullptr);
        }
        if (next == nullptr || next == exc) {
            break;
        }
        cursor = next;
    }
    let_go(guard);
    PyException_SetContext(exc, context);  // takes the reference
}

namespace {

// Whether `frame` marks itself hidden: 1 or 0, or -1 with the exception pending when testing it
// failed. A function frame does so with a bound local, cell or free variable named `key`; any
// other frame (module level, class body, exec'd code) with `key` in its namespace.
int frame_is_hidden(PyFrameObject* frame, PyObject* key, capi::CodeKindCache& kinds) {
    switch (capi::frame_kind(frame, key, kinds)) {
    case capi::FrameKind::kUnmarkable:
        // Most frames are settled here, without building their locals mapping.
        return 0;
    case capi::FrameKind::kFunction:
        return capi::function_binds(frame, key);
    case capi::FrameKind::kNamespace: {
        PyObject* names = nullptr;
        int found = capi::frame_namespace(frame, &names);
        if (found > 0) {
            found = capi::mapping_holds(names, key);
            Py_DECREF(names);
        }
        return found;
    }
    case capi::FrameKind::kFailed:
        break;
    }
    return -1;
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

// What the walk holds while it edits a chain.
struct Walk {
    PyObject** head;                // the chain's head, which nothing else can reach
    PyObject* last_kept = nullptr;  // owned: the owner of the slot written, null for the head
    PyObject* run = nullptr;        // owned: once shared, the first kept entry not copied yet
    Py_ssize_t run_length = 0;
    bool shared = false;
};

// The entry in the successor slot of the last kept entry (or the head): borrowed, or null.
PyObject* linked(Walk& walk) {
    if (walk.last_kept == nullptr) {
        return *walk.head;
    }
    PyObject* next = capi::entry_next(walk.last_kept);
    Py_XDECREF(next);  // the slot keeps its own reference
    return next;
}

// Puts `entry` (a new reference, or null) in the successor slot of the last kept entry (or the
// head), releasing what the slot held. A link the interpreter refuses (one that would close a
// loop, which only Python code relinking entries meanwhile can bring about) is left as it was.
void link(Walk& walk, PyObject* entry) {
    if (walk.last_kept == nullptr) {
        Py_XSETREF(*walk.head, entry);
        return;
    }
    if (capi::set_entry_next(walk.last_kept, entry) < 0) {
        PyErr_Clear();
    }
    Py_XDECREF(entry);
}

// Links `target` (a new reference, consumed) after the last kept entry, unless that would close a
// cycle: Python code that ran during the walk may have linked the last kept entry after `target`
// (a loop among deferred successors counts as leading back too). The slot is then left as that
// code made it.
void link_safely(Walk& walk, PyObject* target) {
    bool leads_back = false;
    if (walk.last_kept != nullptr && target != nullptr) {
        LoopGuard guard;
        PyObject* cursor = Py_NewRef(target);  // owned
        while (cursor != nullptr && !leads_back) {
            leads_back = cursor == walk.last_kept || comes_back(guard, cursor);
            Py_XSETREF(cursor, capi::entry_next(cursor));
        }
        Py_XDECREF(cursor);
        let_go(guard);
    }
    if (leads_back) {
        Py_DECREF(target);
        return;
    }
    link(walk, target);
}

// Links fresh copies of the run of shared kept entries after the last kept entry, which moves to
// the last copy. False, with the exception pending, if a copy could not be made: the slot then
// holds the original entries from there on, so that nothing is lost.
bool copy_run(Walk& walk) {
    PyObject* source = walk.run;  // owned: the run's reference passes to it
    walk.run = nullptr;
    for (Py_ssize_t i = 0; i < walk.run_length && source != nullptr; ++i) {
        PyObject* copy = capi::copy_entry(source);
        if (copy == nullptr) {
            link_safely(walk, source);  // takes our reference
            return false;
        }
        // A fresh copy ends its own chain: linking it can close no cycle.
        link(walk, Py_NewRef(copy));
        Py_XSETREF(walk.last_kept, copy);
        // Read after the allocation, which may have run Python code (a collection's finalizers).
        Py_XSETREF(source, capi::entry_next(source));
    }
    walk.run_length = 0;
    Py_XDECREF(source);
    return true;
}

}  // namespace

// Entries that only this chain references are relinked in place. From the first kept entry that
// something else also references (another exception's traceback, after `raise
// e.with_traceback(tb)`, or a variable), the rest of the chain is shared and must not change:
// where a hidden entry follows, the kept entries ahead of it are replaced by copies, and the
// shared tail after the last hidden entry is linked as it is.
//
// Testing a frame can run arbitrary Python code (a mapping's __contains__, a key's __eq__, a
// signal handler, a finalizer), and so can releasing an entry (its frame's locals die with it).
// Such code can relink, drop or replace entries of this very chain. So the walk owns a reference
// to every entry it still touches (the current one, its successor, the last kept one, the first of
// the shared entries not copied yet), and it never writes a link that could close a cycle: an
// entry is unlinked only while the last kept entry still links to it, which costs one comparison,
// and the rarer writes of shared chains check that the entry they link to does not lead back.
//
// Such code can also send the walk back to an entry it has passed (linking the entry being tested
// after it, and cutting the loop before it closes), again at every visit; and where deferred links
// stand in for cut ones, it can link an entry after one whose deferred successor leads to it, a
// loop the setter does not see. The loop guard ends the walk there. Its checkpoint's reference is
// discounted where the walk asks whether an entry is held elsewhere, and a hidden checkpoint that
// nothing else holds once unlinked is cut from its successor, which would otherwise look held
// elsewhere. (It stays the checkpoint: a loop of hidden entries ends too.)
bool unlink_hidden_entries(PyObject** head, PyObject* key, capi::CodeKindCache& kinds) {
    const Py_ssize_t outer_links = capi::begin_deferred_links();  // abi3: made when the walk ends
    Walk walk{head};
    LoopGuard guard;
    bool interrupt = false;
    bool tail_linked = false;
    PyObject* current = Py_XNewRef(*head);  // owned
    while (current != nullptr && !comes_back(guard, current)) {
        int hidden = frame_is_hidden(capi::entry_frame(current), key, kinds);
        if (hidden < 0) {
            if (interrupted()) {
                interrupt = true;
                break;
            }
            hidden = 0;
        }
        // A kept entry of our own has two references: the slot that links it, and ours.
        const bool held_as_checkpoint = current == guard.checkpoint;
        if (!walk.shared && !hidden && Py_REFCNT(current) > 2 + held_as_checkpoint) {
            walk.shared = true;
        }
        // Read after the test, and nothing below runs Python code before it is linked.
        PyObject* next = capi::entry_next(current);  // owned
        if (!walk.shared && !hidden) {
            Py_XSETREF(walk.last_kept, Py_NewRef(current));
        } else if (!walk.shared && linked(walk) == current) {
            // Read right before the write, with no Python code in between. The slot's reference to
            // this entry passes to its successor. As the slot's owner links to this entry, and this
            // entry to `next`, `next` cannot lead back to it. (Otherwise code run by the test has
            // relinked the last kept entry, and the entry is left alone.)
            link(walk, Py_XNewRef(next));
        } else if (walk.shared && !hidden) {
            if (walk.run == nullptr) {
                walk.run = Py_NewRef(current);
            }
            ++walk.run_length;
        } else if (walk.shared && walk.run != nullptr && !copy_run(walk)) {
            // The copies end in a null successor: the hidden entry is left out, unless copying failed.
            interrupt = interrupted();
            tail_linked = true;
            Py_XDECREF(next);  // null when the hidden entry was the last
            break;
        }
        if (held_as_checkpoint && hidden && Py_REFCNT(current) == 2) {
            capi::cut_entry(current);  // only the walk can reach it: `next` is ours already
        }
        Py_DECREF(current);  // ours: the entry may go now, and run its frame's finalizers
        current = next;
    }
    if (walk.shared && !tail_linked) {
        // After the last kept entry, the shared entries not copied, as they are: from the first
        // of them, or from where the walk stopped (null when it ended on hidden entries).
        link_safely(walk, Py_XNewRef(walk.run != nullptr ? walk.run : current));
    }
    Py_XDECREF(current);
    let_go(guard);
    Py_XDECREF(walk.run);
    Py_XDECREF(walk.last_kept);
    capi::apply_deferred_links(outer_links);
    return !interrupt;
}

}  // namespace native_extensions
