"""Random call chains inside the hook, checked against a model of the removal rule.

Each level of a plan reaches the next through some construct (a call, a closure, a class body,
exec'd code, an imported module, a generator), with the marker bound, absent or bound too late in
each scope; the entries that survive (removal off and on) must be those the plan alone predicts.

With NATIVE_EXTENSIONS_OTHER_FLAVOUR naming the module file of the other build flavour (the
stable-ABI one beside a version-specific one, or the reverse), that module is loaded beside the
imported one and every example runs through both: each must keep the same entries and raise the
same exception.
"""
import collections
import dataclasses
import gc
import importlib
import importlib.machinery
import importlib.util
import itertools
import os
import random
import sys
import types

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import example, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import native_extensions  # noqa: E402


def load_other_flavour():
    """The other flavour's module, loaded from its own file beside the imported one (its own
    library, so its own state), or None. sys.modules keeps the imported module."""
    path = os.environ.get("NATIVE_EXTENSIONS_OTHER_FLAVOUR")
    if not path:
        return None
    loader = importlib.machinery.ExtensionFileLoader("native_extensions", path)
    spec = importlib.util.spec_from_file_location("native_extensions", path, loader=loader)
    try:
        module = importlib.util.module_from_spec(spec)
    finally:
        sys.modules["native_extensions"] = native_extensions
    assert os.path.samefile(module.__file__, path) and not os.path.samefile(path, native_extensions.__file__)
    return module


FLAVOURS = [native_extensions] + [m for m in [load_other_flavour()] if m is not None]

MARKER = "__quenvar__tracebackhide__"
VALUES = [None, False, 0, object()]  # only the name counts, never the value
REGISTRY = "_chain_registry"  # how generated modules reach the rest of the chain


class Mapping(collections.UserDict):
    """A namespace that is not a dict: membership goes through its own __contains__."""


class Refusing(Mapping):
    """A namespace whose membership test fails: its frame never counts as marked."""

    def __contains__(self, key):
        raise LookupError(key)


class Lookup:
    """A namespace with neither __contains__ nor __iter__: only its lookup answers."""

    def __init__(self):
        self.names = {}

    def __setitem__(self, key, value):
        self.names[key] = value

    def __getitem__(self, key):
        return self.names[key]


class Timeout(BaseException):
    """What a test runner raises when a test takes too long: not an Exception."""


STOPPERS = [KeyboardInterrupt, SystemExit, GeneratorExit, Timeout]
RAISED = []  # what stopping namespaces raised, in order
KEPT = []  # entries that hostile namespaces hold: shared from then on
GENERATED = set()  # file names of the generated chains' code


class Stopping(Mapping):
    """A namespace whose membership test raises what is not an Exception: the walk stops there."""

    seed = 0

    def __contains__(self, key):
        RAISED.append(STOPPERS[self.seed % len(STOPPERS)]())
        raise RAISED[-1]


class Relinking(Mapping):
    """A namespace whose membership test relinks, drops, replaces or holds entries of the chain
    being walked (found through the collector), then answers at random."""

    seed = 0
    asked = 0  # in this call-through: a walk that goes round for ever is stopped

    def __contains__(self, key):
        Relinking.asked += 1
        if Relinking.asked > 10_000:
            raise Timeout("the walk goes round for ever")
        rng = random.Random(self.seed)
        entries = [o for o in gc.get_objects() if type(o) is types.TracebackType and o.tb_frame.f_code.co_filename in GENERATED]
        mine = [entry for entry in entries if entry.tb_frame.f_locals is self]
        for _ in range(rng.randint(1, 4)):
            a, b = rng.choice(entries), rng.choice(entries)
            op = rng.choice(["cut", "link", "replace", "hold", "back"])
            try:
                if op == "cut":
                    a.tb_next = None
                elif op == "link":
                    a.tb_next = b  # refused where it would close a cycle
                elif op == "replace":
                    a.tb_next = types.TracebackType(b.tb_next, b.tb_frame, b.tb_lasti, b.tb_lineno)
                elif op == "hold":
                    KEPT.append(a)
                elif mine and a is not mine[0]:
                    # Leads the walk back to an entry it may have passed already.
                    a.tb_next = None
                    mine[0].tb_next = a
            except ValueError:
                pass
        return rng.random() < 0.5


NAMESPACES = {"dict": dict, "mapping": Mapping, "refusing": Refusing, "lookup": Lookup, "stopping": Stopping,
              "relinking": Relinking}


