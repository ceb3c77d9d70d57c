"""Records a job shaped like a real one and prints the cost per section.

    python bench/record_job.py [SECTIONS ...] [--repeat N] [--no-memory]
    python bench/record_job.py --callgrind [SECTIONS]
    python bench/record_job.py [SECTIONS ...] --against "[NAME=VALUE ...] OTHER_PYTHON"
    python bench/record_job.py ... --standins REV
    python bench/record_job.py [SECTIONS ...] --gc

Each task has a common setup with subsections, testcases and a common
cleanup; each testcase starts with a description and an xref, and each of
its steps starts with a description, an xref and `index` and `continue_`
keywords, gets a detail and stops with a result. Sizes default to 10,000,
100,000 and 1,000,000 sections; each prints the best time per section of
--repeat runs (one run at a million) and the peak traced memory per section.

--callgrind runs the recording under valgrind's callgrind and prints the
instructions per section: a run that records nothing is subtracted, so
interpreter start-up and imports do not count.

--against runs each measurement in a fresh interpreter, alternating between
this one and OTHER_PYTHON (say another checkout's venv), so both builds are
compared in one sitting under the same load.

--gc prints where the cyclic garbage collector's time goes instead: CPU
time per section, the collector's in all collections and in full ones, the number of full
collections, and the objects it tracks per section of the finished run.

--standins REV measures this build with the framework stand-ins the
reporter calls (vexa.results, vexa.utils) as they were at git revision REV,
in a copy of the installed package: the reporter's own cost apart from
what faster stand-ins bring.
"""

import gc
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import tracemalloc

STEPS_PER_TESTCASE = 9
TESTCASES_PER_TASK = 100
SETUP_SUBSECTIONS = 2
# Sections in a task besides its testcases: setup with subsections, cleanup.
TASK_OVERHEAD = 1 + SETUP_SUBSECTIONS + 1


def record_job(n_sections):
    """A finished run with about `n_sections` sections; returns (run, sections)."""
    from vexa.reporter.runsheaf import Runsheaf
    from vexa.results import Failed, Passed, Skipped

    per_testcase = STEPS_PER_TESTCASE + 1
    per_task = TESTCASES_PER_TASK * per_testcase + TASK_OVERHEAD
    n_tasks = max(1, round(n_sections / per_task))
    sections = 0
    run = Runsheaf(id="bench-job", seq_num=0)
    run.start(host="bench-host", submitter="bench", testbed="tb1", cli="vexa run job.py")
    for t in range(n_tasks):
        task = run.add_task(id="task%d" % t, seq_num=t + 1)
        task.start(testscript="/scripts/suite%d.py" % t, description="suite %d" % t,
                   parameters={"retries": 1})
        setup = task.add_section(id="common_setup", seq_num=0, type="CommonSetup")
        setup.start(description="connect to the testbed")
        for s in range(SETUP_SUBSECTIONS):
            sub = setup.add_section(id="connect%d" % s, seq_num=s, type="Subsection")
            sub.start(description="device %d" % s)
            sub.stop(result=Passed)
        setup.stop()
        for c in range(TESTCASES_PER_TASK):
            tc = task.add_section(id="tc%d" % c, seq_num=c + 1, type="Testcase")
            tc.start(description="testcase %d" % c, xref={"file": "suite.py", "line": 10 * c})
            for s in range(STEPS_PER_TESTCASE):
                step = tc.add_section(id=s + 1, seq_num=s + 1, type="Step")
                step.start(description="step %d" % s, xref={"file": "suite.py", "line": 10 * c + s},
                           index=s, continue_=True)
                step.add_detail("checked %d" % s)
                step.stop(result=Failed if (c + s) % 97 == 0 else (Skipped if s == 8 else Passed))
            tc.stop()
        cleanup = task.add_section(id="common_cleanup", seq_num=TESTCASES_PER_TASK + 1,
                                   type="CommonCleanup")
        cleanup.start(description="disconnect")
        cleanup.stop(result=Passed)
        task.stop(logfile="/logs/task%d.log" % t)
        sections += per_task
    run.stop(num_tasks=n_tasks)
    return run, sections


