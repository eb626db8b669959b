"""Experiment tracking for machine-learning scripts.

``init`` picks a tracking server, a project and an experiment; iterations
(runs) then record parameters, metrics and artifacts::

    from tavro_experiment_tracking import init
    experiment = init("my-project", "my-experiment", tracking_uri="http://localhost:5000")
    iteration = experiment.get_iteration()
"""
import sys

__version__ = "0.1.0"

# The interpreters the modules are built and tested for: MLflow 1.28's pinned
# dependencies (pandas<2, numpy<2) have no wheels for 3.12 and later. Said
# here once, rather than as a missing module or a compiler's error.
SUPPORTED_PYTHONS = ((3, 9), (3, 10), (3, 11))
if sys.version_info[:2] not in SUPPORTED_PYTHONS:
    raise ImportError(
        "tavro_experiment_tracking supports CPython 3.9, 3.10 and 3.11 (the versions MLflow 1.28's dependencies "
        "install on); this is Python {}.{}.".format(*sys.version_info[:2])
    )

_SHORTCUTS = {
    "init": "tavro_experiment_tracking.tracking.initialize",
    "Project": "tavro_experiment_tracking.entities.project",
    "Experiment": "tavro_experiment_tracking.entities.experiment",
    "Iteration": "tavro_experiment_tracking.entities.iteration",
    "Authenticator": "tavro_experiment_tracking.auth.authenticator",
    "OIDCAuthenticator": "tavro_experiment_tracking.auth.authenticator",
    "KOVAAuthenticator": "tavro_experiment_tracking.auth.authenticator",
    "ExperimentTrackingException": "tavro_experiment_tracking.exception",
    "ServerNotAccessibleException": "tavro_experiment_tracking.exception",
}

__all__ = ["__version__", *_SHORTCUTS]


def __getattr__(name):
    # Imported on first use, so `import tavro_experiment_tracking` stays cheap
    # and does not load the tracking library.
    module = _SHORTCUTS.get(name)
    if module is None:
        raise AttributeError("module {!r} has no attribute {!r}".format(__name__, name))
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_SHORTCUTS))
