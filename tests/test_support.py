"""Support modules: exceptions, session client and context, validation helpers, tag keys."""
import getpass
import http.server
import logging
import os
import pickle
import subprocess
import sys

import pytest
from mlflow.entities import Param
from mlflow.protos.databricks_pb2 import INVALID_PARAMETER_VALUE

from tavro_experiment_tracking import context
from tavro_experiment_tracking.auth.user import User
from tavro_experiment_tracking.exception import (
    CHANGING_LOGGED_PARAM_MESSAGE,
    CHANGING_LOGGED_PARAMS_MESSAGE,
    ExperimentTrackingException,
    RestException,
    ServerNotAccessibleException,
)
from tavro_experiment_tracking.tracking.client import ActiveIteration, Client, create_mlflow_client
from tavro_experiment_tracking.utils.validation import (
    _validate_keys_already_exists,
    is_cloud,
    is_server_up,
    server_problem,
)

from servers import free_port, serve


@pytest.mark.parametrize(
    "code, name",
    [
        (INVALID_PARAMETER_VALUE, "INVALID_PARAMETER_VALUE"),
        ("RESOURCE_DOES_NOT_EXIST", "RESOURCE_DOES_NOT_EXIST"),
        (424242, "424242"),
    ],
)
def test_exception_keeps_error_code_names(code, name):
    error = ExperimentTrackingException(message="refused", error_code=code)
    assert (str(error), error.message, error.error_code) == ("refused", "refused", name)
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.error_code) == (ExperimentTrackingException, "refused", name)


def test_exception_family():
    assert ExperimentTrackingException("x").error_code == "INTERNAL_ERROR"
    unreachable = ServerNotAccessibleException("down")
    assert isinstance(unreachable, ExperimentTrackingException) and str(unreachable) == "down"
    payload = {"error_code": "RESOURCE_DOES_NOT_EXIST", "message": "No experiment"}
    rest = RestException(payload)
    assert rest.json is payload
    assert (str(rest), rest.error_code) == ("RESOURCE_DOES_NOT_EXIST: No experiment", "RESOURCE_DOES_NOT_EXIST")
    assert pickle.loads(pickle.dumps(rest)).json == payload
    assert str(RestException("plain text body")) == "INTERNAL_ERROR: plain text body"


def test_message_templates_fill_positionally():
    single = CHANGING_LOGGED_PARAM_MESSAGE.format("<key>", "<old>", "<run>", "<new>")
    for piece in ("<key>", "<old>", "<run>", "<new>"):
        assert piece in single
    assert single.index("<key>") < single.index("<old>") < single.index("<run>") < single.index("<new>")
    batch = CHANGING_LOGGED_PARAMS_MESSAGE.format("<report>", "<run>")
    assert batch.index("<report>") < batch.index("<run>")


def test_context_follows_the_latest_session():
    current = context.current_client
    assert not current
    with pytest.raises(AttributeError, match="call init"):
        current.authenticator
    marker = object()
    client = Client(marker)
    current.update(client)
    assert current and current.authenticator is marker
    current.tracking_uri = "http://example.invalid:1"
    assert client.tracking_uri == "http://example.invalid:1"
    current.update(None)
    assert not current


class FakeAuthenticator:
    def __init__(self, user):
        self.user = user


def test_client_user_and_tracking_uri(monkeypatch):
    local = Client(None)
    assert local.user.username == getpass.getuser()
    assert local.user is local.user  # assignments to the record persist
    local.user.active_project = "p"
    assert local.user.active_project == "p"

    logged_in = User("alice")
    assert Client(FakeAuthenticator(logged_in)).user is logged_in

    monkeypatch.setenv("MLFLOW_TRACKING_URI", "http://127.0.0.1:9")
    assert local.tracking_uri == "http://127.0.0.1:9"
    local.tracking_uri = "http://127.0.0.1:10/"
    assert local.tracking_uri == "http://127.0.0.1:10/"


def test_client_talks_to_the_server(session_client, unique_name):
    name = unique_name("client")
    experiment_id = session_client.create_experiment(name, tags={"k": "v"})
    assert session_client.get_experiment(experiment_id).name == name
    assert session_client.get_experiment_by_name(name).tags == {"k": "v"}
    run = create_mlflow_client(session_client.tracking_uri).create_run(experiment_id)
    assert session_client.get_iteration(iteration_id=run.info.run_id).info.run_id == run.info.run_id


