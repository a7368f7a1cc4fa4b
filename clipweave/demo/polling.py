"""The demo's download polling, shortened: the stand-in download service
answers at once, so waiting 3 s between polls only makes the demo slow."""


class ShortWaits:
    """The host's `time` with the download's 3-second polling waits shortened."""

    def __init__(self, real, poll_wait):
        self._real = real
        self._poll_wait = poll_wait

    def sleep(self, seconds):
        # Only the polling waits are that long; the 0.5 s pause per segment stays.
        self._real.sleep(min(seconds, self._poll_wait) if seconds >= 3 else seconds)

    def __getattr__(self, name):
        return getattr(self._real, name)
