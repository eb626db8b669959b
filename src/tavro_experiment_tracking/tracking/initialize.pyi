from typing import Any, Optional, Union

# The tracking library ships no type information; its constants are Any to a
# type checker.
from mlflow.protos.databricks_pb2 import INVALID_PARAMETER_VALUE  # type: ignore[import-untyped]

from tavro_experiment_tracking.auth.authenticator import Authenticator
from tavro_experiment_tracking.constants import (
    DEFAULT_EXPERIMENT_NAME,
    DEFAULT_TRACK_SERVER,
    ENV_EXP_TRACKING_SERVER_URI,
)
from tavro_experiment_tracking.entities.experiment import Experiment
from tavro_experiment_tracking.entities.project import Project

def init(
    project: Union[str, Project, None],
    experiment: Union[str, Experiment] = ...,
    use_if_exists: Any = True,
    tracking_uri: Optional[str] = ...,
    authenticator: Optional[Authenticator] = None,
) -> Union[Project, Experiment]: ...
