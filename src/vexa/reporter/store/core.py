"""The store: runs and their nodes in a database, whatever the back end."""

import base64
import contextlib
import datetime
import hashlib
import io
import json

import orjson

from vexa.reporter.store import sql
from vexa.reporter.store.document import DocumentRows
from vexa.reporter.store.rows import NotAResultsDocument, id_key, to_json
from vexa.reporter.store.url import StoreError, parse, store_url

BATCH = 2000
PATH_DEPTH = 6  # paths up to this long take one statement (SQLite parses nests of 8 at most)
MAX_PAGE = 1000
YAML_SUFFIXES = (".yaml", ".yml")


def open_backend(url, create=True):
    kind, where = parse(url)
    if kind == "sqlite":
        from vexa.reporter.store.sqlite import SQLiteBackend
        return SQLiteBackend(where, create)
    if kind == "postgresql":
        from vexa.reporter.store.postgres import PostgresBackend
        return PostgresBackend(where)
    raise StoreError("store URL %s: this installation has no %s back end" % (url, kind))


class ImportResult(dict):
    """{"key": run key, "action": "added" | "replaced" | "unchanged", "nodes": count}"""


class Store:
    """Runs and their nodes. `Store(url)` opens (and creates or upgrades) the
    store; with `create=False` a store that does not exist yet is refused
    instead. `close()` or a with-block ends it. Safe to share between threads."""

    def __init__(self, url=None, create=True):
        self.url = store_url(url)
        self.backend = open_backend(self.url, create)
        self.dialect = self.backend.dialect
        self.q = sql.statements(self.dialect)
        self._paths = {}
        try:
            self._prepare(create)
        except BaseException:
            self.backend.close()
            raise

    def close(self):
        self.backend.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    # -- schema ---------------------------------------------------------------

    def _prepare(self, create):
        backend = self.backend
        with self._database_errors(), backend.borrow() as conn:
            # The usual case needs no write, so it never waits for an import.
            try:
                row = conn.execute(self.q["get_meta"], ("schema_version",)).fetchone()
            except backend.errors:
                row = None  # a new store: no tables yet
            if row is not None and row[0] == str(sql.SCHEMA_VERSION):
                return
            if row is None and not create:
                raise StoreError("store %s: no such store" % backend.name)
            try:
                backend.begin_write(conn)
                self._settle_schema(conn.cursor())
                backend.commit(conn)
            except BaseException:
                backend.rollback(conn)
                raise

    @contextlib.contextmanager
    def _database_errors(self):
        """A database's error as a StoreError of one line."""
        try:
            yield
        except self.backend.errors as exc:
            raise StoreError(self.backend.describe(exc)) from None

    def _settle_schema(self, cur):
        cur.execute("CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)")
        row = cur.execute(self.q["get_meta"], ("schema_version",)).fetchone()
        version = int(row[0]) if row else None
        if version is None:
            for statement in sql.schema(self.dialect):
                cur.execute(statement)
            cur.execute(self.q["set_meta"], ("schema_version", str(sql.SCHEMA_VERSION)))
        elif version > sql.SCHEMA_VERSION:
            raise StoreError("store %s has schema version %d; this vexa.reporter knows up to "
                             "%d: upgrade the package" % (self.backend.name, version,
                                                          sql.SCHEMA_VERSION))
        else:
            while version < sql.SCHEMA_VERSION:
                for step in sql.UPGRADES[version](self.dialect):
                    step(cur) if callable(step) else cur.execute(step)
                version += 1
            cur.execute(self.q["update_meta"], (str(version), "schema_version"))

    def schema_version(self):
        return int(self._one(self.q["get_meta"], ("schema_version",))[0])

    # -- import ---------------------------------------------------------------

    def import_file(self, path, progress=None):
        """Store the results file at `path` (JSON, or YAML by its suffix);
        `progress(n)` is called as each n more nodes are read."""
        yaml_file = path.lower().endswith(YAML_SUFFIXES)
        check_readable(path, whole=yaml_file)
        try:
            if yaml_file:
                return self._import_yaml(path, progress)
            with open(path, "rb") as f:
                return self._import(DocumentRows(f), source=path, progress=progress)
        except OSError as exc:
            raise StoreError("%s: %s" % (path, exc.strerror or exc)) from None
        except ValueError as exc:  # the document, not the store
            raise StoreError("%s: %s" % (path, _parse_error(exc))) from None

    def import_text(self, text, source=None):
        """Store a results document given as JSON text (str or bytes)."""
        if isinstance(text, str):
            text = text.encode("utf-8", "surrogatepass")
        try:
            return self._import(DocumentRows(io.BytesIO(text)), source=source)
        except ValueError as exc:
            raise StoreError("%s: %s" % (source or "results", _parse_error(exc))) from None

    def store_tree(self, runsheaf):
        """Store a report tree as it is now (again and again while a job runs):
        a run already stored is replaced, in one transaction."""
        return self.import_text(runsheaf.dump_json(), source=None)

    def _import_yaml(self, path, progress=None):
        import yaml

        from vexa.reporter.yaml_reader import load_yaml
        with open(path, "rb") as f:
            data = f.read()
        digest = hashlib.sha256(data).hexdigest()
        try:
            document = load_yaml(data)
        except yaml.YAMLError as exc:
            raise StoreError("%s: not valid YAML: %s" % (path, " ".join(str(exc).split()))) from None
        del data
        if not isinstance(document, dict) or not isinstance(document.get("report"), dict):
            raise NotAResultsDocument('not a results document: no "report" object')
        # Times as the JSON form writes them; one copy of the tree at a time.
        text = json.dumps(document["report"], default=str)
        del document
        report = json.loads(text)
        del text
        return self._import(DocumentRows(report=report), source=path, digest=digest,
                            progress=progress)

    def _import(self, document, source, digest=None, progress=None):
        def work(cur):
            result = self._write_rows(cur, document, source, digest, progress)
            return result, result["action"] != "unchanged"
        return self._write(work)

    def _write(self, work):
        """Run `work(cursor)` in a write transaction; it returns (result,
        whether to commit)."""
        backend = self.backend
        with self._database_errors(), backend.borrow() as conn:
            try:
                backend.begin_write(conn)
                result, keep = work(conn.cursor())
                if keep:
                    backend.commit(conn)
                    backend.after_import(conn)
                else:
                    backend.rollback(conn)
                return result
            except BaseException:
                backend.rollback(conn)
                raise

    def _write_rows(self, cur, document, source, digest, progress=None):
        rows = document.rows()
        first = next(rows, None)
        if first is None:  # a report without a run: nothing is stored
            raise NotAResultsDocument("not a results document: the report is empty")
        # (key, table, generation, existing), settled once the run's fields are read
        target = self._target(cur, document.run)

        def batches():
            key, _, generation, _ = target
            batch = [(key,) + first[:16] + (generation,) + first[16:]]
            for row in rows:
                batch.append((key,) + row[:16] + (generation,) + row[16:])
                if len(batch) >= BATCH:
                    if progress is not None:
                        progress(len(batch))
                    yield batch
                    batch = []
            if progress is not None:
                progress(len(batch))
            yield batch

        self.backend.insert_rows(cur, target[1], batches())
        return self._finish(cur, target, document, digest or document.digest(), source)

    def _target(self, cur, run):
        """Where the rows of this run go: (key, statement, generation).
        A run already stored is recognised by its id, start time and host;
        its new rows go to a side table, compared with the old ones at the end."""
        ident = _identity(run, self.dialect.text_in)
        found = cur.execute(self.q["find_run"], ident).fetchone()
        if found is None:
            # Keys are never reused, so an address of a removed run stays dead.
            row = cur.execute(self.q["get_meta"], ("last_key",)).fetchone()
            key = max(int(row[0]) if row else 0, cur.execute(self.q["last_key"]).fetchone()[0] or 0) + 1
            cur.execute(self.q["update_meta" if row else "set_meta"],
                        (str(key), "last_key") if row else ("last_key", str(key)))
            return (key, "nodes", 1, None)
        key, _, generation = found
        cur.execute(self.dialect.temp_nodes_table())
        cur.execute(self.q["clear_incoming"])
        return (key, "incoming", generation + 1, found)

    def _finish(self, cur, target, document, digest, source):
        key, _, generation, existing = target
        run = document.run
        now = datetime.datetime.now(datetime.timezone.utc).isoformat(sep=" ", timespec="seconds")
        text = self.dialect.text_in
        values = _run_values(run, text) + (now, 1 if run.get("stoptime") else 0, document.nodes,
                                           digest, generation, text(source))
        if existing is None:
            cur.execute(self.q["insert_run_key"], (key,) + values)
            return ImportResult(key=key, action="added", nodes=document.nodes)
        if existing[1] == digest:
            return ImportResult(key=key, action="unchanged", nodes=document.nodes)
        cur.execute(self.q["carry_generations"])
        cur.execute(self.q["index_incoming"])
        cur.execute(self.q["note_removed"], (generation, key))
        cur.execute(self.q["unindex_incoming"])
        cur.execute(self.q["delete_nodes"], (key,))
        cur.execute(self.q["move_incoming"])
        cur.execute(self.q["clear_incoming"])
        cur.execute(self.q["update_run"], values + (key,))
        return ImportResult(key=key, action="replaced", nodes=document.nodes)

    def remove(self, key):
        """Remove a run; False if there was none with this key."""
        def work(cur):
            cur.execute(self.q["delete_nodes"], (key,))
            cur.execute(self.q["delete_removed"], (key,))
            cur.execute(self.q["delete_run"], (key,))
            return cur.rowcount > 0, True
        return self._write(work)

    # -- reading --------------------------------------------------------------

    def _all(self, statement, args):
        with self._database_errors(), self.backend.borrow() as conn:
            return conn.execute(statement, args).fetchall()

    def _one(self, statement, args):
        with self._database_errors(), self.backend.borrow() as conn:
            return conn.execute(statement, args).fetchone()

    def runs(self, name=None, result=None, finished=None, cursor=None, limit=50):
        """(runs, next cursor or None): newest first."""
        limit = _limit(limit)
        after = decode_cursor(cursor, 2) if cursor else None
        statement, args = sql.runs_query(self.dialect, name, result, finished, after, limit + 1)
        rows = [_run_dict(r, self.dialect.text_out) for r in self._all(statement, args)]
        more = len(rows) > limit
        rows = rows[:limit]
        nxt = encode_cursor([rows[-1]["start_utc"] or "", rows[-1]["key"]]) if more else None
        return rows, nxt

    def run(self, key):
        return self._read(self._run_plan(key))

    def _run_plan(self, key):
        row = yield self.q["get_run"], (key,), True
        return None if row is None else _run_dict(row, self.dialect.text_out)

    def _path(self, key, id_list, what):
        """(statement, arguments) reaching the end of the path in one go
        (see `sql.path_statements`), or None for a path too long for that
        or one that cannot be a path."""
        if not 0 < len(id_list) <= PATH_DEPTH:
            return None
        try:
            ids = tuple([id_key(child_id) for child_id in id_list])
        except (TypeError, ValueError):  # an id that is no JSON value
            return None
        statements = self._paths.get(len(ids))
        if statements is None:
            statements = self._paths[len(ids)] = sql.path_statements(self.dialect, len(ids))
        keys = len(ids) if what == "find" else len(ids) + 1
        return statements[what], (key,) * keys + ids

    # The reads a tree view makes (a node, a page of children, the run) are
    # plans: generators that yield (statement, arguments, one row?) and are
    # sent the answer. The same plan runs on a borrowed connection here, or
    # on the event loop by `read_async`, so the two never drift apart.

    def _read(self, plan):
        try:
            request = next(plan)
        except StopIteration as done:
            return done.value
        with self._database_errors(), self.backend.borrow() as conn:
            while True:
                statement, args, one = request
                cur = conn.execute(statement, args)
                try:
                    request = plan.send(cur.fetchone() if one else cur.fetchall())
                except StopIteration as done:
                    return done.value

    async def read_async(self, name, *args):
        """`node`, `children`, `find` or `run` on the running event loop, for
        a back end that reads over the network (`backend.async_reads`)."""
        plan = getattr(self, "_%s_plan" % name)(*args)
        try:
            request = next(plan)
        except StopIteration as done:
            return done.value
        with self._database_errors():
            return await self.backend.read_async(plan, request)

    async def close_async(self):
        """Close what the store opened on the running event loop."""
        close = getattr(self.backend, "close_async", None)
        if close is not None:
            await close()

    def find(self, key, id_list):
        """The seq of the node at the end of the path (first match at each
        level), or None."""
        return self._read(self._find_plan(key, id_list))

    def _find_plan(self, key, id_list):
        if not isinstance(id_list, (list, tuple)):
            return None
        if not id_list:
            return 0 if (yield self.q["node_by_seq"], (key, 0), True) else None
        path = self._path(key, id_list, "find")
        if path is not None:
            return (yield path + (True,))[0]
        try:
            ids = [id_key(child_id) for child_id in id_list]
        except (TypeError, ValueError):  # an id that is no JSON value
            return None
        seq = 0
        for child in ids:
            row = yield self.q["child_seq_by_id"], (key, seq, child), True
            if row is None:
                return None
            seq = row[0]
        return seq

    def node(self, key, id_list=()):
        """The node in the flat dictionary form, or None."""
        return self._read(self._node_plan(key, id_list))

    def _node_plan(self, key, id_list=()):
        id_list = list(id_list)
        path = self._path(key, id_list, "node")
        if path is not None:
            return _node((yield path + (True,)))
        seq = yield from self._find_plan(key, id_list)
        if seq is None:
            return None
        return _node((yield self.q["node_by_seq"], (key, seq), True))

    def node_by_seq(self, key, seq):
        return _node(self._one(self.q["node_by_seq"], (key, seq)))

    def children(self, key, id_list, cursor=None, limit=200):
        """(rows, next cursor) of the node's children in order, each with what
        a tree view needs; None when there is no such node."""
        return self._read(self._children_plan(key, id_list, cursor, limit))

    def _children_plan(self, key, id_list, cursor=None, limit=200):
        id_list = list(id_list)
        limit = _limit(limit)
        start = decode_cursor(cursor, 1)[0] if cursor else 0
        path = self._path(key, id_list, "children")
        rows = [] if path is None else (yield path[0], path[1] + (start, limit + 1), False)
        if not rows:  # no children, or no such node
            seq = yield from self._find_plan(key, id_list)
            if seq is None:
                return None
            if path is None:
                rows = yield self.q["children_page"], (key, seq, start, limit + 1), False
        out, text = [], self.dialect.text_out
        for r in rows[:limit]:
            path = loads(r[1])
            out.append({"id": path[-1], "path": path, "type": text(r[2]), "result": text(r[3]),
                        "runtime": r[4], "start": text(r[5]), "stop": text(r[6]),
                        "children": r[7]})
        nxt = encode_cursor([rows[limit][0]]) if len(rows) > limit else None
        return out, nxt

    def _seq_page(self, statement, args_before, args_after, cursor, limit, shape):
        limit = _limit(limit)
        start = decode_cursor(cursor, 1)[0] if cursor else 0
        rows = self._all(statement, args_before + (start,) + args_after + (limit + 1,))
        nxt = encode_cursor([rows[limit][0]]) if len(rows) > limit else None
        return [shape(r) for r in rows[:limit]], nxt

    def problems(self, key, cursor=None, limit=200):
        """The paths of non-passing test cases and plugin runs, in tree order."""
        text = self.dialect.text_out
        kinds = {sql.KIND_TESTCASE: "testcase", sql.KIND_PLUGIN: "plugin"}
        return self._seq_page(self.q["problems_page"], (key,), (), cursor, limit,
                              lambda r: {"path": loads(r[1]), "type": text(r[2]), "result": text(r[3]),
                                         "kind": kinds.get(r[4]), "runtime": r[5],
                                         "children": r[6]})

    def search(self, key, text, cursor=None, limit=200):
        """Nodes whose path (ids joined by "/") contains the text, ignoring case."""
        needle = text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
        needle = needle.replace("\0", "\ufffd").lower()
        out = self.dialect.text_out
        return self._seq_page(self.q["search_page"], (key,), (needle,), cursor, limit,
                              lambda r: {"path": loads(r[1]), "type": out(r[2]), "result": out(r[3]),
                                         "runtime": r[4], "children": r[5]})

    def changed(self, key, since, cursor=None, limit=200):
        """Nodes that changed after generation `since` of the run, in tree order."""
        text = self.dialect.text_out
        return self._seq_page(self.q["changed_page"], (key, since), (), cursor, limit,
                              lambda r: {"path": loads(r[1]), "type": text(r[2]), "result": text(r[3]),
                                         "runtime": r[4], "children": r[5]})

    def removed(self, key, since):
        """The paths of nodes gone from the run after generation `since`
        (only the top of a subtree that went), or None when there are more
        than a page of them."""
        rows = self._all(self.q["removed_since"], (key, since, MAX_PAGE + 1))
        if len(rows) > MAX_PAGE:
            return None
        return [loads(r[0]) for r in rows]

    def records(self, key):
        """Every node, the run first, as (idlist, type, result, runtime), in
        tree order: what the comparison of two runs reads."""
        text = self.dialect.text_out
        with self._database_errors(), self.backend.borrow() as conn:
            for rows in self.backend.stream(conn, self.q["tree_rows"], (key,), BATCH):
                for r in rows:
                    yield (loads(r[0]), text(r[1]), text(r[2]), r[3])


