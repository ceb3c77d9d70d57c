"""The viewer in headless Chromium, against a real server on a loopback port."""

import json
import os
import time
import urllib.parse
import urllib.request

import pytest

from browser import available, start_browser
from vexa.reporter.runsheaf import Runsheaf
from vexa.reporter.server.run import Server
from vexa.reporter.store import Store
from vexa.results import Failed, Passed

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
XSS = '<img src=x onerror="window.__pwned=1">'
SCRIPT = "</script><script>window.__pwned=2</script>"
HOSTILE_IDS = [XSS, SCRIPT, "a\ud800b", "nul\0byte", 7, "7", "\u00e9/\u00fc", "x" * 300]
BULK = 700


def record(name, outcomes, bulk_fail=None, hostile=False, log=None, finish=True):
    """A run: task "routing" with test cases of the given outcomes, a task
    "bulk" of BULK test cases when `bulk_fail` is given, and optionally a
    task whose ids and texts are markup."""
    run = Runsheaf(id=name, seq_num=0)
    run.start(host="lab-host", testbed="tb-1")
    task = run.add_task(id="routing", seq_num=1)
    task.start(description="routing checks")
    for n, outcome in enumerate(outcomes, start=1):
        tc = task.add_section(id="tc%d" % n, seq_num=n, type="Testcase")
        tc.start(xref={"file": "routing.py", "line": 10 * n}, description="testcase %d" % n,
                 **({"logfile": log} if log else {}))
        if log:
            with open(log, "a") as f:
                f.write("tc%d: configuring\ntc%d: %s\n" % (n, n, outcome.value))
        step = tc.add_section(id=1, seq_num=1, type="Step")
        step.start()
        step.stop(result=outcome)
        tc.add_detail("checked %d interfaces" % n)
        tc.stop()
    task.stop()
    if bulk_fail is not None:
        bulk = run.add_task(id="bulk", seq_num=2)
        bulk.start()
        for i in range(BULK):
            tc = bulk.add_section(id="tc%d" % i, seq_num=i, type="Testcase")
            tc.start()
            tc.stop(result=Failed if i == bulk_fail else Passed)
        bulk.stop()
    if hostile:
        bad = run.add_task(id=XSS, seq_num=3)
        bad.start(description=SCRIPT)
        for i, sid in enumerate(HOSTILE_IDS):
            section = bad.add_section(id=sid, seq_num=i, type="Testcase")
            section.start(description=XSS, xref={"file": SCRIPT, "line": 1})
            section.update_extra({XSS: SCRIPT, "n": i})
            section.add_detail(XSS)
            section.stop(result=Failed(SCRIPT) if i % 2 else Passed)
        bad.stop()
    if finish:
        run.stop(num_tasks=len(run.tasks))
    return run


def serve(tmp, store):
    return Server(store, port=0, logs_dir=str(tmp)).start()


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """Run 1 and run 2 of "nightly" (2 has newly failing, fixed and hostile
    nodes and a log), and 26 runs of "weekly"."""
    tmp = tmp_path_factory.mktemp("viewer")
    log = str(tmp / "job.log")
    open(log, "w").close()
    store = Store("sqlite:///" + str(tmp / "store.sqlite"))
    store.store_tree(record("nightly", [Passed, Passed, Failed], bulk_fail=-1))
    store.store_tree(record("nightly", [Failed, Passed, Passed], bulk_fail=650, hostile=True, log=log))
    for n in range(26):
        store.store_tree(record("weekly", [Passed, Failed if n % 3 == 0 else Passed]))
    server = serve(tmp, store)
    yield server, store, log
    server.stop()
    store.close()


@pytest.fixture(scope="module")
def browser():
    if not available():
        pytest.skip("needs chromium and chromedriver")
    driver = start_browser()
    yield driver
    driver.quit()


