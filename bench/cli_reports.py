"""Times `vexa summary`, `vexa diff` and `vexa check` on the results file of
a large job, as a user runs them (a new process each time).

    python bench/cli_reports.py [SECTIONS] [--rounds N] [--no-yaml]

The commands are run in turns, N rounds (default 5), and each one's best
round is shown: wall-clock and CPU seconds (CPU time of the child, which
other work on the machine hardly changes). Targets for 100,000 sections:
summary <= 2 s, diff of two files <= 3 s, check --strict <= 1.5x check.
Also shown: reading the JSON with and without orjson, and the YAML figures
(no target).
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

from vexa.reporter import resultsfile  # noqa: E402


def child_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def vexa(*args):
    wall, cpu = time.perf_counter(), child_cpu()
    done = subprocess.run([sys.executable, "-m", "vexa.cli", *args],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode not in (0, 1):
        raise SystemExit("vexa %s failed: %s" % (" ".join(args), done.stderr))
    return time.perf_counter() - wall, child_cpu() - cpu


def changed(document):
    """The next night's job: some steps fail or pass now, some test cases
    are renamed, some take three times as long."""
    for t, task in enumerate(document["report"]["tasks"]):
        for c, testcase in enumerate(task["sections"]):
            if c % 50 == 0:
                testcase["id"] = "%s-renamed" % testcase["id"]
            if c % 40 == 1 and testcase.get("runtime") is not None:
                testcase["runtime"] = testcase["runtime"] * 3 + 2
            for step in testcase.get("sections", []):
                if (c + step["id"]) % 89 == 0:
                    step["result"] = {"value": "failed", "reason": "regressed"}
    return document


def best(times):
    return min(t[0] for t in times), min(t[1] for t in times)


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    rounds = 5
    if "--rounds" in sys.argv:
        rounds = int(sys.argv[sys.argv.index("--rounds") + 1])
        args = [a for a in args if a != str(rounds)]
    n_sections = int(args[0]) if args else 100_000
    run = record_job(n_sections)
    text = run.dump_json()
    yaml_text = None if "--no-yaml" in sys.argv else run.dump_yaml()
    new_text = json.dumps(changed(json.loads(text)))
    del run

    with tempfile.TemporaryDirectory() as tmp:
        old, new = os.path.join(tmp, "old.json"), os.path.join(tmp, "new.json")
        with open(old, "w") as f:
            f.write(text)
        with open(new, "w") as f:
            f.write(new_text)
        print("%d sections; results file %.1f MB; %d rounds, best of each, interleaved"
              % (n_sections, len(text) / 1e6, rounds))

        commands = {
            "summary": ("summary", new, "--durations", "10"),
            "diff": ("diff", old, new),
            "check": ("check", new),
            "check --strict": ("check", "--strict", new),
            "results": ("results", new),
        }
        times = {name: [] for name in commands}
        for _ in range(rounds):
            for name, command in commands.items():
                times[name].append(vexa(*command))
        figures = {name: best(t) for name, t in times.items()}
        for name, (wall, cpu) in figures.items():
            print("  vexa %-15s %6.2f s wall %6.2f s cpu" % (name, wall, cpu))
        ratio_wall = figures["check --strict"][0] / figures["check"][0]
        ratio_cpu = figures["check --strict"][1] / figures["check"][1]
        print("  check --strict / check: %.2fx wall, %.2fx cpu (target <= 1.5x)"
              % (ratio_wall, ratio_cpu))
        print("  targets: summary <= 2 s (%s), diff <= 3 s (%s)" % (
            "met" if figures["summary"][0] <= 2 else "MISSED",
            "met" if figures["diff"][0] <= 3 else "MISSED"))

        # What the faster JSON parser buys, in this process.
        saved = resultsfile._orjson
        parse = {"orjson": [], "json": []}
        for _ in range(rounds):
            for name in parse:
                resultsfile._orjson = saved if name == "orjson" else None
                start = time.perf_counter()
                resultsfile.load_results(new)
                parse[name].append(time.perf_counter() - start)
        resultsfile._orjson = saved
        print("  reading the file: %.2f s with orjson, %.2f s with json" % (
            min(parse["orjson"]), min(parse["json"])))

        if yaml_text is not None:
            path = os.path.join(tmp, "new.yaml")
            with open(path, "w") as f:
                f.write(yaml_text)
            print("YAML: results file %.1f MB, one run each (no target)" % (len(yaml_text) / 1e6))
            for name, command in (("summary", ("summary", path)), ("check", ("check", path)),
                                  ("diff", ("diff", old, path))):
                print("  vexa %-15s %6.2f s wall %6.2f s cpu" % ((name,) + vexa(*command)))


if __name__ == "__main__":
    main()
