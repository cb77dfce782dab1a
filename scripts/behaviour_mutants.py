#!/usr/bin/env python3
"""Shows that the test suite catches each broken promise of README: for each fault of FAULTS (one
exact text replacement in a copy of src/), builds the module with it for each row where that
promise is at risk, runs the tests the fault concerns, and requires them to fail, after the
unplanted module has passed them. Prints a table (fault, row, result); exits non-zero if a fault
is missed or stale (its text no longer occurs exactly once).

    python3 scripts/behaviour_mutants.py [-k TEXT] [--rows "3.12 abi3@3.13"] [--whole] [--tests DIR] [--list]

-k selects faults by name; --rows runs each on these rows instead of its own; --whole runs the
whole suite, not its selection; --tests takes another test directory (an older suite's); --list
prints the plan. Rows are those of scripts/rows.py, and "abi3@ROW": the stable-ABI module
(Py_LIMITED_API 3.12, by CPython 3.12's headers) run on ROW's interpreter. The module is compiled
straight with g++ (no warnings asked for: a fault may leave a variable unused) under
$NATIVE_EXTENSIONS_BUILD_DIR/behaviour-mutants and imported through PYTHONPATH by a kept
environment per interpreter that holds pytest and hypothesis only.
"""

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import time

from _mutants import ROOT, Stale, copy_sources, planted
from rows import BUILD_ROOT, compile_module, locate

TESTS = os.path.join(ROOT, "tests")  # --tests replaces it

HOOK = "cpython_importhook.cpp"

# (name, file, text, replacement, rows, pytest selection: test files of tests/ and options)
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
    ("a C call of InitNativeExtensions() leaves the watcher waiting", 'native_extensions.cpp',
     '    stop_waiting(true);\n', '',
     "3.13", "test_interpreters.py -k made_from_c"),
]

PYTEST_TIMEOUT = 600
WORK = os.path.join(BUILD_ROOT, "behaviour-mutants")


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

    def __init__(self, label, interpreters):
        flavour, _, runner = label.rpartition("@")
        if flavour not in ("", "abi3"):
            raise LookupError("unknown flavour in " + label)
        self.label, self.abi3 = label, flavour == "abi3"
        self.runner = interpreters(runner)
        self.builder = interpreters("3.12") if self.abi3 else self.runner
        self.key = ("abi3-" if self.abi3 else "") + self.builder.label.replace("-nogil", "")


def build(row, src, out):
    """Compiles the module from `src` into `out` for the row's compiling interpreter and flavour."""
    proc = compile_module(row.builder, src, out, "-O1", abi3=row.abi3)
    if proc.returncode:
        raise RuntimeError("build for %s failed:\n%s" % (row.label, (proc.stdout + proc.stderr)[-3000:]))


def run_tests(row, module_dir, selection):
    """Runs the selected tests against the module in `module_dir`: pytest's exit status (negative
    for a signal, None on a timeout) and its output."""
    python = ensure_venv(row.runner)
    run = os.path.join(WORK, "run")  # empty: only PYTHONPATH provides the module
    os.makedirs(run, exist_ok=True)
    args = [os.path.join(TESTS, a) if a.endswith(".py") or ".py::" in a else a for a in shlex.split(selection)]
    if row.runner.kind == "sid" and not TESTS.startswith(ROOT + "/") and not TESTS.startswith(WORK + "/"):
        raise RuntimeError("%s: the chroot sees only the checkout and the scratch directory" % TESTS)
    try:
        proc = row.runner.run(python, "-m", "pytest", "-p", "no:cacheprovider", "-q", "-x", *args, cwd=run,
                              env={"PYTHONPATH": module_dir}, capture_output=True, text=True, timeout=PYTEST_TIMEOUT)
    except subprocess.TimeoutExpired as expired:
        return None, expired.stdout or ""
    return proc.returncode, proc.stdout + proc.stderr


