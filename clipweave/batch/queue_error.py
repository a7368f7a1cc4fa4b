"""The one error of the queue, apart from the queue's seam so that the
engine's modules behind the seam can raise it without importing the seam."""


class QueueError(Exception):
    """The queue cannot be reached or used; the message says why, without a
    password. ``refused``: the queue answered and refused (a wrong
    password, a missing permission, no such database, a certificate that
    does not hold): the address or its credentials are wrong, not the
    network."""

    def __init__(self, message, refused=False):
        super().__init__(message)
        self.refused = refused
