"""The comparison of two reports, against an independent oracle that pairs
nodes by walking both trees side by side."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from vexa.reporter import nodes
from vexa.reporter.compare import CATEGORIES, compare

RESULTS = ["passed", "passx", "failed", "errored", "skipped", None]

ids = st.one_of(st.sampled_from(["a", "b", "1"]), st.sampled_from([1, 2]))


@st.composite
def sections(draw, depth=0):
    node = {"type": "Step" if depth else "Testcase", "id": draw(ids), "health_summary": {}}
    result = draw(st.sampled_from(RESULTS))
    if result is not None:
        node["result"] = {"value": result}
    runtime = draw(st.one_of(st.none(), st.floats(0, 10)))
    if runtime is not None:
        node["runtime"] = runtime
    if depth < 2:
        node["sections"] = draw(st.lists(sections(depth + 1), max_size=3))
    return node


@st.composite
def reports(draw):
    tasks = draw(st.lists(st.builds(
        lambda i, s: {"type": "Task", "id": i, "pluginsummary": {}, "health_summary": {},
                      "sections": s},
        ids, st.lists(sections(), max_size=4)), max_size=3))
    return {"type": "Runsheaf", "id": draw(st.sampled_from(["job", "job2"])), "tasks": tasks}


def oracle_pairs(old, new):
    """{key: (old node, new node)} by pairing children of paired parents,
    the n-th child with a given (type, id) with the n-th."""
    pairs = {}

    def index(children):
        seen, out = {}, {}
        for child in children:
            ident = (type(child["id"]).__name__, child["id"])
            n = seen.get(ident, 0)
            seen[ident] = n + 1
            out[(ident, n)] = child
        return out

    def visit(key, a, b):
        pairs[key] = (a, b)
        a_kids = index(a.get("tasks", a.get("sections", []))) if a else {}
        b_kids = index(b.get("tasks", b.get("sections", []))) if b else {}
        for k in {**a_kids, **b_kids}:
            visit(key + (k,), a_kids.get(k), b_kids.get(k))

    visit((), old, new)
    return pairs


def result(node):
    return node.get("result", {}).get("value") if node else None


def paths(entries):
    return sorted(json.dumps(e["idlist"]) for e in entries)


@given(reports(), reports())
def test_compare_agrees_with_pairing_the_trees(old, new):
    got = compare(nodes.walk(old), nodes.walk(new))
    expected = {name: [] for name in CATEGORIES}
    new_ids = {id(r.node): r.idlist for r in nodes.walk(new)}
    old_ids = {id(r.node): r.idlist for r in nodes.walk(old)}
    pairs = oracle_pairs(old, new)
    for key, (a, b) in pairs.items():
        if a is None or b is None:
            parent = pairs.get(key[:-1])
            if a is None and parent[0] is not None:
                expected["added"].append({"idlist": list(new_ids[id(b)])})
            if b is None and parent[1] is not None:
                expected["removed"].append({"idlist": list(old_ids[id(a)])})
            continue
        was, now = result(a), result(b)
        entry = {"idlist": list(new_ids[id(b)])}
        if was in ("passed", "passx") and now not in ("passed", "passx"):
            expected["newly_failing"].append(entry)
        elif was not in ("passed", "passx", None) and now in ("passed", "passx"):
            expected["fixed"].append(entry)
        elif was not in ("passed", "passx", None) and now is not None:
            expected["still_failing"].append(entry)
        t0, t1 = a.get("runtime"), b.get("runtime")
        if t0 is not None and t1 is not None and t1 - t0 >= 1 and t1 >= 2 * t0:
            expected["slower"].append(entry)
    for name in CATEGORIES:
        assert paths(got[name]) == paths(expected[name]), name
    assert got["counts"]["newly_failing"] == len(expected["newly_failing"])
    json.dumps(got, allow_nan=False)


@given(reports())
def test_a_report_against_itself_changes_nothing(report):
    got = compare(nodes.walk(report), nodes.walk(report))
    assert not any(got[name] for name in ("newly_failing", "fixed", "added", "removed", "slower"))
    bad = [r for r in nodes.walk(report) if r.result not in ("passed", "passx", None)]
    assert len(got["still_failing"]) == len(bad)


@given(reports(), reports())
def test_database_rows_compare_like_walk_records(old, new):
    rows = lambda report: [(list(r.idlist), r.type, r.result.upper() if r.result else None,
                            r.runtime) for r in nodes.walk(report)]
    assert compare(rows(old), rows(new)) == compare(nodes.walk(old), nodes.walk(new))


def _run(*sections):
    return {"type": "Runsheaf", "id": "r", "tasks": [
        {"type": "Task", "id": "t", "pluginsummary": {}, "health_summary": {},
         "sections": list(sections)}]}


def _tc(ident, value, runtime=None, **more):
    node = {"type": "Testcase", "id": ident, "health_summary": {}, "result": {"value": value}}
    if runtime is not None:
        node["runtime"] = runtime
    node.update(more)
    return node


@pytest.mark.parametrize("old, new, category, idlists", [
    # 1 and "1" are different tests
    ([_tc(1, "passed")], [_tc("1", "failed")], "added", [["t", "1"]]),
    ([_tc(1, "passed")], [_tc("1", "failed")], "removed", [["t", 1]]),
    # repeated ids pair in order: the second "x" broke, not the first
    ([_tc("x", "passed"), _tc("x", "passed")], [_tc("x", "passed"), _tc("x", "failed")],
     "newly_failing", [["t", "x"]]),
    # a renamed test is one removal and one addition, its steps not listed
    ([_tc("old", "passed", sections=[_tc(1, "passed")])],
     [_tc("new", "passed", sections=[_tc(1, "passed")])], "added", [["t", "new"]]),
    # at the threshold both ways: 2x and 1 s
    ([_tc("a", "passed", 1.0), _tc("b", "passed", 0.4)],
     [_tc("a", "passed", 2.0), _tc("b", "passed", 1.3)], "slower", [["t", "a"]]),
    # dots in ids are no path separators
    ([_tc("a.b", "passed"), _tc("a", "passed", sections=[_tc("b", "passed")])],
     [_tc("a.b", "failed"), _tc("a", "passed", sections=[_tc("b", "passed")])],
     "newly_failing", [["t", "a.b"]]),
    # passx counts as passing; a result that went missing is newly failing
    ([_tc("a", "passx"), {"type": "Testcase", "id": "b", "health_summary": {}}],
     [_tc("a", "passed"), {"type": "Testcase", "id": "b", "health_summary": {}}],
     "newly_failing", []),
])
def test_pairing_cases(old, new, category, idlists):
    got = compare(nodes.walk(_run(*old)), nodes.walk(_run(*new)))
    assert [e["idlist"] for e in got[category] if len(e["idlist"]) > 1] == idlists


def test_runs_pair_whatever_their_ids():
    old, new = _run(_tc("a", "passed")), _run(_tc("a", "failed"))
    new["id"] = "tomorrow"
    got = compare(nodes.walk(old), nodes.walk(new))
    assert not got["added"] and not got["removed"]
    assert [e["idlist"] for e in got["newly_failing"]] == [["t", "a"]]


@pytest.mark.parametrize("factor, seconds", [(-1, 1), (2, float("nan"))])
def test_bad_thresholds_are_refused(factor, seconds):
    with pytest.raises(ValueError):
        compare([], [], slower_factor=factor, slower_seconds=seconds)
