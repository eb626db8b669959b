"""The token provider stand-in against a real loopback token endpoint."""
import os
import threading
import types
from urllib.parse import parse_qs

import pytest

import tavro_authn


class Clock:
    def __init__(self):
        self.now = 1000.0

    def monotonic(self):
        return self.now


def _rotating(prefix, lifetime):
    count = {"n": 0}

    def answer(body):
        count["n"] += 1
        return {"access_token": "{}-{}".format(prefix, count["n"]), "refresh_token": "r{}".format(count["n"]),
                "expires_in": lifetime}

    return answer


def _sent(endpoints):
    return [{k: v[0] for k, v in parse_qs(body).items()} for _, _, _, body in endpoints.requests]


def test_one_refresh_for_many_threads_then_renewal_before_expiry_with_the_rotated_token(endpoints, monkeypatch):
    clock = Clock()
    monkeypatch.setattr(tavro_authn, "time", types.SimpleNamespace(monotonic=clock.monotonic))
    endpoints.answer("/token", (200, _rotating("a", 600)))
    provider = tavro_authn.TokenProvider(refresh_token="r0", client_id="cid",
                                         token_endpoint_url=endpoints.url + "/token")

    start, tokens = threading.Barrier(32), []

    def ask():
        start.wait()
        tokens.append(provider.token())

    threads = [threading.Thread(target=ask) for _ in range(32)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert tokens == ["a-1"] * 32 and len(endpoints.requests) == 1

    clock.now += 600 - 31  # still valid for longer than the margin
    assert provider.token() == "a-1" and len(endpoints.requests) == 1
    clock.now += 2  # within 30 s of expiry: renewed with the refresh token the endpoint rotated in
    assert provider.token() == "a-2"
    assert _sent(endpoints) == [
        {"grant_type": "refresh_token", "refresh_token": "r0", "client_id": "cid"},
        {"grant_type": "refresh_token", "refresh_token": "r1", "client_id": "cid"},
    ]

    # a token living a few seconds is kept for three quarters of its life
    endpoints.answer("/token", (200, _rotating("b", 4)))
    clock.now += 1000
    assert provider.token() == "b-1"
    clock.now += 2.9
    assert provider.token() == "b-1"
    clock.now += 0.2
    assert provider.token() == "b-2"


@pytest.mark.parametrize("status, body", [(401, {"error": "invalid_grant"}), (200, "not json r3fresh"), (200, {}),
                                          (200, {"access_token": None})])
def test_refused_refresh_names_endpoint_not_token(endpoints, secrets, status, body):
    secrets.add("r3fresh")
    endpoints.answer("/token", (status, body))
    provider = tavro_authn.TokenProvider(refresh_token="r3fresh", client_id=None,
                                         token_endpoint_url=endpoints.url + "/token")
    with pytest.raises(tavro_authn.TokenError) as refused:
        provider.token()
    assert endpoints.url + "/token" in str(refused.value) and "r3fresh" not in str(refused.value)
    if status != 200:
        assert "401" in str(refused.value)
    assert "client_id" not in _sent(endpoints)[0]


def test_a_forked_child_never_presents_the_parents_refresh_token(endpoints, monkeypatch):
    clock = Clock()
    monkeypatch.setattr(tavro_authn, "time", types.SimpleNamespace(monotonic=clock.monotonic))
    endpoints.answer("/token", (200, _rotating("a", 600)))
    provider = tavro_authn.TokenProvider(refresh_token="r0", client_id=None,
                                         token_endpoint_url=endpoints.url + "/token")
    assert provider.token() == "a-1"
    child = os.fork()
    if child == 0:  # the access token it inherited is still good; renewing it is not its to do
        ok = provider.token() == "a-1"
        clock.now += 1000
        try:
            provider.token()
        except tavro_authn.TokenError as refused:
            os._exit(0 if ok and "forked from process {}".format(os.getppid()) in str(refused) else 2)
        os._exit(1)
    _, status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(status) == 0 and len(endpoints.requests) == 1
    clock.now += 1000
    assert provider.token() == "a-2"  # the parent renews with the token nobody else presented
