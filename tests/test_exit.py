"""Iterations left running end when the interpreter exits: real scripts against the real server."""
import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

# Every way a script can leave a run open, one that ended its run, and one
# whose run another client ended. A forked child exits on the way: it must
# leave its parent's runs alone.
SCRIPT = textwrap.dedent("""
    import json, os, sys
    from mlflow.tracking import MlflowClient
    from tavro_experiment_tracking import init

    experiment = init(sys.argv[1], sys.argv[2])
    ids = {}
    started = experiment.get_iteration()
    started.start(iteration_name="started")
    ids["started"] = started.iteration_id
    auto = experiment.get_iteration()
    auto.log_param("p", 1)                          # starts its run
    ids["auto"] = auto.iteration_id
    resumed = experiment.get_iteration()
    resumed.start(iteration_id=sys.argv[3])         # reopens a run ended earlier
    ids["resumed"] = resumed.iteration_id
    ended = experiment.get_iteration()
    ended.start(iteration_name="ended")
    ended.end("KILLED")
    ids["ended"] = ended.iteration_id
    elsewhere = experiment.get_iteration()
    elsewhere.start(iteration_name="elsewhere")
    MlflowClient().set_terminated(elsewhere.iteration_id, "FAILED")
    ids["elsewhere"] = elsewhere.iteration_id

    child = os.fork()
    if child == 0:
        sys.exit(0)
    os.waitpid(child, 0)
    ids["after_fork"] = MlflowClient().get_run(started.iteration_id).info.status
    print(json.dumps(ids), flush=True)
""")


def run_script(tmp_path, source, args, env):
    path = tmp_path / "script.py"
    path.write_text(source)
    return subprocess.run([sys.executable, str(path), *args], env=env, capture_output=True, text=True,
                          timeout=300)


@pytest.mark.parametrize("ending, code, status", [
    ("", 0, "FINISHED"),
    ("raise RuntimeError('training diverged')", 1, "FAILED"),
    ("raise KeyboardInterrupt", -2, "KILLED"),  # the interpreter ends itself with SIGINT
])
def test_open_iterations_end_at_exit(tracking_server, mlflow_client, unique_name, tmp_path, ending, code, status):
    experiment_name = unique_name("exit")
    old = mlflow_client.create_run(mlflow_client.create_experiment(experiment_name)).info.run_id
    mlflow_client.set_terminated(old, "FINISHED")
    env = dict(os.environ, MLFLOW_TRACKING_URI=tracking_server)
    done = run_script(tmp_path, SCRIPT + ending + "\n", [unique_name("proj"), experiment_name, old], env)
    assert done.returncode == code, done.stderr
    ids = json.loads(done.stdout)
    assert ids["after_fork"] == "RUNNING"
    assert ids["resumed"] == old
    statuses = {key: mlflow_client.get_run(ids[key]).info.status
                for key in ("started", "auto", "resumed", "ended", "elsewhere")}
    assert statuses == {"started": status, "auto": status, "resumed": status,
                        "ended": "KILLED", "elsewhere": "FAILED"}
    assert "Could not mark" not in done.stderr


