# Optuna: each finished trial one iteration, whichever worker ran it.
import logging
from typing import Any

from tavro_experiment_tracking.exception import ExperimentTrackingException

logger: logging.Logger

class OptunaCallback:
    experiment: Any
    metric_name: str
    def __init__(self, experiment: Any, *, metric_name: str = "value") -> None: ...
    def __call__(self, study: Any, trial: Any) -> None: ...
