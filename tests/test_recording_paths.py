"""Recording through the stock classes and through subclasses that override
every hook gives the same trees, errors included; replacing a method, a class
or a module global takes effect at the next call."""

import copy
import datetime
import itertools

import pytest
from hypothesis import given, strategies as st

import vexa.reporter.runsheaf as rs
from vexa.results import Errored, Failed, Passed, Skipped


class Overriding:
    """Routes every hook through Python, so the node takes the generic paths."""

    def __init__(self, **kw):
        super().__init__(**kw)

    def update(self, data):
        super().update(data)

    def update_extra(self, data, list_extend=True):
        super().update_extra(data, list_extend)

    def roll_up(self):
        super().roll_up()


TWINS = {name: type(name, (Overriding, getattr(rs, name)), {})
         for name in ("Runsheaf", "Task", "Section", "Plugin")}


def clock():
    moments = itertools.count()
    start = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)
    return lambda: start + datetime.timedelta(seconds=1.25 * next(moments))


values = st.none() | st.integers() | st.text(max_size=4) | st.lists(st.integers(), max_size=2) \
    | st.dictionaries(st.sampled_from("ab"), st.integers() | st.dictionaries(st.just("c"), st.integers()),
                      max_size=2)
keywords = st.dictionaries(
    st.sampled_from(["description", "xref", "name", "details", "parameters", "index", "continue_",
                     "extra", "logfile", "result_rollup", "id", "fullid", "colour"]),
    values, max_size=4)
stop_keywords = st.fixed_dictionaries(
    {}, optional={"result": st.sampled_from([Passed, Failed, Errored, Skipped, None]),
                  "result_rollup": st.booleans(),
                  "health": st.lists(st.fixed_dictionaries({"result": st.sampled_from(["passed", "failed"])}),
                                     max_size=2)}) \
    .flatmap(lambda kw: keywords.map(lambda more: {**more, **kw}))
steps = st.lists(st.tuples(st.integers(0, 20), st.sampled_from(["section", "plugin"]), keywords,
                           stop_keywords, st.lists(st.text(max_size=3), max_size=2)),
                 max_size=12)


def record(classes, script, monkeypatch):
    """Runs the script; returns the run and what each call raised."""
    # Values given as keywords may end up in the tree and be merged into:
    # each run gets its own.
    script = copy.deepcopy(script, {id(r): r for r in (Passed, Failed, Errored, Skipped)})
    monkeypatch.setattr(rs, "get_time", clock())
    for name, cls in classes.items():
        monkeypatch.setattr(rs, name, cls)
    outcomes = []

    def attempt(fn, *args, **kw):
        try:
            return fn(*args, **kw)
        except Exception as e:  # the same error must come from both paths
            outcomes.append((type(e), str(e)))

    run = classes["Runsheaf"](id="run", seq_num=0)
    attempt(run.start, host="h", colour="red")
    task = run.add_task(id="t", seq_num=1)
    attempt(task.start, description="task", logfile="/nonexistent/t.log")
    nodes = [task]
    for i, (parent, kind, start_kw, stop_kw, details) in enumerate(script):
        parent = nodes[parent % len(nodes)]
        adder = parent.add_plugin if kind == "plugin" and isinstance(parent, rs.Task) \
            else parent.add_section
        node = attempt(adder, id=i, seq_num=i, type=None if i % 2 else "Step")
        if node is None:
            continue
        attempt(node.start, **start_kw)
        for detail in details:
            node.add_detail(detail)
        attempt(node.stop, **stop_kw)
        nodes.append(node)
    attempt(task.stop, logfile="/logs/t.log")
    attempt(run.stop, num_tasks=1)
    monkeypatch.undo()
    return run, outcomes


def same_tree(a, b, path="run"):
    assert type(a).__name__ == type(b).__name__, path
    assert list(vars(a)) == list(vars(b)), path
    for key, left in vars(a).items():
        right = vars(b)[key]
        where = "%s.%s" % (path, key)
        if key == "_parent":
            assert (left is None) == (right is None), where
        elif key in ("tasks", "sections"):
            assert len(left) == len(right), where
            for i, (x, y) in enumerate(zip(left, right)):
                same_tree(x, y, "%s[%d]" % (where, i))
        elif isinstance(left, rs.ResultCounter):
            assert left == right and left.weight == right.weight, where
            assert [left[k] for k in ("total", "success_rate")] == \
                [right[k] for k in ("total", "success_rate")], where
        else:
            assert left == right and type(left) is type(right), where