def verdict(status):
    if status is None:
        return "caught (timed out after %ds)" % PYTEST_TIMEOUT
    if status < 0:
        return "caught (pytest died of signal %d)" % -status
    return {0: "MISSED", 1: "caught"}.get(status, "ERROR (pytest exit %d)" % status)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-k", default="")
    parser.add_argument("--rows")
    parser.add_argument("--whole", action="store_true")
    parser.add_argument("--tests")
    parser.add_argument("--list", action="store_true")
    options = parser.parse_args()
    global TESTS
    TESTS = os.path.realpath(options.tests or TESTS)
    faults = [f[:5] + ((TESTS,) if options.whole else f[5:]) for f in FAULTS if options.k in f[0]]
    plan = [(fault, (options.rows or fault[4]).split()) for fault in faults]
    if options.list:
        for (name, filename, _, _, _, selection), rows in plan:
            print("%-62s %-18s %s: %s" % (name, " ".join(rows), filename, selection))
        return 0
    started = time.perf_counter()
    interpreters, rows = {}, {}

    def interpreter(label):
        if label not in interpreters:
            interpreters[label] = locate(label)
            if interpreters[label] is None:
                raise LookupError("no interpreter for %s" % label)
        return interpreters[label]

    table, failed = [], False
    for _, labels in plan:
        for label in labels:
            if label not in rows:
                try:
                    rows[label] = Row(label, interpreter)
                except LookupError as missing:
                    rows[label] = None
                    table.append(("(every fault)", label, "ERROR (%s)" % missing))
                    failed = True
    shutil.rmtree(os.path.join(WORK, "copy"), ignore_errors=True)
    src = copy_sources(os.path.join(WORK, "copy"))

    # The unplanted module must pass every selection it is asked on.
    baseline = {}
    for fault, labels in plan:
        for label in labels:
            if rows[label] is not None:
                baseline.setdefault(label, []).append(fault[5])
    unplanted = {}
    for label, selections in baseline.items():
        row = rows[label]
        if row.key not in unplanted:
            unplanted[row.key] = os.path.join(WORK, "build", row.key, "unplanted")
            build(row, src, unplanted[row.key])
        for selection in dict.fromkeys(selections):
            out = unplanted[row.key]
            status, output = run_tests(row, out, selection)
            if status != 0:
                failed = True
                table.append(("(unplanted module) " + selection, label, "FAILS (pytest exit %s)" % status))
                print(output[-3000:])
    for path in unplanted.values():
        shutil.rmtree(path, ignore_errors=True)

    caught = 0
    for number, ((name, filename, text, replacement, _, selection), labels) in enumerate(plan, 1):
        todo = [rows[label] for label in labels if rows[label] is not None]
        builds = {}
        try:
            with planted(src, filename, text, replacement):
                for row in todo:
                    if row.key not in builds:
                        builds[row.key] = os.path.join(WORK, "build", row.key, "fault-%d" % number)
                        build(row, src, builds[row.key])
        except Stale as stale:
            table.append((name, "-", "STALE (%s)" % stale))
            failed = True
            continue
        except RuntimeError as error:
            table.append((name, "-", "ERROR (does not build)"))
            print(error)
            failed = True
            continue
        for row in todo:
            status, output = run_tests(row, builds[row.key], selection)
            result = verdict(status)
            table.append((name, row.label, result))
            if result.startswith("caught"):
                caught += 1
            else:
                failed = True
                print("== %s on %s: %s\n%s" % (name, row.label, result, output[-3000:]))
        for path in builds.values():
            shutil.rmtree(path, ignore_errors=True)

    print("\n%-62s %-12s %s" % ("fault", "row", "result"))
    for name, label, result in table:
        print("%-62s %-12s %s" % (name[:62], label, result))
    runs = sum(len(labels) for _, labels in plan)
    print("behaviour_mutants: %d faults, %d of %d fault-row runs caught, %.0fs" % (
        len(plan), caught, runs, time.perf_counter() - started))
    return 1 if failed or caught != runs else 0


if __name__ == "__main__":
    sys.exit(main())
