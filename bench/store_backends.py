"""Import and serving figures of the store on SQLite and on PostgreSQL.

    VEXA_TEST_POSTGRES=postgresql://... python bench/store_backends.py \\
        [--sections N] [--runs R] [--seconds S] [--connections C] [--workers W[,W...]]
        [--backends sqlite,postgresql] [--skip-import] [--skip-serving]

1. Import: a results file of N sections (1,000,000 by default; written once
   into /tmp/vexa-bench by make_results.py) into a new SQLite file and into a new
   schema of the PostgreSQL database, each in a process of its own: seconds,
   CPU seconds of the importer and of the database server (with
   VEXA_TEST_PGDATA naming the cluster's folder), and peak memory.
2. Serving: a store holding R runs of that file (ids changed), served by one
   `vexa serve` on SQLite and by two on PostgreSQL; `wrk` sends random node
   and children requests over C connections in all (split between the two
   servers) for S seconds: responses per second, 50th/90th/99th
   percentiles, errors, CPU milliseconds per response of the servers (all
   their processes) and of the database server, and the servers' memory at
   the start and at the end.

PostgreSQL from a throwaway cluster, as CI starts it, with the memory a
team's database server has:
    VEXA_PG_OPTIONS="-c shared_buffers=4GB" \
        bash -c '. .ci/postgres.sh && start_postgres && python bench/store_backends.py'
(otherwise PostgreSQL's default settings, but fsync=off: nothing here waits
for the disk; with the default 128 MB of shared buffers, 100 runs' indexes
do not fit and the 99th percentile rises by half). Each serving measurement
follows a 5-second run that warms the caches and opens the servers'
connections.
The machine is shared: compare wall-clock figures only within one sitting,
and read the CPU seconds beside them.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))

TASKS_PER_SECTIONS = 10_000  # record.py: a task per 1000 testcases of 10 sections

IMPORT = """
import resource, sys, time
from vexa.reporter.store import Store
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
with Store(sys.argv[1]) as store:
    started, started_cpu = time.perf_counter(), cpu()
    result = store.import_file(sys.argv[2])
    took, used = time.perf_counter() - started, cpu() - started_cpu
