"""What sync reads from disk is not taken on trust, and a run ending while the
server is away ends later: journals and stores planted or copied, folders of
other users, symbolic links, a server that is down."""
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import time

import journals
import pytest
from journals import metric, plant
from mlflow.tracking import MlflowClient

from tavro_experiment_tracking import cli
from tavro_experiment_tracking.tracking.client import _with_tracking_uri

from servers import free_port


def offline_run(store, experiment_id, artifacts, meta_artifacts=None):
    """A run of a planted offline store; its metadata may name another artifact folder."""
    local = MlflowClient("file://" + store)
    run = local.create_run(experiment_id, tags={"mlflow.user": "alice"})
    own = pathlib.Path(store, experiment_id, run.info.run_id, "artifacts")
    own.mkdir(parents=True, exist_ok=True)
    for name, target in artifacts.items():
        (own / name).symlink_to(target) if target else (own / name).write_text("w\n")
    if meta_artifacts:
        meta = own.parent / "meta.yaml"
        meta.write_text("".join("artifact_uri: file://{}\n".format(meta_artifacts) if line.startswith("artifact_uri:")
                                else line for line in meta.read_text().splitlines(True)))
    local.set_terminated(run.info.run_id)
    return run.info.run_id


def test_planted_journals_and_stores_reach_only_the_configured_server(tracking_server, mlflow_client, endpoints,
                                                                       tmp_path, unique_name, capsys, monkeypatch):
    folder = os.environ["TAVRO_JOURNAL_DIR"]
    os.makedirs(folder, mode=0o700)
    run = mlflow_client.create_run(mlflow_client.create_experiment(unique_name("trust"))).info.run_id
    plant(os.path.join(folder, "good.journal"), tracking_server + "/", run, metric(1, "m", 1.0, 0),
          metric(2, "m", 2.0, 1))
    plant(os.path.join(folder, "other.journal"), endpoints.url, run, metric(1, "stolen", 1.0, 0))
    plant(os.path.join(folder, "newer.journal"), tracking_server, run, metric(1, "newer", 1.0, 0), b"Zfuture",
          metric(2, "newer", 2.0, 1))
    outside = tmp_path / "outside.journal"
    plant(outside, tracking_server, run, metric(1, "linked", 1.0, 0))
    with open(outside, "ab") as f:
        f.write(b"\x40\x00")  # a torn end: a sync through the link would cut it off
    before = outside.read_bytes()
    os.symlink(outside, os.path.join(folder, "link.journal"))
    if os.geteuid() == 0:
        plant(os.path.join(folder, "theirs.journal"), tracking_server, run, metric(1, "theirs", 1.0, 0))
        os.chown(os.path.join(folder, "theirs.journal"), 65534, 65534)
    # An offline store copied in: one run's metadata names a private folder, another's artifacts a link to it.
    secret = tmp_path / "ssh"
    secret.mkdir()
    (secret / "id_rsa").write_text("PRIVATE KEY\n")
    store = os.path.join(folder, "offline", "copied")
    os.makedirs(store, mode=0o700)
    os.chmod(os.path.dirname(store), 0o700)
    pathlib.Path(store, "tracking_uri").write_text(tracking_server)
    experiment = unique_name("copied")
    experiment_id = MlflowClient("file://" + store).create_experiment(experiment)
    offline_run(store, experiment_id, {"model.txt": None}, meta_artifacts=str(secret))
    linked = offline_run(store, experiment_id, {"weights.bin": str(secret / "id_rsa")})
    # An artifact snapshot whose manifest names a file outside it.
    planted = os.path.join(folder, "artifacts", "planted")
    os.makedirs(os.path.join(planted, "files"), mode=0o700)
    os.chmod(os.path.dirname(planted), 0o700)
    with open(os.path.join(planted, "manifest"), "wb") as f:
        f.write(journals.MAGIC + journals.frame(b"S" + struct.pack("<I", 1) + journals.text(tracking_server) +
                                                journals.text(run) + journals.text("") + struct.pack("<q", 1)) +
                journals.frame(b"F" + journals.text("../../../ssh/id_rsa") + struct.pack("<Q", 12)) +
                journals.frame(b"W"))
    monkeypatch.setenv("MLFLOW_TRACKING_TOKEN", "t0ken-for-the-configured-server")

    os.chmod(folder, 0o777)  # others may write in it: nothing in it is read
    assert cli.main(["sync", "--server", tracking_server]) == 1
    assert "group or others may write in it (mode 0777)" in capsys.readouterr().err
    os.chmod(folder, 0o700)
    assert cli.main(["sync", "--server", tracking_server]) == 1
    err = capsys.readouterr().err
    assert "Kept for another tracking server: 1 journal or store meant for " + endpoints.url in err
    assert "sync --server {} {}".format(endpoints.url, folder) in err and endpoints.requests == []
    assert "link.journal: a symbolic link: not followed" in err and outside.read_bytes() == before
    assert os.geteuid() != 0 or "theirs.journal: another user (uid 65534) owns it" in err
    assert "newer.journal: holds a record of a kind this version does not know (0x5a)" in err
    assert "weights.bin is a symbolic link: refused" in err and linked in err
    assert planted + ": its manifest is damaged or of a newer version: kept" in err
    assert _with_tracking_uri(tracking_server, mlflow_client.list_artifacts, run) == []
    server_run = mlflow_client.get_run(run)
    assert server_run.data.metrics == {"m": 2.0} and len(mlflow_client.get_metric_history(run, "m")) == 2
    [synced] = mlflow_client.search_runs([mlflow_client.get_experiment_by_name(experiment).experiment_id])
    assert [a.path for a in mlflow_client.list_artifacts(synced.info.run_id)] == ["model.txt"]
    kept = ["artifacts", "link.journal", "newer.journal", "offline", "other.journal"]
    assert sorted(os.listdir(folder)) == sorted(kept + (["theirs.journal"] if os.geteuid() == 0 else []))


