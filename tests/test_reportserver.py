"""Report-server clients: the same report browsed in process, from its
results file, and over HTTP from a server on the loopback interface."""

import http.client
import json
import os
import re
import socket
import subprocess
import sys

import pytest

from vexa.reporter.explorer import Explorer
from vexa.reporter.runsheaf import Runsheaf
from vexa.reportserver import (HTTPClient, ReportServer, ReportServerError,
                               ResultsFileClient, TreeClient)
from vexa.reportserver.index import ChildIndex
from vexa.results import Failed, Passed


def job():
    run = Runsheaf(id="job", seq_num=0)
    run.start(host="lab")
    task = run.add_task(id="t1", seq_num=1)
    task.start(testscript="/s/a.py")
    tc = task.add_section(id="tc1", seq_num=2, type="Testcase")
    tc.start()
    for n, result in ((1, Passed), (2, Failed)):
        tc.add_section(id=n, seq_num=10 + n, type="Step").stop(result=result)
    tc.stop()
    task.add_plugin(id="p", seq_num=3).stop()
    task.stop()
    run.add_task(id="t2", seq_num=4).stop()
    run.add_plugin(id="monitor", seq_num=5).start()
    run.stop(num_tasks=2)
    # No node is named as its id: a client or the flat form that took one
    # for the other would lose its way.
    nodes = [run]
    for node in nodes:
        node.name = "name of %s" % (node.id,)
        nodes.extend(node.tasks if node is run else node.sections)
    return run


def outline(node):
    """(id, type, result value, children) of every node below `node`."""
    result = node.result
    value = getattr(result, "value", None) or (result or {}).get("value")
    children = node.tasks if node.tasks is not None else node.sections
    assert node.name == "name of %s" % (node.id,)
    return (node.id, node.type, value, [outline(child) for child in children])


EXPECTED = ("job", "Runsheaf", "failed", [
    ("t1", "Task", "failed", [
        ("tc1", "Testcase", "failed", [(1, "Step", "passed", []), (2, "Step", "failed", [])]),
        ("p", "Plugin", "passed", [])]),
    ("t2", "Task", None, []),
    ("monitor", "Plugin", None, [])])


@pytest.fixture(scope="module")
def results_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "results.json"
    path.write_text(job().dump_json())
    return str(path)


@pytest.fixture(scope="module")
def server(results_file):
    with ReportServer(results_file) as server:
        yield server


def test_tree_client(results_file):
    assert outline(Explorer(TreeClient(job()))) == EXPECTED


def test_results_file_client(results_file):
    assert outline(Explorer(ResultsFileClient(results_file))) == EXPECTED


def test_http_client(server):
    assert server.url.startswith("http://127.0.0.1:")
    with HTTPClient(server.url) as client:
        assert outline(Explorer(client)) == EXPECTED


def test_the_flat_form_of_a_node():
    client = TreeClient(job())
    step = client.get_section(id_list=["t1", "tc1", 2])
    assert step == client.find(["t1", "tc1", 2]).to_dict()
    assert client.get_runsheaf()["tasks"] == ["t1", "t2", "monitor"]


def test_file_nodes_come_with_their_empty_containers(results_file):
    node = ResultsFileClient(results_file).get_section(id_list=["t2"])
    assert (node["sections"], node["details"], node["extra"]) == ([], [], {})


@pytest.mark.parametrize("path", [["t9"], ["t1", "tc1", 3], ["t1", "tc1", "1"], ["t1", "p", "x"],
                                  ["t2", "nothing", "deeper"]])
def test_an_unknown_path_is_none_everywhere(results_file, server, path):
    with HTTPClient(server.url) as http_client:
        for client in (TreeClient(job()), ResultsFileClient(results_file), http_client):
            assert client.get_section(id_list=path) is None
            assert not Explorer(client, path)


def test_a_malformed_file_answers_none(tmp_path):
    path = tmp_path / "odd.json"
    path.write_text(json.dumps({"report": {"tasks": [3, {"id": "t", "sections": {"id": "x"}}]}}))
    client = ResultsFileClient(str(path))
    assert client.get_runsheaf()["tasks"] == [None, "t"]
    for id_list in ([None], [3], ["t", "x"], [None, "x"]):
        assert client.get_section(id_list=id_list) is None


def test_a_growing_tree_is_followed():
    run = job()
    client = TreeClient(run)
    assert client.get_section(id_list=["t3"]) is None
    run.add_task(id="t3", seq_num=6)
    assert client.get_section(id_list=["t3"])["id"] == "t3"
    run.tasks[:] = run.tasks[1:]  # rebuilt when the list changes otherwise
    assert client.get_section(id_list=["t1"]) is None


def test_siblings_are_indexed_once():
    reads = []
    children = [{"id": n} for n in range(1000)]
    index = ChildIndex(lambda child: reads.append(child) or child["id"])
    for n in range(1000):
        assert index.lookup(children, n) is children[n]
    assert len(reads) == 1000
    children.append({"id": "new"})
    assert index.lookup(children, "new") is children[-1] and len(reads) == 1001


def test_the_first_of_two_siblings_with_one_id_is_found():
    children = [{"id": "a", "n": 1}, {"id": "a", "n": 2}]
    assert ChildIndex(lambda c: c["id"]).lookup(children, "a")["n"] == 1


def test_the_server_answers_bad_requests_plainly(server):
    host, port = server.url[len("http://"):].rstrip("/").split(":")
    connection = http.client.HTTPConnection(host, int(port))
    for target, status in (("/section?id_list=nope", 400), ("/section", 400), ("/other", 404)):
        connection.request("GET", target)
        response = connection.getresponse()
        response.read()
        assert response.status == status
    connection.close()
    with pytest.raises(ReportServerError, match="404"):
        HTTPClient(server.url + "elsewhere/").get_runsheaf()


def test_the_server_listens_on_loopback_only(results_file):
    with pytest.raises(ValueError, match="loopback"):
        ReportServer(results_file, host="0.0.0.0")


def test_the_server_from_the_command_line(results_file):
    process = subprocess.Popen(
        [sys.executable, "-m", "vexa.reportserver", results_file, "--port", "0"],
        stdout=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        line = process.stdout.readline()
        assert line.startswith("serving ")
        with HTTPClient(line.split(" at ")[1].strip()) as client:
            assert outline(Explorer(client)) == EXPECTED
    finally:
        process.terminate()
        process.wait(timeout=10)


@pytest.mark.parametrize("make_client", ["tree", "file", "http"])
@pytest.mark.parametrize("id_list, element", [([["t1"]], "['t1']"), (["t1", ("tc1",)], "('tc1',)"),
                                              (["t1", {"id": 1}], "{'id': 1}")])
def test_a_path_element_that_is_no_id_is_a_type_error(make_client, id_list, element,
                                                      results_file, server):
    client = {"tree": lambda: TreeClient(job()), "file": lambda: ResultsFileClient(results_file),
              "http": lambda: HTTPClient(server.url)}[make_client]()
    with pytest.raises(TypeError, match="id_list element %s is not an id" % re.escape(element)):
        client.get_section(id_list=id_list)
    # the way users meet it: a slice of an explorer's children
    with pytest.raises(TypeError, match=r"\['tc1'\] is not an id"):
        Explorer(client).tasks[0].sections[0:1]


def test_an_unreachable_server_is_named():
    with socket.socket() as probe:  # a loopback port that nothing listens on
        probe.bind(("127.0.0.1", 0))
        url = "http://127.0.0.1:%d/" % probe.getsockname()[1]
    with pytest.raises(ReportServerError, match="cannot reach the report server at %s" % url):
        Explorer(HTTPClient(url))
