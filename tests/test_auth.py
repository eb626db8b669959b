"""Authenticator base, authentication resolution, environment configuration
and the browser login's redirect handler."""
import http.client
import logging
import os
import queue
import socket
import threading
import types
from http.server import BaseHTTPRequestHandler
from unittest import mock

import pytest
from oic.oic.message import AuthorizationResponse

from tavro_experiment_tracking import constants
from tavro_experiment_tracking.auth import authenticator as authenticator_module
from tavro_experiment_tracking.auth.authenticator import Authenticator
from tavro_experiment_tracking.auth.lookup import check_authentication
from tavro_experiment_tracking.auth.user import User
from tavro_experiment_tracking.auth.utils import CallbackServer, get_disposable_handler
from tavro_experiment_tracking.config import check_auth_env_configs
from tavro_experiment_tracking.exception import ExperimentTrackingException

from local_auth import CountingProvider, LocalAuthenticator

LOGNAME = constants.ENV_LOGNAME
BACKUP = constants.ENV_BCK_LOGNAME
TOKEN = constants.ENV_MLFLOW_TRACKING_TOKEN


class HandOver(Authenticator):
    """Passes its keywords straight to the base hand-over."""

    def authenticate(self, **kwargs):
        return super().authenticate(**kwargs)


# ---- Authenticator base -------------------------------------------------------------


def test_base_is_abstract_and_subclasses_take_any_arguments():
    with pytest.raises(TypeError, match="abstract"):
        Authenticator()

    class NoLogin(Authenticator):
        pass

    with pytest.raises(TypeError, match="abstract"):
        NoLogin()
    fresh = HandOver(1, "two", three=3)
    assert fresh.is_authenticated is False
    assert (fresh._Authenticator__user, fresh._Authenticator__token_provider) == (None, None)
    with pytest.raises(LookupError, match="^User is not found!, please login first!$"):
        fresh.user
    with pytest.raises(LookupError, match="^Token provider is not initialized!$"):
        fresh.token()


def _env(logname=None, backup=None, token=None):
    for name, value in ((LOGNAME, logname), (BACKUP, backup), (TOKEN, token)):
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


def _state():
    return tuple(os.environ.get(name) for name in (LOGNAME, BACKUP, TOKEN))


@pytest.mark.parametrize(
    "before, after_each",
    [
        # login name a, no backup: backed up, then restored and the backup dropped
        ((("a", None, None)), [("a", "a", None), ("a", None, None), ("a", "a", None)]),
        # a login replaced the name: the earlier one comes back
        ((("b", "a", "tok")), [("a", None, None), ("a", "a", None)]),
        # no login name: a lone backup is left alone
        (((None, "a", "tok")), [(None, "a", None), (None, "a", None)]),
        (((None, None, None)), [(None, None, None)]),
    ],
)
def test_cleanup_transitions(before, after_each):
    _env(*before)
    for expected in after_each:
        Authenticator.cleanup()
        assert _state() == expected
    with pytest.raises(TypeError):
        Authenticator.cleanup(1)


def test_hand_over_stores_what_it_finds():
    auth = HandOver()
    with pytest.raises(KeyError) as missing_user:
        auth.authenticate(**{Authenticator.TOKEN_PROVIDER_KEY: CountingProvider()})
    assert missing_user.value.args == ("USER_KEY",) and not auth.is_authenticated

    alice = User("alice")
    with pytest.raises(KeyError) as missing_provider:
        auth.authenticate(USER_KEY=alice)
    assert missing_provider.value.args == ("TOKEN_PROVIDER_KEY",)
    assert auth.is_authenticated and auth.user is alice
    with pytest.raises(LookupError, match="Token provider is not initialized!"):
        auth.token()

    class Five:
        calls = 0

        def token(self):
            self.calls += 1
            return 5

    provider, bob = Five(), User("bob")
    assert auth.authenticate(USER_KEY=bob, TOKEN_PROVIDER_KEY=provider, other="ignored") is bob
    assert auth.user is bob
    assert (auth.token(), auth.token(), provider.calls) == ("5", "5", 2)
    with pytest.raises(TypeError):
        auth.authenticate(bob)


