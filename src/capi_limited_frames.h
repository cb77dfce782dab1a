// The stable-ABI build's reads of frames and traceback entries, through the types' own member and
// get/set tables and the frames' f_locals (the walk's side of the C-API layer). Included by
// capi.h after capi_limited.h.
#pragma once

namespace native_extensions {
namespace capi {

// --- Frames ---------------------------------------------------------------------------------

// What the code objects of recent frames declare, so that a frame is settled without asking its
// code for the names of its variables (each ask builds new tuples). Direct-mapped by the code
// object's address; each slot holds a strong reference to its code object, so that the address
// cannot be reused by another one while it is cached. One per interpreter, released as it ends.
struct CodeKindCache {
    static constexpr int kSlots = 64;
    PyObject* code[kSlots];
    signed char kind[kSlots];
};

inline void release_code_kinds(CodeKindCache& cache) {
    for (PyObject*& code : cache.code) {
        Py_CLEAR(code);
    }
}

// The kind of a frame running `code`, read from the code's attributes (see FrameKind).
inline FrameKind read_code_kind(PyObject* code, PyObject* name) {
    PyObject* flags_object = PyObject_GetAttrString(code, "co_flags");
    const long flags = flags_object != nullptr ? PyLong_AsLong(flags_object) : -1;
    Py_XDECREF(flags_object);
    if (flags == -1 && PyErr_Occurred()) {
        return FrameKind::kFailed;
    }
    if ((flags & kCodeOptimized) == 0) {
        return FrameKind::kNamespace;
    }
    static const char* const kNameTuples[] = {"co_varnames", "co_cellvars", "co_freevars"};
    for (const char* attribute : kNameTuples) {
        PyObject* names = PyObject_GetAttrString(code, attribute);
        if (names == nullptr) {
            return FrameKind::kFailed;
        }
        const bool found = PyTuple_Check(names) && name_index(names, name) >= 0;
        Py_DECREF(names);
        if (found) {
            return FrameKind::kFunction;
        }
    }
    return FrameKind::kUnmarkable;
}

// How `frame` is tested for the marker `name`, from `cache` when it knows the frame's code.
// kFailed for a null frame (entry_frame left the exception pending).
inline FrameKind frame_kind(PyFrameObject* frame, PyObject* name, CodeKindCache& cache) {
    if (frame == nullptr) {
        return FrameKind::kFailed;
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyFrame_GetCode(frame));  // owned
    const auto address = reinterpret_cast<uintptr_t>(code);
    const int slot = static_cast<int>(((address >> 4) ^ (address >> 12)) % CodeKindCache::kSlots);
    FrameKind kind = static_cast<FrameKind>(cache.kind[slot]);
    if (cache.code[slot] != code) {
        kind = read_code_kind(code, name);
        if (kind != FrameKind::kFailed) {
            // The name is the interpreter's one marker key, so the kind stays true for this code.
            cache.kind[slot] = static_cast<signed char>(kind);
            Py_XSETREF(cache.code[slot], Py_NewRef(code));
        }
    }
    Py_DECREF(code);
    return kind;
}

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
// holds something, so a frame with nothing after its code object binds nothing. For a frame that a
// generator or a running thread owns, it shows nothing, and on the releases that leave freed
// pointers nothing readable tells a closed generator from a suspended one: it is not asked.
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

// The frame's f_locals (3.12: the frame's dict refreshed from its fast locals; 3.13+: a proxy
// that reads them; a namespace frame's namespace, except while it runs an inlined comprehension,
// where it shows the comprehension's variables): 1 with a new reference, -1 with an exception.
inline int frame_namespace(PyFrameObject* frame, PyObject** names) {
    *names = f_locals_attribute.get(reinterpret_cast<PyObject*>(frame));
    return *names != nullptr ? 1 : -1;
}

// Whether the function frame has `name` bound (asked only of frames whose code declares it): its
// f_locals has the name only while the variable is bound. 1 or 0; -1 with the exception pending.
inline int function_binds(PyFrameObject* frame, PyObject* name) {
    PyObject* locals = nullptr;
    const int unreadable = variables_unreadable(frame);
    if (unreadable != 0 || frame_namespace(frame, &locals) < 0) {
        return unreadable > 0 ? 0 : -1;
    }
    const int found = mapping_holds(locals, name);
    Py_DECREF(locals);
    return found;
}

// --- Traceback entries ------------------------------------------------------------------------
//
// The only public way to relink an entry is the tb_next setter, which walks the new successor's
// chain to refuse a loop. Relinking entry by entry while walking a chain from its head would cost
// the rest of the chain each time, O(k·n) for k unlinked entries of n. So while the walk edits a
// chain (between begin_deferred_links and apply_deferred_links) each relink is recorded here and
// the entry cut from its successor; the links are made in order at the end, each setter walking
// only as far as the next cut: O(n) in all. The entries are the calling thread's chain alone; a
// walk nested in another (Python code run by a frame test) has its records above the outer one's.
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

// Starts deferring relinks; returns what apply_deferred_links needs to return to the outer walk.
inline Py_ssize_t begin_deferred_links() {
    const Py_ssize_t outer = deferred_links.base;
    deferred_links.base = deferred_links.size;
    return outer;
}

// Makes the relinks deferred since the matching begin_deferred_links, in order, and returns to
// the outer walk's records (`outer`). A link the setter refuses (a loop that Python code made
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
        PyObject* next = links.items[i].next;
        if (tb_next_attribute.set(links.items[i].owner, next != nullptr ? next : Py_None) < 0) {
            PyErr_Clear();
        }
    }
    // Released after every link is made (no finalizer runs while the chain is half linked), and
    // before the records stop being counted, for the same reason.
    for (Py_ssize_t i = base; i < size; ++i) {
        const DeferredLink link = links.items[i];
        links.items[i] = DeferredLink{nullptr, nullptr};
        Py_DECREF(link.owner);
        Py_XDECREF(link.next);
    }
    links.size = base;
    links.base = outer;
    if (outer < 0) {
        // The outermost walk has ended: the thread keeps no buffer (it would outlive the thread).
        free(links.items);
        links.items = nullptr;
        links.capacity = 0;
    }
    PyErr_SetRaisedException(pending);
}

