"""Helpers shared by several test modules."""
from clipweave.demo import probe  # noqa: F401  ({codec_type: stream}, duration)


def atempo_reference(speed):
    """The tempo filter chain for a finite speed, with the host's own formatting."""
    if speed <= 2.0:
        return f"atempo={speed!r}"
    chain, remaining = [], speed
    while remaining > 2.0:
        chain.append("atempo=2.0")
        remaining *= 0.5
    chain.append(f"atempo={remaining:.4f}")
    return ",".join(chain)
