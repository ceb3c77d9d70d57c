"""Building elements from recorded values."""

import datetime
import functools
import re
from collections.abc import Mapping
from xml.etree.ElementTree import SubElement

# What XML 1.0 cannot carry: C0 controls but tab, LF and CR, lone
# surrogates, U+FFFE and U+FFFF.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def _visible(match):
    code = ord(match.group())
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code


def _seconds(delta):
    if delta.microseconds:
        return repr(delta.total_seconds())
    return str(delta.days * 86400 + delta.seconds)


def _datetime_text(d):
    """`d.isoformat()`, faster: a job's ~10^5 times share a few dates and one
    or two zones, and formatting the zone offset is half the cost."""
    day = _DAY_TEXT.get(d.toordinal())
    tz = d.tzinfo
    zone = _ZONE_TEXT.get(tz) if tz is None or tz.__class__ is _TIMEZONE else None
    if day is None or zone is None:
        return _learn_datetime(d)
    return day + d.time().isoformat() + zone


_DAY_TEXT = {}   # proleptic ordinal: "YYYY-MM-DDT"
# None or a plain fixed-offset zone (equal offsets are equal keys): "+HH:MM".
# Other zones may change their offset, or compare and hash as they like.
_ZONE_TEXT = {None: ""}
_TIMEZONE = datetime.timezone


def _learn_datetime(d):
    full = d.isoformat()
    if len(_DAY_TEXT) > 1000:
        _DAY_TEXT.clear()
    _DAY_TEXT[d.toordinal()] = d.date().isoformat() + "T"
    if type(d.tzinfo) is _TIMEZONE and len(_ZONE_TEXT) < 100:
        _ZONE_TEXT[d.tzinfo] = full[len(d.replace(tzinfo=None).isoformat()):]
    return full


# Exact types whose text never holds a character XML 1.0 cannot carry.
_SAFE = {int: str, float: str, bool: str,
         datetime.datetime: _datetime_text,
         datetime.date: datetime.date.isoformat,
         datetime.time: datetime.time.isoformat,
         # Durations repeat a lot (whole seconds mostly).
         datetime.timedelta: functools.lru_cache(maxsize=1024)(_seconds)}


_search = _NOT_XML.search
_convert = _SAFE.get
_DATETIME = datetime.datetime


def text(value):
    """`value` as XML 1.0 text; None stays None (no text, no attribute)."""
    cls = value.__class__
    if cls is not str:
        safe = _SAFE.get(cls)
        if safe is not None:
            return safe(value)
        if value is None:
            return None
        if isinstance(value, datetime.timedelta):
            value = _seconds(value)
        elif isinstance(value, (datetime.datetime, datetime.date, datetime.time)):
            value = value.isoformat()
        else:
            value = str(value)
    if _NOT_XML.search(value) is None:
        return value
    return _NOT_XML.sub(_visible, value)


# Small integers, mostly the -1 of values not given, as shared text.
_INT_TEXT = {i: str(i) for i in range(-1, 1024)}


def attributes(pairs):
    """The attributes of (name, value) `pairs`; a None value is left out."""
    # text() inlined for the common types: large jobs have ~10^6 values.
    attrs = {}
    for name, v in pairs:
        cls = type(v)
        if cls is str:
            # Printable ASCII is checked faster than by the pattern.
            plain = not v or (v.isascii() and v.isprintable()) or _search(v) is None
            attrs[name] = v if plain else text(v)
        elif cls is int:
            attrs[name] = _INT_TEXT.get(v) or str(v)
        elif cls is _DATETIME:
            # _datetime_text(v), the call saved
            day = _DAY_TEXT.get(v.toordinal())
            tz = v.tzinfo
            zone = _ZONE_TEXT.get(tz) if tz is None or tz.__class__ is _TIMEZONE else None
            if day is None or zone is None:
                attrs[name] = _learn_datetime(v)
            else:
                attrs[name] = f"{day}{v.time().isoformat()}{zone}"
        elif v is not None:
            attrs[name] = _convert(cls, text)(v)
    return attrs


def sub(parent, tag, value=None, attrib=()):
    """Add element `tag` (always one of ours) with text and attributes.

    `attrib` holds (name, value) pairs; a None value leaves its attribute out.
    """
    elem = SubElement(parent, tag)
    if attrib:  # assigned, not passed: SubElement would copy the new dict
        elem.attrib = attributes(attrib)
    if value is not None:
        elem.text = text(value)
    return elem


_NO_KEY = object()


def data(parent, tag, value, key=_NO_KEY):
    """Add free-form data: mappings and lists become nested items."""
    attrib = () if key is _NO_KEY else (("key", "None" if key is None else key),)
    if isinstance(value, Mapping):
        elem = sub(parent, tag, None, attrib)
        for k, v in value.items():
            data(elem, "item", v, k)
    elif isinstance(value, (list, tuple)):
        elem = sub(parent, tag, None, attrib)
        for v in value:
            data(elem, "item", v)
    else:
        elem = sub(parent, tag, value, attrib)
    return elem


def times(node):
    """The time attributes of a node."""
    return (("starttime", node.starttime), ("stoptime", node.stoptime),
            ("runtime", node.runtime))


def diags(parent, runinfo):
    for diag in runinfo.diags:
        sub(parent, "diag", diag)