// The frame of `entry`, borrowed from the entry (which holds it as long as it lives); null with
// the exception pending only if it could not be read by name (a future release).
inline PyFrameObject* entry_frame(PyObject* entry) {
    PyObject* frame = tb_frame_attribute.get(entry);
    Py_XDECREF(frame);
    return reinterpret_cast<PyFrameObject*>(frame);
}

// The successor of `entry`: a new reference, or null for the last entry. Leaves nothing pending.
inline PyObject* entry_next(PyObject* entry) {
    PyObject* next = tb_next_attribute.get(entry);  // None for the last entry
    if (next == Py_None) {
        Py_DECREF(next);
        // An entry whose relink is deferred has no successor meanwhile: its successor to be.
        const DeferredLinks& links = deferred_links;
        for (Py_ssize_t i = links.size - 1; i >= links.base && i >= 0; --i) {
            if (links.items[i].owner == entry) {
                return Py_XNewRef(links.items[i].next);
            }
        }
        return nullptr;
    }
    if (next == nullptr) {
        PyErr_Clear();
    }
    return next;
}

// Makes `next` (or null) the successor of `entry`, which takes a reference of its own and releases
// its previous successor. 0, or -1 with an exception set if the setter refused a link that would
// close a loop (only Python code relinking entries during a walk brings one about).
inline int set_entry_next(PyObject* entry, PyObject* next) {
    DeferredLinks& links = deferred_links;
    if (links.base < 0) {
        return tb_next_attribute.set(entry, next != nullptr ? next : Py_None);
    }
    // Deferred: the entry has no successor meanwhile (its old one is released now, as the direct
    // write would), and a second relink of the last entry recorded replaces its record.
    if (links.size > links.base && links.items[links.size - 1].owner == entry) {
        Py_XSETREF(links.items[links.size - 1].next, Py_XNewRef(next));
        return 0;
    }
    if (links.size == links.capacity) {
        const Py_ssize_t capacity = links.capacity > 0 ? 2 * links.capacity : 64;
        void* items = realloc(links.items, static_cast<size_t>(capacity) * sizeof(DeferredLink));
        if (items == nullptr) {
            return tb_next_attribute.set(entry, next != nullptr ? next : Py_None);  // linked at once
        }
        links.items = static_cast<DeferredLink*>(items);
        links.capacity = capacity;
    }
    if (tb_next_attribute.set(entry, Py_None) < 0) {
        return -1;
    }
    links.items[links.size++] = DeferredLink{Py_NewRef(entry), Py_XNewRef(next)};
    return 0;
}

// Cuts `entry` from its successor at once, also while relinks are deferred (for an entry that
// nothing but the caller can reach any more).
inline void cut_entry(PyObject* entry) {
    if (tb_next_attribute.set(entry, Py_None) < 0) {
        PyErr_Clear();
    }
}

// A new entry for the same frame, instruction and line as `entry`, with no successor: a new
// reference, or null with an exception set.
inline PyObject* copy_entry(PyObject* entry) {
    PyObject* lasti = PyObject_GetAttrString(entry, "tb_lasti");
    PyObject* lineno = lasti != nullptr ? PyObject_GetAttrString(entry, "tb_lineno") : nullptr;
    PyObject* copy = lineno != nullptr ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyTraceBack_Type), "OOOO",
                                                               Py_None, entry_frame(entry), lasti, lineno)
                                       : nullptr;
    Py_XDECREF(lasti);
    Py_XDECREF(lineno);
    return copy;
}

}  // namespace capi
}  // namespace native_extensions
