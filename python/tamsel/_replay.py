"""Replays a master's CRC bookkeeping over a recorded conversation, frame by frame, to tell
which frames carry CRCs other than the conversation so far predicts.

The replay keeps what the handler keeps (both frames' sequence numbers and reference CRC_0,
the last CRC_0 each side sent, the cyclic-CRC flag) and changes it as the handler does. Which
transition the handler took is read from the states the recording gives with every frame: a
reply carries the state that processed it, a request the state that built it. Slave frames
are checked where the master checks them and in its order (never in Reset): the command, then
outside Session the connection id against the one the master sends, then the CRCs, with the
module's own frame CRC code; the first check that fails is the frame's cause. Master frames are
regenerated and compared.
"""
from typing import NamedTuple, Optional, Tuple

from tamsel.tamsel import FSOECommand, FSOEFrame

RESET, SESSION, CONNECTION, PARAMETER, DATA = range(5)

CHECKED_COMMANDS = {
    SESSION: {FSOECommand.SESSION.value},
    CONNECTION: {FSOECommand.CONNECTION.value},
    PARAMETER: {FSOECommand.PARAMETER.value},
    DATA: {FSOECommand.PROCESS_DATA.value, FSOECommand.FAILSAFE_DATA.value},
}


UNKNOWN_COMMAND = "UNKNOWN COMMAND"
UNEXPECTED_COMMAND = "UNEXPECTED COMMAND"
CONNECTION_ID_MISMATCH = "CONNECTION ID MISMATCH"
CRC_MISMATCH = "CRC MISMATCH"


class Verdict(NamedTuple):
    """`ok` is None when the CRCs were not checked (the master makes no check there, or the
    replay does not know enough yet); `expected` holds the predicted CRCs of a checked frame.
    `cause` names the first check the master makes that the frame fails, or is None."""

    ok: Optional[bool]
    expected: Optional[Tuple[int, ...]] = None
    cause: Optional[str] = None


def command_fault(state: Optional[int], command: int) -> Optional[str]:
    """What the master makes of a slave frame's command in `state`, before any other check."""
    if state is None or state == RESET:
        return None
    if not FSOECommand.has_value(command):
        return UNKNOWN_COMMAND
    if command == FSOECommand.RESET.value or command in CHECKED_COMMANDS[state]:
        return None
    return UNEXPECTED_COMMAND


def crc_words(frame: FSOEFrame) -> Tuple[int, ...]:
    return tuple(frame.crcs[i] for i in range((frame.safe_data_size_bytes + 1) // 2))


def predicted(data: bytes, keyed_by: FSOEFrame, last_crc0: Optional[int]) -> FSOEFrame:
    """The frame `data` with the CRCs its sender should have given it: keyed by the sequence
    number and reference CRC_0 of `keyed_by`, cyclic against `last_crc0` unless it is None."""
    expected = FSOEFrame.frame_from_array(data)
    expected.control.sequence_number = keyed_by.control.sequence_number
    expected.control.crc0 = keyed_by.control.crc0
    if last_crc0 is None:
        expected.generate_crcs()
    else:
        expected.generate_crcs_cyclic(last_crc0)
    return expected


class Replay:
    def __init__(self, from_start: bool):
        """`from_start`: the recording begins with the handler's first request."""
        self.master = FSOEFrame()
        self.slave = FSOEFrame()
        self.master_last = None  # CRC_0 of the last master frame
        self.slave_last = None   # CRC_0 of the last slave frame
        self.slave_last_known = from_start
        self.cyclic = False
        self.reset_slave_sequence = False
        self.synced = False
        self.state = RESET if from_start else None  # the handler's state between events
        self.pending = None  # (state, command, CRC_0) of a reply whose transition is not known yet
        self.connection_id = None  # what the master sends from Connection on

    def frame(self, from_master: bool, state: Optional[int], data: bytes) -> Verdict:
        return self._request(state, data) if from_master else self._reply(state, data)

    # ---- replies ---------------------------------------------------------------------------

    def _reply(self, state, data):
        self._finish_reply(self.state)  # a reply whose request was never computed changed nothing
        self.state = state
        self.slave._frame_from_array(data)
        command = data[0] if data else 0
        if state is None:
            self.synced = False
        elif state != RESET:
            self.master.control.crc0 = self.slave.crcs[0]
        cause = command_fault(state, command)
        if (cause is None and state not in (None, RESET, SESSION) and self.connection_id is not None
                and command != FSOECommand.RESET.value and self.slave.control.connection_id != self.connection_id):
            cause = CONNECTION_ID_MISMATCH
        verdict = Verdict(None, None, cause)
        if self.synced and self.slave_last_known and command in CHECKED_COMMANDS.get(state, ()):
            expected = predicted(data, self.slave, self.slave_last)
            if self.slave_last is None:
                ok = self.slave.check_crcs()
            else:
                ok = self.slave.check_crcs_cyclic(self.slave_last)
            verdict = Verdict(ok, crc_words(expected), cause or (None if ok else CRC_MISMATCH))
        self.pending = (state, command, self.slave.crcs[0])
        return verdict

    def _finish_reply(self, after):
        if self.pending is None:
            return
        before, command, crc0 = self.pending
        self.pending = None
        self._reply_transition(before, after, command)
        if before != RESET:
            self.slave.control.increment_sequence_number()
        self.slave_last, self.slave_last_known = crc0, True

    def _reply_transition(self, before, after, command):
        if before is None or after is None:
            self.synced = False
        elif after == RESET:
            self._reset()  # a fault, or RESET_STAY1
        elif after == SESSION:
            if before == RESET:
                self.cyclic = False  # RESET_OK
            elif command == FSOECommand.RESET.value:
                self._new_session(before)
        else:
            self.cyclic = True

    # ---- requests --------------------------------------------------------------------------

    def _request(self, state, data):
        if self.pending is not None:
            self._finish_reply(state)
        else:
            self._event(state)
        self.state = state
        sent = FSOEFrame.frame_from_array(data)
        if state in (CONNECTION, PARAMETER, DATA):
            self.connection_id = sent.control.connection_id
        verdict = Verdict(None)
        if self.synced and (not self.cyclic or self.master_last is not None):
            expected = predicted(data, self.master, self.master_last if self.cyclic else None)
            self.master.control.sequence_number = expected.control.sequence_number
            ok = crc_words(expected) == crc_words(sent)
            verdict = Verdict(ok, crc_words(expected), None if ok else CRC_MISMATCH)
        self.master_last = sent.crcs[0]
        if self.reset_slave_sequence:
            self.slave.control.sequence_number = 1
            self.reset_slave_sequence = False
        if state != RESET:
            self.slave.control.crc0 = sent.crcs[0]
            self.master.control.increment_sequence_number()
        return verdict

    def _event(self, after):
        """A request computed without a reply: start, reset, stop or a watchdog expiry."""
        if after == RESET and self.state is not None:
            self._reset()
        elif after == SESSION and self.state == RESET:
            self.cyclic = False  # RESET_WD
        elif after != self.state or after is None:
            self.synced = False

    # ---- the procedures the states run -----------------------------------------------------

    def _restart_frames(self):
        # Both procedures also make the handler expect the next slave frame with sequence
        # number 1, whatever it does with the number after the event.
        for frame in (self.master, self.slave):
            frame.control.crc0 = 0
            frame.control.sequence_number = 1
        self.reset_slave_sequence = True

    def _reset(self):
        self._restart_frames()
        self.cyclic = False
        self.synced = True

    def _new_session(self, before):
        self._restart_frames()
        if before != SESSION:
            self.synced = True  # the flag is set since SESSION_OK
            self.cyclic = True
