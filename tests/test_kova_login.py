"""The cloud platform login against loopback token and user-information
endpoints, then init on the real tracking server with its token and name."""
import logging
import os
import socket
from urllib.parse import parse_qs

import pytest
import requests
from mlflow.tracking import MlflowClient

import tavro_authn
from tavro_experiment_tracking import constants, context
from tavro_experiment_tracking.auth import authenticator as authenticator_module
from tavro_experiment_tracking.auth.authenticator import KOVAAuthenticator
from tavro_experiment_tracking.auth.guard import AnswerTooLarge  # its published name
from tavro_experiment_tracking.exception import ExperimentTrackingException
from tavro_experiment_tracking.tracking.initialize import init

TOKENS = {"access_token": "acc3ss-1", "refresh_token": "r3fresh-2", "expires_in": 600}
FORM = "application/x-www-form-urlencoded"


@pytest.fixture(autouse=True)
def _tokens_are_secrets(secrets):
    secrets.update({"acc3ss-1", "acc3ss-2", "acc3ss-9", "r3fresh-0", "r3fresh-1", "r3fresh-2", "r3fresh-3",
                    "r3fresh-9"})


def _login(endpoints, refresh_token="r3fresh-1", client_id="cid"):
    return KOVAAuthenticator(refresh_token, endpoints.url + "/token", endpoints.url + "/userinfo", client_id)


def test_login_sends_exactly_two_requests_and_keeps_the_rotated_token(endpoints, caplog):
    endpoints.answer("/token", (200, TOKENS), (200, dict(TOKENS, access_token="acc3ss-2", refresh_token="r3fresh-3")))
    endpoints.answer("/userinfo", (200, {"preferred_username": "alice", "email": "alice@example.org"}))
    login = _login(endpoints)
    with caplog.at_level(logging.DEBUG):
        user = login.authenticate(ignored=True)

    (m1, p1, h1, b1), (m2, p2, h2, b2) = endpoints.requests
    assert (m1, p1, h1["Content-Type"], b1) == ("POST", "/token", FORM,
                                                 "refresh_token=r3fresh-1&grant_type=refresh_token&client_id=cid")
    assert (m2, p2, h2["Content-Type"], h2["Authorization"], b2) == ("GET", "/userinfo", FORM, "Bearer acc3ss-1", "")
    assert user.username == "alice" and login.user is user and login.is_authenticated
    assert (login._access_token, login._refresh_token) == ("acc3ss-1", "r3fresh-2")
    provider = login._Authenticator__token_provider
    assert (provider._refresh_token, provider._client_id, provider._token_endpoint_url) == (
        "r3fresh-2", "cid", endpoints.url + "/token")
    assert not any(t in r.getMessage() for r in caplog.records for t in ("acc3ss", "r3fresh"))

    login.authenticate()  # starts from the refresh token the platform issued last
    assert parse_qs(endpoints.requests[2][3])["refresh_token"] == ["r3fresh-2"]
    assert login._refresh_token == "r3fresh-3"
    endpoints.answer("/token", (200, {"access_token": "acc3ss-2"}))  # a platform that does not rotate
    assert login.authenticate().username == "alice" and login._refresh_token == "r3fresh-3"


@pytest.mark.parametrize(
    "token_answer, info_answer, message, rotated",
    [
        ((201, TOKENS), None, "Authentication failed for the endpoint: {url}/token, status: 201!", False),
        ((401, {"error": "invalid_grant"}), None, "Authentication failed for the endpoint: {url}/token, status: 401!",
         False),
        ((200, TOKENS), (401, {}), "User info request failed for the endpoint: {url}/userinfo, status: 401!", True),
        ((200, TOKENS), (200, {"name": "Alice"}),
         "Couldn't find 'preferred_username', 'email' attributes in the userinfo response for the endpoint: "
         "{url}/userinfo, status: 200", True),
    ],
)
def test_refusals_keep_the_previous_login(endpoints, token_answer, info_answer, message, rotated):
    endpoints.answer("/token", (200, dict(TOKENS, refresh_token="r3fresh-0")), token_answer)
    endpoints.answer("/userinfo", (200, {"email": "first@example.org"}), info_answer or (200, {}))
    login = _login(endpoints)
    first = login.authenticate()
    assert first.username == "first@example.org"  # email when there is no preferred_username
    os.environ[constants.ENV_MLFLOW_TRACKING_TOKEN] = "stale"
    with pytest.raises(ExperimentTrackingException) as refused:
        login.authenticate()
    assert str(refused.value) == message.format(url=endpoints.url)
    assert login.user is first  # still the earlier login
    assert login._refresh_token == ("r3fresh-2" if rotated else "r3fresh-0")
    assert constants.ENV_MLFLOW_TRACKING_TOKEN not in os.environ


@pytest.mark.parametrize("body, error", [("r3fresh-9 not json", ValueError), ({"refresh_token": "r3fresh-9"}, KeyError),
                                         ({"access_token": None, "refresh_token": "r3fresh-9"}, KeyError)])
def test_token_answer_without_access_token(endpoints, body, error):
    endpoints.answer("/token", (200, body))
    login = _login(endpoints)
    with pytest.raises(error) as failed:
        login.authenticate()
    assert "r3fresh-9" not in str(failed.value) and "acc3ss-9" not in str(failed.value)
    assert not login.is_authenticated and [r[1] for r in endpoints.requests] == ["/token"]  # no "Bearer None"


