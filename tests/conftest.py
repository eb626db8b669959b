"""Shared fixtures: a real tracking server for the whole test session."""
import os
import uuid

import pytest

from servers import Backend, free_port, start_tracking_server, stop_tracking_server  # noqa: F401 (re-exported)

# Failures must surface at once, not after the tracking library's retries.
os.environ["MLFLOW_HTTP_REQUEST_MAX_RETRIES"] = "0"
os.environ["MLFLOW_HTTP_REQUEST_TIMEOUT"] = "30"

# Which kind of tracking server the server-side tests run against: "sqlite"
# (one worker, artifacts written straight into a local folder) or
# "postgresql" (a throw-away PostgreSQL cluster, two workers, artifacts served
# over HTTP by the tracking server). `make test-team` picks the second.
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
    yield uri
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
def _isolated_process_state():
    """Each test starts with the environment and session it found, and leaves them so."""
    saved = dict(os.environ)
    from tavro_experiment_tracking import context

    context.current_client.update(None)
    yield
    context.current_client.update(None)
    os.environ.clear()
    os.environ.update(saved)
