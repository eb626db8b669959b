import logging
import os
from typing import Any, Dict, Literal, Mapping, Optional, SupportsFloat, SupportsIndex, Union

# The tracking library ships no type information; its constants are Any to a
# type checker.
from mlflow.utils.mlflow_tags import MLFLOW_PARENT_RUN_ID, MLFLOW_RUN_NAME, MLFLOW_RUN_NOTE  # type: ignore[import-untyped]

from tavro_experiment_tracking.entities.experiment import Experiment
from tavro_experiment_tracking.exception import CHANGING_LOGGED_PARAM_MESSAGE, CHANGING_LOGGED_PARAMS_MESSAGE
from tavro_experiment_tracking.model.tags import (
    EXP_STORE_EXPERIMENT_DESCRIPTION,
    EXP_STORE_PARENT_RUN_ID,
    EXP_STORE_PROJECT_DESCRIPTION,
    EXP_STORE_PROJECT_NAME,
    EXP_STORE_RUN_NAME,
)
from tavro_experiment_tracking.tracking.client import ActiveIteration, Client

logger: logging.Logger

# The statuses a run can be ended with (MLflow's run statuses).
_RunStatusName = Literal["RUNNING", "SCHEDULED", "FINISHED", "FAILED", "KILLED"]

class Iteration:
    """One run of an experiment on the tracking server."""

    # ID of the current run; None until the first start. end() keeps it.
    iteration_id: Optional[str]
    experiment: Optional[Experiment]
    # The experiment's client when the iteration was made.
    client: Optional[Client]
    def __init__(self, experiment: Optional[Experiment] = None) -> None: ...
    # A run started or resumed here and never ended is ended at interpreter exit:
    # FINISHED, or FAILED (KILLED) after an unhandled exception (KeyboardInterrupt).
    def start(
        self,
        iteration_name: Optional[str] = None,
        iteration_id: Optional[str] = None,
        experiment_id: Optional[str] = None,
        tags: Optional[Dict[str, Any]] = None,
        nested: bool = False,
        *,
        per_job: Optional[bool] = None,
    ) -> ActiveIteration: ...
    # Accepts exactly a str or None as key; anything else is a TypeError.
    def log_param(self, key: str, value: Any) -> None: ...
    def log_params(self, params: Dict[str, Any]) -> None: ...
    # value is converted to float at the call (a numpy scalar too); key as for
    # log_param; step is a whole number (a numpy integer too).
    def log_metric(self, key: str, value: SupportsFloat, step: SupportsIndex = 0) -> None: ...
    def log_metrics(self, metrics: Mapping[str, SupportsFloat], step: Optional[SupportsIndex] = None) -> None: ...
    def log_artifact(
        self,
        local_file: Union[str, os.PathLike[str]],
        artifact_path: Optional[Union[str, os.PathLike[str]]] = None,
        iteration_id: Optional[str] = None,
    ) -> None: ...
    def log_artifacts(
        self,
        local_dir: Union[str, os.PathLike[str]],
        artifact_path: Optional[Union[str, os.PathLike[str]]] = None,
        iteration_id: Optional[str] = None,
    ) -> None: ...
    # Logging in the background: values still queued go to the server first.
    def end(self, status: Optional[_RunStatusName] = "FINISHED") -> None: ...
    # Waits for the values logged in the background (TimeoutError after
    # `timeout` seconds); raises what the server refused of them.
    def flush(self, timeout: Optional[float] = None) -> None: ...
    def _get_or_start_iteration(self) -> ActiveIteration: ...
    def get_iteration(self, iteration_id: str) -> ActiveIteration: ...
    # Refused (ExperimentTrackingException) for the package's own tags.
    def set_tag(self, key: str, value: Any) -> None: ...
    def set_tags(self, tags: Dict[str, Any]) -> None: ...
    def set_note(self, text: str) -> None: ...
    # The current run in the tracking server's UI; None before a run, and offline.
    @property
    def url(self) -> Optional[str]: ...
