"""The `vexa` command-line tool: finds the subcommands and runs one.

Subcommands register in the entry-point group "vexa.cli.subcommands" of
their distribution; those that ship with the framework are also known by
name, so that a source checkout without installed metadata has them too.
"""

import argparse
import importlib
import importlib.metadata
import json
import sys

from vexa.cli.base import ERROR

ENTRY_POINT_GROUP = "vexa.cli.subcommands"

BUILTIN_SUBCOMMANDS = {
    "results": "vexa.reporter.commands:ValidateResultsFile",
    "store": "vexa.reporter.subcommands.store:StoreCommand",
    "serve": "vexa.reporter.subcommands.serve:ServeCommand",
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


def describe_error(exc):
    """One line for an error that is about the user's input, not a bug."""
    if isinstance(exc, json.JSONDecodeError):
        return "not valid JSON: %s" % exc
    if isinstance(exc, UnicodeDecodeError):
        return "not readable as %s text: %s at byte %d" % (exc.encoding, exc.reason, exc.start)
    if isinstance(exc, RecursionError):
        return "nested too deeply to be read"
    if isinstance(exc, MemoryError):
        return "out of memory"
    if isinstance(exc, OSError) and exc.strerror:
        if exc.filename is not None:
            return "%s: %s" % (exc.filename, exc.strerror)
        return exc.strerror
    return str(exc) or type(exc).__name__


def exit_status(result):
    if result is None:
        return 0
    if isinstance(result, int) and not isinstance(result, bool):
        return result or ERROR
    return ERROR


def main(argv=None):
    # Findings quote the file's own text; never fail on printing them.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")

    parser = argparse.ArgumentParser(
        prog="vexa", description="Command line of the vexa test-automation framework.")
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
    try:
        result = commands[args.subcommand].run(args)
    except (OSError, ValueError, RecursionError, MemoryError) as exc:
        print("vexa %s: error: %s" % (args.subcommand, describe_error(exc)), file=sys.stderr)
        return ERROR
    except KeyboardInterrupt:
        return 130
    return exit_status(result)
