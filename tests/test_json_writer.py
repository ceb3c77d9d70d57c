"""dump_json writes its text itself: the same text and the same errors as
json.dumps(ReportHeader(node).as_dict(), cls=JSONDumper)."""

import datetime as dt
import json
import os
import subprocess
import sys

import pytest
import yaml
from hypothesis import given, strategies as st

import vexa.reporter.runsheaf as rs
from vexa.datastructures import AttrDict
from vexa.results import Passed, ResultCounter, TestResult


def encoder_dump(node):
    """The text dump_json stands for, from the json module's encoder."""
    return json.dumps(rs.ReportHeader(node).as_dict(), cls=rs.JSONDumper)


def written(value):
    """The writer's own text for any value, or None where it leaves it to json."""
    return rs._fast_dumps(value)


class Text(str):
    def __str__(self):
        return "never written"


class Number(int):
    def __repr__(self):
        return "never written"


class Real(float):
    def __repr__(self):
        return "never written"


class Items(list):
    pass


class Moment(dt.datetime):
    def __str__(self):
        return "moment " + self.isoformat()


class Zone(dt.tzinfo):
    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, when):
        return self.offset

    def dst(self, when):
        return None


def counter(counts):
    c = ResultCounter()
    for key, count in counts.items():
        c[key] = count
    return c


# Characters json escapes, surrogates alone and in pairs, and everything else.
chars = st.one_of(
    st.integers(0, 0x10FFFF).map(chr),
    st.sampled_from('"\\/\b\f\n\r\t\x00\x1f\x7f\x80\xff\u2028\ud800\udbff\udc00\udfff\U0001f600'))
texts = st.lists(chars, max_size=10).map("".join)
offsets = st.integers(-86_399_999_999, 86_399_999_999).map(
    lambda us: dt.timedelta(microseconds=us))
zones = st.one_of(st.none(), st.just(dt.timezone.utc), offsets.map(dt.timezone),
                  st.one_of(st.none(), offsets).map(Zone))
datetimes = st.one_of(
    st.datetimes(timezones=zones), st.datetimes().map(lambda d: d.replace(microsecond=0)),
    st.datetimes(timezones=zones).map(lambda d: Moment(
        d.year, d.month, d.day, d.hour, d.minute, d.second, d.microsecond, d.tzinfo)))
results = st.builds(TestResult, st.sampled_from(["passed", "failed", "errored", "skipped"]),
                    st.one_of(st.none(), texts, st.integers()),
                    st.one_of(st.none(), st.dictionaries(texts, st.integers(), max_size=2)))
counters = st.dictionaries(st.sampled_from(["passed", "failed", "skipped", "total"]),
                           st.integers(0, 99), max_size=3).map(counter)
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-2**200, 2**200), st.floats(), texts,
    texts.map(Text), st.integers().map(Number), st.floats().map(Real), datetimes,
    st.builds(ValueError, texts), results, counters)
keys = st.one_of(texts, texts.map(Text), st.integers(), st.floats(), st.booleans(), st.none())
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple),
    st.lists(inner, max_size=4).map(Items), st.dictionaries(keys, inner, max_size=4),
    st.dictionaries(texts, inner, max_size=3).map(AttrDict)), max_leaves=12)
node_fields = st.dictionaries(
    st.sampled_from(["description", "xref", "parameters", "name", "data_hash", "logs",
                     "when", "cfg", "details"]), values, max_size=3)
ids = st.one_of(texts, st.integers(), st.none())


@st.composite
def report_trees(draw):
    """A finished run with tasks, plugins and nested sections of any content."""
    seq = iter(range(1, 10_000))

    def sections(parent, depth):
        for _ in range(draw(st.integers(0, 3 - depth))):
            child = parent.add_section(id=draw(ids), seq_num=next(seq))
            child.start(**draw(node_fields))
            if depth < 2:
                sections(child, depth + 1)
            child.stop(result=draw(results), **draw(node_fields))

    run = rs.Runsheaf(id=draw(ids), seq_num=0)
    run.start(**draw(node_fields))
    for _ in range(draw(st.integers(0, 2))):
        task = run.add_task(id=draw(ids), seq_num=next(seq))
        task.start(**draw(node_fields))
        sections(task, 0)
        if draw(st.booleans()):
            plugin = task.add_plugin(id=draw(ids), seq_num=next(seq))
            plugin.start()
            sections(plugin, 1)
            plugin.stop()
        task.stop(**draw(node_fields))
    run.stop(num_tasks=draw(st.integers(0, 3)))
    return run


