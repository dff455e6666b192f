"""SMBus: what each method puts on the wire, what it returns, and parity with smbus2."""

import errno
import inspect

import pytest
import smbus2
from conftest import OR3, OR5, Recorder, wire

import pellan_i2c
import pellan_i2c.sim as sim

ADDR = 0x40  # the Recorder; 0x80 / 0x81 on the wire

WIRE_CASES = [
    # method, arguments, result, frames on the bus
    ("write_quick", (ADDR,), None, "S 80 P"),
    ("read_byte", (ADDR,), 0x02, "S 81 [1] P"),
    ("write_byte", (ADDR, 0x5A), None, "S 80 5A P"),
    ("read_byte_data", (ADDR, 0x10), 0x02, "S 80 10 Sr 81 [1] P"),
    ("write_byte_data", (ADDR, 0x10, 0x7F), None, "S 80 10 7F P"),
    ("read_word_data", (ADDR, 0x10), 0xAB02, "S 80 10 Sr 81 [2] P"),
    ("write_word_data", (ADDR, 0x10, 0x1234), None, "S 80 10 34 12 P"),
    ("process_call", (ADDR, 0x10, 0xBEEF), 0xAB02, "S 80 10 EF BE Sr 81 [2] P"),
    ("read_block_data", (ADDR, 0x10), [0xAB, 0xCD], "S 80 10 Sr 81 [33] P"),
    ("write_block_data", (ADDR, 0x10, [1, 2, 3]), None, "S 80 10 03 01 02 03 P"),
    ("block_process_call", (ADDR, 0x10, [9]), [0xAB, 0xCD], "S 80 10 01 09 Sr 81 [33] P"),
    ("read_i2c_block_data", (ADDR, 0x10, 3), [0x02, 0xAB, 0xCD], "S 80 10 Sr 81 [3] P"),
    ("write_i2c_block_data", (ADDR, 0x10, [1, 2]), None, "S 80 10 01 02 P"),
]


@pytest.mark.parametrize("method,args,result,frames", WIRE_CASES, ids=[c[0] for c in WIRE_CASES])
def test_bytes_on_the_wire(method, args, result, frames):
    sim.attach(ADDR, Recorder(), OR3)
    with sim.SMBus(OR3) as bus:
        sim.record_reports(serial=OR3)
        assert getattr(bus, method)(*args, force=True) == result
        assert wire(sim.take_reports(OR3)) == frames


RDWR_CASES = [
    ("write then read", [("w", 0x40, b"\x10"), ("r", 0x40, 2)], "S 80 10 Sr 81 [2] P"),
    ("two writes", [("w", 0x40, b"\x01"), ("w", 0x41, b"\x02\x03")], "S 80 01 Sr 82 02 03 P"),
    ("read alone", [("r", 0x40, 3)], "S 81 [3] P"),
    ("empty write first", [("w", 0x40, b""), ("r", 0x40, 1)], "S 80 Sr 81 [1] P"),
    ("smbus2's messages", [("w2", 0x40, b"\x10"), ("r2", 0x40, 2)], "S 80 10 Sr 81 [2] P"),
    ("empty read", [("r", 0x40, 0)], "S 81 P"),
]
FACTORIES = {
    "w": pellan_i2c.i2c_msg.write,
    "r": pellan_i2c.i2c_msg.read,
    "w2": smbus2.i2c_msg.write,
    "r2": smbus2.i2c_msg.read,
}


@pytest.mark.parametrize("messages,frames", [c[1:] for c in RDWR_CASES], ids=[c[0] for c in RDWR_CASES])
def test_i2c_rdwr_is_one_transaction(messages, frames):
    sim.attach(0x40, Recorder(), OR3)
    sim.attach(0x41, Recorder(), OR3)
    msgs = [FACTORIES[kind](a, d) for kind, a, d in messages]
    with sim.SMBus(OR3) as bus:
        sim.record_reports(serial=OR3)
        bus.i2c_rdwr(*msgs)
        assert wire(sim.take_reports(OR3)) == frames
    if messages[-1][0].startswith("r"):
        assert bytes(msgs[-1]) == (Recorder.PATTERN + b"\xEE" * 3)[: messages[-1][2]]
        assert list(msgs[-1]) == list(bytes(msgs[-1])) and len(msgs[-1]) == messages[-1][2]