@pytest.mark.parametrize("logged_in", [False, True])
def test_read_only_members_refuse_assignment(logged_in):
    auth = LocalAuthenticator("alice")
    if logged_in:
        auth.authenticate()
    with pytest.raises(AttributeError, match="^Cannot change is_authenticated value!$"):
        auth.is_authenticated = True
    with pytest.raises(AttributeError, match="^Assigning user not allowed!$"):
        auth.user = User("mallory")
    assert auth.is_authenticated is logged_in


# ---- check_authentication ----------------------------------------------------------


class RecordingEnviron(dict):
    """Stands in for os.environ to see the order of writes."""

    writes = ()

    def __setitem__(self, key, value):
        self.writes += (key,)
        super().__setitem__(key, value)


def _lookup_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "tavro_experiment_tracking.auth.lookup"]


@pytest.mark.parametrize("logged_in", [False, True])
@pytest.mark.parametrize("from_env", [False, True])
def test_check_authentication_decision_table(caplog, logged_in, from_env):
    auth = LocalAuthenticator("alice")
    if logged_in:
        auth.authenticate()
    environ = RecordingEnviron({LOGNAME: "someone"})
    env_configs = mock.Mock(return_value=auth)
    with mock.patch("tavro_experiment_tracking.auth.lookup.check_auth_env_configs", env_configs), \
            mock.patch("tavro_experiment_tracking.auth.lookup.os", types.SimpleNamespace(environ=environ)), \
            caplog.at_level(logging.DEBUG, logger="tavro_experiment_tracking.auth.lookup"):
        result = check_authentication(None if from_env else auth)
    assert result is auth
    assert env_configs.call_count == (1 if from_env else 0)
    assert auth.logins == 1
    assert environ.writes == (TOKEN, LOGNAME)
    assert (environ[TOKEN], environ[LOGNAME]) == ("alice-1", "alice")
    lines = ["Using LocalAuthenticator", "Using username:alice using LocalAuthenticator"]
    if not logged_in:
        lines.insert(1, "Authenticating using LocalAuthenticator")
    assert _lookup_lines(caplog) == lines


@pytest.mark.parametrize("argument, configured", [(None, None), ("", None), (None, 0), (0, "")])
def test_check_authentication_without_any_authenticator(caplog, argument, configured):
    before = dict(os.environ)
    with mock.patch("tavro_experiment_tracking.auth.lookup.check_auth_env_configs", return_value=configured), \
            caplog.at_level(logging.DEBUG):
        result = check_authentication(authenticator=argument)
    assert result is configured
    assert dict(os.environ) == before and _lookup_lines(caplog) == []


def test_check_authentication_writes_nothing_when_the_token_fails():
    class NoToken(LocalAuthenticator):
        def token(self):
            raise RuntimeError("token endpoint down")

    auth = NoToken("alice")
    _env(logname="someone", token="old")
    with pytest.raises(RuntimeError, match="token endpoint down"):
        check_authentication(auth)
    # cleanup() of the login ran; the failed call itself wrote nothing
    assert _state() == ("someone", "someone", None)

    with pytest.raises(TypeError):
        check_authentication()
    with pytest.raises(TypeError):
        check_authentication(auth, auth)


# ---- check_auth_env_configs ----------------------------------------------------------

OIDC = [constants.ENV_OIDC_ISSUER_URL, constants.ENV_OIDC_HOSTNAME, constants.ENV_OIDC_CLIENT_ID,
        constants.ENV_OIDC_CLIENT_SECRET]
KOVA = [constants.ENV_KOVA_REFRESH_TOKEN, constants.ENV_KOVA_TOKEN_ENDPOINT, constants.ENV_KOVA_USERINFO_ENDPOINT,
        constants.ENV_KOVA_CLIENT_ID]


