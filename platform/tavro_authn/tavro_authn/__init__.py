"""Access tokens for a logged-in user, obtained with an OAuth 2.0 refresh token.

A stand-in for the platform's own token library, written from what the
experiment-tracking client needs of it: ``TokenProvider(refresh_token=...,
client_id=..., token_endpoint_url=...)`` and ``token()``, which returns an
access token that is valid now.
"""
import threading
import time
from typing import Optional

import requests

__all__ = ["TokenProvider", "TokenError"]

# Seconds before expiry at which a cached access token is renewed; a token
# that lives shorter than four times this is renewed after three quarters of
# its life instead.
EXPIRY_MARGIN = 30.0
# Seconds to wait for the token endpoint.
REQUEST_TIMEOUT = 30.0


class TokenError(Exception):
    """The token endpoint refused the refresh token or answered nonsense."""


class TokenProvider:
    def __init__(self, refresh_token: str, client_id: Optional[str], token_endpoint_url: str):
        self._refresh_token = refresh_token
        self._client_id = client_id
        self._token_endpoint_url = token_endpoint_url
        self._access_token: Optional[str] = None
        self._renew_at = 0.0
        self._lock = threading.Lock()

    def __repr__(self) -> str:
        # Never show tokens.
        return "<TokenProvider endpoint={!r} client_id={!r}>".format(self._token_endpoint_url, self._client_id)

    def token(self) -> str:
        """Return an access token valid now, refreshing it when it is about to expire."""
        with self._lock:
            if self._access_token is None or time.monotonic() >= self._renew_at:
                self._refresh()
            return self._access_token

    def _refresh(self) -> None:
        data = {"grant_type": "refresh_token", "refresh_token": self._refresh_token}
        if self._client_id is not None:
            data["client_id"] = self._client_id
        response = requests.post(self._token_endpoint_url, data=data, timeout=REQUEST_TIMEOUT)
        if response.status_code != 200:
            raise TokenError(
                "Token refresh failed at {}: status {}".format(self._token_endpoint_url, response.status_code)
            )
        try:
            body = response.json()
            access_token = body["access_token"]
        except (ValueError, KeyError, TypeError):
            raise TokenError("Token endpoint {} sent no access token".format(self._token_endpoint_url)) from None
        self._access_token = str(access_token)
        try:
            lifetime = float(body["expires_in"])
        except (KeyError, TypeError, ValueError):
            lifetime = float("inf")  # no lifetime given: kept until the process ends
        self._renew_at = time.monotonic() + lifetime - min(EXPIRY_MARGIN, lifetime / 4)
        # Providers that rotate refresh tokens send the next one along.
        if body.get("refresh_token"):
            self._refresh_token = body["refresh_token"]
