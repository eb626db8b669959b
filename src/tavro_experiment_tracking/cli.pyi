# The package's command line: sync, login, logout, whoami.
from typing import List, Optional

from tavro_experiment_tracking.auth.store import forget_logins, login_folder, stored_logins
from tavro_experiment_tracking.config import journal_folder, sync_command
from tavro_experiment_tracking.constants import (
    ENV_MLFLOW_TRACKING_URI,
    ENV_OIDC_CLIENT_ID,
    ENV_OIDC_CLIENT_SECRET,
    ENV_OIDC_DEVICE_LOGIN,
    ENV_OIDC_ISSUER_URL,
    ENV_OIDC_KEEP_LOGIN,
)
from tavro_experiment_tracking.exception import ExperimentTrackingException

def main(argv: Optional[List[str]] = None, prog: Optional[str] = None) -> int: ...
