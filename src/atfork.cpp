// The warning printed before a fork of a process the package runs in.
#include "native_extensions.h"

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

// The attribute's name, made once (interned, like the names in code objects) so that a fork
// allocates nothing: a name made afresh at each fork would also take a slot of the interpreter's
// attribute cache each time. Borrowed; null if it cannot be made now.
PyObject* fork_handled_name() {
    static PyObject* name = nullptr;
    if (name == nullptr) {
        name = PyUnicode_InternFromString("python_fork_handler_called");
        if (name == nullptr) {
            PyErr_Clear();
        }
    }
    return name;
}

// Whether the calling thread holds the interpreter lock through its own thread state.
// PyGILState_Check() is not enough: once a sub-interpreter exists it answers yes for any thread.
bool holds_interpreter_lock() {
    PyThreadState* current = compat::unchecked_current_thread_state();
    return current != nullptr && current == PyGILState_GetThisThreadState();
}

// Runs in the forking thread before each fork(), once per registration.
void preforkCallback() {
    PyObject* module = Module;
    if (module == nullptr) {
        return;
    }
    if (!holds_interpreter_lock()) {
        // A fork that bypassed the interpreter (a native thread, or a foreign call that released
        // the lock): no interpreter object may be touched, and the Python side cannot have
        // handled this fork.
        print_fork_warning();
        return;
    }
    // Whatever was pending before the fork stays pending, and nothing raised here leaks into the
    // interpreter's fork call.
    compat::PendingException pending = compat::fetch_exception();
    PyObject* name = fork_handled_name();
    PyObject* handled = name != nullptr ? PyObject_GetAttr(module, name) : nullptr;
    if (handled != nullptr) {
        // A value that is not an integer converts to -1 (with an exception) and so warns.
        const long value = PyLong_AsLong(handled);
        Py_DECREF(handled);
        if (value != 1) {
            print_fork_warning();
        }
    }
    compat::restore_exception(pending);
}

}  // namespace

PyObject* RegisterPreforkCallback(PyObject* /*self*/, PyObject* /*args*/) {
    // True reports a failed registration.
    if (pthread_atfork(preforkCallback, nullptr, nullptr) != 0) {
        Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

}  // namespace native_extensions
