"""A report in one HTML file: the viewer's run page with the run inside it.

`html_report(report)` gives the bytes of a page that shows a results
document (what `resultsfile.load_results` gives) or a live `Runsheaf` with
the viewer's own pages, opened from disk with no server and no network. The
viewer's modules and style sheet are inlined; the page's policy lets nothing
run but that one script, and lets it fetch nothing.

The run is not embedded as its document: nodes are numbered in tree order
and described by columns (children count, id, type, result, runtime, start
and stop as offsets in microseconds), with ids, types and results in tables
of their own. What else a node holds is a record: the index of its shape
(its keys in order, and which of them the columns give back) and the indices
of its values, every distinct value written once. Records and values are
one JSON text per line, parsed only when a node's details are shown. Every
data block is ASCII JSON with "<", ">" and "&" escaped, so no report text can
end its block or open another.
"""

import base64
import datetime
import hashlib
import json
import math
import operator
import os
import re

import orjson

from vexa.reporter.junit import write_file
from vexa.reporter.nodes import GOOD_RESULTS, PLUGIN, RUN, SECTION, TASK, root_kind
from vexa.reporter.store.rows import result_text, utc_text

__all__ = ["HtmlReportError", "html_page", "html_report", "report_data", "write_html"]

FORMAT = 1
STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "server", "static")
ENTRY = "main-embedded.js"
# Keys whose values the columns give back when they have their usual form.
_COLUMN_KEYS = frozenset(("type", "id", "result", "runtime", "starttime", "stoptime",
                          "fullid", "idlist", "sections"))
_RUN_COLUMN_KEYS = _COLUMN_KEYS - {"sections"} | {"tasks"}
_EPOCH = datetime.datetime(1970, 1, 1)
_US = datetime.timedelta(microseconds=1)
_ID_TYPES = (str, int)
_ID_TYPE_SET = frozenset(_ID_TYPES)


class HtmlReportError(ValueError):
    """A document that cannot be shown: the message says why."""


# -- JSON text that can sit inside a page ------------------------------------------

_std = json.JSONEncoder(ensure_ascii=True, separators=(",", ":"), allow_nan=False, default=str).encode


def _finite(value):
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def _json(value, _fast=orjson.dumps):
    """ASCII JSON text of `value`. NaN and infinities become null (no JSON
    parser reads them); lone surrogates and big integers go through json."""
    try:
        text = _fast(value)
        if text.isascii():
            return text
    except TypeError:
        pass
    try:
        return _std(value).encode("ascii")
    except ValueError:
        return _std(_finite(value)).encode("ascii")


def _safe(data):
    """Data text no HTML parser ends early: "<" (as in "</script" and "<!--")
    and its kin occur in JSON only inside strings, where escapes mean the same."""
    if b"<" in data:
        data = data.replace(b"<", b"\\u003c")
    if b">" in data:
        data = data.replace(b">", b"\\u003e")
    if b"&" in data:
        data = data.replace(b"&", b"\\u0026")
    return data


# -- times as offsets ------------------------------------------------------------------

class _Clock:
    """Times written as Python writes them ("2026-03-01 10:00:00.123456" and
    the run's zone) as microseconds from the run's start; None for any the
    page could not write back exactly. A run's times share few seconds, so
    each second is parsed once."""

    def __init__(self, start):
        self.seconds = {}
        self.base = self.zone = None
        if isinstance(start, str):
            for length in (26, 19):
                self.zone = start[length:]
                base = self.wall(start[:length]) if len(start) >= length else None
                if base is not None:
                    self.base = base
                    self.zone_len = len(self.zone)
                    return
            self.zone = None

    def wall(self, head):
        second = self.seconds.get(head[:19])
        if second is None:
            second = self.seconds[head[:19]] = self.second(head[:19])
        if second is False:
            return None
        if len(head) == 19:
            return second
        fraction = head[20:]
        # ASCII digits only: int() reads others, which the page would not write back.
        if len(head) != 26 or head[19] != "." or not (fraction.isascii() and fraction.isdigit()) \
                or fraction == "000000":
            return None
        return second + int(fraction)

    @staticmethod
    def second(text):
        if len(text) != 19:
            return False
        try:
            moment = datetime.datetime.fromisoformat(text)
        except ValueError:
            return False
        if moment.tzinfo is not None or not 1900 <= moment.year <= 2200 \
                or moment.isoformat(" ") != text:
            return False
        return (moment - _EPOCH) // _US


# -- the columns -------------------------------------------------------------------------

class _Table:
    """Distinct values in order of first use."""

    def __init__(self):
        self.index = {}
        self.items = []

    def add(self, key, value):
        found = self.index.get(key)
        if found is None:
            found = self.index[key] = len(self.items)
            self.items.append(value)
        return found


