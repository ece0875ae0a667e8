"""What ``MasterHandler.statistics`` returns.

The handler counts natively, always; reading ``handler.statistics`` takes a snapshot::

    stats = handler.statistics
    stats.faults            # {"DATA_FAIL1": 2, "DATA_WD": 1}
    stats.last_fault        # Fault(time=..., transition="DATA_WD", message="The watchdog ...")
    stats.as_dict()

Every transition name is explained in docs/errors.md.
"""
from typing import Dict, NamedTuple, Optional

__all__ = ["HandlerStatistics", "Fault"]


class Fault(NamedTuple):
    """A fault the master reported: ``time.time()`` of the report, the transition name and
    the message (the two values the error callback receives)."""

    time: float
    transition: str
    message: str


class HandlerStatistics(NamedTuple):
    """A read-only snapshot of a handler's counters.

    ``replies``: new slave frames processed; ``requests``: requests computed;
    ``faults``: reported faults by transition name; ``watchdog_expiries``;
    ``connections``: times the Data state was entered; ``slave_resets``: Reset frames
    received from the slave; ``last_fault``: the last :class:`Fault` or None;
    ``state_entered``: ``time.time()`` when the current state was entered.
    """

    replies: int
    requests: int
    faults: Dict[str, int]
    watchdog_expiries: int
    connections: int
    slave_resets: int
    last_fault: Optional[Fault]
    state_entered: float

    def as_dict(self) -> dict:
        """The snapshot as a plain dict (``last_fault`` stays a :class:`Fault` or None)."""
        values = self._asdict()
        values["faults"] = dict(self.faults)
        return values
