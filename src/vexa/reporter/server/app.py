"""The report server's ASGI application: the store's JSON API.

    GET /api/v1/runs                          runs, newest first (name, result, finished, limit, cursor)
    GET /api/v1/runs/{key}                    the run, as get_runsheaf() gives it
    GET /api/v1/runs/{key}/info               the run's row in the store (counters, generation, ...)
    GET /api/v1/runs/{key}/node?path=[...]    a node, as get_section() gives it
    GET /api/v1/runs/{key}/children?path=     a node's children, for a tree view (limit, cursor)
    GET /api/v1/runs/{key}/problems           paths of non-passing test cases and plugin runs
    GET /api/v1/runs/{key}/search?q=TEXT      nodes whose path contains the text
    GET /api/v1/runs/{key}/changed?since=GEN  nodes changed after a generation of the run, and
                                              (first page) paths removed, or null for too many
    GET /api/v1/runs/{key}/log?path=[...]     the node's slice of its log file
    GET /api/v1/diff?old=KEY&new=KEY          the differences between two runs
    GET /runsheaf, /section?id_list=[...]     the one file served, for older explorers
    GET /, /static/NAME                       the viewer's pages

Every error is a JSON object {"error": "..."} with its status.
"""

import asyncio
import json
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

import anyio
import orjson
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.responses import Response
from starlette.routing import Route

from vexa.reporter.server import logs
from vexa.reporter.server.auth import AccessMiddleware, signin_routes
from vexa.reporter.server.limits import BodyTooLarge, LimitsMiddleware
from vexa.reporter.store import StoreError

API = "/api/v1"
HEAVY_THREADS = 4  # searches, comparisons and log reads at once; more wait their turn
STORE_THREADS = 8  # other store calls at once (a PostgreSQL store's pool has as many connections)


def render(content):
    try:
        return orjson.dumps(content)
    except TypeError:
        # Lone surrogates, integers beyond 64 bits: ASCII escapes carry them intact.
        return json.dumps(content, ensure_ascii=True, separators=(",", ":")).encode("ascii")


class JSON(Response):
    media_type = "application/json"

    def render(self, content):
        return render(content)


