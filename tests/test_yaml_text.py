"""dump_yaml gives, character for character, what yaml.dump gives with
YAMLDumper, for anything a report can hold; once the dumper, its tables or
the module's constants are changed, yaml.dump writes the text itself."""

import builtins
import datetime
import enum
import gc
import math
import os
import re
import sys
import traceback

import pytest
import yaml
from hypothesis import given, strategies as st

import vexa.reporter.runsheaf as rs
from vexa.datastructures import AttrDict
from vexa.results import Failed, Passed, ResultCounter, Skipped, TestResult


def generic(node):
    """The text yaml.dump writes for the node's document."""
    return yaml.dump(rs.ReportHeader(node).as_dict(), Dumper=rs.YAMLDumper,
                     default_flow_style=False)


def holding(value, key="value"):
    node = rs.Section(id="s", seq_num=1)
    node.extra[key] = value
    return node


def assert_same(node):
    """The node's text, checked against yaml.dump's; the same error if that fails."""
    try:
        text = node.dump_yaml()
    except Exception as error:
        with pytest.raises(type(error)):
            generic(node)
        return None
    assert text == generic(node)
    return text


class Probe:
    """Notes whether PyYAML's representer is running when it is written."""

    by_pyyaml = None

    def __repr__(self):
        here = os.path.join("yaml", "representer.py")
        self.by_pyyaml = any(f.filename.endswith(here) for f in traceback.extract_stack())
        return "<probe>"


def written_by_pyyaml(node=None):
    node = node if node is not None else rs.Section(id="p", seq_num=0)
    probe = node.extra["probe"] = Probe()
    node.dump_yaml()
    del node.extra["probe"]
    return probe.by_pyyaml


class Widget:
    def __init__(self, text="widget"):
        self.text = text

    def __repr__(self):
        return self.text


class Text(str):
    pass


class Colour(enum.Enum):
    RED = "red"
    GREEN = 2


class Mapping(dict):
    pass


class OffsetZone(datetime.tzinfo):
    """A tzinfo of its own, which only Python's isoformat may ask."""

    def __init__(self, minutes):
        self.minutes = minutes

    def utcoffset(self, dt):
        return datetime.timedelta(minutes=self.minutes)


# ---- values a report can hold

BLANKS_AND_MARKS = " \t\n\r'\"#:-?,[]{}&*!|>%@`~\\.=<"
RESOLVER_CHARS = "0123456789-+._:eExXbBoOinfaINFANulLTtZz~ "
ODD_CHARS = "\x00\x07\x1b\x7f\x85\xa0\u2028\u2029\ufeff\u00e9\u4e2d\U0001F600\ud800\udfff"
PATTERNS = {tag: regexp for first in yaml.SafeDumper.yaml_implicit_resolvers.values()
            for tag, regexp in first}

texts = st.one_of(
    st.text(st.sampled_from(BLANKS_AND_MARKS + "ab" + ODD_CHARS), max_size=30),
    st.text(st.characters(exclude_categories=()), max_size=20),
    st.text(st.sampled_from(RESOLVER_CHARS), max_size=14),
    st.one_of([st.from_regex(p, fullmatch=True) for p in PATTERNS.values()]),
    # words that fold at 80 columns
    st.lists(st.text(st.sampled_from("ab'\"#:\\\u00e9\n\t"), max_size=14), max_size=40)
    .map(" ".join),
    st.lists(st.text(st.sampled_from("ab \n"), max_size=30), max_size=8).map("\n".join),
)

offsets = st.builds(
    datetime.timedelta,
    seconds=st.integers(-86399, 86399), microseconds=st.sampled_from([0, 0, 1, 500000]))
zones = (st.none() | offsets.map(datetime.timezone) | st.just(datetime.timezone.utc)
         | st.integers(-1439, 1439).map(OffsetZone))
results = st.builds(
    TestResult, st.sampled_from(["passed", "failed", "errored", "skipped"]),
    reason=st.none() | texts, data=st.none() | st.dictionaries(texts, st.integers(), max_size=2))


@st.composite
def counters(draw):
    counter = ResultCounter()
    for key in draw(st.lists(st.sampled_from(["passed", "failed", "passx", "errored"]))):
        counter[key] += 1
    counter.weight = draw(st.floats(0, 1))
    return counter


scalars = st.one_of(
    texts, st.integers(), st.integers(-2 ** 200, 2 ** 200), st.floats(), st.booleans(),
    st.none(), st.dates(), st.datetimes(timezones=zones), st.binary(max_size=120),
    st.sampled_from([int, str, Widget, type(None)]), st.builds(Widget, texts),
    st.builds(Text, texts), results, counters(), st.sampled_from([Passed, Failed, Skipped]),
    st.sampled_from(Colour), st.just(frozenset({1})), st.just(ValueError("bad")))
keys = texts | st.integers() | st.floats() | st.none() | st.booleans() | st.dates() \
    | st.tuples() | st.tuples(st.integers())
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(texts, inner, max_size=4),
        st.dictionaries(keys, inner, max_size=3),
        st.dictionaries(texts, inner, max_size=3).map(AttrDict),
        st.dictionaries(texts, inner, max_size=2).map(Mapping),
        st.sets(st.integers() | texts, max_size=4),
        st.sets(st.integers() | st.text(max_size=2) | st.none(), max_size=3),
    ),
    max_leaves=20)
fields = st.dictionaries(
    st.sampled_from(["name", "description", "xref", "parameters", "details", "data",
                     "colour", "logs", "health", "summary"]) | st.text(min_size=1, max_size=6),
    values, max_size=4)


@st.composite
def runs(draw):
    """A run with tasks, plugins and nested sections, stopped with results."""
    run = rs.Runsheaf(id=draw(texts), seq_num=0)
    run.start(**draw(fields))
    nodes, parents = [], [run]
    for task_like, pick in draw(st.lists(st.tuples(st.booleans(), st.integers(0, 30)),
                                         max_size=12)):
        parent = parents[pick % len(parents)]
        if parent is run:
            child = (run.add_task if task_like else run.add_plugin)(id=len(nodes), seq_num=0)
        elif isinstance(parent, rs.Task) and not task_like:
            child = parent.add_plugin(id=draw(texts), seq_num=0)
        else:
            child = parent.add_section(id=draw(st.integers() | texts), seq_num=0)
        child.start(**draw(fields))
        nodes.append(child)
        parents.append(child)
    for node in reversed(nodes + [run]):
        kw = {} if isinstance(node, (rs.Runsheaf, rs.Task)) else {"result": draw(results | st.none())}
        if draw(st.booleans()):
            kw["health"] = [{"result": "passed"}, {"result": "failed"}]
        try:
            node.stop(**kw)
        except Exception:
            pass  # drawn fields may break a roll-up; the tree is written as it is
    return run


# ---- the same text as yaml.dump

class TestSameTextAsPyYAML:
    @given(runs())
    def test_report_trees(self, run):
        assert_same(run)
        # a drawn field named tasks may have added other values to the list, or replaced it
        tasks = run.tasks if isinstance(run.tasks, list) else []
        for task in tasks:
            if isinstance(task, rs.Task):
                assert_same(task)

    @given(values)
    def test_any_value_in_extra_or_details(self, value):
        node = holding(value)
        node.details = [value, [value], {"k": value}]
        assert_same(node)

    @given(texts)
    def test_any_text_as_value_key_and_item_at_any_depth(self, text):
        node = holding(text, key=text)
        node.details = [text, {text: [text]}, [[{"k": text}]]]
        assert_same(node)

    @given(st.floats() | st.floats(-1000, 1000).map(lambda x: round(x, 3)))
    def test_floats(self, number):
        assert_same(holding([number, -number, number * 1e15]))

    @given(st.datetimes(timezones=zones), st.dates())
    def test_dates_and_times(self, moment, day):
        assert_same(holding({"moment": moment, "day": day}))

    @given(st.dictionaries(keys, st.integers(), max_size=5))
    def test_mappings_with_keys_of_any_kind(self, mapping):
        # keys that cannot be ordered keep their order, as PyYAML's sort fails
        assert_same(holding(mapping))


TRICKY_TEXTS = [
    "2024-01-01", "2024-1-1 1:02:03.5 -5:30", "1e3", "1.5e+3", "yes", "No", "on", "OFF",
    "~", "null", "0x1f", "0b101", "0o17", "017", "09", "1_000", "190:20:30", "1:20.5",
    ".inf", "-.Inf", ".nan", "3.4", "<<", "=", "!", "&a", "*", "", " ", "  lead", "trail  ",
    "it's", '"quoted"', "a: b", "a:b", "a #b", "a#b", "#x", "- x", "-x", "? x", "?x", ": x",
    "---", "...", "%x", "@x", "`x", "x\ty", "tab\t", "\x00\x07\x1b\x7f", "caf\u00e9",
    "\u4e2d\u6587", "\U0001F600 smile", "\ud800 lone", "\udfff", "nel\x85line",
    "ls\u2028ps\u2029", "\ufeffbom", "nb\xa0sp", "back\\slash",
    "one\ntwo", "trail  \nblank\t\n", "\nlead", "  indented\nx", "keep\n\n", "\n", "\n\n",
    "x\n \n", "a\r\nb", "tab\tline\nnext", "caf\u00e9\nline",
    "word " * 30, "w" * 100 + " tail", "'" * 90, "x " * 41 + "'", '"' + "y " * 45,
    "\u00e9 " * 50, "a\\ " * 40, "  " + "z " * 45,
]


