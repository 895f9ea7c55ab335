"""python -m orvex_tools: the orvex-chess command."""

import sys

from orvex_tools.cli import main

sys.exit(main())
