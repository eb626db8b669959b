from types import TracebackType
from typing import Any, Dict, Optional, Type

# The tracking library ships no type information, so its records are Any to
# a type checker; the names still say what is returned.
from mlflow.entities import Experiment as MlflowExperiment, Run, RunData, RunInfo  # type: ignore[import-untyped]
from mlflow.tracking import MlflowClient  # type: ignore[import-untyped]

from tavro_experiment_tracking.auth.authenticator import Authenticator
from tavro_experiment_tracking.auth.user import User
from tavro_experiment_tracking.constants import (
    ENV_CONSOLE,
    ENV_EXP_TRACKING_SERVER_URI,
    ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES,
    ENV_MLFLOW_HTTP_REQUEST_TIMEOUT,
    ENV_MLFLOW_TRACKING_TOKEN,
    RUN_END_TIMEOUT,
    SIGNAL_FLUSH_TIMEOUT,
)

def create_mlflow_client(tracking_uri: Optional[str]) -> MlflowClient: ...

class Client:
    """The session's connection to the tracking server."""

    authenticator: Optional[Authenticator]
    def __init__(self, authenticator: Optional[Authenticator] = None) -> None: ...
    # Reads give the tracking library's own default while none was set; on the
    # cloud platform a local default raises ExperimentTrackingException.
    @property
    def tracking_uri(self) -> str: ...
    @tracking_uri.setter
    def tracking_uri(self, value: Optional[str]) -> None: ...
    @property
    def user(self) -> User: ...
    def get_experiment_by_name(self, experiment_name: str) -> Optional[MlflowExperiment]: ...
    def create_experiment(
        self,
        experiment_name: str,
        artifact_location: Optional[str] = None,
        tags: Optional[Dict[str, Any]] = None,
    ) -> str: ...
    def get_experiment(self, experiment_id: str) -> MlflowExperiment: ...
    def get_iteration(self, iteration_id: str) -> Run: ...

class ActiveIteration:
    """A started iteration; as a context manager it ends the run on leaving."""

    client: Client
    run: Run
    def __init__(self, client: Client, run: Run) -> None: ...
    @property
    def info(self) -> RunInfo: ...
    @property
    def data(self) -> RunData: ...
    @property
    def iteration_id(self) -> str: ...
    def __enter__(self) -> ActiveIteration: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> bool: ...
