# Sending journals later: what background logging kept because the tracking
# server did not take it, from the command line or from code.
from typing import Any, Callable, Dict, Optional

from mlflow.entities import LifecycleStage, RunStatus, ViewType  # type: ignore[import-untyped]
from mlflow.exceptions import MlflowException  # type: ignore[import-untyped]
from mlflow.tracking import MlflowClient, _get_store  # type: ignore[import-untyped]
from mlflow.utils.file_utils import local_file_uri_to_path  # type: ignore[import-untyped]

from tavro_experiment_tracking.config import journal_folder
from tavro_experiment_tracking.model.tags import EXP_STORE_RUN_NAME
from tavro_experiment_tracking.tracking.background import journal_info, sync_journal
from tavro_experiment_tracking.tracking.client import create_mlflow_client

def sync(path: Optional[str] = None, *, progress: Optional[Callable[[int], object]] = None) -> Dict[str, Any]: ...
def pending_values(path: Optional[str] = None) -> int: ...
