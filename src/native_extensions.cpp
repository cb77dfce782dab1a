// The module object: its definition, method table and entry points, and `Module`, the main
// interpreter's own module, which the fork handler reads.
#include "interpreter_state.h"

#include <string.h>

namespace native_extensions {

PyObject* Module = nullptr;

// Whether the main interpreter's module is still to be found: the module was set up on behalf of a
// sub-interpreter, and the main interpreter's own import builds its module from the copy that the
// first import left, without calling the entry point. From 3.13 on a sub-interpreter's first import
// runs the entry point in the main interpreter, and `Module` then holds a module object that no code
// there can reach; on 3.10 to 3.12 the sub-interpreter runs it itself, and the main interpreter
// builds its module from the copy while that sub-interpreter lives (`Module` stays null). The main
// interpreter's module, the first one its code can reach, is seen as its import stores it in
// sys.modules where a dict watcher can be had, and is otherwise adopted from sys.modules as soon as
// the main interpreter calls into the module or forks.
std::atomic<bool> module_unreachable{false};

namespace {

PyMethodDef g_native_extensions_functions[] = {
    {"RegisterPreforkCallback", RegisterPreforkCallback, METH_VARARGS,
     "Registers to the pre fork callback to print the user that we do not support forking"},
    // A METH_VARARGS | METH_KEYWORDS function takes the keyword dictionary as a third argument;
    // the table stores it as a PyCFunction, as the interpreter expects.
    {"CallImportHookRemovingFrames",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(CallImportHookRemovingFrames)),
     METH_VARARGS | METH_KEYWORDS,
     "Call the import hook set by SetImportHook, removing any traceback frames where the locals had "
     "__quenvar__tracebackhide__ defined"},
    {"SetImportHook", SetImportHook, METH_O,
     "Set the import hook that will be called by CallImportHookRemovingFrames"},
    {"SetRemoveImportHookFrames", SetRemoveImportHookFrames, METH_O,
     "Set whether the import hook removes frames with __quenvar__tracebackhide__ defined"},
    {nullptr, nullptr, 0, nullptr},
};

// No per-module state: the state lives in process-wide records, one an interpreter (single-phase
// initialisation; a sub-interpreter gets its module as a copy of the first one).
PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "native_extensions",
    "Quenvar native extensions",
    -1,
    g_native_extensions_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Whether any interpreter has set the module up in the runtime now running: a fork that no package
// could have handled then warns.
std::atomic<bool> module_set_up{false};

// Makes `module` (borrowed, or null) the main interpreter's module `Module`, which takes a
// reference, and ends the waiting for it.
void make_main_module(PyObject* module) {
    PyObject* previous = __atomic_exchange_n(&Module, Py_XNewRef(module), __ATOMIC_ACQ_REL);
    module_unreachable.store(false, std::memory_order_release);
    Py_XDECREF(previous);
}

// Whether `module` is a module object of this library: one of its functions is this library's
// (a stand-in module, or another library's module stored under the same name, is not). Allocates
// nothing, so that the fork handler may ask.
bool is_this_librarys_module(PyObject* module) {
    auto ours = [](PyObject* value) {
        return PyCFunction_Check(value) && PyCFunction_GetFunction(value) == RegisterPreforkCallback;
    };
    return PyModule_Check(module) && first_value(PyModule_GetDict(module), ours) != nullptr;
}

#if NE_DICT_WATCHERS
// The dict watcher that waits in the main interpreter's sys.modules for the first module object
// stored under the module's name, or -1. Watcher ids are few (eight an interpreter, some taken by
// the interpreter itself): it is held only until that store, or the main interpreter's end.
int modules_watcher = -1;

void stop_watching_modules(PyObject* modules) {
    if (modules != nullptr && PyDict_Unwatch(modules_watcher, modules) < 0) {
        PyErr_Clear();  // cannot fail: the id is ours and `modules` a dict
    }
    if (PyDict_ClearWatcher(modules_watcher) < 0) {
        PyErr_Clear();
    }
    modules_watcher = -1;
}

// Called by the main interpreter, with its lock held, before each change of its sys.modules. The
// import stores its module before filling it, and again once filled: it is taken at that second
// store. Anything else stored under the name (a stand-in, another library's module) is passed over.
int on_modules_changed(PyDict_WatchEvent event, PyObject* modules, PyObject* key, PyObject* value) {
    PyObject* name = main_interpreter_state()->module_name;
    if (event == PyDict_EVENT_DEALLOCATED) {
        stop_watching_modules(nullptr);
    } else if ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED) && value != nullptr &&
               PyModule_Check(value) && key != nullptr && PyUnicode_Check(key) &&
               (key == name || PyUnicode_Compare(key, name) == 0) && is_this_librarys_module(value)) {
        make_main_module(value);
        stop_watching_modules(modules);
    }
    return 0;
}

