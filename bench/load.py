"""Many writers at once against the team's tracking server.

Starts a throw-away PostgreSQL cluster and a tracking server on it (several
workers, artifacts served over HTTP by the server), then runs --processes
worker processes at once. Each one, as its own user, runs --iterations
iterations through this package: start by name, --params parameters in one
batch, --steps metric steps one call each, one artifact, end. Afterwards every
value is read back with plain MlflowClient and compared: nothing lost, nothing
duplicated, no run left RUNNING, every run's user and project tags right.
Prints the throughput (logged values per second over the busy period) and the
slowest call.

Then the same load runs again (at least --outage-iterations per process) while first
PostgreSQL and later the tracking server are stopped for a few seconds and
started again. Every call must return or raise within the request timeout
(--timeout, no retries), and everything a call acknowledged must be there
after the restarts.

Then --scaled-processes writers (64) go through haproxy to three tracking
servers on one database, the first half in pairs starting the same iteration
names, while one server is killed with SIGKILL and started again; at the end
all of them start one new name at once. Counted in PostgreSQL directly: every
value a call acknowledged is there exactly once, and no iteration name has
more than one active run (--scaled-only runs this phase alone).

Loopback only; the whole run is bounded by --deadline and stops by itself.
Exit status 0 when every check passed.

    .venv/bin/python bench/load.py [--processes 16] [--iterations 20] [--steps 100]
        [--params 10] [--outage-iterations 6] [--timeout 10] [--deadline 1800] [--background]
        [--scaled-processes 64] [--scaled-iterations 1] [--scaled-only]

With --background the writers log in the background: a logging call returns
once its values are queued, end() sends them first (waiting at most
--timeout), and what the outage phase's calls acknowledged must still all be
there after the restarts. A third phase then kills every writer with SIGKILL
in the middle of its loop, runs `sync` on their journals twice, and compares:
every value a call acknowledged is on the server exactly once, and the second
`sync` sends nothing.
"""
import argparse
import json
import multiprocessing
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter, defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

PROJECT = "load-project"
METRIC = "loss"
SERVER_WORKERS = 4
# Each replica of the balanced deployment.
SCALED_WORKERS = 2
# Whose writers go on until told the disturbance is behind them.
DISTURBED = ("outage", "scaled")
# The iteration every writer of the balanced phase starts at once at its end.
SHARED_NAME = "shared-by-all"
# How long writers done with their loop wait for the last one.
BARRIER_TIMEOUT = 300.0
# What a call may take beyond the request timeout: the client's own work.
SLACK = 2.0


def user_of(worker):
    return "load-user-{:02d}".format(worker)


def run_name(worker, iteration):
    return "w{:02d}-i{:03d}".format(worker, iteration)


def param_value(worker, iteration, n):
    return "{}-{}-{}".format(worker, iteration, n)


def metric_value(worker, step):
    # Exactly representable: compared with == after the round trip.
    return worker + step * 0.5


def artifact_text(name):
    return "artifact of {}\n".format(name)


def name_owner(worker, phase, args):
    """Whose iteration names a writer starts: on the balanced deployment the
    first half of the writers go in pairs, both starting the same names."""
    if phase == "scaled" and worker < args.scaled_processes // 2:
        return worker - worker % 2
    return worker


def param_key(worker, n, phase):
    # Writers sharing a run each log parameters of their own: a parameter's
    # value cannot change once logged.
    return "p{}-w{:02d}".format(n, worker) if phase == "scaled" else "p{}".format(n)


