"""Explorer: one fetch per node reached, fields read from the fetched dict."""

import gc
import subprocess
import sys
import weakref

import pytest

from vexa.reporter.explorer import Explorer


class RecordingClient:
    """A report server in a dict: path tuple -> node dict; logs every call."""

    def __init__(self, nodes):
        self.nodes = nodes
        self.calls = []

    def get_runsheaf(self):
        self.calls.append(("get_runsheaf",))
        return self.nodes.get(())

    def get_section(self, id_list):
        self.calls.append(("get_section", id_list))
        return self.nodes.get(tuple(map(str, id_list)))


def report():
    return RecordingClient({
        (): {"id": "run", "name": "nightly", "tasks": ["T1", "T2"]},
        ("T1",): {"id": "T1", "sections": []},
        ("T2",): {"id": "T2", "result": "passed", "sections": ["S1", "S2", "S3"]},
        ("T2", "S1"): {"id": "S1", "sections": ["x"]},
        ("T2", "S2"): {"id": "S2"},
        ("T2", "S3"): {},
    })


class TestFetching:
    @pytest.mark.parametrize("path", [None, [], ()])
    def test_the_run_is_fetched_once_for_an_empty_path(self, path):
        client = report()
        run = Explorer(client, path)
        assert client.calls == [("get_runsheaf",)]
        assert run._id_list == [] and run._client is client

    def test_a_path_is_passed_as_given_by_keyword(self):
        client = report()
        path = ["T2"]
        task = Explorer(client=client, id_list=path)
        assert client.calls == [("get_section", path)]
        assert client.calls[0][1] is path and task._id_list is path

    def test_children_are_fetched_only_when_indexed_and_at_every_access(self):
        client = report()
        run = Explorer(client)
        assert len(run.tasks) == 2 and run.tasks == ["T1", "T2"]
        assert client.calls == [("get_runsheaf",)]
        assert run.tasks[1].sections[0].id == "S1"
        assert run.tasks[-1].id == "T2"
        assert client.calls[1:] == [("get_section", ["T2"]), ("get_section", ["T2", "S1"]),
                                    ("get_section", ["T2"])]
        assert run._id_list == []

    def test_iteration_fetches_one_child_per_step(self):
        client = report()
        task = Explorer(client, ["T2"])
        children = iter(task.sections)
        assert len(client.calls) == 1
        assert next(children).id == "S1"
        assert client.calls[1:] == [("get_section", ["T2", "S1"])]
        assert [s.id for s in children] == ["S2", None]
        assert [c[1] for c in client.calls[2:]] == [["T2", "S2"], ["T2", "S3"]]

    def test_iteration_takes_the_length_when_it_starts(self):
        client = report()
        task = Explorer(client, ["T2"])
        children = iter(task.sections)
        ids = task._obj["sections"]
        assert next(children).id == "S1"
        ids.append("S4")  # not visited: the length was taken at the first step
        assert len(list(children)) == 2

    def test_an_empty_child_list_iterates_to_nothing(self):
        client = report()
        task = Explorer(client, ["T1"])
        assert len(task.sections) == 0 and task.sections == [] and list(task.sections) == []
        assert len(client.calls) == 1

    def test_fields_never_fetch(self):
        client = report()
        run = Explorer(client)
        assert (run.name, run["name"], run.nothing, run["nothing"]) == ("nightly", "nightly", None, None)
        assert hasattr(run, "anything")
        assert len(client.calls) == 1

    def test_client_errors_pass_through(self):
        class Failing:
            def get_section(self, id_list):
                raise ConnectionError("down")

        with pytest.raises(ConnectionError):
            Explorer(Failing(), ["T1"])
        with pytest.raises(AttributeError, match="get_runsheaf"):
            Explorer(object())
        with pytest.raises(AttributeError, match="get_runsheaf"):
            Explorer(None)


class TestNodes:
    def test_a_node_without_children_reads_them_as_none(self):
        node = Explorer(report(), ["T2", "S2"])
        assert node.tasks is None and node.sections is None
        assert "sections" not in vars(node)

    def test_a_missing_node_is_false(self):
        node = Explorer(report(), ["T9"])
        assert not node
        with pytest.raises(AttributeError):
            node.name
        assert not Explorer(report(), ["T2", "S3"])  # an empty mapping

    def test_an_explorer_cannot_be_iterated(self):
        run = Explorer(report())
        with pytest.raises(TypeError):
            iter(run)
        with pytest.raises(TypeError):
            "T1" in run

    def test_an_unfinished_explorer_does_not_recurse(self):
        half = Explorer.__new__(Explorer)
        with pytest.raises(AttributeError, match="_obj"):
            half._obj
        with pytest.raises(AttributeError, match="_obj"):
            half.name
        assert not half

    def test_a_child_list_that_is_not_a_sequence_fails_at_first_use(self):
        node = Explorer(RecordingClient({(): {"tasks": 7}}))
        with pytest.raises(TypeError):
            len(node.tasks)
        with pytest.raises(TypeError):
            list(node.tasks)


class TestSections:
    def test_equality_and_hash(self):
        run = Explorer(report())
        other = Explorer(report())
        assert run.tasks == other.tasks and run.tasks == ["T1", "T2"]
        assert run.tasks != ["T1"] and not (run.tasks != ["T1", "T2"])
        assert run.tasks != None and run[None] is None  # noqa: E711
        with pytest.raises(TypeError, match="unhashable"):
            hash(run.tasks)

    def test_membership_compares_explorers_not_ids(self):
        client = report()
        run = Explorer(client)
        assert "T1" not in run.tasks
        assert len(client.calls) == 3

    def test_a_slice_becomes_one_path_element(self):
        client = report()
        child = Explorer(client).tasks[0:2]
        assert client.calls[-1] == ("get_section", [["T1", "T2"]])
        assert not child


def test_explorers_free_what_they_hold():
    client = report()
    ref = weakref.ref(client)
    run = Explorer(client)
    for task in run.tasks:
        list(task.sections or [])
    children = iter(run.tasks)
    next(children)
    del client, run, task, children
    gc.collect()
    assert ref() is None


def test_a_reimported_module_is_a_module_of_its_own():
    code = """if True:
        import sys
        import vexa.reporter.explorer as first
        del sys.modules["vexa.reporter.explorer"]
        import vexa.reporter.explorer as second

        class Client:
            def get_runsheaf(self):
                return {"tasks": ["t"]}

            def get_section(self, id_list):
                return {"id": id_list[-1]}

        for module in (first, second):
            run = module.Explorer(Client())
            assert type(run.tasks) is module.ExplorerSections
            assert type(run.tasks[0]) is module.Explorer and run.tasks[0].id == "t"
        assert first.Explorer is not second.Explorer
        """
    subprocess.run([sys.executable, "-c", code], check=True)
