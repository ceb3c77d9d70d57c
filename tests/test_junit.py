"""JUnit XML: read back by a real JUnit reader and a strict XML parser, the
counts against the run's own summary, and `vexa junit` under bad input."""

import json
import os
import pathlib
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest
import yaml
from hypothesis import given, strategies as st
from junitparser import Error, Failure, JUnitXml, Skipped as SkippedResult

import vexa.reporter.runsheaf as rs
from vexa.reporter import junit
from vexa.reporter.junit import LOG_SLICE_LIMIT, junit_xml
from vexa.results import Aborted, Blocked, Errored, Failed, Passed, Passx, Skipped

RESULTS = [Passed, Passx, Failed, Errored, Aborted, Blocked, Skipped]


def vexa(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "vexa.cli", *map(str, args)], input=stdin,
                          capture_output=True, text=True, timeout=120)


def visible(text):
    """What XML 1.0 cannot hold, written visibly; everything else unchanged."""
    out = []
    for ch in text:
        code = ord(ch)
        if code < 0x20 and ch not in "\t\n\r":
            out.append("\\x%02x" % code)
        elif 0xD800 <= code <= 0xDFFF or code in (0xFFFE, 0xFFFF):
            out.append("\\u%04x" % code)
        else:
            out.append(ch)
    return "".join(out)


def record(outcomes, logdir=None, **run_fields):
    """A finished run: one task per list of outcomes, each outcome a test
    case whose innermost step of three gets that result."""
    run = rs.Runsheaf(id="nightly", seq_num=0)
    run.start(host="lab", submitter="qa", testbed="tb-1", **run_fields)
    log = os.path.join(logdir, "job.log") if logdir else None
    for t, results in enumerate(outcomes):
        task = run.add_task(id="script%d" % t, seq_num=t)
        task.start(testscript="/s/script%d.py" % t)
        for c, result in enumerate(results):
            case = task.add_section(id="tc%d" % c, seq_num=c, type="Testcase")
            case.start(xref={"file": "script.py", "line": 10 + c}, logfile=log)
            if log:
                with open(log, "a") as f:
                    f.write("log of tc%d\n" % c)
            step = case.add_section(id="step", seq_num=1)
            step.start()
            inner = step.add_section(id="1.1", seq_num=1)
            inner.start()
            inner.stop(result=result("link down") if result is not Passed else result,
                       details=["checked", 3])
            step.stop()
            case.stop()
        task.add_plugin(id="coverage", seq_num=99).stop()
        task.stop()
    monitor = run.add_plugin(id="monitor", seq_num=99)
    monitor.start()
    monitor.stop()
    run.stop(num_tasks=len(outcomes))
    return run


def test_cli_output_read_back_by_a_junit_reader(tmp_path):
    run = record([[Passed, Failed, Passx], [Errored, Blocked]], logdir=tmp_path)
    (tmp_path / "results.json").write_text(run.dump_json())
    done = vexa("junit", tmp_path / "results.json", "-o", tmp_path / "out.xml")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")

    xml = JUnitXml.fromfile(str(tmp_path / "out.xml"))
    assert (xml.name, xml.tests, xml.failures, xml.errors, xml.skipped) == ("nightly", 5, 1, 1, 1)
    assert xml.time == round(run.runtime, 3)
    suites = list(xml)
    assert [(s.name, s.tests, s.hostname) for s in suites] == [("script0", 3, "lab"), ("script1", 2, "lab")]
    assert {p.name: p.value for p in suites[0].properties()} == {
        "testscript": "/s/script0.py", "testbed": "tb-1", "submitter": "qa"}
    assert suites[0].timestamp == str(run.tasks[0].starttime).replace(" ", "T")
    cases = [c for s in suites for c in s]
    assert [(c.classname, c.name, c._elem.get("line")) for c in cases[:2]] == [
        ("script0", "tc0", "10"), ("script0", "tc1", "11")]
    assert cases[0].time == round(run.tasks[0].sections[0].runtime, 3)
    kinds = [type(c.result[0]) if c.result else None for c in cases]
    assert kinds == [None, Failure, None, Error, SkippedResult]
    failure = cases[1].result[0]
    assert failure.message == "tc1.step.1.1 failed: link down" and failure.type == "failed"
    assert "tc1.step.1.1 failed: link down\n    checked\n    3\n" in failure.text
    assert cases[3].result[0].type == "errored"
    # Each test case's own slice of the log, found beside the results file.
    assert "log of tc1\n" in cases[1].system_out and "log of tc0" not in cases[1].system_out
    assert "tc1.step failed" in cases[1].system_out

    # The same text on standard output, from the YAML file, and from the live tree.
    (tmp_path / "results.yaml").write_text(run.dump_yaml())
    assert vexa("junit", tmp_path / "results.json").stdout == (tmp_path / "out.xml").read_text()
    assert junit_xml(run, logs=tmp_path) == (tmp_path / "out.xml").read_text()
    from_yaml = JUnitXml.fromstring(vexa("junit", tmp_path / "results.yaml").stdout.encode())
    assert [(c.name, type(c.result[0]) if c.result else None) for s in from_yaml for c in s] == [
        (c.name, k) for c, k in zip(cases, kinds)]


