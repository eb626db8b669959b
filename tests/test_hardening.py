"""Faults a careful probe found: each of these once crashed, leaked or hid
an error. The crash cases run in a subprocess, so a regression fails one
test instead of killing the run."""
import gc
import socket
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest
from mlflow.tracking import MlflowClient

from tavro_experiment_tracking import constants, context
from tavro_experiment_tracking.entities.quorril import NamedEntity
from tavro_experiment_tracking.exception import ServerNotAccessibleException
from tavro_experiment_tracking.tracking.initialize import init
from tavro_experiment_tracking.utils.validation import is_cloud, is_server_up


def run_python(code, **kwargs):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120,
                          **kwargs)
    assert done.returncode == 0, "exit code {}:\n{}".format(done.returncode, done.stderr[-3000:])
    return done.stdout


def test_iterator_reentered_while_producing_refuses_like_a_generator():
    out = run_python("""
        from tavro_experiment_tracking.entities.quorril import NamedEntity

        class Draining(NamedEntity):
            def _properties(self):
                for _ in self.it:
                    pass
                return ["name"]

        entity = Draining("n", None)
        entity.it = iter(entity)
        try:
            next(entity.it)
        except ValueError as e:
            print(e)
        print(list(entity.it))
        """)
    assert out.splitlines() == ["generator already executing", "[]"]


def test_iterator_in_a_cycle_is_collected():
    entity = NamedEntity("n", None)
    entity.it = iter(entity)
    ref = weakref.ref(entity)
    del entity
    gc.collect()
    assert ref() is None


def test_deep_recursion_through_native_code_raises_instead_of_crashing():
    out = run_python("""
        import sys
        from tavro_experiment_tracking.entities.quorril import NamedEntity, NamedEntityPrinter

        class Node(NamedEntity):
            def __init__(self, child):
                super().__init__("n", None)
                self._child = child

            @property
            def child(self):
                return self._child

        node = None
        for _ in range(100000):
            node = Node(node)
        sys.setrecursionlimit(1000000)
        try:
            NamedEntityPrinter().to_string(node)
        except RecursionError as e:
            print(type(e).__name__, e)
        """)
    assert out.startswith("RecursionError maximum recursion depth exceeded")


def test_import_errors_reach_the_importer_as_themselves():
    out = run_python("""
        import sys

        class NoOic:
            def find_spec(self, name, path=None, target=None):
                if name == "oic" or name.startswith("oic."):
                    raise ModuleNotFoundError("No module named 'oic'", name="oic")

        sys.meta_path.insert(0, NoOic())
        try:
            import tavro_experiment_tracking.auth.authenticator
        except ImportError as e:
            print(type(e).__name__, e)
        sys.meta_path.pop(0)

        from tavro_experiment_tracking import constants
        constants.DEFAULT_TRACK_SERVER = 5
        try:
            import tavro_experiment_tracking.tracking.initialize
        except Exception as e:
            print(type(e).__name__, e)
        """)
    assert out.splitlines() == [
        "ModuleNotFoundError No module named 'oic'",
        "TypeError Argument 'tracking_uri' has incorrect type (expected str, got int)",
    ]


def test_server_probe_is_bounded_as_a_whole():
    # Answers "HTTP/1.1 200 OK" one byte every half second: complete after
    # eight seconds, long past the probe's three.
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    stop = threading.Event()

    def dribble():
        conn, _ = server.accept()
        with conn:
            for byte in b"HTTP/1.1 200 OK\r\n\r\n":
                if stop.wait(0.5):
                    return
                conn.sendall(bytes([byte]))

    thread = threading.Thread(target=dribble, daemon=True)
    thread.start()
    try:
        assert is_server_up("http://127.0.0.1:{}".format(server.getsockname()[1])) is False
    finally:
        stop.set()
        thread.join(10)
        server.close()


def test_text_utf8_cannot_encode_is_handled_as_python_would(monkeypatch, tracking_server, unique_name):
    lone = "\udcff"  # what os.environ holds for a byte that is not UTF-8
    monkeypatch.setenv(constants.ENV_KOVA_CLOUD, lone)
    assert is_cloud() is True
    monkeypatch.delenv(constants.ENV_KOVA_CLOUD)
    assert is_server_up("http://127.0.0.1:1/" + lone) is False
    assert is_server_up(lone) is False
    with pytest.raises(AttributeError, match="call init"):
        getattr(context.current_client, lone)
    with pytest.raises(ServerNotAccessibleException):
        init("p", "e", tracking_uri="http://127.0.0.1:1/" + lone)

    # A run name the tracking library cannot send: its own error, as for a plain client.
    experiment = init("p", unique_name("e"), tracking_uri=tracking_server)
    with pytest.raises(Exception) as plain:
        MlflowClient(tracking_server).create_run(experiment.experiment_id, tags={"name": lone})
    with pytest.raises(type(plain.value)):
        experiment.get_iteration().start(iteration_name=lone)
