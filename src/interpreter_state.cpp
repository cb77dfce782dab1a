// The records each interpreter of the process has of its own: made, found, and released as their
// interpreter ends (see interpreter_state.h).
#include "interpreter_state.h"

#include <new>
#include <stdio.h>
#include <stdlib.h>

namespace native_extensions {

char module_full_name[256] = "native_extensions";

namespace {

constexpr const char kTracebackHideName[] = "__quenvar__tracebackhide__";
// The texts of a record's names, in the order of the record's fields.
const char* const kRecordNames[] = {"python_fork_handler_called", module_full_name, "__getattr__"};

// The main interpreter's record, and the main interpreter once its record's release at its end is
// arranged (the capsule is in place) for the runtime now running, else null: the calls of the
// main interpreter find their record with one comparison.
InterpreterState main_state = {nullptr, {true}, {nullptr}, nullptr, nullptr, nullptr, {-1}, {}};
std::atomic<PyInterpreterState*> armed_main_interpreter{nullptr};
std::atomic<bool> exit_backstop_registered{false};

// The name of the capsules that tie this library's records to their interpreters, and their key in
// each interpreter's dictionary. It holds the address of this library's main record, so it is
// unique per loaded library: two builds or copies of the module loaded in one process (whose
// records may differ in layout) each find and release only their own. Written once as the library
// loads, so that a fork finds a record by it without allocating.
char state_capsule[64];
struct StateCapsuleNaming {
    StateCapsuleNaming() {
        snprintf(state_capsule, sizeof state_capsule, "native_extensions.InterpreterState@%p", static_cast<void*>(&main_state));
    }
} state_capsule_naming;

void init_state(InterpreterState* state) {
    state->import_hook = nullptr;
    state->strip_tracebackhide_frames.store(true, std::memory_order_relaxed);
    state->traceback_hide_string.store(nullptr, std::memory_order_relaxed);
    state->fork_handled_name = nullptr;
    state->module_name = nullptr;
    state->getattr_name = nullptr;
    state->verbose_setting.store(-1, std::memory_order_relaxed);
    state->code_kinds = capi::CodeKindCache{};
}

// Releases what the record holds and puts it back in its initial state. Runs in the record's own
// interpreter, with its lock held, as that interpreter ends.
void release_state(InterpreterState* state) {
    capi::release_code_kinds(state->code_kinds);
    PyObject* owned[] = {state->import_hook, state->traceback_hide_string.exchange(nullptr), state->fork_handled_name,
                         state->module_name, state->getattr_name};
    init_state(state);
    // Released last: a finalizer run by the hook's release finds the record in its initial state.
    for (PyObject* object : owned) {
        Py_XDECREF(object);
    }
}

// Makes the names the record looks up, and reads the verbose setting where it is read once.
// False, with an exception set, if a name cannot be made.
bool fill_state(InterpreterState* state) {
    PyObject** names[] = {&state->fork_handled_name, &state->module_name, &state->getattr_name};
    for (int i = 0; i < 3; ++i) {
        if (*names[i] == nullptr && (*names[i] = PyUnicode_InternFromString(kRecordNames[i])) == nullptr) {
            return false;
        }
    }
    if (capi::kVerboseSettingRemembered && state->verbose_setting.load(std::memory_order_relaxed) < 0) {
        // Read now, ahead of any failing call (still -1 if it cannot be read yet).
        state->verbose_setting.store(capi::read_verbose_setting(), std::memory_order_relaxed);
    }
    return true;
}

// The main interpreter's end, seen from its dictionary being cleared.
void release_main_state(PyObject* /*capsule*/) {
    armed_main_interpreter.store(nullptr);
    stop_waiting_for_main_module();
    release_state(&main_state);
    release_main_module();
}

// After the runtime has been finalised: whatever is still recorded belongs to it (it was set up
// again after the main interpreter's dictionary was cleared) and is forgotten, not released.
void forget_main_state() {
    init_state(&main_state);
    forget_main_module();
    armed_main_interpreter.store(nullptr);
    exit_backstop_registered.store(false);
}

void free_state(InterpreterState* state) {
    state->~InterpreterState();
    free(state);
}

void release_subinterpreter_state(PyObject* capsule) {
    auto* state = static_cast<InterpreterState*>(PyCapsule_GetPointer(capsule, state_capsule));
    if (state != nullptr) {
        release_state(state);
        free_state(state);
    }
}

// Puts `capsule` in the interpreter's dictionary, unless another thread put one there first.
// Returns the capsule in place (a new reference), or null with an exception set.
PyObject* install_capsule(PyInterpreterState* interp, PyObject* capsule) {
    PyObject* dict = PyInterpreterState_GetDict(interp);  // borrowed
    if (dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no per-interpreter dictionary");
        return nullptr;
    }
    PyObject* key = PyUnicode_InternFromString(state_capsule);
    PyObject* in_place = nullptr;
    if (key != nullptr) {
        PyDict_SetDefaultRef(dict, key, capsule, &in_place);
        Py_DECREF(key);
    }
    return in_place;
}

// The record in the capsule of `interp`'s dictionary, or null if it has none. Allocates nothing.
InterpreterState* find_subinterpreter_state(PyInterpreterState* interp) {
    PyObject* dict = PyInterpreterState_GetDict(interp);  // borrowed
    auto ours = [](PyObject* value) { return PyCapsule_IsValid(value, state_capsule) != 0; };
    PyObject* capsule = dict != nullptr ? first_value(dict, ours) : nullptr;  // borrowed
    return capsule != nullptr ? static_cast<InterpreterState*>(PyCapsule_GetPointer(capsule, state_capsule)) : nullptr;
}

InterpreterState* make_subinterpreter_state(PyInterpreterState* interp) {
    // Plain malloc, not operator new: the library needs no C++ run-time library.
    void* memory = malloc(sizeof(InterpreterState));
    if (memory == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto* state = new (memory) InterpreterState{};
    init_state(state);
    // From here on the capsule owns the record: releasing the capsule releases the record.
    PyObject* capsule = PyCapsule_New(state, state_capsule, release_subinterpreter_state);
    if (capsule == nullptr) {
        free_state(state);
        return nullptr;
    }
    PyObject* in_place = fill_state(state) ? install_capsule(interp, capsule) : nullptr;  // owned
    // Failed, or another thread of this interpreter made its record first: that one is used (the
    // interpreter's dictionary keeps it).
    auto* chosen = in_place != nullptr ? static_cast<InterpreterState*>(PyCapsule_GetPointer(in_place, state_capsule)) : nullptr;
    Py_XDECREF(in_place);
    Py_DECREF(capsule);
    return chosen;
}

}  // namespace

PyObject* first_value(PyObject* dict, bool (*matches)(PyObject*)) {
    PyObject* found = nullptr;
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION(dict);
#endif
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (found == nullptr && PyDict_Next(dict, &position, &key, &value)) {
        if (matches(value)) {
            found = value;
        }
    }
#ifdef Py_GIL_DISABLED
    Py_END_CRITICAL_SECTION();
#endif
    return found;
}

void arrange_forgetting() {
    if (!exit_backstop_registered.exchange(true) && Py_AtExit(forget_main_state) < 0) {
        exit_backstop_registered.store(false);  // the table is full: the capsule alone will do
    }
}

// Plain strings, not interned: a sub-interpreter's interned strings may go with it (3.12 keeps an
// interned dictionary per interpreter), while these live in the allocator that every interpreter
// able to load the module shares, until the main record releases them, or forgets them after the
// runtime ends. Made only here, never inside a fork, and hashed now, so that a lookup in another
// interpreter only reads them.
bool give_main_record_names() {
    PyObject** names[] = {&main_state.fork_handled_name, &main_state.module_name, &main_state.getattr_name};
    for (int i = 0; i < 3; ++i) {
        if (*names[i] == nullptr && (*names[i] = PyUnicode_FromString(kRecordNames[i])) == nullptr) {
            return false;
        }
        if (PyObject_Hash(*names[i]) == -1) {
            return false;
        }
    }
    return true;
}

bool prepare_main_state() {
    if (armed_main_interpreter.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    if (!fill_state(&main_state)) {
        return false;
    }
    arrange_forgetting();
    // Made without a destructor, which resets the shared record: only the capsule that stays in
    // place gets it.
    PyObject* capsule = PyCapsule_New(&main_state, state_capsule, nullptr);
    if (capsule == nullptr) {
        return false;
    }
    PyObject* in_place = install_capsule(PyInterpreterState_Get(), capsule);  // owned (called in the main interpreter)
    if (in_place == capsule) {
        PyCapsule_SetDestructor(capsule, release_main_state);  // cannot fail: the capsule is valid
    }
    Py_DECREF(capsule);
    if (in_place == nullptr) {
        return false;
    }
    Py_DECREF(in_place);  // the dictionary holds it
    armed_main_interpreter.store(PyInterpreterState_Get(), std::memory_order_release);
    return true;
}

InterpreterState* interpreter_state() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (interp == armed_main_interpreter.load(std::memory_order_acquire)) {
        if (module_unreachable.load(std::memory_order_relaxed)) {
            adopt_main_module();
        }
        return &main_state;
    }
    if (capi::is_main_interpreter(interp)) {
        // The record serves even if it cannot be prepared yet.
        if (!prepare_main_state()) {
            PyErr_Clear();
        }
        adopt_main_module();
        return &main_state;
    }
    InterpreterState* state = find_subinterpreter_state(interp);
    return state != nullptr ? state : make_subinterpreter_state(interp);
}

InterpreterState* existing_interpreter_state(PyInterpreterState* interp) {
    return capi::is_main_interpreter(interp) ? &main_state : find_subinterpreter_state(interp);
}

InterpreterState* main_interpreter_state() {
    return &main_state;
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

}  // namespace native_extensions
