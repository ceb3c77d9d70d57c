"""Runs, tasks, sections and plugin runs: counters, results and log positions."""

import os

import pytest

import vexa.reporter.runsheaf as rs
from vexa.results import Errored, Failed, Passed, Skipped


@pytest.fixture
def run():
    return rs.Runsheaf(id="run", seq_num=0)


def started_task(run, tid="t"):
    task = run.add_task(id=tid, seq_num=1)
    task.start()
    return task


class TestFactories:
    def test_children_land_in_the_parents_list(self, run):
        task = run.add_task(id="t", seq_num=1)
        plugin = run.add_plugin(id="p", seq_num=2)
        assert run.tasks == [task, plugin] and run.testscripts is run.tasks
        assert task._parent is run and type(plugin) is rs.Plugin
        section = task.add_section(id="s", seq_num=3)
        tplugin = task.add_plugin(id="tp", seq_num=4)
        assert task.sections == [section, tplugin]
        assert type(section.add_section(id="x", seq_num=5)) is rs.Section
        assert type(tplugin.add_section(id="y", seq_num=6)) is rs.Section

    def test_factories_exist_only_where_children_may_go(self):
        assert not hasattr(rs.Section, "add_plugin")
        assert not hasattr(rs.Plugin, "add_plugin")
        assert not hasattr(rs.Runsheaf, "add_section")

    def test_a_parent_keyword_is_rejected_before_anything_is_added(self, run):
        with pytest.raises(TypeError):
            run.add_task(id="t", seq_num=1, parent=None)
        assert run.tasks == []
        with pytest.raises(TypeError):
            run.add_task(id="t")
        assert run.tasks == []

    def test_factories_use_the_module_classes_when_called(self, run, monkeypatch):
        class MySection(rs.Section):
            pass

        monkeypatch.setattr(rs, "Section", MySection)
        assert type(run.add_task(id="t", seq_num=1).add_section(id="s", seq_num=2)) is MySection

    def test_arg_order_lengths(self):
        assert (len(rs.Runsheaf._ARG_ORDER), len(rs.Task._ARG_ORDER),
                len(rs.Section._ARG_ORDER), len(rs.Plugin._ARG_ORDER)) == (30, 25, 22, 17)


class TestTaskResults:
    def test_task_result_and_summary(self, run):
        task = started_task(run)
        task.add_section(id="a", seq_num=2).stop(result=Passed)
        task.add_section(id="b", seq_num=3).stop(result=Failed)
        task.add_section(id="c", seq_num=4)  # never stopped, no result
        task.stop()
        assert task.result == Failed
        assert task.summary.data == {"passed": 1, "failed": 1}

    def test_a_section_not_rolled_up_is_counted_but_not_in_the_result(self, run):
        task = started_task(run)
        task.add_section(id="a", seq_num=2).stop(result=Failed, result_rollup=False)
        task.stop()
        assert task.result is None
        assert task.summary.data == {"failed": 1}

    def test_result_properties_are_read_only(self, run):
        task = started_task(run)
        with pytest.raises(AttributeError):
            task.stop(name="kept", result=Passed, colour="lost")
        assert task.name == "kept" and task.extra == {}
        with pytest.raises(AttributeError):
            run.start(result=Passed)

    def test_task_logfile_becomes_its_base_name(self, run):
        task = started_task(run)
        task.stop(logfile="/var/log/jobs/task.log")
        assert task.logfile == "task.log"
        task.stop()
        assert task.logfile == "task.log"
        other = started_task(run, "u")
        other.stop(logfile="")
        assert other.logfile == ""


