from typing import Iterable, Mapping, Optional

# The tracking library ships no type information, so its records are Any to
# a type checker; the names still say what is returned.
from mlflow.entities import Param  # type: ignore[import-untyped]

from tavro_experiment_tracking.constants import ENV_KOVA_CLOUD, SERVER_PROBE_TIMEOUT

def is_cloud() -> bool: ...
def is_server_up(address: str) -> bool: ...
# Why no tracking store is at the address, in a few words; None when one is.
def server_problem(address: Optional[str]) -> Optional[str]: ...
# An empty string when the batch may be written, else a description of the
# keys already logged with another value.
def _validate_keys_already_exists(params: Iterable[Param], logged_params: Mapping[str, str]) -> str: ...
