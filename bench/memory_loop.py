"""Memory over many calls of every public entry point of the native modules.

Every function, constructor, method and property accessor of the package's
native modules is called in every round, once as a caller means it (it
succeeds) and once or more refused (a wrong type, a bad value, a missing
argument). Calls that need no server run for many rounds; those that reach a
tracking server (started here, as the tests start theirs, with loopback
login endpoints and an OpenID Connect provider beside it) for fewer.

For each of the two phases, after a warm-up, the process's resident set
size, the number of objects the garbage collector tracks and the number of
memory blocks the interpreter has allocated are read midway and at the end:
once caches and allocator pools are warm they must stay flat, so growth over
the second half means references leak on some path (a refused call
included). The script exits non-zero when the growth per call passes a
bound, or when an entry point is not exercised.

    python bench/memory_loop.py [--rounds N] [--server-rounds M]
"""
import argparse
import contextlib
import gc
import io
import logging
import os
import pathlib
import pickle
import queue
import signal
import socket
import sys
import tempfile
import threading
import time
import types
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import native_callables  # noqa: E402

# Bounds on the growth per call over the second half of a phase: RSS bytes,
# objects the collector tracks, memory blocks allocated. Calls that reach the
# server get looser ones for RSS and blocks: the tracking library and its HTTP
# stack, used alone, leave about one block per request behind in their
# caches and pools. A reference leaked by our code on any path costs far more.
BOUNDS = {"local": (2.0, 0.01, 0.01), "server": (1024.0, 0.05, 2.0)}


class RaisesOnStr:
    """An argument whose text cannot be taken."""

    def __str__(self):
        raise RuntimeError("no text")


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def measure():
    gc.collect()
    return rss_kib(), len(gc.get_objects()), sys.getallocatedblocks()


class Refusal(Exception):
    pass


def refused(call, *expected):
    """Runs a call that must be refused with one of `expected`."""
    try:
        call()
    except expected:
        return
    raise Refusal("not refused with {}: {}".format(expected, call))


class Entries:
    """Entry point name (as the fuzz test names it) -> (successful call or
    None where none can succeed, refused calls), for one phase."""

    def __init__(self, sink):
        self.calls = {}
        self.sink = sink

    def add(self, names, ok, *refusals):
        for name in names.split():
            self.calls[name] = (ok, refusals)

    def run(self, rounds):
        for _ in range(rounds):
            # Keep the sink from growing: it is not what we measure.
            self.sink.seek(0)
            self.sink.truncate()
            for ok, refusals in self.calls.values():
                if ok is not None:
                    ok()
                for call in refusals:
                    call()

    def per_round(self):
        return sum((ok is not None) + len(refusals) for ok, refusals in self.calls.values())


# ---- calls that need no server ---------------------------------------------------------


