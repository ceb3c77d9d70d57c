"""`vexa check`, `vexa summary` and `vexa diff` run as a user runs them: the
installed command on recorded jobs with known failures, and on inputs
that cannot be read."""

import json
import os
import pathlib
import pty
import subprocess
import sys
import textwrap

import pytest

from jobgen import write_job
from vexa.reporter import schema

VEXA = pathlib.Path(sys.executable).with_name("vexa")
ROOT = pathlib.Path(__file__).resolve().parent.parent

OLD = {
    "routing": [("tc1", "passed", 1.0), ("tc2", "passed", 0.5, [("s1", "passed", 0.1)]),
                ("tc3", "failed", 0.2), ("slow", "passed", 1.0),
                ("rep", "passed", 0.1), ("rep", "passed", 0.1), (7, "passed", 0.1)],
    "dns": [("lookup", "passed", 0.3), ("plugin", "cov", "passed")],
}
NEW = {
    "routing": [("tc1", "failed", 1.0), ("tc2b", "passed", 0.5, [("s1", "passed", 0.1)]),
                ("tc3", "passed", 0.2), ("slow", "passed", 3.5),
                ("rep", "passed", 0.1), ("rep", "errored", 0.1), ("7", "passed", 0.1)],
    "dns": [("lookup", "passed", 0.3), ("plugin", "cov", "failed")],
}


def vexa(*args, stdin=None, env=None, **kwargs):
    return subprocess.run([str(VEXA), *map(str, args)], input=stdin, capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, **(env or {})), **kwargs)


@pytest.fixture(scope="module")
def jobs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("jobs")
    return (write_job(folder / "old.json", OLD, "nightly-1"),
            write_job(folder / "new.json", NEW, "nightly-2"),
            write_job(folder / "new.yaml", NEW, "nightly-2"))


def test_diff_is_a_ci_gate_that_names_what_changed(jobs):
    old, new, new_yaml = jobs
    done = vexa("diff", old, new)
    assert done.returncode == 1 and done.stderr == ""
    assert done.stdout.splitlines()[0] == (
        "%s -> %s: 4 newly failing, 1 fixed, 2 still failing, 1 much slower, 2 added, 2 removed"
        % (old, new))
    sections = done.stdout.split("\n\n")
    assert sections[1:] == [
        "newly failing (4):\n  routing > tc1  passed -> failed\n"
        "  routing > rep  passed -> errored\n  dns            passed -> failed\n"
        "  dns > cov      passed -> failed",
        "fixed (1):\n  routing > tc3  failed -> passed",
        "still failing (2):\n  nightly-2  failed -> errored\n  routing    failed -> errored",
        "much slower (1), at least 2x and 1 s more:\n  routing > slow  1.00 s -> 3.50 s",
        # 7 and "7" differ; the renamed test's steps go with it
        'added (2):\n  routing > tc2b  passed\n  routing > "7"   passed',
        "removed (2):\n  routing > tc2  was passed\n  routing > 7    was passed\n"]
    as_yaml = vexa("diff", old, new_yaml, "--format", "json")
    as_json = vexa("diff", old, new, "--format", "json")
    differences = json.loads(as_json.stdout)
    assert [e["idlist"] for e in differences["newly_failing"]] == [
        ["routing", "tc1"], ["routing", "rep"], ["dns"], ["dns", "cov"]]
    assert differences["removed"][1]["idlist"] == ["routing", 7]
    assert differences["slower"][0]["new"] == {"result": "passed", "runtime": 3.5}
    assert json.loads(as_yaml.stdout)["counts"] == differences["counts"]


def test_diff_thresholds_and_a_clean_comparison(jobs):
    old, new, _ = jobs
    done = vexa("diff", new, new, "--slower-factor", "1", "--slower-seconds", "0")
    assert done.returncode == 0
    assert done.stdout.splitlines()[0].endswith(": 6 still failing, 13 much slower")
    done = vexa("diff", old, new, "--slower-factor", "4")
    assert done.returncode == 1 and "much slower" not in done.stdout
    done = vexa("diff", old, new, "--slower-seconds", "-1")
    assert done.returncode == 2 and "must be a finite number" in done.stderr


