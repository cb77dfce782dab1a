#!/usr/bin/env python3
"""Planted faults must be caught. A fault is one exact text replacement in a copy of src/; one
whose text no longer occurs exactly once is stale and fails the run, so that the tables follow
the sources.

- FAULTS, each a broken promise of README: the tests it concerns must fail, on each row where the
  promise is at risk.
- LEAKS, each a planted reference-counting mistake (or a change the paths' own checks must
  notice): scripts/leakcheck.py must fail on it, on every debug interpreter.

Before any fault is planted, the unplanted module must pass every selection. Prints a table
(fault, row, result); exits non-zero if a fault is missed or stale, or a row is missing.

    python3 scripts/mutants.py [-k TEXT] [--rows "3.12 abi3@3.13"] [--whole] [--list]

-k selects faults by name; --rows runs each of FAULTS on these rows instead of its own; --whole
runs the whole suite for them, not their selection; --list prints the plan. Rows are those of
scripts/rows.py, and "abi3@ROW": the stable-ABI module (Py_LIMITED_API 3.12, by CPython 3.12's
headers) run on ROW's interpreter. The module is compiled straight with g++ (no warnings asked
for: a fault may leave a variable unused) under $NATIVE_EXTENSIONS_BUILD_DIR/mutants and imported
through PYTHONPATH, by a kept environment per interpreter that holds pytest and hypothesis only
(the leak check needs neither).
"""

import argparse
import contextlib
import os
import shlex
import shutil
import subprocess
import sys
import time

from rows import BUILD_ROOT, DEBUG_ROWS, ROOT, compile_module, locate

TESTS = os.path.join(ROOT, "tests")
LEAKCHECK = os.path.join(ROOT, "scripts", "leakcheck.py")
WORK = os.path.join(BUILD_ROOT, "mutants")
TIMEOUT = 600
HOOK = "cpython_importhook.cpp"

