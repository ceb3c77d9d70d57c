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
_INF = math.inf

# In the order a person reads them.
CATEGORIES = ("newly_failing", "fixed", "still_failing", "slower", "added", "removed")

def _lower(result):
    return result.lower() if result.__class__ is str else result


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
    # A node is known by (its parent's position in the old report, the type
    # and value of its id, how many same-id siblings came before it). The
    # new report's nodes look themselves up by their parent's partner. A
    # node's parent is the latest node, in pre-order, whose idlist is its
    # own without the last id (the top, 0, for the run's children, whose
    # idlists hold their own id alone).
    old_records = []
    where = {}      # key -> position in old_records
    last = {}       # idlist -> position of its latest node
    seen = {}       # (parent position, id type, id) -> occurrences so far
    for i, record in enumerate(old):
        idlist = tuple(record[0])
        old_records.append(record)
        if i:
            ident = idlist[-1] if idlist else None
            slot = (last.get(idlist[:-1], 0) if len(idlist) > 1 else 0, ident.__class__, ident)
            n = seen.get(slot, 0)
            seen[slot] = n + 1
            where[slot + (n,)] = i
        last[idlist] = i
    out = {name: [] for name in CATEGORIES}
    newly_failing, fixed, still_failing, slower, added = (
        out["newly_failing"], out["fixed"], out["still_failing"], out["slower"], out["added"])
    partner = []    # new position -> old position, or None (added)
    matched = set()
    last, seen = {}, {}
    good = GOOD
    for j, record in enumerate(new):
        idlist = tuple(record[0])
        if not j:
            i = 0 if old_records else None
        else:
            ident = idlist[-1] if idlist else None
            parent = last.get(idlist[:-1], 0) if len(idlist) > 1 else 0
            slot = (parent, ident.__class__, ident)
            n = seen.get(slot, 0)
            seen[slot] = n + 1
            old_parent = partner[parent]
            if old_parent is None:  # under an added node: listed with it
                partner.append(None)
                last[idlist] = j
                continue
            i = where.get((old_parent, ident.__class__, ident, n))
        partner.append(i)
        last[idlist] = j
        if i is None:
            added.append(_entry(record, new=record))
            continue
        matched.add(i)
        prev = old_records[i]
        was, now = prev[2], record[2]
        if was.__class__ is str and was not in good:
            was = was.lower()
        if now.__class__ is str and now not in good:
            now = now.lower()
        if was in good:
            if now not in good:
                newly_failing.append(_entry(record, prev, record))
        elif was is not None:
            if now in good:
                fixed.append(_entry(record, prev, record))
            elif now is not None:
                still_failing.append(_entry(record, prev, record))
        t0, t1 = prev[3], record[3]
        if t0.__class__ is float and t1.__class__ is float:
            if t1 - t0 >= slower_seconds and t1 >= t0 * slower_factor and t1 < _INF:
                slower.append(_entry(record, prev, record))
        elif t0 is not None and t1 is not None:  # rows of a database: ints, text ...
            t0, t1 = _runtime(t0), _runtime(t1)
            if t0 is not None and t1 is not None and t1 - t0 >= slower_seconds \
                    and t1 >= t0 * slower_factor:
                slower.append(_entry(record, prev, record))
    # Removed: old nodes without a partner whose parent has one.
    old_parent_of = {}
    for key, i in where.items():
        old_parent_of[i] = key[0]
    removed = out["removed"]
    for i, record in enumerate(old_records):
        if i not in matched and (i == 0 or old_parent_of[i] in matched):
            removed.append(_entry(record, old=record))
    counts = {name: len(out[name]) for name in CATEGORIES}
    counts["old_nodes"] = len(old_records)
    counts["new_nodes"] = len(partner)
    out["counts"] = counts
    return out


def newly_failing(differences):
    """Whether a comparison found anything newly failing: the CI gate."""
    return bool(differences["newly_failing"])
