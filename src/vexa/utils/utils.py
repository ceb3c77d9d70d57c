"""Clock of the framework."""

import datetime
import time

# The local zone as a fixed offset, re-read once a minute: asking the C
# library for it on every call costs more than the rest of a report node.
_zone = None
_zone_until = 0.0

_now = time.time
_from_timestamp = datetime.datetime.fromtimestamp


def _read_zone(now):
    global _zone, _zone_until
    local = time.localtime(now)
    _zone = datetime.timezone(datetime.timedelta(seconds=local.tm_gmtoff), local.tm_zone)
    _zone_until = now - now % 60 + 60


def get_time():
    """Now, as an aware local datetime, so reports read elsewhere stay exact."""
    now = _now()
    if now >= _zone_until:
        _read_zone(now)
    return _from_timestamp(now, _zone)
