"""The browser login: its calls in order, and whole logins against the
loopback provider, with an HTTP client (or a headless Chromium) as the
user's browser, ending in a tracking server that checks the token."""
import base64
import logging
import os
import queue
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import textwrap
import threading
import time
import types
import urllib.error
import urllib.request
from unittest import mock
from urllib.parse import parse_qs, urlsplit

import pytest
import requests
from journals import metric, plant
from mlflow.tracking import MlflowClient

from tavro_experiment_tracking import cli, config, constants
from tavro_experiment_tracking.auth import authenticator as authenticator_module, device as device_module, store
from tavro_experiment_tracking.auth.authenticator import OIDCAuthenticator
from tavro_experiment_tracking.exception import ExperimentTrackingException
from tavro_experiment_tracking.tracking.initialize import init

from servers import free_port


@pytest.mark.parametrize(
    "kwargs, refusal",
    [
        ({}, None),
        ({"client_id": ""}, "enabled"),
        ({"client_secret": "s"}, "enabled"),
        ({"dcr_enabled": 0, "client_id": "cid"}, "disabled"),
        ({"dcr_enabled": None, "client_secret": "s"}, "disabled"),
        ({"dcr_enabled": False, "client_id": "", "client_secret": ""}, None),
    ],
)
def test_constructor_checks(kwargs, refusal):
    if refusal:
        message = "^When dcr_enabled is {}, client_id and client_secret should".format(refusal)
        with pytest.raises(ValueError, match=message):
            OIDCAuthenticator("https://idp", **kwargs)
        return
    login = OIDCAuthenticator("https://idp", **kwargs)
    assert (login.url, login.hostname, login.is_authenticated) == ("https://idp", "localhost", False)


# ---- the calls of one login, with every collaborator replaced ---------------------------


@pytest.fixture
def parts(monkeypatch):
    m = mock.Mock()
    m.rndstr.side_effect = ["st4te", "n0nce"]
    m.Queue.return_value.get.side_effect = ["r3fresh", "alice"]
    m.HTTPServer.return_value.server_port = 4711
    client = m.Client.return_value
    client.provider_config.return_value = {"registration_endpoint": "https://idp/reg",
                                           "token_endpoint": "https://idp/token"}
    client.client_id = "cid"
    client.registration_response = {"redirect_uris": ["http://localhost:4711/callback"]}
    client.state2nonce = {}
    client.authorization_endpoint = "https://idp/auth"
    for name in ("Client", "rndstr", "Queue", "get_disposable_handler", "HTTPServer", "Thread", "webbrowser",
                 "tavro_authn", "RegistrationResponse"):
        monkeypatch.setattr(authenticator_module, name, getattr(m, name))
    monkeypatch.setenv("DISPLAY", ":0")  # a desktop: the browser login, whatever the provider offers
    return m


