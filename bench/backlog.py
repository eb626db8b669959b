"""Background logging with a backlog: values logged while the tracking server
is away, and the GIL a sender takes from a loop that computes in Python.

Each side runs in a process of its own against one tracking server (SQLite,
two workers) that this script stops and starts again, on the same port:

- away N: the run started, then the server stopped; N values logged (one
  `log_metric` each); printed: the calls' cost (median, p99, slowest), the
  process's memory growth over the loop, the journal's size at the loop's
  end. Then the server starts again: the time from its first answer until
  every value is on it (the drain rate), each value there once (counted in
  its database), and no journal left after the run's end.
- there N: the same N with the server there: the normal rate, from the
  loop's end until every value is on the server.
- outage: a training loop (about a millisecond of work a step, the GIL
  released, three metrics a step) with the server away for `--outage`
  seconds in its middle: the calls' p99 and slowest.
- Python-bound: a loop that computes in Python and never releases the GIL
  (about a millisecond a step), with and without a `log_metric` a step: how
  much longer it runs.

With `--mlflow2-python` (make bench makes one), MLflow 2.x's own background
logging (`synchronous=False`) runs the away side (`--mlflow2-values`: it
sends about a value a request) and the outage side beside ours.

    .venv/bin/python bench/backlog.py [--values 300000 1000000] [--outage 60] [--mlflow2-python PATH]
"""
import argparse
import json
import os
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

# A side's process: `python -c CHILD side kind uri experiment_id n`. It says "started" once its run is
# there, waits for a line, runs its loop, prints a JSON line, waits until everything is sent (ours: nothing
# pending; MLflow 2.x: its flush), prints the time, waits for a line, ends the run.
CHILD = textwrap.dedent("""
    import array, hashlib, json, os, sys, time
    side, kind, uri, experiment_id, n = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
    ours, none = side == "package", side == "none"

    def rss():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))

    if none:
        run_id, log = None, None
    elif ours:
        from tavro_experiment_tracking import init
        from tavro_experiment_tracking.config import use_async_logging, journal_folder
        from tavro_experiment_tracking.tracking import background
        use_async_logging(True)
        iteration = init("bench", "backlog", tracking_uri=uri).get_iteration()
        iteration.start(iteration_name="{}-{}".format(kind, n))  # each side a run of its own
        run_id, log = iteration.iteration_id, iteration.log_metric
    else:
        import mlflow
        mlflow.set_tracking_uri(uri)
        run_id = mlflow.start_run(experiment_id=experiment_id).info.run_id
        def log(key, value, step):
            mlflow.log_metric(key, value, step=step, synchronous=False)

    def journal_bytes():
        if not ours:
            return None
        folder = journal_folder()
        if not os.path.isdir(folder):
            return 0
        return sum(e.stat().st_size for e in os.scandir(folder) if e.name.endswith(".journal"))

    block = os.urandom(1 << 18)
    costs = array.array("d", bytes(8 * (n if kind != "outage" else 3 * n)))
    print(json.dumps({"run": run_id}), flush=True)
    sys.stdin.readline()
    before, count = rss(), 0
    started = time.perf_counter()
    if kind == "python":  # the GIL never released: arithmetic in Python
        for step in range(n):
            total = 0
            for i in range(12000):  # about a millisecond
                total += i * i
            if not none:
                log("x", total, step=step)
    elif kind == "outage":  # until the parent says the outage is over and a while has passed
        step = 0
        while step < n:
            for _ in range(6):
                hashlib.sha256(block).digest()
            for key in ("loss", "accuracy", "lr"):
                t = time.perf_counter()
                log(key, step * 0.001, step=step)
                costs[count] = time.perf_counter() - t
                count += 1
            step += 1
    else:
        for step in range(n):
            t = time.perf_counter()
            log("m", step * 0.5, step=step)
            costs[count] = time.perf_counter() - t
            count += 1
    loop = time.perf_counter() - started
    after = rss()
    measured = sorted(costs[:count])
    print(json.dumps({"loop": loop, "loop_end": time.time(), "grew": after - before, "journal": journal_bytes(),
                      "median_us": measured[len(measured) // 2] * 1e6 if measured else None,
                      "p99_us": measured[int(len(measured) * 0.99)] * 1e6 if measured else None,
                      "max_ms": measured[-1] * 1e3 if measured else None}), flush=True)
    if ours:
        while background.pending():
            time.sleep(0.02)
    elif not none:
        mlflow.flush_async_logging()
    print(json.dumps({"drained": time.time()}), flush=True)
    sys.stdin.readline()
    if ours:
        iteration.end()
        print(json.dumps({"journal_left": journal_bytes()}), flush=True)
    else:
        if not none:
            mlflow.end_run()
        print(json.dumps({"journal_left": None}), flush=True)
""")


