"""The report server on a loopback port, tried as a client and as an attacker."""

import http.client
import json
import os
import socket
import subprocess
import sys
import time
import urllib.parse

import pytest

from test_store import HOSTILE, build_run, walk
from vexa.reporter.explorer import Explorer
from vexa.reporter.server import run as server_run
from vexa.reporter.server.run import Server
from vexa.reporter.store import Store, StoreClient
from vexa.reportserver import HTTPClient, ReportServerError
from vexa.results import Failed, Passed


@pytest.fixture(scope="module")
def served(tmp_path_factory, backend):
    tmp = tmp_path_factory.mktemp("served")
    logs = tmp / "logs"
    logs.mkdir()
    (logs / "task.log").write_bytes(b"0123456789" * 10)
    (tmp / "secret.log").write_text("secret")
    os.symlink(tmp / "secret.log", logs / "link.log")
    run = build_run(HOSTILE[:2], ["a", "a", 1])
    task = run.tasks[0]
    for n, name in enumerate(["task.log", "../secret.log", "link.log", "gone.log", "/elsewhere/task.log"]):
        section = task.add_section(id="log%d" % n, seq_num=50 + n)
        section.start()
        section.logs = {"file": name, "begin": 3, "size": 4}
        section.stop(result=Passed)
    path = tmp / "results.json"
    path.write_text(run.dump_json())
    store = Store(backend.new_url())
    server = Server(store, files=[str(path)], port=0, logs_dir=str(logs)).start()
    yield server, store, str(path)
    server.stop()
    store.close()


