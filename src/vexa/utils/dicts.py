"""Dictionary helpers."""

from collections.abc import Mapping

# Values that are neither mappings nor lists: into a plain dict they always
# replace, and need none of the checks below (which ask the Mapping ABC).
_PLAIN = frozenset((str, int, float, bool, type(None), bytes, tuple))


def recursive_update(target, data, list_extend=True):
    """Merge `data` into `target` in place and return `target`.

    Nested mappings on both sides are merged key by key; with `list_extend`
    a list on both sides is extended; every other value replaces the old.
    The merge walks with an explicit stack, so depth is no limit.
    """
    if not data:
        return target
    stack = []
    dst, src = target, data
    while True:
        plain = type(dst) is dict
        for key, value in src.items():
            if plain and type(value) in _PLAIN:
                dst[key] = value
                continue
            old = dst.get(key) if key in dst else None
            if isinstance(value, Mapping) and isinstance(old, dict):
                stack.append((old, value))
            elif list_extend and isinstance(value, list) and isinstance(old, list):
                old.extend(value)
            else:
                dst[key] = value
        if not stack:
            return target
        dst, src = stack.pop()
