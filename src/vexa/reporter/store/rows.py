"""A results document as store rows, one per node, read as a stream of events.

The events are those of a streaming JSON parser (`start_map`, `map_key`,
`string`, ...). A node's own fields are built as plain values; its children
(under "tasks" or "sections") are not kept: each child becomes a row of its
own as soon as its mapping ends, so memory holds one path of the tree, never
the tree.
"""

import datetime
import json

from vexa.reporter.store.sql import KIND_NODE, KIND_PLUGIN, KIND_TESTCASE

CHILD_KEYS = ("tasks", "sections")
_SCALARS = frozenset(("string", "number", "boolean", "null"))
_OPEN = frozenset(("start_map", "start_array"))
_CLOSE = frozenset(("end_map", "end_array"))


class NotAResultsDocument(ValueError):
    pass


# ASCII JSON: lone surrogates and NUL survive any database as escapes.
to_json = json.JSONEncoder(ensure_ascii=True, separators=(",", ":"), check_circular=False).encode
_sorted_json = json.JSONEncoder(ensure_ascii=True, separators=(",", ":"), sort_keys=True).encode


def id_key(value):
    """The id as the canonical JSON text that lookups compare. A number
    written 2.0 is the id 2; a string "2" stays a string."""
    kind = type(value)
    if kind is str or kind is int:
        return to_json(value)
    if kind is float and value.is_integer():
        value = int(value)
    return _sorted_json(value)


def search_text(idlist):
    """The path as lower-case text for search; characters no database can
    hold as text (lone surrogates, NUL) become U+FFFD here only."""
    text = "/".join([p if type(p) is str else id_key(p) for p in idlist])
    if not text.isascii():
        text = text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    return text.replace("\0", "\ufffd").lower()


def utc_text(value):
    """A time as written ("2026-12-08 23:50:01.5+01:00") as a UTC instant in a
    fixed-width text that sorts; None for anything that is not such a time.
    A time without an offset is taken as UTC."""
    if type(value) is not str:
        return None
    if len(value) == 32 and value.endswith("+00:00") and value[10] == " ":
        return value[:26]  # what the package writes for UTC
    try:
        moment = datetime.datetime.fromisoformat(value)
    except ValueError:
        return None
    if moment.tzinfo is not None:
        try:
            moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
        except OverflowError:
            return None
    return moment.isoformat(sep=" ", timespec="microseconds")


def result_text(value):
    """A node's result as lower-case text: {"value": "Passed"} -> "passed"."""
    if isinstance(value, dict):
        value = value.get("value")
    if value is None or isinstance(value, (dict, list)):
        return None
    return str(value).lower()


def _build(event, value, next_event):
    """The value that starts with this event, read to its end."""
    if event in _SCALARS:
        return value
    top = {} if event == "start_map" else []
    current, key, stack = top, None, []
    while True:
        event, value = next_event()
        if event == "map_key":
            key = value
        elif event in _OPEN:
            new = {} if event == "start_map" else []
            if type(current) is dict:
                current[key] = new
            else:
                current.append(new)
            stack.append((current, key))
            current = new
        elif event in _CLOSE:
            if not stack:
                return top
            current, key = stack.pop()
        elif type(current) is dict:
            current[key] = value
        else:
            current.append(value)


class _Frame:
    __slots__ = ("fields", "seq", "parent", "pos", "depth", "idlist", "children", "plugin",
                 "child_key", "child_ids")

    def __init__(self, seq, parent, pos, depth, idlist):
        self.fields = {}
        self.seq, self.parent, self.pos, self.depth, self.idlist = seq, parent, pos, depth, idlist
        self.children = 0
        self.plugin = False
        self.child_key = None
        self.child_ids = None


def _is_plugin(fields, depth):
    # Plugin runs sit among a run's tasks or a task's sections; their fields
    # tell them apart there (tasks never have logs, sections never a summary).
    if fields.get("type") == "Plugin":
        return True
    if depth == 1:
        return "logs" in fields
    if depth == 2:
        return "summary" in fields or "logfile" in fields
    return False