@pytest.mark.parametrize("dcr", [True, False])
def test_login_makes_its_calls_in_order(parts, caplog, capsys, dcr):
    if dcr:
        login = OIDCAuthenticator("https://idp")
    else:
        login = OIDCAuthenticator("https://idp", "localhost", False, "cid", "sec")
    os.environ[constants.ENV_MLFLOW_TRACKING_TOKEN] = "old"
    with caplog.at_level(logging.DEBUG, logger=authenticator_module.__name__):
        user = login.authenticate(ignored=1)

    client, server = parts.Client.return_value, parts.HTTPServer.return_value
    auth_req = client.construct_AuthorizationRequest.return_value
    redirect = ["http://localhost:4711/callback"]
    registration = (
        mock.call.Client().register("https://idp/reg", redirect_uris=redirect) if dcr
        else mock.call.RegistrationResponse(client_id="cid", client_secret="sec", redirect_uris=redirect)
    )
    expected = [
        mock.call.Client(client_authn_method=authenticator_module.CLIENT_AUTHN_METHOD),
        mock.call.rndstr(), mock.call.rndstr(), mock.call.Queue(),
        mock.call.get_disposable_handler(client, "st4te", parts.Queue.return_value),
        mock.call.HTTPServer(("localhost", 0), parts.get_disposable_handler.return_value),
        mock.call.Thread(target=server.serve_forever), mock.call.Thread().start(),
        mock.call.Client().provider_config("https://idp"),
        registration,
    ] + ([] if dcr else [mock.call.Client().store_registration_info(parts.RegistrationResponse.return_value)]) + [
        mock.call.Client().construct_AuthorizationRequest(request_args={
            "client_id": "cid", "response_type": "code", "scope": ["openid"], "nonce": "n0nce",
            "redirect_uri": redirect[0], "state": "st4te"}),
        mock.call.Client().construct_AuthorizationRequest().request("https://idp/auth"),
        mock.call.webbrowser.open(auth_req.request.return_value, new=0, autoraise=True),
        mock.call.Queue().get(timeout=300), mock.call.Queue().get(timeout=300),
        mock.call.Thread().join(300),
        mock.call.HTTPServer().shutdown(), mock.call.HTTPServer().server_close(),
        mock.call.tavro_authn.TokenProvider(refresh_token="r3fresh", client_id="cid",
                                            token_endpoint_url="https://idp/token"),
    ]
    assert parts.mock_calls == expected
    assert list(client.construct_AuthorizationRequest.call_args.kwargs["request_args"]) == [
        "client_id", "response_type", "scope", "nonce", "redirect_uri", "state"]
    assert server.allow_reuse_address is True
    assert client.state2nonce == {"st4te": "n0nce"}  # what the client library checks the ID token against
    assert [r.getMessage() for r in caplog.records] == [
        "Handler started listening 'http://localhost':4711",
        "auth_req: " + str(auth_req),
        "Handler stopped listening '0.0.0.0':4711",
    ]
    assert str(auth_req.request.return_value) in capsys.readouterr().err
    assert user.username == "alice" and login.user is user
    assert login._Authenticator__token_provider is parts.tavro_authn.TokenProvider.return_value
    assert constants.ENV_MLFLOW_TRACKING_TOKEN not in os.environ  # cleanup() ran first


# ---- whole logins against the loopback provider ------------------------------------------


class HttpBrowser:
    """Follows the login address like a browser whose user is signed in at the provider.

    urllib, not requests: the user's browser is another program, and its
    requests (which carry the code) must not show among this process's logs."""

    def __init__(self, before=None):
        self.before = before  # a callback path sent first, as a forger would
        self.answers = []

    @staticmethod
    def _get(url):
        context = ssl.create_default_context(cafile=os.environ["REQUESTS_CA_BUNDLE"])
        try:
            with urllib.request.urlopen(url, timeout=30, context=context) as answer:
                return answer.status
        except urllib.error.HTTPError as refused:
            return refused.code

    def open(self, url, new=0, autoraise=True):
        if self.before:
            callback = urlsplit(parse_qs(urlsplit(url).query)["redirect_uri"][0])
            self.answers.append(self._get("http://{}{}".format(callback.netloc, self.before)))
        self.answers.append(self._get(url))
        return True


def _server_threads():
    return [t for t in threading.enumerate() if t is not threading.main_thread() and not t.daemon]


class RecordingServer(authenticator_module.HTTPServer):
    made = []

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        RecordingServer.made.append(self)


@pytest.fixture
def browser(monkeypatch):
    RecordingServer.made = []
    monkeypatch.setattr(authenticator_module, "HTTPServer", RecordingServer)
    monkeypatch.setenv("DISPLAY", ":0")  # where the browser opens

    def use(instance):
        monkeypatch.setattr(authenticator_module, "webbrowser", instance)
        return instance

    return use


def _assert_login_left_nothing():
    for server in RecordingServer.made:
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", server.server_port), timeout=5).close()
        assert server.socket.fileno() == -1
    assert _server_threads() == []


