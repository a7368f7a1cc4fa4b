"""The ``clipweave`` command (and ``python -m clipweave``): the application's
command line, with the demo, batch, worker and edit as sub-commands (outside the
application: a batch checks its jobs with the application's own parser; the editor
runs the application's own checks and runs). The demo runs the application; the
application knows nothing of the demo or the editor."""
import sys

from clipweave.app import cli
from clipweave.batch.command import COMMANDS as BATCH_COMMANDS


def demo(argv):
    # Imported on demand: the stand-in services cost every other command their start-up.
    from clipweave.demo.main import main as demo_main

    return demo_main(argv)


def edit(argv):
    # Imported on demand, like the demo: the server's libraries load only for it.
    from clipweave.edit.command import main as edit_main

    return edit_main(argv)


def main(argv=None):
    """Entry point of ``clipweave``; returns the exit status."""
    return cli.main(argv, more_commands={"demo": demo, "edit": edit, **BATCH_COMMANDS})


if __name__ == "__main__":
    sys.exit(main())
