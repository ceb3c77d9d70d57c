"""Every statement the store runs, in SQL that SQLite and PostgreSQL both read.

Statements are written with `?` placeholders; a back end whose driver wants
another style rewrites them once through its `Dialect`. The few places where
the two databases differ are the `Dialect` methods and attributes, nothing
else: a back end passes its own dialect to `statements()`.

Text columns hold every string a results file can, though neither database
takes lone surrogates as text and PostgreSQL refuses NUL too: such a string
(and one that starts with the marker) is stored as the marker U+0001
followed by the string's ASCII JSON escapes; anything else as it is
(`encode_text`, `decode_text`). Equal strings stay equal in SQL.
"""

import json

SCHEMA_VERSION = 2
MARKER = "\x01"

# Result texts that count as passing for "problems" and summaries.
PASSING = ("passed", "passx")

# Node kinds: what the problems and summaries look at.
KIND_NODE, KIND_TESTCASE, KIND_PLUGIN = 0, 1, 2

RUN_COLUMNS = ("key", "run_id", "name", "start", "start_utc", "stop", "stop_utc", "result",
               "summary", "host", "testbed", "imported", "finished", "nodes", "digest",
               "generation", "source")

NODE_COLUMNS = ("run", "seq", "parent", "pos", "depth", "id_key", "idlist", "search", "type",
                "result", "kind", "start", "start_utc", "stop", "stop_utc", "runtime",
                "children", "gen", "fields")

# Columns holding text as a results file wrote it; the others are JSON,
# numbers or computed, and always fit in either database's text.
RUN_TEXT = ("name", "start", "stop", "result", "host", "testbed", "source")
NODE_TEXT = ("type", "result", "start", "stop")
_NODE_TEXT_AT = tuple(NODE_COLUMNS.index(c) for c in NODE_TEXT)


def encode_text(value):
    """The text a database stores for a Python string."""
    if "\x00" not in value and value[:1] != MARKER:
        if value.isascii():
            return value
        try:
            value.encode("utf-8")
            return value
        except UnicodeEncodeError:
            pass
    return MARKER + json.dumps(value, ensure_ascii=True)[1:-1]


def decode_text(text):
    if text is None or text[:1] != MARKER:
        return text
    return json.loads('"%s"' % text[1:])


def encode_node_rows(rows):
    """A batch of node rows with their text columns encoded; the batch
    itself when, as nearly always, there is nothing to encode."""
    raw = "".join([row[i] for row in rows for i in _NODE_TEXT_AT if type(row[i]) is str])
    if raw.isascii() and "\x00" not in raw and MARKER not in raw:
        return rows
    out = []
    for row in rows:
        row = list(row)
        for i in _NODE_TEXT_AT:
            if type(row[i]) is str:
                row[i] = encode_text(row[i])
        out.append(row)
    return out


class Dialect:
    """Where SQL differs between back ends. This is SQLite's; others subclass."""

    name = "sqlite"
    key_column = "key INTEGER PRIMARY KEY"  # a small integer assigned by the store
    blob = "BLOB"

    def placeholders(self, sql):
        return sql

    def contains(self, column):
        """A condition true when the text `column` contains the bound text."""
        return "instr(%s, ?) > 0" % column

    def temp_nodes_table(self):
        return "CREATE TEMP TABLE IF NOT EXISTS incoming AS SELECT * FROM nodes WHERE 0 = 1"

    def ddl(self, statement):
        """A statement of the schema as this back end wants it written."""
        return statement

    # Text of the columns in RUN_TEXT and NODE_TEXT on its way in and out;
    # a driver that does this for every string sets both to `_same`.
    text_in = staticmethod(lambda value: value if type(value) is not str else encode_text(value))
    text_out = staticmethod(decode_text)

    def upgrade_text(self, cur):
        """From schema 1: text starting with the marker was stored as it was."""
        for table, key, columns in (("runs", "key", RUN_TEXT), ("nodes", "rowid", NODE_TEXT)):
            for column in columns:
                found = cur.execute("SELECT %s, %s FROM %s WHERE substr(%s, 1, 1) = char(1)"
                                    % (key, column, table, column)).fetchall()
                cur.executemany("UPDATE %s SET %s = ? WHERE %s = ?" % (table, column, key),
                                [(encode_text(text), k) for k, text in found])


