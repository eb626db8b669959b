"""Logging in the background, against the real tracking server: order,
batching, a server away, refusals, the endings of runs and of processes."""
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import journals
import pytest
import requests

from tavro_experiment_tracking import config
from tavro_experiment_tracking.exception import ExperimentTrackingException
from tavro_experiment_tracking.tracking import background as sender
from tavro_experiment_tracking.tracking.initialize import init


@pytest.fixture
def background():
    config.use_async_logging(flush_interval=0.2)
    yield
    config.use_async_logging(None, flush_interval=1.0)


def value(key, step):
    special = {(0, 7): math.nan, (1, 11): math.inf, (2, 13): -math.inf}
    return special.get((key, step), key * 10000 + step * 0.5)


def stored(number):
    """What the tracking server keeps of a value: infinities become the largest finite ones."""
    return math.copysign(sys.float_info.max, number) if math.isinf(number) else number


def test_loop_in_order_in_few_requests_and_params_checked_at_the_call(background, relay, mlflow_client,
                                                                      unique_name):
    iteration = init("p", unique_name("bg"), tracking_uri=relay.uri).get_iteration()
    iteration.start(iteration_name="loop")
    iteration.log_params({"lr": 0.1, "layers": 3})
    batches = relay.batches
    with pytest.raises(ExperimentTrackingException, match="Changing param values is not allowed"):
        iteration.log_param("lr", 0.2)  # refused at the call, without a request
    assert relay.batches == batches

    def log_from_thread(n):  # several threads may log into one iteration
        for step in range(300):
            iteration.log_metric("thread{}".format(n), step, step=step)

    threads = [threading.Thread(target=log_from_thread, args=(n,)) for n in range(2)]
    started = time.monotonic()
    for t in threads:
        t.start()
    for step in range(2000):
        for key in range(3):
            iteration.log_metric("m{}".format(key), value(key, step), step=step)
    for t in threads:
        t.join()
    loop = time.monotonic() - started
    iteration.flush()
    # 6,600 values: one request per full batch of 1,000, and one per flush interval at most
    assert relay.batches - batches <= 7 + loop / 0.2 + 2
    for key in range(3):
        history = mlflow_client.get_metric_history(iteration.iteration_id, "m{}".format(key))
        assert [m.step for m in history] == list(range(2000))
        assert all(a.timestamp <= b.timestamp for a, b in zip(history, history[1:]))
        assert all(m.value == stored(value(key, m.step)) or math.isnan(m.value) and math.isnan(value(key, m.step))
                   for m in history)
    assert len(mlflow_client.get_metric_history(iteration.iteration_id, "thread1")) == 300
    iteration.end()
    run = mlflow_client.get_run(iteration.iteration_id)
    assert (run.info.status, run.data.params) == ("FINISHED", {"lr": "0.1", "layers": "3"})


# A server away, and one whose database is (the SQL store says BAD_REQUEST for any database error).
@pytest.mark.parametrize("answer", [(503, b""), (400, b'{"error_code": "BAD_REQUEST", "message": "database down"}')])
def test_server_away_slows_nothing_and_loses_nothing(background, relay, mlflow_client, unique_name, answer):
    iteration = init("p", unique_name("bg"), tracking_uri=relay.uri).get_iteration()
    iteration.start()
    relay.gone, relay.gone_answer = True, answer
    for step in range(500):
        iteration.log_metric("loss", step, step=step)
    iteration.log_param("seed", 7)
    time.sleep(1.5)  # the sender tries and backs off meanwhile
    assert relay.gone and relay.requests_while_gone >= 1  # the loop finished while the server was away
    with pytest.raises(TimeoutError, match="still being sent"):
        iteration.flush(timeout=0.5)
    relay.gone = False
    iteration.flush()
    run = mlflow_client.get_run(iteration.iteration_id)
    assert len(mlflow_client.get_metric_history(run.info.run_id, "loss")) == 500 and run.data.params == {"seed": "7"}


