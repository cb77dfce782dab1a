// The module object: its definition, method table and entry points, and the state each
// interpreter of the process has of its own.
#include "native_extensions.h"

#include <new>
#include <stdio.h>

namespace native_extensions {

PyObject* Module = nullptr;

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

// The main interpreter's record, and the main interpreter once its record's release at its end is
// arranged (the capsule is in place) for the runtime now running, else null: the calls of the
// main interpreter find their record with one comparison.
InterpreterState main_state = {nullptr, {true}, {nullptr}, nullptr, nullptr, nullptr, {-1},
#ifdef Py_LIMITED_API
                               {},
#endif
};
std::atomic<PyInterpreterState*> armed_main_interpreter{nullptr};

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
// The name the import system last created the module under: "pkg.native_extensions" when it is
// installed inside a package. The names a record looks up are made from it, so that a lookup in
// sys.modules finds the module wherever it is installed.
char module_full_name[256] = "native_extensions";
std::atomic<bool> exit_backstop_registered{false};
// Whether any interpreter has set the module up in the runtime now running: a fork that no package
// could have handled then warns.
std::atomic<bool> module_set_up{false};

// Makes `module` (borrowed) the main interpreter's module `Module`, which takes a reference.
void make_main_module(PyObject* module) {
    PyObject* previous = __atomic_exchange_n(&Module, Py_NewRef(module), __ATOMIC_ACQ_REL);
    module_unreachable.store(false, std::memory_order_release);
    Py_XDECREF(previous);
}

// The first value of the dict `dict` that `matches` accepts (borrowed), or null. Allocates nothing
// and runs no Python code, so that the fork handler may ask.
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

// Whether `module` is a module object of this library: one of its functions is this library's
// (a stand-in module, or another library's module stored under the same name, is not). Allocates
// nothing, so that the fork handler may ask.
bool is_this_librarys_module(PyObject* module) {
    auto ours = [](PyObject* value) {
        return PyCFunction_Check(value) && PyCFunction_GetFunction(value) == RegisterPreforkCallback;
    };
    return PyModule_Check(module) && first_value(PyModule_GetDict(module), ours) != nullptr;
}

#ifdef NATIVE_EXTENSIONS_DICT_WATCHERS
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

// Called by the main interpreter, with its lock held, before each change of its sys.modules (from
// 3.13 on a callback may stop watching the dict it is called for). The import stores its module
// before filling it, and again once filled: it is taken at that second store. Anything else stored
// under the name (a stand-in, another library's module) is passed over.
int on_modules_changed(PyDict_WatchEvent event, PyObject* modules, PyObject* key, PyObject* value) {
    if (event == PyDict_EVENT_DEALLOCATED) {
        stop_watching_modules(nullptr);
    } else if ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED) && value != nullptr &&
               PyModule_Check(value) && key != nullptr && PyUnicode_Check(key) &&
               (key == main_state.module_name || PyUnicode_Compare(key, main_state.module_name) == 0) &&
               is_this_librarys_module(value)) {
        make_main_module(value);
        stop_watching_modules(modules);
    }
    return 0;
}