def _secrets(provider):
    state = provider.authz_state
    values = list(state.access_tokens) + list(state.refresh_tokens) + list(state.authorization_codes)
    codes = [code[key] for code in provider.device_codes.values() for key in ("device_code", "user_code")]
    return values + provider.id_tokens + codes + [c["client_secret"] for c in provider.clients.values()]


def _assert_no_secret_in(provider, caplog, *texts):
    logged = [(r.name, r.getMessage()) for r in caplog.records] + [("exception", str(t)) for t in texts]
    leaks = [(name, text) for name, text in logged for secret in _secrets(provider) if secret in text]
    assert leaks == []


@pytest.mark.parametrize("static", [False, True])
def test_login_then_tracking_behind_the_token(secured_tracking_server, oidc_provider, browser, caplog, capsys,
                                              unique_name, static):
    browser(HttpBrowser())
    os.environ[constants.ENV_OIDC_ISSUER_URL] = oidc_provider.issuer
    if static:  # with the callback on a port of the user's choosing (a tunnel forwards it)
        client_id, secret = oidc_provider.register_static_client()
        os.environ[constants.ENV_OIDC_CLIENT_ID] = client_id
        os.environ[constants.ENV_OIDC_CLIENT_SECRET] = secret
        os.environ[constants.ENV_OIDC_CALLBACK_PORT] = str(free_port())
    registered = len(oidc_provider.clients)
    with caplog.at_level(logging.DEBUG):
        # no authenticator given: the environment configures the browser login
        experiment = init("p", unique_name("e"), tracking_uri=secured_tracking_server.uri)
        iteration = experiment.get_iteration()
        iteration.log_param("lr", "0.1")
        iteration.end()

    assert len(oidc_provider.clients) == registered + (0 if static else 1)
    run = MlflowClient(secured_tracking_server.upstream.geturl()).get_run(iteration.iteration_id)
    assert run.data.params == {"lr": "0.1"} and run.data.tags["mlflow.user"] == "alice"
    assert secured_tracking_server.accepted_tokens
    assert "open this address" in capsys.readouterr().err
    assert not static or RecordingServer.made[-1].server_port == int(os.environ[constants.ENV_OIDC_CALLBACK_PORT])
    _assert_no_secret_in(oidc_provider, caplog)
    _assert_login_left_nothing()


def test_forged_state_is_refused_and_the_real_answer_completes(oidc_provider, browser):
    fake = browser(HttpBrowser(before="/callback?code=forged&state=forged"))
    login = OIDCAuthenticator(oidc_provider.issuer)
    assert login.authenticate().username == "alice"
    assert fake.answers == [400, 200]
    _assert_login_left_nothing()


@pytest.mark.parametrize("fault, value, message", [("tamper_nonce", True, "nonce"), ("deny", True, "access_denied"),
                                                   ("code_exchange", "refuse", "refused the authorization code")])
def test_provider_answer_that_logs_nobody_in_fails_at_once(oidc_provider, browser, caplog, fault, value, message):
    browser(HttpBrowser())
    setattr(oidc_provider, fault, value)
    login = OIDCAuthenticator(oidc_provider.issuer)
    with caplog.at_level(logging.DEBUG), pytest.raises(ExperimentTrackingException, match=message) as failed:
        login.authenticate()
    assert not login.is_authenticated
    _assert_no_secret_in(oidc_provider, caplog, failed.value)
    _assert_login_left_nothing()


class QuickQueue(queue.Queue):
    def get(self, block=True, timeout=None):
        return super().get(block, 0.2)


def _refusing_provider(**kwargs):
    raise RuntimeError("token endpoint unreachable")


