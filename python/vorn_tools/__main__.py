"""`python -m vorn_tools` runs the `vorn` command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
