"""``python -m tavro_experiment_tracking sync [PATH]``: the package's command line."""

import sys

from tavro_experiment_tracking.tracking.sync import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m tavro_experiment_tracking"))