@pytest.mark.parametrize("text", TRICKY_TEXTS, ids=repr)
def test_tricky_text(text):
    node = holding(text, key=text)
    node.details = [text, {"k": text}]
    assert_same(node)


@pytest.mark.parametrize("text, written", [
    ("2024-01-01", "'2024-01-01'"), ("yes", "'yes'"), ("~", "'~'"), ("0x1f", "'0x1f'"),
    ("1_000", "'1_000'"), (".inf", "'.inf'"), ("3.4", "'3.4'"), ("12:30", "'12:30'"),
    ("", "''"), ("1e3", "1e3"), ("09", "09"), ("a: b", "'a: b'"), ("tab\t", '"tab\\t"'),
    ("caf\u00e9", '"caf\\xE9"'), ("\U0001F600", '"\\U0001F600"'), ("\ud800", '"\\uD800"'),
])
def test_text_that_would_read_back_otherwise_is_quoted(text, written):
    assert "\n    value: %s\n" % written in assert_same(holding(text))


@pytest.mark.parametrize("number, written", [
    (12.3456, "12.35"), (3.0, "3.0"), (0.125, "0.12"), (-0.001, "-0.0"),
    (1e20, "!!float '1e+20'"), (math.nan, "!!float 'nan'"), (-math.inf, "!!float '-inf'"),
])
def test_floats_are_rounded_to_two_decimals(number, written):
    assert "\n    value: %s\n" % written in assert_same(holding(number))


def test_multiline_text_is_a_literal_block_without_trailing_blanks():
    node = holding({"strip": "one  \ntwo\t", "clip": "one\n", "keep": "one\n\n",
                    "indent": "  two spaces\nin"})
    assert (
        "    value:\n"
        "      clip: |\n        one\n"
        "      indent: |2-\n          two spaces\n        in\n"
        "      keep: |+\n        one\n\n"
        "      strip: |-\n        one\n        two\n") in assert_same(node)


def test_a_keep_block_at_the_very_end_closes_the_document(monkeypatch):
    monkeypatch.setattr(rs, "VERSION", "last\n\n")
    assert assert_same(holding(1)).endswith("version: |+\n  last\n\n...\n")


def test_long_keys_and_empty_keys_are_complex_keys():
    node = holding({"k" * 130: 1, "": 2, "two\nlines": 3, (1, 2): 4, (): 5})
    text = assert_same(node)
    assert "? ''\n      : 2\n" in text and "[]: 5\n" in text


def test_lists_under_a_key_are_indented():
    assert "    value:\n      - 1\n      - - 2\n        - k: 3\n" in assert_same(
        holding([1, [2, {"k": 3}]]))


def test_every_registered_kind():
    counter = ResultCounter()
    counter["passed"] += 2
    node = holding([counter, Failed("why", data={"limit": 1}), AttrDict(b=1, a=[]),
                    rs.Section, Widget("w\nx"), Text("sub"), Mapping(a=1), {1, 2}, b"\x00\xff",
                    datetime.date(2026, 3, 1), datetime.datetime(2026, 3, 1, 10, 0, 0, 5),
                    frozenset(), ValueError("e"), Colour.RED, Colour])
    node.add_section(id="child", seq_num=2).start(description="d")
    assert_same(node)


# ---- when yaml.dump writes

def test_an_unchanged_module_writes_directly():
    assert not written_by_pyyaml()


class Custom:
    pass


def change_table(monkeypatch):
    monkeypatch.setitem(rs.YAMLDumper.yaml_representers, Custom,
                        lambda dumper, data: dumper.represent_scalar("!custom", "c"))


def change_resolvers(monkeypatch):
    table = {k: list(v) for k, v in rs.YAMLDumper.yaml_implicit_resolvers.items()}
    table.setdefault("w", []).append(("!word", re.compile("^widget$")))
    monkeypatch.setattr(rs.YAMLDumper, "yaml_implicit_resolvers", table)


def wrap(monkeypatch, owner, name):
    original = getattr(owner, name)
    monkeypatch.setattr(owner, name, lambda *a, **kw: original(*a, **kw))


