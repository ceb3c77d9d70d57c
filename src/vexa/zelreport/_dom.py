"""Building elements from recorded values."""

import datetime
import re
import xml.etree.ElementTree as ET
from collections.abc import Mapping

# What XML 1.0 cannot carry: C0 controls but tab, LF and CR, lone
# surrogates, U+FFFE and U+FFFF.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def _visible(match):
    code = ord(match.group())
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code


def text(value):
    """`value` as XML 1.0 text; None stays None (no text, no attribute)."""
    if value is None:
        return None
    if isinstance(value, datetime.timedelta):
        seconds = value.total_seconds()
        value = str(int(seconds)) if seconds.is_integer() else repr(seconds)
    elif isinstance(value, (datetime.datetime, datetime.date, datetime.time)):
        value = value.isoformat()
    elif not isinstance(value, str):
        value = str(value)
    return _NOT_XML.sub(_visible, value)


def sub(parent, tag, value=None, attrib=None):
    """Add element `tag` (always one of ours) with text and attributes."""
    attrs = {}
    if attrib:
        for name, item in attrib.items():
            item = text(item)
            if item is not None:
                attrs[name] = item
    elem = ET.SubElement(parent, tag, attrs)
    elem.text = text(value)
    return elem


_NO_KEY = object()


def data(parent, tag, value, key=_NO_KEY):
    """Add free-form data: mappings and lists become nested items."""
    attrib = None if key is _NO_KEY else {"key": "None" if key is None else key}
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


def times(parent, node):
    for name in ("starttime", "stoptime", "runtime"):
        value = getattr(node, name)
        if value is not None:
            sub(parent, name, value)


def diags(parent, runinfo):
    for diag in runinfo.diags:
        sub(parent, "diag", diag)
