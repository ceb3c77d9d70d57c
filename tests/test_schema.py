"""The results schema: what dump_json writes passes, and every problem of
any other document is found and named by the path of the offending value."""

import copy
import json

import jsonschema
import pytest
from hypothesis import given
from hypothesis import strategies as st

from vexa.reporter import schema
from vexa.reporter.runsheaf import Runsheaf
from vexa.reporter.schema import validate
from vexa.results import Failed, Passed, Passx

FULL_SCHEMA = jsonschema.Draft7Validator(schema.load_schema())


def full_job(logfile):
    """Every node class and every kind of field a recorded job has."""
    logfile.write_text("x" * 100)
    run = Runsheaf(id="job", seq_num=0)
    run.start(host="lab", submitter="qa", cli="vexa run job.py", testbed="tb")
    task = run.add_task(id="t1", seq_num=1)
    task.start(testscript="/s/a.py", parameters={"retries": 1}, xref={"file": "a.py", "line": 1})
    tc = task.add_section(id="tc1", seq_num=2, type="Testcase")
    tc.start(logfile=str(logfile), xref={"file": "a.py", "line": 10}, description="first")
    step = tc.add_section(id=1, seq_num=3, type="Step")
    step.start(logfile=str(logfile))
    step.add_detail("checked")
    step.stop(result=Failed("timeout", data={"limit": 10}), health=[{"result": "passed"}])
    tc.add_section(id=2, seq_num=4, type="Step").stop(result=Passx)
    tc.stop()
    plugin = task.add_plugin(id="cov", seq_num=5)
    plugin.start(logfile=str(logfile))
    plugin.add_section(id="collect", seq_num=1).stop(result=Passed)
    plugin.stop()
    task.stop(logfile=str(logfile))
    monitor = run.add_plugin(id="monitor", seq_num=6)
    monitor.start(logfile=str(logfile))
    monitor.stop()
    run.stop(num_tasks=2)
    return run


@pytest.fixture(scope="module")
def job(tmp_path_factory):
    return full_job(tmp_path_factory.mktemp("job") / "job.log")


@pytest.fixture(scope="module")
def document(job):
    return json.loads(job.dump_json())


def test_every_node_class_dumped_is_valid(job):
    task, run_plugin = job.tasks
    tc, task_plugin = task.sections
    for node in (job, task, tc, tc.sections[0], task_plugin, run_plugin):
        document = json.loads(node.dump_json())
        assert validate(document) is None
        assert FULL_SCHEMA.is_valid(document)


def test_findings_name_the_offending_values(document):
    doc = copy.deepcopy(document)
    del doc["version"]
    task = doc["report"]["tasks"][0]
    task["runtime"] = "long"
    tc = task["sections"][0]
    del tc["id"]
    tc["starttime"] = "yesterday"
    tc["colour"] = "red"
    tc["sections"][1]["health_summary"]["passed"] = -1
    doc["report"]["tasks"][1]["sections"] = [7]
    assert validate(doc) == [
        "$: missing field 'version' of a results document",
        "$.report.tasks[0].runtime (t1): expected a number, found the string 'long'",
        "$.report.tasks[0].sections[0] (t1 > ?): missing field 'id' of a section",
        "$.report.tasks[0].sections[0].colour (t1 > ?): not a field of a section",
        "$.report.tasks[0].sections[0].starttime (t1 > ?): expected a date-time as "
        "'YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM]', found the string 'yesterday'",
        "$.report.tasks[0].sections[0].sections[1].health_summary.passed (t1 > ? > 2): "
        "must be at least 0, found -1",
        "$.report.tasks[1].sections[0] (monitor > ?): expected an object, found the integer 7",
    ]


def test_findings_print_one_per_line():
    findings = validate({"version": 3.4, "report": []})
    assert str(findings).splitlines() == [
        "$.version: expected the report format version \"3.4\", found the number 3.4",
        "$.report: expected an object, found an array of 0 items",
        "2 findings"]


@pytest.mark.parametrize("document", [None, [], "3.4", {}, {"version": "3.4"},
                                      {"version": "3.4", "report": None},
                                      {"version": "3.4", "report": {}}])
def test_documents_without_a_report_are_refused(document):
    assert validate(document)


