"""The import layers of the package (docs/architecture.md), pinned: a new
import between its modules, one that closes a cycle, or a heavy dependency
pulled into a light module fails here."""
import json
import subprocess
import sys
import textwrap

HEAVY = ("mlflow", "oic", "requests", "tavro_authn")

# What each module imports when it is itself imported: modules of the package
# (without the package prefix) and heavy dependencies. Listed by layer; a
# module imports only from layers above its own. Imports made at call time
# (config -> auth.authenticator, entities.project -> entities.experiment,
# entities.experiment -> entities.iteration) are not here, and the browser
# login's OpenID Connect client (oic.oic) is loaded on first use.
LAYERS = [
    {  # 0: nothing of the package
        "constants": set(), "context": set(), "exception": set(), "model.tags": set(),
        "entities.quorril": set(), "auth.user": set(), "auth.guard": set(),
    },
    {  # 1
        "utils.validation": {"constants", "requests"},
        "config": {"constants", "exception"},
        "exchanges": {"constants", "requests"},
        "auth.store": {"constants"},
    },
    {  # 2
        "tracking.client": {"auth.user", "config", "constants", "context", "exception", "utils.validation", "mlflow"},
        "auth.utils": {"auth.guard", "exception"},
        "auth.device": {"auth.guard", "constants", "exception", "exchanges", "requests"},
    },
    {  # 3
        "auth.authenticator": {"auth.device", "auth.guard", "auth.store", "auth.user", "auth.utils", "constants",
                               "exception", "exchanges", "oic", "requests", "tavro_authn"},
        "entities.project": {"entities.quorril", "exception", "tracking.client", "mlflow"},
        "tracking.background": {"config", "constants", "exception", "exchanges", "tracking.client",
                                "utils.validation", "mlflow", "requests"},
    },
    {  # 4
        "auth.lookup": {"auth.authenticator", "config", "constants"},
        "tracking.system": {"auth.guard", "config", "constants", "tracking.background", "tracking.client", "mlflow"},
        "entities.experiment": {"entities.project", "entities.quorril", "exception", "tracking.client", "mlflow"},
    },
    {  # 5
        "entities.iteration": {"config", "entities.experiment", "exception", "model.tags", "tracking.background",
                               "tracking.client", "tracking.system", "utils.validation", "mlflow"},
        "tracking.initialize": {"auth.authenticator", "auth.lookup", "auth.user", "config", "constants", "context",
                                "entities.experiment", "entities.project", "exception", "tracking.client",
                                "utils.validation", "mlflow"},
        "tracking.sync": {"auth.lookup", "config", "context", "model.tags", "tracking.background", "tracking.client",
                          "utils.validation", "mlflow"},
    },
    {  # 6
        "cli": {"auth.store", "config", "constants", "exception"},
        "integrations.keras": set(),
        "integrations.optuna": {"exception"},
    },
]

# Records, for every import made while a module of the package is being
# imported, which module asked for it: the native modules import through
# builtins.__import__ like Python code does.
RECORDER = textwrap.dedent("""
    import builtins, json, sys
    PKG, HEAVY = "tavro_experiment_tracking.", {heavy!r}
    stack, edges, real = [], set(), builtins.__import__

    def recording(name, globals=None, locals=None, fromlist=(), level=0):
        if stack and stack[-1].startswith(PKG) and stack[-1] != name:
            if name.startswith(PKG):
                edges.add((stack[-1][len(PKG):], name[len(PKG):]))
            elif name.split(".")[0] in HEAVY:
                edges.add((stack[-1][len(PKG):], name.split(".")[0]))
        stack.append(name)
        try:
            return real(name, globals, locals, fromlist, level)
        finally:
            stack.pop()

    builtins.__import__ = recording
    for name in sys.argv[1:]:
        __import__(PKG + name)
    builtins.__import__ = real
    print(json.dumps(sorted(edges)))
    print(json.dumps(sorted(m for m in sys.modules if m == "oic.oic" or m.startswith("oic.oic."))))
""").format(heavy=HEAVY)


def test_modules_import_only_from_the_layers_above_them():
    allowed = {}
    for depth, layer in enumerate(LAYERS):
        for module, imports in layer.items():
            above = {m for earlier in LAYERS[:depth] for m in earlier}
            # The table itself must be layered: that is what makes cycles impossible.
            assert {i for i in imports if i not in HEAVY} <= above, module
            allowed[module] = imports
    done = subprocess.run([sys.executable, "-c", RECORDER, *sorted(allowed)], capture_output=True, text=True,
                          timeout=300, check=True)
    edges_line, oic_line = done.stdout.splitlines()[-2:]
    found = {}
    for importer, imported in json.loads(edges_line):
        found.setdefault(importer, set()).add(imported)
    assert {module: found.get(module, set()) for module in allowed} == allowed
    # Everything imported, and still no OpenID Connect client: it loads with the first browser login.
    assert json.loads(oic_line) == []
