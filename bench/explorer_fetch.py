"""Times one node fetch of an Explorer through each report-server client.

    python bench/explorer_fetch.py [SECTIONS] [FETCHES]

The report server runs in a process of its own, as a user starts it, and
is reached over the loopback interface.
"""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from record import record_job  # noqa: E402

from vexa.reporter.explorer import Explorer  # noqa: E402
from vexa.reportserver import HTTPClient, ResultsFileClient, TreeClient  # noqa: E402


def per_fetch(client, n_fetches):
    """Walk the steps of the run's testcases; every node reached is a fetch."""
    start = time.perf_counter()
    fetches = 1
    run = Explorer(client)
    for task in run.tasks:
        fetches += 1
        for testcase in task.sections:
            fetches += 1
            for step in testcase.sections:
                fetches += 1
                assert step.id is not None
                if fetches >= n_fetches:
                    return (time.perf_counter() - start) / fetches
    return (time.perf_counter() - start) / fetches


def main():
    n_sections = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    n_fetches = int(sys.argv[2]) if len(sys.argv) > 2 else 5_000
    run = record_job(n_sections)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "results.json")
        with open(path, "w") as f:
            f.write(run.dump_json())
        server = subprocess.Popen([sys.executable, "-m", "vexa.reportserver", path, "--port", "0"],
                                  stdout=subprocess.PIPE, text=True)
        try:
            url = server.stdout.readline().split(" at ")[1].strip()
            with HTTPClient(url) as client:
                http_times = twice(client, n_fetches)
        finally:
            server.terminate()
            server.wait()
        file_times = twice(ResultsFileClient(path), n_fetches)
    tree_times = twice(TreeClient(run), n_fetches)

    print("report of %d sections, %d fetches per walk; per node fetch:" % (n_sections, n_fetches))
    print("                              first walk   again")
    for name, (first, again) in (("HTTP (loopback, kept-alive)", http_times),
                                 ("results file, in process", file_times),
                                 ("report tree, in process", tree_times)):
        print("%-29s %7.1f us %7.1f us" % (name, first * 1e6, again * 1e6))


def twice(client, n_fetches):
    """The first walk also builds the sibling indexes on its way."""
    return per_fetch(client, n_fetches), per_fetch(client, n_fetches)


if __name__ == "__main__":
    main()
