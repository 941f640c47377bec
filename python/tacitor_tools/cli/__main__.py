"""``python -m tacitor_tools.cli``: the same as the ``tacitor`` console script."""

import sys

from .main import main

sys.exit(main())
