"""The modules' functions look and bind as functions written in Python do:
their docstring alone as __doc__ (None when they have none), and bound
methods that compare and hash as Python's, on every supported version."""

import types

import pytest

import vexa.reporter.brevlet as brevlet
import vexa.reporter.commands as commands
import vexa.reporter.explorer as explorer
import vexa.reporter.runsheaf as rs
from vexa.reporter.brevlet import Brevlet

MODULES = [rs, brevlet, explorer, commands]

DOCSTRINGS = {
    "vexa.reporter.brevlet._escape_repl": "\n    escape control characters\n    ",
    "vexa.reporter.brevlet.Brevlet.generate_xml":
        "Generate the ResultsDetails.xml and ResultsSummary.xml files needed by\n"
        "        many other services.\n        ",
    "vexa.reporter.brevlet.Brevlet._handle_runsheaf":
        "Populate ZelReport's Runsheaf with information from Reporter's\n"
        "        Runsheaf.\n        ",
    "vexa.reporter.brevlet.Brevlet._handle_jobexecution":
        "Populate an ZelReport JobExecution with information from a Reporter\n"
        "        Runsheaf.\n        ",
    "vexa.reporter.brevlet.Brevlet._handle_testscript":
        "Populate an ZelReport TestScript with information from a Reporter\n"
        "        TestScript.\n        ",
    "vexa.reporter.brevlet.Brevlet._handle_commonsection":
        "Populate an ZelReport TestSection representing a\n"
        "        CommonStartup/CommonCleanup with information from a Reporter Section.\n"
        "        ",
}


def functions():
    """Every function of the modules' namespaces and classes, by full name."""
    found = {}
    for module in MODULES:
        for name, value in vars(module).items():
            if isinstance(value, type) and value.__module__ == module.__name__:
                for attr, member in vars(value).items():
                    member = getattr(member, "__func__", getattr(member, "fget", member))
                    if callable(member) and not isinstance(member, type):
                        found["%s.%s.%s" % (module.__name__, name, attr)] = member
            elif callable(value) and getattr(value, "__module__", None) == module.__name__:
                if not name.startswith("_fast"):  # a test hook
                    found["%s.%s" % (module.__name__, name)] = value
    return found


def test_docstrings_are_the_functions_own():
    found = functions()
    assert set(DOCSTRINGS) <= set(found)
    assert len(found) > 60
    wrong = {name: f.__doc__ for name, f in found.items() if f.__doc__ != DOCSTRINGS.get(name)}
    assert wrong == {}


def test_functions_know_their_names():
    for name, f in functions().items():
        assert (f.__module__ + "." + f.__qualname__).endswith(name.rsplit(".", 2)[-1])
    assert rs.Section.stop.__qualname__ == "Section.stop"
    assert brevlet.escape.__qualname__ == "escape"


def pairs():
    """Two alike objects of each class with methods."""
    run = rs.Runsheaf(id="r", seq_num=0)
    task = run.add_task(id="t", seq_num=1)
    return [(run, rs.Runsheaf(id="r", seq_num=0)), (task, run.add_task(id="t", seq_num=2)),
            (task.add_section(id="s", seq_num=3), task.add_section(id="s", seq_num=4)),
            (task.add_plugin(id="p", seq_num=5), task.add_plugin(id="p", seq_num=6)),
            (Brevlet(".", run), Brevlet(".", run)), (rs.JSONDumper(), rs.JSONDumper()),
            (explorer.ExplorerSections(None, []), explorer.ExplorerSections(None, []))]


@pytest.mark.parametrize("one, other", pairs(), ids=lambda o: type(o).__name__)
def test_bound_methods_compare_and_hash_as_pythons(one, other):
    names = [n for n, v in vars(type(one)).items() if callable(v) and not isinstance(v, type)]
    names += [n for n in ("stop", "dump_json") if hasattr(one, n)]
    assert names
    for name in names:
        method, again = getattr(one, name), getattr(one, name)
        assert type(method) is types.MethodType and method.__self__ is one
        assert method == again and hash(method) == hash(again) and method is not again
        assert method != getattr(other, name)


def test_class_methods_bind_to_each_class():
    assert rs.Section.to_yaml == rs.Section.to_yaml
    assert rs.Section.to_yaml != rs.Task.to_yaml
    assert {rs.Runsheaf.to_yaml: 1}[rs.Runsheaf.to_yaml] == 1
    assert type(rs.Plugin.to_yaml) is types.MethodType and rs.Plugin.to_yaml.__self__ is rs.Plugin


def test_functions_are_not_bound_from_the_class():
    assert rs.Section.__dict__["stop"] is rs.Section.stop
    assert rs.Section.stop(rs.Section(id="s", seq_num=1)) is None
