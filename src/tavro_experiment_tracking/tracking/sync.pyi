# Sending journals later: what background logging kept because the tracking
# server did not take it, from the command line or from code.
import os
from typing import Any, Callable, Dict, List, Optional

from mlflow.entities import LifecycleStage, RunStatus, ViewType  # type: ignore[import-untyped]
from mlflow.exceptions import MlflowException  # type: ignore[import-untyped]
from mlflow.tracking import MlflowClient, _get_store  # type: ignore[import-untyped]

from tavro_experiment_tracking.auth.lookup import check_authentication
from tavro_experiment_tracking.config import configured_server, journal_folder
from tavro_experiment_tracking.model.tags import EXP_STORE_RUN_NAME
from tavro_experiment_tracking.tracking.background import SyncResult, journal_info, sync_journal
from tavro_experiment_tracking.tracking.client import Client, create_mlflow_client
from tavro_experiment_tracking.utils.validation import server_problem

class SyncSummary:
    """What a sync did."""

    path: str
    server: Optional[str]
    journals: int
    runs: int
    sent: int
    ended: int
    skipped: int
    artifacts: int
    damaged_bytes: int
    failed: List[SyncResult]
    damaged: List[SyncResult]
    elsewhere: List[SyncResult]
    not_journals: List[str]
    unreachable: Optional[str]
    def __init__(self, path: str, server: Optional[str]) -> None: ...
    def add(self, result: SyncResult) -> None: ...

def sync(
    path: Optional[str] = None, *, progress: Optional[Callable[[int], object]] = None, server: Optional[str] = None
) -> SyncSummary: ...
def pending_values(path: Optional[str] = None) -> int: ...
def _open_nofollow(file: str, flags: int) -> int: ...
def _entry_name(entry: "os.DirEntry[str]") -> str: ...
