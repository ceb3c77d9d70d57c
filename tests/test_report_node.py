"""The report node: identity, timing, keyword updates and section roll-up."""

import datetime

import pytest

import vexa.reporter.runsheaf as rs
from vexa.results import Failed, Passed, ResultCounter, Skipped, TestResult


@pytest.fixture
def task():
    run = rs.Runsheaf(id="run", seq_num=0)
    return run.add_task(id="t", seq_num=1)


class TestModule:
    def test_globals_in_order(self):
        names = [n for n in vars(rs) if not n.startswith("__")]
        assert names[:17] == [
            "yaml", "json", "os", "datetime", "get_time", "recursive_update",
            "ResultCounter", "TestResult", "Passed", "Skipped", "AttrDict",
            "VERSION", "VALUE_IGNORE", "FLOAT_PRECISION", "YAML_MAP", "YAML_STR",
            "YAML_FLT"]
        assert rs.VERSION == "3.4" and rs.FLOAT_PRECISION == 2
        assert rs.VALUE_IGNORE == [None, [], {}]
        assert rs.datetime is datetime.datetime

    def test_classes_are_plain_python_classes(self):
        assert rs.Section.__mro__ == (rs.Section, rs.ReportObjectBase, object)
        assert rs.Section.__module__ == "vexa.reporter.runsheaf"
        assert rs.ReportObjectBase._ARG_ORDER == [
            "type", "id", "fullid", "idlist", "name", "starttime", "stoptime",
            "runtime", "details", "extra"]

    def test_header_wraps_the_node_itself(self):
        node = rs.ReportObjectBase("n", 1)
        header = rs.ReportHeader(node)
        assert list(header.as_dict()) == ["version", "report"]
        assert header.as_dict() is header.data and header.data["report"] is node


class TestIdentity:
    def test_top_nodes_keep_their_id(self, task):
        root = rs.ReportObjectBase(7, 0)
        assert root.fullid == 7 and root.idlist == [7]
        assert task.fullid == "t" and task.idlist == ["t"]

    def test_nested_nodes_join_ids_below_the_run(self, task):
        s = task.add_section(id="s", seq_num=2)
        x = s.add_section(id=1, seq_num=3)
        assert s.fullid == "t.s" and s.idlist == ["t", "s"]
        assert x.fullid == "t.s.1" and x.idlist == ["t", "s", 1]

    def test_identity_follows_a_renamed_ancestor(self, task):
        x = task.add_section(id="s", seq_num=2).add_section(id="x", seq_num=3)
        task.id = "renamed"
        assert x.fullid == "renamed.s.x"

    def test_fullid_and_idlist_are_read_only(self, task):
        with pytest.raises(AttributeError):
            task.fullid = "x"
        with pytest.raises(AttributeError):
            task.idlist = []

    def test_constructor_defaults(self):
        node = rs.ReportObjectBase("n", 3, type="")
        assert (node.type, node.name, node.seq_num, node._parent) == ("ReportObjectBase", "n", 3, None)
        assert node.details == [] and node.extra == {}
        assert rs.Section(id="s", seq_num=1, type=None).type == "Section"

    def test_argument_errors(self, task):
        with pytest.raises(TypeError):
            rs.ReportObjectBase("only id")
        with pytest.raises(TypeError):
            rs.Section(id="s")
        with pytest.raises(TypeError):
            rs.Section(id="s", seq_num=1, colour="red")
        with pytest.raises(TypeError):
            rs.Section("s", 1)
        with pytest.raises(TypeError):
            task.start(1)

    def test_deep_trees_do_not_crash(self, task):
        node = task
        for i in range(10000):
            node = node.add_section(id=i, seq_num=i)
        assert len(node.idlist) == 10001
        assert node.fullid.endswith(".9998.9999")
        node.stop(result=Failed)
        assert task.sections[0].result == Failed

    def test_a_cyclic_parent_chain_raises(self):
        a = rs.Section(id="a", seq_num=1)
        b = rs.Section(id="b", seq_num=2, parent=a)
        a._parent = b
        with pytest.raises(RecursionError):
            a.fullid


class TestTiming:
    def test_start_and_stop_use_the_module_clock(self, task, monkeypatch):
        times = iter([datetime.datetime(2026, 1, 1, 10, 0, 0),
                      datetime.datetime(2026, 1, 1, 10, 0, 1, 500000)])
        monkeypatch.setattr(rs, "get_time", lambda: next(times))
        s = task.add_section(id="s", seq_num=2)
        s.start()
        s.stop()
        assert s.runtime == 1.5 and s.result_rollup is True

    def test_keywords_override_the_clock(self, task):
        given = datetime.datetime(2000, 1, 1, tzinfo=datetime.timezone.utc)
        s = task.add_section(id="s", seq_num=2)
        s.start(starttime=given)
        assert s.starttime == given
        s.stop(runtime=99)
        assert s.runtime == 99

    def test_stop_without_start_records_no_times_but_rolls_up(self, task):
        s = task.add_section(id="s", seq_num=2)
        x = s.add_section(id="x", seq_num=3)
        x.stop(result=Failed)
        assert x.stoptime is None and x.runtime is None
        assert x.result_rollup is True and s.result == Failed

    def test_result_rollup_false_is_recorded_and_not_rolled_up(self, task):
        s = task.add_section(id="s", seq_num=2)
        x = s.add_section(id="x", seq_num=3)
        x.stop(result=Failed, result_rollup=False)
        assert x.result_rollup is False and s.result is None
        assert "result_rollup" not in x.extra

    def test_failed_stop_keeps_what_was_set(self, task):
        s = task.add_section(id="s", seq_num=2)
        s.start()
        with pytest.raises(AttributeError):
            s.stop(fullid="x")
        assert s.stoptime is not None and s.result_rollup is True

    def test_unsubtractable_start_time(self, task):
        s = task.add_section(id="s", seq_num=2)
        s.starttime = "yesterday"
        with pytest.raises(TypeError):
            s.stop(result_rollup=False)
        assert s.result_rollup is None