def _key(value):
    # 1, 1.0, True and "1" are different values to JSON: keep them apart.
    cls = value.__class__
    if cls is str:
        return value
    if cls in (int, float, bool) or value is None:
        return (cls, value)
    return (cls, _json(value))


def _run_info(run, nodes):
    name = run.get("name")
    if not isinstance(name, str):
        name = run.get("suite_name") if isinstance(run.get("suite_name"), str) else None
    extra = run.get("extra")
    testbed = run.get("testbed", extra.get("testbed") if isinstance(extra, dict) else None)
    start, stop, host = run.get("starttime"), run.get("stoptime"), run.get("host")
    return {"key": 1, "id": run.get("id"), "name": name,
            "start": start if isinstance(start, str) else None, "start_utc": utc_text(start),
            "stop": stop if isinstance(stop, str) else None, "stop_utc": utc_text(stop),
            "result": result_text(run.get("result")), "summary": run.get("summary"),
            "host": host if isinstance(host, str) else None,
            "testbed": testbed if isinstance(testbed, str) else None,
            "finished": bool(stop), "nodes": nodes, "generation": 1}


def _top_idlist(node):
    idlist = node.get("idlist")
    if isinstance(idlist, list) and idlist and all(i.__class__ in _ID_TYPES for i in idlist):
        return tuple(idlist)
    return (node.get("id"),)


