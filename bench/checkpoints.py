"""Checkpoints in a training loop: how long logging an artifact holds the loop.

Each side runs in a process of its own against one tracking server (SQLite,
artifacts proxied by the server, `--serve-artifacts`): a loop of `--epochs`
epochs that writes a checkpoint of `--mb` MB to the same file name each epoch
and logs it, then one file of `--big-mb` MB. Printed per side: the time the
loop was held per checkpoint (median and slowest), the big file's, the time
from the loop's end until everything is on the server, the peak memory of the
side's processes (the uploader's helper included), and whether the server has
every checkpoint with the bytes it had at the call.

Sides: a local copy of the file (`shutil.copyfile`, the floor), this package in
the background and synchronously, and with `--mlflow2-python` (make bench makes
one) MLflow 2.x's `mlflow.log_artifact` (it has no background artifact logging).

    .venv/bin/python bench/checkpoints.py [--epochs 10] [--mb 100] [--big-mb 1024] [--mlflow2-python PATH]
"""
import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

CHILD = textwrap.dedent("""
    import hashlib, json, os, resource, shutil, sys, time
    side, uri, folder, epochs, mb, big_mb = sys.argv[1], sys.argv[2], sys.argv[3], *map(int, sys.argv[4:7])
    block = os.urandom(1 << 20)

    def write(path, size_mb, mark):
        digest = hashlib.sha256()
        with open(path, "wb") as f:
            for i in range(size_mb):
                chunk = bytes([mark & 255]) + block[1:] if i == 0 else block
                f.write(chunk)
                digest.update(chunk)
        return digest.hexdigest()

    if side == "copy":
        def log(path, artifact_path):
            shutil.copyfile(path, os.path.join(folder, artifact_path + "-" + os.path.basename(path)))
        run_id, done = None, lambda: None
    elif side.startswith("package"):
        from tavro_experiment_tracking import init
        from tavro_experiment_tracking.config import use_async_logging
        use_async_logging(side == "package-background")
        iteration = init("bench", "checkpoints", tracking_uri=uri).get_iteration()
        iteration.start(iteration_name=side)
        run_id, log, done = iteration.iteration_id, iteration.log_artifact, iteration.flush
    else:
        import mlflow
        mlflow.set_tracking_uri(uri)
        run_id = mlflow.start_run(experiment_id=mlflow.set_experiment("checkpoints-mlflow2").experiment_id).info.run_id
        log, done = mlflow.log_artifact, lambda: None

    held, digests = [], {}
    path = os.path.join(folder, "checkpoint.pt")
    for epoch in range(epochs):
        digests["epoch{}/checkpoint.pt".format(epoch)] = write(path, mb, epoch)
        t = time.perf_counter()
        log(path, "epoch{}".format(epoch))
        held.append(time.perf_counter() - t)
    big = os.path.join(folder, "big.pt")
    digests["big/big.pt"] = write(big, big_mb, 255)
    t = time.perf_counter()
    log(big, "big")
    big_held = time.perf_counter() - t
    os.remove(big)
    t = time.perf_counter()
    done()
    drained = time.perf_counter() - t
    if side.startswith("package"):
        iteration.end()
    elif side == "mlflow2":
        mlflow.end_run()
    peak = max(resource.getrusage(who).ru_maxrss for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))
    print(json.dumps({"run": run_id, "held": held, "big": big_held, "drained": drained, "peak_kb": peak,
                      "digests": digests}))
""")


def server_digests(uri, run_id, paths):
    import requests

    found = {}
    for path in paths:
        digest = hashlib.sha256()
        with requests.get(uri + "/get-artifact", params={"path": path, "run_uuid": run_id}, stream=True,
                          timeout=120) as answer:
            if answer.status_code != 200:
                continue
            for chunk in answer.iter_content(1 << 20):
                digest.update(chunk)
        found[path] = digest.hexdigest()
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--epochs", type=int, default=10)
    parser.add_argument("--mb", type=int, default=100)
    parser.add_argument("--big-mb", type=int, default=1024)
    parser.add_argument("--mlflow2-python", help="a Python with MLflow 2.x installed (make bench makes one)")
    args = parser.parse_args()
    from servers import free_port, start_tracking_server, stop_tracking_server

    work = tempfile.mkdtemp(prefix="bench-checkpoints-")
    proc, uri, _ = start_tracking_server(work, free_port(), serve_artifacts=True, workers=2)
    sides = [("copy", sys.executable), ("package-background", sys.executable), ("package", sys.executable)]
    if args.mlflow2_python:
        sides.append(("mlflow2", args.mlflow2_python))
    print("{} checkpoints of {} MB written to one name and logged, then one of {} MB; server {}".format(
        args.epochs, args.mb, args.big_mb, uri))
    print("{:<20} {:>14} {:>12} {:>12} {:>14} {:>10} {:>8}".format(
        "side", "held median s", "slowest s", "big file s", "until there s", "peak MB", "intact"))
    try:
        for side, python in sides:
            folder = tempfile.mkdtemp(dir=work)
            env = dict(os.environ, TAVRO_JOURNAL_DIR=os.path.join(folder, "journal"))
            run = subprocess.run([python, "-c", CHILD, side, uri, folder, str(args.epochs), str(args.mb),
                                  str(args.big_mb)], capture_output=True, text=True, env=env, timeout=3600)
            if run.returncode != 0:
                print("{:<20} failed: {}".format(side, run.stderr[-2000:]))
                continue
            out = json.loads(run.stdout.strip().splitlines()[-1])
            intact = "-" if out["run"] is None else (
                "yes" if server_digests(uri, out["run"], out["digests"]) == out["digests"] else "NO")
            print("{:<20} {:>14.3f} {:>12.3f} {:>12.3f} {:>14.3f} {:>10.0f} {:>8}".format(
                side, statistics.median(out["held"]), max(out["held"]), out["big"], out["drained"],
                out["peak_kb"] / 1024, intact))
            subprocess.run(["rm", "-rf", folder])
    finally:
        stop_tracking_server(proc)
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
