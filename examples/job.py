"""The example job: records a small test job and writes its reports.

    python examples/job.py [OUTDIR]

Two test scripts with common setup, testcases, test sections and steps
nested three deep, a plugin run at task and at run level, health checks, and
a log file that grows while the sections run.
"""

import os
import subprocess
import sys

from vexa.reporter.brevlet import Brevlet
from vexa.reporter.explorer import Explorer
from vexa.reporter.htmlreport import write_html
from vexa.reporter.junit import write_junit
from vexa.reporter.runsheaf import Runsheaf
from vexa.reportserver import HTTPClient, ReportServer
from vexa.results import Failed, Passed, Passx, Skipped


class Log:
    """The job's log file; sections record where their output lies in it."""

    def __init__(self, path):
        self.path = path
        open(path, "w").close()

    def write(self, text):
        with open(self.path, "a") as f:
            f.write(text + "\n")


def run_section(parent, log, sid, seq, kind="TestSection", **fields):
    section = parent.add_section(id=sid, seq_num=seq, type=kind)
    section.start(logfile=log.path, **fields)
    log.write("%s %s: running" % (kind, section.fullid))
    return section


def record_script(run, log, tid, seq, outcomes):
    task = run.add_task(id=tid, seq_num=seq)
    task.start(testscript="/scripts/%s.py" % tid, description="script %s" % tid,
               parameters={"retries": 1})

    setup = run_section(task, log, "common_setup", 1, kind="CommonSetup")
    run_section(setup, log, "connect", 1, kind="Subsection").stop(result=Passed)
    setup.stop(result=Passed)

    for n, outcome in enumerate(outcomes, start=1):
        tc = run_section(task, log, "tc%d" % n, n + 1, kind="Testcase",
                         xref={"file": "%s.py" % tid, "line": 10 * n})
        test = run_section(tc, log, "test", 1)
        step = run_section(test, log, 1, 1, kind="Step", description="configure")
        inner = run_section(step, log, "1.1", 1, kind="Step")
        run_section(inner, log, "1.1.1", 1, kind="Step").stop(
            result=outcome, health=[{"result": "passed"}])
        inner.stop()
        step.stop()
        test.add_detail("checked %d interfaces" % n)
        test.stop()
        tc.stop()

    plugin = task.add_plugin(id="coverage", seq_num=90)
    plugin.start(logfile=log.path)
    log.write("coverage: collecting")
    plugin.stop()

    cleanup = run_section(task, log, "common_cleanup", 99, kind="CommonCleanup")
    cleanup.stop(result=Passed)
    task.stop(logfile=log.path)
    return task


def record_job(outdir):
    log = Log(os.path.join(outdir, "job.log"))
    run = Runsheaf(id="example-job", seq_num=0)
    run.start(host="lab-host", submitter="qa", user="qa", testbed="tb-1",
              release="1.0", image="img-1.0", cli="vexa run example_job.py")
    record_script(run, log, "routing", 1, [Passed, Failed, Passx])
    record_script(run, log, "switching", 2, [Passed, Skipped])
    monitor = run.add_plugin(id="monitor", seq_num=3)
    monitor.start(logfile=log.path)
    monitor.stop()
    run.stop(num_tasks=2)
    return run


def print_tree(node, depth=0):
    result = node.result
    print("%s%-20s %-14s %s" % ("  " * depth, node.id, node.type,
                                result if result is not None else "-"))
    for child in getattr(node, "tasks", None) or getattr(node, "sections", []):
        print_tree(child, depth + 1)


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(outdir, exist_ok=True)
    run = record_job(outdir)

    print_tree(run)
    print()
    print("summary:      ", dict(run.summary.items()), "success rate %.2f%%" % run.summary.success_rate)
    print("plugins:      ", dict(run.pluginsummary.items()))
    print("health:       ", run.health_result, dict(run.health_summary.items()))
    print("result:       ", run.result)

    for name, text in (("results.json", run.dump_json()), ("results.yaml", run.dump_yaml())):
        path = os.path.join(outdir, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        print("wrote        ", path)

    # The legacy result files that other services read.
    Brevlet(outdir, run).generate_xml(None, None)
    for name in ("ResultsDetails.xml", "ResultsSummary.xml"):
        print("wrote        ", os.path.join(outdir, name))

    # For CI servers: JUnit XML, and the whole report as one page to attach.
    write_junit(run, os.path.join(outdir, "junit.xml"), logs=outdir)
    write_html(run, os.path.join(outdir, "results.html"))
    for name in ("junit.xml", "results.html"):
        print("wrote        ", os.path.join(outdir, name))

    # Validate the results file the way a user would, with `vexa results`.
    results = os.path.join(outdir, "results.json")
    subprocess.run([sys.executable, "-m", "vexa.cli", "results", results], check=True)

    # Browse it through a report server on loopback, one node at a time.
    with ReportServer(results) as server, HTTPClient(server.url) as client:
        report = Explorer(client)
        print("browsing      %s over %s" % (report.id, server.url))
        for task in report.tasks:
            print("  %-10s %-8s %s" % (task.id, (task.result or {}).get("value", "-"),
                                       [s.id for s in task.sections]))


if __name__ == "__main__":
    main()
