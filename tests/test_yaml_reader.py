"""Results files in YAML are read to exactly what PyYAML's safe loader
gives, errors included, whatever the text holds."""

import pytest
import yaml
from hypothesis import given, strategies as st
from test_yaml_text import runs, values

import vexa.reporter.runsheaf as rs
from vexa.reporter.yaml_reader import load_yaml

LOADER = getattr(yaml, "CSafeLoader", yaml.SafeLoader)


def outcome(read, text):
    try:
        return "value", repr(read(text))
    except Exception as error:  # noqa: BLE001 - the error is the outcome
        return type(error).__name__, str(error)


def assert_as_pyyaml(text):
    assert outcome(load_yaml, text) == outcome(lambda t: yaml.load(t, Loader=LOADER), text)


def assert_written_text_as_pyyaml(node):
    try:
        text = node.dump_yaml()
    except Exception:  # noqa: BLE001 - a tree that cannot be written has no text to read
        return
    assert_as_pyyaml(text)


@given(runs())
def test_report_trees_as_dump_yaml_writes_them(run):
    assert_written_text_as_pyyaml(run)


@given(values)
def test_any_value_a_report_can_hold(value):
    node = rs.Section(id="s", seq_num=1)
    node.extra["value"] = value
    node.details = [value, {"k": value}]
    assert_written_text_as_pyyaml(node)


@given(st.lists(st.sampled_from(
    ["a", ":", " ", "-", "'", '"', "#", "\n", "1", ".", "e", "~", "<<", "=", "&x", "*x", "!!",
     "yes", "0x1F", "1:20", "2026-12-09", "[", "]", "{", "}", ",", "?", "|", ">", "\t", "_"]),
    max_size=12).map("".join))
def test_any_text(text):
    assert_as_pyyaml(text)


@pytest.mark.parametrize("text", [
    # what plain scalars resolve to, in YAML 1.1
    "a: [yes, No, ON, off, y, n, True, FALSE, ~, null, Null, '', -]",
    "a: [0o17, 017, 0x1F, 0b101, 1_000, 190:20:30, -1.5e+3, 1e3, .inf, -.Inf, .NaN, 6.8523015e+5]",
    "a: [2026-12-09, 2026-12-09 23:50:01.5+01:00, 2026-12-09T23:50:01Z, 2026-12-9]",
    "'1': \"2\"\n3: |\n  4\n5: >\n  6\n",
    "=: =\n",
    "a: =\n",
    "{1: a, 1.5: b, true: c, null: d, 2026-12-09: e}",
    "a: 1\na: 2\n",
    # left to PyYAML
    "a: &x [1]\nb: *x\n",
    "base: &b {x: 1}\nmore:\n  <<: *b\n  y: 2\n",
    "a: !!python/tuple [1, 2]",
    "a: !!binary aGk=",
    "a: !!set {x, y}",
    "a: !!str 1\nb: !!int '2'\n",
    "? [a]\n: b\n",
    "--- 1\n--- 2\n",
    "",
    "---\n...\n",
    "a: [1, 2\n",
    "a: b: c",
    "\ta: 1",
])
def test_texts(text):
    assert_as_pyyaml(text)


def test_a_results_document_is_read_without_pyyaml_constructing_it(monkeypatch):
    run = rs.Runsheaf(id="r", seq_num=0)
    run.start()
    task = run.add_task(id="t", seq_num=1)
    task.start()
    task.add_section(id="s", seq_num=1).start(description="yes: no")
    task.stop()
    run.stop()
    text = run.dump_yaml()
    expected = yaml.load(text, Loader=LOADER)
    monkeypatch.setattr(yaml, "load", None)
    assert load_yaml(text) == expected
