"""`vexa summary FILE [--durations N] [--format json]`: what a job did."""

import heapq
import sys

from vexa.reporter import nodes, resultsfile
from vexa.reporter.subcommands._conventions import (
    EXIT_OK, Painter, Progress, ReportSubcommand, count, write_json)

HEALTH_KEYS = ("passed", "passx", "failed", "errored", "aborted", "blocked", "skipped")
COUNTERS = (("summary", "test cases"), ("pluginsummary", "plugin runs"),
            ("health_summary", "health"))


class SummarizeResultsFile(ReportSubcommand):
    name = "summary"
    help = "show a results file's outcome, what did not pass, and the slowest test cases"
    usage = "{prog} [-h] [--durations N] [--format {{text,json}}] FILE"
    description = """
        Shows the run's name, result, start, stop and run time, its counters
        with the success rate, and every test case and plugin run whose
        result is not passed or passx, by its path (ids from the task down),
        with result and reason. A test case is a section directly under a
        task that is not a plugin run and has a result.
        """
    exit_findings = "not used: a failed job still summarises with 0"

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("file", metavar="FILE",
                                 help="results file (JSON, or YAML by extension); - for standard input")
        self.parser.add_argument("--durations", type=count, default=0, metavar="N",
                                 help="also list the N slowest test cases")
        self.add_format_option()

    def execute(self, args):
        with Progress("reading %s" % resultsfile.display_name(args.file)) as progress:
            document = resultsfile.load_results(args.file)
            progress.stage("summarising")
            summary = summarize(document, args.durations, progress)
        summary["file"] = resultsfile.display_name(args.file)
        if args.format == "json":
            write_json(summary)
        else:
            print_text(summary, Painter(sys.stdout), args.durations)
        return EXIT_OK


def _text(value):
    return value if value is None or isinstance(value, str) else str(value)


def summarize(document, durations=0, progress=None):
    """The summary as a JSON-ready dictionary."""
    report = document["report"]
    result = nodes.node_result(report)
    top = {
        "kind": nodes.root_kind(report),
        "id": report.get("id"),
        "name": report.get("name"),
        "type": report.get("type"),
        "result": result,
        "reason": nodes.node_reason(report),
        "starttime": _text(report.get("starttime")),
        "stoptime": _text(report.get("stoptime")),
        "runtime": nodes.node_runtime(report),
    }
    counters = {}
    for key, _ in COUNTERS:
        counter = report.get(key)
        if isinstance(counter, dict):
            counters[key] = counter
    not_passed = []
    slowest = []  # a heap of (runtime, -order, record)
    tick = progress.tick if progress is not None else None
    for order, record in enumerate(nodes.walk(report)):
        if tick is not None:
            tick()
        if record.testcase:
            if record.result not in nodes.GOOD_RESULTS:
                not_passed.append(_entry(record))
            if durations and record.runtime is not None:
                item = (record.runtime, -order, record)
                if len(slowest) < durations:
                    heapq.heappush(slowest, item)
                elif item > slowest[0]:
                    heapq.heapreplace(slowest, item)
        elif record.kind == nodes.PLUGIN and record.result is not None \
                and record.result not in nodes.GOOD_RESULTS:
            not_passed.append(_entry(record))
    slowest.sort(key=lambda item: (-item[0], -item[1]))
    out = {"report": top, "counters": counters, "not_passed": not_passed}
    if durations:
        out["slowest"] = [_entry(record) for _, _, record in slowest]
    return out


def _entry(record):
    return {"path": record.path, "idlist": list(record.idlist), "kind": record.kind,
            "type": record.type, "result": record.result, "reason": record.reason,
            "runtime": record.runtime}


def _seconds(value):
    if value is None:
        return "-"
    if value >= 3600:
        return "%d h %02d min %02d s" % (value // 3600, value % 3600 // 60, value % 60)
    if value >= 60:
        return "%d min %02d s" % (value // 60, value % 60)
    return "%.2f s" % value


def _one_line(text):
    return " ".join(str(text).split())


def print_text(summary, paint, durations=0, out=None):
    out = sys.stdout if out is None else out
    top = summary["report"]
    label = top["name"] if top["name"] is not None else top["id"]
    head = "%s %s: %s" % (top["kind"], _one_line(label), paint.result(top["result"]))
    if top["reason"]:
        head += " (%s)" % _one_line(top["reason"])
    out.write(head + "\n")
    for key in ("starttime", "stoptime"):
        out.write("  %-8s %s\n" % (key[:-4], top[key] if top[key] is not None else "-"))
    out.write("  %-8s %s\n" % ("runtime", _seconds(top["runtime"])))
    counters = summary["counters"]
    if counters:
        out.write("\n")
        _counter_table(counters, out)
    not_passed = summary["not_passed"]
    out.write("\n")
    if not not_passed:
        out.write(paint("every test case and plugin run passed", "green") + "\n")
    else:
        out.write("not passed (%d):\n" % len(not_passed))
        _rows(out, [(e["path"], paint.result(e["result"]), e["result"] or "-",
                     _one_line(e["reason"]) if e["reason"] else "") for e in not_passed])
    if durations:
        slowest = summary.get("slowest", [])
        out.write("\nslowest %d test case%s:\n" % (len(slowest), "" if len(slowest) == 1 else "s"))
        for e in slowest:
            out.write("  %10s  %s\n" % (_seconds(e["runtime"]), e["path"]))


def _rows(out, rows):
    """Aligned rows of (path, painted result, plain result, reason)."""
    width = min(max(len(r[0]) for r in rows), 60)
    rwidth = max(len(r[2]) for r in rows)
    for path, painted, plain, reason in rows:
        line = "  %s  %s%s" % (path.ljust(width), painted, " " * (rwidth - len(plain)))
        out.write((line + "  " + reason if reason else line).rstrip() + "\n")


def _counter_table(counters, out):
    keys = list(HEALTH_KEYS)
    for counter in counters.values():
        for key in counter:
            if key not in keys and key not in ("total", "success_rate"):
                keys.append(key)
    header = [""] + keys + ["total", "success rate"]
    rows = [header]
    for key, label in COUNTERS:
        counter = counters.get(key)
        if counter is None:
            continue
        rate = counter.get("success_rate")
        rows.append([label] + [str(counter.get(k, 0)) for k in keys]
                    + [str(counter.get("total", "-")),
                       "%.2f %%" % rate if isinstance(rate, (int, float)) else "-"])
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    for row in rows:
        cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]
        out.write("  " + "  ".join(cells).rstrip() + "\n")