def test_a_node_is_explained_as_the_class_it_comes_closest_to(document):
    doc = copy.deepcopy(document)
    del doc["report"]["tasks"][0]["pluginsummary"]
    assert validate(doc) == ["$.report.tasks[0] (t1): missing field 'pluginsummary' of a task"]


def test_depth_is_no_limit():
    leaf = {"type": "Step", "id": 0, "fullid": "0", "idlist": [0],
            "health_summary": {"total": 0, "success_rate": 0.0}}
    top = node = dict(leaf)
    for depth in range(1, 10_000):
        child = dict(leaf, id=depth)
        node["sections"] = [child]
        node = child
    document = {"version": "3.4", "report": top}
    assert validate(document) is None
    node["type"] = ""
    [finding] = validate(document)
    assert finding.startswith("$.report" + ".sections[0]" * 9_999 + ".type (0 > 1 > 2 > ")
    assert finding.endswith(" > 9999): must not be empty")


def test_keywords_the_compiled_checks_do_not_know_are_refused():
    with pytest.raises(ValueError, match="format"):
        schema._Compiler({}).compile({"type": "string", "format": "date-time"})


def test_the_published_schema_is_draft_7():
    jsonschema.Draft7Validator.check_schema(schema.load_schema())


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=8), inner, max_size=3),
    max_leaves=12)


@given(json_values)
def test_any_json_value_gives_a_verdict(value):
    for document in (value, {"version": "3.4", "report": value}):
        result = validate(document)
        assert result is None or (isinstance(result, schema.Findings) and result)


def positions(value):
    """Every (container, key) in a JSON value."""
    if isinstance(value, dict):
        for key, item in value.items():
            yield value, key
            yield from positions(item)
    elif isinstance(value, list):
        for index, item in enumerate(value):
            yield value, index
            yield from positions(item)


@given(st.data())
def test_the_verdict_is_the_published_schemas(document, data):
    doc = copy.deepcopy(document)
    for _ in range(data.draw(st.integers(1, 3))):
        places = list(positions(doc))
        if not places:
            break
        container, key = data.draw(st.sampled_from(places))
        action = data.draw(st.sampled_from(["delete", "replace", "add"]))
        if action == "delete" and isinstance(container, dict):
            del container[key]
        elif action == "add" and isinstance(container, dict):
            container[data.draw(st.sampled_from(["id", "extra", "total", "x", "sections"]))] = \
                data.draw(json_values)
        else:
            container[key] = data.draw(json_values | st.sampled_from([1.0, True, "", []]))
    assert (validate(doc) is None) == FULL_SCHEMA.is_valid(doc)


# Where each kind of node sits in the full job's document, and the fields it
# must have: each one dropped alone must be found, named with its node's kind.
NODES = {
    "run": ([], ["type", "id", "fullid", "idlist", "summary", "pluginsummary", "totaltasks",
                 "health_summary"]),
    "task": (["tasks", 0], ["type", "id", "fullid", "idlist", "summary", "pluginsummary",
                            "health_summary"]),
    "section": (["tasks", 0, "sections", 0], ["type", "id", "fullid", "idlist",
                                              "health_summary"]),
    "plugin run": (["tasks", 0, "sections", 1], ["type", "id", "fullid", "idlist"]),
    "counter": (["summary"], ["total", "success_rate"]),
    "result": (["tasks", 0, "sections", 0, "sections", 0, "result"], ["value"]),
}


@pytest.mark.parametrize("kind, field", [(kind, field) for kind, (_, fields) in NODES.items()
                                         for field in fields])
def test_each_required_field_is_required(document, kind, field):
    doc = copy.deepcopy(document)
    node = doc["report"]
    for step in NODES[kind][0]:
        node = node[step]
    del node[field]
    findings = validate(doc)
    assert findings and all(f.endswith("missing field %r of a %s" % (field, kind))
                            for f in findings), findings
    assert not FULL_SCHEMA.is_valid(doc)


@pytest.mark.parametrize("node_type, kind", [("Runsheaf", "run"), ("Task", "task"),
                                             ("Plugin", "plugin run"), ("Testcase", "section")])
def test_a_broken_node_is_named_by_its_type(node_type, kind):
    report = {"type": node_type, "id": "x", "fullid": "x", "idlist": ["x"], "colour": "red"}
    findings = validate({"version": "3.4", "report": report})
    assert findings[-1] == "$.report.colour (x): not a field of a %s" % kind


