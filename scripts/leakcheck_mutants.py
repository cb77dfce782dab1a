#!/usr/bin/env python3
"""Shows that scripts/leakcheck.py catches mistakes: builds the module once per mutant, each with
one planted reference-counting (or behaviour) mistake, and requires the leak check to fail on
every one. Run on the debug interpreter (`nox -s mutants` does so):

    python3.11-dbg scripts/leakcheck_mutants.py

A mutant is one exact text replacement in a copy of src/; one whose text no longer occurs exactly
once is reported as stale and fails the run, so that the mutants follow the sources.
"""

import glob
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

from _mutants import ROOT, Stale, copy_sources, planted

LEAKCHECK = os.path.join(ROOT, "scripts", "leakcheck.py")

MUTANTS = [  # (name, file, text, replacement, leakcheck -k filter)
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


def build(src, out):
    """Builds the module from the sources in `src` into `out`, as the leaks session does: the
    interpreter's include directory given with -I, not -isystem. The CMake tree is configured on
    the first call and rebuilt incrementally after."""
    quiet = {"check": True, "stdout": subprocess.DEVNULL}
    if shutil.which("cmake"):
        tree = os.path.join(out, "cmake")
        if not os.path.isdir(tree):
            subprocess.run(["cmake", "-S", os.path.dirname(src), "-B", tree, "-DCMAKE_BUILD_TYPE=Debug",
                            "-DPython_EXECUTABLE=" + sys.executable, "-DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON",
                            "-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=" + out], **quiet)
        subprocess.run(["cmake", "--build", tree], **quiet)
    else:
        target = os.path.join(out, "native_extensions" + sysconfig.get_config_var("EXT_SUFFIX"))
        subprocess.run(["g++", "-std=c++17", "-shared", "-fPIC", "-g", "-fvisibility=hidden", "-fno-exceptions",
                        "-fno-rtti", "-I" + sysconfig.get_paths()["include"], *glob.glob(src + "/*.cpp"),
                        "-o", target], **quiet)


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("leakcheck_mutants: run on a debug interpreter (python3.11-dbg)")
    started = time.perf_counter()
    caught = stale = 0
    with tempfile.TemporaryDirectory(prefix="leakcheck-mutants-") as tmp:
        src = copy_sources(os.path.join(tmp, "copy"))
        for name, filename, text, replacement, select in MUTANTS:
            try:
                with planted(src, filename, text, replacement):
                    build(src, tmp)
                    proc = subprocess.run([sys.executable, LEAKCHECK, "-k", select], cwd=tmp, text=True,
                                          env=dict(os.environ, PYTHONPATH=tmp), stdout=subprocess.PIPE,
                                          stderr=subprocess.STDOUT, timeout=300)
            except Stale as stale_text:
                print("STALE  %s: %s" % (name, stale_text))
                stale += 1
                continue
            found = [line for line in proc.stdout.splitlines() if line.startswith(("LEAK", "FAIL"))]
            if proc.returncode and found:
                caught += 1
                print("caught %s: %s" % (name, found[0][:150]))
            else:
                print("MISSED %s (exit %d)\n%s" % (name, proc.returncode, proc.stdout))
    print("leakcheck_mutants: %d of %d mutants caught, %d stale, %.1fs" % (
        caught, len(MUTANTS), stale, time.perf_counter() - started))
    return 0 if caught == len(MUTANTS) else 1


if __name__ == "__main__":
    sys.exit(main())
