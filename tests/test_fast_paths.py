"""What every fast path promises: when it gives up part way, for whatever
reason, the generic path's output or error is what the caller sees; and the
modules keep working after their state is let go at interpreter exit."""

import json
import subprocess
import sys
import textwrap

import pytest
import yaml

import vexa.reporter.runsheaf as rs


class FirstReprFails(Exception):
    """An exception whose repr() fails once, then works: the fast path meets
    the failure, the generic path that runs after it does not."""

    def __init__(self):
        super().__init__()
        self.calls = 0

    def __repr__(self):
        self.calls += 1
        if self.calls == 1:
            raise ValueError("first repr fails")
        return "FirstReprFails()"


def json_generic(node):
    return json.dumps(rs.ReportHeader(node).as_dict(), cls=rs.JSONDumper)


def yaml_generic(node):
    return yaml.dump(rs.ReportHeader(node).as_dict(), Dumper=rs.YAMLDumper,
                     default_flow_style=False)


DUMPS = {"json": ("dump_json", json_generic), "yaml": ("dump_yaml", yaml_generic)}


@pytest.mark.parametrize("kind", DUMPS)
@pytest.mark.parametrize("where", ["extra", "details", "nested"])
def test_a_fast_path_that_fails_part_way_gives_the_generic_text(kind, where):
    method, generic = DUMPS[kind]
    node = rs.Section(id="s", seq_num=1)
    node.extra["before"] = "x" * 100
    value = FirstReprFails()
    if where == "extra":
        node.extra["value"] = value
    elif where == "details":
        node.details.append(value)
    else:
        node.extra["deep"] = {"a": [1, {"b": value}], "z": 2.5}
    text = getattr(node, method)()
    assert value.calls == 2  # the fast path's attempt, then the generic path's
    value.calls = 1
    assert text == generic(node)


@pytest.mark.parametrize("kind", DUMPS)
def test_an_error_is_the_generic_paths_own(kind):
    class AlwaysFails(Exception):
        def __repr__(self):
            raise LookupError(f"no repr for {kind}")

    method, generic = DUMPS[kind]
    node = rs.Section(id="s", seq_num=1)
    node.extra["value"] = AlwaysFails()
    with pytest.raises(LookupError) as expected:
        generic(node)
    with pytest.raises(LookupError) as raised:
        getattr(node, method)()
    assert str(raised.value) == str(expected.value)


class NotPairs(dict):
    def __init__(self, items):
        super().__init__(x=1)
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize("items", [[5], [(1,)], [(1, 2, 3)], ["ab", "abc"]])
def test_unpacking_pairs_fails_as_python_does(items):
    try:
        for _key, _value in items:
            pass
    except (TypeError, ValueError) as error:
        expected = error
    else:
        expected = None
    import vexa.reporter.brevlet as bl
    for call in (rs.Section(id="s", seq_num=1).update, bl.escape_data):
        if expected is None:
            call(NotPairs(items))
            continue
        with pytest.raises(type(expected)) as raised:
            call(NotPairs(items))
        assert str(raised.value) == str(expected)


def test_modules_work_after_their_state_is_let_go_at_exit(tmp_path):
    # atexit runs handlers last registered first: this one runs after the
    # modules' own, which let go of everything their fast paths hold.
    script = textwrap.dedent(f"""
        import atexit, json, os, yaml

        def late():
            node = rs.Section(id="late", seq_num=1)
            node.start(description="tab\\there")
            node.stop(result=rs.Passed)
            node.extra["odd"] = {{"k": [1, 2.5, "\\x1b[1m"]}}
            assert node.dump_json() == json.dumps(rs.ReportHeader(node).as_dict(), cls=rs.JSONDumper)
            assert node.dump_yaml() == yaml.dump(rs.ReportHeader(node).as_dict(),
                                                 Dumper=rs.YAMLDumper, default_flow_style=False)
            assert bl.escape("a\\x1bb") == "a\\\\x1bb"
            assert bl.escape_data({{"k": ["\\x00"]}}) == {{"k": ["\\\\x00"]}}
            run = rs.Runsheaf(id="run", seq_num=0)
            run.start()
            run.add_task(id="t", seq_num=1).start()
            run.stop(num_tasks=1)
            bl.Brevlet({str(tmp_path)!r}, run).generate_xml(None, None)
            assert os.path.getsize(os.path.join({str(tmp_path)!r}, "ResultsDetails.xml")) > 0
            print("late calls ok")

        atexit.register(late)
        import vexa.reporter.runsheaf as rs
        import vexa.reporter.brevlet as bl
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "late calls ok\n"
    assert "Traceback" not in done.stderr