class TestUpdate:
    def test_lists_grow_and_plain_fields_are_replaced(self, task):
        s = task.add_section(id="s", seq_num=2)
        details = s.details
        s.update({"details": "one", "name": "renamed"})
        s.update({"details": ["two", "three"]})
        assert s.details is details and details == ["one", "two", "three"]
        assert s.name == "renamed"

    def test_extra_is_replaced_wholesale_other_keys_merged(self, task):
        s = task.add_section(id="s", seq_num=2)
        s.update({"colour": {"a": 1}})
        s.update({"colour": {"b": 2}, "size": 3})
        assert s.extra == {"colour": {"a": 1, "b": 2}, "size": 3}
        s.update({"extra": {"new": True}})
        assert s.extra == {"new": True}

    def test_update_extra_is_called_even_when_empty(self, task):
        calls = []

        class Spy(rs.Section):
            def update_extra(self, data, list_extend=True):
                calls.append(dict(data))

        Spy(id="s", seq_num=1, parent=task).update({})
        assert calls == [{}]

    def test_fullid_raises_after_earlier_keys_and_idlist_is_ignored(self, task):
        s = task.add_section(id="s", seq_num=2)
        with pytest.raises(AttributeError):
            s.update({"name": "first", "fullid": "x", "colour": 1})
        assert s.name == "first" and s.extra == {}
        s.update({"idlist": ["z"]})
        assert s.idlist == ["t", "s"]

    def test_subclass_arg_order_applies(self, task):
        class Custom(rs.Section):
            _ARG_ORDER = rs.Section._ARG_ORDER + ["owner"]

        c = Custom(id="c", seq_num=1, parent=task)
        c.start(owner="me", colour="red")
        assert c.owner == "me" and c.extra == {"colour": "red"}

    def test_bad_input_raises_the_interpreters_errors(self, task):
        s = task.add_section(id="s", seq_num=2)
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
            s.update(None)
        s._ARG_ORDER = 5
        with pytest.raises(TypeError):
            s.update({"a": 1})
        del s._ARG_ORDER
        s.extra = "not a dict"
        with pytest.raises(AttributeError):
            s.update({"a": 1})
        s.add_detail({"any": "value"})
        assert s.details == [{"any": "value"}]


class TestSectionRollUp:
    def test_nothing_happens_below_a_task_or_without_a_result(self, task):
        s = task.add_section(id="s", seq_num=2)
        s.stop(result=Failed)
        assert task.health_result is None
        x = s.add_section(id="x", seq_num=3)
        before = (s.result, s.health_result)
        x.roll_up()
        assert (s.result, s.health_result) == before

    def test_first_result_is_a_clone_then_results_combine(self, task):
        s = task.add_section(id="s", seq_num=2)
        a = s.add_section(id="a", seq_num=3)
        a.stop(result=Passed)
        assert s.result == Passed and s.result is not Passed
        s.add_section(id="b", seq_num=4).stop(result=Failed)
        assert s.result == Failed and Passed.value == "passed"

    def test_without_health_entries_the_node_becomes_passed(self, task):
        s = task.add_section(id="s", seq_num=2)
        s.health_summary["failed"] = 5
        x = s.add_section(id="x", seq_num=3)
        x.stop(result=Passed)
        assert x.health_result is Passed and s.health_result is None
        assert s.health_summary["failed"] == 0
        x.stop(result=Passed)
        assert s.health_result == Passed and s.health_result is not Passed

    def test_health_entries_count_into_node_and_parent(self, task):
        s = task.add_section(id="s", seq_num=2)
        x = s.add_section(id="x", seq_num=3)
        x.stop(result=Passed, health=[{"result": "passed"}, {"result": "Failed"}])
        assert x.health_result == Failed and s.health_result == Failed
        assert x.health_summary.data == {"passed": 1, "failed": 1}
        assert s.health_summary.data == {"passed": 1, "failed": 1}

    def test_empty_health_list_changes_no_health(self, task):
        s = task.add_section(id="s", seq_num=2)
        x = s.add_section(id="x", seq_num=3)
        x.stop(result=Skipped, health=[])
        assert x.health_result is None and s.health_result is None
        assert s.result == Skipped

    def test_results_reach_the_top_section_through_many_levels(self, task):
        top = node = task.add_section(id="top", seq_num=2)
        for i in range(5):
            node = node.add_section(id=i, seq_num=i)
        node.stop(result=Failed)
        assert top.result == Failed

    def test_patched_result_names_take_effect(self, task, monkeypatch):
        class Loud(TestResult):
            @classmethod
            def from_str(cls, text):
                return Failed

        monkeypatch.setattr(rs, "TestResult", Loud)
        s = task.add_section(id="s", seq_num=2)
        s.add_section(id="x", seq_num=3).stop(result=Passed, health=[{"result": "passed"}])
        assert s.health_result == Failed

    def test_roll_up_errors(self, task):
        s = task.add_section(id="s", seq_num=2)
        x = s.add_section(id="x", seq_num=3)
        with pytest.raises(KeyError):
            x.stop(result=Passed, health=[{"status": "passed"}])
        with pytest.raises(TypeError):
            x.stop(result=Passed, health=5)
        x._parent = object()
        with pytest.raises(AttributeError):
            x.stop(result=Passed)
