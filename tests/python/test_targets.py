"""Targets written in Python on a simulated bus."""

import errno
import re
import sys
from pathlib import Path

import pytest
from conftest import OR3, OR5, OR7, Recorder

import pellan_i2c.sim as sim

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python" / "examples"))
from mcp9808_driver import Mcp9808  # noqa: E402
from mcp9808_target import Mcp9808Target  # noqa: E402

# what the bus does, what the target sees
CALLS = [
    ("write_quick", lambda bus: bus.write_quick(0x40), [("write", b"")]),
    ("write_byte_data", lambda bus: bus.write_byte_data(0x40, 1, 2), [("write", b"\x01\x02")]),
    ("read_i2c_block_data", lambda bus: bus.read_i2c_block_data(0x40, 7, 3), [("write", b"\x07"), ("read", 3)]),
    ("long write", lambda bus: bus.adapter.write(0x40, bytes(70)), [("write", bytes(61)), ("write", bytes(9))]),
    ("scan", lambda bus: bus.adapter.scan(), [("write", b"")]),
]


@pytest.mark.parametrize("call,seen", [c[1:] for c in CALLS], ids=[c[0] for c in CALLS])
def test_target_sees_each_write_and_read(call, seen):
    recorder = Recorder()
    sim.attach(0x40, recorder, OR3)
    with sim.SMBus(OR3) as bus:
        call(bus)
    assert recorder.calls == seen


class Refuser:
    def __init__(self, how):
        self.how = how

    def write(self, data):
        if self.how == "raise":
            raise sim.Nack()
        return False

    def read(self, count):
        return bytes(count)


@pytest.mark.parametrize("how", ["raise", "return False"])
@pytest.mark.parametrize("call", [lambda bus: bus.write_byte(0x40, 1), lambda bus: bus.write_quick(0x40),
                                  lambda bus: bus.read_byte_data(0x40, 0)], ids=["write", "probe", "register read"])
def test_target_refuses_with_a_nack(how, call):
    sim.attach(0x40, Refuser(how), OR3)
    with sim.SMBus(OR3) as bus:
        with pytest.raises(OSError) as raised:
            call(bus)
        assert raised.value.errno == errno.EREMOTEIO
        assert 0x40 not in bus.adapter.scan()


class Broken:
    def __init__(self, fault):
        self.fault = fault

    def write(self, data):
        if self.fault == "write raises":
            raise ValueError("bad write")

    def read(self, count):
        if self.fault == "read raises":
            raise KeyError("bad read")
        if self.fault == "read returns text":
            return "ab"
        if self.fault == "read returns None":
            return None
        return bytes(count + (1 if self.fault == "read too long" else -1))


BROKEN = [
    ("write raises", ValueError, "raised ValueError in write(): bad write"),
    ("read raises", KeyError, "raised KeyError in read()"),
    ("read too long", None, "returned 3 bytes from read(2); it must return exactly 2"),
    ("read too short", None, "returned 1 bytes from read(2)"),
    ("read returns text", TypeError, "must be bytes or ints, not str"),
    ("read returns None", TypeError, "NoneType"),
]


@pytest.mark.parametrize("fault,cause,text", BROKEN, ids=[b[0] for b in BROKEN])
def test_broken_target_is_a_clear_python_error(fault, cause, text):
    sim.attach(0x40, Broken(fault), OR3)
    with sim.SMBus(OR3) as bus:
        with pytest.raises(sim.TargetError, match=re.escape(text)) as raised:
            bus.read_word_data(0x40, 0)
        assert "0x40 on OR3-100042" in str(raised.value)
        assert not isinstance(raised.value, OSError)
        if cause:
            assert isinstance(raised.value.__cause__, cause)
        # The bus carries on.
        assert bus.read_word_data(0x48, 1) == 0


def test_target_may_not_use_the_simulator_from_its_callback():
    bus = sim.SMBus(OR3)

    class Reentrant(Recorder):
        def write(self, data):
            bus.read_byte(0x48)

    sim.attach(0x40, Reentrant(), OR3)
    with pytest.raises(sim.TargetError) as raised:
        bus.write_byte(0x40, 1)
    assert isinstance(raised.value.__cause__, RuntimeError)
    bus.close()


def test_attach_to_all_and_detach_from_one():
    recorder = Recorder()
    sim.attach(0x40, recorder)
    sim.detach(0x40, OR5)
    sim.detach(0x48)
    for serial, present in [(OR3, True), (OR5, False), (OR7, True)]:
        with sim.busio.I2C(serial) as i2c:
            assert i2c.try_lock()
            assert (0x40 in i2c.scan()) == present
            assert 0x48 not in i2c.scan()


@pytest.mark.parametrize("bad", [lambda: sim.attach(0x80, Recorder()), lambda: sim.attach(0x40, object()),
                                 lambda: sim.attach(0x40, Recorder(), "OR9-1"), lambda: sim.set_fault("melt"),
                                 lambda: sim.set_report_delay(-1)])
def test_simulator_argument_errors(bad):
    with pytest.raises((ValueError, TypeError)):
        bad()


@pytest.mark.parametrize("serial", [OR3, OR5, OR7])
def test_an_smbus2_driver_runs_unchanged_on_a_python_target(serial):
    target = Mcp9808Target(-12.5)
    sim.attach(0x18, target, serial)
    with sim.SMBus(serial) as bus:
        sensor = Mcp9808(bus)
        assert sensor.temperature() == -12.5
        assert sensor.temperature_rdwr() == -12.5
        sensor.shutdown(True)
        assert target.registers[0x01] == 0x0100
        # The LM75 there refuses the MCP9808's registers.
        with pytest.raises(OSError):
            Mcp9808(bus, 0x48)


class PageWriter(Recorder):
    """A target that sees the bounds of each transaction."""

    def start(self, read):
        self.calls.append(("start", read))

    def stop(self):
        self.calls.append(("stop",))


@pytest.mark.parametrize(
    "writes,seen",
    [
        ([66], [("start", False), ("write", bytes(61)), ("write", bytes(5)), ("stop",)]),
        ([61, 5], [("start", False), ("write", bytes(61)), ("stop",), ("start", False), ("write", bytes(5)), ("stop",)]),
    ],
    ids=["one write of 66 bytes", "writes of 61 and 5 bytes"],
)
def test_target_sees_where_transactions_start_and_stop(writes, seen):
    target = PageWriter()
    sim.attach(0x40, target, OR3)
    with sim.Adapter(OR3) as adapter:
        for length in writes:
            adapter.write(0x40, bytes(length))
    assert target.calls == seen


def test_start_and_stop_around_a_register_read_and_a_probe():
    target = PageWriter()
    sim.attach(0x40, target, OR3)
    with sim.Adapter(OR3) as adapter:
        adapter.write_read(0x40, b"\x07", 2)
        assert adapter.probe(0x40)
    assert target.calls == [
        ("start", False), ("write", b"\x07"), ("start", True), ("read", 2), ("stop",),
        ("start", False), ("write", b""), ("stop",),
    ]


def test_start_refusing_the_address_is_a_nack():
    class Busy(PageWriter):
        def start(self, read):
            raise sim.Nack()

    sim.attach(0x40, Busy(), OR3)
    with sim.Adapter(OR3) as adapter, pytest.raises(OSError) as raised:
        adapter.write(0x40, b"\x01")
    assert raised.value.errno == errno.EREMOTEIO