@pytest.mark.parametrize(
    "serial,messages",
    [
        (OR3, [pellan_i2c.i2c_msg.read(0x40, 1), pellan_i2c.i2c_msg.write(0x40, [1])]),
        (OR3, [pellan_i2c.i2c_msg.read(0x40, 1), pellan_i2c.i2c_msg.read(0x40, 1)]),
        (OR5, [pellan_i2c.i2c_msg.write(0x40, [1]), pellan_i2c.i2c_msg.read(0x40, 257)]),
        (OR5, [pellan_i2c.i2c_msg.read(0x40, 0)]),
        (OR5, [pellan_i2c.i2c_msg.write(0x40, b"")]),
    ],
    ids=["read then write", "two reads", "read above the limit", "empty read on Orvane5", "address only on Orvane5"],
)
def test_i2c_rdwr_refuses_what_it_can_not_send_before_the_bus(serial, messages):
    sim.attach(0x40, Recorder(), serial)
    with sim.SMBus(serial) as bus:
        sim.record_reports(serial=serial)
        with pytest.raises(OSError) as raised:
            bus.i2c_rdwr(*messages)
        assert raised.value.errno == errno.EOPNOTSUPP
        assert sim.take_reports(serial) == []


@pytest.mark.parametrize("length", [0, 33, 255])
def test_block_length_outside_1_to_32_is_a_protocol_error(length):
    class BadBlock(Recorder):
        PATTERN = bytes((length,)) + bytes(40)

    sim.attach(ADDR, BadBlock(), OR3)
    with sim.SMBus(OR3) as bus:
        for call in (lambda: bus.read_block_data(ADDR, 0), lambda: bus.block_process_call(ADDR, 0, [1])):
            with pytest.raises(OSError) as raised:
                call()
            assert raised.value.errno == errno.EPROTO


BAD_ARGUMENTS = [
    ("write_i2c_block_data", (ADDR, 0, [0] * 33), ValueError),
    ("write_block_data", (ADDR, 0, [0] * 33), ValueError),
    ("block_process_call", (ADDR, 0, [0] * 33), ValueError),
    ("read_i2c_block_data", (ADDR, 0, 33), ValueError),
    ("read_i2c_block_data", (ADDR, 0, 0), ValueError),
    ("write_byte_data", (ADDR, 0, 256), ValueError),
    ("write_word_data", (ADDR, 0, 0x10000), ValueError),
    ("write_byte", (ADDR, -1), ValueError),
    ("read_byte_data", (ADDR, 256), ValueError),
    ("read_byte", (0x80,), ValueError),
    ("read_byte", ("0x40",), TypeError),
    ("write_byte_data", (ADDR, 0, 1.5), TypeError),
    ("write_i2c_block_data", (ADDR, 0, [1, "2"]), TypeError),
]


@pytest.mark.parametrize("method,args,error", BAD_ARGUMENTS, ids=[f"{c[0]}{c[1][1:]}" for c in BAD_ARGUMENTS])
def test_bad_arguments_raise_before_the_bus(method, args, error):
    sim.attach(ADDR, Recorder(), OR3)
    with sim.SMBus(OR3) as bus:
        sim.record_reports(serial=OR3)
        with pytest.raises(error):
            getattr(bus, method)(*args)
        assert sim.take_reports(OR3) == []


SMBUS2_METHODS = [
    "open", "close", "enable_pec", "__enter__", "__exit__",
    "write_quick", "read_byte", "write_byte", "read_byte_data", "write_byte_data",
    "read_word_data", "write_word_data", "process_call", "read_block_data",
    "write_block_data", "block_process_call", "read_i2c_block_data",
    "write_i2c_block_data", "i2c_rdwr",
]


