"""JUnit XML from a results document or a live report tree.

The file that CI servers read: the run is <testsuites>, each task a
<testsuite>, and each test case a <testcase>. A test case is exactly what a
task's summary counts: a section directly under a task that is not a plugin
run and has a result. So the sums of tests, failures, errors and skipped are
the run's own summary counters:

    passed, passx          pass (passx noted as a property)
    failed                 <failure>
    errored, aborted       <error>
    blocked, skipped       <skipped>
    any other result       <error>, never a silent pass

`junit_xml(report)` takes a results document (what `json.load` gives for a
results file) or a live `Runsheaf`; a live tree gives the same text as its
`dump_json()` document. Every text is well-formed XML 1.0 whatever it holds:
characters XML forbids are written visibly, as \\x1b or \\ud800.
"""

import datetime
import json
import math
import os
import re
import stat

from vexa.reporter.nodes import GOOD_RESULTS, RUN, SECTION, TASK, child_kind, root_kind
from vexa.reporter.schema import _format_path, load_schema

try:  # the fast path; wherever it gives up, the mapping below writes
    from vexa.reporter import junitxml as _fast
except ImportError:  # pragma: no cover - a source tree without built modules
    _fast = None

__all__ = ["JUnitError", "LOG_SLICE_LIMIT", "junit_xml", "write_junit"]

# Most of a test case's log that goes into its <system-out>.
LOG_SLICE_LIMIT = 1 << 20

_PASSING = GOOD_RESULTS
_ELEMENT = {"failed": "failure", "errored": "error", "aborted": "error",
            "blocked": "skipped", "skipped": "skipped"}
# A date and time as the results format writes it.
_DATETIME = re.compile(load_schema()["definitions"]["datetime"]["pattern"])


class JUnitError(ValueError):
    """A document that is no results document: the message names where."""


# -- XML text ------------------------------------------------------------------

# Characters XML 1.0 forbids (C0 controls but tab, line feed and carriage
# return; lone surrogates; U+FFFE and U+FFFF) become visible escapes, as the
# legacy XML files write them; the rest only what markup needs.
_FORBIDDEN = "\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff"
_TEXT_SPECIAL = re.compile("[&<>\r%s]" % _FORBIDDEN)
_ATTR_SPECIAL = re.compile("[&<>\"\t\n\r%s]" % _FORBIDDEN)
_ENTITIES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;",
             "\t": "&#9;", "\n": "&#10;", "\r": "&#13;"}


def _replace(match):
    char = match.group()
    entity = _ENTITIES.get(char)
    if entity is not None:
        return entity
    code = ord(char)
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code


def escape_text(text):
    """`text` as XML character data."""
    return _TEXT_SPECIAL.sub(_replace, text) if _TEXT_SPECIAL.search(text) else text


def escape_attr(text):
    """`text` as a double-quoted attribute value; white space survives
    attribute normalisation."""
    return _ATTR_SPECIAL.sub(_replace, text) if _ATTR_SPECIAL.search(text) else text


# -- Reading the document --------------------------------------------------------
#
# Paths are built as (parent path, key) pairs and only formatted for an error,
# as '$.report.tasks[0].sections[3].result'.


def _fail(path, problem):
    raise JUnitError("%s: %s" % (_format_path(path), problem))


def _text(value):
    """An identifier, reason, detail or property as one text."""
    if type(value) is str:
        return value
    if type(value) is int:
        return str(value)
    # YAML documents may hold dates and times, which JSON writes as str().
    return json.dumps(value, ensure_ascii=False, default=str)


def _mapping(value, path, what):
    if not isinstance(value, dict):
        _fail(path, "not %s (a JSON object)" % what)
    return value


def _children(node, key, path):
    """The list of children under `key`, [] when absent."""
    children = node.get(key)
    if children is None:
        return ()
    if not isinstance(children, list):
        _fail((path, key), "not a list of nodes")
    return children


