"""The one-file HTML report: its data for a small job pinned, hostile texts
kept inside their data blocks, and `vexa html` under bad input. The page
itself is driven in a browser by test_html_viewer.py."""

import base64
import hashlib
import html.parser
import json
import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from vexa.reporter import htmlreport, resultsfile

HERE = os.path.dirname(os.path.abspath(__file__))
SMALL = os.path.join(HERE, "data", "small_job.json")
PINNED = os.path.join(HERE, "data", "small_job.html-data.txt")
BLOCKS = [("vexa-meta", "application/json"), ("vexa-ids", "application/json"),
          ("vexa-columns", "application/json"), ("vexa-records", "text/plain"),
          ("vexa-values", "text/plain")]


def vexa(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "vexa.cli", *map(str, args)], input=stdin,
                          capture_output=True, timeout=120, cwd=cwd)


def pinned_text(document):
    blocks = htmlreport.report_data(document)
    return "".join("-- %s\n%s\n" % (name, data.decode("ascii")) for name, data in blocks.items())


def test_the_data_of_a_small_job_is_as_pinned():
    # To renew after a deliberate change of the format:
    #   python -c 'import test_html_report as t; t.renew()'   (from tests/)
    with open(PINNED, encoding="ascii") as f:
        assert pinned_text(resultsfile.load_results(SMALL)) == f.read()


def renew():
    with open(PINNED, "w", encoding="ascii") as f:
        f.write(pinned_text(resultsfile.load_results(SMALL)))