@pytest.mark.parametrize(
    "setup, error",
    [
        (lambda p, m: m.setattr(p, "issuer", "https://127.0.0.1:1"), requests.ConnectionError),
        (lambda p, m: setattr(p, "registration", False), KeyError),
        (lambda p, m: m.setattr(authenticator_module, "Queue", QuickQueue), queue.Empty),
        (lambda p, m: m.setattr(authenticator_module.tavro_authn, "TokenProvider", _refusing_provider), RuntimeError),
        (lambda p, m: (setattr(p, "dribble_keys", True), m.setattr(authenticator_module, "AUTH_REQUEST_TIMEOUT", 1)),
         ExperimentTrackingException),  # the key fetch is bounded as a whole, as every exchange of the login
    ],
    ids=["discovery", "no-registration-endpoint", "nothing-delivered", "token-provider", "keys-dribbled"],
)
def test_failed_login_leaves_no_thread_and_no_socket(oidc_provider, browser, monkeypatch, setup, error):
    fake = browser(HttpBrowser())
    if error is queue.Empty:
        fake.open = lambda *a, **k: True  # nobody logs in
    setup(oidc_provider, monkeypatch)
    login = OIDCAuthenticator(oidc_provider.issuer)
    with pytest.raises(error) as failed:
        login.authenticate()
    assert error is not queue.Empty or str(failed.value).startswith("Nobody signed in within 5 minutes")
    assert error is not KeyError or "pass dcr_enabled=False with its client_id and client_secret" in str(failed.value)
    assert not login.is_authenticated and len(RecordingServer.made) == 1
    _assert_login_left_nothing()


def test_ctrl_c_during_the_login_waits_for_no_connection(oidc_provider, browser):
    fake = browser(HttpBrowser())
    fake.open = lambda *a, **k: True  # nobody signs in
    held, interrupted = [], []

    def crowd_then_interrupt():
        while not RecordingServer.made:
            time.sleep(0.05)
        address = ("127.0.0.1", RecordingServer.made[0].server_port)
        held.extend(socket.create_connection(address) for _ in range(50))  # idle
        held[-1].sendall(b"GET /callback?code=")  # and one request that never ends
        time.sleep(0.5)
        interrupted.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    # A shell that starts `make test &` without job control hands it SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    threading.Thread(target=crowd_then_interrupt, daemon=True).start()
    try:
        with pytest.raises(KeyboardInterrupt):
            OIDCAuthenticator(oidc_provider.issuer).authenticate()
        # Waiting for the connections' threads would take their read timeout (5 s) or deadline (10 s).
        assert time.monotonic() - interrupted[0] < 3
    finally:
        signal.signal(signal.SIGINT, previous)
        for connection in held:
            connection.close()
    for thread in _server_threads():  # their connections are cut: they end in a moment (longer under ASan)
        thread.join(10)
    _assert_login_left_nothing()


def test_failed_code_exchange_leaves_no_secret_in_the_output(oidc_provider, tmp_path):
    client_id, secret = oidc_provider.register_static_client()
    oidc_provider.code_exchange = "drop"  # the provider goes away: the client library logs the request at ERROR
    browser = tmp_path / "browser"  # the user's browser: another program, its output not ours
    browser.write_text(textwrap.dedent("""\
        #!{}
        import ssl, sys, urllib.request
        try:
            urllib.request.urlopen(sys.argv[1], context=ssl._create_unverified_context(), timeout=60)
        except Exception:
            pass
        """).format(sys.executable))
    browser.chmod(0o755)
    script = ("import sys\nfrom tavro_experiment_tracking.auth.authenticator import OIDCAuthenticator\n"
              "OIDCAuthenticator(sys.argv[1], 'localhost', False, sys.argv[2], sys.argv[3]).authenticate()\n")
    done = subprocess.run([sys.executable, "-c", script, oidc_provider.issuer, client_id, secret],
                          env=dict(os.environ, BROWSER=str(browser)), capture_output=True, text=True, timeout=120)
    output = done.stdout + done.stderr
    assert done.returncode == 1 and "Browser login failed" in output
    assert "http_request failed" in output  # what failed still shows, without what was sent
    basic = base64.urlsafe_b64encode("{}:{}".format(client_id, secret).encode()).decode()
    assert oidc_provider.authz_state.authorization_codes
    assert [s for s in _secrets(oidc_provider) + [basic, basic.rstrip("=")] if s in output] == []