// Watches the calling (main) interpreter's sys.modules for its module. Without a free watcher id,
// the module is adopted at the main interpreter's first call or fork instead.
void watch_for_main_module() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (modules_watcher >= 0 || modules == nullptr || main_state.module_name == nullptr) {
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
#else
void watch_for_main_module() {}
#endif

void init_state(InterpreterState* state) {
    state->import_hook = nullptr;
    state->strip_tracebackhide_frames.store(true, std::memory_order_relaxed);
    state->traceback_hide_string.store(nullptr, std::memory_order_relaxed);
    state->fork_handled_name = nullptr;
    state->module_name = nullptr;
    state->getattr_name = nullptr;
    state->verbose_setting.store(-1, std::memory_order_relaxed);
#ifdef Py_LIMITED_API
    state->code_kinds = CodeKindCache{};
#endif
}

// Releases what the record holds and puts it back in its initial state. Runs in the record's own
// interpreter, with its lock held, as that interpreter ends.
void release_state(InterpreterState* state) {
#ifdef Py_LIMITED_API
    compat::release_code_kinds(state);
#endif
    PyObject* hook = state->import_hook;
    PyObject* key = state->traceback_hide_string.exchange(nullptr);
    PyObject* fork_handled_name = state->fork_handled_name;
    PyObject* module_name = state->module_name;
    PyObject* getattr_name = state->getattr_name;
    init_state(state);
    // Released last: a finalizer run by the hook's release finds the record in its initial state.
    Py_XDECREF(hook);
    Py_XDECREF(key);
    Py_XDECREF(fork_handled_name);
    Py_XDECREF(module_name);
    Py_XDECREF(getattr_name);
}

// Makes the names the record looks up, and reads the verbose setting where it is read once.
// False, with an exception set, if a name cannot be made.
bool fill_state(InterpreterState* state) {
    if (state->fork_handled_name == nullptr &&
        (state->fork_handled_name = PyUnicode_InternFromString("python_fork_handler_called")) == nullptr) {
        return false;
    }
    if (state->module_name == nullptr && (state->module_name = PyUnicode_InternFromString(module_full_name)) == nullptr) {
        return false;
    }
    if (state->getattr_name == nullptr && (state->getattr_name = PyUnicode_InternFromString("__getattr__")) == nullptr) {
        return false;
    }
    if (compat::verbose_setting_is_remembered && state->verbose_setting.load(std::memory_order_relaxed) < 0) {
        // Read now, ahead of any failing call (still -1 if it cannot be read yet).
        state->verbose_setting.store(compat::read_verbose_setting(), std::memory_order_relaxed);
    }
    return true;
}

// The main interpreter's end, seen from its dictionary being cleared.
void release_main_state(PyObject* /*capsule*/) {
    armed_main_interpreter.store(nullptr);
    module_unreachable.store(false);
#ifdef NATIVE_EXTENSIONS_DICT_WATCHERS
    if (modules_watcher >= 0) {
        stop_watching_modules(nullptr);  // the interpreter's watchers are still in place
    }
#endif
    release_state(&main_state);
    PyObject* module = __atomic_exchange_n(&Module, nullptr, __ATOMIC_ACQ_REL);
    Py_XDECREF(module);
}

// After the runtime has been finalised: whatever is still recorded belongs to it (it was set up
// again after the main interpreter's dictionary was cleared) and is forgotten, not released.
void forget_main_state() {
    init_state(&main_state);
    __atomic_store_n(&Module, nullptr, __ATOMIC_RELEASE);
    module_unreachable.store(false);
    module_set_up.store(false);
#ifdef NATIVE_EXTENSIONS_DICT_WATCHERS
    modules_watcher = -1;  // the runtime has dropped every watcher
#endif
    armed_main_interpreter.store(nullptr);
    exit_backstop_registered.store(false);
}

void free_state(InterpreterState* state) {
    state->~InterpreterState();
    compat::raw_free(state);
}

void release_subinterpreter_state(PyObject* capsule) {
    auto* state = static_cast<InterpreterState*>(PyCapsule_GetPointer(capsule, state_capsule));
    if (state != nullptr) {
        release_state(state);
        free_state(state);
    }
}

// Puts `capsule` in the interpreter's dictionary, unless another thread put one there first.
// Returns the capsule in place (borrowed), or null with an exception set.
PyObject* install_capsule(PyInterpreterState* interp, PyObject* capsule) {
    PyObject* dict = PyInterpreterState_GetDict(interp);  // borrowed
    if (dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no per-interpreter dictionary");
        return nullptr;
    }
    PyObject* key = PyUnicode_InternFromString(state_capsule);
    PyObject* in_place = key != nullptr ? compat::dict_set_default(dict, key, capsule) : nullptr;  // borrowed
    Py_XDECREF(key);
    return in_place;
}

// Arranges, once for the runtime now running, that whatever the main record holds is forgotten
// after the runtime is finalised (the capsule releases it earlier, once it is in place).
void arrange_forgetting() {
    if (!exit_backstop_registered.exchange(true) && Py_AtExit(forget_main_state) < 0) {
        exit_backstop_registered.store(false);  // the table is full: the capsule alone will do
    }
}

// Gives the main record the names it looks up when a sub-interpreter sets the module up first:
// the main interpreter may then build its module from the copy and fork without ever calling
// into the module, and a sub-interpreter that never called it reads its own module with them too.
// Plain strings, not interned: a sub-interpreter's interned strings may go with it (3.12 keeps an
// interned dictionary per interpreter), while these live in the allocator that every
// interpreter able to load the module shares, until the main record releases them, or forgets
// them after the runtime ends. Made only here, never inside a fork. False, with an exception set,
// if a name cannot be made.
bool give_main_record_names() {
    PyObject** names[] = {&main_state.fork_handled_name, &main_state.module_name, &main_state.getattr_name};
    const char* texts[] = {"python_fork_handler_called", module_full_name, "__getattr__"};
    for (int i = 0; i < 3; ++i) {
        if (*names[i] == nullptr && (*names[i] = PyUnicode_FromString(texts[i])) == nullptr) {
            return false;
        }
        // Hashed now, so that a lookup in another interpreter only reads the string.
        if (PyObject_Hash(*names[i]) == -1) {
            return false;
        }
    }
    return true;
}

// Prepares the main interpreter's record for the runtime now running: makes its names, and
// arranges for it to be released when the main interpreter ends. False, with an exception set, if
// that cannot be done now; a later call tries again.
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
    PyObject* in_place = install_capsule(PyInterpreterState_Get(), capsule);  // borrowed (called in the main interpreter)
    if (in_place == capsule) {
        PyCapsule_SetDestructor(capsule, release_main_state);  // cannot fail: the capsule is valid
    }
    Py_DECREF(capsule);  // the dictionary holds the one in place
    if (in_place == nullptr) {
        return false;
    }
    armed_main_interpreter.store(PyInterpreterState_Get(), std::memory_order_release);
    return true;
}