class TestRunRollUp:
    def test_empty_run(self, run):
        run.stop()
        assert run.result is None and run.health_result is None
        assert run.totaltasks == 0 and run.summary.data == {}
        assert not hasattr(run.summary, "weight") or run.summary.weight == 1.0
        assert "num_tasks" not in run.extra

    def test_weight_is_the_share_of_planned_tasks_started(self, run):
        for i in range(3):
            started_task(run, "t%d" % i).stop()
        run.add_task(id="never", seq_num=9)
        for i in range(2):
            p = run.add_plugin(id="p%d" % i, seq_num=10 + i)
            p.start()
            p.stop()
        run.stop(num_tasks=4)
        assert run.totaltasks == 4 and run.summary.weight == 0.75
        assert "num_tasks" not in run.extra

    def test_run_counts_sections_of_all_tasks_and_plugins_apart(self, run):
        for tid in ("a", "b"):
            task = started_task(run, tid)
            task.add_section(id="s", seq_num=2).stop(result=Passed)
            task.stop()
        plugin = run.add_plugin(id="p", seq_num=3)
        plugin.start()
        plugin.add_section(id="ps", seq_num=4).stop(result=Errored)
        plugin.stop()
        run.stop(num_tasks=2)
        assert run.summary.data == {"passed": 2}
        assert run.pluginsummary.data == {"errored": 1}
        assert run.result == Errored

    def test_health_first_child_object_then_combined(self, run):
        t1, t2 = started_task(run, "a"), started_task(run, "b")
        for task, health in ((t1, "passed"), (t2, "failed")):
            tc = task.add_section(id="tc", seq_num=2)
            tc.add_section(id="s", seq_num=3).stop(result=Passed, health=[{"result": health}])
        t1.stop()
        t2.stop()
        assert t1.health_result is t1.sections[0].health_result
        run.roll_up()
        assert run.health_result == Failed
        run.roll_up()  # counters are rebuilt, not doubled
        assert run.health_summary["passed"] == 1 and run.health_summary["failed"] == 1

    def test_roll_up_twice_gives_the_same_counters(self, run):
        task = started_task(run)
        task.add_section(id="s", seq_num=2).stop(result=Skipped)
        task.stop()
        run.roll_up()
        first = dict(run.summary.items())
        run.roll_up()
        assert dict(run.summary.items()) == first == {"skipped": 1}

    def test_a_run_level_plugin_that_never_started_breaks_the_roll_up(self, run):
        run.add_plugin(id="p", seq_num=1)
        run.start()
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
            run.stop(num_tasks=1)
        assert run.stoptime is not None and run.totaltasks == 0


class TestPlugins:
    def test_plugin_without_sections_is_counted_by_its_own_result(self, run):
        task = started_task(run)
        plugin = task.add_plugin(id="p", seq_num=2)
        plugin.start()
        plugin.stop()
        task.stop()
        assert plugin.summary is None and plugin.result is Passed
        assert task.pluginsummary.data == {"passed": 1}
        assert task.summary.data == {} and task.health_result is None

    def test_plugin_without_summary_or_result_counts_as_none(self, run):
        task = started_task(run)
        task.add_plugin(id="p", seq_num=2)
        task.stop()
        assert task.pluginsummary.data == {"none": 1}

    def test_plugin_sections_are_counted_into_its_summary(self, run):
        task = started_task(run)
        plugin = task.add_plugin(id="p", seq_num=2)
        plugin.start()
        plugin.add_section(id="a", seq_num=3).stop(result=Passed)
        plugin.add_section(id="b", seq_num=4).stop(result=Failed)
        plugin.add_section(id="c", seq_num=5).stop()
        plugin.stop()
        assert plugin.summary.data == {"passed": 1, "failed": 1}
        assert plugin.result == Failed
        task.stop()
        assert task.pluginsummary.data == {"passed": 1, "failed": 1}

    def test_a_given_result_is_kept(self, run):
        plugin = started_task(run).add_plugin(id="p", seq_num=2)
        plugin.stop(result=Skipped)
        assert plugin.result is Skipped

    def test_run_level_plugin_gets_an_empty_counter_and_no_log_position(self, run, tmp_path):
        log = tmp_path / "plugin.log"
        log.write_text("x" * 10)
        plugin = run.add_plugin(id="p", seq_num=1)
        plugin.start(logfile=str(log))
        plugin.stop()
        assert plugin.summary.data == {} and plugin.logs == {}
        assert plugin.logfile == "plugin.log"

    def test_never_started_plugin_only_gets_its_result(self, run):
        plugin = run.add_plugin(id="p", seq_num=1)
        plugin.stop()
        assert plugin.result is Passed and not hasattr(plugin, "logfile")


