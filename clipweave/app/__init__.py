"""The ``clipweave`` command: options, one checked run, its report and exit status."""
