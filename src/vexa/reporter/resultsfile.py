"""Reading results files: JSON as dump_json writes it, YAML as dump_yaml does."""

import json
import os
import stat
import sys

__all__ = ["ResultsFileError", "check_readable", "load_results"]

# Standard input is read whole; more than this is no results file.
STDIN_LIMIT = 1 << 30


class ResultsFileError(ValueError):
    """A results file that cannot be read: one line naming it."""


def check_readable(path):
    """Refuse what is not a regular file before anything is read from it."""
    try:
        mode = os.stat(path).st_mode
    except OSError as exc:
        raise ResultsFileError("%s: %s" % (path, exc.strerror)) from None
    if not stat.S_ISREG(mode):
        raise ResultsFileError("%s: not a regular file" % path)


def load_results(path):
    """The parsed results document in the file `path` (- for standard input)."""
    try:
        if path == "-":
            data = sys.stdin.buffer.read(STDIN_LIMIT + 1)
            if len(data) > STDIN_LIMIT:
                raise ResultsFileError("-: more than %d bytes on standard input" % STDIN_LIMIT)
        else:
            check_readable(path)
            with open(path, "rb") as f:
                data = f.read()
        if path.endswith((".yaml", ".yml")):
            import yaml
            document = yaml.safe_load(data)
        else:
            document = json.loads(data)
    except ResultsFileError:
        raise
    except OSError as exc:
        raise ResultsFileError("%s: %s" % (path, exc.strerror or exc)) from None
    except RecursionError:
        raise ResultsFileError("%s: nested too deeply to be read" % path) from None
    except (ValueError, Exception) as exc:
        line = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise ResultsFileError("%s: not a results file: %s" % (path, line)) from None
    if not isinstance(document, dict) or "report" not in document:
        raise ResultsFileError("%s: not a results file (no report in it)" % path)
    return document
