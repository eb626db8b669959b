"""``python -m tavro_experiment_tracking COMMAND``: the package's command line (sync, login, logout, whoami)."""

import sys

from tavro_experiment_tracking.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m tavro_experiment_tracking"))
