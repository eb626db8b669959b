"""Named entities, their printed form, and projects and experiments on a real server."""
import pprint
from unittest import mock

import pytest
from mlflow.exceptions import RestException as MlflowRestException

from tavro_experiment_tracking.entities.experiment import Experiment
from tavro_experiment_tracking.entities.project import Project
from tavro_experiment_tracking.entities.quorril import (
    NamedEntity,
    NamedEntityPrinter,
    is_valid_property,
    property_and_nodump,
)
from tavro_experiment_tracking.exception import RestException


class Sized(NamedEntity):
    @property
    def size(self):
        return 3


class HiddenSize(NamedEntity):
    @property_and_nodump
    def size(self):
        return 3


class Deep(Project):
    pass


class Redefined(Sized):
    @property
    def size(self):
        return 4


class Holder(NamedEntity):
    @property
    def inner(self):
        return Project("p", "d")


@pytest.mark.parametrize(
    "entity, text",
    [
        (NamedEntity("n", None), "<NamedEntity: name='n'>"),
        (NamedEntity(None, "d"), "<NamedEntity: name=None>"),
        (Project("p", "a description"), "<Project: name='p'>"),
        (Experiment("e", "d"), "<Experiment: name='e'>"),
        (Sized("n", None), "<Sized: name='n', size=3>"),
        (HiddenSize("n", None), "<HiddenSize: name='n'>"),
        # Only the class and its direct base are listed: `name` sits two levels up.
        (Deep("x", None), "<Deep: >"),
        (Redefined("n", None), "<Redefined: size=4, size=4>"),
        (Holder("h", None), "<Holder: inner=<Project: name='p'>, name='h'>"),
        (NamedEntity({"b": 1, "a": [Project("q", None)]}, None),
         "<NamedEntity: name={'a': [<Project: name='q'>], 'b': 1}>"),
    ],
)
def test_printed_form(entity, text):
    assert repr(entity) == text
    assert str(entity) == text


def test_listing_and_iteration():
    project = Project("p", "d")
    assert dict(project) == {"name": "p"}
    assert list(project) == [("name", "p")]
    assert Sized._properties() == ["name", "size"]
    assert Sized("n", None)._properties() == ["name", "size"]
    assert Deep._properties() == []
    assert is_valid_property(NamedEntity.__dict__["name"])
    assert not is_valid_property(NamedEntity.__dict__["description"])
    assert not is_valid_property(42)


def test_iteration_is_lazy_and_reads_values_when_produced():
    calls = []

    class Counting(NamedEntity):
        @classmethod
        def _properties(cls):
            calls.append("listing")
            return ["name", "name"]

    entity = Counting("first", None)
    items = iter(entity)
    assert calls == []
    assert next(items) == ("name", "first")
    entity._NamedEntity__name = "second"
    assert next(items) == ("name", "second")
    assert calls == ["listing"]
    with pytest.raises(StopIteration):
        next(items)


def test_long_values_span_lines_like_the_pretty_printer():
    text = "word " * 30
    entity = NamedEntity(text, None)
    assert repr(entity) == "<NamedEntity: name=" + pprint.pformat(text) + ">"
    assert "\n" in repr(entity)


@pytest.mark.parametrize("value", ["a", 5, None, {"b": 2, "a": 1}, [1, (2, 3)]])
def test_to_string_of_plain_values_is_pformat(value):
    assert NamedEntityPrinter().to_string(value) == pprint.pformat(value)


