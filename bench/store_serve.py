"""Serving: 50 connections fetching random nodes and children pages from a
store of 100 runs of 100,000 sections, with wrk; prints responses per
second, latency percentiles and the server's memory over the run.

    python bench/store_serve.py [--dir DIR] [--runs 100] [--seconds 60] [--connections 50]

The store is built once in DIR (default /tmp/vexa-bench): the 100,000-section
results file of store_import.py is imported, and the other runs are copies of
it made in SQL under other ids (same shape, same size). wrk (Debian package
"wrk") and the server share the machine's cores.
"""

import argparse
import os
import random
import re
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from store_import import results_file  # noqa: E402


def build(directory, runs):
    db = os.path.join(directory, "serve-%d.sqlite" % runs)
    url = "sqlite:///" + db
    from vexa.reporter.store import Store
    with Store(url) as store:
        have = len(store.runs(limit=1000)[0])
        if have >= runs:
            return url, db
        if have == 0:
            path, _ = results_file(directory, 100_000, False)
            print("importing %s ..." % path, flush=True)
            store.import_file(path)
    conn = sqlite3.connect(db, isolation_level=None)
    conn.execute("PRAGMA journal_mode = WAL")
    columns = [r[1] for r in conn.execute("PRAGMA table_info(runs)")]
    node_columns = [r[1] for r in conn.execute("PRAGMA table_info(nodes)")]
    for key in range(have + 1 if have else 2, runs + 1):
        print("copying run %d of %d ..." % (key, runs), end="\r", flush=True)
        conn.execute("BEGIN")
        conn.execute("INSERT INTO runs (%s) SELECT %s FROM runs WHERE key = 1" % (
            ", ".join(columns),
            ", ".join("%d" % key if c == "key" else "'\"bench-%d\"'" % key if c == "run_id" else c
                      for c in columns)))
        conn.execute("INSERT INTO nodes (%s) SELECT %s FROM nodes WHERE run = 1" % (
            ", ".join(node_columns), ", ".join(str(key) if c == "run" else c for c in node_columns)))
        conn.execute("COMMIT")
    conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    conn.close()
    print()
    return url, db


def targets(db, runs, count=20_000):
    conn = sqlite3.connect(db)
    n = conn.execute("SELECT nodes FROM runs WHERE key = 1").fetchone()[0]
    rng = random.Random(1)
    out = []
    for _ in range(count):
        key = rng.randint(1, runs)
        seq = rng.randrange(n)
        idlist, children = conn.execute("SELECT idlist, children FROM nodes WHERE run = ? AND seq = ?",
                                        (key, seq)).fetchone()
        path = urllib.parse.quote(idlist, safe="")
        if children and rng.random() < 0.5:
            out.append("/api/v1/runs/%d/children?limit=100&path=%s" % (key, path))
        else:
            out.append("/api/v1/runs/%d/node?path=%s" % (key, path))
    conn.close()
    return out


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def cpu_seconds(pid):
    """CPU time of the server and its worker processes."""
    pids = [pid]
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            pids += [int(p) for p in f.read().split()]
    except OSError:
        pass
    total = 0
    for p in pids:
        with open("/proc/%d/stat" % p) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default="/tmp/vexa-bench")
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--connections", type=int, default=50)
    parser.add_argument("--workers", type=int, default=1)
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    url, db = build(args.dir, args.runs)
    print("store: %d runs, %.1f GB" % (args.runs, os.path.getsize(db) / 1e9))
    script = tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False)
    paths = targets(db, args.runs)
    script.write("local paths = {\n%s\n}\n" % ",\n".join('"%s"' % p for p in paths))
    script.write("request = function()\n  return wrk.format('GET', paths[math.random(#paths)])\nend\n")
    script.close()

    command = [sys.executable, "-m", "vexa.cli", "serve", "--store", url, "--port", "0"]
    if args.workers > 1:
        command += ["--workers", str(args.workers)]
    server = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        address = server.stdout.readline().split(" at ")[1].strip()
        subprocess.run(["wrk", "-t2", "-c50", "-d5s", "-s", script.name, address],
                       capture_output=True, check=True)  # warm the caches
        memory = [rss_mb(server.pid)]
        cpu_before = cpu_seconds(server.pid)
        wrk = subprocess.Popen(["wrk", "-t2", "-c%d" % args.connections, "-d%ds" % args.seconds,
                                "--latency", "-s", script.name, address],
                               stdout=subprocess.PIPE, text=True)
        while wrk.poll() is None:
            time.sleep(min(10, args.seconds / 6))
            memory.append(rss_mb(server.pid))
        out = wrk.stdout.read()
        cpu_used = cpu_seconds(server.pid) - cpu_before
    finally:
        server.terminate()
        server.wait()
        os.unlink(script.name)
    rate = re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)
    latency = dict(re.findall(r"^\s+(50|75|90|99)%\s+(\S+)", out, re.M))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    print("responses per second:  %s" % rate)
    print("latency p50 / p90 / p99: %s / %s / %s" % (latency.get("50"), latency.get("90"),
                                                      latency.get("99")))
    total = int(re.search(r"(\d+) requests in", out).group(1))
    print("non-2xx responses:     %s" % (errors.group(1) if errors else 0))
    print("server CPU per response: %.2f ms (%d responses, %.1f CPU s)" % (
        1000 * cpu_used / max(total, 1), total, cpu_used))
    print("server memory, MB:     %s (first process, every %ds)" % (
        " ".join("%.0f" % m for m in memory), min(10, args.seconds // 6)))


if __name__ == "__main__":
    main()
