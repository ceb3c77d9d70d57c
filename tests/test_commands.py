"""The results subcommand as the vexa tool drives it: parser, run order, output."""

import argparse
import json
import pathlib
import subprocess
import sys

import pytest

import vexa.reporter.commands as commands
from vexa.cli.base import ERROR, Subcommand
from vexa.reporter.commands import ValidateResultsFile

SMALL_JOB = pathlib.Path(__file__).parent / "data" / "small_job.json"


def run(path):
    return ValidateResultsFile().run(argparse.Namespace(file=str(path)))


class RecordingOpen:
    """Stands in for the built-in open; remembers the files it opened."""

    def __init__(self):
        self.files = []

    def __call__(self, path, mode):
        assert mode == "r"
        f = open(path, mode)
        self.files.append(f)
        return f


@pytest.fixture
def opened(monkeypatch):
    recorder = RecordingOpen()
    monkeypatch.setattr(commands, "open", recorder, raising=False)
    return recorder


def test_module_names_in_order():
    names = [n for n in vars(commands) if not n.startswith("__")]
    assert names == ["logging", "json", "Subcommand", "ERROR", "validate", "logger",
                     "DEVICE_ATTRIBUTES_TO_CHECK", "ValidateResultsFile"]
    assert commands.logger.name == "vexa.reporter.commands"
    assert commands.DEVICE_ATTRIBUTES_TO_CHECK == ["type", "os", "platform"]
    assert commands.validate.__module__ == "vexa.reporter.schema"


def test_a_missing_framework_piece_fails_the_import():
    code = ("import sys, types\n"
            "sys.modules['vexa.reporter.schema'] = types.ModuleType('vexa.reporter.schema')\n"
            "try:\n"
            "    import vexa.reporter.commands\n"
            "except ImportError as e:\n"
            "    print(e.__cause__)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout == ("cannot import name 'validate' from 'vexa.reporter.schema' "
                           "(unknown location)\n")


def test_the_subcommand_declaration():
    cls = ValidateResultsFile
    assert cls.__bases__ == (Subcommand,) and cls.__module__ == "vexa.reporter.commands"
    assert cls.__doc__ == "\n    Validates that a results file is loadable\n    "
    assert (cls.name, cls.help, cls.usage) == (
        "results", "validate your results file json syntax", "{prog} [file]")
    assert cls.description == ("\nValidates the provided results json file for syntax and "
                               "content completeness.\n    ")


def test_the_parser_takes_one_file():
    parser = ValidateResultsFile(prog="vexa").parser
    assert parser.parse_args(["out/results.json"]).file == "out/results.json"
    assert parser.format_usage() == "usage: vexa results [file]\n"
    assert "[file]      Results JSON file to validate" in parser.format_help()
    with pytest.raises(SystemExit):
        parser.parse_args([])


def test_an_accepted_file(capsys, opened):
    assert run(SMALL_JOB) is None
    assert capsys.readouterr().out == "%s accepted\n" % SMALL_JOB
    assert opened.files[0].closed


def test_findings_are_printed_and_fail(tmp_path, capsys):
    path = tmp_path / "r.json"
    path.write_text(json.dumps({"report": {}}))
    assert run(path) == ERROR
    out = capsys.readouterr().out
    assert "$: missing field 'version'" in out and "accepted" not in out


def test_any_result_but_none_is_a_finding(monkeypatch, capsys):
    for result in ([], ""):
        monkeypatch.setattr(commands, "validate", lambda document: result)
        assert run(SMALL_JOB) == ERROR
    assert capsys.readouterr().out == "[]\n\n"


def test_the_file_is_closed_before_findings_are_judged(monkeypatch, opened, capsys):
    seen = []

    class Judged:
        def __ne__(self, other):
            seen.append(opened.files[0].closed)
            return False

    monkeypatch.setattr(commands, "validate", lambda document: Judged())
    assert run(SMALL_JOB) is None
    assert seen == [True]


def test_errors_propagate_with_the_file_closed(tmp_path, monkeypatch, opened, capsys):
    broken = tmp_path / "broken.json"
    broken.write_text("{")
    with pytest.raises(json.JSONDecodeError):
        run(broken)
    with pytest.raises(FileNotFoundError):
        run(tmp_path / "missing.json")

    def failing(document):
        raise RuntimeError("validator failed")

    monkeypatch.setattr(commands, "validate", failing)
    with pytest.raises(RuntimeError, match="validator failed"):
        run(SMALL_JOB)
    assert all(f.closed for f in opened.files) and len(opened.files) == 2
    assert capsys.readouterr().out == ""


def test_run_takes_exactly_one_namespace(capsys):
    command = ValidateResultsFile()
    with pytest.raises(TypeError):
        command.run()
    with pytest.raises(TypeError):
        command.run(argparse.Namespace(file=str(SMALL_JOB)), None)
    assert command.run(args=argparse.Namespace(file=str(SMALL_JOB))) is None
    assert ValidateResultsFile.run(self=command, args=argparse.Namespace(file=str(SMALL_JOB))) is None