def _result(node, path):
    """The lower-cased result value of `node`, or None without a result."""
    result = node.get("result")
    if result is None:
        return None
    value = result.get("value") if isinstance(result, dict) else None
    if type(value) is not str or not value:
        _fail((path, "result"), "not a result (an object with a text \"value\")")
    return value.lower()


def _seconds(node, key, path):
    """`node[key]` as seconds with millisecond precision, or None."""
    value = node.get(key)
    if value is None:
        return None
    try:
        if type(value) is not float and type(value) is not int:
            raise TypeError
        value = float(value)
    except (TypeError, OverflowError):
        _fail((path, key), "not a number of seconds")
    return "%.3f" % value if math.isfinite(value) else None


def _iso_timestamp(value):
    """A date and time as dump_json writes it (or a datetime) in ISO 8601,
    its UTC offset kept; None for any other value."""
    if isinstance(value, datetime.datetime):
        value = str(value)
    if type(value) is not str or not _DATETIME.fullmatch(value):
        return None
    return value[:10] + "T" + value[11:]


def _timestamp(node, key, path):
    """`node[key]` as ISO 8601, or None when absent."""
    value = node.get(key)
    if value is None:
        return None
    text = _iso_timestamp(value)
    if text is None:
        _fail((path, key), "not a date and time")
    return text


def _integer(mapping, key, path):
    value = mapping.get(key)
    if value is not None and type(value) is not int:
        _fail((path, key), "not an integer")
    return value


def _reason(node):
    result = node["result"]
    reason = result.get("reason")
    return _text(reason) if reason else None


def _is_run(node):
    return root_kind(node) == RUN


def _is_task(child):
    return child_kind(RUN, child) == TASK


def _is_section(child):
    return child_kind(TASK, child) == SECTION


# -- Log slices --------------------------------------------------------------------


class _Logs:
    """Reads test cases' slices of their log files, kept open for the run.

    Only regular files inside the directory are read: a name that leads out
    of it (.., an absolute path, a symbolic link) is skipped, and so is
    anything that cannot be opened."""

    def __init__(self, directory):
        self.root = os.path.realpath(directory)
        self.open = {}  # name -> descriptor, or None when not readable

    def close(self):
        for fd in self.open.values():
            if fd is not None:
                os.close(fd)
        self.open.clear()

    def _descriptor(self, name):
        try:
            return self.open[name]
        except KeyError:
            pass
        fd = None
        try:
            path = os.path.realpath(os.path.join(self.root, name))
            if os.path.dirname(path) == self.root or path.startswith(self.root + os.sep):
                fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
                if not stat.S_ISREG(os.fstat(fd).st_mode):
                    os.close(fd)
                    fd = None
        except (OSError, ValueError):  # ValueError: a NUL or a lone surrogate in the name
            pass
        self.open[name] = fd
        return fd

    def slice(self, logs, path):
        """The lines of <system-out> that show the slice `logs` names."""
        _mapping(logs, path, "a log position")
        name = logs.get("file")
        begin = _integer(logs, "begin", path)
        size = _integer(logs, "size", path)
        if type(name) is not str or not name or begin is None or size is None \
                or begin < 0 or size <= 0:
            return None
        fd = self._descriptor(name)
        if fd is None:
            return None
        try:
            data = os.pread(fd, min(size, LOG_SLICE_LIMIT), begin)
        except OSError:
            return None
        lines = ["--- %s, bytes %d to %d ---\n" % (name, begin, begin + size),
                 data.decode("utf-8", "backslashreplace")]
        if not lines[1].endswith("\n"):
            lines.append("\n")
        if size > LOG_SLICE_LIMIT:
            lines.append("[cut at 1 MiB: %d more bytes in %s]\n" % (size - LOG_SLICE_LIMIT, name))
        return "".join(lines)


# -- Writing -----------------------------------------------------------------------


def _attrs(pairs):
    return "".join(' %s="%s"' % (key, escape_attr(value))
                   for key, value in pairs if value is not None)


def _counts_attrs(counts):
    return ' tests="%d" failures="%d" errors="%d" skipped="%d"' % tuple(counts)


