"""Iterations against the real tracking server: starting, resuming, ending and logging."""
import contextlib
import inspect
import logging
import os
import time
from unittest import mock

import mlflow
import pytest
from mlflow.entities import Param, ViewType
from mlflow.exceptions import MlflowException
from mlflow.store.tracking import SEARCH_MAX_RESULTS_DEFAULT
from mlflow.tracking import MlflowClient
from mlflow.tracking._tracking_service.client import TrackingServiceClient
from mlflow.utils.mlflow_tags import MLFLOW_RUN_NAME, MLFLOW_USER

from tavro_experiment_tracking.entities import iteration as iteration_module
from tavro_experiment_tracking.entities.iteration import Iteration
from tavro_experiment_tracking.entities.project import Project
from tavro_experiment_tracking.exception import (
    CHANGING_LOGGED_PARAM_MESSAGE,
    CHANGING_LOGGED_PARAMS_MESSAGE,
    ExperimentTrackingException,
)
from tavro_experiment_tracking.model.tags import (
    EXP_STORE_EXPERIMENT_DESCRIPTION,
    EXP_STORE_PROJECT_DESCRIPTION,
    EXP_STORE_PROJECT_NAME,
    EXP_STORE_RUN_NAME,
)
from tavro_experiment_tracking.utils.validation import _validate_keys_already_exists

LOGGER = "tavro_experiment_tracking.entities.iteration"


@pytest.fixture
def experiment(session_client, unique_name):
    return Project("p", "pd", session_client).get_experiment(unique_name("exp"), description="ed")


@pytest.fixture
def iteration(experiment):
    return experiment.get_iteration()


def run_ids(mlflow_client, experiment_id):
    return [info.run_id for info in mlflow_client.list_run_infos(experiment_id)]


