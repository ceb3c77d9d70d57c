"""Times JUnit XML of the synthetic job, from its files and from the live tree.

    python bench/junit.py [SECTIONS] [--rounds N] [--no-yaml]

- `vexa junit results.json -o out.xml` end to end, as a user runs it, with
  its peak memory (maximum resident set) beside that of a process that only
  does json.load of the same file;
- junit_xml() of the live tree against its dump_json(), interleaved, best of
  the rounds;
- `vexa junit results.yaml`, reading YAML being PyYAML's work (no target).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from record import count_nodes, record_job
from vexa.reporter.junit import junit_xml

LOAD_ONLY = "import json, sys\nwith open(sys.argv[1], 'rb') as f: json.load(f)"


def measured(argv):
    """(wall seconds, CPU seconds, peak resident MB) of a child process that
    must succeed. CPU time says more than wall time on a busy machine."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s" % " ".join(argv))
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def best_of(rounds, *commands):
    """Each command `rounds` times, interleaved; the best figures of each."""
    best = [(float("inf"),) * 3] * len(commands)
    for _ in range(rounds):
        for i, argv in enumerate(commands):
            best[i] = tuple(map(min, best[i], measured(argv)))
    return best


def timed(fn):
    """(wall seconds, CPU seconds) of fn()."""
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sections", nargs="?", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-yaml", action="store_true")
    options = parser.parse_args()
    rounds = options.rounds
    run = record_job(options.sections)
    print("nodes: %d" % count_nodes(run))

    with tempfile.TemporaryDirectory() as folder:
        results = os.path.join(folder, "results.json")
        out = os.path.join(folder, "out.xml")
        with open(results, "w", encoding="utf-8") as f:
            f.write(run.dump_json())
        vexa = [sys.executable, "-m", "vexa.cli", "junit"]
        (t_cli, cpu_cli, mb_cli), (t_load, cpu_load, mb_load) = best_of(
            rounds, vexa + [results, "-o", out], [sys.executable, "-c", LOAD_ONLY, results])
        print("results file:          %.1f MB, JUnit XML %.1f MB"
              % (os.path.getsize(results) / 1e6, os.path.getsize(out) / 1e6))
        print("vexa junit (JSON):     %.2f s end to end (CPU %.2f s)   peak %.0f MB   (target <= 2 s)"
              % (t_cli, cpu_cli, mb_cli))
        print("json.load alone:       %.2f s (CPU %.2f s)   peak %.0f MB   "
              "(memory target <= %.0f MB: %+.0f MB)"
              % (t_load, cpu_load, mb_load, mb_load + 100, mb_cli - mb_load))

        dump = junit = (float("inf"),) * 2
        for _ in range(rounds):
            dump = tuple(map(min, dump, timed(run.dump_json)))
            junit = tuple(map(min, junit, timed(lambda: junit_xml(run))))
        print("live tree: junit_xml   %.3f s (CPU %.3f s)   dump_json %.3f s (CPU %.3f s)   "
              "ratio %.2fx   (target <= 1.5x)" % (*junit, *dump, junit[1] / dump[1]))

        if not options.no_yaml:
            results_yaml = os.path.join(folder, "results.yaml")
            with open(results_yaml, "w", encoding="utf-8") as f:
                f.write(run.dump_yaml())
            (t_yaml, cpu_yaml, mb_yaml), = best_of(1, vexa + [results_yaml, "-o", out])
            print("vexa junit (YAML):     %.2f s end to end (CPU %.2f s)   peak %.0f MB   "
                  "(%.1f MB file, no target)"
                  % (t_yaml, cpu_yaml, mb_yaml, os.path.getsize(results_yaml) / 1e6))


if __name__ == "__main__":
    main()
