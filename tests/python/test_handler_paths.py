"""The cycle gives the same frames whether it runs over the module's own objects in C++ or
over substituted and subclassed ones through their published names and methods."""
import random

import pytest

import tamsel.tamsel as ts
from end_to_end_link import Link, random_value, unpack
from slave_emulator import Frame as EmulatedFrame, slot_crc


class Frame(ts.FSOEFrame):
    """A host subclass: the handler must go through its methods."""

    calls = 0

    def frame_to_array(self):
        Frame.calls += 1
        return super().frame_to_array()

    def _frame_from_array(self, data):
        Frame.calls += 1
        super()._frame_from_array(data)


class SubHandler(ts.MasterHandler):
    """A host subclass: start, stop and every event go through its methods."""

    def reset(self):
        super().reset()

    def _MasterHandler__recalculate_request(self):
        super()._MasterHandler__recalculate_request()


def substitute_frames(link):
    link.handler.master.frame = Frame()
    link.handler.slave.frame = Frame()


@pytest.fixture
def fixed_session_ids(monkeypatch):
    monkeypatch.setattr(ts, "randint", lambda low, high: 0x1D2E)


def run(link, values):
    """Start-up and Data cycles with changing values; every request and input seen."""
    requests, inputs = [], []
    link.handler.start()
    link.run_until(ts.StateData)
    link.handler.set_fail_safe(False)
    for outputs, slave_inputs in values:
        link.set_outputs(outputs)
        link.set_slave_inputs(slave_inputs)
        link.cycle()
        requests.append(link.handler.get_request())
        inputs.append(link.input_values())
    return requests, inputs


@pytest.mark.parametrize("out_size, in_size, params", [(1, 2, ((7, 1),)), (16, 16, ((0x01020304, 4), (9, 2)))])
def test_own_and_substituted_objects_give_the_same_requests(fixed_session_ids, out_size, in_size, params):
    import random

    rng = random.Random(5)
    links = [Link.make(out_size=out_size, in_size=in_size, params=params, handler_cls=cls)
             for cls in (None, None, SubHandler)]
    for link in links:
        link.slave.session_id = 0x4321
    substitute_frames(links[1])
    values = [([random_value(rng, t) for _, t in links[0].outputs], [random_value(rng, t) for _, t in links[0].inputs])
              for _ in range(40)]
    try:
        Frame.calls = 0
        own, substituted, subclassed = (run(link, values) for link in links)
        assert Frame.calls > 80  # the substituted frames were driven through their methods
        assert own == substituted == subclassed
        assert links[0].changes == links[1].changes == links[2].changes
        assert own[1] == [list(v) for _, v in values]
        for link in links:
            assert link.errors == [] and link.slave.rejections == []
    finally:
        for link in links:
            link.close()


def test_state_subclass_overrides_are_honoured():
    calls = []

    class Data(ts.StateData):
        def map_frame(self):
            calls.append("map_frame")
            super().map_frame()

        def _process_frame_received_event(self):
            calls.append("frame")
            return super()._process_frame_received_event()

    link = Link.make(out_size=2, in_size=2)
    try:
        link.connect()
        link.handler._set_next_state(Data)
        assert type(link.handler._state) is Data and link.changes[-1] is Data
        link.handler.set_fail_safe(False)
        link.set_outputs([5, -5])
        link.set_slave_inputs([9, -9])
        link.cycle(3)
        assert calls == ["frame", "map_frame"] * 3
        assert link.sent_outputs() == [5, -5] and link.input_values() == [9, -9]
        assert link.errors == [] and link.handler.state is Data
    finally:
        link.close()


def test_substituted_dynamic_map_is_driven_through_its_methods():
    class Recorder:
        def __init__(self, real):
            self.real, self.calls = real, []

        def __getattr__(self, name):
            attribute = getattr(self.real, name)
            if callable(attribute):
                def call(*args, **kwargs):
                    self.calls.append(name)
                    return attribute(*args, **kwargs)
                return call
            return attribute

    link = Link.make(out_size=2, in_size=2)
    try:
        recorder = Recorder(link.handler.slave._dynamic_map)
        link.handler.slave._dynamic_map = recorder
        link.connect()
        assert link.errors == [] and link.slave.rejections == []
        assert "get_data_from_frame" in recorder.calls and "add" in recorder.calls
    finally:
        link.close()