@pytest.fixture
def consistent(document):
    """The full job, planned with as many tasks as it ran."""
    doc = copy.deepcopy(document)
    doc["report"]["totaltasks"] = 1
    return doc


def _strict(doc):
    findings = schema.examine(doc, strict=True)
    return [f.json_path + ": " + f.message for f in findings]


def _edit(path, value):
    def edit(doc):
        node = doc["report"]
        for step in path[:-1]:
            node = node[step]
        node[path[-1]] = value(node[path[-1]]) if callable(value) else value
    return edit


@pytest.mark.parametrize("edit, expected", [
    (_edit(["summary", "total"], lambda n: n + 1), "$.report.summary.total: total "),
    (_edit(["tasks", 0, "summary", "success_rate"], 12.5),
     "$.report.tasks[0].summary.success_rate: success rate 12.5, but the counts give"),
    (_edit(["totaltasks"], 7), "$.report.totaltasks: 7 tasks planned, but the run holds 1"),
    (_edit(["tasks", 0, "stoptime"], "2000-01-01 00:00:00+00:00"),
     "$.report.tasks[0].stoptime: stop time 2000-01-01 00:00:00+00:00 is before start time"),
    (_edit(["tasks", 0, "sections", 0, "runtime"], lambda r: r + 0.02),
     "$.report.tasks[0].sections[0].runtime: run time"),
    (_edit(["extra", "load"], [1.0, float("nan")]), "$.report.extra.load[1]: NaN is not"),
    (_edit(["tasks", 0, "runtime"], float("-inf")), "$.report.tasks[0].runtime: -Infinity is"),
])
def test_strict_findings_the_file_proves(consistent, edit, expected):
    assert _strict(consistent) == [] and validate(consistent) is None
    doc = copy.deepcopy(consistent)
    edit(doc)
    found = _strict(doc)
    assert len(found) == 1 and found[0].startswith(expected), found
    assert schema.examine(doc) == [] or "Infinity" in expected


def test_strict_accepts_rounding_and_unknown_offsets(consistent):
    doc = consistent
    doc["report"]["runtime"] += 0.009
    doc["report"]["tasks"][0]["starttime"] = doc["report"]["tasks"][0]["starttime"][:19]  # naive
    assert _strict(doc) == []


def test_repeated_sibling_ids_are_warnings_not_findings(consistent):
    doc = consistent
    steps = doc["report"]["tasks"][0]["sections"][0]["sections"]
    steps.append(copy.deepcopy(steps[0]))
    steps.append(dict(copy.deepcopy(steps[0]), id=str(steps[0]["id"])))  # "1" is not 1
    findings = schema.examine(doc, strict=True)
    assert findings == []
    assert findings.warnings == ["$.report.tasks[0].sections[0].sections[2].id (t1 > tc1 > 1): "
                                 "id 1 repeats an earlier sibling's; paths to either are ambiguous"]


_CASES = st.recursive(
    st.tuples(st.sampled_from(["a", "b", 3]), st.sampled_from(["passed", "failed", "passx",
                                                               "skipped", "errored"]),
              st.floats(0, 1000)),
    lambda inner: st.tuples(st.sampled_from(["c", 4]), st.sampled_from(["passed", "failed"]),
                            st.floats(0, 5), st.lists(inner, max_size=3)),
    max_leaves=8)


@given(st.dictionaries(st.sampled_from(["t1", "t2", 9]), st.lists(
    st.one_of(_CASES, st.tuples(st.just("plugin"), st.sampled_from(["p", "q"]),
                                st.sampled_from(["passed", "errored"]))), max_size=4),
    max_size=3), st.booleans())
def test_what_the_model_records_passes_strict_checks(tmp_path_factory, tasks, as_yaml):
    from jobgen import make_job
    from vexa.reporter.resultsfile import load_results

    run = make_job(tasks)
    path = tmp_path_factory.mktemp("strict") / ("r.yaml" if as_yaml else "r.json")
    path.write_text(run.dump_yaml() if as_yaml else run.dump_json())
    findings = schema.examine(load_results(str(path)), strict=True)
    assert findings == []
