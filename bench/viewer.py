"""The viewer in headless Chromium over a store holding one large run.

    python bench/viewer.py [SECTIONS] [--store FILE]

Writes a results file of SECTIONS sections (1,000,000 by default: 100 tasks
of 1,000 test cases of 9 steps), imports it into a fresh SQLite store (or
reuses the store FILE when it already holds the run), serves it on loopback,
and prints, best of three where it says so, wall-clock in the page and the
CPU time of the page's main thread (which the machine's other work does not
inflate as much):
  - from navigation to the run's first level drawn;
  - expanding a task of 1,000 test cases: its first page drawn, and all
    1,000 drawn with "show more";
  - the tab's JavaScript heap after expanding 10,000 test cases (after a
    garbage collection), with the number of rows then in the page.
"""

import argparse
import json
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from browser import start_browser  # noqa: E402
from vexa.reporter.server.run import Server  # noqa: E402
from vexa.reporter.store import Store  # noqa: E402

TESTCASES = 1000
STEPS = 9
T0 = "2026-12-01 02:00:00+00:00"


def write_results(path, n_sections):
    """A finished run, written as text straight to the file."""
    per_task = TESTCASES * (STEPS + 1)
    n_tasks = max(1, n_sections // per_task)
    with open(path, "w", encoding="utf-8") as f:
        f.write('{"version": "3.4", "report": {"type": "Runsheaf", "id": "big", "name": "big", '
                '"starttime": "%s", "stoptime": "2026-12-01 03:00:00+00:00", "runtime": 3600.0, '
                '"host": "bench-host", "testbed": "tb1", "result": {"value": "failed"}, '
                '"summary": {"passed": %d, "failed": %d, "total": %d, "success_rate": 99.9}, '
                '"totaltasks": %d, "tasks": [' % (T0, n_tasks * TESTCASES - n_tasks, n_tasks,
                                                  n_tasks * TESTCASES, n_tasks))
        for t in range(n_tasks):
            f.write('%s{"type": "Task", "id": "task%d", "starttime": "%s", "runtime": 36.0, '
                    '"result": {"value": "failed"}, "sections": [' % ("," if t else "", t, T0))
            parts = []
            for c in range(TESTCASES):
                result = "failed" if c == 500 else "passed"
                steps = ",".join(
                    '{"type": "Step", "id": %d, "starttime": "%s", "runtime": 0.004, '
                    '"result": {"value": "%s"}, "sections": []}'
                    % (s, T0, "failed" if result == "failed" and s == 3 else "passed")
                    for s in range(STEPS))
                parts.append('{"type": "Testcase", "id": "tc%d", "starttime": "%s", "runtime": 0.036, '
                             '"description": "test case %d", "result": {"value": "%s"}, "sections": [%s]}'
                             % (c, T0, c, result, steps))
            f.write(",".join(parts))
            f.write("]}")
        f.write("]}}")
    return n_tasks


# Expands task i (first page), or with more=true loads the rest of its
# children; answers [ms until drawn, children shown].
SCRIPT_EXPAND = """
const done = arguments[arguments.length - 1];
(async () => {
  const tree = window.vexaViewer.tree, node = tree.root.kids[arguments[0]];
  const frame = () => new Promise((r) => requestAnimationFrame(() => setTimeout(r, 0)));
  const t0 = performance.now();
  if (arguments[1]) while (node.next) await tree.more(node);
  else await tree.expand(node);
  await frame();
  done([performance.now() - t0, node.kids.length]);
})().catch((e) => done(String(e)));
"""

# Expands task i with all its children, then its children from `from` on,
# `count` of them, 8 at a time; answers [expanded, ms, rows in the page].
SCRIPT_EXPAND_TASK = """
const done = arguments[arguments.length - 1];
const [index, from, count] = arguments;
(async () => {
  const tree = window.vexaViewer.tree, task = tree.root.kids[index];
  const t0 = performance.now();
  await tree.expand(task);
  while (task.next) await tree.more(task);
  const kids = task.kids.slice(from, from + count);
  for (let i = 0; i < kids.length; i += 8) {
    await Promise.all(kids.slice(i, i + 8).map((k) => tree.expand(k)));
  }
  done([kids.length, performance.now() - t0, document.querySelectorAll('li[role=treeitem]').length]);
})().catch((e) => done(String(e)));
"""


def thread_ms(driver):
    """CPU time the page's main thread has used so far."""
    metrics = driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
    return 1000 * next(m["value"] for m in metrics if m["name"] == "ThreadTime")


def first_level_ms(driver, url):
    driver.get("about:blank")
    driver.get(url)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        got = driver.execute_script(
            "const m = performance.getEntriesByName('vexa-first-level'); return m.length ? m[0].startTime : null")
        if got is not None:
            return got
        time.sleep(0.02)
    raise SystemExit("the first level was never drawn")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("sections", nargs="?", type=int, default=1_000_000)
    ap.add_argument("--store", help="SQLite file to keep the imported run in (reused when present)")
    ap.add_argument("--expand", type=int, default=10_000,
                    help="test cases to expand before the heap is measured (10,000), after "
                         "the first 10 tasks are opened with all their children")
    args = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="vexa-viewer-bench-")
    store_path = args.store or os.path.join(tmp, "store.sqlite")
    store = Store("sqlite:///" + store_path)
    runs = store.runs(name="big", limit=1)[0]
    if runs and runs[0]["nodes"] >= args.sections:
        key = runs[0]["key"]
        print("store:                    %s (run %d, %d nodes, reused)" % (store_path, key, runs[0]["nodes"]))
    else:
        results = os.path.join(tmp, "results.json")
        t = time.perf_counter()
        n_tasks = write_results(results, args.sections)
        print("results file:             %.0f MB, %d tasks, written in %.1f s"
              % (os.path.getsize(results) / 1e6, n_tasks, time.perf_counter() - t))
        t = time.perf_counter()
        done = store.import_file(results)
        key = done["key"]
        print("import:                   %.1f s, %d nodes" % (time.perf_counter() - t, done["nodes"]))
        os.remove(results)
    server = Server(store, port=0).start()
    driver = start_browser()
    print("load average:             %.1f %.1f %.1f (timings are wall-clock)" % os.getloadavg())
    try:
        url = server.url + "#/run/%d" % key
        first = [first_level_ms(driver, url) for _ in range(5)]
        print("first level drawn:        %.0f ms from navigation (best of 5; all: %s)"
              % (min(first), ", ".join("%.0f" % v for v in first)))
        driver.execute_cdp_cmd("Performance.enable", {"timeDomain": "threadTicks"})
        first_page, rest = [], []
        for i in range(5):
            first_level_ms(driver, url)
            for more, into in ((False, first_page), (True, rest)):
                before = thread_ms(driver)
                got = driver.execute_async_script(SCRIPT_EXPAND, i, more)
                if isinstance(got, str):
                    raise SystemExit("expanding failed: " + got)
                into.append((got[0], thread_ms(driver) - before, got[1]))
        for label, runs in (("first page drawn", first_page), ("the rest by show more", rest)):
            print("expand 1,000 children:    %s (%d rows): %.0f ms wall, %.0f ms main-thread CPU "
                  "(best of 5; wall: %s)" % (label, runs[0][2], min(r[0] for r in runs),
                                              min(r[1] for r in runs),
                                              ", ".join("%.0f" % r[0] for r in runs)))
        first_level_ms(driver, url)
        many = [0, 0.0, 0]
        driver.set_script_timeout(110)  # the driver's own client gives up at 120 s
        for task in range(10):
            driver.execute_async_script(SCRIPT_EXPAND_TASK, task, 0, 0)
        for n in range(args.expand // 100):  # small calls: each must end within that
            task, start = divmod(n * 100, TESTCASES)
            got = driver.execute_async_script(SCRIPT_EXPAND_TASK, task, start, 100)
            if isinstance(got, str):
                raise SystemExit("expanding failed: " + got)
            many = [many[0] + got[0], many[1] + got[1], got[2]]
        driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
        metrics = {m["name"]: m["value"]
                   for m in driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}
        heap = metrics["JSHeapUsedSize"]
        rows = driver.execute_script("return document.querySelectorAll('li[role=treeitem]').length")
        print("expanded:                 10 tasks of 1,000 and %d test cases in them (%.1f s), "
              "%d rows in the page" % (many[0], many[1] / 1000, rows))
        print("JS heap after that:       %.1f MB used (%.1f MB total), %d DOM nodes"
              % (heap / 1e6, metrics.get("JSHeapTotalSize", 0) / 1e6, metrics.get("Nodes", 0)))
    finally:
        driver.quit()
        server.stop()
        store.close()


if __name__ == "__main__":
    main()
