"""Recorded jobs with known outcomes, for the command-line tests.

A job is described as {task id: [case, ...]} where a case is
(id, result name, seconds[, [step case, ...]]) and a plugin run is
("plugin", id, result name). Times come from a fake clock, so each node's
run time is exactly the seconds it was given (plus its children's).
"""

import datetime

import vexa.reporter.runsheaf as runsheaf
from vexa.results import TestResult

EPOCH = datetime.datetime(2026, 3, 1, 10, 0, tzinfo=datetime.timezone.utc)


class Clock:
    def __init__(self):
        self.now = EPOCH

    def __call__(self):
        return self.now

    def advance(self, seconds):
        self.now += datetime.timedelta(seconds=seconds)


def _result(name, reason=None):
    return TestResult(name, reason) if reason else TestResult.from_str(name)


def _record(parent, clock, case, seq, kind="Testcase"):
    if case[0] == "plugin":
        _, ident, result = case
        plugin = parent.add_plugin(id=ident, seq_num=seq)
        plugin.start()
        clock.advance(0.5)
        plugin.stop(result=_result(result))
        return
    ident, result, seconds, *rest = case
    section = parent.add_section(id=ident, seq_num=seq, type=kind)
    section.start()
    for n, child in enumerate(rest[0] if rest else ()):
        _record(section, clock, child, n, "Step")
    clock.advance(seconds)
    section.stop(result=_result(result, "%s because" % result if result != "passed" else None))


def make_job(tasks, run_id="job"):
    """A finished run recorded from `tasks` (module docstring)."""
    clock = Clock()
    saved = runsheaf.get_time
    runsheaf.get_time = clock
    try:
        run = runsheaf.Runsheaf(id=run_id, seq_num=0)
        run.start(host="lab")
        for seq, (task_id, cases) in enumerate(tasks.items()):
            if task_id == "plugin":
                for case in cases:
                    plugin = run.add_plugin(id=case[1], seq_num=seq)
                    plugin.start()
                    clock.advance(0.25)
                    plugin.stop(result=_result(case[2]))
                continue
            task = run.add_task(id=task_id, seq_num=seq)
            task.start(testscript="/scripts/%s.py" % task_id)
            for n, case in enumerate(cases):
                _record(task, clock, case, n)
            task.stop()
        run.stop(num_tasks=sum(1 for t in tasks if t != "plugin"))
        return run
    finally:
        runsheaf.get_time = saved


def write_job(path, tasks, run_id="job"):
    run = make_job(tasks, run_id)
    text = run.dump_yaml() if str(path).endswith((".yaml", ".yml")) else run.dump_json()
    path.write_text(text, encoding="utf-8")
    return path
