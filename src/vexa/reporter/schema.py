"""Validation of results documents against the report format's JSON Schema.

results.schema.json, beside this module, describes the whole document: the
format version, the report node and, recursively, every task, plugin run and
section below it. It is the published description of the format; readers
may validate against it with any JSON Schema (draft 7) library.

`validate` checks a parsed document against it node by node, walking the
tree with an explicit stack, so that depth is no limit. Each node is first
checked by a predicate compiled from the node's schema, fast enough for
reports of 100,000 sections; only a node that fails is checked again with
jsonschema, whose errors say what is wrong and where. Each finding names
the node by its path of ids ("routing > tc2 > test") as well as the JSON
path of the offending value.

`examine` does the same and, with `strict`, also checks what the schema
cannot express but the file itself proves: counters that disagree with
their counts, a run's `totaltasks` against its tasks, stop times before
start times, run times that disagree with both, NaN and infinities. Sibling
ids that repeat are allowed but make paths ambiguous: they are warnings.
"""

import copy
import datetime
import functools
import json
import math
import os
import re
import reprlib

__all__ = ["SCHEMA_PATH", "Finding", "Findings", "examine", "load_schema", "validate"]

SCHEMA_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results.schema.json")

# Properties that hold child nodes; their items name the classes a child may be.
_CHILD_KEYS = ("report", "tasks", "sections")


class Finding(str):
    """One problem, as the line "JSON path (node path): message", with its
    parts as attributes."""

    __slots__ = ("json_path", "node_path", "message")

    def __new__(cls, json_path, node_path, message):
        where = "%s (%s)" % (json_path, node_path) if node_path else json_path
        self = super().__new__(cls, "%s: %s" % (where, message))
        self.json_path, self.node_path, self.message = json_path, node_path, message
        return self

    def as_dict(self):
        return {"json_path": self.json_path, "node_path": self.node_path,
                "message": self.message}


class Findings(list):
    """The problems found in a document, in document order: one readable
    line each, starting with the path of the offending value; printed one
    per line, then a line that counts them. `warnings` holds what is
    allowed but worth knowing, in the same form."""

    def __init__(self, *args):
        super().__init__(*args)
        self.warnings = []

    def __str__(self):
        return "\n".join([*self, count_line(len(self))])


def count_line(n, what="finding"):
    return "%d %s%s" % (n, what, "" if n == 1 else "s")


def load_schema():
    """The JSON Schema of the results document, as a new dictionary."""
    with open(SCHEMA_PATH, encoding="utf-8") as f:
        return json.load(f)


def validate(document):
    """Check a parsed results document.

    Returns None when it is valid, otherwise a `Findings` list naming every
    problem found. Raises nothing for any value that `json.loads` returns.
    """
    findings = _checker().check(document)
    return findings or None


def examine(document, strict=False, nonfinite=True):
    """Every finding about a parsed document, and in `.warnings` the sibling
    ids that repeat. With `strict`, also the checks that the schema cannot
    express (module docstring); `nonfinite=False` says the document is known
    to hold no NaN or infinity, which spares looking for them."""
    return _checker().check(document, strict=strict, nonfinite=nonfinite)


@functools.cache
def _checker():
    return _Checker(load_schema())


class _Kind:
    """One class of node: its schema with the children left out (they are
    checked as nodes of their own), and where its children are."""

    def __init__(self, name, schema, definitions, compiler):
        self.name = name
        self.title = schema.get("title", name)
        self.child_key = None
        self.child_kinds = ()
        self.children_listed = True  # an array of children, or a single one
        shallow = copy.deepcopy(schema)
        shallow.pop("definitions", None)
        for key in _CHILD_KEYS:
            prop = shallow.get("properties", {}).get(key)
            kinds = _refs(prop.get("items", prop)) if prop is not None else []
            if kinds:
                self.child_key = key
                self.child_kinds = tuple(kinds)  # names until the checker links them
                self.children_listed = "items" in prop
                # A single child is checked as a node only; a list as a list here.
                shallow["properties"][key] = {"type": "array"} if "items" in prop else {}
        self.is_valid = compiler.compile(shallow).test
        self.schema = dict(shallow, definitions=definitions)
        self._validator = None

    def errors(self, value):
        if self._validator is None:
            import jsonschema  # only needed to explain an invalid document

            self._validator = jsonschema.Draft7Validator(self.schema)
        return self._validator.iter_errors(value)