def worker_main(worker, uri, experiment_name, args, phase, workdir, stop_at, barrier=None):
    """One writer process; every call goes into its journal, in order, as it ends.

    With a `barrier`, the writer then waits for all the others and starts
    SHARED_NAME together with them."""
    os.environ["LOGNAME"] = user_of(worker)
    os.environ["MLFLOW_HTTP_REQUEST_MAX_RETRIES"] = "0"
    os.environ["MLFLOW_HTTP_REQUEST_TIMEOUT"] = str(args.timeout)
    from tavro_experiment_tracking.config import use_async_logging
    from tavro_experiment_tracking.tracking.initialize import init

    if args.background:
        use_async_logging(exit_timeout=args.timeout)
    journal = open(os.path.join(workdir, "journal-{}-{:02d}.jsonl".format(phase, worker)), "a", buffering=1)
    iterations = {"outage": args.outage_iterations, "scaled": args.scaled_iterations}.get(phase, args.iterations)

    def call(op, fn, *a, **kw):
        t0, began = time.perf_counter(), time.time()
        entry = {"op": op, "worker": worker, "began": began}
        try:
            result = fn(*a, **kw)
            entry["ok"] = True
            return entry, result
        except Exception as e:  # noqa: BLE001 - recorded and judged by the parent
            entry.update(ok=False, error="{}: {}".format(type(e).__name__, str(e)[:200]))
            return entry, None
        finally:
            entry["seconds"] = time.perf_counter() - t0
            entry["ended"] = time.time()

    def record(entry, **facts):
        entry.update(facts)
        journal.write(json.dumps(entry) + "\n")
        return entry["ok"]

    while True:
        entry, experiment = call("init", init, PROJECT, experiment_name, tracking_uri=uri)
        if record(entry):
            break
        if phase not in DISTURBED or time.time() > stop_at:
            if barrier is not None:
                barrier.abort()  # the others do not wait for this one
            return
        time.sleep(0.5)  # a stopped server: try again until it is back
    art_dir = os.path.join(workdir, "artifacts-{}-{:02d}".format(phase, worker))
    os.makedirs(art_dir, exist_ok=True)
    # While the servers are stopped and started, writers go on until told
    # the last restart is behind them, so that every stop meets them working.
    # Only iterations that started count: failed starts during a stop do not.
    over = os.path.join(workdir, phase + "-over")
    j, started = -1, 0
    while time.time() < stop_at:
        j += 1
        if started >= iterations and (phase not in DISTURBED or os.path.exists(over)):
            break
        name = run_name(name_owner(worker, phase, args), j)
        iteration = experiment.get_iteration()
        entry, active = call("start", iteration.start, iteration_name=name)
        run_id = active.info.run_id if active is not None else None
        if not record(entry, name=name, run=run_id):
            time.sleep(0.2)  # nothing to log into; the server is likely down
            continue
        started += 1
        params = {param_key(worker, n, phase): param_value(worker, j, n) for n in range(args.params)}
        entry, _ = call("log_params", iteration.log_params, params)
        record(entry, run=run_id, params=params)
        for step in range(args.steps):
            value = metric_value(worker, step)
            entry, _ = call("log_metric", iteration.log_metric, METRIC, value, step=step)
            record(entry, run=run_id, step=step, value=value)
        path = os.path.join(art_dir, name + ".txt")
        with open(path, "w") as f:
            f.write(artifact_text(name))
        entry, _ = call("log_artifact", iteration.log_artifact, path)
        record(entry, run=run_id, file=name + ".txt")
        entry, _ = call("end", iteration.end)
        record(entry, run=run_id)
    if barrier is not None:
        try:
            barrier.wait(timeout=max(1.0, min(stop_at - time.time(), BARRIER_TIMEOUT)))
        except threading.BrokenBarrierError:
            pass  # a writer is missing: the others go on, and the count says so
        iteration = experiment.get_iteration()
        entry, active = call("start shared", iteration.start, iteration_name=SHARED_NAME)
        if record(entry, name=SHARED_NAME, run=active.info.run_id):
            entry, _ = call("end shared", iteration.end)
            record(entry)
    journal.close()


def read_journals(workdir, phase):
    entries = []
    for name in sorted(os.listdir(workdir)):
        if name.startswith("journal-{}-".format(phase)):
            with open(os.path.join(workdir, name)) as f:
                # A writer killed in the middle of a line leaves it torn.
                entries.extend(json.loads(line) for line in f if line.endswith("\n"))
    return entries


