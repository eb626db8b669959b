"""Shared fixtures: a real tracking server for the whole test session."""
import logging
import os
import uuid

import pytest

from servers import Backend, free_port, serve, start_tracking_server, stop_tracking_server  # noqa: F401 (re-exported)

# Failures must surface at once, not after the tracking library's retries.
os.environ["MLFLOW_HTTP_REQUEST_MAX_RETRIES"] = "0"
os.environ["MLFLOW_HTTP_REQUEST_TIMEOUT"] = "30"
# Keras's backend in the integration's tests, as the Makefile sets it.
os.environ.setdefault("KERAS_BACKEND", "jax")

# Which kind of tracking server the server-side tests run against: "sqlite"
# (one worker, artifacts written straight into a local folder),
# "postgresql" (a throw-away PostgreSQL cluster, two workers, artifacts served
# over HTTP by the tracking server) or "scaled" (three such servers over one
# database behind an haproxy load balancer). `make test-team` picks the last.
BACKEND_VARIABLE = "TAVRO_TEST_BACKEND"


def pytest_configure(config):
    config.addinivalue_line("markers", "server: uses a real tracking server (selected by make test-team)")


def pytest_collection_modifyitems(config, items):
    # Tests that reach a tracking server are the ones worth running against a
    # second kind of server; the mark follows the fixtures, not a list.
    for item in items:
        if "tracking_backend" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.server)


@pytest.fixture(scope="session")
def tracking_backend():
    """The store kind of this session's tracking servers (see BACKEND_VARIABLE)."""
    backend = Backend(os.environ.get(BACKEND_VARIABLE, "sqlite"))
    yield backend
    backend.close()


@pytest.fixture(scope="session")
def tracking_server(tracking_backend, tmp_path_factory):
    """URI of a real tracking server, started once for the session."""
    workdir = str(tmp_path_factory.mktemp("tracking-server"))
    proc, uri, _ = tracking_backend.start_server(workdir, tracking_backend.new_store(workdir))
    tracking_backend.session_server = proc
    yield uri
    # The runs tests left open are test data: nothing to end at exit.
    from tavro_experiment_tracking.tracking import client

    client._open_iterations.clear()
    stop_tracking_server(proc)


@pytest.fixture
def mlflow_client(tracking_server):
    from mlflow.tracking import MlflowClient

    return MlflowClient(tracking_server)


@pytest.fixture
def unique_name():
    """Names that no earlier test used on the shared server."""
    def make(prefix="t"):
        return "{}-{}".format(prefix, uuid.uuid4().hex[:10])

    return make


@pytest.fixture
def session_client(tracking_server):
    """A session client bound to the test server, without authenticator."""
    from tavro_experiment_tracking.tracking.client import Client

    client = Client(None)
    client.tracking_uri = tracking_server
    return client


@pytest.fixture(autouse=True)
def _isolated_process_state(tmp_path):
    """Each test starts with the environment and session it found, and leaves them so;
    background logging journals, and logins are kept, in the test's own folders."""
    saved = dict(os.environ)
    os.environ["TAVRO_JOURNAL_DIR"] = str(tmp_path / "journal")
    os.environ["TAVRO_LOGIN_DIR"] = str(tmp_path / "logins")
    from tavro_experiment_tracking import context

    context.current_client.update(None)
    yield
    context.current_client.update(None)
    os.environ.clear()
    os.environ.update(saved)


@pytest.fixture(scope="session")
def _provider(tmp_path_factory):
    from oidc_provider import TestProvider

    provider = TestProvider(tmp_path_factory.mktemp("oidc-provider"))
    yield provider
    provider.stop()


