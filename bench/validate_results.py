"""Times `vexa results` on the results file of a large job.

    python bench/validate_results.py [SECTIONS] [--compare]

Runs the tool as a user does (a new process), on a valid file and on one
with a broken section in every hundred, and splits the valid run into its
steps. --compare also times the general validators on the whole document.
"""

import json
import os
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from record import record_job  # noqa: E402

from vexa.reporter import schema  # noqa: E402


def cpu_seconds():
    """CPU time of this process and its finished children: unlike the wall
    clock, it hardly grows when other work shares the machine."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def best_of(n, fn):
    """The shortest (wall, cpu) seconds of n runs, and the last result."""
    walls, cpus = [], []
    for _ in range(n):
        wall, cpu = time.perf_counter(), cpu_seconds()
        result = fn()
        walls.append(time.perf_counter() - wall)
        cpus.append(cpu_seconds() - cpu)
    return (min(walls), min(cpus)), result


def vexa_results(path):
    return subprocess.run([sys.executable, "-m", "vexa.cli", "results", path],
                          capture_output=True, text=True)


def seconds(times):
    return "%5.2f s wall %5.2f s cpu" % times


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    n_sections = int(args[0]) if args else 100_000
    compare = "--compare" in sys.argv

    run = record_job(n_sections)
    text = run.dump_json()
    document = json.loads(text)
    broken = json.loads(text)
    n_broken = 0
    for task in broken["report"]["tasks"]:
        for i, testcase in enumerate(task["sections"]):
            if i % 10 == 0:
                del testcase["sections"][0]["id"]
                testcase["sections"][1]["starttime"] = 0
                n_broken += 2

    with tempfile.TemporaryDirectory() as tmp:
        valid_path = os.path.join(tmp, "results.json")
        broken_path = os.path.join(tmp, "broken.json")
        with open(valid_path, "w") as f:
            f.write(text)
        with open(broken_path, "w") as f:
            json.dump(broken, f)

        valid_time, done = best_of(3, lambda: vexa_results(valid_path))
        assert done.returncode == 0, done.stderr
        broken_time, done = best_of(3, lambda: vexa_results(broken_path))
        assert done.returncode == 1, done.stderr
        n_findings = len(done.stdout.splitlines())

        def read():
            with open(valid_path) as f:
                return json.loads(f.read())

        parse_time, _ = best_of(3, read)
        startup_time, _ = best_of(3, lambda: subprocess.run(
            [sys.executable, "-c", "import vexa.cli.main, vexa.reporter.commands"]))
    validate_time, _ = best_of(3, lambda: schema.validate(document))

    print("sections:                   %d (%.1f MB of JSON), load average %.2f" % (
        n_sections, len(text) / 1e6, os.getloadavg()[0]))
    print("vexa results, valid file:   %s" % seconds(valid_time))
    print("  start-up and imports:     %s" % seconds(startup_time))
    print("  read and json.loads:      %s" % seconds(parse_time))
    print("  validate:                 %s (%.1f us per node)" % (
        seconds(validate_time), validate_time[0] / (n_sections + 100) * 1e6))
    print("vexa results, broken file:  %s, %d findings for %d broken values" % (
        seconds(broken_time), n_findings, n_broken))

    if compare:
        import jsonschema

        full = schema.load_schema()
        try:
            import fastjsonschema  # optional: pip install fastjsonschema
        except ImportError:
            print("fastjsonschema, whole doc:  not installed")
        else:
            fast = fastjsonschema.compile(full)
            fast_time, _ = best_of(1, lambda: fast(document))
            print("fastjsonschema, whole doc:  %s" % seconds(fast_time))
        slow_time, _ = best_of(1, lambda: jsonschema.Draft7Validator(full).validate(document))
        print("jsonschema, whole doc:      %s" % seconds(slow_time))


if __name__ == "__main__":
    main()