def make_namespace(name, seed):
    namespace = NAMESPACES[name]()
    if hasattr(namespace, "seed"):
        namespace.seed = seed
    return namespace


class Meta(type):
    @classmethod
    def __prepare__(mcls, name, bases, ns, seed):
        return make_namespace(ns, seed)  # the body always raises, so no class is ever made from it


@dataclasses.dataclass
class Level:
    kind: str
    state: str  # the marker in the level's function (a closure's inner function shares it)
    inner: str  # the marker in the class body, exec'd code, module or generator
    value: int
    padding: int  # names bound together with the marker, declared ahead of it
    namespace: str  # the locals mapping of a class body or exec'd code
    seed: int  # what a hostile namespace raises or does


STATES = ["bound", "absent", "unbound"]
KINDS = ["call", "closure", "class", "exec", "module", "generator", "shared"]
levels = st.builds(Level, st.sampled_from(KINDS), st.sampled_from(STATES), st.sampled_from(STATES),
                   st.integers(0, len(VALUES) - 1), st.integers(0, 8), st.sampled_from(sorted(NAMESPACES)),
                   st.integers(0, 2**16))


def scope(level, state, lines):
    """`lines` with the marker bound ahead of them, after them, or not at all."""
    assign = "".join(f"_{k} = " for k in range(level.padding)) + f"{MARKER} = V[{level.value}]"
    return {"bound": [assign, *lines], "absent": lines, "unbound": [*lines, assign]}[state]


def indent(lines):
    return ["    " + line for line in lines]


def generate(plan, tag):
    """The chain's source, exec'd code, module files, the (label, marked) entries it makes, and
    the labels that each exception in its __context__ chain keeps, whole."""
    source, exec_code, modules, entries = [], {}, {}, []
    for i, level in enumerate(plan):
        action = f"nxt[{i + 1}]()" if i + 1 < len(plan) else "raise ArithmeticError('end of the chain')"
        body = scope(level, level.inner, [action])
        inner_marked = level.inner == "bound"
        if level.kind == "call":
            middle, inner = [action], None
        elif level.kind == "closure":
            # The marker is a cell of lvl<i> and a free variable of its inner function.
            middle = [f"def lvl{i}_inner():", *indent([action, f"return {MARKER}"]), f"lvl{i}_inner()"]
            inner = (f"lvl{i}_inner", level.state == "bound")
        elif level.kind == "class":
            middle = [f"class C{i}(metaclass=Meta, ns={level.namespace!r}, seed={level.seed}):", *indent(body)]
            inner = (f"C{i}", inner_marked and level.namespace != "refusing")
        elif level.kind == "exec":
            exec_code[i] = compile("\n".join(body), f"exec{i}", "exec")
            middle = [f"exec(CODE[{i}], globals(), make_namespace({level.namespace!r}, {level.seed}))"]
            inner = (f"exec{i}", inner_marked and level.namespace != "refusing")
        elif level.kind == "module":
            # The marker is a global of the module, which is its locals mapping too.
            name = f"chain_{tag}_{i}"
            modules[name] = "\n".join([f"from {REGISTRY} import nxt, V", *body])
            middle = [f"__import__({name!r})"]
            inner = (f"{name}.py", inner_marked)
        elif level.kind == "generator":
            source += [f"def lvl{i}_gen():", *indent([*body, "yield"])]
            middle, inner = [f"next(lvl{i}_gen())"], (f"lvl{i}_gen", inner_marked)
        else:
            # Re-raised with the caught exception's traceback: the entries from here on are shared
            # with that exception, which becomes the context; the level's entry comes twice.
            middle = ["try:", f"    {action}", "except ArithmeticError as e:",
                      f"    raise ArithmeticError('shared {i}').with_traceback(e.__traceback__)"]
            inner = (f"lvl{i}", level.state == "bound")
        source += [f"def lvl{i}():", *indent(scope(level, level.state, middle))]
        # Each entry: its label, whether it is marked, and whether testing it raises what is not an
        # Exception, which ends the walk there.
        stops = level.kind in ("class", "exec") and level.namespace == "stopping"
        entries.append([(f"lvl{i}", level.state == "bound", False)] + ([(*inner, stops)] if inner else []))
    contexts = [[f"lvl{i}"] + [label for later in entries[i + 1:] for label, _, _ in later]
                for i, level in enumerate(plan) if level.kind == "shared"]
    return "\n".join(source), exec_code, modules, sum(entries, []), contexts


