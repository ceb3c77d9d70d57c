"""A results document as store rows, one per node, read from a stream.

The run and its tasks are read key by key; each node below a task (a test
case with its steps, typically) is parsed whole by the standard library's C
scanner, which reads every string a results file can hold exactly (lone
surrogates included), and is then walked as a dictionary. A subtree whose
text exceeds `WHOLE_LIMIT` is read key by key like the levels above, so
memory holds at most one such subtree and one path of the tree, whatever the
size of the file.
"""

import codecs
import hashlib
import json
import re
from json.scanner import make_scanner

from vexa.reporter.store.rows import (CHILD_KEYS, NotAResultsDocument, _Frame, _is_plugin,
                                      _str_json, exact_json, id_key, search_text, to_json,
                                      utc_text)
from vexa.reporter.store.sql import KIND_NODE, KIND_PLUGIN, KIND_TESTCASE

CHUNK = 1 << 20
WHOLE_LIMIT = 8 << 20   # characters of one subtree parsed in one go
_scan = make_scanner(json.JSONDecoder())
_WS = re.compile(r"[ \t\n\r]*")


class _TooLong(Exception):
    pass


class _Text:
    """Decoded text of a binary stream, read ahead in chunks."""

    def __init__(self, raw):
        self.raw = raw
        self.decoder = codecs.getincrementaldecoder("utf-8")()
        self.digest = hashlib.sha256()
        self.buf = ""
        self.pos = 0
        self.eof = False
        self.special_floats = False  # NaN or Infinity seen: encode with the exact encoder
        self._tail = ""

    def fill(self):
        if self.eof:
            return False
        data = self.raw.read(CHUNK)
        self.digest.update(data)
        if data:
            text = self.decoder.decode(data)
        else:
            self.eof = True
            text = self.decoder.decode(b"", True)
        if not self.special_floats:
            window = self._tail + text
            self.special_floats = "NaN" in window or "Infinity" in window
            self._tail = text[-8:]
        self.buf = self.buf[self.pos:] + text if self.pos else self.buf + text
        self.pos = 0
        return True

    def peek(self):
        """The next character that is not white space."""
        while True:
            buf, pos = self.buf, self.pos
            if pos < len(buf):
                c = buf[pos]
                if c not in " \t\n\r":
                    return c
                pos = self.pos = _WS.match(buf, pos).end()
                if pos < len(buf):
                    return buf[pos]
            if not self.fill():
                raise NotAResultsDocument("not valid JSON: the text ends early")

    def expect(self, char, what):
        if self.peek() != char:
            raise NotAResultsDocument("not valid JSON: expected %s at character %d"
                                      % (what, self._offset()))
        self.pos += 1

    def _offset(self):
        return self.pos

    def value(self, limit=None):
        """The JSON value starting here, parsed whole."""
        self.peek()
        while True:
            buf, pos = self.buf, self.pos
            try:
                value, end = _scan(buf, pos)
            except StopIteration as exc:
                # Where a value was expected: the end of the text read so far
                # when the value goes on beyond it.
                where = exc.value if type(exc.value) is int else pos
                if self.eof or where < len(buf) - 16:
                    raise NotAResultsDocument("not valid JSON: expected a value at character %d"
                                              % where) from None
            except json.JSONDecodeError as exc:
                # Most likely the value goes on in the text not yet read.
                if self.eof or (exc.pos < len(buf) - 16 and not exc.msg.startswith("Unterminated")):
                    raise NotAResultsDocument("not valid JSON: %s" % exc.msg) from None
            except RecursionError:
                raise NotAResultsDocument("nested too deeply to be read") from None
            else:
                # A number cut by the end of what was read ("1." of "1.5",
                # "2e" of "2e-3") reads as its first part: read on first.
                if self.eof or end < len(buf) - 2 or (end < len(buf) and type(value) not in (int, float)):
                    self.pos = end
                    return value
            if limit is not None and len(buf) - pos > limit:
                raise _TooLong()
            self.fill()


