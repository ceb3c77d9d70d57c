"""The report store on a real SQLite file: what goes in comes back, node for
node; runs are whole or absent, whatever happens during an import."""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

from vexa.reporter.explorer import Explorer
from vexa.reporter.runsheaf import Runsheaf
from vexa.reporter.store import Store, StoreClient, StoreError
from vexa.reporter.store.core import PATH_DEPTH
from vexa.reportserver import ResultsFileClient
from vexa.results import Errored, Failed, Passed, Skipped

HOSTILE = ["a\ud800b", "\udfff", "nul\0byte", "", "é/ü", "x" * 300, "<script>", 0, 7, -1]


def build_run(task_ids, section_ids, run_id="job", start=None, results=(Passed, Failed)):
    run = Runsheaf(id=run_id, seq_num=0)
    run.start(host="lab", testbed="tb")
    if start is not None:
        run.starttime = start
    for t, tid in enumerate(task_ids):
        task = run.add_task(id=tid, seq_num=t)
        task.start(description="task %r" % (tid,))
        for s, sid in enumerate(section_ids):
            section = task.add_section(id=sid, seq_num=s, type="Testcase")
            section.start(description=sid if isinstance(sid, str) else None)
            section.add_section(id=s, seq_num=0, type="Step").stop(
                result=results[(t + s) % len(results)])
            section.stop()
        task.stop()
    plugin = run.add_plugin(id="monitor", seq_num=99)
    plugin.start()
    plugin.stop(result=Errored)
    run.stop(num_tasks=len(task_ids))
    return run


def walk(a, b):
    """Walk two explorers side by side; the number of nodes compared."""
    assert a._obj == b._obj, (a._id_list, a._obj, b._obj)
    n = 1
    for key in ("tasks", "sections"):
        if key in b._obj:
            assert len(getattr(a, key)) == len(getattr(b, key))
            for x, y in zip(getattr(a, key), getattr(b, key)):
                n += walk(x, y)
    return n


@pytest.fixture
def store(store_url):
    with Store(store_url) as s:
        yield s


def write(tmp_path, run, name="results.json"):
    path = tmp_path / name
    path.write_text(run.dump_json(), encoding="ascii")
    return str(path)


ids = st.one_of(st.text(max_size=6), st.integers(-3, 3))


@settings(max_examples=25)
@given(task_ids=st.lists(ids, min_size=1, max_size=3),
       section_ids=st.lists(ids, max_size=5))
def test_a_stored_run_browses_like_its_file(tmp_path_factory, backend, task_ids, section_ids):
    # Repeated ids, numbers, surrogates and NUL: the first match wins, as in the file.
    tmp = tmp_path_factory.mktemp("rt")
    path = write(tmp, build_run(task_ids, section_ids))
    with Store(backend.new_url()) as store:
        key = store.import_file(path)["key"]
        assert walk(Explorer(StoreClient(store, key)), Explorer(ResultsFileClient(path))) >= 2


def test_hostile_text_and_ids_come_back_exactly(tmp_path, store):
    run = build_run(HOSTILE[:3], HOSTILE)
    run.update_extra({"k\0": "\ud800\udc00\udbff", "n": 1.5})
    path = write(tmp_path, run)
    key = store.import_file(path)["key"]
    file_client = ResultsFileClient(path)
    assert walk(Explorer(StoreClient(store, key)), Explorer(file_client)) > len(HOSTILE)
    assert store.node(key, [HOSTILE[0], "\udfff"])["description"] == "\udfff"
    assert store.node(key, [HOSTILE[0], 7])["id"] == 7
    assert store.node(key, [HOSTILE[0], "7"]) is None  # ids keep their JSON type
    assert [c["id"] for c in store.children(key, [HOSTILE[1]])[0]] == HOSTILE
    assert store.search(key, "NUL")[0][0]["path"] == [HOSTILE[0], "nul\0byte"]


