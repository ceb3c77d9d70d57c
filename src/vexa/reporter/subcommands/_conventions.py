"""What every report subcommand does alike.

- Results go to standard output, errors to standard error, one line each.
- Exit status: 0 success, 1 findings (or new failures), 2 unreadable input
  or wrong usage. An unexpected error is turned into one line by the `vexa`
  tool (vexa.cli.main), which also writes where the traceback went.
- Colour only when the stream is a terminal and NO_COLOR is not set.
- A progress line on standard error, only on a terminal and only once the
  work has taken longer than about two seconds.

A subcommand derives from `ReportSubcommand`, sets the class attributes of
`vexa.cli.base.Subcommand`, adds its arguments in `__init__` and implements
`execute(args)`, returning one of the exit statuses.
"""

import argparse
import gc
import json
import os
import sys
import textwrap
import time

from vexa.cli.base import Subcommand
from vexa.reporter.resultsfile import ResultsFileError

__all__ = ["EXIT_OK", "EXIT_FINDINGS", "EXIT_USAGE", "Painter", "Progress", "ReportSubcommand",
           "error", "use_colour", "write_json"]

EXIT_OK = 0
EXIT_FINDINGS = 1
EXIT_USAGE = 2   # also: an input that cannot be read

EXIT_STATUS_HELP = """\
exit status:
  0  {ok}
  1  {findings}
  2  an input cannot be read, or the command line is wrong"""


def _isatty(stream):
    isatty = getattr(stream, "isatty", None)
    try:
        return bool(isatty and isatty())
    except (ValueError, OSError):  # a closed stream
        return False


def use_colour(stream, environ=None):
    environ = os.environ if environ is None else environ
    if environ.get("NO_COLOR", "") != "" or environ.get("TERM") == "dumb":
        return False
    return _isatty(stream)


class Painter:
    """ANSI colours for one stream, or none."""

    CODES = {"red": "31", "green": "32", "yellow": "33", "bold": "1", "dim": "2"}

    def __init__(self, stream, enabled=None):
        self.enabled = use_colour(stream) if enabled is None else enabled

    def __call__(self, text, style):
        if not self.enabled or not style:
            return text
        return "\x1b[%sm%s\x1b[0m" % (self.CODES[style], text)

    def result(self, result):
        text = result if result is not None else "-"
        if result in ("passed", "passx"):
            return self(text, "green")
        if result in ("failed", "errored", "aborted"):
            return self(text, "red")
        return self(text, "yellow") if result is not None else text


class Progress:
    """A progress line for long work: `tick()` often, cheaply; nothing is
    shown unless standard error is a terminal and `delay` seconds have gone."""

    def __init__(self, label, stream=None, delay=2.0, every=0.25):
        self.stream = sys.stderr if stream is None else stream
        self.label = label
        self.enabled = _isatty(self.stream)
        self.delay, self.every = delay, every
        self.count = 0
        self._start = time.monotonic()
        self._next = self._start + delay
        self._shown = False

    def tick(self, n=1, what=None):
        self.count += n
        if self.enabled and (n > 1 or not self.count & 0x3FF):
            self._maybe_show(what)

    def stage(self, label):
        self.label = label
        self._maybe_show()

    def _maybe_show(self, what=None):
        if not self.enabled:
            return
        now = time.monotonic()
        if now < self._next:
            return
        self._next = now + self.every
        self._shown = True
        elapsed = now - self._start
        text = "%s: %d %s, %.0f s" % (self.label, self.count, what or "nodes", elapsed) \
            if self.count else "%s: %.0f s" % (self.label, elapsed)
        self.stream.write("\r\x1b[K" + text)
        self.stream.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self._shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
        return False


def error(prog, message, stream=None):
    """One line on standard error: 'vexa check: error: MESSAGE'."""
    message = " ".join(str(message).split("\n"))
    print("%s: error: %s" % (prog, message), file=sys.stderr if stream is None else stream)


def write_json(value, stream=None):
    stream = sys.stdout if stream is None else stream
    json.dump(value, stream, indent=2, ensure_ascii=False, allow_nan=False, default=str)
    stream.write("\n")


def positive_number(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number" % text) from None
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("%r must be a finite number of at least 0" % text)
    return value


def count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a whole number" % text) from None
    if value < 0:
        raise argparse.ArgumentTypeError("%r must be at least 0" % text)
    return value


class ReportSubcommand(Subcommand):
    """Base of the subcommands that read results files."""

    # Shown under --help; a subclass fills in its own meaning of 0 and 1.
    exit_ok = "success"
    exit_findings = "findings"

    def __init__(self, prog="vexa", subparsers=None):
        epilog = EXIT_STATUS_HELP.format(ok=self.exit_ok, findings=self.exit_findings)
        if self.description:
            # Dedented here: the epilog's lines have no indent, so dedenting the
            # joined text later would leave the description's in place.
            self.description = textwrap.dedent(self.description).strip() + "\n\n" + epilog
        else:
            self.description = epilog
        super().__init__(prog=prog, subparsers=subparsers)
        self.prog = self.parser.prog
        self.parser.add_argument(
            "--debug", action="store_true", default=argparse.SUPPRESS,
            help="show the full traceback of an internal error")

    def add_format_option(self):
        self.parser.add_argument(
            "--format", choices=("text", "json"), default="text",
            help="text for people (default) or JSON for programs")

    def error(self, message):
        error(self.prog, message)

    def run(self, args):
        # Results documents are trees: the cyclic collector finds nothing in
        # them, and walking millions of their objects over and over was a
        # third of a command's time.
        collecting = gc.isenabled()
        gc.disable()
        try:
            return self.execute(args)
        except ResultsFileError as exc:
            self.error(exc)
            return EXIT_USAGE
        except BrokenPipeError:
            # A reader that stopped early (| head) is no error of ours.
            _silence_stdout()
            return EXIT_OK
        finally:
            if collecting:
                gc.enable()

    def execute(self, args):
        raise NotImplementedError


def _silence_stdout():
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
