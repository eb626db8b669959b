"""The Lightning and Hugging Face integrations, each with a real fit on torch
against a server that proxies its artifacts (make test-integrations)."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from tavro_experiment_tracking.tracking.client import _with_tracking_uri

from servers import free_port, start_tracking_server, stop_tracking_server

pytest.importorskip("torch")

LIGHTNING_FIT = textwrap.dedent("""
    import sys
    import torch
    import lightning.pytorch as pl
    from lightning.pytorch.utilities.rank_zero import rank_zero_only
    from tavro_experiment_tracking import config, init
    from tavro_experiment_tracking.integrations.lightning import LightningLogger

    if sys.argv[2] == "rank":  # rank 1 of a job: no run of its own; into one it started, under its rank
        rank_zero_only.rank = 1
        experiment = init("ranks", sys.argv[1])
        idle = LightningLogger(experiment.get_iteration())
        idle.log_hyperparams({"lr": 0.1})
        idle.log_metrics({"loss": 1.0}, step=0)
        assert idle.version is None and idle.iteration.iteration_id is None
        iteration = experiment.get_iteration()
        with iteration.start(iteration_name="shared"):
            LightningLogger(iteration).log_metrics({"loss": 2.0}, step=1)
        sys.exit(print(iteration.iteration_id))

    class Tiny(pl.LightningModule):
        def __init__(self, **hparams):
            super().__init__()
            self.save_hyperparameters()
            self.layer = torch.nn.Linear(4, 1)
            self.loss = lambda batch: torch.nn.functional.mse_loss(self.layer(batch[0]).squeeze(1), batch[1])
            self.configure_optimizers = lambda: torch.optim.SGD(self.parameters(), lr=0.1)

        def training_step(self, batch, index):
            if self.global_step == 3 and sys.argv[2] != "fit":
                raise {"stop": KeyboardInterrupt, "fail": ValueError}[sys.argv[2]]()
            self.log("train loss/mse", self.loss(batch))
            return self.loss(batch)

        def validation_step(self, batch, index):
            self.log("val_loss", self.loss(batch))

    # Debian's torch 1.13 cannot import its sharded tensors on Python 3.11
    # (a dataclass default Python 3.11 refuses); this fit shards nothing.
    pl.LightningModule._register_sharded_tensor_state_dict_hooks_if_available = lambda self: None
    config.use_async_logging()
    x = torch.randn(64, 4)
    data = torch.utils.data.DataLoader(list(zip(x, x.sum(1))), batch_size=8)
    iteration = init("fits", sys.argv[1]).get_iteration()
    trainer = pl.Trainer(max_epochs=2, logger=LightningLogger(iteration, checkpoint=True), default_root_dir=sys.argv[3],
                         enable_progress_bar=False, enable_model_summary=False, log_every_n_steps=2,
                         callbacks=[pl.callbacks.ModelCheckpoint(monitor="val_loss")])
    model = Tiny(net={"width": 4, "act": None}, note="n" * 10000)
    if sys.argv[2] == "stop":  # Ctrl-C in a run the script started
        with iteration.start(iteration_name="stopped"):
            trainer.fit(model, data, data)
    else:
        try:
            trainer.fit(model, data, data)
        except ValueError:
            pass
    print(iteration.iteration_id)
""")

TRANSFORMERS_TRAIN = textwrap.dedent("""
    import sys
    import torch
    from transformers import BertConfig, BertForSequenceClassification, Trainer, TrainingArguments
    from tavro_experiment_tracking import init
    from tavro_experiment_tracking.integrations.transformers import TransformersCallback

    data = [{"input_ids": torch.tensor([i % 7 + 1, 2, 3, 4]), "labels": torch.tensor(i % 2)} for i in range(32)]
    model = BertForSequenceClassification(BertConfig(vocab_size=16, hidden_size=8, num_hidden_layers=1,
                                                     num_attention_heads=2, intermediate_size=16))
    iteration = init("hf", sys.argv[1]).get_iteration()
    args = TrainingArguments(sys.argv[2], max_steps=6, per_device_train_batch_size=8, logging_steps=2, save_steps=3,
                             report_to="none", run_name="r" * 10000, use_cpu=True, disable_tqdm=True)
    trainer = Trainer(model, args, train_dataset=data, callbacks=[TransformersCallback(iteration, checkpoint=True)])
    trainer.train()
    trainer.train()  # again: into the same run
    print(iteration.iteration_id)