// The record in the capsule of `interp`'s dictionary, or null if it has none. Allocates nothing.
InterpreterState* find_subinterpreter_state(PyInterpreterState* interp) {
    PyObject* dict = PyInterpreterState_GetDict(interp);  // borrowed
    auto ours = [](PyObject* value) { return PyCapsule_IsValid(value, state_capsule) != 0; };
    PyObject* capsule = dict != nullptr ? first_value(dict, ours) : nullptr;  // borrowed
    return capsule != nullptr ? static_cast<InterpreterState*>(PyCapsule_GetPointer(capsule, state_capsule)) : nullptr;
}

InterpreterState* make_subinterpreter_state(PyInterpreterState* interp) {
    // The interpreter's raw allocator, not operator new: the library needs no C++ run-time library.
    void* memory = compat::raw_malloc(sizeof(InterpreterState));
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
    PyObject* in_place = fill_state(state) ? install_capsule(interp, capsule) : nullptr;  // borrowed
    // Failed, or another thread of this interpreter made its record first: that one is used.
    InterpreterState* chosen = in_place != nullptr ? static_cast<InterpreterState*>(PyCapsule_GetPointer(in_place, state_capsule)) : nullptr;
    Py_DECREF(capsule);
    return chosen;
}

}  // namespace

InterpreterState* interpreter_state() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (interp == armed_main_interpreter.load(std::memory_order_acquire)) {
        if (module_unreachable.load(std::memory_order_relaxed)) {
            adopt_main_module();
        }
        return &main_state;
    }
    if (compat::is_main_interpreter(interp)) {
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

void adopt_main_module() {
    if (!module_unreachable.load(std::memory_order_acquire) || main_state.module_name == nullptr) {
        return;
    }
    // The main interpreter's own module, if it has imported it by now: looked up in sys.modules
    // only, so nothing is imported and nothing is allocated.
    PyObject* module = PyImport_GetModule(main_state.module_name);
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

InterpreterState* main_interpreter_state() {
    return &main_state;
}

InterpreterState* existing_interpreter_state(PyInterpreterState* interp) {
    if (compat::is_main_interpreter(interp)) {
        return &main_state;
    }
    return find_subinterpreter_state(interp);
}

namespace {

// Creates a module object. `by_import_system`: called through the entry point, which the import
// system calls, also on behalf of a sub-interpreter; the namespaced entries are called from C.
PyObject* create_module(bool by_import_system) {
    PyObject* module = PyModule_Create2(&moduledef, compat::kModuleApiVersion);
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
    if (!compat::is_main_interpreter(PyInterpreterState_Get())) {
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
    if (module != nullptr && by_import_system && compat::runs_for_a_subinterpreter_import()) {
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
#ifdef NATIVE_EXTENSIONS_DICT_WATCHERS
    if (modules_watcher >= 0) {
        stop_watching_modules(PyImport_GetModuleDict());
    }
#endif
    PyObject* previous = __atomic_exchange_n(&Module, Py_XNewRef(module), __ATOMIC_ACQ_REL);
    module_unreachable.store(false, std::memory_order_release);
    Py_XDECREF(previous);
    return module;
}

}  // namespace

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