@pytest.fixture
def oidc_provider(_provider, monkeypatch):
    """The loopback OpenID Connect provider, reset; its certificate is trusted.
    Every token, code and client secret it issued is a secret of the test."""
    _provider.reset()
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", _provider.cert)
    yield _provider
    state = _provider.authz_state
    _SECRETS.update(state.access_tokens, state.refresh_tokens, state.authorization_codes, _provider.id_tokens)
    _SECRETS.update(client["client_secret"] for client in _provider.clients.values())
    _SECRETS.update(code[key] for code in _provider.device_codes.values() for key in ("device_code", "user_code"))


@pytest.fixture(scope="session")
def _secured_server(tracking_server, _provider):
    from oidc_provider import TokenCheckingProxy

    proxy = TokenCheckingProxy(tracking_server, _provider)
    yield proxy
    proxy.stop()


@pytest.fixture
def secured_tracking_server(_secured_server, oidc_provider):
    """The tracking server behind a proxy that lets only the provider's valid access tokens through."""
    _secured_server.accepted_tokens.clear()
    _secured_server.refused = 0
    return _secured_server


class Endpoints:
    """Loopback HTTP endpoints answering what a test tells them, recording
    every request (method, path, headers, body text)."""

    def __init__(self):
        import json
        from http.server import BaseHTTPRequestHandler

        endpoints = self
        self.answers = {}
        self.requests = []

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def _answer(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0)).decode()
                endpoints.requests.append((self.command, self.path, dict(self.headers), body))
                queue = endpoints.answers.get(self.path, [(404, {})])
                status, payload = queue.pop(0) if len(queue) > 1 else queue[0]
                if callable(payload):
                    payload = payload(body)
                self.send_response(status)
                if 300 <= status < 400:  # a redirect: the payload is where to
                    self.send_header("Location", payload)
                    payload = ""
                data = (payload if isinstance(payload, str) else json.dumps(payload)).encode()
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            do_GET = do_POST = _answer

        self.server = serve(Handler)
        self.url = self.server.uri

    def answer(self, path, *answers):
        """Each answer is (status, JSON-able value, raw text or a function of the request body;
        for a 3xx status the redirect's target); the last one repeats."""
        self.answers[path] = list(answers)

    def stop(self):
        self.server.stop()


@pytest.fixture
def endpoints():
    e = Endpoints()
    yield e
    e.stop()


class HostileEndpoint:
    """A loopback HTTP endpoint that answers every request badly: "dribble"
    sends a short answer a byte every 0.125 s (9 s in all), "huge" announces
    and sends 100 MB, "endless" sends chunks without end. Counts the bytes it
    got out."""

    ANSWER = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}"

    def __init__(self, behaviour):
        import socket
        import threading

        self.behaviour, self.sent = behaviour, 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:{}".format(self.listener.getsockname()[1])
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        import threading

        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        import time

        head = {"huge": b"HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n",
                "endless": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"}.get(self.behaviour)
        chunk = b"0" * 65536 if self.behaviour == "huge" else b"10000\r\n" + b"0" * 65536 + b"\r\n"
        with connection:
            try:
                connection.recv(65536)
                if head is None:
                    for byte in self.ANSWER:
                        connection.sendall(bytes([byte]))
                        self.sent += 1
                        time.sleep(0.125)
                    return
                connection.sendall(head)
                while self.sent < 100_000_000:
                    connection.sendall(chunk)
                    self.sent += len(chunk)
            except OSError:
                pass

    def stop(self):
        import socket

        self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread, which then ends
        self.listener.close()


@pytest.fixture
def hostile():
    made = []

    def make(behaviour):
        made.append(HostileEndpoint(behaviour))
        return made[-1]

    yield make
    for endpoint in made:
        endpoint.stop()


class _Relay:
    """A request handler passing requests on to the tracking server, until
    it is told the server is gone (then it answers 503); counts the requests
    and the batches it passed on, and what it answered while gone."""

    def relay(self):
        import requests

        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        if self.server.gone:
            self.server.requests_while_gone += 1
            status, answer = getattr(self.server, "gone_answer", (503, b""))
            self.send_response(status)
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)
            return
        self.server.requests += 1
        if self.path.endswith("/runs/log-batch"):
            self.server.batches += 1
        answer = requests.request(self.command, self.server.target + self.path, data=body,
                                  headers={"Content-Type": self.headers.get("Content-Type", "")}, timeout=30)
        self.send_response(answer.status_code)
        self.send_header("Content-Type", answer.headers.get("Content-Type", "text/plain"))
        self.send_header("Content-Length", str(len(answer.content)))
        self.end_headers()
        self.wfile.write(answer.content)

    def log_message(self, *args):
        pass


