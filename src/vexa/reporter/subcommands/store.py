"""`vexa store`: keep results files in the report store, list and remove runs."""

import sys

from vexa.cli.base import Subcommand
from vexa.reporter.subcommands._conventions import Progress, count as _count

EXIT_OK, EXIT_FINDINGS, EXIT_USAGE = 0, 1, 2

STORE_HELP = "the store: sqlite:///PATH (default: $VEXA_STORE, else a file in the user's data folder)"


def error(prog, message):
    print("%s: error: %s" % (prog, " ".join(str(message).split())), file=sys.stderr)


class StoreCommand(Subcommand):
    name = "store"
    help = "keep results files in the report store; list and remove runs"
    usage = "{prog} [--store URL] {{import,list,rm}} ..."
    description = """
        Keep every run in a store that `vexa serve` serves.

          import FILE...   store results files (JSON, or YAML by suffix); a run already
                           stored (same id, start and host) is replaced, an identical file
                           changes nothing
          list             the runs, newest first
          rm KEY           remove a run

        exit status: 0 done, 2 an input or the store cannot be read, or the command line is wrong
    """

    def __init__(self, prog="vexa", subparsers=None):
        super().__init__(prog=prog, subparsers=subparsers)
        self.prog = self.parser.prog
        self.parser.add_argument("--store", metavar="URL", help=STORE_HELP)
        actions = self.parser.add_subparsers(dest="action", metavar="{import,list,rm}")
        imp = actions.add_parser("import", help="store results files")
        imp.add_argument("files", nargs="+", metavar="FILE")
        imp.add_argument("--store", metavar="URL", default=None, dest="store_", help=STORE_HELP)
        lst = actions.add_parser("list", help="list the runs, newest first")
        lst.add_argument("--name", help="only runs of this name")
        lst.add_argument("--limit", type=_count, default=50, help="at most this many (50)")
        lst.add_argument("--store", metavar="URL", default=None, dest="store_", help=STORE_HELP)
        rm = actions.add_parser("rm", help="remove a run")
        rm.add_argument("key", type=_count, metavar="KEY")
        rm.add_argument("--store", metavar="URL", default=None, dest="store_", help=STORE_HELP)

    def run(self, args):
        from vexa.reporter.store import Store, StoreError
        if args.action is None:
            self.parser.print_usage(sys.stderr)
            return EXIT_USAGE
        try:
            # Only an import may create the store.
            store = Store(getattr(args, "store_", None) or args.store,
                          create=args.action == "import")
        except StoreError as exc:
            error(self.prog, exc)
            return EXIT_USAGE
        try:
            return getattr(self, "_" + args.action)(store, args)
        except StoreError as exc:
            error(self.prog, exc)
            return EXIT_USAGE
        except KeyboardInterrupt:
            error(self.prog, "interrupted; the store is as it was before the file being imported")
            return 130
        finally:
            store.close()

    def _import(self, store, args):
        from vexa.reporter.store import StoreError
        status = EXIT_OK
        for path in args.files:
            try:
                with Progress("importing %s" % path) as progress:
                    result = store.import_file(path, progress=lambda n: progress.tick(n))
            except StoreError as exc:
                error(self.prog, exc)
                status = EXIT_USAGE
                continue
            print("%s: %s run %d (%d nodes)" % (path, result["action"], result["key"],
                                                result["nodes"]))
        return status

    def _list(self, store, args):
        runs, _ = store.runs(name=args.name, limit=args.limit) if args.limit else ([], None)
        rows = [("KEY", "NAME", "START", "RESULT", "PASSED", "HOST", "")]
        for run in runs:
            summary = run["summary"] if isinstance(run["summary"], dict) else {}
            passed = "%s/%s" % (summary.get("passed", 0), summary.get("total", 0)) if summary else ""
            rows.append((str(run["key"]), _text(run["name"]), _text(run["start"])[:19],
                         _text(run["result"]), passed, _text(run["host"]),
                         "" if run["finished"] else "running"))
        widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
        for row in rows:
            print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
        return EXIT_OK

    def _rm(self, store, args):
        if not store.remove(args.key):
            error(self.prog, "no run %d in the store" % args.key)
            return EXIT_USAGE
        print("removed run %d" % args.key)
        return EXIT_OK


def _text(value):
    if value is None:
        return "-"
    return str(value).encode("utf-8", "backslashreplace").decode("utf-8")

