"""Running the report server: binding, access rules, uvicorn, files kept current."""

import asyncio
import errno
import ipaddress
import json
import logging
import os
import signal
import socket
import threading

import uvicorn
import uvloop
from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

from vexa.reporter.server.app import create_app
from vexa.reporter.server.auth import TokenError, read_token
from vexa.reporter.store import StoreError

HEAD_TIMEOUT = 10.0        # seconds to send a request's head, from the connection or the last answer
KEEP_ALIVE = 15            # seconds an idle kept-alive connection stays open
MAX_CONNECTIONS = 512      # beyond this, requests get 503
MAX_EVENT = 64 * 1024      # bytes of an unfinished request head held
WATCH_EVERY = 1.0          # seconds between checks of the files served


class ServeError(Exception):
    """A server that cannot start; its text is one line naming what is wrong."""


class _Coalescing:
    """A transport that holds a response's head until its body comes, so
    that both leave in one write (one system call, one packet)."""

    __slots__ = ("_transport", "_head")

    def __init__(self, transport):
        self._transport = transport
        self._head = None

    def write(self, data):
        if self._head is None and data[:9] == b"HTTP/1.1 " and data[9:12] != b"100":
            self._head = data
            return
        if self._head is not None:
            data, self._head = self._head + data, None
        self._transport.write(data)

    def __getattr__(self, name):
        return getattr(self._transport, name)


class _Protocol(HttpToolsProtocol):
    """uvicorn's HTTP/1.1 protocol on its C parser, with a deadline and a
    size limit for each request's head (a client that connects and sends
    nothing, sends its head a byte at a time, or sends an endless one, is
    cut off), protocol errors answered as JSON, and each response written
    in one go."""

    _head_timer = None
    _head_bytes = 0      # of the request head under way, while it is incomplete
    _head_lines = False  # whether its request line has ended

    def connection_made(self, transport):
        super().connection_made(transport)
        self._arm()

    def data_received(self, data):
        cycle = self.cycle
        waiting = cycle is None or cycle.response_complete  # for a request's head
        if waiting:
            if self._head_timer is None:
                self._arm()
            self._head_bytes += len(data)
            self._head_lines = self._head_lines or b"\n" in data
        super().data_received(data)
        if waiting and self.cycle is cycle and self._head_bytes > MAX_EVENT \
                and not self.transport.is_closing():
            self._refuse_head()  # the head is still not whole

    def on_headers_complete(self):
        if self._head_timer is not None:  # a whole request head arrived
            self._head_timer.cancel()
            self._head_timer = None
        self._head_bytes, self._head_lines = 0, False
        super().on_headers_complete()
        if self.cycle is not None and self.scope["method"] != "HEAD":  # HEAD writes no body
            self.cycle.transport = _Coalescing(self.transport)

    def on_response_complete(self):
        super().on_response_complete()
        if self._head_timer is not None:
            self._head_timer.cancel()
            self._head_timer = None

    def connection_lost(self, exc):
        if self._head_timer is not None:
            self._head_timer.cancel()
            self._head_timer = None
        super().connection_lost(exc)

    def _arm(self):
        self._head_timer = self.loop.call_later(HEAD_TIMEOUT, self._head_timeout)

    def _head_timeout(self):
        self._head_timer = None
        if self.cycle is None or self.cycle.response_complete:
            self.transport.close()

    def _refuse_head(self):
        if not self._head_lines:
            self._error(414, b"URI Too Long", "the address is longer than %d bytes" % MAX_EVENT)
        else:
            self._error(431, b"Request Header Fields Too Large", "the request head is too large")

    def send_400_response(self, msg):
        self._error(400, b"Bad Request", "not an HTTP/1.1 request")

    def _error(self, status, reason, text):
        body = json.dumps({"error": text}).encode("ascii")
        try:
            self.transport.write(b"HTTP/1.1 %d %s\r\ncontent-type: application/json\r\n"
                                 b"content-length: %d\r\nconnection: close\r\n\r\n%s"
                                 % (status, reason, len(body), body))
        finally:
            self.transport.close()


def _run(coroutine):
    # uvloop's event loop: less of the server's time per request than asyncio's.
    with asyncio.Runner(loop_factory=uvloop.new_event_loop) as runner:
        return runner.run(coroutine)


def _die_with_parent():
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def is_loopback(host):
    try:
        infos = socket.getaddrinfo(host, None, type=socket.SOCK_STREAM)
    except socket.gaierror:
        return False
    return all(ipaddress.ip_address(info[4][0].split("%")[0]).is_loopback for info in infos)


def bind(host, port):
    """A listening socket, or ServeError naming the address."""
    if not isinstance(port, int) or not 0 <= port <= 65535:
        raise ServeError("port %s is outside 0-65535" % port)
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as exc:
        raise ServeError("cannot listen on %s: %s" % (host, exc.strerror)) from None
    family, _, _, _, address = infos[0]
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(1024)
    except OSError as exc:
        sock.close()
        reason = "the port is in use" if exc.errno == errno.EADDRINUSE else exc.strerror
        raise ServeError("cannot listen on %s port %d: %s" % (host, port, reason)) from None
    sock.set_inheritable(True)
    return sock