@pytest.fixture
def relay(tracking_server):
    """A proxy in front of the tracking server that can play its absence (``gone``)."""
    import http.server

    handler = type("Relay", (_Relay, http.server.BaseHTTPRequestHandler), {"do_GET": _Relay.relay,
                                                                           "do_POST": _Relay.relay})
    server = serve(handler)
    server.target, server.gone, server.requests_while_gone = tracking_server, False, 0
    server.requests = server.batches = 0
    yield server
    server.stop()


# ---- no secret in any log line or exception message ----------------------------------

# Tokens, refresh tokens, authorization codes and client secrets a test used:
# registered by the test (the `secrets` fixture) or by the fixture that
# issued them. Every test runs with every logger at DEBUG, and fails when one
# of its secrets shows in a log record or in the message of an exception.
_SECRETS = set()

# The loopback identity provider (pyop, and authlib for the device login)
# stands for a remote party: what it logs is not this package's doing (and
# it logs every token it issues).
_LOGGERS_NOT_WATCHED = ("pyop", "authlib")


class _Watch(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.texts = []

    def emit(self, record):
        if record.name.split(".")[0] in _LOGGERS_NOT_WATCHED:
            return
        try:
            text = record.getMessage()
        except Exception:  # a record whose arguments do not format: its parts
            text = "{} {}".format(record.msg, record.args)
        self.texts.append(("log record of " + record.name, text))


@pytest.fixture
def secrets():
    """Register the secrets this test uses: they must show in no log record or exception message."""
    return _SECRETS


def _leaks(texts):
    return sorted({(where, secret) for where, text in texts for secret in _SECRETS if secret and secret in text})


@pytest.fixture(autouse=True)
def _no_secret_in_logs_or_errors(monkeypatch, request):
    _SECRETS.clear()
    watch = _Watch()
    root = logging.getLogger()
    # Every logger at DEBUG, those that do not pass records on included.
    loggers = [root] + [logger for logger in logging.root.manager.loggerDict.values()
                        if isinstance(logger, logging.Logger)
                        and logger.name.split(".")[0] not in _LOGGERS_NOT_WATCHED]
    levels = [(logger, logger.level) for logger in loggers]
    for logger in loggers:
        if logger is root or logger.level:
            logger.setLevel(logging.DEBUG)
    isolated = [logger for logger in loggers if not logger.propagate]
    for logger in [root] + isolated:
        logger.addHandler(watch)
    contexts = []
    real_raises = pytest.raises

    def raises(*args, **kwargs):
        context = real_raises(*args, **kwargs)
        contexts.append(context)
        return context

    monkeypatch.setattr(pytest, "raises", raises)
    yield
    for logger in [root] + isolated:
        logger.removeHandler(watch)
    for logger, level in levels:
        logger.setLevel(level)
    texts = list(watch.texts)
    for context in contexts:
        info = getattr(context, "excinfo", context)
        try:
            texts.append(("exception", str(info.value)))
        except Exception:  # nothing was raised (the test fails for that already)
            pass
    leaks = _leaks(texts)
    assert not leaks, "secrets in log records or exception messages: {}".format(leaks)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if call.excinfo is not None and report.when == "call":
        leaks = _leaks([("exception", str(call.excinfo.value))])
        if leaks:
            report.longrepr = "secrets in the message of the exception the test failed with: {}".format(leaks)