def labels(tb):
    out = []
    while tb is not None:
        code = tb.tb_frame.f_code
        out.append(os.path.basename(code.co_filename) if code.co_name == "<module>" else code.co_name)
        tb = tb.tb_next
    return out


def call_through(module):
    __quenvar__tracebackhide__ = "a caller"  # noqa: F841 - callers of the call-through stay
    try:
        module.CallImportHookRemovingFrames()
    except BaseException as error:  # noqa: B036 - whatever the walk lets through
        return error
    raise AssertionError("the hook did not raise")


def entries_of(tb):
    """The chain from `tb` on, which must end."""
    seen = []
    while tb is not None:
        assert all(tb is not other for other in seen), "a cycle"
        seen.append(tb)
        tb = tb.tb_next
    return seen


def context_chain(error):
    """`error` and its contexts, which must end, each with a traceback chain that ends."""
    chain = []
    while error is not None:
        assert all(error is not other for other in chain), "a context cycle"
        entries_of(error.__traceback__)
        chain.append(error)
        error = error.__context__
    return chain


@pytest.fixture(scope="module")
def chain_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("chain")
    registry = sys.modules[REGISTRY] = types.ModuleType(REGISTRY)
    sys.path.insert(0, str(directory))
    yield directory, registry
    sys.path.remove(str(directory))
    del sys.modules[REGISTRY]
    for module in FLAVOURS:
        module.SetRemoveImportHookFrames(True)


tags = itertools.count()


@settings(max_examples=250, deadline=None, database=None)
# A namespace that leaves the walk (abi3: through its deferred links) a loop of hidden entries.
@example(plan=[Level('exec', 'bound', 'bound', 0, 5, 'relinking', 1)], global_marker=False)
@given(plan=st.lists(levels, min_size=1, max_size=6), global_marker=st.booleans())
def test_surviving_entries_follow_the_rule(chain_dir, plan, global_marker):
    directory, registry = chain_dir
    source, exec_code, modules, expected, contexts = generate(plan, next(tags))
    for name, text in modules.items():
        (directory / f"{name}.py").write_text(text)
    importlib.invalidate_caches()
    namespace = {"Meta": Meta, "make_namespace": make_namespace, "CODE": exec_code, "V": VALUES}
    if global_marker:
        namespace[MARKER] = "a global never marks a function, nor a frame with other locals"
    exec(compile(source, "<chain>", "exec"), namespace)
    registry.V = VALUES
    registry.nxt = namespace["nxt"] = [namespace[f"lvl{i}"] for i in range(len(plan))]
    GENERATED.update({"<chain>", *(f"exec{i}" for i in exec_code), *(str(directory / f"{name}.py") for name in modules)})
    # Hostile namespaces that relink the chain during the walk leave an outcome that only its
    # soundness can be checked of: chains and contexts that end, and the right exception.
    relinking = any(level.kind in ("class", "exec") and level.namespace == "relinking" for level in plan)
    outcomes = {}
    for remove, module in itertools.product((False, True), FLAVOURS):
        module.SetImportHook(namespace["nxt"][0])
        module.SetRemoveImportHookFrames(remove)
        RAISED.clear()
        Relinking.asked = 0
        error = call_through(module)
        KEPT.clear()
        chain = context_chain(error)
        stopped_by = type(error)
        if RAISED:
            # The first namespace that raised what is not an Exception ended the walk; the
            # hook's exception is its context.
            assert remove and error is RAISED[0] and labels(error.__traceback__) == ["call_through", "__contains__"]
            error, chain = chain[1], chain[1:]
            prefix = []
        else:
            prefix = ["call_through"]
        assert type(error) is ArithmeticError, (module.__file__, source)
        if relinking and remove:
            continue
        stop = next((n for n, (_, _, stops) in enumerate(expected) if stops and remove), len(expected))
        kept = [label for n, (label, marked, _) in enumerate(expected) if n >= stop or not (remove and marked)]
        assert labels(error.__traceback__) == prefix + kept, (module.__file__, source)
        assert [labels(context.__traceback__) for context in chain[1:]] == contexts, (module.__file__, source)
        # Both flavours raise the same exception: the same type and arguments (the hook's own).
        outcome = (stopped_by, type(error), error.args, labels(error.__traceback__))
        assert outcomes.setdefault(remove, outcome) == outcome, (module.__file__, source)