def test_summary_shows_outcome_counters_failures_and_durations(jobs):
    _, new, new_yaml = jobs
    done = vexa("summary", new, "--durations", "2")
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    assert lines[:4] == ["run nightly-2: errored (errored because)",
                         "  start    2026-03-01 10:00:00+00:00",
                         "  stop     2026-03-01 10:00:06.400000+00:00", "  runtime  6.40 s"]
    assert "  test cases        6      0       1        1        0        0        0      8" \
           "       75.00 %" in lines
    failing = lines[lines.index("not passed (3):") + 1:][:3]
    assert failing == ["  routing > tc1  failed   failed because",
                       "  routing > rep  errored  errored because",
                       "  dns > cov      failed"]
    assert lines[-3:] == ["slowest 2 test cases:", "      3.50 s  routing > slow",
                          "      1.00 s  routing > tc1"]
    as_json = json.loads(vexa("summary", new_yaml, "--format", "json", "--durations", "1").stdout)
    assert as_json["report"]["result"] == "errored" and len(as_json["not_passed"]) == 3
    assert [e["path"] for e in as_json["slowest"]] == ["routing > slow"]


def test_check_several_files_and_standard_input(jobs, tmp_path):
    old, new, new_yaml = jobs
    broken = json.loads(new.read_text())
    broken["report"]["totaltasks"] = 7
    broken["report"]["tasks"][0]["sections"][0]["runtime"] = "slow"
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps(broken))
    done = vexa("check", old, bad, "-", stdin=new_yaml.read_text())
    assert done.returncode == 1 and done.stderr == ""
    assert [line for line in done.stdout.splitlines() if ": warning: " not in line] == [
        "%s: accepted, 1 warning" % old,
        "%s: $.report.tasks[0].sections[0].runtime (routing > tc1): expected a number, "
        "found the string 'slow'" % bad,
        "%s: 1 finding, 1 warning" % bad,
        "<stdin>: accepted, 1 warning"]
    strict = vexa("check", "--strict", bad, "--format", "json")
    [report] = json.loads(strict.stdout)["files"]
    assert [f["message"] for f in report["findings"]] == [
        "7 tasks planned, but the run holds 2", "expected a number, found the string 'slow'"]
    assert strict.returncode == 1 and report["findings"][0]["node_path"] == "nightly-2"
    repeated = vexa("check", new)
    assert repeated.returncode == 0 and repeated.stdout.splitlines() == [
        "%s: warning: $.report.tasks[0].sections[5].id (routing > rep): id 'rep' repeats an "
        "earlier sibling's; paths to either are ambiguous" % new,
        "%s: accepted, 1 warning" % new]


def test_check_help_and_schema():
    done = vexa("check", "--help")
    assert "exit status:\n  0  every file is valid\n  1  some file has findings" in done.stdout
    assert schema.load_schema()["title"] in " ".join(done.stdout.split())
    assert json.loads(vexa("check", "--schema").stdout) == schema.load_schema()
    assert vexa("check").returncode == 2


@pytest.mark.parametrize("name", ["check", "summary", "diff", "junit", "html", "store", "serve"])
def test_help_describes_the_command_flush_left(name):
    done = vexa(name, "--help")
    assert done.returncode == 0
    description = done.stdout.split("\n\n")[1]
    assert description.strip()
    assert not [line for line in description.splitlines() if line[:1].isspace()], description


def _fifo(folder):
    os.mkfifo(folder / "fifo.json")
    return folder / "fifo.json"


def _file(content, name="in.json"):
    def make(folder):
        (folder / name).write_bytes(content)
        return folder / name
    return make


def _sparse(folder):
    with open(folder / "huge.json", "wb") as f:
        f.truncate(5 << 30)
    return folder / "huge.json"