def local_entries(sink):
    from mlflow.entities import Param

    from tavro_experiment_tracking import config, exchanges
    from tavro_experiment_tracking.auth import authenticator as authenticator_module, device, guard, utils
    from tavro_experiment_tracking.auth.authenticator import Authenticator, KOVAAuthenticator, OIDCAuthenticator
    from tavro_experiment_tracking.auth.lookup import check_authentication
    from tavro_experiment_tracking.auth.user import User
    from tavro_experiment_tracking.config import check_auth_env_configs
    from tavro_experiment_tracking.context import CurrentClient
    from tavro_experiment_tracking.entities.experiment import Experiment
    from tavro_experiment_tracking.entities.iteration import Iteration
    from tavro_experiment_tracking.entities.project import Project
    from tavro_experiment_tracking.entities.quorril import NamedEntity, NamedEntityPrinter, is_valid_property
    from tavro_experiment_tracking.exception import (
        ExperimentTrackingException,
        RestException,
        ServerNotAccessibleException,
    )
    from tavro_experiment_tracking.exchanges import BoundedAdapter
    from tavro_experiment_tracking.tracking import background, client as client_module
    from tavro_experiment_tracking.tracking.client import ActiveIteration, Client
    from tavro_experiment_tracking.utils.validation import _validate_keys_already_exists, is_cloud, is_server_up

    e = Entries(sink)
    project = Project("project", "a project")
    experiment = Experiment("experiment", None, "1", project)
    printer = NamedEntityPrinter()
    bad = RaisesOnStr()

    e.add("is_valid_property", lambda: is_valid_property(NamedEntity.name),
          lambda: refused(is_valid_property, TypeError))
    e.add("NamedEntity() NamedEntity.__init__", lambda: NamedEntity("n", None),
          lambda: refused(lambda: NamedEntity("n"), TypeError))
    e.add("NamedEntity.name.fget NamedEntity.description.fget", lambda: (project.name, project.description),
          lambda: refused(lambda: setattr(project, "name", "x"), AttributeError),
          lambda: refused(NamedEntity.name.fget, TypeError))
    e.add("NamedEntity.__repr__", lambda: print(project, experiment, file=sink),
          lambda: refused(NamedEntity.__repr__, TypeError))
    e.add("NamedEntity.__iter__ NamedEntity._properties", lambda: dict(experiment),
          lambda: refused(lambda: list(NamedEntity.__iter__(5)), AttributeError))
    e.add("NamedEntityPrinter() NamedEntityPrinter.__init__ NamedEntityPrinter.to_string",
          lambda: NamedEntityPrinter().to_string({"name": "n", "nested": [1.5, None]}),
          lambda: refused(lambda: printer.to_string(), TypeError))
    e.add("NamedEntityPrinter._entity_to_string", lambda: printer._entity_to_string(project),
          lambda: refused(lambda: printer._entity_to_string(5), TypeError))
    e.add("Project() Project.__init__", lambda: Project("p", None),
          lambda: refused(lambda: Project("p", None, None, None), TypeError))
    e.add("Experiment() Experiment.__init__", lambda: Experiment("e", None, "1", project),
          lambda: refused(lambda: Experiment("e", None, "1", bad), TypeError, Exception))
    e.add("Experiment.get_iteration Iteration() Iteration.__init__", lambda: experiment.get_iteration(),
          lambda: refused(lambda: Iteration(bad), Exception))
    e.add("User() User.__init__ User.__repr__", lambda: repr(User("u")), lambda: refused(User, TypeError))
    e.add("ExperimentTrackingException() ExperimentTrackingException.__init__ ExperimentTrackingException.__str__ "
          "ExperimentTrackingException.__reduce__",
          lambda: str(pickle.loads(pickle.dumps(ExperimentTrackingException("m", 1000)))),
          lambda: refused(lambda: ExperimentTrackingException(bad), Exception))
    e.add("ServerNotAccessibleException() ServerNotAccessibleException.__init__",
          lambda: ServerNotAccessibleException("m"), lambda: refused(ServerNotAccessibleException, TypeError))
    e.add("RestException() RestException.__init__ RestException.__reduce__",
          lambda: pickle.loads(pickle.dumps(RestException({"error_code": "RESOURCE_DOES_NOT_EXIST",
                                                            "message": "m"}))),
          lambda: refused(RestException, TypeError))
    from tavro_experiment_tracking.exception import LoginAbandoned, LoginAnswerMissing, LoginFailed
    from tavro_experiment_tracking.tracking.background import SyncResult
    from tavro_experiment_tracking.tracking.sync import SyncSummary

    e.add("LoginFailed() LoginAnswerMissing() LoginAbandoned()",
          lambda: (str(LoginFailed("m")), str(LoginAnswerMissing("m")), LoginAbandoned("m")),
          lambda: refused(LoginAnswerMissing, TypeError))

    def summed():
        result, summary = SyncResult("p", "u", "r", error="e"), SyncSummary("p", None)
        result.add(result)
        summary.add(result)
        return repr(result), repr(summary)

    e.add("SyncResult() SyncResult.__init__ SyncResult.add SyncResult.__repr__ SyncSummary() SyncSummary.__init__ "
          "SyncSummary.add SyncSummary.__repr__", summed,
          lambda: refused(lambda: SyncResult("p").add(None), AttributeError),
          lambda: refused(lambda: SyncSummary("p", None).add(5), AttributeError))
    current = CurrentClient()
    session = Client(None)
    e.add("CurrentClient() CurrentClient.__init__ CurrentClient.update CurrentClient.__bool__ "
          "CurrentClient.__getattr__ CurrentClient.__setattr__ CurrentClient.__repr__",
          lambda: (CurrentClient(), current.update(session), bool(current), current.authenticator,
                   setattr(current, "authenticator", None), repr(current), current.update(None)),
          lambda: refused(lambda: current.authenticator, AttributeError),
          lambda: refused(lambda: setattr(current, "x", 1), AttributeError))
    e.add("Client() Client.__init__ Client.tracking_uri.fget Client.tracking_uri.fset Client.user.fget "
          "Client.__repr__",
          lambda: (setattr(Client(None), "tracking_uri", "http://127.0.0.1:1"), session.user, repr(session)),
          lambda: refused(lambda: Client(None, None), TypeError))
    run = types_run()
    e.add("ActiveIteration() ActiveIteration.__init__ ActiveIteration.info.fget ActiveIteration.data.fget "
          "ActiveIteration.iteration_id.fget ActiveIteration.__enter__ ActiveIteration.__repr__",
          lambda: (repr(ActiveIteration(session, run).__enter__()), ActiveIteration(session, run).info,
                   ActiveIteration(session, run).data, ActiveIteration(session, run).iteration_id),
          lambda: refused(lambda: ActiveIteration(session, None).info, AttributeError))
    e.add("_iteration_opened _iteration_ended",
          lambda: (client_module._iteration_opened("r", "u"), client_module._iteration_ended("r")),
          lambda: refused(client_module._iteration_ended, TypeError))
    e.add("_end_open_iterations", lambda: client_module._end_open_iterations(),
          lambda: refused(lambda: client_module._end_open_iterations(1), TypeError))
    # A signal whose handler before the module's was the program's own: it is called, nothing ends the process.
    client_module._previous_handlers[signal.SIGUSR1] = lambda signum, frame: None
    e.add("_on_termination_signal", lambda: client_module._on_termination_signal(signal.SIGUSR1, None),
          lambda: refused(client_module._on_termination_signal, TypeError))
    record = logging.LogRecord("oic", logging.ERROR, __file__, 1, "sent %s", ({"code": "c0de-c0de"},), None)
    e.add("redact remember_secret SecretFilter.filter guard_library_logs",
          lambda: (guard.remember_secret("s3cret-s3cret"), guard.redact("Bearer abcdefgh s3cret-s3cret"),
                   guard.SecretFilter().filter(record), guard.guard_library_logs()),
          lambda: refused(lambda: guard.redact(bad), Exception),
          lambda: refused(lambda: guard.SecretFilter().filter(None), AttributeError))
    e.add("BoundedAdapter() BoundedAdapter.__init__ BoundedAdapter.init_poolmanager BoundedAdapter.proxy_manager_for "
          "BoundedAdapter.abort bounded_session abort_exchanges _cut_exchange",
          lambda: (BoundedAdapter(1.0, 10).proxy_manager_for("http://127.0.0.1:1"),
                   exchanges.abort_exchanges(exchanges.bounded_session()),
                   exchanges._cut_exchange([], threading.Event())),
          lambda: refused(BoundedAdapter, TypeError),
          lambda: refused(lambda: exchanges._cut_exchange([object()], threading.Event()), AttributeError))
    e.add("is_cloud", is_cloud, lambda: refused(lambda: is_cloud(1), TypeError))
    e.add("_validate_keys_already_exists", lambda: _validate_keys_already_exists([Param("a", "1")], {"a": "2"}),
          lambda: refused(lambda: _validate_keys_already_exists([5], {}), AttributeError))
    e.add("check_auth_env_configs check_authentication", lambda: check_authentication(check_auth_env_configs()),
          lambda: refused(lambda: check_authentication(bad), Exception))
    # (the two modules that import on first use)
    e.add("__getattr__ __dir__",
          lambda: (authenticator_module.__getattr__("Client"), dir(authenticator_module),
                   utils.__getattr__("AuthorizationResponse"), dir(utils), device.__getattr__("AccessTokenResponse")),
          lambda: refused(lambda: authenticator_module.missing, AttributeError),
          lambda: refused(lambda: utils.missing, AttributeError))
    e.add("browser_usable id_token_user", lambda: (device.browser_usable(), utils.id_token_user({"email": "e"})),
          lambda: refused(lambda: utils.id_token_user(5), AttributeError))
    from mlflow.exceptions import MlflowException
    from mlflow.protos.databricks_pb2 import RESOURCE_ALREADY_EXISTS

    from tavro_experiment_tracking.tracking.client import _get_or_create_experiment

    def taken():
        raise MlflowException("taken", error_code=RESOURCE_ALREADY_EXISTS)

    def lost_race():  # made by another job between the lookup and the creation
        answers = iter([None, "found"])
        return _get_or_create_experiment(lambda: next(answers), taken, str)

    e.add("_get_or_create_experiment",
          lambda: (_get_or_create_experiment(lambda: None, lambda: "1", str), lost_race()),
          lambda: refused(lambda: _get_or_create_experiment(lambda: None, taken, str), MlflowException))
    e.add("get_disposable_handler", lambda: utils.get_disposable_handler(None, "s", queue.Queue()),
          lambda: refused(utils.get_disposable_handler, TypeError))
    handler = utils.get_disposable_handler(None, "state", queue.Queue())
    e.add("CallbackHandler.do_GET CallbackHandler.log_request CallbackHandler.log_message",
          lambda: one_request(handler, b"GET /favicon.ico HTTP/1.1\r\n\r\n"),
          lambda: one_request(handler, b"GET /callback?state=forged&code=c HTTP/1.1\r\n\r\n"),
          lambda: one_request(handler, b"GET / HTTP/9\r\n\r\n"))
    login = KOVAAuthenticator("r", "http://127.0.0.1:1/token", "http://127.0.0.1:1/userinfo")
    provider = types.SimpleNamespace(token=lambda: "token")
    saved = dict(os.environ)

    def hand_over():
        Authenticator.authenticate(login, USER_KEY=User("u"), TOKEN_PROVIDER_KEY=provider)
        os.environ.clear()
        os.environ.update(saved)
        return login.is_authenticated, login.user, login.token()

    e.add("Authenticator.authenticate Authenticator.is_authenticated.fget Authenticator.user.fget "
          "Authenticator.token", hand_over,
          lambda: refused(lambda: Authenticator.authenticate(login), KeyError),
          lambda: refused(lambda: KOVAAuthenticator("r", "t", "u").token(), LookupError),
          lambda: refused(lambda: KOVAAuthenticator("r", "t", "u").user, LookupError))
    e.add("Authenticator.is_authenticated.fset Authenticator.user.fset", None,
          lambda: refused(lambda: setattr(login, "is_authenticated", True), AttributeError),
          lambda: refused(lambda: setattr(login, "user", None), AttributeError))
    e.add("Authenticator() Authenticator.__init__", None, lambda: refused(Authenticator, TypeError))
    e.add("Authenticator.cleanup", lambda: (Authenticator.cleanup(), os.environ.clear(), os.environ.update(saved)),
          lambda: refused(lambda: Authenticator.cleanup(1), TypeError))
    e.add("KOVAAuthenticator() KOVAAuthenticator.__init__", lambda: KOVAAuthenticator("r", "t", "u", "c", 1, x=2),
          lambda: refused(lambda: KOVAAuthenticator("r"), TypeError))
    e.add("OIDCAuthenticator() OIDCAuthenticator.__init__", lambda: OIDCAuthenticator("https://issuer"),
          lambda: refused(lambda: OIDCAuthenticator("https://issuer", client_id="c"), ValueError))
    e.add("use_async_logging async_logging",
          lambda: (config.use_async_logging(False, flush_interval=0.5), config.async_logging(),
                   config.use_async_logging(None, flush_interval=1.0)),
          lambda: refused(lambda: config.use_async_logging(flush_interval=-1), ValueError))
    e.add("use_offline_mode offline_mode offline_store",
          lambda: (config.use_offline_mode(), config.offline_mode(), config.offline_store("http://offline.example"),
                   config.use_offline_mode(None)),
          lambda: refused(lambda: config.use_offline_mode("yes"), TypeError))
    e.add("track_run _refused raise_refusal pending _forget_parent_sender",
          lambda: (background.track_run("run", {"a": "1"}), background._forget_parent_sender(), background.pending(),
                   background._refused("run", ["m", "p"], ValueError("refused"))),
          lambda: refused(lambda: background.raise_refusal("run"), ExperimentTrackingException))
    e.add("create_mlflow_client", lambda: client_module.create_mlflow_client("http://127.0.0.1:1"),
          lambda: refused(client_module.create_mlflow_client, TypeError))
    e.add("is_server_up", lambda: is_server_up("missing-folder"), lambda: refused(lambda: is_server_up(5), TypeError))
    e.add("configured_server sync_command offline_servers",
          lambda: (config.sync_command(config.configured_server(), "/j"), config.offline_servers()),
          lambda: refused(lambda: config.sync_command(None, 5), TypeError))
    signed, unsigned = types.SimpleNamespace(jws_header={"alg": "RS256"}), types.SimpleNamespace(jws_header=None)
    e.add("check_endpoint id_token_refusal",
          lambda: (exchanges.check_endpoint("https://idp/token", "token endpoint"), guard.id_token_refusal(signed, {}),
                   guard.id_token_refusal(unsigned, {"id_token_signing_alg_values_supported": ["ES256"]})),
          lambda: refused(lambda: exchanges.check_endpoint("http://idp.example/token", "token endpoint"),
                          exchanges.PlainHttpRefused),
          lambda: refused(lambda: guard.id_token_refusal(signed, None), AttributeError))
    e.add("_failure_reason", lambda: client_module._failure_reason(OSError(111, "[Errno 111] Connection refused")),
          lambda: refused(lambda: client_module._failure_reason(bad), RuntimeError))
    e.add("_keep_ending _ending_settled",
          lambda: (background._keep_ending("leak-run", "http://127.0.0.1:1", "FINISHED", 1),
                   background._ending_settled("leak-run")),
          lambda: refused(lambda: background._keep_ending("leak-run", "u", "FINISHED", "soon"), TypeError))
    from tavro_experiment_tracking.tracking import sync

    e.add("_open_nofollow _entry_name",
          lambda: (os.close(sync._open_nofollow(__file__, os.O_RDONLY)), sync._entry_name(next(os.scandir(HERE)))),
          lambda: refused(lambda: sync._open_nofollow(__file__, "r"), ValueError))
    return e