def run_writers(uri, experiment_name, args, phase, workdir, during=None, count=None, shared_start=False):
    """Runs `count` (default --processes) writer processes; `during(processes)`
    runs meanwhile in this one. With `shared_start` they all start one name
    at once at the end."""
    ctx = multiprocessing.get_context("spawn")
    stop_at = time.time() + args.deadline
    count = args.processes if count is None else count
    barrier = ctx.Barrier(count) if shared_start else None
    processes = [ctx.Process(target=worker_main,
                             args=(k, uri, experiment_name, args, phase, workdir, stop_at, barrier), daemon=True)
                 for k in range(count)]
    for p in processes:
        p.start()
    if during is not None:
        during(processes)
    for p in processes:
        p.join(max(1.0, stop_at + 60 - time.time()))
    hung = [p for p in processes if p.is_alive()]
    for p in hung:
        p.kill()
        p.join()
    failed = [p.exitcode for p in processes if p.exitcode not in (0, None)]
    return hung, failed


def all_runs(client, experiment_id):
    from mlflow.entities import ViewType

    runs, token = [], None
    while True:
        page = client.search_runs([experiment_id], run_view_type=ViewType.ALL, page_token=token)
        runs.extend(page)
        token = page.token
        if not token:
            return runs


class Checker:
    """Reads everything back with plain MlflowClient and collects what differs."""

    def __init__(self, uri, experiment_name, workdir):
        import mlflow
        from mlflow.tracking import MlflowClient

        # MLflow resolves artifacts served by the tracking server against its
        # process-wide address, whatever the client's: a plain reader sets it.
        mlflow.set_tracking_uri(uri)
        self.client = MlflowClient(uri)
        self.workdir = workdir
        experiment = self.client.get_experiment_by_name(experiment_name)
        self.runs = all_runs(self.client, experiment.experiment_id) if experiment else []
        self.problems = []
        self.compared = 0

    def problem(self, text):
        if len(self.problems) < 50:
            self.problems.append(text)

    def same(self, what, got, expected):
        self.compared += 1
        if got != expected:
            self.problem("{}: got {!r}, expected {!r}".format(what, got, expected))

    def history(self, run_id):
        return [(m.step, m.value) for m in self.client.get_metric_history(run_id, METRIC)]

    def artifact(self, run_id, file):
        target = tempfile.mkdtemp(dir=self.workdir)
        try:
            path = self.client.download_artifacts(run_id, file, target)
            with open(path) as f:
                return f.read()
        except Exception as e:  # noqa: BLE001 - reported as a difference
            return "<{}: {}>".format(type(e).__name__, e)
        finally:
            shutil.rmtree(target, ignore_errors=True)

    def tags(self, run, worker, name):
        from mlflow.utils.mlflow_tags import MLFLOW_RUN_NAME, MLFLOW_USER

        from tavro_experiment_tracking.model.tags import EXP_STORE_PROJECT_NAME, EXP_STORE_RUN_NAME

        tags = run.data.tags
        self.same(name + " user", (run.info.user_id, tags.get(MLFLOW_USER)), (user_of(worker), user_of(worker)))
        self.same(name + " project tag", tags.get(EXP_STORE_PROJECT_NAME), PROJECT)
        self.same(name + " name tags", (tags.get(MLFLOW_RUN_NAME), tags.get(EXP_STORE_RUN_NAME)), (name, name))

    def complete(self, args):
        """Phase one: every iteration is there once, with all it logged, ended."""
        by_name = defaultdict(list)
        for run in self.runs:
            by_name[run.data.tags.get("mlflow.runName")].append(run)
        expected = {run_name(k, j): k for k in range(args.processes) for j in range(args.iterations)}
        self.same("run count", len(self.runs), len(expected))
        self.same("run names", sorted(by_name), sorted(expected))
        for name, worker in sorted(expected.items()):
            found = by_name.get(name, [])
            if len(found) != 1:
                self.problem("{}: {} runs".format(name, len(found)))
                continue
            run = found[0]
            j = int(name.split("-i")[1])
            self.same(name + " status", run.info.status, "FINISHED")
            self.tags(run, worker, name)
            self.same(name + " params", run.data.params,
                      {"p{}".format(n): param_value(worker, j, n) for n in range(args.params)})
            self.same(name + " metric history", sorted(self.history(run.info.run_id)),
                      [(s, metric_value(worker, s)) for s in range(args.steps)])
            self.same(name + " artifact", self.artifact(run.info.run_id, name + ".txt"), artifact_text(name))
            self.compared += args.params + args.steps - 2  # counted per value, not per comparison

    def acknowledged(self, entries):
        """Phase two: whatever a call acknowledged is there; nothing twice."""
        runs = {run.info.run_id: run for run in self.runs}
        history = {}
        for e in entries:
            if not e["ok"] or e["op"] == "init":
                continue
            run = runs.get(e["run"])
            if run is None:
                self.problem("run {} of an acknowledged {} is missing".format(e["run"], e["op"]))
                continue
            if e["op"] == "start":
                self.tags(run, e["worker"], e["name"])
            elif e["op"] == "log_params":
                for key, value in e["params"].items():
                    self.same("{} param {}".format(e["run"], key), run.data.params.get(key), value)
            elif e["op"] == "log_metric":
                if e["run"] not in history:
                    history[e["run"]] = self.history(e["run"])
                points = history[e["run"]]
                self.same("{} step {}".format(e["run"], e["step"]),
                          points.count((e["step"], e["value"])), 1)
            elif e["op"] == "log_artifact":
                name = e["file"][:-len(".txt")]
                self.same("{} artifact".format(e["run"]), self.artifact(e["run"], e["file"]), artifact_text(name))
            elif e["op"] == "end":
                self.same("{} status".format(e["run"]), run.info.status, "FINISHED")