@pytest.mark.parametrize(
    "raised, status",
    [(None, "FINISHED"), (ValueError(), "FAILED"), (KeyboardInterrupt(), "KILLED"),
     # sys.exit() with status 0 is a clean end, any other status a failure
     (SystemExit(0), "FINISHED"), (SystemExit(None), "FINISHED"), (SystemExit(False), "FINISHED"),
     (SystemExit(1), "FAILED"), (SystemExit("bad input"), "FAILED"), (SystemExit(0.0), "FAILED")],
)
def test_active_iteration_ends_its_run(session_client, mlflow_client, unique_name, raised, status):
    experiment_id = mlflow_client.create_experiment(unique_name("ctx"))
    run = mlflow_client.create_run(experiment_id)
    active = ActiveIteration(session_client, run)
    assert active.info.run_id == run.info.run_id and active.data is run.data
    if raised is None:
        with active as entered:
            assert entered is active
    else:
        with pytest.raises(type(raised)):
            with active:
                raise raised
    assert mlflow_client.get_run(run.info.run_id).info.status == status


def test_active_iteration_never_hides_the_users_exception(session_client, mlflow_client, unique_name, caplog):
    run = mlflow_client.create_run(mlflow_client.create_experiment(unique_name("ctx")))
    unreachable = Client(None)
    unreachable.tracking_uri = "http://127.0.0.1:{}".format(free_port())
    with caplog.at_level(logging.WARNING, logger="tavro_experiment_tracking.tracking.client"):
        with pytest.raises(ZeroDivisionError):
            with ActiveIteration(unreachable, run):
                1 / 0
    assert "Could not mark iteration" in caplog.text


@pytest.mark.parametrize(
    "value, expected",
    [(None, False), ("", False), ("0", False), ("false", False), (" No ", False), ("1", True), ("true", True)],
)
def test_is_cloud(monkeypatch, value, expected):
    if value is None:
        monkeypatch.delenv("TAVRO_KOVA_CLOUD", raising=False)
    else:
        monkeypatch.setenv("TAVRO_KOVA_CLOUD", value)
    assert is_cloud() is expected


class StatusHandler(http.server.BaseHTTPRequestHandler):
    status = 200

    def do_GET(self):
        self.send_response(self.server.status)
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture
def status_server():
    server = serve(StatusHandler, http.server.HTTPServer)
    yield server
    server.stop()


def test_is_server_up(tracking_server, status_server, tmp_path, monkeypatch):
    assert is_server_up(tracking_server) is True
    assert is_server_up("http://127.0.0.1:{}".format(free_port())) is False
    assert is_server_up("http://bad host name") is False
    assert is_server_up("http://[::1") is False  # malformed: nobody answers there either
    assert is_server_up(None) is False
    with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected str, got bytes\)$"):
        is_server_up(tracking_server.encode())
    address = "http://127.0.0.1:{}".format(status_server.server_port)
    for status, up in ((200, True), (401, True), (404, False), (503, False)):
        status_server.status = status
        assert is_server_up(address) is up

    # Stores the tracking library opens itself; nothing is created to check them.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "runs").mkdir()
    for store in ("file:///tmp/mlruns", "sqlite:///x.db", "postgresql+psycopg2://u@db/t", "mysql://db/t",
                  "mssql://db/t", "runs", str(tmp_path / "runs")):
        assert is_server_up(store) is True, store
    # Without a scheme a server's address is taken for a folder: nothing is there.
    host_port = tracking_server.split("://")[1]
    for nowhere in (host_port, "localhost", "", "missing-folder", "databricks", "ftp://host/x", "sqlite+a+b:///x"):
        assert is_server_up(nowhere) is False, nowhere
    assert sorted(os.listdir(tmp_path)) == ["runs"]


def test_server_problem_names_what_it_saw(tracking_server, status_server):
    status_server.status = 404
    https = "https://127.0.0.1:" + tracking_server.rsplit(":", 1)[1]  # TLS spoken to a plain HTTP server
    seen = [server_problem(a) for a in ("localhost:5000", "ftp://host/x", "http://no-such-host.invalid", https,
                                        "http://127.0.0.1:{}".format(status_server.server_port))]
    assert [s.split(" (")[0].split(": ")[0] for s in seen[:3] + seen[4:]] == [
        "the address has no scheme, and no folder of that name is there", "'ftp:' is no scheme a tracking server is "
        "reached by", "its host name is not known", "it answered /health with status 404"]
    assert "plain HTTP? then the address starts with http://" in seen[3]
    assert seen[4].endswith("no tracking server there")


def test_default_server_follows_the_environment_at_import():
    code = "from tavro_experiment_tracking.constants import DEFAULT_TRACK_SERVER; print(DEFAULT_TRACK_SERVER)"
    for value, expected in ((None, "http://localhost:5000"), ("  ", "http://localhost:5000"),
                            ("http://tracking.example:8080/", "http://tracking.example:8080/")):
        env = {k: v for k, v in os.environ.items() if k != "MLFLOW_TRACKING_URI"}
        if value is not None:
            env["MLFLOW_TRACKING_URI"] = value
        out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True, text=True)
        assert out.stdout.strip() == expected


