"""The one-file report in headless Chromium, opened from disk (file://):
the tree, problems only, search, links within the page, every node read
back as written, and hostile texts."""

import json
import math
import random
import urllib.parse

import pytest

from test_viewer import (BULK, HOSTILE_IDS, SCRIPT, XSS, browser, click_twisty, details_title,  # noqa: F401
                         paths, record, rows, shown, wait)
from vexa.reporter import htmlreport
from vexa.results import Failed, Passed


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    """The page of a run with a task of BULK test cases and a task whose ids
    and texts are markup, and its results document."""
    tmp = tmp_path_factory.mktemp("html")
    run = record("nightly", [Failed, Passed, Passed], bulk_fail=650, hostile=True)
    path = tmp / "nightly.html"
    htmlreport.write_html(run, path)
    return "file://" + str(path), json.loads(run.dump_json())


def visit(driver, url, fragment=""):
    driver.get("about:blank")
    driver.get(url + fragment)


def link(path):
    return "#/run/1?node=" + urllib.parse.quote(json.dumps(path))


def test_the_tree_expands_pages_and_collapses_from_disk(browser, page):
    url, _ = page
    visit(browser, url)
    top = [("routing",), ("bulk",), (XSS,)]
    assert wait(browser, lambda: paths(browser) == top)
    assert "Compare" not in browser.find_element("css selector", "main").text  # no server: not offered
    click_twisty(browser, "bulk")
    more = "const b = document.querySelector('li.more button'); return b && b.textContent"
    assert wait(browser, lambda: browser.execute_script(more)) == "Show more (200 of 700 shown)"
    # Only what is expanded is drawn.
    assert browser.execute_script("return document.querySelectorAll('li[role=treeitem]').length") == 203
    while browser.execute_script(more):
        browser.find_element("css selector", "li.more button").click()
    assert wait(browser, lambda: paths(browser)[2:702] == [("bulk", "tc%d" % i) for i in range(BULK)])
    click_twisty(browser, "bulk")
    assert wait(browser, lambda: paths(browser) == top)


def test_problems_only_and_search_find_the_failures(browser, page):
    url, document = page
    visit(browser, url)
    wait(browser, lambda: paths(browser))
    browser.find_element("xpath", "//label[contains(., 'Problems only')]/input").click()
    expected = [("routing",), ("routing", "tc1"), ("bulk",), ("bulk", "tc650"), (XSS,)] + [
        (XSS, shown(i)) for n, i in enumerate(HOSTILE_IDS) if n % 2]
    assert wait(browser, lambda: paths(browser) == expected)
    assert "problems=1" in browser.current_url

    box = browser.find_element("css selector", "input[aria-label='Search by path']")
    box.send_keys("TC65\n")
    matches = "return [...document.querySelectorAll('.matches button')].map((b) => b.textContent)"
    assert wait(browser, lambda: browser.execute_script(matches)) == ["bulk / tc65"] + [
        "bulk / tc%d" % i for i in range(650, 660)]
    browser.find_element("xpath", "//ol[@class='matches']//button[.='bulk / tc65']").click()
    # Not among the problems: the tree leaves that mode to show it.
    assert wait(browser, lambda: [(r[0], r[1]) for r in rows(browser) if r[3]] == [(2, "tc65")])
    assert wait(browser, lambda: details_title(browser) == "bulk / tc65")
    assert "q=TC65" in browser.current_url


@pytest.mark.parametrize("path", [["routing", "tc2", 1], ["bulk", "tc650"], [XSS, "a\ud800b"], [XSS, 7],
                                  [XSS, "7"], [XSS, "nul\0byte"]])
def test_a_link_within_the_page_opens_the_tree_down_to_its_node(browser, page, path):
    url, _ = page
    visit(browser, url, link(path))
    selected = wait(browser, lambda: [r for r in rows(browser) if r[3]])
    assert [(r[0], r[1]) for r in selected] == [(len(path), shown(path[-1]))]
    title = wait(browser, lambda: json.loads(browser.execute_script(
        "const t = document.querySelector('aside.details h2'); return JSON.stringify(t && t.textContent)")))
    assert title == " / ".join(map(shown, path))
    href = browser.find_element("link text", "Link to this node").get_attribute("href")
    assert href.startswith(url + "#/run/1?node=")
    assert json.loads(urllib.parse.unquote(href.split("node=")[1])) == path


def test_hostile_texts_are_shown_as_text_and_never_run(browser, page):
    url, _ = page
    visit(browser, url, link([XSS, SCRIPT]))
    wait(browser, lambda: browser.execute_script("return document.querySelector('table.kv')"))
    got = browser.execute_script("""
      const ids = [...document.querySelectorAll('li[role=treeitem] li[role=treeitem] .id')].map((e) => e.textContent);
      const dd = Object.fromEntries([...document.querySelectorAll('dl.fields dt')].map((dt) => [dt.textContent, dt.nextElementSibling.textContent]));
      const kv = [...document.querySelectorAll('table.kv tr')].map((tr) => [tr.cells[0].textContent, tr.cells[1].textContent]);
      return JSON.stringify({ids, dd, kv, scripts: document.scripts.length,
                             extra: document.querySelectorAll('main img, main script, main b').length,
                             pwned: window.__pwned === undefined ? null : window.__pwned});""")
    got = json.loads(got)
    assert got["ids"] == [shown(i) for i in HOSTILE_IDS]
    assert got["dd"]["Description"] == XSS and got["dd"]["Xref"] == SCRIPT + ":1"
    assert got["dd"]["Result"].endswith("failed \u2014 " + SCRIPT)
    assert [XSS, SCRIPT] in got["kv"]
    assert (got["scripts"], got["extra"], got["pwned"]) == (6, 0, None)