def record_flat(n_sections):
    """bench/record.py's job, for instruction counts of both shapes."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from record import count_nodes, record_job as record_flat_job
    run = record_flat_job(n_sections)
    return run, count_nodes(run)


def time_per_section(record, n_sections):
    gc.collect()
    start, start_cpu = time.perf_counter(), time.process_time()
    run, sections = record(n_sections)
    elapsed, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    del run
    gc.collect()
    return elapsed / sections, sections, cpu / sections


def collector_per_section(record, n_sections):
    """CPU time per section, the collector's share of it, and what it tracks
    (CPU time: on a shared machine it waits less than wall-clock time)."""
    spent = {"all": 0.0, "full": 0.0, "fulls": 0}
    began = []

    def timer(phase, info):
        if phase == "start":
            began.append(time.process_time())
            return
        seconds = time.process_time() - began.pop()
        spent["all"] += seconds
        if info["generation"] == 2:
            spent["full"] += seconds
            spent["fulls"] += 1

    gc.collect()
    before = len(gc.get_objects())
    gc.callbacks.append(timer)
    start = time.process_time()
    run, sections = record(n_sections)
    elapsed = time.process_time() - start
    gc.callbacks.remove(timer)
    gc.collect()
    tracked = len(gc.get_objects()) - before
    del run
    return (elapsed / sections, sections, spent["all"] / sections, spent["full"] / sections,
            spent["fulls"], tracked / sections)


def memory_per_section(record, n_sections):
    gc.collect()
    tracemalloc.start()
    run, sections = record(n_sections)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del run
    return peak / sections, sections


def command(python):
    """An interpreter given as "[NAME=VALUE ...] PATH": its argv and environment.
    This interpreter keeps its own environment; another gets no PYTHONPATH but
    its own."""
    if python == sys.executable:
        return [python], dict(os.environ)
    words, env = shlex.split(python), dict(os.environ)
    env.pop("PYTHONPATH", None)
    while len(words) > 1 and "=" in words[0]:
        name, value = words.pop(0).split("=", 1)
        env[name] = value
    return words, env


STANDINS = ("results.py", "utils/__init__.py", "utils/utils.py", "utils/dicts.py")


def with_standins(python, rev, tmp):
    """`python` running a copy of its vexa package whose stand-ins are as at `rev`."""
    argv, env = command(python)
    package = subprocess.run(argv + ["-c", "import vexa; print(vexa.__path__[0])"], env=env,
                             check=True, capture_output=True, text=True).stdout.strip()
    copy = os.path.join(tmp, "vexa")
    shutil.copytree(package, copy)
    for compiled in glob.glob(os.path.join(copy, "_counts.*")):
        os.remove(compiled)  # a stand-in's part that did not exist then
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for name in STANDINS:
        text = subprocess.run(["git", "-C", root, "show", "%s:src/vexa/%s" % (rev, name)],
                              check=True, capture_output=True).stdout
        with open(os.path.join(copy, name), "wb") as f:
            f.write(text)
    return "PYTHONPATH=%s %s" % (shlex.quote(tmp), python)


def one(python, shape, what, n_sections):
    """One measurement in a fresh interpreter: (number, sections[, CPU time])."""
    argv, env = command(python)
    out = subprocess.run(argv + [__file__, "--one", shape, what, str(n_sections)], env=env,
                         check=True, capture_output=True, text=True).stdout.split()
    return (float(out[0]), int(out[1])) + tuple(float(x) for x in out[2:])


def instructions(python, shape, n_sections):
    """Instructions callgrind counts per section recorded."""
    with tempfile.TemporaryDirectory() as tmp:
        totals = []
        for n in (0, n_sections):
            outfile = os.path.join(tmp, "cg.%d" % n)
            argv, env = command(python)
            out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + outfile]
                                 + argv + [__file__, "--one", shape, "record", str(n)], env=env,
                                 check=True, capture_output=True, text=True).stdout
            with open(outfile) as f:
                totals.append(int(re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M).group(1)))
        sections = int(out.split()[1])
    return (totals[1] - totals[0]) / sections, sections


def main():
    args = sys.argv[1:]
    if args[:1] == ["--one"]:
        shape, what, n = args[1], args[2], int(args[3])
        record = record_flat if shape == "flat" else record_job
        if what == "record":
            import vexa.reporter.runsheaf  # noqa: F401 - start-up alone when n is 0
            sections = record(n)[1] if n else 0
            print(0, sections)
        else:
            measured = {"time": time_per_section, "memory": memory_per_section,
                        "gc": collector_per_section}[what]
            print(*measured(record, n))
        return

    def option(name, default):
        if name in args:
            i = args.index(name)
            value = args[i + 1]
            del args[i:i + 2]
            return value
        return default

    repeat = int(option("--repeat", "5"))
    against = option("--against", None)
    standins = option("--standins", None)
    shape = "flat" if "--flat" in args else "job"
    sizes = [int(a) for a in args if not a.startswith("--")]
    this = sys.executable
    if standins:
        tmp = tempfile.TemporaryDirectory()
        this = with_standins(this, standins, tmp.name)
    pythons = [("this", this)] + ([("other", against)] if against else [])
    width = max(len(label) for label, _ in pythons)

    if "--callgrind" in args:
        for n in sizes or [20_000]:
            for label, python in pythons:
                per_section, sections = instructions(python, shape, n)
                print("%-*s %8d sections: %8.0f instructions per section"
                      % (width, label, sections, per_section), flush=True)
        return

    if "--gc" in args:
        for n in sizes or [10_000, 100_000, 1_000_000]:
            for _ in range(1 if n >= 1_000_000 else repeat):
                for label, python in pythons:
                    seconds, sections, collector, full, fulls, tracked = one(python, shape, "gc", n)
                    print("%-*s %8d sections: CPU %6.2f us per section, collector %5.2f us (full %5.2f us"
                          " in %d), %.2f tracked objects per section"
                          % (width, label, sections, seconds * 1e6, collector * 1e6, full * 1e6,
                             fulls, tracked), flush=True)
        return

    for n in sizes or [10_000, 100_000, 1_000_000]:
        runs = 1 if n >= 1_000_000 else repeat
        best = {label: float("inf") for label, _ in pythons}
        best_cpu = dict(best)
        for _ in range(runs):  # interleaved: each round runs every build once
            for label, python in pythons:
                seconds, sections, cpu = one(python, shape, "time", n)
                best[label] = min(best[label], seconds)
                best_cpu[label] = min(best_cpu[label], cpu)
        for label, python in pythons:
            # CPU time beside wall-clock: on a shared machine it waits less.
            line = "%-*s %8d sections: %6.2f us per section (CPU %6.2f us)" % (
                width, label, sections, best[label] * 1e6, best_cpu[label] * 1e6)
            if "--no-memory" not in args:
                line += ", peak %5.0f bytes per section" % one(python, shape, "memory", n)[0]
            print(line, flush=True)


if __name__ == "__main__":
    main()
