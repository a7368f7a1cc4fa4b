"""``python -m clipweave``: the command-line interface."""
import sys

from clipweave.command import main

if __name__ == "__main__":
    sys.exit(main())