def shape(function):
    """Names, kinds and defaults: what calls rely on, without annotations."""
    return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]


@pytest.mark.parametrize("name", SMBUS2_METHODS)
def test_method_signatures_match_smbus2(name):
    assert shape(getattr(pellan_i2c.SMBus, name)) == shape(getattr(smbus2.SMBus, name))
    assert shape(getattr(sim.SMBus, name)) == shape(getattr(smbus2.SMBus, name))


@pytest.mark.parametrize("name", ["read", "write"])
def test_i2c_msg_factories_match_smbus2(name):
    assert shape(getattr(pellan_i2c.i2c_msg, name)) == shape(getattr(smbus2.i2c_msg, name))


def test_init_takes_smbus2_arguments_first():
    assert shape(pellan_i2c.SMBus.__init__)[:3] == shape(smbus2.SMBus.__init__)


def test_a_bus_on_a_given_adapter_leaves_it_open():
    with sim.Adapter(OR3) as adapter:
        with sim.SMBus(adapter) as bus:
            assert bus.read_byte_data(0x48, 1) == 0
        assert not adapter.closed
        assert adapter.read(0x48, 1) == b"\x00"
    with pytest.raises(ValueError):
        bus.read_byte(0x48)


@pytest.mark.parametrize("serial,quick", [(OR3, True), (OR5, False)])
def test_funcs_fd_and_pec_as_in_smbus2(serial, quick):
    with sim.SMBus(serial) as bus:
        assert bus.funcs & pellan_i2c.I2cFunc.SMBUS_READ_WORD_DATA
        assert bool(bus.funcs & pellan_i2c.I2cFunc.SMBUS_QUICK) == quick
        assert not bus.funcs & (pellan_i2c.I2cFunc.SMBUS_PEC | pellan_i2c.I2cFunc.ADDR_10BIT)
        assert bus.fd is None
        bus.pec = 0
        with pytest.raises(OSError) as raised:
            bus.pec = 1
        assert raised.value.errno == errno.EOPNOTSUPP and bus.pec == 0


def test_a_bus_made_without_an_adapter_opens_later():
    bus = sim.SMBus()
    assert bus.funcs == 0
    with pytest.raises(ValueError):
        bus.read_byte(0x48)
    bus.open(OR3)
    assert bus.read_byte_data(0x48, 1) == 0
    bus.close()


@pytest.mark.parametrize("bus", [1.5, b"OR3-100042", 1])
def test_a_bus_of_the_wrong_type_is_refused_at_once(bus):
    with pytest.raises(TypeError, match="serial number"):
        sim.SMBus(bus)


def test_i2c_msg_buffer_items_are_bytes_and_its_length_can_be_set():
    msg = pellan_i2c.i2c_msg.write(ADDR, [0x12, 0x34, 0x56])
    reference = smbus2.i2c_msg.write(ADDR, [0x12, 0x34, 0x56])
    assert (msg.buf[0], msg.buf[1:3]) == (reference.buf[0], reference.buf[1:3]) == (b"\x12", b"\x34\x56")
    msg.len = 2
    assert bytes(msg) == b"\x12\x34"
    msg.len = 4
    assert list(msg) == [0x12, 0x34, 0, 0]


@pytest.mark.parametrize("flag", [0x0010, 0x4000, 0x0400], ids=["I2C_M_TEN", "I2C_M_NOSTART", "I2C_M_RECV_LEN"])
def test_i2c_rdwr_refuses_flags_it_can_not_honour(flag):
    sim.attach(ADDR, Recorder(), OR3)
    msg = pellan_i2c.i2c_msg.read(ADDR, 2)
    msg.flags |= flag
    with sim.SMBus(OR3) as bus:
        sim.record_reports(serial=OR3)
        with pytest.raises(OSError) as raised:
            bus.i2c_rdwr(pellan_i2c.i2c_msg.write(ADDR, [1]), msg)
        assert raised.value.errno == errno.EOPNOTSUPP
        assert sim.take_reports(OR3) == []
