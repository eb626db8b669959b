# Bounded HTTP exchanges (the logins', and the background sender's through the
# HTTP library), and the rule that nothing goes over plain http to another machine.
from typing import Any, Optional

# The HTTP library ships no type information here.
import requests  # type: ignore[import-untyped]
from requests.adapters import HTTPAdapter  # type: ignore[import-untyped]
from requests.exceptions import RequestException  # type: ignore[import-untyped]

from tavro_experiment_tracking.constants import AUTH_MAX_ANSWER_BYTES, AUTH_REQUEST_TIMEOUT

class AnswerTooLarge(RequestException):
    """An answer larger than a login's exchange accepts: refused before it was read whole."""

class PlainHttpRefused(RequestException):
    """A login's request to another machine over plain http: refused before anything was sent."""

def check_endpoint(url: object, what: str) -> None: ...

class BoundedAdapter(HTTPAdapter):
    """A transport adapter that bounds each exchange as a whole (see ``bounded_session``)."""

    deadline: float
    max_bytes: int
    plain_http: bool
    def __init__(self, deadline: float, max_bytes: int, *, plain_http: bool = False) -> None: ...
    def abort(self) -> None:
        """Cut every exchange under way and refuse new ones."""
    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None: ...
    def proxy_manager_for(self, proxy: Any, **proxy_kwargs: Any) -> Any: ...
    def send(
        self,
        request: requests.PreparedRequest,
        stream: bool = False,
        timeout: Any = None,
        verify: Any = True,
        cert: Any = None,
        proxies: Any = None,
    ) -> requests.Response: ...

def bounded_session(
    deadline: Optional[float] = None, max_bytes: Optional[int] = None, *, plain_http: bool = False
) -> requests.Session: ...
def abort_exchanges(session: requests.Session) -> None: ...
