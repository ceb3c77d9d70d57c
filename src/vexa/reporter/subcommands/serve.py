"""`vexa serve`: the report server over the store."""


from vexa.cli.base import Subcommand
from vexa.reporter.subcommands.store import EXIT_USAGE, STORE_HELP, error


class ServeCommand(Subcommand):
    name = "serve"
    help = "serve the report store (and results files) over HTTP"
    usage = "{prog} [FILE...] [--store URL] [--host H] [--port P] [--logs DIR]"
    description = """
        Serve the runs of the store to explorers and browsers. Files named are
        imported first and again whenever they change on disk.

        On a loopback address no token is needed. On any other address every
        request must carry the token read from --token-file or VEXA_TOKEN (as
        "Authorization: Bearer TOKEN", or a cookie set by the page /signin).
    """

    def __init__(self, prog="vexa", subparsers=None):
        super().__init__(prog=prog, subparsers=subparsers)
        self.prog = self.parser.prog
        p = self.parser
        p.add_argument("files", nargs="*", metavar="FILE", help="results files to import and follow")
        p.add_argument("--store", metavar="URL", help=STORE_HELP)
        p.add_argument("--host", default="127.0.0.1", help="address to listen on (127.0.0.1)")
        p.add_argument("--port", type=_port, default=8765, help="port (8765; 0 for any free one)")
        p.add_argument("--logs", metavar="DIR", help="folder holding the jobs' log files")
        p.add_argument("--token-file", metavar="FILE",
                       help="file whose first line is the access token (else VEXA_TOKEN)")
        p.add_argument("--certfile", metavar="FILE", help="TLS certificate (PEM)")
        p.add_argument("--keyfile", metavar="FILE", help="TLS private key (PEM)")
        p.add_argument("--workers", type=_port, default=1,
                       help="processes serving requests (1); each takes one core")
        p.add_argument("-v", "--verbose", action="store_true", help="log every request")

    def run(self, args):
        return serve(self.prog, args)


def serve(prog, args, store_url=None):
    from vexa.reporter.server.run import ServeError, Server, quiet_logs
    from vexa.reporter.store import Store, StoreError
    from vexa.reporter.store.url import redact
    quiet_logs()
    try:
        store = Store(store_url or args.store)
    except StoreError as exc:
        error(prog, exc)
        return EXIT_USAGE
    try:
        server = Server(store, files=args.files, host=args.host, port=args.port,
                        logs_dir=args.logs, token_file=getattr(args, "token_file", None),
                        certfile=getattr(args, "certfile", None),
                        keyfile=getattr(args, "keyfile", None),
                        log=lambda text: error(prog, text), access_log=args.verbose,
                        workers=getattr(args, "workers", 1))
    except (ServeError, StoreError) as exc:
        error(prog, exc)
        store.close()
        return EXIT_USAGE
    what = ", ".join(args.files) if args.files else redact(store.url)
    print("serving %s at %s" % (what, server.url), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.sock.close()
        store.close()
    return 0


def _port(text):
    import argparse
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a port number" % text) from None
