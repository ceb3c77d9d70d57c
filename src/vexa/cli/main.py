"""The `vexa` command-line tool: finds the subcommands and runs one.

Subcommands register in the entry-point group "vexa.cli.subcommands" of
their distribution; those that ship with the framework are also known by
name, so that a source checkout without installed metadata has them too.

No traceback reaches a person: an exception that escapes a subcommand
becomes one line on standard error naming the input and the problem, exit
status 2; an unexpected one also says where its traceback was written (or
shows it, with --debug).
"""

import argparse
import importlib
import importlib.metadata
import json
import os
import sys
import tempfile
import traceback

from vexa.cli.base import ERROR

ENTRY_POINT_GROUP = "vexa.cli.subcommands"

BUILTIN_SUBCOMMANDS = {
    "results": "vexa.reporter.commands:ValidateResultsFile",
    "check": "vexa.reporter.subcommands.check:CheckResultsFiles",
    "summary": "vexa.reporter.subcommands.summary:SummarizeResultsFile",
    "diff": "vexa.reporter.subcommands.diff:DiffResultsFiles",
    "junit": "vexa.reporter.subcommands.junit:JUnitReport",
    "store": "vexa.reporter.subcommands.store:StoreCommand",
    "serve": "vexa.reporter.subcommands.serve:ServeCommand",
}

# Exit status when a subcommand could not do its work: unreadable input,
# wrong usage, or an error of its own.
EXIT_UNUSABLE = 2

# Subcommands that open their input themselves, whatever it is: the tool
# checks first that each named input is a regular file it may read.
CHECKED_INPUTS = {
    "results": ("file",),
}


def _load(target):
    module, _, qualname = target.partition(":")
    obj = importlib.import_module(module)
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


def find_subcommands():
    """Map each subcommand name to a function that loads its class."""
    found = {}
    for ep in importlib.metadata.entry_points(group=ENTRY_POINT_GROUP):
        found.setdefault(ep.name, ep.load)
    for name, target in BUILTIN_SUBCOMMANDS.items():
        found.setdefault(name, lambda target=target: _load(target))
    return found


# Errors about the input, not faults of the program.
INPUT_ERRORS = (OSError, ValueError, RecursionError, MemoryError)


def _one_line(text):
    return " ".join(str(text).split())


def _name(path):
    from vexa.reporter.resultsfile import display_name

    try:
        return display_name(path, stdin=False)
    except (TypeError, ValueError):
        return repr(path)


def describe_error(exc, inputs=()):
    """One line for an error that is about the user's input, not a bug,
    naming the file: the one the error names, else the only input."""
    if isinstance(exc, OSError) and exc.filename is not None:
        return "%s: %s" % (_name(exc.filename), _one_line(exc.strerror or exc))
    if isinstance(exc, json.JSONDecodeError):
        problem = "not valid JSON: %s" % exc
    elif isinstance(exc, UnicodeDecodeError):
        problem = "not readable as %s text: %s at byte %d" % (exc.encoding, exc.reason, exc.start)
    elif isinstance(exc, RecursionError):
        problem = "nested too deeply to be read"
    elif isinstance(exc, MemoryError):
        problem = "out of memory"
    elif isinstance(exc, OSError) and exc.strerror:
        problem = exc.strerror
    else:
        problem = str(exc) or type(exc).__name__
    problem = _one_line(problem)
    if len(inputs) == 1 and not problem.startswith(_name(inputs[0]) + ":"):
        return "%s: %s" % (_name(inputs[0]), problem)
    return problem


def exit_status(result):
    if result is None:
        return 0
    if isinstance(result, int) and not isinstance(result, bool):
        return result if 0 <= result <= 255 else ERROR
    return ERROR


def _inputs(name, args):
    """The input paths a subcommand was given, as far as the tool knows."""
    found = []
    for dest in CHECKED_INPUTS.get(name, ("file", "files", "old", "new")):
        value = getattr(args, dest, None)
        if isinstance(value, str):
            found.append(value)
        elif isinstance(value, list):
            found.extend(v for v in value if isinstance(v, str))
    return found


def _precheck(name, args):
    """Refuse, before the subcommand opens it, an input that is not a
    regular file (a FIFO would block, /dev/zero fill the memory)."""
    from vexa.reporter.resultsfile import check_readable

    for dest in CHECKED_INPUTS.get(name, ()):
        value = getattr(args, dest, None)
        if isinstance(value, str):
            check_readable(value, stdin=False)


def _internal_error(name, exc, inputs, debug):
    """One line for a fault of the program, and its traceback in a file."""
    where = " while reading %s" % ", ".join(map(_name, inputs)) if inputs else ""
    summary = "vexa %s: internal error%s: %s: %s" % (
        name, where, type(exc).__name__, _one_line(exc))
    if debug:
        traceback.print_exception(exc, file=sys.stderr)
        print(summary, file=sys.stderr)
        return
    text = "".join(traceback.format_exception(exc))
    try:
        fd, path = tempfile.mkstemp(prefix="vexa-%s-" % name, suffix=".txt")
        with os.fdopen(fd, "w", encoding="utf-8", errors="backslashreplace") as f:
            f.write("vexa %s\n%s" % (" ".join(sys.argv[1:]), text))
        print("%s (traceback written to %s; --debug shows it)" % (summary, path), file=sys.stderr)
    except OSError:
        print("%s (run with --debug for the traceback)" % summary, file=sys.stderr)


def _version():
    try:
        version = importlib.metadata.version("vexa-reporter")
    except importlib.metadata.PackageNotFoundError:
        version = "unknown (not installed)"
    return "vexa %s (vexa-reporter %s, Python %s)" % (
        version, version, sys.version.split()[0])


def main(argv=None):
    # Findings quote the file's own text; never fail on printing them.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")

    parser = argparse.ArgumentParser(
        prog="vexa", description="Command line of the vexa test-automation framework.",
        epilog="exit status: 0 success, 1 findings, 2 unreadable input or wrong usage")
    parser.add_argument("--version", action="version", version=_version())
    parser.add_argument("--debug", action="store_true",
                        help="show the full traceback of an internal error")
    subparsers = parser.add_subparsers(dest="subcommand", metavar="<subcommand>",
                                       title="subcommands")
    commands = {}
    for name, load in sorted(find_subcommands().items()):
        try:
            command = load()(prog=parser.prog, subparsers=subparsers)
        except Exception as exc:  # one broken plugin must not take the tool down
            print("vexa: warning: subcommand %r is unavailable: %s" % (name, exc),
                  file=sys.stderr)
            continue
        commands[command.name] = command

    args = parser.parse_args(argv)
    if args.subcommand is None:
        parser.print_help(sys.stderr)
        return 2
    name = args.subcommand
    inputs = _inputs(name, args)
    try:
        _precheck(name, args)
        result = commands[name].run(args)
        sys.stdout.flush()
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:  # the reader stopped early (| head)
        _drop_stdout()
        return 0
    except INPUT_ERRORS as exc:
        print("vexa %s: error: %s" % (name, describe_error(exc, inputs)), file=sys.stderr)
        return EXIT_UNUSABLE
    except Exception as exc:  # noqa: BLE001 - a fault of ours; never a bare traceback
        _internal_error(name, exc, inputs, args.debug)
        return EXIT_UNUSABLE
    return exit_status(result)


def _drop_stdout():
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass
