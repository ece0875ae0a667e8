"""The cycle gives the same frames whether it runs over the module's own objects in C++ or
over substituted and subclassed ones through their published names and methods."""
import pytest

import tamsel.tamsel as ts
from end_to_end_link import Link, random_value


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
        link.slave.send_reset(0)
        link.cycle()
        assert link.handler.state is ts.StateSession and len(link.errors) == 1
        link.connect()
        link.cycle(3)
        assert len(link.errors) == 1 and link.slave.rejections == []
    finally:
        link.close()


@pytest.mark.parametrize("out_size, in_size", [(1, 1), (2, 16), (16, 2)])
def test_data_replies_and_their_faults_react_alike_on_the_own_and_the_subclassed_handler(fixed_session_ids,
                                                                                           out_size, in_size):
    """The module's own handler takes valid Data replies in one pass; a subclass goes through
    the states' events. Both must see the same replies the same way: valid, fail-safe, faulty,
    repeated, short or long, with input subscribers and changing values."""
    import random

    rng = random.Random(out_size * 31 + in_size)
    links = [Link.make(out_size=out_size, in_size=in_size, handler_cls=cls) for cls in (None, SubHandler)]
    own, sub = links
    notified = [[], []]
    for link, seen in zip(links, notified):
        link.handler.dictionary.name_map["in0"].subscribe_changed(lambda seen=seen, link=link: seen.append(link.input_values()))

    late_items = [ts.DynamicMappableItem(0, ts.DataType.UINT8) for _ in links]

    def observed(link):
        stats = link.handler.statistics
        return (link.handler.get_request(), link.handler.state, link.input_values(), list(link.errors),
                list(link.changes), stats.replies, stats.requests, dict(stats.faults), stats.connections,
                late_items[links.index(link)].value)

    faults = [lambda: own.slave.corrupt_crc(rng.randrange((in_size + 1) // 2)), own.slave.corrupt_connection_id,
              lambda: own.slave.send_command(rng.choice([0x36, 0x4E, 0x64, 0x52, 0x08])),
              lambda: own.slave.send_reset(rng.randrange(1, 9)), lambda: own.slave.silence(1)]
    try:
        for link in links:
            link.handler.start()
        for step in range(400):
            if step == 300:  # an item added behind the slave's finished dynamic map takes the next data
                for link, item in zip(links, late_items):
                    link.handler.slave._dynamic_map._items.append(item)
            request = own.handler.get_request()
            assert sub.handler.get_request() == request
            roll = rng.random()
            if own.handler.state is ts.StateData and roll < 0.15:
                rng.choice(faults)()
            elif roll < 0.25:
                own.slave.fail_safe = not own.slave.fail_safe
            elif roll < 0.35:
                own.handler.set_fail_safe(rng.random() < 0.5)
                sub.handler.set_fail_safe(own.handler._data_command is ts.FSOECommand.FAILSAFE_DATA)
            if rng.random() < 0.5:
                values = [random_value(rng, t) for _, t in own.inputs]
                own.set_slave_inputs(values)
            reply = own.slave.reply(request)
            if rng.random() < 0.05:  # a reply of another length than this connection's frames
                reply = reply[:rng.randrange(len(reply))] if rng.random() < 0.5 else reply + bytes(rng.randrange(1, 40))
            for link in links:
                link.handler.set_reply(reply)
            assert observed(own) == observed(sub), f"step {step}"
        assert notified[0] == notified[1] and notified[0]
        assert own.handler.statistics.connections > 1 and own.errors
    finally:
        for link in links:
            link.close()