print(result["nodes"], took, used, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
"""

WRK_SCRIPT = """
local keys = {%(keys)s}
local tasks, testcases = %(tasks)d, %(testcases)d
function init(args)
  math.randomseed(os.time() * 1000 + math.floor(os.clock() * 1e6) + tonumber(tostring({}):sub(8), 16) %% 1000)
end
function request()
  local key = keys[math.random(#keys)]
  local t = math.random(0, tasks - 1)
  local c = math.random(0, testcases - 1)
  local path
  if math.random() < 0.5 then
    path = "/api/v1/runs/" .. key .. "/node?path=%%5B%%22task" .. t .. "%%22%%2C%%22tc" .. c
      .. "%%22%%2C" .. math.random(0, 8) .. "%%5D"
  else
    path = "/api/v1/runs/" .. key .. "/children?path=%%5B%%22task" .. t .. "%%22%%2C%%22tc" .. c .. "%%22%%5D"
  end
  return wrk.format("GET", path)
end
"""


def results_file(sections):
    """The results file of record.py's job of this size, written once."""
    directory = os.path.join(tempfile.gettempdir(), "vexa-bench")
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, "results-%d.json" % sections)
    if not os.path.exists(path):
        print("writing %s ..." % path, flush=True)
        subprocess.run([sys.executable, os.path.join(HERE, "make_results.py"), str(sections),
                        path + ".part"], check=True)
        os.replace(path + ".part", path)
    return path


def server_cpu():
    """CPU seconds used so far by the PostgreSQL cluster in VEXA_TEST_PGDATA
    (its postmaster and every process under it), or None."""
    data = os.environ.get("VEXA_TEST_PGDATA")
    try:
        with open(os.path.join(data, "postmaster.pid")) as f:
            postmaster = int(f.readline())
    except (TypeError, OSError, ValueError):
        return None
    total = 0
    tick = os.sysconf("SC_CLK_TCK")
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(pid) == postmaster:  # with the sessions that have ended
            total += sum(int(n) for n in fields[11:15]) / tick
        elif int(fields[1]) == postmaster:
            total += (int(fields[11]) + int(fields[12])) / tick
    return total


def postgres_url(base):
    """A new, empty schema of the database at `base`, as a store URL."""
    import urllib.parse
    import psycopg
    schema = "bench_" + uuid.uuid4().hex[:8]
    with psycopg.connect(base, autocommit=True) as conn:
        conn.execute("CREATE SCHEMA %s" % schema)
    parts = urllib.parse.urlsplit(base)
    query = urllib.parse.parse_qsl(parts.query) + [("options", "-c search_path=" + schema)]
    return urllib.parse.urlunsplit(parts._replace(
        query=urllib.parse.urlencode(query, quote_via=urllib.parse.quote))), schema


def drop_schema(base, schema):
    import psycopg
    with psycopg.connect(base, autocommit=True) as conn:
        conn.execute("DROP SCHEMA %s CASCADE" % schema)


def timed_import(url, path):
    """(nodes, seconds, CPU seconds of the importer, of the database server, peak MB)"""
    before = server_cpu()
    out = subprocess.run([sys.executable, "-c", IMPORT, url, path], check=True,
                         capture_output=True, text=True).stdout.split()
    after = server_cpu()
    database = after - before if url.startswith("postgresql") and before is not None else 0
    return int(out[0]), float(out[1]), float(out[2]), database, int(out[3])


def fill(url, path, runs):
    """A store holding `runs` runs of the file: imported once, then copied
    in SQL under other ids (same shape, same size; importing each would
    take longer than the measurement)."""
    from vexa.reporter.store import Store
    from vexa.reporter.store.sql import NODE_COLUMNS, RUN_COLUMNS
    with Store(url) as store:
        first = store.import_file(path)["key"]
        keys = [first]
        runs_from = ", ".join(RUN_COLUMNS)
        nodes_from = ", ".join(NODE_COLUMNS)
        for n in range(1, runs):
            key = first + n
            print("  copying run %d of %d ..." % (n + 1, runs), end="\r", flush=True)
            run_values = ", ".join("%d" % key if c == "key" else "'\"bench-%d\"'" % key
                                   if c == "run_id" else c for c in RUN_COLUMNS)
            node_values = ", ".join("%d" % key if c == "run" else c for c in NODE_COLUMNS)
            with store.backend.borrow() as conn:
                store.backend.begin_write(conn)
                conn.execute("INSERT INTO runs (%s) SELECT %s FROM runs WHERE key = %d"
                             % (runs_from, run_values, first))
                conn.execute("INSERT INTO nodes (%s) SELECT %s FROM nodes WHERE run = %d"
                             % (nodes_from, node_values, first))
                store.backend.commit(conn)
            keys.append(key)
        with store.backend.borrow() as conn:
            conn.execute("UPDATE meta SET value = '%d' WHERE name = 'last_key'" % keys[-1])
            if url.startswith("postgresql"):
                conn.execute("ANALYZE")
    print()
    return keys


def _family(pid):
    """The process and its children, as /proc entries."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(entry) == pid or int(fields[1]) == pid:
            yield entry, fields


def rss_mb(pid):
    """Resident memory of a server: its process and its forked workers."""
    total = 0
    for entry, fields in _family(pid):
        total += int(fields[21]) * os.sysconf("SC_PAGE_SIZE")
    return total >> 20


def cpu_of(pid):
    """CPU seconds used so far by a server and its forked workers."""
    return sum(int(f[11]) + int(f[12]) for _, f in _family(pid)) / os.sysconf("SC_CLK_TCK")


def serve(url, count, workers):
    env = dict(os.environ, VEXA_STORE=url)
    servers = []
    for _ in range(count):
        process = subprocess.Popen([sys.executable, "-m", "vexa.cli", "serve", "--port", "0",
                                    "--workers", str(workers)],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        line = process.stdout.readline()
        if not line.startswith("serving "):
            raise SystemExit("server did not start: " + process.stderr.read())
        servers.append((process, line.split(" at ")[1].strip()))
    return servers


def wrk(servers, keys, sections, seconds, connections):
    script = tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False)
    tasks = max(1, sections // TASKS_PER_SECTIONS)
    script.write(WRK_SCRIPT % {"keys": ", ".join(map(str, keys)), "tasks": tasks,
                               "testcases": max(1, sections // 10) // tasks})
    script.close()
    per = max(1, connections // len(servers))
    before = [rss_mb(p.pid) for p, _ in servers]
    cpu_before = sum(cpu_of(p.pid) for p, _ in servers), server_cpu()
    loads = [subprocess.Popen(["wrk", "-t", "1", "-c", str(per), "-d", "%ds" % seconds, "--latency",
                               "-s", script.name, url], stdout=subprocess.PIPE, text=True)
             for _, url in servers]
    outputs = [load.communicate()[0] for load in loads]
    cpu_after = sum(cpu_of(p.pid) for p, _ in servers), server_cpu()
    after = [rss_mb(p.pid) for p, _ in servers]
    os.unlink(script.name)
    rps = sum(float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)) for out in outputs)
    # The worse of the servers' percentiles (wrk reports each load's own).
    latency = [max(_ms(re.search(r"^\s+%d%%\s+(\S+)" % p, out, re.M).group(1)) for out in outputs)
               for p in (50, 90, 99)]
    total = sum(int(re.search(r"(\d+) requests in", out).group(1)) for out in outputs)
    cpu = [1000 * (cpu_after[0] - cpu_before[0]) / max(total, 1),
           None if cpu_before[1] is None else 1000 * (cpu_after[1] - cpu_before[1]) / max(total, 1)]
    errors = sum(int(m.group(1)) for out in outputs
                 for m in [re.search(r"Non-2xx or 3xx responses: (\d+)", out)] if m)
    errors += sum(sum(int(n) for n in m.groups()) for out in outputs
                  for m in [re.search(r"connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)] if m)
    return rps, latency, errors, cpu, before, after


def _ms(text):
    value = float(re.match(r"[\d.]+", text).group(0))
    return value * {"us": 0.001, "ms": 1, "s": 1000}[re.search(r"[a-z]+$", text).group(0)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sections", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--serve-sections", type=int, default=100_000)
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--connections", type=int, default=50)
    parser.add_argument("--workers", default="2",
                        help="worker processes per server; a list (1,2) measures each in turn")
    parser.add_argument("--backends", default="sqlite,postgresql",
                        help="which back ends to measure (sqlite,postgresql)")
    parser.add_argument("--skip-import", action="store_true")
    parser.add_argument("--skip-serving", action="store_true")
    args = parser.parse_args()
    base = os.environ.get("VEXA_TEST_POSTGRES")
    if not base:
        raise SystemExit("set VEXA_TEST_POSTGRES to a PostgreSQL database the benchmark may use")
    work = tempfile.mkdtemp(prefix="vexa-bench-")
    schemas = []
    try:
        if not args.skip_import:
            path = results_file(args.sections)
            print("import of %s (%d sections, %d MB)" % (os.path.basename(path), args.sections,
                                                         os.path.getsize(path) >> 20))
            for name in args.backends.split(","):
                if name == "sqlite":
                    url = "sqlite:///" + os.path.join(work, "import.sqlite")
                else:
                    url, schema = postgres_url(base)
                    schemas.append(schema)
                nodes, took, cpu, database, peak = timed_import(url, path)
                print("  %-10s %7d nodes  %6.1f s  (CPU: importer %5.1f s, database %5.1f s)  "
                      "peak %4d MB" % (name, nodes, took, cpu, database, peak), flush=True)
        if not args.skip_serving:
            path = results_file(args.serve_sections)
            print("serving %d runs of %d sections, %d connections, %d s, random nodes and "
                  "children pages"
                  % (args.runs, args.serve_sections, args.connections, args.seconds))
            for name, count in (("sqlite", 1), ("postgresql", 2)):
                if name not in args.backends.split(","):
                    continue
                if name == "sqlite":
                    url = "sqlite:///" + os.path.join(work, "serve.sqlite")
                else:
                    url, schema = postgres_url(base)
                    schemas.append(schema)
                keys = fill(url, path, args.runs)
                for workers in [int(w) for w in args.workers.split(",")]:
                    measure_serving(name, url, count, workers, keys, args)
    finally:
        for schema in schemas:
            drop_schema(base, schema)
        subprocess.run(["rm", "-rf", work])


def measure_serving(name, url, count, workers, keys, args):
    """One serving measurement: `count` servers of `workers` processes each."""
    servers = serve(url, count, workers)
    try:
        wrk(servers, keys, args.serve_sections, min(5, args.seconds),
            args.connections)  # warms the caches, and the servers' connections
        rps, latency, errors, cpu, before, after = wrk(
            servers, keys, args.serve_sections, args.seconds, args.connections)
    finally:
        for process, _ in servers:
            process.terminate()
            process.wait()
    print("  %-10s %d server%s x %d worker%s  %7.0f responses/s  p50/p90/p99 %s ms  errors %d  "
          "CPU per response: servers %.2f ms%s  memory %s MB -> %s MB"
          % (name, count, "s" if count > 1 else " ", workers, "s" if workers > 1 else " ", rps,
             "/".join("%.1f" % v for v in latency), errors, cpu[0],
             ", database %.2f ms" % cpu[1]
             if name == "postgresql" and cpu[1] is not None else "",
             "+".join(map(str, before)), "+".join(map(str, after))), flush=True)


if __name__ == "__main__":
    main()
