"""Records a synthetic job and prints time and memory per report node.

    python bench/record.py [SECTIONS]

The job has tasks of testcases, each with steps; every node is started and
stopped with a few keywords, and results roll up as the nodes stop.
"""

import gc
import sys
import time
import tracemalloc

from vexa.reporter.runsheaf import Runsheaf
from vexa.results import Failed, Passed, Skipped

STEPS_PER_TESTCASE = 9
TESTCASES_PER_TASK = 1000


def record_job(n_sections=100_000):
    """A finished run with about `n_sections` sections below its tasks."""
    run = Runsheaf(id="bench", seq_num=0)
    run.start(host="bench-host", submitter="bench", testbed="tb1")
    per_testcase = STEPS_PER_TESTCASE + 1
    n_testcases = max(1, n_sections // per_testcase)
    n_tasks = max(1, n_testcases // TESTCASES_PER_TASK)
    seq = 0
    for t in range(n_tasks):
        seq += 1
        task = run.add_task(id="task%d" % t, seq_num=seq)
        task.start(testscript="/scripts/suite%d.py" % t, description="suite %d" % t)
        for c in range(n_testcases // n_tasks):
            seq += 1
            tc = task.add_section(id="tc%d" % c, seq_num=seq, type="Testcase")
            tc.start(description="testcase %d" % c, xref={"file": "suite.py", "line": c})
            for s in range(STEPS_PER_TESTCASE):
                seq += 1
                step = tc.add_section(id=s, seq_num=seq, type="Step")
                step.start(name="step %d" % s, parameters={"n": s})
                result = Failed if (c + s) % 97 == 0 else (Skipped if s == 8 else Passed)
                step.stop(result=result, details=["done"])
            tc.stop()
        task.stop(logfile="/logs/task%d.log" % t)
    run.stop(num_tasks=n_tasks)
    return run


def count_nodes(run):
    stack, n = list(run.tasks), 1
    while stack:
        node = stack.pop()
        n += 1
        stack.extend(node.sections)
    return n


def main():
    n_sections = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    gc.collect()
    start = time.perf_counter()
    run = record_job(n_sections)
    elapsed = time.perf_counter() - start
    nodes = count_nodes(run)
    del run
    gc.collect()

    tracemalloc.start()
    run = record_job(n_sections)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()

    print("nodes recorded:       %d" % nodes)
    print("time per node:        %.2f us" % (elapsed / nodes * 1e6))
    print("peak memory per node: %.0f bytes" % (peak / nodes))


if __name__ == "__main__":
    main()
