"""Every native callable of the package under hostile calls.

tests/fuzz_calls.py says what is drawn and what must hold (binding as a
Python twin binds, never an internal error, never a crash). It runs as a
separate process with one forked child per module, so a crash fails that
module's test with the call that was running. The exploration is
derandomized: a failure shows again on every run. More of it:

    TET_FUZZ_EXAMPLES=500 make test PYTEST_ARGS=tests/test_fuzz.py
    TET_FUZZ_SEED=7 TET_FUZZ_EXAMPLES=200 make test PYTEST_ARGS=tests/test_fuzz.py
"""
import ast
import collections.abc
import importlib
import json
import os
import subprocess
import sys

import fuzz_calls
import pytest

# TET_FUZZ_MODULES (names, space-separated) explores those alone (make test-integrations).
ONLY = os.environ.get("TET_FUZZ_MODULES", "").split()
MODULES = [m for m in fuzz_calls.native_modules() if not ONLY or m in ONLY]
# (the tag keys and the constants hold no callable)
EXPLORED = [m for m in MODULES if fuzz_calls.targets(importlib.import_module(m))]
HARNESS = os.path.abspath(fuzz_calls.__file__)


@pytest.fixture(scope="module")
def explored(tracking_server, tmp_path_factory):
    """The reports of one exploration of every module."""
    workdir = tmp_path_factory.mktemp("fuzz")
    reports = workdir / "reports"
    reports.mkdir()
    # Nothing of the caller's logins or platform settings: the exploration sets its own.
    env = {k: v for k, v in os.environ.items() if not k.startswith("TAVRO_") and k != "MLFLOW_TRACKING_TOKEN"}
    env.update(TET_FUZZ_TRACKING_URI=tracking_server, MLFLOW_TRACKING_URI=tracking_server,
               MLFLOW_HTTP_REQUEST_MAX_RETRIES="0")
    examples = int(os.environ.get("TET_FUZZ_EXAMPLES") or fuzz_calls.DEFAULT_EXAMPLES)
    # Each module's child is stopped at its own deadline; this only guards against the parent hanging.
    done = subprocess.run([sys.executable, HARNESS, str(reports)], cwd=str(workdir), env=env,
                          capture_output=True, text=True, timeout=len(MODULES) * fuzz_calls.module_deadline(examples))
    print(done.stdout)
    found = {}
    for module in MODULES:
        path = reports / (module + ".json")
        if path.exists():
            found[module] = json.loads(path.read_text())
    return found, done


@pytest.mark.parametrize("module", EXPLORED)
def test_hostile_calls_bind_like_python_and_never_fail_inside(explored, module):
    reports, done = explored
    assert module in reports, "no report; the exploration ended with:\n" + done.stderr[-3000:]
    report = reports[module]
    assert not report["failures"], "\n\n".join(
        ["{}:\n{}".format(name, text) for name, text in report["failures"].items()]
        + ["reproduce with: python {} DIR {}  (from an empty directory, TET_FUZZ_TRACKING_URI set)".format(
            HARNESS, module)])
    # The exploration itself works: every callable was called, and (but for
    # the abstract class) some of its calls got past binding into the body.
    for name, (refused, raised, returned) in report["outcomes"].items():
        assert refused + raised + returned > 0, name
        if name != "Authenticator()":
            assert raised + returned > 0, name


def stub_callables(module):
    """Qualified names of what the module's stub declares callable, as the
    exploration names them."""
    path = os.path.splitext(importlib.import_module(module).__file__)[0].split(".cpython")[0] + ".pyi"
    if not os.path.exists(path):
        return set()
    names = set()
    with open(path) as f:
        stub = f.read()
    for node in ast.parse(stub).body:
        if isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if not isinstance(item, ast.FunctionDef):
                    continue
                decorators = {ast.unparse(d) for d in item.decorator_list}
                if "property" in decorators:
                    names.add("{}.{}.fget".format(node.name, item.name))
                elif any(d.endswith(".setter") for d in decorators):
                    names.add("{}.{}.fset".format(node.name, item.name))
                else:
                    names.add("{}.{}".format(node.name, item.name))
                    if item.name == "__init__":
                        names.add(node.name + "()")
    return names


def test_every_callable_the_stubs_declare_is_explored(explored):
    reports, _ = explored
    missing = {module: sorted(stub_callables(module) - set(reports.get(module, {}).get("targets", ())))
               for module in MODULES}
    assert not {m: names for m, names in missing.items() if names}
    assert ONLY or sum(len(stub_callables(m)) for m in MODULES) > 80


# ---- inputs the exploration leaves out, pinned here: items() that lie, lone surrogates --------


class Pairs(collections.abc.Mapping):
    """A mapping whose items are whatever `for k, v in m.items()` is given."""

    def __init__(self, *items):
        self._items = items

    def items(self):
        return list(self._items)

    def __getitem__(self, key):
        return dict((k, v) for k, v, *_ in self._items)[key]

    def __iter__(self):
        return iter(k for k, *_ in self._items)

    def __len__(self):
        return len(self._items)


@pytest.fixture
def iteration(session_client, mlflow_client, unique_name):
    from tavro_experiment_tracking.entities.experiment import Experiment
    from tavro_experiment_tracking.entities.iteration import Iteration
    from tavro_experiment_tracking.entities.project import Project

    experiment_id = mlflow_client.create_experiment(unique_name("fuzz-known"))
    it = Iteration(Experiment("e", None, experiment_id, Project("p", None, session_client)))
    it.start()
    return it


def python_unpacking(items):
    """What `for k, v in items` does with them: None, or its exception."""
    try:
        for _k, _v in items:
            pass
    except Exception as e:  # noqa: BLE001 - the exception is the result here
        return type(e), str(e)
    return None


@pytest.mark.parametrize("call,items", [
    ("log_params", (["alpha", "1"],)), ("log_params", ("ab",)), ("log_params", (("alpha", "1", "x"),)),
    ("log_params", (("alpha",),)), ("log_metrics", (["loss", 0.5],)), ("log_metrics", (("loss", 0.5, 1),)),
    ("start", (["tag", "v"],)), ("start", (("tag", "v", "x"),)),
])
def test_mapping_items_unpack_like_python(iteration, call, items):
    mapping = Pairs(*items)
    expected = python_unpacking(mapping.items())
    try:
        if call == "start":
            iteration.start(iteration_id=iteration.iteration_id, tags=mapping)
        else:
            getattr(iteration, call)(mapping)
        got = None
    except Exception as e:  # noqa: BLE001
        got = type(e), str(e)
    assert got == expected


@pytest.mark.parametrize("call", ["init", "start"])
def test_lone_surrogates_never_end_in_internal_errors(iteration, tracking_server, call):
    from tavro_experiment_tracking.tracking.initialize import init

    try:
        if call == "init":
            init("p", "e", tracking_uri=tracking_server + "/\udcff")
        else:
            iteration.start(iteration_name="run-\udcff")
    except Exception as e:  # noqa: BLE001
        assert fuzz_calls.internal_error(e) is None, e
