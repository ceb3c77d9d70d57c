"""What the legacy report objects receive from a report tree.

The legacy library's objects keep what they are given, so after
generate_xml the legacy tree is the record of every call.
"""

import datetime
from types import SimpleNamespace

import pytest
from hypothesis import given
from hypothesis import strategies as st

from vexa.reporter import brevlet
from vexa.reporter.brevlet import Brevlet
from vexa.zelreport.runsheaf import Runsheaf as LegacyRun

from brevlet_job import FIVE, START, STOP, counter, node, small_job


def convert(tmp_path, run, cls=Brevlet):
    b = cls(str(tmp_path), run)
    assert b.generate_xml(None, {}) is None
    return b.zelreport.runsheaf


def position(obj):
    """xref and log position as (file, line, path, begin, size)."""
    return (obj.xref.file, obj.xref.line, obj.logfile.filepath,
            obj.logfile.attrs["begin"], obj.logfile.attrs["size"])


@pytest.fixture
def job():
    return small_job()


@pytest.fixture
def legacy(tmp_path, job):
    return convert(tmp_path, job)


def test_run(legacy, job):
    info = legacy.initinfo
    assert (legacy.starttime, legacy.stoptime, legacy.runtime) == (START, STOP, FIVE)
    assert (info.jobid, info.name, legacy.archivefile) == ("job-1", "nightly", "/archive/job.zip")
    assert (info.testbed, info.release, info.image) == ("tb1", "r1", "img1")
    assert (info.submitter, info.user, list(info.hosts)) == ("ann", "bob", ["lab-3"])
    assert (info.params.cli, info.korb.path, info.korb.version) == (
        "vexa run job.py", "/opt/vexa", "3.4")
    assert legacy.summary.updates == [job.summary] and legacy.summary.updates[0] is job.summary
    assert legacy.runinfo.diags == ["run detail"]
    assert legacy.trova.calls == [{"dnsname": "dns", "post": {"status": "done", "cmd": "c"}}]
    assert legacy.jobexecution.runtime == FIVE


def test_each_task_and_run_level_plugin_becomes_a_test_script(legacy, job):
    scripts = legacy.jobexecution.testscripts
    assert [id for _, id in scripts] == ["task-1", "plugin-1"]
    task_script, plugin_script = (s for s, _ in scripts)
    assert plugin_script.initinfo.logfile.filepath is None  # plugin: no logfile
    assert task_script.parent is None
    info = task_script.initinfo
    assert (info.pargs, info.description) == ("{'a': 1}", "first task")
    assert (info.logfile.filepath, info.script.name, info.script.path) == (
        "t1.log", "t1.py", "/scripts")
    assert task_script.summary.updates == [job.tasks[0].summary]
    assert task_script.runinfo.diags == ["task detail"]
    assert task_script.runtime == FIVE
    kinds = [(type(c).__name__, getattr(c, "tcid", None) or c.id.idtypevalue)
             for c in task_script.children]
    assert kinds == [("TestSection", "commonSetup"), ("TestCase", "tc_one"),
                     ("TestSection", "commonCleanup")]


def test_common_setup_and_its_subsections(legacy):
    setup, _, cleanup = legacy.jobexecution.testscripts[0][0].children
    # the section's own extra wins over its description
    assert setup.extra == {"description": "from extra"}
    assert position(setup) == ("", -1, "", -1, -1)
    assert setup.result.value == "passed" and setup.runinfo.diags == ["setup done"]
    connect, check = setup.children
    assert (connect.name, connect.id.idtypevalue, connect.id.attrs) == (
        "connect", "connect", {"name": "connect"})
    assert (check.name, check.id.idtypevalue) == ("pre check", "check pre check")
    assert [(s.id.idtypevalue, s.name) for s in connect.children] == [("ping", "ping")]
    assert cleanup.result.value is None  # a None result is not written


def test_testcase(legacy):
    tc = legacy.jobexecution.testscripts[0][0].children[1]
    info = tc.initinfo
    assert (tc.tcid, tc.logfilepath) == ("tc_one", "task.log")
    assert (info.id.idtypevalue, info.id.attrs, info.name) == ("tc_one", {"name": "tc_one"}, "TC one")
    assert {info.swversion, info.hwversion, info.fwversion, info.tstversion} == {"None"}
    assert info.description == "the testcase\\x00"
    assert position(info) == ("tc.py", -1, "task.log", 90, -1)
    assert tc.result.value == "failed"
    assert tc.runinfo.diags == ["boom\\x1b", "again"]
    assert tc.extra == {"owner": "ann"}
    assert [s.id.idtypevalue for s in tc.children] == ["test_a"]


