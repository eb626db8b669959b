"""init against the real tracking server: every road through one call."""
import logging
import os
import socket
from unittest import mock

import pytest
from mlflow.tracking import MlflowClient
from mlflow.tracking.context.registry import resolve_tags
from mlflow.utils.mlflow_tags import MLFLOW_USER

from tavro_experiment_tracking import context
from tavro_experiment_tracking.constants import (
    DEFAULT_EXPERIMENT_NAME,
    ENV_EXP_TRACKING_SERVER_URI,
    ENV_KOVA_CLOUD,
    ENV_LOGNAME,
    ENV_MLFLOW_TRACKING_TOKEN,
)
from tavro_experiment_tracking.entities.experiment import Experiment
from tavro_experiment_tracking.entities.project import Project
from tavro_experiment_tracking.exception import ExperimentTrackingException, ServerNotAccessibleException
from tavro_experiment_tracking.tracking.initialize import init

from local_auth import LocalAuthenticator

INIT_LOGGER = "tavro_experiment_tracking.tracking.initialize"


def session_client():
    """The client the session context holds right now (None before any init)."""
    return object.__getattribute__(context.current_client, "_client")


def init_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == INIT_LOGGER]


@pytest.fixture(autouse=True)
def _off_the_platform(monkeypatch):
    monkeypatch.delenv(ENV_KOVA_CLOUD, raising=False)
    monkeypatch.delenv("MLFLOW_TRACKING_URI", raising=False)


@pytest.mark.parametrize("explicit", [False, True])
def test_default_experiment_returns_the_project(tracking_server, mlflow_client, unique_name, caplog, explicit):
    before = len(mlflow_client.list_experiments())
    name = unique_name("proj")
    with caplog.at_level(logging.DEBUG, logger=INIT_LOGGER):
        result = init(name, DEFAULT_EXPERIMENT_NAME, tracking_uri=tracking_server) if explicit \
            else init(name, tracking_uri=tracking_server)
    assert type(result) is Project
    assert (result.name, result.description) == (name, None)
    assert result.client is session_client() and result.client.tracking_uri == tracking_server
    assert result.client.authenticator is None
    user = result.client.user
    assert (user.active_project, user.active_experiment) == (None, None)
    assert len(mlflow_client.list_experiments()) == before
    assert init_lines(caplog) == ["Using tracking server uri: " + tracking_server]


def test_new_then_reused_experiment(tracking_server, mlflow_client, unique_name, caplog):
    project_name, name = unique_name("proj"), unique_name("exp")
    given_project = Project(project_name, "project notes")
    with caplog.at_level(logging.DEBUG, logger=INIT_LOGGER):
        created = init(given_project, Experiment(name, "first try"), tracking_uri=tracking_server + "/")
    record = mlflow_client.get_experiment_by_name(name)
    assert record.lifecycle_stage == "active"
    assert init_lines(caplog) == [
        "Using tracking server uri: " + tracking_server + "/",
        "New experiment created with name: {} and ID: {}".format(name, record.experiment_id),
    ]
    assert type(created) is Experiment
    assert (created.name, created.description, created.experiment_id) == (name, "first try", record.experiment_id)
    project = created.project
    assert project is not given_project and (project.name, project.description) == (project_name, "project notes")
    assert project.client is session_client() is created.client
    user = session_client().user
    assert user.active_experiment is created and user.active_project is project

    caplog.clear()
    with caplog.at_level(logging.DEBUG, logger=INIT_LOGGER):
        reused = init(project_name, name, tracking_uri=tracking_server)
    assert init_lines(caplog)[1:] == [
        "Re-using experiment with name: {} and ID: {}".format(name, record.experiment_id)]
    assert (reused.experiment_id, reused.description) == (record.experiment_id, None)
    assert [e.name for e in mlflow_client.list_experiments()].count(name) == 1


