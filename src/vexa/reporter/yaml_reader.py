"""The YAML form of a results file, read as PyYAML's safe loader reads it,
several times faster and without holding the document's node graph.

PyYAML's C parser still reads the text; its events are turned into
dictionaries, lists and scalars here, with the loader's own resolver and
constructor tables. Anything a results file written by `dump_yaml` never
holds (anchors and aliases, explicit tags, merge keys, keys that are not
scalars, several documents), and any error, is left to `yaml.load` with
the same loader, so the answer and the message are always PyYAML's.
"""

import datetime

import yaml
from yaml.constructor import SafeConstructor

_STR = "tag:yaml.org,2002:str"
_VALUE = "tag:yaml.org,2002:value"
_MISSING = object()
# Results of a scalar's constructor that may be shared by every scalar of
# the same text.
_IMMUTABLE = (str, int, float, bool, type(None), datetime.datetime, datetime.date)


class _Unusual(Exception):
    """Something this reader leaves to PyYAML."""


def load_yaml(text):
    """What `yaml.load(text, Loader=CSafeLoader)` gives; where PyYAML was
    built without its C parser, `yaml.load` with SafeLoader itself."""
    loader = getattr(yaml, "CSafeLoader", None)
    if loader is None:
        return yaml.load(text, Loader=yaml.SafeLoader)
    try:
        return _read(text, loader)
    except Exception:  # noqa: BLE001 - PyYAML gives the verdict and the message
        return yaml.load(text, Loader=loader)


def _read(text, loader_class):
    if loader_class.yaml_path_resolvers or \
            loader_class.yaml_constructors.get(_STR) is not SafeConstructor.construct_yaml_str:
        raise _Unusual
    loader = loader_class(text)
    try:
        return _build(loader, loader_class)
    finally:
        loader.dispose()


def _build(loader, loader_class):
    implicit = loader_class.yaml_implicit_resolvers
    wildcard = implicit.get(None, [])
    constructors = loader_class.yaml_constructors
    plain = {}  # text of a plain scalar -> (tag, value)

    def resolve(text):
        """(tag, value) of a plain scalar not met before."""
        tag = _STR
        for candidate, regexp in implicit.get(text[:1], []) + wildcard:
            if regexp.match(text):
                tag = candidate
                break
        if tag == _STR:
            value = text
        elif tag == _VALUE:
            value = _MISSING  # "=": text only as a key
        else:
            construct = constructors.get(tag)
            if construct is None:
                raise _Unusual
            value = construct(loader, yaml.ScalarNode(tag, text))
            if type(value) not in _IMMUTABLE:
                return tag, value  # not shared
        plain[text] = found = (tag, value)
        return found

    Scalar, Alias = yaml.ScalarEvent, yaml.AliasEvent
    Mapping, Sequence = yaml.MappingStartEvent, yaml.SequenceStartEvent
    get = loader.get_event
    if type(get()) is not yaml.StreamStartEvent or type(get()) is not yaml.DocumentStartEvent:
        raise _Unusual
    # The container being filled, whether it is a list, and the key awaiting
    # its value (_MISSING in a list, and in a mapping between pairs); the
    # containers around it wait on the stack.
    container, is_list, key = None, True, _MISSING
    stack = []
    while True:
        event = get()
        kind = type(event)
        if kind is Scalar:
            if event.anchor is not None:
                raise _Unusual
            tag, value = event.tag, event.value
            if tag is None or tag == "!":
                if event.implicit[0]:  # plain: resolved; quoted or a block: text
                    found = plain.get(value)
                    value = (found if found is not None else resolve(value))[1]
                    if value is _MISSING:  # "=": text as a key, nothing else
                        if is_list or key is not _MISSING:
                            raise _Unusual
                        value = event.value
            elif tag != _STR:
                raise _Unusual
        elif kind is Mapping or kind is Sequence:
            if (not is_list and key is _MISSING) or event.anchor is not None \
                    or event.tag not in (None, "!"):
                raise _Unusual  # a collection as a key, an anchor, a tag
            stack.append((container, is_list, key))
            is_list = kind is Sequence
            container, key = ([] if is_list else {}), _MISSING
            continue
        elif kind is Alias or not stack:
            raise _Unusual  # an alias, or the document ends early
        elif kind is yaml.MappingEndEvent or kind is yaml.SequenceEndEvent:
            value = container
            container, is_list, key = stack.pop()
        else:
            raise _Unusual
        if container is None:  # the document's root
            if type(get()) is not yaml.DocumentEndEvent or type(get()) is not yaml.StreamEndEvent:
                raise _Unusual  # more than one document
            return value
        if is_list:
            container.append(value)
        elif key is _MISSING:
            key = value
        else:
            container[key] = value
            key = _MISSING
