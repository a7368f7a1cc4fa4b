"""The ``clipweave`` command (and ``python -m clipweave``): the application's
command line, with the demo, batch, worker and edit as sub-commands (outside the
application: a batch checks its jobs with the application's own parser; the editor
runs the application's own checks and runs). The demo runs the application; the
application knows nothing of the demo or the editor."""
import sys

from clipweave.app import cli

# clipweave.batch.command's COMMANDS, by name: its module is imported when one runs.
BATCH_NAMES = ("batch", "worker")


def demo(argv):
    # Imported on demand: the stand-in services cost every other command their start-up.
    from clipweave.demo.main import main as demo_main

    return demo_main(argv)


def edit(argv):
    # Imported on demand, like the demo: the server's libraries load only for it.
    from clipweave.edit.command import main as edit_main

    return edit_main(argv)


def batch_command(name):
    # Imported on demand too: a batch checks its jobs with the run's checks,
    # which no other command needs at its start.
    def run(argv):
        from clipweave.batch.command import COMMANDS

        return COMMANDS[name](argv)

    return run


def main(argv=None):
    """Entry point of ``clipweave``; returns the exit status."""
    batches = {name: batch_command(name) for name in BATCH_NAMES}
    return cli.main(argv, more_commands={"demo": demo, "edit": edit, **batches})


if __name__ == "__main__":
    sys.exit(main())