def every_node(run):
    stack = [run]
    while stack:
        node = stack.pop()
        yield node
        stack.extend(node.tasks if isinstance(node, rs.Runsheaf) else node.sections)


class TestSameText:
    @given(values)
    def test_any_value(self, value):
        assert written(value) == json.dumps(value, cls=rs.JSONDumper)

    @given(report_trees())
    def test_report_trees_from_every_node(self, run):
        for node in every_node(run):
            assert node.dump_json() == encoder_dump(node)
            assert written(rs.ReportHeader(node).as_dict()) is not None

    def test_every_character(self):
        text = "".join(map(chr, range(0x10000))) + "\U00010000\U0001f600\U0010ffff"
        assert written([text, Text(text)]) == json.dumps([text, text])

    def test_numbers(self):
        numbers = [0, -1, 2**63 - 1, -2**63, 2**64, -10**40, True, False, Number(7),
                   0.0, -0.0, 1e16, 1e-5, 123456789.125, 5e-324, 1.7976931348623157e308,
                   float("nan"), float("inf"), -float("inf"), Real(2.5), Real("nan")]
        assert written(numbers) == json.dumps(numbers)

    def test_datetimes(self):
        seconds = dt.timezone(dt.timedelta(hours=-3, minutes=-30, seconds=-5))
        micros = dt.timezone(dt.timedelta(hours=5, microseconds=250))
        times = [dt.datetime(2026, 1, 2, 3, 4, 5), dt.datetime(1, 1, 1, 0, 0, 0, 1),
                 dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=dt.timezone.utc),
                 dt.datetime(2026, 1, 2, tzinfo=seconds), dt.datetime(2026, 1, 2, tzinfo=micros),
                 dt.datetime(2026, 1, 2, tzinfo=Zone(None)), Moment(2026, 1, 2)]
        assert written(times) == json.dumps([str(t) for t in times])

    def test_keys_are_converted_like_json_does(self):
        mapping = {"s": 1, Text("t"): 2, 3: 3, 2.5: 4, float("nan"): 5, True: 6, None: 7}
        assert written(mapping) == json.dumps(mapping)

    def test_dict_subclasses_by_their_items(self):
        class Odd(dict):
            def items(self):
                return [("shown", 1)]

        assert written([Odd(hidden=0), Odd(), AttrDict(a=1)]) == '[{"shown": 1}, {}, {"a": 1}]'

    def test_a_node_out_of_its_place(self):
        run = rs.Runsheaf(id="r", seq_num=0)
        task = run.add_task(id="t", seq_num=1)
        a, b = task.add_section(id="a", seq_num=2), task.add_section(id="b", seq_num=3)
        a.sections.append(b.add_section(id="c", seq_num=4))  # c's parent is b
        assert run.dump_json() == encoder_dump(run)
        assert '"fullid": "t.b.c"' in run.dump_json()

    def test_identities_it_cannot_derive(self):
        class Renamed(rs.Section):
            fullid = property(lambda self: "renamed")
            idlist = None  # left out, as every None is

        task = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1)
        outer = task.add_section(id="o", seq_num=2)
        renamed = Renamed(id="n", seq_num=3, parent=outer)
        orphan = rs.Section(id="p", seq_num=4, parent=outer)
        del orphan._parent  # its fullid and idlist raise AttributeError: left out
        for node in (renamed, orphan):
            outer.sections.append(node)
            node.add_section(id="x", seq_num=5)
        assert task.dump_json() == encoder_dump(task)

    def test_identities_held_by_value_ignore_are_left_out(self, monkeypatch):
        monkeypatch.setattr(rs, "VALUE_IGNORE", [None, [], {}, "t.s", ["t", "s", "x"]])
        task = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1)
        task.add_section(id="s", seq_num=2).add_section(id="x", seq_num=3)
        assert task.dump_json() == encoder_dump(task)

    def test_deep_sections(self):
        node = top = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1)
        for depth in range(300):
            node = node.add_section(id=depth, seq_num=depth)
        assert top.dump_json() == encoder_dump(top)
        assert '"fullid": "t.0.1.2.' in top.dump_json()


class Silent(Exception):
    def __repr__(self):
        return ""


class NotPairs(dict):
    def items(self):
        return [("a", 1, 2)]


def empty_child(node):
    class Empty(rs.Section):
        _ARG_ORDER = ["nothing", "details"]

    node.sections.append(Empty(id="e", seq_num=2))


