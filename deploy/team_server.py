"""The team's deployment for a person to try things on: haproxy in front of
three tracking servers over one throw-away PostgreSQL database.

    .venv/bin/python tests/team_server.py          # start it in the background (make team-server)
    .venv/bin/python tests/team_server.py --stop   # stop it (make team-server-stop)

The deployment runs under a keeper process of its own that outlives this
script; ./team-server/ (beside tests/) holds the keeper's pid, the
balancer's address and the logs while it runs. Stopping it removes the
database: nothing is kept.
"""
import argparse
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The deployment is the one the team tests run against (scaled.py, tests/servers.py).
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from servers import Backend, stop_tracking_server  # noqa: E402

SERVER_DIR = os.path.join(os.path.dirname(HERE), "team-server")
PID_FILE = os.path.join(SERVER_DIR, "keeper.pid")
URI_FILE = os.path.join(SERVER_DIR, "server.uri")
LOG_FILE = os.path.join(SERVER_DIR, "keeper.log")
START_TIMEOUT = 180.0
STOP_TIMEOUT = 60.0


def read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except FileNotFoundError:
        return None


def keeper_pid():
    """The pid of a running keeper (not a recycled pid), or None."""
    pid = read(PID_FILE)
    if not pid or not pid.isdigit():
        return None
    try:
        with open("/proc/{}/cmdline".format(pid), "rb") as f:
            argv = f.read().split(b"\0")
    except (FileNotFoundError, ProcessLookupError, PermissionError):
        return None
    return int(pid) if b"--keep" in argv and any(a.endswith(b"team_server.py") for a in argv) else None


def keep():
    """The keeper: starts the deployment, then waits for SIGTERM or SIGINT."""
    def leave(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, leave)
    signal.signal(signal.SIGINT, leave)
    backend, deployment = None, None
    try:
        backend = Backend("scaled")
        work = os.path.join(SERVER_DIR, "work")
        os.makedirs(work, exist_ok=True)
        deployment, uri, _ = backend.start_server(work, backend.new_store(work))
        with open(URI_FILE, "w") as f:
            f.write(uri + "\n")
        print("serving at {} (replicas on ports {})".format(uri, deployment.replica_ports), flush=True)
        while True:
            signal.pause()
    finally:
        if os.path.exists(URI_FILE):
            os.remove(URI_FILE)
        if deployment is not None:
            stop_tracking_server(deployment)
        if backend is not None:
            backend.close()
        print("stopped", flush=True)


def start():
    pid = keeper_pid()
    uri = read(URI_FILE)
    if pid is not None and uri:
        print("The team deployment is already running at {} (keeper pid {}).".format(uri, pid))
        print("Stop it with `make team-server-stop`.")
        return 0
    os.makedirs(SERVER_DIR, exist_ok=True)
    for path in (PID_FILE, URI_FILE):
        if os.path.exists(path):
            os.remove(path)
    with open(LOG_FILE, "ab") as log:
        # Its own session: it outlives this script and the terminal's Ctrl-C.
        proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--keep"], stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    with open(PID_FILE, "w") as f:
        f.write("{}\n".format(proc.pid))
    print("Starting PostgreSQL, three tracking servers and haproxy (log: {})".format(
        os.path.relpath(LOG_FILE)), flush=True)
    deadline = time.monotonic() + START_TIMEOUT
    while time.monotonic() < deadline and proc.poll() is None and not read(URI_FILE):
        time.sleep(0.5)
    uri = read(URI_FILE)
    if proc.poll() is not None or not uri:
        if proc.poll() is None:
            stop_keeper(proc.pid)
        with open(LOG_FILE, errors="replace") as f:
            print(f.read()[-4000:], file=sys.stderr)
        print("The team deployment did not start.", file=sys.stderr)
        return 1
    print("\nThe team deployment is running: tracking URI {}".format(uri))
    print("(haproxy in front of three `mlflow server` replicas on one PostgreSQL database; files in {}/)".format(
        os.path.relpath(SERVER_DIR)))
    print("Stop it with `make team-server-stop` (or `{} {} --stop`); its data goes with it.".format(
        os.path.relpath(sys.executable), os.path.relpath(__file__)))
    return 0


def stop_keeper(pid):
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return True
    deadline = time.monotonic() + STOP_TIMEOUT
    while time.monotonic() < deadline:
        if keeper_pid() != pid:
            return True
        try:
            if os.waitpid(pid, os.WNOHANG)[0] == pid:
                return True
        except ChildProcessError:
            pass
        time.sleep(0.2)
    return False


def stop():
    pid = keeper_pid()
    if pid is None:
        print("No team deployment is running.")
        return 0
    uri = read(URI_FILE)
    if not stop_keeper(pid):
        print("The keeper (pid {}) did not stop within {:.0f} s; see {}".format(
            pid, STOP_TIMEOUT, os.path.relpath(LOG_FILE)), file=sys.stderr)
        return 1
    os.remove(PID_FILE)
    print("Stopped the team deployment{} (keeper pid {}).".format(" at " + uri if uri else "", pid))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--stop", action="store_true", help="stop the deployment this script started")
    parser.add_argument("--keep", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.keep:
        return keep()
    return stop() if args.stop else start()


if __name__ == "__main__":
    sys.exit(main())
