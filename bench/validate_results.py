"""Times `vexa results` on the results file of a large job.

    python bench/validate_results.py [SECTIONS] [--compare]

Runs the tool as a user does (a new process), on a valid file and on one
with a broken section in every hundred, and splits the valid run into its
steps. --compare also times the general validators on the whole document.
"""

import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from record import record_job  # noqa: E402

from vexa.reporter import schema  # noqa: E402


def best_of(n, fn):
    times = []
    for _ in range(n):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def vexa_results(path):
    return subprocess.run([sys.executable, "-m", "vexa.cli", "results", path],
                          capture_output=True, text=True)


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

    print("sections:                   %d (%.1f MB of JSON)" % (n_sections, len(text) / 1e6))
    print("vexa results, valid file:   %.2f s" % valid_time)
    print("  start-up and imports:     %.2f s" % startup_time)
    print("  read and json.loads:      %.2f s" % parse_time)
    print("  validate:                 %.2f s (%.1f us per node)" % (
        validate_time, validate_time / (n_sections + 100) * 1e6))
    print("vexa results, broken file:  %.2f s, %d findings for %d broken values" % (
        broken_time, n_findings, n_broken))

    if compare:
        import fastjsonschema
        import jsonschema

        full = schema.load_schema()
        fast = fastjsonschema.compile(full)
        fast_time, _ = best_of(1, lambda: fast(document))
        slow_time, _ = best_of(1, lambda: jsonschema.Draft7Validator(full).validate(document))
        print("fastjsonschema, whole doc:  %.2f s" % fast_time)
        print("jsonschema, whole doc:      %.2f s" % slow_time)


if __name__ == "__main__":
    main()
