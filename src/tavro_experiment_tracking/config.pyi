from typing import Optional

# The tracking library ships no type information; its constants are Any to a
# type checker.
from mlflow.protos.databricks_pb2 import INVALID_PARAMETER_VALUE  # type: ignore[import-untyped]

from tavro_experiment_tracking.auth.authenticator import Authenticator
from tavro_experiment_tracking.constants import (
    ENV_KOVA_CLIENT_ID,
    ENV_KOVA_REFRESH_TOKEN,
    ENV_KOVA_REFRESH_TOKEN_USED,
    ENV_KOVA_TOKEN_ENDPOINT,
    ENV_KOVA_USERINFO_ENDPOINT,
    ENV_OIDC_CLIENT_ID,
    ENV_OIDC_CLIENT_SECRET,
    ENV_OIDC_HOSTNAME,
    ENV_OIDC_ISSUER_URL,
)

def check_auth_env_configs() -> Optional[Authenticator]: ...
