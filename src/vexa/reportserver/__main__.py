"""`python -m vexa.reportserver FILE`: serve a results file to explorers."""

import sys

from vexa.reportserver.server import main

sys.exit(main())
