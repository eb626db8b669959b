# Names and defaults shared by the whole package; each ENV_* value is the name
# of an environment variable (see the README's configuration table).

from typing import Final

ENV_MLFLOW_TRACKING_URI: str
# MLFLOW_TRACKING_URI as it was at import when set, else http://localhost:5000.
DEFAULT_TRACK_SERVER: str
# A literal to type checkers: init() with it returns the project.
DEFAULT_EXPERIMENT_NAME: Final = "Default"
ENV_EXP_TRACKING_SERVER_URI: str
ENV_KOVA_CLOUD: str
ENV_MLFLOW_TRACKING_TOKEN: str
ENV_MLFLOW_HTTP_REQUEST_MAX_RETRIES: str
ENV_LOGNAME: str
ENV_BCK_LOGNAME: str
ENV_OIDC_ISSUER_URL: str
ENV_OIDC_HOSTNAME: str
ENV_OIDC_CLIENT_ID: str
ENV_OIDC_CLIENT_SECRET: str
ENV_KOVA_REFRESH_TOKEN: str
ENV_KOVA_TOKEN_ENDPOINT: str
ENV_KOVA_USERINFO_ENDPOINT: str
ENV_KOVA_CLIENT_ID: str
ENV_KOVA_REFRESH_TOKEN_USED: str
ENV_MLFLOW_HTTP_REQUEST_TIMEOUT: str
SERVER_PROBE_TIMEOUT: float
AUTH_REQUEST_TIMEOUT: float
ENV_ASYNC_LOGGING: str
ASYNC_FLUSH_INTERVAL: float
ASYNC_MAX_QUEUED_RECORDS: int
ASYNC_EXIT_TIMEOUT: float
AUTH_MAX_ANSWER_BYTES: int
RUN_END_TIMEOUT: int
SIGNAL_FLUSH_TIMEOUT: float