def _tally(counts, value):
    """Count one test case into [tests, failures, errors, skipped]."""
    counts[0] += 1
    if value not in _PASSING:
        element = _ELEMENT.get(value, "error")
        counts[1 if element == "failure" else 3 if element == "skipped" else 2] += 1


def _properties(out, indent, pairs):
    pairs = [(k, v) for k, v in pairs if v is not None]
    if not pairs:
        return
    out.append("%s<properties>\n" % indent)
    for key, value in pairs:
        out.append('%s  <property name="%s" value="%s"/>\n' % (indent, key, escape_attr(value)))
    out.append("%s</properties>\n" % indent)


class _Writer:
    def __init__(self, logs):
        self.logs = logs

    def document(self, document):
        path = None
        _mapping(document, path, "a results document")
        run_path = (path, "report")
        run = _mapping(document.get("report"), run_path, "a report")
        if not _is_run(run):
            _fail(run_path, "not a whole run (a task, plugin or section alone "
                            "has no test suites)")
        extra = _mapping(run.get("extra") or {}, (run_path, "extra"), "a mapping")

        tasks_path = (run_path, "tasks")
        suites, totals = [], [0, 0, 0, 0]
        for index, task in enumerate(_children(run, "tasks", run_path)):
            task_path = (tasks_path, index)
            _mapping(task, task_path, "a node")
            if not _is_task(task):
                continue
            cases, counts = [], [0, 0, 0, 0]
            sections_path = (task_path, "sections")
            for number, section in enumerate(_children(task, "sections", task_path)):
                section_path = (sections_path, number)
                _mapping(section, section_path, "a node")
                if not _is_section(section):
                    continue
                value = _result(section, section_path)
                if value is not None:
                    cases.append((section, section_path, value))
                    _tally(counts, value)
            suites.append((task, task_path, cases, counts))
            for i in range(4):
                totals[i] += counts[i]

        out = ['<?xml version="1.0" encoding="UTF-8"?>\n']
        out.append("<testsuites%s%s%s>\n" % (
            _attrs([("name", _text(run.get("id")))]), _counts_attrs(totals),
            _attrs([("time", _seconds(run, "runtime", run_path)),
                    ("timestamp", _timestamp(run, "starttime", run_path))])))
        host = run.get("host")
        run_properties = [("testbed", extra.get("testbed")), ("submitter", run.get("submitter")),
                          ("release", extra.get("release"))]
        run_properties = [(k, None if v is None else _text(v)) for k, v in run_properties]
        for task, task_path, cases, counts in suites:
            self.suite(out, task, task_path, cases, counts,
                       None if host is None else _text(host), run_properties)
        out.append("</testsuites>\n")
        return "".join(out)

    def suite(self, out, task, path, cases, counts, host, run_properties):
        testscript = task.get("testscript")
        properties = [("testscript", None if testscript is None else _text(testscript))]
        properties += run_properties
        out.append("  <testsuite%s%s%s>\n" % (
            _attrs([("name", _text(task.get("id")))]), _counts_attrs(counts),
            _attrs([("time", _seconds(task, "runtime", path)),
                    ("timestamp", _timestamp(task, "starttime", path)),
                    ("hostname", host)])))
        _properties(out, "    ", properties)
        classname = escape_attr(_text(task.get("id")))
        for section, section_path, value in cases:
            self.case(out, classname, section, section_path, value)
        out.append("  </testsuite>\n")

    def case(self, out, classname, case, path, value):
        case_id = _text(case.get("id"))
        head = '    <testcase classname="%s"%s' % (classname, _attrs([
            ("name", case_id), ("time", _seconds(case, "runtime", path))]))
        xref = case.get("xref")
        if xref is not None:
            xref_path = (path, "xref")
            _mapping(xref, xref_path, "a source reference")
            file, line = xref.get("file"), _integer(xref, "line", xref_path)
            head += _attrs([("file", None if file is None else _text(file)),
                            ("line", None if line is None else str(line))])

        # One walk of the descendants gives the outline, every non-passing
        # one, and the first place where the test case's result arose: the
        # innermost of the first chain of nodes that have that result.
        outline, problems = [], []
        origin, origin_depth = None, -1  # (path text, node)
        origin_done = value in _PASSING
        if not origin_done:
            problems.append((case_id, case, value, path))
        stack = [(child, (path, "sections"), i, case_id, 1)
                 for i, child in reversed(list(enumerate(_children(case, "sections", path))))]
        while stack:
            node, parent_path, index, parent_text, depth = stack.pop()
            node_path = (parent_path, index)
            _mapping(node, node_path, "a node")
            text = "%s.%s" % (parent_text, _text(node.get("id")))
            node_value = _result(node, node_path)
            runtime = _seconds(node, "runtime", node_path)
            outline.append("%s %s %s\n" % (text, node_value or "-",
                                           "-" if runtime is None else runtime + "s"))
            if node_value is not None and node_value not in _PASSING:
                problems.append((text, node, node_value, node_path))
            if not origin_done:
                if origin is not None and depth <= origin_depth:
                    origin_done = True
                elif node_value == value:
                    origin, origin_depth = (text, node), depth
            children = _children(node, "sections", node_path)
            for i in range(len(children) - 1, -1, -1):
                stack.append((children[i], (node_path, "sections"), i, text, depth + 1))

        log = None
        logs = case.get("logs")
        if self.logs is not None and logs is not None:
            log = self.logs.slice(logs, (path, "logs"))

        body = []
        if value == "passx":
            _properties(body, "      ", [("result", value)])
        if value not in _PASSING:
            origin_text, origin_node = origin if origin is not None else (case_id, case)
            reason = _reason(origin_node)
            message = "%s %s" % (origin_text, value)
            if reason:
                message += ": " + reason
            element = _ELEMENT.get(value, "error")
            lines = []
            for problem_text, node, problem_value, node_path in problems:
                reason = _reason(node)
                lines.append("%s %s%s\n" % (problem_text, problem_value,
                                            ": " + reason if reason else ""))
                for detail in _children(node, "details", node_path):
                    lines.append("    " + _text(detail).replace("\n", "\n    ") + "\n")
            type_attr = "" if element == "skipped" else ' type="%s"' % escape_attr(value)
            body.append('      <%s message="%s"%s>%s</%s>\n' % (
                element, escape_attr(message), type_attr, escape_text("".join(lines)), element))
        if outline or log:
            text = "".join(outline)
            if log:
                text += log
            body.append("      <system-out>%s</system-out>\n" % escape_text(text))
        if body:
            out.append(head + ">\n")
            out.extend(body)
            out.append("    </testcase>\n")
        else:
            out.append(head + "/>\n")