def killed_then_synced(uri, args, workdir):
    """Writers killed with SIGKILL in the middle of their loops, their journals
    synced twice: every acknowledged value there once, the second sync idle."""
    journals = os.path.join(workdir, "kill-journals")
    os.environ["TAVRO_JOURNAL_DIR"] = journals  # the writers' (spawned: they take this environment)

    def kill(processes):
        until = time.time() + 120
        while time.time() < until:  # each writer some way into its second iteration's loop
            logged = defaultdict(int)
            for e in read_journals(workdir, "kill"):
                logged[e["worker"]] += e["ok"] and e["op"] == "log_metric"
            if len(logged) == args.processes and min(logged.values()) > args.steps * 3 // 2:
                break
            time.sleep(0.05)
        for p in processes:
            os.kill(p.pid, signal.SIGKILL)

    run_writers(uri, "kill", args, "kill", workdir, during=kill)
    left = len(os.listdir(journals)) if os.path.isdir(journals) else 0
    command = [sys.executable, "-m", "tavro_experiment_tracking", "sync", "--server", uri, journals]
    first = subprocess.run(command, capture_output=True, text=True, timeout=args.deadline)
    second = subprocess.run(command, capture_output=True, text=True, timeout=args.deadline)
    entries = [e for e in read_journals(workdir, "kill") if e["op"] != "end"]
    checker = Checker(uri, "kill", workdir)
    checker.acknowledged(entries)
    for run in checker.runs:  # nothing twice, acknowledged or not
        points = checker.history(run.info.run_id)
        checker.same("{} values once".format(run.info.run_id), len(points), len(set(points)))
    print("\nkilled: {} writers killed with SIGKILL mid-loop, {} journals left".format(args.processes, left))
    print("  sync: {}  again: {}".format(first.stdout.strip(), second.stdout.strip()))
    print("  read back: {} acknowledged calls, {} values compared, {} differences".format(
        sum(e["ok"] for e in entries if e["op"] != "init"), checker.compared, len(checker.problems)))
    problems = ["killed: " + p for p in checker.problems]
    if first.returncode != 0 or second.returncode != 0 or not second.stdout.startswith(("Sent 0 values", "Nothing")):
        problems.append("killed: sync exited {} then {}: {}".format(first.returncode, second.returncode,
                                                                    (first.stderr or second.stderr).strip()[-500:]))
    return problems


