from typing import Optional

# The tracking library ships no type information, so its records are Any to
# a type checker; the names still say what is returned.
from mlflow.entities import Run  # type: ignore[import-untyped]

from tavro_experiment_tracking.entities.iteration import Iteration
from tavro_experiment_tracking.entities.project import Project
from tavro_experiment_tracking.entities.quorril import NamedEntity
from tavro_experiment_tracking.tracking.client import Client

class Experiment(NamedEntity):
    experiment_id: Optional[str]
    project: Optional[Project]
    # The project's client when the experiment was made.
    client: Optional[Client]
    # The experiment in the tracking server's UI; None for a store that is no server.
    @property
    def url(self) -> Optional[str]: ...
    def __init__(
        self,
        name: str,
        description: Optional[str],
        experiment_id: Optional[str] = None,
        project: Optional[Project] = None,
    ) -> None: ...
    # Accepts exactly a str or None; anything else is a TypeError.
    def get_iteration_meta(self, iteration_id: str) -> Run: ...
    def get_iteration(self) -> Iteration: ...