def _same(value):
    return value


def schema(dialect):
    """The statements creating the current schema, in order."""
    created = [
        "CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)",
        """CREATE TABLE IF NOT EXISTS runs (
            %s,
            run_id TEXT NOT NULL,      -- the run's id, as JSON
            name TEXT,
            start TEXT,                -- as written, with its UTC offset if it had one
            start_utc TEXT,            -- the same instant in UTC, for sorting
            stop TEXT,
            stop_utc TEXT,
            result TEXT,
            summary TEXT,              -- the run's counters, as JSON
            host TEXT NOT NULL,
            testbed TEXT,
            imported TEXT NOT NULL,
            finished INTEGER NOT NULL,
            nodes INTEGER NOT NULL,
            digest TEXT NOT NULL,      -- of the text imported, to skip a file already stored
            generation INTEGER NOT NULL,
            source TEXT,               -- the file imported last, if any
            UNIQUE (run_id, start, host)  -- how a run is recognised again
        )""" % dialect.key_column,
        "CREATE INDEX IF NOT EXISTS runs_by_name ON runs (name, start_utc)",
        "CREATE INDEX IF NOT EXISTS runs_by_start ON runs (start_utc)",
        """CREATE TABLE IF NOT EXISTS nodes (
            run INTEGER NOT NULL,
            seq INTEGER NOT NULL,      -- position in tree order; the run itself is 0
            parent INTEGER NOT NULL,   -- seq of the parent; -1 for the run
            pos INTEGER NOT NULL,      -- position among its siblings
            depth INTEGER NOT NULL,
            id_key TEXT NOT NULL,      -- the id as canonical JSON, for lookups by path
            idlist TEXT NOT NULL,      -- the path of ids below the run, as JSON
            search TEXT NOT NULL,      -- the path as lower-case text, for search
            type TEXT,
            result TEXT,
            kind INTEGER NOT NULL,
            start TEXT,
            start_utc TEXT,
            stop TEXT,
            stop_utc TEXT,
            runtime DOUBLE PRECISION,
            children INTEGER NOT NULL,
            gen INTEGER NOT NULL,      -- the run's generation when this node last changed
            fields TEXT NOT NULL,      -- the node's own fields, as ASCII JSON
            PRIMARY KEY (run, seq)
        )""",
        "CREATE INDEX IF NOT EXISTS nodes_children ON nodes (run, parent, pos)",
        "CREATE INDEX IF NOT EXISTS nodes_by_id ON nodes (run, parent, id_key, pos)",
        "CREATE INDEX IF NOT EXISTS nodes_problems ON nodes (run, seq) WHERE kind <> 0",
        "CREATE INDEX IF NOT EXISTS nodes_changed ON nodes (run, gen)",
    ] + _REMOVED
    return [dialect.ddl(statement) for statement in created]


# Nodes gone from a run when it was replaced: only the top of each subtree
# that went, by its path, for clients that refresh what they show.
_REMOVED = [
    """CREATE TABLE IF NOT EXISTS removed (
        run INTEGER NOT NULL,
        gen INTEGER NOT NULL,      -- the run's generation that no longer has it
        idlist TEXT NOT NULL
    )""",
    "CREATE INDEX IF NOT EXISTS removed_since ON removed (run, gen)",
]

# Upgrades from each older schema version to the next, applied in one
# transaction when a store is opened: SQL statements, or functions taking
# the cursor.
UPGRADES = {
    1: lambda dialect: [dialect.upgrade_text] + [dialect.ddl(s) for s in _REMOVED],
}