def count_in_database(store, experiment_name, entries, artifacts):
    """What the writers' acknowledged calls left in PostgreSQL, counted there
    directly: a dict of counts and the problems found."""
    import sqlalchemy as sa

    from tavro_experiment_tracking.model.tags import EXP_STORE_RUN_NAME

    engine = sa.create_engine(store)
    try:
        with engine.connect() as db:
            experiment = db.execute(sa.text("SELECT experiment_id FROM experiments WHERE name = :name"),
                                    {"name": experiment_name}).scalar()
            where = {"experiment": experiment}
            stored = Counter()
            for run, step, value, n in db.execute(sa.text(
                    "SELECT m.run_uuid, m.step, m.value, count(*) FROM metrics m JOIN runs r USING (run_uuid)"
                    " WHERE r.experiment_id = :experiment AND m.key = :key"
                    " GROUP BY m.run_uuid, m.step, m.value"), dict(where, key=METRIC)):
                stored[(run, step, value)] = n
            params = {tuple(row) for row in db.execute(sa.text(
                "SELECT p.run_uuid, p.key, p.value FROM params p JOIN runs r USING (run_uuid)"
                " WHERE r.experiment_id = :experiment"), where)}
            runs = {run for run, in db.execute(sa.text("SELECT run_uuid FROM runs WHERE experiment_id = :experiment"),
                                               where)}
            # Active runs per iteration name: more than one is a duplicate.
            per_name = dict(tuple(row) for row in db.execute(sa.text(
                "SELECT t.value, count(*) FROM runs r JOIN tags t ON t.run_uuid = r.run_uuid"
                " WHERE r.experiment_id = :experiment AND r.lifecycle_stage = 'active' AND t.key = :tag"
                " GROUP BY t.value"), dict(where, tag=EXP_STORE_RUN_NAME)))
    finally:
        engine.dispose()
    counts = Counter(runs=len(runs), stored_values=sum(stored.values()),
                     stored_twice=sum(n - 1 for n in stored.values() if n > 1))
    problems = []
    for e in entries:
        if not e["ok"] or e["op"] in ("init", "end", "end shared"):
            continue
        if e["run"] not in runs:
            counts["lost"] += 1
            problems.append("run {} of an acknowledged {} is missing".format(e["run"], e["op"]))
        elif e["op"] == "log_metric":
            counts["acknowledged"] += 1
            n = stored[(e["run"], e["step"], e["value"])]
            counts["lost" if n == 0 else "duplicated" if n > 1 else "once"] += 1
        elif e["op"] == "log_params":
            counts["acknowledged"] += len(e["params"])
            missing = sum((e["run"], k, v) not in params for k, v in e["params"].items())
            counts["lost"] += missing
            counts["once"] += len(e["params"]) - missing
        elif e["op"] == "log_artifact":
            counts["acknowledged"] += 1
            path = os.path.join(artifacts, str(experiment), e["run"], "artifacts", e["file"])
            try:
                with open(path) as f:
                    kept = f.read() == artifact_text(e["file"][:-len(".txt")])
            except FileNotFoundError:
                kept = False
            counts["once" if kept else "lost"] += 1
    if counts["lost"] or counts["duplicated"]:
        problems.insert(0, "{} acknowledged values lost, {} stored more than once".format(
            counts["lost"], counts["duplicated"]))
    if counts["stored_twice"]:
        problems.append("{} values stored more than once (acknowledged or not)".format(counts["stored_twice"]))
    shared = per_name.pop(SHARED_NAME, 0)
    twice = {name: n for name, n in per_name.items() if n > 1}
    counts.update(names=len(per_name), names_with_duplicates=len(twice), shared_runs=shared)
    if twice:
        problems.append("{} of {} iteration names have more than one active run ({})".format(
            len(twice), len(per_name), ", ".join("{}: {}".format(k, v) for k, v in sorted(twice.items())[:5])))
    if shared != 1:
        problems.append("{} active runs carry {!r}, started by every writer at once".format(shared, SHARED_NAME))
    return counts, problems


