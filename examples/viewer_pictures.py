"""Takes the README's pictures of the viewer in headless Chromium.

    python examples/viewer_pictures.py [DIR]    (docs/ by default)

Records the example job as the last of six nightly runs (the earlier five
with other outcomes, a day apart), stores them, serves the store on a
loopback port and saves the runs page and the last run's page as PNG files.
"""

import datetime
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from browser import start_browser  # noqa: E402
from job import Log, record_script  # noqa: E402
from vexa.reporter.runsheaf import Runsheaf  # noqa: E402
from vexa.reporter.server.run import Server  # noqa: E402
from vexa.reporter.store import Store  # noqa: E402
from vexa.results import Failed, Passed, Passx, Skipped  # noqa: E402

# Outcomes of routing's and switching's test cases, oldest run first; the
# last is the example job's own.
HISTORY = [
    ([Passed, Passed, Passed], [Passed, Passed]),
    ([Passed, Failed, Passed], [Passed, Passed]),
    ([Passed, Passed, Passed], [Passed, Skipped]),
    ([Failed, Failed, Passx], [Passed, Failed]),
    ([Passed, Passed, Passx], [Passed, Skipped]),
    ([Passed, Failed, Passx], [Passed, Skipped]),
]


def record(logdir, n, routing, switching, when, minutes):
    log = Log(os.path.join(logdir, "job.log" if n == len(HISTORY) - 1 else "job-%d.log" % n))
    run = Runsheaf(id="example-job", seq_num=0)
    run.start(host="lab-host", submitter="qa", testbed="tb-1", release="1.0")
    record_script(run, log, "routing", 1, routing)
    record_script(run, log, "switching", 2, switching)
    monitor = run.add_plugin(id="monitor", seq_num=3)
    monitor.start(logfile=log.path)
    monitor.stop()
    run.stop(num_tasks=2)
    run.starttime = when
    run.stoptime = when + datetime.timedelta(minutes=minutes)
    return run


def settle(driver, css, timeout=20):
    deadline = time.monotonic() + timeout
    while not driver.execute_script("return !!document.querySelector(arguments[0])", css):
        if time.monotonic() > deadline:
            raise SystemExit("the page never showed %s" % css)
        time.sleep(0.05)
    time.sleep(0.4)  # fonts and the last paint


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else "docs"
    os.makedirs(outdir, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="vexa-pictures-")
    store = Store("sqlite:///" + os.path.join(tmp, "store.sqlite"))
    now = datetime.datetime.now(datetime.timezone.utc).replace(hour=2, minute=0, second=0, microsecond=0)
    keys = []
    for n, (routing, switching) in enumerate(HISTORY):
        when = now - datetime.timedelta(days=len(HISTORY) - 1 - n)
        keys.append(store.store_tree(record(tmp, n, routing, switching, when, 40 + 7 * (n % 3)))["key"])
    server = Server(store, port=0, logs_dir=tmp).start()
    driver = start_browser(1280, 960)
    try:
        driver.get(server.url + "#/?name=example-job")
        settle(driver, "figure.chart svg circle")
        driver.save_screenshot(os.path.join(outdir, "viewer-runs.png"))
        driver.get("about:blank")
        driver.get(server.url + '#/run/%d?node=%%5B%%22routing%%22%%2C%%22tc2%%22%%5D&cmp=%d'
                   % (keys[-1], keys[-2]))
        settle(driver, ".log pre")
        settle(driver, ".diff details")
        driver.save_screenshot(os.path.join(outdir, "viewer-run.png"))
    finally:
        driver.quit()
        server.stop()
        store.close()
    for name in ("viewer-runs.png", "viewer-run.png"):
        print("wrote", os.path.join(outdir, name))


if __name__ == "__main__":
    main()
