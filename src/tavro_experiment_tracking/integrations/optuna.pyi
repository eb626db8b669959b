# Optuna: each finished trial one iteration, whichever worker ran it.
from typing import Any

class OptunaCallback:
    experiment: Any
    metric_name: str
    def __init__(self, experiment: Any, *, metric_name: str = "value") -> None: ...
    def __call__(self, study: Any, trial: Any) -> None: ...
