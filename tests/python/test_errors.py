"""The errno and the text of every class of failure, through each front end."""

import errno
import os
import pickle
import subprocess
import sys

import pytest
from conftest import OR3, OR5, Recorder

import pellan_i2c.sim as sim

# fault set on the adapter, errno, the adapter's text
FAULTS = [
    (None, errno.EREMOTEIO, "NACK received"),
    ("no_answer", errno.ETIMEDOUT, "Timeout"),
    ("arbitration_lost", errno.EAGAIN, "Arbitration lost"),
    ("bus_error", errno.EIO, "Bus error"),
    ("write_error", errno.EIO, "Broken pipe"),
    ("unplug", errno.ENODEV, None),
]

# How each front end reaches an address.
CALLS = {
    "Adapter.write": lambda ad, address: ad.write(address, b"\x01"),
    "Adapter.read": lambda ad, address: ad.read(address, 2),
    "SMBus.read_byte_data": lambda ad, address: sim.SMBus(ad).read_byte_data(address, 0),
    "SMBus.write_quick": lambda ad, address: sim.SMBus(ad).write_quick(address),
    "busio.writeto_then_readfrom": lambda ad, address: locked(ad).writeto_then_readfrom(
        address, b"\x00", bytearray(2)
    ),
}


def locked(adapter):
    i2c = sim.busio.I2C(adapter)
    assert i2c.try_lock()
    return i2c


@pytest.mark.parametrize("call", list(CALLS))
@pytest.mark.parametrize("fault,code,text", FAULTS, ids=[str(f[0]) for f in FAULTS])
def test_errno_of_each_failure(fault, code, text, call):
    if fault == "bus_error" and call == "Adapter.read":
        # A read's error report does not tell a bus error from a NACK.
        code, text = errno.EREMOTEIO, "NACK received"
    with sim.Adapter(OR3) as adapter:
        if fault == "unplug":
            sim.unplug(OR3)
        elif fault:
            sim.set_fault(fault)
        with pytest.raises(OSError) as raised:
            # Nothing answers at 0x10; the LM75 at 0x48 does.
            CALLS[call](adapter, 0x10 if fault is None else 0x48)
    assert raised.value.errno == code
    if text:
        assert raised.value.strerror == text


def test_adapter_recovers_after_a_fault():
    with sim.SMBus(OR3) as bus:
        sim.set_fault("no_answer", count=1)
        with pytest.raises(TimeoutError):
            bus.read_byte_data(0x48, 1)
        assert bus.read_byte_data(0x48, 1) == 0


OPEN_ERRORS = [
    ({"serial": None}, ValueError, "3 adapters are attached"),
    ({"serial": "OR9-1"}, OSError, 'no adapter with the serial number "OR9-1"'),
    ({"serial": OR5, "speed": 1_000_000}, ValueError, "does not run at 1000000 Hz"),
    ({"serial": OR3, "speed": 123}, ValueError, "does not run at 123 Hz"),
    ({"serial": OR3, "pull_ups": False}, ValueError, "has no switchable pull-ups"),
]


@pytest.mark.parametrize("kwargs,error,text", OPEN_ERRORS, ids=[t for _, _, t in OPEN_ERRORS])
def test_opening_follows_the_command_line_rules(kwargs, error, text):
    with pytest.raises(error, match=text):
        sim.Adapter(**kwargs)


def test_no_adapter_attached_is_enodev():
    for serial in sim.serials():
        sim.unplug(serial)
    with pytest.raises(OSError) as raised:
        sim.SMBus().open(None)
    assert raised.value.errno == errno.ENODEV


