"""Shared fixtures: the simulated adapters afresh for every test, and the bus
frames an adapter received, decoded from its HID reports.

Run by hand with the build tree's package first on the path:
    PYTHONPATH=build/python /usr/bin/python3 -m pytest tests/python
"""

import os
import subprocess
import sys
import textwrap

import pytest

import pellan_i2c.sim as sim

OR3 = "OR3-100042"
OR5 = "OR5-200107"
OR7 = "OR7-300311"


@pytest.fixture(autouse=True)
def fresh_sim():
    sim.reset()
    yield
    sim.reset()


def wire(reports):
    """The Orvane3 reports as bus frames: "S 80 01 Sr 81 [2] P"."""
    tokens = []
    open_transaction = False
    for report in reports:
        kind = report[0]
        if kind == 0x02:
            control = report[1]
            data = report[2 : 2 + (control & 0x3F)]
            if control & 0x80:
                tokens.append("Sr" if open_transaction else "S")
            tokens += [f"{byte:02X}" for byte in data]
            open_transaction = not control & 0x40
            if not open_transaction:
                tokens.append("P")
        elif kind == 0x03:
            count = report[1] | report[3] << 8
            tokens += ["Sr" if open_transaction else "S", f"{report[2]:02X}", f"[{count}]", "P"]
            open_transaction = False
    return " ".join(tokens)


class Recorder:
    """A permissive target: takes every write, reads a fixed pattern."""

    PATTERN = bytes((0x02, 0xAB, 0xCD))

    def __init__(self):
        self.calls = []

    def write(self, data):
        self.calls.append(("write", bytes(data)))

    def read(self, count):
        self.calls.append(("read", count))
        return (self.PATTERN + b"\xEE" * count)[:count]


# The bound of a script that could hang: far above what a loaded machine
# needs, so that only a hang reaches it.
WATCHDOG = 60


def run_script(code, *, environment=None, timeout=WATCHDOG):
    """Runs code in a fresh interpreter under a watchdog: a hang fails the
    test instead of hanging the suite."""
    try:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            env=dict(os.environ, **(environment or {})),
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"the script hung for {timeout} s: {expired.stdout!r} {expired.stderr!r}")
