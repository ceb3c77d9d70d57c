"""Report-server clients: over a report tree, a results file, or HTTP."""

import http.client
import json
import urllib.parse

from vexa.reportserver.index import ChildIndex, DocumentIndex, flat_dict


class ReportServerError(Exception):
    """The report server answered something other than a node or "no such node"."""


def _check_path(id_list):
    """An id path must be a sequence of ids; an element that is itself a
    sequence or mapping (a slice of an explorer's children gives a list) or
    cannot be hashed names no node, and saying so beats answering None."""
    if isinstance(id_list, (str, bytes)) or not isinstance(id_list, (list, tuple)):
        raise TypeError("id_list must be a list of ids, not %s" % type(id_list).__name__)
    for element in id_list:
        if isinstance(element, (list, tuple, dict, set, frozenset)):
            raise TypeError("id_list element %r is not an id" % (element,))
        try:
            hash(element)
        except TypeError:
            raise TypeError("id_list element %r is not an id" % (element,)) from None
    return id_list


class TreeClient:
    """Answers from a report tree in this process (a `Runsheaf`), with
    `to_dict()` of the node found. The tree may still grow while a job runs."""

    def __init__(self, runsheaf):
        self.runsheaf = runsheaf
        self._indexes = {}  # id(node) -> (node, ChildIndex); holds the node so its id stays its own

    def get_runsheaf(self):
        return self.runsheaf.to_dict()

    def get_section(self, id_list):
        node = self.find(_check_path(id_list))
        return None if node is None else node.to_dict()

    def find(self, id_list):
        """The node at the end of the path, or None."""
        node = self.runsheaf
        for child_id in id_list:
            children = getattr(node, "tasks" if node is self.runsheaf else "sections", None)
            if not isinstance(children, list):
                return None
            entry = self._indexes.get(id(node))
            if entry is None:
                entry = self._indexes[id(node)] = (node, ChildIndex(_node_id))
            node = entry[1].lookup(children, child_id)
            if node is None:
                return None
        return node


def _node_id(node):
    return getattr(node, "id", None)


class ResultsFileClient:
    """Answers from a results JSON file, as `dump_json` writes it, read once.

    A node comes as its mapping in the file with its children replaced by
    their ids; the file leaves out empty values, so fields that were None
    are absent (an explorer reads them as None all the same)."""

    def __init__(self, path):
        self.path = path
        self._index = DocumentIndex.from_file(path)

    def get_runsheaf(self):
        return flat_dict(self._index.report)

    def get_section(self, id_list):
        node = self._index.find(_check_path(id_list))
        return None if node is None else flat_dict(node)


class HTTPClient:
    """Answers from a report server, over one kept-alive HTTP connection:
    for the run with key `run` in its store, or without one, for the one
    results file it serves. Not for use by several threads at once."""

    def __init__(self, url, run=None, timeout=30.0, token=None):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme != "http" or not parts.hostname:
            raise ValueError("not an http:// URL: %r" % (url,))
        self.url = url
        self._host, self._port = parts.hostname, parts.port or 80
        self._base = parts.path.rstrip("/")
        self._timeout = timeout
        self._connection = None
        self._run = None if run is None else int(run)
        self._headers = {"Authorization": "Bearer " + token} if token else {}

    def get_runsheaf(self):
        if self._run is not None:
            return self._get("/api/v1/runs/%d" % self._run)
        return self._get("/runsheaf")

    def get_section(self, id_list):
        _check_path(id_list)
        if self._run is not None:
            query = urllib.parse.urlencode({"path": json.dumps(list(id_list))})
            return self._get("/api/v1/runs/%d/node?%s" % (self._run, query))
        query = urllib.parse.urlencode({"id_list": json.dumps(list(id_list))})
        return self._get("/section?" + query)

    def close(self):
        if self._connection is not None:
            self._connection.close()
            self._connection = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def _get(self, target):
        # A kept-alive connection may have been closed by the server since
        # the last request; a GET can safely be sent again on a new one.
        for retry in (True, False):
            if self._connection is None:
                self._connection = http.client.HTTPConnection(
                    self._host, self._port, timeout=self._timeout)
            try:
                self._connection.request("GET", self._base + target, headers=self._headers)
                response = self._connection.getresponse()
                body = response.read()
                break
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError) as exc:
                self.close()
                if not retry:
                    raise ReportServerError("%s: connection lost: %s" % (self.url, exc)) from exc
            except (OSError, http.client.HTTPException) as exc:  # refused, timed out, no route
                self.close()
                raise ReportServerError("cannot reach the report server at %s: %s" % (
                    self.url, getattr(exc, "strerror", None) or exc)) from exc
        if response.status == 200:
            return json.loads(body)
        if response.status == 404 and _error_of(response, body) == "no such node":
            return None
        raise ReportServerError("%s%s: %d %s" % (self.url.rstrip("/"), target,
                                                 response.status, response.reason))


def _error_of(response, body):
    if not response.getheader("Content-Type", "").startswith("application/json"):
        return None
    try:
        payload = json.loads(body)
    except ValueError:
        return None
    return payload.get("error") if isinstance(payload, dict) else None
