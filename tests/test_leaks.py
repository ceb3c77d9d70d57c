"""Repeated operations, those that raise included, leave no objects or memory
behind: a leaked reference would grow both."""

import datetime as dt
import gc
import subprocess
import sys
import tracemalloc
import weakref

import pytest

import vexa.reporter.runsheaf as rs
from vexa.results import Failed, Passed, ResultCounter


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
# Every kind of value dump_json writes itself, and the same followed by a set,
# where the writer gives up and json.dumps raises.
RICH = rs.Section(id=7, seq_num=0)
RICH.start(when=[dt.datetime(2026, 1, 1), dt.datetime.now(dt.timezone(dt.timedelta(hours=1)))],
           text="\u00e9\ud800\U0001f600", numbers=(10**30, 2.5, float("nan")),
           keys={1: 1, 2.5: 2, None: 3}, error=ValueError("x"), counts=ResultCounter())
RICH.add_section(id=1, seq_num=1).add_section(id=2, seq_num=2).stop(result=Failed("why", data=[1]))
GIVES_UP = rs.Section(id="gives up", seq_num=0)
GIVES_UP.sections += [RICH, rs.Section(id="bad", seq_num=1)]
GIVES_UP.sections[-1].extra["set"] = {1}

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
    "dump_json of every kind of value": RICH.dump_json,
    "dump_json that gives up half way": GIVES_UP.dump_json,
    "unencodable json": lambda: rs.Section(id="x", seq_num=1).update({"s": {1}}) or None,
}


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_no_leak(name):
    assert not grows(OPERATIONS[name]), name


class Marker:
    """Something inside a cycle that a weak reference can watch."""


def child_of(node):
    return rs.Section(id="child", seq_num=1, parent=node)


# Cycles a user makes through what a step holds: its lists and its counter
# (which the collector is spared while they hold plain values).
CYCLES = {
    "detail added": lambda step, m: step.add_detail({"m": m}),
    "details given to stop": lambda step, m: step.stop(details=[m]),
    "details appended, then stopped": lambda step, m: (step.details.append(m), step.stop()),
    "child appended, then stopped": lambda step, m: (step.sections.append(child_of(step)),
                                                     step.sections[0].extra.update(m=m), step.stop()),
    "child given to update": lambda step, m: step.update({"sections": [child_of(step)]}),
    "counter item": lambda step, m: step.health_summary.__setitem__("passed", m),
    "counter total": lambda step, m: step.health_summary.__setitem__("total", [m]),
    "counter data written, then read": lambda step, m: (step.health_summary.data.update(x=m),
                                                        step.health_summary["x"]),
    "counter weight": lambda step, m: setattr(step.health_summary, "weight", m),
}


@pytest.mark.parametrize("make", CYCLES.values(), ids=list(CYCLES))
def test_a_dropped_run_with_cycles_of_its_users_is_freed(make):
    def record_and_drop():
        run = rs.Runsheaf(id="r", seq_num=0)
        tc = run.add_task(id="t", seq_num=1).add_section(id="tc", seq_num=2)
        step = tc.add_section(id=1, seq_num=3)
        step.start(description="d", xref={"line": 1})
        step.add_detail("text")
        marker = Marker()
        marker.step = step  # the step reaches the marker below: a cycle
        make(step, marker)
        return weakref.ref(run), weakref.ref(marker)

    refs = record_and_drop()
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


def test_a_step_of_plain_values_leaves_the_collector_only_itself():
    run = rs.Runsheaf(id="r", seq_num=0)
    tc = run.add_task(id="t", seq_num=1).add_section(id="tc", seq_num=2)
    step = tc.add_section(id=1, seq_num=3)
    step.start(description="d", xref={"line": 1}, index=1, details=["a"])
    step.add_detail("b")
    step.stop(result=Passed)
    tc.stop()
    held = [step.details, step.sections, step.health_summary, step.extra, step.logs, step.xref]
    assert gc.is_tracked(step) and not any(gc.is_tracked(x) for x in held)
    assert gc.is_tracked(tc.sections)


def reachable(root):
    """The objects of a tree: nodes, their values and what those hold."""
    seen, stack = {}, [root]
    while stack:
        obj = stack.pop()
        if id(obj) not in seen and not isinstance(obj, type):
            seen[id(obj)] = obj
            stack.extend(gc.get_referents(obj))
            if isinstance(obj, dt.datetime):
                stack.append(obj.tzinfo)  # not one of its referents
    return list(seen.values())


# By name: nodes held by the test's marks outlive the modules' leak check.
@pytest.mark.parametrize("name", ["RICH", "GIVES_UP"])
def test_dump_json_keeps_reference_counts(name):
    node = globals()[name]

    def dump():
        try:
            node.dump_json()
        except TypeError:
            pass

    dump()  # first use fills caches that hold common objects
    # Widely shared objects (None, interned and frozen constants) see their
    # counts move with unrelated code before 3.12 made them immortal.
    objects = [obj for obj in reachable(node) if sys.getrefcount(obj) < 10000]
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(20):
        dump()
    assert [sys.getrefcount(obj) for obj in objects] == before


def test_the_check_sees_a_leak():
    kept = []
    assert grows(lambda: kept.append({"leaked": object()}))
    assert grows(lambda: kept.append("".join(["x"] * 100)))


# A datetime is not tracked by the cyclic collector, so one whose tzinfo is of
# a class defined in the script keeps the script's namespace, and every report
# object in it, alive past the interpreter's end. Exit must stay clean (the
# sanitizer build aborts on nanobind objects left then).
EXIT_SCRIPT = """if True:
    import datetime
    import vexa.reporter.runsheaf as rs

    class Zone(datetime.tzinfo):
        def utcoffset(self, when):
            return datetime.timedelta(hours=1)

    section = rs.Section(id="s", seq_num=1)
    when = datetime.datetime(2026, 1, 1, tzinfo=Zone())
"""

EVERY_CLASS = """if True:
    import vexa.reporter.commands as commands
    from vexa.reporter.brevlet import Brevlet
    from vexa.reporter.explorer import Explorer

    class Client:
        def get_runsheaf(self):
            return {"tasks": ["t"]}

        def get_section(self, id_list):
            return {"id": id_list[-1]}

    run = rs.Runsheaf(id="r", seq_num=0)
    plugin = run.add_task(id="t", seq_num=1).add_plugin(id="p", seq_num=2)
    brevlet = Brevlet(".", run)
    explorer = Explorer(Client())
    children = iter(explorer.tasks)
    command = commands.ValidateResultsFile
    dumpers = rs.JSONDumper(), rs.YAMLDumper(None), rs.ReportHeader(run)
"""


@pytest.mark.parametrize("extra", ["", EVERY_CLASS], ids=["a section", "every class"])
def test_exit_with_objects_in_garbage_never_freed(extra):
    done = subprocess.run([sys.executable, "-c", EXIT_SCRIPT + extra], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "leaked" not in done.stderr
