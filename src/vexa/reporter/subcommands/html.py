"""`vexa html FILE [-o OUT]`: a results file as one self-contained HTML page,
the viewer's run page with the run inside it, to keep as a CI artifact."""

import os
import sys

from vexa.reporter import resultsfile
from vexa.reporter.htmlreport import HtmlReportError, html_page
from vexa.reporter.junit import write_file
from vexa.reporter.subcommands._conventions import (
    EXIT_OK, EXIT_USAGE, Progress, ReportSubcommand)

_SUFFIXES = (".json", ".yaml", ".yml")


def default_output(path):
    """FILE's name with .html for its suffix, in the current folder."""
    base = os.path.basename(path)
    stem, suffix = os.path.splitext(base)
    name = (stem if suffix.lower() in _SUFFIXES and stem else base) + ".html"
    if os.path.abspath(name) == os.path.abspath(path):  # never the input itself
        name += ".html"
    return name


class HtmlReport(ReportSubcommand):
    name = "html"
    help = "write a results file as one HTML page that opens anywhere"
    usage = "{prog} [-h] [-o OUT] FILE"
    description = """
        Writes the results file FILE as one HTML file holding the run and
        the viewer's run page (header, tree, problems only, search, details,
        links to nodes), which any browser opens from disk with no server
        and no network. OUT defaults to FILE's name with .html, in the
        current folder; - writes to standard output (the default for
        standard input, unless it is a terminal).
        """
    exit_findings = "not used: failed tests are written, not judged"

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("file", metavar="FILE",
                                 help="results file (JSON, or YAML by extension); - for standard input")
        self.parser.add_argument("-o", "--output", metavar="OUT",
                                 help="the HTML file to write; - for standard output")

    def execute(self, args):
        out = args.output
        if out is None:
            out = "-" if args.file == "-" else default_output(args.file)
        if out == "-" and sys.stdout.isatty():
            self.error("standard output is a terminal: give -o OUT to write the page to a file")
            return EXIT_USAGE
        name = resultsfile.display_name(args.file)
        with Progress("reading %s" % name) as progress:
            document = resultsfile.load_results(args.file)
            progress.stage("writing the page")
            try:
                data, nodes = html_page(document)
            except HtmlReportError as exc:
                self.error("%s: %s" % (name, exc))
                return EXIT_USAGE
            del document
        try:
            if out == "-":
                sys.stdout.flush()
                sys.stdout.buffer.write(data)
                sys.stdout.buffer.flush()
                return EXIT_OK
            write_file(out, data)
        except OSError as exc:
            if isinstance(exc, BrokenPipeError):
                raise
            # Named by OUT, not by the temporary file beside it.
            self.error("%s: %s" % (resultsfile.display_name(out), exc.strerror or exc))
            return EXIT_USAGE
        print("%s: %d node%s, %.1f MB" % (resultsfile.display_name(out), nodes,
                                          "" if nodes == 1 else "s", len(data) / 1e6))
        return EXIT_OK

