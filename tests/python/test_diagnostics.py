"""handler.statistics and the `tamsel` logger: counted and logged on both cycle paths, with
no callback given, and never in the way of the protocol."""
import logging
import time

import pytest

import tamsel.tamsel as ts
from tamsel.slave import Slave

SLAVE_ADDRESS = 0x00A5
CONNECTION_ID = 0x1234
WATCHDOG_S = 1.0  # long enough that a loaded machine never expires it between two cycles


class SubFrame(ts.FSOEFrame):
    """Substituted frames send the handler down its generic path."""


class Rig:
    def __init__(self, generic):
        items = [ts.DictionaryItemOutput(1, "out", ts.DataType.UINT16),
                 ts.DictionaryItemInput(2, "in", ts.DataType.UINT16, 0)]
        dictionary = ts.Dictionary(items)
        self.handler = ts.MasterHandler(dictionary, SLAVE_ADDRESS, CONNECTION_ID, WATCHDOG_S)
        self.handler.master.dictionary_map.add(dictionary.name_map["out"])
        self.handler.slave.dictionary_map.add(dictionary.name_map["in"])
        if generic:
            self.handler.master.frame = SubFrame()
            self.handler.slave.frame = SubFrame()
        self.slave = Slave.for_handler(self.handler, supervise_watchdog=False)
        self.exchanges = 0

    def cycle(self, count=1):
        for _ in range(count):
            self.slave.exchange(self.handler)
            self.exchanges += 1

    def run_until_data(self, limit=100):
        for _ in range(limit):
            if self.handler.state is ts.StateData:
                return
            self.cycle()
        raise AssertionError("no connection")

    def drive_expiries_explicitly(self):
        """From now on the watchdog expires only when the test calls the expiry event: its
        thread waits an hour (a loaded machine can neither miss nor add an expiry)."""
        handler = self.handler
        idle = ts.Watchdog(3600.0, handler._watchdog_expired_event)
        idle.start()
        handler._watchdog, replaced = idle, handler._watchdog
        replaced.stop()


@pytest.fixture(params=["fast", "generic"])
def rig(request):
    made = Rig(request.param == "generic")
    yield made
    made.handler.stop()
    made.handler.delete()


def fault_records(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "tamsel" and r.levelno == logging.WARNING]


def test_crc_fault_and_watchdog_expiry_without_callback(rig, caplog):
    caplog.set_level(logging.INFO, logger="tamsel")
    rig.drive_expiries_explicitly()
    before = time.time()
    rig.handler.start()
    rig.run_until_data()
    rig.cycle(3)
    rig.slave.corrupt_crc()
    rig.cycle()
    assert rig.handler.state is ts.StateReset
    rig.run_until_data()
    rig.handler._watchdog_expired_event()  # nobody cycles: the watchdog expires in Data
    assert rig.handler.state is ts.StateReset

    stats = rig.handler.statistics
    assert stats.faults == {"DATA_FAIL1": 1, "DATA_WD": 1}
    assert stats.watchdog_expiries == 1
    assert stats.connections == 2
    assert stats.last_fault.transition == "DATA_WD"
    assert stats.last_fault.message == "The watchdog of the master expired"
    assert before <= stats.last_fault.time <= time.time()
    assert stats.last_fault.time <= stats.state_entered  # Reset was entered after the report
    assert 0 < stats.replies <= rig.exchanges
    assert stats.requests >= stats.replies + 2  # start, each reply, the expiry
    assert stats.as_dict()["faults"] == stats.faults
    with pytest.raises(AttributeError):
        stats.replies = 0

    where = f"(slave address 0x{SLAVE_ADDRESS:04X}, connection id 0x{CONNECTION_ID:04X})"
    assert fault_records(caplog) == [f"DATA_FAIL1: Invalid slave CRC {where}",
                                     f"DATA_WD: The watchdog of the master expired {where}"]
    changes = [r.getMessage() for r in caplog.records if r.levelno == logging.INFO]
    assert changes[:4] == [f"StateReset -> StateSession {where}", f"StateSession -> StateConnection {where}",
                           f"StateConnection -> StateParameter {where}", f"StateParameter -> StateData {where}"]
    assert changes[4] == f"StateData -> StateReset {where}"


def test_counts_replies_requests_and_slave_resets(rig):
    rig.handler.start()
    assert rig.handler.statistics.requests == 1
    rig.run_until_data()
    rig.cycle(5)
    replies, resets = rig.handler.statistics.replies, rig.handler.statistics.slave_resets
    assert resets == 1  # the slave's answer to the Reset request of the start
    rig.cycle()  # the same reply again is not a new one
    rig.handler.set_reply(rig.slave.last_reply)
    assert rig.handler.statistics.replies == replies + 1
    rig.slave.send_reset(ts.BaseError.INVALID_DATA)
    rig.cycle()
    stats = rig.handler.statistics
    assert stats.slave_resets == resets + 1
    assert stats.faults == {"DATA_RESET1": 1}
    assert stats.requests == stats.replies + 1
    assert stats.connections == 1


def test_nothing_is_logged_or_formatted_below_the_level(rig, monkeypatch):
    logger = logging.getLogger("tamsel")
    calls = []
    monkeypatch.setattr(logger, "log", lambda *args, **kwargs: calls.append(args))
    monkeypatch.setattr(logger, "level", logging.ERROR)
    logger.manager._clear_cache()
    rig.handler.start()
    rig.run_until_data()
    rig.slave.corrupt_crc()
    rig.cycle()
    assert calls == []
    monkeypatch.setattr(logger, "level", logging.WARNING)
    logger.manager._clear_cache()
    rig.run_until_data()
    rig.slave.corrupt_crc()
    rig.cycle()
    assert [c[0] for c in calls] == [logging.WARNING]
    logger.manager._clear_cache()


def test_a_raising_log_handler_does_not_stop_the_safety_reaction(rig, monkeypatch):
    class Raising(logging.Filter):
        def filter(self, record):
            raise RuntimeError("broken filter")

    logger = logging.getLogger("tamsel")
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    monkeypatch.setattr(logger, "level", logging.INFO)
    logger.manager._clear_cache()
    broken = Raising()
    logger.addFilter(broken)
    try:
        rig.handler.start()
        rig.run_until_data()
        rig.slave.corrupt_crc()
        rig.cycle()
    finally:
        logger.removeFilter(broken)
        logger.manager._clear_cache()
    assert rig.handler.state is ts.StateReset
    assert rig.handler.get_request()[0] == ts.FSOECommand.RESET.value
    assert rig.handler.statistics.faults == {"DATA_FAIL1": 1}
    assert unraisable and all(isinstance(u.exc_value, RuntimeError) for u in unraisable)


def test_statistics_is_not_a_published_name():
    assert "HandlerStatistics" not in dir(ts) and "Fault" not in dir(ts)
    assert logging.getLogger("tamsel").handlers[0].__class__ is logging.NullHandler
