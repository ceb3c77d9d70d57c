"""Hostile input to the report tree: whatever comes in, the interpreter's own
error or a sound result, never a crash."""

import datetime
import json
import math
import os
import subprocess
import sys

import pytest
import yaml
from hypothesis import given, strategies as st

import vexa.reporter.runsheaf as rs
from vexa.results import Errored, Failed, Passed, Skipped, TestResult

results = st.sampled_from([Passed, Failed, Errored, Skipped, None])
scalars = (st.none() | st.booleans() | st.integers() | st.floats()
           | st.text() | st.binary() | st.datetimes() | st.dates()
           | st.datetimes(timezones=st.timezones()) | st.sampled_from([Passed, Failed("why")]))
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
    | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=12)
keywords = st.dictionaries(
    st.sampled_from(["name", "details", "description", "xref", "parameters",
                     "colour", "data", "health", "logs"]) | st.text(min_size=1, max_size=6),
    values, max_size=5)


def build(shape, data):
    """A run whose tree has the given shape; nodes stop in a drawn order."""
    run = rs.Runsheaf(id="run", seq_num=0)
    run.start()
    nodes, parents = [], [run]
    for kind, parent_index in shape:
        parent = parents[parent_index % len(parents)]
        if isinstance(parent, rs.Runsheaf):
            child = (run.add_task if kind else run.add_plugin)(id=len(nodes), seq_num=len(nodes))
        elif isinstance(parent, rs.Task) and not kind:
            child = parent.add_plugin(id=len(nodes), seq_num=len(nodes))
        else:
            child = parent.add_section(id=len(nodes), seq_num=len(nodes))
        child.start()
        nodes.append(child)
        parents.append(child)
    order = data.draw(st.permutations(range(len(nodes))))
    for i in order:
        node = nodes[i]
        kw = {}
        if not isinstance(node, (rs.Runsheaf, rs.Task)):
            kw["result"] = data.draw(results)
        try:
            node.stop(**kw)
        except AttributeError:
            pass  # a run-level plugin stopped before its start made a counter
    return run, nodes


shapes = st.lists(st.tuples(st.booleans(), st.integers(0, 50)), max_size=25)


class TestRandomTrees:
    @given(shapes, st.data())
    def test_documents_hold_every_node(self, shape, data):
        run, nodes = build(shape, data)
        try:
            run.stop(num_tasks=3)
        except AttributeError:
            pass
        doc = json.loads(run.dump_json())
        seen, stack = [], [doc["report"]]
        while stack:
            node = stack.pop()
            seen.append(node["id"])
            stack.extend(node.get("tasks", []) + node.get("sections", []))
        assert sorted(seen[1:]) == list(range(len(nodes)))
        assert yaml.safe_load(run.dump_yaml())["report"]["id"] == "run"
        for node in nodes:
            assert node.to_dict()["seq_num"] == node.seq_num

    @given(shapes, st.data())
    def test_roll_ups_agree_with_the_results(self, shape, data):
        run, nodes = build(shape, data)
        for task in run.tasks:
            if isinstance(task, rs.Task):
                task.roll_up()  # children may have stopped after the task
                counted = sum(task.summary.data.values())
                assert counted == sum(1 for s in task.sections
                                      if isinstance(s, rs.Section) and s.result is not None)


class TestKeywordValues:
    @given(keywords)
    def test_any_keywords(self, kw):
        run = rs.Runsheaf(id="r", seq_num=0)
        section = run.add_task(id="t", seq_num=1).add_section(id="s", seq_num=2)
        try:
            section.start(**kw)
            section.stop(result=Passed, **kw)
        except (TypeError, KeyError, ValueError, AttributeError):
            return  # bad health entries or logs: the interpreter's own errors
        try:
            text = section.dump_json()
        except (TypeError, ValueError):
            pass
        else:
            assert json.loads(text)["report"]["id"] == "s"
        assert "report:" in section.dump_yaml()

    @given(values)
    def test_any_value_in_extra_or_details(self, value):
        node = rs.Section(id="n", seq_num=1)
        node.add_detail(value)
        node.extra["v"] = value
        try:
            json.loads(node.dump_json())
        except (TypeError, ValueError):
            pass
        node.dump_yaml()
        assert node.to_dict()["extra"]["v"] is value


