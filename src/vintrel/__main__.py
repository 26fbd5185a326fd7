"""`python -m vintrel`: the command line."""

import sys

from vintrel.cli import main

if __name__ == "__main__":
    sys.exit(main())