def log_lines(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def spy(method):
    """Records calls of an MlflowClient method while still making them."""
    return mock.patch.object(MlflowClient, method, autospec=True, side_effect=getattr(MlflowClient, method))


@pytest.mark.parametrize("project, description, reserved", [
    (("p", "pd"), "ed", {EXP_STORE_PROJECT_NAME: "p", EXP_STORE_PROJECT_DESCRIPTION: "pd",
                         EXP_STORE_EXPERIMENT_DESCRIPTION: "ed"}),
    # Without names or descriptions nothing is written for them and the caller's tag stays.
    ((None, None), None, {EXP_STORE_PROJECT_NAME: "callers"}),
])
def test_new_run_has_reserved_context_and_caller_tags(
        session_client, unique_name, mlflow_client, caplog, project, description, reserved):
    os.environ["LOGNAME"] = "tester-" + unique_name()
    experiment = Project(*project, session_client).get_experiment(unique_name("exp"), description=description)
    tags = {"epoch": 1, EXP_STORE_PROJECT_NAME: "callers"}
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    with mock.patch.object(iteration_module.context_registry, "resolve_tags",
                           wraps=iteration_module.context_registry.resolve_tags) as resolve:
        active = experiment.get_iteration().start(iteration_name="first", tags=tags)
    run = mlflow_client.get_run(active.info.run_id)

    assert resolve.call_args.args[0]["epoch"] == 1  # the resolution sees the caller's value
    assert tags == {"epoch": 1, EXP_STORE_PROJECT_NAME: "callers"}
    expected = {MLFLOW_RUN_NAME: "first", EXP_STORE_RUN_NAME: "first", "epoch": "1",
                MLFLOW_USER: os.environ["LOGNAME"], **reserved}
    assert {k: run.data.tags.get(k) for k in expected} == expected
    assert set(run.data.tags) & {EXP_STORE_PROJECT_DESCRIPTION, EXP_STORE_EXPERIMENT_DESCRIPTION} == \
        set(reserved) - {EXP_STORE_PROJECT_NAME}
    assert run.info.user_id == os.environ["LOGNAME"]
    assert run.info.experiment_id == experiment.experiment_id
    assert log_lines(caplog) == [
        ("DEBUG", "No iteration with name first, creating new iteration!"),
        ("INFO", "New Iteration created with ID: {}, under Experiment ID: {}".format(
            run.info.run_id, experiment.experiment_id)),
    ]


def test_empty_name_skips_lookup_and_nested_changes_nothing(iteration, mlflow_client):
    with spy("list_run_infos") as listing:
        active = iteration.start(iteration_name="", nested=True)
    assert listing.call_count == 0
    assert mlflow_client.get_run(active.info.run_id).data.tags[EXP_STORE_RUN_NAME] == ""
    assert iteration.iteration_id == active.info.run_id


@pytest.mark.parametrize("page_size", [None, 2])
def test_resume_by_name_scans_every_page_and_last_listed_wins(
        experiment, mlflow_client, caplog, page_size):
    eid = experiment.experiment_id
    # The oldest run is listed last, on the last page when pages are small.
    named = [mlflow_client.create_run(eid, tags={EXP_STORE_RUN_NAME: "again"}).info.run_id]
    for i in range(3):
        mlflow_client.create_run(eid, tags={EXP_STORE_RUN_NAME: "other{}".format(i)})
    named.append(mlflow_client.create_run(eid, tags={EXP_STORE_RUN_NAME: "again"}).info.run_id)
    listed = run_ids(mlflow_client, eid)
    expected = [r for r in listed if r in named][-1]

    real = MlflowClient.list_run_infos

    def pages(self, experiment_id, *args, **kwargs):
        if page_size:
            kwargs["max_results"] = page_size
        return real(self, experiment_id, *args, **kwargs)

    caplog.set_level(logging.INFO, logger=LOGGER)
    with mock.patch.object(MlflowClient, "list_run_infos", autospec=True, side_effect=pages) as listing:
        active = experiment.get_iteration().start(iteration_name="again")

    assert active.info.run_id == expected
    assert run_ids(mlflow_client, eid) == listed  # no duplicate created
    calls = listing.call_args_list
    assert calls[0].args[1:] == (eid,) and calls[0].kwargs == {}
    assert all(c.args[1:] == (eid,) and set(c.kwargs) == {"page_token"} for c in calls[1:])
    assert len(calls) >= (3 if page_size else 1)
    assert log_lines(caplog) == [
        ("INFO", "Reusing Iteration with ID: {}, under Experiment ID: {}".format(expected, eid))]


def pages_of(method, size, between_pages=None):
    """MlflowClient.<method> with pages of `size`, calling `between_pages` before every later page."""
    real = getattr(MlflowClient, method)
    signature = inspect.signature(real)

    def paged(*args, **kwargs):
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        bound.arguments["max_results"] = size
        if bound.arguments["page_token"] and between_pages:
            between_pages()
        return real(*bound.args, **bound.kwargs)

    return mock.patch.object(MlflowClient, method, autospec=True, side_effect=paged)


@pytest.mark.parametrize("path", ["search pages", "listing and get_run"])
def test_lookup_by_name_picks_the_same_run_on_either_path(experiment, mlflow_client, path):
    eid = experiment.experiment_id
    # Newest first, in pages of two: [again, o2 | o1, o0 | again]. A run made
    # while the pages are read shifts the later pages, so one run is listed twice.
    # Start times a second apart: runs started in the same millisecond are
    # listed in the order of their IDs.
    start = int(time.time() * 1000) - 10000
    names = ["again", "o0", "o1", "o2", "again"]
    ids = [mlflow_client.create_run(eid, start_time=start + 1000 * i, tags={EXP_STORE_RUN_NAME: n}).info.run_id
           for i, n in enumerate(names)]
    newcomers = []

    def between_pages():
        if not newcomers:
            newcomers.append(mlflow_client.create_run(eid, tags={EXP_STORE_RUN_NAME: "again"}).info.run_id)

    tracking = "mlflow.tracking._tracking_service.client.TrackingServiceClient."
    with contextlib.ExitStack() as stack:
        method = "search_runs" if path == "search pages" else "list_run_infos"
        pager = stack.enter_context(pages_of(method, 2, between_pages))
        fetched = stack.enter_context(mock.patch(tracking + "get_run", autospec=True,
                                                 side_effect=TrackingServiceClient.get_run))
        active = experiment.get_iteration().start(iteration_name="again")

    # The oldest named run is listed last on either path; the newcomer comes
    # first, on a page already read.
    assert active.info.run_id == ids[0]
    if path == "search pages":
        # The listing's own experiment, view type and order, narrowed to the
        # name by the server; the tags come with the pages.
        first = pager.call_args_list[0].args[1:]
        assert first == ([eid], "tags.`{}` = 'again'".format(EXP_STORE_RUN_NAME), ViewType.ACTIVE_ONLY,
                         SEARCH_MAX_RESULTS_DEFAULT, None, None)
        assert len(pager.call_args_list) == 2  # the two named runs, then the one the newcomer shifted
        assert fetched.call_count == 2  # the found run, before and after it is opened again
    else:
        assert len(pager.call_args_list) == 4  # three pages and the empty one after
        assert fetched.call_count == 6 + 2  # every listed run, one of them twice


class RecordingClient:
    """Not the tracking library's client: forwards to a real one and records every call."""

    def __init__(self, uri):
        self.real = MlflowClient(uri)
        self.calls = []

    def __getattr__(self, name):
        method = getattr(self.real, name)

        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return method(*args, **kwargs)

        return call


class SubClient(MlflowClient):
    pass


@pytest.mark.parametrize("kind", ["library client", "fake", "subclass", "patched instance"])
def test_only_the_library_client_is_read_through_search_pages(experiment, mlflow_client, tracking_server, kind):
    eid = experiment.experiment_id
    start = int(time.time() * 1000) - 10000
    ids = [mlflow_client.create_run(eid, start_time=start + 1000 * i, tags={EXP_STORE_RUN_NAME: n}).info.run_id
           for i, n in enumerate(("x", "y"))]
    if kind == "fake":
        client = RecordingClient(tracking_server)
    elif kind == "subclass":
        client = SubClient(tracking_server)
    else:
        client = MlflowClient(tracking_server)
        if kind == "patched instance":
            client.get_run = mock.Mock(wraps=client.get_run)
    tracking = "mlflow.tracking._tracking_service.client.TrackingServiceClient."
    with mock.patch.object(iteration_module, "create_mlflow_client", return_value=client), \
            mock.patch(tracking + "search_runs", autospec=True, side_effect=TrackingServiceClient.search_runs) as s, \
            mock.patch(tracking + "list_run_infos", autospec=True,
                       side_effect=TrackingServiceClient.list_run_infos) as listing:
        assert experiment.get_iteration().start(iteration_name="x").info.run_id == ids[0]

    assert (s.call_count, listing.call_count) == ((1, 0) if kind == "library client" else (0, 1))
    if kind == "fake":
        # Exactly the listing, then one fetch per listed run, then the reuse's own two; the name claimed once.
        runs = [c for c in client.calls if c[0] in ("list_run_infos", "get_run")]
        assert runs[:3] == [("list_run_infos", (eid,), {}), ("get_run", (ids[1],), {}), ("get_run", (ids[0],), {})]
        assert [c[0] for c in runs[3:]] == ["get_run", "get_run"]
        assert [c[0] for c in client.calls if "experiment" in c[0]] == [
            "get_experiment_by_name", "create_experiment", "delete_experiment"]


@pytest.mark.parametrize("name_exists", [True, False])
def test_name_match_wins_over_given_id(experiment, mlflow_client, name_exists):
    eid = experiment.experiment_id
    given = mlflow_client.create_run(eid).info.run_id
    named = mlflow_client.create_run(eid, tags={EXP_STORE_RUN_NAME: "n"}).info.run_id
    active = experiment.get_iteration().start(iteration_name="n" if name_exists else "absent", iteration_id=given)
    assert active.info.run_id == (named if name_exists else given)


def test_resume_by_id_reopens_ended_run_with_its_end_time(experiment, mlflow_client, caplog):
    first = experiment.get_iteration()
    run_id = first.start().info.run_id
    first.end()
    ended = mlflow_client.get_run(run_id).info
    assert ended.status == "FINISHED"

    caplog.set_level(logging.INFO, logger=LOGGER)
    caplog.clear()
    second = experiment.get_iteration()
    active = second.start(iteration_id=run_id, tags={"epoch": 2})

    info = mlflow_client.get_run(run_id).info
    assert (info.status, info.end_time) == ("RUNNING", ended.end_time)
    assert active.info.status == "RUNNING"
    assert active.data.tags["epoch"] == "2"
    assert second.iteration_id == run_id
    assert log_lines(caplog) == [
        ("INFO", "Reusing Iteration with ID: {}, under Experiment ID: {}".format(run_id, experiment.experiment_id))]


@pytest.mark.parametrize("case", ["other experiment", "deleted"])
def test_resume_refusals_change_nothing(experiment, session_client, mlflow_client, unique_name, case):
    if case == "other experiment":
        other = Project("p", "pd", session_client).get_experiment(unique_name("other"))
        run_id = mlflow_client.create_run(other.experiment_id).info.run_id
        mlflow_client.set_terminated(run_id, "FAILED")
        message = ("Cannot start iteration with ID {} because active experiment ID {}does not match with it. "
                   "Make sure iteration_id matches experiment set with init()").format(
                       run_id, experiment.experiment_id)
    else:
        run_id = mlflow_client.create_run(experiment.experiment_id).info.run_id
        mlflow_client.set_terminated(run_id, "FAILED")
        mlflow_client.delete_run(run_id)
        message = "Cannot start run with ID {} because it is in the deleted state.".format(run_id)
    iteration = experiment.get_iteration()
    with pytest.raises(ExperimentTrackingException) as refused:
        iteration.start(iteration_id=run_id, tags={"x": "y"})
    assert str(refused.value) == message
    run = mlflow_client.get_run(run_id)
    assert run.info.status == "FAILED" and "x" not in run.data.tags
    assert iteration.iteration_id is None


@pytest.mark.parametrize("args, status", [((), "FINISHED"), (("FAILED",), "FAILED"), (("KILLED",), "KILLED")])
def test_end_marks_run_and_later_logging_goes_into_it(experiment, mlflow_client, caplog, args, status):
    iteration = experiment.get_iteration()
    run_id = iteration.start().info.run_id
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    caplog.clear()
    iteration.end(*args)
    assert log_lines(caplog) == [("DEBUG", "Terminated Iteration with ID: {})".format(run_id))]
    assert iteration.iteration_id == run_id

    iteration.log_param("after", "end")
    iteration.log_metric("after", 1.5)
    run = mlflow_client.get_run(run_id)
    assert run.info.status == status
    assert run.data.params == {"after": "end"} and run.data.metrics == {"after": 1.5}
    assert run_ids(mlflow_client, experiment.experiment_id) == [run_id]


@pytest.mark.parametrize("raised, status", [(None, "FINISHED"), (ValueError, "FAILED"), (KeyboardInterrupt, "KILLED")])
def test_started_iteration_as_context_manager(iteration, mlflow_client, raised, status):
    with pytest.raises(raised) if raised else contextlib.nullcontext():
        with iteration.start() as active:
            assert mlflow_client.get_run(active.info.run_id).info.status == "RUNNING"
            if raised:
                raise raised()
    assert mlflow_client.get_run(active.info.run_id).info.status == status


def test_log_param_change_is_refused_with_old_and_new_value(iteration, mlflow_client):
    iteration.log_param("lr", 0.1)  # starts the iteration
    run_id = iteration.iteration_id
    iteration.log_param("lr", "0.1")  # same text: accepted
    with pytest.raises(ExperimentTrackingException) as refused:
        iteration.log_param("lr", 0.2)
    assert refused.value.message == CHANGING_LOGGED_PARAM_MESSAGE.format("lr", "0.1", run_id, 0.2)
    assert refused.value.error_code == "INVALID_PARAMETER_VALUE"
    assert isinstance(refused.value.__context__, MlflowException)
    assert mlflow_client.get_run(run_id).data.params == {"lr": "0.1"}


def test_log_param_other_refusal_keeps_library_text_and_code(iteration, mlflow_client):
    run_id = iteration.start().info.run_id
    mlflow_client.delete_run(run_id)
    with pytest.raises(ExperimentTrackingException) as refused:
        iteration.log_param("k", "v")
    cause = refused.value.__context__
    assert isinstance(cause, MlflowException)
    assert (refused.value.message, refused.value.error_code) == (cause.message, cause.error_code)
    assert "must be in the 'active' state" in refused.value.message


def test_log_params_conflict_writes_nothing(iteration, mlflow_client):
    iteration.log_params({"a": 1, "b": 2})
    run_id = iteration.iteration_id
    batch = {"a": 1, "b": 3, "c": 4}
    with pytest.raises(ExperimentTrackingException) as refused:
        iteration.log_params(batch)
    report = _validate_keys_already_exists([Param(k, str(v)) for k, v in batch.items()], {"a": "1", "b": "2"})
    assert refused.value.message == CHANGING_LOGGED_PARAMS_MESSAGE.format(report, run_id)
    assert refused.value.error_code == "INVALID_PARAMETER_VALUE"
    assert mlflow_client.get_run(run_id).data.params == {"a": "1", "b": "2"}


@pytest.mark.parametrize("batch, sent", [
    ({"a": 1, "b": "two"}, [("b", "two")]),  # unchanged key with a new one
    ({"a": "1"}, []),                        # all unchanged: an empty batch, no request
    ({}, []),
])
def test_log_params_sends_only_what_is_not_logged_yet(iteration, mlflow_client, batch, sent):
    iteration.log_params({"a": 1})
    with spy("log_batch") as log_batch:
        iteration.log_params(batch)
    kwargs = log_batch.call_args.kwargs
    assert [(p.key, p.value) for p in kwargs["params"]] == sent
    assert kwargs["metrics"] == [] and kwargs["tags"] == []
    assert mlflow_client.get_run(iteration.iteration_id).data.params == {"a": "1", **dict(sent)}


def test_log_metric_converts_value_and_stamps_milliseconds(iteration, mlflow_client):
    with mock.patch.object(iteration_module.time, "time", return_value=1700000000.1239):
        iteration.log_metric("loss", 3)
        iteration.log_metric("loss", 2.5, step=7)
    history = mlflow_client.get_metric_history(iteration.iteration_id, "loss")
    assert sorted((m.value, m.timestamp, m.step) for m in history) == [
        (2.5, 1700000000123, 7), (3.0, 1700000000123, 0)]
    assert all(type(m.value) is float for m in history)


@pytest.mark.parametrize("step, expected", [(None, 0), (0, 0), (5, 5)])
def test_log_metrics_share_one_timestamp_and_step(iteration, mlflow_client, step, expected):
    with spy("log_batch") as log_batch:
        iteration.log_metrics({"a": 1.0, "b": 2.5}, step=step)
    assert log_batch.call_count == 1
    sent = log_batch.call_args.kwargs["metrics"]
    assert [m.key for m in sent] == ["a", "b"] and len({m.timestamp for m in sent}) == 1
    run = mlflow_client.get_run(iteration.iteration_id)
    assert run.data.metrics == {"a": 1.0, "b": 2.5}
    for key in ("a", "b"):
        (point,) = mlflow_client.get_metric_history(iteration.iteration_id, key)
        assert (point.step, point.timestamp) == (expected, sent[0].timestamp)


def test_artifacts_go_to_current_or_given_run(experiment, mlflow_client, tmp_path, monkeypatch):
    # The tracking library's own default address names another server: artifacts
    # served by the session's server must still go there, and the setting stays.
    monkeypatch.setenv("MLFLOW_TRACKING_URI", "http://127.0.0.1:9")
    model = tmp_path / "model.txt"
    model.write_text("weights")
    folder = tmp_path / "plots"
    folder.mkdir()
    (folder / "a.csv").write_text("1")
    (folder / "b.csv").write_text("2")

    other = experiment.get_iteration()
    target = mlflow_client.create_run(experiment.experiment_id).info.run_id
    # Explicit ID: no iteration is started for this object.
    other.log_artifact(str(model), iteration_id=target)
    other.log_artifacts(folder, artifact_path="plots", iteration_id=target)
    assert other.iteration_id is None

    current = experiment.get_iteration()
    current_id = current.start().info.run_id
    current.log_artifact(model, artifact_path="models")
    current.log_artifact(str(model), artifact_path="models", iteration_id=target)
    current.log_artifacts(str(folder), iteration_id="")  # empty ID means the current run

    def listing(run_id, path=None):
        return sorted(f.path for f in mlflow_client.list_artifacts(run_id, path))

    assert mlflow.get_tracking_uri() == "http://127.0.0.1:9"
    assert listing(target) == ["model.txt", "models", "plots"]
    assert listing(target, "plots") == ["plots/a.csv", "plots/b.csv"]
    assert listing(target, "models") == ["models/model.txt"]
    assert listing(current_id) == ["a.csv", "b.csv", "models"]
    assert listing(current_id, "models") == ["models/model.txt"]
    assert current.iteration_id == current_id


class Key(str):
    pass


@pytest.mark.parametrize("call, error", [
    (lambda it: it.log_param(1, "v"), "Argument 'key' has incorrect type (expected str, got int)"),
    (lambda it: it.log_param(Key("k"), "v"), "Argument 'key' has incorrect type (expected str, got Key)"),
    (lambda it: it.log_metric(2.0, 1), "Argument 'key' has incorrect type (expected str, got float)"),
    (lambda it: it.log_metric("k", "high"), "must be real number, not str"),
    (lambda it: it.log_artifact(__file__, iteration_id=5),
     "Argument 'iteration_id' has incorrect type (expected str, got int)"),
    (lambda it: it.log_artifacts(".", iteration_id=b"id"),
     "Argument 'iteration_id' has incorrect type (expected str, got bytes)"),
])
def test_bad_input_is_refused_before_any_run(iteration, experiment, mlflow_client, call, error):
    with pytest.raises(TypeError) as refused:
        call(iteration)
    assert str(refused.value) == error
    assert iteration.iteration_id is None
    assert run_ids(mlflow_client, experiment.experiment_id) == []


def test_unbound_iteration_fails_before_server_calls():
    with mock.patch.object(iteration_module, "create_mlflow_client") as factory:
        with pytest.raises(AttributeError):
            Iteration().start()
    factory.assert_not_called()


@pytest.mark.parametrize("call, error", [
    (lambda it, tmp: it.log_artifact(str(tmp / "missing.txt")), FileNotFoundError),
    (lambda it, tmp: it.log_artifact(__file__, iteration_id="0" * 32), MlflowException),
    (lambda it, tmp: it.start(iteration_id="0" * 32), MlflowException),
])
def test_library_errors_pass_unchanged_and_keep_earlier_values(iteration, mlflow_client, tmp_path, call, error):
    iteration.log_params({"kept": "yes"})
    iteration.log_metric("kept", 1.0)
    run_id = iteration.iteration_id
    with pytest.raises(error) as failed:
        call(iteration, tmp_path)
    assert not isinstance(failed.value, ExperimentTrackingException)
    assert iteration.iteration_id == run_id
    run = mlflow_client.get_run(run_id)
    assert (run.data.params, run.data.metrics) == ({"kept": "yes"}, {"kept": 1.0})


def test_stopped_server_keeps_what_was_logged(tracking_backend, tmp_path, unique_name):
    # A server of its own, stopped mid-script and started again on the same data.
    from tavro_experiment_tracking.tracking.client import Client

    from conftest import free_port, stop_tracking_server

    port = free_port()
    store = tracking_backend.new_store(str(tmp_path))
    proc, uri, _ = tracking_backend.start_server(str(tmp_path), store, port)
    try:
        client = Client(None)
        client.tracking_uri = uri
        iteration = Project("p", None, client).get_experiment(unique_name("down")).get_iteration()
        iteration.log_param("kept", "yes")
        iteration.log_metrics({"loss": 0.5}, step=1)
        run_id = iteration.iteration_id
        stop_tracking_server(proc)
        for call in (lambda: iteration.log_param("lost", 1), lambda: iteration.log_metric("loss", 0.1),
                     lambda: iteration.end()):
            with pytest.raises(MlflowException) as failed:
                call()
            assert not isinstance(failed.value, ExperimentTrackingException)
        assert iteration.iteration_id == run_id
        proc, uri, _ = tracking_backend.start_server(str(tmp_path), store, port)
        run = MlflowClient(uri).get_run(run_id)
        assert (run.data.params, run.data.metrics, run.info.status) == ({"kept": "yes"}, {"loss": 0.5}, "RUNNING")
    finally:
        stop_tracking_server(proc)


class Items(dict):
    """A mapping whose items are whatever the test says, as a user's Mapping may yield."""

    def __init__(self, items):
        super().__init__()
        self._items = items

    def items(self):
        return self._items

    def __len__(self):
        return len(self._items)


def _python_unpacking(items):
    try:
        return {k: v for k, v in items}, None
    except Exception as e:
        return None, (type(e), str(e))


@pytest.mark.parametrize("items", [[["lr", 1]], ["ab"], [("lr",)], [("lr", 1, 2)], [5]])
@pytest.mark.parametrize("call", ["log_params", "log_metrics", "tags"])
def test_mapping_items_unpack_as_python_unpacks_them(iteration, mlflow_client, items, call):
    expected, error = _python_unpacking(items)
    if call == "tags":
        run_id = iteration.start().info.run_id
        act = lambda: iteration.start(iteration_id=run_id, tags=Items(items))  # noqa: E731
    else:
        act = lambda: getattr(iteration, call)(Items(items))  # noqa: E731
        if call == "log_metrics" and expected:
            expected = {k: v for k, v in expected.items() if isinstance(v, (int, float))}
            if not expected:
                return  # a text metric value is the server's refusal, not unpacking's
    if error:
        with pytest.raises(error[0]) as refused:
            act()
        assert str(refused.value) == error[1]
    else:
        act()
        data = mlflow_client.get_run(iteration.iteration_id).data
        stored = {"log_params": data.params, "log_metrics": data.metrics, "tags": data.tags}[call]
        assert {k: stored[k] for k in expected} == {k: (v if call == "log_metrics" else str(v))
                                                    for k, v in expected.items()}


@pytest.mark.parametrize(
    "call, batch",
    [
        ("log_params", dict({"p{}".format(i): i for i in range(150)}, p140="x" * 501)),
        ("log_params", dict({"p{}".format(i): i for i in range(150)}, **{"bad key?": 1})),
        ("log_metrics", dict({"m{}".format(i): i for i in range(1200)}, m1100="not a number")),
    ],
)
def test_refused_batch_writes_nothing(iteration, mlflow_client, call, batch):
    run_id = iteration.start().info.run_id
    with pytest.raises(MlflowException, match="INVALID_PARAMETER_VALUE|Invalid|exceeded|invalid value"):
        getattr(iteration, call)(batch)
    data = mlflow_client.get_run(run_id).data
    assert (data.params, data.metrics) == ({}, {})


@pytest.mark.parametrize("name, narrowed", [("it's", False), ("Loss", True)])
def test_lookup_by_name_is_exact_whatever_the_server_narrows(experiment, mlflow_client, name, narrowed):
    eid = experiment.experiment_id
    start = int(time.time() * 1000) - 10000
    ids = {n: mlflow_client.create_run(eid, start_time=start + 1000 * i, tags={EXP_STORE_RUN_NAME: n}).info.run_id
           for i, n in enumerate([name, name.upper(), name + " "])}
    with mock.patch.object(MlflowClient, "search_runs", autospec=True, side_effect=MlflowClient.search_runs) as search:
        active = experiment.get_iteration().start(iteration_name=name)
    assert active.info.run_id == ids[name]
    assert (search.call_args.args[2] is not None) == narrowed
