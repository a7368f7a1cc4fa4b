"""``python -m clipweave``: the command-line interface."""
import sys

from clipweave.app.cli import main

if __name__ == "__main__":
    sys.exit(main())