@st.composite
def jobs(draw):
    """Runs of any shape the framework can record, finished or not."""
    run = rs.Runsheaf(id="run", seq_num=0)
    run.start()
    results = st.sampled_from(RESULTS + [None])
    for t in range(draw(st.integers(0, 3))):
        if draw(st.booleans()):
            plugin = run.add_plugin(id="p%d" % t, seq_num=t)
            plugin.start()
            plugin.stop(result=draw(results))
        task = run.add_task(id=t, seq_num=t)
        task.start()
        for s in range(draw(st.integers(0, 5))):
            if draw(st.integers(0, 4)) == 0:
                plugin = task.add_plugin(id="plugin", seq_num=s)
                plugin.start()
                plugin.add_section(id="x", seq_num=0).stop(result=draw(results))
                plugin.stop()
                continue
            # Kinds go by structure: a section typed "Plugin" is still counted.
            section = task.add_section(id=s, seq_num=s, type=draw(st.sampled_from(
                ["CommonSetup", "Testcase", "Whatever", "Plugin"])))
            section.start()
            for c in range(draw(st.integers(0, 3))):
                section.add_section(id=c, seq_num=c).stop(result=draw(results))
            result = draw(results)
            section.stop(**({} if result is None else {"result": result}),
                         result_rollup=draw(st.booleans()))
        task.stop()
    run.stop(num_tasks=2)
    return run


@given(jobs())
def test_counts_are_the_run_summary(run):
    text = junit_xml(run)  # the fast path where it serves; the Python mapping must agree
    assert text == junit._Writer(None).document(json.loads(run.dump_json()))
    root = ET.fromstring(text)

    def expected(summary):
        return [summary.total, summary["failed"], summary["errored"] + summary["aborted"],
                summary["blocked"] + summary["skipped"]]

    def counts(element):
        return [int(element.get(k)) for k in ("tests", "failures", "errors", "skipped")]

    def elements(suite):
        cases = suite.findall("testcase")
        return [len(cases)] + [sum(c.find(e) is not None for c in cases)
                               for e in ("failure", "error", "skipped")]

    assert counts(root) == expected(run.summary)
    tasks = [t for t in run.tasks if isinstance(t, rs.Task)]
    assert [counts(s) for s in root] == [expected(t.summary) for t in tasks]
    assert [elements(s) for s in root] == [expected(t.summary) for t in tasks]
    from_yaml = junit_xml(yaml.safe_load(run.dump_yaml()))
    assert counts(ET.fromstring(from_yaml)) == expected(run.summary)


hostile = st.lists(st.one_of(
    st.sampled_from(["]]>", "\x1b[31mred\x1b[0m", "\ud800", "\udfff", "\x00", "\x0b", "\x7f",
                     "&amp;", "<b>", '"', "'", "\r\n", "\t", "\ufffe", "\uffff", "\U0001f600"]),
    st.characters(exclude_categories=())), max_size=8).map("".join)


