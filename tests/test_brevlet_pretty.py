"""The pretty-printed files are the same whether minidom writes them or not.

generate_xml writes the details and summary documents straight from the
element tree when that is bound to give what minidom would; any replacement
of the module's minidom makes it take the generic minidom path. Each case
runs both and compares the files, or the failure and xml_rough_string.
"""

import re
import sys
import tempfile
import types
import xml.etree.ElementTree as ET
from pathlib import Path
from xml.dom import minidom

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from vexa.reporter import brevlet


class TreeReport:
    """A legacy report whose details document is a given element tree."""

    def __init__(self, tree):
        self.runsheaf = None
        self.tree = tree

    def generate_dom(self):
        return self.tree


class Unmapped(brevlet.Brevlet):
    def _handle_runsheaf(self, zelts, runsheaf):
        return zelts


def outcome(tree):
    """(what generate_xml left, whether it serialised through ET and minidom)."""
    calls = []

    def profile(frame, event, arg):
        code = frame.f_code
        if event == "call" and (code.co_filename.endswith("minidom.py") or (
                code.co_filename.endswith("ElementTree.py") and code.co_name == "tostring")):
            calls.append(code.co_name)

    with tempfile.TemporaryDirectory() as logsdir:
        b = Unmapped(logsdir, None)
        b.zelreport = TreeReport(tree)
        sys.setprofile(profile)
        try:
            b.generate_xml(None, None)
            error = None
        except Exception as e:
            error = type(e)
        finally:
            sys.setprofile(None)
        files = {p.name: p.read_bytes() for p in Path(logsdir).iterdir()}
    return (error, files), bool(calls)


def both(tree, monkeypatch):
    """The outcome of the direct path, whether it was taken, and the generic outcome."""
    direct, serialised = outcome(tree)
    with monkeypatch.context() as m:
        generic = types.ModuleType("minidom")
        generic.parseString = minidom.parseString
        m.setattr(brevlet, "minidom", generic)
        expected, _ = outcome(tree)
    return direct, not serialised, expected


@pytest.fixture(scope="module", autouse=True)
def warm_up():
    outcome(ET.Element("a"))  # the first call learns how minidom writes


def element(tag, attrib=None, text=None, tail=None, children=()):
    e = ET.Element(tag, attrib or {})
    e.text, e.tail = text, tail
    e.extend(children)
    return e


def chain(depth):
    root = leaf = ET.Element("a")
    for _ in range(depth):
        leaf = ET.SubElement(leaf, "b")
    return root


class MyElement(ET.Element):
    pass


PLAIN = {
    "attribute quotes, newlines, tabs": element("a", {"q": 'say "hi" & <go>',
                                                      "ws": "x\n\ty\r\nz\r"}),
    "mixed text and children": element("a", text="head ", children=[
        element("b", text="in b", tail=" tail of b "),
        element("c", children=[element("d")], tail="\n"),
        element("e", tail="last")]),
    "empty text and tail": element("a", text="", children=[element("b", text="", tail="")]),
    "outside the BMP": element("a", {"k": "\U0001f600 é 日"}, text="\U00010348\U0001f600"),
    "quotes and apostrophes in text": element("a", text="\"quoted\" 'single' > <"),
    "CR LF and lone CR in text": element("a", text="one\r\ntwo\rthree\n"),
    "whitespace-only text": element("a", text="\n  ", children=[element("b", tail="\n")]),
    "one child, no text": element("a", children=[element("b", text="x")]),
    "indented by ElementTree": (lambda t: (ET.indent(t), t)[1])(
        element("a", children=[element("b", children=[element("c", text="x")])])),
}

OTHER = {
    "deep tree": chain(260),
    "comment": element("a", children=[ET.Comment("note"), element("b")]),
    "processing instruction": element("a", children=[ET.PI("go", "now")]),
    "namespace": element("{urn:x}a", {"{urn:y}k": "v"}),
    "name with colon": element("a:b"),
    "name starting with xml": element("xmlThing"),
    "non-ASCII name": element("é"),
    "text not str": element("a", text=5),
    "attribute not str": element("a", {"k": 5}),
    "control character": element("a", text="bell\x07"),
    "lone surrogate": element("a", {"k": "\ud800"}),
    "U+FFFE": element("a", text="\ufffe"),
    "text after the root": element("a", tail="after"),
    "element subclass": MyElement("a"),
    "str subclass text": element("a", text=type("Text", (str,), {})("x")),
}


@pytest.mark.parametrize("tree", PLAIN.values(), ids=PLAIN.keys())
def test_plain_trees_are_written_directly_and_alike(tree, monkeypatch):
    direct, taken, generic = both(tree, monkeypatch)
    assert taken
    assert direct == generic and direct[0] is None


@pytest.mark.parametrize("tree", OTHER.values(), ids=OTHER.keys())
def test_other_trees_take_the_generic_path(tree, monkeypatch):
    direct, taken, generic = both(tree, monkeypatch)
    assert not taken
    assert direct == generic


def test_failed_write_keeps_the_raw_document_on_the_direct_path(tmp_path):
    tree = element("a", {"k": "v"}, text="t")
    (tmp_path / "ResultsDetails.xml").mkdir()
    b = Unmapped(str(tmp_path), None)
    b.zelreport = TreeReport(tree)
    with pytest.raises(IsADirectoryError):
        b.generate_xml(None, None)
    assert (tmp_path / "xml_rough_string").read_bytes() == b'<a k="v">t</a>'


def test_large_documents_are_written_in_full(monkeypatch):
    tree = element("a", children=[element("b", {"i": str(i)}, text="é" * 50)
                                  for i in range(40_000)])
    direct, taken, generic = both(tree, monkeypatch)
    assert taken and direct == generic
    assert len(direct[1]["ResultsDetails.xml"]) > 3 << 20


good_names = st.from_regex(r"[A-Za-z_][A-Za-z0-9_.-]{0,4}", fullmatch=True)
good_chars = st.one_of(
    st.sampled_from("&<>\"' \t\n\r\U0001f600é日"),
    st.characters(codec="utf-8", exclude_categories=("Cc", "Cs", "Cn")))
any_names = st.one_of(good_names, st.sampled_from(["xml", "XMLa", "a:b", "é", "1a", ""]))
any_chars = st.one_of(good_chars, st.sampled_from("\x00\x07\x1b\ud800\ufffe"))


@st.composite
def trees(draw, names, chars, depth=0):
    children = []
    if depth < 4:
        children = draw(st.lists(trees(names, chars, depth + 1), max_size=3))
    texts = st.one_of(st.none(), st.text(chars, max_size=8))
    attrib = draw(st.dictionaries(names, st.text(chars, max_size=6), max_size=3))
    return element(draw(names), attrib, draw(texts), draw(texts) if depth else None, children)


def plain(tree):
    name = re.compile(r"[A-Za-z_][A-Za-z0-9_.-]*\Z")
    allowed = re.compile("[^\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]*\\Z")
    for e in tree.iter():
        for n in [e.tag, *e.keys()]:
            if not name.match(n) or n[:3].lower() == "xml":
                return False
        for t in [e.text, e.tail, *e.attrib.values()]:
            if t and not allowed.match(t):
                return False
    return True


@settings(deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tree=st.one_of(trees(good_names, good_chars), trees(any_names, any_chars)))
def test_direct_and_generic_paths_agree(tree, monkeypatch):
    direct, taken, generic = both(tree, monkeypatch)
    assert direct == generic
    assert taken == plain(tree)
