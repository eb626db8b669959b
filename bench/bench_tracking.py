"""Iteration operations through this package against plain MlflowClient.

Starts one local tracking server, fills an experiment with 2,000 runs, then
times each operation through ``Iteration`` and through a plain ``MlflowClient``
making the calls an iteration is specified by (a fresh tracking client per
operation, the run fetched before logging, the run context resolved before a
run is created, and for a lookup by name the run listing with one ``get_run``
per listed run, every page). The two sides alternate call by call, and which
goes first alternates too, so drift of the machine or the server hits both
alike. The lookup by name is timed again after the experiment has grown to
10,000 runs.

Everything is measured twice: straight on loopback, and through a proxy that
holds every packet for --latency-ms (20) each way, as a tracking server across
a network would.

Prints, per operation, the median time of one call on each side and their
ratio (ours / plain), beside the ratio of the fastest calls and that of the
client process's CPU time, which the load of a shared machine disturbs least.
Targets: a lookup by name among 2,000 runs at least 50 times faster than the
plain calls (a ratio of at most 0.02); every other ratio of the medians at or
below 1.03. The plain lookup fetches every run one by one and takes minutes
behind the proxy, so lookups get only a few calls per side (--repeat-named,
--repeat-large).

    .venv/bin/python bench/bench_tracking.py [--runs 2000] [--runs-large 10000]
        [--latency-ms 20] [--repeat 100] [--repeat-named 3] [--repeat-large 1]
        [--backend sqlite|postgresql]
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

sys.path.insert(0, HERE)

from mlflow.entities import Metric, RunStatus  # noqa: E402
from mlflow.tracking import MlflowClient, _get_store  # noqa: E402
from mlflow.tracking.context import registry as context_registry  # noqa: E402
from mlflow.utils.mlflow_tags import MLFLOW_RUN_NAME  # noqa: E402

from tavro_experiment_tracking.entities.iteration import Iteration  # noqa: E402
from tavro_experiment_tracking.entities.project import Project  # noqa: E402
from tavro_experiment_tracking.model.tags import (  # noqa: E402
    EXP_STORE_EXPERIMENT_DESCRIPTION,
    EXP_STORE_PROJECT_DESCRIPTION,
    EXP_STORE_PROJECT_NAME,
    EXP_STORE_RUN_NAME,
)
from tavro_experiment_tracking.tracking.client import Client  # noqa: E402

from delay_proxy import DelayProxy  # noqa: E402
from servers import Backend, stop_tracking_server  # noqa: E402

TARGET = 1.03
LOOKUP_TARGET = 50  # times faster than the plain calls, among --runs runs
METRICS_PER_BATCH = 50


class Plain:
    """What a script would write with MlflowClient alone, doing what Iteration does."""

    def __init__(self, uri, experiment, run_id):
        self.uri = uri
        self.experiment = experiment
        self.run_id = run_id

    def _current(self):
        return MlflowClient(self.uri).get_run(self.run_id)

    def log_param(self, key, value):
        run_id = self._current().info.run_id
        MlflowClient(self.uri).log_param(run_id, key, value)

    def log_metric(self, key, value, step):
        run_id = self._current().info.run_id
        client = MlflowClient(self.uri)
        client.log_metric(run_id, key, float(value), int(time.time() * 1000), step)

    def log_metrics(self, metrics, step):
        run_id = self._current().info.run_id
        timestamp = int(time.time() * 1000)
        batch = [Metric(k, v, timestamp, step or 0) for k, v in metrics.items()]
        MlflowClient(self.uri).log_batch(run_id=run_id, metrics=batch, params=[], tags=[])

    def start(self, iteration_name=None):
        client = MlflowClient(self.uri)
        experiment_id = self.experiment.experiment_id
        found = None
        if iteration_name:
            page = client.list_run_infos(experiment_id)
            while True:
                for info in page:
                    if client.get_run(info.run_id).data.tags.get(EXP_STORE_RUN_NAME) == iteration_name:
                        found = info.run_id
                if not page.token:
                    break
                page = client.list_run_infos(experiment_id, page_token=page.token)
        if found:
            run = client.get_run(found)
            _get_store(store_uri=self.uri).update_run_info(
                found, run_status=RunStatus.RUNNING, end_time=run.info.end_time)
            return client.get_run(found)
        tags = {}
        if iteration_name is not None:
            tags[MLFLOW_RUN_NAME] = iteration_name
            tags[EXP_STORE_RUN_NAME] = iteration_name
        for key, value in ((EXP_STORE_PROJECT_NAME, self.experiment.project.name),
                           (EXP_STORE_EXPERIMENT_DESCRIPTION, self.experiment.description),
                           (EXP_STORE_PROJECT_DESCRIPTION, self.experiment.project.description)):
            if value is not None:
                tags[key] = value
        resolved = {k: str(v) for k, v in context_registry.resolve_tags(tags).items()}
        return client.create_run(experiment_id=experiment_id, tags=resolved)


def compare(name, repeat, ours, plain, warmup=3, target=None):
    """Times `ours(i)` and `plain(i)` alternately; returns (name, n, ours_s, plain_s).

    `target` is the speed-up a row must reach; without one its ratio must stay
    at or below TARGET.
    """
    for i in range(warmup):
        ours(-1 - i)
        plain(-1 - i)
    times = {"ours": [], "plain": []}
    cpu = {"ours": 0.0, "plain": 0.0}
    sides = [("ours", ours), ("plain", plain)]
    for i in range(repeat):
        for side, fn in (sides if i % 2 == 0 else sides[::-1]):
            c0, t0 = time.process_time(), time.perf_counter()
            fn(i)
            times[side].append(time.perf_counter() - t0)
            cpu[side] += time.process_time() - c0
    result = (name, repeat, statistics.median(times["ours"]), statistics.median(times["plain"]))
    # The fastest calls are the ones the shared machine disturbed least; the
    # client's own CPU time leaves out the server, whose work is the same on
    # both sides, and with it most of the noise of the machine.
    print_row(*result, min(times["ours"]) / min(times["plain"]), cpu["ours"] / cpu["plain"], target)
    return result


def verdict(ratio, target):
    if target is None:
        return "ok" if ratio <= TARGET else "ABOVE TARGET"
    if target == 0:
        return "{:.0f}x faster".format(1 / ratio)
    return "{:.0f}x faster, {}".format(1 / ratio, "ok" if ratio <= 1 / target else "BELOW TARGET")


def print_header():
    print("{:<34} {:>5} {:>11} {:>11} {:>7} {:>9} {:>11}".format(
        "operation", "n", "ours", "plain", "ratio", "fastest", "client CPU"), flush=True)


def print_row(name, n, ours, plain, fastest, client_cpu, target=None):
    ratio = ours / plain
    print("{:<34} {:>5} {:>11.2f} {:>11.2f} {:>7.3f} {:>9.3f} {:>11.3f}  {}".format(
        name, n, ours * 1000, plain * 1000, ratio, fastest, client_cpu, verdict(ratio, target)), flush=True)


def fill(store_uri, experiment_id, runs, first=0):
    client = MlflowClient(store_uri)
    for i in range(first, first + runs):
        client.create_run(experiment_id, tags={EXP_STORE_RUN_NAME: "filler-{}".format(i)})


def session_experiment(uri, name, description):
    client = Client(None)
    client.tracking_uri = uri
    return Project("bench", "benchmark project", client).get_experiment(name, description=description)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=2000, help="runs in the experiment (default 2000)")
    parser.add_argument("--runs-large", type=int, default=10000,
                        help="runs for the second lookup by name (default 10000; 0 skips it)")
    parser.add_argument("--latency-ms", type=float, default=20.0,
                        help="delay each way of the second round (default 20; 0 skips that round)")
    parser.add_argument("--repeat", type=int, default=100, help="calls per side for logging and start()")
    parser.add_argument("--repeat-named", type=int, default=3,
                        help="calls per side for start(iteration_name=...) among --runs runs")
    parser.add_argument("--repeat-large", type=int, default=1,
                        help="calls per side for start(iteration_name=...) among --runs-large runs")
    parser.add_argument("--backend", choices=("sqlite", "postgresql"), default="sqlite",
                        help="the tracking server's store (default sqlite)")
    args = parser.parse_args()

    began = time.perf_counter()
    workdir = tempfile.mkdtemp(prefix="bench-tracking-")
    backend = Backend(args.backend)
    proxy = None
    proc = None
    try:
        store = backend.new_store(workdir)
        proc, uri, _ = backend.start_server(workdir, store)
        rounds = [("loopback", uri)]
        if args.latency_ms > 0:
            proxy = DelayProxy(("127.0.0.1", int(uri.rsplit(":", 1)[1])), args.latency_ms / 1000)
            rounds.append(("+{:g} ms each way".format(args.latency_ms), proxy.uri))
        tables = {label: [] for label, _ in rounds}

        def run_round(label, rows):
            print("\n-- {} --".format(label), flush=True)
            print_header()
            tables[label].extend(rows())

        # Lookups by name: the runs the two sides look up were made first, so
        # they are listed last and both sides read the whole listing.
        lookup = session_experiment(uri, "bench-lookup", "an experiment of many runs")
        Iteration(lookup).start(iteration_name="target")
        eid = lookup.experiment_id
        print("tracking server {} ({}); filling experiment {} up to {} runs ...".format(
            uri, args.backend, eid, args.runs), flush=True)
        # Straight into the server's database: the same records, without the
        # HTTP round trips, which would only make the setup slow.
        fill(store, eid, args.runs - 1)
        print("median time of one call in ms; ratios ours / plain of the medians, of the fastest calls\n"
              "and of the client's CPU time", flush=True)

        def lookups(runs, repeat, target):
            def rows_for(round_uri):
                experiment = session_experiment(round_uri, "bench-lookup", None)
                plain = Plain(round_uri, experiment, None)
                return lambda: [compare("start(iteration_name=...) {}".format(runs), repeat,
                                        lambda i: Iteration(experiment).start(iteration_name="target"),
                                        lambda i: plain.start("target"), warmup=0, target=target)]
            for label, round_uri in rounds:
                run_round(label, rows_for(round_uri))

        lookups(args.runs, args.repeat_named, LOOKUP_TARGET)
        if args.runs_large > args.runs:
            print("\nfilling experiment {} up to {} runs ...".format(eid, args.runs_large), flush=True)
            fill(store, eid, args.runs_large - args.runs, first=args.runs)
            lookups(args.runs_large, args.repeat_large, 0)

        # Logging, and new runs, in an experiment of their own: the lookups
        # above must see the run counts they name.
        logging_experiment = session_experiment(uri, "bench-logging", "an experiment to log into")
        ours_it = logging_experiment.get_iteration()
        ours_it.start(iteration_name="ours")
        plain_run = Plain(uri, logging_experiment, None).start("plain").info.run_id
        metrics = {"m{}".format(k): k * 0.1 for k in range(METRICS_PER_BATCH)}

        def logging_rows(index, round_uri):
            experiment = session_experiment(round_uri, "bench-logging", "an experiment to log into")
            ours = experiment.get_iteration()
            ours.iteration_id = ours_it.iteration_id
            plain = Plain(round_uri, experiment, plain_run)
            starter = experiment.get_iteration()
            # Parameters cannot be logged twice: each round has its own keys.
            key = "r{}p{{}}".format(index).format
            return lambda: [
                compare("log_param", args.repeat, lambda i: ours.log_param(key(i), i),
                        lambda i: plain.log_param(key(i), i)),
                compare("log_metric", args.repeat, lambda i: ours.log_metric("m", i * 0.5, step=i),
                        lambda i: plain.log_metric("m", i * 0.5, i)),
                compare("log_metrics ({})".format(METRICS_PER_BATCH), args.repeat,
                        lambda i: ours.log_metrics(metrics, step=i), lambda i: plain.log_metrics(metrics, i)),
                compare("start()", args.repeat, lambda i: starter.start(), lambda i: plain.start()),
            ]

        for index, (label, round_uri) in enumerate(rounds):
            run_round(label, logging_rows(index, round_uri))

        print("\n== summary (median ms per call, ratio ours / plain) ==")
        for label, rows in tables.items():
            print("\n-- {} --".format(label))
            print("{:<34} {:>11} {:>11} {:>8}".format("operation", "ours", "plain", "ratio"))
            for name, _, ours, plain_t in rows:
                print("{:<34} {:>11.2f} {:>11.2f} {:>8.3f}".format(name, ours * 1000, plain_t * 1000, ours / plain_t))
        print("\ntotal {:.0f} s".format(time.perf_counter() - began))
    finally:
        # The runs timed here are throw-away data, on a server stopped next:
        # nothing for the exit hook to end.
        from tavro_experiment_tracking.tracking import client

        client._open_iterations.clear()
        if proxy is not None:
            proxy.close()
        if proc is not None:
            stop_tracking_server(proc)
        backend.close()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