def raising_property(node):
    class Broken(rs.Section):
        @property
        def description(self):
            raise RuntimeError("broken property")

    node.sections.append(Broken(id="b", seq_num=2, parent=node))


def starting(tzinfo):
    return lambda node: setattr(node, "starttime", dt.datetime(2026, 1, 1, tzinfo=tzinfo))


SPOILERS = {
    "a set": lambda node: node.extra.update(s={1}),
    "a tuple key": lambda node: node.extra.update({(1, 2): 1}),
    "itself": lambda node: node.extra.update(me=[node]),
    "a huge int": lambda node: node.extra.update(n=10**5000),
    "an offset of a day": starting(Zone(dt.timedelta(days=1))),
    "an offset that is no timedelta": starting(Zone(5)),
    "an empty repr": lambda node: node.extra.update(e=Silent()),
    "items that are no pairs": lambda node: node.extra.update(d=NotPairs(a=1)),
    "a node with nothing to write": empty_child,
    "a raising property": raising_property,
}


class TestSameErrors:
    @pytest.mark.parametrize("spoiler", sorted(SPOILERS))
    def test_the_encoders_exception(self, spoiler):
        node = rs.Section(id="n", seq_num=1)
        SPOILERS[spoiler](node)
        with pytest.raises(Exception) as expected:
            encoder_dump(node)
        with pytest.raises(type(expected.value)) as got:
            node.dump_json()
        assert got.value.args == expected.value.args
        assert written(rs.ReportHeader(node).as_dict()) is None

    def test_a_repeated_name_is_one_key(self):
        class Twice(rs.Section):
            _ARG_ORDER = ["id", "name", "id"]

        node = Twice(id="x", seq_num=1)
        assert node.dump_json() == encoder_dump(node)

    def test_deep_nesting_gives_recursion_error(self):
        deep = []
        for _ in range(10_000):
            deep = [deep]
        node = rs.Section(id="n", seq_num=1)
        node.extra["deep"] = deep
        with pytest.raises(RecursionError):
            node.dump_json()
        node.extra["deep"] = [[[[]]]]  # and the next dump is whole
        assert node.dump_json() == encoder_dump(node)

    def test_an_interrupt_is_not_retried(self):
        class Interrupted(rs.Section):
            reads = 0

            @property
            def description(self):
                type(self).reads += 1
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            Interrupted(id="i", seq_num=1).dump_json()
        assert Interrupted.reads == 1


def outcome(fn):
    """fn()'s value, or the type and arguments of what it raised."""
    try:
        return fn()
    except Exception as error:
        return type(error), error.args


def encoder_calls(fn):
    """How often json.JSONEncoder.encode runs during fn()."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is json.JSONEncoder.encode.__code__:
            calls.append(frame)

    sys.setprofile(profile)
    try:
        outcome(fn)
    finally:
        sys.setprofile(None)
    return len(calls)


def tree():
    run = rs.Runsheaf(id="r", seq_num=0)
    task = run.add_task(id="t", seq_num=1)
    task.start()
    task.add_section(id="s", seq_num=2).stop(result=Passed)
    task.stop()
    run.stop(num_tasks=1)
    return run


def datetimes_as_when(monkeypatch):
    default = rs.JSONDumper.default
    monkeypatch.setattr(rs.JSONDumper, "default", lambda self, obj: (
        "when" if isinstance(obj, dt.datetime) else default(self, obj)))


class TestReplacementsAreHonoured:
    def test_nothing_replaced_needs_no_encoder(self):
        assert encoder_calls(tree().dump_json) == 0

    @pytest.mark.parametrize("replace", [
        datetimes_as_when,
        lambda mp: mp.setattr(rs, "JSONDumper", type("Sub", (rs.JSONDumper,), {})),
        lambda mp: mp.setattr(rs.JSONDumper, "item_separator", ","),
        lambda mp: mp.setattr(json.JSONEncoder, "key_separator", ":"),
        lambda mp: mp.setattr(json.encoder, "c_make_encoder", None),
        lambda mp: mp.setattr(rs, "TestResult", type("Other", (), {})),
        lambda mp: mp.setattr(rs, "datetime", type("Other", (), {})),
    ], ids=["default", "subclass", "item separator", "key separator", "C encoder",
            "result class", "datetime class"])
    def test_dump_json_goes_through_the_encoder(self, monkeypatch, replace):
        replace(monkeypatch)
        run = tree()
        assert encoder_calls(run.dump_json) == 1
        assert outcome(run.dump_json) == outcome(lambda: encoder_dump(run))

    def test_a_replaced_json_dumps(self, monkeypatch):
        monkeypatch.setattr(json, "dumps", lambda obj, cls: "dumped by " + cls.__name__)
        assert tree().dump_json() == "dumped by JSONDumper"


# Containers changed by the code a write runs (here an exception's repr):
# the writer walks them as json's encoder does, holding what it writes.

class ItemsList(dict):
    """A mapping whose items() hands out a list it keeps and others change."""

    def __init__(self, pairs):
        super().__init__(x=1)
        self.pairs = pairs

    def items(self):
        return self.pairs


class Change(Exception):
    """Changes one of the document's containers each time it is written."""

    def __init__(self, containers, graveyard, target, action):
        super().__init__()
        self.args = ()
        self.containers, self.graveyard = containers, graveyard
        self.target, self.action = target, action

    def __repr__(self):
        box = self.containers[self.target % len(self.containers)]
        # What leaves a container is kept for json's own encoder, which
        # borrows its items; the writer's copy lets it go.
        if isinstance(box, dict):
            if self.action == "clear" or (self.action == "remove" and box):
                self.graveyard.append(dict(box))
                key = next(iter(box), None)
                box.clear() if self.action == "clear" else box.pop(key)
            elif self.action == "add":
                box["added%d" % len(box)] = len(box)
        else:
            if self.action == "clear" or (self.action == "remove" and box):
                self.graveyard.append(list(box))
                box.clear() if self.action == "clear" else box.pop(0)
            elif self.action == "add":
                box.append(("added", len(box)))
        return "changed " + self.action