@pytest.mark.parametrize("fields", [
    {"runtime": 10 ** 400, "result": {"value": "Passed"}},
    {"result": {"value": {"value": "passed"}}, "starttime": 5, "stoptime": None},
    {"result": 3, "starttime": "2026-12-08 23:50:01.500000+01:00", "stoptime": "later"},
    {"result": ["failed"], "runtime": "1.5", "type": 7},
], ids=["huge runtime", "nested result", "numeric result", "odd types"])
def test_odd_values_are_kept_as_written(tmp_path, store, fields):
    node = dict({"id": "s", "type": "Testcase"}, **fields)
    document = {"version": "3", "report": {"id": "r", "starttime": "2026-12-08 22:00:00.000000+00:00",
                                           "tasks": [{"id": "t", "sections": [node]}]}}
    path = tmp_path / "odd.json"
    path.write_text(json.dumps(document))
    key = store.import_file(str(path))["key"]
    stored = store.node(key, ["t", "s"])
    assert {k: stored[k] for k in node} == node


@pytest.mark.parametrize("chunk, whole", [(7, 1 << 20), (1 << 20, 50), (3, 0)])
def test_reads_split_anywhere_and_long_subtrees_give_the_same_store(tmp_path, monkeypatch,
                                                                     chunk, whole):
    # The text arrives in pieces that split values anywhere, and subtrees too
    # long to take whole are read key by key: the stored run is the same.
    from vexa.reporter.store import document
    run = build_run(HOSTILE[:2], HOSTILE + [1.5, 1e300])
    run.update_extra({"nested": [[{"a": [1, "\udc00", None]}]], "num": -0.25})
    path = write(tmp_path, run)
    monkeypatch.setattr(document, "CHUNK", chunk)
    monkeypatch.setattr(document, "WHOLE_LIMIT", whole)
    with Store("sqlite:///" + str(tmp_path / "s.sqlite")) as store:
        key = store.import_file(path)["key"]
        assert walk(Explorer(StoreClient(store, key)), Explorer(ResultsFileClient(path))) > 20
        assert [p["path"] for p in store.problems(key)[0]][-1] == ["monitor"]


def test_yaml_files_are_read_too(tmp_path, store):
    run = build_run(["t"], ["a", 1])
    path = tmp_path / "results.yaml"
    path.write_text(run.dump_yaml())
    key = store.import_file(str(path))["key"]
    assert [c["id"] for c in store.children(key, ["t"])[0]] == ["a", 1]


def test_reimport_replaces_keeps_the_key_and_marks_what_changed(store):
    run = build_run(["t1"], ["a", "b"])
    first = store.store_tree(run)
    assert first["action"] == "added"
    assert store.store_tree(run)["action"] == "unchanged"
    task = run.add_task(id="t2", seq_num=5)
    task.start()
    again = store.store_tree(run)
    assert (again["action"], again["key"]) == ("replaced", first["key"])
    info = store.run(first["key"])
    assert (info["generation"], info["nodes"]) == (2, again["nodes"])
    changed = [n["path"] for n in store.changed(first["key"], 1)[0]]
    assert changed == [[], ["t2"]]  # the run (a new child) and the new task only
    assert len(store.runs()[0]) == 1


def test_runs_from_different_zones_sort_by_instant_and_page(store):
    for n, (start, zone) in enumerate([("2026-01-01 10:00:00", "+05:00"),   # 05:00 UTC
                                       ("2026-01-01 06:00:00", "+00:00"),   # 06:00 UTC
                                       ("2026-01-01 01:00:00", "-03:00")]):  # 04:00 UTC
        run = build_run(["t"], ["a"], run_id="r%d" % n)
        store.import_text(run.dump_json().replace(
            json.dumps(str(run.starttime)), json.dumps(start + zone), 1))
    page, cursor = store.runs(limit=2)
    rest, end = store.runs(limit=2, cursor=cursor)
    assert [r["id"] for r in page + rest] == ["r1", "r0", "r2"] and end is None
    assert page[0]["start"] == "2026-01-01 06:00:00+00:00"  # as written
    with pytest.raises(ValueError, match="cursor"):
        store.runs(cursor="garbage")


