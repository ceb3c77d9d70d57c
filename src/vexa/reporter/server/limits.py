"""Request limits, answered as JSON before any work is done."""

import json

MAX_TARGET = 8 * 1024      # path and query
MAX_HEADERS = 16 * 1024    # all header lines together
MAX_BODY = 16 * 1024       # only the sign-in form has a body


async def send_error(send, status, message, headers=()):
    body = json.dumps({"error": message}).encode("ascii")
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"),
                            (b"content-length", str(len(body)).encode("ascii"))] + list(headers)})
    await send({"type": "http.response.body", "body": body})


class LimitsMiddleware:
    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        if len(scope.get("raw_path", b"")) + len(scope.get("query_string", b"")) > MAX_TARGET:
            return await send_error(send, 414, "the address is longer than %d bytes" % MAX_TARGET)
        headers = scope["headers"]
        if sum(len(k) + len(v) + 4 for k, v in headers) > MAX_HEADERS:
            return await send_error(send, 431, "the headers are larger than %d bytes" % MAX_HEADERS)
        for name, value in headers:
            if name == b"content-length":
                try:
                    length = int(value)
                except ValueError:
                    return await send_error(send, 400, "Content-Length is not a number")
                if length > MAX_BODY:
                    return await send_error(send, 413, "the body is larger than %d bytes" % MAX_BODY)
        started = False

        async def watched_send(message):
            nonlocal started
            started = started or message["type"] == "http.response.start"
            await send(message)
        try:
            await self.app(scope, _capped(receive), watched_send)
        except BodyTooLarge:
            if not started:
                await send_error(send, 413, "the body is larger than %d bytes" % MAX_BODY)


def _capped(receive):
    # A body sent without a length (chunked) is cut off all the same.
    seen = 0

    async def wrapped():
        nonlocal seen
        message = await receive()
        if message["type"] == "http.request":
            seen += len(message.get("body", b""))
            if seen > MAX_BODY:
                raise BodyTooLarge()
        return message
    return wrapped


class BodyTooLarge(Exception):
    pass
