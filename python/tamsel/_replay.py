"""Replays a recorded conversation through the master's own rules, frame by frame, to tell which
frames carry CRCs or checks other than the conversation so far predicts.

`tamsel._core.ReplayCore` keeps what the handler keeps (both frames, the last CRC_0 each side
sent, its flags) and changes it by the master's rules: a master frame is stamped as the handler
stamps its request and its CRCs compared with the predicted ones; a slave frame goes through the
master's checks in their order, and the first one it fails is its cause. What is left here is
the replay's own knowledge: which transition the handler took, read from the states the
recording gives with every frame (a reply carries the state that processed it, a request the
state that built it), and whether the conversation so far is known well enough to predict CRCs.
"""
from typing import NamedTuple, Optional, Tuple

from tamsel._core import ReplayCore
from tamsel.tamsel import FSOECommand, FSOEFrame

RESET, SESSION, CONNECTION, PARAMETER, DATA = range(5)

UNKNOWN_COMMAND = "UNKNOWN COMMAND"
UNEXPECTED_COMMAND = "UNEXPECTED COMMAND"
CONNECTION_ID_MISMATCH = "CONNECTION ID MISMATCH"
CRC_MISMATCH = "CRC MISMATCH"

# The cause named for the error code of the first check a slave frame fails.
CAUSES = {"unknown_cmd": UNKNOWN_COMMAND, "invalid_cmd": UNEXPECTED_COMMAND,
          "invalid_connid": CONNECTION_ID_MISMATCH, "invalid_crc": CRC_MISMATCH}

# Transitions by the state they leave, as the recorded states show them. Every way from another
# state into Reset runs the same reset procedure on the frames: the host reset's stands for them.
INTO_RESET = ("RESET_STAY1", "SESSION_RESET2", "CONN_RESET2", "PARA_RESET2", "DATA_RESET2")
SLAVE_RESET = (None, "SESSION_RESET1", "CONN_RESET1", "PARA_RESET1", "DATA_RESET1")
STAY = (None, "SESSION_STAY1", "CONNECTION_STAY1", "PARA_STAY1", "DATA_OK1")
ADVANCE = ("RESET_OK", "SESSION_OK", "CONN_OK", "PARA_OK", None)


class Verdict(NamedTuple):
    """`ok` is None when the CRCs were not checked (the master makes no check there, or the
    replay does not know enough yet); `expected` holds the predicted CRCs of a checked frame.
    `cause` names the first check the master makes that the frame fails, or is None."""

    ok: Optional[bool]
    expected: Optional[Tuple[int, ...]] = None
    cause: Optional[str] = None


def crc_words(frame: FSOEFrame) -> Tuple[int, ...]:
    return tuple(frame.crcs[i] for i in range((frame.safe_data_size_bytes + 1) // 2))


def reply_transition(before: int, after: int, command: int) -> Optional[str]:
    """The transition a reply received in `before` took, the handler's next frame being built in
    `after`; None when the recording shows no way from one to the other."""
    if after == RESET:
        return INTO_RESET[before]
    if after == SESSION and before != RESET and command == FSOECommand.RESET.value:
        return SLAVE_RESET[before]
    if after == before:
        return STAY[before]
    return ADVANCE[before] if after == before + 1 else None


class Replay:
    def __init__(self, from_start: bool):
        """`from_start`: the recording begins with the handler's first request."""
        self.core = ReplayCore()
        self.slave_last_known = from_start  # the CRC_0 of the last slave frame
        self.synced = False
        self.state = RESET if from_start else None  # the handler's state between events
        self.pending = None  # (state, command) of a reply whose transition is not known yet
        self.connection_id = None  # what the master sends from Connection on

    def frame(self, from_master: bool, state: Optional[int], data: bytes) -> Verdict:
        return self._request(state, data) if from_master else self._reply(state, data)

    # ---- replies ---------------------------------------------------------------------------

    def _reply(self, state, data):
        self._finish_reply(self.state)  # a reply whose request was never computed changed nothing
        self.state = state
        if state is None:
            self.synced = False
        check = self.synced and self.slave_last_known
        fault, ok, expected = self.core.reply(state, data, self.connection_id, check)
        self.slave_last_known = True
        self.pending = (state, data[0] if data else 0)
        return Verdict(ok, expected, CAUSES.get(fault))

    def _finish_reply(self, after):
        if self.pending is None:
            return
        before, command = self.pending
        self.pending = None
        transition = None if before is None or after is None else reply_transition(before, after, command)
        if transition is None:
            self.synced = False
            return
        self._perform(transition)
        if transition == SLAVE_RESET[before] and before != SESSION:
            # The handler's flag is set since SESSION_OK, whether the replay saw it or not.
            self.core.cyclic = True
            self.synced = True

    # ---- requests --------------------------------------------------------------------------

    def _request(self, state, data):
        if self.pending is not None:
            self._finish_reply(state)
        else:
            self._event(state)
        self.state = state
        if state in (CONNECTION, PARAMETER, DATA):
            self.connection_id = FSOEFrame.frame_from_array(data).control.connection_id
        stamped = self.core.request(state, data, self.synced)
        if stamped is None:
            return Verdict(None)
        ok, expected = stamped
        return Verdict(ok, expected, None if ok else CRC_MISMATCH)

    def _event(self, after):
        """A request computed without a reply: start, reset, stop or a watchdog expiry."""
        if after == RESET and self.state is not None:
            self._perform("RESET_START" if self.state == RESET else INTO_RESET[self.state])
        elif after == SESSION and self.state == RESET:
            self._perform("RESET_WD")
        elif after != self.state or after is None:
            self.synced = False

    def _perform(self, transition):
        self.core.perform(transition)
        if transition in INTO_RESET or transition == "RESET_START":
            self.synced = True
