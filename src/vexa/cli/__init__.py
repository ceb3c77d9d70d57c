"""The `vexa` command-line tool and the base of its subcommands."""
