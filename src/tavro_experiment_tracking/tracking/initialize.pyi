from typing import Any, Literal, Optional, Union, overload

# The tracking library ships no type information; its constants are Any to a
# type checker.
from tavro_experiment_tracking.auth.authenticator import Authenticator
from tavro_experiment_tracking.config import offline_mode, offline_store, sync_command
from tavro_experiment_tracking.constants import (
    DEFAULT_EXPERIMENT_NAME,
    DEFAULT_TRACK_SERVER,
    ENV_EXP_TRACKING_SERVER_URI,
)
from tavro_experiment_tracking.entities.experiment import Experiment
from tavro_experiment_tracking.entities.project import Project

# Without an experiment (or with the default experiment's name) init returns
# the project; with an experiment it returns that experiment, made active.
@overload
def init(
    project: Union[str, Project, None],
    *,
    use_if_exists: Any = True,
    tracking_uri: Optional[str] = ...,
    authenticator: Optional[Authenticator] = None,
) -> Project: ...
# The default experiment's name is also a str: this overload must come first,
# which is what the overlap it reports is about.
@overload
def init(  # type: ignore[overload-overlap]
    project: Union[str, Project, None],
    experiment: Literal["Default"],
    use_if_exists: Any = True,
    tracking_uri: Optional[str] = ...,
    authenticator: Optional[Authenticator] = None,
) -> Project: ...
@overload
def init(
    project: Union[str, Project, None],
    experiment: Union[str, Experiment],
    use_if_exists: Any = True,
    tracking_uri: Optional[str] = ...,
    authenticator: Optional[Authenticator] = None,
) -> Experiment: ...
