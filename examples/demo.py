"""Run the examples against a local tracking server.

From the repository root, in a fresh shell (``make demo`` builds first and
then runs the second line, ``make demo-stop`` the third)::

    make build                                 # once: creates .venv/ and builds the modules
    .venv/bin/python examples/demo.py          # start (or reuse) the server, run every example
    .venv/bin/python examples/demo.py --stop   # stop the server this script started

The server keeps its SQLite database and artifacts in ./demo-server/ (beside
the examples folder), listens on 127.0.0.1 (port 5000 when free) and keeps
running after the examples finished, so the results can be browsed. Each
example gets the server's address in the environment variable
MLFLOW_TRACKING_URI; the address is also kept in ./demo-server/server.uri
while the server runs.
"""
import argparse
import fcntl
import glob
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SERVER_DIR = os.path.join(ROOT, "demo-server")
PID_FILE = os.path.join(SERVER_DIR, "server.pid")
URI_FILE = os.path.join(SERVER_DIR, "server.uri")
LOG_FILE = os.path.join(SERVER_DIR, "server.log")
LOCK_FILE = os.path.join(SERVER_DIR, ".lock")

HOST = "127.0.0.1"
PREFERRED_PORT = 5000
# A first start creates the database schema, which takes a while on a busy machine.
START_TIMEOUT = 120.0
STOP_TIMEOUT = 15.0


def read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except FileNotFoundError:
        return None


def healthy(uri):
    try:
        with urllib.request.urlopen(uri + "/health", timeout=2) as response:
            return response.status == 200
    except (urllib.error.URLError, OSError):
        return False


def is_our_server(pid):
    """True when `pid` is alive and is a tracking server (not a recycled pid)."""
    try:
        with open("/proc/{}/cmdline".format(pid), "rb") as f:
            argv = [a.decode(errors="replace") for a in f.read().split(b"\0")]
    except (FileNotFoundError, ProcessLookupError, PermissionError):
        return False
    return any(os.path.basename(a) == "mlflow" for a in argv) and "server" in argv


def recorded_server():
    """(pid, uri) of the server an earlier run started, if it is still running."""
    pid, uri = read(PID_FILE), read(URI_FILE)
    if not pid or not uri or not pid.isdigit() or not is_our_server(int(pid)):
        return None
    return int(pid), uri


def forget_server():
    for path in (PID_FILE, URI_FILE):
        try:
            os.remove(path)
        except FileNotFoundError:
            pass


def port_is_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.bind((HOST, port))
        except OSError:
            return False
        return True


def pick_port():
    if port_is_free(PREFERRED_PORT):
        return PREFERRED_PORT
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_until_healthy(uri, proc=None, pid=None):
    deadline = time.monotonic() + START_TIMEOUT
    while time.monotonic() < deadline:
        if healthy(uri):
            return True
        if proc is not None and proc.poll() is not None:
            return False
        if pid is not None and not is_our_server(pid):
            return False
        time.sleep(0.5)
    return False


def log_tail(lines=40):
    try:
        with open(LOG_FILE, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except FileNotFoundError:
        return ""


def start_server():
    port = pick_port()
    uri = "http://{}:{}".format(HOST, port)
    bindir = os.path.dirname(sys.executable)
    artifacts = os.path.join(SERVER_DIR, "artifacts")
    os.makedirs(artifacts, exist_ok=True)
    env = dict(os.environ)
    # The server runs gunicorn by name: it must find the environment's own.
    env["PATH"] = bindir + os.pathsep + env.get("PATH", "")
    cmd = [
        os.path.join(bindir, "mlflow"), "server",
        "--backend-store-uri", "sqlite:///" + os.path.join(SERVER_DIR, "tracking.db"),
        # An absolute folder: clients of a local artifact root write into it directly.
        "--default-artifact-root", artifacts,
        "--host", HOST, "--port", str(port), "--workers", "1",
    ]
    print("Starting a tracking server at {} (log: {})".format(uri, os.path.relpath(LOG_FILE)), flush=True)
    with open(LOG_FILE, "ab") as log:
        # Its own session: the server outlives this script, and stopping it
        # reaches its gunicorn workers through the process group.
        proc = subprocess.Popen(cmd, cwd=SERVER_DIR, env=env, stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    with open(PID_FILE, "w") as f:
        f.write("{}\n".format(proc.pid))
    with open(URI_FILE, "w") as f:
        f.write(uri + "\n")
    if not wait_until_healthy(uri, proc=proc):
        stop_process(proc.pid)
        forget_server()
        sys.exit("The tracking server did not come up at {}. End of its log:\n{}".format(uri, log_tail()))
    return uri


def ensure_server():
    os.makedirs(SERVER_DIR, exist_ok=True)
    # Two demos started together must not start two servers.
    with open(LOCK_FILE, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        found = recorded_server()
        if found:
            pid, uri = found
            if wait_until_healthy(uri, pid=pid):
                print("Reusing the tracking server at {} (pid {})".format(uri, pid), flush=True)
                return uri
            print("The recorded server (pid {}) does not answer; stopping it".format(pid), flush=True)
            stop_process(pid)
        forget_server()
        return start_server()


def stop_process(pid):
    try:
        os.killpg(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + STOP_TIMEOUT
    while time.monotonic() < deadline:
        if not is_our_server(pid):
            break
        time.sleep(0.2)
    else:
        try:
            os.killpg(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        # Reap it when it is our own child; otherwise init does.
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        pass


def stop():
    found = recorded_server()
    if not found:
        forget_server()
        print("No demo tracking server is running.")
        return 0
    pid, uri = found
    stop_process(pid)
    forget_server()
    print("Stopped the tracking server at {} (pid {}). Its data stays in {}/.".format(
        uri, pid, os.path.relpath(SERVER_DIR)))
    return 0


def run_examples(uri):
    scripts = sorted(
        path for path in glob.glob(os.path.join(HERE, "*.py"))
        if os.path.abspath(path) != os.path.abspath(__file__)
    )
    if not scripts:
        print("There are no examples to run yet (only {}).".format(os.path.relpath(__file__)))
        return 0
    env = dict(os.environ, MLFLOW_TRACKING_URI=uri)
    for script in scripts:
        name = os.path.relpath(script)
        print("\n=== {} ===".format(name), flush=True)
        code = subprocess.call([sys.executable, script], cwd=ROOT, env=env, stdin=subprocess.DEVNULL)
        if code != 0:
            print("\n{} failed with exit code {}.".format(name, code), file=sys.stderr)
            return code if code > 0 else 1
    print("\nAll {} example(s) ran.".format(len(scripts)))
    return 0


def shown_path(path):
    rel = os.path.relpath(path)
    return path if rel.startswith("..") else rel


def main():
    # Our lines and the examples' output share the terminal: keep them in order.
    sys.stdout.reconfigure(line_buffering=True)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--stop", action="store_true", help="stop the tracking server started by the demo")
    args = parser.parse_args()
    if args.stop:
        return stop()
    uri = ensure_server()
    code = run_examples(uri)
    print("\nThe tracking server is still running: open {} in a browser.".format(uri))
    print("Stop it with `make demo-stop` (or `{} {} --stop`).".format(
        shown_path(sys.executable), shown_path(os.path.abspath(__file__))))
    return code


if __name__ == "__main__":
    sys.exit(main())
