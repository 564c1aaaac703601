"""``python -m powergpu``: the same command line as the ``powergpu`` script."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
