"""Where the store is: a URL from --store, else VEXA_STORE, else a file in the
user's data folder."""

import os
import urllib.parse

ENVIRONMENT = "VEXA_STORE"


class StoreError(Exception):
    """A store that cannot be opened, read or written; its text is one line for a person."""


def default_url():
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return "sqlite:///" + os.path.join(base, "vexa", "reports.sqlite")


def store_url(url=None):
    """The URL to use: the one given, else the environment's, else the default."""
    return url or os.environ.get(ENVIRONMENT) or default_url()


def parse(url):
    """(scheme, details) for a store URL; a plain path is taken as an SQLite file.

    sqlite:///relative/or/absolute/path  ->  ("sqlite", path)
    """
    if "://" not in url:
        if not url:
            raise StoreError("empty store URL")
        return "sqlite", url
    scheme, rest = url.split("://", 1)
    scheme = scheme.lower()
    if scheme == "sqlite":
        # sqlite:///x.db is x.db (relative), sqlite:////tmp/x.db is /tmp/x.db.
        if not rest.startswith("/") or rest == "/":
            raise StoreError("store URL %s: write sqlite:///PATH" % url)
        return "sqlite", urllib.parse.unquote(rest[1:])
    if scheme in ("postgresql", "postgres"):
        return "postgresql", url
    raise StoreError("store URL %s: unknown kind of store %r (sqlite:///PATH)" % (url, scheme))


def redact(url):
    """The URL without its password, for messages."""
    try:
        parts = urllib.parse.urlsplit(url)
    except ValueError:
        return url.split("://", 1)[0] + "://..."
    if ":" not in parts.netloc.rpartition("@")[0] and "password" not in parts.query:
        return url
    netloc = parts.netloc
    if "@" in netloc:
        user, _, host = netloc.rpartition("@")
        if ":" in user:
            user = user.split(":", 1)[0] + ":***"
        netloc = user + "@" + host
    query = "&".join(
        "%s=%s" % (urllib.parse.quote(k), "***" if k == "password" else urllib.parse.quote(v))
        for k, v in urllib.parse.parse_qsl(parts.query, keep_blank_values=True))
    return urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, query, ""))
