"""The team back end: PostgreSQL through psycopg 3 and a connection pool.

Several processes on several machines write and read one database:
- writers take one advisory lock for their transaction, so imports wait
  their turn (never mixing runs, never deadlocking) and readers never wait;
- connections are borrowed from the pool for one operation each, so a server
  keeps no state of its own and survives a restart of the database: a request
  on a connection that broke fails, the pool replaces it;
- a server's tree reads (`async_reads`) go through connections of its event
  loop's own (`_LoopReads`), as prepared statements in autocommit: one round
  trip each, no hand-off to a thread and back, no cursor made for each;
- node rows go in by COPY.

PostgreSQL's text refuses NUL and lone surrogates, both of which a results
file may hold: the dumper below applies the store's text encoding
(`sql.encode_text`) to every string sent, so SQL sees equal strings as equal;
the store decodes the columns that may hold such text as it reads them
(`text_out`), as it does on SQLite.
"""

import asyncio
import atexit
import collections
import contextlib
import itertools
import re
import threading
import weakref

from vexa.reporter.store.sql import (NODE_COLUMNS, Dialect, _same, decode_text,
                                     encode_node_rows, encode_text)
from vexa.reporter.store.url import StoreError, redact

POOL_SIZE = 8            # connections at most per process, for threads
# and for the reads made on a server's event loop: more database sessions
# than cores only add switching, and the longest waits grow (p99 60 ms at
# 8 against 45 ms at 4, two servers on two cores)
ASYNC_POOL_SIZE = 4
CONNECT_TIMEOUT = 5      # seconds to reach the database
WAIT = 5.0               # seconds a request waits for a free, working connection
LOCK_TIMEOUT = "120s"    # an import may wait this long for another to finish
WRITE_LOCK = 0x76657861  # the advisory lock every writer of a store takes ("vexa")

# Stores left open at exit are closed then, while the pools' threads can
# still be stopped (later, each would hold up the exit for seconds).
_OPEN = weakref.WeakSet()
atexit.register(lambda: [backend.close() for backend in list(_OPEN)])

# libpq's codes (psycopg.pq's enums, without importing psycopg here)
_TUPLES_OK, _COMMAND_OK, _BAD, _IDLE = 2, 1, 1, 0


class PostgresDialect(Dialect):
    name = "postgresql"

    def placeholders(self, sql):
        return sql.replace("%", "%%").replace("?", "%s")

    def contains(self, column):
        return "strpos(%s, ?) > 0" % column

    # The dumper encodes every string sent; a loader in Python for every text
    # value read would cost more than the rest of a read, so the store
    # decodes only the columns that may need it.
    text_in = staticmethod(_same)
    text_out = staticmethod(decode_text)

    def upgrade_text(self, cur):
        pass  # stored encoded from the first

    def ddl(self, statement):
        # Byte order for text: sorting and ranges do not depend on the
        # database's locale, and indexes survive an upgrade of its C library.
        return statement.replace(" TEXT", ' TEXT COLLATE "C"')


def _adapters():
    """The dumper class applying the text encoding, and psycopg's own (built on
    first use, so that psycopg is imported only by stores that use it)."""
    from psycopg.types.string import StrDumperUnknown

    class Dumper(StrDumperUnknown):
        def dump(self, obj):
            return encode_text(obj).encode("utf-8")

    return Dumper, StrDumperUnknown


class PostgresBackend:
    dialect = PostgresDialect()
    inline_reads = False  # every read waits for the network
    async_reads = True

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
        self._dumper, self._plain_dumper = _adapters()
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
        self._url, self._kwargs = url, kwargs
        self._async = {}  # event loop -> its _LoopReads
        self._lock = threading.Lock()
        self.pool = None
        self._open_pool()
        _OPEN.add(self)

    def _open_pool(self):
        with self._lock:
            if self.pool is None:
                make, url, kwargs = self._pool_args
                # Imports and the rarer reads come here: each connection is
                # tried before it is lent, so that an import made after the
                # database restarted does not fail on a connection that broke.
                pool = make(url, min_size=1, max_size=POOL_SIZE, kwargs=kwargs,
                            configure=self._configure, check=make.check_connection,
                            timeout=WAIT, open=False, name="vexa-store")
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

    async def read_async(self, plan, request):
        """Run a read plan (see `Store.read_async`), from its first request,
        on a connection of the running event loop's own."""
        loop = asyncio.get_running_loop()
        reads = self._async.get(loop)
        if reads is None:
            reads = self._async[loop] = _LoopReads(self, loop)
        link = await reads.lend()
        try:
            while True:
                rows = await link.fetch(*request)
                try:
                    request = plan.send(rows)
                except StopIteration as done:
                    return done.value
        finally:
            reads.give_back(link)

    async def close_async(self):
        """Close the running event loop's connections, if it has any."""
        reads = self._async.pop(asyncio.get_running_loop(), None)
        if reads is not None:
            reads.close()

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
            self._async = {}  # each closed by its loop (`close_async`), or gone with it
        if pool is not None:
            pool.close()