@pytest.mark.parametrize("state", [ts.StateSession, ts.StateConnection, ts.StateParameter, ts.StateData])
def test_substituted_objects_reconnect_after_a_slave_reset(state):
    link = Link.make(out_size=2, in_size=2)
    substitute_frames(link)
    try:
        link.handler.start()
        link.run_until(state)
        # In Session a Reset with code 0 would repeat the acknowledgement the slave just sent:
        # the same frame, no new reset.
        link.slave.send_reset(4 if state is ts.StateSession else 0)
        link.cycle()
        assert link.handler.state is ts.StateSession and len(link.errors) == 1
        link.connect()
        link.cycle(3)
        assert len(link.errors) == 1 and link.slave.rejections == []
    finally:
        link.close()


@pytest.mark.parametrize("trace", [False, True], ids=["quiet", "traced"])
@pytest.mark.parametrize("out_size, in_size", [(1, 1), (2, 16), (16, 2)])
def test_data_replies_and_their_faults_react_alike_on_every_path(fixed_session_ids, monkeypatch, capsys,
                                                                 out_size, in_size, trace):
    """The module's own handler takes valid Data replies in one pass; a subclass goes through
    the states' events, substituted frames through their methods, and the console trace takes
    every reply through the states. All must see the same replies the same way: valid,
    fail-safe, faulty, foreign, repeated, short or long, with input subscribers and changing
    values; traced, they write the same trace."""
    rng = random.Random(out_size * 31 + in_size)
    monkeypatch.setattr(ts, "TAMSEL_LOGGING", trace)
    links = [path_link(path, out_size=out_size, in_size=in_size) for path in PATHS]
    own = links[0]
    notified = [[] for _ in links]
    for link, seen in zip(links, notified):
        link.handler.dictionary.name_map["in0"].subscribe_changed(
            lambda seen=seen, link=link: seen.append(link.input_values()))

    late_items = [ts.DynamicMappableItem(0, ts.DataType.UINT8) for _ in links]

    def observed(link):
        stats = link.handler.statistics
        return (link.handler.get_request(), link.handler.state, link.input_values(), list(link.errors),
                list(link.changes), stats.replies, stats.requests, dict(stats.faults), stats.connections,
                late_items[links.index(link)].value)

    faults = [lambda: own.slave.corrupt_crc(rng.randrange((in_size + 1) // 2)), own.slave.corrupt_connection_id,
              lambda: own.slave.send_command(rng.choice([0x36, 0x4E, 0x64, 0x52, 0x08])),
              lambda: own.slave.send_reset(rng.randrange(1, 9)), lambda: own.slave.silence(1),
              lambda: own.slave.send_connection_id(rng.choice([0, 0x1235, 0xFFFF])),
              lambda: own.slave.send_size(rng.choice([1, 2, 4, 14, 16]))]
    traced = False
    try:
        for link in links:
            link.handler.start()
        capsys.readouterr()
        for step in range(400):
            if step == 300:  # an item added behind the slave's finished dynamic map takes the next data
                for link, item in zip(links, late_items):
                    link.handler.slave._dynamic_map._items.append(item)
            request = own.handler.get_request()
            assert all(link.handler.get_request() == request for link in links)
            roll = rng.random()
            if own.handler.state is ts.StateData and roll < 0.15:
                rng.choice(faults)()
            elif roll < 0.25:
                own.slave.fail_safe = not own.slave.fail_safe
            elif roll < 0.35:
                active = rng.random() < 0.5
                for link in links:
                    link.handler.set_fail_safe(active)
            if rng.random() < 0.5:
                values = [random_value(rng, t) for _, t in own.inputs]
                own.set_slave_inputs(values)
            reply = own.slave.reply(request)
            if rng.random() < 0.05:  # a reply of another length than this connection's frames
                reply = reply[:rng.randrange(len(reply))] if rng.random() < 0.5 else reply + bytes(rng.randrange(1, 40))
            traces = []
            for link in links:
                link.handler.set_reply(reply)
                traces.append(capsys.readouterr().out)
            assert all(observed(link) == observed(own) for link in links), f"step {step}"
            assert traces.count(traces[0]) == len(links), f"step {step}"
            traced = traced or bool(traces[0])
        assert all(seen == notified[0] for seen in notified) and notified[0]
        assert traced == trace
        assert own.handler.statistics.connections > 1 and own.errors
    finally:
        for link in links:
            link.close()


PATHS = ["own", "subclassed", "substituted"]


def path_link(path, **kwargs):
    """A link whose handler takes Data replies in one pass (own, unless traced), through the
    states' events (subclassed), or through the frames' published methods (substituted)."""
    link = Link.make(handler_cls=SubHandler if path == "subclassed" else None, **kwargs)
    if path == "substituted":
        substitute_frames(link)
    return link


def data_link(path, in_size, fail_safe):
    link = path_link(path, out_size=2, in_size=in_size)
    try:
        link.connect()
        link.handler.set_fail_safe(False)
        link.slave.fail_safe = fail_safe
        link.set_slave_inputs([random_value(random.Random(in_size), t) for _, t in link.inputs])
        link.cycle(2)
    except BaseException:
        link.close()
        raise
    return link


def reset_code(request):
    assert request[0] == ts.FSOECommand.RESET.value
    return int.from_bytes(request[1:3], "little")


# (fault injected, its argument, slave's safe-data size, report, error code of the next request)
FOREIGN_REPLIES = [
    ("send_connection_id", 0x1235, 2, ("DATA_FAIL2", f"Connection id exchanged does not match {0x1235} != {0x1234}"),
     ts.BaseError.INVALID_CONNID),
    ("send_connection_id", 0, 16, ("DATA_FAIL2", f"Connection id exchanged does not match 0 != {0x1234}"),
     ts.BaseError.INVALID_CONNID),
    ("send_size", 4, 2, ("DATA_FAIL1", "Invalid slave CRC"), ts.BaseError.INVALID_CRC),
    ("send_size", 1, 2, ("DATA_FAIL1", "Invalid slave CRC"), ts.BaseError.INVALID_CRC),
    ("send_size", 2, 1, ("DATA_FAIL1", "Invalid slave CRC"), ts.BaseError.INVALID_CRC),
    ("send_size", 14, 16, ("DATA_FAIL1", "Invalid slave CRC"), ts.BaseError.INVALID_CRC),
]


@pytest.mark.parametrize("fail_safe", [False, True], ids=["process", "fail-safe"])
@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("fault, argument, in_size, report, code", FOREIGN_REPLIES,
                         ids=[f"{f}-{a}-of-{s}" for f, a, s, _, _ in FOREIGN_REPLIES])
def test_a_data_reply_of_another_connection_or_size_is_refused_though_its_crcs_match(
        path, fault, argument, in_size, report, code, fail_safe):
    link = data_link(path, in_size, fail_safe)
    seen_at_report = []
    link.handler._MasterHandler__report_error_callback = (
        lambda name, message: (seen_at_report.append(link.input_values()), link.errors.append((name, message))))
    try:
        before = link.input_values()
        link.set_slave_inputs([random_value(random.Random(in_size + 1), t) for _, t in link.inputs])
        getattr(link.slave, fault)(argument)
        link.cycle()
        assert link.slave.replies[-1].fault.value == fault[len("send_"):]
        assert link.errors == [report] and seen_at_report == [before]
        assert link.handler.state is ts.StateReset
        assert reset_code(link.handler.get_request()) == code.value
        link.connect()
        assert link.errors == [report] and link.slave.rejections == []
    finally:
        link.close()


def colliding_safe(sequence, crc0, last_crc0):
    """The two safe-data bytes that give a PROCESS_DATA frame of this connection `last_crc0` as
    its CRC_0: under the cyclic rule its sender has to step the sequence number past them."""
    return next(safe for safe in (value.to_bytes(2, "little") for value in range(0x10000))
                if slot_crc(0x36, sequence, 0x1234, crc0, safe, 0) == last_crc0)


@pytest.mark.parametrize("path", PATHS + ["traced"])
@pytest.mark.parametrize("sender", ["slave", "master"])
def test_a_data_frame_whose_crc0_would_repeat_the_last_one_goes_one_sequence_number_on(path, sender, monkeypatch):
    monkeypatch.setattr(ts, "TAMSEL_LOGGING", path == "traced")  # the trace takes replies through the states
    link = data_link(path, 2, fail_safe=False)
    try:
        request = link.handler.get_request()
        if sender == "slave":
            sequence = link.slave.sequence_number
            link.slave.inputs = colliding_safe(sequence, EmulatedFrame.parse(request, 2).crc0,
                                               link.slave._tx_last_crc0)
            link.cycle()
            assert link.slave.sequence_number == sequence + 2
            assert link.input_values() == unpack([t for _, t in link.inputs], link.slave.inputs)
        else:
            reply = link.slave.reply(request)
            sequence, last = link.handler.master.frame.control.sequence_number, link.handler.master._last_crc0_sent
            colliding = colliding_safe(sequence, reply[3] | reply[4] << 8, last)
            link.set_outputs(unpack([t for _, t in link.outputs], colliding))
            link.handler._generate_crcs_cyclic_for_next_frame = False  # the accepted reply sets it again
            link.handler.set_reply(reply)
            assert link.handler._generate_crcs_cyclic_for_next_frame is True
            assert EmulatedFrame.parse(link.handler.get_request(), 2).crc0 != last
            assert link.handler.master.frame.control.sequence_number == sequence + 2
        link.cycle(3)
        assert link.errors == [] and link.slave.rejections == [] and link.handler.state is ts.StateData
    finally:
        link.close()


def test_a_steadily_cycling_data_connection_never_expires():
    """Every accepted Data reply feeds the watchdog. Only a stall of a whole watchdog period
    between two cycles could let it expire here; a reply that failed to feed it lets it expire
    one period after the connection came up, well within the time cycled."""
    import time

    timeout_s = 1.0
    links = [path_link(path, out_size=2, in_size=2, timeout_s=timeout_s) for path in PATHS]
    try:
        for link in links:
            link.connect()
            link.handler.set_fail_safe(False)
        cycles = 0
        end = time.monotonic() + 3 * timeout_s
        while time.monotonic() < end:
            for link in links:
                link.slave.fail_safe = cycles % 7 == 0
                link.cycle()
            cycles += 1
        for link in links:
            assert link.errors == [] and link.handler.state is ts.StateData and link.changes[-1] is ts.StateData
    finally:
        for link in links:
            link.close()


@pytest.mark.parametrize("swap", ["frame", "node"])
def test_a_subscriber_that_swaps_the_master_frame_gets_the_next_request_built_in_the_new_one(swap):
    """Host code run while a reply is taken (an input's subscriber) may rebind what the next
    request is built in: the request follows the handler as it stands after the reply."""
    link = Link.make(out_size=2, in_size=2)
    try:
        link.connect()
        handler = link.handler
        handler.set_fail_safe(False)
        link.cycle(2)
        replaced = []

        def swap_master(*_):
            if replaced:
                return
            old = handler.master
            frame = ts.FSOEFrame.frame_from_array(old.frame.frame_to_array())
            frame.control.sequence_number = old.frame.control.sequence_number
            frame.control.crc0 = old.frame.control.crc0
            if swap == "frame":
                old.frame = frame
            else:
                node = ts.Node(old.session.slave_address.value, old.session.connection_id.value,
                               old.session.watchdog_ms.value, [], handler.dictionary, {ts.DictionaryItemOutput})
                for name in ("session", "dictionary_map", "_dynamic_map", "_last_crc0_sent"):
                    setattr(node, name, getattr(old, name))
                node.frame = frame
                handler.master = node
            replaced.append(frame)

        for name, _ in link.inputs:
            handler.dictionary.name_map[name].subscribe_changed(swap_master)
        link.set_slave_inputs([random_value(random.Random(7), t) for _, t in link.inputs])
        link.cycle()
        assert replaced and handler.get_request() == replaced[0].frame_to_array()
        link.cycle(3)
        assert handler.state is ts.StateData and link.errors == []
    finally:
        link.close()
