"""Benchmark of native_extensions' hook call-through and hidden-frame removal.

    python bench/bench.py             # real figures: a few minutes on two cores
    python bench/bench.py --fast      # smoke run (seconds): checks that everything works
    python bench/bench.py -o out.json # also keep every value as a pyperf JSON suite
    python bench/bench.py --abi3 DIR/native_extensions.abi3.so   # adds the stable-ABI flavour

Measures, in one run, the success path of CallImportHookRemovingFrames against a direct call of
the hook, a plain-Python wrapper and a bare C call-through of the same calling convention (built
from baseline.c at run time), and the failure path of a hook that descends 10 to 10,000 frames
(none, one in ten, half or all of them marked hidden) with removal on, with removal off, and with
a plain-Python removal. It prints a table of medians and ratios and a PASS/FAIL line per target.
Targets are checked for information only: the exit status is non-zero only when the benchmark
itself is broken (a variant that does not compute what it should, a worker that fails).

How pyperf is used, and why not its Runner: the Runner measures one benchmark at a time, each in
its own series of worker processes, so two variants whose ratio matters would be measured tens of
seconds apart, and on a shared machine the load changes on that time scale. Here every worker
process (a fresh interpreter, as with the Runner) measures all the variants of one comparison
group, alternating between them value by value, and the groups themselves alternate process by
process. The values are stored as pyperf runs and benchmarks, so pyperf's statistics give the
medians and `-o` writes a suite that `python -m pyperf stats|hist|compare_to` read. Ratios and
per-entry costs are medians over the pairs of values measured side by side, which cancels most of
the drift of a shared machine. The cyclic garbage collector stays on, as in real use.

With --abi3, the stable-ABI build of the module (a file of the cp312-abi3 wheel) is loaded beside
the imported one in every worker and measured in the same groups: its success path against the
same bare C call-through, and its failing calls with removal on and off.

The plain-Python removal relinks with `tb.tb_next = ...`, whose setter walks the rest of the chain
to refuse loops: its cost per removed entry grows with the depth, which the deep rows show.
"""

import argparse
import importlib.machinery
import importlib.util
import json
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

MARKER = "__quenvar__tracebackhide__"
DEPTHS = (10, 100, 1000, 10000)
# Which frames of the hook's descent are marked: frame i (0 is the one that raises).
SHAPES = {
    "none": lambda i: False,
    "tenth": lambda i: i % 10 == 0,
    "half": lambda i: i % 2 == 0,
    "all": lambda i: True,
}
SHAPE_LABELS = {"none": "none", "tenth": "1 in 10", "half": "half", "all": "all"}
# Success-path calls are repeated this many times in the loop body, so that the loop itself
# weighs little in the time per call.
UNROLL = 10
SUCCESS_VARIANTS = ("direct", "wrapper", "bare C", "module")
FAILURE_VARIANTS = ("off", "on", "python")

clock = time.perf_counter


# --- success path -------------------------------------------------------------------------------

def hook(a, b, c=None):
    return a


def wrapper(*args, **kwargs):
    """What a user would write in Python instead of the call-through."""
    try:
        return hook(*args, **kwargs)
    except:  # noqa: E722 - the wrapper under comparison catches everything and re-raises
        raise


def make_call_timer(func, keyword):
    call = "f(1, 2, c=3)" if keyword else "f(1, 2)"
    source = (
        "def timer(loops, f, clock):\n"
        "    it = range(loops)\n"
        "    t0 = clock()\n"
        "    for _ in it:\n" + f"        {call}\n" * UNROLL + "    return clock() - t0\n"
    )
    namespace = {}
    exec(source, namespace)
    timer = namespace["timer"]
    return lambda loops: timer(loops, func, clock)


def success_group(keyword, ne, baseline, abi3):
    ne.SetImportHook(hook)
    baseline.set_hook(hook)
    funcs = {
        "direct": hook,
        "wrapper": wrapper,
        "bare C": baseline.call,
        "module": ne.CallImportHookRemovingFrames,
    }
    if abi3 is not None:
        abi3.SetImportHook(hook)
        funcs["abi3"] = abi3.CallImportHookRemovingFrames
    for name, func in funcs.items():
        result = func(1, 2, c=3) if keyword else func(1, 2)
        if result != 1:
            raise AssertionError(f"{name}: returned {result!r}")
    return [(name, make_call_timer(func, keyword), UNROLL) for name, func in funcs.items()]


