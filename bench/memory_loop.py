"""Memory over many calls through the native modules.

Creates projects and experiments, prints them, turns them into dicts, has
argument checks refuse values and prints plain values, 100,000 times. Prints
the process's resident set size after a warm-up, midway and at the end, and
exits non-zero when it grew between midway and the end by more than a small
bound: once caches and allocator pools are warm, memory must stay flat, so
growth there means references leak on some path (a refused call included).

    python bench/memory_loop.py [--iterations N] [--max-growth-kib K]
"""
import argparse
import gc
import io
import sys

from tavro_experiment_tracking.entities.experiment import Experiment
from tavro_experiment_tracking.entities.project import Project
from tavro_experiment_tracking.entities.quorril import NamedEntityPrinter

WARMUP = 5000


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def measure():
    gc.collect()
    return rss_kib()


def one_round(i, sink):
    project = Project("project-{}".format(i % 100), "a project")
    experiment = Experiment("experiment", None, str(i), project)
    text = repr(project) + repr(experiment)
    print(project, experiment, file=sink)
    pairs = dict(experiment)
    try:
        # Refused by the argument check before anything else runs.
        project.get_experiment(5)
    except TypeError:
        pass
    else:
        raise AssertionError("get_experiment(5) was not refused")
    try:
        experiment.get_iteration_meta(b"bytes-id")
    except TypeError:
        pass
    else:
        raise AssertionError("get_iteration_meta(b'...') was not refused")
    printed = NamedEntityPrinter().to_string({"name": pairs["name"], "step": i, "nested": [1.5, None]})
    return len(text) + len(printed)


def run(n, sink):
    total = 0
    for i in range(n):
        total += one_round(i, sink)
        # Keep the sink from growing: it is not what we measure.
        if i % 1000 == 0:
            sink.seek(0)
            sink.truncate()
    return total


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--max-growth-kib", type=int, default=1024,
                        help="largest tolerated RSS growth from midway to the end (KiB)")
    args = parser.parse_args()

    sink = io.StringIO()
    run(WARMUP, sink)
    before = measure()
    half = args.iterations // 2
    run(half, sink)
    midway = measure()
    run(args.iterations - half, sink)
    after = measure()

    growth = after - midway
    print("rounds: {:,} (after {:,} warm-up rounds)".format(args.iterations, WARMUP))
    print("RSS after warm-up: {:>9,} KiB".format(before))
    print("RSS midway:        {:>9,} KiB  ({:+,} KiB)".format(midway, midway - before))
    print("RSS at the end:    {:>9,} KiB  ({:+,} KiB since midway, bound {:,} KiB)".format(
        after, growth, args.max_growth_kib))
    if growth > args.max_growth_kib:
        print("FAIL: memory grew by {:,} KiB over the second half".format(growth))
        return 1
    print("OK: memory stayed flat")
    return 0


if __name__ == "__main__":
    sys.exit(main())
