# Logging in the background: the queue of values, its sender thread, flushes.
import logging
from typing import Any, Dict, List, Mapping, Optional, Tuple

# The tracking library ships no type information; its constants are Any to a
# type checker.
from mlflow.protos.databricks_pb2 import INVALID_PARAMETER_VALUE  # type: ignore[import-untyped]

from tavro_experiment_tracking.config import async_logging
from tavro_experiment_tracking.constants import ASYNC_EXIT_TIMEOUT
from tavro_experiment_tracking.exception import CHANGING_LOGGED_PARAM_MESSAGE, CHANGING_LOGGED_PARAMS_MESSAGE
from tavro_experiment_tracking.tracking.client import create_mlflow_client

logger: logging.Logger
# Seconds one log_batch exchange may take as a whole.
SEND_TIMEOUT: float

def queue_metrics(
    tracking_uri: Optional[str], run_id: str, metrics: Mapping[str, float], timestamp: int, step: int = 0
) -> None: ...
def queue_params(tracking_uri: Optional[str], run_id: str, params: Mapping[str, Any], single: bool = False) -> None: ...
def track_run(run_id: str, params: Mapping[str, str]) -> None: ...
def raise_refusal(run_id: str) -> None: ...
def flush(run_id: Optional[str] = None, timeout: Optional[float] = None) -> None: ...
def pending() -> int: ...
def _before_ending(run_id: Optional[str], timeout: Optional[float], final: bool) -> Optional[BaseException]: ...
def _send_batch(
    tracking_uri: str, run_id: str, metrics: List[Tuple[str, float, int, int]], params: List[Tuple[str, str]]
) -> Optional[str]: ...
def _refused(
    run_id: str, metrics: List[Tuple[str, float, int, int]], params: List[Tuple[str, str]], error: BaseException
) -> None: ...
def _forget_parent_sender() -> None: ...

_known_params: Dict[str, Dict[str, str]]
_refusals: Dict[str, Dict[str, Any]]
