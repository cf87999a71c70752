"""``python -m tarvek``: the same as the ``tarvek`` command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
