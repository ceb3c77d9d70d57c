"""`python -m vexa.cli`: the `vexa` command without an installed script."""

import sys

from vexa.cli.main import main

sys.exit(main())
