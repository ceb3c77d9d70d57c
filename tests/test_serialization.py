"""Report documents: the exact JSON and YAML text, and the flat dict form."""

import datetime
import json
import pathlib

import pytest
import yaml

import vexa.reporter.runsheaf as rs
from vexa.datastructures import AttrDict
from vexa.results import Failed, Passed, ResultCounter

DATA = pathlib.Path(__file__).parent / "data"
T0 = datetime.datetime(2026, 3, 1, 10, 0, 0, tzinfo=datetime.timezone.utc)
T1 = datetime.datetime(2026, 3, 1, 10, 0, 12, 345600, tzinfo=datetime.timezone.utc)


class Widget:
    def __repr__(self):
        return "<widget>"


def small_job():
    """Every node class, results with and without reason, a shared result."""
    run = rs.Runsheaf(id="job", seq_num=0)
    run.start(starttime=T0, host="lab-1", testbed="tb")
    task = run.add_task(id="t1", seq_num=1)
    task.start(starttime=T0, testscript="/s/suite.py")
    tc = task.add_section(id="tc", seq_num=2, type="Testcase")
    tc.start(starttime=T0, description="line one  \nline two\t")
    step = tc.add_section(id=1, seq_num=3, type="Step")
    step.start(starttime=T0, when=T1, ratio=12.3456, cfg=AttrDict(b=1, a=2))
    step.stop(stoptime=T1, runtime=12.3456, result=Failed("timeout", data={"limit": 10}))
    tc.stop(stoptime=T1, runtime=12.3456)
    plugin = task.add_plugin(id="tp", seq_num=4)
    plugin.start(starttime=T0)
    plugin.stop(stoptime=T1, runtime=1.0)
    task.stop(stoptime=T1, runtime=12.3456)
    rplugin = run.add_plugin(id="rp", seq_num=5)
    rplugin.start(starttime=T0)
    rplugin.stop(stoptime=T1, runtime=0.5, shared=Passed)
    run.stop(stoptime=T1, runtime=12.3456, num_tasks=2)
    return run


def step_of(run):
    return run.tasks[0].sections[0].sections[0]


class TestDocuments:
    def test_json_text_of_a_small_job(self):
        run = small_job()
        assert run.dump_json() + "\n" == (DATA / "small_job.json").read_text()

    def test_yaml_text_of_a_small_job(self):
        run = small_job()
        step_of(run).extra["widget"] = Widget()
        assert run.dump_yaml() == (DATA / "small_job.yaml").read_text()

    def test_documents_are_what_the_dumpers_give(self):
        run = small_job()
        doc = rs.ReportHeader(run).as_dict()
        assert run.dump_json() == json.dumps(doc, cls=rs.JSONDumper)
        assert run.dump_yaml() == yaml.dump(doc, Dumper=rs.YAMLDumper, default_flow_style=False)

    def test_a_section_dumps_only_its_subtree(self):
        tc = small_job().tasks[0].sections[0]
        report = json.loads(tc.dump_json())["report"]
        assert report["id"] == "tc" and [s["id"] for s in report["sections"]] == [1]


