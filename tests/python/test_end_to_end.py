"""Complete connections of a MasterHandler with the independent slave emulator."""
import math
import random

import pytest

import tamsel.tamsel as ts
from end_to_end_link import Link, random_value
from slave_emulator import Phase

SIZES = [(1, 1), (2, 2), (16, 16), (1, 16), (16, 2), (2, 1)]
PARAMS = {
    "none": (),
    "u8": ((0x5A, 1),),
    "u16": ((0xBEEF, 2),),
    "u32": ((0xDEADBEEF, 4),),
    "mixed": ((0xDEADBEEF, 4), (0x5A, 1), (0xBEEF, 2)),
}
STARTUP = [ts.StateSession, ts.StateConnection, ts.StateParameter, ts.StateData]


@pytest.fixture
def links():
    made = []

    def make(**kwargs):
        link = Link.make(**kwargs)
        made.append(link)
        return link

    yield make
    for link in made:
        link.close()


def startup_cycles(chunk, parameter_bytes):
    """Replies the master needs from start to Data: Reset, Session, Connection, Parameter."""
    return 1 + math.ceil(2 / chunk) + math.ceil(4 / chunk) + math.ceil((6 + parameter_bytes) / chunk)


@pytest.mark.parametrize("params", PARAMS.values(), ids=PARAMS.keys())
@pytest.mark.parametrize("out_size, in_size", SIZES)
def test_startup_reaches_data(links, out_size, in_size, params):
    link = links(out_size=out_size, in_size=in_size, params=params)
    handler, slave = link.handler, link.slave
    handler.start()
    chunk = min(out_size, in_size)
    assert handler.initialization_data_bytes == chunk
    cycles = 0
    while handler.state is not ts.StateData:
        link.cycle()
        cycles += 1
        assert cycles <= 100, (link.errors, slave.rejections)
    assert cycles == startup_cycles(chunk, sum(n for _, n in params))
    assert link.errors == [] and slave.rejections == []
    assert link.changes == STARTUP

    # what the slave echoed is now known to the master
    assert slave.master_session_id == handler.master.session.session_id.value
    assert handler.slave.session.connection_id.value == handler.master.session.connection_id.value
    assert handler.slave.session.slave_address.value == handler.get_slave_address()
    assert handler.slave.session.watchdog_ms.value == handler.master.session.watchdog_ms.value == 10000
    assert handler.slave.session.comm_parameter_size_bytes.value == 2
    assert handler.slave.session.app_parameter_size_bytes.value == sum(n for _, n in params)
    assert [p.value for p in handler.slave.application_parameters] == [v for v, _ in params]

    link.cycle()
    assert slave.phase is Phase.DATA and slave.outputs_fail_safe  # fail-safe until the host switches
    handler.set_fail_safe(False)
    link.cycle(2)
    assert not slave.outputs_fail_safe and link.errors == []
    request = handler.get_request()
    assert request[0] == ts.FSOECommand.PROCESS_DATA.value
    assert int.from_bytes(request[-2:], "little") == 0x1234
    assert len(request) == (6 if out_size == 1 else 2 * out_size + 3)


@pytest.mark.parametrize("out_size, in_size", [(1, 1), (2, 2), (16, 16), (16, 1)])
def test_data_values_travel_both_ways(links, out_size, in_size):
    rng = random.Random(out_size * 100 + in_size)
    link = links(out_size=out_size, in_size=in_size)
    link.connect()
    link.handler.set_fail_safe(False)
    seen = []
    for name, _ in link.inputs[:1]:
        link.handler.dictionary.name_map[name].subscribe_changed(lambda: seen.append(1))
    changes = 0
    previous = link.input_values()
    for _ in range(150):
        outputs = [random_value(rng, t) for _, t in link.outputs]
        inputs = [random_value(rng, t) for _, t in link.inputs]
        link.set_outputs(outputs)
        link.set_slave_inputs(inputs)
        link.cycle()  # the reply carries the new inputs; the next request the new outputs
        assert link.input_values() == inputs
        changes += inputs[0] != previous[0]
        previous = inputs
        link.cycle()
        assert link.sent_outputs() == outputs
        assert not link.slave.outputs_fail_safe
    assert len(seen) == changes
    assert link.errors == [] and link.slave.rejections == [] and link.changes == STARTUP
    assert link.handler.state is ts.StateData


