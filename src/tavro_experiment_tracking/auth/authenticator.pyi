import abc
from abc import ABC
from typing import Any, List, Optional

# The client library ships no type information.
from oic.utils.authn.client import CLIENT_AUTHN_METHOD  # type: ignore[import-untyped]

from tavro_experiment_tracking.auth.store import load_login, save_login
from tavro_experiment_tracking.auth.user import User
from tavro_experiment_tracking.constants import (
    AUTH_REQUEST_TIMEOUT,
    ENV_BCK_LOGNAME,
    ENV_KOVA_REFRESH_TOKEN,
    ENV_KOVA_REFRESH_TOKEN_USED,
    ENV_LOGNAME,
    ENV_MLFLOW_TRACKING_TOKEN,
    ENV_OIDC_CALLBACK_PORT,
    ENV_OIDC_CLIENT_ID,
    ENV_OIDC_CLIENT_SECRET,
    ENV_OIDC_DEVICE_LOGIN,
    ENV_OIDC_KEEP_LOGIN,
)

# The OpenID Connect client classes are imported on first use.
def __dir__() -> List[str]: ...

DEVICE_GRANT: str

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

class OIDCAuthenticator(Authenticator):
    """Implementation for OIDC Authentication"""

    url: str
    hostname: str
    dcr_enabled: Any
    client_id: Optional[str]
    client_secret: Optional[str]
    # The port the login's callback server listens on (None: a free one).
    callback_port: Optional[int]
    # Whether the login is kept between runs (see auth.store).
    keep_login: bool
    # True: the device login; False: the browser login; None: the device
    # login where no browser is usable and the provider offers it.
    device_login: Optional[bool]
    def __init__(
        self,
        url: str,
        hostname: str = "localhost",
        dcr_enabled: Any = True,
        client_id: Optional[str] = None,
        client_secret: Optional[str] = None,
        *args: Any,
        callback_port: Optional[int] = None,
        keep_login: Optional[bool] = None,
        device_login: Optional[bool] = None,
        **kwargs: Any,
    ) -> None: ...
    def authenticate(self, **kwargs: Any) -> User: ...

class KOVAAuthenticator(Authenticator):
    """Implementation for Tavro KOVA Cloud Authentication"""

    _access_token: Optional[str]
    _refresh_token: str
    _token_endpoint: str
    _userinfo_endpoint: str
    _client_id: Optional[str]
    def __init__(
        self,
        refresh_token: str,
        token_endpoint: str,
        userinfo_endpoint: str,
        client_id: Optional[str] = None,
        *args: Any,
        **kwargs: Any,
    ) -> None: ...
    def authenticate(self, **kwargs: Any) -> User: ...
