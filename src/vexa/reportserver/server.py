"""A report server for one results file, on a loopback address.

    GET /runsheaf                   the run, in the flat dictionary form
    GET /section?id_list=<JSON>     the node at the end of a path of ids;
                                    404 {"error": "no such node"} if none

The file is kept in a store of its own for the server's life (and followed
as it changes); the server also answers the store's API under /api/v1/.
Start it with `python -m vexa.reportserver FILE [--port N]`, or serve a
lasting store with `vexa serve`.
"""

import argparse
import shutil
import sys
import tempfile

from vexa.reporter.server.run import ServeError, Server, is_loopback, quiet_logs
from vexa.reporter.store import Store, StoreError


class ReportServer:
    """Serves the nodes of one results file until stopped.

    `ReportServer(path)` binds at once (port 0: any free port, see `url`);
    `serve_forever()` serves on the calling thread, `start()` on a thread of
    its own, `stop()` ends either. Also a context manager: start and stop."""

    def __init__(self, path, host="127.0.0.1", port=0, verbose=False):
        if not is_loopback(host):
            raise ValueError("%s is not a loopback address; this report server has no access "
                             "control and serves this machine only (vexa serve has)" % host)
        self.path = path
        self._dir = tempfile.mkdtemp(prefix="vexa-reportserver-")
        try:
            self.store = Store("sqlite:///" + self._dir + "/store.sqlite")
            self._server = Server(self.store, files=[path], host=host, port=port,
                                  access_log=verbose)
        except BaseException:
            self._cleanup()
            raise
        self.url = self._server.url

    def _cleanup(self):
        store = getattr(self, "store", None)
        if store is not None:
            store.close()
        shutil.rmtree(self._dir, ignore_errors=True)

    def serve_forever(self):
        try:
            self._server.serve_forever()
        finally:
            self._server.sock.close()

    def start(self):
        self._server.start()
        return self

    def stop(self):
        try:
            self._server.stop()
        finally:
            self._cleanup()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()


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
    quiet_logs()
    try:
        server = ReportServer(args.file, args.host, args.port, verbose=args.verbose)
    except (OSError, ValueError, ServeError, StoreError) as exc:
        print("report server: error: %s" % " ".join(str(exc).split()), file=sys.stderr)
        return 1
    print("serving %s at %s" % (args.file, server.url), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server._cleanup()
    return 0
