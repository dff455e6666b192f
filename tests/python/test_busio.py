"""busio.I2C: slices, the lock, probes, and an Adafruit-style device on top."""

import threading
import time

import pytest
from conftest import OR3, OR5, WATCHDOG, Recorder, wire

import pellan_i2c.sim as sim

# start, end, the slice of bytes(range(8)) they select
SLICES = [(0, None, slice(0, 8)), (2, 5, slice(2, 5)), (-3, None, slice(5, 8)), (6, 100, slice(6, 8)),
          (0, -7, slice(0, 1))]


@pytest.fixture
def i2c():
    with sim.busio.I2C(OR3) as bus:
        assert bus.try_lock()
        yield bus


@pytest.mark.parametrize("start,end,selected", SLICES)
def test_readfrom_into_fills_only_the_slice(i2c, start, end, selected):
    sim.attach(0x40, Recorder(), OR3)
    buffer = bytearray(b"\x55" * 8)
    i2c.readfrom_into(0x40, buffer, start=start, end=end)
    expected = bytearray(b"\x55" * 8)
    count = len(expected[selected])
    expected[selected] = (Recorder.PATTERN + b"\xEE" * 8)[:count]
    assert buffer == expected


@pytest.mark.parametrize("start,end,selected", SLICES)
def test_writeto_sends_only_the_slice(i2c, start, end, selected):
    recorder = Recorder()
    sim.attach(0x40, recorder, OR3)
    i2c.writeto(0x40, bytes(range(8)), start=start, end=end)
    assert recorder.calls == [("write", bytes(range(8))[selected])]


def test_writeto_then_readfrom_uses_both_slices_and_a_repeated_start(i2c):
    sim.attach(0x40, Recorder(), OR3)
    inbuf = bytearray(6)
    sim.record_reports(serial=OR3)
    i2c.writeto_then_readfrom(0x40, b"\x01\x02\x03", inbuf, out_start=1, out_end=2, in_start=3, in_end=None)
    assert wire(sim.take_reports(OR3)) == "S 80 02 Sr 81 [3] P"
    assert inbuf == b"\x00\x00\x00" + Recorder.PATTERN


@pytest.mark.parametrize("serial", [OR3, OR5])
def test_empty_write_probes(serial):
    with sim.busio.I2C(serial) as i2c:
        assert i2c.try_lock()
        i2c.writeto(0x48, b"")
        with pytest.raises(OSError):
            i2c.writeto(0x11, b"")
        assert i2c.scan() == [0x18, 0x23, 0x40, 0x48, 0x49, 0x50]


def test_transfers_need_the_lock():
    with sim.busio.I2C(OR3, frequency=400_000) as i2c:
        assert i2c.frequency == 400_000
        with pytest.raises(RuntimeError):
            i2c.scan()
        assert i2c.try_lock()
        assert not i2c.try_lock()
        i2c.unlock()
        assert i2c.try_lock()
    with pytest.raises(ValueError):
        i2c.scan()


def test_empty_read_slices_are_refused(i2c):
    with pytest.raises(ValueError):
        i2c.readfrom_into(0x48, bytearray(4), start=2, end=2)


class I2CDevice:
    """A stand-in for adafruit_bus_device.i2c_device.I2CDevice, which Debian
    does not ship: it behaves as the documented one does (probe on creation
    with an empty write and a one-byte read as fallback, lock held inside
    "with", keyword slices passed through)."""

    def __init__(self, i2c, device_address, probe=True):
        self.i2c = i2c
        self.device_address = device_address
        if probe:
            with self:
                try:
                    self.i2c.writeto(device_address, b"")
                except OSError:
                    try:
                        self.i2c.readfrom_into(device_address, bytearray(1))
                    except OSError:
                        raise ValueError("No I2C device at address: 0x%x" % device_address)

    def readinto(self, buf, *, start=0, end=None):
        self.i2c.readfrom_into(self.device_address, buf, start=start, end=end)

    def write(self, buf, *, start=0, end=None):
        self.i2c.writeto(self.device_address, buf, start=start, end=end)

    def write_then_readinto(self, out_buffer, in_buffer, *, out_start=0, out_end=None, in_start=0, in_end=None):
        self.i2c.writeto_then_readfrom(
            self.device_address, out_buffer, in_buffer,
            out_start=out_start, out_end=out_end, in_start=in_start, in_end=in_end,
        )

    def __enter__(self):
        while not self.i2c.try_lock():
            time.sleep(0)
        return self

    def __exit__(self, *exc):
        self.i2c.unlock()
        return False