def _refs(subschema):
    """Names of the definitions that a child's schema refers to, in order."""
    options = subschema.get("anyOf", [subschema])
    return [s["$ref"].rpartition("/")[2] for s in options if "$ref" in s]


class _Checker:
    def __init__(self, schema):
        definitions = schema.get("definitions", {})
        compiler = _Compiler(definitions)
        self.document = _Kind("document", dict(schema, title="results document"),
                              definitions, compiler)
        self.kinds = {}
        pending = list(self.document.child_kinds)
        while pending:
            name = pending.pop()
            if name not in self.kinds:
                kind = _Kind(name, definitions[name], definitions, compiler)
                self.kinds[name] = kind
                pending.extend(kind.child_kinds)
        for kind in [self.document, *self.kinds.values()]:
            kind.child_kinds = tuple(self.kinds[name] for name in kind.child_kinds)
        self._titles = {id(d): d.get("title", name) for name, d in definitions.items()}

    def check(self, document, strict=False, nonfinite=True):
        findings = Findings()
        add = findings.append
        strict_node = _Strict(add, nonfinite).node if strict else None
        # (path, value, the kinds it may be, its ids); a path is (parent path, key) or None
        stack = [(None, document, (self.document,), None)]
        pop, push = stack.pop, stack.append
        while stack:
            path, value, kinds, idlist = pop()
            kind = kinds[0]
            if not kind.is_valid(value):
                kind = self._classify(path, value, kinds, idlist, findings)
            if strict_node is not None and idlist is not None and isinstance(value, dict):
                strict_node(kind.name, value, path, idlist)
            if kind.child_key is None or not isinstance(value, dict):
                continue
            children = value.get(kind.child_key)
            child_path = (path, kind.child_key)
            if not kind.children_listed:
                if kind.child_key in value:
                    push((child_path, children, kind.child_kinds, _top_idlist(children)))
            elif isinstance(children, list):
                child_kinds = kind.child_kinds
                base = () if kind.name == "run" else idlist or ()  # no idlist holds the run's id
                ids = [c.get("id") if c.__class__ is dict else None for c in children]
                for i in range(len(children) - 1, -1, -1):
                    push(((child_path, i), children[i], child_kinds, base + (ids[i],)))
                try:
                    distinct = len(set(ids)) == len(ids)
                except TypeError:  # an id that is a list or an object
                    distinct = False
                for i in () if distinct else _repeated(ids):
                    findings.warnings.append(Finding(
                        _format_path(((child_path, i), "id")), _node_path(base + (children[i]["id"],)),
                        "id %s repeats an earlier sibling's; paths to either are ambiguous"
                        % _short(children[i]["id"])))
        return findings

    def _classify(self, path, value, kinds, idlist, findings):
        """The first other kind `value` is valid as; failing that, report
        the problems for the kind its type or fields name, else for the one
        it comes closest to, and take it as that."""
        for kind in kinds[1:]:
            if kind.is_valid(value):
                return kind
        node_path = _node_path(idlist) if idlist is not None else None
        named = _kind_named(value, kinds)
        best = None
        for kind in kinds:
            if named is not None and kind is not named:
                continue
            try:
                lines = self._explain(path, value, kind)
            except RecursionError:
                lines = [(path, "nested too deeply to be described")]
            if not lines:  # cannot happen while both agree; never say nothing
                lines = [(path, "not %s" % _a("valid " + kind.title))]
            if best is None or len(lines) < len(best[1]):
                best = (kind, lines)
        findings.extend(Finding(_format_path(where), node_path, message)
                        for where, message in best[1])
        return best[0]

    def _explain(self, path, value, kind):
        lines = []
        errors = sorted(kind.errors(value), key=lambda e: [
            (0, p, "") if isinstance(p, int) else (1, 0, p) for p in e.absolute_path])
        for error in errors:
            where = path
            for part in error.absolute_path:
                where = (where, part)
            for line in self._describe(where, error, kind):
                if line not in lines:
                    lines.append(line)
        return lines

    def _describe(self, where, error, kind):
        """(path, message) pairs for one jsonschema error."""
        keyword, instance, schema = error.validator, error.instance, error.schema
        title = self._titles.get(id(schema), kind.title)
        if keyword == "required":
            for name in error.validator_value:
                if name not in instance:
                    yield where, "missing field %s of %s" % (_short(name), _a(title))
        elif keyword == "additionalProperties":
            known = schema.get("properties", {})
            for name in instance:
                if name not in known:
                    yield (where, name), "not a field of %s" % _a(title)
        elif keyword == "type":
            types = error.validator_value
            types = [types] if isinstance(types, str) else types
            yield where, "expected %s, found %s" % (
                " or ".join(_a(t) for t in types), _describe_value(instance))
        elif keyword in ("pattern", "enum"):
            expected = schema.get("description") or _short(error.validator_value)
            yield where, "expected %s, found %s" % (expected, _describe_value(instance))
        elif keyword == "minimum":
            yield where, "must be at least %s, found %s" % (error.validator_value, _short(instance))
        elif keyword in ("minItems", "minLength"):
            yield where, "must not be empty"
        else:
            yield where, _short(error.message)


