"""A small finished job as a report tree of plain objects, for the XML tests.

Brevlet reads report trees by attribute access only, so SimpleNamespace
nodes with the attributes of the report model stand in for them.
"""

import datetime
from types import SimpleNamespace

from vexa.results import Failed, Passed, ResultCounter

START = datetime.datetime(2024, 5, 1, 10, 0, 0, 900000)
STOP = datetime.datetime(2024, 5, 1, 10, 0, 5, 100000)  # 5 s once microseconds go
FIVE = datetime.timedelta(seconds=5)


def node(**fields):
    """A report node: times, details, extra and sections unless given."""
    base = {"starttime": START, "stoptime": STOP, "details": [], "extra": {},
            "sections": []}
    base.update(fields)
    return SimpleNamespace(**base)


def counter(**counts):
    c = ResultCounter()
    for key, value in counts.items():
        c[key] = value
    return c


def small_job():
    """One task (common setup, a testcase, common cleanup) and a plugin run."""
    deep = node(id="deep", type="TestStep", name="deep step")
    inner = node(id="inner", type="TestStep", name="inner step", sections=[deep])
    step = node(id="step1", type="TestStep", name="step one",
                description="first step", result=Passed,
                extra={"index": 1, "continue_": True, "note": "n\x1b[1m"},
                sections=[inner])
    test = node(id="test_a", type="TestSection", name="test_a",
                description="checks a", result=Passed, details=["ok"],
                xref={"file": "tc.py", "line": 12},
                logs={"file": "task.log", "begin": 100, "size": 50},
                sections=[step])
    testcase = node(id="tc_one", type="Testcase", name="TC one",
                    description="the testcase\x00", result=Failed,
                    details=["boom\x1b", "again"], extra={"owner": "ann"},
                    xref={"file": "tc.py"}, logs={"file": "task.log", "begin": 90},
                    sections=[test])
    connect = node(id="connect", type="Subsection", name="connect",
                   sections=[node(id="ping", type="TestStep", name="ping")])
    check = node(id="check", type="PreProcessor", name="pre check")
    setup = node(id="common_setup", type="CommonSetup", name="common_setup",
                 description="prepare", result=Passed, details=["setup done"],
                 extra={"description": "from extra"}, sections=[connect, check])
    cleanup = node(id="common_cleanup", type="CommonCleanup",
                   name="common_cleanup", result=None)
    task = node(id="task-1", name="t1", logfile="t1.log", parameters={"a": 1},
                description="first task", testscript="/scripts/t1.py",
                summary=counter(passed=1, failed=1), details=["task detail"],
                sections=[setup, testcase, cleanup])
    plugin = node(id="plugin-1", type="Plugin", name="collector",
                  summary=counter(), sections=[])
    return node(id="job-1", name="nightly", archivefile="/archive/job.zip",
                submitter="ann", user="bob", host="lab-3", cli="vexa run job.py",
                vexapath="/opt/vexa", vexaversion="3.4",
                summary=counter(passed=1, failed=1), details=["run detail"],
                extra={"testbed": "tb1", "release": "r1", "image": "img1",
                       "trova": {"dnsname": "dns", "status": "done", "cmd": "c"}},
                tasks=[task, plugin])