// Watches the calling (main) interpreter's sys.modules for its module. Without a free watcher id,
// the module is adopted at the main interpreter's first call or fork instead.
void watch_for_main_module() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (modules_watcher >= 0 || modules == nullptr || main_interpreter_state()->module_name == nullptr) {
        return;
    }
    modules_watcher = PyDict_AddWatcher(on_modules_changed);
    if (modules_watcher < 0) {
        PyErr_Clear();
    } else if (PyDict_Watch(modules_watcher, modules) < 0) {
        PyErr_Clear();
        stop_watching_modules(nullptr);
    }
}

// Ends the waiting for the main interpreter's module; `unwatch`: its sys.modules is still there.
void stop_waiting(bool unwatch) {
    if (modules_watcher >= 0) {
        stop_watching_modules(unwatch ? PyImport_GetModuleDict() : nullptr);
    }
}
#else
void watch_for_main_module() {}
void stop_waiting(bool) {}
#endif

// Creates a module object. `by_import_system`: called through the entry point, which the import
// system calls, also on behalf of a sub-interpreter; the namespaced entries are called from C.
PyObject* create_module(bool by_import_system) {
    PyObject* module = PyModule_Create2(&moduledef, capi::kModuleApiVersion);
    if (module != nullptr && !arrange_fork_safety()) {
        Py_CLEAR(module);
    }
#ifdef Py_GIL_DISABLED
    // Every piece of shared state is safe without the GIL: importing the module leaves it off.
    if (module != nullptr && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_CLEAR(module);
    }
#endif
    if (module != nullptr) {
        module_set_up.store(true, std::memory_order_release);
        arrange_forgetting();
        // Inside a package the import system names the module "pkg.native_extensions".
        const char* name = by_import_system ? PyModule_GetName(module) : nullptr;
        if (name == nullptr) {
            PyErr_Clear();
        } else if (strlen(name) < sizeof module_full_name && strcmp(name, module_full_name) != 0) {
            memcpy(module_full_name, name, strlen(name) + 1);
        }
    }
    if (!capi::is_main_interpreter(PyInterpreterState_Get())) {
        // A sub-interpreter's module (it is the first to import it): `Module` stays the main
        // interpreter's, and the sub-interpreter's record is made now. A main interpreter without a
        // module will build its own from the copy this import leaves.
        if (module != nullptr && (interpreter_state() == nullptr || !give_main_record_names())) {
            Py_CLEAR(module);
        }
        if (module != nullptr && __atomic_load_n(&Module, __ATOMIC_ACQUIRE) == nullptr) {
            module_unreachable.store(true, std::memory_order_release);
        }
        return module;
    }
    if (module != nullptr && !prepare_main_state()) {
        Py_CLEAR(module);
    }
    if (module != nullptr && by_import_system && capi::runs_for_a_subinterpreter_import()) {
        // Made on a sub-interpreter's behalf: no code of the main interpreter can reach it.
        if (__atomic_load_n(&Module, __ATOMIC_ACQUIRE) != nullptr && !module_unreachable.load()) {
            return module;  // the main interpreter's own module stays `Module`
        }
        make_main_module(module);
        module_unreachable.store(true, std::memory_order_release);
        watch_for_main_module();
        return module;
    }
    // `Module` follows the newest module (null when creation failed) and owns a reference to it;
    // the reference returned belongs to the caller. Waiting for the main interpreter's module ends.
    stop_waiting(true);
    make_main_module(module);
    return module;
}

}  // namespace

void adopt_main_module() {
    PyObject* name = main_interpreter_state()->module_name;
    if (!module_unreachable.load(std::memory_order_acquire) || name == nullptr) {
        return;
    }
    // The main interpreter's own module, if it has imported it by now: looked up in sys.modules
    // only, so nothing is imported and nothing is allocated.
    PyObject* module = PyImport_GetModule(name);
    if (module == nullptr) {
        PyErr_Clear();
        return;
    }
    if (is_this_librarys_module(module)) {
        make_main_module(module);
    }
    Py_DECREF(module);
}

PyObject* main_module() {
    return module_unreachable.load(std::memory_order_acquire) ? nullptr : Py_XNewRef(__atomic_load_n(&Module, __ATOMIC_ACQUIRE));
}

bool module_was_set_up() {
    return module_set_up.load(std::memory_order_acquire);
}

void stop_waiting_for_main_module() {
    module_unreachable.store(false);
    stop_waiting(false);  // the interpreter's watchers are still in place
}

void release_main_module() {
    PyObject* module = __atomic_exchange_n(&Module, nullptr, __ATOMIC_ACQ_REL);
    Py_XDECREF(module);
}

void forget_main_module() {
    __atomic_store_n(&Module, nullptr, __ATOMIC_RELEASE);
    module_unreachable.store(false);
    module_set_up.store(false);
#if NE_DICT_WATCHERS
    modules_watcher = -1;  // the runtime has dropped every watcher
#endif
}

PyObject* InitNativeExtensionModuleInternal() {
    return create_module(false);
}

PyObject* InitNativeExtensions() {
    return create_module(false);
}

}  // namespace native_extensions

PyMODINIT_FUNC PyInit_native_extensions() {
    return native_extensions::create_module(true);
}
