"""A node's slice of its log file, read only from under the logs folder."""

import os

MAX_SLICE = 16 * 1024 * 1024


class LogError(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def _where(node):
    """(file, begin, size) the node names: its `logs` mapping, else the
    whole of its `logfile`."""
    logs = node.get("logs")
    if isinstance(logs, dict) and isinstance(logs.get("file"), str):
        begin, size = logs.get("begin", 0), logs.get("size", -1)
        if type(begin) is not int or type(size) is not int:
            raise LogError(404, "the node's log position is not a pair of whole numbers")
        return logs["file"], begin, size
    if isinstance(node.get("logfile"), str):
        return node["logfile"], 0, -1
    raise LogError(404, "the node has no log file")


def resolve(logs_dir, name):
    """The real path of the log file `name` under `logs_dir`. A path written
    on another machine is looked up by its last part; nothing outside the
    folder is ever opened, symbolic links included."""
    root = os.path.realpath(logs_dir)
    if "\0" in name or not name:
        raise LogError(400, "not a file name: %r" % name)
    candidates = [name] if not os.path.isabs(name) else [name, os.path.basename(name)]
    for candidate in candidates:
        path = os.path.realpath(os.path.join(root, candidate))
        if path.startswith(root + os.sep):
            if os.path.isfile(path):
                return path
        elif not os.path.isabs(candidate):
            raise LogError(403, "log file %s lies outside the logs folder" % name)
    raise LogError(404, "no log file %s in the logs folder" % os.path.basename(name))


def node_slice(logs_dir, node):
    """(bytes, {"file", "begin", "size"}) of the node's part of its log."""
    name, begin, size = _where(node)
    path = resolve(logs_dir, name)
    if begin < 0:
        raise LogError(400, "the node's log position is negative")
    try:
        with open(path, "rb") as f:
            length = os.fstat(f.fileno()).st_size
            if size < 0:
                size = max(0, length - begin)
            if size > MAX_SLICE:
                raise LogError(413, "the node's log is larger than %d bytes" % MAX_SLICE)
            f.seek(begin)
            data = f.read(size)
    except OSError as exc:
        raise LogError(404, "log file %s: %s" % (os.path.basename(name), exc.strerror)) from None
    return data, {"file": os.path.relpath(path, os.path.realpath(logs_dir)), "begin": begin,
                  "size": len(data)}
