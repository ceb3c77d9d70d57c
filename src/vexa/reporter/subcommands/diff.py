"""`vexa diff OLD NEW [--format json]`: what changed between two jobs."""

import sys

from vexa.reporter import compare, nodes, resultsfile
from vexa.reporter.subcommands._conventions import (
    EXIT_FINDINGS, EXIT_OK, EXIT_USAGE, Painter, Progress, ReportSubcommand, positive_number,
    write_json)

TITLES = {
    "newly_failing": "newly failing",
    "fixed": "fixed",
    "still_failing": "still failing",
    "slower": "much slower",
    "added": "added",
    "removed": "removed",
}


class DiffResultsFiles(ReportSubcommand):
    name = "diff"
    help = "compare two results files node by node; fails when something newly fails"
    usage = "{prog} [-h] [--slower-factor X] [--slower-seconds S] [--format {{text,json}}] OLD NEW"
    description = """
        Compares two results files node by node and lists what is newly
        failing (passed or passx before, anything else now), fixed, still
        failing, much slower, added and removed. Nodes are paired by their
        ids from the task down, each id with its JSON type (1 and "1"
        differ); where siblings repeat an id, the n-th occurrence pairs with
        the n-th. The two runs always pair. Added and removed subtrees are
        shown by their top node only.
        """
    exit_ok = "nothing is newly failing"
    exit_findings = "something is newly failing"

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("old", metavar="OLD", help="the earlier results file")
        self.parser.add_argument("new", metavar="NEW", help="the later results file")
        self.parser.add_argument(
            "--slower-factor", type=positive_number, default=compare.DEFAULT_SLOWER_FACTOR,
            metavar="X", help="much slower means at least X times as long (default: %(default)s)")
        self.parser.add_argument(
            "--slower-seconds", type=positive_number, default=compare.DEFAULT_SLOWER_SECONDS,
            metavar="S", help="... and at least S seconds longer (default: %(default)s)")
        self.add_format_option()

    def execute(self, args):
        if args.old == "-" and args.new == "-":
            self.error("standard input (-) can be read only once")
            return EXIT_USAGE
        with Progress("reading") as progress:
            progress.stage("reading %s" % resultsfile.display_name(args.old))
            old = resultsfile.load_results(args.old)
            progress.stage("reading %s" % resultsfile.display_name(args.new))
            new = resultsfile.load_results(args.new)
            progress.stage("comparing")
            differences = compare.compare(
                _ticking(nodes.walk(old["report"]), progress),
                _ticking(nodes.walk(new["report"]), progress),
                slower_factor=args.slower_factor, slower_seconds=args.slower_seconds)
        del old, new
        differences["old"] = resultsfile.display_name(args.old)
        differences["new"] = resultsfile.display_name(args.new)
        differences["thresholds"] = {"slower_factor": args.slower_factor,
                                     "slower_seconds": args.slower_seconds}
        if args.format == "json":
            write_json(differences)
        else:
            print_text(differences, Painter(sys.stdout))
        return EXIT_FINDINGS if compare.newly_failing(differences) else EXIT_OK


def _ticking(records, progress):
    tick = progress.tick
    for record in records:
        tick()
        yield record


def _result(side):
    return side["result"] if side["result"] is not None else "no result"


def _seconds(value):
    return "-" if value is None else "%.2f s" % value


def print_text(differences, paint, out=None):
    out = sys.stdout if out is None else out
    counts = differences["counts"]
    parts = ["%d %s" % (counts[name], TITLES[name])
             for name in compare.CATEGORIES if counts[name]]
    out.write("%s -> %s: %s\n" % (differences["old"], differences["new"],
                                  ", ".join(parts) if parts else "no differences"))
    colours = {"newly_failing": "red", "fixed": "green", "slower": "yellow"}
    for name in compare.CATEGORIES:
        entries = differences[name]
        if not entries:
            continue
        title = "%s (%d)" % (TITLES[name], len(entries))
        if name == "slower":
            t = differences["thresholds"]
            title += ", at least %gx and %g s more" % (t["slower_factor"], t["slower_seconds"])
        out.write("\n%s:\n" % paint(title, colours.get(name)))
        rows = []
        for e in entries:
            path = nodes.format_path(e["idlist"])
            if name == "slower":
                change = "%s -> %s" % (_seconds(e["old"]["runtime"]), _seconds(e["new"]["runtime"]))
            elif name == "added":
                change = _result(e["new"])
            elif name == "removed":
                change = "was " + _result(e["old"])
            else:
                change = "%s -> %s" % (_result(e["old"]), _result(e["new"]))
            rows.append((path, change))
        width = min(max(len(p) for p, _ in rows), 60)
        for path, change in rows:
            out.write("  %s  %s\n" % (path.ljust(width), change))
