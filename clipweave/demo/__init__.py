"""``clipweave demo``: a whole run on this machine, with loopback stand-ins of the services."""
