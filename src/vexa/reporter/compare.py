"""Comparing two reports node by node: the one comparison behind `vexa diff`,
the store and the viewer.

`compare(old, new)` takes two iterables of node records in tree pre-order,
each a sequence whose first four items are (idlist, type, result, runtime):
`nodes.walk` records, or rows straight from a database. Nodes are paired by
idlist, ids compared with their JSON type (1 and "1" differ). Where
siblings repeat an id, the n-th occurrence pairs with the n-th. The two tops
of the trees (the runs) always pair, whatever their ids, since a run's id
usually changes from one job to the next.

The result is a dictionary of plain lists, numbers and strings, ready for
`json.dumps`.
"""

import math

__all__ = ["CATEGORIES", "DEFAULT_SLOWER_FACTOR", "DEFAULT_SLOWER_SECONDS", "compare",
           "newly_failing"]

DEFAULT_SLOWER_FACTOR = 2.0
DEFAULT_SLOWER_SECONDS = 1.0

GOOD = frozenset({"passed", "passx"})

# In the order a person reads them.
CATEGORIES = ("newly_failing", "fixed", "still_failing", "slower", "added", "removed")

_ROOT = ()


def _keyed(records):
    """(key, record) for each record: the key names the node by its path of
    (type, id, occurrence among same-id siblings)."""
    last = {}       # idlist -> key of its most recent node: the parent of what follows
    seen = {}       # (parent key, id element) -> occurrences so far
    first = True
    for record in records:
        idlist = tuple(record[0])
        if first:
            first = False
            key = _ROOT
        else:
            parent = last.get(idlist[:-1], _ROOT) if len(idlist) > 1 else _ROOT
            ident = (type(idlist[-1]).__name__, idlist[-1]) if idlist else ("", None)
            slot = (parent, ident)
            n = seen.get(slot, 0)
            seen[slot] = n + 1
            key = parent + ((ident, n),)
        last[idlist] = key
        yield key, record


def _is_good(result):
    return result in GOOD


def _lower(result):
    return result.lower() if isinstance(result, str) else result


def _runtime(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value) if math.isfinite(value) else None


def _side(record):
    return {"result": _lower(record[2]), "runtime": _runtime(record[3])}


def _entry(record, old=None, new=None):
    entry = {"idlist": list(record[0]), "type": record[1]}
    if old is not None:
        entry["old"] = _side(old)
    if new is not None:
        entry["new"] = _side(new)
    return entry


def compare(old, new, *, slower_factor=DEFAULT_SLOWER_FACTOR,
            slower_seconds=DEFAULT_SLOWER_SECONDS):
    """The differences between two reports.

    Returns {"newly_failing": [...], "fixed": [...], "still_failing": [...],
    "slower": [...], "added": [...], "removed": [...], "counts": {...}}; each
    entry has "idlist", "type" and "old" and/or "new" ({"result",
    "runtime"}), in the new report's order (removed: the old one's).

    - newly failing: passed or passx before, anything else now;
    - fixed: a result other than passed or passx before, passed or passx now;
    - still failing: a result other than passed or passx both times;
    - slower: runtime at least `slower_factor` times and at least
      `slower_seconds` more than before;
    - added, removed: only the topmost node of a subtree that is new or gone.
    """
    if not (slower_factor >= 0 and slower_seconds >= 0):  # NaN too
        raise ValueError("slower thresholds must be numbers of at least 0")
    before = {}
    for key, record in _keyed(old):
        before.setdefault(key, record)
    out = {name: [] for name in CATEGORIES}
    added_tops = set()
    matched = set()
    total_new = 0
    for key, record in _keyed(new):
        total_new += 1
        prev = before.get(key)
        if prev is None:
            if key[:-1] not in added_tops or not key:
                out["added"].append(_entry(record, new=record))
            added_tops.add(key)
            continue
        matched.add(key)
        was, now = _lower(prev[2]), _lower(record[2])
        if _is_good(was):
            if not _is_good(now):
                out["newly_failing"].append(_entry(record, prev, record))
        elif was is not None:
            if _is_good(now):
                out["fixed"].append(_entry(record, prev, record))
            elif now is not None:
                out["still_failing"].append(_entry(record, prev, record))
        t0, t1 = _runtime(prev[3]), _runtime(record[3])
        if t0 is not None and t1 is not None and t1 - t0 >= slower_seconds \
                and t1 >= t0 * slower_factor:
            out["slower"].append(_entry(record, prev, record))
    gone = set()
    for key, record in before.items():  # insertion order: the old pre-order
        if key not in matched:
            if key[:-1] not in gone:
                out["removed"].append(_entry(record, old=record))
            gone.add(key)
    counts = {name: len(out[name]) for name in CATEGORIES}
    counts["old_nodes"] = len(before)
    counts["new_nodes"] = total_new
    out["counts"] = counts
    return out


def newly_failing(differences):
    """Whether a comparison found anything newly failing: the CI gate."""
    return bool(differences["newly_failing"])