INPUTS = {
    "broken": (_file(b'{"version": "3.4", "report": {"id": "x",}}'), "not valid JSON"),
    "truncated": (_file(b'{"version": "3.4", "report": {"id": "x", "tasks": [{'), "not valid JSON"),
    "binary": (_file(bytes(range(256)) * 4), "not"),
    "empty": (_file(b""), ""),
    "huge": (_sparse, ""),
    "fifo": (_fifo, "a FIFO, not a regular file"),
    "directory": (lambda folder: folder, "a directory, not a regular file"),
    "device": (lambda folder: pathlib.Path("/dev/zero"), "a character device, not a regular file"),
    "yaml": (_file(b"report: {id: [\n", "in.yaml"), "not valid YAML"),
}


@pytest.mark.parametrize("command", ["results", "check", "summary", "diff"])
@pytest.mark.parametrize("kind", INPUTS)
def test_unreadable_input_is_one_line_and_status_2(jobs, tmp_path, command, kind):
    make, problem = INPUTS[kind]
    if command == "results" and kind == "yaml":
        pytest.skip("vexa results reads JSON only")
    path = make(tmp_path)
    args = [jobs[0], path] if command == "diff" else [path]
    done = vexa(command, *args)
    assert (done.returncode, done.stdout) == (2, "")
    [line] = done.stderr.splitlines()
    assert line.startswith("vexa %s: error: %s: " % (command, path)) and problem in line, line


def test_an_internal_error_is_one_line_with_the_traceback_kept(tmp_path):
    dist = tmp_path / "boom-1.0.dist-info"
    dist.mkdir()
    (dist / "METADATA").write_text("Metadata-Version: 2.1\nName: boom\nVersion: 1.0\n")
    (dist / "entry_points.txt").write_text("[vexa.cli.subcommands]\nboom = boom_cmd:Boom\n")
    (tmp_path / "boom_cmd.py").write_text(textwrap.dedent("""\
        from vexa.cli.base import Subcommand

        class Boom(Subcommand):
            name = "boom"

            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                self.parser.add_argument("file")

            def run(self, args):
                return {}["no such key"]
        """))
    env = {"PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")]),
           "TMPDIR": str(tmp_path)}
    done = vexa("boom", "in.json", env=env)
    assert done.returncode == 2
    [line] = done.stderr.splitlines()
    assert line.startswith("vexa boom: internal error while reading in.json: KeyError: "
                           "'no such key' (traceback written to %s/vexa-boom-" % tmp_path)
    report = pathlib.Path(line.split("written to ")[1].split(";")[0]).read_text()
    assert "Traceback" in report and 'return {}["no such key"]' in report
    debug = vexa("--debug", "boom", "in.json", env=env)
    assert debug.returncode == 2 and debug.stderr.startswith("Traceback")


def _on_a_terminal(*args, env):
    main, other = pty.openpty()
    try:
        done = subprocess.run([str(VEXA), *map(str, args)], stdout=other, stderr=subprocess.PIPE,
                              env=dict(os.environ, **env), timeout=120)
        os.close(other)
        other = None
        chunks = []
        while True:
            try:
                chunk = os.read(main, 65536)
            except OSError:  # the terminal closed
                break
            if not chunk:
                break
            chunks.append(chunk)
        return done.returncode, b"".join(chunks).decode()
    finally:
        os.close(main)
        if other is not None:
            os.close(other)


@pytest.mark.parametrize("no_color, coloured", [("", True), ("1", False)])
def test_colour_only_on_a_terminal_without_no_color(jobs, no_color, coloured):
    status, out = _on_a_terminal("diff", jobs[0], jobs[1], env={"NO_COLOR": no_color,
                                                               "TERM": "xterm"})
    assert status == 1 and ("\x1b[31m" in out) == coloured
    assert "\x1b[" not in vexa("diff", jobs[0], jobs[1], env={"TERM": "xterm"}).stdout


def test_version_and_unknown_run_command():
    done = vexa("--version")
    assert done.returncode == 0 and done.stdout.startswith("vexa ")
    done = subprocess.run(["bash", str(ROOT / "run"), "frobnicate"], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 2
    assert done.stderr.splitlines()[0] == "./run: unknown command 'frobnicate'"
    assert "./run test" in done.stderr