@pytest.fixture
def auth_env(monkeypatch, secrets):
    secrets.update({"r3fresh", "s3cret"})
    for name in OIDC + KOVA:
        monkeypatch.delenv(name, raising=False)

    def set_(**values):
        for constant, value in values.items():
            monkeypatch.setenv(getattr(constants, constant), value)

    return set_


def test_nothing_configured(auth_env):
    auth_env(ENV_OIDC_HOSTNAME="  ", ENV_KOVA_CLIENT_ID="")  # blank counts as unset
    assert check_auth_env_configs() is None


@pytest.mark.parametrize(
    "values, missing",
    [
        ({"ENV_OIDC_HOSTNAME": "127.0.0.1"}, ["ENV_OIDC_ISSUER_URL"]),
        ({"ENV_OIDC_ISSUER_URL": "https://idp", "ENV_OIDC_CLIENT_ID": "cid"}, ["ENV_OIDC_CLIENT_SECRET"]),
        ({"ENV_OIDC_ISSUER_URL": "https://idp", "ENV_OIDC_CLIENT_SECRET": "s3cret"}, ["ENV_OIDC_CLIENT_ID"]),
        ({"ENV_KOVA_REFRESH_TOKEN": "r3fresh"}, ["ENV_KOVA_TOKEN_ENDPOINT", "ENV_KOVA_USERINFO_ENDPOINT"]),
        ({"ENV_KOVA_CLIENT_ID": "cid", "ENV_KOVA_TOKEN_ENDPOINT": "https://t", "ENV_KOVA_USERINFO_ENDPOINT": "https://u"},
         ["ENV_KOVA_REFRESH_TOKEN"]),
    ],
)
def test_partial_configuration_names_what_is_missing(auth_env, values, missing):
    auth_env(**values)
    with pytest.raises(ExperimentTrackingException) as refused:
        check_auth_env_configs()
    assert refused.value.error_code == "INVALID_PARAMETER_VALUE"
    message = str(refused.value)
    for constant in missing:
        assert getattr(constants, constant) in message
    # names only: a secret value never shows
    assert "s3cret" not in message and "r3fresh" not in message


KOVA_COMPLETE = {"ENV_KOVA_REFRESH_TOKEN": "r3fresh", "ENV_KOVA_TOKEN_ENDPOINT": "https://t",
                 "ENV_KOVA_USERINFO_ENDPOINT": "https://u"}
OIDC_COMPLETE = {"ENV_OIDC_ISSUER_URL": "https://idp"}


@pytest.mark.parametrize(
    "values, attributes",
    [
        (dict(OIDC_COMPLETE, ENV_OIDC_CLIENT_ID="cid", ENV_OIDC_CLIENT_SECRET="s3cret"),
         {"url": "https://idp", "hostname": "localhost", "dcr_enabled": False, "client_id": "cid"}),
        (KOVA_COMPLETE, {"_refresh_token": "r3fresh", "_token_endpoint": "https://t", "_userinfo_endpoint": "https://u",
                         "_client_id": None, "_access_token": None}),
    ],
)
def test_configured_login_is_built_ready_to_log_in(auth_env, values, attributes):
    auth_env(**values)
    login = check_auth_env_configs()
    assert {name: getattr(login, name) for name in attributes} == attributes
    assert login.is_authenticated is False


@pytest.mark.parametrize(
    "values, cls, args, kwargs",
    [
        (OIDC_COMPLETE, "OIDCAuthenticator", ("https://idp",),
         {"dcr_enabled": True, "client_id": None, "client_secret": None}),
        (dict(OIDC_COMPLETE, ENV_OIDC_HOSTNAME="127.0.0.1", ENV_OIDC_CLIENT_ID="cid", ENV_OIDC_CLIENT_SECRET="s3cret"),
         "OIDCAuthenticator", ("https://idp",),
         {"hostname": "127.0.0.1", "dcr_enabled": False, "client_id": "cid", "client_secret": "s3cret"}),
        (dict(KOVA_COMPLETE, ENV_KOVA_CLIENT_ID="cid"), "KOVAAuthenticator", ("r3fresh", "https://t", "https://u"),
         {"client_id": "cid"}),
    ],
)
def test_complete_configuration_builds_its_authenticator(auth_env, values, cls, args, kwargs):
    auth_env(**values)
    fake = mock.Mock()
    with mock.patch.object(authenticator_module, cls, fake, create=True):
        assert check_auth_env_configs() is fake.return_value
    fake.assert_called_once_with(*args, **kwargs)


