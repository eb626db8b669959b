"""Track a small training run: parameters, per-epoch metrics and a CSV artifact.

Trains a logistic-regression model written with numpy on a synthetic data set,
records it as one iteration, then resumes that iteration by its name and adds
a final metric. From the repository root, in a fresh shell (``make demo``
builds everything and leaves a tracking server running; its address is in
``demo-server/server.uri``)::

    make demo
    MLFLOW_TRACKING_URI=$(cat demo-server/server.uri) .venv/bin/python examples/train_tiny_model.py

Without ``MLFLOW_TRACKING_URI`` the script talks to http://localhost:5000.
"""
import csv
import os
import tempfile
import time

import numpy as np

from tavro_experiment_tracking import context, init

SEED = 7
EPOCHS = 8
LEARNING_RATE = 0.5
SAMPLES = 400


def make_data(rng):
    """Two Gaussian clouds in the plane, labelled 0 and 1."""
    half = SAMPLES // 2
    x = np.vstack([rng.normal(-1.0, 1.0, size=(half, 2)), rng.normal(1.0, 1.0, size=(half, 2))])
    y = np.concatenate([np.zeros(half), np.ones(half)])
    order = rng.permutation(SAMPLES)
    return x[order], y[order]


def sigmoid(z):
    return 1.0 / (1.0 + np.exp(-z))


def loss_and_accuracy(w, b, x, y):
    p = np.clip(sigmoid(x @ w + b), 1e-12, 1 - 1e-12)
    loss = -np.mean(y * np.log(p) + (1 - y) * np.log(1 - p))
    return float(loss), float(np.mean((p >= 0.5) == y))


def main():
    # The server: MLFLOW_TRACKING_URI when it is set, else http://localhost:5000.
    experiment = init("tiny-models", "logistic-regression")

    rng = np.random.default_rng(SEED)
    x, y = make_data(rng)
    split = int(0.8 * SAMPLES)
    x_train, y_train, x_test, y_test = x[:split], y[:split], x[split:], y[split:]

    # A new name each time, so every execution records its own iteration.
    name = "logreg-" + time.strftime("%Y%m%d-%H%M%S")
    iteration = experiment.get_iteration()
    history = []
    # Leaving the block ends the iteration: FINISHED, or FAILED on an error.
    with iteration.start(iteration_name=name, tags={"framework": "numpy"}):
        iteration.log_params({"model": "logistic-regression", "epochs": EPOCHS,
                              "learning_rate": LEARNING_RATE, "samples": SAMPLES, "seed": SEED})
        w, b = np.zeros(2), 0.0
        for epoch in range(1, EPOCHS + 1):
            p = sigmoid(x_train @ w + b)
            w -= LEARNING_RATE * x_train.T @ (p - y_train) / len(y_train)
            b -= LEARNING_RATE * float(np.mean(p - y_train))
            train_loss, train_accuracy = loss_and_accuracy(w, b, x_train, y_train)
            history.append((epoch, train_loss, train_accuracy))
            iteration.log_metrics({"train_loss": train_loss, "train_accuracy": train_accuracy}, step=epoch)
            print("epoch {}: loss {:.4f}, accuracy {:.3f}".format(epoch, train_loss, train_accuracy))

        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "losses.csv")
            with open(path, "w", newline="") as f:
                writer = csv.writer(f)
                writer.writerow(["epoch", "train_loss", "train_accuracy"])
                writer.writerows(history)
            iteration.log_artifact(path, artifact_path="training")

    # Later, maybe in another script: pick the same iteration up by its name.
    test_loss, test_accuracy = loss_and_accuracy(w, b, x_test, y_test)
    resumed = experiment.get_iteration()
    with resumed.start(iteration_name=name):
        resumed.log_metric("test_accuracy", test_accuracy)

    print("test loss {:.4f}, test accuracy {:.3f}".format(test_loss, test_accuracy))
    print("Tracking server: {}".format(context.current_client.tracking_uri))
    print("Experiment {!r} (ID {}), iteration {!r} (ID {})".format(
        experiment.name, experiment.experiment_id, name, resumed.iteration_id))


if __name__ == "__main__":
    main()
