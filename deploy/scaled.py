"""The team's deployment scaled out: three `mlflow server` replicas over one
PostgreSQL database behind an haproxy load balancer. `make team-server`,
`make test-team` and `make load` run it; the single servers it is built of
are the tests' (tests/servers.py).
"""
import ctypes
import os
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

from servers import (  # noqa: E402
    SERVER_START_TIMEOUT,
    _tail,
    _wait_healthy,
    await_tracking_server,
    free_port,
    launch_tracking_server,
    server_environment,
    stop_tracking_server,
)


def haproxy_binary():
    """haproxy from Debian's package (in /usr/sbin, which a user's PATH may lack)."""
    found = shutil.which("haproxy") or ("/usr/sbin/haproxy" if os.access("/usr/sbin/haproxy", os.X_OK) else None)
    if found is None:
        raise RuntimeError("haproxy not found: install Debian's 'haproxy' package (apt-get install haproxy)")
    return found


# The balancer's configuration. Requests go round robin to the replicas that
# answer `GET /health`; a replica failing two checks in a row is taken out
# until it answers one again.
HAPROXY_CONFIG = """\
global
    maxconn 2000

defaults
    mode http
    # Loopback: a replica that does not accept within a second is not there.
    timeout connect 1s
    # Above the clients' request timeout (MLflow's default is 120 s): an
    # artifact upload may take a while, and the client decides when to give up.
    timeout client 150s
    timeout server 150s
    timeout http-request 30s
    timeout http-keep-alive 10s
    # A connection a dead replica refused is tried again, each time on another
    # replica. Only connection failures: a request a replica has received may
    # have been committed before it died, and a resent POST (logging values
    # is not idempotent) would store them twice. Such a request fails with a
    # 502 and its caller decides.
    retries 3
    retry-on conn-failure
    option redispatch 1
    # No idle connection to a replica is kept for the next request: a request
    # sent on one whose replica died since could not be retried safely, while
    # a new connection to a dead replica is refused, and retried elsewhere.
    option http-server-close

frontend tracking
    bind 127.0.0.1:{port}
    default_backend replicas

backend replicas
    balance roundrobin
    option httpchk GET /health
    http-check expect status 200
    default-server inter 1s fastinter 250ms downinter 500ms fall 2 rise 1
{servers}
"""


def _die_with_parent():
    # PR_SET_PDEATHSIG: the child gets SIGKILL when the thread that started
    # it ends, so a harness killed outright leaves no balancer behind.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)


class ScaledDeployment:
    """Three `mlflow server` replicas over one PostgreSQL database, behind an
    haproxy load balancer on `port`; artifacts served by the replicas from one
    shared folder. `uri` is the balancer's.

    Everything runs in `workdir`: `haproxy.cfg`, `haproxy.log`, the shared
    `artifacts/` and a folder per replica with its log. Start it (and restart
    replicas) from a thread that outlives it: the balancer dies with that
    thread.
    """

    REPLICAS = 3

    def __init__(self, workdir, store, port, workers=1):
        self.workdir = workdir
        self.store = store
        self.port = port
        self.workers = workers
        self.uri = "http://127.0.0.1:{}".format(port)
        self.artifacts = os.path.join(workdir, "artifacts")
        self.log = os.path.join(workdir, "haproxy.log")
        self.replica_ports = [free_port() for _ in range(self.REPLICAS)]
        self.replicas = [None] * self.REPLICAS
        self.balancer = None

    def start(self):
        """Schema, replicas (side by side), balancer; returns self when the
        balancer answers the health check."""
        try:
            create_schema(self.store, self.artifacts)
            launched = [self._launch(i) for i in range(self.REPLICAS)]
            for started in launched:
                await_tracking_server(*started)
            self._start_balancer()
        except BaseException:
            self.stop()
            raise
        return self

    def _launch(self, i):
        folder = os.path.join(self.workdir, "replica-{}".format(i))
        os.makedirs(folder, exist_ok=True)
        started = launch_tracking_server(folder, self.replica_ports[i], serve_artifacts=True,
                                         backend_store_uri=self.store, workers=self.workers,
                                         artifacts=self.artifacts)
        self.replicas[i] = started[0]
        return started

    def _start_balancer(self):
        servers = "\n".join("    server replica{} 127.0.0.1:{} check".format(i, port)
                             for i, port in enumerate(self.replica_ports))
        config = os.path.join(self.workdir, "haproxy.cfg")
        with open(config, "w") as f:
            f.write(HAPROXY_CONFIG.format(port=self.port, servers=servers))
        check = subprocess.run([haproxy_binary(), "-c", "-q", "-f", config], capture_output=True, text=True)
        if check.returncode != 0:
            raise RuntimeError("haproxy refuses {}:\n{}".format(config, check.stdout + check.stderr))
        with open(self.log, "ab") as log:
            # -db: in the foreground, a child of ours.
            self.balancer = subprocess.Popen([haproxy_binary(), "-db", "-f", config], stdin=subprocess.DEVNULL,
                                             stdout=log, stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        if not _wait_healthy(self.uri, self.balancer, SERVER_START_TIMEOUT):
            raise RuntimeError("haproxy did not come up at {} (exit code {}):\n{}".format(
                self.uri, self.balancer.poll(), _tail(self.log)))

    def kill_replica(self, i):
        """Replica `i` and its workers killed with SIGKILL, as by a crash."""
        proc = self.replicas[i]
        if proc is not None:
            stop_tracking_server(proc, signal.SIGKILL)

    def start_replica(self, i):
        """Replica `i` started again on its port; returns when it is healthy."""
        if self.replicas[i] is not None and self.replicas[i].poll() is None:
            raise RuntimeError("replica {} is still running".format(i))
        await_tracking_server(*self._launch(i))

    def stop(self):
        if self.balancer is not None and self.balancer.poll() is None:
            self.balancer.terminate()
            try:
                self.balancer.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.balancer.kill()
                self.balancer.wait()
        for proc in self.replicas:
            if proc is not None:
                stop_tracking_server(proc)


def create_schema(store, artifacts):
    """MLflow's tables in a new database, made once: replicas started side by
    side on an empty database would each create them, and all but one fail.
    (`mlflow db upgrade` only upgrades a schema that exists.) On a database
    that has them, nothing changes."""
    script = ("import sys\n"
              "from mlflow.store.tracking.sqlalchemy_store import SqlAlchemyStore\n"
              "SqlAlchemyStore(sys.argv[1], sys.argv[2])\n")
    result = subprocess.run([sys.executable, "-c", script, store, artifacts], stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, env=server_environment())
    if result.returncode != 0:
        raise RuntimeError("the schema of {} could not be made:\n{}".format(store, result.stderr[-4000:]))
