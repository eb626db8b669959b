"""Real servers on loopback for the tests, the benchmarks and the load test.

Two kinds of tracking server: the single person's (SQLite file, one worker,
artifacts written by the client straight into a local folder) and the team's
(PostgreSQL, several workers, artifacts served over HTTP by the tracking server
itself). The team's server also comes scaled out: three replicas over one
database behind an haproxy load balancer (deploy/scaled.py). The team's
PostgreSQL is a throw-away cluster made with `initdb` in a temporary folder;
nothing of the machine's own PostgreSQL is touched.
"""
import glob
import http.server
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import requests

SERVER_START_TIMEOUT = 90.0
BACKENDS = ("sqlite", "postgresql", "scaled")


def serve(handler, server_class=http.server.ThreadingHTTPServer):
    """``handler`` served on a free loopback port by a thread of its own: the
    server, with its ``uri``; ``stop()`` ends it."""
    server = server_class(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    server.uri = "http://127.0.0.1:{}".format(server.server_port)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    server.stop = lambda: (server.shutdown(), server.server_close())
    return server


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_healthy(uri, proc, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            if requests.get(uri + "/health", timeout=2).status_code == 200:
                return True
        except requests.RequestException:
            pass
        time.sleep(0.3)
    return False


SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


def server_environment():
    """The environment for the servers and browsers the tests start: without
    the sanitizer runtime that `make test-asan` preloads into our own code."""
    env = dict(os.environ)
    for name in SANITIZER_VARIABLES:
        env.pop(name, None)
    return env


def start_tracking_server(workdir, port, serve_artifacts=False, backend_store_uri=None, workers=1):
    """Start `mlflow server` on loopback; returns (process, uri, log path).

    Without `backend_store_uri` the store is `tracking.db` (SQLite) in
    `workdir`; artifacts live in `workdir/artifacts` either way, so a server
    started again on the same folder and store finds everything.
    """
    started = launch_tracking_server(workdir, port, serve_artifacts, backend_store_uri, workers)
    await_tracking_server(*started)
    return started


def launch_tracking_server(workdir, port, serve_artifacts=False, backend_store_uri=None, workers=1,
                           artifacts=None):
    """`mlflow server` started, not waited for (see `await_tracking_server`):
    several of them start side by side. `artifacts` is the folder they are
    kept in (default `workdir/artifacts`)."""
    bindir = os.path.dirname(sys.executable)
    env = server_environment()
    # The server execs gunicorn from the environment's bin directory.
    env["PATH"] = bindir + os.pathsep + env.get("PATH", "")
    if backend_store_uri is None:
        backend_store_uri = "sqlite:///" + os.path.join(workdir, "tracking.db")
    if artifacts is None:
        artifacts = os.path.join(workdir, "artifacts")
    os.makedirs(artifacts, exist_ok=True)
    cmd = [
        os.path.join(bindir, "mlflow"), "server",
        "--backend-store-uri", backend_store_uri,
        "--host", "127.0.0.1", "--port", str(port), "--workers", str(workers),
    ]
    if serve_artifacts:
        cmd += ["--serve-artifacts", "--artifacts-destination", artifacts]
    else:
        cmd += ["--default-artifact-root", artifacts]
    log_path = os.path.join(workdir, "server.log")
    with open(log_path, "ab") as log:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=env,
                                start_new_session=True)
    return proc, "http://127.0.0.1:{}".format(port), log_path


def await_tracking_server(proc, uri, log_path):
    """Waits until the server answers its health check; stops it and raises
    with its log's end when it does not in time."""
    if _wait_healthy(uri, proc, SERVER_START_TIMEOUT):
        return
    stop_tracking_server(proc)
    raise RuntimeError("tracking server did not come up at {} (exit code {}):\n{}".format(
        uri, proc.returncode, _tail(log_path)))


def _tail(path, size=6000):
    try:
        with open(path, errors="replace") as f:
            return f.read()[-size:]
    except FileNotFoundError:
        return ""


def stop_tracking_server(proc, sig=signal.SIGTERM):
    """Stops the server and its gunicorn workers (they share its process group);
    a deployment (deploy/scaled.py) stops as a whole."""
    if not isinstance(proc, subprocess.Popen):
        proc.stop()
        return
    if proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, sig)
        proc.wait(timeout=15)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()


def postgres_bindir():
    """Folder of the PostgreSQL server programs (Debian keeps them off PATH)."""
    given = os.environ.get("PG_BINDIR")
    if given:
        return given
    try:
        found = subprocess.run(["pg_config", "--bindir"], capture_output=True, text=True, check=True).stdout.strip()
        if os.path.exists(os.path.join(found, "initdb")):
            return found
    except (OSError, subprocess.CalledProcessError):
        pass
    # pg_config may belong to the client library alone; take the newest server.
    candidates = glob.glob("/usr/lib/postgresql/*/bin/initdb")
    if not candidates:
        raise RuntimeError("PostgreSQL server programs not found: install the 'postgresql' package "
                           "or set PG_BINDIR to the folder holding initdb and pg_ctl")
    candidates.sort(key=lambda p: int(p.split("/")[-3]) if p.split("/")[-3].isdigit() else 0)
    return os.path.dirname(candidates[-1])