plans = st.recursive(
    st.integers(0, 9) | st.tuples(st.just("change"), st.integers(0, 20),
                                  st.sampled_from(["clear", "remove", "add"])),
    lambda inner: st.tuples(st.sampled_from(["list", "tuple", "dict", "items"]),
                            st.lists(inner, max_size=4)),
    max_leaves=10)


def build(plan, keep=True):
    """The document a plan describes; every build of one plan is alike."""
    containers = []
    graveyard = [] if keep else Discard()

    def make(p):
        if isinstance(p, int):
            return p
        if p[0] == "change":
            return Change(containers, graveyard, p[1], p[2])
        kind, children = p
        made = [make(child) for child in children]
        if kind == "tuple":
            return tuple(made)
        if kind == "list":
            containers.append(made)
            return made
        pairs = [("k%d" % i, value) for i, value in enumerate(made)]
        if kind == "dict":
            containers.append(dict(pairs))
            return containers[-1]
        containers.append(pairs)
        return ItemsList(pairs)

    document = [make(plan), containers]
    containers.append([])  # never empty
    return document


class Discard:
    def append(self, item):
        pass


class TestChangedWhileWritten:
    @given(plans)
    def test_same_text_as_the_encoder(self, plan):
        assert written(build(plan, keep=False)) == json.dumps(build(plan), cls=rs.JSONDumper)

    @given(plans)
    def test_same_yaml_as_pyyaml(self, plan):
        ours, theirs = rs.Section(id="s", seq_num=1), rs.Section(id="s", seq_num=1)
        ours.extra["v"], theirs.extra["v"] = build(plan, keep=False), build(plan)
        assert ours.dump_yaml() == yaml.dump(rs.ReportHeader(theirs).as_dict(),
                                             Dumper=rs.YAMLDumper, default_flow_style=False)

    def test_items_list_freed_while_written(self):
        # The list that items() returned is emptied while its first value
        # is written: the pairs it held must not be read after being freed.
        code = (
            "import gc, json, vexa.reporter.runsheaf as rs\n"
            "holder = {}\n"
            "class D(dict):\n"
            "    def items(self): return holder['lst']\n"
            "class E(Exception):\n"
            "    def __repr__(self):\n"
            "        holder['lst'].clear(); gc.collect(); return 'E!'\n"
            "holder['lst'] = [('k', {'a': E(), 'b': 'x' * 100, 'c': [1, 2, 3]}),\n"
            "                 ('k2', {'zz': list(range(100))})]\n"
            "node = rs.Section(id='n', seq_num=1)\n"
            "node.extra['d'] = D(x=1)\n"
            "print(json.dumps(json.loads(node.dump_json())['report']['extra']))\n")
        # The system allocator, so that a sanitizer sees every freed object.
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=120, env=dict(os.environ, PYTHONMALLOC="malloc"))
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout) == {"d": {"k": {"a": "E!", "b": "x" * 100, "c": [1, 2, 3]}}}