def test_test_section_and_nested_steps(legacy, job):
    test = legacy.jobexecution.testscripts[0][0].children[1].children[0]
    assert test.extra == {"description": "checks a"}
    assert position(test) == ("tc.py", 12, "task.log", 100, 50)
    assert (test.result.value, test.runinfo.diags, test.runtime) == ("passed", ["ok"], FIVE)
    [step] = test.children
    assert (step.id.idtypevalue, step.name, step.description) == ("step1", "step one", "first step")
    assert (step.index, step.continue_, step.extra) == (1, True, {"note": "n\\x1b[1m"})
    assert step.result.value == "passed"
    # the report step keeps its own extra
    report_step = job.tasks[0].sections[1].sections[0].sections[0]
    assert report_step.extra == {"index": 1, "continue_": True, "note": "n\x1b[1m"}
    [inner] = step.children
    [deep] = inner.children
    assert (inner.name, inner.description, deep.name) == ("inner step", "", "deep step")
    assert (inner.index, inner.extra) == (None, {})


@pytest.mark.parametrize("start, stop, runtime", [
    (START, STOP, FIVE),
    (datetime.datetime(2024, 1, 1, 10, 0, 0, 900000),
     datetime.datetime(2024, 1, 1, 10, 0, 1, 100000), datetime.timedelta(seconds=1)),
    (START, None, None),
    (None, STOP, None),
])
def test_runtime_drops_microseconds_and_needs_both_times(tmp_path, job, start, stop, runtime):
    step = job.tasks[0].sections[1].sections[0].sections[0]
    for n in (job, job.tasks[0], step):
        n.starttime, n.stoptime = start, stop
    legacy = convert(tmp_path, job)
    script = legacy.jobexecution.testscripts[0][0]
    legacy_step = script.children[1].children[0].children[0]
    assert legacy.runtime == script.runtime == legacy_step.runtime == runtime


def test_absent_optional_attributes_give_defaults(tmp_path):
    def bare(id, *children):
        return SimpleNamespace(id=id, type="T", name=id, starttime=None, stoptime=None,
                               details=[], extra={}, sections=list(children))
    task = SimpleNamespace(id="t", starttime=None, stoptime=None, summary=counter(),
                           details=[], sections=[bare("tc", bare("test", bare("step")))])
    run = SimpleNamespace(id="r", name="r", starttime=None, stoptime=None, extra={},
                          summary=counter(), details=[], tasks=[task])
    legacy = convert(tmp_path, run)
    script = legacy.jobexecution.testscripts[0][0]
    tc = script.children[0]
    assert tc.logfilepath == ""
    assert position(tc.initinfo) == ("", -1, "", -1, -1)
    assert tc.initinfo.description is None and tc.result.value is None
    test = tc.children[0]
    assert position(test) == ("", -1, "", -1, -1) and test.extra == {}
    assert test.children[0].description == ""
    assert script.initinfo.logfile.filepath is None and script.initinfo.pargs is None
    assert legacy.archivefile is None and list(legacy.initinfo.hosts) == []
    assert legacy.trova.calls == []


@pytest.mark.parametrize("trova, calls", [
    ({}, [{}]),
    ({"status": "s"}, [{"post": {"status": "s"}}]),
    ({"attributes": {"a": 1}, "error": "e"}, [{"attributes": {"a": 1}, "post": {"error": "e"}}]),
])
def test_trova_entry(tmp_path, job, trova, calls):
    job.extra = {"trova": trova}
    assert convert(tmp_path, job).trova.calls == calls


def test_section_kinds_and_processor_ids(tmp_path, job):
    task = job.tasks[0]
    task.sections = [node(id="cs", type="commonSetup", name="cs", sections=[
        node(id="s1", type="ProcessorStep", name="a"),
        node(id=7, type="PostProcessor", name=None)])]
    tc = convert(tmp_path, job).jobexecution.testscripts[0][0].children[0]
    assert type(tc).__name__ == "TestCase"  # dispatch is case-sensitive
    assert [s.id.idtypevalue for s in tc.children] == ["s1", "7 None"]


