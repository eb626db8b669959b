from http.server import BaseHTTPRequestHandler
from queue import Queue
from typing import Any, List, Type

# The OpenID Connect messages are imported on first use.
def __dir__() -> List[str]: ...

class CallbackHandler(BaseHTTPRequestHandler):
    """Receives the identity provider's redirect to ``/callback`` for one browser login."""

    def do_GET(self) -> None: ...

def get_disposable_handler(client: Any, state: str, queue: Queue[Any]) -> Type[CallbackHandler]: ...
