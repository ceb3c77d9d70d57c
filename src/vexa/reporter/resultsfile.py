"""Reading results files: the one loader every command uses.

A results file is the JSON text that `dump_json` writes, or the YAML text
that `dump_yaml` writes (chosen by the extension .yaml or .yml); "-" reads
standard input. Only regular files are read: a FIFO, a device or a
directory is refused before anything is read from it, so that `/dev/zero`
cannot fill the memory and a FIFO cannot block for ever. Input larger than
`max_bytes` (default `DEFAULT_MAX_BYTES`, or the environment variable
VEXA_MAX_INPUT_BYTES) is refused too.

Every failure is a `ResultsFileError` whose text is one line naming the
file and the problem, fit to show to a person as it is.
"""

import datetime
import json
import os
import stat
import sys

__all__ = ["DEFAULT_MAX_BYTES", "ResultsFileError", "check_readable", "display_name",
           "is_yaml", "load_document", "load_results", "max_input_bytes", "open_binary",
           "parse_document", "parse_document_finite", "read_bytes"]

DEFAULT_MAX_BYTES = 1 << 30
READ_CHUNK = 1 << 20  # reads of a stream whose size is not known beforehand
STDIN = "-"

try:  # several times faster than json on large files; json decides every doubt
    import orjson as _orjson
except ImportError:  # pragma: no cover - the package pins it
    _orjson = None


class ResultsFileError(ValueError):
    """A results file that cannot be read; str() is one line naming it."""

    def __init__(self, path, problem, stdin=True):
        self.path = path
        self.problem = problem
        super().__init__("%s: %s" % (display_name(path, stdin), problem))


def display_name(path, stdin=True):
    """The name to show for a path: one line, "<stdin>" for standard input."""
    if path == STDIN and stdin:
        return "<stdin>"
    text = os.fspath(path)
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    # A name with a line break or control characters must still be one line.
    if any(c < " " or c == "\x7f" for c in text):
        return json.dumps(text)
    return text


def max_input_bytes():
    value = os.environ.get("VEXA_MAX_INPUT_BYTES", "")
    try:
        limit = int(value)
    except ValueError:
        return DEFAULT_MAX_BYTES
    return limit if limit > 0 else DEFAULT_MAX_BYTES


def is_yaml(path):
    return os.fspath(path).lower().endswith((".yaml", ".yml"))