def odd_document(seed, nodes=400):
    """A results document whose fields take every form: hostile texts, ids
    of several types, times the page cannot rebuild, NaN, nested values."""
    rnd = random.Random(seed)
    texts = ["</script><script>window.__pwned=3</script>", "<!--", "\u2028\u2029", "\ud800", "\0",
             "\u00e9\U0001f600", "plain", "", "&amp;", "a\nb", "__proto__"]
    scalars = texts + [0, 1, -1, 1.0, 2.5, True, False, None, float("nan"), 2 ** 70]
    times = ["2026-03-01 10:00:00+00:00", "2026-03-01 10:00:01.000001+00:00",
             "2026-03-01 10:00:02.000000+00:00", "2026-03-01T10:00:03+00:00", "2026-03-01 11:00:00+01:00",
             "1850-01-01 00:00:00+00:00", "2026-03-01 10:00:00.\u0661\u0662\u0663\u0664\u0665\u0666+00:00", "soon", 7]

    def value(depth=0):
        kind = rnd.random()
        if depth < 2 and kind < 0.2:
            return [value(depth + 1) for _ in range(rnd.randrange(3))]
        if depth < 2 and kind < 0.4:
            return {rnd.choice(texts): value(depth + 1) for _ in range(rnd.randrange(3))}
        return rnd.choice(scalars)

    made = [0]

    def node(depth, ids):
        made[0] += 1
        own = rnd.choice(["tc%d" % made[0], made[0], str(made[0]), rnd.choice(texts) + str(made[0])])
        out = {"type": rnd.choice(["Testcase", "Step", 3, None]), "id": own,
               "fullid": ".".join(map(str, ids + [own])), "idlist": ids + [own],
               "starttime": rnd.choice(times), "stoptime": rnd.choice(times),
               "runtime": rnd.choice([0.25, 3, float("nan"), "slow", 1e-06]),
               "result": rnd.choice([{"value": "passed"}, {"value": "Failed"}, {"value": "failed", "reason": value()},
                                     "failed", None]),
               rnd.choice(texts): value(), "extra": {rnd.choice(texts): value()}}
        if rnd.random() < 0.3:
            del out["fullid"]
        if depth < 3 and made[0] < nodes:
            out["sections"] = [node(depth + 1, ids + [own]) for _ in range(rnd.randrange(4))]
        return out

    run = {"type": "Runsheaf", "id": "odd", "name": "odd", "starttime": "2026-03-01 10:00:00+00:00",
           "tasks": []}
    while made[0] < nodes:
        run["tasks"].append(node(1, []))
    return {"version": "3.4", "report": run}


def expected_fields(node, children_key):
    def plain(v):
        if isinstance(v, float) and not math.isfinite(v):
            return None
        if isinstance(v, list):
            return [plain(x) for x in v]
        if isinstance(v, dict):
            return {k: plain(x) for k, x in v.items()}
        return v
    out = {k: plain(v) for k, v in node.items()}
    if isinstance(node.get(children_key), list):
        out[children_key] = [c.get("id") for c in node[children_key] if isinstance(c, dict)]
    return out


READ_ALL = """
const done = arguments[arguments.length - 1];
(async () => {
  const source = window.vexaViewer.source, out = [];
  for (const path of JSON.parse(arguments[0])) out.push(await source.node(1, path));
  done(JSON.stringify(out));
})().catch((e) => done(JSON.stringify(String(e))));
"""


@pytest.mark.parametrize("seed", [1, 2])
def test_every_node_reads_back_as_its_results_file_has_it(browser, tmp_path, seed):
    document = odd_document(seed)
    path = tmp_path / "odd.html"
    htmlreport.write_html(document, path)
    visit(browser, "file://" + str(path))
    wait(browser, lambda: paths(browser))
    wanted, expected = [], []
    stack = [([], document["report"], "tasks")]
    while stack:
        where, node, key = stack.pop()
        wanted.append(where)
        expected.append(expected_fields(node, key))
        for child in reversed(node.get(key) or []):
            stack.append((where + [child["id"]], child, "sections"))
    got = json.loads(browser.execute_async_script(READ_ALL, json.dumps(wanted)))
    assert isinstance(got, list), got
    # Ids repeat nowhere in this document, so each path names its node.
    for path_, want, have in zip(wanted, expected, got):
        assert have == want, path_
        assert list(have) == list(want)  # fields in their order
    assert browser.execute_script("return window.__pwned === undefined")