def types_run():
    from mlflow.entities import Run, RunData, RunInfo

    info = RunInfo("run", "1", "user", "FINISHED", 1, 2, "active", run_id="run")
    return Run(info, RunData())


def one_request(handler_class, request):
    """One request line through the login's callback handler, over a socket pair."""
    ours, theirs = socket.socketpair()
    with ours, theirs:
        ours.sendall(request)
        handler_class(theirs, ("127.0.0.1", 0), None)
        theirs.shutdown(socket.SHUT_WR)
        while ours.recv(65536):
            pass


# ---- calls that reach a server ---------------------------------------------------------------


def server_entries(world, sink):
    import requests
    from mlflow.exceptions import MlflowException

    from tavro_experiment_tracking.auth.authenticator import KOVAAuthenticator, OIDCAuthenticator
    from tavro_experiment_tracking.auth.lookup import check_authentication
    from tavro_experiment_tracking.auth.utils import CallbackServer
    from tavro_experiment_tracking.entities.project import Project
    from tavro_experiment_tracking.exception import ExperimentTrackingException, RestException
    from tavro_experiment_tracking.exchanges import AnswerTooLarge, bounded_session
    from tavro_experiment_tracking.tracking.client import ActiveIteration, Client
    from tavro_experiment_tracking.tracking.initialize import init
    from tavro_experiment_tracking.utils.validation import is_server_up

    uri = world.uri
    session = Client(None)
    session.tracking_uri = uri
    project = Project("p", None, session)
    experiment = project.get_experiment("leak-" + uuid.uuid4().hex)
    iteration = experiment.get_iteration()
    iteration.start(iteration_name="leak")
    run_id = iteration.iteration_id
    e = Entries(sink)

    e.add("init", lambda: init("p", experiment.name, tracking_uri=uri),
          lambda: refused(lambda: init("p", tracking_uri=5), TypeError),
          lambda: refused(lambda: init("", tracking_uri=uri), ExperimentTrackingException))
    e.add("is_server_up", lambda: is_server_up(uri), lambda: is_server_up(world.refused))
    from mlflow.tracking import MlflowClient

    from tavro_experiment_tracking.model.tags import EXP_STORE_RUN_NAME
    from tavro_experiment_tracking.tracking.client import _find_run_tagged, _with_tracking_uri

    library = MlflowClient(uri)
    e.add("_find_run_tagged _with_tracking_uri",
          lambda: (_find_run_tagged(library, experiment.experiment_id, EXP_STORE_RUN_NAME, "leak"),
                   _with_tracking_uri(uri, library.get_run, run_id)),
          lambda: refused(lambda: _find_run_tagged(None, "0", "k", "v"), AttributeError),
          lambda: refused(lambda: _with_tracking_uri(uri, library.get_run, "no-such-run"), MlflowException))
    from tavro_experiment_tracking.tracking.client import _claim_run_tagged, _job_rank

    def as_rank():
        job = {"RANK": "1", "WORLD_SIZE": "2", "TORCHELASTIC_RUN_ID": "leak-job"}
        os.environ.update(job)
        try:
            ranked = experiment.get_iteration()
            ranked.start(per_job=config.run_per_job(True))
            ranked.end()
            return _job_rank()
        finally:
            for name in job:
                os.environ.pop(name)

    e.add("_claim_run_tagged _job_rank _join_as_rank _terminate run_per_job",
          lambda: (_claim_run_tagged(library, experiment.experiment_id, EXP_STORE_RUN_NAME, "leak"), as_rank()),
          lambda: refused(lambda: _claim_run_tagged(None, "0", "k", "v"), AttributeError))
    from tavro_experiment_tracking.utils.validation import server_problem

    e.add("server_problem", lambda: server_problem(uri), lambda: server_problem(world.refused),
          lambda: refused(lambda: server_problem(5), TypeError))
    e.add("Project.get_experiment Project.get_experiment_meta_by_name", lambda: project.get_experiment(experiment.name),
          lambda: refused(lambda: project.get_experiment(5), TypeError))
    e.add("Project.get_experiment_meta", lambda: project.get_experiment_meta(experiment.experiment_id),
          lambda: refused(lambda: project.get_experiment_meta("no-such-id"), RestException))
    e.add("Experiment.get_iteration_meta", lambda: experiment.get_iteration_meta(run_id),
          lambda: refused(lambda: experiment.get_iteration_meta("no-such-run"), RestException))
    e.add("Client.get_experiment_by_name Client.get_experiment Client.get_iteration",
          lambda: (session.get_experiment_by_name(experiment.name), session.get_experiment(experiment.experiment_id),
                   session.get_iteration(run_id)),
          lambda: refused(lambda: session.get_iteration("no-such-run"), MlflowException))
    e.add("Client.create_experiment", lambda: session.create_experiment("leak-" + uuid.uuid4().hex),
          lambda: refused(lambda: session.create_experiment(experiment.name), MlflowException))
    e.add("Iteration.start", lambda: iteration.start(iteration_id=run_id, tags={"round": 1}),
          lambda: refused(lambda: iteration.start(iteration_id="no-such-run"), MlflowException))
    e.add("Iteration.log_param", lambda: iteration.log_param("alpha", "1"),
          lambda: refused(lambda: iteration.log_param("alpha", "2"), ExperimentTrackingException),
          lambda: refused(lambda: iteration.log_param(5, "1"), TypeError))
    e.add("Iteration.log_params", lambda: iteration.log_params({"alpha": "1", "beta": 2}),
          lambda: refused(lambda: iteration.log_params({"beta": 3}), ExperimentTrackingException))
    e.add("Iteration.log_metric", lambda: iteration.log_metric("loss", 0.5, step=1),
          lambda: refused(lambda: iteration.log_metric("loss", "high"), TypeError))
    e.add("Iteration.log_metrics", lambda: iteration.log_metrics({"loss": 0.25, "accuracy": 1}, step=2),
          lambda: refused(lambda: iteration.log_metrics(None), AttributeError))
    e.add("Iteration.set_tag Iteration.set_tags Iteration.set_note Iteration.url.fget Iteration._repr_html_ "
          "Experiment.url.fget NamedEntity._repr_html_ _ui_url _say_started _say_ended _bounded _metric_history",
          lambda: (iteration.set_tags({"team": "leak"}), iteration.set_tag("k", 1), iteration.set_note("note"),
                   iteration.url, iteration._repr_html_(), experiment.url, experiment._repr_html_(),
                   project._repr_html_(), iteration.end(), iteration.start(iteration_id=run_id)),
          lambda: refused(lambda: iteration.set_tag("tavro_experiment_tracking.runName", "x"),
                          ExperimentTrackingException),
          lambda: refused(lambda: iteration.set_note(5), TypeError))
    import types

    from tavro_experiment_tracking.integrations.optuna import OptunaCallback

    # A finished trial as Optuna hands it to its callbacks (a real study's own
    # caches are not what this gate measures; the integration's test runs one).
    tracked = OptunaCallback(experiment)
    study = types.SimpleNamespace(study_name="leak-study")
    trial = types.SimpleNamespace(number=0, state=types.SimpleNamespace(name="COMPLETE"), params={"x": 0.5},
                                  values=[0.25], intermediate_values={0: 1.0, 1: 0.5})
    e.add("OptunaCallback() OptunaCallback.__init__ OptunaCallback.__call__", lambda: tracked(study, trial),
          lambda: refused(lambda: OptunaCallback(experiment, metric_name=5), TypeError),
          lambda: refused(lambda: tracked(None, None), AttributeError))
    import numpy as np

    from tavro_experiment_tracking.integrations.keras import KerasCallback

    class Model:  # what a fit hands its callbacks, as far as they read it
        optimizer = None

        def count_params(self):
            return 5

        def save(self, path):
            with open(path, "w") as f:
                f.write("weights")

    keras_callback = KerasCallback(iteration, log_every_n_batches=1, checkpoint=True, monitor="loss")
    keras_callback.set_model(Model())

    def fitted():
        keras_callback.best = None
        keras_callback.on_train_begin()
        keras_callback.on_train_batch_end(0, {"loss": np.float32(0.5), "note": "text"})
        keras_callback.on_epoch_end(0, {"loss": 0.5})

    e.add("KerasCallback() KerasCallback.__init__ KerasCallback.on_train_begin KerasCallback.on_train_batch_end "
          "KerasCallback.on_epoch_end", fitted,
          lambda: refused(lambda: KerasCallback(iteration, log_every_n_batches=0), ValueError),
          lambda: refused(lambda: KerasCallback(iteration, mode="median"), ValueError))
    e.add("Iteration.log_artifact", lambda: iteration.log_artifact(world.file, "files"),
          lambda: refused(lambda: iteration.log_artifact(world.file, iteration_id=5), TypeError),
          lambda: refused(lambda: iteration.log_artifact(world.file + ".missing"), OSError, MlflowException))
    e.add("Iteration.log_artifacts", lambda: iteration.log_artifacts(world.dir, "dirs"),
          lambda: refused(lambda: iteration.log_artifacts(world.dir, iteration_id=b"r"), TypeError))
    e.add("Iteration.end Iteration._get_or_start_iteration Iteration.get_iteration",
          lambda: (iteration._get_or_start_iteration(), iteration.end()),
          lambda: refused(lambda: iteration.get_iteration("no-such-run"), MlflowException))
    e.add("ActiveIteration.__exit__",
          lambda: ActiveIteration(session, iteration.get_iteration(run_id).run).__exit__(None, None, None),
          lambda: refused(lambda: ActiveIteration(session, None).__exit__(None, None, None), AttributeError))

    kova = KOVAAuthenticator("refresh", world.endpoints.url + "/token", world.endpoints.url + "/userinfo")
    kova_refused = KOVAAuthenticator("refresh", world.endpoints.url + "/refuse", world.endpoints.url + "/userinfo")
    e.add("KOVAAuthenticator.authenticate check_authentication", lambda: world.login(
        lambda: (kova.authenticate(), check_authentication(kova))),
        lambda: world.login(lambda: refused(kova_refused.authenticate, ExperimentTrackingException)))
    oidc = OIDCAuthenticator(world.provider.issuer, device_login=False)
    oidc_refused = OIDCAuthenticator(world.refused)
    e.add("OIDCAuthenticator.authenticate _fetch_keys", lambda: world.login(oidc.authenticate),
          lambda: world.login(lambda: refused(oidc_refused.authenticate, Exception)))
    from tavro_experiment_tracking.auth import device

    by_code = OIDCAuthenticator(world.provider.issuer, device_login=True)
    nowhere = {"device_authorization_endpoint": world.refused, "token_endpoint": world.refused}
    e.add("device_login", lambda: world.login(by_code.authenticate),
          lambda: refused(lambda: device.device_login(types.SimpleNamespace(client_id="c"), nowhere), OSError))
    from tavro_experiment_tracking import config
    from tavro_experiment_tracking.tracking import background

    config.use_async_logging()
    queued = experiment.get_iteration()
    queued.start(iteration_name="leak-background")
    config.use_async_logging(None)
    e.add("queue_metrics queue_params flush Iteration.flush _before_ending",
          lambda: (queued.log_metric("loss", 0.5, step=1), queued.log_params({"alpha": "1"}), queued.flush(),
                   queued.log_metrics({"loss": 0.25}), background._before_ending(queued.iteration_id, 30, False)),
          lambda: refused(lambda: queued.log_param("alpha", "2"), ExperimentTrackingException),
          lambda: refused(lambda: queued.log_metric("bad name!", 1.0), MlflowException),
          lambda: refused(lambda: background.flush(timeout="soon"), ValueError))
    from tavro_experiment_tracking.tracking import system

    config.use_system_metrics(interval=1)
    sampled = experiment.get_iteration()
    e.add("use_system_metrics system_metrics _background_settings environment_record_enabled environment_record "
          "_environment_record "
          "_git_tags _record_for_new_run _run_started _start_sampling _stop_sampling _before_ending "
          "_forget_parent_sampler _sampler_cpu",
          lambda: (sampled.start(iteration_name="leak-system"), config.system_metrics(), config._background_settings(),
                   system._git_tags(system.environment_record()), system._sampler_cpu(),
                   system._forget_parent_sampler(), system._before_ending("nothing", None, False), sampled.end()),
          lambda: refused(lambda: config.use_system_metrics(interval=0), ValueError),
          lambda: refused(lambda: system._start_sampling(uri, run_id, "often"), ValueError))
    config.use_system_metrics(None)
    from tavro_experiment_tracking.tracking import sync

    journals = config.journal_folder()
    e.add("spool_artifacts _upload_snapshot _upload_worker spool_snapshots _artifacts_refused",
          lambda: (queued.log_artifact(world.file, "spooled"), queued.log_artifacts(world.dir, "spooled"),
                   queued.flush(), background.spool_snapshots(journals), background._upload_worker(0),
                   background._upload_snapshot(os.path.join(journals, "no-such-snapshot"))),
          lambda: refused(lambda: background.spool_artifacts(uri, run_id, world.file + ".missing"), OSError),
          lambda: refused(lambda: background._upload_snapshot(5), TypeError),
          lambda: refused(lambda: (background._artifacts_refused("leak", "snapshot", "refused"),
                                   background.raise_refusal("leak")), ExperimentTrackingException))

    from tavro_experiment_tracking import cli
    from tavro_experiment_tracking.auth import store

    def sync_journals():  # the live process's own journals: in use, kept
        background.prepare()
        for name in os.listdir(journals):
            background.journal_info(os.path.join(journals, name))
        with contextlib.redirect_stdout(sink):
            sync.sync(journals), sync.pending_values(journals), cli.main(["sync", "--server", uri, journals])
            cli.main(["sync", "--no-such-option"]), cli.main(["whoami"]), cli.main(["logout", "--issuer", "x"])

    e.add("journal_folder prepare journal_info sync_journal sync pending_values main", sync_journals,
          lambda: refused(lambda: background.sync_journal(5), TypeError),
          lambda: refused(lambda: cli.main(5), TypeError))
    entry = {"issuer": "https://idp", "refresh_token": "r", "username": "u", "token_endpoint": "https://idp/t"}
    e.add("login_folder save_login load_login stored_logins forget_logins",
          lambda: (store.login_folder(), store.save_login("https://idp", None, entry), store.load_login("https://idp"),
                   store.stored_logins(), store.forget_logins("https://idp")),
          lambda: refused(lambda: store.save_login("https://idp", None, {1j}), TypeError))
    body = '{{"run_id": "{}", "metrics": [{{"key": "sent", "value": 1.0, "timestamp": 1, "step": 0}}]}}'
    e.add("_send_batch", lambda: background._send_batch(uri, run_id, body.format(run_id)),
          lambda: refused(lambda: background._send_batch(uri, "no-such-run", body.format("no-such-run")),
                          MlflowException))
    e.add("_request_target _answered", lambda: (background._request_target(uri), background._answered(503, "")),
          lambda: refused(lambda: background._answered(404, '{"error_code": "RESOURCE_DOES_NOT_EXIST"}'),
                          MlflowException))
    bounded = bounded_session()
    e.add("BoundedAdapter.send _WatchedHTTPConnection._new_conn _WatchedHTTPSConnection._new_conn",
          lambda: (bounded.get(uri + "/health").content,
                   bounded.get(world.provider.issuer + "/.well-known/openid-configuration").content),
          lambda: refused(lambda: bounded.get(world.refused), requests.ConnectionError),
          lambda: refused(lambda: bounded_session(max_bytes=1).get(uri + "/health"), AnswerTooLarge))
    e.add("CallbackServer() CallbackServer.__init__ CallbackServer.serve_forever CallbackServer.process_request "
          "CallbackServer.request_received CallbackServer.shutdown_request CallbackServer.service_actions "
          "CallbackServer.server_close CallbackServer.handle_error", lambda: callback_server_round(),
          lambda: refused(lambda: CallbackServer(("127.0.0.1", -1), None), OverflowError))
    return e