class Problem(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def _json_arg(request, name, default=None):
    raw = request.query_params.getlist(name)
    if not raw:
        if default is not None:
            return default
        raise Problem(400, "%s is missing" % name)
    if len(raw) > 1:
        raise Problem(400, "%s given more than once" % name)
    try:
        value = json.loads(raw[0])
    except (ValueError, RecursionError):
        raise Problem(400, "%s must be JSON" % name) from None
    return value


def _path(request, name="path"):
    path = _json_arg(request, name, default=[])
    if not isinstance(path, list):
        raise Problem(400, "%s must be a JSON array of ids" % name)
    return path


def _int_arg(request, name, default=None):
    raw = request.query_params.get(name)
    if raw is None:
        if default is None:
            raise Problem(400, "%s is missing" % name)
        return default
    try:
        return int(raw)
    except ValueError:
        raise Problem(400, "%s must be a whole number" % name) from None


def _number_arg(request, name, default):
    raw = request.query_params.get(name)
    if raw is None:
        return default
    try:
        value = float(raw)
    except ValueError:
        raise Problem(400, "%s must be a number" % name) from None
    if not value >= 0 or value == float("inf"):
        raise Problem(400, "%s must be a finite number of at least 0" % name)
    return value


def _key(request):
    try:
        return int(request.path_params["key"])
    except ValueError:
        raise Problem(404, "no such run") from None


def _page(request):
    limit = _int_arg(request, "limit", 200)
    if limit < 1:
        raise Problem(400, "limit must be at least 1")
    return request.query_params.get("cursor"), limit


class API_:
    def __init__(self, store, logs_dir=None, legacy_key=None):
        self.store = store
        self.logs_dir = logs_dir
        self.legacy_key = legacy_key
        self.heavy = anyio.CapacityLimiter(HEAVY_THREADS)
        # The event loop never waits for the database: store calls run on
        # threads of their own, a few at once; the rest wait their turn.
        self.threads = ThreadPoolExecutor(STORE_THREADS, thread_name_prefix="store")
        backend = store.backend
        self._inline = backend.inline_reads
        self._async = not self._inline and getattr(backend, "async_reads", False)

    async def call(self, fn, *args):
        if self._inline:
            return fn(*args)
        return await asyncio.get_running_loop().run_in_executor(self.threads, fn, *args)

    async def read(self, name, *args):
        """The store's `node`, `children` or `run`: awaited on the event loop
        when the back end can, otherwise as `call` makes it."""
        if self._inline:
            return getattr(self.store, name)(*args)
        if self._async:
            return await self.store.read_async(name, *args)
        return await asyncio.get_running_loop().run_in_executor(
            self.threads, getattr(self.store, name), *args)

    async def heavy_call(self, fn, *args):
        return await anyio.to_thread.run_sync(fn, *args, limiter=self.heavy)

    async def _run_or_404(self, key):
        run = await self.read("run", key)
        if run is None:
            raise Problem(404, "no such run")
        return run

    async def runs(self, request):
        finished = request.query_params.get("finished")
        if finished not in (None, "true", "false"):
            raise Problem(400, "finished must be true or false")
        cursor, limit = _page(request)
        rows, nxt = await self.call(lambda: self.store.runs(
            name=request.query_params.get("name"), result=request.query_params.get("result"),
            finished=None if finished is None else finished == "true",
            cursor=cursor, limit=min(limit, 200)))
        return JSON({"runs": rows, "next": nxt})

    async def run(self, request):
        node = await self.read("node", _key(request), [])
        if node is None:
            raise Problem(404, "no such run")
        return JSON(node)

    async def info(self, request):
        return JSON(await self._run_or_404(_key(request)))

    async def node(self, request):
        key = _key(request)
        node = await self.read("node", key, _path(request))
        if node is None:
            await self._run_or_404(key)
            raise Problem(404, "no such node")
        return JSON(node)

    async def children(self, request):
        key = _key(request)
        cursor, limit = _page(request)
        page = await self.read("children", key, _path(request), cursor, limit)
        if page is None:
            await self._run_or_404(key)
            raise Problem(404, "no such node")
        return JSON({"children": page[0], "next": page[1]})

    async def problems(self, request):
        key = _key(request)
        await self._run_or_404(key)
        cursor, limit = _page(request)
        rows, nxt = await self.heavy_call(self.store.problems, key, cursor, limit)
        return JSON({"problems": rows, "next": nxt})

    async def search(self, request):
        key = _key(request)
        text = request.query_params.get("q")
        if not text:
            raise Problem(400, "q is missing")
        await self._run_or_404(key)
        cursor, limit = _page(request)
        rows, nxt = await self.heavy_call(self.store.search, key, text, cursor, limit)
        return JSON({"nodes": rows, "next": nxt})

    async def changed(self, request):
        key = _key(request)
        run = await self._run_or_404(key)
        since = _int_arg(request, "since", 0)
        cursor, limit = _page(request)
        rows, nxt = await self.heavy_call(self.store.changed, key, since, cursor, limit)
        answer = {"generation": run["generation"], "finished": run["finished"],
                  "nodes": rows, "next": nxt}
        if cursor is None:  # said once, on the first page
            answer["removed"] = await self.heavy_call(self.store.removed, key, since)
        return JSON(answer)

    async def log(self, request):
        key = _key(request)
        node = await self.read("node", key, _path(request))
        if node is None:
            await self._run_or_404(key)
            raise Problem(404, "no such node")
        if self.logs_dir is None:
            raise Problem(404, "this server has no logs folder (start it with --logs DIR)")
        try:
            data, where = await self.heavy_call(logs.node_slice, self.logs_dir, node)
        except logs.LogError as exc:
            raise Problem(exc.status, str(exc)) from None
        return Response(data, media_type="text/plain; charset=utf-8",
                        headers={"X-Log-File": where["file"], "X-Log-Begin": str(where["begin"]),
                                 "X-Log-Size": str(where["size"])})

    async def diff(self, request):
        old, new = _int_arg(request, "old"), _int_arg(request, "new")
        await self._run_or_404(old)
        await self._run_or_404(new)
        from vexa.reporter import compare
        factor = _number_arg(request, "factor", compare.DEFAULT_SLOWER_FACTOR)
        seconds = _number_arg(request, "seconds", compare.DEFAULT_SLOWER_SECONDS)

        def work():
            return compare.compare(self.store.records(old), self.store.records(new),
                                   slower_factor=factor, slower_seconds=seconds)
        return JSON(await self.heavy_call(work))

    # The endpoints of the first report server, for the one file served.

    async def legacy_runsheaf(self, request):
        if self.legacy_key is None:
            raise Problem(404, "no such resource")
        node = await self.read("node", self.legacy_key, [])
        if node is None:
            raise Problem(404, "no such node")
        return JSON(node)

    async def legacy_section(self, request):
        if self.legacy_key is None:
            raise Problem(404, "no such resource")
        values = request.query_params.getlist("id_list")
        try:
            id_list = json.loads(values[0]) if len(values) == 1 else None
        except (ValueError, RecursionError):
            id_list = None
        if not isinstance(id_list, list):
            raise Problem(400, "id_list must be one JSON array")
        node = await self.read("node", self.legacy_key, id_list)
        if node is None:
            raise Problem(404, "no such node")
        return JSON(node)

    async def index(self, request):
        return JSON({"api": API + "/", "runs": API + "/runs", "viewer": "/"})


async def _problem(request, exc):
    return JSON({"error": exc.message}, status_code=exc.status)


async def _http_error(request, exc):
    messages = {404: "no such resource", 405: "method not allowed"}
    return JSON({"error": messages.get(exc.status_code, exc.detail)},
                status_code=exc.status_code, headers=getattr(exc, "headers", None))


async def _store_error(request, exc):
    return JSON({"error": str(exc)}, status_code=503)


async def _value_error(request, exc):
    return JSON({"error": str(exc).splitlines()[0] if str(exc) else "bad request"}, status_code=400)


async def _too_large(request, exc):
    return JSON({"error": "the body is too large"}, status_code=413)


async def _internal(request, exc):
    return JSON({"error": "internal error"}, status_code=500)


def create_app(store, logs_dir=None, legacy_key=None, token=None, secure_cookie=False):
    """The application over `store`. With a `token`, every request must carry it."""
    api = API_(store, logs_dir, legacy_key)

    def get(path, endpoint):
        return Route(path, endpoint, methods=["GET"])  # HEAD comes with GET

    from vexa.reporter.server.pages import Pages
    pages = Pages()
    routes = [
        get("/", pages.index),
        get("/static/{name}", pages.static),
        get(API + "/", api.index),
        get(API + "/runs", api.runs),
        get(API + "/runs/{key}", api.run),
        get(API + "/runs/{key}/info", api.info),
        get(API + "/runs/{key}/node", api.node),
        get(API + "/runs/{key}/children", api.children),
        get(API + "/runs/{key}/problems", api.problems),
        get(API + "/runs/{key}/search", api.search),
        get(API + "/runs/{key}/changed", api.changed),
        get(API + "/runs/{key}/log", api.log),
        get(API + "/diff", api.diff),
        get("/runsheaf", api.legacy_runsheaf),
        get("/section", api.legacy_section),
    ]
    if token is not None:
        routes += signin_routes(token, secure_cookie)
    app = Starlette(routes=routes, exception_handlers={
        Problem: _problem,
        HTTPException: _http_error,
        StoreError: _store_error,
        ValueError: _value_error,
        BodyTooLarge: _too_large,
        Exception: _internal,
    })
    app = TreePaths(app, api)
    if token is not None:
        app = AccessMiddleware(app, token=token)
    app = LimitsMiddleware(app)
    app.api = api
    return app


_NODE_ARGS = frozenset(["path"])
_CHILDREN_ARGS = frozenset(["path", "limit", "cursor"])
_HEADERS = [(b"content-type", b"application/json")]


class TreePaths:
    """The two requests a tree view makes most (a node, a page of children),
    answered without the framework's routing and request objects. Anything
    out of the ordinary (an error, an argument given twice) goes to the
    framework, which answers it as always."""

    def __init__(self, app, api):
        self.app = app
        self.api = api

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http" and scope["path"][:13] == "/api/v1/runs/":
            key, _, what = scope["path"][13:].partition("/")
            if what in ("node", "children") and key.isascii() and key.isdigit() and len(key) < 19:
                answer = await self._answer(int(key), what, scope["query_string"])
                if answer is not None:
                    status, body = answer
                    await send({"type": "http.response.start", "status": status,
                                "headers": _HEADERS + [(b"content-length", b"%d" % len(body))]})
                    await send({"type": "http.response.body", "body": body})
                    return
        await self.app(scope, receive, send)

    async def _answer(self, key, what, query):
        """(status, body) of the answer, or None for the framework to answer."""
        pairs = urllib.parse.parse_qsl(query.decode("latin-1"), keep_blank_values=True)
        args = dict(pairs)
        if len(args) != len(pairs):
            return None
        try:
            path = json.loads(args["path"]) if "path" in args else []
            if not isinstance(path, list):
                return None
            read = self.api.read
            if what == "node":
                if not args.keys() <= _NODE_ARGS:
                    return None
                node = await read("node", key, path)
                return None if node is None else (200, render(node))
            if not args.keys() <= _CHILDREN_ARGS:
                return None
            limit = int(args.get("limit", 200))
            if limit < 1:
                return None
            page = await read("children", key, path, args.get("cursor"), limit)
        except StoreError as exc:  # as the framework answers it, without asking again
            return 503, render({"error": str(exc)})
        except Exception:  # noqa: BLE001 - the framework answers it, errors and all
            return None
        return None if page is None else (200, render({"children": page[0], "next": page[1]}))
