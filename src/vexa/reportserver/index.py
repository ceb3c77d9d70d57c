"""Finding nodes by their id path, in a report tree or a results document.

Each parent's children are indexed by id the first time a path goes through
it, so every step of a lookup costs the same whatever the number of
siblings. When two siblings share an id, the first one is found.
"""

import json


class ChildIndex:
    """The children of one parent by id. `lookup(children, child_id)`
    brings the index up to date with `children` first: children are only
    ever appended, so only the new ones are indexed; any other change of
    the list rebuilds the index."""

    __slots__ = ("_children", "_count", "_by_id", "_unhashable", "_id_of")

    def __init__(self, id_of):
        self._id_of = id_of
        self._children = None
        self._count = 0
        self._by_id = {}
        self._unhashable = []  # (id, child) for ids that cannot be dict keys

    def lookup(self, children, child_id):
        if children is not self._children or len(children) < self._count:
            self._children, self._count = children, 0
            self._by_id, self._unhashable = {}, []
        if len(children) > self._count:
            for child in children[self._count:]:
                cid = self._id_of(child)
                try:
                    self._by_id.setdefault(cid, child)
                except TypeError:
                    self._unhashable.append((cid, child))
            self._count = len(children)
        try:
            return self._by_id.get(child_id)
        except TypeError:  # an unhashable id can only equal another one
            for cid, child in self._unhashable:
                if cid == child_id:
                    return child
            return None


class DocumentIndex:
    """The nodes of a results document (the mapping under its "report")."""

    def __init__(self, report):
        if not isinstance(report, dict):
            raise ValueError("not a results document: the report is not an object")
        self.report = report
        self._indexes = {}  # id(node) -> ChildIndex; the document keeps the nodes alive

    @classmethod
    def from_file(cls, path):
        with open(path, encoding="utf-8") as f:
            document = json.load(f)
        if not isinstance(document, dict):
            raise ValueError("not a results document: %s" % path)
        return cls(document.get("report"))

    def find(self, id_list):
        node = self.report
        for child_id in id_list:
            children = node.get(children_key(node))
            if not isinstance(children, list):
                return None
            index = self._indexes.get(id(node))
            if index is None:
                index = self._indexes[id(node)] = ChildIndex(_mapping_id)
            node = index.lookup(children, child_id)
            if not isinstance(node, dict):  # none, or not a node at all
                return None
        return node


def _mapping_id(child):
    return child.get("id") if isinstance(child, dict) else _NOT_A_NODE


_NOT_A_NODE = object()  # the id of a child that is no mapping: equal to no id


def children_key(node):
    """Where a node mapping keeps its children: the run its tasks."""
    return "tasks" if "tasks" in node or "totaltasks" in node else "sections"


def flat_dict(node):
    """A node mapping of a results document in the flat dictionary form:
    the children as a list of their ids. The containers that the document
    leaves out when empty are put back, so that a node without children
    still shows an empty list of them."""
    flat = dict(node)
    key = children_key(node)
    children = node.get(key, [])
    if isinstance(children, list):
        children = [c.get("id") if isinstance(c, dict) else None for c in children]
    flat[key] = children
    flat.setdefault("details", [])
    flat.setdefault("extra", {})
    return flat
