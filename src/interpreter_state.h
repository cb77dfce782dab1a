// What each interpreter of the process has of its own, and how it is found.
//
// Every interpreter sees the module as if it had it alone: its own hook slot and removal switch,
// and the names it looks up, made by that interpreter. The main interpreter's record is static,
// so that its calls stay cheap; a sub-interpreter's is made when it first needs it. Each record is
// released by its own interpreter when that interpreter ends (a capsule in the interpreter's own
// dictionary owns it), so that no object of an ended interpreter, or of a finalised runtime, is
// ever used again: a new runtime starts from the initial state.
#pragma once

#include "capi.h"

#include <atomic>

namespace native_extensions {

struct InterpreterState {
    // The hook set by SetImportHook: one strong reference, or null before the first one. On a
    // free-threaded build it is read (with a reference taken) and replaced under a spin lock.
    PyObject* import_hook;
    // Whether a failing hook call has its hidden frames removed.
    std::atomic<bool> strip_tracebackhide_frames;
    // The marker key "__quenvar__tracebackhide__", interned; made on first need.
    std::atomic<PyObject*> traceback_hide_string;
    // The names "python_fork_handler_called", "native_extensions" (or the package's
    // "pkg.native_extensions") and "__getattr__", made with the record: the fork handler then
    // allocates nothing.
    PyObject* fork_handled_name;
    PyObject* module_name;
    PyObject* getattr_name;
    // The interpreter's verbose setting where it is read once: 1 or 0, or -1 while unknown.
    std::atomic<int> verbose_setting;
    // What the frames' code objects declare, where the build cannot read it in place.
    capi::CodeKindCache code_kinds;
};

// The calling interpreter's record, made if need be: null (with an exception set) only if a
// sub-interpreter's record cannot be made. Call with the interpreter lock held.
InterpreterState* interpreter_state();

// The record of `interp` if it has one, made by nothing (for the fork handler); null otherwise.
InterpreterState* existing_interpreter_state(PyInterpreterState* interp);

// The main interpreter's record (its names are made when the module is first set up anywhere).
InterpreterState* main_interpreter_state();

// The marker key of `state`, made on first need: borrowed, or null if it cannot be made now.
PyObject* tracebackhide_key(InterpreterState* state);

// Prepares the main interpreter's record for the runtime now running (its names, and its release
// when the main interpreter ends). False, with an exception set, if that cannot be done now.
bool prepare_main_state();

// Gives the main record the names it looks up when a sub-interpreter sets the module up first.
// False, with an exception set, if a name cannot be made.
bool give_main_record_names();

// Arranges, once per runtime, that the main record is forgotten after the runtime is finalised.
void arrange_forgetting();

// The first value of the dict `dict` that `matches` accepts (borrowed), or null. Allocates nothing
// and runs no Python code, so that the fork handler may ask.
PyObject* first_value(PyObject* dict, bool (*matches)(PyObject*));

// --- The main interpreter's module (native_extensions.cpp) ---

// Makes `Module` the main interpreter's own module when it is still to be found (the module was
// set up on behalf of a sub-interpreter) and the main interpreter has imported it since. Call in
// the main interpreter with its lock held and nothing pending.
void adopt_main_module();

// `Module` as a new reference, or null while the main interpreter has no module of its own.
PyObject* main_module();

// Whether any interpreter has set the module up in the runtime now running. Safe without the lock.
bool module_was_set_up();

// As the main interpreter ends: stops waiting for its module (before its record is released),
// then releases `Module` (after). After the runtime is finalised, both are only forgotten.
void stop_waiting_for_main_module();
void release_main_module();
void forget_main_module();

// Whether the main interpreter's module is still to be found (native_extensions.cpp tells when):
// the main interpreter's record lookup then first tries to adopt it.
extern std::atomic<bool> module_unreachable;

// The name the import system last created the module under: "pkg.native_extensions" when it is
// installed inside a package. The names a record looks up are made from it, so that a lookup in
// sys.modules finds the module wherever it is installed.
extern char module_full_name[256];

// Arranges, once per process, that no forked child inherits a lock of the module held by a thread
// it does not have. False, with an exception set, if that cannot be arranged.
bool arrange_fork_safety();

}  // namespace native_extensions
