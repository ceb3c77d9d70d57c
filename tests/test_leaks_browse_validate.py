"""The explorer and the results subcommand leave nothing behind either,
on their error paths included."""

import argparse
import pathlib

import pytest
from test_leaks import grows

import vexa.reporter.commands as commands
from vexa.reporter.commands import ValidateResultsFile
from vexa.reporter.explorer import Explorer

DATA = pathlib.Path(__file__).parent / "data"


class Client:
    def get_runsheaf(self):
        return {"name": "r", "tasks": ["a", "b", ["c"]]}

    def get_section(self, id_list):
        if id_list[-1] == "b":
            raise LookupError("gone")
        return {"id": id_list[-1], "sections": 5} if id_list[-1] == "a" else None


CLIENT = Client()
COMMAND = ValidateResultsFile()


def walk():
    run = Explorer(CLIENT)
    return run.name, run["tasks"], run.tasks == ["a"], len(run.tasks), list(iter(run.tasks))


def validate(path):
    return lambda: COMMAND.run(argparse.Namespace(file=str(path)))


OPERATIONS = {
    "browse": walk,
    "fetch that raises": lambda: Explorer(CLIENT).tasks[1],
    "child list that is no sequence": lambda: len(Explorer(CLIENT).tasks[0].sections),
    "missing node": lambda: Explorer(CLIENT, ["x"]).name,
    "iterate an explorer": lambda: iter(Explorer(CLIENT)),
    "unfinished explorer": lambda: Explorer.__new__(Explorer).name,
    "accepted file": validate(DATA / "small_job.json"),
    "missing file": validate(DATA / "missing.json"),
    "not JSON": validate(DATA / "small_job.yaml"),
}


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_no_leak(name, monkeypatch, tmp_path):
    # captured output would grow on its own
    monkeypatch.setattr(commands, "print", lambda *args: None, raising=False)
    assert not grows(OPERATIONS[name]), name


def test_findings_leave_nothing_behind(monkeypatch, tmp_path):
    monkeypatch.setattr(commands, "print", lambda *args: None, raising=False)
    path = tmp_path / "findings.json"
    path.write_text('{"version": 3, "report": {"tasks": [1, {"id": []}]}}')
    assert not grows(validate(path))