def balanced(backend, args, workdir):
    """The balanced phase: --scaled-processes writers, the first half in pairs
    starting the same names, through haproxy to three replicas on one
    database; one replica is killed with SIGKILL mid-load and started again.
    At the end every writer starts one shared name at once. Returns the
    problems and the values per second."""
    from servers import free_port, scaled_deployment

    ScaledDeployment = scaled_deployment()

    folder = os.path.join(workdir, "scaled")
    os.makedirs(folder)
    store = backend.new_store(folder)
    deployment = ScaledDeployment(folder, store, free_port(), workers=SCALED_WORKERS).start()
    n = args.scaled_processes
    print("\nbalanced: haproxy {} in front of {} replicas ({} workers each) on one PostgreSQL database; "
          "{} processes ({} in pairs sharing iteration names), at least {} iterations each".format(
              deployment.uri, deployment.REPLICAS, SCALED_WORKERS, n, n // 2 - n // 2 % 2, args.scaled_iterations),
          flush=True)
    events = []

    def kill_one(processes):
        until, logging = time.time() + args.deadline / 2, set()
        while time.time() < until:  # every writer past its start-up and logging
            logging = {e["worker"] for e in read_journals(workdir, "scaled") if e["ok"] and e["op"] == "log_metric"}
            if len(logging) == n or not any(p.is_alive() for p in processes):
                break
            time.sleep(0.5)
        deployment.kill_replica(1)
        events.append("replica 1 killed (SIGKILL) with {} writers logging".format(len(logging)))
        time.sleep(args.outage_seconds)
        t0 = time.perf_counter()
        deployment.start_replica(1)
        events.append("started again in {:.1f} s".format(time.perf_counter() - t0))
        time.sleep(args.outage_seconds)
        open(os.path.join(workdir, "scaled-over"), "w").close()

    try:
        hung, crashed = run_writers(deployment.uri, "scaled", args, "scaled", workdir, during=kill_one, count=n,
                                    shared_start=True)
        entries = read_journals(workdir, "scaled")
        counts, problems = count_in_database(store, "scaled", entries, deployment.artifacts)
    finally:
        deployment.stop()
    print("  " + ", ".join(events))
    loop = [e for e in entries if not e["op"].endswith("shared")]
    ok = [e for e in loop if e["ok"] and e["op"] != "init"]
    rate = None
    if ok:
        busy = max(e["ended"] for e in ok) - min(e["began"] for e in ok)
        rate = values_logged(loop, args) / busy
        print("  {} values logged in {:.1f} s: {:.0f} values/s".format(values_logged(loop, args), busy, rate))
    report_calls(loop)
    print("  counted in PostgreSQL: {} acknowledged values, {} there once, {} lost, {} duplicated; "
          "{} values stored in {} runs, {} of them more than once".format(
              counts["acknowledged"], counts["once"], counts["lost"], counts["duplicated"],
              counts["stored_values"], counts["runs"], counts["stored_twice"]))
    print("  iteration names: {} with one active run each, {} with more than one".format(
        counts["names"] - counts["names_with_duplicates"], counts["names_with_duplicates"]))
    starts = [e for e in entries if e["op"] == "start shared"]
    if starts:
        print("  {} processes starting {!r} at once: all returned {:.2f} s after the first began ({} failed); "
              "{} active run(s) carry the name".format(
                  len(starts), SHARED_NAME, max(e["ended"] for e in starts) - min(e["began"] for e in starts),
                  sum(not e["ok"] for e in starts), counts["shared_runs"]))
    if len(starts) != n:
        problems.append("{} of {} writers started the shared name".format(len(starts), n))
    if hung or crashed:
        problems.append("{} processes hung, {} crashed".format(len(hung), len(crashed)))
    return ["balanced: " + p for p in problems[:50]], rate


def values_logged(entries, args):
    per_op = {"log_params": args.params, "log_metric": 1, "log_artifact": 1}
    return sum(per_op.get(e["op"], 0) for e in entries if e["ok"])


def report_calls(entries):
    calls = [e for e in entries if e["op"] != "init"]
    if not calls:
        print("  no calls")
        return None
    slowest = max(calls, key=lambda e: e["seconds"])
    by_op = defaultdict(list)
    for e in calls:
        by_op[e["op"]].append(e["seconds"])
    print("  calls: {} ({} failed); slowest: {} of worker {} took {:.3f} s{}".format(
        len(calls), sum(not e["ok"] for e in calls), slowest["op"], slowest["worker"], slowest["seconds"],
        "" if slowest["ok"] else " and failed"))
    for op, times in sorted(by_op.items()):
        times.sort()
        print("    {:<13} n={:<6} median {:7.1f} ms  max {:7.1f} ms".format(
            op, len(times), times[len(times) // 2] * 1000, times[-1] * 1000))
    return slowest


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--processes", type=int, default=16)
    parser.add_argument("--iterations", type=int, default=20)
    parser.add_argument("--steps", type=int, default=100)
    parser.add_argument("--params", type=int, default=10)
    parser.add_argument("--outage-iterations", type=int, default=6,
                        help="least iterations per process while the servers are stopped and started "
                             "(they go on until the last restart is behind them; 0 skips)")
    parser.add_argument("--outage-seconds", type=float, default=5.0)
    parser.add_argument("--timeout", type=int, default=10, help="request timeout of every client call (s)")
    parser.add_argument("--deadline", type=float, default=1800.0, help="limit of each phase's writers (s)")
    parser.add_argument("--background", action="store_true",
                        help="the writers log in the background (end() waits at most --timeout for their values)")
    parser.add_argument("--scaled-processes", type=int, default=64,
                        help="writers of the balanced phase: haproxy and three servers on one database, one of "
                             "them killed and started again (0 skips)")
    parser.add_argument("--scaled-iterations", type=int, default=1,
                        help="least iterations per process of the balanced phase (they go on until the killed "
                             "server is back)")
    parser.add_argument("--scaled-only", action="store_true", help="only the balanced phase")
    args = parser.parse_args()

    from servers import Backend, stop_tracking_server

    began = time.perf_counter()
    workdir = tempfile.mkdtemp(prefix="load-")
    backend = Backend("postgresql")
    proc = None
    failures = []
    rates = {}
    try:
        if not args.scaled_only:
            store = backend.new_store(workdir)
            port = __import__("servers").free_port()
            proc, uri, _ = backend.start_server(workdir, store, port, workers=SERVER_WORKERS)
            print("tracking server {} on PostgreSQL ({} workers, proxied artifacts); {} processes x {} "
                  "iterations x ({} metric steps, {} params, 1 artifact){}".format(
                      uri, SERVER_WORKERS, args.processes, args.iterations, args.steps, args.params,
                      "; logging in the background" if args.background else ""), flush=True)

            # -- phase one: all writers at once, nothing disturbed
            hung, crashed = run_writers(uri, "load", args, "load", workdir)
            entries = read_journals(workdir, "load")
            ok = [e for e in entries if e["ok"] and e["op"] != "init"]
            if not ok:
                errors = [e.get("error") for e in entries if not e["ok"]]
                sys.exit("load: no call succeeded ({} processes hung, {} crashed; first error: {})".format(
                    len(hung), len(crashed), errors[0] if errors else "none recorded"))
            busy = max(e["ended"] for e in ok) - min(e["began"] for e in ok)
            values = values_logged(entries, args)
            rates["one server ({} workers)".format(SERVER_WORKERS)] = values / busy
            print("\nload: {} values logged in {:.1f} s: {:.0f} values/s".format(values, busy, values / busy))
            report_calls(entries)
            failed_calls = [e for e in entries if not e["ok"]]
            if hung or crashed or failed_calls:
                failures.append("load: {} processes hung, {} crashed, {} calls failed{}".format(
                    len(hung), len(crashed), len(failed_calls),
                    " (first: {})".format(failed_calls[0]["error"]) if failed_calls else ""))
            checker = Checker(uri, "load", workdir)
            checker.complete(args)
            print("  read back: {} runs, {} values compared, {} differences".format(
                len(checker.runs), checker.compared, len(checker.problems)))
            failures.extend("load: " + p for p in checker.problems)

            # -- phase two: PostgreSQL, then the tracking server, stopped mid-run
            if args.outage_iterations > 0:
                cluster = backend.cluster
                events = []

                def outages(processes):
                    nonlocal proc
                    # Every writer past its start-up and logging, or a minute gone.
                    until = time.time() + 60
                    while time.time() < until:
                        logging = {e["worker"] for e in read_journals(workdir, "outage")
                                   if e["ok"] and e["op"] == "log_metric"}
                        if len(logging) == args.processes:
                            break
                        time.sleep(0.5)
                    events.append("PostgreSQL stopped")
                    cluster.stop("fast")
                    time.sleep(args.outage_seconds)
                    cluster.start()
                    events.append("PostgreSQL started")
                    time.sleep(args.outage_seconds)
                    events.append("tracking server stopped")
                    stop_tracking_server(proc)
                    time.sleep(args.outage_seconds)
                    proc, _, _ = backend.start_server(workdir, store, port, workers=SERVER_WORKERS)
                    events.append("tracking server started")
                    time.sleep(args.outage_seconds)
                    open(os.path.join(workdir, "outage-over"), "w").close()

                hung, crashed = run_writers(uri, "outage", args, "outage", workdir, during=outages)
                entries = read_journals(workdir, "outage")
                print("\noutage: {}".format(", ".join(events)))
                report_calls(entries)
                bound = args.timeout + SLACK
                late = [e for e in entries if e["seconds"] > bound]
                failed_calls = [e for e in entries if not e["ok"] and e["op"] != "init"]
                if hung or crashed:
                    failures.append("outage: {} processes hung, {} crashed".format(len(hung), len(crashed)))
                if late:
                    failures.append("outage: {} calls took longer than {:.0f} s (slowest {:.1f} s, {})".format(
                        len(late), bound, max(e["seconds"] for e in late), late[0]["op"]))
                if not failed_calls:
                    failures.append("outage: no call failed, so the stops did not happen while the writers worked")
                checker = Checker(uri, "outage", workdir)
                checker.acknowledged(entries)
                acknowledged = sum(e["ok"] for e in entries if e["op"] != "init")
                print("  {} calls failed during the stops, every one within {:.0f} s: {}".format(
                    len(failed_calls), bound, "yes" if not late else "NO"))
                print("  read back after the restarts: {} acknowledged calls, {} values compared, "
                      "{} differences".format(acknowledged, checker.compared, len(checker.problems)))
                failures.extend("outage: " + p for p in checker.problems)

            # -- phase three (background): every writer killed mid-loop, then sync, twice
            if args.background:
                failures.extend(killed_then_synced(uri, args, workdir))

        # -- phase four: the balanced deployment, one of its servers killed mid-load
        if args.scaled_processes > 0:
            problems, rate = balanced(backend, args, workdir)
            failures.extend(problems)
            if rate is not None:
                rates["haproxy, 3 servers x {} workers, one killed and restarted".format(SCALED_WORKERS)] = rate
    finally:
        if proc is not None:
            stop_tracking_server(proc)
        backend.close()
        shutil.rmtree(workdir, ignore_errors=True)

    if rates:
        print("\nvalues per second{}:".format(" (logging in the background)" if args.background else ""))
        for what, rate in rates.items():
            print("  {:>7.0f}  {}".format(rate, what))
    print("\ntotal {:.0f} s".format(time.perf_counter() - began))
    if failures:
        print("FAILED:\n  " + "\n  ".join(failures))
        sys.exit(1)
    print("all checks passed")


if __name__ == "__main__":
    main()
