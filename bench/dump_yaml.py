"""Times dump_yaml() against yaml.dump with the same dumper, in one run.

    python bench/dump_yaml.py [SECTIONS]

dump_yaml() writes the document itself while YAMLDumper is as the module set
it up; yaml.dump(document, Dumper=YAMLDumper, default_flow_style=False) is
what it otherwise calls. Both must give the same text. CPU time is printed
beside wall time, as other work on the machine stretches only the latter.
"""

import gc
import os
import sys
import time

import yaml

import vexa.reporter.runsheaf as rs
from record import count_nodes, record_job


def timed(fn):
    """(wall, cpu) seconds of one call, and its result."""
    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn()
    return (time.perf_counter() - wall, time.process_time() - cpu), result


def main():
    n_sections = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    run = record_job(n_sections)
    print("nodes: %d, load average %.2f" % (count_nodes(run), os.getloadavg()[0]))

    fast_time, fast = timed(run.dump_yaml)
    document = rs.ReportHeader(run).as_dict()
    generic_time, generic = timed(lambda: yaml.dump(document, Dumper=rs.YAMLDumper,
                                                    default_flow_style=False))
    print("dump_yaml:  %6.2f s wall %6.2f s cpu   (%.1f MB)" % (*fast_time, len(fast) / 1e6))
    print("yaml.dump:  %6.2f s wall %6.2f s cpu" % generic_time)
    print("ratio:      %6.1fx wall %6.1fx cpu   same text: %s" % (
        generic_time[0] / fast_time[0], generic_time[1] / fast_time[1], fast == generic))


if __name__ == "__main__":
    main()