def report_data(report):
    """The data blocks of the page for a results document or a live run, as
    {name: bytes}: "meta", "ids" and "columns" are JSON, "records" and
    "values" one JSON text per line."""
    if not isinstance(report, dict):
        dump_json = getattr(report, "dump_json", None)
        if dump_json is None:
            raise TypeError("html_report() takes a results document or a report run, not %s"
                            % type(report).__name__)
        text = dump_json()
        try:
            report = orjson.loads(text)
        except orjson.JSONDecodeError:  # lone surrogates or big integers
            report = json.loads(text)
    run = report.get("report")
    if not isinstance(run, dict):
        raise HtmlReportError("not a results document: no report object in it")

    clock = _Clock(run.get("starttime"))
    if clock.zone is not None:
        zone, zone_len, base = clock.zone, clock.zone_len, clock.base
    else:  # no time matches
        zone, zone_len, base = "", -100, 0
    seconds, second_of = clock.seconds, clock.second

    def offset(text):
        # The clock's work for one time: most need one dictionary look-up.
        if text.__class__ is str and len(text) - zone_len in (19, 26) and text.endswith(zone):
            second = seconds.get(text[:19])
            if second is None:
                second = seconds[text[:19]] = second_of(text[:19])
            if second is not False:
                if len(text) - zone_len == 19:
                    return second - base
                fraction = text[20:26]
                if text[19] == "." and fraction.isascii() and fraction.isdigit() and fraction != "000000":
                    return second + int(fraction) - base
        return None

    ids, types, results = _Table(), _Table(), _Table()
    types.add(None, None)
    results.add(None, None)
    shapes, records, values = _Table(), _Table(), _Table()
    layouts = {}  # (keys, fields not from columns) -> (shape, keys of the values)
    by_text = {}  # (shape, JSON text of the values) -> record
    dumps = orjson.dumps
    kids_col, id_col, type_col, result_col = [], [], [], []
    runtime_col, start_col, stop_col, rest_col, problems = [], [], [], [], []
    add_id, add_type, add_result = ids.add, types.add, results.add
    add_record, add_value = records.add, values.add
    isfinite = math.isfinite
    good = GOOD_RESULTS
    id_type_set = _ID_TYPE_SET

    kind = root_kind(run)
    prefix = [] if kind == RUN else list(_top_idlist(run))
    # (node, kind, parent's kind, idlist, fullid or None, depth); the top keeps
    # its own idlist and fullid.
    top_fullid = ".".join(map(str, prefix)) if all(i.__class__ in _ID_TYPES for i in prefix) else None
    stack = [(run, kind, None, tuple(prefix), top_fullid, 0)]
    pop, push = stack.pop, stack.append
    seq = -1
    while stack:
        node, kind, parent_kind, idlist, fullid, depth = pop()
        seq += 1
        get = node.get
        bad = []
        children = get("sections") if kind != RUN else get("tasks")
        kids = 0
        if children.__class__ is list:
            child_depth = depth + 1
            full_base = None if fullid is None else fullid + "." if idlist else ""
            for child in reversed(children):
                if child.__class__ is not dict:
                    continue
                kids += 1
                if kind == SECTION:
                    child_kind = SECTION
                elif kind == RUN:
                    child_kind = TASK if "pluginsummary" in child or "health_summary" in child else PLUGIN
                elif kind == TASK:
                    child_kind = SECTION if "health_summary" in child else PLUGIN
                else:
                    child_kind = SECTION
                child_id = child.get("id")
                cls = child_id.__class__
                if full_base is None:
                    child_full = None
                elif cls is str:
                    child_full = full_base + child_id
                elif cls is int:
                    child_full = full_base + str(child_id)
                else:
                    child_full = None
                push((child, child_kind, kind, idlist + (child_id,), child_full, child_depth))
        elif "sections" in node or "tasks" in node:
            bad.append("tasks" if kind == RUN else "sections")
        kids_col.append(kids)
        node_id = get("id")
        id_col.append(add_id(node_id if node_id.__class__ is str else _key(node_id), node_id))
        node_type = get("type")
        if node_type.__class__ is str:
            type_col.append(add_type(node_type, node_type))
        else:
            type_col.append(0)
            bad.append("type")
        result = get("result")
        value = result.get("value") if result.__class__ is dict else None
        if value.__class__ is str and value:
            result_col.append(add_result(value, value))
            lower = value.lower()
            if len(result) != 1:
                bad.append("result")
        else:
            result_col.append(0)
            lower = None
            bad.append("result")
        runtime = get("runtime")
        if (runtime.__class__ is float and isfinite(runtime)) or runtime.__class__ is int:
            runtime_col.append(runtime)
        else:
            runtime_col.append(None)
            bad.append("runtime")
        start = offset(get("starttime"))
        start_col.append(start)
        if start is not None:
            stop = offset(get("stoptime"))
            if stop is not None:
                stop -= start
            stop_col.append(stop)
            if stop is None:
                bad.append("stoptime")
        else:
            stop_col.append(None)
            bad.append("starttime")
            bad.append("stoptime")
        keys = tuple(node)
        if seq == 0:
            # The top keeps its idlist and fullid; only a run has tasks.
            bad += ["idlist", "fullid"]
            layout_key = (None, keys, *bad)
            column_keys = _RUN_COLUMN_KEYS if kind == RUN else _COLUMN_KEYS
        else:
            own = get("idlist")
            # Equal is not enough: True and 1.0 equal 1, but not as JSON.
            if own.__class__ is not list or tuple(own) != idlist or not id_type_set.issuperset(map(type, own)):
                bad.append("idlist")
            own = get("fullid")
            if own is None or own != fullid:
                bad.append("fullid")
            layout_key = (keys, *bad) if bad else keys
            column_keys = _COLUMN_KEYS
        layout = layouts.get(layout_key)
        if layout is None:
            flags = "".join("1" if k in column_keys and k not in bad else "0" for k in keys)
            value_keys = tuple(k for k, f in zip(keys, flags) if f == "0")
            layout = layouts[layout_key] = (
                shapes.add((keys, flags), [list(keys), flags]), value_keys,
                operator.itemgetter(*value_keys) if value_keys else None)
        # Records repeat far more often than not: known by their JSON text,
        # they are taken apart into values only when new.
        shape, value_keys, getter = layout
        found = None
        try:
            text = dumps(getter(node)) if getter is not None else b""
            found = by_text.get((shape, text))
        except TypeError:  # lone surrogates or big integers
            text = None
        if found is None:
            rest = [shape]
            for k in value_keys:
                v = node[k]
                rest.append(add_value(v if v.__class__ is str else _key(v), v))
            found = add_record(tuple(rest), rest)
            if text is not None:
                by_text[(shape, text)] = found
        rest_col.append(found)

        if lower is not None and lower not in good and (
                (parent_kind == TASK and kind == SECTION) or (kind == PLUGIN and depth in (1, 2))):
            problems.append(seq)

    nodes = len(kids_col)
    meta = {"format": FORMAT, "info": _run_info(run, nodes), "prefix": prefix,
            "time": None if clock.zone is None else {"base": clock.base, "zone": clock.zone},
            "types": types.items, "results": results.items, "shapes": shapes.items}
    columns = {"kids": kids_col, "id": id_col, "type": type_col, "result": result_col,
               "runtime": runtime_col, "start": start_col, "stop": stop_col, "rest": rest_col,
               "problems": problems}
    return {
        "meta": _safe(_json(meta)),
        "ids": _safe(_json_list(ids.items)),
        "columns": _safe(orjson.dumps(columns)),
        "records": _safe(b"\n".join(map(orjson.dumps, records.items))),
        "values": _safe(b"\n".join(map(_json, values.items))),
    }


def _json_list(items):
    try:
        text = orjson.dumps(items)
        if text.isascii():
            return text
    except TypeError:
        pass
    return b"[" + b",".join(map(_json, items)) + b"]"


# -- the page -----------------------------------------------------------------------------