def wait(driver, condition, timeout=15):
    """The first truthy value of condition(), or a failed test."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = condition()
        except Exception:  # the page is between states
            value = None
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out; page text: %s" % driver.execute_script(
                "return document.body.innerText.slice(0, 2000)"))
        time.sleep(0.05)


def visit(driver, server, fragment):
    driver.get("about:blank")
    driver.get(server.url + fragment)


ROWS = """return JSON.stringify([...document.querySelectorAll('li[role=treeitem]')]
  .filter((li) => li.offsetParent !== null)
  .map((li) => [Number(li.getAttribute('aria-level')), li.querySelector('.id').textContent,
                li.querySelector('.result').textContent.slice(1), li.getAttribute('aria-selected') === 'true',
                li.querySelector('.mark') ? li.querySelector('.mark').textContent : null]))"""


def rows(driver):
    # As JSON text: the browser's driver cannot hand over lone surrogates.
    return json.loads(driver.execute_script(ROWS))


def paths(driver):
    """The visible rows as paths of displayed ids."""
    out, stack = [], []
    for level, ident, *_ in rows(driver):
        stack[level - 1:] = [ident]
        out.append(tuple(stack))
    return out


def shown(ident):
    return ident if isinstance(ident, str) else json.dumps(ident)


def row_el(driver, *path):
    """The element of the visible row at `path` (displayed ids)."""
    index = paths(driver).index(tuple(path))
    return driver.execute_script(
        "return [...document.querySelectorAll('li[role=treeitem]')].filter((li) => li.offsetParent !== null)[arguments[0]]",
        index)


def click_twisty(driver, *path):
    row_el(driver, *path).find_element("css selector", ".twisty").click()


def message(driver):
    return wait(driver, lambda: driver.execute_script(
        "const m = document.querySelector('.message'); return m && m.textContent"))


def details_title(driver):
    return driver.execute_script("const t = document.querySelector('aside.details h2'); return t && t.textContent")


# -- the runs page --------------------------------------------------------------


def test_runs_table_pages_filters_and_draws_the_trend(browser, site):
    server, store, _ = site
    visit(browser, server, "#/")
    names = "return [...document.querySelectorAll('table.grid tbody tr')].map((tr) => tr.cells[0].querySelector('a').textContent)"
    first = wait(browser, lambda: browser.execute_script(names))
    assert len(first) == 25
    browser.find_element("xpath", "//button[contains(., 'Older')]").click()
    rest = wait(browser, lambda: len(browser.execute_script(names)) == 3 and browser.execute_script(names))
    assert sorted(first + rest) == ["nightly"] * 2 + ["weekly"] * 26

    browser.find_element("link text", "\u2190 Newest").click()
    wait(browser, lambda: len(browser.execute_script(names)) == 25)
    browser.execute_script("const s = document.querySelector('select[name=result]'); s.value = 'failed';"
                           "s.dispatchEvent(new Event('change'))")
    expected = len(store.runs(result="failed", limit=100)[0])
    results = "return [...document.querySelectorAll('table.grid tbody tr')].map((tr) => tr.cells[2].textContent)"
    got = wait(browser, lambda: "result=failed" in browser.current_url and browser.execute_script(results))
    assert got == ["\u2718failed"] * expected and 0 < expected < 28

    visit(browser, server, "#/?result=failed")
    wait(browser, lambda: "nightly" in browser.execute_script(names))
    browser.find_element("xpath", "//tr[td/a[.='nightly']]//button[.='history']").click()
    wait(browser, lambda: browser.execute_script(names) == ["nightly", "nightly"])
    dots = "return [...document.querySelectorAll('figure.chart')].map((f) => f.querySelectorAll('circle').length)"
    assert wait(browser, lambda: browser.execute_script(dots)) == [2, 2]
    assert browser.find_element("css selector", "figure.chart.rate svg").get_attribute("aria-label").startswith("Success rate")


# -- the tree -------------------------------------------------------------------


def test_expanding_pages_children_and_collapsing_hides_them(browser, site):
    server = site[0]
    visit(browser, server, "#/run/2")
    top = [("routing",), ("bulk",), (XSS,)]
    assert wait(browser, lambda: paths(browser) == top)
    click_twisty(browser, "bulk")
    more = "const b = document.querySelector('li.more button'); return b && b.textContent"
    assert wait(browser, lambda: browser.execute_script(more)) == "Show more (200 of 700 shown)"
    for shown_now in (400, 600, 700):
        browser.find_element("css selector", "li.more button").click()
        wait(browser, lambda: len(paths(browser)) == 3 + shown_now)
    assert browser.execute_script(more) is None
    assert paths(browser)[2:702] == [("bulk", "tc%d" % i) for i in range(BULK)]
    click_twisty(browser, "bulk")
    assert wait(browser, lambda: paths(browser) == top)
    click_twisty(browser, "bulk")  # children kept: shown again at once
    assert len(paths(browser)) == 703


def test_keyboard_moves_expands_and_loads_the_next_page(browser, site):
    server = site[0]
    visit(browser, server, "#/run/2")
    wait(browser, lambda: paths(browser))
    focused = "const li = document.activeElement; return li && li.querySelector('.id').textContent"

    def press(*keys):
        for key in keys:
            browser.switch_to.active_element.send_keys(key)
            time.sleep(0.05)

    from selenium.webdriver.common.keys import Keys
    browser.execute_script("document.querySelector('select[aria-label=\"Compare with\"]').focus()")
    press(Keys.TAB)  # the tree is one tab stop, at its first row
    assert wait(browser, lambda: browser.execute_script(focused) == "routing")
    press(Keys.ARROW_RIGHT)
    wait(browser, lambda: ("routing", "tc1") in paths(browser))
    press(Keys.ARROW_DOWN, Keys.ARROW_DOWN)
    assert wait(browser, lambda: browser.execute_script(focused) == "tc2")
    press(Keys.ENTER)
    wait(browser, lambda: ("routing", "tc2", "1") in paths(browser))
    press(Keys.ARROW_LEFT)  # collapses tc2
    wait(browser, lambda: ("routing", "tc2", "1") not in paths(browser))
    press(Keys.ARROW_LEFT)  # to the parent
    assert wait(browser, lambda: browser.execute_script(focused) == "routing")
    press(Keys.END)
    assert wait(browser, lambda: browser.execute_script(focused) == XSS)
    press(Keys.HOME)
    assert wait(browser, lambda: browser.execute_script(focused) == "routing")
    assert [r[1] for r in rows(browser) if r[3]] == ["routing"]  # the selection follows
    assert wait(browser, lambda: details_title(browser) == "routing")

    # Past the last row of a page, the next page is loaded.
    visit(browser, server, "#/run/2?node=" + urllib.parse.quote(json.dumps(["bulk", "tc199"])))
    wait(browser, lambda: browser.execute_script(focused) == "tc199")
    press(Keys.ARROW_DOWN)
    assert wait(browser, lambda: browser.execute_script(focused) == "tc200")
    assert len([p for p in paths(browser) if p[0] == "bulk"]) == 401


def test_problems_only_opens_the_paths_to_every_problem(browser, site):
    server, store, _ = site
    visit(browser, server, "#/run/2")
    wait(browser, lambda: paths(browser))
    browser.find_element("xpath", "//label[contains(., 'Problems only')]/input").click()
    problems = store.problems(2, limit=1000)[0]
    expected = []
    for p in problems:
        for depth in range(1, len(p["path"]) + 1):
            prefix = tuple(shown(i) for i in p["path"][:depth])
            if prefix not in expected:
                expected.append(prefix)
    assert wait(browser, lambda: paths(browser) == expected)
    assert ("bulk", "tc650") in expected and ("routing", "tc1") in expected
    assert "problems=1" in browser.current_url
    os.makedirs(os.path.join(ROOT, "out"), exist_ok=True)
    row_el(browser, "routing", "tc1").find_element("css selector", ".id").click()
    wait(browser, lambda: details_title(browser) == "routing / tc1")
    wait(browser, lambda: browser.execute_script("return document.querySelector('.log pre')"))
    assert browser.execute_script(
        "return [...document.querySelectorAll('li[aria-expanded=true]')].map((li) => li.querySelector('.id').textContent)"
    ) == ["routing", "bulk", XSS]
    browser.save_screenshot(os.path.join(ROOT, "out", "viewer-run.png"))


def test_search_lists_matches_and_reveals_one_beyond_the_first_page(browser, site):
    server, store, _ = site
    visit(browser, server, "#/run/2")
    wait(browser, lambda: paths(browser))
    box = browser.find_element("css selector", "input[aria-label='Search by path']")
    box.send_keys("TC65\n")
    matches = "return [...document.querySelectorAll('.matches button')].map((b) => b.textContent)"
    found = wait(browser, lambda: browser.execute_script(matches))
    assert found == [" / ".join(map(shown, n["path"])) for n in store.search(2, "TC65")[0]]
    browser.find_element("xpath", "//ol[@class='matches']//button[.='bulk / tc650']").click()
    selected = lambda: [(r[0], r[1]) for r in rows(browser) if r[3]]  # noqa: E731
    assert wait(browser, lambda: selected() == [(2, "tc650")])
    assert wait(browser, lambda: details_title(browser) == "bulk / tc650")
    assert "q=TC65" in browser.current_url


@pytest.mark.parametrize("path", [
    ["routing", "tc2", 1], ["bulk", "tc650"], [XSS, "a\ud800b"], [XSS, 7], [XSS, "7"], [XSS, "nul\0byte"],
])
def test_permalink_in_a_fresh_page_opens_the_tree_down_to_the_node(browser, site, path):
    server = site[0]
    visit(browser, server, "#/run/2?node=" + urllib.parse.quote(json.dumps(path)))
    selected = wait(browser, lambda: [r for r in rows(browser) if r[3]])
    assert [(r[0], r[1]) for r in selected] == [(len(path), shown(path[-1]))]
    # The details are of the very node: ids keep their type (7 is not "7").
    title = wait(browser, lambda: json.loads(browser.execute_script(
        "const t = document.querySelector('aside.details h2'); return JSON.stringify(t && t.textContent)")))
    assert title == " / ".join(map(shown, path))
    if path[0] == XSS:  # the extra "n" tells the sections apart
        n = wait(browser, lambda: browser.execute_script(
            "const r = [...document.querySelectorAll('table.kv tr')].find((tr) => tr.cells[0].textContent === 'n');"
            "return r && r.cells[1].textContent"))
        assert n == str(HOSTILE_IDS.index(path[1]))
    link = browser.find_element("link text", "Link to this node").get_attribute("href")
    assert json.loads(urllib.parse.unquote(link.split("node=")[1])) == path


def test_a_node_far_down_a_long_list_is_pinned_then_takes_its_place(browser, tmp_path):
    run = Runsheaf(id="long", seq_num=0)
    run.start(host="lab-host")
    task = run.add_task(id="t", seq_num=1)
    task.start()
    for i in range(4500):
        task.add_section(id="s%d" % i, seq_num=i).stop(result=Passed)
    task.stop()
    run.stop(num_tasks=1)
    store = Store("sqlite:///" + str(tmp_path / "store.sqlite"))
    store.store_tree(run)
    server = serve(tmp_path, store)
    try:
        visit(browser, server, "#/run/1?node=" + urllib.parse.quote(json.dumps(["t", "s4400"])))
        wait(browser, lambda: [r[1] for r in rows(browser) if r[3]] == ["s4400"])
        ids = [p[1] for p in paths(browser)[1:]]
        assert ids[-1] == "s4400" and len(ids) < 4500  # beyond the pages loaded, after them
        while browser.execute_script("return !!document.querySelector('li.more button')"):
            browser.find_element("css selector", "li.more button").click()
            time.sleep(0.2)
        assert wait(browser, lambda: [p[1] for p in paths(browser)[1:]] == ["s%d" % i for i in range(4500)])
        assert [r[1] for r in rows(browser) if r[3]] == ["s4400"]
    finally:
        server.stop()
        store.close()


def test_details_panel_shows_fields_extras_and_the_log_slice(browser, site):
    server, store, log = site
    visit(browser, server, "#/run/2?node=" + urllib.parse.quote(json.dumps(["routing", "tc1"])))
    wait(browser, lambda: browser.execute_script("const p = document.querySelector('.log pre'); return p && p.textContent"))
    fields = browser.execute_script(
        "return Object.fromEntries([...document.querySelectorAll('dl.fields dt')].map((dt) => [dt.textContent, dt.nextElementSibling.textContent]))")
    assert fields["Xref"] == "routing.py:10" and fields["Description"] == "testcase 1"
    assert fields["Result"].endswith("failed") and fields["Type"] == "Testcase"
    assert browser.find_element("css selector", "ul.details li").text == "checked 1 interfaces"
    where = store.node(2, ["routing", "tc1"])["logs"]
    with open(log, "rb") as f:
        f.seek(where["begin"])
        expected = f.read(where["size"]).decode()
    assert browser.find_element("css selector", ".log pre").get_attribute("textContent") == expected
    assert "tc1: failed" in expected


def test_comparison_lists_the_servers_differences_and_marks_the_tree(browser, site):
    server = site[0]
    with urllib.request.urlopen(server.url + "api/v1/diff?old=1&new=2") as r:
        diff = json.loads(r.read())
    visit(browser, server, "#/run/2")
    wait(browser, lambda: paths(browser))
    wait(browser, lambda: browser.execute_script("return document.querySelector('select[aria-label=\"Compare with\"]').options.length > 1"))
    browser.execute_script("const s = document.querySelector('select[aria-label=\"Compare with\"]'); s.value = '1';"
                           "s.dispatchEvent(new Event('change'))")
    listed = """return Object.fromEntries([...document.querySelectorAll('.diff details')].map((d) =>
      [d.className.split('k-')[1], [...d.querySelectorAll('li')].map((li) => (li.querySelector('button') || li).textContent.split(' ')[0] === '' ? li.textContent : (li.querySelector('button') ? li.querySelector('button').textContent : li.textContent))]))"""
    got = wait(browser, lambda: browser.execute_script(listed))
    for kind in ("newly_failing", "fixed"):
        assert got[kind] == [" / ".join(map(shown, e["idlist"])) for e in diff[kind]]
    assert "routing / tc1" in got["newly_failing"] and "bulk / tc650" in got["newly_failing"]
    assert "routing / tc3" in got["fixed"]
    click_twisty(browser, "routing")
    wait(browser, lambda: ("routing", "tc3") in paths(browser))
    marks = {r[1]: r[4] for r in rows(browser) if r[0] == 2}
    assert marks == {"tc1": "newly failing", "tc2": None, "tc3": "fixed"}
    assert "cmp=1" in browser.current_url


def test_hostile_texts_are_shown_as_text_and_never_run(browser, site):
    server = site[0]
    visit(browser, server, "#/run/2?node=" + urllib.parse.quote(json.dumps([XSS, SCRIPT])))
    wait(browser, lambda: browser.execute_script("return document.querySelector('table.kv')"))
    same = browser.execute_script("""
      const ids = JSON.parse(arguments[0]);
      const shown = [...document.querySelectorAll('li[role=treeitem] li[role=treeitem] .id')].map((e) => e.textContent);
      const want = ids.map((i) => typeof i === 'string' ? i : JSON.stringify(i));
      const dd = Object.fromEntries([...document.querySelectorAll('dl.fields dt')].map((dt) => [dt.textContent, dt.nextElementSibling.textContent]));
      const kv = [...document.querySelectorAll('table.kv tr')].map((tr) => [tr.cells[0].textContent, tr.cells[1].textContent]);
      return {ids: JSON.stringify(shown) === JSON.stringify(want), top: document.querySelector('.id').parentNode.textContent,
              dd, kv, extra: document.querySelectorAll('main img, main script, main b').length,
              pwned: window.__pwned === undefined ? null : window.__pwned};""", json.dumps(HOSTILE_IDS))
    assert same["ids"] is True
    assert same["dd"]["Description"] == XSS and same["dd"]["Xref"] == SCRIPT + ":1"
    assert same["dd"]["Result"].endswith("failed \u2014 " + SCRIPT)
    assert [XSS, SCRIPT] in same["kv"]
    assert same["extra"] == 0 and same["pwned"] is None


# -- failures and live runs -------------------------------------------------------


@pytest.mark.parametrize("fragment, text", [
    ("#/run/999", "no such run (404)"),
    ("#/run/2?node=not-json", "names no node"),
    ("#/run/2?node=%5B%22nope%22%5D", "This run has no node nope"),
    ("#/elsewhere", "Not found"),
])
def test_bad_addresses_and_server_errors_show_a_message(browser, site, fragment, text):
    visit(browser, site[0], fragment)
    if text == "Not found":
        assert wait(browser, lambda: browser.find_element("css selector", "h1").text) == text
    else:
        assert text in message(browser)


def test_a_server_gone_away_shows_a_message_not_a_blank_page(browser, tmp_path):
    store = Store("sqlite:///" + str(tmp_path / "store.sqlite"))
    store.store_tree(record("gone", [Passed, Failed]))
    server = serve(tmp_path, store)
    try:
        visit(browser, server, "#/run/1")
        wait(browser, lambda: paths(browser) == [("routing",)])
    finally:
        server.stop()
        store.close()
    click_twisty(browser, "routing")
    assert "cannot be reached" in message(browser)
    assert paths(browser) == [("routing",)]


def refresh_now(browser):
    """The button, where the refresh would otherwise come within seconds by itself."""
    button = browser.find_element("css selector", "button.refresh")
    wait(browser, lambda: button.is_displayed())
    button.click()


def test_a_run_in_progress_refreshes_itself(browser, tmp_path):
    store = Store("sqlite:///" + str(tmp_path / "store.sqlite"))
    run = Runsheaf(id="live", seq_num=0)
    run.start(host="lab-host")
    task = run.add_task(id="routing", seq_num=1)
    task.start()
    first = task.add_section(id="tc1", seq_num=1, type="Testcase")
    first.start()
    first.stop(result=Passed)
    key = store.store_tree(run)["key"]
    server = serve(tmp_path, store)
    try:
        visit(browser, server, "#/run/%d" % key)
        wait(browser, lambda: paths(browser) == [("routing",)])
        assert "running" in browser.find_element("css selector", "dl.header").text
        click_twisty(browser, "routing")
        wait(browser, lambda: ("routing", "tc1") in paths(browser))
        second = task.add_section(id="tc2", seq_num=2, type="Testcase")
        second.start()
        second.stop(result=Failed)
        store.store_tree(run)  # the page finds this by itself
        assert wait(browser, lambda: [r[1:3] for r in rows(browser)][1:] == [["tc1", "passed"], ["tc2", "failed"]])
        # A node gone, another in its place: the tree shows the run as it is.
        store.import_text(run.dump_json().replace('"tc1"', '"tc0"'))
        refresh_now(browser)
        assert wait(browser, lambda: [r[1:3] for r in rows(browser)][1:] == [["tc0", "passed"], ["tc2", "failed"]])
        store.store_tree(run)
        refresh_now(browser)
        assert wait(browser, lambda: [r[1] for r in rows(browser)][1:] == ["tc1", "tc2"])
        task.stop()
        run.stop(num_tasks=1)
        store.store_tree(run)
        refresh_now(browser)
        wait(browser, lambda: browser.find_element("css selector", ".live").text == "finished")
        assert rows(browser)[0][2] == "failed"
        assert "running" not in browser.find_element("css selector", "dl.header").text
        assert not browser.find_element("css selector", "button.refresh").is_displayed()
    finally:
        server.stop()
        store.close()


# -- what the server sends ----------------------------------------------------------


@pytest.mark.parametrize("target, status, kind", [
    ("/", 200, "text/html; charset=utf-8"),
    ("/static/app.js", 200, "text/javascript; charset=utf-8"),
    ("/static/style.css", 200, "text/css; charset=utf-8"),
    ("/static/..%2Fapp.py", 404, "application/json"),
    ("/static/pages.py", 404, "application/json"),
    ("/static/nope.js", 404, "application/json"),
])
def test_pages_are_only_the_viewers_files_under_a_strict_policy(site, target, status, kind):
    try:
        with urllib.request.urlopen(site[0].url.rstrip("/") + target) as r:
            got, headers = r.status, r.headers
    except urllib.error.HTTPError as exc:
        got, headers = exc.code, exc.headers
    assert (got, headers["content-type"]) == (status, kind)
    if status == 200:
        assert "script-src 'self'" in headers["content-security-policy"]
        assert headers["x-content-type-options"] == "nosniff"