@given(st.lists(hostile, min_size=8, max_size=8), st.binary(max_size=40))
def test_hostile_texts_stay_well_formed_and_visible(tmp_path_factory, texts, log_bytes):
    logdir = tmp_path_factory.mktemp("logs")
    (logdir / "job.log").write_bytes(b"")
    run = rs.Runsheaf(id=texts[0], seq_num=0)
    run.start(host=texts[1], release=texts[2])
    task = run.add_task(id=texts[3], seq_num=1)
    task.start(testscript=texts[4])
    case = task.add_section(id=texts[5], seq_num=1)
    case.start(xref={"file": texts[6]}, logfile=str(logdir / "job.log"))
    (logdir / "job.log").write_bytes(log_bytes)
    case.stop(result=Failed(texts[7]), details=[texts[7]])
    task.stop()
    run.stop()

    root = ET.fromstring(junit_xml(run, logs=logdir).encode("utf-8"))  # expat: strict XML 1.0
    # What the results file holds: there, adjacent surrogates form one character.
    texts = [json.loads(json.dumps(text)) for text in texts]
    suite, testcase = root[0], root[0].find("testcase")
    assert root.get("name") == visible(texts[0])
    assert suite.get("hostname") == visible(texts[1])
    assert [p.get("value") for p in suite.iter("property")] == [
        visible(texts[4]), visible(texts[2])]
    assert (suite.get("name"), testcase.get("classname")) == (visible(texts[3]),) * 2
    assert (testcase.get("name"), testcase.get("file")) == (visible(texts[5]), visible(texts[6]))
    failure = testcase.find("failure")
    expected = visible("%s failed" % texts[5] + (": %s" % texts[7] if texts[7] else ""))
    assert failure.get("message") == expected
    assert "\n    %s\n" % visible(texts[7]).replace("\n", "\n    ") in failure.text
    if log_bytes:
        shown = log_bytes.decode("utf-8", "backslashreplace")
        assert visible(shown) in testcase.find("system-out").text


def log_case(logs):
    """A results document with one failed test case at the log position `logs`."""
    case = {"type": "Testcase", "id": "tc", "health_summary": {}, "logs": logs,
            "result": {"value": "failed"}}
    return {"version": "3.4", "report": {"id": "r", "totaltasks": 1, "tasks": [
        {"id": "t", "pluginsummary": {}, "sections": [case]}]}}


def test_log_slices_stay_inside_their_folder(tmp_path):
    logs, outside = tmp_path / "logs", tmp_path / "outside.log"
    logs.mkdir()
    outside.write_text("SECRET\n")
    (logs / "link.log").symlink_to(outside)
    os.mkfifo(logs / "fifo.log")
    (logs / "big.log").write_bytes(b"x" * (LOG_SLICE_LIMIT + 15))
    for name in ["../outside.log", str(outside), "link.log", "fifo.log", "missing.log", ""]:
        text = junit_xml(log_case({"file": name, "begin": 0, "size": 7}), logs=logs)
        assert "SECRET" not in text and "<system-out>" not in text, name
    text = junit_xml(log_case({"file": "big.log", "begin": 5, "size": LOG_SLICE_LIMIT + 10}), logs=logs)
    out = ET.fromstring(text).find(".//system-out").text
    assert out.count("x") == LOG_SLICE_LIMIT
    assert out.endswith("\n[cut at 1 MiB: 10 more bytes in big.log]\n")


@pytest.mark.parametrize("result, element, message", [
    ({"value": "errored", "reason": "boom"}, "error", "tc errored: boom"),
    ({"value": "aborted"}, "error", "tc aborted"),
    ({"value": "blocked"}, "skipped", "tc blocked"),
    ({"value": "Surprise"}, "error", "tc surprise"),  # never a silent pass
])
def test_each_result_has_its_element(result, element, message):
    document = log_case({})
    document["report"]["tasks"][0]["sections"][0]["result"] = result
    root = ET.fromstring(junit_xml(document))
    assert root.find(".//testcase")[0].tag == element
    assert root.find(".//testcase")[0].get("message") == message
    assert root.get("errors" if element == "error" else "skipped") == "1"