_KINDS = [(stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket")]


def _describe_mode(mode):
    for test, what in _KINDS:
        if test(mode):
            return what
    return "not a regular file"


def _os_problem(exc):
    return exc.strerror or str(exc) or type(exc).__name__


def check_readable(path, max_bytes=None, stdin=True):
    """Refuse what must not be read: anything but a regular file (checked
    without opening it), and a file above the size limit. Returns the file's
    size, or None for standard input ("-", unless `stdin` is false)."""
    if path == STDIN and stdin:
        return None
    try:
        st = os.stat(path)
    except (OSError, ValueError) as exc:  # ValueError: a NUL in the name
        raise ResultsFileError(path, _os_problem(exc) if isinstance(exc, OSError)
                               else "not a usable file name", stdin) from None
    if not stat.S_ISREG(st.st_mode):
        what = _describe_mode(st.st_mode)
        raise ResultsFileError(path, "%s, not a regular file; refusing to read it" % what
                               if what != "not a regular file" else what, stdin)
    limit = max_bytes or max_input_bytes()
    if st.st_size > limit:
        raise ResultsFileError(path, "%s, larger than the limit of %s" % (
            _size(st.st_size), _size(limit)), stdin)
    return st.st_size


def _size(n):
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return "%d %s" % (n, unit) if unit == "bytes" else "%.1f %s" % (n, unit)
        n /= 1024


def open_binary(path, max_bytes=None):
    """A binary file object for a streaming reader, after the same checks
    as `load_results`; standard input for "-" (not closed by the caller's
    `with`)."""
    check_readable(path, max_bytes)
    if path == STDIN:
        return _Unclosed(sys.stdin.buffer)
    try:
        f = open(path, "rb")
    except OSError as exc:
        raise ResultsFileError(path, _os_problem(exc)) from None
    # The name might have been swapped for a FIFO since it was checked.
    if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
        f.close()
        raise ResultsFileError(path, "not a regular file; refusing to read it")
    return f


class _Unclosed:
    def __init__(self, f):
        self._f = f

    def __getattr__(self, name):
        return getattr(self._f, name)

    def __enter__(self):
        return self._f

    def __exit__(self, *exc):
        return False


def read_bytes(path, max_bytes=None):
    """The whole content of a results file, within the size limit."""
    limit = max_bytes or max_input_bytes()
    with open_binary(path, limit) as f:
        try:
            data = _read_at_most(f, limit + 1)
        except OSError as exc:
            raise ResultsFileError(path, _os_problem(exc)) from None
        except MemoryError:
            raise ResultsFileError(path, "too large to read into memory") from None
    if len(data) > limit:
        raise ResultsFileError(path, "more than the limit of %s" % _size(limit))
    return data


def _read_at_most(f, n):
    """Up to `n` bytes. A read of `n` would first take a buffer of the limit's
    size, which a machine with little memory refuses even for a tiny file:
    read what the file holds, then whatever it grew by meanwhile."""
    try:
        want = os.fstat(f.fileno()).st_size + 1
    except (OSError, AttributeError, ValueError):
        want = 0
    parts = []
    while n > 0:
        asked = min(want or READ_CHUNK, n)
        part = f.read(asked)
        parts.append(part)
        n -= len(part)
        if len(part) < asked:  # the end of the file
            break
        want = 0
    return parts[0] if len(parts) == 1 else b"".join(parts)


def load_document(path, max_bytes=None, lean=False):
    """The parsed content of a results file, whatever JSON value it holds."""
    return parse_document(path, read_bytes(path, max_bytes), lean)


def load_results(path, max_bytes=None, lean=False):
    """A results document: a dictionary whose "report" is an object.

    Use `load_document` to judge a file that may hold any JSON value. With
    `lean`, JSON is parsed by the json module, slower than orjson but
    sharing each key among the objects that have it: a large document then
    takes a third less memory.
    """
    document = load_document(path, max_bytes, lean)
    if not isinstance(document, dict):
        raise ResultsFileError(path, "not a results document: it holds %s, not an object"
                               % _kind_of(document))
    report = document.get("report")
    if not isinstance(report, dict):
        raise ResultsFileError(path, "not a results document: no report object in it")
    return document


def _kind_of(value):
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    return "a number"


def parse_document(path, data, lean=False):
    """Parse bytes read from `path` as JSON, or as YAML when its name says so
    (standard input is JSON unless it only reads as YAML)."""
    return parse_document_finite(path, data, lean)[0]


def parse_document_finite(path, data, lean=False):
    """(document, finite): `finite` is true when the parser that read it
    refuses NaN and infinities, so that the document holds none."""
    if not data.strip():
        raise ResultsFileError(path, "empty file" if path != STDIN else "empty input")
    if path != STDIN and is_yaml(path):
        return _parse_yaml(path, data), False
    try:
        return _parse_json(path, data, lean)
    except ResultsFileError:
        if path == STDIN and data.lstrip()[:1] not in (b"{", b"["):
            try:
                document = _parse_yaml(path, data)
            except ResultsFileError:
                pass
            else:
                if isinstance(document, dict):
                    return document, False
        raise


# orjson reads integers of more than 64 bits as floats; text with a run of
# 20 digits (found cheaply: digits mapped to "0", all else to " ") goes to
# json, which keeps them exact.
_DIGITS = bytes(48 if 48 <= i <= 57 else 32 for i in range(256))
_LONG_NUMBER = b"0" * 20


def _parse_json(path, data, lean=False):
    if _orjson is not None and not lean and _LONG_NUMBER not in data.translate(_DIGITS):
        try:
            return _orjson.loads(data), True
        except Exception:  # noqa: BLE001 - json gives the verdict and the message
            pass
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise ResultsFileError(path, "not UTF-8 text: byte 0x%02x at offset %d cannot be decoded"
                               % (data[exc.start], exc.start)) from None
    try:
        return json.loads(text), False
    except json.JSONDecodeError as exc:
        if exc.pos >= len(text.rstrip()):
            raise ResultsFileError(path, "not valid JSON: the text ends early (truncated?) "
                                   "at line %d column %d" % (exc.lineno, exc.colno)) from None
        raise ResultsFileError(path, "not valid JSON: %s" % exc) from None
    except RecursionError:
        raise ResultsFileError(path, "nested too deeply to be read") from None
    except MemoryError:
        raise ResultsFileError(path, "too large to parse in memory") from None


def _parse_yaml(path, data):
    import yaml

    from vexa.reporter.yaml_reader import load_yaml
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise ResultsFileError(path, "not UTF-8 text: byte 0x%02x at offset %d cannot be decoded"
                               % (data[exc.start], exc.start)) from None
    try:
        document = load_yaml(text)
    except yaml.YAMLError as exc:
        mark = getattr(exc, "problem_mark", None)
        problem = getattr(exc, "problem", None) or str(exc).splitlines()[0]
        where = " at line %d column %d" % (mark.line + 1, mark.column + 1) if mark else ""
        raise ResultsFileError(path, "not valid YAML: %s%s" % (problem, where)) from None
    except RecursionError:
        raise ResultsFileError(path, "nested too deeply to be read") from None
    except MemoryError:
        raise ResultsFileError(path, "too large to parse in memory") from None
    try:
        return _as_json_values(document)
    except RecursionError:
        raise ResultsFileError(path, "nested too deeply to be read") from None


def _as_json_values(value):
    """What the JSON form holds where YAML read a richer value: times as the
    text `dump_json` writes for them, sets and tuples as lists, bytes as
    text, and keys as strings."""
    if isinstance(value, dict):
        return {k if isinstance(k, str) else _key_text(k): _as_json_values(v)
                for k, v in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [_as_json_values(v) for v in value]
    if isinstance(value, datetime.datetime):
        return str(value)
    if isinstance(value, datetime.date):
        return value.isoformat()
    if isinstance(value, bytes):
        return value.decode("utf-8", "backslashreplace")
    return value


def _key_text(key):
    if key is None:
        return "null"
    if isinstance(key, bool):
        return "true" if key else "false"
    if isinstance(key, (int, float)):
        return json.dumps(key)
    return str(_as_json_values(key))