@pytest.mark.parametrize(
    "item, error, message",
    [
        (("a",), ValueError, "not enough values to unpack (expected 2, got 1)"),
        (("a", 1, 2), ValueError, "too many values to unpack (expected 2)"),
        (7, TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_bad_iteration_items_fail_like_unpacking(item, error, message):
    class Odd(NamedEntity):
        def __iter__(self):
            yield item

    with pytest.raises(error) as raised:
        repr(Odd("n", None))
    assert str(raised.value) == message


def test_name_and_description_are_read_only():
    project = Project("p", "d")
    for attribute in ("name", "description"):
        with pytest.raises(AttributeError):
            setattr(project, attribute, "other")
    assert (project.name, project.description) == ("p", "d")


def test_experiment_attributes_and_client_copy(session_client):
    bare = Experiment("e", "d")
    assert (bare.experiment_id, bare.project, bare.client) == (None, None, None)
    project = Project("p", "d", session_client)
    experiment = Experiment("e", None, "7", project)
    project.client = None
    assert experiment.client is session_client
    assert experiment.project is project


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda p: p.get_experiment(5), "experiment_name"),
        (lambda p: p.get_experiment_meta(5), "experiment_id"),
        (lambda p: p.get_experiment_meta_by_name(b"x"), "experiment_name"),
        (lambda p: p.get_experiment(type("S", (str,), {})("x")), "experiment_name"),
    ],
)
def test_checked_parameters_refuse_before_touching_the_client(call, name):
    # A project without client would fail with AttributeError on first use:
    # the TypeError proves the check came first.
    project = Project("p", "d", None)
    with pytest.raises(TypeError) as raised:
        call(project)
    got = str(raised.value).rsplit("got ", 1)[1].rstrip(")")
    assert str(raised.value) == "Argument '{}' has incorrect type (expected str, got {})".format(name, got)


def test_get_experiment_creates_then_reuses(session_client, mlflow_client, unique_name):
    name = unique_name("exp")
    project = Project("proj", "pd", session_client)
    with mock.patch.object(session_client, "create_experiment", wraps=session_client.create_experiment) as create:
        created = project.get_experiment(name, "first", None, {"team": "x"})
    create.assert_called_once_with(experiment_name=name, artifact_location=None, tags={"team": "x"})
    record = mlflow_client.get_experiment_by_name(name)
    assert record.tags["team"] == "x"
    assert (created.name, created.experiment_id, created.description) == (name, record.experiment_id, "first")
    assert created.project is project and created.client is session_client
    assert session_client.user.active_experiment is created
    assert session_client.user.active_project is project

    with mock.patch.object(session_client, "create_experiment") as create:
        again = project.get_experiment(name)
    create.assert_not_called()
    assert again is not created
    assert (again.experiment_id, again.description) == (record.experiment_id, None)
    assert session_client.user.active_experiment is again


def test_get_experiment_meta_by_id_and_name(session_client, mlflow_client, unique_name):
    name = unique_name("meta")
    experiment_id = mlflow_client.create_experiment(name)
    project = Project("proj", None, session_client)
    assert project.get_experiment_meta(experiment_id).name == name
    assert project.get_experiment_meta_by_name(name).experiment_id == experiment_id
    assert project.get_experiment_meta_by_name(unique_name("missing")) is None


def test_server_errors_become_the_package_rest_exception(session_client, mlflow_client, unique_name):
    project = Project("proj", None, session_client)
    with pytest.raises(RestException) as raised:
        project.get_experiment_meta("999999999")
    assert raised.value.error_code == "RESOURCE_DOES_NOT_EXIST"
    assert isinstance(raised.value.__context__, MlflowRestException)
    assert raised.value.json is raised.value.__context__.json

    experiment = project.get_experiment(unique_name("runs"))
    with pytest.raises(RestException) as raised:
        experiment.get_iteration_meta("0123456789abcdef0123456789abcdef")
    assert isinstance(raised.value.__context__, MlflowRestException)

    run = mlflow_client.create_run(experiment.experiment_id)
    assert experiment.get_iteration_meta(run.info.run_id).info.run_id == run.info.run_id


def test_get_iteration_hands_out_fresh_unstarted_iterations(session_client, unique_name):
    experiment = Project("proj", None, session_client).get_experiment(unique_name("it"))
    first, second = experiment.get_iteration(), experiment.get_iteration()
    assert first is not second
    assert first.experiment is experiment and first.iteration_id is None
