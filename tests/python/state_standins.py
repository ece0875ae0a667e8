"""Pure-Python stand-ins for a handler and its nodes, to drive the states in isolation.

Every operation a state performs on its context is appended to ``handler.trail`` as a tuple,
so tests can check what happened and in which order. Fault injection is by plain attributes:
the slave control's ``code``, ``echo_correct`` on the slave's dynamic map, ``crc_result`` on
the slave frame, ``pending`` on the handler.
"""

import tamsel.tamsel as ts


class Item:
    def __init__(self, trail, label, value=0, n_bytes=2):
        object.__setattr__(self, "trail", trail)
        object.__setattr__(self, "label", label)
        object.__setattr__(self, "value", value)
        object.__setattr__(self, "n_bytes", n_bytes)

    def __setattr__(self, name, value):
        self.trail.append(("set", f"{self.label}.{name}", value))
        object.__setattr__(self, name, value)

    def __repr__(self):
        return self.label


class Control:
    def __init__(self, trail, label):
        object.__setattr__(self, "trail", trail)
        object.__setattr__(self, "label", label)
        object.__setattr__(self, "code", 0)
        object.__setattr__(self, "connection_id", 0)
        object.__setattr__(self, "sequence_number", 0)
        object.__setattr__(self, "crc0", 0)

    def command_is_valid(self):
        return ts.FSOECommand.has_value(self.code)

    @property
    def command(self):
        return ts.FSOECommand(self.code)

    @command.setter
    def command(self, member):
        self.trail.append(("set", f"{self.label}.command", member))
        object.__setattr__(self, "code", member.value)

    def __setattr__(self, name, value):
        if name != "command":
            self.trail.append(("set", f"{self.label}.{name}", value))
        object.__setattr__(self, name, value)


class Frame:
    def __init__(self, trail, label, size=2):
        self.trail = trail
        self.label = label
        self.control = Control(trail, f"{label}.control")
        self.safe_data_size_bytes = size
        self.crc_result = True

    def check_crcs(self):
        self.trail.append(("call", f"{self.label}.check_crcs"))
        return self.crc_result

    def check_crcs_cyclic(self, last_sent_crc_0):
        self.trail.append(("call", f"{self.label}.check_crcs_cyclic", last_sent_crc_0))
        return self.crc_result


class DynamicMap:
    def __init__(self, trail, label):
        self.trail = trail
        self.label = label
        self.items = []
        self.echo_correct = True

    def clear(self):
        self.trail.append(("call", f"{self.label}.clear"))
        self.items = []

    def add(self, item):
        self.trail.append(("call", f"{self.label}.add", item))
        self.items.append(item)

    def is_safedata_correct(self, expected_map):
        self.trail.append(("call", f"{self.label}.is_safedata_correct", expected_map.label))
        return self.echo_correct


class DictionaryMap:
    def __init__(self, trail, label, safety_bytes=2):
        self.trail = trail
        self.label = label
        self.safety_bytes = safety_bytes

    def _set_data_to_frame(self, frame):
        self.trail.append(("call", f"{self.label}._set_data_to_frame", frame.label))

    def _get_data_from_frame(self, frame):
        self.trail.append(("call", f"{self.label}._get_data_from_frame", frame.label))


class Session:
    FIELDS = ("slave_address", "session_id", "error_id", "connection_id", "comm_parameter_size_bytes",
              "watchdog_ms", "app_parameter_size_bytes")

    def __init__(self, trail, label, connection_id):
        self.trail = trail
        for field in self.FIELDS:
            setattr(self, field, Item(trail, f"{label}.{field}"))
        self.connection_id.__dict__["value"] = connection_id

    @property
    def error(self):
        return ts.FSOEError(self.error_id.value)

    @error.setter
    def error(self, member):
        self.trail.append(("set", "master.session.error", member))
        self.error_id.__dict__["value"] = member.value


class Node:
    def __init__(self, trail, label, connection_id, parameters=()):
        self.frame = Frame(trail, f"{label}.frame")
        self.session = Session(trail, f"{label}.session", connection_id)
        self.dictionary_map = DictionaryMap(trail, f"{label}.dictionary_map")
        self._dynamic_map = DynamicMap(trail, f"{label}._dynamic_map")
        self.application_parameters = [Item(trail, f"{label}.param{i}", n_bytes=n) for i, n in enumerate(parameters)]
        self._last_crc0_sent = None


class Watchdog:
    def __init__(self, trail):
        self.trail = trail

    def activate_and_reset(self):
        self.trail.append(("call", "watchdog.activate_and_reset"))


class Dictionary:
    def __init__(self, trail):
        self.trail = trail

    def _set_inputs_to_failsafe(self):
        self.trail.append(("call", "dictionary._set_inputs_to_failsafe"))


class Handler:
    """Records every report and every change a state makes."""

    def __init__(self, connection_id=7, parameters=()):
        object.__setattr__(self, "trail", [])
        object.__setattr__(self, "reports", [])
        self.master = Node(self.trail, "master", connection_id, parameters)
        self.slave = Node(self.trail, "slave", 0, parameters)
        self.dictionary = Dictionary(self.trail)
        self._watchdog = Watchdog(self.trail)
        self._data_command = ts.FSOECommand.PROCESS_DATA
        self._second_session_frame_sent = False
        self._reset_slave_sequence_number_after_frame = False
        self._generate_crcs_cyclic_for_next_frame = False
        object.__setattr__(self, "pending", False)
        self.trail.clear()

    def __setattr__(self, name, value):
        self.trail.append(("set", name, value))
        object.__setattr__(self, name, value)

    def _create_session_id(self):
        self.trail.append(("call", "_create_session_id"))

    def _dynamic_map_pending(self):
        self.trail.append(("call", "_dynamic_map_pending"))
        return self.pending

    def _report_error(self, transition_name, error):
        self.reports.append((transition_name, error))

    def receive(self, command, connection_id=None):
        """Sets the slave frame's command code (a member or a raw int) and connection id."""
        control = self.slave.frame.control
        object.__setattr__(control, "code", getattr(command, "value", command))
        object.__setattr__(control, "connection_id",
                           self.master.session.connection_id.value if connection_id is None else connection_id)

    def done(self, what):
        return [entry for entry in self.trail if entry[:2] == what or entry[1] == what]