# --- failure path -------------------------------------------------------------------------------
# The hook is frames[depth - 1], called with (frames, depth - 1); each frame calls the next one
# down until frame 0 raises, so the exception collects exactly `depth` entries inside the hook.

def plain(frames, i):
    if i == 0:
        raise LookupError
    return frames[i - 1](frames, i - 1)


def marked(frames, i):
    __quenvar__tracebackhide__ = True  # noqa: F841 - the marker itself
    if i == 0:
        raise LookupError
    return frames[i - 1](frames, i - 1)


def python_removal(exc):
    """The plain-Python removal: walks the chain after the catching frame's own entry and
    unlinks every entry whose frame holds the marker."""
    kept = exc.__traceback__
    tb = kept.tb_next
    while tb is not None:
        following = tb.tb_next
        if MARKER in tb.tb_frame.f_locals:
            kept.tb_next = following
        else:
            kept = tb
        tb = following


def make_failure_timer(ne, remove, use_python, frames, start):
    call = ne.CallImportHookRemovingFrames
    set_removal = ne.SetRemoveImportHookFrames

    if use_python:
        def timer(loops):
            set_removal(remove)
            t0 = clock()
            for _ in range(loops):
                try:
                    call(frames, start)
                except LookupError as exc:
                    python_removal(exc)
            return clock() - t0
    else:
        def timer(loops):
            set_removal(remove)
            t0 = clock()
            for _ in range(loops):
                try:
                    call(frames, start)
                except LookupError as exc:  # noqa: F841 - same handler shape as above
                    pass
            return clock() - t0
    return timer


def entries_left(ne, remove, use_python, frames, start):
    """The code names of the entries the hook's exception keeps, after the catching frame's."""
    ne.SetRemoveImportHookFrames(remove)
    try:
        ne.CallImportHookRemovingFrames(frames, start)
    except LookupError as exc:
        if use_python:
            python_removal(exc)
        tb = exc.__traceback__.tb_next
        names = []
        while tb is not None:
            names.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        return names
    raise AssertionError("the hook did not raise")


def failure_group(depth, shape, ne, abi3):
    frames = [marked if SHAPES[shape](i) else plain for i in range(depth)]
    hidden = sum(f is marked for f in frames)
    start = depth - 1
    variants = {"off": (ne, False, False), "on": (ne, True, False), "python": (ne, False, True)}
    if abi3 is not None:
        variants.update({"abi3 off": (abi3, False, False), "abi3 on": (abi3, True, False)})
    for name, (module, remove, use_python) in variants.items():
        module.SetImportHook(frames[start])
        names = entries_left(module, remove, use_python, frames, start)
        expected = depth if name.endswith("off") else depth - hidden
        if len(names) != expected or (not name.endswith("off") and set(names) - {"plain"}):
            raise AssertionError(f"depth {depth}, {shape}, {name}: {len(names)} entries left, expected {expected}")
    return [(name, make_failure_timer(module, remove, use_python, frames, start), 1)
            for name, (module, remove, use_python) in variants.items()]


# --- worker -------------------------------------------------------------------------------------

def load_extension(name, path):
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    saved = sys.modules.get(name)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    if saved is not None:  # a second file of an imported module: the imported one stays
        sys.modules[name] = saved
    return module


def load_baseline(path):
    module = load_extension("bench_baseline", path)
    # On a free-threaded build both modules leave the GIL off, or the figures are not of that build.
    if sysconfig.get_config_var("Py_GIL_DISABLED") and sys._is_gil_enabled():
        sys.exit("bench: the GIL was turned on")
    return module


def calibrate(timer, min_time):
    loops = 1
    while timer(loops) < min_time:
        loops *= 2
    return loops


def run_worker(args):
    import native_extensions as ne

    abi3 = load_extension("native_extensions", args.abi3) if args.abi3 else None
    if abi3 is not None and (abi3 is ne or abi3.__file__ == ne.__file__):
        raise SystemExit("bench: --abi3 names the imported module itself")
    sys.setrecursionlimit(max(sys.getrecursionlimit(), max(DEPTHS) + 1000))
    kind, _, rest = args.worker.partition(":")
    if kind == "success":
        variants = success_group(rest == "kw", ne, load_baseline(args.baseline), abi3)
    else:
        depth, shape = rest.split("/")
        variants = failure_group(int(depth), shape, ne, abi3)

    loops = {name: calibrate(timer, args.min_time) for name, timer, _ in variants}
    results = {name: {"loops": loops[name], "inner_loops": inner, "warmups": [], "values": []}
               for name, _, inner in variants}
    # The variants take turns value by value, in an order that rotates every round so that none
    # always follows the same neighbour: the values of one round are measured within a few
    # milliseconds of each other and see the same load.
    for round_ in range(args.warmups + args.values):
        shift = round_ % len(variants)
        for name, timer, inner in variants[shift:] + variants[:shift]:
            value = timer(loops[name]) / (loops[name] * inner)
            entry = results[name]
            if round_ < args.warmups:
                entry["warmups"].append((loops[name], value))
            else:
                entry["values"].append(value)
    for module in (ne, abi3):
        if module is not None:
            module.SetRemoveImportHookFrames(True)
    json.dump(results, sys.stdout)


