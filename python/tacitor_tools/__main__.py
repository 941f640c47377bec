"""``python -m tacitor_tools``: the same as the ``tacitor`` console script."""

import sys

from .cli.main import main

sys.exit(main())