@pytest.mark.parametrize(
    "call",
    [
        lambda ad: ad.read(0x48, 257),
        lambda ad: ad.read(0x48, 0),
        lambda ad: ad.write(0x48, b"", mode="stop"),
        lambda ad: ad.write(0x48, b"\x01", mode="sideways"),
        lambda ad: ad.write(0x48, [256]),
        lambda ad: ad.write(0x48, "text"),
    ],
    ids=["read above the limit", "empty read", "stop without data", "unknown mode", "not a byte", "str"],
)
def test_adapter_argument_errors(call):
    with sim.Adapter(OR5) as adapter:
        with pytest.raises((ValueError, TypeError)):
            call(adapter)


def test_write_quick_on_the_orvane5_is_not_supported():
    sim.attach(0x40, Recorder(), OR5)
    with sim.SMBus(OR5) as bus, pytest.raises(OSError) as raised:
        bus.write_quick(0x40)
    assert raised.value.errno == errno.EOPNOTSUPP


def test_closed_adapter_and_bus_raise_value_error():
    adapter = sim.Adapter(OR3)
    adapter.close()
    adapter.close()
    with pytest.raises(ValueError):
        adapter.read(0x48, 1)
    bus = sim.SMBus(OR3)
    bus.close()
    with pytest.raises(ValueError):
        bus.read_byte(0x48)


# The demo programs' environment variables shape the simulator too; a value
# that cannot be read stops the import, as it stops the demo programs.
ENVIRONMENT = [
    ("PELLAN_SIM_FAULT", "bus-error", "OSError 5"),
    ("PELLAN_SIM_FAULT", "no-answer:1", "OSError 110"),
    ("PELLAN_SIM_FAULT", "bus-error:9", "ok"),
    ("PELLAN_SIM_FAULT", "bus_error", "OSError 5"),
    ("PELLAN_SIM_FAULT", "melting", "ImportError PELLAN_SIM_FAULT"),
    ("PELLAN_SIM_REPORT_DELAY_US", "ten", "ImportError PELLAN_SIM_REPORT_DELAY_US"),
]


@pytest.mark.parametrize("variable,value,outcome", ENVIRONMENT)
def test_environment_variables(variable, value, outcome):
    script = f"""
try:
    import pellan_i2c.sim as sim
    sim.SMBus("{OR3}").read_word_data(0x48, 0)
    print("ok")
except OSError as error:
    print("OSError", error.errno)
except ImportError as error:
    print("ImportError", error)
"""
    environment = dict(os.environ, **{variable: value})
    result = subprocess.run(
        [sys.executable, "-c", script],
        env=environment,
        capture_output=True,
        text=True,
        timeout=60,
        check=True,
    )
    assert result.stdout.startswith(outcome)


# fault as set_fault takes it, errno, what the message names, probes sent
SCAN_FAULTS = [
    (("arbitration_lost", 1, 20), errno.EAGAIN, "at 0x1C, the first with: Arbitration lost", 112),
    (("bus-error", 1, 20), errno.EIO, "at 0x1C, the first with: Bus error", 112),
    (("arbitration_lost", -1, 0), errno.EAGAIN, "112 of 112 probes failed", 112),
    (("write_error", -1, 0), errno.EIO, "at 0x08-0x77", 112),
    (("no_answer", -1, 0), errno.ETIMEDOUT, "the probe of 0x08 failed: Timeout; the scan ended", 1),
    (("unplug", -1, 30), errno.ENODEV, "the probe of 0x26 failed", 31),
]


@pytest.mark.parametrize("fault,code,text,probes", SCAN_FAULTS, ids=[f[0][0] + str(f[0][1]) for f in SCAN_FAULTS])
def test_scan_reports_every_failure_but_a_nack(fault, code, text, probes):
    kind, count, after = fault
    with sim.Adapter(OR3) as adapter:
        sim.set_fault(kind, count=count, after=after)
        sim.record_reports(serial=OR3)
        with pytest.raises(OSError) as raised:
            adapter.scan()
        sent = [report for report in sim.take_reports(OR3) if report[0] == 0x02]
    assert raised.value.errno == code
    assert text in raised.value.strerror
    # A timeout or a lost adapter ends the scan at once.
    assert len(sent) == probes


