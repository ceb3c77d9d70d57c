"""The results-file loader: what dump_json and dump_yaml write reads back as
the same document; anything else is one ResultsFileError line naming it."""

import json
import os
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import given
from hypothesis import strategies as st

from jobgen import make_job
from vexa.reporter import resultsfile
from vexa.reporter.resultsfile import ResultsFileError, load_document, load_results

CASES = st.tuples(st.sampled_from(["tc1", "tc2", 7, "a.b", "ünï"]),
                  st.sampled_from(["passed", "failed", "skipped", "errored", "passx"]),
                  st.floats(0, 100))


def _rounded(value):
    """What YAML keeps of a document: floats to two decimals."""
    if isinstance(value, float):
        return round(value, 2)
    if isinstance(value, dict):
        return {k: _rounded(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_rounded(v) for v in value]
    return value


@given(st.dictionaries(st.sampled_from(["t1", "t2", "9"]), st.lists(CASES, max_size=4),
                       max_size=3))
def test_yaml_and_json_read_back_as_one_document(tmp_path_factory, tasks):
    run = make_job(tasks)
    run.update_extra({"when": run.starttime, "nested": {"n": [1.5, None, True]}})
    folder = tmp_path_factory.mktemp("rt")
    (folder / "r.json").write_text(run.dump_json())
    (folder / "r.yml").write_text(run.dump_yaml())
    from_json = load_results(str(folder / "r.json"))
    from_yaml = load_results(str(folder / "r.yml"))
    extra_json, extra_yaml = from_json["report"].pop("extra"), from_yaml["report"].pop("extra")
    assert _rounded(from_json) == from_yaml
    assert extra_yaml["when"] == extra_json["when"]


def _fifo(tmp_path):
    path = tmp_path / "fifo.json"
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("make, problem", [
    (lambda p: p / "none.json", "No such file or directory"),
    (lambda p: p, "a directory, not a regular file"),
    (lambda p: "/dev/zero", "a character device, not a regular file"),
    (_fifo, "a FIFO, not a regular file"),
    (lambda p: _write(p, b""), "empty file"),
    (lambda p: _write(p, b" \n\t"), "empty file"),
    (lambda p: _write(p, b'{"version": "3.4", "report": {"id": '), "the text ends early"),
    (lambda p: _write(p, b"\x89PNG\r\n\x1a\n\x00\x00"), "not UTF-8 text: byte 0x89 at offset 0"),
    (lambda p: _write(p, b'{"a": 1} x'), "not valid JSON: Extra data: line 1 column 10"),
    (lambda p: _write(p, b"[" * 100_000), "nested too deeply"),
    (lambda p: _write(p, b"[1, 2]"), "not a results document: it holds an array"),
    (lambda p: _write(p, b'{"version": "3.4"}'), "not a results document: no report object"),
    (lambda p: _write(p, b"report: [\n", "r.yaml"), "not valid YAML: "),
    (lambda p: _write(p, b"a: !!python/object:os.system x\n", "r.yml"), "not valid YAML: "),
    (lambda p: _sparse(p, 3 << 30), "3.0 GiB, larger than the limit of 1.0 GiB"),
])
def test_unreadable_inputs_are_one_line_naming_the_file(tmp_path, make, problem):
    path = str(make(tmp_path))
    with pytest.raises(ResultsFileError) as caught:
        load_results(path)
    message = str(caught.value)
    assert message.startswith(path + ": ") and problem in message, message
    assert "\n" not in message and isinstance(caught.value, ValueError)


def _write(folder, data, name="r.json"):
    (folder / name).write_bytes(data)
    return folder / name


def _sparse(folder, size):
    path = folder / "huge.json"
    with open(path, "wb") as f:
        f.truncate(size)
    return path


def test_any_json_value_loads_as_a_document(tmp_path):
    path = _write(tmp_path, b'[NaN, 1e400, "\\ud800"]')
    document = load_document(str(path))
    assert document[0] != document[0] and document[1] == float("inf") and document[2] == "\ud800"


def test_a_name_with_a_line_break_stays_one_line(tmp_path):
    with pytest.raises(ResultsFileError, match=r'^".*a\\nb\.json": No such file'):
        load_results(str(tmp_path / "a\nb.json"))


@pytest.mark.parametrize("data, limit, ok", [
    (b'{"version": "3.4", "report": {}}', "100", True),
    (b'report:\n  id: x\nversion: "3.4"\n', "100", True),   # YAML on standard input
    (b'{"version": "3.4", "report": {}}' + b" " * 100, "100", False),
    (b"not: [valid", "100", False),
])
def test_standard_input_is_capped(data, limit, ok):
    code = ("import sys; from vexa.reporter.resultsfile import load_results\n"
            "try: print(sorted(load_results('-')))\n"
            "except ValueError as e: print('error', e)")
    done = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True,
                          env=dict(os.environ, VEXA_MAX_INPUT_BYTES=limit), timeout=60)
    out = done.stdout.decode()
    assert out == "['report', 'version']\n" if ok else out.startswith("error <stdin>: "), out


def test_reading_takes_memory_for_the_file_not_for_the_limit(tmp_path):
    # A buffer of the limit's size first would fail on a machine with little
    # memory, even for a tiny file.
    path = _write(tmp_path, b'{"version": "3.4", "report": {"id": "r"}}')
    tracemalloc.start()
    try:
        assert load_results(str(path))["report"] == {"id": "r"}
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


def test_open_binary_refuses_what_check_readable_refuses(tmp_path):
    with pytest.raises(ResultsFileError, match="a FIFO"):
        resultsfile.open_binary(str(_fifo(tmp_path)))
    path = _write(tmp_path, b"{}")
    with resultsfile.open_binary(str(path)) as f:
        assert f.read() == b"{}"
    assert resultsfile.check_readable(str(path)) == 2 and resultsfile.check_readable("-") is None
    with pytest.raises(ResultsFileError, match="^-: No such file"):
        resultsfile.check_readable("-", stdin=False)


@pytest.mark.parametrize("text, value, finite", [
    (b'{"n": 123456789012345678901234567890}', 123456789012345678901234567890, False),
    (b'{"n": "12345678901234567890123"}', "12345678901234567890123", False),
    (b'{"n": 1e400}', float("inf"), False),
    (b'{"n": 12345}', 12345, True),
])
def test_numbers_read_exactly(tmp_path, text, value, finite):
    document, known_finite = resultsfile.parse_document_finite("x.json", text)
    assert document["n"] == value and type(document["n"]) is type(value)
    assert known_finite == finite or resultsfile._orjson is None
