"""Logging in the background, against the real tracking server: order,
batching, a server away, refusals, the endings of runs and of processes."""
import math
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from tavro_experiment_tracking import config
from tavro_experiment_tracking.exception import ExperimentTrackingException
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
        _, stderr = proc.communicate("\n", timeout=30)
    finally:
        proc.kill()
    took, relay.gone = time.monotonic() - started, False
    child = mlflow_client.get_run(child_run)
    assert child.info.status == "FINISHED" and child.data.metrics == {"child": 1.0}
    info, history = mlflow_client.get_run(run).info, mlflow_client.get_metric_history(run, "loss")
    if ending == "sigterm":
        assert proc.returncode == -signal.SIGTERM and info.status == "KILLED"
        assert [m.step for m in history] == list(range(900))  # every value, once, before the status
    else:
        # The exit waits its 2 s for the queue, then gives up what is left, saying so.
        assert proc.returncode == 0 and took < 15 and history == []
        assert "900 values logged in the background were not sent" in stderr


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