FAULTS = [
    ("exported remove_tracebackhide_frames() does nothing", HOOK,
     "if (PyErr_Occurred() == nullptr) {", "if (true) {",
     "3.12", "test_module.py -k exported"),
    ("verbose setting read through sys.modules", 'capi_limited.h',
     'PyObject* flags = PySys_GetObject("flags");  // borrowed',
     'PyObject* flags = PyObject_GetAttrString(PyImport_AddModule("sys"), "flags");\n    Py_XDECREF(flags);',
     "abi3@3.12", "test_frames.py -k verbose_setting_is"),
    ("abi3 asks every function frame through f_locals", 'capi_limited_frames.h',
     '    return FrameKind::kUnmarkable;\n}', '    return FrameKind::kFunction;\n}',
     "abi3@3.13", "test_frames.py -k injected"),
    ("entry unlinked though the last kept one no longer links it", 'traceback_walk.cpp',
     '} else if (!walk.shared && linked(walk) == current) {', '} else if (!walk.shared) {',
     "3.12", "test_frames.py -k relinked"),
    ("context-cycle cut dropped", 'traceback_walk.cpp',
     '            PyException_SetContext(cursor, nullptr);\n', '',
     "3.12", "test_frames.py -k own_context"),
    ("interrupted walk leaks the entry it stood on", 'traceback_walk.cpp',
     '                interrupt = true;\n                break;\n            }\n            hidden = 0;',
     '                interrupt = true;\n                Py_INCREF(current);\n                break;\n            }\n            hidden = 0;',
     "3.12", "test_frames.py -k not_an_exception"),
    ("abi3 loop guard's checkpoint not held", 'traceback_walk.cpp',
     '        Py_XSETREF(guard.checkpoint, Py_NewRef(cursor));\n        guard.steps = 0;\n        guard.span *= 2;\n    }\n    return false;\n}\n\nvoid let_go(LoopGuard& guard) {\n    Py_CLEAR(guard.checkpoint);',
     '        guard.checkpoint = cursor;  // not held\n        guard.steps = 0;\n        guard.span *= 2;\n    }\n    return false;\n}\n\nvoid let_go(LoopGuard& guard) {\n    guard.checkpoint = nullptr;',
     "abi3@3.12", "test_frames.py -k unlinked_by_a_namespace"),
    ("abi3 loop guard lets a hidden checkpoint go", 'traceback_walk.cpp',
     '        if (held_as_checkpoint && hidden && Py_REFCNT(current) == 2) {\n            capi::cut_entry(current);  // only the walk can reach it: `next` is ours already\n        }\n',
     '        if (held_as_checkpoint && hidden) {\n            let_go(guard);\n            guard.steps = guard.span - 1;\n        }\n',
     "abi3@3.12", "test_properties.py"),
    ("abi3 reads a closed generator's frame through f_locals", 'capi_limited_frames.h',
     '    const int unreadable = variables_unreadable(frame);\n', '    const int unreadable = 0;\n    (void)variables_unreadable;\n',
     "abi3@3.13", "test_frames.py -k outlived"),
    ("3.13 reads the verbose setting from a replaced sys.flags", 'capi_full.h',
     '    return _Py_GetConfig()->verbose != 0;',
     '    PyObject* value = PyObject_GetAttrString(PySys_GetObject("flags"), "verbose");\n    const int truth = value != nullptr ? PyObject_IsTrue(value) : -1;\n    Py_XDECREF(value);\n    return truth;',
     "3.13", "test_frames.py -k verbose_setting_is"),
    ("abi3's cleared-frame check counts f_trace as the frame's own data", 'capi_limited_frames.h',
     'trace == code ? 1 : 0', '0', "abi3@3.13", "test_frames.py -k outlived"),
    ("a namespace frame asked through f_locals", 'capi_full_frames.h',
     '    *names = Py_XNewRef(frame->f_frame->f_locals);',
     '    *names = PyFrame_GetLocals(frame);\n    if (*names == nullptr) {\n        PyErr_Clear();\n    }',
     "3.11 3.12 3.13", "test_frames.py -k running"),
    ("3.10 function frames read through their locals mapping", 'capi_full_frames.h',
     '    PyCodeObject* code = frame->f_code;\n    PyObject** slots = frame->f_localsplus;',
     '    if (PyFrame_FastToLocalsWithError(frame) == 0) {\n        return PyDict_Contains(frame->f_locals, name);\n    }\n    PyCodeObject* code = frame->f_code;\n    PyObject** slots = frame->f_localsplus;',
     "3.10", "test_frames.py -k running"),
    ("two loaded libraries share one record name", 'interpreter_state.cpp',
     '"native_extensions.InterpreterState@%p", static_cast<void*>(&main_state)',
     '"native_extensions.InterpreterState@%d", 0',
     "3.12", "test_interpreters.py -k second_library"),
    ("the main interpreter's module seen as stored adopts nothing", "native_extensions.cpp",
     "        make_main_module(value);\n        stop_watching_modules(modules);",
     "        stop_watching_modules(modules);",
     "3.13", "test_fork.py -k fork_rule"),
    ("a C call of InitNativeExtensions() taken for a sub-interpreter's import", "native_extensions.cpp",
     "PyObject* InitNativeExtensions() {\n    return create_module(false);",
     "PyObject* InitNativeExtensions() {\n    return create_module(true);",
     "abi3@3.13", "test_interpreters.py -k made_from_c"),
    ("the import's own thread state told by its frames alone", 'capi_full.h',
     '    if (tstate->_whence != kWhenceExec) {\n        return false;\n    }\n', '    (void)kWhenceExec;\n',
     "3.13", "test_interpreters.py -k made_from_c"),
    ("only the main interpreter's import counts for a fork no package handled", "native_extensions.cpp",
     "    if (module != nullptr) {\n        module_set_up.store(true, std::memory_order_release);",
     "    if (module != nullptr && capi::is_main_interpreter(PyInterpreterState_Get())) {\n"
     "        module_set_up.store(true, std::memory_order_release);",
     "3.12", "test_fork.py -k fork_rule"),
    ("the main interpreter's module never adopted while a sub-interpreter that imported first lives",
     "native_extensions.cpp",
     "        if (module != nullptr && __atomic_load_n(&Module, __ATOMIC_ACQUIRE) == nullptr) {\n"
     "            module_unreachable.store(true, std::memory_order_release);\n        }\n", "",
     "3.11", "test_interpreters.py -k first_call_while"),
    ("a changed-class module is read through getattr", 'atfork.cpp',
     '    if (!read_as_module) {',
     '    if (!PyModule_CheckExact(module)) {\n        (void)read_as_module;\n        PyObject* v = PyObject_GetAttr(module, name);\n        if (v == nullptr) {\n            PyErr_Clear();\n        }\n        return v;\n    }\n    if (!read_as_module) {',
     "3.11 abi3@3.12", "test_fork.py -k allocate_nothing"),
    ("the main record gets no names when a sub-interpreter sets the module up", "native_extensions.cpp",
     "(interpreter_state() == nullptr || !give_main_record_names())", "(interpreter_state() == nullptr)",
     "3.12", "test_fork.py -k 'fork_rule and live'"),
    ("another library's module taken for this library's", "native_extensions.cpp",
     "return PyCFunction_Check(value) && PyCFunction_GetFunction(value) == RegisterPreforkCallback;",
     "return PyCFunction_Check(value) != 0;",
     "3.12 abi3@3.13", "test_fork.py -k 'fork_rule and other'"),
    ("only the main interpreter arranges the reset after the runtime ends", "native_extensions.cpp",
     "        module_set_up.store(true, std::memory_order_release);\n        arrange_forgetting();\n",
     "        module_set_up.store(true, std::memory_order_release);\n",
     "3.11 abi3@3.12", "test_interpreters.py -k made_from_c"),
    ("the module inside a package looked up under the fixed name", 'interpreter_state.cpp',
     '"python_fork_handler_called", module_full_name, "__getattr__"}',
     '"python_fork_handler_called", "native_extensions", "__getattr__"}',
     "3.12 abi3@3.13", "test_interpreters.py -k package"),
    ("the watcher takes a stand-in stored under the name", 'native_extensions.cpp',
     ' && is_this_librarys_module(value)) {', ') {',
     "3.13", "test_fork.py -k 'fork_rule and stand'"),
    ("a changed-class module read past its class's attribute", 'capi_full.h',
     '_PyType_Lookup(type, name) == nullptr', 'true', "3.11", "test_fork.py -k warning_counts"),
    ("abi3 reads a changed-class module past its class's attribute", 'capi_limited.h',
     'PyDict_Contains(names, name) == 0;', 'true;', "abi3@3.12", "test_fork.py -k warning_counts"),
    ("abi3 asks a changed-class module's class through getattr", 'capi_limited.h',
     "    mro_attribute.resolve(&PyType_Type);  // the type's own field, whatever the metaclass\n",
     "    return !PyObject_HasAttr(reinterpret_cast<PyObject*>(type), name);\n",
     "abi3@3.12 abi3@3.15", "test_fork.py -k allocate_nothing"),
    ("abi3 leaves a module whose class has a static base to getattr", 'capi_limited.h',
     'keeps = !static_type_names(base_type, utf8);', 'keeps = false;', "abi3@3.14", "test_fork.py -k allocate_nothing"),
    ("a C call of InitNativeExtensions() leaves the watcher waiting", 'native_extensions.cpp',
     '    stop_waiting(true);\n', '',
     "3.13", "test_interpreters.py -k made_from_c"),
]

