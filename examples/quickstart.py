"""Start a session: pick the tracking server, a project and an experiment.

Run it against a tracking server on this machine (``mlflow server`` listens on
http://localhost:5000 by default) or name another one::

    TRACKING_URI=http://127.0.0.1:5000 python examples/quickstart.py
"""
import os

from tavro_experiment_tracking import context
from tavro_experiment_tracking.constants import DEFAULT_TRACK_SERVER
from tavro_experiment_tracking.tracking.initialize import init


def main():
    tracking_uri = os.environ.get("TRACKING_URI", DEFAULT_TRACK_SERVER)
    init("quickstart", "first-steps", tracking_uri=tracking_uri)
    # init made them the session's active project and experiment.
    user = context.current_client.user
    print("Tracking server:   {}".format(context.current_client.tracking_uri))
    print("Active experiment: {} (ID {})".format(user.active_experiment, user.active_experiment.experiment_id))
    print("Active project:    {}".format(user.active_project))


if __name__ == "__main__":
    main()
