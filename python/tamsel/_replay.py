"""Replays a master's CRC bookkeeping over a recorded conversation, frame by frame, to tell
which frames carry CRCs other than the conversation so far predicts.

The replay keeps what the handler keeps (both frames' sequence numbers and reference CRC_0,
the last CRC_0 each side sent, the cyclic-CRC flag) and changes it as the handler does. Which
transition the handler took is read from the states the recording gives with every frame: a
reply carries the state that processed it, a request the state that built it. Slave frames
are checked where the master checks them (their state's own commands, never in Reset), with
the module's own frame CRC code; master frames are regenerated and compared.
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


class Verdict(NamedTuple):
    """`ok` is None when the frame was not checked (the master makes no check there, or the
    replay does not know enough yet); `expected` holds the predicted CRCs of a checked frame."""

    ok: Optional[bool]
    expected: Optional[Tuple[int, ...]] = None


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
        verdict = Verdict(None)
        if self.synced and self.slave_last_known and command in CHECKED_COMMANDS.get(state, ()):
            expected = predicted(data, self.slave, self.slave_last)
            if self.slave_last is None:
                ok = self.slave.check_crcs()
            else:
                ok = self.slave.check_crcs_cyclic(self.slave_last)
            verdict = Verdict(ok, crc_words(expected))
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
        verdict = Verdict(None)
        if self.synced and (not self.cyclic or self.master_last is not None):
            expected = predicted(data, self.master, self.master_last if self.cyclic else None)
            self.master.control.sequence_number = expected.control.sequence_number
            verdict = Verdict(crc_words(expected) == crc_words(sent), crc_words(expected))
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
