"""Register maps from Python: the demo's chips by name on every bus, what a
read-modify-write puts on the wire, refusals before the bus, errno from it."""

import errno
import json
from pathlib import Path

import pytest
from conftest import OR3, OR5, OR7, run_script, wire

import pellan_i2c
import pellan_i2c.sim as sim

# How a Device reaches each kind of bus, closed again by close().
BUSES = {
    "Adapter": (sim.Adapter, lambda bus: bus.close()),
    "SMBus": (sim.SMBus, lambda bus: bus.close()),
    "busio.I2C": (sim.busio.I2C, lambda bus: bus.deinit()),
}


@pytest.fixture
def open_bus():
    opened = []

    def make(kind, serial=OR3):
        factory, close = BUSES[kind]
        bus = factory(serial)
        opened.append((bus, close))
        return bus

    yield make
    for bus, close in opened:
        close(bus)


@pytest.fixture
def lm75(open_bus):
    return sim.Device(open_bus("SMBus"), 0x48, sim.RegisterMap.load("LM75"))


# A chip made to order: byte registers behind a pointer; a written 1 clears
# STATUS.DONE, a read of FIFO clears it, CMD and STATUS.KICK can only be
# written, ID read.
STATUS_MAP = {
    "version": 1,
    "device": "STAT",
    "registers": [
        {"name": "STATUS", "address": "0x00", "fields": [
            {"name": "DONE", "bits": "0", "write": "w1c"},
            {"name": "MODE", "bits": "3:1"},
            {"name": "KICK", "bits": "4", "access": "w"},
            {"name": "EN", "bits": "7", "values": {"0": "off", "1": "on"}}]},
        {"name": "FIFO", "address": "0x01", "read_clears": True},
        {"name": "CMD", "address": "0x02", "access": "w"},
        {"name": "ID", "address": "0x03", "access": "r"},
    ],
}


class StatusChip:
    def __init__(self, stuck=False):
        self.registers = {0x00: 0x01, 0x01: 0x5A, 0x02: 0x00, 0x03: 0x42}
        self.pointer = 0
        self.stuck = stuck  # ignores every write: nothing reads back

    def write(self, data):
        if data and data[0] not in self.registers:
            raise sim.Nack
        if data:
            self.pointer = data[0]
        for byte in data[1:] if not self.stuck else b"":
            old = self.registers[self.pointer]
            clears = 0x01 if self.pointer == 0x00 else 0x00
            self.registers[self.pointer] = (old & clears & ~byte) | (byte & ~clears)

    def read(self, count):
        value = self.registers[self.pointer]
        if self.pointer == 0x01:
            self.registers[0x01] = 0
        return bytes([value]) * count


@pytest.fixture
def status(tmp_path, open_bus):
    path = tmp_path / "stat.i2cmap"
    path.write_text(json.dumps(STATUS_MAP))
    chip = StatusChip()
    sim.attach(0x30, chip, OR3)
    return chip, sim.Device(open_bus("Adapter"), 0x30, pellan_i2c.RegisterMap.load(path))


# map, address, target, what get() gives (for a register, its raw value)
DEMO_CHIPS = [
    ("LM75", 0x48, "TEMP.T", 23.5),
    ("lm75", 0x48, "conf.f_que", "1 fault"),
    ("LM75", 0x48, "TOS", 0x5000),
    ("TMP102", 0x49, "TEMP.T", 24.0),
    ("TMP102", 0x49, "CONF.CR", "4 Hz"),
    ("MCP9808", 0x18, "MANUF_ID", 0x0054),
    ("MCP9808", 0x18, "T_A.T", 22.5),
    ("INA219", 0x40, "CONFIG", 0x399F),
    ("INA219", 0x40, "CONFIG.MODE", "shunt and bus, continuous"),
]


@pytest.mark.parametrize("kind,serial", [("Adapter", OR3), ("SMBus", OR5), ("busio.I2C", OR7)])
@pytest.mark.parametrize("name,address,target,expected", DEMO_CHIPS)
def test_shipped_maps_decode_the_demo_chips(open_bus, kind, serial, name, address, target, expected):
    # A map of the system's package on a simulated bus: each stack reads it.
    device = pellan_i2c.Device(open_bus(kind, serial), address, pellan_i2c.RegisterMap.load(name))
    value = device.get(target)
    assert (value.raw if isinstance(value, pellan_i2c.RegisterReading) else value) == expected


