# Logging in the background: the queue of values, its sender thread, flushes,
# the journals that keep what the server has not taken, and their sync.
import logging
import os
from typing import Any, Callable, Dict, List, Mapping, Optional, Set, Tuple, Union

# The tracking library ships no type information; its constants are Any to a
# type checker.
from mlflow.protos.databricks_pb2 import INVALID_PARAMETER_VALUE  # type: ignore[import-untyped]

from tavro_experiment_tracking.config import async_logging, journal_folder, offline_servers, sync_command
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
def prepare() -> None: ...
def sync_journal(
    path: Union[str, "os.PathLike[str]"],
    progress: Optional[Callable[[int], object]] = None,
    target: Optional[Tuple[str, str]] = None,
) -> SyncResult: ...
class SyncResult:
    """What a sync did with one journal, or with one offline run."""

    path: str
    tracking_uri: Optional[str]
    run_id: Optional[str]
    sent: int
    skipped: int
    damaged_bytes: int
    ended: Optional[str]
    error: Optional[str]
    def __init__(
        self, path: str, tracking_uri: Optional[str] = None, run_id: Optional[str] = None, error: Optional[str] = None
    ) -> None: ...
    def add(self, other: "SyncResult") -> None: ...

def journal_info(path: Union[str, "os.PathLike[str]"]) -> Optional[Dict[str, Any]]: ...
def _before_ending(
    run_id: Optional[str], timeout: Optional[float], final: bool
) -> Union[BaseException, str, None]: ...
def _keep_ending(run_id: str, tracking_uri: Optional[str], status: str, end_time: int) -> str: ...
def _ending_settled(run_id: str) -> None: ...
def _send_batch(tracking_uri: str, run_id: str, body: str) -> Optional[str]: ...
def _request_target(tracking_uri: str) -> Optional[Tuple[str, int, str, str, float]]: ...
def _answered(status: int, text: str) -> Optional[str]: ...
def _refused(run_id: str, keys: List[str], error: BaseException) -> None: ...
def _forget_parent_sender() -> None: ...

_known_params: Dict[str, Dict[str, str]]
_refusals: Dict[str, Dict[str, Any]]
_checked_names: Set[str]
