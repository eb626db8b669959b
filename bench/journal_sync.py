"""What `sync` costs on large and hostile journals.

1. Memory: journals of 1,000,000 and 10,000,000 metric values are sent by
   `python -m tavro_experiment_tracking sync` (its own process) to a loopback
   endpoint that answers as a tracking server does (health, the run, every
   `log_batch` taken); the sync process's peak resident memory is read from
   the kernel, beside that of a sync of an empty folder (the interpreter and
   the tracking library: about 110 MB). Goal: the journal's share under
   100 MB whatever its size.
2. Time: a 100 MB journal whose bytes after the header are crafted so that
   every fourth position looks like the start of a record (a length that
   fits), and one of plain noise, are read by `journal_info`. Goal: seconds,
   growing linearly with the size.

    python bench/journal_sync.py [--values 1000000 10000000] [--crafted-mb 100]
"""
import argparse
import json
import os
import random
import struct
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from journals import frame, header, text  # noqa: E402

MEMORY_GOAL_MB = 100


def write_journal(path, uri, run_id, values):
    """`values` metric records, as the writer frames them, in chunks."""
    keys = [text("metric{}".format(k)) for k in range(10)]
    with open(path, "wb") as f:
        f.write(header(uri, run_id))
        for start in range(0, values, 100000):
            f.write(b"".join(
                frame(b"M" + struct.pack("<Q", seq + 1) + keys[seq % 10] +
                      struct.pack("<dqq", seq * 0.5, 1700000000000 + seq, seq // 10))
                for seq in range(start, min(values, start + 100000))))
    os.chmod(path, 0o600)


class FakeServer(BaseHTTPRequestHandler):
    """Answers as a tracking server does, fast: what `sync` asks of one run."""

    protocol_version = "HTTP/1.1"
    taken = 0

    def log_message(self, *args):
        pass

    def _answer(self, body):
        data = json.dumps(body).encode() if not isinstance(body, bytes) else body
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path.startswith("/health"):
            self._answer(b"OK")
        else:
            info = {"run_id": "bench", "run_uuid": "bench", "experiment_id": "0", "status": "RUNNING",
                    "lifecycle_stage": "active", "start_time": 1, "artifact_uri": ""}
            self._answer({"run": {"info": info, "data": {}}})

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        FakeServer.taken += body.count(b'"key"')
        self._answer({})


def peak_of_sync(folder, uri):
    """Exit status and peak resident memory (MB) of a `sync` of `folder`, in a process of its own."""
    with tempfile.NamedTemporaryFile("r") as measured:
        done = subprocess.run([sys.executable, "-c", MEASURED, uri, folder, measured.name], capture_output=True,
                              text=True)
        peak = measured.read().strip()
    return done.returncode, int(peak or 0) / 1024


# The sync, then its own peak resident memory (VmHWM, kB), written where told.
MEASURED = """
import sys
from tavro_experiment_tracking import cli
status = cli.main(["sync", "--server", sys.argv[1], sys.argv[2]])
with open("/proc/self/status") as own, open(sys.argv[3], "w") as out:
    out.write([line.split()[1] for line in own if line.startswith("VmHWM")][0])
sys.exit(status)
"""


def memory(values, workdir, uri):
    folder = os.path.join(workdir, "journals-{}".format(values))
    os.makedirs(folder, mode=0o700)
    started = time.monotonic()
    write_journal(os.path.join(folder, "bench.journal"), uri, "bench", values)
    size = os.path.getsize(os.path.join(folder, "bench.journal"))
    written = time.monotonic() - started
    FakeServer.taken = 0
    started = time.monotonic()
    status, peak = peak_of_sync(folder, uri)
    took = time.monotonic() - started
    if status != 0 or FakeServer.taken != values:
        raise SystemExit("sync of {} values failed (status {}, {} taken)".format(values, status, FakeServer.taken))
    print("sync of {:,} values ({:.0f} MB journal, written in {:.0f} s): {:.1f} s, peak RSS {:.0f} MB".format(
        values, size / 1e6, written, took, peak))
    return peak


def scan_time(path):
    from tavro_experiment_tracking.tracking import background

    started = time.monotonic()
    info = background.journal_info(path)
    return time.monotonic() - started, info


def hostile(workdir, megabytes):
    results = []
    rng = random.Random(7)
    for kind in ("crafted", "noise"):
        path = os.path.join(workdir, "{}.journal".format(kind))
        with open(path, "wb") as f:
            f.write(header("http://127.0.0.1:1", "bench"))
            for _ in range(megabytes):
                if kind == "crafted":  # a length that fits at every fourth byte
                    f.write(b"".join(struct.pack("<I", rng.randrange(1 << 16)) for _ in range(1 << 18)))
                else:
                    f.write(rng.randbytes(1 << 20) if hasattr(rng, "randbytes") else os.urandom(1 << 20))
        os.chmod(path, 0o600)
        took, info = scan_time(path)
        print("{} MB of {} after a journal's header: read in {:.1f} s ({} pending values)".format(
            megabytes, kind, took, info["pending"] if info else "no"))
        results.append(took)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--values", type=int, nargs="*", default=[1000000, 10000000])
    parser.add_argument("--crafted-mb", type=int, default=100)
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), FakeServer)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    uri = "http://127.0.0.1:{}".format(server.server_port)
    failed = []
    with tempfile.TemporaryDirectory() as workdir:
        os.chmod(workdir, 0o700)
        empty = os.path.join(workdir, "empty")
        os.makedirs(empty, mode=0o700)
        # What the interpreter, the tracking library and the package take
        # before any journal is read: the journal's share is the rest.
        _, baseline = peak_of_sync(empty, uri)
        print("sync of an empty folder: peak RSS {:.0f} MB (the interpreter and the libraries)".format(baseline))
        for values in args.values:
            grown = memory(values, workdir, uri) - baseline
            print("  the journal's share: {:.0f} MB".format(grown))
            if grown >= MEMORY_GOAL_MB:
                failed.append("sync of {} values took {:.0f} MB over the baseline".format(values, grown))
        if args.crafted_mb:
            hostile(workdir, args.crafted_mb)
    server.shutdown()
    print("OK" if not failed else "FAIL: " + "; ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