class TestLogPositions:
    def test_section_measures_its_share_of_a_growing_log(self, run, tmp_path):
        log = tmp_path / "job.log"
        log.write_bytes(b"a" * 100)
        section = started_task(run).add_section(id="s", seq_num=2)
        section.start(logfile=str(log))
        with open(log, "ab") as f:
            f.write(b"b" * 50)
        section.stop()
        assert section.logs == {"file": "job.log", "begin": 100, "size": 50}
        assert section.logfile == str(log)
        assert "logfile" not in section.extra

    def test_missing_log_file(self, run, tmp_path):
        log = tmp_path / "later.log"
        task = started_task(run)
        gone = task.add_section(id="gone", seq_num=2)
        gone.start(logfile=str(log))
        gone.stop()
        assert gone.logs == {"file": "later.log", "begin": 0, "size": -1}
        late = task.add_section(id="late", seq_num=3)
        late.start(logfile=str(log))
        log.write_bytes(b"x" * 7)
        late.stop()
        assert late.logs["size"] == 7

    def test_no_log_file_no_position(self, run, tmp_path):
        section = started_task(run).add_section(id="s", seq_num=2)
        section.start()
        section.stop(logfile="ignored.log")
        assert section.logs == {} and section.extra == {"logfile": "ignored.log"}

    def test_second_start_without_log_file_records_no_size(self, run, tmp_path):
        log = tmp_path / "job.log"
        log.write_bytes(b"12345")
        section = started_task(run).add_section(id="s", seq_num=2)
        section.start(logfile=str(log))
        section.start()
        section.stop()
        assert section.logfile is None and section.logs == {"file": "job.log", "begin": 5}

    def test_task_plugin_measures_its_log_and_keeps_the_base_name(self, run, tmp_path):
        log = tmp_path / "p.log"
        log.write_bytes(b"x" * 3)
        plugin = started_task(run).add_plugin(id="p", seq_num=2)
        plugin.start(logfile=str(log))
        log.write_bytes(b"x" * 10)
        plugin.stop(logfile=str(log))
        assert plugin.logs == {"file": "p.log", "begin": 3, "size": 7}
        assert plugin.logfile == "p.log"

    def test_task_plugin_moved_to_another_log(self, run, tmp_path):
        log = tmp_path / "p.log"
        log.write_bytes(b"x")
        plugin = started_task(run).add_plugin(id="p", seq_num=2)
        plugin.start(logfile=str(log))
        plugin.stop(logfile="/elsewhere/q.log")
        assert plugin.logs == {"file": "q.log", "begin": 0, "size": -1}
        assert plugin.logfile == "q.log"

    def test_only_oserror_is_caught(self, run, tmp_path, monkeypatch):
        section = started_task(run).add_section(id="s", seq_num=2)
        section.start(logfile=str(tmp_path / "x.log"))
        section.logs = {"file": "x.log"}
        (tmp_path / "x.log").write_bytes(b"1")
        with pytest.raises(KeyError):
            section.stop()

    def test_log_files_are_never_opened(self, run, tmp_path, monkeypatch):
        log = tmp_path / "job.log"
        log.write_bytes(b"abc")
        opened = []
        monkeypatch.setattr("builtins.open", lambda *a, **k: opened.append(a))
        section = started_task(run).add_section(id="s", seq_num=2)
        section.start(logfile=str(log))
        section.stop()
        assert opened == [] and section.logs["begin"] == 3


class TestWholeJob:
    def test_a_job_rolls_up_from_steps_to_the_run(self, run, tmp_path):
        log = tmp_path / "task.log"
        log.write_text("")
        run.start(host="h")
        task = started_task(run)
        setup = task.add_section(id="common_setup", seq_num=2, type="CommonSetup")
        setup.start(logfile=str(log))
        setup.stop(result=Passed)
        tc = task.add_section(id="tc", seq_num=3, type="Testcase")
        tc.start(logfile=str(log))
        ts = tc.add_section(id="test", seq_num=4, type="TestSection")
        ts.start(logfile=str(log))
        step = ts.add_section(id=1, seq_num=5, type="Step")
        step.start()
        step.add_section(id="1.1", seq_num=6, type="Step").stop(
            result=Failed, health=[{"result": "errored"}])
        step.stop()
        ts.stop()
        tc.stop()
        plugin = task.add_plugin(id="tp", seq_num=7)
        plugin.start()
        plugin.stop()
        task.stop()
        run_plugin = run.add_plugin(id="rp", seq_num=8)
        run_plugin.start()
        run_plugin.stop()
        run.stop(num_tasks=1)
        assert tc.result == Failed and ts.result == Failed
        assert task.summary.data == {"passed": 1, "failed": 1}
        assert task.pluginsummary.data == {"passed": 1}
        assert task.health_result == Errored
        assert run.summary.data == {"passed": 1, "failed": 1}
        assert run.result == Failed and run.summary.weight == 1.0