def node_row(seq, parent, pos, depth, fields, idlist, children, parent_plugin, encode=to_json):
    """The row of one node. The common forms (a result as {"value": text},
    times in UTC as the package writes them, ids that are text) are handled
    here: this runs for every node of every import."""
    node_id = fields.get("id")
    start, stop = fields.get("starttime"), fields.get("stoptime")
    runtime = fields.get("runtime")
    if type(runtime) is not float:
        runtime = _seconds(runtime)
    node_type = fields.get("type")
    result = fields.get("result")
    if type(result) is dict:
        result = result.get("value")
    result = result.lower() if type(result) is str else _result_word(result)
    if result is None or depth > 2 or depth == 0:
        kind = KIND_NODE
    elif _is_plugin(fields, depth):
        kind = KIND_PLUGIN
    else:
        kind = KIND_TESTCASE if depth == 2 and not parent_plugin else KIND_NODE
    if type(start) is str:
        start_utc = start[:26] if len(start) == 32 and start[10] == " " and start.endswith("+00:00") \
            else utc_text(start)
    else:
        start = start_utc = None
    if type(stop) is str:
        stop_utc = stop[:26] if len(stop) == 32 and stop[10] == " " and stop.endswith("+00:00") \
            else utc_text(stop)
    else:
        stop = stop_utc = None
    return (seq, parent, pos, depth, _str_json(node_id) if type(node_id) is str else id_key(node_id),
            to_json(idlist), search_text(idlist), node_type if type(node_type) is str else None,
            result, kind, start, start_utc, stop, stop_utc, runtime, children, encode(fields))


def _seconds(value):
    if type(value) is int:
        try:
            return float(value)
        except OverflowError:  # an integer beyond any float: no runtime to sort by
            return None
    return None


def _result_word(value):
    # What result_text() makes of a result that is not text.
    if value is None or isinstance(value, (dict, list)):
        return None
    return str(value).lower()