def _node(row):
    """The flat dictionary form of a node from its (seq, children, fields)."""
    if row is None:
        return None
    node = loads(row[2])
    node.setdefault("tasks" if row[0] == 0 and _run_like(node) else "sections", [])
    node.setdefault("details", [])
    node.setdefault("extra", {})
    return node


def loads(text, _fast=orjson.loads):
    """A stored JSON text; the fast parser refuses lone surrogates, the standard one not."""
    try:
        return _fast(text)
    except ValueError:
        return json.loads(text)


def _run_like(node):
    return "tasks" in node or "totaltasks" in node


def _identity(run, text):
    start = run.get("starttime")
    host = run.get("host")
    return (id_key(run.get("id")), text(start) if isinstance(start, str) else "",
            text(host) if isinstance(host, str) else "")


def _run_values(run, text):
    """The run's columns from `name` to `testbed`."""
    from vexa.reporter.store.rows import result_text, utc_text
    start, stop = run.get("starttime"), run.get("stoptime")
    name = run.get("name")
    if name is None:
        name = run.get("suite_name") if isinstance(run.get("suite_name"), str) else None
    testbed = run.get("testbed", (run.get("extra") or {}).get("testbed")
                      if isinstance(run.get("extra"), dict) else None)
    summary = run.get("summary")
    host = run.get("host")
    return (id_key(run.get("id")), text(name) if isinstance(name, str) else None,
            text(start) if isinstance(start, str) else "", utc_text(start),
            text(stop) if isinstance(stop, str) else None, utc_text(stop),
            text(result_text(run.get("result"))),
            to_json(summary) if summary is not None else None,
            text(host) if isinstance(host, str) else "",
            text(testbed) if isinstance(testbed, str) else None)


