"""Clock of the framework."""

import datetime
import time

# The local zone as a fixed offset, re-read once a minute: asking the C
# library for it on every call costs more than the rest of a report node.
_zone = None
_zone_until = None  # the next whole minute, as a time in _zone

_now = datetime.datetime.now


def _read_zone():
    global _zone, _zone_until
    now = time.time()
    local = time.localtime(now)
    _zone = datetime.timezone(datetime.timedelta(seconds=local.tm_gmtoff), local.tm_zone)
    _zone_until = datetime.datetime.fromtimestamp(now - now % 60 + 60, _zone)
    return datetime.datetime.fromtimestamp(now, _zone)


def get_time():
    """Now, as an aware local datetime, so reports read elsewhere stay exact."""
    moment = _now(_zone)
    # Both in the one zone object: compared as plain times, no offsets asked.
    if _zone_until is None or moment >= _zone_until:
        return _read_zone()
    return moment