class Server:
    def __init__(self, workdir):
        from servers import free_port

        self.workdir, self.port, self.proc = workdir, free_port(), None
        self.uri = "http://127.0.0.1:{}".format(self.port)

    def start(self):
        from servers import start_tracking_server

        self.proc, _, _ = start_tracking_server(self.workdir, self.port, workers=2)
        return time.time()

    def stop(self):
        from servers import stop_tracking_server

        stop_tracking_server(self.proc)

    def values(self, run_id):
        with sqlite3.connect(os.path.join(self.workdir, "tracking.db")) as db:
            return db.execute("SELECT COUNT(*), COUNT(DISTINCT step) FROM metrics WHERE run_uuid = ?",
                              (run_id,)).fetchone()


def side(server, python, who, kind, n, experiment_id, outage=0.0, deadline=1200.0):
    """One side's figures; RuntimeError when it ends early or is still at it after `deadline` seconds."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", TAVRO_JOURNAL_DIR=os.path.join(server.workdir, "journal", kind))
    proc = subprocess.Popen([python, "-c", CHILD, who, kind, server.uri, experiment_id, str(n)], env=env,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    # A side that hangs (MLflow 2.x's flush after its own "database is locked") is killed, and said so.
    watchdog = threading.Timer(deadline, proc.kill)
    watchdog.daemon = True
    watchdog.start()

    def read():
        while True:  # a side's own lines (MLflow 2.x prints one at the run's end) are not ours
            line = proc.stdout.readline()
            if not line:
                status = proc.wait()
                raise RuntimeError("{} {} {} (exit status {})".format(
                    who, kind, "still at it after {:.0f} s".format(deadline) if not watchdog.is_alive() else
                    "ended early", status))
            if line.startswith("{"):
                return json.loads(line)

    def say():
        proc.stdin.write("\n")
        proc.stdin.flush()

    try:
        run_id = read()["run"]
        if kind == "away":
            server.stop()
        say()
        if kind == "outage":
            time.sleep(outage / 3)
            server.stop()
            time.sleep(outage)
            server.start()
        result = read()
        up = server.start() if kind == "away" else None
        drained = read()["drained"]
        say()
        result.update(read())
        proc.wait(timeout=600)
    finally:
        watchdog.cancel()
        if proc.poll() is None:
            proc.kill()
    result["who"], result["kind"], result["n"] = who, kind, n
    print("    " + json.dumps(result), flush=True)  # as measured: a later side that fails keeps this one
    result["count"], result["distinct"] = server.values(run_id) if run_id else (0, 0)
    if kind == "away":
        result["rate"] = n / max(drained - up, 1e-9)
    elif kind == "there":
        result["rate"] = n / max(drained - result["loop_end"], 1e-9)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--values", type=int, nargs="+", default=[300000, 1000000])
    parser.add_argument("--outage", type=float, default=60.0, help="seconds the server is away mid-loop (0: skip)")
    parser.add_argument("--python-steps", type=int, default=20000)
    parser.add_argument("--mlflow2-values", type=int, default=10000,
                        help="values of MLflow 2.x's away side (it drains a value a request)")
    parser.add_argument("--mlflow2-python", help="a Python with MLflow 2.x installed")
    args = parser.parse_args()

    from mlflow.tracking import MlflowClient

    os.environ.setdefault("MLFLOW_HTTP_REQUEST_TIMEOUT", "60")
    rows = []
    with tempfile.TemporaryDirectory(prefix="backlog-") as workdir:
        server = Server(workdir)
        server.start()
        try:
            experiment_id = MlflowClient(server.uri).create_experiment("backlog")
            for n in args.values:
                for kind in ("away", "there"):
                    rows.append(side(server, sys.executable, "package", kind, n, experiment_id))
                    print("  measured: package {} {:,}".format(kind, n), flush=True)
            def theirs(*how):
                try:
                    rows.append(side(server, args.mlflow2_python, "mlflow 2", *how, deadline=600.0))
                except RuntimeError as e:  # their failure is a figure too, not the end of the bench
                    print("  mlflow 2 side failed: {}".format(e), flush=True)
                    failed.append(str(e))

            failed = []
            if args.mlflow2_python:
                theirs("away", args.mlflow2_values, experiment_id)
            if args.outage:
                steps = int((args.outage * 1.6) / 0.0012)
                rows.append(side(server, sys.executable, "package", "outage", steps, experiment_id, args.outage))
                print("  measured: package outage", flush=True)
                if args.mlflow2_python:
                    theirs("outage", steps, experiment_id, args.outage)
            for who in ("none", "package"):
                rows.append(side(server, sys.executable, who, "python", args.python_steps, experiment_id))
        finally:
            server.stop()

    def f(value, form):
        return form.format(value) if value is not None else "-"

    print("\n(outage: values are steps of three metrics; on server: values/distinct steps)")
    print("{:<10} {:<8} {:>10} {:>9} {:>8} {:>8} {:>8} {:>10} {:>10} {:>10} {:>9} {:>8}".format(
        "side", "kind", "values", "median us", "p99 us", "max ms", "loop s", "grew MB", "journal MB", "drain /s",
        "on server", "left"))
    for r in rows:
        print("{:<10} {:<8} {:>10,} {:>9} {:>8} {:>8} {:>8.2f} {:>10} {:>10} {:>10} {:>9} {:>8}".format(
            r["who"], r["kind"], r["n"], f(r.get("median_us"), "{:.1f}"), f(r.get("p99_us"), "{:.1f}"),
            f(r.get("max_ms"), "{:.2f}"), r["loop"], f(r["grew"] / 2**20, "{:.1f}"),
            f(r["journal"] / 2**20 if r["journal"] is not None else None, "{:.1f}"), f(r.get("rate"), "{:,.0f}"),
            "{}/{}".format(r["count"], r["distinct"]), f(r["journal_left"], "{}")))
    ours = {(r["kind"], r["n"]): r for r in rows if r["who"] == "package"}
    bare = next(r for r in rows if r["who"] == "none")
    checks = []
    for n in args.values:
        away, there = ours[("away", n)], ours[("there", n)]
        checks += [
            ("away {:,}: no call over 5 ms".format(n), away["max_ms"] <= 5),
            ("away {:,}: memory growth at most 64 MB".format(n), away["grew"] <= 64 * 2**20),
            ("away {:,}: every value on the server once".format(n), (away["count"], away["distinct"]) == (n, n)),
            ("away {:,}: no journal left after the end".format(n), away["journal_left"] == 0),
            ("away {:,}: drains at the normal rate or better (within 10 %)".format(n),
             away["rate"] >= 0.9 * there["rate"]),
        ]
    outage = next((r for r in rows if r["who"] == "package" and r["kind"] == "outage"), None)
    if outage:
        checks.append(("outage: caller p99 at most 50 us", outage["p99_us"] <= 50))
    python_bound = ours[("python", args.python_steps)]
    checks.append(("Python-bound loop within 1.01 x the loop without logging ({:.3f})".format(
        python_bound["loop"] / bare["loop"]), python_bound["loop"] <= 1.01 * bare["loop"]))
    for what in failed:
        print("mlflow 2 side without figures: {}".format(what))
    print("\nbackground logging with a backlog:")
    for what, ok in checks:
        print("  {:<75} {}".format(what, "yes" if ok else "NO"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