class DocumentRows:
    """Rows of the nodes of one results document, from its parse events.

    `rows()` yields, for every node in the order its mapping ends (children
    before their parent, the run last), the tuple
    (seq, parent, pos, depth, id_key, idlist, search, type, result, kind,
     start, start_utc, stop, stop_utc, runtime, children, fields).
    `run` holds the run's fields read so far (all of them once `rows()` is
    exhausted), without its children."""

    def __init__(self, events):
        self._next = iter(events).__next__
        self.run = None
        self.nodes = 0

    def rows(self):
        next_event = self._next
        try:
            event, _ = next_event()
            if event != "start_map":
                raise NotAResultsDocument("not a results document: not a JSON object")
            found = False
            while True:
                event, key = next_event()
                if event == "end_map":
                    break
                event, value = next_event()
                if key == "report" and event == "start_map" and not found:
                    found = True
                    yield from self._tree(next_event)
                else:
                    _build(event, value, next_event)
        except StopIteration:
            raise NotAResultsDocument("not a results document: the text ends early") from None
        if not found:
            raise NotAResultsDocument('not a results document: no "report" object')

    def _tree(self, next_event):
        frame = _Frame(0, -1, 0, 0, [])
        self.run = frame.fields
        stack = []
        seq = 0
        fields = frame.fields
        while True:
            event, value = next_event()
            if event == "map_key":
                event, child = next_event()
                if event in _SCALARS:
                    fields[value] = child
                    continue
                if event != "start_array" or value not in CHILD_KEYS:
                    fields[value] = _build(event, child, next_event)
                    continue
                fields[value] = None  # keeps the key's place among the fields
                if frame.child_key is None:
                    frame.child_key, frame.child_ids = value, []
                event, child = next_event()
                if event == "end_array":
                    fields[value] = []
                    continue
            elif event == "end_map":
                row = self._row(frame, stack[-1] if stack else None)
                row_id = fields.get("id")
                self.nodes += 1
                yield row
                if not stack:
                    return
                frame = stack.pop()
                fields = frame.fields
                frame.child_ids.append(row_id)
                event, child = next_event()
                if event == "end_array":
                    continue
            else:
                raise NotAResultsDocument("not a results document: a node holds %s" % event)
            # Inside a list of children, at the start of the next child.
            if event != "start_map":
                raise NotAResultsDocument("not a results document: a child of node %s "
                                          "is not an object" % to_json(frame.idlist))
            seq += 1
            if frame.idlist is None:
                # The id comes before the children in every node the package
                # writes; the path is settled when the first child starts.
                frame.idlist = stack[-1].idlist + [fields.get("id")]
            if frame.depth == 0 or frame.depth == 1:
                frame.plugin = _is_plugin(fields, frame.depth)
            stack.append(frame)
            frame = _Frame(seq, frame.seq, frame.children, frame.depth + 1, None)
            fields = frame.fields
            stack[-1].children += 1

    def _row(self, frame, parent):
        fields = frame.fields
        if frame.child_key is not None:
            # The flat form: children as the list of their ids (a second list
            # of children, which no writer makes, is kept as its ids too).
            for key in CHILD_KEYS:
                if key in fields and fields[key] is None:
                    fields[key] = frame.child_ids
        node_id = fields.get("id")
        idlist = frame.idlist
        if idlist is None:
            idlist = parent.idlist + [node_id]
        depth = frame.depth
        result = result_text(fields.get("result"))
        kind = KIND_NODE
        if result is not None and depth in (1, 2):
            if _is_plugin(fields, depth):
                kind = KIND_PLUGIN
            elif depth == 2 and not parent.plugin:
                kind = KIND_TESTCASE
        start, stop = fields.get("starttime"), fields.get("stoptime")
        runtime = fields.get("runtime")
        if type(runtime) is not float:
            runtime = float(runtime) if type(runtime) is int else None
        node_type = fields.get("type")
        return (frame.seq, frame.parent, frame.pos, depth, id_key(node_id), to_json(idlist),
                search_text(idlist), node_type if isinstance(node_type, str) else None,
                result, kind,
                start if isinstance(start, str) else None, utc_text(start),
                stop if isinstance(stop, str) else None, utc_text(stop),
                runtime, frame.children, to_json(fields))


def object_events(value):
    """Parse events for a value already in memory (a YAML document), so that
    it goes through the same reader as a streamed JSON file."""
    stack, ends = [iter((value,))], []
    while stack:
        item = next(stack[-1], _END)
        if item is _END:
            stack.pop()
            if ends:
                yield ends.pop(), None
            continue
        if type(item) is _Pair:
            yield "map_key", item.key
            item = item.value
        if isinstance(item, dict):
            yield "start_map", None
            stack.append(_Pair(str(k), v) for k, v in item.items())
            ends.append("end_map")
        elif isinstance(item, (list, tuple)):
            yield "start_array", None
            stack.append(iter(item))
            ends.append("end_array")
        elif item is None:
            yield "null", None
        elif isinstance(item, bool):
            yield "boolean", item
        elif isinstance(item, (int, float)):
            yield "number", item
        else:  # str, and the YAML loader's dates and times as JSON writes them
            yield "string", str(item)


class _Pair:
    __slots__ = ("key", "value")

    def __init__(self, key, value):
        self.key, self.value = key, value


_END = object()