@pytest.mark.parametrize("entry", ["init", "init, not reused", "Project.get_experiment"])
def test_experiment_made_by_another_job_since_the_lookup(tracking_server, mlflow_client, unique_name, entry):
    # Jobs of a sweep start together: another one creates the experiment
    # between this one's lookup and its creation.
    name = unique_name("exp")
    existing = mlflow_client.create_experiment(name)
    real = MlflowClient.get_experiment_by_name
    lookups = []

    def lookup(self, *args, **kwargs):
        lookups.append(args)
        return None if len(lookups) == 1 else real(self, *args, **kwargs)

    with mock.patch.object(MlflowClient, "get_experiment_by_name", autospec=True, side_effect=lookup):
        if entry == "init, not reused":
            with pytest.raises(Exception) as refused:
                init(unique_name("proj"), name, use_if_exists=False, tracking_uri=tracking_server)
            assert str(refused.value) == "Experiment already exists with name: " + name
        else:
            if entry == "init":
                experiment = init(unique_name("proj"), name, tracking_uri=tracking_server)
            else:
                experiment = init(unique_name("proj"), tracking_uri=tracking_server).get_experiment(name)
            assert experiment.experiment_id == existing
    assert len(lookups) == 2
    assert [e.name for e in mlflow_client.list_experiments()].count(name) == 1


def test_an_experiment_entity_named_default_is_looked_up(tracking_server, unique_name):
    result = init(unique_name("proj"), Experiment(DEFAULT_EXPERIMENT_NAME, None), tracking_uri=tracking_server)
    assert type(result) is Experiment and result.name == DEFAULT_EXPERIMENT_NAME
    assert session_client().user.active_experiment is result


@pytest.mark.parametrize("deleted", [False, True])
def test_existing_experiment_refused_when_not_to_be_reused(tracking_server, mlflow_client, unique_name, deleted):
    name = unique_name("exp")
    experiment_id = mlflow_client.create_experiment(name)
    if deleted:
        mlflow_client.delete_experiment(experiment_id)
    with pytest.raises(Exception) as refused:
        init(unique_name("proj"), name, use_if_exists=False, tracking_uri=tracking_server)
    assert type(refused.value) is Exception
    assert refused.value.args == ("Experiment already exists with name: " + name,)
    assert session_client() is not None  # the session client is replaced all the same


def test_deleted_experiment_is_refused(tracking_server, mlflow_client, unique_name):
    name = unique_name("exp")
    mlflow_client.delete_experiment(mlflow_client.create_experiment(name))
    with pytest.raises(ExperimentTrackingException) as refused:
        init(unique_name("proj"), name, tracking_uri=tracking_server)
    assert str(refused.value) == (
        "Cannot set a deleted experiment '{}' as the active experiment. You can restore the experiment, "
        "or permanently delete the  experiment to create a new one.".format(name))
    assert refused.value.error_code == "INVALID_PARAMETER_VALUE"
    user = session_client().user
    assert (user.active_project, user.active_experiment) == (None, None)


def test_unreachable_server(caplog):
    with socket.socket() as s:  # a loopback port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    uri = "http://127.0.0.1:{}///".format(port)
    with mock.patch("tavro_experiment_tracking.tracking.initialize.create_mlflow_client") as factory, \
            caplog.at_level(logging.DEBUG, logger=INIT_LOGGER):
        with pytest.raises(ServerNotAccessibleException) as refused:
            init("proj", "exp", tracking_uri=uri)
    assert str(refused.value) == (
        "Unable to communicate with Experiment Tracking server. Please make sure the server at "
        "'http://127.0.0.1:{}' is running, and the address is correct. What was seen: Connection refused.".format(port))
    assert init_lines(caplog) == ["Using tracking server uri: " + uri]
    assert session_client().tracking_uri == uri and not factory.called


@pytest.mark.parametrize("address", ["host:port", "localhost"])
def test_address_without_a_scheme_is_refused(tracking_server, tmp_path, monkeypatch, address):
    # A server's host and port without http:// would be taken for a folder to create.
    if address == "host:port":
        address = tracking_server.split("://")[1]
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ServerNotAccessibleException, match="the server at '{}' is running".format(address)):
        init("proj", "exp", tracking_uri=address)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("project", [None, ""])
