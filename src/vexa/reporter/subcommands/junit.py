"""`vexa junit FILE [-o OUT] [--logs DIR]`: a results file as JUnit XML,
the file CI servers read."""

import os
import sys

from vexa.reporter import resultsfile
from vexa.reporter.junit import JUnitError, junit_xml, write_file
from vexa.reporter.subcommands._conventions import (
    EXIT_OK, EXIT_USAGE, Progress, ReportSubcommand)


class JUnitReport(ReportSubcommand):
    name = "junit"
    help = "write a results file as JUnit XML for CI servers"
    usage = "{prog} [-h] [-o OUT] [--logs DIR] FILE"
    description = """
        Writes the results file FILE as JUnit XML: the run is <testsuites>,
        each task a <testsuite>, and each test case (a section directly
        under a task that is not a plugin run and has a result) a
        <testcase>, so the counts are the run's summary. A test case's
        slice of its log file goes into its <system-out> when the file is a
        regular file in DIR (by default FILE's folder).
        """
    exit_findings = "not used: failed tests are written, not judged"

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("file", metavar="FILE",
                                 help="results file (JSON, or YAML by extension); - for standard input")
        self.parser.add_argument("-o", "--output", metavar="OUT", default="-",
                                 help="the XML file to write; - or none for standard output")
        self.parser.add_argument("--logs", metavar="DIR",
                                 help="folder of the log files (default: FILE's folder; "
                                      "none for standard input)")

    def execute(self, args):
        logs = args.logs
        if logs is None and args.file != "-":
            logs = os.path.dirname(os.path.abspath(args.file))
        name = resultsfile.display_name(args.file)
        with Progress("reading %s" % name) as progress:
            # Parsed leanly: the document and the text must fit beside each other.
            document = resultsfile.load_results(args.file, lean=True)
            progress.stage("writing JUnit XML")
            try:
                data = junit_xml(document, logs).encode("utf-8")
            except JUnitError as exc:
                self.error("%s: %s" % (name, exc))
                return EXIT_USAGE
        try:
            if args.output == "-":
                sys.stdout.flush()
                sys.stdout.buffer.write(data)
                sys.stdout.buffer.flush()
            else:
                write_file(args.output, data)
        except OSError as exc:
            if isinstance(exc, BrokenPipeError):
                raise
            self.error("%s: %s" % (resultsfile.display_name(exc.filename or args.output),
                                   exc.strerror or exc))
            return EXIT_USAGE
        return EXIT_OK
