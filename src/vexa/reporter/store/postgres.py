"""The team back end: PostgreSQL through psycopg 3 and a connection pool.

Several processes on several machines write and read one database:
- writers take one advisory lock for their transaction, so imports wait
  their turn (never mixing runs, never deadlocking) and readers never wait;
- connections are borrowed from the pool for one operation each, so a server
  keeps no state of its own and survives a restart of the database: a request
  on a connection that broke fails, the pool replaces it;
- node rows go in by COPY.

PostgreSQL's text refuses NUL and lone surrogates, both of which a results
file may hold: the dumper and loader below apply the store's text encoding
(`sql.encode_text`) to every text value, so SQL sees equal strings as equal.
"""

import atexit
import contextlib
import json
import threading
import weakref

from vexa.reporter.store.sql import (MARKER, NODE_COLUMNS, Dialect, _same, decode_text,
                                     encode_node_rows, encode_text)
from vexa.reporter.store.url import StoreError, redact

POOL_SIZE = 8            # connections at most per process
CONNECT_TIMEOUT = 5      # seconds to reach the database
WAIT = 5.0               # seconds a request waits for a free, working connection
LOCK_TIMEOUT = "120s"    # an import may wait this long for another to finish
WRITE_LOCK = 0x76657861  # the advisory lock every writer of a store takes ("vexa")

# Stores left open at exit are closed then, while the pools' threads can
# still be stopped (later, each would hold up the exit for seconds).
_OPEN = weakref.WeakSet()
atexit.register(lambda: [backend.close() for backend in list(_OPEN)])

class PostgresDialect(Dialect):
    name = "postgresql"

    def placeholders(self, sql):
        return sql.replace("%", "%%").replace("?", "%s")

    def contains(self, column):
        return "strpos(%s, ?) > 0" % column

    # The adapters encode every string.
    text_in = text_out = staticmethod(_same)

    def upgrade_text(self, cur):
        pass  # stored encoded from the first

    def ddl(self, statement):
        # Byte order for text: sorting and ranges do not depend on the
        # database's locale, and indexes survive an upgrade of its C library.
        return statement.replace(" TEXT", ' TEXT COLLATE "C"')


def _adapters():
    """Dumper and loader classes applying the text encoding (built on first use,
    so that psycopg is imported only by stores that use it)."""
    from psycopg.types.string import StrDumperUnknown, TextLoader

    class Dumper(StrDumperUnknown):
        def dump(self, obj):
            return encode_text(obj).encode("utf-8")

    class Loader(TextLoader):
        def load(self, data):
            text = str(data, "utf-8")
            return decode_text(text) if text[:1] == MARKER else text

    return Dumper, Loader, StrDumperUnknown