def test_missing_project_name(project):
    with mock.patch("tavro_experiment_tracking.tracking.initialize.server_problem") as probe, \
            mock.patch("tavro_experiment_tracking.tracking.initialize.is_cloud") as cloud:
        with pytest.raises(ExperimentTrackingException) as refused:
            init(project, "exp")
    assert (str(refused.value), refused.value.error_code) == ("Must specify `project_name`.", "INVALID_PARAMETER_VALUE")
    assert session_client() is not None
    assert not probe.called and not cloud.called


def test_argument_errors_change_nothing():
    with pytest.raises(TypeError, match=r"^init\(\) missing 1 required positional argument: 'project'$"):
        init()
    with pytest.raises(TypeError, match=r"^Argument 'tracking_uri' has incorrect type \(expected str, got int\)$"):
        init("proj", tracking_uri=5000)
    with pytest.raises(TypeError, match="unexpected keyword"):
        init("proj", server="x")
    assert session_client() is None


def test_cloud_platform_address_wins(tracking_server, unique_name, monkeypatch):
    monkeypatch.setenv(ENV_KOVA_CLOUD, "1")
    monkeypatch.setenv(ENV_EXP_TRACKING_SERVER_URI, tracking_server)
    result = init(unique_name("proj"), unique_name("exp"), tracking_uri="http://127.0.0.1:9/ignored")
    assert result.client.tracking_uri == tracking_server


def test_no_address_uses_the_tracking_library_default(tracking_server, unique_name, monkeypatch, tmp_path):
    # With no address the tracking library resolves one itself: its environment
    # variable, else a local store in ./mlruns (nothing to probe then).
    monkeypatch.setenv("MLFLOW_TRACKING_URI", tracking_server)
    name = unique_name("exp")
    on_server = init(unique_name("proj"), name, tracking_uri=None)
    assert on_server.client.tracking_uri == tracking_server
    assert MlflowClient(tracking_server).get_experiment_by_name(name).experiment_id == on_server.experiment_id

    monkeypatch.delenv("MLFLOW_TRACKING_URI")
    monkeypatch.chdir(tmp_path)
    local = init(unique_name("proj"), name, tracking_uri=None)
    assert local.client.tracking_uri.startswith("file://")
    assert os.path.isdir(tmp_path / "mlruns" / local.experiment_id)


def test_authenticator_is_reused_until_another_is_given(tracking_server, unique_name, monkeypatch):
    monkeypatch.setenv(ENV_LOGNAME, "local-user")
    alice = LocalAuthenticator("alice")
    first = init(unique_name("proj"), tracking_uri=tracking_server, authenticator=alice)
    assert first.client.authenticator is alice and first.client.user.username == "alice"
    assert alice.logins == 1
    assert os.environ[ENV_LOGNAME] == "alice"
    assert os.environ[ENV_MLFLOW_TRACKING_TOKEN] == "alice-{}".format(alice.provider.calls)

    # no authenticator: the previous session's one, without a new login but with a
    # new token (asked for again before every operation on the server)
    experiment = init(unique_name("proj"), unique_name("exp"), tracking_uri=tracking_server)
    assert experiment.client.authenticator is alice and alice.logins == 1
    assert alice.provider.calls > 1
    assert os.environ[ENV_MLFLOW_TRACKING_TOKEN] == "alice-{}".format(alice.provider.calls)
    assert experiment.client.user.active_experiment is experiment

    # runs of the session carry the logged-in user
    run = MlflowClient(tracking_server).create_run(experiment.experiment_id, tags=resolve_tags())
    assert run.data.tags[MLFLOW_USER] == "alice"

    bob = LocalAuthenticator("bob")
    again = init(unique_name("proj"), tracking_uri=tracking_server, authenticator=bob)
    assert again.client.authenticator is bob and bob.logins == 1 and alice.logins == 1
    assert os.environ[ENV_LOGNAME] == "bob"
    assert os.environ[ENV_MLFLOW_TRACKING_TOKEN] == "bob-{}".format(bob.provider.calls)


def test_failed_login_leaves_the_session_alone(tracking_server, unique_name):
    first = init(unique_name("proj"), tracking_uri=tracking_server)
    with pytest.raises(RuntimeError, match="login refused"):
        init(unique_name("proj"), tracking_uri=tracking_server, authenticator=LocalAuthenticator("eve", fail=True))
    assert session_client() is first.client
