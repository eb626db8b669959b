import socket
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from queue import Queue
from typing import Any, Dict, List, Optional, Tuple, Type

# The OpenID Connect messages are imported on first use.
def __dir__() -> List[str]: ...

class CallbackHandler(BaseHTTPRequestHandler):
    """Receives the identity provider's redirect to ``/callback`` for one browser login."""

    def do_GET(self) -> None: ...

class CallbackServer(ThreadingHTTPServer):
    """The browser login's local server: the provider's redirect arrives here."""

    request_deadline: float
    _deadlines: Dict[socket.socket, Optional[float]]
    def __init__(
        self,
        server_address: Tuple[str, int],
        RequestHandlerClass: Type[BaseHTTPRequestHandler],
        bind_and_activate: bool = True,
    ) -> None: ...
    def serve_forever(self, poll_interval: float = 0.1) -> None: ...
    def request_received(self, request: socket.socket) -> None: ...

def id_token_user(id_token: Any) -> Optional[str]: ...
def get_disposable_handler(client: Any, state: str, queue: Queue[Any]) -> Type[CallbackHandler]: ...
