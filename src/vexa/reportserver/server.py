"""A report server: the nodes of a results file, over HTTP on a loopback address.

    GET /runsheaf                   the run, in the flat dictionary form
    GET /section?id_list=<JSON>     the node at the end of a path of ids;
                                    404 {"error": "no such node"} if none

It has no access control, so it listens on loopback addresses only.
Start it with `python -m vexa.reportserver FILE [--port N]`.
"""

import argparse
import http.server
import ipaddress
import json
import socket
import sys
import threading
import urllib.parse

from vexa.reportserver.index import DocumentIndex, flat_dict


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep connections alive between fetches
    disable_nagle_algorithm = True
    wbufsize = 1 << 16  # headers and body leave in one write

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/runsheaf":
            self._send(200, flat_dict(self.server.index.report))
        elif url.path == "/section":
            values = urllib.parse.parse_qs(url.query).get("id_list", [])
            try:
                id_list = json.loads(values[0]) if len(values) == 1 else None
            except ValueError:
                id_list = None
            if not isinstance(id_list, list):
                self._send(400, {"error": "id_list must be one JSON array"})
                return
            node = self.server.index.find(id_list)
            if node is None:
                self._send(404, {"error": "no such node"})
            else:
                self._send(200, flat_dict(node))
        else:
            self._send(404, {"error": "no such resource"})

    def _send(self, status, payload):
        body = json.dumps(payload).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        if self.server.verbose:
            super().log_message(format, *args)


class _HTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True


class ReportServer:
    """Serves the nodes of one results file until stopped.

    `ReportServer(path)` binds at once (port 0: any free port, see `url`);
    `serve_forever()` serves on the calling thread, `start()` on a thread of
    its own, `stop()` ends either. Also a context manager: start and stop."""

    def __init__(self, path, host="127.0.0.1", port=0, verbose=False):
        family, address = _loopback_address(host, port)
        server_class = type("_Server", (_HTTPServer,), {"address_family": family})
        index = DocumentIndex.from_file(path)
        self._httpd = server_class(address, _Handler)
        self._httpd.index = index
        self._httpd.verbose = verbose
        self._thread = None
        self.path = path

    @property
    def url(self):
        host, port = self._httpd.server_address[:2]
        if ":" in host:
            host = "[%s]" % host
        return "http://%s:%d/" % (host, port)

    def serve_forever(self):
        self._httpd.serve_forever()

    def start(self):
        self._thread = threading.Thread(target=self._httpd.serve_forever,
                                        name="report server", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._thread is not None:
            self._httpd.shutdown()
            self._thread.join()
            self._thread = None
        self._httpd.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()


def _loopback_address(host, port):
    """The socket family and address for `host`, which must be loopback."""
    infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
    for family, _, _, _, address in infos:
        if ipaddress.ip_address(address[0]).is_loopback:
            return family, address[:2]
    raise ValueError("%s is not a loopback address; the report server has no access "
                     "control and serves this machine only" % host)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m vexa.reportserver",
        description="Serve the nodes of a results JSON file to explorers, over HTTP "
                    "on a loopback address.")
    parser.add_argument("file", help="results JSON file, as dump_json writes it")
    parser.add_argument("--host", default="127.0.0.1", help="loopback address (127.0.0.1)")
    parser.add_argument("--port", type=int, default=8765, help="port (8765; 0 for any free one)")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every request")
    args = parser.parse_args(argv)
    try:
        server = ReportServer(args.file, args.host, args.port, verbose=args.verbose)
    except (OSError, ValueError, RecursionError) as exc:
        print("report server: error: %s" % exc, file=sys.stderr)
        return 1
    print("serving %s at %s" % (args.file, server.url), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0
