"""The embedded back end: Python's own sqlite3, in WAL mode so that readers
never wait for an import."""

import contextlib
import os
import sqlite3
import threading

from vexa.reporter.store.sql import Dialect, encode_node_rows, statements
from vexa.reporter.store.url import StoreError

BUSY_TIMEOUT_MS = 120_000  # an import holds the write lock for its whole file
READ_CACHE = "PRAGMA cache_size = -16384"    # KiB per connection; the OS caches the file too
WRITE_CACHE = "PRAGMA cache_size = -65536"   # an import's indexes stay in memory while it runs


class SQLiteBackend:
    dialect = Dialect()
    errors = (sqlite3.Error,)
    integrity_errors = (sqlite3.IntegrityError,)
    # Reads come from the page cache in microseconds, less than handing
    # them to another thread costs: a server makes them on its event loop.
    inline_reads = True

    def __init__(self, path, create=True):
        self.path = path
        self.name = path
        self._local = threading.local()
        self._all = []
        self._lock = threading.Lock()
        q = statements(self.dialect)
        self._inserts = {"nodes": q["insert_node"], "incoming": q["insert_incoming"]}
        if not create and not os.path.exists(path):
            raise StoreError("store %s: no such store" % path)
        directory = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(directory):
            try:
                os.makedirs(directory, exist_ok=True)
            except OSError as exc:
                raise StoreError("store %s: cannot create its folder: %s" % (path, exc.strerror))
        if os.path.exists(path) and not os.path.isfile(path):
            raise StoreError("store %s: not a regular file" % path)

    def connection(self):
        """This thread's connection (sqlite3 connections belong to one thread)."""
        conn = getattr(self._local, "conn", None)
        if conn is None:
            try:
                conn = sqlite3.connect(self.path, isolation_level=None, check_same_thread=False,
                                       timeout=BUSY_TIMEOUT_MS / 1000)
                conn.execute("PRAGMA busy_timeout = %d" % BUSY_TIMEOUT_MS)
                if conn.execute("PRAGMA journal_mode = WAL").fetchone()[0].lower() != "wal":
                    raise StoreError("store %s: cannot use write-ahead logging" % self.path)
                conn.execute("PRAGMA synchronous = NORMAL")
                conn.execute(READ_CACHE)
            except sqlite3.DatabaseError as exc:
                raise StoreError("store %s: %s" % (self.path, exc)) from None
            self._local.conn = conn
            with self._lock:
                self._all.append(conn)
        return conn

    @contextlib.contextmanager
    def borrow(self):
        """A connection for one operation: this thread's own."""
        yield self.connection()

    def insert_rows(self, cur, table, batches):
        """Add node rows, given in lists, to `table` ("nodes" or "incoming")."""
        for rows in batches:
            cur.executemany(self._inserts[table], encode_node_rows(rows))

    def stream(self, conn, statement, args, size):
        """The rows of a query in lists of up to `size`."""
        cur = conn.execute(statement, args)
        while True:
            rows = cur.fetchmany(size)
            if not rows:
                return
            yield rows

    def begin_write(self, conn):
        # Take the write lock at once: a run is read and replaced in one go.
        conn.execute(WRITE_CACHE)
        conn.execute("BEGIN IMMEDIATE")

    def begin_read(self, conn):
        conn.execute("BEGIN")

    def commit(self, conn):
        conn.execute("COMMIT")
        conn.execute(READ_CACHE)

    def rollback(self, conn):
        if conn.in_transaction:
            conn.execute("ROLLBACK")
        conn.execute(READ_CACHE)

    def describe(self, exc):
        """One line for a database error."""
        text = str(exc)
        if "disk is full" in text or "disk I/O" in text:
            return "store %s: the disk is full or failing (%s); nothing was changed" % (self.path, text)
        if "locked" in text or "busy" in text:
            return "store %s: busy with another import for too long (%s)" % (self.path, text)
        return "store %s: %s" % (self.path, text)

    def after_import(self, conn):
        # Keep the write-ahead log from holding a whole import's pages.
        try:
            conn.execute("PRAGMA wal_checkpoint(PASSIVE)")
        except sqlite3.Error:
            pass

    def close(self):
        with self._lock:
            for conn in self._all:
                try:
                    conn.close()
                except sqlite3.Error:
                    pass
            self._all.clear()
        self._local = threading.local()
