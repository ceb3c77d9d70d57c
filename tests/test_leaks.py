"""Repeated operations, those that raise included, leave no objects or memory
behind: a leaked reference would grow both."""

import gc
import tracemalloc

import pytest

import vexa.reporter.runsheaf as rs
from vexa.results import Failed, Passed


def grows(operation, rounds=3, repeat=300):
    """True when the live objects or traced memory keep growing."""
    def measure():
        for _ in range(repeat):
            try:
                operation()
            except Exception:
                pass
        gc.collect()
        return len(gc.get_objects()), tracemalloc.get_traced_memory()[0]

    tracemalloc.start()
    try:
        measure()  # warm caches up
        first = measure()
        for _ in range(rounds):
            last = measure()
    finally:
        tracemalloc.stop()
    return last[0] - first[0] > repeat // 10 or last[1] - first[1] > repeat * 64


def record():
    run = rs.Runsheaf(id="r", seq_num=0)
    run.start(host="h", colour="red")
    task = run.add_task(id="t", seq_num=1)
    task.start(logfile="/nonexistent/t.log")
    tc = task.add_section(id="tc", seq_num=2)
    tc.start(logfile="/nonexistent/t.log", description="d")
    step = tc.add_section(id=1, seq_num=3)
    step.start()
    step.stop(result=Failed, health=[{"result": "passed"}], details=["x"])
    tc.stop()
    plugin = task.add_plugin(id="p", seq_num=4)
    plugin.start(logfile="/nonexistent/p.log")
    plugin.stop(logfile="/nonexistent/q.log")
    task.stop()
    run.add_plugin(id="rp", seq_num=5).start()
    run.stop(num_tasks=2)
    return run


RUN = record()
SECTION = RUN.tasks[0].sections[0]
CIRCULAR = rs.Section(id="c", seq_num=0)
CIRCULAR.extra["me"] = CIRCULAR

OPERATIONS = {
    "record a job": record,
    "fullid and idlist": lambda: (SECTION.sections[0].fullid, SECTION.sections[0].idlist),
    "results": lambda: (RUN.result, RUN.tasks[0].result),
    "dump_json": RUN.dump_json,
    "dump_yaml": SECTION.dump_yaml,
    "to_dict": lambda: [n.to_dict() for n in (RUN, RUN.tasks[0], SECTION)],
    "bad constructor": lambda: rs.Section(id="x"),
    "unexpected keyword": lambda: rs.Section(id="x", seq_num=1, colour=1),
    "parent given twice": lambda: RUN.tasks[0].add_section(id="x", seq_num=1, parent=None),
    "update with None": lambda: SECTION.update(None),
    "update of fullid": lambda: SECTION.update({"name": "tc", "fullid": "x"}),
    "result of a task": lambda: RUN.tasks[0].start(result=Passed),
    "bad health": lambda: rs.Section(id="x", seq_num=1, parent=SECTION).stop(
        result=Passed, health=[{}]),
    "circular json": CIRCULAR.dump_json,
    "unencodable json": lambda: rs.Section(id="x", seq_num=1).update({"s": {1}}) or None,
}


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_no_leak(name):
    assert not grows(OPERATIONS[name]), name


def test_the_check_sees_a_leak():
    kept = []
    assert grows(lambda: kept.append({"leaked": object()}))
    assert grows(lambda: kept.append("".join(["x"] * 100)))
