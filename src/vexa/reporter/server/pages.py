"""The viewer's pages: files of the package's `static` folder, read once.

Only files found there at start-up are served, by their bare names, so no
address can reach anything else. The policy header lets the pages load only
their own scripts and styles: even a report text that got into the page as
markup could not run.
"""

import os

from starlette.responses import Response

from vexa.reporter.server.app import Problem

FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
         ".css": "text/css; charset=utf-8", ".svg": "image/svg+xml"}
HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; "
                               "img-src 'self'; connect-src 'self'; base-uri 'none'; "
                               "form-action 'self'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-cache",
}


def load(folder=FOLDER):
    files = {}
    for name in sorted(os.listdir(folder)):
        kind = TYPES.get(os.path.splitext(name)[1])
        if kind is not None:
            with open(os.path.join(folder, name), "rb") as f:
                files[name] = (f.read(), kind)
    return files


class Pages:
    def __init__(self, folder=FOLDER):
        self.files = load(folder)

    def _answer(self, name):
        found = self.files.get(name)
        if found is None:
            raise Problem(404, "no such resource")
        return Response(found[0], media_type=found[1], headers=HEADERS)

    async def index(self, request):
        return self._answer("index.html")

    async def static(self, request):
        return self._answer(request.path_params["name"])
