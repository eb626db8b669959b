# The shortcuts are loaded on first attribute access at run time; to a type
# checker they are plain re-exports.
from typing import List

from tavro_experiment_tracking.auth.authenticator import (
    Authenticator as Authenticator,
    KOVAAuthenticator as KOVAAuthenticator,
    OIDCAuthenticator as OIDCAuthenticator,
)
from tavro_experiment_tracking.entities.experiment import Experiment as Experiment
from tavro_experiment_tracking.entities.iteration import Iteration as Iteration
from tavro_experiment_tracking.entities.project import Project as Project
from tavro_experiment_tracking.exception import (
    ExperimentTrackingException as ExperimentTrackingException,
    ServerNotAccessibleException as ServerNotAccessibleException,
)
from tavro_experiment_tracking.tracking.initialize import init as init

__version__: str
SUPPORTED_PYTHONS: tuple[tuple[int, int], ...]
__all__ = [
    "__version__",
    "init",
    "Project",
    "Experiment",
    "Iteration",
    "Authenticator",
    "OIDCAuthenticator",
    "KOVAAuthenticator",
    "ExperimentTrackingException",
    "ServerNotAccessibleException",
]

def __dir__() -> List[str]: ...
