"""`vexa junit`: a results file as JUnit XML, the file CI servers read."""

import os
import sys

from vexa.cli.base import Subcommand
from vexa.reporter.junit import JUnitError, junit_xml, write_file
from vexa.reporter.resultsfile import ResultsFileError, load_results

# Exit status for input that cannot be read or used.
BAD_INPUT = 2


class JUnitReport(Subcommand):
    name = "junit"
    help = "write a results file as JUnit XML"
    usage = "{prog} FILE [-o OUT] [--logs DIR]"
    description = """
        Write the results file FILE (JSON as dump_json writes it, YAML as
        dump_yaml writes it, - for standard input) as JUnit XML: the run is
        <testsuites>, each task a <testsuite>, each test case a <testcase>.
        Each test case's slice of its log file goes into its <system-out>
        when the file is found in DIR (by default FILE's folder).
        """

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("file", metavar="FILE", help="the results file")
        self.parser.add_argument("-o", "--output", metavar="OUT", default="-",
                                 help="where to write the XML (default: standard output)")
        self.parser.add_argument("--logs", metavar="DIR",
                                 help="folder of the log files (default: FILE's folder)")

    def run(self, args):
        try:
            document = load_results(args.file)
        except ResultsFileError as exc:
            return _error(exc)
        logs = args.logs
        if logs is None and args.file != "-":
            logs = os.path.dirname(os.path.abspath(args.file))
        try:
            data = junit_xml(document, logs).encode("utf-8")
        except (JUnitError, RecursionError) as exc:
            problem = "nested too deeply" if isinstance(exc, RecursionError) else exc
            return _error("%s: %s" % (args.file, problem))
        try:
            if args.output == "-":
                sys.stdout.flush()
                sys.stdout.buffer.write(data)
                sys.stdout.buffer.flush()
            else:
                write_file(args.output, data)
        except OSError as exc:
            return _error("%s: %s" % (exc.filename or args.output, exc.strerror or exc))
        return None


def _error(message):
    print("vexa junit: error: %s" % message, file=sys.stderr)
    return BAD_INPUT
