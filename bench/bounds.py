"""How long the things that must be bounded take, against real loopback peers.

- the browser login's redirect, with 200 idle connections and one slow sender
  holding the callback port: time from the redirect's request to its answer;
- Ctrl-C during a browser login with that crowd connected: time from SIGINT
  to the login returning;
- a login exchange with an endpoint that sends a byte every 0.125 s (deadline
  2 s): time until it is cut; one announcing 100 MB: bytes it got out before
  the refusal;
- SIGTERM to a script with an open run: time from the signal to the exit;
- a tracking server gone inside a `with` block: time from the failing call's
  error to the process's exit, and requests made meanwhile.

    python bench/bounds.py
"""
import os
import pathlib
import queue
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))


import conftest  # noqa: E402  (the test harness's servers)


def crowd(port, idle=200):
    """Idle connections and one sender of a byte every 0.2 s."""
    held = [socket.create_connection(("127.0.0.1", port)) for _ in range(idle)]
    slow = socket.create_connection(("127.0.0.1", port))
    held.append(slow)

    def dribble():
        try:
            while True:
                slow.sendall(b"G")
                time.sleep(0.2)
        except OSError:
            pass

    threading.Thread(target=dribble, daemon=True).start()
    return held


def redirect_beside_a_crowd():
    from tavro_experiment_tracking.auth.utils import CallbackServer, get_disposable_handler

    class Client:
        def parse_response(self, *args, **kwargs):
            return {}

        def do_access_token_request(self, **kwargs):
            return {"refresh_token": "r3fresh", "id_token": {"sub": "alice"}}

    server = CallbackServer(("127.0.0.1", 0), get_disposable_handler(Client(), "st4te", queue.Queue()))
    thread = threading.Thread(target=server.serve_forever)
    thread.start()
    held = crowd(server.server_port)
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", server.server_port)) as connection:
        connection.sendall(b"GET /callback?code=c0de&state=st4te HTTP/1.0\r\n\r\n")
        answer = connection.makefile("rb").readline()
    took = time.monotonic() - started
    thread.join()
    server.server_close()
    for connection in held:
        connection.close()
    return "redirect beside 200 idle connections and a slow sender: {} in {:.3f} s".format(answer.split()[1].decode(),
                                                                                          took)


def ctrl_c_beside_a_crowd(provider):
    from tavro_experiment_tracking.auth import authenticator

    made = []

    class Server(authenticator.HTTPServer):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append(self)

    saved = authenticator.HTTPServer, authenticator.webbrowser
    authenticator.HTTPServer = Server
    authenticator.webbrowser = type("Nobody", (), {"open": staticmethod(lambda *a, **k: True)})
    held, interrupted = [], []

    def interrupt():
        while not made:
            time.sleep(0.05)
        held.extend(crowd(made[0].server_port, idle=50))
        time.sleep(0.5)
        interrupted.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    try:
        authenticator.OIDCAuthenticator(provider.issuer).authenticate()
    except KeyboardInterrupt:
        took = time.monotonic() - interrupted[0]
    finally:
        authenticator.HTTPServer, authenticator.webbrowser = saved
        for connection in held:
            connection.close()
    return "Ctrl-C during a browser login beside 50 idle connections and a slow sender: back in {:.3f} s".format(took)


def hostile_answers():
    import requests

    from tavro_experiment_tracking.exchanges import AnswerTooLarge, bounded_session

    lines = []
    for behaviour in ("dribble", "huge"):
        endpoint = conftest.HostileEndpoint(behaviour)
        started = time.monotonic()
        try:
            bounded_session(deadline=2.0).post(endpoint.url + "/token", data="grant_type=refresh_token")
            outcome = "accepted"
        except (requests.Timeout, AnswerTooLarge) as refused:
            outcome = type(refused).__name__
        took = time.monotonic() - started
        time.sleep(0.2)
        lines.append("{} answer (deadline 2 s): {} after {:.3f} s, {:,} bytes sent by the endpoint".format(
            behaviour, outcome, took, endpoint.sent))
        endpoint.stop()
    return "\n".join(lines)


STOPPED = textwrap.dedent("""
    import sys, time
    from tavro_experiment_tracking import init
    iteration = init("bench", sys.argv[1]).get_iteration()
    iteration.start()
    print(iteration.iteration_id, flush=True)
    time.sleep(120)
""")

GONE = textwrap.dedent("""
    import sys
    from tavro_experiment_tracking import init
    iteration = init("bench", sys.argv[1]).get_iteration()
    with iteration.start():
        print(iteration.iteration_id, flush=True)
        sys.stdin.readline()
        try:
            iteration.log_metric("loss", 0.5)
        finally:
            print("failed", flush=True)
""")


def script(source, uri, name, **env):
    return subprocess.Popen([sys.executable, "-c", source, name], env=dict(os.environ, MLFLOW_TRACKING_URI=uri, **env),
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def sigterm_with_an_open_run(uri):
    from mlflow.tracking import MlflowClient

    proc = script(STOPPED, uri, "sigterm-{}".format(time.time()))
    run_id = proc.stdout.readline().strip()
    started = time.monotonic()
    proc.send_signal(signal.SIGTERM)
    proc.wait(60)
    took = time.monotonic() - started
    return "SIGTERM with an open run: exit {} in {:.3f} s, run {}".format(
        proc.returncode, took, MlflowClient(uri).get_run(run_id).info.status)


def server_gone_in_a_block(uri):
    import http.server

    handler = type("Relay", (conftest._Relay, http.server.BaseHTTPRequestHandler),
                   {"do_GET": conftest._Relay.relay, "do_POST": conftest._Relay.relay})
    relay = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    relay.target, relay.gone, relay.requests_while_gone = uri, False, 0
    relay.requests = relay.batches = 0
    threading.Thread(target=relay.serve_forever, daemon=True).start()
    address = "http://127.0.0.1:{}".format(relay.server_port)
    # MLflow's defaults but the back-off (5 retries of a 503 at back-off 2 would be a minute per call).
    proc = script(GONE, address, "gone-{}".format(time.time()), MLFLOW_HTTP_REQUEST_BACKOFF_FACTOR="0")
    proc.stdout.readline()
    relay.gone = True
    proc.stdin.write("\n")
    proc.stdin.flush()
    proc.stdout.readline()
    started, before = time.monotonic(), relay.requests_while_gone
    proc.wait(300)
    took = time.monotonic() - started
    relay.shutdown()
    return ("server gone in a with block (5 retries): block end and exit took {:.3f} s after the failing call, "
            "{} more requests".format(took, relay.requests_while_gone - before))


def main():
    from oidc_provider import TestProvider

    os.environ.setdefault("MLFLOW_HTTP_REQUEST_TIMEOUT", "30")
    with tempfile.TemporaryDirectory(prefix="bounds-") as workdir:
        provider = TestProvider(pathlib.Path(workdir))
        os.environ["REQUESTS_CA_BUNDLE"] = provider.cert
        proc, uri, _ = conftest.start_tracking_server(workdir, conftest.free_port())
        try:
            for measure in (redirect_beside_a_crowd, lambda: ctrl_c_beside_a_crowd(provider), hostile_answers,
                            lambda: sigterm_with_an_open_run(uri), lambda: server_gone_in_a_block(uri)):
                print(measure(), flush=True)
        finally:
            conftest.stop_tracking_server(proc)
            provider.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