@pytest.mark.parametrize("in_background", [False, True], ids=["synchronous", "background"])
def test_run_outlives_its_first_access_token(secured_tracking_server, oidc_provider, browser, unique_name,
                                             in_background, request):
    oidc_provider.reset(access_token_lifetime=3)
    config.use_async_logging(in_background or None, flush_interval=0.2)
    request.addfinalizer(lambda: config.use_async_logging(None, flush_interval=1.0))
    browser(HttpBrowser())
    experiment = init("p", unique_name("e"), tracking_uri=secured_tracking_server.uri,
                      authenticator=OIDCAuthenticator(oidc_provider.issuer))
    iteration = experiment.get_iteration()
    iteration.log_param("epochs", 2)
    first = secured_tracking_server.accepted_tokens[-1]
    deadline = time.monotonic() + 30
    while oidc_provider.token_is_valid(first) and time.monotonic() < deadline:
        time.sleep(0.5)
    assert not oidc_provider.token_is_valid(first)
    iteration.log_metric("loss", 0.5, step=1)  # would be refused with the expired token
    iteration.end()
    assert len(set(secured_tracking_server.accepted_tokens)) >= 2
    run = MlflowClient(secured_tracking_server.upstream.geturl()).get_run(iteration.iteration_id)
    assert run.data.metrics == {"loss": 0.5} and run.info.status == "FINISHED"


def test_sync_logs_in_as_init_does_for_a_server_behind_a_login(secured_tracking_server, oidc_provider, browser,
                                                               unique_name):
    upstream = MlflowClient(secured_tracking_server.upstream.geturl())
    run = upstream.create_run(upstream.create_experiment(unique_name("e"))).info.run_id
    os.makedirs(os.environ["TAVRO_JOURNAL_DIR"], mode=0o700)
    plant(os.path.join(os.environ["TAVRO_JOURNAL_DIR"], "r.journal"), secured_tracking_server.uri, run,
          metric(1, "loss", 0.5, 0))
    browser(HttpBrowser())
    os.environ[constants.ENV_OIDC_ISSUER_URL] = oidc_provider.issuer  # the login init would use
    assert cli.main(["sync", "--server", secured_tracking_server.uri]) == 0
    assert upstream.get_run(run).data.metrics == {"loss": 0.5} and secured_tracking_server.accepted_tokens
    _assert_login_left_nothing()


CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.mark.skipif(not CHROMIUM,
                    reason="no Chromium found: install Debian's chromium package to run the real-browser login")