def test_scan_names_what_answered_beside_a_failure():
    with sim.Adapter(OR3) as adapter:
        found = adapter.scan()
        sim.set_fault("bus_error", count=1, after=0)
        with pytest.raises(OSError) as raised:
            adapter.scan()
    answered = raised.value.strerror.split("; answered: ")[1]
    # Neighbours are given as a range: the first and the last stand alone.
    assert answered.startswith(f"0x{found[0]:02X}") and answered.endswith(f"0x{found[-1]:02X}")


def test_a_bus_from_before_a_reset_is_gone():
    bus = sim.SMBus(OR3)
    sim.reset()
    # The adapter plugged in again is a new one: a new bus works on it.
    with sim.SMBus(OR3) as fresh:
        assert fresh.read_byte_data(0x48, 1) == 0
    with pytest.raises(OSError) as raised:
        bus.read_byte_data(0x48, 0)
    assert raised.value.errno == errno.ENODEV
    sim.unplug(OR5)
    assert sim.serials() == [OR3, "OR7-300311"]


def test_transfer_names_the_message_of_a_wrong_type():
    with sim.Adapter(OR3) as adapter:
        with pytest.raises(TypeError, match="address of message 1 must be an int, not str"):
            adapter.transfer([(0x48, b"\x00"), ("0x48", 1)])
        with pytest.raises(TypeError, match="message 0 is a pair"):
            adapter.transfer([0x48])
        with pytest.raises(ValueError, match="must not be negative"):
            adapter.transfer([(0x48, -1)])


@pytest.mark.parametrize(
    "arguments,error,text",
    [
        ({"speed": 100_000.0}, TypeError, "the speed is an int in hertz"),
        ({"speed": 2**64}, ValueError, "does not run at 18446744073709551616 Hz"),
        ({"speed": -1}, ValueError, "does not run at -1 Hz"),
        ({"serial": b"OR3-100042"}, TypeError, "the serial number is a str"),
    ],
    ids=["float speed", "huge speed", "negative speed", "bytes serial"],
)
def test_open_arguments_are_checked_in_plain_words(arguments, error, text):
    with pytest.raises(error, match=text) as raised:
        sim.Adapter(**{"serial": OR3, **arguments})
    assert "pybind11" not in str(raised.value) and "incompatible" not in str(raised.value)


class Unanswerable:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "call,error,text",
    [
        (lambda: sim.Adapter(OR5, pull_ups=Unanswerable()), ZeroDivisionError, "no truth"),
        (lambda: sim.Adapter("\udc80"), ValueError, "surrogates"),
        (lambda: sim.Adapter(OR3).write(0x50, b"a", mode=None), TypeError, "mode must be a str"),
        (lambda: sim.Adapter(OR3).transfer(None), TypeError, "messages must be an iterable"),
        (lambda: sim.attach(1.5, Recorder()), TypeError, "address must be an int"),
        (lambda: sim.set_fault("bus_error", count=2**40), ValueError, "count must be from"),
        (lambda: sim.set_report_delay("1"), TypeError, "seconds must be a number"),
        (lambda: sim.take_reports(None), TypeError, "serial must be a str"),
        (lambda: sim.record_reports(Unanswerable()), ZeroDivisionError, "no truth"),
        (lambda: sim.i2c_msg.read(0x50, 2**31), ValueError, "length must be 0 to 65535"),
    ],
    ids=["bool raises", "unencodable serial", "mode None", "messages None", "float address",
         "huge count", "str seconds", "serial None", "on raises", "huge message"],
)
def test_bad_arguments_are_named_plainly(call, error, text):
    with pytest.raises(error, match=text) as raised:
        call()
    assert "incompatible function arguments" not in str(raised.value)


def test_adapter_info_pickles():
    for info in sim.list_adapters():
        assert repr(pickle.loads(pickle.dumps(info))) == repr(info)
