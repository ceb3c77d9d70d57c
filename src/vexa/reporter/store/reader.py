"""Parse events of a results file, streamed.

The C parser is fast but decodes a lone surrogate escape ("\\ud800" without
its partner) wrongly, and silently. Results files can hold such strings, so
the text is watched as it is read: at the first escape of a surrogate that is
not half of a pair, `ExactParserNeeded` is raised and the caller starts again
with the exact, slower parser.
"""

import hashlib
import re

import ijson

_FAST = ijson.get_backend("yajl2_c")
_EXACT = ijson.get_backend("python")
CHUNK = 1 << 16

_ANY = re.compile(rb"\\u[dD][89a-fA-F][0-9a-fA-F]{2}")
_PAIR = re.compile(rb"\\u[dD][89abAB][0-9a-fA-F]{2}\\u[dD][c-fC-F][0-9a-fA-F]{2}")
_HOLD = 12  # bytes of a pair that may straddle two reads


class ExactParserNeeded(Exception):
    pass


class _Watched:
    """A binary file read through a digest, raising `ExactParserNeeded` when a
    lone surrogate escape goes by (an escaped backslash before "ud800" may
    raise it too: the exact parser is then merely slower)."""

    def __init__(self, raw, watch):
        self._raw = raw
        self._watch = watch
        self._pending = b""
        self.digest = hashlib.sha256()
        self.size = 0

    def read(self, n=-1):
        data = self._raw.read(n)
        self.digest.update(data)
        self.size += len(data)
        if self._watch:
            buf = self._pending + data
            end = len(buf) if not data else max(0, len(buf) - _HOLD)
            if _ANY.search(buf):
                stripped = _PAIR.sub(lambda m: b"." * 12, buf)
                lone = _ANY.search(stripped)
                if lone is not None and lone.start() < end:
                    raise ExactParserNeeded()
            self._pending = buf[end:]
        return data


def events(raw, exact=False):
    """(events, watched file): parse events of the JSON text in the binary
    file `raw`; the watched file gives the text's digest once read."""
    watched = _Watched(raw, watch=not exact)
    backend = _EXACT if exact else _FAST
    return backend.basic_parse(watched, use_float=True, buf_size=CHUNK), watched