def test_backlog_past_the_queue_waits_in_the_journal_whose_sent_segments_go(relay, mlflow_client, unique_name,
                                                                            tmp_path):
    config.use_async_logging(flush_interval=0.2, max_queued_records=100, journal_segment_bytes=4096)
    try:
        iteration = init("p", unique_name("bg"), tracking_uri=relay.uri).get_iteration()
        iteration.start()
        relay.gone, relay.gone_answer = True, (503, b"")
        for step in range(3000):  # thirty times what memory may queue: the loop ends with the server away
            iteration.log_metric("loss", step, step=step)
        assert relay.gone and len(list((tmp_path / "journal").glob("*.journal"))) > 20
        relay.gone = False
        iteration.flush()
        # On the server once each; of the journal, only the segment still written is left.
        history = mlflow_client.get_metric_history(iteration.iteration_id, "loss")
        assert sorted(m.step for m in history) == list(range(3000))
        assert len(list((tmp_path / "journal").glob("*.journal"))) == 1
        iteration.end()
        assert list((tmp_path / "journal").glob("*.journal")) == []
    finally:
        config.use_async_logging(None, flush_interval=1.0, max_queued_records=100000,
                                 journal_segment_bytes=4 << 20)


def test_a_refused_batch_surfaces_at_the_next_call_once(background, mlflow_client, tracking_server, unique_name):
    iteration = init("p", unique_name("bg"), tracking_uri=tracking_server).get_iteration()
    iteration.start()
    iteration.log_metric("before", 1.0)
    iteration.flush()
    mlflow_client.delete_run(iteration.iteration_id)  # the server refuses writes to a deleted run
    iteration.log_metrics({"x": 1.0, "y": 2.0})
    with pytest.raises(ExperimentTrackingException, match=r"refused 2 values .* {} \(keys: x, y\)".format(
            iteration.iteration_id)) as refused:
        iteration.flush()
    assert refused.value.error_code == "INVALID_PARAMETER_VALUE"
    iteration.flush()  # said once, then cleared


STOPPED = textwrap.dedent("""
    import os, signal, sys, time
    from tavro_experiment_tracking import init
    from tavro_experiment_tracking.config import use_async_logging

    use_async_logging(flush_interval=60, exit_timeout=float(sys.argv[3]))
    experiment = init("p", sys.argv[1])
    iteration = experiment.get_iteration()
    iteration.start()
    for step in range(900):
        iteration.log_metric("loss", step, step=step)   # queued: short of a batch, and the interval is long
    child = os.fork()
    if child == 0:  # its own run and values; none of its parent's
        mine = experiment.get_iteration()
        mine.log_metric("child", 1.0)
        print(mine.iteration_id, flush=True)
        sys.exit(0)
    os.waitpid(child, 0)
    print(iteration.iteration_id, flush=True)
    if sys.argv[2] == "sigterm":
        time.sleep(120)
    sys.stdin.readline()  # the server is away now
""")