class DocumentRows:
    """Rows of the nodes of one results document read from a binary stream.

    `rows()` yields for every node the tuple (seq, parent, pos, depth,
    id_key, idlist, search, type, result, kind, start, start_utc, stop,
    stop_utc, runtime, children, fields); `seq` numbers the nodes in tree
    order (the run is 0) whatever order the rows come in. `run` holds the
    run's fields read so far (all once `rows()` is exhausted); `digest()`
    is the SHA-256 of the text read."""

    def __init__(self, raw=None, report=None):
        self._text = _Text(raw) if raw is not None else None
        self._report = report
        self.run = {}
        self.nodes = 0
        self._seq = 0

    def _encoder(self):
        if self._text is None or self._text.special_floats:
            return exact_json
        return to_json

    def digest(self):
        return self._text.digest.hexdigest()

    def rows(self):
        if self._report is not None:  # a document already in memory
            if not isinstance(self._report, dict):
                raise NotAResultsDocument("not a results document: the report is not an object")
            self.run = {k: v for k, v in self._report.items() if k not in CHILD_KEYS}
            yield from self._whole(self._report, None, 0, 0, [])
            return
        text = self._text
        text.fill()
        if text.buf[:1] == "\ufeff":
            text.pos = 1
        if text.peek() != "{":
            raise NotAResultsDocument("not a results document: not a JSON object")
        text.pos += 1
        found = False
        while True:
            c = text.peek()
            if c == "}":
                text.pos += 1
                break
            if c == ",":
                text.pos += 1
                continue
            key = text.value()
            text.expect(":", "':'")
            if key == "report" and text.peek() == "{" and not found:
                found = True
                yield from self._by_keys(text)
            else:
                text.value()
        if not found:
            raise NotAResultsDocument('not a results document: no "report" object')

    def _by_keys(self, text):
        """The report, read key by key down to the nodes below tasks."""
        text.pos += 1  # the report's "{"
        frame = _Frame(0, -1, 0, 0, [])
        self.run = fields = frame.fields
        stack = []
        while True:
            c = text.peek()
            if c == ",":
                text.pos += 1
                continue
            if c == "}":
                text.pos += 1
                row = self._end(frame, stack)
                yield row
                if not stack:
                    return
                child_id = frame.fields.get("id")
                frame = stack.pop()
                fields = frame.fields
                frame.child_ids.append(child_id)
                c = self._after_child(text)
                if c == "]":
                    continue
            else:
                key = text.value()
                if type(key) is not str:
                    raise NotAResultsDocument("not valid JSON: expected a key at character %d"
                                              % text.pos)
                text.expect(":", "':'")
                if key not in CHILD_KEYS or text.peek() != "[":
                    fields[key] = text.value()
                    continue
                text.pos += 1
                fields[key] = None  # keeps the key's place among the fields
                if frame.child_key is None:
                    frame.child_key, frame.child_ids = key, []
                if text.peek() == "]":
                    text.pos += 1
                    fields[key] = []
                    continue
            # At the start of the next child of `frame`.
            while True:
                if text.peek() != "{":
                    raise NotAResultsDocument("not a results document: a child of node %s is "
                                              "not an object" % to_json(self._idlist(frame, stack)))
                if frame.idlist is None:
                    frame.idlist = stack[-1].idlist + [fields.get("id")]
                if frame.depth <= 1:
                    frame.plugin = _is_plugin(fields, frame.depth)
                if frame.depth >= 1:
                    try:
                        node = text.value(limit=WHOLE_LIMIT)
                    except _TooLong:
                        pass
                    else:
                        if not isinstance(node, dict):
                            raise NotAResultsDocument("not a results document: a child of node "
                                                      "%s is not an object" % to_json(frame.idlist))
                        yield from self._whole(node, frame.seq, frame.children, frame.depth + 1,
                                               frame.idlist, frame.plugin)
                        frame.children += 1
                        frame.child_ids.append(node.get("id"))
                        if self._after_child(text) == "]":
                            break
                        continue
                # Key by key: the run's tasks, and subtrees too long to take whole.
                text.pos += 1
                self._seq += 1
                stack.append(frame)
                frame = _Frame(self._seq, frame.seq, frame.children, frame.depth + 1, None)
                fields = frame.fields
                stack[-1].children += 1
                break

    @staticmethod
    def _idlist(frame, stack):
        return frame.idlist if frame.idlist is not None else stack[-1].idlist + [frame.fields.get("id")]

    @staticmethod
    def _after_child(text):
        """Past the separator after a child: "," (another child follows) or "]"."""
        c = text.peek()
        if c not in ",]":
            raise NotAResultsDocument("not valid JSON: expected ',' or ']' at character %d" % text.pos)
        text.pos += 1
        return c

    def _end(self, frame, stack):
        fields = frame.fields
        if frame.child_key is not None:
            for key in CHILD_KEYS:
                if key in fields and fields[key] is None:
                    fields[key] = frame.child_ids
        parent = stack[-1] if stack else None
        idlist = frame.idlist
        if idlist is None:
            idlist = parent.idlist + [fields.get("id")]
        self.nodes += 1
        return node_row(frame.seq, frame.parent, frame.pos, frame.depth, fields, idlist,
                        frame.children, parent is not None and parent.plugin, self._encoder())

    def _whole(self, node, parent, pos, depth, parent_idlist, parent_plugin=False):
        """Rows of a subtree already parsed, in tree order."""
        todo = [(node, parent, pos, depth, parent_idlist, parent_plugin)]
        encode = self._encoder()
        while todo:
            node, parent, pos, depth, parent_idlist, parent_plugin = todo.pop()
            if parent is None:
                seq, parent, idlist = 0, -1, []
            else:
                self._seq += 1
                seq, idlist = self._seq, parent_idlist + [node.get("id")]
            key = "tasks" if depth == 0 and "tasks" in node else "sections"
            children = node.get(key)
            if type(children) is list and children:
                fields = dict(node)
                fields[key] = ids = []
                plugin = depth <= 1 and _is_plugin(node, depth)
                for child in children:
                    if type(child) is not dict:
                        raise NotAResultsDocument("not a results document: a child of node %s "
                                                  "is not an object" % to_json(idlist))
                    ids.append(child.get("id"))
                n = len(children)
                todo.extend([(children[i], seq, i, depth + 1, idlist, plugin)
                             for i in range(n - 1, -1, -1)])
            else:
                fields, n = node, 0
            self.nodes += 1
            yield node_row(seq, parent, pos, depth, fields, idlist, n, parent_plugin, encode)
