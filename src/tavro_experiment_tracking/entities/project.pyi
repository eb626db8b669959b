from typing import Any, Dict, Optional

# The tracking library ships no type information, so its records are Any to
# a type checker; the names still say what is returned.
from mlflow.entities import Experiment as MlflowExperiment  # type: ignore[import-untyped]

from tavro_experiment_tracking.entities.experiment import Experiment
from tavro_experiment_tracking.entities.quorril import NamedEntity
from tavro_experiment_tracking.tracking.client import Client

class Project(NamedEntity):
    client: Optional[Client]
    def __init__(self, name: str, description: Optional[str], client: Optional[Client] = None) -> None: ...
    # The str parameters accept exactly a str or None; anything else is a TypeError.
    def get_experiment_meta(self, experiment_id: str) -> MlflowExperiment: ...
    def get_experiment_meta_by_name(self, experiment_name: str) -> Optional[MlflowExperiment]: ...
    def get_experiment(
        self,
        experiment_name: str,
        description: Optional[str] = None,
        artifact_location: Optional[str] = None,
        tags: Optional[Dict[str, Any]] = None,
    ) -> Experiment: ...