@pytest.mark.parametrize("ending", ["sigterm", "unreachable"])
def test_stopped_or_unreachable_at_the_end_within_deadlines(relay, mlflow_client, unique_name, tmp_path, ending):
    (tmp_path / "script.py").write_text(STOPPED)
    proc = subprocess.Popen([sys.executable, str(tmp_path / "script.py"), unique_name("bg"), ending, "2"],
                            env=dict(os.environ, MLFLOW_TRACKING_URI=relay.uri), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        child_run, run = proc.stdout.readline().strip(), proc.stdout.readline().strip()
        assert run, proc.communicate(timeout=60)[1]
        relay.gone = ending == "unreachable"
        started = time.monotonic()
        if ending == "sigterm":
            proc.send_signal(signal.SIGTERM)
        try:
            _, stderr = proc.communicate("\n", timeout=60)
        except subprocess.TimeoutExpired:  # what it said before it stopped saying anything
            proc.kill()
            pytest.fail("no end 60 s after the signal; it wrote: " + proc.communicate()[1])
    finally:
        proc.kill()
    took, relay.gone = time.monotonic() - started, False
    child = mlflow_client.get_run(child_run)
    assert child.info.status == "FINISHED" and child.data.metrics == {"child": 1.0}
    info, history = mlflow_client.get_run(run).info, mlflow_client.get_metric_history(run, "loss")
    if ending == "sigterm":
        assert proc.returncode == -signal.SIGTERM and info.status == "KILLED"
        assert sorted(m.step for m in history) == list(range(900))  # every value, once, before the status
    else:
        # The exit waits its 2 s for the queue, then leaves it in the journal, saying how to send it.
        assert proc.returncode == 0 and took < 15 and history == []
        assert "900 values logged in the background were not sent" in stderr
        assert "sync --server {} {}".format(relay.uri, os.environ["TAVRO_JOURNAL_DIR"]) in stderr
        assert "Sent 900 values into 1 run" in sync_journals(relay.uri).stdout
        assert sorted(m.step for m in mlflow_client.get_metric_history(run, "loss")) == list(range(900))
    assert os.listdir(os.environ["TAVRO_JOURNAL_DIR"]) == []  # nothing left once all is on the server


def sync_journals(server):
    return subprocess.run([sys.executable, "-m", "tavro_experiment_tracking", "sync", "--server", server,
                           os.environ["TAVRO_JOURNAL_DIR"]], capture_output=True, text=True, timeout=120)


KILLED = textwrap.dedent("""
    import os, resource, signal, sys
    from tavro_experiment_tracking import init
    from tavro_experiment_tracking.config import use_async_logging

    use_async_logging(flush_interval=60)
    iteration = init("p", sys.argv[1]).get_iteration()
    iteration.start()
    iteration.log_params({"lr": 0.1})
    print(iteration.iteration_id, flush=True)
    if sys.argv[2] == "full":  # the journal's disk fills up on the way
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (150000, 150000))
    try:
        for step in range(6000):
            if step == 4321 and sys.argv[2] == "kill":
                os.kill(os.getpid(), signal.SIGKILL)
            iteration.log_metric("loss", step, step=step)
            if step == 999:
                iteration.flush()  # some on the server, the rest queued
    except OSError as e:
        print(step, e, flush=True)
        os.kill(os.getpid(), signal.SIGKILL)
""")


@pytest.mark.parametrize("ending", ["kill", "full"])
def test_killed_mid_loop_then_sync_sends_each_value_once(tracking_server, mlflow_client, unique_name, tmp_path,
                                                          ending):
    (tmp_path / "script.py").write_text(KILLED)
    proc = subprocess.run([sys.executable, str(tmp_path / "script.py"), unique_name("bg"), ending],
                          env=dict(os.environ, MLFLOW_TRACKING_URI=tracking_server), capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == -signal.SIGKILL, proc.stderr
    run, *failed = proc.stdout.split("\n", 1)
    accepted = 4321 if ending == "kill" else int(failed[0].split()[0])
    if ending == "full":
        assert 1000 < accepted < 6000 and "cannot write its journal" in failed[0] and "File too large" in failed[0]
    folder = os.environ["TAVRO_JOURNAL_DIR"]
    [journal] = os.listdir(folder)
    with open(os.path.join(folder, journal), "r+b") as f:
        f.seek(200)
        f.write(b"\xff")  # a byte flipped on the disk, in a value the server has
        f.seek(0, os.SEEK_END)
        f.write(b"\x40\x00\x00\x00\x12\x34")  # a write torn by a crash
    shutil.copy(os.path.join(folder, journal), tmp_path / "copy")
    with open(os.path.join(folder, "other.journal"), "w") as f:
        f.write("another program's file")
    first = sync_journals(tracking_server)
    other = "Not a journal of background logging: {} (left".format(os.path.join(folder, "other.journal"))
    assert re.search(r"Skipped \d\d+ damaged bytes", first.stderr) and other in first.stderr
    sent = int(first.stdout.split()[1])
    assert first.returncode == 1 and 0 < sent <= accepted - 1000, first.stdout
    # Sent, but the acknowledgement never written: sent again, and the server keeps one of each.
    shutil.copy(tmp_path / "copy", os.path.join(folder, journal))
    assert "Sent {} values".format(sent) in sync_journals(tracking_server).stdout
    assert "Nothing to send" in sync_journals(tracking_server).stdout
    assert sorted(m.step for m in mlflow_client.get_metric_history(run, "loss")) == list(range(accepted))
    assert mlflow_client.get_run(run).data.params == {"lr": "0.1"}


def test_switch_reads_the_environment_unless_the_script_chose(monkeypatch):
    monkeypatch.setenv("TAVRO_ASYNC_LOGGING", "yes")
    assert config.async_logging()["exit_timeout"] == 30.0
    config.use_async_logging(False)
    assert config.async_logging() is None
    config.use_async_logging(None)
    monkeypatch.setenv("TAVRO_ASYNC_LOGGING", " No ")
    assert config.async_logging() is None
    with pytest.raises(ValueError, match="flush_interval must be a positive number"):
        config.use_async_logging(flush_interval=0)
    with pytest.raises(TypeError, match="enabled must be True, False or None"):
        config.use_async_logging("yes")
    # A journal folder that cannot be made is said before a run starts, with what to do.
    monkeypatch.setenv("TAVRO_ASYNC_LOGGING", "1")
    monkeypatch.setenv("TAVRO_JOURNAL_DIR", __file__)
    with pytest.raises(OSError, match="cannot make the folder of its journal .* TAVRO_JOURNAL_DIR"):
        sender.prepare()


OFFLINE = textwrap.dedent("""
    import json, sys
    from mlflow.tracking import MlflowClient
    from tavro_experiment_tracking import init
    from tavro_experiment_tracking.config import use_offline_mode

    use_offline_mode()
    experiment = init("p", sys.argv[1], tracking_uri=sys.argv[2])
    iteration = experiment.get_iteration()
    with iteration.start(iteration_name="offline") as run:
        iteration.log_params({"lr": 0.1})
        try:
            iteration.log_param("lr", 0.2)
        except Exception as e:
            print(type(e).__name__, file=sys.stderr)
        for step in range(3):
            iteration.log_metric("loss", 1.0 / (step + 1), step=step)
        iteration.log_artifact(sys.argv[3])
    local = MlflowClient(experiment.client.tracking_uri).get_run(run.info.run_id)
    print(json.dumps([local.info.start_time, local.info.end_time, local.info.user_id, local.data.tags]))
""")


def test_offline_run_synced_later_is_as_if_logged_online(tracking_server, mlflow_client, unique_name, tmp_path):
    (tmp_path / "script.py").write_text(OFFLINE)
    (tmp_path / "model.txt").write_text("weights\n")
    name = unique_name("offline")
    proc = subprocess.run([sys.executable, str(tmp_path / "script.py"), name, tracking_server,
                           str(tmp_path / "model.txt")], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and "ExperimentTrackingException" in proc.stderr, proc.stderr
    assert "Iterations logged offline are kept in" in proc.stderr and mlflow_client.get_experiment_by_name(name) is None
    start, end, user, tags = json.loads(proc.stdout)
    assert "Sent 4 values into 1 run" in sync_journals(tracking_server).stdout
    assert "Nothing to send" in sync_journals(tracking_server).stdout
    [run] = mlflow_client.search_runs([mlflow_client.get_experiment_by_name(name).experiment_id])
    assert (run.info.status, run.info.start_time, run.info.end_time, run.info.user_id) == ("FINISHED", start, end, user)
    assert run.data.tags == tags and run.data.params == {"lr": "0.1"}
    history = mlflow_client.get_metric_history(run.info.run_id, "loss")
    assert [(m.step, m.value) for m in history] == [(0, 1.0), (1, 0.5), (2, 1 / 3)]
    assert all(start <= m.timestamp <= end for m in history)  # the time stamps of the calls
    artifact = requests.get(tracking_server + "/get-artifact", timeout=30,
                            params={"path": "model.txt", "run_uuid": run.info.run_id})
    assert artifact.text == "weights\n"


def artifact_bytes(server, run_id, path):
    answer = requests.get(server + "/get-artifact", params={"path": path, "run_uuid": run_id}, timeout=30)
    return answer.content if answer.status_code == 200 else None


def test_artifacts_go_as_they_were_at_the_call_through_a_bounded_spool(background, tracking_server, unique_name,
                                                                     tmp_path, caplog):
    config.use_async_logging(artifact_spool_bytes=3000)
    iteration = init("p", unique_name("art"), tracking_uri=tracking_server).get_iteration()
    iteration.start(iteration_name="checkpoints")
    checkpoint = tmp_path / "checkpoint.bin"
    for epoch in range(3):  # one name, written over each epoch: the spool is full after the third
        checkpoint.write_bytes(bytes([epoch]) * 1000)
        iteration.log_artifact(str(checkpoint), "epoch{}".format(epoch))
    checkpoint.unlink()
    (tmp_path / "logs" / "eval").mkdir(parents=True)
    (tmp_path / "logs" / "eval" / "scores.txt").write_text("0.9")
    iteration.log_artifacts(str(tmp_path / "logs"), "logs")  # waits for room
    shutil.rmtree(tmp_path / "logs")
    (tmp_path / "big.bin").write_bytes(b"b" * 5000)
    iteration.log_artifact(str(tmp_path / "big.bin"))  # larger than the whole spool: uploaded at the call
    with pytest.raises(FileNotFoundError):
        iteration.log_artifact(str(tmp_path / "missing.bin"))
    with pytest.raises(IsADirectoryError):
        iteration.log_artifact(str(tmp_path))
    iteration.flush()
    run = iteration.iteration_id
    assert [artifact_bytes(tracking_server, run, "epoch{}/checkpoint.bin".format(e)) for e in range(3)] == [
        bytes([e]) * 1000 for e in range(3)]
    assert artifact_bytes(tracking_server, run, "logs/eval/scores.txt") == b"0.9"
    assert artifact_bytes(tracking_server, run, "big.bin") == b"b" * 5000
    assert [r.message for r in caplog.records].count(
        "The artifact spool is full (3,000 of 3,000 bytes wait for the tracking server): logging an artifact waits "
        "for room. A larger spool: TAVRO_ARTIFACT_SPOOL_BYTES or use_async_logging(artifact_spool_bytes=...).") == 1
    assert os.listdir(os.path.join(os.environ["TAVRO_JOURNAL_DIR"], "artifacts")) == []


KILLED_UPLOADING = textwrap.dedent("""
    import os, resource, signal, sys
    from tavro_experiment_tracking import init
    from tavro_experiment_tracking.config import use_async_logging

    use_async_logging(True)
    iteration = init("p", sys.argv[1]).get_iteration()
    iteration.start()
    print(iteration.iteration_id, flush=True)
    for n in range(4):
        with open(sys.argv[2], "wb") as f:
            f.write(bytes([n]) * (20 << 20))
        iteration.log_artifact(sys.argv[2], "n{}".format(n))
    iteration.log_metric("loss", 0.5)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the disk fills up during the next snapshot
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
    try:
        iteration.log_artifact(sys.argv[2], "full")
    except OSError as e:
        print(e, file=sys.stderr, flush=True)
    os.kill(os.getpid(), signal.SIGKILL)
""")


def test_killed_while_uploading_then_sync_uploads_each_artifact_intact(tracking_server, mlflow_client, unique_name,
                                                                       tmp_path):
    (tmp_path / "script.py").write_text(KILLED_UPLOADING)
    proc = subprocess.run([sys.executable, str(tmp_path / "script.py"), unique_name("art"),
                           str(tmp_path / "checkpoint.bin")],
                          env=dict(os.environ, MLFLOW_TRACKING_URI=tracking_server), capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == -signal.SIGKILL and "cannot snapshot the artifact" in proc.stderr, proc.stderr
    assert "File too large" in proc.stderr and "nothing of this call was logged" in proc.stderr
    run = proc.stdout.strip()
    spool = os.path.join(os.environ["TAVRO_JOURNAL_DIR"], "artifacts")
    left = sorted(os.listdir(spool))
    assert 0 < len(left) <= 4 and not any(name.endswith(".partial") for name in left)
    mlflow_client.delete_run(run)
    refused = sync_journals(tracking_server)
    assert refused.returncode == 1 and "(refused): the run {} was deleted".format(run) in refused.stderr
    assert sorted(os.listdir(spool)) == left
    mlflow_client.restore_run(run)
    # A byte flipped on the disk after the snapshot's checksums were taken: that one is kept, never uploaded.
    with open(os.path.join(spool, left[-1], "files", "checkpoint.bin"), "r+b") as f:
        f.write(b"\xff")
    damaged = sync_journals(tracking_server)
    assert damaged.returncode == 1 and "does not match its checksum" in damaged.stderr, damaged.stderr
    assert sorted(os.listdir(spool)) == left[-1:], damaged.stderr
    shutil.rmtree(os.path.join(spool, left[-1]))
    on_server = [artifact_bytes(tracking_server, run, "n{}/checkpoint.bin".format(n)) for n in range(4)]
    assert on_server[:3] == [bytes([n]) * (20 << 20) for n in range(3)]
    assert on_server[3] in (None, bytes([3]) * (20 << 20))  # the damaged copy never went
    assert "Nothing to send" in sync_journals(tracking_server).stdout


def test_journal_read_back_whole_torn_flipped_and_unknown(endpoints, tmp_path):
    """The journal's format against its reader, in this process and in memory-sized files."""
    records = [journals.metric(seq, "m", seq * 0.5, seq) for seq in range(1, 51)]
    whole = journals.header(endpoints.url, "run") + b"".join(journals.frame(r) for r in records)
    size = len(journals.frame(records[0]))
    at = len(whole) - 20 * size + 12  # a payload byte of the 31st value
    flipped = whole[:at] + bytes([whole[at] ^ 0x40]) + whole[at + 1:]
    info = {"run_id": "run", "run_uuid": "run", "experiment_id": "0", "status": "RUNNING",
            "lifecycle_stage": "active", "start_time": 1, "artifact_uri": ""}
    endpoints.answer("/api/2.0/mlflow/runs/get?run_uuid=run&run_id=run", (200, {"run": {"info": info, "data": {}}}))
    endpoints.answer("/api/2.0/mlflow/runs/log-batch", (200, {}))
    cases = [(whole, set(range(1, 51)), 0), (whole[:-5], set(range(1, 50)), size - 5),
             (flipped, set(range(1, 51)) - {31}, size),
             (whole + journals.frame(b"Z" + bytes(8)), None, 0)]
    for data, steps, damaged in cases:
        path = tmp_path / "run.journal"
        path.write_bytes(data)
        path.chmod(0o600)
        assert sender.journal_info(path)["understood"] is (steps is not None)
        endpoints.requests.clear()
        result = sender.sync_journal(path)
        sent = {m["step"] for *_, body in endpoints.requests if body for m in json.loads(body).get("metrics", [])}
        assert (sent, result.damaged_bytes) == ((steps or set()), damaged)
        if steps is None:
            assert "holds a record of a kind this version does not know (0x5a)" in result.error and path.exists()
        else:
            assert result.error is None and result.sent == len(steps) and not path.exists()