def callback_server_round():
    """A login's local server, serving one request (not the login's redirect), then closed."""
    from tavro_experiment_tracking.auth.utils import CallbackServer, get_disposable_handler

    server = CallbackServer(("127.0.0.1", 0), get_disposable_handler(None, "state", queue.Queue()))
    thread = threading.Thread(target=server.serve_forever)
    thread.start()
    with socket.create_connection(("127.0.0.1", server.server_port), timeout=30) as connection:
        connection.sendall(b"GET /favicon.ico HTTP/1.0\r\n\r\n")
        while connection.recv(65536):
            pass
    server.handle_error(None, None)
    server.shutdown()
    thread.join()
    server.server_close()


class World:
    """The servers the second phase talks to, all on loopback."""

    def __init__(self, workdir):
        import conftest
        from oidc_provider import TestProvider

        self.conftest = conftest
        self.proc, self.uri, _ = conftest.start_tracking_server(workdir, conftest.free_port())
        self.endpoints = conftest.Endpoints()
        self.endpoints.answer("/token", (200, {"access_token": "access", "refresh_token": "refresh"}))
        self.endpoints.answer("/userinfo", (200, {"preferred_username": "user"}))
        self.endpoints.answer("/refuse", (401, {}))
        self.provider = TestProvider(pathlib.Path(workdir))
        os.environ["REQUESTS_CA_BUNDLE"] = self.provider.cert
        self.closed = socket.socket()
        self.closed.bind(("127.0.0.1", 0))
        self.refused = "http://127.0.0.1:{}".format(self.closed.getsockname()[1])
        self.dir = os.path.join(workdir, "files")
        os.makedirs(self.dir)
        self.file = os.path.join(self.dir, "small.txt")
        with open(self.file, "w") as f:
            f.write("small\n")
        from tavro_experiment_tracking.auth import authenticator

        # The user's browser: it follows the login address, as the user would.
        authenticator.webbrowser = Browser(self.provider.cert)
        # The user at another device: answers each device login's code.
        self.provider.device = True
        self.stopping = threading.Event()
        threading.Thread(target=self._answer_codes, daemon=True).start()

    def _answer_codes(self):
        browser = Browser(self.provider.cert)
        while not self.stopping.wait(0.02):
            for code in list(self.provider.device_codes.values()):
                if code["user_code"] not in self.provider.device_grants:
                    try:
                        browser.open(code["verification_uri_complete"])
                    except OSError:  # the login it belonged to ended meanwhile
                        pass

    def login(self, call):
        """A login, leaving the environment as it was and the login servers
        (which run in this process) holding nothing of it."""
        saved = dict(os.environ)
        try:
            return call()
        finally:
            os.environ.clear()
            os.environ.update(saved)
            self.endpoints.requests.clear()
            self.provider.clients.clear()
            self.provider.id_tokens.clear()
            self.provider.device_codes.clear()
            self.provider.device_grants.clear()
            state = self.provider.authz_state
            for store in (state.authorization_codes, state.access_tokens, state.refresh_tokens,
                          state.subject_identifiers):
                store.clear()

    def stop(self):
        from tavro_experiment_tracking.tracking import client

        self.stopping.set()

        # The runs left open are the gate's own: nothing to end at exit.
        client._open_iterations.clear()
        self.endpoints.stop()
        self.provider.stop()
        self.conftest.stop_tracking_server(self.proc)
        self.closed.close()