def test_failsafe_outputs_still_carry_values(links):
    link = links(out_size=2, in_size=2)
    link.connect()
    link.set_outputs([7, -3])
    link.cycle(2)
    assert link.slave.outputs_fail_safe and link.sent_outputs() == [7, -3]


def test_slave_failsafe_data_puts_inputs_to_their_failsafe_values(links):
    link = links(out_size=16, in_size=16)
    link.connect()
    link.handler.set_fail_safe(False)
    values = [random_value(random.Random(1), t) for _, t in link.inputs]
    values[0] = 1.5
    link.set_slave_inputs(values)
    link.cycle()
    assert link.input_values() == values
    link.slave.fail_safe = True
    link.cycle()
    assert link.input_values() == [t.get_initial_value() for _, t in link.inputs]
    assert link.handler.state is ts.StateData and link.errors == []
    link.slave.fail_safe = False
    link.cycle()
    assert link.input_values() == values


def test_stop_and_restart_connects_again(links):
    link = links(out_size=2, in_size=2, params=((3, 2),))
    link.connect()
    link.handler.stop()
    assert link.handler.state is ts.StateReset and not link.handler._watchdog.active
    link.handler.start()
    link.connect()
    assert link.errors == [] and link.slave.rejections == []


def test_host_reset_in_data_restarts_the_connection(links):
    link = links(out_size=2, in_size=2)
    link.connect()
    link.handler.reset()
    request = link.handler.get_request()
    assert request[0] == ts.FSOECommand.RESET.value
    assert int.from_bytes(request[1:3], "little") == ts.BaseError.RESET.value
    link.connect()
    assert link.errors == [] and link.slave.rejections == []
    assert link.changes == STARTUP + [ts.StateReset] + STARTUP


def test_many_cycles_keep_the_request_sequence_consistent(links):
    """Thousands of frames: sequence numbers wrap-free and cyclic CRC_0 rules agree on both sides."""
    link = links(out_size=2, in_size=2)
    link.connect()
    link.handler.set_fail_safe(False)
    for i in range(3000):
        link.set_outputs([i & 0xFF, 0])
        link.cycle()
    assert link.errors == [] and link.slave.rejections == [] and link.handler.state is ts.StateData


def test_cycles_faults_and_recoveries_do_not_leak(links, no_leak):
    from tamsel.slave import Slave

    link = links(out_size=16, in_size=16, params=((0x0A0B0C0D, 4),))
    handler = link.handler
    handler.start()
    slave = Slave.for_handler(handler)
    counter = iter(range(1 << 30))

    def cycle():
        n = next(counter)
        handler.dictionary.set("out4", n & 0xFF)
        slave.inputs = bytes((n + i) & 0xFF for i in range(16))
        if n % 97 == 0:
            slave.corrupt_crc()  # a fault, a Reset and a new start-up now and then
        if n % 89 == 0:
            handler.set_fail_safe(n % 2 == 0)
        slave.exchange(handler)

    no_leak(cycle, rounds=3000)
    assert handler.state in (ts.StateData, ts.StateReset, ts.StateSession, ts.StateConnection, ts.StateParameter)
    assert {name for name, _ in link.errors} == {"DATA_FAIL1"}


def test_every_transition_is_traced_in_order(links, capsys, monkeypatch):
    monkeypatch.setattr(ts, "TAMSEL_LOGGING", True)
    link = links(out_size=2, in_size=2)
    link.connect()
    link.slave.corrupt_crc()
    link.cycle()
    link.connect()
    prefix = "MASTER | TRANSITION | "
    traced = [line[len(prefix):] for line in capsys.readouterr().out.splitlines() if line.startswith(prefix)]
    startup = ["RESET_OK", "SESSION_OK", "CONNECTION_STAY1", "CONN_OK", "PARA_STAY1", "PARA_STAY1", "PARA_OK"]
    assert traced == ["RESET_START"] + startup + ["DATA_OK1", "DATA_FAIL1"] + startup + ["DATA_OK1"]
