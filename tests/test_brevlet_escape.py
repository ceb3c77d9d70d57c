"""Escaping of free text before it reaches the legacy report."""

import collections
import re
import subprocess
import sys

import pytest
from hypothesis import given, strategies as st

from vexa.reporter import brevlet
from vexa.reporter.brevlet import ESCAPE_SEQUENCE, _escape_repl, escape, escape_data


def reference_escape(text):
    return ESCAPE_SEQUENCE.sub(_escape_repl, text).encode(
        "utf-8", "backslashreplace").decode("utf-8")


def test_pattern_matches_nul_to_backspace_and_escape_only():
    assert ESCAPE_SEQUENCE.pattern == "[\x00-\x08]|\x1b"
    assert ESCAPE_SEQUENCE.flags == re.UNICODE
    matched = [c for c in range(0x110000) if ESCAPE_SEQUENCE.fullmatch(chr(c))]
    assert matched == [*range(9), 0x1b]


@pytest.mark.parametrize("text, expected", [
    ("plain text, déjà vu, 日本, \U0001f600", "plain text, déjà vu, 日本, \U0001f600"),
    ("a\x00b", "a\\x00b"),
    ("\x1b[0m", "\\x1b[0m"),
    ("\x08\x1b", "\\x08\\x1b"),
    ("tab\tlf\nvt\x0bff\x0cdel\x7f", "tab\tlf\nvt\x0bff\x0cdel\x7f"),
    ("lone \ud800 and \udfff", "lone \\ud800 and \\udfff"),
    ("é\ud800", "é\\ud800"),            # result narrower than the input
    ("\U0001f600\x01", "\U0001f600\\x01"),
    ("", ""),
])
def test_escape(text, expected):
    assert escape(text) == expected
    assert escape(string=text) == expected


def test_escape_gives_plain_str_for_str_subclasses():
    class Text(str):
        pass
    result = escape(Text("a\x01"))
    assert type(result) is str and result == "a\\x01"
    assert type(escape(Text("clean"))) is str


@pytest.mark.parametrize("value", [None, 5, b"bytes"])
def test_escape_rejects_what_is_not_text(value):
    with pytest.raises(TypeError):
        escape(value)


texts = st.text(st.one_of(
    st.sampled_from("\x00\x01\x08\x09\x0a\x0b\x0c\x1b\x1f\x7f\ud800\udfff\ufffe"),
    st.characters(exclude_categories=())))


@given(texts)
def test_escape_agrees_with_the_pattern_and_round_trip(text):
    assert escape(text) == reference_escape(text)


def test_escape_follows_a_replaced_pattern(monkeypatch):
    monkeypatch.setattr(brevlet, "ESCAPE_SEQUENCE", re.compile("x"))
    assert escape("x\x00") == "\\x78\x00"


def test_a_reimported_module_reads_its_own_namespace():
    # Each import has its own state: a name replaced in one module changes
    # that module's functions only, and both are let go at exit.
    code = """if True:
        import re, sys
        import vexa.reporter.brevlet as first
        del sys.modules["vexa.reporter.brevlet"]
        import vexa.reporter.brevlet as second
        assert first.Brevlet is not second.Brevlet

        first.ESCAPE_SEQUENCE = re.compile("x")
        assert first.escape("x\\x1b") == "\\\\x78\\x1b"
        assert first.escape_data(["x"]) == ["\\\\x78"]
        assert second.escape("x\\x1b") == "x\\\\x1b"
        second.escape = lambda text: "<" + text + ">"
        assert second.escape_data({"k": "v"}) == {"<k>": "<v>"}
        assert first.escape_data({"k": "v"}) == {"k": "v"}
        """
    subprocess.run([sys.executable, "-c", code], check=True)


def test_escape_repl_writes_two_hex_digits():
    assert _escape_repl(ESCAPE_SEQUENCE.search("a\x05")) == "\\x05"
    assert _escape_repl(match=re.search("\x1b", "\x1b")) == "\\x1b"
    assert _escape_repl.__doc__ == "\n    escape control characters\n    "


def test_escape_data_escapes_strings_in_containers():
    data = ["a\x00", 7, {"k\x1b": "v\x01", "n": ("t\x02", None)}]
    result = escape_data(data)
    assert result == ["a\\x00", 7, {"k\\x1b": "v\\x01", "n": ("t\\x02", None)}]
    assert result is not data and result[2] is not data[2]
    assert data == ["a\x00", 7, {"k\x1b": "v\x01", "n": ("t\x02", None)}]


@pytest.mark.parametrize("value", [None, 3, 2.5, True, {1, 2}, b"\x00", frozenset()])
def test_escape_data_returns_other_values_themselves(value):
    assert escape_data(value) is value


def test_escape_data_returns_plain_containers_in_iteration_order():
    ordered = collections.OrderedDict(a="1\x00", b="2")
    ordered.move_to_end("a")
    Pair = collections.namedtuple("Pair", "x y")
    class Items(list):
        pass

    result = escape_data([ordered, Pair("\x01", 2), Items(["\x02"])])
    assert type(result[0]) is dict and list(result[0].items()) == [("b", "2"), ("a", "1\\x00")]
    assert type(result[1]) is tuple and result[1] == ("\\x01", 2)
    assert type(result[2]) is list and result[2] == ["\\x02"]


def test_escape_data_later_key_wins_when_keys_escape_alike():
    assert escape_data({"\x00": 1, "\\x00": 2}) == {"\\x00": 2}


def test_escape_data_uses_the_module_escape(monkeypatch):
    monkeypatch.setattr(brevlet, "escape", str.upper)
    assert escape_data({"k": ["v"]}) == {"K": ["V"]}


def test_escape_data_notices_a_dict_changing_size(monkeypatch):
    data = {"a": "x", "b": "y"}
    def growing(text):
        data[text + "!"] = 0
        return text
    monkeypatch.setattr(brevlet, "escape", growing)
    with pytest.raises(RuntimeError):
        escape_data(data)


def self_containing():
    loop = []
    loop.append(loop)
    return loop


def nested(wrap):
    data = "leaf"
    for _ in range(100_000):
        data = wrap(data)
    return data


@pytest.mark.parametrize("data", [nested(lambda x: [x]), nested(lambda x: (x,)),
                                  nested(lambda x: {"k": x}), self_containing()],
                         ids=["lists", "tuples", "dicts", "loop"])
def test_deep_nesting_raises_recursion_error(data):
    with pytest.raises(RecursionError):
        escape_data(data)