def test_two_configured_logins_are_refused(auth_env):
    auth_env(**OIDC_COMPLETE, **KOVA_COMPLETE)
    with pytest.raises(ExperimentTrackingException, match="both") as refused:
        check_auth_env_configs()
    assert refused.value.error_code == "INVALID_PARAMETER_VALUE"


# ---- the browser login's redirect handler ----------------------------------------------


class FakeIdToken(dict):
    """The claims of an ID token the client library verified, signed as announced."""

    jws_header = {"alg": "RS256"}


class FakeOidcClient:
    """What the handler needs of the OpenID Connect client, recorded."""

    provider_info = {"id_token_signing_alg_values_supported": ["RS256"]}

    def __init__(self, tokens=None, fail=None):
        if tokens and isinstance(tokens.get("id_token"), dict):
            tokens = dict(tokens, id_token=FakeIdToken(tokens["id_token"]))
        self.tokens = tokens
        self.fail = fail
        self.calls = []

    def parse_response(self, response, **kwargs):
        self.calls.append(("parse_response", response, kwargs))
        return {"code": "stored"}

    def do_access_token_request(self, **kwargs):
        self.calls.append(("do_access_token_request", kwargs))
        if self.fail:
            raise self.fail
        return self.tokens


@pytest.fixture
def callback_server(secrets):
    secrets.update({"c0de", "r3fresh", "acc3ss"})
    servers = []

    def start(client, state="st4te"):
        answers = queue.Queue()
        handler = get_disposable_handler(client, state, answers)
        server = CallbackServer(("127.0.0.1", 0), handler)
        thread = threading.Thread(target=server.serve_forever)
        thread.start()
        servers.append((server, thread))

        def get(path):
            conn = http.client.HTTPConnection("127.0.0.1", server.server_port, timeout=30)
            conn.request("GET", path)
            response = conn.getresponse()
            body = response.read().decode()
            conn.close()
            return response.status, body

        return types.SimpleNamespace(server=server, thread=thread, queue=answers, get=get)

    yield start
    for server, thread in servers:
        server.shutdown()
        thread.join()
        server.server_close()


def _drain(q):
    return [q.get_nowait() for _ in range(q.qsize())]


ID_TOKEN = {"sub": "u-1", "email": "alice@example.org", "preferred_username": "alice"}


@pytest.mark.parametrize(
    "claims, name",
    [
        (ID_TOKEN, "alice"),
        ({"sub": "u-1", "email": "alice@example.org"}, "alice@example.org"),
        ({"sub": "u-1"}, "u-1"),
    ],
)
def test_callback_delivers_refresh_token_then_name(callback_server, caplog, claims, name):
    client = FakeOidcClient({"access_token": "acc3ss", "refresh_token": "r3fresh", "id_token": dict(claims)})
    login = callback_server(client)
    assert issubclass(login.server.RequestHandlerClass, BaseHTTPRequestHandler)
    with caplog.at_level(logging.DEBUG):
        status, body = login.get("/callback?code=c0de&state=st4te")
        login.thread.join(30)
    assert status == 200 and name in body
    assert not login.thread.is_alive()  # the handler ended the serving loop
    assert _drain(login.queue) == ["r3fresh", name]
    assert client.calls == [
        ("parse_response", AuthorizationResponse, {"info": "code=c0de&state=st4te", "sformat": "urlencoded"}),
        ("do_access_token_request",
         {"state": "st4te", "request_args": {"code": "c0de"}, "authn_method": "client_secret_basic"}),
    ]
    logged = "\n".join(r.getMessage() for r in caplog.records)
    assert not any(secret in logged for secret in ("c0de", "r3fresh", "acc3ss", "st4te"))