class Elements(html.parser.HTMLParser):
    """Every element the page holds, as a browser's parser sees the page."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.found, self.texts, self.open = [], {}, None

    def handle_starttag(self, tag, attrs):
        self.found.append((tag, dict(attrs)))
        if tag == "script":
            self.open = len(self.found) - 1
            self.texts[self.open] = ""

    def handle_data(self, data):
        if self.open is not None:
            self.texts[self.open] += data

    def handle_endtag(self, tag):
        if tag == "script":
            self.open = None

    def handle_comment(self, data):
        self.found.append(("!--", {}))


HOSTILE = st.sampled_from(["</script>", "</SCRIPT >", "<!--", "<script>", "-->", "\u2028\u2029",
                           "\ud800", "\udfff", "\0", "<img src=x onerror=alert(1)>", "&lt;", "]]>",
                           "\\u003c", '"', "\n", "\u00e9\U0001f600"])
TEXT = st.lists(st.one_of(HOSTILE, st.text(max_size=5)), max_size=4).map("".join)
VALUE = st.recursive(st.one_of(TEXT, st.integers(), st.floats(), st.booleans(), st.none()),
                     lambda inner: st.one_of(st.lists(inner, max_size=3),
                                             st.dictionaries(TEXT, inner, max_size=3)), max_leaves=8)


@st.composite
def documents(draw):
    def node(depth):
        out = {"type": draw(st.one_of(TEXT, st.sampled_from(["Testcase", "Step"]))),
               "id": draw(st.one_of(TEXT, st.integers(-3, 3))), "result": {"value": draw(TEXT)},
               "description": draw(TEXT), "extra": draw(st.dictionaries(TEXT, VALUE, max_size=3)),
               "starttime": draw(st.one_of(TEXT, st.just("2026-03-01 10:00:00.5+00:00")))}
        if depth < 2:
            out["sections"] = [node(depth + 1) for _ in range(draw(st.integers(0, 2)))]
        return out
    run = {"type": "Runsheaf", "id": draw(TEXT), "name": draw(TEXT),
           "starttime": "2026-03-01 10:00:00+00:00", "tasks": [node(1) for _ in range(2)]}
    return {"version": "3.4", "report": run}


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(documents())
def test_report_texts_never_leave_their_data_blocks(document):
    page = htmlreport.html_report(document)
    parser = Elements()
    parser.feed(page.decode("utf-8"))
    parser.close()
    tags = [tag for tag, _ in parser.found]
    assert tags == ["html", "head", "meta", "meta", "meta", "meta", "title", "link", "style", "body",
                    "header", "a", "img", "main", "p", "noscript"] + ["script"] * 6
    scripts = [(i, attrs) for i, (tag, attrs) in enumerate(parser.found) if tag == "script"]
    assert [(a.get("id"), a.get("type")) for _, a in scripts[:5]] == BLOCKS
    assert scripts[5][1] == {"type": "module"}
    blocks = htmlreport.report_data(document)
    for (index, attrs), name in zip(scripts, blocks):
        text = parser.texts[index]
        assert text.isascii() and "<" not in text and text.encode() == blocks[name]
        for line in text.split("\n") if attrs["type"] == "text/plain" else [text]:
            json.loads(line)
    # The page's policy lets only its own script run, and that script is intact.
    policy = parser.found[3][1]["content"]
    digest = hashlib.sha256(parser.texts[scripts[5][0]].encode()).digest()
    assert "script-src 'sha256-%s';" % base64.b64encode(digest).decode() in policy
    assert "default-src 'none'" in policy and "connect-src" not in policy
    # Nothing outside the page is named: it opens with no network.
    links = [v for _, attrs in parser.found for k, v in attrs.items() if k in ("src", "href")]
    assert links and all(v.startswith(("data:", "#")) for v in links)


def test_a_live_run_gives_the_page_of_its_results_file(tmp_path):
    from vexa.reporter.runsheaf import Runsheaf
    from vexa.results import Failed

    run = Runsheaf(id="live", seq_num=0)
    run.start(host="h")
    task = run.add_task(id="t", seq_num=1)
    task.start()
    task.add_section(id="</script>", seq_num=1).stop(result=Failed("<!--"))
    task.stop()
    run.stop(num_tasks=1)
    path = tmp_path / "live.json"
    path.write_text(run.dump_json())
    htmlreport.write_html(run, tmp_path / "live.html")
    assert (tmp_path / "live.html").read_bytes() == htmlreport.html_report(resultsfile.load_results(path))


def test_cli_writes_the_page_to_the_default_name_or_standard_output(tmp_path):
    source = tmp_path / "nightly.yaml"
    with open(SMALL, encoding="utf-8") as f:
        import yaml
        source.write_text(yaml.safe_dump(json.load(f), sort_keys=False))
    done = vexa("html", source, cwd=tmp_path / ".")
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode() == "nightly.html: 6 nodes, %.1f MB\n" % (
        os.path.getsize(tmp_path / "nightly.html") / 1e6)
    with open(SMALL, "rb") as f:
        piped = vexa("html", "-", stdin=f.read())
    assert piped.returncode == 0
    assert piped.stdout == (tmp_path / "nightly.html").read_bytes()


@pytest.mark.parametrize("content, problem", [
    (b'{"version": ', "not valid JSON: the text ends early"),
    (b"[1, 2]", "not a results document"),
    (b'{"report": 7}', "not a results document"),
    (b"\xff\xfe", "not UTF-8"),
    (None, "No such file"),
    ("dir", "a directory"),
    ("unwritable", "No such file or directory"),
])
def test_bad_input_or_output_gives_one_line_and_leaves_no_file(tmp_path, content, problem):
    source, out = tmp_path / "results.json", tmp_path / "out.html"
    if content == "dir":
        source.mkdir()
    elif content == "unwritable":
        source, out = SMALL, tmp_path / "no" / "such.html"
    elif content is not None:
        source.write_bytes(content)
    before = sorted(os.listdir(tmp_path))
    done = vexa("html", source, "-o", out)
    err = done.stderr.decode()
    assert (done.returncode, done.stdout) == (2, b"")
    named = out if content == "unwritable" else source
    assert err.startswith("vexa html: error: %s" % named) and problem in err and err.count("\n") == 1
    assert sorted(os.listdir(tmp_path)) == before
