import abc
from abc import ABC
from typing import Any

# The client library ships no type information.
from oic.utils.authn.client import CLIENT_AUTHN_METHOD  # type: ignore[import-untyped]

from tavro_experiment_tracking.auth.user import User
from tavro_experiment_tracking.constants import ENV_BCK_LOGNAME, ENV_LOGNAME, ENV_MLFLOW_TRACKING_TOKEN

class Authenticator(ABC):
    """Abstract class for Authentication."""

    USER_KEY: str
    TOKEN_PROVIDER_KEY: str
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    @staticmethod
    def cleanup() -> None: ...
    @property
    def is_authenticated(self) -> bool: ...
    @abc.abstractmethod
    def authenticate(self, **kwargs: Any) -> User: ...
    # A fresh token from the login's token provider, as text.
    def token(self) -> str: ...
    @property
    def user(self) -> User: ...