def _repeated(ids):
    """Positions of the ids that an earlier sibling has too (1 and "1"
    differ; ids that are not text or integers are left alone)."""
    seen = set()
    for i, ident in enumerate(ids):
        if type(ident) in (str, int):
            key = (type(ident), ident)
            if key in seen:
                yield i
            seen.add(key)


# The node kinds a `type` names; other types are sections (or tell by fields).
_TYPE_KINDS = {"Runsheaf": "run", "Task": "task", "Plugin": "plugin"}


def _kind_named(value, kinds):
    """The kind among `kinds` that a node's `type`, else its fields, say it
    is; None when they say nothing that helps."""
    if not isinstance(value, dict) or len(kinds) < 2:
        return None
    by_name = {kind.name: kind for kind in kinds}
    kind_type = value.get("type")
    name = _TYPE_KINDS.get(kind_type) if isinstance(kind_type, str) else None
    if name is None and isinstance(kind_type, str) and kind_type and "section" in by_name:
        name = "section"  # the free types are those of sections
    if name is None:
        if "totaltasks" in value or "tasks" in value:
            name = "run"
        elif "pluginsummary" in value:
            name = "task"
        elif "health_summary" in value:
            name = "section"
        else:
            name = "section" if "section" in by_name and "plugin" not in by_name else None
    return by_name.get(name)


def _top_idlist(node):
    """The ids of the node at the top of a document, from its own idlist."""
    if not isinstance(node, dict):
        return None
    idlist = node.get("idlist")
    if isinstance(idlist, list) and idlist and all(type(i) in (str, int) for i in idlist):
        return tuple(idlist)
    return (node.get("id"),)


def _node_path(idlist):
    from vexa.reporter.nodes import format_path

    return format_path(idlist)


def _parse_time(value):
    if not isinstance(value, str):
        return None
    try:
        return datetime.datetime.fromisoformat(value)
    except ValueError:
        return None