CHANGES = {
    "a representer added": change_table,
    "an implicit resolver added": change_resolvers,
    "a multi representer added": lambda mp: mp.setitem(
        yaml.representer.BaseRepresenter.yaml_multi_representers, Custom,
        lambda dumper, data: dumper.represent_scalar("!multi", "m")),
    "an escape changed": lambda mp: mp.setitem(yaml.emitter.Emitter.ESCAPE_REPLACEMENTS,
                                              "\t", "T"),
    "an emitter method replaced": lambda mp: wrap(mp, yaml.emitter.Emitter, "write_plain"),
    "a SafeDumper method added": lambda mp: mp.setattr(
        yaml.SafeDumper, "write_plain", yaml.emitter.Emitter.write_plain, raising=False),
    "increase_indent replaced": lambda mp: mp.setattr(
        rs.YAMLDumper, "increase_indent", yaml.SafeDumper.increase_indent),
    "YAMLDumper rebound to a subclass": lambda mp: mp.setattr(
        rs, "YAMLDumper", type("YAMLDumper", (rs.YAMLDumper,), {})),
    "yaml.dump wrapped": lambda mp: wrap(mp, yaml, "dump"),
    "yaml.dump_all wrapped": lambda mp: wrap(mp, yaml, "dump_all"),
    "FLOAT_PRECISION changed": lambda mp: mp.setattr(rs, "FLOAT_PRECISION", 3),
    "YAML_STR rebound": lambda mp: mp.setattr(rs, "YAML_STR", "".join(["tag:yaml.org,2002:", "str"])),
    "round replaced": lambda mp: wrap(mp, builtins, "round"),
}


@pytest.mark.parametrize("change", CHANGES, ids=str)
def test_changes_leave_the_writing_to_pyyaml(monkeypatch, change):
    node = holding({"f": 1.23456, "t": "x\ty", "w": "widget", "c": Custom(), "l": [[1]]})
    CHANGES[change](monkeypatch)
    assert written_by_pyyaml(node)
    assert node.dump_yaml() == generic(node)
    monkeypatch.undo()
    assert not written_by_pyyaml(node)


class AllEqual(type):
    def __eq__(cls, other):
        return True

    __hash__ = type.__hash__


def test_values_whose_metaclass_redefines_type_comparison_are_left_to_pyyaml():
    usual, odd = holding([Colour.RED, Colour]), holding([AllEqual("Odd", (), {})()])
    assert not written_by_pyyaml(usual) and written_by_pyyaml(odd)
    assert_same(usual)
    assert_same(odd)


def nested(depth, leaf):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


def test_documents_deeper_than_a_thousand_levels_are_left_to_pyyaml():
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(20000)  # for PyYAML's own recursion
    try:
        shallow, deep = holding(nested(990, "leaf")), holding(nested(1010, "leaf"))
        assert not written_by_pyyaml(shallow) and written_by_pyyaml(deep)
        assert_same(shallow)
        assert_same(deep)
    finally:
        sys.setrecursionlimit(limit)


def test_nesting_ten_thousand_deep_raises_recursion_error():
    node = holding(nested(10000, 1))
    node.details = [{"k": nested(10000, {})}]
    with pytest.raises(RecursionError):
        node.dump_yaml()


# ---- errors and references

class Failing:
    def __repr__(self):
        raise ValueError("no repr")


class BadCounter(ResultCounter):
    pass


@pytest.mark.parametrize("value", [
    Failing(), [1, {"k": Failing()}], {1: Failing()},
    {Failing(): 1, "x": 2},  # keys that cannot be ordered are tried as PyYAML tries them
])
def test_errors_while_writing_pass_through(value):
    node = holding(value)
    with pytest.raises(ValueError, match="no repr"):
        generic(node)
    with pytest.raises(ValueError, match="no repr"):
        node.dump_yaml()


def test_writing_keeps_no_references():
    values = ["t%d" % i for i in range(3)] + [1.5 + 0.25, 10 ** 30, Widget(), Custom(),
                                             datetime.datetime.now(), b"bytes", ("a", "b"),
                                             Failed("why", data={"d": 1})]
    node = holding(values)
    node.details = [{v: v for v in values if not isinstance(v, (Widget, Custom))}]
    failing = holding([values, Failing()])
    deep = holding([values, nested(1200, 0)])
    def counts():
        gc.collect()  # PyYAML's failed dumpers linger in cycles
        return [sys.getrefcount(v) for v in values]

    before = counts()
    for _ in range(20):
        node.dump_yaml()
        with pytest.raises(ValueError):
            failing.dump_yaml()
        with pytest.raises(RecursionError):
            deep.dump_yaml()
    assert counts() == before
