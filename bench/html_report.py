"""The one-file HTML report: writing it, and opening it in headless Chromium.

    python bench/html_report.py [SECTIONS...] [--dir DIR]

For each size (100,000 and 1,000,000 sections by default) writes the
results file of the synthetic job of record.py (kept in DIR and reused when
there), then prints:
  - the results file's size and the page's size;
  - reading the results file and writing the page: wall-clock and CPU time;
  - opening the page from disk (file://): from navigation to the run's
    first level drawn, best of three, and the tab's JavaScript heap then
    (after a garbage collection);
  - a search that matches nothing, which reads every node's path;
  - the heap again after problems only, a search and 10 tasks expanded.
"""

import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from browser import start_browser  # noqa: E402
from record import record_job  # noqa: E402
from vexa.reporter import resultsfile  # noqa: E402
from vexa.reporter.htmlreport import html_page  # noqa: E402

FIRST_LEVEL = ("const m = performance.getEntriesByName('vexa-first-level');"
               "return m.length ? m[0].startTime : null")

# A search that matches nothing reads every node's path; answers ms taken.
SCRIPT_SEARCH = """
const done = arguments[arguments.length - 1];
const t0 = performance.now();
window.vexaViewer.source.search(1, "no such text", null, 100)
  .then((page) => done([performance.now() - t0, page.nodes.length]), (e) => done(String(e)));
"""

# Problems only, a search, and the first 10 tasks expanded; answers ms taken.
SCRIPT_USE = """
const done = arguments[arguments.length - 1];
(async () => {
  const page = window.vexaViewer, t0 = performance.now();
  await page.setProblems(true);
  await page.setProblems(false);
  await page.search("tc99");
  for (const task of page.tree.root.kids.slice(0, 10)) await page.tree.expand(task);
  done(performance.now() - t0);
})().catch((e) => done(String(e)));
"""


def results_file(folder, sections):
    path = os.path.join(folder, "results-%d.json" % sections)
    if not os.path.exists(path):
        t = time.perf_counter()
        run = record_job(sections)
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            f.write(run.dump_json())
        del run
        os.replace(path + ".tmp", path)
        print("  results file made in %.0f s" % (time.perf_counter() - t))
    return path


def heap(driver):
    driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
    metrics = {m["name"]: m["value"] for m in driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}
    return metrics["JSHeapUsedSize"] / 1e6, metrics["JSHeapTotalSize"] / 1e6


def first_level_ms(driver, url, timeout=120):
    driver.get("about:blank")
    driver.get(url)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        got = driver.execute_script(FIRST_LEVEL)
        if got is not None:
            return got
        time.sleep(0.05)
    raise SystemExit("the first level was never drawn")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("sections", nargs="*", type=int, default=[100_000, 1_000_000])
    ap.add_argument("--dir", help="folder for the results files and pages (kept)")
    args = ap.parse_args()
    folder = args.dir or tempfile.mkdtemp(prefix="vexa-html-bench-")
    os.makedirs(folder, exist_ok=True)
    print("load average: %.1f %.1f %.1f (wall-clock figures move with it)" % os.getloadavg())
    for sections in args.sections:
        print("%d sections:" % sections)
        source = results_file(folder, sections)
        t, c = time.perf_counter(), time.process_time()
        document = resultsfile.load_results(source)
        read = time.perf_counter() - t, time.process_time() - c
        t, c = time.perf_counter(), time.process_time()
        data, nodes = html_page(document)
        write = time.perf_counter() - t, time.process_time() - c
        del document
        page = os.path.join(folder, "report-%d.html" % sections)
        with open(page, "wb") as f:
            f.write(data)
        print("  results JSON:         %7.1f MB" % (os.path.getsize(source) / 1e6))
        print("  page:                 %7.1f MB  (%d nodes, %.0f bytes a node)"
              % (len(data) / 1e6, nodes, len(data) / nodes))
        print("  reading the JSON:     %7.1f s wall, %.1f s CPU" % read)
        print("  writing the page:     %7.1f s wall, %.1f s CPU" % write)
        del data
        driver = start_browser()
        try:
            driver.set_script_timeout(300)
            driver.execute_cdp_cmd("Performance.enable", {})
            url = "file://" + page
            firsts = [first_level_ms(driver, url) for _ in range(3)]
            used, total = heap(driver)
            print("  first level drawn:    %7.0f ms from navigation (best of 3; all: %s)"
                  % (min(firsts), ", ".join("%.0f" % v for v in firsts)))
            print("  JS heap then:         %7.1f MB used, %.1f MB total" % (used, total))
            got = driver.execute_async_script(SCRIPT_SEARCH)
            print("  search matching nothing (every path read): %.0f ms" % got[0])
            got = driver.execute_async_script(SCRIPT_USE)
            if isinstance(got, str):
                raise SystemExit("using the page failed: " + got)
            used, total = heap(driver)
            print("  problems only, a search, 10 tasks expanded: %.0f ms; JS heap %.1f MB used, %.1f MB total"
                  % (got, used, total))
        finally:
            driver.quit()


if __name__ == "__main__":
    main()
