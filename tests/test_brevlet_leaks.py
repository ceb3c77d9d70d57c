"""Repeated XML exports and escapes, failing ones included, leave nothing behind."""

import gc
import sys
import tempfile
import types

from xml.dom import minidom

import pytest

from vexa.reporter import brevlet
from vexa.reporter.brevlet import Brevlet, escape, escape_data

from brevlet_job import small_job


def grows(operation, repeat=100, rounds=3):
    """True when live objects or allocated blocks grow in every round.

    A reference leaked per call adds at least `repeat` blocks to each round;
    the interpreter's own caches (codecs, expat, free lists) fill up during
    the first rounds and then stay, so their growth dies away.
    """
    def state():
        gc.collect()
        return len(gc.get_objects()), sys.getallocatedblocks()

    def run():
        before = state()
        for _ in range(repeat):
            try:
                operation()
            except Exception:
                pass
        after = state()
        return after[0] - before[0], after[1] - before[1]

    run()
    growth = [run() for _ in range(rounds)]
    return any(min(g[i] for g in growth) >= repeat // 2 for i in (0, 1))


LOGSDIR = tempfile.mkdtemp()
JOB = small_job()
BROKEN = small_job()
del BROKEN.tasks[0].sections[1].type
DEEP = []
for _ in range(5000):
    DEEP = [DEEP]


def generic_export():
    generic = types.ModuleType("minidom")  # any other minidom: the generic path
    generic.parseString = minidom.parseString
    saved, brevlet.minidom = brevlet.minidom, generic
    try:
        Brevlet(LOGSDIR, JOB).generate_xml(None, None)
    finally:
        brevlet.minidom = saved


OPERATIONS = {
    "escape": lambda: escape("a\x00\x1b[0m\ud800é\U0001f600" * 20),
    "escape of a number": lambda: escape(5),
    "escape_data": lambda: escape_data({"k\x00": ["v\x1b", ("t", 1)], 2: None}),
    "escape_data too deep": lambda: escape_data(DEEP),
    "export": lambda: Brevlet(LOGSDIR, JOB).generate_xml(None, None),
    "export, generic path": generic_export,
    "export of a broken tree": lambda: Brevlet(LOGSDIR, BROKEN).generate_xml(None, None),
    "export into a missing directory":
        lambda: Brevlet(LOGSDIR + "/missing", JOB).generate_xml(None, None),
}


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_no_leak(name):
    assert not grows(OPERATIONS[name]), name


def test_the_check_sees_a_leak():
    kept = []
    assert grows(lambda: kept.append(str(len(kept)) * 10))
