"""Many recaps: ``clipweave batch JOBS`` on this machine or through a Redis
queue, and ``clipweave worker`` that runs a queue's jobs."""
