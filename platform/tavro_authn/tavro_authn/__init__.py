"""Access tokens for a logged-in user, obtained with an OAuth 2.0 refresh token.

A stand-in for the platform's own token library, written from what the
experiment-tracking client needs of it: ``TokenProvider(refresh_token=...,
client_id=..., token_endpoint_url=...)`` and ``token()``, which returns an
access token that is valid now.
"""
import json
import os
import socket
import threading
import time
from typing import List, Optional, Tuple

import requests
from requests.adapters import HTTPAdapter
from urllib3.connection import HTTPConnection, HTTPSConnection
from urllib3.connectionpool import HTTPConnectionPool, HTTPSConnectionPool

__all__ = ["TokenProvider", "TokenError"]

# Seconds before expiry at which a cached access token is renewed; a token
# that lives shorter than four times this is renewed after three quarters of
# its life instead.
EXPIRY_MARGIN = 30.0
# Seconds one refresh may take as a whole: connecting, sending, and reading
# the complete answer.
REQUEST_TIMEOUT = 30.0
# Bytes a token answer may hold (they are a few kilobytes).
MAX_ANSWER_BYTES = 64 * 1024


class TokenError(Exception):
    """The token endpoint refused the refresh token or answered nonsense."""


# ---- one refresh, bounded as a whole ------------------------------------------------
#
# `requests`' timeout bounds each read: an endpoint sending a byte now and then
# would hold the refresh (and the training run waiting for its token) for as
# long as it likes. The sockets an exchange opens are recorded, and a
# watchdog shuts them down when the exchange's time is up.

_exchange = threading.local()


class _Watched:
    def _new_conn(self):
        sock = super()._new_conn()
        sockets = getattr(_exchange, "sockets", None)
        if sockets is not None:
            # A duplicate reaches the same connection after TLS has taken
            # over the original's descriptor.
            sockets.append(sock.dup())
        return sock


class _HTTPConnection(_Watched, HTTPConnection):
    pass


class _HTTPSConnection(_Watched, HTTPSConnection):
    pass


class _HTTPConnectionPool(HTTPConnectionPool):
    ConnectionCls = _HTTPConnection


class _HTTPSConnectionPool(HTTPSConnectionPool):
    ConnectionCls = _HTTPSConnection


class _WatchedAdapter(HTTPAdapter):
    def init_poolmanager(self, *args, **kwargs):
        super().init_poolmanager(*args, **kwargs)
        self.poolmanager.pool_classes_by_scheme = {"http": _HTTPConnectionPool, "https": _HTTPSConnectionPool}


def _cut(sockets: List[socket.socket], expired: threading.Event) -> None:
    expired.set()
    for sock in list(sockets):
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def _post(url: str, data: dict) -> Tuple[int, bytes]:
    """POST a form; returns the answer's status and body. No redirect is
    followed: it would send the refresh token wherever it points."""
    sockets: List[socket.socket] = []
    expired = threading.Event()
    watchdog = threading.Timer(REQUEST_TIMEOUT, _cut, (sockets, expired))
    watchdog.daemon = True
    session = requests.Session()
    adapter = _WatchedAdapter()
    session.mount("http://", adapter)
    session.mount("https://", adapter)
    _exchange.sockets = sockets
    watchdog.start()
    try:
        try:
            with session.post(url, data=data, timeout=REQUEST_TIMEOUT, allow_redirects=False, stream=True) as answer:
                announced = answer.headers.get("Content-Length", "").strip()
                if announced.isdigit() and int(announced) > MAX_ANSWER_BYTES:
                    raise TokenError("Token endpoint {} answered more than {} bytes".format(url, MAX_ANSWER_BYTES))
                body = bytearray()
                for chunk in answer.iter_content(1 << 16):
                    body += chunk
                    if len(body) > MAX_ANSWER_BYTES:
                        raise TokenError("Token endpoint {} answered more than {} bytes".format(url,
                                                                                              MAX_ANSWER_BYTES))
        except requests.RequestException:
            if not expired.is_set():
                raise
        # Cut by the watchdog, whatever the cut looked like from inside (cut
        # between headers, it can pass for a whole empty answer).
        if expired.is_set():
            raise requests.exceptions.ReadTimeout(
                "No complete answer from token endpoint {} within {} s".format(url, REQUEST_TIMEOUT)
            )
        return answer.status_code, bytes(body)
    finally:
        watchdog.cancel()
        _exchange.sockets = None
        session.close()
        for sock in sockets:
            sock.close()


class TokenProvider:
    def __init__(self, refresh_token: str, client_id: Optional[str], token_endpoint_url: str):
        self._refresh_token = refresh_token
        self._client_id = client_id
        self._token_endpoint_url = token_endpoint_url
        self._access_token: Optional[str] = None
        self._renew_at = 0.0
        self._lock = threading.Lock()
        # A refresh token is used once: only the process that was given it
        # may present it (a forked child shares it, but must not use it).
        self._owner = os.getpid()
        self._lock_pid = self._owner

    def __repr__(self) -> str:
        # Never show tokens.
        return "<TokenProvider endpoint={!r} client_id={!r}>".format(self._token_endpoint_url, self._client_id)

    def token(self) -> str:
        """Return an access token valid now, refreshing it when it is about to expire."""
        if self._lock_pid != os.getpid():
            # Forked while another thread may have held the lock: the child's
            # copy of it would never be released.
            self._lock = threading.Lock()
            self._lock_pid = os.getpid()
        with self._lock:
            if self._access_token is None or time.monotonic() >= self._renew_at:
                self._refresh()
            return self._access_token

    def _refresh(self) -> None:
        if os.getpid() != self._owner:
            raise TokenError(
                "This process (forked from process {}) cannot renew the access token: the refresh token belongs "
                "to process {}, and the token endpoint accepts it once. Log in again in this process to get a "
                "refresh token of its own.".format(self._owner, self._owner)
            )
        data = {"grant_type": "refresh_token", "refresh_token": self._refresh_token}
        if self._client_id is not None:
            data["client_id"] = self._client_id
        status, body = _post(self._token_endpoint_url, data)
        if status != 200:
            raise TokenError("Token refresh failed at {}: status {}".format(self._token_endpoint_url, status))
        try:
            answer = json.loads(body)
            access_token = answer["access_token"]
        except (ValueError, KeyError, TypeError):
            raise TokenError("Token endpoint {} sent no access token".format(self._token_endpoint_url)) from None
        # A null or empty token would be sent on as "Bearer None".
        if not isinstance(access_token, str) or not access_token:
            raise TokenError("Token endpoint {} sent no access token".format(self._token_endpoint_url))
        self._access_token = access_token
        try:
            lifetime = float(answer["expires_in"])
        except (KeyError, TypeError, ValueError):
            lifetime = float("inf")  # no lifetime given: kept until the process ends
        self._renew_at = time.monotonic() + lifetime - min(EXPIRY_MARGIN, lifetime / 4)
        # Providers that rotate refresh tokens send the next one along.
        if isinstance(answer.get("refresh_token"), str) and answer["refresh_token"]:
            self._refresh_token = answer["refresh_token"]
