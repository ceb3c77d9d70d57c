"""Times dump_yaml() against yaml.dump with the same dumper, in one run.

    python bench/dump_yaml.py [SECTIONS]

dump_yaml() writes the document itself while YAMLDumper is as the module set
it up; yaml.dump(document, Dumper=YAMLDumper, default_flow_style=False) is
what it otherwise calls. Both must give the same text.
"""

import gc
import sys
import time

import yaml

import vexa.reporter.runsheaf as rs
from record import count_nodes, record_job


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    n_sections = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    run = record_job(n_sections)
    print("nodes: %d" % count_nodes(run))

    t_fast, fast = timed(run.dump_yaml)
    document = rs.ReportHeader(run).as_dict()
    t_generic, generic = timed(lambda: yaml.dump(document, Dumper=rs.YAMLDumper,
                                                 default_flow_style=False))
    print("dump_yaml:  %.2f s   (%.1f MB)" % (t_fast, len(fast) / 1e6))
    print("yaml.dump:  %.2f s" % t_generic)
    print("ratio:      %.1fx   same text: %s" % (t_generic / t_fast, fast == generic))


if __name__ == "__main__":
    main()
