"""python3 -m dolvanex: the command line (cli.py)."""

import sys

from .cli import main

# The local cluster's worker processes import the main module again; only
# the real start runs the command.
if __name__ == "__main__":
    sys.exit(main())