def test_values_that_are_not_text_go_to_escape_as_text(tmp_path, job):
    task = job.tasks[0]
    task.description = 42
    task.sections = [node(id="tc", type="Testcase", name="tc", description=3.5,
                          details=[7, None], sections=[
                              node(id="t", type="T", name="t", sections=[
                                  node(id=1, type="TestStep", name=1)])])]
    script = convert(tmp_path, job).jobexecution.testscripts[0][0]
    tc = script.children[0]
    assert script.initinfo.description == "42"
    assert (tc.initinfo.description, tc.runinfo.diags) == ("3.5", ["7", "None"])
    step = tc.children[0].children[0]
    assert (step.id.idtypevalue, step.name) == (1, "1")


def test_methods_are_found_through_self_and_names_through_the_module(tmp_path, job, monkeypatch):
    seen = []

    class Recording(Brevlet):
        def _handle_step(self, zelstep, step):
            seen.append(step.id)
            return super()._handle_step(zelstep, step)

    monkeypatch.setattr(brevlet, "escape", lambda text: "<%s>" % text)
    legacy = convert(tmp_path, job, Recording)
    assert seen == ["ping", "step1", "inner", "deep"]
    assert legacy.runinfo.diags == ["<run detail>"]


def test_every_extra_goes_through_the_module_escape_data(tmp_path, job, monkeypatch):
    # Empty extras included: a replaced escape_data sees them all, and a
    # legacy extra that is not a dict is updated even with nothing.
    seen = []

    def recording(data):
        seen.append(dict(data))
        return {"escaped": len(seen)}

    def sections(node):
        for child in node.sections:
            yield child
            yield from sections(child)

    monkeypatch.setattr(brevlet, "escape_data", recording)
    convert(tmp_path, job)
    assert len(seen) == sum(1 for task in job.tasks for _ in sections(task))
    assert {} in seen
    monkeypatch.undo()

    class Extra(dict):
        def update(self, other):
            updates.append(dict(other))

    class Counting(Brevlet):
        def _handle_step(self, zelstep, step):
            zelstep.extra = Extra()
            return super()._handle_step(zelstep, step)

    updates = []
    convert(tmp_path, job, Counting)
    assert len(updates) == 4 and {} in updates  # ping, step1, inner, deep


def test_second_call_starts_from_a_fresh_legacy_run(tmp_path, job):
    b = Brevlet(str(tmp_path), job)
    b.generate_xml(None, None)
    first = b.zelreport.runsheaf
    job.details.append("later")
    b.generate_xml(client=None, kwargs=None)
    assert b.zelreport.runsheaf is not first and isinstance(b.zelreport.runsheaf, LegacyRun)
    assert b.zelreport.runsheaf.runinfo.diags == ["run detail", "later"]


def test_mapping_errors_propagate_and_write_nothing(tmp_path, job):
    del job.tasks[0].sections[1].type
    with pytest.raises(AttributeError):
        Brevlet(str(tmp_path), job).generate_xml(None, None)
    assert list(tmp_path.iterdir()) == []


def test_deeply_nested_steps_raise_recursion_error(tmp_path, job):
    step = node(id="leaf", type="TestStep", name="leaf")
    for _ in range(50_000):
        step = node(id="s", type="TestStep", name="s", sections=[step])
    job.tasks[0].sections[1].sections[0].sections = [step]
    with pytest.raises(RecursionError):
        Brevlet(str(tmp_path), job).generate_xml(None, None)


_ZONES = [None, datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=5, minutes=30)),
          datetime.timezone(datetime.timedelta(hours=5, minutes=30), "same offset, other object")]


@given(start=st.datetimes(), stop=st.datetimes(), start_zone=st.sampled_from(_ZONES),
       stop_zone=st.sampled_from(_ZONES), fold=st.integers(0, 1))
def test_runtime_is_the_whole_second_difference_python_gives(start, stop, start_zone,
                                                              stop_zone, fold):
    from vexa.zelreport.sections import Step

    start = start.replace(tzinfo=start_zone, fold=fold)
    stop = stop.replace(tzinfo=stop_zone)
    try:
        expected = stop.replace(microsecond=0) - start.replace(microsecond=0)
    except (TypeError, OverflowError) as e:
        expected = type(e)
    section = SimpleNamespace(starttime=start, stoptime=stop, details=[], extra={}, sections=[])
    legacy = Step("s", "step")
    try:
        Brevlet("unused", None)._handle_step(legacy, section)
    except (TypeError, OverflowError) as e:
        assert type(e) is expected
    else:
        assert legacy.runtime == expected
