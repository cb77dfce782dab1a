// The version-specific build's reads of frames and traceback entries, in place (the walk's side
// of the C-API layer). Included by capi.h after capi_full.h, whose version facts it follows.
#pragma once

namespace native_extensions {
namespace capi {

// --- Frames ---------------------------------------------------------------------------------

// The full API reads a code object's flags and names in place: nothing is cached.
struct CodeKindCache {};
inline void release_code_kinds(CodeKindCache&) {}

// How `frame` is tested for the marker `name` (see FrameKind).
inline FrameKind frame_kind(PyFrameObject* frame, PyObject* name, CodeKindCache&) {
    PyCodeObject* code = PyFrame_GetCode(frame);  // new reference
    const bool function_frame = (code->co_flags & CO_OPTIMIZED) != 0;
#if NE_INTERPRETER_FRAMES
    const bool declares = function_frame && name_index(code->co_localsplusnames, name) >= 0;
#else
    const bool declares = function_frame && (name_index(code->co_varnames, name) >= 0 ||
                                             name_index(code->co_cellvars, name) >= 0 ||
                                             name_index(code->co_freevars, name) >= 0);
#endif
    Py_DECREF(code);
    return !function_frame ? FrameKind::kNamespace : declares ? FrameKind::kFunction : FrameKind::kUnmarkable;
}

// Whether the function frame has its local, cell or free variable `name` bound (asked only of
// frames whose code declares it): 1 or 0, or -1 with the exception pending on a failure.
inline int function_binds(PyFrameObject* frame, PyObject* name) {
#if NE_EXCEPTION_OBJECTS
#if NE_STACKTOP_TELLS_CLEARED
    // A cleared frame binds nothing; one that outlived its closed generator holds freed pointers
    // that PyFrame_GetVar would read (until a later 3.13 release mended it): not asked at all.
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
#elif NE_INTERPRETER_FRAMES
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
#else
    // What PyFrame_FastToLocals would copy for this one name, read in place: making the mapping
    // of a running frame would keep a copy of every variable alive as long as the frame runs. A
    // variable that is also a cell is empty in its own slot and read from its cell; a cleared
    // frame has every slot empty.
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

// The namespace of a frame whose code is not a function's, read from the frame itself: making
// f_locals writes a class body's cells into the namespace being built (3.10 to 3.12), and while
// the frame runs an inlined comprehension f_locals shows the comprehension's variables. 1 with a
// new reference in `*names`; 0 for a cleared frame, which has none.
inline int frame_namespace(PyFrameObject* frame, PyObject** names) {
#if NE_INTERPRETER_FRAMES
    *names = Py_XNewRef(frame->f_frame->f_locals);
#else
    *names = Py_XNewRef(frame->f_locals);
#endif
    return *names != nullptr;
}

// --- Traceback entries ------------------------------------------------------------------------

// No relink is deferred: the full API links entries in place.
inline Py_ssize_t begin_deferred_links() {
    return 0;
}
inline void apply_deferred_links(Py_ssize_t) {}

// The frame of `entry`: borrowed from the entry, which holds it as long as it lives.
inline PyFrameObject* entry_frame(PyObject* entry) {
    return reinterpret_cast<PyTracebackObject*>(entry)->tb_frame;
}

// The successor of `entry`: a new reference, or null for the last entry.
inline PyObject* entry_next(PyObject* entry) {
    return Py_XNewRef(reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(entry)->tb_next));
}

// Makes `next` (or null) the successor of `entry`, which takes a reference of its own and
// releases its previous successor. Always 0.
inline int set_entry_next(PyObject* entry, PyObject* next) {
    auto* tb = reinterpret_cast<PyTracebackObject*>(entry);
    Py_XSETREF(tb->tb_next, reinterpret_cast<PyTracebackObject*>(Py_XNewRef(next)));
    return 0;
}

// Cuts `entry` from its successor (for an entry nothing but the caller can reach any more).
inline void cut_entry(PyObject* entry) {
    Py_CLEAR(reinterpret_cast<PyTracebackObject*>(entry)->tb_next);
}

// A new entry for the same frame, instruction and line as `entry`, with no successor: a new
// reference, or null with an exception set.
inline PyObject* copy_entry(PyObject* entry) {
    auto* tb = reinterpret_cast<PyTracebackObject*>(entry);
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyTraceBack_Type), "OOii", Py_None, tb->tb_frame,
                                 tb->tb_lasti, tb->tb_lineno);
}

}  // namespace capi
}  // namespace native_extensions