@given(steps)
def test_stock_and_overriding_classes_record_alike(script):
    with pytest.MonkeyPatch.context() as monkeypatch:
        fast, fast_errors = record({name: getattr(rs, name) for name in TWINS}, script, monkeypatch)
        generic, generic_errors = record(TWINS, script, monkeypatch)
    assert fast_errors == generic_errors
    same_tree(fast, generic)
    assert fast.dump_json() == generic.dump_json()


@pytest.mark.parametrize("cls, method", [
    (cls, method) for cls in ("ReportObjectBase", "Section")
    for method in ("update", "update_extra", "roll_up")])
def test_a_method_set_on_a_class_after_use_takes_effect(cls, method, monkeypatch):
    task = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1)
    parent = task.add_section(id="p", seq_num=2)
    parent.add_section(id="warm", seq_num=3).stop(result=Passed)  # caches what the class has
    calls = []
    original = getattr(rs.ReportObjectBase, method)

    def spy(self, *args):
        calls.append(self.id)
        return original(self, *args)

    monkeypatch.setattr(getattr(rs, cls), method, spy, raising=False)
    child = parent.add_section(id="c", seq_num=4)
    child.start(colour="red")
    child.stop(result=Failed)
    assert calls and set(calls) <= {"c", "p"}
    monkeypatch.undo()
    calls.clear()
    parent.add_section(id="d", seq_num=5).stop(result=Passed)
    assert calls == [] and parent.result == Failed and child.extra == {"colour": "red"}


def test_constructor_and_classes_replaced_after_use(monkeypatch):
    task = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1)
    task.add_section(id="warm", seq_num=2)
    made = []
    original = rs.Section.__init__

    def init(self, **kw):
        made.append(kw["id"])
        original(self, **kw)

    monkeypatch.setattr(rs.Section, "__init__", init)
    task.add_section(id="patched", seq_num=3)
    monkeypatch.undo()

    class Mine(rs.Section):
        pass

    monkeypatch.setattr(rs, "Section", Mine)
    mine = task.add_section(id="mine", seq_num=4)
    monkeypatch.undo()
    assert made == ["patched"] and type(mine) is Mine and mine._parent is task
    assert type(task.add_section(id="stock", seq_num=5)) is rs.Section


def test_module_functions_replaced_after_use(monkeypatch):
    section = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1).add_section(id="s", seq_num=2)
    section.start(colour="red")  # the module's functions read once already
    merged = []
    monkeypatch.setattr(rs, "recursive_update", lambda target, data, list_extend: merged.append(dict(data)))
    moment = datetime.datetime(2030, 1, 1)
    monkeypatch.setattr(rs, "get_time", lambda: moment)
    section.start()
    section.stop(size=3)
    # With its own function in place the module calls it even with nothing to merge.
    assert merged == [{}, {"size": 3}]
    assert section.starttime == moment == section.stoptime and section.runtime == 0.0


@pytest.mark.parametrize("call, message", [
    (lambda t: t.add_section("s", 1), "takes 1 positional argument but 3 were given"),
    (lambda t: t.add_section(id="s", seq_num=1, parent=t), "multiple values for keyword argument 'parent'"),
    (lambda t: t.add_section(id="s"), "missing required keyword argument: 'seq_num'"),
    (lambda t: t.add_section(id="s", seq_num=1, colour=1), "unexpected keyword argument 'colour'"),
    (lambda t: rs.Section(id="s", seq_num=1, x=1), "unexpected keyword argument 'x'"),
    (lambda t: t.start(1), "takes 1 positional argument but 2 were given"),
    (lambda t: t.stop(None, result=Passed), "takes 1 positional argument but 2 were given"),
])
def test_argument_errors_are_type_errors(call, message):
    task = rs.Runsheaf(id="r", seq_num=0).add_task(id="t", seq_num=1)
    with pytest.raises(TypeError, match=message):
        call(task)
    assert task.sections == []


@pytest.mark.parametrize("start, stop, expected", [
    (datetime.datetime(2026, 1, 1), datetime.datetime(2026, 1, 1, 0, 0, 1, 1), 1.000001),
    (datetime.datetime(2026, 1, 2), datetime.datetime(2026, 1, 1), -86400.0),
    (datetime.datetime(1, 1, 1), datetime.datetime(9999, 12, 31), 315537811200.0),
])
def test_runtime_is_total_seconds(start, stop, expected, monkeypatch):
    section = rs.Section(id="s", seq_num=1)
    section.start(starttime=start)
    monkeypatch.setattr(rs, "get_time", lambda: stop)
    section.stop()
    assert section.runtime == (stop - start).total_seconds() == expected
