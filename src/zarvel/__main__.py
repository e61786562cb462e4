"""``python -m zarvel``: the same command line as the ``zarvel`` console script."""

import sys

from .cli import main

sys.exit(main())
