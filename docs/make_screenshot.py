"""Take the README's picture of the MLflow UI showing what `make demo` tracked.

From the repository root, after `make demo` (its server must still run)::

    python3 docs/make_screenshot.py

Opens the demo's "logistic-regression" experiment, filtered on the project tag
the way the README explains, in headless Chromium (Debian's `chromium`
package) and writes build/mlflow-ui.png, which git does not track; the
README's own picture (docs/mlflow-ui.png) is replaced only when asked:
`SCREENSHOT=docs/mlflow-ui.png make screenshot`. Standard library only.
"""
import json
import os
import shutil
import subprocess
import sys
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
URI_FILE = os.path.join(os.path.dirname(HERE), "demo-server", "server.uri")
OUTPUT = os.path.abspath(os.environ.get("SCREENSHOT") or os.path.join(os.path.dirname(HERE), "build", "mlflow-ui.png"))
EXPERIMENT = "logistic-regression"
PROJECT = "tiny-models"
# Wide enough for the metric, parameter and tag columns of the run table.
WINDOW = "1920,560"
# The UI renders in the browser: give its scripts time before the picture.
RENDER_BUDGET_MS = "15000"


def main():
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        sys.exit("No Chromium here: install it (Debian: `sudo apt-get install chromium`), then run this again.")
    os.makedirs(os.path.dirname(OUTPUT), exist_ok=True)
    try:
        with open(URI_FILE) as f:
            uri = f.read().strip()
    except FileNotFoundError:
        sys.exit("No demo server: run `make demo` first.")
    query = urllib.parse.urlencode({"experiment_name": EXPERIMENT})
    with urllib.request.urlopen(uri + "/api/2.0/mlflow/experiments/get-by-name?" + query, timeout=10) as answer:
        experiment_id = json.load(answer)["experiment"]["experiment_id"]
    search = urllib.parse.quote("tags.tavro_experiment_tracking.projectName = '{}'".format(PROJECT))
    page = "{}/#/experiments/{}?searchInput={}".format(uri, experiment_id, search)
    # --no-sandbox: Chromium refuses to run as root otherwise.
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--window-size=" + WINDOW, "--virtual-time-budget=" + RENDER_BUDGET_MS,
                    "--screenshot=" + OUTPUT, page],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    print("Wrote {} from {}".format(os.path.relpath(OUTPUT), page))


if __name__ == "__main__":
    main()