def test_read_and_dump_decode_every_field(lm75):
    assert lm75.read("TEMP").as_dict() == {
        "register": "TEMP", "address": 0, "raw": "0x1780",
        "fields": {"T": {"value": 23.5, "text": "23.5 °C"}},
    }
    dump = lm75.dump()
    assert list(dump) == ["TEMP", "CONF", "THYST", "TOS"]
    assert dump["CONF"].fields == {"SHUTDOWN": "normal", "OS_COMP_INT": "comparator",
                                   "OS_POL": "active low", "F_QUE": "1 fault"}
    assert dump["THYST"]["t"] == 75.0 and dump["THYST"].texts["T"] == "75.0 °C"


# target, value, fields, the wire, the fields read back
SETS = [
    ("CONF", None, {"F_QUE": 2, "OS_POL": "active high"},
     "S 90 01 Sr 91 [1] P S 90 01 14 P S 90 01 Sr 91 [1] P", {"F_QUE": "4 faults", "OS_POL": "active high"}),
    ("TOS.T", 80.5, {}, "S 90 03 Sr 91 [2] P S 90 03 50 80 P S 90 03 Sr 91 [2] P", {"T": 80.5}),
    ("THYST.T", "-0.5", {}, "S 90 02 Sr 91 [2] P S 90 02 FF 80 P S 90 02 Sr 91 [2] P", {"T": -0.5}),
    ("CONF", 0x18, {}, "S 90 01 18 P S 90 01 Sr 91 [1] P", {"F_QUE": "6 faults", "SHUTDOWN": "normal"}),
    ("CONF", None, {"shutdown": True}, "S 90 01 Sr 91 [1] P S 90 01 01 P S 90 01 Sr 91 [1] P",
     {"SHUTDOWN": "shutdown"}),
]


@pytest.mark.parametrize("target,value,fields,frames,read_back", SETS)
def test_set_is_one_read_modify_write_with_read_back(lm75, target, value, fields, frames, read_back):
    sim.record_reports(serial=OR3)
    reading = lm75.set(target, value, **fields) if value is not None else lm75.set(target, **fields)
    assert wire(sim.take_reports(OR3)) == frames
    assert {name: reading.fields[name] for name in read_back} == read_back


def test_w1c_field_is_never_cleared_by_writing_another(status):
    chip, device = status
    # A write-only field's bits are no reading.
    fields = {"DONE": 1, "MODE": 5, "KICK": None, "EN": "on"}
    assert device.set("STATUS", MODE=5, EN=True).fields == fields
    assert chip.registers[0x00] == 0x8B
    device.set("STATUS.DONE", 1)
    assert chip.registers[0x00] == 0x8A


def test_dump_skips_registers_whose_read_clears_them(status):
    chip, device = status
    assert list(device.dump()) == ["STATUS", "ID"]
    assert chip.registers[0x01] == 0x5A
    assert device.dump("fifo")["FIFO"].raw == 0x5A
    assert chip.registers[0x01] == 0


def test_write_only_register_is_written_without_read_back(status):
    chip, device = status
    sim.record_reports(serial=OR3)
    assert device.set("CMD", "0x7E") is None
    assert wire(sim.take_reports(OR3)) == "S 60 02 7E P"


def test_read_back_mismatch_raises_after_the_write(tmp_path, open_bus):
    path = tmp_path / "stat.i2cmap"
    path.write_text(json.dumps(STATUS_MAP))
    sim.attach(0x30, StatusChip(stuck=True), OR3)
    device = sim.Device(open_bus("SMBus"), 0x30, str(path))
    with pytest.raises(pellan_i2c.ReadBackError) as raised:
        device.set("STATUS", MODE=5)
    error = raised.value
    assert (error.errno, error.register, error.written, error.read_back) == (errno.EIO, "STATUS", 0x0A, 0x01)
    assert error.fields == ["STATUS.MODE"]
    assert isinstance(error, OSError)


