"""Many processes, one run: processes starting one new name at the same moment, and the ranks of a job."""
import os
import subprocess
import sys
import textwrap
import uuid

from mlflow.entities import ViewType

from tavro_experiment_tracking import init

# Forks its writers after the imports (none has spoken to the server yet),
# lets them all start the name at once, half of them logging in the
# background, and prints each one's exit status.
AT_ONCE = textwrap.dedent("""
    import os, sys
    from tavro_experiment_tracking import config, init

    project, experiment_name, name, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    go_read, go_write = os.pipe()
    children = []
    for worker in range(count):
        pid = os.fork()
        if pid == 0:
            os.close(go_write)
            if worker % 2:
                config.use_async_logging()
            iteration = init(project, experiment_name).get_iteration()
            os.read(go_read, 1)
            with iteration.start(iteration_name=name):
                iteration.log_params({"lr": "0.1"})
                iteration.log_metric("worker", worker, step=worker)
            os._exit(0)
        children.append(pid)
    os.close(go_read)
    os.write(go_write, b"x" * count)
    print(sorted(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in children))
""")

# Four ranks of a job, as a launcher starts them (forked after the imports):
# rank 2 raises; then the ranks but 2 start a run without a name, per job.
RANKS = textwrap.dedent("""
    import os, sys, traceback
    from tavro_experiment_tracking import init

    children = []
    for rank in range(4):
        pid = os.fork()
        if pid == 0:
            os.environ.update(RANK=str(rank), LOCAL_RANK=str(rank), WORLD_SIZE="4", TORCHELASTIC_RUN_ID=sys.argv[4])
            try:
                iteration = init(sys.argv[1], sys.argv[2]).get_iteration()
                with iteration.start(iteration_name=sys.argv[3]):
                    iteration.log_metric("rank", rank, step=rank)
                    if rank == 2:
                        raise RuntimeError("rank 2 diverged")
                job = iteration.start(per_job=True)
                iteration.log_metric("rank", rank, step=rank)
                iteration.end()
                os.write(1, (job.info.run_id + "\\n").encode())  # one write: the ranks share the pipe
                os._exit(0)
            except BaseException:
                traceback.print_exc()
                os._exit(1)
        children.append(pid)
    print([os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in children], flush=True)
""")


def named(client, experiment_name, name, view=ViewType.ACTIVE_ONLY):
    eid = client.get_experiment_by_name(experiment_name).experiment_id
    return client.search_runs([eid], "tags.`tavro_experiment_tracking.runName` = '{}'".format(name), run_view_type=view)


def test_processes_starting_one_new_name_at_once_get_one_run_with_every_value(tracking_server, mlflow_client,
                                                                             unique_name, tmp_path):
    experiment_name, name, count = unique_name("e"), unique_name("shared"), 24
    script = tmp_path / "at_once.py"
    script.write_text(AT_ONCE)
    env = dict(os.environ, MLFLOW_TRACKING_URI=tracking_server)
    done = subprocess.run([sys.executable, str(script), unique_name("p"), experiment_name, name, str(count)],
                          env=env, capture_output=True, text=True, timeout=600)
    assert done.stdout.strip() == str([0] * count), done.stderr[-3000:]
    (run,) = named(mlflow_client, experiment_name, name)
    history = mlflow_client.get_metric_history(run.info.run_id, "worker")
    assert sorted(m.step for m in history) == list(range(count)) and run.data.params == {"lr": "0.1"}
    assert run.info.status == "FINISHED"
    # The runs that lost are deleted, never written to; the next start of the name opens the one that won.
    losers = [r for r in named(mlflow_client, experiment_name, name, ViewType.ALL) if r.info.run_id != run.info.run_id]
    assert all(r.info.lifecycle_stage == "deleted" and not r.data.metrics and not r.data.params for r in losers)
    again = init(unique_name("p"), experiment_name, tracking_uri=tracking_server).get_iteration()
    assert again.start(iteration_name=name).info.run_id == run.info.run_id


def test_ranks_of_a_job_share_one_run_ended_once_with_the_worst_status(tracking_server, mlflow_client, unique_name,
                                                                       tmp_path):
    experiment_name, name = unique_name("e"), unique_name("ranks")
    script = tmp_path / "ranks.py"
    script.write_text(RANKS)
    done = subprocess.run([sys.executable, str(script), unique_name("p"), experiment_name, name, uuid.uuid4().hex],
                          env=dict(os.environ, MLFLOW_TRACKING_URI=tracking_server), capture_output=True, text=True,
                          timeout=600)
    assert done.stdout.strip().endswith("[0, 0, 1, 0]") and "rank 2 diverged" in done.stderr, done.stderr[-3000:]
    (run,) = named(mlflow_client, experiment_name, name)
    assert run.info.status == "FAILED"
    assert sorted(m.step for m in mlflow_client.get_metric_history(run.info.run_id, "rank")) == [0, 1, 2, 3]
    ended = [v.split()[0] for k, v in run.data.tags.items() if k.startswith("tavro_experiment_tracking.rank.")]
    assert sorted(ended) == ["FAILED", "FINISHED", "FINISHED", "FINISHED"]
    # Without a name, the ranks that asked for it share the job's run.
    (job_run,) = set(done.stdout.splitlines()[:-1])
    assert mlflow_client.get_run(job_run).info.status == "FINISHED"
    assert sorted(m.step for m in mlflow_client.get_metric_history(job_run, "rank")) == [0, 1, 3]
