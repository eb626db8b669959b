"""What system metrics cost: the sampler's own CPU, psutil's walk beside it, and the environment record's start.

- The sampler: a run sampled at 1 Hz for `--seconds` (default 60) in a process
  with 8 child processes, logging into a file store; its thread's CPU
  (`getrusage(RUSAGE_THREAD)`, as the sampler keeps it) as a share of one core.
- psutil (in `--psutil-python`, an environment of the benchmark's own): a
  thread walking the same tree once a second (children, their CPU times and
  memory), its thread's CPU measured the same way.
- The environment record in a repository of 10,000 committed files with one
  changed: the time `environment_record()` takes (median of 5, the bound 100 ms).

    .venv/bin/python bench/system_metrics.py [--seconds 60] [--psutil-python PATH]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

CHILDREN = 8

SAMPLED = textwrap.dedent("""
    import subprocess, sys, time
    from mlflow.tracking import MlflowClient
    from tavro_experiment_tracking.config import use_system_metrics
    from tavro_experiment_tracking.entities.experiment import Experiment
    from tavro_experiment_tracking.entities.project import Project
    from tavro_experiment_tracking.tracking import system
    from tavro_experiment_tracking.tracking.client import Client

    uri, seconds, children = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
    use_system_metrics(interval=10)
    client = Client(None)
    client.tracking_uri = uri
    experiment_id = MlflowClient(uri).create_experiment("bench")
    iteration = Experiment("bench", None, experiment_id, Project("bench", None, client)).get_iteration()
    kids = [subprocess.Popen([sys.executable, "-c", "import time; time.sleep(3600)"]) for _ in range(children)]
    iteration.start()
    time.sleep(seconds)
    cpu = system._sampler_cpu()
    iteration.end()
    for k in kids:
        k.kill()
        k.wait()
    print(cpu)
""")

PSUTIL = textwrap.dedent("""
    import resource, subprocess, sys, threading, time
    import psutil

    seconds, children = float(sys.argv[1]), int(sys.argv[2])
    kids = [subprocess.Popen([sys.executable, "-c", "import time; time.sleep(3600)"]) for _ in range(children)]
    used = []

    def walk():
        me = psutil.Process()
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for p in [me] + me.children(recursive=True):
                try:
                    p.cpu_times(), p.memory_info()
                except psutil.Error:
                    pass
            time.sleep(1)
        used.append(resource.getrusage(resource.RUSAGE_THREAD))

    t = threading.Thread(target=walk)
    t.start()
    t.join()
    for k in kids:
        k.kill()
        k.wait()
    print(used[0].ru_utime + used[0].ru_stime)
""")


def record_time(workdir):
    repo = os.path.join(workdir, "repo")
    os.makedirs(repo)
    for n in range(10000):
        folder = os.path.join(repo, "d{}".format(n // 500))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f{}.py".format(n)), "w") as f:
            f.write("x = {}\n".format(n))
    git = ["git", "-C", repo, "-c", "user.email=b@e.n", "-c", "user.name=bench"]
    subprocess.run(["git", "init", "-q", repo], check=True)
    subprocess.run(git + ["add", "."], check=True)
    subprocess.run(git + ["commit", "-q", "-m", "files"], check=True)
    with open(os.path.join(repo, "d0", "f0.py"), "a") as f:
        f.write("y = 1\n")
    from tavro_experiment_tracking.tracking import system

    times, record = [], None
    for _ in range(5):
        started = time.perf_counter()
        record = system.environment_record(repo)
        times.append(time.perf_counter() - started)
    return statistics.median(times), record["git"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--psutil-python", help="a Python with psutil installed (make bench makes one)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="system-metrics-") as workdir:
        env = dict(os.environ, TAVRO_JOURNAL_DIR=os.path.join(workdir, "journal"))
        ours = float(subprocess.run([sys.executable, "-c", SAMPLED, "file://" + os.path.join(workdir, "store"),
                                     str(args.seconds), str(CHILDREN)], env=env, check=True, capture_output=True,
                                    text=True).stdout.split()[-1])
        theirs = None
        if args.psutil_python:
            done = subprocess.run([args.psutil_python, "-c", PSUTIL, str(args.seconds), str(CHILDREN)],
                                  capture_output=True, text=True)
            theirs = float(done.stdout.split()[-1]) if done.returncode == 0 else None
        record, git = record_time(workdir)
    share = 100 * ours / args.seconds
    print("\nsampler at 1 Hz for {:.0f} s with {} children: {:.4f} s of CPU, {:.4f} % of one core".format(
        args.seconds, CHILDREN, ours, share))
    if theirs is not None:
        print("psutil's walk of the same tree at 1 Hz:        {:.4f} s of CPU, {:.4f} % of one core".format(
            theirs, 100 * theirs / args.seconds))
    else:
        print("psutil's walk: not measured (no --psutil-python with psutil)")
    print("environment record, repository of 10,000 files, one changed: {:.1f} ms (dirty: {})".format(
        record * 1e3, git.get("dirty")))
    print("GPU reads: no NVML on this machine, not measured")
    print("\nchecks:")
    for what, ok in (("sampler's CPU at most 0.05 % of one core", share <= 0.05),
                     ("environment record within 100 ms, the repository's state included",
                      record <= 0.1 and git.get("dirty") is True)):
        print("  {:<70} {}".format(what, "yes" if ok else "NO"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