def test_sync_against_a_server_that_is_down_says_so_at_once():
    folder = os.environ["TAVRO_JOURNAL_DIR"]
    os.makedirs(folder, mode=0o700)
    down = "http://127.0.0.1:{}".format(free_port())
    plant(os.path.join(folder, "run.journal"), down, "r1", metric(1, "m", 1.0, 0))
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-m", "tavro_experiment_tracking", "sync", "--server", down, folder],
                          capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, MLFLOW_HTTP_REQUEST_MAX_RETRIES="5"))
    # Not the retries' minutes (five with back-off); an interpreter's start under the sanitizers on a busy
    # machine alone took 10 s once.
    assert done.returncode == 1 and time.monotonic() - started < 30
    assert done.stderr == ("Cannot reach the tracking server at {}: Connection refused. Nothing more was sent; every "
                           "journal is kept: run this again once it answers.\n".format(down))
    assert os.listdir(folder) == ["run.journal"]


ENDED_AWAY = textwrap.dedent("""
    import sys
    from tavro_experiment_tracking import init
    from tavro_experiment_tracking.config import use_async_logging

    if sys.argv[3] == "background":
        use_async_logging(flush_interval=60, exit_timeout=1)
    iteration = init("p", sys.argv[1], tracking_uri=sys.argv[2]).get_iteration()
    with iteration.start(iteration_name="away") as run:
        iteration.log_params({"lr": 0.1})
        for step in range(50):
            iteration.log_metric("loss", step, step=step)
        print(run.info.run_id, flush=True)
        sys.stdin.readline()  # the server is away now
    print("after the block", flush=True)
""")


@pytest.mark.parametrize("mode", ["synchronous", "background"])
def test_block_ending_while_the_server_is_away_ends_the_run_later(relay, mlflow_client, unique_name, tmp_path, mode):
    (tmp_path / "script.py").write_text(ENDED_AWAY)
    proc = subprocess.Popen([sys.executable, str(tmp_path / "script.py"), unique_name("away"), relay.uri, mode],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        run = proc.stdout.readline().strip()
        relay.gone = True
        out, err = proc.communicate("\n", timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0 and out == "after the block\n", err
    # One line (besides the console's): the run, the status meant, why, and what happens next.
    [warning] = [line for line in err.splitlines() if not line.startswith("tavro: ")]
    assert warning.startswith("Could not mark iteration {} as FINISHED: ".format(run))
    folder, both = os.environ["TAVRO_JOURNAL_DIR"], mode == "background"
    assert warning.endswith("The exit tries again. Until the server answers, the ending {} kept in the journal "
                            "folder {}: python -m tavro_experiment_tracking sync --server {} {} sends {}.".format(
                                "and the values are" if both else "is", folder, relay.uri, folder,
                                "them" if both else "it"))
    assert mlflow_client.get_run(run).info.status == "RUNNING"
    relay.gone = False
    assert cli.main(["sync", "--server", relay.uri]) == 0
    finished = mlflow_client.get_run(run)
    assert (finished.info.status, finished.data.params) == ("FINISHED", {"lr": "0.1"})
    assert sorted(m.step for m in mlflow_client.get_metric_history(run, "loss")) == list(range(50))
    assert os.listdir(folder) == []