def url_of(sock, tls=False):
    host, port = sock.getsockname()[:2]
    if ":" in host:
        host = "[%s]" % host
    return "%s://%s:%d/" % ("https" if tls else "http", host, port)


class FileWatcher:
    """Imports the files served, and again whenever one changes on disk."""

    def __init__(self, store, paths, on_error):
        self.store = store
        self.paths = list(paths)
        self.on_error = on_error
        self.seen = {}
        self.keys = {}
        self._stop = threading.Event()
        self._thread = None

    def _stamp(self, path):
        st = os.stat(path)
        return (st.st_mtime_ns, st.st_size, st.st_ino)

    def import_all(self):
        """Import every file now; StoreError names the first that fails."""
        for path in self.paths:
            stamp = self._stamp(path) if os.path.exists(path) else None
            self.keys[path] = self.store.import_file(path)["key"]
            self.seen[path] = stamp

    def start(self):
        self._thread = threading.Thread(target=self._loop, name="file watcher", daemon=True)
        self._thread.start()

    def stop(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join()

    def _loop(self):
        while not self._stop.wait(WATCH_EVERY):
            for path in self.paths:
                try:
                    stamp = self._stamp(path)
                except OSError:
                    continue  # being replaced; look again next time
                if stamp == self.seen.get(path):
                    continue
                try:
                    self.keys[path] = self.store.import_file(path)["key"]
                    self.seen[path] = stamp
                except StoreError as exc:
                    # A file half written is read again at its next change.
                    self.seen[path] = stamp
                    self.on_error(str(exc))


class Server:
    """The report server over a store. `start()` serves on a thread of its
    own, `serve_forever()` on the calling one; `stop()` ends either."""

    def __init__(self, store, files=(), host="127.0.0.1", port=8765, logs_dir=None,
                 token_file=None, certfile=None, keyfile=None, environ=None, log=None,
                 access_log=False, workers=1):
        self.log = log or (lambda text: None)
        self.store = store
        if logs_dir is not None and not os.path.isdir(logs_dir):
            raise ServeError("logs folder %s: not a folder" % logs_dir)
        if (certfile is None) != (keyfile is None):
            raise ServeError("TLS needs both a certificate and its key")
        for path in (certfile, keyfile):
            if path is not None and not os.path.isfile(path):
                raise ServeError("%s: no such file" % path)
        try:
            token = read_token(token_file, environ)
        except TokenError as exc:
            raise ServeError(str(exc)) from None
        if token is None and not is_loopback(host):
            raise ServeError("listening on %s needs a token: put it in a file named by "
                             "--token-file, or in VEXA_TOKEN" % host)
        self.watcher = FileWatcher(store, files, self.log)
        self.watcher.import_all()
        legacy = self.watcher.keys[files[0]] if len(files) == 1 else None
        self.app = create_app(store, logs_dir=logs_dir, legacy_key=legacy, token=token,
                              secure_cookie=certfile is not None)
        self.sock = bind(host, port)
        self.url = url_of(self.sock, tls=certfile is not None)
        config = uvicorn.Config(
            self.app, http=_Protocol, lifespan="off", log_level="info" if access_log else "critical",
            access_log=access_log, timeout_keep_alive=KEEP_ALIVE,
            limit_concurrency=MAX_CONNECTIONS,
            ssl_certfile=certfile, ssl_keyfile=keyfile, log_config=None,
            timeout_graceful_shutdown=2)
        self._server = uvicorn.Server(config)
        self._server.install_signal_handlers = lambda: None
        self._thread = None
        if not 1 <= workers <= 64:
            raise ServeError("workers must be between 1 and 64")
        self.workers = workers
        self._children = []

    def serve_forever(self):
        """Serve until stopped. With several workers, the others are forked
        processes sharing the listening socket; this one also follows the files."""
        if self.workers > 1:
            self._fork_workers()
        self.watcher.start()
        try:
            _run(self._serve())
        finally:
            self.watcher.stop()
            self._stop_workers()
            self.app.api.threads.shutdown(wait=False)

    async def _serve(self):
        try:
            await self._server.serve(sockets=[self.sock])
        finally:
            await self.store.close_async()  # its connections belong to this loop

    def _fork_workers(self):
        self.store.close()  # no database connection may cross a fork
        for _ in range(self.workers - 1):
            pid = os.fork()
            if pid == 0:
                status = 0
                try:
                    _die_with_parent()
                    _run(self._serve())
                except BaseException:  # noqa: BLE001 - a worker ends quietly
                    status = 1
                finally:
                    os._exit(status)
            self._children.append(pid)

    def _stop_workers(self):
        for pid in self._children:
            try:
                os.kill(pid, signal.SIGTERM)
                os.waitpid(pid, 0)
            except (ChildProcessError, ProcessLookupError):
                pass
        self._children = []

    def start(self):
        self._thread = threading.Thread(target=self.serve_forever, name="report server",
                                        daemon=True)
        self._thread.start()
        while not self._server.started and self._thread.is_alive():
            self._thread.join(0.01)
        return self

    def stop(self):
        self._server.should_exit = True
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        self.sock.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()


def quiet_logs():
    # A client that hangs up mid-answer is normal on a server: no tracebacks.
    for name in ("uvicorn", "uvicorn.error", "uvicorn.access", "asyncio"):
        logging.getLogger(name).setLevel(logging.CRITICAL)