def junit_xml(report, logs=None):
    """The JUnit XML text of `report`: a results document or a live run.

    `logs` is the directory holding the test cases' log files; without it
    no log is read.
    """
    reader = _Logs(logs) if logs is not None else None
    try:
        if _fast is not None:
            text = _fast.write(report, reader and reader.slice, _iso_timestamp)
            if text is not None:
                return text
        if not isinstance(report, dict):
            dump_json = getattr(report, "dump_json", None)
            if dump_json is None:
                raise TypeError("junit_xml() takes a results document or a report run, not %s"
                                % type(report).__name__)
            report = json.loads(dump_json())
        return _Writer(reader).document(report)
    finally:
        if reader is not None:
            reader.close()


def write_junit(report, path, logs=None):
    """Write the JUnit XML of `report` (as `junit_xml`) to the file `path`.

    The file appears whole or not at all: the text is written beside it
    under a temporary name and renamed into place.
    """
    write_file(path, junit_xml(report, logs).encode("utf-8"))


def write_file(path, data):
    """Replace the file `path` with `data`, never leaving half a file."""
    directory, name = os.path.split(os.path.abspath(path))
    for attempt in range(100):
        temporary = os.path.join(directory, ".%s.%d.%d.tmp" % (name, os.getpid(), attempt))
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        break
    else:
        raise FileExistsError("no free temporary name beside %s" % path)
    try:
        with open(fd, "wb") as f:
            f.write(data)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
