from typing import Any, Optional

from tavro_experiment_tracking.auth.authenticator import Authenticator
from tavro_experiment_tracking.constants import ENV_LOGNAME, ENV_MLFLOW_TRACKING_TOKEN

def check_authentication(authenticator: Any) -> Optional[Authenticator]: ...