def test_real_browser_login(secured_tracking_server, oidc_provider, tmp_path, unique_name):
    browser = tmp_path / "browser"
    browser.write_text(textwrap.dedent("""\
        #!/bin/sh
        unset LD_PRELOAD PYTHONMALLOC ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
        exec timeout 120 {} --headless --no-sandbox --disable-gpu --ignore-certificate-errors \\
            --user-data-dir={} --dump-dom "$1" > {} 2>/dev/null
        """).format(CHROMIUM, tmp_path / "profile", tmp_path / "page.html"))
    browser.chmod(0o755)
    script = textwrap.dedent("""\
        import sys
        from tavro_experiment_tracking.auth.authenticator import OIDCAuthenticator
        from tavro_experiment_tracking.tracking.initialize import init
        experiment = init("p", sys.argv[3], tracking_uri=sys.argv[2], authenticator=OIDCAuthenticator(sys.argv[1]))
        iteration = experiment.get_iteration()
        with iteration.start():
            iteration.log_param("browser", "chromium")
        print(iteration.iteration_id)
        """)
    env = dict(os.environ, BROWSER=str(browser))
    done = subprocess.run([sys.executable, "-c", script, oidc_provider.issuer, secured_tracking_server.uri,
                           unique_name("e")], env=env, capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr
    assert "You are logged in as alice" in (tmp_path / "page.html").read_text()
    run = MlflowClient(secured_tracking_server.upstream.geturl()).get_run(done.stdout.split()[-1])
    assert run.data.params == {"browser": "chromium"} and run.data.tags["mlflow.user"] == "alice"


def test_callback_port_taken_or_not_a_port_is_said(oidc_provider, monkeypatch):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        login = OIDCAuthenticator(oidc_provider.issuer, callback_port=taken.getsockname()[1])
        with pytest.raises(OSError, match="callback port .* is in use by another program"):
            login.authenticate()
    with pytest.raises(ValueError, match="callback_port must be a port number"):
        OIDCAuthenticator(oidc_provider.issuer, callback_port=70000)
    monkeypatch.setenv(constants.ENV_OIDC_ISSUER_URL, oidc_provider.issuer)
    monkeypatch.setenv(constants.ENV_OIDC_CALLBACK_PORT, "http")
    with pytest.raises(ExperimentTrackingException, match="TAVRO_OIDC_CALLBACK_PORT must be a port number"):
        config.check_auth_env_configs()
    _assert_login_left_nothing()


def test_kept_login_spares_the_next_run_the_browser_until_refused_or_logged_out(oidc_provider, browser, caplog,
                                                                                 capsys):
    first = browser(HttpBrowser())
    assert cli.main(["login", "--issuer", oidc_provider.issuer]) == 0 and len(first.answers) == 1
    [kept] = store.stored_logins()
    assert os.stat(kept["path"]).st_mode & 0o777 == 0o600 and kept["username"] == "alice"
    # The next run, with the variable on: logged in without a browser or a callback server.
    browser(types.SimpleNamespace(open=None))  # opening it would fail
    os.environ[constants.ENV_OIDC_KEEP_LOGIN] = "1"
    made = len(RecordingServer.made)
    with caplog.at_level(logging.DEBUG):
        assert OIDCAuthenticator(oidc_provider.issuer).authenticate().username == "alice"
    assert len(RecordingServer.made) == made
    # A kept token the provider refuses, and a kept file others may read: a fresh login replaces it.
    oidc_provider.authz_state.refresh_tokens.clear()
    again = browser(HttpBrowser())
    assert OIDCAuthenticator(oidc_provider.issuer).authenticate().username == "alice" and len(again.answers) == 1
    os.chmod(kept["path"], 0o640)
    assert OIDCAuthenticator(oidc_provider.issuer).authenticate().username == "alice" and len(again.answers) == 2
    assert "others may read it" in caplog.text and kept["path"] in caplog.text
    assert os.stat(kept["path"]).st_mode & 0o777 == 0o600
    capsys.readouterr()
    assert cli.main(["whoami"]) == 0 and "alice at " + oidc_provider.issuer in capsys.readouterr().out
    open(os.path.join(store.login_folder(), "package.json"), "w").close()  # not a login: logout leaves it
    assert cli.main(["logout"]) == 0 and store.stored_logins() == [] and cli.main(["whoami"]) == 1
    assert os.listdir(store.login_folder()) == ["package.json"]
    _assert_no_secret_in(oidc_provider, caplog, capsys.readouterr())
    _assert_login_left_nothing()


# ---- the device login -------------------------------------------------------------------


@pytest.fixture
def device_user(oidc_provider, browser, monkeypatch):
    """The user at another device: answers the latest code at its verification
    address once the login polled ``after_polls`` times. No browser opens here."""
    oidc_provider.device = True
    browser(types.SimpleNamespace(open=None))
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "BROWSER"):
        monkeypatch.delenv(name, raising=False)
    stop = threading.Event()

    def answer(after_polls=0):
        def act():
            while not stop.wait(0.02):
                codes = list(oidc_provider.device_codes.values())
                if codes and oidc_provider.device_polls >= after_polls:
                    HttpBrowser._get(codes[-1]["verification_uri_complete"])
                    return
        threading.Thread(target=act, daemon=True).start()

    yield answer
    stop.set()


