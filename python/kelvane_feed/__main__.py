"""``python -m kelvane_feed``: the ``kelvane`` command line."""

import sys

from .cli import main

sys.exit(main())