LEAKS = [  # (name, file, text, replacement, paths of scripts/leakcheck.py: -k TEXT)
    # Every leak is of a mortal object: from 3.12 on, a reference to an immortal one (None, a small
    # int, a built-in type) changes no count, and its leak cannot be seen.
    ("call-through keeps its reference to the hook", "cpython_importhook.cpp",
     "    Py_DECREF(hook);\n    return result;", "    return result;", "arguments_and_result_pass_through_unchanged[keyword]"),
    ("replaced hook never released", "cpython_importhook.cpp", "    Py_XDECREF(replace_hook(state, Py_NewRef(hook)));",
     "    (void)replace_hook(state, Py_NewRef(hook));", "hook_references_are_counted_exactly"),
    ("unlinked entry keeps one reference", 'traceback_walk.cpp',
     '        PyErr_Clear();\n    }\n    Py_XDECREF(entry);\n}',
     '        PyErr_Clear();\n    }\n}', "marked_entries_go_wherever_they_stand[0110-None]"),
    ("walk keeps the last kept entry", 'traceback_walk.cpp',
     '    Py_XDECREF(walk.last_kept);\n', '', "marked_entries_go_wherever_they_stand[1000-None]"),
    ("copy of a shared entry kept twice", 'traceback_walk.cpp',
     'Py_XSETREF(walk.last_kept, copy);', 'Py_XSETREF(walk.last_kept, Py_NewRef(copy));',
     "entries_held_elsewhere_are_left_unchanged[reraised]"),
    ("frame namespace not released", 'traceback_walk.cpp',
     '            found = capi::mapping_holds(names, key);\n            Py_DECREF(names);\n',
     '            found = capi::mapping_holds(names, key);\n', "namespace_frames_of_class_bodies_and_modules[marked_class_body]"),
    ("removal off leaks the hook", "cpython_importhook.cpp",
     "    if (result == nullptr && state->strip_tracebackhide_frames",
     "    if (result == nullptr && !state->strip_tracebackhide_frames.load()) {\n        Py_INCREF(hook);\n    }\n"
     "    if (result == nullptr && state->strip_tracebackhide_frames", "marked_entries_go_wherever_they_stand[0000-None]"),
    ("previous module never released", 'native_extensions.cpp', '    Py_XDECREF(previous);\n}',
     '    (void)previous;\n}', "module_made_by_c_replaces_module"),
    ("a sub-interpreter's hook outlives it", 'interpreter_state.cpp',
     'PyObject* owned[] = {state->import_hook, ', 'PyObject* owned[] = {', "subinterpreter"),
    ("fork handler keeps the attribute value", "atfork.cpp",
     "        Py_DECREF(handled);\n", "", "fork_warns_unless_handled[os.fork-attribute-2**70]"),
    ("fork handler keeps the module", "atfork.cpp",
     "    Py_XDECREF(module);\n    if (handled", "    if (handled", "fork_warns_unless_handled[os.fork-attribute-absent]"),
    # Behaviour, not references: the paths' own checks must notice.
    ("hidden entries kept", 'traceback_walk.cpp',
     'int hidden = frame_is_hidden(', 'int hidden = 0 && frame_is_hidden(', "marked_entries_go_wherever_they_stand[1111-None]"),
    ("shared entries relinked in place", 'traceback_walk.cpp',
     'if (!walk.shared && !hidden && Py_REFCNT(current) > 2 + held_as_checkpoint) {', 'if (false) {', "entries_held_elsewhere_are_left_unchanged[reraised_hidden_in_the_middle]"),
    ("fork warning never printed", "atfork.cpp", "if (value != 1) {", "if (value == -2) {",
     "fork_warns_unless_handled[os.fork-attribute-0]"),
]


