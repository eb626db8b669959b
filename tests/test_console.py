"""Where a run is: the console's lines, its summary on a terminal, the notebook's view, tags and the note."""
import os
import pty
import subprocess
import sys
import textwrap

import pytest

from tavro_experiment_tracking import init
from tavro_experiment_tracking.exception import ExperimentTrackingException


def test_console_lines_links_and_notebook_view(tracking_server, mlflow_client, unique_name, capsys, monkeypatch):
    experiment = init(unique_name("p"), unique_name("e"), tracking_uri=tracking_server + "/")
    iteration = experiment.get_iteration()
    assert iteration.url is None and "not started" in iteration._repr_html_()
    with iteration.start(iteration_name="<b>n</b>"):
        iteration.log_params({"lr": "0.1"})
        iteration.log_metric("loss", 0.25)
        iteration.set_tags({"team": "vision"})
        iteration.set_note("first try")
        with pytest.raises(ExperimentTrackingException, match="package's own"):
            iteration.set_tag("tavro_experiment_tracking.runName", "other")
    run = mlflow_client.get_run(iteration.iteration_id)
    url = "{}/#/experiments/{}/runs/{}".format(tracking_server, run.info.experiment_id, run.info.run_id)
    assert iteration.url == url and experiment.url == url.split("/runs/")[0]
    assert run.data.tags["team"] == "vision" and run.data.tags["mlflow.note.content"] == "first try"
    assert run.data.tags["tavro_experiment_tracking.runName"] == "<b>n</b>"  # the refused tag changed nothing
    lines = capsys.readouterr().err.splitlines()
    assert [line.rsplit(": ", 1)[1] for line in lines if line.startswith("tavro: ")] == [url, url]
    assert "started" in lines[0] and "FINISHED" in lines[-1]
    view = iteration._repr_html_()
    assert "&lt;b&gt;n&lt;/b&gt;" in view and "FINISHED" in view and url in view and "lr" in view and "0.25" in view
    assert "experiment ID" in experiment._repr_html_() and repr(experiment).startswith("<Experiment: name=")
    monkeypatch.setenv("TAVRO_CONSOLE", "0")
    iteration.start(iteration_name="quiet")
    iteration.end()
    assert capsys.readouterr().err == ""
    monkeypatch.setenv("MLFLOW_HTTP_REQUEST_MAX_RETRIES", "5")
    iteration.client.tracking_uri = "http://127.0.0.1:9"
    assert "did not answer" in iteration._repr_html_()


SUMMARY = textwrap.dedent("""
    import sys
    from tavro_experiment_tracking import init

    iteration = init("p", "summary", tracking_uri=sys.argv[1]).get_iteration()
    with iteration.start():
        for step in range(200):
            iteration.log_metric("loss", 1 / (step + 1), step=step)
""")


def test_summary_on_a_terminal_and_the_version(tracking_server, tmp_path):
    script = tmp_path / "summary.py"
    script.write_text(SUMMARY)
    controller, terminal = pty.openpty()
    proc = subprocess.run([sys.executable, str(script), tracking_server], stderr=terminal, stdout=subprocess.PIPE,
                          timeout=300)
    os.close(terminal)
    said = b""
    try:
        while chunk := os.read(controller, 65536):
            said += chunk
    except OSError:  # the terminal's other side is closed: all was read
        pass
    os.close(controller)
    said = said.decode()
    assert proc.returncode == 0 and "FINISHED after" in said
    (loss,) = [line for line in said.splitlines() if line.split()[:1] == ["loss"]]
    assert loss.split()[1] == "0.005" and loss.split()[2][0] == "█" and loss.split()[2][-1] == "▁"
    version = subprocess.run([sys.executable, "-m", "tavro_experiment_tracking", "--version"], capture_output=True,
                             text=True, timeout=60)
    assert version.stdout.strip() == "python -m tavro_experiment_tracking 0.1.0"
