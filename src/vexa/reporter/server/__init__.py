"""The report server: the store over HTTP, as an ASGI application served by uvicorn.

`create_app(store, ...)` is the application (see `app` for its endpoints);
`Server(store, files, host, port, ...)` binds and runs it.
"""

from vexa.reporter.server.app import API, create_app
from vexa.reporter.server.run import ServeError, Server

__all__ = ["API", "ServeError", "Server", "create_app"]
