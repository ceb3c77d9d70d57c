"""The columns of a node's row: its id, path, times and result as the store keeps them."""

import datetime
import json

import orjson


CHILD_KEYS = ("tasks", "sections")


class NotAResultsDocument(ValueError):
    pass


# Lone surrogates and NUL survive any database as escapes in JSON text.
_std_json = json.JSONEncoder(ensure_ascii=True, separators=(",", ":"), check_circular=False).encode
_sorted_json = json.JSONEncoder(ensure_ascii=True, separators=(",", ":"), sort_keys=True).encode
_str_json = json.encoder.encode_basestring_ascii


def to_json(value, _fast=orjson.dumps):
    """Compact JSON text. The fast encoder refuses lone surrogates and
    integers beyond 64 bits; the standard one takes those."""
    try:
        return _fast(value).decode()
    except TypeError:
        return _std_json(value)


def exact_json(value):
    """JSON text for values that may hold NaN or infinities, which the fast
    encoder would turn into null."""
    return _std_json(value)


def id_key(value):
    """The id as the canonical JSON text that lookups compare. A number
    written 2.0 is the id 2; a string "2" stays a string."""
    kind = type(value)
    if kind is str:
        return _str_json(value)
    if kind is int:
        return str(value)
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