def request(server, method, target, headers=None, body=None):
    parts = urllib.parse.urlsplit(server.url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    try:
        conn.request(method, target, body=body, headers=headers or {})
        response = conn.getresponse()
        return response.status, response.getheader("content-type"), response.read()
    finally:
        conn.close()


def test_explorers_walk_a_stored_run_over_http_as_in_memory(served):
    server, store, path = served
    from vexa.reportserver import ResultsFileClient
    expected = Explorer(ResultsFileClient(path))
    with HTTPClient(server.url, run=1) as client:
        assert walk(Explorer(client), expected) > 10
    with HTTPClient(server.url) as legacy:  # the one file served, as before
        assert walk(Explorer(legacy), expected) > 10
    assert walk(Explorer(StoreClient(store, 1)), expected) > 10


def test_children_pages_join_up(served):
    server = served[0]
    path = urllib.parse.quote(json.dumps([HOSTILE[0]]))
    ids, cursor = [], None
    while True:
        target = "/api/v1/runs/1/children?limit=2&path=" + path + ("&cursor=" + cursor if cursor else "")
        status, _, body = request(server, "GET", target)
        page = json.loads(body)
        ids += [c["id"] for c in page["children"]]
        cursor = page["next"]
        if cursor is None:
            break
    assert ids == ["a", "a", 1, "log0", "log1", "log2", "log3", "log4"]


@pytest.mark.parametrize("target, status, message", [
    ("/api/v1/runs/1/node?path=" + "%5B" * 100_000, 414, "longer"),
    ("/api/v1/runs/1/node?path=" + "%5B" * 500 + "%5D" * 500, 404, "no such node"),
    ("/api/v1/runs/1/node?path=" + "%5B" * 2500, 400, "JSON"),
    ("/api/v1/runs/1/node?path=" + "%5B" * 2000 + "%5D" * 2000, 414, "longer"),
    ("/api/v1/runs/1/node?path=%7B%7D", 400, "array"),
    ("/section?id_list=" + "%5B" * 500 + "%5D" * 500, 404, "no such node"),
    ("/section?id_list=" + "%5B" * 2500, 400, "JSON array"),
    ("/section?id_list=nope", 400, "JSON array"),
    ("/api/v1/runs/1/children?limit=x", 400, "whole number"),
    ("/api/v1/runs/1/children?cursor=%21%21", 400, "cursor"),
    ("/api/v1/runs/1/search", 400, "q is missing"),
    ("/api/v1/runs/x", 404, "no such run"),
    ("/api/v1/runs/99/node?path=%5B%5D", 404, "no such run"),
    ("/api/v1/diff?old=1", 400, "new is missing"),
    ("/nowhere", 404, "no such resource"),
    ("/api/v1/runs/1/log?path=%5B%5D", 404, "no log file"),
])
def test_bad_requests_get_json_errors(served, target, status, message):
    got, kind, body = request(served[0], "GET", target)
    assert (got, kind) == (status, "application/json")
    assert message in json.loads(body)["error"]


@pytest.mark.parametrize("method, headers, body, status", [
    ("POST", {}, b"x", 405),
    ("DELETE", {}, None, 405),
    ("GET", {"X-Big": "y" * 20_000}, None, 431),
    ("GET", {"X-Big": "y" * 100_000}, None, 431),   # beyond what the parser holds at all
    ("GET", {"Content-Length": "99999999"}, None, 413),
])
def test_oversized_and_wrong_requests(served, method, headers, body, status):
    got, kind, data = request(served[0], method, "/api/v1/runs", headers, body)
    assert (got, kind) == (status, "application/json") and "error" in json.loads(data)


def test_head_answers_like_get_without_a_body(served):
    status, kind, body = request(served[0], "HEAD", "/api/v1/runs/1")
    assert (status, kind, body) == (200, "application/json", b"")


@pytest.mark.parametrize("section, status, answer", [
    ("log0", 200, b"3456"),
    ("log1", 403, "outside the logs folder"),     # ../ out of it
    ("log2", 403, "outside the logs folder"),     # a symbolic link out of it
    ("log3", 404, "no log file"),
    ("log4", 200, b"3456"),                       # written on another machine: found by name
])
def test_log_slices_come_only_from_the_logs_folder(served, section, status, answer):
    target = "/api/v1/runs/1/log?path=" + urllib.parse.quote(json.dumps([HOSTILE[0], section]))
    got, _, body = request(served[0], "GET", target)
    assert got == status
    assert body == answer if status == 200 else answer in json.loads(body)["error"]


def test_diff_of_two_runs(store_url):
    with Store(store_url) as store:
        old = store.store_tree(build_run(["t"], ["a", "b"], run_id="old"))["key"]
        new = store.store_tree(build_run(["t"], ["a", "b"], run_id="new", results=(Failed, Passed)))["key"]
        with Server(store, port=0) as server:
            status, _, body = request(server, "GET", "/api/v1/diff?old=%d&new=%d" % (old, new))
    assert status == 200
    differences = json.loads(body)
    assert ["t", "a", 0] in [e["idlist"] for e in differences["newly_failing"]]
    assert ["t", "b", 1] in [e["idlist"] for e in differences["fixed"]]
    assert differences["counts"]["old_nodes"] == differences["counts"]["new_nodes"] == 7


def test_idle_and_slow_connections_are_closed(tmp_path, monkeypatch):
    monkeypatch.setattr(server_run, "HEAD_TIMEOUT", 0.5)
    with Store("sqlite:///" + str(tmp_path / "s.sqlite")) as store, Server(store, port=0) as server:
        parts = urllib.parse.urlsplit(server.url)
        silent = socket.create_connection((parts.hostname, parts.port))
        slow = socket.create_connection((parts.hostname, parts.port))
        slow.sendall(b"GET /api/v1/runs HTTP/1.1\r\n")
        for sock in (silent, slow):
            sock.settimeout(5)
            assert sock.recv(100) == b""  # closed by the server
            sock.close()


def test_a_store_that_changes_while_a_client_browses(store_url):
    with Store(store_url) as store:
        run = build_run(["t1"], ["a"])
        key = store.store_tree(run)["key"]
        client = HTTPClient
        with Server(store, port=0) as server, client(server.url, run=key) as http:
            assert http.get_section(["t2"]) is None
            run.add_task(id="t2", seq_num=9).start()
            store.store_tree(run)
            assert http.get_section(["t2"])["id"] == "t2"
            # The first task goes: the first page of what changed says so.
            store.import_text(run.dump_json().replace('"t1"', '"t0"'))
            changed = json.loads(request(server, "GET", "/api/v1/runs/%d/changed?since=2&limit=1"
                                         % key)[2])
            assert changed["removed"] == [["t1"]] and changed["next"]
            assert "removed" not in json.loads(request(
                server, "GET", "/api/v1/runs/%d/changed?since=2&cursor=%s" % (key, changed["next"]))[2])
            with pytest.raises(ReportServerError, match="404"):
                HTTPClient(server.url, run=key + 1).get_runsheaf()


def vexa(*args, env=None):
    return subprocess.Popen([sys.executable, "-m", "vexa.cli", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)


@pytest.fixture
def env(tmp_path):
    environ = dict(os.environ)
    environ["VEXA_STORE"] = "sqlite:///" + str(tmp_path / "cli.sqlite")
    environ.pop("VEXA_TOKEN", None)
    return environ


@pytest.mark.parametrize("args, message", [
    (["--port", "99999"], "port 99999 is outside 0-65535"),
    (["--port", "-1"], "port -1 is outside 0-65535"),
    (["--host", "0.0.0.0", "--port", "0"], "needs a token"),
    (["--port", "0", "missing.json"], "missing.json: No such file"),
    (["--port", "0", "--logs", "/nonexistent"], "logs folder /nonexistent"),
])
def test_serve_refuses_to_start_with_one_line(env, args, message):
    process = vexa("serve", *args, env=env)
    out, err = process.communicate(timeout=60)
    assert process.returncode == 2 and message in err and len(err.splitlines()) == 1


def test_serve_refuses_a_busy_port(env):
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen()
    port = busy.getsockname()[1]
    process = vexa("serve", "--port", str(port), env=env)
    out, err = process.communicate(timeout=60)
    busy.close()
    assert process.returncode == 2 and "port %d: the port is in use" % port in err


def started(process):
    line = process.stdout.readline()
    assert line.startswith("serving "), process.stderr.read()
    return line.split(" at ")[1].strip()


def test_a_token_guards_a_server_beyond_loopback(tmp_path, env):
    token = "t0ken-" + "x" * 20
    (tmp_path / "token").write_text(token + "\n")
    process = vexa("serve", "--host", "0.0.0.0", "--port", "0", "--token-file",
                   str(tmp_path / "token"), env=env)
    try:
        url = started(process)
        port = urllib.parse.urlsplit(url).port
        server = type("S", (), {"url": "http://127.0.0.1:%d/" % port})
        assert request(server, "GET", "/api/v1/runs")[0] == 401
        assert request(server, "GET", "/api/v1/runs", {"Authorization": "Bearer wrong"})[0] == 401
        assert request(server, "GET", "/api/v1/runs", {"Authorization": "Bearer " + token})[0] == 200
        assert request(server, "GET", "/signin")[0] == 200
        assert request(server, "GET", "/")[0] == 303  # the viewer: to the sign-in page first
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("POST", "/signin", body="token=" + urllib.parse.quote(token),
                     headers={"Content-Type": "application/x-www-form-urlencoded"})
        response = conn.getresponse()
        response.read()
        cookie = response.getheader("set-cookie")
        assert response.status == 303
        assert "httponly" in cookie.lower() and "samesite=strict" in cookie.lower()
        assert request(server, "GET", "/api/v1/runs", {"Cookie": cookie.split(";")[0]})[0] == 200
    finally:
        process.terminate()
        process.wait()


def test_clients_that_hang_up_cost_no_traceback(tmp_path, env):
    path = tmp_path / "big.json"
    path.write_text(build_run(["t"], ["s%d" % n for n in range(3000)]).dump_json())
    process = vexa("serve", str(path), "--port", "0", env=env)
    try:
        url = urllib.parse.urlsplit(started(process))
        for _ in range(30):
            sock = socket.create_connection((url.hostname, url.port))
            sock.sendall(b"GET /section?id_list=%5B%22t%22%5D HTTP/1.1\r\nHost: x\r\n\r\n")
            sock.close()
        sock = socket.create_connection((url.hostname, url.port))
        sock.sendall(b"\x16\x03\x01 not http\r\n\r\n")
        assert b"400" in sock.recv(200)
        sock.close()
        time.sleep(0.5)
    finally:
        process.terminate()
        _, err = process.communicate(timeout=30)
    assert "Traceback" not in err and err == ""


def test_a_results_file_that_grows_is_followed(tmp_path, monkeypatch):
    monkeypatch.setattr(server_run, "WATCH_EVERY", 0.05)
    run = build_run(["t1"], ["a"])
    path = tmp_path / "results.json"
    path.write_text(run.dump_json())
    with Store("sqlite:///" + str(tmp_path / "s.sqlite")) as store, \
            Server(store, files=[str(path)], port=0) as server, HTTPClient(server.url) as http:
        assert http.get_section(["t2"]) is None
        run.add_task(id="t2", seq_num=9).start()
        path.write_text(run.dump_json()[:100])        # caught half written: kept as it was
        time.sleep(0.3)
        assert http.get_runsheaf()["tasks"] == ["t1", "monitor"]
        path.write_text(run.dump_json())
        deadline = time.monotonic() + 20
        while http.get_section(["t2"]) is None:
            assert time.monotonic() < deadline, "the new task never appeared"
            time.sleep(0.05)
        assert store.run(1)["generation"] == 2 and len(store.runs()[0]) == 1


def test_tls_by_certificate_and_key(tmp_path):
    import ssl
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                           "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                          capture_output=True)
    if made.returncode != 0:
        pytest.skip("openssl cannot make a certificate here")
    with Store("sqlite:///" + str(tmp_path / "s.sqlite")) as store, \
            Server(store, port=0, certfile=str(cert), keyfile=str(key)) as server:
        assert server.url.startswith("https://")
        parts = urllib.parse.urlsplit(server.url)
        context = ssl.create_default_context(cafile=str(cert))
        conn = http.client.HTTPSConnection(parts.hostname, parts.port, context=context, timeout=10)
        conn.request("GET", "/api/v1/runs")
        assert json.loads(conn.getresponse().read()) == {"runs": [], "next": None}
        conn.close()