class _LoopReads:
    """The connections one event loop reads through, at most ASYNC_POOL_SIZE;
    a request finding them all busy waits up to WAIT seconds for one."""

    def __init__(self, backend, loop):
        self.backend, self.loop = backend, loop
        self.idle = []
        self.opened = 0             # connections open or being opened
        self.waiting = collections.deque()
        self.statements = {}        # the store's statement -> libpq's, with $n
        self.closed = False

    async def lend(self):
        if self.idle:
            return self.idle.pop()
        if self.opened >= ASYNC_POOL_SIZE:
            waiter = self.loop.create_future()
            self.waiting.append(waiter)
            timer = self.loop.call_later(WAIT, _expire, waiter)
            try:
                link = await waiter
            except asyncio.CancelledError:
                if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                    self.give_back(waiter.result())
                raise
            finally:
                timer.cancel()
            if link is not None:
                return link
            # None: one was dropped, so this request opens the next.
        self.opened += 1
        try:
            psycopg = self.backend._psycopg
            conn = await psycopg.AsyncConnection.connect(self.backend._url, **self.backend._kwargs)
        except BaseException:
            self.opened -= 1
            if self.waiting:  # the next in line tries again
                self._hand_over(None)
            raise
        return _Link(self, conn)

    def give_back(self, link):
        if self.closed or link.broken or link.pgconn.transaction_status != _IDLE:
            link.drop()
            self.opened -= 1
            link = None
        self._hand_over(link)

    def _hand_over(self, link):
        while self.waiting:
            waiter = self.waiting.popleft()
            if not waiter.done():
                waiter.set_result(link)
                return
        if link is not None:
            self.idle.append(link)

    def prepared(self, statement):
        """The statement with libpq's numbered placeholders, as bytes."""
        text = self.statements.get(statement)
        if text is None:
            numbers = itertools.count(1)
            text = self.statements[statement] = re.sub(
                r"%%|%s", lambda m: "%" if m.group() == "%%" else "$%d" % next(numbers),
                statement).encode("utf-8")
        return text

    def close(self):
        self.closed = True
        for link in self.idle:
            link.drop()
        self.idle = []


def _expire(waiter):
    if not waiter.done():
        from psycopg_pool import PoolTimeout
        waiter.set_exception(PoolTimeout("no connection came free in %g s" % WAIT))


class _Link:
    """One connection of a loop's reads. Statements go straight through
    libpq's calls, prepared on the connection's first use of each: psycopg's
    cursors, made for every use, would cost more than the query. The socket
    is watched all the time, so a connection the database ends is noticed."""

    def __init__(self, reads, conn):
        from psycopg.adapt import Transformer
        self.reads, self.conn, self.pgconn = reads, conn, conn.pgconn
        self.names = {}     # prepared statement -> its name on this connection
        self.broken = None  # the error that ended the connection
        self.waiter = None
        self.rows = Transformer(conn)
        self.fd = self.pgconn.socket
        reads.loop.add_reader(self.fd, self._readable)

    def _readable(self):
        try:
            self.pgconn.consume_input()
        except Exception as exc:  # noqa: BLE001 - the connection ended
            self._break(exc)
            return
        waiter = self.waiter
        if waiter is not None and not waiter.done() and not self.pgconn.is_busy():
            waiter.set_result(None)

    def _break(self, exc):
        if self.broken is None:
            self.broken = exc if isinstance(exc, self.reads.backend._psycopg.Error) else \
                self.reads.backend._psycopg.OperationalError(str(exc) or "the connection ended")
            self.reads.loop.remove_reader(self.fd)
        waiter = self.waiter
        if waiter is not None and not waiter.done():
            waiter.set_exception(self.broken)

    async def _result(self):
        """The result of the command sent (one statement, so one result)."""
        pgconn = self.pgconn
        while pgconn.flush():  # the socket took only part of it
            await asyncio.sleep(0)
        result = None
        while True:
            while pgconn.is_busy():
                if self.broken is not None:
                    raise self.broken
                self.waiter = self.reads.loop.create_future()
                try:
                    await self.waiter
                finally:
                    self.waiter = None
            res = pgconn.get_result()
            if res is None:
                break
            if result is None:
                result = res
        if result is None or result.status not in (_TUPLES_OK, _COMMAND_OK):
            if self.pgconn.status == _BAD:
                self._break(OSError("the connection ended"))
            from psycopg.errors import error_from_result
            if result is None:
                raise self.broken or self.reads.backend._psycopg.OperationalError("no answer")
            raise error_from_result(result)
        return result

    async def fetch(self, statement, args, one):
        if self.broken is not None:
            raise self.broken
        pgconn = self.pgconn
        name = self.names.get(statement)
        try:
            if name is None:
                name = b"vexa_%d" % len(self.names)
                pgconn.send_prepare(name, self.reads.prepared(statement))
                await self._result()
                self.names[statement] = name
            pgconn.send_query_prepared(name, [_param(a) for a in args])
            result = await self._result()
        except self.reads.backend._psycopg.Error:
            raise
        except Exception as exc:  # libpq refused to send: the connection ended
            self._break(exc)
            raise self.broken from None
        rows = self.rows
        rows.set_pgresult(result)
        if one:
            return rows.load_row(0, tuple) if result.ntuples else None
        return rows.load_rows(0, result.ntuples, tuple)

    def drop(self):
        if self.broken is None:
            self.broken = self.reads.backend._psycopg.OperationalError("closed")
            self.reads.loop.remove_reader(self.fd)
        self.pgconn.finish()


def _param(value):
    if value is None:
        return None
    if type(value) is str:
        return encode_text(value).encode("utf-8")
    return str(value).encode("ascii")


def _first_line(exc):
    lines = [line.strip() for line in str(exc).splitlines() if line.strip()]
    return lines[0] if lines else type(exc).__name__


def _text(value):
    return value.decode("ascii", "replace") if isinstance(value, bytes) else str(value)
