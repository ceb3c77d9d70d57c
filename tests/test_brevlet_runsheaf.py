"""The XML files of a job recorded with the report model (the example job)."""

import pathlib
import runpy
import xml.etree.ElementTree as ET

import pytest

from vexa.reporter.brevlet import Brevlet

EXAMPLE = pathlib.Path(__file__).parents[1] / "examples" / "job.py"


@pytest.fixture(scope="module")
def example(tmp_path_factory):
    example_job = runpy.run_path(str(EXAMPLE))
    outdir = tmp_path_factory.mktemp("job")
    run = example_job["record_job"](str(outdir))
    b = Brevlet(str(outdir), run)
    b.generate_xml(None, None)
    details = ET.parse(outdir / "ResultsDetails.xml").getroot()
    summary = ET.parse(outdir / "ResultsSummary.xml").getroot()
    return run, b.zelreport.runsheaf, details, summary


def test_every_task_and_run_level_plugin_is_a_test_script(example):
    run, legacy, details, _ = example
    ids = [s.get("id") for s in details.iter("testScript")]
    assert ids == [t.id for t in run.tasks] == ["routing", "switching", "monitor"]


def test_sections_keep_results_and_log_positions(example):
    run, legacy, details, _ = example
    task = run.tasks[0]
    script = legacy.jobexecution.testscripts[0][0]
    assert script.initinfo.logfile.filepath == task.logfile == "job.log"
    for section, mapped in zip(task.sections, script.children):
        info = getattr(mapped, "initinfo", mapped)
        logs = section.logs
        assert (info.logfile.filepath, info.logfile.attrs) == (
            logs["file"], {"begin": logs["begin"], "size": logs["size"]})
        expected = None if section.result is None else str(section.result)
        assert mapped.result.value == expected


def test_steps_nest_as_recorded(example):
    _, _, details, _ = example
    tc = details.find(".//testScript[@id='routing']/testcase[@id='tc1']")
    assert (tc.get("xrefFile"), tc.get("xrefLine")) == ("routing.py", "10")
    assert [s.get("id") for s in tc.iter("step")] == ["1", "1.1", "1.1.1"]
    assert tc.findtext("testSection/diag") == "checked 1 interfaces"


def test_summary_counts_are_the_runs(example):
    run, _, _, summary = example
    assert (summary.findtext("jobName"), summary.findtext("testbed")) == (run.name, "tb-1")
    assert int(summary.findtext("total")) == run.summary.total
    assert float(summary.findtext("successRate")) == run.summary.success_rate
    assert summary.findtext("host") == "lab-host"
