"""Iteration operations through this package against plain MlflowClient.

Starts one local tracking server, fills an experiment with 2,000 runs, then
times each operation through ``Iteration`` and through a plain ``MlflowClient``
doing the same REST calls and the same client-side work (a fresh tracking
client per operation, the run fetched before logging, the run context resolved
before a run is created, every page of the run listing read for a lookup by
name). The two sides alternate call by call, and which goes first alternates
too, so drift of the machine or the server hits both alike.

Prints, per operation, the median time of one call on each side and their
ratio (ours / plain), beside the ratio of the fastest calls and that of the
client process's CPU time, which the load of a shared machine disturbs least;
the target is a ratio of the medians at or below 1.03. A lookup by name reads
all 2,000 runs and takes seconds, so it gets only a few calls per side; on a
busy machine give it more (--repeat-named) for a steadier figure.

    .venv/bin/python bench/bench_tracking.py [--runs 2000] [--repeat 100] [--repeat-named 3]
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

from conftest import free_port, start_tracking_server, stop_tracking_server  # noqa: E402

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

TARGET = 1.03
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
        tags[EXP_STORE_PROJECT_NAME] = self.experiment.project.name
        tags[EXP_STORE_EXPERIMENT_DESCRIPTION] = self.experiment.description
        tags[EXP_STORE_PROJECT_DESCRIPTION] = self.experiment.project.description
        resolved = {k: str(v) for k, v in context_registry.resolve_tags(tags).items()}
        return client.create_run(experiment_id=experiment_id, tags=resolved)


def compare(name, repeat, ours, plain, warmup=3):
    """Times `ours(i)` and `plain(i)` alternately; returns (name, n, ours_s, plain_s)."""
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
    print_row(*result, min(times["ours"]) / min(times["plain"]), cpu["ours"] / cpu["plain"])
    return result


def print_row(name, n, ours, plain, fastest, client_cpu):
    ratio = ours / plain
    print("{:<28} {:>5} {:>11.2f} {:>11.2f} {:>7.3f} {:>9.3f} {:>11.3f}  {}".format(
        name, n, ours * 1000, plain * 1000, ratio, fastest, client_cpu,
        "ok" if ratio <= TARGET else "ABOVE TARGET"), flush=True)


def fill(store_uri, experiment_id, runs):
    client = MlflowClient(store_uri)
    for i in range(runs):
        client.create_run(experiment_id, tags={EXP_STORE_RUN_NAME: "filler-{}".format(i)})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=2000, help="runs in the experiment (default 2000)")
    parser.add_argument("--repeat", type=int, default=100, help="calls per side for logging and start()")
    parser.add_argument("--repeat-named", type=int, default=3,
                        help="calls per side for start(iteration_name=...), which reads every run")
    args = parser.parse_args()

    began = time.perf_counter()
    workdir = tempfile.mkdtemp(prefix="bench-tracking-")
    proc, uri, _ = start_tracking_server(workdir, free_port())
    try:
        client = Client(None)
        client.tracking_uri = uri
        experiment = Project("bench", "benchmark project", client).get_experiment(
            "bench-runs", description="an experiment of many runs")
        eid = experiment.experiment_id
        # The runs the two sides log into, and the one both look up by name;
        # made while the experiment is empty, so their own lookups are quick.
        ours_it = experiment.get_iteration()
        ours_it.start(iteration_name="ours")
        plain = Plain(uri, experiment, Plain(uri, experiment, None).start("plain").info.run_id)
        Iteration(experiment).start(iteration_name="target")
        print("tracking server {}; filling experiment {} up to {} runs ...".format(uri, eid, args.runs), flush=True)
        # Straight into the server's database: the same records, without the
        # HTTP round trips, which would only make the setup slow.
        fill("sqlite:///" + os.path.join(workdir, "tracking.db"), eid, args.runs - 3)
        print("median time of one call in ms; ratios ours / plain of the medians, of the fastest calls\n"
              "and of the client's CPU time")
        print("{:<28} {:>5} {:>11} {:>11} {:>7} {:>9} {:>11}".format(
            "operation", "n", "ours", "plain", "ratio", "fastest", "client CPU"))

        results = []
        # First, while the run count is what it says: the lookup reads every run.
        results.append(compare("start(iteration_name=...)", args.repeat_named,
                               lambda i: Iteration(experiment).start(iteration_name="target"),
                               lambda i: plain.start("target"), warmup=0))
        results.append(compare("log_param", args.repeat,
                               lambda i: ours_it.log_param("p{}".format(i), i),
                               lambda i: plain.log_param("p{}".format(i), i)))
        results.append(compare("log_metric", args.repeat,
                               lambda i: ours_it.log_metric("m", i * 0.5, step=i),
                               lambda i: plain.log_metric("m", i * 0.5, i)))
        metrics = {"m{}".format(k): k * 0.1 for k in range(METRICS_PER_BATCH)}
        results.append(compare("log_metrics ({})".format(METRICS_PER_BATCH), args.repeat,
                               lambda i: ours_it.log_metrics(metrics, step=i),
                               lambda i: plain.log_metrics(metrics, i)))
        starter = experiment.get_iteration()
        results.append(compare("start()", args.repeat, lambda i: starter.start(), lambda i: plain.start()))

        worst = max(ours / plain_t for _, _, ours, plain_t in results)
        print("worst ratio {:.3f} (target <= {}); total {:.0f} s".format(
            worst, TARGET, time.perf_counter() - began))
    finally:
        stop_tracking_server(proc)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
