from hypothesis import HealthCheck, settings

# The default profile keeps the suite quick; select the long one with
# --hypothesis-profile=long for a deeper search.
settings.register_profile("default", max_examples=60, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=2000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("default")


def pytest_collection_modifyitems(items):
    # Marks by what a test needs, so that a run can leave out what adds
    # nothing there: the sanitizer run is about the C++ modules, which
    # neither the browser nor the second database reaches.
    for item in items:
        if "browser" in item.fixturenames:
            item.add_marker("browser")
        callspec = getattr(item, "callspec", None)
        if callspec is not None and callspec.params.get("backend") == "postgresql":
            item.add_marker("postgresql")


# -- stores on every back end -------------------------------------------------
# The store's tests take `store_url` (a new, empty store) or `backend` and run
# once on SQLite and once on the PostgreSQL server named by VEXA_TEST_POSTGRES
# (its cluster's folder, when it may be restarted, in VEXA_TEST_PGDATA).
# Without a server they skip, except on CI, where that is a failure.

import itertools  # noqa: E402
import os  # noqa: E402
import sqlite3  # noqa: E402
import urllib.parse  # noqa: E402

import pytest  # noqa: E402

POSTGRES = os.environ.get("VEXA_TEST_POSTGRES")
PGDATA = os.environ.get("VEXA_TEST_PGDATA")


class SQLiteStores:
    name = "sqlite"

    def __init__(self, folder):
        self.folder = folder
        self.count = itertools.count()

    def new_url(self):
        return "sqlite:///" + str(self.folder / ("s%d.sqlite" % next(self.count)))

    def execute(self, url, statement):
        with sqlite3.connect(url[len("sqlite:///"):]) as db:
            return db.execute(statement).fetchall()

    def close(self):
        pass


class PostgresStores:
    """Each store a schema of its own in the test database."""

    name = "postgresql"

    def __init__(self, url):
        import psycopg
        self.psycopg = psycopg
        self.url = url
        self.prefix = "t%d_" % os.getpid()
        self.count = itertools.count()

    def _connect(self, url=None):
        return self.psycopg.connect(url or self.url, autocommit=True, connect_timeout=10)

    def new_url(self):
        schema = self.prefix + str(next(self.count))
        with self._connect() as conn:
            conn.execute("CREATE SCHEMA %s" % schema)
        parts = urllib.parse.urlsplit(self.url)
        query = urllib.parse.parse_qsl(parts.query) + [("options", "-c search_path=" + schema)]
        query = urllib.parse.urlencode(query, quote_via=urllib.parse.quote)
        return urllib.parse.urlunsplit(parts._replace(query=query))

    def execute(self, url, statement):
        with self._connect(url) as conn:
            cur = conn.execute(statement)
            return cur.fetchall() if cur.description else []

    def close(self):
        with self._connect() as conn:
            for (schema,) in conn.execute("SELECT nspname FROM pg_namespace WHERE nspname LIKE %s",
                                          (self.prefix + "%",)).fetchall():
                conn.execute("DROP SCHEMA %s CASCADE" % schema)


@pytest.fixture(scope="session", params=["sqlite", "postgresql"])
def backend(request, tmp_path_factory):
    if request.param == "sqlite":
        stores = SQLiteStores(tmp_path_factory.mktemp("stores"))
    elif POSTGRES:
        stores = PostgresStores(POSTGRES)
    elif os.environ.get("CI") == "true":
        pytest.fail("no PostgreSQL server for the store's tests: VEXA_TEST_POSTGRES is not set")
    else:
        pytest.skip("no PostgreSQL server: set VEXA_TEST_POSTGRES=postgresql://...")
    yield stores
    stores.close()


@pytest.fixture
def store_url(backend):
    """The URL of a new, empty store."""
    return backend.new_url()