class LM75:
    """An Adafruit-style driver: a buffer it reuses, and I2CDevice."""

    def __init__(self, i2c, address=0x48):
        self.device = I2CDevice(i2c, address)
        self.buffer = bytearray(3)

    @property
    def temperature(self):
        self.buffer[0] = 0
        with self.device as device:
            device.write_then_readinto(self.buffer, self.buffer, out_end=1, in_start=1)
        raw = (self.buffer[1] << 8 | self.buffer[2]) >> 7
        return (raw - 512 if raw & 0x100 else raw) / 2


@pytest.mark.parametrize("serial", [OR3, OR5])
def test_an_adafruit_style_driver_runs(serial):
    with sim.busio.I2C(serial) as i2c:
        assert LM75(i2c).temperature == 23.5
        with pytest.raises(ValueError, match="No I2C device"):
            LM75(i2c, 0x11)


@pytest.mark.parametrize(
    "call",
    [
        lambda i2c: i2c.readfrom_into(0x48, b"\x00\x00"),
        lambda i2c: i2c.writeto_then_readfrom(0x48, b"\x00", b"\x00\x00"),
    ],
    ids=["readfrom_into", "writeto_then_readfrom"],
)
def test_a_read_only_buffer_is_refused_before_the_bus(i2c, call):
    sim.record_reports(serial=OR3)
    with pytest.raises(TypeError, match="writable"):
        call(i2c)
    assert sim.take_reports(OR3) == []


def test_try_lock_after_deinit_is_false():
    i2c = sim.busio.I2C(OR3)
    i2c.deinit()
    assert not i2c.try_lock()


@pytest.mark.parametrize(
    "frequency,error,text",
    [
        (-1, ValueError, "does not run at -1 Hz"),
        (100_000.0, TypeError, "frequency is an int in hertz"),
        (2**64, ValueError, "does not run at 18446744073709551616 Hz"),
    ],
)
def test_frequency_errors_say_what_was_given(frequency, error, text):
    with pytest.raises(error, match=text) as raised:
        sim.busio.I2C(OR3, frequency=frequency)
    assert "pybind11" not in str(raised.value)


def test_timeout_is_taken_as_circuitpython_takes_it():
    with sim.busio.I2C(OR3, frequency=400_000, timeout=1000) as i2c:
        assert i2c.frequency == 400_000


def test_threads_sharing_one_bus_race_for_its_lock():
    # A second thread asks for the lock after the first has taken the
    # adapter's, before the first has noted that it holds it.
    asked, answered = threading.Event(), threading.Event()
    second = []

    class Stalling:
        def __init__(self, adapter):
            self.adapter = adapter

        def __getattr__(self, name):
            return getattr(self.adapter, name)

        def try_lock(self):
            taken = self.adapter.try_lock()
            if taken and not second:
                second.append(threading.Thread(target=i2c.try_lock))
                second[0].start()
                asked.wait(1)  # the second thread asks here, if it may
            elif not taken:
                asked.set()
                answered.wait(WATCHDOG)
            return taken

    with sim.Adapter(OR3) as adapter:
        i2c = sim.busio.I2C(Stalling(adapter))
        assert i2c.try_lock()
        answered.set()
        second[0].join(WATCHDOG)
        i2c.unlock()
        assert i2c.try_lock()
        i2c.unlock()