def test_server_gone_at_exit_costs_one_request_and_loses_nothing(relay, mlflow_client, unique_name, tmp_path):
    script = textwrap.dedent("""
        import sys
        from tavro_experiment_tracking import init

        experiment = init(sys.argv[1], sys.argv[2])
        first, second = experiment.get_iteration(), experiment.get_iteration()
        first.log_param("lr", 0.1)
        second.log_metric("loss", 0.5)
        print(first.iteration_id, second.iteration_id, flush=True)
        sys.stdin.readline()                        # the server goes away now
    """)
    (tmp_path / "script.py").write_text(script)
    # Retries would each be another request (and minutes with the default back-off).
    env = dict(os.environ, MLFLOW_TRACKING_URI="http://127.0.0.1:{}".format(relay.server_port),
               MLFLOW_HTTP_REQUEST_MAX_RETRIES="3", MLFLOW_HTTP_REQUEST_BACKOFF_FACTOR="0")
    experiment_name = unique_name("gone")
    proc = subprocess.Popen([sys.executable, str(tmp_path / "script.py"), unique_name("proj"), experiment_name],
                            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert line, proc.communicate(timeout=300)[1]
        first, second = line.split()
        relay.gone = True
        _, stderr = proc.communicate("\n", timeout=300)
    finally:
        proc.kill()
    assert proc.returncode == 0, stderr
    # One attempt for the first run; the second is not tried against a server that did not answer.
    assert relay.requests_while_gone == 1
    assert "Could not mark iteration {} as FINISHED at exit: ".format(first) in stderr
    assert "Could not mark iteration {} as FINISHED at exit: the tracking server at".format(second) in stderr
    runs = {run_id: mlflow_client.get_run(run_id) for run_id in (first, second)}
    assert [run.info.status for run in runs.values()] == ["RUNNING", "RUNNING"]
    assert runs[first].data.params == {"lr": "0.1"} and runs[second].data.metrics == {"loss": 0.5}


STOPPED_SCRIPT = textwrap.dedent("""
    import signal, sys, time
    from tavro_experiment_tracking import init

    if sys.argv[3] == "own":  # the program's handler, installed before the first run
        def stop(signum, frame):
            print("own handler", flush=True)
            sys.exit(143)
        signal.signal(signal.SIGTERM, stop)
    iteration = init(sys.argv[1], sys.argv[2]).get_iteration()
    with iteration.start():
        print(iteration.iteration_id, flush=True)
        time.sleep(120)
""")


@pytest.mark.parametrize("handler, code", [("default", -signal.SIGTERM), ("own", 143)])
def test_sigterm_ends_the_open_run_killed(tracking_server, mlflow_client, unique_name, tmp_path, handler, code):
    (tmp_path / "script.py").write_text(STOPPED_SCRIPT)
    args = [sys.executable, str(tmp_path / "script.py"), unique_name("proj"), unique_name("e"), handler]
    proc = subprocess.Popen(args, env=dict(os.environ, MLFLOW_TRACKING_URI=tracking_server), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        run_id = proc.stdout.readline().strip()
        assert run_id, proc.communicate(timeout=60)[1]
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=10)  # a scheduler's SIGKILL follows some 30 s later
    finally:
        proc.kill()
    assert proc.returncode == code, err  # -SIGTERM: killed by the signal, 143 to a shell
    assert ("own handler" in out) == (handler == "own")
    info = mlflow_client.get_run(run_id).info
    assert info.status == "KILLED" and info.end_time


def test_server_gone_in_a_block_costs_one_more_request_and_the_run_still_fails(relay, mlflow_client, unique_name,
                                                                               tmp_path):
    script = textwrap.dedent("""
        import sys
        from tavro_experiment_tracking import init

        iteration = init(sys.argv[1], sys.argv[2]).get_iteration()
        try:
            with iteration.start():
                print(iteration.iteration_id, flush=True)
                sys.stdin.readline()                # the server goes away now
                iteration.log_metric("loss", 0.5)   # fails after its retries
        except Exception:
            print("failed", flush=True)
            sys.stdin.readline()                    # the server is back
    """)
    (tmp_path / "script.py").write_text(script)
    env = dict(os.environ, MLFLOW_TRACKING_URI="http://127.0.0.1:{}".format(relay.server_port),
               MLFLOW_HTTP_REQUEST_MAX_RETRIES="2", MLFLOW_HTTP_REQUEST_BACKOFF_FACTOR="0")
    proc = subprocess.Popen([sys.executable, str(tmp_path / "script.py"), unique_name("proj"), unique_name("e")],
                            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        run_id = proc.stdout.readline().strip()
        assert run_id, proc.communicate(timeout=60)[1]
        relay.gone = True
        proc.stdin.write("\n")
        proc.stdin.flush()
        assert proc.stdout.readline() == "failed\n"
        requests_while_gone = relay.requests_while_gone
        relay.gone = False
        _, stderr = proc.communicate("\n", timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0, stderr
    assert requests_while_gone == 3 + 1  # the failing call's three attempts, then one to end the run
    assert mlflow_client.get_run(run_id).info.status == "FAILED"  # tried again at exit, not FINISHED


def test_exit_goes_on_past_entries_it_cannot_end(mlflow_client, tracking_server, unique_name):
    from tavro_experiment_tracking.tracking import client

    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    run = mlflow_client.create_run(mlflow_client.create_experiment(unique_name("exit"))).info.run_id
    client._open_iterations.update({Unprintable(): (tracking_server, os.getpid(), None), "x": "not an entry",
                                    run: (tracking_server, os.getpid(), None)})
    client._end_open_iterations()
    assert mlflow_client.get_run(run).info.status == "FINISHED" and client._open_iterations == {}
