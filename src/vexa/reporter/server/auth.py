"""Access by token, for a server that listens beyond this machine.

Every request carries the token as `Authorization: Bearer TOKEN`, or, for a
browser, in an HttpOnly, SameSite=Strict cookie that the sign-in page sets.
Tokens are compared in constant time.
"""

import hmac
import html
import urllib.parse

from starlette.responses import HTMLResponse, RedirectResponse
from starlette.routing import Route

from vexa.reporter.server.limits import send_error

COOKIE = "vexa_token"
SIGNIN = "/signin"
MIN_TOKEN = 16


class TokenError(ValueError):
    pass


def read_token(path=None, environ=None):
    """The token from a file (its first line) or from VEXA_TOKEN; None if neither."""
    import os
    environ = os.environ if environ is None else environ
    if path is not None:
        try:
            with open(path, encoding="utf-8") as f:
                token = f.readline().strip()
        except (OSError, UnicodeDecodeError) as exc:
            raise TokenError("token file %s: %s" % (path, getattr(exc, "strerror", None) or exc)) from None
        where = "token file %s" % path
    elif environ.get("VEXA_TOKEN"):
        token, where = environ["VEXA_TOKEN"].strip(), "VEXA_TOKEN"
    else:
        return None
    if len(token) < MIN_TOKEN:
        raise TokenError("%s: the token must be at least %d characters" % (where, MIN_TOKEN))
    return token


def _matches(given, token):
    return hmac.compare_digest(given.encode("utf-8", "surrogateescape"), token.encode("utf-8"))


class AccessMiddleware:
    def __init__(self, app, token):
        self.app = app
        self.token = token

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http" or scope["path"] == SIGNIN or self._allowed(scope["headers"]):
            return await self.app(scope, receive, send)
        if scope["path"] == "/" and scope["method"] in ("GET", "HEAD"):
            # A person opening the viewer is sent to sign in, not shown an error.
            await send({"type": "http.response.start", "status": 303,
                        "headers": [(b"location", SIGNIN.encode("ascii")), (b"content-length", b"0")]})
            await send({"type": "http.response.body", "body": b""})
            return
        await send_error(send, 401, "a token is needed: send Authorization: Bearer TOKEN, "
                                    "or sign in at %s" % SIGNIN,
                         headers=[(b"www-authenticate", b"Bearer")])

    def _allowed(self, headers):
        for name, value in headers:
            text = value.decode("latin-1")
            if name == b"authorization" and text[:7].lower() == "bearer ":
                if _matches(text[7:].strip(), self.token):
                    return True
            elif name == b"cookie":
                for part in text.split(";"):
                    key, _, given = part.strip().partition("=")
                    if key == COOKIE and _matches(urllib.parse.unquote(given), self.token):
                        return True
        return False


_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Sign in</title></head>
<body><form method="post" action="/signin">
<p>{message}</p>
<label>Token <input type="password" name="token" autocomplete="current-password" autofocus></label>
<button type="submit">Sign in</button>
</form></body></html>
"""


def signin_routes(token, secure_cookie):
    async def page(request):
        return HTMLResponse(_PAGE.format(message="This report server needs its token."))

    async def submit(request):
        form = urllib.parse.parse_qs((await request.body()).decode("utf-8", "replace"))
        given = form.get("token", [None])[0]
        if not isinstance(given, str) or not _matches(given, token):
            return HTMLResponse(_PAGE.format(message=html.escape("Wrong token.")), status_code=401)
        response = RedirectResponse("/", status_code=303)
        response.set_cookie(COOKIE, urllib.parse.quote(token, safe=""), httponly=True,
                            samesite="strict", secure=secure_cookie, path="/")
        return response

    return [Route(SIGNIN, page, methods=["GET"]), Route(SIGNIN, submit, methods=["POST"])]
