# What a user's script looks like to a type checker: `make test` runs
# `mypy --strict` on this file, so every line below must type-check and every
# assert_type must hold.
import numpy as np
from typing_extensions import assert_type

from tavro_experiment_tracking import Experiment, Iteration, Project, init
from tavro_experiment_tracking.config import use_async_logging
from tavro_experiment_tracking.constants import DEFAULT_EXPERIMENT_NAME
from tavro_experiment_tracking.tracking.client import ActiveIteration

experiment = init("my-project", "my-experiment")
assert_type(experiment, Experiment)
iteration = init("my-project", "my-experiment", tracking_uri="http://127.0.0.1:5000").get_iteration()
assert_type(iteration, Iteration)
assert_type(init(Project("p", None), Experiment("e", "notes")), Experiment)

project = init("my-project")
assert_type(project, Project)
assert_type(init("my-project", tracking_uri=None), Project)
assert_type(init("my-project", "Default"), Project)
assert_type(init("my-project", DEFAULT_EXPERIMENT_NAME), Project)
assert_type(project.get_experiment("my-experiment"), Experiment)
init("my-project").get_iteration()  # type: ignore[attr-defined]

with iteration.start(iteration_name="baseline", tags={"team": "vision"}) as active:
    assert_type(active, ActiveIteration)
    iteration.log_params({"learning_rate": 0.01, "epochs": 3})
    iteration.log_metric("loss", 0.3, step=2)
    iteration.log_metrics({"loss": 0.2, "accuracy": 0.9}, step=3)
    iteration.log_artifact("model.txt")
    iteration.log_artifacts("outputs", artifact_path="outputs")
    iteration.flush(timeout=30)
    iteration.log_metric("loss", np.float32(0.25), step=np.int64(4))  # numpy scalars, as a training loop has them
    iteration.log_metrics({"loss": np.float64(0.2), "lr": 1e-3}, step=np.int64(5))
iteration.end()
iteration.end("KILLED")
iteration.end("DONE")  # type: ignore[arg-type]  # not a run status
use_async_logging(flush_interval=0.5, exit_timeout=60)
use_async_logging(None)
