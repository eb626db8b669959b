from typing import Any, Dict, List, Optional

# The tracking library ships no type information; its constants are Any to a
# type checker.
from tavro_experiment_tracking.auth.authenticator import Authenticator
from tavro_experiment_tracking.constants import (
    ASYNC_ARTIFACT_SPOOL_BYTES,
    ASYNC_EXIT_TIMEOUT,
    ASYNC_FLUSH_INTERVAL,
    ASYNC_JOURNAL_SEGMENT_BYTES,
    ASYNC_MAX_QUEUED_RECORDS,
    ASYNC_REQUESTS_IN_FLIGHT,
    DEFAULT_TRACK_SERVER,
    ENV_ARTIFACT_SPOOL_BYTES,
    ENV_ASYNC_LOGGING,
    ENV_ENVIRONMENT_RECORD,
    ENV_EXP_TRACKING_SERVER_URI,
    ENV_JOURNAL,
    ENV_JOURNAL_DIR,
    ENV_KOVA_CLIENT_ID,
    ENV_KOVA_CLOUD,
    ENV_KOVA_REFRESH_TOKEN,
    ENV_KOVA_REFRESH_TOKEN_USED,
    ENV_KOVA_TOKEN_ENDPOINT,
    ENV_KOVA_USERINFO_ENDPOINT,
    ENV_MLFLOW_TRACKING_URI,
    ENV_OFFLINE,
    ENV_OIDC_CALLBACK_PORT,
    ENV_OIDC_CLIENT_ID,
    ENV_OIDC_CLIENT_SECRET,
    ENV_OIDC_HOSTNAME,
    ENV_OIDC_ISSUER_URL,
    ENV_RUN_PER_JOB,
    ENV_SYSTEM_METRICS,
    ENV_SYSTEM_METRICS_INTERVAL,
    SYSTEM_METRICS_INTERVAL,
)

def check_auth_env_configs() -> Optional[Authenticator]: ...

# Background logging, for iterations started from now on (None: as the
# environment variable ENV_ASYNC_LOGGING says); the keywords change a setting.
def use_async_logging(
    enabled: Optional[bool] = True,
    *,
    flush_interval: Optional[float] = None,
    max_queued_records: Optional[int] = None,
    exit_timeout: Optional[float] = None,
    journal: Optional[bool] = None,
    journal_segment_bytes: Optional[int] = None,
    requests_in_flight: Optional[int] = None,
    artifact_spool_bytes: Optional[int] = None,
) -> None: ...
# The settings in force (flush_interval, max_queued_records, exit_timeout,
# journal: the folder or None, journal_segment_bytes, requests_in_flight,
# artifact_spool_bytes), or None.
def async_logging() -> Optional[Dict[str, Any]]: ...
def journal_folder() -> str: ...

# Offline: no login, no server; everything kept until `sync` (None: as
# ENV_OFFLINE says).
def use_offline_mode(enabled: Optional[bool] = True) -> None: ...
def offline_mode() -> bool: ...
def use_system_metrics(
    enabled: Optional[bool] = True, *, interval: Optional[float] = None, environment: Optional[bool] = None
) -> None: ...
def system_metrics() -> Optional[Dict[str, Any]]: ...
def environment_record_enabled() -> bool: ...
def run_per_job(asked: Optional[bool] = None) -> bool: ...
def _background_settings() -> Dict[str, Any]: ...
def offline_store(tracking_uri: Optional[str]) -> str: ...
def offline_servers() -> List[str]: ...

# The server `init` uses when a script names none; `sync` sends to it alone.
def configured_server() -> Optional[str]: ...
def sync_command(server: Optional[str], path: Optional[str] = None) -> str: ...