class PostgresBackend:
    dialect = PostgresDialect()
    inline_reads = False  # every read waits for the network

    def __init__(self, url):
        try:
            import psycopg
            import psycopg_pool
        except ImportError:
            raise StoreError("store %s: psycopg is not installed" % redact(url)) from None
        self._psycopg = psycopg
        self.errors = (psycopg.Error,)
        self.integrity_errors = (psycopg.IntegrityError,)
        self.name = redact(url)
        self._dumper, self._loader, self._plain_dumper = _adapters()
        self._copy_sql = {table: "COPY %s (%s) FROM STDIN" % (table, ", ".join(NODE_COLUMNS))
                          for table in ("nodes", "incoming")}
        kwargs = {"autocommit": True, "connect_timeout": CONNECT_TIMEOUT,
                  "client_encoding": "UTF8", "application_name": "vexa"}
        # Connect once first: a wrong URL gets the database's own reason, at once.
        try:
            probe = psycopg.connect(url, **kwargs)
        except psycopg.Error as exc:
            raise StoreError("store %s: cannot connect: %s" % (self.name, _first_line(exc))) from None
        except ValueError as exc:  # a URL libpq cannot parse
            raise StoreError("store %s: %s" % (self.name, exc)) from None
        with probe:
            encoding = probe.info.parameter_status("server_encoding")
            if encoding not in (b"UTF8", "UTF8"):
                raise StoreError("store %s: the database's encoding is %s; create it with "
                                 "ENCODING 'UTF8'" % (self.name, _text(encoding)))
        self._pool_args = (psycopg_pool.ConnectionPool, url, kwargs)
        self._lock = threading.Lock()
        self.pool = None
        self._open_pool()
        _OPEN.add(self)

    def _open_pool(self):
        with self._lock:
            if self.pool is None:
                make, url, kwargs = self._pool_args
                pool = make(url, min_size=1, max_size=POOL_SIZE, kwargs=kwargs,
                            configure=self._configure, timeout=WAIT, open=False, name="vexa-store")
                try:
                    pool.open(wait=True, timeout=CONNECT_TIMEOUT)
                except self._psycopg.Error as exc:
                    pool.close()
                    raise StoreError("store %s: cannot connect: %s"
                                     % (self.name, _first_line(exc))) from None
                self.pool = pool
            return self.pool

    def _configure(self, conn):
        conn.adapters.register_dumper(str, self._dumper)
        conn.adapters.register_loader("text", self._loader)

    @contextlib.contextmanager
    def borrow(self):
        """A connection from the pool for one operation. One that broke
        under it is not returned for reuse."""
        with (self.pool or self._open_pool()).connection() as conn:
            yield conn

    def connection(self):
        raise TypeError("borrow() a connection from a PostgreSQL store")

    def begin_write(self, conn):
        # One lock per store: stores in other schemas of the database go on.
        conn.execute("BEGIN; SET LOCAL lock_timeout = '%s'; "
                     "SELECT pg_advisory_xact_lock(%d, hashtext(current_schema()))"
                     % (LOCK_TIMEOUT, WRITE_LOCK))

    def begin_read(self, conn):
        conn.execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")

    def commit(self, conn):
        conn.execute("COMMIT")

    def rollback(self, conn):
        psycopg = self._psycopg
        if conn.closed or conn.info.transaction_status == psycopg.pq.TransactionStatus.IDLE:
            return
        try:
            conn.execute("ROLLBACK")
        except psycopg.Error:
            pass  # a connection that broke: the pool drops it, the server ended the transaction

    def insert_rows(self, cur, table, batches):
        """Add node rows, given in lists, to `table` by one COPY, sent by a
        thread of psycopg's while the next rows are read. Text copied from
        the file is encoded here, so the rest goes through psycopg's own
        fast dumpers."""
        from psycopg.copy import QueuedLibpqWriter
        copying = cur.connection.cursor()
        copying.adapters.register_dumper(str, self._plain_dumper)
        with copying.copy(self._copy_sql[table], writer=QueuedLibpqWriter(copying)) as copy:
            write = copy.write_row
            for rows in batches:
                for row in encode_node_rows(rows):
                    write(row)

    def stream(self, conn, statement, args, size):
        """The rows of a query in lists of up to `size`, without holding all
        of them in memory."""
        batch = []
        for row in conn.cursor().stream(statement, args, size=size):
            batch.append(row)
            if len(batch) >= size:
                yield batch
                batch = []
        if batch:
            yield batch

    def describe(self, exc):
        """One line for a database error."""
        errors = self._psycopg.errors
        text = _first_line(exc)
        if isinstance(exc, errors.DiskFull):
            return "store %s: the disk is full (%s); nothing was changed" % (self.name, text)
        if isinstance(exc, (errors.LockNotAvailable, errors.QueryCanceled)):
            return "store %s: busy with another import for too long (%s)" % (self.name, text)
        if isinstance(exc, self._psycopg.OperationalError):
            return "store %s: the database cannot be reached (%s)" % (self.name, text)
        return "store %s: %s" % (self.name, text)

    def after_import(self, conn):
        pass

    def close(self):
        """Close the pool; a later use opens a new one (so a server may
        close it before forking its workers)."""
        with self._lock:
            pool, self.pool = self.pool, None
        if pool is not None:
            pool.close()


def _first_line(exc):
    lines = [line.strip() for line in str(exc).splitlines() if line.strip()]
    return lines[0] if lines else type(exc).__name__


def _text(value):
    return value.decode("ascii", "replace") if isinstance(value, bytes) else str(value)
