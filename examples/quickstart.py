"""Start a session: pick the tracking server, a project and an experiment.

From the repository root, in a fresh shell (``make demo`` builds everything
and leaves a tracking server running; its address is in
``demo-server/server.uri``)::

    make demo
    MLFLOW_TRACKING_URI=$(cat demo-server/server.uri) .venv/bin/python examples/quickstart.py

Without ``MLFLOW_TRACKING_URI`` the script talks to http://localhost:5000.
"""
from tavro_experiment_tracking import context, init


def main():
    # The server: MLFLOW_TRACKING_URI when it is set, else http://localhost:5000.
    init("quickstart", "first-steps")
    # init made them the session's active project and experiment.
    user = context.current_client.user
    print("Tracking server:   {}".format(context.current_client.tracking_uri))
    print("Active experiment: {} (ID {})".format(user.active_experiment, user.active_experiment.experiment_id))
    print("Active project:    {}".format(user.active_project))


if __name__ == "__main__":
    main()