def test_device_login_where_no_browser_is_usable_then_tracking(secured_tracking_server, oidc_provider, device_user,
                                                                caplog, capsys, unique_name, monkeypatch):
    os.environ[constants.ENV_OIDC_ISSUER_URL] = oidc_provider.issuer
    oidc_provider.slow_downs = 2  # asked to poll slower twice, while the user is not done
    monkeypatch.setattr(device_module, "SLOW_DOWN_STEP", 0.05)
    device_user(after_polls=3)
    with caplog.at_level(logging.DEBUG):
        experiment = init("p", unique_name("e"), tracking_uri=secured_tracking_server.uri)
        iteration = experiment.get_iteration()
        iteration.log_param("lr", "0.1")
        iteration.end()

    run = MlflowClient(secured_tracking_server.upstream.geturl()).get_run(iteration.iteration_id)
    assert run.data.params == {"lr": "0.1"} and run.data.tags["mlflow.user"] == "alice"
    [code] = oidc_provider.device_codes.values()
    err = capsys.readouterr().err
    assert code["user_code"] in err and code["verification_uri_complete"] in err
    assert oidc_provider.slow_downs == 0 and oidc_provider.device_polls >= 4
    _assert_no_secret_in(oidc_provider, caplog)
    _assert_login_left_nothing()


@pytest.mark.parametrize("fault, message", [
    ("denied", "the sign-in was refused at the provider"),
    ("expired", "the code expired before anyone signed in"),
    ("not offered", "the provider at .* does not offer it .*ssh -L"),
])
def test_device_login_failures_are_said_in_one_line(oidc_provider, device_user, caplog, capsys, fault, message):
    client_id, secret = oidc_provider.register_static_client()
    oidc_provider.device = fault != "not offered"
    oidc_provider.deny = fault == "denied"
    oidc_provider.device_code_lifetime = 0.5 if fault == "expired" else 60
    if fault == "denied":
        device_user()
    os.environ[constants.ENV_OIDC_DEVICE_LOGIN] = "1"  # asked for, whatever the machine
    os.environ["DISPLAY"] = ":0"
    with caplog.at_level(logging.DEBUG):
        status = cli.main(["login", "--issuer", oidc_provider.issuer, "--client-id", client_id,
                           "--client-secret", secret])
    err = capsys.readouterr().err
    assert status == 1 and re.search("^Login failed: Device login failed: " + message, err.splitlines()[-1])
    assert store.stored_logins() == []
    _assert_no_secret_in(oidc_provider, caplog)
    _assert_login_left_nothing()


@pytest.mark.parametrize("login, fault, message", [
    ("browser", "none", "Browser login failed: The identity provider's answer was refused: its ID token is not signed"),
    ("browser", "no-iss", "Browser login failed: The identity provider's ID token was refused (MissingRequired"),
    ("device", "none", "Device login failed: the provider's answer was refused: its ID token is not signed"),
    ("device", "no-iss", "Device login failed: the provider's answer was refused (MissingRequiredAttribute"),
    ("device", "plain-http", "The device authorization endpoint http://login.example.invalid/device is plain http"),
])
def test_unsigned_or_unfit_id_tokens_plain_http_and_terminal_commands_are_refused(
        oidc_provider, device_user, browser, caplog, capsys, login, fault, message):
    client_id, secret = oidc_provider.register_static_client()
    oidc_provider.forge_id_token = None if fault == "plain-http" else fault
    oidc_provider.plain_http_device = fault == "plain-http"
    oidc_provider.hostile_text = True
    if login == "device":
        device_user()
    else:
        browser(HttpBrowser())
        os.environ[constants.ENV_OIDC_DEVICE_LOGIN] = "0"
    with caplog.at_level(logging.DEBUG):
        status = cli.main(["login", "--issuer", oidc_provider.issuer, "--client-id", client_id,
                           "--client-secret", secret])
    err = capsys.readouterr().err
    assert status == 1 and err.splitlines()[-1].startswith("Login failed: " + message), err
    assert "\x1b" not in err and "\r" not in err
    assert login == "browser" or fault == "plain-http" or "\\x1b]0;owned\\x07" in err
    assert store.stored_logins() == []
    _assert_no_secret_in(oidc_provider, caplog)
    _assert_login_left_nothing()