def statements(dialect):
    """The store's queries, by name, in the back end's placeholder style."""
    node_cols = ", ".join(NODE_COLUMNS)
    run_cols = ", ".join(RUN_COLUMNS)
    passing = ", ".join("'%s'" % r for r in PASSING)
    q = {
        "get_meta": "SELECT value FROM meta WHERE name = ?",
        "set_meta": "INSERT INTO meta (name, value) VALUES (?, ?)",
        "update_meta": "UPDATE meta SET value = ? WHERE name = ?",
        "count_tables": "SELECT count(*) FROM runs",

        "find_run": "SELECT key, digest, generation FROM runs "
                    "WHERE run_id = ? AND coalesce(start, '') = ? AND host = ?",
        "insert_run": "INSERT INTO runs (%s) VALUES (%s)" % (
            ", ".join(RUN_COLUMNS[1:]), ", ".join("?" * (len(RUN_COLUMNS) - 1))),
        "insert_run_key": "INSERT INTO runs (%s) VALUES (%s)" % (
            run_cols, ", ".join("?" * len(RUN_COLUMNS))),
        "update_run": "UPDATE runs SET %s WHERE key = ?" % ", ".join(
            "%s = ?" % c for c in RUN_COLUMNS[1:]),
        "last_key": "SELECT max(key) FROM runs",
        "get_run": "SELECT %s FROM runs WHERE key = ?" % run_cols,
        "delete_run": "DELETE FROM runs WHERE key = ?",
        "delete_nodes": "DELETE FROM nodes WHERE run = ?",

        "insert_node": "INSERT INTO nodes (%s) VALUES (%s)" % (
            node_cols, ", ".join("?" * len(NODE_COLUMNS))),
        "insert_incoming": "INSERT INTO incoming (%s) VALUES (%s)" % (
            node_cols, ", ".join("?" * len(NODE_COLUMNS))),
        "clear_incoming": "DELETE FROM incoming",
        # A node keeps the generation it had when nothing about it changed,
        # its path included.
        "carry_generations": """UPDATE incoming SET gen = (
                SELECT n.gen FROM nodes n WHERE n.run = incoming.run AND n.seq = incoming.seq
                AND n.parent = incoming.parent AND n.idlist = incoming.idlist
                AND n.children = incoming.children AND n.fields = incoming.fields)
            WHERE EXISTS (
                SELECT 1 FROM nodes n WHERE n.run = incoming.run AND n.seq = incoming.seq
                AND n.parent = incoming.parent AND n.idlist = incoming.idlist
                AND n.children = incoming.children AND n.fields = incoming.fields)""",
        # Paths the new tree lacks whose parent's path it has. A path that
        # comes back later changed then, so a client that drops what was
        # removed, then takes what changed, is up to date.
        "note_removed": """INSERT INTO removed (run, gen, idlist)
            SELECT n.run, ?, n.idlist FROM nodes n JOIN nodes p ON p.run = n.run AND p.seq = n.parent
            WHERE n.run = ?
            AND NOT EXISTS (SELECT 1 FROM incoming i WHERE i.idlist = n.idlist)
            AND EXISTS (SELECT 1 FROM incoming i WHERE i.idlist = p.idlist)""",
        "delete_removed": "DELETE FROM removed WHERE run = ?",
        # For the one above, while it runs: a lookup by path in the new tree.
        "index_incoming": "CREATE INDEX IF NOT EXISTS incoming_paths ON incoming (idlist)",
        "unindex_incoming": "DROP INDEX IF EXISTS incoming_paths",
        "removed_since": "SELECT idlist FROM removed WHERE run = ? AND gen > ? ORDER BY gen, idlist "
                         "LIMIT ?",
        "move_incoming": "INSERT INTO nodes (%s) SELECT %s FROM incoming" % (node_cols, node_cols),

        "node_by_seq": "SELECT seq, children, fields FROM nodes WHERE run = ? AND seq = ?",
        "child_by_id": "SELECT seq, children, fields FROM nodes "
                       "WHERE run = ? AND parent = ? AND id_key = ? ORDER BY pos LIMIT 1",
        "child_ids": "SELECT id_key FROM nodes WHERE run = ? AND parent = ? ORDER BY pos",
        "child_seq_by_id": "SELECT seq FROM nodes "
                           "WHERE run = ? AND parent = ? AND id_key = ? ORDER BY pos LIMIT 1",
        "children_page": "SELECT pos, idlist, type, result, runtime, start, stop, children, seq "
                         "FROM nodes WHERE run = ? AND parent = ? AND pos >= ? "
                         "ORDER BY pos LIMIT ?",
        "problems_page": "SELECT seq, idlist, type, result, kind, runtime, children FROM nodes "
                         "WHERE run = ? AND kind <> 0 AND seq >= ? "
                         "AND (result IS NULL OR result NOT IN (%s)) ORDER BY seq LIMIT ?" % passing,
        "search_page": "SELECT seq, idlist, type, result, runtime, children FROM nodes "
                       "WHERE run = ? AND seq >= ? AND %s ORDER BY seq LIMIT ?"
                       % dialect.contains("search"),
        "changed_page": "SELECT seq, idlist, type, result, runtime, children FROM nodes "
                        "WHERE run = ? AND gen > ? AND seq >= ? ORDER BY seq LIMIT ?",
        "tree_rows": "SELECT idlist, type, result, runtime, kind FROM nodes "
                     "WHERE run = ? ORDER BY seq",
        "node_logs": "SELECT fields FROM nodes WHERE run = ? AND seq = ?",
    }
    for name in list(q):
        q[name] = dialect.placeholders(q[name])
    return q