def corrupt(path, value):
    document = log_case({})
    where, key = document["report"]["tasks"][0], path[-1]
    for step in path[:-1]:
        where = where[step]
    where[key] = value
    return json.dumps(document)


@pytest.mark.parametrize("content, problem", [
    ("{\"version\": ", "not valid JSON"),
    ("[1, 2]", "not a results document"),
    ('{"version": "3.4", "report": {"id": "t", "sections": []}}', "$.report: not a whole run"),
    (corrupt(["sections"], {"a": 1}), "$.report.tasks[0].sections: not a list of nodes"),
    (corrupt(["sections", 0, "result"], "failed"), "$.report.tasks[0].sections[0].result: not a result"),
    (corrupt(["sections", 0, "runtime"], "12s"), "$.report.tasks[0].sections[0].runtime: not a number"),
    (corrupt(["starttime"], "yesterday"), "$.report.tasks[0].starttime: not a date and time"),
    (corrupt(["sections", 0, "sections"], [7]), "$.report.tasks[0].sections[0].sections[0]: not a node"),
])
def test_bad_input_gives_one_line_and_no_file(tmp_path, content, problem):
    source, out = tmp_path / "results.json", tmp_path / "out.xml"
    source.write_text(content)
    done = vexa("junit", source, "-o", out)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.startswith("vexa junit: error: %s: " % source)
    assert problem in done.stderr and done.stderr.count("\n") == 1
    assert sorted(os.listdir(tmp_path)) == ["results.json"]


@pytest.mark.parametrize("source", ["missing.json", ".", "fifo.json"])
def test_unreadable_sources_are_refused_before_reading(tmp_path, source):
    os.mkfifo(tmp_path / "fifo.json")
    (tmp_path / "out.xml").write_text("kept")
    done = vexa("junit", tmp_path / source, "-o", tmp_path / "out.xml")
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.startswith("vexa junit: error: %s" % (tmp_path / source))
    assert done.stderr.count("\n") == 1
    assert (tmp_path / "out.xml").read_text() == "kept"
    assert sorted(os.listdir(tmp_path)) == ["fifo.json", "out.xml"]


def test_unwritable_output_gives_one_line(tmp_path):
    source = tmp_path / "results.json"
    source.write_text(json.dumps(log_case({})))
    done = vexa("junit", source, "-o", tmp_path / "no" / "such" / "dir.xml")
    assert done.returncode == 2 and done.stderr.count("\n") == 1
    assert "No such file or directory" in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["results.json"]


# -- The fast path (C++) against the Python mapping ---------------------------------


texts = hostile | st.integers(-2**70, 2**70)
values = texts | st.none() | st.booleans() | st.floats() | st.lists(st.integers(), max_size=2) \
    | st.dictionaries(st.sampled_from(["port", "a"]), st.integers(), max_size=2)
runtimes = st.none() | st.floats() | st.integers(-10, 10**400) | st.sampled_from([0.0005, 2.5e-4, 1e300])
# What the fast path writes itself: texts, 64-bit integers, numbers of seconds.
plain_texts = hostile | st.integers(-2**63, 2**63 - 1)
plain_runtimes = st.none() | st.floats() | st.integers(-10, 10**6) | st.sampled_from([0.0005, 1e300])


@st.composite
def rich_jobs(draw, plain):
    """Runs whose every field the JUnit XML shows holds a drawn value, and
    whether any str drawn holds a surrogate pair."""
    strs = []

    def seen(value):
        if type(value) is str:
            strs.append(value)
        return value

    texts_ = (plain_texts if plain else texts).map(seen)
    values_ = texts_ if plain else values.map(seen)
    runtimes_ = plain_runtimes if plain else runtimes
    run = rs.Runsheaf(id=draw(texts_), seq_num=0)
    run.start(**draw(st.fixed_dictionaries({}, optional={
        "host": texts_, "submitter": values_, "testbed": values_, "release": texts_})))
    results = st.sampled_from(RESULTS).flatmap(lambda r: st.builds(r, values_)) | st.none()

    def fill(node, depth):
        for n in range(draw(st.integers(0, 3 if depth < 3 else 0))):
            child = node.add_section(id=draw(texts_), seq_num=n,
                                     type=draw(st.sampled_from(["Testcase", "Plugin", "Task"])))
            line = st.integers(0, 10**6) if plain else values_
            child.start(**draw(st.fixed_dictionaries({}, optional={
                "xref": st.fixed_dictionaries({}, optional={"file": texts_, "line": line})})))
            fill(child, depth + 1)
            result = draw(results)
            child.stop(**({} if result is None else {"result": result}),
                       details=draw(st.lists(values_, max_size=2)))
            child.runtime = draw(runtimes_)

    for t in range(draw(st.integers(0, 2))):
        task = run.add_task(id=draw(texts_), seq_num=t)
        task.start(testscript=draw(values_))
        fill(task, 0)
        task.stop()
        task.runtime = draw(runtimes_)
    run.stop()
    return run, any(re.search("[\ud800-\udbff][\udc00-\udfff]", s) for s in strs)


