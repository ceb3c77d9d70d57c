"""The `vexa` subcommands that work on results files, one module each.

Each is registered in the entry-point group "vexa.cli.subcommands" and in
`vexa.cli.main.BUILTIN_SUBCOMMANDS`; `_conventions` holds what they share.
"""