@pytest.mark.parametrize("status", [307, 308])
@pytest.mark.parametrize("path", ["/token", "/userinfo", "/refresh"])
def test_no_request_carrying_a_token_follows_a_redirect(endpoints, status, path):
    endpoints.answer("/token", (200, TOKENS))
    endpoints.answer("/userinfo", (200, {"preferred_username": "alice"}))
    endpoints.answer(path, (status, endpoints.url + "/elsewhere"))
    if path == "/refresh":
        provider = tavro_authn.TokenProvider(refresh_token="r3fresh-1", client_id="cid",
                                             token_endpoint_url=endpoints.url + path)
        with pytest.raises(tavro_authn.TokenError, match="{}: status {}".format(endpoints.url + path, status)):
            provider.token()
    else:
        with pytest.raises(ExperimentTrackingException, match="{}, status: {}!".format(endpoints.url + path, status)):
            _login(endpoints).authenticate()
    assert [p for _, p, _, _ in endpoints.requests if p == "/elsewhere"] == []


@pytest.mark.parametrize("behaviour", ["dribble", "huge", "endless"])
@pytest.mark.parametrize("who", ["login", "token provider"])
def test_answers_are_bounded_in_time_and_size(hostile, monkeypatch, behaviour, who):
    endpoint = hostile(behaviour)
    # Cut after the status line: what the HTTP client would take for a whole empty answer.
    monkeypatch.setattr(authenticator_module, "AUTH_REQUEST_TIMEOUT", 2.5)
    monkeypatch.setattr(tavro_authn, "REQUEST_TIMEOUT", 2.5)
    refused = AnswerTooLarge if who == "login" else tavro_authn.TokenError
    with pytest.raises(requests.Timeout if behaviour == "dribble" else refused):
        if who == "login":
            KOVAAuthenticator("r3fresh-1", endpoint.url + "/token", endpoint.url + "/userinfo").authenticate()
        else:
            tavro_authn.TokenProvider(refresh_token="r3fresh-1", client_id=None,
                                      token_endpoint_url=endpoint.url + "/token").token()
    assert endpoint.sent < 10_000_000  # refused while arriving, not read whole


@pytest.mark.parametrize("refresh_token, client_id",
                         [("a&grant_type=password&b=c+d%20e f/é", "id&x=1"), ("r-1_2.3", None)])
def test_values_reach_the_platform_intact(endpoints, refresh_token, client_id):
    endpoints.answer("/token", (200, TOKENS))
    endpoints.answer("/userinfo", (200, {"preferred_username": "alice"}))
    _login(endpoints, refresh_token, client_id).authenticate()
    sent = parse_qs(endpoints.requests[0][3])
    expected = {"refresh_token": [refresh_token], "grant_type": ["refresh_token"]}
    if client_id is not None:
        expected["client_id"] = [client_id]
    assert sent == expected
    if client_id is None:
        assert endpoints.requests[0][3] == "refresh_token=r-1_2.3&grant_type=refresh_token"


def test_an_endpoint_that_never_answers_is_bounded(monkeypatch):
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(1)  # connections are queued, never answered
    url = "http://127.0.0.1:{}".format(silent.getsockname()[1])
    monkeypatch.setattr(authenticator_module, "AUTH_REQUEST_TIMEOUT", 0.5)
    try:
        with pytest.raises(requests.Timeout):
            KOVAAuthenticator("r", url + "/token", url + "/userinfo").authenticate()
    finally:
        silent.close()


def test_platform_job_tracks_as_the_platform_user(endpoints, tracking_server, unique_name, monkeypatch):
    endpoints.answer("/token", (200, TOKENS))
    endpoints.answer("/userinfo", (200, {"preferred_username": "platform-alice"}))
    for name, value in ((constants.ENV_KOVA_CLOUD, "1"), (constants.ENV_EXP_TRACKING_SERVER_URI, tracking_server),
                        (constants.ENV_KOVA_REFRESH_TOKEN, "r3fresh-1"),
                        (constants.ENV_KOVA_TOKEN_ENDPOINT, endpoints.url + "/token"),
                        (constants.ENV_KOVA_USERINFO_ENDPOINT, endpoints.url + "/userinfo")):
        monkeypatch.setenv(name, value)

    experiment = init("platform-project", unique_name("e"))  # no address, no authenticator: all from the platform
    login = experiment.client.authenticator
    assert isinstance(login, KOVAAuthenticator) and experiment.client.tracking_uri == tracking_server
    iteration = experiment.get_iteration()
    iteration.log_param("lr", "0.1")
    again = init("platform-project", unique_name("e"))
    assert again.client.authenticator is login and len([r for r in endpoints.requests if r[1] == "/userinfo"]) == 1
    run = MlflowClient(tracking_server).get_run(iteration.iteration_id)
    assert run.data.tags["mlflow.user"] == "platform-alice"
    assert os.environ[constants.ENV_MLFLOW_TRACKING_TOKEN] == "acc3ss-1"
    # The platform retired the refresh token: a child process inheriting the
    # environment (nothing else) is told why it cannot log in.
    assert constants.ENV_KOVA_REFRESH_TOKEN not in os.environ
    context.current_client.update(None)
    with pytest.raises(ExperimentTrackingException, match="already used by process {},".format(os.getpid())):
        init("platform-project", unique_name("e"))