class Browser:
    def __init__(self, cafile):
        import ssl

        self.context = ssl.create_default_context(cafile=cafile)

    def open(self, url, new=0, autoraise=True):
        import urllib.request

        with urllib.request.urlopen(url, timeout=30, context=self.context) as answer:
            answer.read()
        return True


# ---- the gate --------------------------------------------------------------------------------


def phase(name, entries, rounds):
    per_round = entries.per_round()
    entries.run(max(rounds // 10, 3))
    warm = measure()
    half = rounds // 2
    entries.run(half)
    midway = measure()
    entries.run(rounds - half)
    end = measure()
    calls = per_round * (rounds - half)
    growth = [(end[i] - midway[i]) / calls for i in range(3)]
    growth[0] *= 1024  # KiB -> bytes
    print("{}: {} entry points, {:,} rounds of {} calls; over the second half ({:,} calls): RSS {:+,} KiB "
          "({:+.3f} bytes/call), gc objects {:+,} ({:+.5f}/call), allocated blocks {:+,} ({:+.5f}/call); "
          "RSS after warm-up {:,} KiB".format(name, len(entries.calls), rounds, per_round, calls, end[0] - midway[0],
                                               growth[0], end[1] - midway[1], growth[1], end[2] - midway[2],
                                               growth[2], warm[0]), flush=True)
    failures = []
    for what, value, bound in zip(("RSS bytes", "gc objects", "allocated blocks"), growth, BOUNDS[name]):
        if value > bound:
            failures.append("{}: {} grew by {:.5f} per call (bound {})".format(name, what, value, bound))
    return per_round * (rounds + max(rounds // 10, 3)), failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=1500, help="rounds of the calls that need no server")
    parser.add_argument("--server-rounds", type=int, default=30, help="rounds of the calls that reach a server")
    args = parser.parse_args()

    sink = io.StringIO()
    with tempfile.TemporaryDirectory(prefix="memory-loop-") as workdir:
        os.environ["TAVRO_JOURNAL_DIR"] = os.path.join(workdir, "journal")
        os.environ["TAVRO_LOGIN_DIR"] = os.path.join(workdir, "logins")
        world = World(workdir)
        try:
            local = local_entries(sink)
            server = server_entries(world, sink)
            covered = set(local.calls) | set(server.calls)
            everything = {t.name for m in native_callables.native_modules()
                          for t in native_callables.targets(__import__(m, fromlist=["_"]))}
            if everything - covered:
                print("FAIL: entry points not exercised: " + ", ".join(sorted(everything - covered)))
                return 1
            started = time.monotonic()
            # What the login writes for its user (the address to open) and what the
            # client libraries log about refused connections is expected here.
            logging.getLogger().addHandler(logging.NullHandler())
            with contextlib.redirect_stderr(sink):
                calls, failures = phase("local", local, args.rounds)
                more, server_failures = phase("server", server, args.server_rounds)
        finally:
            world.stop()
    calls += more
    failures += server_failures
    print("memory gate: {} entry points, {:,} calls (successful and refused) in {:.0f} s".format(
        len(everything), calls, time.monotonic() - started))
    if failures:
        print("FAIL: " + "; ".join(failures))
        return 1
    print("OK: memory stayed flat")
    return 0


if __name__ == "__main__":
    sys.exit(main())
