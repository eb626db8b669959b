"""The team's deployment: a replica gone costs a client without retries nothing."""
import pytest
from mlflow.tracking import MlflowClient

from tavro_experiment_tracking.entities.project import Project
from tavro_experiment_tracking.tracking.client import Client


def test_killed_replica_costs_no_call(tracking_backend, tracking_server, unique_name):
    if tracking_backend.kind != "scaled":
        pytest.skip("needs the load-balanced deployment (TAVRO_TEST_BACKEND=scaled)")
    deployment = tracking_backend.session_server
    client = Client(None)
    client.tracking_uri = tracking_server
    iteration = Project("p", None, client).get_experiment(unique_name("replica")).get_iteration()
    iteration.start(iteration_name="survives")
    # Before the health checks notice, the balancer meets refused
    # connections and takes them to the other replicas.
    deployment.kill_replica(0)
    try:
        for step in range(12):
            iteration.log_metric("loss", step / 2, step=step)
    finally:
        deployment.start_replica(0)
    iteration.end()
    history = MlflowClient(tracking_server).get_metric_history(iteration.iteration_id, "loss")
    assert sorted((m.step, m.value) for m in history) == [(s, s / 2) for s in range(12)]