def fast_or_none(report, logs=None):
    reader = junit._Logs(logs) if logs else None
    return junit._fast.write(report, reader and reader.slice, junit._iso_timestamp)


def mapped(document, logs=None):
    """The Python mapping's text, or None where it refuses the document."""
    try:
        return junit._Writer(junit._Logs(logs) if logs else None).document(document)
    except junit.JUnitError:
        return None


needs_fast = pytest.mark.skipif(junit._fast is None, reason="the fast writer is not built")


@needs_fast
@given(st.booleans().flatmap(lambda plain: st.tuples(st.just(plain), rich_jobs(plain))))
def test_fast_path_writes_what_the_mapping_writes(drawn):
    # Any value: the fast path writes the mapping's text or steps aside.
    # Texts, integers and seconds only: it must write, for a live run too
    # unless a str holds a surrogate pair (one character once in JSON).
    plain, (run, pairs) = drawn
    document = json.loads(run.dump_json())
    expected = mapped(document)
    fast = {"document": fast_or_none(document), "live": fast_or_none(run)}
    if plain:
        assert expected is not None and fast["document"] == expected
        assert fast["live"] == expected or (pairs and fast["live"] is None)
    else:
        assert fast["document"] in (None, expected) and fast["live"] in (None, expected)


@needs_fast
def test_fast_path_serves_usual_jobs_and_steps_aside_when_the_rules_change(tmp_path, monkeypatch):
    run = record([[Passed, Failed, Passx], [Errored, Blocked]], logdir=tmp_path)
    document = json.loads(run.dump_json())
    expected = mapped(document, tmp_path)
    assert expected and fast_or_none(run, tmp_path) == fast_or_none(document, tmp_path) == expected
    # A live tree is written as its dump_json() document only while the
    # classes and JSON rules are those found at import.
    where = rs.Task._ARG_ORDER.index("testscript")
    spoilers = [  # (spoil, undo)
        (lambda: monkeypatch.setattr(rs.Section, "_ARG_ORDER", rs.Section._ARG_ORDER[:-1]), None),
        (lambda: monkeypatch.setattr(rs.JSONDumper, "default", lambda self, o: str(o)), None),
        (lambda: monkeypatch.setattr(json, "dumps", lambda *args, **kwargs: "{}"), None),
        (lambda: monkeypatch.setattr(rs, "TestResult", dict), None),
        (lambda: rs.Task._ARG_ORDER.remove("testscript"),
         lambda: rs.Task._ARG_ORDER.insert(where, "testscript")),
        (lambda: rs.VALUE_IGNORE.append(0), lambda: rs.VALUE_IGNORE.pop()),
    ]
    for spoil, undo in spoilers:
        spoil()
        try:
            assert fast_or_none(run, tmp_path) is None
            assert fast_or_none(document, tmp_path) == expected
        finally:
            (undo or monkeypatch.undo)()
    assert fast_or_none(run, tmp_path) == expected


@needs_fast
def test_a_section_that_holds_itself_gets_dump_jsons_error_not_a_hang():
    run = record([[Failed]])
    case = run.tasks[0].sections[0]
    case.sections.append(case)
    with pytest.raises((ValueError, RecursionError)):
        junit_xml(run)
