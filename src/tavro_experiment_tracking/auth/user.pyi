from typing import Optional

from tavro_experiment_tracking.entities.experiment import Experiment
from tavro_experiment_tracking.entities.project import Project

class User:
    """A logged-in user and the session's active project and experiment."""

    username: str
    active_project: Optional[Project]
    active_experiment: Optional[Experiment]
    def __init__(self, username: str) -> None: ...
