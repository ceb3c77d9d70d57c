"""Imports results files of 100,000 and 1,000,000 sections into a fresh store
and prints the time and the peak memory of each import.

    python bench/store_import.py [--dir DIR] [--sizes 100000,1000000] [--yaml]

The files are written once into DIR (default /tmp/vexa-bench) by recording
the job of record.py; each import runs in a process of its own, so its peak
resident memory is its own. Run it three times in one sitting and take the
best: other work on the machine inflates wall-clock figures (the CPU
seconds of the import process are printed beside them).
"""

import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

IMPORT = """
import resource, sys, time
from vexa.reporter.store import Store
store = Store(sys.argv[1])
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
start, start_cpu = time.perf_counter(), cpu()
result = store.import_file(sys.argv[2])
elapsed, used = time.perf_counter() - start, cpu() - start_cpu
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print("%d %.2f %.2f %.0f" % (result["nodes"], elapsed, used, peak))
"""


def results_file(directory, sections, yaml):
    path = os.path.join(directory, "results-%d.json" % sections)
    yaml_path = path[:-5] + ".yaml"
    if not os.path.exists(path) or (yaml and not os.path.exists(yaml_path)):
        print("writing %s ..." % path, flush=True)
        args = [sys.executable, os.path.join(HERE, "make_results.py"), str(sections), path]
        if yaml:
            args.append(yaml_path)
        subprocess.run(args, check=True)
    return path, yaml_path


def import_once(directory, path):
    db = os.path.join(directory, "import.sqlite")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.remove(db + suffix)
    out = subprocess.run([sys.executable, "-c", IMPORT, "sqlite:///" + db, path],
                         check=True, capture_output=True, text=True).stdout.split()
    os.remove(db)
    return int(out[0]), float(out[1]), float(out[2]), float(out[3])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default="/tmp/vexa-bench")
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--yaml", action="store_true", help="also import the YAML form (100,000 only)")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    print("%-24s %8s %9s %9s %9s %9s" % ("file", "MB", "nodes", "seconds", "CPU s", "peak MB"))
    for sections in [int(s) for s in args.sizes.split(",")]:
        path, yaml_path = results_file(args.dir, sections, args.yaml and sections <= 100_000)
        kinds = [path] + ([yaml_path] if args.yaml and sections <= 100_000 else [])
        for p in kinds:
            nodes, seconds, used, peak = import_once(args.dir, p)
            print("%-24s %8.0f %9d %9.2f %9.2f %9.0f" % (os.path.basename(p), os.path.getsize(p) / 1e6,
                                                        nodes, seconds, used, peak), flush=True)


if __name__ == "__main__":
    main()
