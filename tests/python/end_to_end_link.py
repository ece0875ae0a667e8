"""A MasterHandler wired to the independent slave emulator, for the end-to-end tests."""
from __future__ import annotations

import struct
from dataclasses import dataclass

import tamsel.tamsel as ts
from slave_emulator import Phase, SlaveEmulator

DT = ts.DataType

# Data types filling exactly the safe data of one direction, by its size in bytes.
LAYOUTS = {
    1: [DT.BOOL] * 8,
    2: [DT.UINT8, DT.INT8],
    16: [DT.FLOAT, DT.INT32, DT.UINT16, DT.INT16, DT.UINT8, DT.INT8] + [DT.BOOL] * 8 + [DT.UINT8],
}


def sized_layout(size):
    return LAYOUTS[size]


def integer_form(data_type, value):
    if data_type is DT.BOOL:
        return int(bool(value))
    if data_type is DT.FLOAT:
        return struct.unpack("<I", struct.pack("<f", value))[0]
    return value & ((1 << data_type.bits) - 1)


def value_from_integer(data_type, raw):
    if data_type is DT.BOOL:
        return bool(raw)
    if data_type is DT.FLOAT:
        return struct.unpack("<f", struct.pack("<I", raw))[0]
    if data_type.is_signed and raw >= 1 << (data_type.bits - 1):
        return raw - (1 << data_type.bits)
    return raw


def pack(types, values, size):
    """Safe data of `size` bytes with the values laid out bit by bit, least significant first."""
    stream, position = 0, 0
    for data_type, value in zip(types, values):
        stream |= integer_form(data_type, value) << position
        position += data_type.bits
    return stream.to_bytes(size, "little")


def unpack(types, data):
    stream, position, values = int.from_bytes(data, "little"), 0, []
    for data_type in types:
        values.append(value_from_integer(data_type, (stream >> position) & ((1 << data_type.bits) - 1)))
        position += data_type.bits
    return values


def random_value(rng, data_type):
    if data_type is DT.BOOL:
        return rng.random() < 0.5
    if data_type is DT.FLOAT:
        return struct.unpack("<f", struct.pack("<f", rng.uniform(-1e6, 1e6)))[0]
    low = -(1 << (data_type.bits - 1)) if data_type.is_signed else 0
    return rng.randint(low, low + (1 << data_type.bits) - 1)


@dataclass
class Link:
    """One handler and one emulated slave, with everything the handler reported."""

    handler: ts.MasterHandler
    slave: SlaveEmulator
    outputs: list  # (name, data type)
    inputs: list
    errors: list
    changes: list

    @classmethod
    def make(cls, out_size=2, in_size=2, params=(), timeout_s=10.0, connection_id=0x1234,
             slave_address=0x0A, handler_cls=None, **handler_kwargs):
        out_types, in_types = sized_layout(out_size), sized_layout(in_size)
        outputs = [(f"out{i}", t) for i, t in enumerate(out_types)]
        inputs = [(f"in{i}", t) for i, t in enumerate(in_types)]
        items = [ts.DictionaryItemOutput(100 + i, n, t) for i, (n, t) in enumerate(outputs)]
        items += [ts.DictionaryItemInput(200 + i, n, t, t.get_initial_value()) for i, (n, t) in enumerate(inputs)]
        dictionary = ts.Dictionary(items)
        parameters = [ts.ApplicationParameter(f"p{i}", value, n_bytes=n) for i, (value, n) in enumerate(params)]
        errors, changes = [], []
        handler = (handler_cls or ts.MasterHandler)(
            dictionary, slave_address, connection_id, timeout_s,
            application_parameters=parameters,
            report_error_callback=lambda name, message: errors.append((name, message)),
            state_change_callback=changes.append,
            **handler_kwargs,
        )
        for name, _ in outputs:
            handler.master.dictionary_map.add(dictionary.name_map[name])
        for name, _ in inputs:
            handler.slave.dictionary_map.add(dictionary.name_map[name])
        slave = SlaveEmulator(slave_address=slave_address, connection_id=connection_id,
                              watchdog_ms=int(timeout_s * 1000), outputs_size=out_size, inputs_size=in_size,
                              app_params=list(params))
        return cls(handler, slave, outputs, inputs, errors, changes)

    def cycle(self, count=1):
        for _ in range(count):
            self.handler.set_reply(self.slave.reply(self.handler.get_request()))

    def run_until(self, state, limit=100):
        for _ in range(limit):
            if self.handler.state is state:
                return
            self.cycle()
        raise AssertionError(f"{state.__name__} not reached: still {self.handler.state.__name__}, "
                             f"errors {self.errors}, slave rejections {self.slave.rejections}")

    def connect(self, limit=100):
        """Starts (if needed) and cycles until both sides exchange process data."""
        if not self.handler.running:
            self.handler.start()
        self.run_until(ts.StateData, limit)
        self.cycle()
        assert self.slave.phase is Phase.DATA

    def input_values(self):
        return [self.handler.dictionary.get(name) for name, _ in self.inputs]

    def set_outputs(self, values):
        for (name, _), value in zip(self.outputs, values):
            self.handler.dictionary.set(name, value)

    def sent_outputs(self):
        return unpack([t for _, t in self.outputs], self.slave.outputs)

    def set_slave_inputs(self, values):
        self.slave.inputs = pack([t for _, t in self.inputs], values, self.slave.inputs_size)

    def close(self):
        self.handler.stop()
        self.handler.delete()