class _Strict:
    """What --strict adds: facts the file proves wrong about itself."""

    COUNTERS = ("summary", "pluginsummary", "health_summary")
    _DERIVED = ("total", "success_rate")

    def __init__(self, add, nonfinite):
        self.add = add
        self.nonfinite = nonfinite

    def report(self, path, idlist, keys, message):
        for key in keys:
            path = (path, key)
        self.add(Finding(_format_path(path), _node_path(idlist), message))

    def node(self, kind, node, path, idlist):
        get = node.get
        if self.nonfinite:
            for key, value in node.items():
                if key != "tasks" and key != "sections":
                    for sub, text in _nonfinite(value, (path, key)):
                        self.add(Finding(_format_path(sub), _node_path(idlist),
                                         "%s is not a number JSON allows" % text))
        weight = None
        if kind == "run":
            tasks, total = get("tasks"), get("totaltasks")
            if isinstance(tasks, list) and type(total) is int and total > 0:
                own = [t for t in tasks if isinstance(t, dict) and _is_task(t)]
                if total != len(own):
                    self.report(path, idlist, ("totaltasks",),
                                "%d tasks planned, but the run holds %d" % (total, len(own)))
                weight = sum(1 for t in own if t.get("starttime")) / total
        for key in self.COUNTERS:
            counter = get(key)
            if counter.__class__ is dict:
                for sub, message in self.counter(counter, weight if key == "summary" else None):
                    self.report(path, idlist, (key, sub), message)
        start, stop = get("starttime"), get("stoptime")
        if start.__class__ is str and stop.__class__ is str:
            problem = self.times(start, stop, get("runtime"))
            if problem is not None:
                self.report(path, idlist, (problem[0],), problem[1])

    @classmethod
    def counter(cls, counter, weight):
        """[(key, message)] for what in a counter disagrees with its counts."""
        counted = good = 0
        derived = cls._DERIVED
        for key, value in counter.items():
            if key in derived:
                continue
            if value.__class__ is not int:
                return ()
            counted += value
            if key == "passed" or key == "passx":
                good += value
        problems = []
        total = counter.get("total")
        if total.__class__ is int and total != counted:
            problems.append(("total", "total %d, but the counts add up to %d" % (total, counted)))
        rate = counter.get("success_rate")
        if rate.__class__ not in (int, float) or not math.isfinite(rate):
            return problems
        share = 100.0 * good / counted if counted else 0.0
        if abs(rate - round(share, 2)) <= 0.011:
            return problems
        # A run's rate is scaled by the share of its planned tasks that ran.
        if weight is not None and abs(rate - round(share * weight, 2)) <= 0.011:
            return problems
        expected = round(share * weight, 2) if weight is not None else round(share, 2)
        problems.append(("success_rate", "success rate %s, but the counts give %s" % (
            _number(rate), _number(expected))))
        return problems

    @staticmethod
    def times(start_text, stop_text, runtime):
        """(key, message) for times that disagree with each other."""
        start, stop = _parse_time(start_text), _parse_time(stop_text)
        if start is None or stop is None:
            return None
        try:
            elapsed = (stop - start).total_seconds()
        except TypeError:  # one with a UTC offset, one without: not comparable
            return None
        if elapsed < 0:
            return "stoptime", "stop time %s is before start time %s" % (stop_text, start_text)
        if runtime.__class__ in (int, float) and math.isfinite(runtime) \
                and abs(runtime - elapsed) > 0.01:
            return "runtime", "run time %s s, but stop minus start is %s s" % (
                _number(runtime), _number(round(elapsed, 6)))
        return None


def _is_task(node):
    if node.get("type") == "Plugin":
        return False
    return "pluginsummary" in node or "health_summary" in node


def _number(value):
    return repr(value) if isinstance(value, float) else str(value)


def _nonfinite(value, path):
    """(path, text) of every NaN or infinity in a value, depth first."""
    stack = [(value, path)]
    while stack:
        value, path = stack.pop()
        if type(value) is float:
            if not math.isfinite(value):
                yield path, ("NaN" if value != value else "Infinity" if value > 0 else "-Infinity")
        elif type(value) is dict:
            stack.extend((v, (path, k)) for k, v in reversed(value.items()))
        elif type(value) is list:
            stack.extend((v, (path, i)) for i, v in reversed(list(enumerate(value))))


def _a(noun):
    if noun in ("null",):
        return noun
    return ("an " if noun[:1] in "aeiou" else "a ") + noun


_repr = reprlib.Repr()
_repr.maxstring = 60
_repr.maxother = 60
_repr.maxlevel = 2


def _short(value):
    return _repr.repr(value)