# --- main process -------------------------------------------------------------------------------

def compile_baseline(directory):
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "baseline.c")
    target = os.path.join(directory, "bench_baseline" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = shlex.split(os.environ.get("CC", "")) or [shutil.which("cc") or "gcc"]
    paths = sysconfig.get_paths()
    includes = sorted({paths["include"], paths["platinclude"]})
    command = [*compiler, "-O3", "-DNDEBUG", "-fPIC", "-shared",
               *(f"-I{d}" for d in includes), source, "-o", target]
    subprocess.run(command, check=True)
    return target


def group_names():
    groups = ["success:kw", "success:nokw"]
    groups += [f"failure:{depth}/{shape}" for depth in DEPTHS for shape in SHAPES]
    return groups


def variant_name(group, variant):
    return f"{group} {variant}"


def run_workers(args, baseline):
    import pyperf

    env = dict(os.environ)
    env.pop("PYTHONVERBOSE", None)  # a verbose interpreter never removes frames
    groups = group_names()
    runs = {}
    for process in range(args.processes):
        # Alternate the groups process by process too, starting each round elsewhere.
        shift = process % len(groups)
        for group in groups[shift:] + groups[:shift]:
            command = [sys.executable, os.path.abspath(__file__), "--worker", group,
                       "--baseline", baseline, "--values", str(args.values),
                       "--warmups", str(args.warmups), "--min-time", str(args.min_time)]
            if args.abi3:
                command += ["--abi3", os.path.abspath(args.abi3)]
            out = subprocess.run(command, check=True, stdout=subprocess.PIPE, env=env, text=True).stdout
            for variant, data in json.loads(out).items():
                metadata = {"name": variant_name(group, variant), "loops": data["loops"],
                            "inner_loops": data["inner_loops"], "unit": "second"}
                run = pyperf.Run(data["values"], warmups=[tuple(w) for w in data["warmups"]],
                                 metadata=metadata, collect_metadata=False)
                runs.setdefault(metadata["name"], []).append(run)
            print(".", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    return {name: pyperf.Benchmark(group_runs) for name, group_runs in runs.items()}


def fmt_time(seconds):
    if abs(seconds) < 1e-6:
        return f"{seconds * 1e9:.1f} ns"
    if abs(seconds) < 1e-3:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e3:.2f} ms"


def report(benchmarks, args, system):
    def bench(group, variant):
        return benchmarks[variant_name(group, variant)]

    def median(group, variant):
        return bench(group, variant).median()

    def spread(group, variant):
        b = bench(group, variant)
        return b.median_abs_dev() / b.median() if b.get_nvalue() > 1 else 0.0

    def paired(group, a, b, combine):
        """Median of combine(value of a, value of b) over the values measured side by side."""
        pairs = [combine(x, y)
                 for run_a, run_b in zip(bench(group, a).get_runs(), bench(group, b).get_runs())
                 for x, y in zip(run_a.values, run_b.values)]
        return statistics.median(pairs)

    def ratio(group, a, b):
        return paired(group, a, b, lambda x, y: x / y)

    def difference(group, a, b):
        return paired(group, a, b, lambda x, y: x - y)

    build = " free-threaded (GIL off)" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    print(f"CPython {platform.python_version()}{build} on {system.get('cpu_model_name', platform.machine())}"
          f" ({system.get('cpu_count', os.cpu_count())} CPUs, load average "
          f"{os.getloadavg()[0]:.1f}), {args.processes} processes x {args.values} values per variant"
          f"{' (--fast: rough figures)' if args.fast else ''}")
    import native_extensions

    print(f"Module: {native_extensions.__file__}")
    print("Times: median per call, +-% the median absolute deviation. Ratios and differences: median"
          " over the\npairs of values measured side by side.\n")

    print("Success path: hook(a, b, c=None) returning a")
    print(f"  {'variant':<34}{'f(1, 2, c=3)':>20}{'f(1, 2)':>20}")
    labels = {"direct": "direct call hook(...)", "wrapper": "plain-Python wrapper",
              "bare C": "bare C call-through (baseline.c)", "module": "CallImportHookRemovingFrames"}
    for variant in SUCCESS_VARIANTS:
        cells = "".join(f"{fmt_time(median(g, variant)):>12} +-{spread(g, variant) * 100:3.0f}%"
                        for g in ("success:kw", "success:nokw"))
        print(f"  {labels[variant]:<34}{cells}")
    ratios = {}
    for other in ("bare C", "wrapper", "direct"):
        cells = ""
        for g in ("success:kw", "success:nokw"):
            ratios[g, other] = ratio(g, "module", other)
            cells += f"{ratios[g, other]:>19.2f}x"
        print(f"  {'module / ' + other:<34}{cells}")

    print("\nFailure path: the hook descends `depth` frames and raises LookupError")
    print(f"  {'depth':>6} {'marked':>7} {'off':>11} {'on':>11} {'python':>11} {'on/off':>7} "
          f"{'py/off':>7} {'off/entry':>10} {'rm/entry':>10} {'py rm/entry':>12} {'rm/py':>6}")
    per_entry, on_off = {}, {}
    for depth in DEPTHS:
        for shape in SHAPES:
            g = f"failure:{depth}/{shape}"
            off, on, py = (median(g, v) for v in FAILURE_VARIANTS)
            removal = difference(g, "on", "off") / depth
            py_removal = difference(g, "python", "off") / depth
            per_entry[depth, shape] = (removal, py_removal)
            on_off[depth, shape] = ratio(g, "on", "off")
            print(f"  {depth:>6} {SHAPE_LABELS[shape]:>7} {fmt_time(off):>11} {fmt_time(on):>11} "
                  f"{fmt_time(py):>11} {on_off[depth, shape]:>6.2f}x {ratio(g, 'python', 'off'):>6.2f}x "
                  f"{fmt_time(off / depth):>10} {fmt_time(removal):>10} {fmt_time(py_removal):>12} "
                  f"{removal / py_removal:>6.3f}")
    print("  off/entry: the failing call with removal off, per entry; rm/entry: (on - off) / depth, the "
          "module's\n  removal per entry; py rm/entry: (python - off) / depth, the plain-Python removal "
          "per entry;\n  rm/py: their ratio.")
    abi3_rows = {}
    if args.abi3:
        print(f"\nStable-ABI build (--abi3 {args.abi3}), measured in the same groups")
        cells = "".join(f"{fmt_time(median(g, 'abi3')):>12} +-{spread(g, 'abi3') * 100:3.0f}%"
                        for g in ("success:kw", "success:nokw"))
        print(f"  {'success: abi3 CallImportHook...':<34}{cells}")
        for other in ("bare C", "module", "wrapper"):
            cells = ""
            for g in ("success:kw", "success:nokw"):
                ratios[g, "abi3", other] = ratio(g, "abi3", other)
                cells += f"{ratios[g, 'abi3', other]:>19.2f}x"
            print(f"  {'abi3 / ' + other:<34}{cells}")
        print(f"  {'depth':>6} {'marked':>7} {'abi3 off':>11} {'abi3 on':>11} {'on/off':>7} {'rm/entry':>10} "
              f"{'py rm/entry':>12} {'rm/py':>6} {'abi3 off/off':>13}")
        for depth in DEPTHS:
            for shape in SHAPES:
                g = f"failure:{depth}/{shape}"
                removal = difference(g, "abi3 on", "abi3 off") / depth
                py_removal = per_entry[depth, shape][1]
                abi3_rows[depth, shape] = (ratio(g, "abi3 on", "abi3 off"), removal, py_removal)
                print(f"  {depth:>6} {SHAPE_LABELS[shape]:>7} {fmt_time(median(g, 'abi3 off')):>11} "
                      f"{fmt_time(median(g, 'abi3 on')):>11} {abi3_rows[depth, shape][0]:>6.2f}x "
                      f"{fmt_time(removal):>10} {fmt_time(py_removal):>12} {removal / py_removal:>6.3f} "
                      f"{ratio(g, 'abi3 off', 'off'):>12.2f}x")
        print("  rm/entry: (abi3 on - abi3 off) / depth; py rm/entry: the plain-Python removal's, as above;\n"
              "  abi3 off/off: the failing call with removal off, abi3 against the imported module.")
    worst = max(spread(g, v) for g in group_names()
                for v in (SUCCESS_VARIANTS if g.startswith("success") else FAILURE_VARIANTS))
    print(f"  Largest relative median absolute deviation of any variant: {worst * 100:.1f}%")

    def per_entry_text(depth, shape):
        return f"{fmt_time(per_entry[depth, shape][0])} per entry at depth {depth}"

    # (text, measured, limit, detail)
    checks = [
        ("success, keyword: module <= 1.10x bare C call-through", ratios["success:kw", "bare C"], 1.10, ""),
        ("success, keyword: module <= 0.80x plain-Python wrapper", ratios["success:kw", "wrapper"], 0.80, ""),
    ]
    checks += [(f"failure, 1 in 10 marked, depth {d}: on <= 1.10x off", on_off[d, "tenth"], 1.10, "")
               for d in (10, 100, 1000)]
    checks.append(("failure, half marked, depth 100: on <= 1.30x off", on_off[100, "half"], 1.30, ""))
    checks += [(f"1 in 10 marked, depth {d}: removal per entry <= 0.10x plain-Python removal's",
                per_entry[d, "tenth"][0] / per_entry[d, "tenth"][1], 0.10,
                f"{fmt_time(per_entry[d, 'tenth'][0])} vs {fmt_time(per_entry[d, 'tenth'][1])}")
               for d in DEPTHS]
    # A removal too cheap to tell from noise gives a per-entry cost near zero, of either sign:
    # that is no growth at all, and passes.
    checks += [(f"{SHAPE_LABELS[s]} marked: removal per entry at depth 10000 <= 1.5x at depth 100",
                per_entry[10000, s][0] / per_entry[100, s][0], 1.5,
                f"{per_entry_text(100, s)}, {per_entry_text(10000, s)}")
               for s in ("tenth", "all")]
    if args.abi3:
        checks.append(("abi3, success, keyword: <= 1.10x bare C call-through", ratios["success:kw", "abi3", "bare C"],
                       1.10, ""))
        checks += [(f"abi3, failure, 1 in 10 marked, depth {d}: on <= 1.5x off", abi3_rows[d, "tenth"][0], 1.5, "")
                   for d in (10, 100, 1000)]
        checks += [(f"abi3, 1 in 10 marked, depth {d}: removal per entry <= 0.5x plain-Python removal's",
                    abi3_rows[d, "tenth"][1] / abi3_rows[d, "tenth"][2], 0.5,
                    f"{fmt_time(abi3_rows[d, 'tenth'][1])} vs {fmt_time(abi3_rows[d, 'tenth'][2])}")
                   for d in (10, 100, 1000)]
    print("\nTargets:")
    for text, value, limit, detail in checks:
        detail = f"; {detail}" if detail else ""
        print(f"  {'PASS' if value <= limit else 'FAIL'}  {text}  (measured {value:.3f}{detail})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fast", action="store_true",
                        help="smoke run: few processes and short values; the figures are rough")
    parser.add_argument("--processes", type=int, help="worker processes per group (default 8, --fast 2)")
    parser.add_argument("--values", type=int, help="values per variant per process (default 30, --fast 4)")
    parser.add_argument("--warmups", type=int, help="warm-up values per variant per process (default 2, --fast 1)")
    parser.add_argument("--min-time", type=float,
                        help="minimum duration of one value in seconds (default 0.002, --fast 0.0005)")
    parser.add_argument("-o", "--output", help="write every value as a pyperf JSON suite to this file")
    parser.add_argument("--abi3", metavar="PATH",
                        help="also measure this stable-ABI build of the module (native_extensions.abi3.so)")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--baseline", help=argparse.SUPPRESS)
    args = parser.parse_args()
    defaults = (2, 4, 1, 0.0005) if args.fast else (8, 30, 2, 0.002)
    for name, default in zip(("processes", "values", "warmups", "min_time"), defaults):
        if getattr(args, name) is None:
            setattr(args, name, default)

    if args.worker:
        run_worker(args)
        return

    import pyperf

    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="native_extensions_bench_") as directory:
        baseline = compile_baseline(directory)
        benchmarks = run_workers(args, baseline)
    system = pyperf.Run([1.0], metadata={"name": "system"}).get_metadata()
    report(benchmarks, args, system)
    print(f"\n({time.monotonic() - started:.0f} s)")
    if args.output:
        pyperf.BenchmarkSuite(list(benchmarks.values())).dump(args.output, replace=True)


if __name__ == "__main__":
    main()
