"""The README's first script, run exactly as printed against the real tracking server."""
import os
import re
import subprocess
import sys

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def first_python_block():
    with open(README) as f:
        return re.search(r"^```python\n(.*?)^```$", f.read(), re.S | re.M).group(1)


def test_readme_script_runs_as_printed(tracking_server, mlflow_client, tmp_path, monkeypatch):
    (tmp_path / "first.py").write_text(first_python_block())
    # A server that serves artifacts itself hands out addresses relative to the
    # tracking address this process has set.
    monkeypatch.setenv("MLFLOW_TRACKING_URI", tracking_server)
    env = dict(os.environ, MLFLOW_TRACKING_URI=tracking_server)
    # Twice: each run of the script makes a run of its own, and says where to see it.
    addresses = []
    for _ in range(2):
        done = subprocess.run([sys.executable, "first.py"], cwd=tmp_path, env=env, capture_output=True, text=True,
                              timeout=300)
        assert done.returncode == 0, done.stderr
        addresses.append(done.stdout.strip())
    experiment = mlflow_client.get_experiment_by_name("my-experiment")
    runs = mlflow_client.search_runs([experiment.experiment_id])
    assert sorted(addresses) == sorted("See it at {}/#/experiments/{}/runs/{}".format(
        tracking_server, experiment.experiment_id, run.info.run_id) for run in runs)
    for run in runs:
        assert run.info.status == "FINISHED"
        assert run.data.tags["tavro_experiment_tracking.projectName"] == "my-project"
        assert run.data.params == {"learning_rate": "0.01", "epochs": "3"}
        history = mlflow_client.get_metric_history(run.info.run_id, "loss")
        assert sorted((m.step, m.value) for m in history) == [(0, 0.9), (1, 0.5), (2, 0.3)]
        assert [a.path for a in mlflow_client.list_artifacts(run.info.run_id)] == ["model.txt"]
