// The warning printed before a fork of a process the package runs in.
#include "interpreter_state.h"

#include <pthread.h>
#include <stdio.h>

namespace native_extensions {
namespace {

// puts() adds the final newline.
constexpr const char kForkWarning[] =
    "[Quenvar] Quenvar does not support running in forking processes. Please start yorl only after forking\n"
    " For more information, see https://docs.quenvar.com/docs/python-setup#pre-forking-celery-gunicorn-etc";

void print_fork_warning() {
    puts(kForkWarning);
    // Flushed now: left in the stdio buffer, the text would be copied into the child and appear
    // twice when standard output is a pipe or a file.
    fflush(stdout);
}

// `key`'s value in the dict `dict`, as a new reference, or null (nothing pending) when it is absent
// or the lookup failed. Allocates nothing.
PyObject* dict_value(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) {
        PyErr_Clear();
    }
    return value;
}

// The attribute `name` of `module`, as a new reference, or null when it has none (nothing is left
// pending). A module is asked as the interpreter asks it, its namespace and then its own
// __getattr__ (named by `getattr_name`), without making an AttributeError when the attribute is
// absent, so that this allocates nothing then. So is an instance of a subclass of the module type
// (`module.__class__ = ...` gives a module properties) that keeps that type's lookup, where the
// interpreter's optional read would make the AttributeError. Any other object through that read.
PyObject* optional_attribute(PyObject* module, PyObject* name, PyObject* getattr_name) {
    const bool read_as_module =
        PyModule_CheckExact(module) || (!capi::kOptionalReadAllocatesNothing && PyModule_Check(module) &&
                                        capi::keeps_module_lookup(Py_TYPE(module), name));
    PyObject* value = nullptr;
    if (!read_as_module) {
        if (PyObject_GetOptionalAttr(module, name, &value) < 0) {
            PyErr_Clear();
        }
        return value;
    }
    // The module type itself has no attribute of that name: its namespace decides.
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    value = dict_value(dict, name);
    PyObject* getattr = value == nullptr ? dict_value(dict, getattr_name) : nullptr;
    if (getattr != nullptr) {
        value = PyObject_CallOneArg(getattr, name);
        Py_DECREF(getattr);
        if (value == nullptr) {
            PyErr_Clear();
        }
    }
    return value;
}

// Reads the attribute in the forking thread's interpreter (whose lock that thread holds) and warns
// unless it is absent or 1. The module is `Module` for the main interpreter, and for a
// sub-interpreter the one in its own sys.modules; a sub-interpreter without the module forks
// past every package's fork handling, as a thread outside the interpreter does, and warns.
void check_fork_handled(PyInterpreterState* interp) {
    const bool main = capi::is_main_interpreter(interp);
    // The names this interpreter made, or else the main record's, which live as long as the main
    // interpreter (a sub-interpreter that never called the module has none of its own; the main
    // record has them as soon as any interpreter set the module up).
    auto has_names = [](InterpreterState* state) {
        return state != nullptr && state->fork_handled_name != nullptr && state->module_name != nullptr &&
               state->getattr_name != nullptr;
    };
    InterpreterState* state = existing_interpreter_state(interp);
    if (!has_names(state)) {
        state = main_interpreter_state();
    }
    if (!has_names(state)) {
        // No interpreter set the module up (or its names could not be made).
        if (!main && module_was_set_up()) {
            print_fork_warning();
        }
        return;
    }
    PyObject* module;
    if (main) {
        adopt_main_module();
        module = main_module();
    } else {
        module = PyImport_GetModule(state->module_name);  // sys.modules only: nothing is imported
        if (module == nullptr) {
            PyErr_Clear();
            if (module_was_set_up()) {
                print_fork_warning();
            }
            return;
        }
    }
    PyObject* handled =
        module != nullptr ? optional_attribute(module, state->fork_handled_name, state->getattr_name) : nullptr;
    Py_XDECREF(module);
    if (handled != nullptr) {
        // A value that is not an integer converts to -1 (with an exception) and so warns.
        const long value = PyLong_AsLong(handled);
        Py_DECREF(handled);
        if (value != 1) {
            print_fork_warning();
        }
    }
}

// Runs in the forking thread before each fork(), once per registration.
void preforkCallback() {
    PyThreadState* tstate = capi::own_attached_thread_state();
    if (tstate == nullptr) {
        // A fork that bypassed the interpreter (a native thread, or a foreign call that released
        // the lock), or whose thread state cannot be told safely: no interpreter object may be
        // touched, and the Python side cannot have handled this fork.
        if (module_was_set_up()) {
            print_fork_warning();
        }
        return;
    }
    // Whatever was pending before the fork stays pending, and nothing raised here leaks into the
    // interpreter's fork call.
    capi::PendingException pending = capi::fetch_exception();
    check_fork_handled(PyThreadState_GetInterpreter(tstate));
    capi::restore_exception(pending);
}

}  // namespace

PyObject* RegisterPreforkCallback(PyObject* /*self*/, PyObject* /*args*/) {
    // The names the handler looks up are made now, ahead of any fork.
    if (interpreter_state() == nullptr) {
        return nullptr;
    }
    // True reports a failed registration.
    if (pthread_atfork(preforkCallback, nullptr, nullptr) != 0) {
        Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

}  // namespace native_extensions