def test_stubs_spell_the_default_experiment_name():
    # Type checkers pick init's return type by this literal; it must be the real name.
    from tavro_experiment_tracking import constants
    from tavro_experiment_tracking.tracking import initialize

    literal = '"{}"'.format(constants.DEFAULT_EXPERIMENT_NAME)
    for module, spelling in ((constants, "DEFAULT_EXPERIMENT_NAME: Final = " + literal),
                             (initialize, "experiment: Literal[{}]".format(literal))):
        built = os.path.basename(module.__file__)
        stub = os.path.join(os.path.dirname(module.__file__), built.split(".")[0] + ".pyi")
        with open(stub) as f:
            assert spelling in f.read()


def test_validate_keys_already_exists():
    logged = {"lr": "0.1", "epochs": "10"}
    assert not _validate_keys_already_exists([Param("lr", "0.1"), Param("new", "x")], logged)
    assert not _validate_keys_already_exists([], logged)
    report = _validate_keys_already_exists([Param("lr", "0.2"), Param("epochs", "10"), Param("bs", "4")], logged)
    assert report == "key='lr' (logged value='0.1', new value='0.2')"
    report = _validate_keys_already_exists([Param("epochs", "11"), Param("lr", "1")], logged)
    assert "'epochs'" in report and "'11'" in report and "'lr'" in report and "'1'" in report


def test_tag_keys_import_nothing():
    code = (
        "import sys\n"
        "before = set(sys.modules)\n"
        "import tavro_experiment_tracking.model.tags as t\n"
        "new = sorted(set(sys.modules) - before)\n"
        "print(new)\n"
        "print(t.EXP_STORE_RUN_NAME, t.EXP_STORE_PARENT_RUN_ID, t.EXP_STORE_PROJECT_NAME,"
        " t.EXP_STORE_PROJECT_DESCRIPTION, t.EXP_STORE_EXPERIMENT_DESCRIPTION)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout.splitlines()
    assert out[0] == str(
        ["tavro_experiment_tracking", "tavro_experiment_tracking.model", "tavro_experiment_tracking.model.tags"])
    assert out[1].split() == [
        "tavro_experiment_tracking.runName",
        "tavro_experiment_tracking.parentRunId",
        "tavro_experiment_tracking.projectName",
        "tavro_experiment_tracking.projectDescription",
        "tavro_experiment_tracking.experimentDescription",
    ]


def test_entity_base_imports_only_pprint():
    code = (
        "import sys\n"
        "before = set(sys.modules)\n"
        "import tavro_experiment_tracking.entities.quorril\n"
        "print(sorted(m for m in set(sys.modules) - before if not m.startswith('tavro_experiment_tracking')))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    imported = eval(out)
    assert "pprint" in imported or "pprint" in sys.modules
    assert not [m for m in imported if m.split(".")[0] in ("mlflow", "requests", "oic")]


@pytest.mark.parametrize("address", [None, "", " \t"])
def test_cloud_session_without_server_address_is_refused(monkeypatch, tmp_path, address):
    # A local store inside the platform's container would silently lose every run.
    from tavro_experiment_tracking.tracking.initialize import init

    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("TAVRO_KOVA_CLOUD", "1")
    monkeypatch.delenv("TAVRO_EXPERIMENT_TRACKING_URI", raising=False)
    if address is not None:
        monkeypatch.setenv("TAVRO_EXPERIMENT_TRACKING_URI", address)
    monkeypatch.delenv("MLFLOW_TRACKING_URI", raising=False)
    with pytest.raises(ExperimentTrackingException) as raised:
        init("p", "e")
    assert "TAVRO_EXPERIMENT_TRACKING_URI" in str(raised.value)
    assert raised.value.error_code == "INVALID_PARAMETER_VALUE"
    assert os.listdir(tmp_path) == []

    # Off the platform, the tracking library's own default stays usable.
    monkeypatch.delenv("TAVRO_KOVA_CLOUD")
    assert Client(None).tracking_uri.startswith("file:")


def test_cloud_address_check_takes_any_text(monkeypatch):
    # What os.environ gives for bytes that are not UTF-8.
    monkeypatch.setenv("TAVRO_KOVA_CLOUD", "1")
    monkeypatch.setenv("MLFLOW_TRACKING_URI", "runs-\udcff")
    with pytest.raises(ExperimentTrackingException, match="TAVRO_EXPERIMENT_TRACKING_URI"):
        Client(None).tracking_uri
    monkeypatch.setenv("MLFLOW_TRACKING_URI", "http://tracking-\udcff:5000")
    assert Client(None).tracking_uri == "http://tracking-\udcff:5000"
