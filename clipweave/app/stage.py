"""What a run is doing now, so that a failure is reported with its stage."""


class Stage:
    """The run's stage: "check" until the run begins, then "run", and
    "download", "speech" (``segment``: the narration's number, from 1) and
    "render" as the work goes on. The run owns one; the module's bound
    clients and the studio render move it on."""

    def __init__(self):
        self.name = "check"
        self.segment = 0

    def enter(self, name):
        self.name = name

    def speaking(self, number=None):
        """Narration ``number`` (the next one when None) is being spoken."""
        self.segment = self.segment + 1 if number is None else number
        self.name = "speech"
