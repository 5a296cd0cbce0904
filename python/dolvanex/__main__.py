"""python3 -m dolvanex: the command line (cli.py)."""

import sys

from .cli import main

# Only the real start runs the command, not an import of this module.
if __name__ == "__main__":
    sys.exit(main())