class Stale(Exception):
    """The fault's text does not occur exactly once in its file."""


def copy_sources(dest):
    """Copies src/ and CMakeLists.txt into `dest`; returns the copy's src directory."""
    shutil.copytree(os.path.join(ROOT, "src"), os.path.join(dest, "src"))
    shutil.copy(os.path.join(ROOT, "CMakeLists.txt"), dest)
    return os.path.join(dest, "src")


@contextlib.contextmanager
def planted(src, filename, text, replacement):
    """Replaces `text` by `replacement` in `src`/`filename` for the duration; raises Stale (and
    changes nothing) unless `text` occurs exactly once."""
    path = os.path.join(src, filename)
    with open(path) as f:
        original = f.read()
    if original.count(text) != 1:
        raise Stale("text found %d times in %s" % (original.count(text), filename))
    try:
        with open(path, "w") as f:
            f.write(original.replace(text, replacement))
        yield
    finally:
        with open(path, "w") as f:
            f.write(original)


def ensure_venv(interpreter):
    """The interpreter's virtual environment with pytest and hypothesis (made once, then kept)."""
    venv = os.path.join(WORK, "venv-" + interpreter.label.replace("-nogil", ""))
    if not os.path.exists(os.path.join(venv, "ready")):
        shutil.rmtree(venv, ignore_errors=True)
        interpreter.run(interpreter.path, "-m", "venv", venv, check=True)
        proc = interpreter.run(venv + "/bin/python", "-m", "pip", "install", "-q", "--prefer-binary", "pytest>=7",
                               "hypothesis>=6", capture_output=True, text=True)
        if proc.returncode:
            raise RuntimeError("%s: installing pytest failed:\n%s" % (interpreter.label, proc.stdout + proc.stderr))
        open(os.path.join(venv, "ready"), "w").close()
    return venv + "/bin/python"


class Row:
    """A row: the interpreter that compiles the module, the flavour, the interpreter that runs it."""

    def __init__(self, label):
        flavour, _, runner = label.rpartition("@")
        self.label, self.abi3 = label, flavour == "abi3"
        self.runner = locate(runner)
        self.builder = locate("3.12") if self.abi3 else self.runner
        if flavour not in ("", "abi3") or None in (self.runner, self.builder):
            raise LookupError("no interpreter for " + label)
        self.key = ("abi3-" if self.abi3 else "") + self.builder.label.replace("-nogil", "")


def build(row, src, out):
    proc = compile_module(row.builder, src, out, "-O1", abi3=row.abi3)
    if proc.returncode:
        raise RuntimeError("build for %s failed:\n%s" % (row.label, (proc.stdout + proc.stderr)[-3000:]))