def _run_dict(row, text):
    run = dict(zip(sql.RUN_COLUMNS, row))
    for column in sql.RUN_TEXT:
        run[column] = text(run[column])
    run["id"] = json.loads(run.pop("run_id"))
    run["summary"] = json.loads(run["summary"]) if run["summary"] else None
    run["finished"] = bool(run["finished"])
    run["start"] = run["start"] or None
    run["host"] = run["host"] or None
    run.pop("digest")
    return run


def _limit(limit):
    try:
        limit = int(limit)
    except (TypeError, ValueError):
        raise ValueError("limit must be a whole number") from None
    if limit < 1:
        raise ValueError("limit must be at least 1")
    return min(limit, MAX_PAGE)


def encode_cursor(values):
    return base64.urlsafe_b64encode(to_json(values).encode()).decode().rstrip("=")


def decode_cursor(cursor, size):
    try:
        values = json.loads(base64.urlsafe_b64decode(cursor + "=" * (-len(cursor) % 4)))
    except (ValueError, TypeError):
        raise ValueError("not a cursor this store gave: %r" % (cursor,)) from None
    if not isinstance(values, list) or len(values) != size:
        raise ValueError("not a cursor this store gave: %r" % (cursor,))
    return values


def _parse_error(exc):
    text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
    if isinstance(exc, NotAResultsDocument):
        return text
    if isinstance(exc, UnicodeDecodeError):
        return "not UTF-8 text: %s at byte %d" % (exc.reason, exc.start)
    return "not valid JSON: %s" % text


def check_readable(path, whole=False):
    """Refuse what is not a regular file before reading it (a FIFO would
    block, a device never end). A file read whole (YAML) is held to the
    size limit of results files; a streamed one is not."""
    from vexa.reporter.resultsfile import ResultsFileError, check_readable as check
    try:
        check(path, max_bytes=None if whole else 1 << 62, stdin=False)
    except ResultsFileError as exc:
        raise StoreError(str(exc)) from None