_IMPORT = re.compile(r'^import\s*\{([^}]*)\}\s*from\s*"\./([\w.-]+)";?[ \t]*$', re.M)
_EXPORT = re.compile(r"^export\s+((?:async\s+)?function\*?|class|const|let)\s+([A-Za-z_$][\w$]*)", re.M)


def _bundle(folder=STATIC, entry=ENTRY):
    """The viewer's modules as one script: each module a function scope that
    returns its exports, run in the order of their imports (an inline module
    script may import nothing from a page opened from disk)."""
    order, seen, sources = [], set(), {}

    def visit(name, chain):
        if name in seen:
            return
        if name in chain:
            raise HtmlReportError("the viewer's modules import each other in a circle: %s" % name)
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            text = f.read()
        sources[name] = text
        for match in _IMPORT.finditer(text):
            visit(match.group(2), chain + (name,))
        seen.add(name)
        order.append(name)

    visit(entry, ())
    parts = ['"use strict";\nconst modules = {};\n']
    for name in order:
        text = sources[name]
        exports = [m.group(2) for m in _EXPORT.finditer(text)]
        body = _EXPORT.sub(lambda m: m.group(1) + " " + m.group(2), text)

        def imported(match):
            names = ", ".join(n.strip().replace(" as ", ": ") for n in match.group(1).split(",") if n.strip())
            return "const {%s} = modules[%s];" % (names, json.dumps(match.group(2)))

        body = _IMPORT.sub(imported, body)
        if re.search(r"^\s*(import|export)\b", body, re.M):
            raise HtmlReportError("%s: an import or export the bundler cannot rewrite" % name)
        parts.append("modules[%s] = (() => {\n%s\nreturn {%s};\n})();\n"
                     % (json.dumps(name), body, ", ".join(exports)))
    script = "".join(parts)
    if re.search(r"</script|<!--", script, re.I):
        raise HtmlReportError("the viewer's scripts hold text that would end their script element")
    return script


_PAGE_CACHE = {}


def _static(name):
    with open(os.path.join(STATIC, name), "rb") as f:
        return f.read()


def _page_parts():
    """(script, style, icon URL): made once per process."""
    if not _PAGE_CACHE:
        script = _bundle()
        style = _static("style.css").decode("utf-8")
        icon = "data:image/svg+xml;base64," + base64.b64encode(_static("icon.svg")).decode("ascii")
        _PAGE_CACHE["parts"] = (script, style, icon)
    return _PAGE_CACHE["parts"]


def _digest(text):
    return "'sha256-%s'" % base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode()


def _title(name):
    text = name if isinstance(name, str) else json.dumps(name)
    text = text.encode("utf-8", "surrogatepass").decode("utf-8", "replace").replace("\0", "\ufffd")
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def html_report(report):
    """The bytes of the one-file report of `report` (a results document or a
    live run)."""
    return html_page(report)[0]


def html_page(report):
    """(bytes of the page, number of nodes in it)."""
    blocks = report_data(report)
    script, style, icon = _page_parts()
    info = json.loads(blocks["meta"])["info"]
    policy = ("default-src 'none'; script-src %s; style-src %s; img-src data:; "
              "base-uri 'none'; form-action 'none'" % (_digest(script), _digest(style)))
    head = (
        '<!doctype html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        '<meta http-equiv="Content-Security-Policy" content="%s">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        '<meta name="generator" content="vexa html">\n'
        "<title>%s \u2014 vexa report</title>\n"
        '<link rel="icon" href="%s" type="image/svg+xml">\n'
        "<style>%s</style>\n</head>\n<body>\n"
        '<header class="top"><a href="#" class="brand"><img src="%s" alt="" width="20" height="20">'
        " vexa report</a></header>\n"
        '<main id="main"><p class="loading">Opening the report\u2026 If this stays, the file is cut short'
        " or its script cannot run.</p><noscript>This report needs JavaScript.</noscript></main>\n"
        % (policy, _title(info["name"] if info["name"] is not None else info["id"]), icon, style, icon))
    out = [head.encode("utf-8")]
    for name, kind in (("meta", "application/json"), ("ids", "application/json"),
                       ("columns", "application/json"), ("records", "text/plain"),
                       ("values", "text/plain")):
        out.append(b'<script type="%s" id="vexa-%s">' % (kind.encode(), name.encode()))
        out.append(blocks[name])
        out.append(b"</script>\n")
    out.append(b'<script type="module">' + script.encode("utf-8") + b"</script>\n</body>\n</html>\n")
    return b"".join(out), info["nodes"]


def write_html(report, path):
    """Write the one-file report of `report` to `path`; the file appears
    whole or not at all."""
    write_file(path, html_report(report))