def test_callback_refuses_another_state_and_keeps_waiting(callback_server):
    client = FakeOidcClient({"refresh_token": "r3fresh", "id_token": dict(ID_TOKEN)})
    login = callback_server(client)
    assert login.get("/favicon.ico")[0] == 404
    for path in ("/callback?code=forged&state=other", "/callback?code=forged"):
        status, body = login.get(path)
        assert status == 400 and "does not belong" in body
    assert client.calls == [] and login.queue.empty() and login.thread.is_alive()
    # the login's own answer still gets through, and only once
    assert login.get("/callback?code=c0de&state=st4te")[0] == 200
    login.thread.join(30)
    assert _drain(login.queue) == ["r3fresh", "alice"]


@pytest.mark.parametrize(
    "path, client",
    [
        ("/callback?error=access_denied&error_description=User+said+no&state=st4te", FakeOidcClient()),
        ("/callback?state=st4te", FakeOidcClient()),
        ("/callback?code=c0de&state=st4te", FakeOidcClient({"error": "invalid_grant"})),
        ("/callback?code=c0de&state=st4te", FakeOidcClient({"id_token": dict(ID_TOKEN)})),  # no refresh token
        ("/callback?code=c0de&state=st4te", FakeOidcClient({"refresh_token": "r3fresh"})),  # no ID token
        ("/callback?code=c0de&state=st4te", FakeOidcClient(fail=ValueError("r3fresh in a message"))),
    ],
)
def test_failed_callback_ends_the_login_with_its_reason(callback_server, caplog, path, client):
    login = callback_server(client)
    with caplog.at_level(logging.DEBUG):
        status, body = login.get(path)
        login.thread.join(30)
    assert status in (400, 500) and "Login failed" in body
    assert not login.thread.is_alive()
    [failure] = _drain(login.queue)  # one reason in place of the two values: the login fails at once
    assert isinstance(failure, ExperimentTrackingException) and str(failure).startswith("Browser login failed: ")
    assert "r3fresh" not in body + str(failure) + "\n".join(r.getMessage() for r in caplog.records)


def test_callback_server_survives_idle_slow_and_malformed_connections(callback_server, capfd):
    login = callback_server(FakeOidcClient({"refresh_token": "r3fresh", "id_token": dict(ID_TOKEN)}))
    login.server.request_deadline = 3.0
    port = login.server.server_port

    def slow_sender():  # a byte now and then, never a whole request
        connection = socket.create_connection(("127.0.0.1", port))

        def dribble():
            with connection:
                try:
                    while True:
                        connection.sendall(b"G")
                        threading.Event().wait(0.2)
                except OSError:
                    pass

        sender = threading.Thread(target=dribble, daemon=True)
        sender.start()
        return sender

    first = slow_sender()
    first.join(30)
    assert not first.is_alive()  # cut at its deadline
    idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(200)]  # pre-connects, never used
    slow = slow_sender()
    answers = []
    for line in (b"GET /callback HTTP/9\r\n\r\n", b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n"):
        with socket.create_connection(("127.0.0.1", port), timeout=30) as bad:
            bad.sendall(line)
            answers.append(bad.makefile("rb").read())
    assert b"Error code: 400" in answers[0] and answers[1].startswith(b"HTTP/1.0 414 ")
    assert login.get("/callback?code=c0de&state=st4te")[0] == 200
    assert slow.is_alive()  # answered beside the idle and slow connections, not after them
    login.thread.join(30)
    login.server.server_close()
    slow.join(30)
    assert not slow.is_alive()  # closing the server cuts what is left
    for connection in idle:
        connection.close()
    assert _drain(login.queue) == ["r3fresh", "alice"]
    assert capfd.readouterr().err == ""  # no traceback of the server's