class TestNodeMapping:
    def test_empty_values_are_left_out_but_falsy_ones_kept(self):
        node = rs.Section(id="s", seq_num=1)
        node.update({"name": "", "description": 0, "xref": False})
        mapping = json.loads(node.dump_json())["report"]
        assert mapping == {"type": "Section", "id": "s", "fullid": "s", "idlist": ["s"],
                           "name": "", "description": 0, "xref": False, "health_summary":
                           {"total": 0, "success_rate": 0.0}}
        assert "details" not in node.dump_yaml()

    def test_floats_are_rounded_in_yaml_only(self):
        node = rs.Section(id="n", seq_num=1)
        node.runtime = 12.3456
        node.extra["ratio"] = 3.0
        assert '"runtime": 12.3456' in node.dump_json()
        text = node.dump_yaml()
        assert "runtime: 12.35\n" in text and "ratio: 3.0\n" in text

    def test_results_mappings(self):
        node = rs.Section(id="n", seq_num=1)
        node.extra["plain"] = Passed
        node.extra["full"] = Failed("why", data=[1])
        extra = json.loads(node.dump_json())["report"]["extra"]
        assert extra == {"plain": {"value": "passed"},
                         "full": {"value": "failed", "reason": "why", "data": [1]}}
        assert "full:\n      data:\n      - 1\n" not in node.dump_yaml()
        assert "full:\n      data:\n        - 1\n      reason: why\n      value: failed\n" in node.dump_yaml()

    def test_shared_objects_have_no_anchors(self):
        node = rs.Section(id="n", seq_num=1)
        shared = {"k": [1, 2]}
        node.extra.update(a=shared, b=shared, c=Passed, d=Passed)
        text = node.dump_yaml()
        assert "&" not in text and "*" not in text
        assert text.count("- 1") == 2

    def test_subclasses_of_registered_types_are_written_as_unknown(self):
        class MySection(rs.Section):
            pass

        class MyStr(str):
            pass

        node = rs.Section(id="n", seq_num=1)
        node.extra["s"] = MyStr("x")
        node.extra["child"] = MySection(id="c", seq_num=2)
        loaded = yaml.safe_load(node.dump_yaml())["report"]["extra"]
        assert loaded["s"] == {"repr": "'x'", "type": repr(MyStr)}
        assert loaded["child"]["type"] == repr(MySection)

    def test_counter_mapping_order(self):
        node = rs.Section(id="n", seq_num=1)
        counter = ResultCounter()
        counter["failed"] = 1
        counter["passed"] = 3
        node.extra["c"] = counter
        assert '"c": {"failed": 1, "passed": 3, "total": 4, "success_rate": 75.0}' in node.dump_json()
        assert "c:\n      failed: 1\n      passed: 3\n      total: 4\n      success_rate: 75.0\n" in node.dump_yaml()

    def test_dumpers_keep_pyyaml_untouched(self):
        assert rs.str_representer not in yaml.SafeDumper.yaml_representers.values()
        assert rs.YAMLDumper.yaml_representers[None] is rs.unknown_representer
        table = rs.YAMLDumper.yaml_representers
        assert table[str] is rs.str_representer and table[float] is rs.float_representer
        assert list(table)[-8:] == [type, rs.ResultCounter, rs.TestResult, rs.AttrDict,
                                    rs.Runsheaf, rs.Task, rs.Section, rs.Plugin]


class TestFailures:
    def test_unencodable_values_raise_the_encoders_error(self):
        node = rs.Section(id="n", seq_num=1)
        node.extra["s"] = {1, 2}
        with pytest.raises(TypeError, match="not JSON serializable"):
            node.dump_json()
        assert "s: !!set" in node.dump_yaml()

    def test_exceptions_are_written_by_repr(self):
        node = rs.Section(id="n", seq_num=1)
        node.extra["error"] = ValueError("bad")
        assert '"error": "ValueError(\'bad\')"' in node.dump_json()

    def test_a_node_inside_itself(self):
        node = rs.Section(id="n", seq_num=1)
        node.extra["me"] = node
        with pytest.raises(ValueError, match="Circular reference"):
            node.dump_json()
        with pytest.raises(RecursionError):
            node.dump_yaml()

    def test_raising_properties_pass_through(self):
        class Broken(rs.Section):
            @property
            def description(self):
                raise RuntimeError("broken property")

        with pytest.raises(RuntimeError, match="broken property"):
            Broken(id="b", seq_num=1).dump_json()


class TestToDict:
    def test_section_dict_keeps_everything_and_ends_with_seq_num_and_logfile(self):
        run = small_job()
        tc = run.tasks[0].sections[0]
        d = tc.to_dict()
        assert list(d)[-2:] == ["seq_num", "logfile"]
        assert d["sections"] == [1] and d["details"] == [] and d["logfile"] is None
        assert d["extra"] is tc.extra and d["starttime"] is tc.starttime

    def test_task_and_run_dicts(self):
        run = small_job()
        task = run.tasks[0]
        d = task.to_dict()
        keys = list(d)
        assert keys[-1] == "seq_num"
        assert keys.index("runtime") < keys.index("logfile") < keys.index("testscript")
        assert d["sections"] == ["tc", "tp"]
        assert run.to_dict()["tasks"] == ["t1", "rp"]

    def test_children_by_id_whatever_their_name(self):
        task = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1)
        for n in range(3):
            task.add_section(id="s%d" % n, seq_num=10 + n).start(name="named %d" % n)
        task.sections[1].add_section(id=0, seq_num=20).name = "zero"
        assert task.to_dict()["sections"] == ["s0", "s1", "s2"]
        assert task.sections[1].to_dict()["sections"] == [0]
        assert task.to_dict()["name"] == "t"

    def test_bad_children_raise(self):
        node = rs.Section(id="s", seq_num=1)
        node.sections = 5
        with pytest.raises(TypeError):
            node.to_dict()
        node.sections = [object()]
        with pytest.raises(AttributeError):
            node.to_dict()