def test_problems_are_the_non_passing_testcases_and_plugins(store):
    key = store.store_tree(build_run(["t1", "t2"], ["a", "b"], results=(Passed, Failed, Skipped)))["key"]
    problems = [(p["path"], p["result"], p["kind"]) for p in store.problems(key)[0]]
    assert problems == [(["t1", "b"], "failed", "testcase"), (["t2", "a"], "failed", "testcase"),
                        (["t2", "b"], "skipped", "testcase"), (["monitor"], "errored", "plugin")]
    page, cursor = store.problems(key, limit=3)
    assert page + store.problems(key, cursor=cursor)[0] == store.problems(key)[0]


@pytest.mark.parametrize("content, problem", [
    (b"", "not valid JSON"),
    (b"[1, 2]", "not a results document"),
    (b'{"version": "3.4"}', 'no "report"'),
    (b'{"report": {"tasks": [3]}}', "not an object"),
    (b'{"report": {"id": "x", "tasks": [{"id": "t"', "not valid JSON"),
    (b"\xff\xfe{}", "not"),
])
def test_broken_files_are_refused_with_one_line_and_change_nothing(tmp_path, store, content, problem):
    path = tmp_path / "bad.json"
    path.write_bytes(content)
    with pytest.raises(StoreError, match=problem) as info:
        store.import_file(str(path))
    assert "\n" not in str(info.value) and str(path) in str(info.value)
    assert store.runs() == ([], None)


def test_what_is_not_a_regular_file_is_refused_before_reading(tmp_path, store):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for path in (fifo, tmp_path):
        with pytest.raises(StoreError, match="not a regular file"):
            store.import_file(str(path))


def test_a_newer_store_is_refused_and_left_alone(backend, store_url):
    Store(store_url).close()
    backend.execute(store_url, "UPDATE meta SET value = '99' WHERE name = 'schema_version'")
    with pytest.raises(StoreError, match="schema version 99.*upgrade the package"):
        Store(store_url)
    assert backend.execute(store_url, "SELECT value FROM meta WHERE name = 'schema_version'") == [("99",)]


def test_a_full_disk_gives_a_clear_error_and_an_intact_store(tmp_path, backend, store):
    if backend.name != "sqlite":
        pytest.skip("only SQLite can be made to run out of room from a test")
    store.store_tree(build_run(["t"], ["a"]))
    conn = store.backend.connection()
    pages = conn.execute("PRAGMA page_count").fetchone()[0]
    conn.execute("PRAGMA max_page_count = %d" % (pages + 2))  # as if the disk filled up
    with pytest.raises(StoreError, match="full"):
        store.store_tree(build_run(["t%d" % n for n in range(50)], list("abcdefgh"), run_id="big"))
    assert [r["id"] for r in store.runs()[0]] == ["job"]
    assert conn.execute("PRAGMA integrity_check").fetchone() == ("ok",)


KILLED_IMPORT = """
import sys
from vexa.reporter.store import Store
Store(sys.argv[1]).import_file(sys.argv[2])
"""


def read_offset(pid, path):
    """How far process `pid` has read the file `path` (0 before it opens it)."""
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == path:
                with open("/proc/%d/fdinfo/%s" % (pid, fd)) as info:
                    return int(info.readline().split()[1])
    except OSError:
        pass
    return 0


def test_an_import_killed_part_way_leaves_the_store_as_it_was(tmp_path, backend, store_url, store):
    store.store_tree(build_run(["t"], ["a"]))
    big = build_run(["t%d" % n for n in range(300)], ["s%d" % n for n in range(60)], run_id="big")
    path = write(tmp_path, big, "big.json")
    process = subprocess.Popen([sys.executable, "-c", KILLED_IMPORT, store_url, path])
    # Kill it in the middle of its rows: once it has read a third of the file.
    size, deadline = os.path.getsize(path), time.monotonic() + 120
    while read_offset(process.pid, path) < size // 3:
        if process.poll() is not None or time.monotonic() > deadline:
            pytest.fail("the import ended before it could be killed")
        time.sleep(0.005)
    process.send_signal(signal.SIGKILL)
    process.wait()
    with Store(store_url) as after:
        assert [r["id"] for r in after.runs()[0]] == ["job"]
        if backend.name == "sqlite":
            assert backend.execute(store_url, "PRAGMA integrity_check") == [("ok",)]
        assert backend.execute(store_url, "SELECT count(*) FROM nodes WHERE run <> 1") == [(0,)]
        assert after.import_file(path)["action"] == "added"