def _describe_value(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "the boolean %s" % ("true" if value else "false")
    if isinstance(value, int):
        return "the integer %s" % _short(value)
    if isinstance(value, float):
        return "the number %r" % value
    if isinstance(value, str):
        return "the string %s" % _short(value)
    if isinstance(value, list):
        return "an array of %d item%s" % (len(value), "" if len(value) == 1 else "s")
    if isinstance(value, dict):
        return "an object"
    return _short(value)


def _format_path(path):
    """'$.report.tasks[0].id' for ((((None, 'report'), 'tasks'), 0), 'id')."""
    parts = []
    while path is not None:
        path, part = path
        if isinstance(part, int):
            parts.append("[%d]" % part)
        elif part.isidentifier():
            parts.append("." + part)
        else:
            parts.append("[%s]" % _short(part))
    parts.append("$")
    return "".join(reversed(parts))


# -- Compiled predicates ------------------------------------------------------
#
# A general validator spends most of its time on machinery; these predicates
# do only what the schema asks, and skip a value whose Python type alone
# decides it. They cover the subset of draft 7 that the results schema uses,
# with jsonschema's meaning (True is no integer, 1.0 is one), and refuse any
# other keyword, so that the schema cannot outgrow them unnoticed.

_ANNOTATIONS = {"$schema", "title", "description", "definitions"}
_SUPPORTED = _ANNOTATIONS | {
    "$ref", "type", "required", "properties", "additionalProperties", "items", "anyOf",
    "minItems", "minLength", "minimum", "pattern", "enum"}
_OBJECT_KEYWORDS = {"properties", "required", "additionalProperties"}
_ARRAY_KEYWORDS = {"items", "minItems"}
_EXACT_TYPES = {
    "object": {dict}, "array": {list}, "string": {str}, "integer": {int},
    "number": {int, float}, "boolean": {bool}, "null": {type(None)}}
_ANY_JSON = frozenset({dict, list, str, int, float, bool, type(None)})


def _is_type(value, name):
    if name == "object":
        return isinstance(value, dict)
    if name == "array":
        return isinstance(value, list)
    if name == "string":
        return isinstance(value, str)
    if name == "boolean":
        return isinstance(value, bool)
    if name == "null":
        return value is None
    if isinstance(value, bool):
        return False
    if name == "integer":
        return isinstance(value, int) or (isinstance(value, float) and value.is_integer())
    if name == "number":
        return isinstance(value, (int, float))
    raise ValueError("unknown JSON type %r" % name)


def _always(value):
    return True


class _Predicate:
    __slots__ = ("exact", "test")

    def __init__(self, exact, test):
        self.exact = exact  # Python types that satisfy the schema whatever the value
        self.test = test    # the whole check, for any value


class _Compiler:
    def __init__(self, definitions):
        self._definitions = definitions
        self._refs = {}

    def compile(self, schema):
        if schema is True or schema == {}:
            return _Predicate(_ANY_JSON, _always)
        if schema is False:
            return _Predicate(frozenset(), lambda value: False)
        unknown = set(schema) - _SUPPORTED
        if unknown:
            raise ValueError("schema keywords not supported: %s" % ", ".join(sorted(unknown)))
        if "$ref" in schema:  # draft 7: the keywords beside $ref do not count
            return self._ref(schema["$ref"])

        keywords = set(schema) - _ANNOTATIONS
        types = schema.get("type")
        types = [types] if isinstance(types, str) else types
        if keywords == {"type"}:
            exact = frozenset(t for name in types for t in _EXACT_TYPES[name])
            return _Predicate(exact, lambda v: type(v) in exact or any(_is_type(v, n) for n in types))

        tests = []
        done = set()  # keywords already checked by a test
        if types == ["object"] or keywords & _OBJECT_KEYWORDS:
            tests.append(self._object(schema, typed=types == ["object"]))
            done |= _OBJECT_KEYWORDS | ({"type"} if types == ["object"] else set())
        if types == ["array"] or keywords & _ARRAY_KEYWORDS:
            tests.append(self._array(schema, typed=types == ["array"]))
            done |= _ARRAY_KEYWORDS | ({"type"} if types == ["array"] else set())
        # The usual pairs, as one test each.
        if types == ["string"] and "pattern" in keywords:
            search = re.compile(schema["pattern"]).search
            tests.append(lambda v: isinstance(v, str) and search(v) is not None)
            done |= {"type", "pattern"}
        elif types == ["string"] and "minLength" in keywords:
            n = schema["minLength"]
            tests.append(lambda v: isinstance(v, str) and len(v) >= n)
            done |= {"type", "minLength"}
        elif types in (["integer"], ["number"]) and "minimum" in keywords:
            low, name = schema["minimum"], types[0]
            exact = _EXACT_TYPES[name]
            tests.append(lambda v: not v < low if type(v) in exact
                         else _is_type(v, name) and not v < low)
            done |= {"type", "minimum"}
        keywords -= done

        if "type" in keywords:
            tests.append(lambda v: any(_is_type(v, n) for n in types))
        if "minLength" in keywords:
            n = schema["minLength"]
            tests.append(lambda v: not isinstance(v, str) or len(v) >= n)
        if "pattern" in keywords:
            search = re.compile(schema["pattern"]).search
            tests.append(lambda v: not isinstance(v, str) or search(v) is not None)
        if "minimum" in keywords:
            low = schema["minimum"]
            tests.append(lambda v: not _is_type(v, "number") or not v < low)
        if "enum" in keywords:
            tests.append(self._enum(schema["enum"]))
        if "anyOf" in keywords:
            options = [self.compile(s).test for s in schema["anyOf"]]
            tests.append(lambda v: any(option(v) for option in options))

        if not tests:
            return _Predicate(_ANY_JSON, _always)
        if len(tests) == 1:
            return _Predicate(frozenset(), tests[0])
        return _Predicate(frozenset(), lambda v: all(test(v) for test in tests))

    def _ref(self, ref):
        name = ref.rpartition("/")[2]
        if name not in self._refs:
            self._refs[name] = None  # a reference to itself, resolved when called
            self._refs[name] = self.compile(self._definitions[name])
        predicate = self._refs[name]
        if predicate is None:
            return _Predicate(frozenset(), lambda v: self._refs[name].test(v))
        return predicate

    def _object(self, schema, typed):
        checks = {name: (p.exact, p.test)
                  for name, p in ((name, self.compile(s))
                                  for name, s in schema.get("properties", {}).items())}
        required = frozenset(schema.get("required", ()))
        additional = schema.get("additionalProperties", True)
        closed = additional is False
        allowed = frozenset(checks)
        other = None
        if not closed and additional is not True:
            p = self.compile(additional)
            other = (p.exact, p.test)

        def test(v):
            if not isinstance(v, dict):
                return not typed
            keys = v.keys()
            if required and not keys >= required:
                return False
            if closed and not keys <= allowed:
                return False
            get = checks.get
            for key, x in v.items():
                check = get(key, other)
                if check is None or type(x) in check[0]:
                    continue
                if not check[1](x):
                    return False
            return True
        return test

    def _array(self, schema, typed):
        item = self.compile(schema.get("items", True))
        exact, item_test = item.exact, item.test
        n = schema.get("minItems", 0)

        def test(v):
            if not isinstance(v, list):
                return not typed
            if len(v) < n:
                return False
            for x in v:
                if type(x) not in exact and not item_test(x):
                    return False
            return True
        return test

    @staticmethod
    def _enum(values):
        if not all(v is None or isinstance(v, (str, int, float)) for v in values):
            raise ValueError("enum values other than scalars are not supported")

        def same(a, b):  # jsonschema's equality: booleans are not numbers
            if isinstance(a, bool) or isinstance(b, bool):
                return type(a) is type(b) and a == b
            if isinstance(a, str) != isinstance(b, str):
                return False
            return a == b

        return lambda v: isinstance(v, (str, int, float, type(None))) and any(
            same(v, e) for e in values)