class TestDamagedNodes:
    @pytest.mark.parametrize("attr", ["_ARG_ORDER", "extra", "details", "sections", "_parent",
                                      "result", "health_summary", "logs", "id", "starttime"])
    @pytest.mark.parametrize("replacement", [None, 5, "text", [1], object()])
    def test_replaced_attributes_raise_or_work(self, attr, replacement):
        run = rs.Runsheaf(id="r", seq_num=0)
        task = run.add_task(id="t", seq_num=1)
        tc = task.add_section(id="tc", seq_num=2)
        step = tc.add_section(id="s", seq_num=3)
        step.start(logfile="/nonexistent")
        setattr(step, attr, replacement)
        for op in (lambda: step.stop(result=Failed), lambda: step.fullid, lambda: step.idlist,
                   step.to_dict, step.dump_json, step.dump_yaml, tc.roll_up, task.stop, run.stop):
            try:
                op()
            except (TypeError, AttributeError, KeyError, ValueError, RecursionError):
                pass

    @pytest.mark.parametrize("attr", ["_parent", "extra", "details", "result", "health_result",
                                      "health_summary", "sections", "starttime", "logs"])
    def test_deleted_attributes_raise_attribute_error_or_work(self, attr):
        task = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1)
        tc = task.add_section(id="tc", seq_num=2)
        step = tc.add_section(id="s", seq_num=3)
        delattr(step, attr)
        for op in (lambda: step.stop(result=Failed), step.to_dict, step.dump_json,
                   step.dump_yaml, task.stop):
            try:
                op()
            except (AttributeError, TypeError):
                pass


class TestDeepAndLarge:
    def test_sections_ten_thousand_deep(self):
        task = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1)
        node = task
        for i in range(10000):
            node = node.add_section(id=i, seq_num=i)
        node.stop(result=Failed)
        assert len(node.idlist) == 10001 and task.sections[0].result == Failed
        task.stop()
        assert task.summary.data == {"failed": 1}
        with pytest.raises(RecursionError):
            task.dump_json()
        with pytest.raises(RecursionError):
            task.dump_yaml()
        assert node.to_dict()["idlist"][-1] == 9999

    def test_extra_ten_thousand_deep(self):
        deep = {}
        leaf = deep
        for _ in range(10000):
            leaf["k"] = {}
            leaf = leaf["k"]
        node = rs.Section(id="n", seq_num=1)
        node.update({"nested": deep})
        node.update({"nested": deep})
        with pytest.raises(RecursionError):
            node.dump_json()
        with pytest.raises(RecursionError):
            node.dump_yaml()

    def test_a_fifty_megabyte_detail(self):
        node = rs.Section(id="n", seq_num=1)
        node.add_detail("x" * (50 * 1024 * 1024))
        assert len(node.dump_json()) > 50 * 1024 * 1024

    def test_odd_numbers(self):
        node = rs.Section(id="n", seq_num=1)
        node.extra.update(nan=math.nan, inf=-math.inf, big=10 ** 400)
        assert '"nan": NaN, "inf": -Infinity' in node.dump_json()
        extra = yaml.safe_load(node.dump_yaml())["report"]["extra"]
        assert math.isnan(extra["nan"]) and extra["inf"] == -math.inf and extra["big"] == 10 ** 400


class TestCyclicParents:
    def test_roll_up_raises_recursion_error(self):
        # In a child process with a time limit: the failure is a loop.
        code = (
            "import vexa.reporter.runsheaf as rs\n"
            "from vexa.results import Failed\n"
            "for length in (1, 2, 3):\n"
            "    for op in ('stop', 'roll_up'):\n"
            "        ring = [rs.Section(id=i, seq_num=i) for i in range(length)]\n"
            "        for i, node in enumerate(ring):\n"
            "            node._parent = ring[i - 1]\n"
            "        ring[0].result = Failed\n"
            "        try:\n"
            "            ring[0].stop(result=Failed) if op == 'stop' else ring[0].roll_up()\n"
            "        except RecursionError:\n"
            "            print(length, op)\n")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split("\n")[:-1] == [
            "%d %s" % (n, op) for n in (1, 2, 3) for op in ("stop", "roll_up")]


class TestUnmeasurableLogs:
    @pytest.mark.parametrize("path", ["a\ud800b", "a\0b", "/tmp/\udcff\0"])
    def test_positions_as_for_a_missing_file(self, path):
        task = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1)
        task.start(logfile=path)
        section, plugin = task.add_section(id="s", seq_num=2), task.add_plugin(id="p", seq_num=3)
        section.start(logfile=path)
        plugin.logfile = path
        plugin.start()
        section.stop(result=Passed)
        plugin.stop()
        task.stop()
        for node in (section, plugin):
            assert node.logs == {"file": os.path.basename(path), "begin": 0, "size": -1}
        assert task.logfile == os.path.basename(path)
