"""`vexa results FILE` run the way a user runs it: a process, its output and
its exit status."""

import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

SMALL_JOB = pathlib.Path(__file__).parent / "data" / "small_job.json"


def vexa(*args, pythonpath=()):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*map(str, pythonpath), env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", "vexa.cli", *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=120)


@pytest.fixture
def write(tmp_path):
    def write(content, name="results.json"):
        path = tmp_path / name
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content if isinstance(content, str) else json.dumps(content))
        return path
    return write


def test_a_valid_file_is_accepted():
    done = vexa("results", SMALL_JOB)
    assert (done.returncode, done.stdout, done.stderr) == (0, "%s accepted\n" % SMALL_JOB, "")


def test_findings_are_listed_and_fail(write):
    document = json.loads(SMALL_JOB.read_text())
    del document["version"]
    document["report"]["runtime"] = "12s"
    del document["report"]["tasks"][0]["sections"][0]["id"]
    done = vexa("results", write(document))
    assert done.returncode == 1
    assert done.stdout.splitlines() == [
        "$: missing field 'version' of a results document",
        "$.report.runtime (job): expected a number, found the string '12s'",
        "$.report.tasks[0].sections[0] (t1 > ?): missing field 'id' of a section",
        "3 findings"]


@pytest.mark.parametrize("content, message", [
    ("{\"version\": ", "not valid JSON: Expecting value: line 1 column 13 (char 12)"),
    ("", "not valid JSON: Expecting value"),
    (b"\xff\xfe{}", "not readable as utf-8 text"),
    ("[" * 10_000 + "]" * 10_000, "nested too deeply to be read"),
])
def test_unreadable_files_give_one_line(write, content, message):
    path = write(content)
    done = vexa("results", path)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith("vexa results: error: %s: %s" % (path, message))
    assert len(done.stderr.splitlines()) == 1


def test_a_missing_file(tmp_path):
    done = vexa("results", tmp_path / "nothing.json")
    assert done.returncode == 2
    assert done.stderr == "vexa results: error: %s: No such file or directory\n" % (
        tmp_path / "nothing.json")


@pytest.mark.parametrize("content", [[], "null", {"version": "3.4", "report": {"\udcff": [[[]]]}},
                                     "NaN", {"version": "3.4", "report": {"tasks": "\u2603"}}])
def test_any_json_is_judged_without_a_crash(write, content):
    done = vexa("results", write(content if isinstance(content, str) else
                                 json.dumps(content)))
    assert done.returncode == 1 and done.stdout and not done.stderr


def test_help_texts():
    done = vexa("--help")
    assert done.returncode == 0 and "results" in done.stdout
    assert "validate your results file json syntax" in done.stdout
    done = vexa("results", "--help")
    assert done.stdout.startswith("usage: vexa results [file]\n\nValidates the provided results")
    done = vexa()
    assert done.returncode == 2 and "usage: vexa" in done.stderr
    done = vexa("results")
    assert done.returncode == 2 and "[file]" in done.stderr


def test_subcommands_registered_by_other_distributions(tmp_path):
    dist = tmp_path / "hello-1.0.dist-info"
    dist.mkdir()
    (dist / "METADATA").write_text("Metadata-Version: 2.1\nName: hello\nVersion: 1.0\n")
    (dist / "entry_points.txt").write_text(
        "[vexa.cli.subcommands]\nhello = hello_cmd:Hello\nbroken = no_such_module:X\n")
    (tmp_path / "hello_cmd.py").write_text(textwrap.dedent("""\
        from vexa.cli.base import Subcommand

        class Hello(Subcommand):
            name = "hello"
            help = "say hello"

            def run(self, args):
                print("hello")
                return 3
        """))
    done = vexa("hello", pythonpath=[tmp_path])
    assert (done.returncode, done.stdout) == (3, "hello\n")
    assert "subcommand 'broken' is unavailable" in done.stderr
    assert vexa("results", SMALL_JOB, pythonpath=[tmp_path]).returncode == 0