class PostgresCluster:
    """A throw-away PostgreSQL cluster on a free loopback port.

    `initdb` refuses to run as root, so under root the cluster belongs to the
    `postgres` system user (the one the Debian package creates), and its
    folder sits directly under the temporary directory, where that user can
    reach it. Clients connect over TCP as the superuser `tavro` without a
    password (trust on loopback only).
    """

    USER = "tavro"

    def __init__(self, parent=None):
        self.bindir = postgres_bindir()
        if parent is None and os.geteuid() == 0:
            # The cluster's owner must be able to reach its folder; a private
            # TMPDIR of root's would not let it.
            parent = "/tmp"
        self.root = tempfile.mkdtemp(prefix="tavro-pg-", dir=parent)
        self.data = os.path.join(self.root, "data")
        self.log = os.path.join(self.root, "postgres.log")
        self.port = free_port()
        self._owner = None
        if os.geteuid() == 0:
            self._owner = pwd.getpwnam("postgres")
            os.chown(self.root, self._owner.pw_uid, self._owner.pw_gid)
        self._run("initdb", "-D", self.data, "-U", self.USER, "--auth=trust", "-E", "UTF8",
                  "--locale=C.UTF-8", "--no-sync")
        self.start()

    def _run(self, program, *args, check=True):
        cmd = [os.path.join(self.bindir, program), *args]
        if self._owner is not None:
            cmd = ["runuser", "-u", self._owner.pw_name, "--"] + cmd
        # The server inherits these descriptors when pg_ctl starts it: no pipes
        # it would hold open, and nothing read from our standard input.
        result = subprocess.run(cmd, cwd=self.root, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, env=server_environment())
        if check and result.returncode != 0:
            raise RuntimeError("{} failed ({}):\n{}".format(program, result.returncode, result.stdout[-4000:]))
        return result

    @property
    def running(self):
        return self._run("pg_ctl", "-D", self.data, "status", check=False).returncode == 0

    def start(self):
        options = " ".join([
            "-c listen_addresses=127.0.0.1", "-p {}".format(self.port), "-k {}".format(self.root),
            # Durability against a crash of the machine is not what these
            # clusters are for; a stopped server still keeps every commit.
            "-c fsync=off", "-c full_page_writes=off",
        ])
        self._run("pg_ctl", "-D", self.data, "-l", self.log, "-o", options, "-w", "-t", "60", "start")

    def stop(self, mode="fast"):
        """`fast` ends every session and shuts down cleanly; `immediate` is a crash."""
        self._run("pg_ctl", "-D", self.data, "-m", mode, "-w", "-t", "60", "stop", check=False)

    def uri(self, database):
        return "postgresql://{}@127.0.0.1:{}/{}".format(self.USER, self.port, database)

    def create_database(self, name):
        subprocess.run([os.path.join(self.bindir, "createdb"), "-h", "127.0.0.1", "-p", str(self.port),
                        "-U", self.USER, name], check=True, stdin=subprocess.DEVNULL, capture_output=True)
        return self.uri(name)

    def remove(self):
        if self.running:
            self.stop("immediate")
        shutil.rmtree(self.root, ignore_errors=True)


def scaled_deployment():
    """The class of the team's scaled-out deployment, which `make team-server`
    starts too (deploy/scaled.py, built on this module's servers)."""
    deploy = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "deploy")
    if deploy not in sys.path:
        sys.path.insert(0, deploy)
    from scaled import ScaledDeployment

    return ScaledDeployment


class Backend:
    """What a tracking server stores into: SQLite files, or databases of one
    cluster (`scaled`: each served by a scaled deployment)."""

    def __init__(self, kind):
        if kind not in BACKENDS:
            raise ValueError("unknown tracking backend {!r}: choose one of {}".format(kind, ", ".join(BACKENDS)))
        self.kind = kind
        self.cluster = PostgresCluster() if kind != "sqlite" else None
        self._databases = 0

    @property
    def serve_artifacts(self):
        return self.cluster is not None

    @property
    def workers(self):
        # Three replicas of one worker each serve the scaled deployment.
        return 1 if self.kind in ("sqlite", "scaled") else 2

    def new_store(self, workdir):
        """A new, empty backend store for a server working in `workdir`."""
        if self.cluster is None:
            return "sqlite:///" + os.path.join(workdir, "tracking.db")
        self._databases += 1
        return self.cluster.create_database("tracking{}".format(self._databases))

    def start_server(self, workdir, store, port=None, workers=None):
        """(process, uri, log path); for `scaled` the process is the deployment."""
        if self.kind == "scaled":
            deployment = scaled_deployment()(workdir, store, port or free_port(), workers or self.workers).start()
            return deployment, deployment.uri, deployment.log
        return start_tracking_server(workdir, port or free_port(), serve_artifacts=self.serve_artifacts,
                                     backend_store_uri=store, workers=workers or self.workers)

    def close(self):
        if self.cluster is not None:
            self.cluster.remove()
