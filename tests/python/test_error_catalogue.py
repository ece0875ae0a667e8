"""docs/errors.md names every transition of the code and explains exactly the ones the master
reports, with their messages and the error codes it sends; a sweep of faults in every state
finds what the master reports."""
import itertools
import pathlib
import re
import time


import tamsel.tamsel as ts
from end_to_end_link import Link
from slave_emulator import Command, Error

ROOT = pathlib.Path(__file__).resolve().parents[2]
STATES = [ts.StateReset, ts.StateSession, ts.StateConnection, ts.StateParameter, ts.StateData]
INJECTIONS = ([("corrupt_crc", 0), ("corrupt_connection_id",), ("corrupt_echo",), ("send_reset", Error.INVALID_CRC)]
              + [("send_command", command) for command in [*Command, 0x99]])


def catalogue():
    """{reported name: its entry's text}, {names of the table of transitions not reported}."""
    text = (ROOT / "docs" / "errors.md").read_text()
    reported_part = text.split("## Reported transitions", 1)[1].split("\n## ", 1)[0]
    entries = re.split(r"^### ", reported_part, flags=re.M)[1:]
    reported = {entry.split("\n", 1)[0].strip(): entry for entry in entries}
    table = text.split("## Transitions that are not reported", 1)[1]
    quiet = set(re.findall(r"^\| `([A-Z0-9_]+)` \|", table, flags=re.M))
    return reported, quiet


def transitions_in_the_code():
    source = (ROOT / "src" / "core" / "protocol.hpp").read_text()
    return set(re.findall(r'X\(\w+, "([A-Z0-9_]+)"', source))


def fixed_part(message):
    """The message without the ids or names it is built from."""
    return message.split(" (")[0].rstrip("0123456789 !=")


def sent_error(handler):
    request = handler.get_request()
    return ts.BaseError(request[1]).name if request and request[0] == Command.RESET else None


def sweep():
    """(transition, message, error code the master sends next or None) of every report."""
    seen = set()
    for size, state, delay, injection in itertools.product((1, 2), STATES, (0, 1), INJECTIONS):
        link = Link.make(out_size=size, in_size=size, params=((0xBEEF, 2),))
        try:
            link.handler.start()
            link.run_until(state)
            for _ in range(delay):
                link.cycle()
            getattr(link.slave, injection[0])(*injection[1:])
            link.cycle()
            seen |= {(name, message, sent_error(link.handler)) for name, message in link.errors}
        finally:
            link.close()
    for state in STATES:  # the watchdog
        link = Link.make(timeout_s=0.3)
        try:
            link.handler.start()
            link.run_until(state)
            deadline = time.monotonic() + 30
            while not link.errors and time.monotonic() < deadline:
                time.sleep(0.01)
            seen |= {(name, message, sent_error(link.handler)) for name, message in link.errors[:1]}
        finally:
            link.close()
    return seen


def test_catalogue_names_every_transition_of_the_code_once():
    reported, quiet = catalogue()
    assert not set(reported) & quiet
    assert set(reported) | quiet == transitions_in_the_code()


def test_catalogue_explains_exactly_what_the_master_reports():
    reported, _ = catalogue()
    seen = sweep()
    assert {name for name, _, _ in seen} == set(reported)
    for name, message, code in seen:
        assert f'"{fixed_part(message)}' in reported[name], (name, message)
        if code is not None:
            assert f"`{code}`" in reported[name], (name, code)