def test_concurrent_imports_and_reads_see_whole_runs(tmp_path, store):
    paths = [write(tmp_path, build_run(["t%d" % n for n in range(20)], list("abcdef"), run_id="r%d" % i),
                   "r%d.json" % i) for i in range(4)]
    errors, seen = [], set()

    def importer(path):
        try:
            store.import_file(path)
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    def reader():
        try:
            for _ in range(200):
                for run in store.runs()[0]:
                    # A run listed is whole: its last task holds all its sections.
                    assert len(store.children(run["key"], ["t19"])[0]) == 6
                    seen.add(run["key"])
        except Exception as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=importer, args=(p,)) for p in paths]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert sorted(r["id"] for r in store.runs()[0]) == ["r0", "r1", "r2", "r3"]


def test_a_removed_runs_key_is_never_given_again(store):
    first = store.store_tree(build_run(["t"], ["a"], run_id="one"))["key"]
    assert store.remove(first) and not store.remove(first)
    second = store.store_tree(build_run(["t"], ["a"], run_id="two"))["key"]
    assert second > first and store.node(first, []) is None


@pytest.mark.parametrize("depth", [1, 2, PATH_DEPTH, PATH_DEPTH + 1, 40])
def test_paths_of_any_depth_take_the_first_match_at_each_level(store, depth):
    # A chain `depth` deep under the second of two tasks sharing an id: the
    # first one, which has no such child, is the one a path goes through.
    chain = {"id": depth - 1, "type": "Step"}
    for level in reversed(range(depth - 1)):
        chain = {"id": level, "type": "Step", "sections": [chain]}
    doc = {"report": {"id": "run", "tasks": [
        {"id": "a", "sections": [{"id": "first"}]},
        {"id": "a", "sections": [chain, {"id": "first"}]},
        {"id": "b", "sections": [chain]}]}}
    key = store.import_text(json.dumps(doc))["key"]
    path = list(range(depth))
    assert store.node(key, ["a"] + path) is None
    assert store.children(key, ["a"] + path) is None
    assert store.node(key, ["b"] + path)["id"] == depth - 1
    assert store.find(key, ["b"] + path) is not None
    assert store.children(key, ["b"] + path[:-1])[0][0]["path"] == ["b"] + path
    assert store.children(key, ["b"] + path) == ([], None)
    assert store.node(key, ["b"] + path[:-1] + [str(depth - 1)]) is None  # ids keep their type
    assert store.node(key, ["a", "first"])["id"] == "first"
    assert store.node(key, ["b", object()]) is None


def pages(fetch, limit):
    items, cursor = [], None
    while True:
        page, cursor = fetch(cursor, limit)
        assert len(page) <= limit
        items += page
        if cursor is None:
            return items


@settings(max_examples=20)
@given(shape=st.lists(st.lists(st.sampled_from([Passed, Failed, Skipped]), max_size=6),
                      min_size=1, max_size=4),
       limit=st.integers(1, 4), needle=st.sampled_from(["s1", "T0", "/", "t1/s"]))