# the call, the exception, a part of its message
REFUSALS = [
    (lambda d: d.get("STATUS.DNOE"), KeyError, 'STATUS has no field "DNOE"; near names: DONE'),
    (lambda d: d.read("STATSU"), KeyError, "near names: STATUS"),
    (lambda d: d.set("STATUS", MOED=1), KeyError, 'STATUS has no field "MOED"; near names: MODE'),
    (lambda d: d.set("STATUS", MODE=8), ValueError, "8 is outside what its 3 bit(s) hold, 0 to 7"),
    (lambda d: d.set("STATUS", MODE=1.5), ValueError, "is not a multiple of its step"),
    (lambda d: d.set("STATUS", MODE=True), ValueError, 'STATUS.MODE: "true" is not a number'),
    (lambda d: d.set("STATUS", EN="maybe"), ValueError, 'give a number or one of "off", "on"'),
    (lambda d: d.set("STATUS.EN", "0x2"), ValueError, "does not fit its 1 bit(s)"),
    (lambda d: d.set("ID", 1), ValueError, "ID is read-only"),
    (lambda d: d.read("CMD"), ValueError, "CMD is write-only"),
    (lambda d: d.get("STATUS.KICK"), ValueError, "STATUS.KICK is write-only; it reads as nothing"),
    (lambda d: d.set("CMD", 256), ValueError, "not a whole number from 0 to 255"),
    (lambda d: d.set("STATUS", [1]), TypeError, "not list"),
    (lambda d: d.set("STATUS", 1, MODE=1), TypeError, "not both"),
    (lambda d: d.read("STATUS.MODE"), ValueError, "is a field"),
]


@pytest.mark.parametrize("call,error,text", REFUSALS, ids=[r[2] for r in REFUSALS])
def test_refused_before_the_bus(status, call, error, text):
    _, device = status
    sim.record_reports(serial=OR3)
    with pytest.raises(error) as raised:
        call(device)
    assert text in str(raised.value)
    assert sim.take_reports(OR3) == []


# fault, errno, the text of the failed step
FAULTS = [
    (None, errno.EREMOTEIO, "Read CONF: NACK received"),
    ("no_answer", errno.ETIMEDOUT, "Read CONF: Timeout"),
    ("arbitration_lost", errno.EAGAIN, "Read CONF: Arbitration lost"),
    ("unplug", errno.ENODEV, "Read CONF: "),
]
CALLS = {
    "read": lambda d: d.read("CONF"),
    "set": lambda d: d.set("CONF", F_QUE=1),
    "dump": lambda d: d.dump(),
}


@pytest.mark.parametrize("call", list(CALLS))
@pytest.mark.parametrize("fault,code,text", FAULTS, ids=[str(f[0]) for f in FAULTS])
def test_errno_from_the_bus(open_bus, fault, code, text, call):
    # Nothing answers at 0x10; the LM75 at 0x48 does.
    device = sim.Device(open_bus("busio.I2C"), 0x10 if fault is None else 0x48, "LM75")
    if fault == "unplug":
        sim.unplug(OR3)
    elif fault:
        sim.set_fault(fault, count=1)
    with pytest.raises(OSError) as raised:
        CALLS[call](device)
    assert raised.value.errno == code
    if call == "dump":
        assert raised.value.strerror.startswith("could not read TEMP")
        text = text.replace("CONF", "TEMP")
    assert text in raised.value.strerror


def test_busio_lock_is_taken_for_the_call_or_kept(open_bus):
    i2c, other = open_bus("busio.I2C"), open_bus("busio.I2C")
    device = sim.Device(i2c, 0x48, "LM75")
    assert device.get("TEMP.T") == 23.5
    assert other.try_lock()  # released after the call
    other.unlock()
    assert i2c.try_lock()
    assert device.get("TEMP.T") == 23.5
    assert not other.try_lock()  # still held by its owner
    i2c.deinit()
    with pytest.raises(ValueError, match="deinitialized"):
        device.get("TEMP.T")


def test_map_loading_and_its_description(tmp_path):
    shipped = sim.RegisterMap.load("lm75")
    assert shipped.device == "LM75" and len(shipped) == 4 and "conf" in shipped
    assert pellan_i2c.RegisterMap(Path(shipped.path)).registers[1].name == "CONF"
    conf = shipped["CONF"]
    assert (conf.address, conf.bytes, conf.access, conf.reset) == (1, 1, "rw", 0)
    assert conf["f_que"].values == {0: "1 fault", 1: "2 faults", 2: "4 faults", 3: "6 faults"}
    assert (conf["F_QUE"].msb, conf["F_QUE"].lsb, conf["F_QUE"].mask) == (4, 3, 0x18)
    temp = shipped["TEMP"]["T"]
    assert (temp.signed, temp.scale, temp.unit, temp.access) == (True, 0.5, "°C", "r")
    assert repr(shipped).startswith("<RegisterMap LM75: 4 registers from ")
    with pytest.raises(FileNotFoundError, match='no register map "LM76"; there are LM75'):
        sim.RegisterMap.load("LM76")
    bad = tmp_path / "bad.i2cmap"
    bad.write_text('{"version": 1, "device": "B", "registers": [{"name": "A", "address": 0, '
                   '"fields": [{"name": "F", "bits": "9"}]}]}')
    with pytest.raises(ValueError, match=r"registers\[0\]\.fields\[0\]\.bits"):
        pellan_i2c.RegisterMap.load(bad)