def path_statements(dialect, depth):
    """Statements reaching the node at the end of a path of `depth` ids in
    one go: the first match at each level, as subqueries nested one per
    level. Their arguments start with the run's key (`depth` + 1 times; only
    `depth` times for "find"), then the ids' keys in order.

    find      the node's seq (NULL when there is none)
    node      the node's seq, children and fields
    children  a page of its children, as "children_page" (then pos, limit)
    """
    seq = "0"
    for _ in range(depth):
        seq = ("(SELECT seq FROM nodes WHERE run = ? AND parent = %s AND id_key = ? "
               "ORDER BY pos LIMIT 1)" % seq)
    q = {
        "find": "SELECT " + seq,
        "node": "SELECT seq, children, fields FROM nodes WHERE run = ? AND seq = " + seq,
        "children": "SELECT pos, idlist, type, result, runtime, start, stop, children, seq "
                    "FROM nodes WHERE run = ? AND parent = %s AND pos >= ? "
                    "ORDER BY pos LIMIT ?" % seq,
    }
    return {name: dialect.placeholders(statement) for name, statement in q.items()}


def runs_query(dialect, name=None, result=None, finished=None, after=None, limit=50):
    """The page of runs matching the filters, newest first, after a cursor
    of (start_utc, key) taken from the last row of the previous page."""
    where, args = [], []
    if name is not None:
        where.append("name = ?")
        args.append(dialect.text_in(name))
    if result is not None:
        where.append("result = ?")
        args.append(dialect.text_in(result))
    if finished is not None:
        where.append("finished = ?")
        args.append(1 if finished else 0)
    if after is not None:
        start, key = after
        # Newest first by start, then by key; runs without a start come last.
        where.append("(coalesce(start_utc, '') < ? OR (coalesce(start_utc, '') = ? AND key < ?))")
        args.extend([start, start, key])
    sql = "SELECT %s FROM runs" % ", ".join(RUN_COLUMNS)
    if where:
        sql += " WHERE " + " AND ".join(where)
    sql += " ORDER BY coalesce(start_utc, '') DESC, key DESC LIMIT ?"
    args.append(limit)
    return dialect.placeholders(sql), args