def test_pages_problems_and_search_agree_with_the_tree(backend, shape, limit, needle):
    run = Runsheaf(id="job", seq_num=0)
    run.start()
    expected_problems, paths = [], []
    for t, results in enumerate(shape):
        task = run.add_task(id="t%d" % t, seq_num=t)
        task.start()
        paths.append(["t%d" % t])
        for s, result in enumerate(results):
            section = task.add_section(id="s%d" % s, seq_num=s, type="Testcase")
            section.start()
            section.stop(result=result)
            paths.append(["t%d" % t, "s%d" % s])
            if result is not Passed:
                expected_problems.append(["t%d" % t, "s%d" % s])
        task.stop()
    run.stop(num_tasks=len(shape))
    with Store(backend.new_url()) as store:
        key = store.store_tree(run)["key"]
        for t, results in enumerate(shape):
            ids = [c["id"] for c in pages(lambda c, n: store.children(key, ["t%d" % t], c, n), limit)]
            assert ids == ["s%d" % s for s in range(len(results))]
        found = [p["path"] for p in pages(lambda c, n: store.problems(key, c, n), limit)]
        assert found == expected_problems
        hits = [p["path"] for p in pages(lambda c, n: store.search(key, needle, c, n), limit)]
        assert hits == [p for p in paths if needle.lower() in "/".join(p)]


def vexa_store(*args, url, tty=False):
    """`vexa store ARGS` in process: (status, stdout, stderr); stderr a terminal if `tty`."""
    import contextlib
    import io
    from vexa.cli.main import main

    class Stream(io.StringIO):
        def isatty(self):
            return tty
    out, err = Stream(), Stream()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = main(["store", "--store", url, *args])
        except SystemExit as exc:
            status = exc.code
    return status, out.getvalue(), err.getvalue()


@pytest.mark.parametrize("tty", [False, True])
def test_store_commands_from_an_absent_store_to_import_list_and_rm(tmp_path, monkeypatch, backend,
                                                                    store_url, tty):
    from vexa.reporter.subcommands import _conventions
    monkeypatch.setattr(_conventions.Progress.__init__, "__defaults__", (None, 0.0, 0.0))
    # Reading commands do not create a store that is not there.
    for args in (["list"], ["rm", "1"]):
        status, out, err = vexa_store(*args, url=store_url)
        assert (status, out) == (2, "") and "no such store" in err and len(err.splitlines()) == 1
    if backend.name == "sqlite":
        assert not os.path.exists(store_url[len("sqlite:///"):])
    path = write(tmp_path, build_run(["t%d" % n for n in range(30)], list("abcdefghij")))
    status, out, err = vexa_store("import", path, url=store_url, tty=tty)
    assert status == 0 and out == "%s: added run 1 (632 nodes)\n" % path
    # The progress line is for a person at a terminal only, and wiped at the end.
    assert ("importing %s: 632 nodes" % path in err and err.endswith("\r\x1b[K")) if tty else err == ""
    status, out, _ = vexa_store("list", url=store_url)
    assert status == 0 and out.splitlines()[1].split()[:2] == ["1", "job"]
    assert vexa_store("rm", "1", url=store_url)[:2] == (0, "removed run 1\n")
    assert vexa_store("rm", "1", url=store_url)[0] == 2


trees = st.lists(st.tuples(st.sampled_from("abc"), st.lists(st.sampled_from(["x", "y", 1]), max_size=3)),
                 min_size=1, max_size=3)


def paths_of(tree):
    return {()} | {(t,) for t, _ in tree} | {(t, s) for t, sections in tree for s in sections}


@settings(max_examples=30)
@given(history=st.lists(trees, min_size=2, max_size=4), data=st.data())
def test_what_changed_and_what_was_removed_bring_a_client_up_to_date(backend, history, data):
    # A client that knew the run at some generation, dropping what was removed
    # and adding what changed, knows every path the run has now.
    def document(tree):
        return json.dumps({"report": {"id": "job", "tasks": [
            {"id": t, "sections": [{"id": s, "type": "Step"} for s in sections]}
            for t, sections in tree]}})
    with Store(backend.new_url()) as store:
        for tree in history:
            key = store.import_text(document(tree))["key"]
        generation = store.run(key)["generation"]
        since = data.draw(st.integers(1, generation))
        known = paths_of(history[-1 - (generation - since)])  # identical imports add no generation
        for gone in store.removed(key, since):
            known = {p for p in known if p[:len(gone)] != tuple(gone)}
        known |= {tuple(n["path"]) for n in pages(lambda c, n: store.changed(key, since, c, n), 3)}
        assert known == paths_of(history[-1])