""")


@pytest.fixture(scope="module")
def proxied(tmp_path_factory):
    """A server proxying its artifacts, and a client of it."""
    from mlflow.tracking import MlflowClient

    proc, uri, _ = start_tracking_server(str(tmp_path_factory.mktemp("proxied")), free_port(), serve_artifacts=True)
    yield uri, MlflowClient(uri)
    stop_tracking_server(proc)


def run_script(script, tmp_path, uri, *args):
    (tmp_path / "script.py").write_text(script)
    env = dict(os.environ, MLFLOW_TRACKING_URI=uri, HF_HUB_OFFLINE="1", TOKENIZERS_PARALLELISM="false")
    done = subprocess.run([sys.executable, str(tmp_path / "script.py"), *args], capture_output=True, env=env,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-4000:]
    return done.stdout.split()[-1], done.stderr


def test_lightning_fit_logs_hyperparameters_whole_metrics_and_checkpoints_and_ends_as_the_fit(
        proxied, unique_name, tmp_path):
    uri, client = proxied
    name = unique_name("fits")
    run_id, stderr = run_script(LIGHTNING_FIT, tmp_path, uri, name, "fit", str(tmp_path))
    run = client.get_run(run_id)
    assert run.info.status == "FINISHED" and (run.data.params["net.width"], run.data.params["net.act"]) == ("4", "None")
    assert run.data.params["note"] == "n" * 499 + "\u2026" and "hyperparameters.json: note" in stderr
    whole = _with_tracking_uri(uri, client.download_artifacts, run_id, "hyperparameters.json", str(tmp_path))
    with open(whole) as f:
        assert json.load(f) == {"note": "n" * 10000}
    assert [m.step for m in client.get_metric_history(run_id, "train loss/mse")] == [1, 3, 5, 7, 9, 11, 13, 15]
    assert len(client.get_metric_history(run_id, "val_loss")) == 2
    assert _with_tracking_uri(uri, client.list_artifacts, run_id, "checkpoints")[0].path.endswith(".ckpt")
    stopped, _ = run_script(LIGHTNING_FIT, tmp_path, uri, name, "stop", str(tmp_path))
    failed, _ = run_script(LIGHTNING_FIT, tmp_path, uri, name, "fail", str(tmp_path))
    assert [client.get_run(r).info.status for r in (stopped, failed)] == ["KILLED", "FAILED"]
    # A rank other than 0 logs only into a run it started itself.
    ranked = client.get_run(run_script(LIGHTNING_FIT, tmp_path, uri, name + "-ranks", "rank", "")[0])
    assert ranked.data.metrics == {"rank_1/loss": 2.0} and ranked.data.params == {}
    assert len(client.search_runs([ranked.info.experiment_id])) == 1


def test_transformers_training_logs_steps_arguments_and_checkpoints_into_one_run(proxied, unique_name, tmp_path):
    uri, client = proxied
    run_id, _ = run_script(TRANSFORMERS_TRAIN, tmp_path, uri, unique_name("hf"), str(tmp_path / "out"))
    run = client.get_run(run_id)
    assert len(client.search_runs([run.info.experiment_id])) == 1 and run.info.status == "FINISHED"
    assert run.data.params["max_steps"] == "6" and run.data.params["run_name"] == "r" * 499 + "\u2026"
    assert sorted({m.step for m in client.get_metric_history(run_id, "loss")}) == [2, 4, 6]
    assert "train_runtime" in run.data.metrics
    listed = _with_tracking_uri(uri, client.list_artifacts, run_id, "checkpoints")
    assert [a.path for a in listed] == ["checkpoints/checkpoint-3", "checkpoints/checkpoint-6"]