def test_users_map_of_the_same_device_wins():
    user = Path(sim.RegisterMap.folders()[0])
    user.mkdir(parents=True, exist_ok=True)
    mine = user / "mine.i2cmap"
    mine.write_text('{"version": 1, "device": "lm75", "registers": [{"name": "ONLY", "address": 0}]}')
    try:
        assert [r.name for r in sim.RegisterMap.load("LM75")] == ["ONLY"]
    finally:
        mine.unlink()


# Any map the reader takes: pages, arrays, little-endian and signed fields,
# on the 24C02, which keeps whatever is written.
ROM_MAP = {
    "version": 1, "device": "ROM", "byte_order": "little", "auto_increment": True,
    "pages": [{"name": "HI", "select": "BANK", "value": "0x01"}],
    "registers": [
        {"name": "BANK", "address": "0x00"},
        {"name": "WORD", "address": "0x10", "bytes": 2,
         "fields": [{"name": "LO", "bits": "7:0"}, {"name": "HI", "bits": "15:8", "signed": True}]},
        {"name": "BE", "address": "0x12", "bytes": 2, "byte_order": "big"},
        {"name": "CAL", "address": "0x18", "count": 2, "stride": 1,
         "fields": [{"name": "V", "bits": "7:0", "scale": 0.25, "offset": -10, "unit": "mV"}]},
        {"name": "PAGED", "address": "0x20", "page": "HI"},
    ],
}


def test_any_valid_map_on_a_demo_chip(tmp_path, open_bus):
    path = tmp_path / "rom.i2cmap"
    path.write_text(json.dumps(ROM_MAP))
    adapter = open_bus("Adapter", OR5)
    device = sim.Device(adapter, 0x50, pellan_i2c.RegisterMap(path))
    device.set("WORD", LO="0x34", HI=-2)
    device.set("BE", 0x1234)
    device.set("CAL1.V", 5.5)
    assert adapter.write_read(0x50, b"\x10", 3) == b"\x34\xFE\x12"
    assert adapter.write_read(0x50, b"\x19", 1) == bytes([62])
    assert (device.get("WORD.HI"), device.get("BE").raw, device.get("cal1.v")) == (-2, 0x1234, 5.5)
    sim.record_reports(serial=OR5)
    assert device.read("PAGED").raw == 0xFF
    assert wire(sim.take_reports(OR5)) == "S A0 00 01 P S A0 20 Sr A1 [1] P"
    assert list(device.dump()) == ["BANK", "WORD", "BE", "CAL0", "CAL1", "PAGED"]


def test_ctrl_c_ends_a_long_dump(tmp_path):
    # 1,000 registers at 0.04 s a report never let the engine see the
    # interrupt by itself, and would outlast the watchdog.
    path = tmp_path / "long.i2cmap"
    path.write_text(json.dumps({"version": 1, "device": "LONG", "pointer_bytes": 2,
                                "registers": [{"name": "R", "address": 0, "count": 1000, "stride": 1}]}))
    result = run_script(
        f"""
        import os, signal, threading
        import pellan_i2c.sim as sim

        class Anything:
            def write(self, data): pass
            def read(self, count): return bytes(count)

        sim.attach(0x30, Anything(), "{OR3}")
        device = sim.Device(sim.Adapter("{OR3}"), 0x30, {str(path)!r})
        sim.set_report_delay(0.04)
        sim.record_reports(serial="{OR3}")

        def interrupt():
            while not sim.take_reports("{OR3}"):
                threading.Event().wait(0.001)
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=interrupt).start()
        try:
            device.dump()
            print("dumped to the end")
        except KeyboardInterrupt:
            print("interrupted")
        sim.set_report_delay(0)
        print(device.read("R999").raw)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["interrupted", "0"]