def run_check(row, module_dir, selection, leaks):
    """The leak check's selected paths, or the selected tests, against the module in `module_dir`:
    a result for the table ("passes", "caught ...", "MISSED" or "ERROR ...") and the output."""
    run = os.path.join(WORK, "run")  # empty: only PYTHONPATH provides the module
    os.makedirs(run, exist_ok=True)
    if leaks:
        argv = [row.runner.path, LEAKCHECK, "-k", selection]
    else:
        argv = [ensure_venv(row.runner), "-m", "pytest", "-p", "no:cacheprovider", "-q", "-x",
                *(os.path.join(TESTS, a) if ".py" in a else a for a in shlex.split(selection))]
    try:
        proc = row.runner.run(*argv, cwd=run, env={"PYTHONPATH": module_dir}, capture_output=True, text=True,
                              timeout=TIMEOUT)
    except subprocess.TimeoutExpired as expired:
        return "caught (timed out after %ds)" % TIMEOUT, expired.stdout or ""
    output, status = proc.stdout + proc.stderr, proc.returncode
    if status < 0:
        return "caught (died of signal %d)" % -status, output
    if status == 1 and leaks:
        found = [line for line in output.splitlines() if line.startswith(("LEAK", "FAIL"))]
        return ("caught (%s)" % found[0][:80] if found else "ERROR (exit 1, no failing path)"), output
    return {0: "passes", 1: "caught"}.get(status, "ERROR (exit %d)" % status), output


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-k", default="")
    parser.add_argument("--rows")
    parser.add_argument("--whole", action="store_true")
    parser.add_argument("--list", action="store_true")
    options = parser.parse_args()
    # (name, file, text, replacement, rows, selection, a leak-check fault)
    plan = [(*f[:4], (options.rows or f[4]).split(), TESTS if options.whole else f[5], False)
            for f in FAULTS if options.k in f[0]]
    plan += [(*f[:4], DEBUG_ROWS, f[4], True) for f in LEAKS if options.k in f[0]]
    if options.list:
        for name, filename, _, _, labels, selection, _ in plan:
            print("%-62s %-18s %s: %s" % (name, " ".join(labels), filename, selection))
        return 0
    started, table, rows = time.perf_counter(), [], {}
    for label in dict.fromkeys(label for fault in plan for label in fault[4]):
        try:
            rows[label] = Row(label)
        except LookupError as missing:
            table.append(("(every fault)", label, "ERROR (%s)" % missing))
    shutil.rmtree(WORK + "/copy", ignore_errors=True)
    src = copy_sources(WORK + "/copy")

    # The unplanted module first (fault None), then each fault: built for each of its rows while
    # planted, then checked on them.
    unplanted = sorted({(label, selection, leaks) for *_, labels, selection, leaks in plan for label in labels})
    for fault in [None] + plan:
        name, filename, text, replacement, labels, selection, leaks = fault or ("(unplanted module)",) + (None,) * 6
        todo = [(rows[label], selection, leaks) for label in labels if label in rows] if fault else [
            (rows[label], selection, leaks) for label, selection, leaks in unplanted if label in rows]
        builds = {row.key: os.path.join(WORK, "build", row.key) for row, _, _ in todo}
        try:
            with planted(src, filename, text, replacement) if fault else contextlib.nullcontext():
                for key in builds:
                    build(next(row for row, _, _ in todo if row.key == key), src, builds[key])
        except (Stale, RuntimeError) as error:
            table.append((name, "-", "STALE (%s)" % error if isinstance(error, Stale) else "ERROR (does not build)"))
            print(error)
            continue
        for row, selection, leaks in todo:
            result, output = run_check(row, builds[row.key], selection, leaks)
            if fault is None and result == "passes":
                continue
            if fault is None:
                result = "FAILS (%s): %s" % (result, selection)
            elif result == "passes":
                result = "MISSED"
            table.append((name, row.label, result))
            if not result.startswith("caught"):
                print("== %s on %s: %s\n%s" % (name, row.label, result, output[-3000:]))
        shutil.rmtree(WORK + "/build", ignore_errors=True)

    print("\n%-62s %-12s %s" % ("fault", "row", "result"))
    for name, label, result in table:
        print("%-62s %-12s %s" % (name[:62], label, result))
    caught = sum(result.startswith("caught") for _, _, result in table)
    runs = sum(len(fault[4]) for fault in plan)
    print("mutants: %d faults, %d of %d fault-row runs caught, %.0fs" % (
        len(plan), caught, runs, time.perf_counter() - started))
    return 0 if caught == runs == len(table) else 1


if __name__ == "__main__":
    sys.exit(main())
