"""`vexa check FILE... [--strict] [--format json]`: validate results files."""

import sys

from vexa.reporter import resultsfile, schema
from vexa.reporter.subcommands._conventions import (
    EXIT_FINDINGS, EXIT_OK, EXIT_USAGE, Painter, Progress, ReportSubcommand, write_json)

class CheckResultsFiles(ReportSubcommand):
    name = "check"
    help = "validate results files (JSON or YAML) against the results schema"
    usage = "{prog} [-h] [--strict] [--format {{text,json}}] FILE... | {prog} --schema"
    exit_ok = "every file is valid"
    exit_findings = "some file has findings"

    def __init__(self, *args, **kwargs):
        title = schema.load_schema().get("title", "the results schema")
        self.description = """
            Checks each results file against %s and prints one line per
            finding, each starting with the file name, then a count. A file
            named "-" is read from standard input. Files ending in .yaml or
            .yml are read as YAML.

            With --strict, also reports what the file itself proves wrong:
            counters whose total or success rate disagree with their counts,
            a run whose totaltasks differs from its number of tasks, stop
            times before start times, run times that disagree with them by
            more than 0.01 s, and NaN or infinite numbers. Sibling ids that
            repeat are shown as warnings, never as findings.""" % title
        super().__init__(*args, **kwargs)
        self.parser.add_argument("files", nargs="*", metavar="FILE",
                                 help="results file to check; - for standard input")
        self.parser.add_argument("--strict", action="store_true",
                                 help="also check counts, times and numbers")
        self.parser.add_argument("--schema", action="store_true",
                                 help="print the results schema (JSON Schema, draft 7) and exit")
        self.add_format_option()

    def execute(self, args):
        if args.schema:
            if args.files:
                self.error("--schema takes no files")
                return EXIT_USAGE
            with open(schema.SCHEMA_PATH, encoding="utf-8") as f:
                sys.stdout.write(f.read())
            return EXIT_OK
        if not args.files:
            self.error("no files given (use - for standard input)")
            return EXIT_USAGE
        if args.files.count("-") > 1:
            self.error("standard input (-) can be read only once")
            return EXIT_USAGE
        paint = Painter(sys.stdout)
        reports = []
        status = EXIT_OK
        with Progress("checking") as progress:
            for path in args.files:
                progress.stage("checking %s" % resultsfile.display_name(path))
                report, lines = self.check_one(path, args.strict)
                reports.append(report)
                if report["error"] is not None:
                    status = EXIT_USAGE
                elif report["findings"] and status == EXIT_OK:
                    status = EXIT_FINDINGS
                if args.format == "text":
                    self.print_text(report, lines, paint)
        if args.format == "json":
            write_json({"schema": schema.load_schema().get("title"), "strict": args.strict,
                        "files": reports})
        return status

    def check_one(self, path, strict):
        name = resultsfile.display_name(path)
        report = {"file": name, "valid": False, "error": None, "findings": [], "warnings": []}
        try:
            document, finite = resultsfile.parse_document_finite(
                path, resultsfile.read_bytes(path))
        except resultsfile.ResultsFileError as exc:
            report["error"] = exc.problem
            return report, None
        nonfinite = not finite
        try:
            findings = schema.examine(document, strict=strict, nonfinite=nonfinite)
        except RecursionError:
            report["error"] = "nested too deeply to be checked"
            return report, None
        report["valid"] = not findings
        report["findings"] = [f.as_dict() for f in findings]
        report["warnings"] = [w.as_dict() for w in findings.warnings]
        return report, (findings, findings.warnings)

    def print_text(self, report, lines, paint):
        name = report["file"]
        if report["error"] is not None:
            self.error("%s: %s" % (name, report["error"]))
            return
        findings, warnings = lines
        out = sys.stdout
        for line in findings:
            out.write("%s: %s\n" % (name, line))
        for line in warnings:
            out.write("%s: %s %s\n" % (name, paint("warning:", "yellow"), line))
        tail = ""
        if warnings:
            tail = ", " + schema.count_line(len(warnings), "warning")
        if findings:
            out.write("%s: %s%s\n" % (name, paint(schema.count_line(len(findings)), "red"), tail))
        else:
            out.write("%s: %s%s\n" % (name, paint("accepted", "green"), tail))
