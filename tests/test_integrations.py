"""The frameworks' integrations, each with a real run of its framework against the real server."""
import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest

from tavro_experiment_tracking.tracking.client import _with_tracking_uri

# Real fits and studies are the frameworks' code: the sanitizers look at ours
# through the fuzz harness and the rest of the suite.
pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="a real fit or study is not what the sanitizers are for")

# A worker of a sweep spread over processes: the study lives in a database
# both workers share, each runs trials on two threads.
OPTUNA_WORKER = textwrap.dedent("""
    import sys
    import optuna
    from tavro_experiment_tracking import init
    from tavro_experiment_tracking.integrations.optuna import OptunaCallback

    optuna.logging.set_verbosity(optuna.logging.ERROR)
    experiment = init("sweep", sys.argv[1])

    def objective(trial):
        x = trial.suggest_float("x", -10, 10)
        trial.report(x * x, step=0)
        if trial.number % 5 == 3:
            raise ValueError("diverged")
        if trial.number % 5 == 4:
            raise optuna.TrialPruned()
        return (x - 2) ** 2

    study = optuna.load_study(study_name="s", storage=sys.argv[2])
    study.optimize(objective, n_trials=5, n_jobs=2, callbacks=[OptunaCallback(experiment)], catch=(ValueError,))
""")


def test_optuna_trials_are_one_iteration_each_whichever_worker_ran_them(tracking_server, mlflow_client, unique_name,
                                                                       tmp_path):
    optuna = pytest.importorskip("optuna")
    storage = "sqlite:///" + str(tmp_path / "study.db")
    optuna.create_study(study_name="s", storage=storage)
    (tmp_path / "worker.py").write_text(OPTUNA_WORKER)
    experiment_name = unique_name("sweep")
    env = dict(os.environ, MLFLOW_TRACKING_URI=tracking_server)
    workers = [subprocess.Popen([sys.executable, str(tmp_path / "worker.py"), experiment_name, storage], env=env,
                                stderr=subprocess.PIPE, text=True) for _ in range(2)]
    errors = [w.communicate(timeout=300)[1] for w in workers]
    assert [w.returncode for w in workers] == [0, 0], errors
    trials = optuna.load_study(study_name="s", storage=storage).trials
    eid = mlflow_client.get_experiment_by_name(experiment_name).experiment_id
    runs = {r.data.tags["tavro_experiment_tracking.runName"]: r for r in mlflow_client.search_runs([eid])}
    assert sorted(runs) == sorted("s-trial-{}".format(t.number) for t in trials) and len(trials) == 10
    expected = {"COMPLETE": "FINISHED", "FAIL": "FAILED", "PRUNED": "KILLED"}
    for trial in trials:
        run = runs["s-trial-{}".format(trial.number)]
        assert (run.info.status, run.data.tags["optuna.state"]) == (expected[trial.state.name], trial.state.name)
        assert run.data.params == {"x": str(trial.params["x"])}
        # A pruned trial's value is its last report; a failed one has none.
        assert run.data.metrics.get("value") == trial.value
        assert run.data.metrics["intermediate_value"] == trial.params["x"] ** 2


KERAS_FIT = textwrap.dedent("""
    import sys
    import keras
    import numpy as np
    from tavro_experiment_tracking import config, init
    from tavro_experiment_tracking.integrations.keras import KerasCallback

    config.use_async_logging()
    iteration = init("fits", sys.argv[1]).get_iteration()
    model = keras.Sequential([keras.Input((4,)), keras.layers.Dense(1)])
    model.compile(keras.optimizers.SGD(learning_rate=0.01), "mse")
    # What other callbacks put in the logs: a name with a slash and a space, and text.
    extra = keras.callbacks.LambdaCallback(
        on_epoch_end=lambda epoch, logs: logs.update({"lr now/x 1": 0.5, "note": "warm"}))
    x = np.random.default_rng(0).normal(size=(64, 4))
    with iteration.start(iteration_name="fit"):
        model.fit(x, x.sum(axis=1), epochs=3, batch_size=8, validation_split=0.25, verbose=0,
                  callbacks=[extra, KerasCallback(iteration, log_every_n_batches=2, checkpoint=True)])
    print(iteration.iteration_id)
""")


def test_keras_fit_logs_epochs_batches_configuration_and_the_best_checkpoint(tracking_server, mlflow_client,
                                                                             unique_name, tmp_path):
    if importlib.util.find_spec("keras") is None or os.environ.get("TAVRO_TEST_BACKEND", "sqlite") != "sqlite":
        pytest.skip("needs Keras; the fit logs as on any server (the team's server runs the sweep's test)")
    (tmp_path / "fit.py").write_text(KERAS_FIT)
    done = subprocess.run([sys.executable, str(tmp_path / "fit.py"), unique_name("fits")], capture_output=True,
                          env=dict(os.environ, MLFLOW_TRACKING_URI=tracking_server), text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    run_id = done.stdout.split()[-1]
    run = mlflow_client.get_run(run_id)
    assert run.info.status == "FINISHED" and run.data.params["model.parameters"] == "5"
    assert abs(float(run.data.params["optimizer.learning_rate"]) - 0.01) < 1e-6
    for key, steps in (("loss", [0, 1, 2]), ("val_loss", [0, 1, 2]), ("lr now/x 1", [0, 1, 2]),
                       ("batch/loss", [2, 4, 6, 8, 10, 12, 14, 16, 18])):
        assert sorted(m.step for m in mlflow_client.get_metric_history(run_id, key)) == steps, key
    assert "note" not in run.data.metrics and "Keras log 'note' is not a number ('warm')" in done.stderr
    listed = _with_tracking_uri(tracking_server, mlflow_client.list_artifacts, run_id, "checkpoints")
    assert [a.path for a in listed] == ["checkpoints/best.keras"]
