"""Base class of the subcommands of the `vexa` command-line tool."""

import argparse
import textwrap

# What a subcommand's `run` returns when it failed; the tool exits with it.
ERROR = 1


class Subcommand:
    """One subcommand of `vexa`.

    A subclass sets the class attributes below, adds its arguments to
    `self.parser` in `__init__` (after calling this one) and implements
    `run(args)`, which gets the parsed namespace and returns None on
    success or `ERROR`.
    """

    name = None         # the word that selects the subcommand
    help = None         # one line for the tool's list of subcommands
    usage = None        # "{prog}" is replaced by "vexa <name>"
    description = None  # shown by "vexa <name> --help"

    def __init__(self, prog="vexa", subparsers=None):
        prog = "%s %s" % (prog, self.name)
        options = {
            "usage": self.usage.format(prog=prog) if self.usage else None,
            "description": textwrap.dedent(self.description).strip() if self.description else None,
            "formatter_class": argparse.RawDescriptionHelpFormatter,
        }
        if subparsers is None:
            self.parser = argparse.ArgumentParser(prog=prog, **options)
        else:
            self.parser = subparsers.add_parser(self.name, help=self.help, **options)

    def run(self, args):
        raise NotImplementedError("%s does not implement run()" % type(self).__name__)
