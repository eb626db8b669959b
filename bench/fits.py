"""What the integrations cost a fit: the wall time of a framework's fit with
the integration logging every batch (background logging) against the same
fit without it (goal: at most 1.02), and against the fit with a callback or
logger that does nothing (what the framework itself spends on having one).

A Keras fit (jax's CPU backend) of a small dense model, and with
`--torch-python` (the environment of `make test-integrations`) the same for a
Lightning fit. Each side runs in one process against one tracking server
(SQLite): a warm-up fit, then `--rounds` rounds of three fits (none, the
empty one, ours), the ratios taken of the medians. The time until the
values are all on the server after the last fit is printed beside it; it is
not the fit's.

    .venv/bin/python bench/fits.py [--batches 400] [--rounds 5] [--torch-python .venv-torch/bin/python]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

COMMON = textwrap.dedent("""
    import json, statistics, sys, time
    import numpy as np
    from tavro_experiment_tracking import config, init
    config.use_async_logging()
    batches, rounds = int(sys.argv[2]), int(sys.argv[3])
    iteration = init("bench", "fits", tracking_uri=sys.argv[1]).get_iteration()
    iteration.start()
    x = np.random.default_rng(0).normal(size=(batches * 32, 32)).astype("float32")
    y = x.sum(axis=1, keepdims=True)

    def timed(side):
        started = time.perf_counter()
        fit(side)
        return time.perf_counter() - started

    def report():
        fit("ours")
        iteration.flush(timeout=600)
        times = {"none": [], "empty": [], "ours": []}
        drained = []
        for _ in range(rounds):
            for side in times:
                times[side].append(timed(side))
            # What the fit left to send goes before the next round, so that
            # no fit shares the machine with an earlier one's sending.
            started = time.perf_counter()
            iteration.flush(timeout=600)
            drained.append(time.perf_counter() - started)
        drained = statistics.median(drained)
        iteration.end()
        print(json.dumps(dict({side: statistics.median(t) for side, t in times.items()}, drained=drained)))
""")

KERAS = COMMON + textwrap.dedent("""
    import keras
    from tavro_experiment_tracking.integrations.keras import KerasCallback
    model = keras.Sequential([keras.Input((32,)), keras.layers.Dense(64, activation="relu"), keras.layers.Dense(1)])
    model.compile("adam", "mse")
    callbacks = {"none": [], "ours": [KerasCallback(iteration, log_every_n_batches=1)],
                 "empty": [keras.callbacks.LambdaCallback(on_train_batch_end=lambda batch, logs: None)]}

    def fit(side):
        model.fit(x, y, batch_size=32, epochs=1, verbose=0, callbacks=callbacks[side])

    report()
""")

LIGHTNING = COMMON + textwrap.dedent("""
    import logging
    import warnings
    import torch
    import lightning.pytorch as pl
    from torch.utils.data import DataLoader, TensorDataset
    from tavro_experiment_tracking.integrations.lightning import LightningLogger
    # Debian's torch 1.13 cannot import its sharded tensors on Python 3.11; nothing here is sharded.
    pl.LightningModule._register_sharded_tensor_state_dict_hooks_if_available = lambda self: None
    logging.getLogger("lightning.pytorch").setLevel(logging.ERROR)
    warnings.filterwarnings("ignore")
    data = DataLoader(TensorDataset(torch.from_numpy(x), torch.from_numpy(y)), batch_size=32)

    class Small(pl.LightningModule):
        def __init__(self):
            super().__init__()
            self.net = torch.nn.Sequential(torch.nn.Linear(32, 64), torch.nn.ReLU(), torch.nn.Linear(64, 1))

        def training_step(self, batch, index):
            loss = torch.nn.functional.mse_loss(self.net(batch[0]), batch[1])
            self.log("loss", loss)
            return loss

        def configure_optimizers(self):
            return torch.optim.Adam(self.parameters())

    class Empty(pl.loggers.Logger):
        name, version = "empty", "0"

        def log_metrics(self, metrics, step=None):
            pass

        def log_hyperparams(self, params, *args, **kwargs):
            pass

    model = Small()
    loggers = {"none": False, "empty": Empty(), "ours": LightningLogger(iteration)}

    def fit(side):
        pl.Trainer(max_epochs=1, logger=loggers[side], log_every_n_steps=1, enable_checkpointing=False,
                   enable_progress_bar=False, enable_model_summary=False).fit(model, data)

    report()
""")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--batches", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--torch-python", help="a Python with torch and Lightning (make test-integrations makes one)")
    args = parser.parse_args()
    from servers import free_port, start_tracking_server, stop_tracking_server

    work = tempfile.mkdtemp(prefix="bench-fits-")
    proc, uri, _ = start_tracking_server(work, free_port())
    sides = [("Keras", sys.executable, KERAS)]
    if args.torch_python:
        sides.append(("Lightning", args.torch_python, LIGHTNING))
    print("fits of {} batches, logging every batch in the background; medians of {} rounds; server {}".format(
        args.batches, args.rounds, uri))
    print("{:<10} {:>10} {:>10} {:>10} {:>10} {:>10} {:>10}".format(
        "framework", "none s", "empty s", "ours s", "/none", "/empty", "drained s"))
    failed = False
    try:
        for name, python, script in sides:
            env = dict(os.environ, TAVRO_JOURNAL_DIR=os.path.join(work, name), TAVRO_CONSOLE="0",
                       KERAS_BACKEND=os.environ.get("KERAS_BACKEND", "jax"))
            run = subprocess.run([python, "-c", script, uri, str(args.batches), str(args.rounds)],
                                 capture_output=True, text=True, env=env, timeout=3600)
            if run.returncode != 0:
                print("{:<10} failed: {}".format(name, run.stderr[-2000:]))
                failed = True
                continue
            out = json.loads(run.stdout.strip().splitlines()[-1])
            ratio = out["ours"] / out["none"]
            print("{:<10} {:>10.3f} {:>10.3f} {:>10.3f} {:>10.3f} {:>10.3f} {:>10.3f}{}".format(
                name, out["none"], out["empty"], out["ours"], ratio, out["ours"] / out["empty"], out["drained"],
                "" if ratio <= 1.02 else "  over 1.02"))
    finally:
        stop_tracking_server(proc)
        subprocess.run(["rm", "-rf", work])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
