"""Walking a parsed results document node by node.

The report tree of a results document has four kinds of node: the run, its
tasks and run-level plugin runs (in the run's "tasks"), and sections at any
depth and task-level plugin runs (in "sections"). The document does not say
a node's kind, since `type` is free text; it follows from where the node is
and which fields it has: a plugin run never has "health_summary", which
sections and tasks always have, and a task alone has "pluginsummary".

`walk` yields one `NodeRecord` per node in tree pre-order. Its first four
fields (idlist, type, result, runtime) are what `compare.compare` needs, so
records from here and rows from a database feed the same comparison.

A node's idlist is the ids from its task (or run-level plugin run) down to
it, each with its JSON type (1 and "1" differ); the run's own is its id
alone. It is taken from the tree, not from the node's own "idlist" field,
except at the top of the document, where the field says where the dumped
subtree lies in its run.
"""

import collections
import json
import math

__all__ = ["NodeRecord", "RUN", "TASK", "PLUGIN", "SECTION", "GOOD_RESULTS",
           "child_kind", "format_path", "is_testcase", "node_reason", "node_result", "node_runtime",
           "root_kind", "walk"]

RUN, TASK, PLUGIN, SECTION = "run", "task", "plugin", "section"

# Results that count as success everywhere (diff, summary).
GOOD_RESULTS = frozenset({"passed", "passx"})

_TYPE_KINDS = {"Runsheaf": RUN, "Task": TASK, "Plugin": PLUGIN}


class NodeRecord(collections.namedtuple(
        "NodeRecord", "idlist type result runtime kind testcase reason node parent depth")):
    """One node of a walk. `result` is lower-case text or None, `runtime` a
    finite float or None, `testcase` whether a task's summary counts it,
    `node` and `parent` the parsed dictionaries, `depth` 0 at the top."""

    __slots__ = ()

    @property
    def path(self):
        return format_path(self.idlist)


def root_kind(node):
    """The kind of the node at the top of a document."""
    node_type = node.get("type")
    kind = _TYPE_KINDS.get(node_type) if isinstance(node_type, str) else None
    if kind is not None:
        return kind
    if "totaltasks" in node or "tasks" in node:
        return RUN
    if "pluginsummary" in node:
        return TASK
    return SECTION if "health_summary" in node else PLUGIN


def child_kind(parent_kind, node):
    """The kind of `node`, a child of a node of kind `parent_kind`. Its
    fields decide, not its free-text type: a section typed "Plugin" is still
    a section, which its task's summary counts."""
    if parent_kind == RUN:
        return TASK if "pluginsummary" in node or "health_summary" in node else PLUGIN
    if parent_kind == TASK:
        return SECTION if "health_summary" in node else PLUGIN
    return SECTION


def node_result(node):
    """A node's result as lower-case text, or None when it has none."""
    result = node.get("result")
    if isinstance(result, dict):
        value = result.get("value")
        if isinstance(value, str) and value:
            return value.lower()
    return None


def node_reason(node):
    result = node.get("result")
    if isinstance(result, dict):
        reason = result.get("reason")
        if isinstance(reason, str):
            return reason
        if reason is not None:
            return json.dumps(reason, default=str)
    return None


def node_runtime(node):
    value = node.get("runtime")
    if type(value) is float:
        return value if math.isfinite(value) else None
    if type(value) is int:
        return float(value)
    return None


def is_testcase(node, parent, parent_kind=None):
    """Whether a task's summary counts `node`: a section directly under a
    task, not a plugin run, with a result of any type."""
    if not isinstance(node, dict) or not isinstance(parent, dict):
        return False
    if parent_kind is None:
        parent_kind = root_kind(parent)
    return (parent_kind == TASK and child_kind(TASK, node) == SECTION
            and node_result(node) is not None)


def _top_idlist(node):
    idlist = node.get("idlist")
    if isinstance(idlist, list) and idlist and all(_is_id(i) for i in idlist):
        return tuple(idlist)
    return (node.get("id"),)


def _is_id(value):
    return isinstance(value, (str, int)) and not isinstance(value, bool)


def walk(report):
    """Yield a `NodeRecord` for `report` (the document's "report" object) and
    every node below it, in pre-order. Children that are not objects are
    skipped; depth is no limit."""
    if not isinstance(report, dict):
        return
    # The hot loop of every command: field reads inlined, records made
    # without the named tuple's Python-level constructor.
    make = tuple.__new__
    record_type = NodeRecord
    isfinite = math.isfinite
    stack = [(report, None, root_kind(report), None, _top_idlist(report), 0)]
    pop, push = stack.pop, stack.append
    while stack:
        node, parent, kind, parent_kind, idlist, depth = pop()
        get = node.get
        result = get("result")
        reason = None
        if result.__class__ is dict:
            reason = result.get("reason")
            if reason is not None and reason.__class__ is not str:
                reason = json.dumps(reason, default=str)
            result = result.get("value")
            result = result.lower() if result.__class__ is str and result else None
        else:
            result = None
        runtime = get("runtime")
        if runtime.__class__ is float:
            if not isfinite(runtime):
                runtime = None
        elif runtime.__class__ is int:
            runtime = float(runtime)
        else:
            runtime = None
        yield make(record_type, (
            idlist, get("type"), result, runtime, kind,
            parent_kind == TASK and kind == SECTION and result is not None,
            reason, node, parent, depth))
        if kind == RUN:
            children, base = get("tasks"), ()  # the run's id is in no idlist
        else:
            children, base = get("sections"), idlist
        if children.__class__ is not list or not children:
            continue
        depth += 1
        if kind == SECTION or kind == PLUGIN:
            for child in reversed(children):
                if child.__class__ is dict:
                    push((child, node, SECTION, kind, base + (child.get("id"),), depth))
        else:
            for child in reversed(children):
                if isinstance(child, dict):
                    push((child, node, child_kind(kind, child), kind,
                          base + (child.get("id"),), depth))


def _id_text(value):
    if isinstance(value, str):
        if value and value == value.strip() and value.isprintable() and " > " not in value \
                and not _looks_like_number(value):
            return value
        return json.dumps(value)
    if _is_id(value):
        return str(value)
    if value is None:  # no id
        return "?"
    return json.dumps(value, default=repr)


def _looks_like_number(text):
    try:
        float(text)
    except ValueError:
        return text in ("null", "true", "false")
    return True


def format_path(idlist, longest=12):
    """'routing > tc2 > test' for a node's idlist. A text id that could be
    mistaken (empty, a number, with blanks at its ends or ' > ' in it) is
    shown quoted; a path of more than `longest` ids shows its ends only."""
    if len(idlist) > longest:
        half = longest // 2
        return " > ".join([*map(_id_text, idlist[:half]), "... %d more" % (len(idlist) - 2 * half),
                           *map(_id_text, idlist[-half:])])
    return " > ".join(_id_text(i) for i in idlist)
