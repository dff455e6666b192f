"""The smbus2-compatible bus, shared by the real and the simulated stack."""

from __future__ import annotations

import ctypes
import errno
from enum import IntFlag
from types import TracebackType
from typing import (
    Any,
    ClassVar,
    Iterable,
    Iterator,
    Protocol,
    Self,
    Sequence,
    SupportsBytes,
    SupportsIndex,
    overload,
    runtime_checkable,
)

#: The largest block of the SMBus block transfers.
I2C_SMBUS_BLOCK_MAX = 32
#: The flag of a read message in i2c_msg.flags, as in Linux's i2c.h.
I2C_M_RD = 0x0001

# The other message flags of Linux's i2c.h: each asks for something these
# adapters can not put on the bus.
_REFUSED_FLAGS = {
    0x0010: "I2C_M_TEN",
    0x0400: "I2C_M_RECV_LEN",
    0x0800: "I2C_M_NO_RD_ACK",
    0x1000: "I2C_M_IGNORE_NAK",
    0x2000: "I2C_M_REV_DIR_ADDR",
    0x4000: "I2C_M_NOSTART",
    0x8000: "I2C_M_STOP",
}


class I2cFunc(IntFlag):
    """The I2C_FUNC bits of Linux's i2c.h, as smbus2 names them for SMBus.funcs."""

    I2C = 0x00000001
    ADDR_10BIT = 0x00000002
    PROTOCOL_MANGLING = 0x00000004
    SMBUS_PEC = 0x00000008
    NOSTART = 0x00000010
    SLAVE = 0x00000020
    SMBUS_BLOCK_PROC_CALL = 0x00008000
    SMBUS_QUICK = 0x00010000
    SMBUS_READ_BYTE = 0x00020000
    SMBUS_WRITE_BYTE = 0x00040000
    SMBUS_READ_BYTE_DATA = 0x00080000
    SMBUS_WRITE_BYTE_DATA = 0x00100000
    SMBUS_READ_WORD_DATA = 0x00200000
    SMBUS_WRITE_WORD_DATA = 0x00400000
    SMBUS_PROC_CALL = 0x00800000
    SMBUS_READ_BLOCK_DATA = 0x01000000
    SMBUS_WRITE_BLOCK_DATA = 0x02000000
    SMBUS_READ_I2C_BLOCK = 0x04000000
    SMBUS_WRITE_I2C_BLOCK = 0x08000000
    SMBUS_HOST_NOTIFY = 0x10000000


# What every model does; write_quick needs an address-only write.
_FUNCS = (
    I2cFunc.I2C
    | I2cFunc.SMBUS_BLOCK_PROC_CALL
    | I2cFunc.SMBUS_READ_BYTE
    | I2cFunc.SMBUS_WRITE_BYTE
    | I2cFunc.SMBUS_READ_BYTE_DATA
    | I2cFunc.SMBUS_WRITE_BYTE_DATA
    | I2cFunc.SMBUS_READ_WORD_DATA
    | I2cFunc.SMBUS_WRITE_WORD_DATA
    | I2cFunc.SMBUS_PROC_CALL
    | I2cFunc.SMBUS_READ_BLOCK_DATA
    | I2cFunc.SMBUS_WRITE_BLOCK_DATA
    | I2cFunc.SMBUS_READ_I2C_BLOCK
    | I2cFunc.SMBUS_WRITE_I2C_BLOCK
)


@runtime_checkable
class AdapterLike(Protocol):
    """What the buses need of an adapter: pellan_i2c.Adapter or pellan_i2c.sim.Adapter."""

    @property
    def speed(self) -> int: ...

    @property
    def max_read(self) -> int: ...

    @property
    def address_only_write(self) -> bool: ...

    def write(self, address: int, data: bytes, mode: str = "auto") -> None: ...

    def read(self, address: int, count: int) -> bytes: ...

    def write_read(self, address: int, data: bytes, count: int) -> bytes: ...

    def scan(self) -> list[int]: ...

    def probe(self, address: int) -> bool: ...

    def transfer(self, messages: Iterable[tuple[int, bytes | int]]) -> bytes: ...

    def try_lock(self) -> bool: ...

    def unlock(self) -> None: ...

    def close(self) -> None: ...


class SMBusLike(Protocol):
    """The methods a driver written for smbus2.SMBus calls.

    Annotate a driver's bus with SMBusLike instead of smbus2.SMBus, and
    smbus2.SMBus, pellan_i2c.SMBus and pellan_i2c.sim.SMBus all type-check
    against it.
    """

    def write_quick(self, i2c_addr: int, force: bool | None = None) -> None: ...

    def read_byte(self, i2c_addr: int, force: bool | None = None) -> int: ...

    def write_byte(self, i2c_addr: int, value: int, force: bool | None = None) -> None: ...

    def read_byte_data(self, i2c_addr: int, register: int, force: bool | None = None) -> int: ...

    def write_byte_data(
        self, i2c_addr: int, register: int, value: int, force: bool | None = None
    ) -> None: ...

    def read_word_data(self, i2c_addr: int, register: int, force: bool | None = None) -> int: ...

    def write_word_data(
        self, i2c_addr: int, register: int, value: int, force: bool | None = None
    ) -> None: ...

    def read_block_data(
        self, i2c_addr: int, register: int, force: bool | None = None
    ) -> list[int]: ...

    def write_block_data(
        self, i2c_addr: int, register: int, data: Sequence[int], force: bool | None = None
    ) -> None: ...

    def block_process_call(
        self, i2c_addr: int, register: int, data: Sequence[int], force: bool | None = None
    ) -> list[int]: ...

    def read_i2c_block_data(
        self, i2c_addr: int, register: int, length: int, force: bool | None = None
    ) -> list[int]: ...

    def write_i2c_block_data(
        self, i2c_addr: int, register: int, data: Sequence[int], force: bool | None = None
    ) -> None: ...

    # Any: smbus2's buses take smbus2's i2c_msg, ours take both kinds.
    def i2c_rdwr(self, *i2c_msgs: Any) -> None: ...


def check_address(address: int) -> int:
    """The address if it is a 7-bit I2C address; TypeError or ValueError otherwise."""
    if not isinstance(address, int):
        raise TypeError(f"the address must be an int, not {type(address).__name__}")
    if not 0 <= address <= 0x7F:
        raise ValueError(f"address {address:#x} is not a 7-bit I2C address (0x00 to 0x7F)")
    return address


def _check_int(value: int, name: str, top: int) -> int:
    if not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= top:
        raise ValueError(f"{name} must be 0 to {top}, not {value}")
    return value


def _block(data: Sequence[int], name: str = "data") -> bytes:
    """The bytes of an SMBus block: at most 32 ints of 0 to 255."""
    if len(data) > I2C_SMBUS_BLOCK_MAX:
        raise ValueError(f"Data length cannot exceed {I2C_SMBUS_BLOCK_MAX} bytes")
    for value in data:
        _check_int(value, f"each byte of {name}", 0xFF)
    return bytes(data)


def _counted_block(data: bytes) -> list[int]:
    """The block that the length byte at the front of data counts."""
    count = data[0]
    if count == 0 or count > I2C_SMBUS_BLOCK_MAX:
        raise OSError(
            errno.EPROTO,
            f"the device sent a block length of {count}; SMBus blocks hold 1 to "
            f"{I2C_SMBUS_BLOCK_MAX} bytes",
        )
    return list(data[1 : count + 1])


class MessageBuffer(bytearray):
    """The bytes of an i2c_msg. As smbus2's ctypes buffer, an item is bytes of length 1."""

    @overload  # type: ignore[override]
    def __getitem__(self, index: SupportsIndex) -> bytes: ...

    @overload
    def __getitem__(self, index: slice) -> bytes: ...

    def __getitem__(self, index: SupportsIndex | slice) -> bytes:
        if isinstance(index, slice):
            return bytes(bytearray.__getitem__(self, index))
        return bytes((bytearray.__getitem__(self, index),))


class i2c_msg:  # noqa: N801 (smbus2's name)
    """One message of a combined transaction for SMBus.i2c_rdwr, as in smbus2.

    Make them with i2c_msg.read(address, length) and i2c_msg.write(address,
    buf). Iterating a message gives its bytes as ints; bytes(msg) and len(msg)
    work; msg.buf[i] is bytes of length 1, as in smbus2. A read message holds
    the bytes read once i2c_rdwr returns.
    """

    __slots__ = ("addr", "flags", "_buf")

    def __init__(self, addr: int, flags: int, buf: bytearray) -> None:
        #: The 7-bit address.
        self.addr = addr
        #: I2C_M_RD for a read, 0 for a write.
        self.flags = flags
        self._buf = MessageBuffer(buf)

    @property
    def buf(self) -> MessageBuffer:
        """The bytes written, or the bytes read."""
        return self._buf

    @buf.setter
    def buf(self, data: Iterable[int] | SupportsBytes) -> None:
        self._buf = MessageBuffer(bytes(data))

    @property
    def len(self) -> int:
        """The number of bytes to write or to read.

        Setting it shortens the message, or lengthens it with zero bytes.
        """
        return len(self._buf)

    @len.setter
    def len(self, length: int) -> None:
        if not isinstance(length, int) or isinstance(length, bool):
            raise TypeError(f"len must be an int, not {type(length).__name__}")
        if not 0 <= length <= 0xFFFF:
            raise ValueError(f"len must be 0 to 65535, not {length}")
        del self._buf[length:]
        self._buf.extend(bytes(length - len(self._buf)))

    def __iter__(self) -> Iterator[int]:
        return iter(bytes(self._buf))

    def __len__(self) -> int:
        return len(self._buf)

    def __bytes__(self) -> bytes:
        return bytes(self._buf)

    def __repr__(self) -> str:
        return "i2c_msg(%d,%d,%r)" % (self.addr, self.flags, bytes(self._buf))

    def __str__(self) -> str:
        return bytes(self._buf).decode(errors="ignore")

    @staticmethod
    def read(address: int, length: int) -> i2c_msg:
        """A message that reads length bytes from the address."""
        check_address(address)
        if not isinstance(length, int) or isinstance(length, bool):
            raise TypeError(f"length must be an int, not {type(length).__name__}")
        if not 0 <= length <= 0xFFFF:
            raise ValueError(f"length must be 0 to 65535, not {length}")
        return i2c_msg(address, I2C_M_RD, bytearray(length))

    @staticmethod
    def write(address: int, buf: str | Iterable[int] | SupportsBytes) -> i2c_msg:
        """A message that writes buf (a str of code points below 256, bytes or ints) to the address."""
        check_address(address)
        data = bytes(map(ord, buf)) if isinstance(buf, str) else bytes(buf)
        return i2c_msg(address, 0, bytearray(data))


class SMBusBase:
    """The methods of smbus2.SMBus over an Orvane adapter; see pellan_i2c.SMBus."""

    _adapter_type: ClassVar[type[Any]]

    #: smbus2's file descriptor of /dev/i2c-N; an adapter has none.
    fd: None = None

    def __init__(
        self,
        bus: str | AdapterLike | None = None,
        force: bool = False,
        *,
        speed: int = 100_000,
        pull_ups: bool = True,
    ) -> None:
        #: Accepted for smbus2's sake; an adapter has no kernel driver to force aside.
        self.force = force
        #: The address of the last transfer, as smbus2 keeps it.
        self.address: int | None = None
        self._speed = speed
        self._pull_ups = pull_ups
        self._adapter: AdapterLike | None = None
        self._owned = False
        # As in smbus2, a bus made without one stays closed until open().
        if bus is not None:
            self.open(bus)

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<{type(self).__module__}.{type(self).__name__} on {self._adapter!r}>"

    @property
    def adapter(self) -> AdapterLike:
        """The adapter the bus runs on; ValueError once closed."""
        if self._adapter is None:
            raise ValueError("I/O operation on a closed bus")
        return self._adapter

    @property
    def pec(self) -> int:
        """0: the adapters do not check SMBus packet error codes. Setting 1 raises OSError(EOPNOTSUPP)."""
        return 0

    @pec.setter
    def pec(self, enable: int) -> None:
        self.enable_pec(bool(enable))

    @property
    def funcs(self) -> I2cFunc:
        """What the adapter can do, as the I2C_FUNC bits of Linux (smbus2's I2cFunc); 0 while closed."""
        if self._adapter is None:
            return I2cFunc(0)
        if self._adapter.address_only_write:
            return _FUNCS | I2cFunc.SMBUS_QUICK
        return _FUNCS

    def open(self, bus: str | AdapterLike | None) -> None:
        """Opens the adapter with this serial number (None: the only one attached), or runs on an open adapter.

        Closes what the bus had open before.
        """
        if not (bus is None or isinstance(bus, (str, AdapterLike))):
            if isinstance(bus, int):
                raise TypeError(
                    "an Orvane adapter has no bus number: give its serial number "
                    "(see list_adapters()) or an open Adapter"
                )
            raise TypeError(
                "the bus is the serial number of an adapter (a str, see list_adapters()) or an "
                f"open Adapter, not {type(bus).__name__}"
            )
        self.close()
        if bus is None or isinstance(bus, str):
            self._adapter = self._adapter_type(bus, self._speed, self._pull_ups)
            self._owned = True
        else:
            self._adapter = bus
            self._owned = False

    def close(self) -> None:
        """Closes the adapter if the bus opened it; an adapter given to the bus stays open."""
        adapter, self._adapter = self._adapter, None
        if adapter is not None and self._owned:
            adapter.close()

    def enable_pec(self, enable: bool = True) -> None:
        """Packet error checking is not available: enable=True raises OSError(EOPNOTSUPP)."""
        if enable:
            raise OSError(errno.EOPNOTSUPP, "SMBUS_PEC is not a feature")

    def _start(self, i2c_addr: int) -> AdapterLike:
        adapter = self.adapter
        self.address = check_address(i2c_addr)
        return adapter

    def write_quick(self, i2c_addr: int, force: bool | None = None) -> None:
        """Quick command: the address in write direction and a stop, no data.

        The Orvane5 can not send it and raises OSError(EOPNOTSUPP).
        """
        self._start(i2c_addr).write(i2c_addr, b"")

    def read_byte(self, i2c_addr: int, force: bool | None = None) -> int:
        """Receive byte: one byte read from the device."""
        return self._start(i2c_addr).read(i2c_addr, 1)[0]

    def write_byte(self, i2c_addr: int, value: int, force: bool | None = None) -> None:
        """Send byte: one byte written to the device."""
        self._start(i2c_addr).write(i2c_addr, bytes((_check_int(value, "value", 0xFF),)))

    def read_byte_data(self, i2c_addr: int, register: int, force: bool | None = None) -> int:
        """Read byte: the register written, then one byte read after a repeated start."""
        adapter = self._start(i2c_addr)
        return adapter.write_read(i2c_addr, bytes((_check_int(register, "register", 0xFF),)), 1)[0]

    def write_byte_data(
        self, i2c_addr: int, register: int, value: int, force: bool | None = None
    ) -> None:
        """Write byte: the register and one byte in one write."""
        adapter = self._start(i2c_addr)
        data = bytes((_check_int(register, "register", 0xFF), _check_int(value, "value", 0xFF)))
        adapter.write(i2c_addr, data)

    def read_word_data(self, i2c_addr: int, register: int, force: bool | None = None) -> int:
        """Read word: the register written, then two bytes read, low byte first."""
        adapter = self._start(i2c_addr)
        data = adapter.write_read(i2c_addr, bytes((_check_int(register, "register", 0xFF),)), 2)
        return data[0] | data[1] << 8

    def write_word_data(
        self, i2c_addr: int, register: int, value: int, force: bool | None = None
    ) -> None:
        """Write word: the register and two bytes, low byte first, in one write."""
        adapter = self._start(i2c_addr)
        value = _check_int(value, "value", 0xFFFF)
        adapter.write(i2c_addr, bytes((_check_int(register, "register", 0xFF), value & 0xFF, value >> 8)))

    def process_call(self, i2c_addr: int, register: int, value: int, force: bool | None = None) -> int:
        """Process call: the register and a word written, then a word read after a repeated start.

        Words are low byte first.
        """
        adapter = self._start(i2c_addr)
        value = _check_int(value, "value", 0xFFFF)
        out = bytes((_check_int(register, "register", 0xFF), value & 0xFF, value >> 8))
        data = adapter.write_read(i2c_addr, out, 2)
        return data[0] | data[1] << 8

    def read_block_data(self, i2c_addr: int, register: int, force: bool | None = None) -> list[int]:
        """Block read: the register written, then a length byte and that many bytes read.

        The length arrives inside the read, and a read can not be extended
        once it has started, so the bus reads the largest block (the length
        byte and 32 bytes) and returns the counted part: the device sends up
        to 32 bytes more than it counted. A length of 0 or above 32 raises
        OSError(EPROTO).
        """
        adapter = self._start(i2c_addr)
        out = bytes((_check_int(register, "register", 0xFF),))
        return _counted_block(adapter.write_read(i2c_addr, out, 1 + I2C_SMBUS_BLOCK_MAX))

    def write_block_data(
        self, i2c_addr: int, register: int, data: Sequence[int], force: bool | None = None
    ) -> None:
        """Block write: the register, the length byte and up to 32 bytes in one write."""
        block = _block(data)
        adapter = self._start(i2c_addr)
        adapter.write(i2c_addr, bytes((_check_int(register, "register", 0xFF), len(block))) + block)

    def block_process_call(
        self, i2c_addr: int, register: int, data: Sequence[int], force: bool | None = None
    ) -> list[int]:
        """Block process call: a block written, then a block read after a repeated start.

        Reads the largest block and returns the counted part, as
        read_block_data does.
        """
        block = _block(data)
        adapter = self._start(i2c_addr)
        out = bytes((_check_int(register, "register", 0xFF), len(block))) + block
        return _counted_block(adapter.write_read(i2c_addr, out, 1 + I2C_SMBUS_BLOCK_MAX))

    def read_i2c_block_data(
        self, i2c_addr: int, register: int, length: int, force: bool | None = None
    ) -> list[int]:
        """I2C block read: the register written, then length bytes (1 to 32) read after a repeated start."""
        if not isinstance(length, int):
            raise TypeError(f"length must be an int, not {type(length).__name__}")
        if length > I2C_SMBUS_BLOCK_MAX:
            raise ValueError(f"Desired block length over {I2C_SMBUS_BLOCK_MAX} bytes")
        if length < 1:
            raise ValueError(f"Desired block length must be at least 1, not {length}")
        adapter = self._start(i2c_addr)
        out = bytes((_check_int(register, "register", 0xFF),))
        return list(adapter.write_read(i2c_addr, out, length))

    def write_i2c_block_data(
        self, i2c_addr: int, register: int, data: Sequence[int], force: bool | None = None
    ) -> None:
        """I2C block write: the register and up to 32 bytes in one write, no length byte."""
        block = _block(data)
        adapter = self._start(i2c_addr)
        adapter.write(i2c_addr, bytes((_check_int(register, "register", 0xFF),)) + block)

    def i2c_rdwr(self, *i2c_msgs: Any) -> None:
        """Sends the messages as one transaction: repeated starts between them, one stop at the end.

        A read ends with a stop on these adapters, so only the last message
        may be a read, and it must fit the adapter's read limit. Anything else
        raises OSError(EOPNOTSUPP) before a byte reaches the bus: splitting it
        would put stops where the device expects none. So do the flags
        I2C_M_TEN, I2C_M_NOSTART, I2C_M_RECV_LEN and the others beside
        I2C_M_RD. smbus2's own i2c_msg objects work as well as these.
        """
        adapter = self.adapter
        for msg in i2c_msgs:
            if not all(hasattr(msg, name) for name in ("addr", "flags", "len", "buf")):
                raise TypeError(f"i2c_rdwr takes i2c_msg objects, not {type(msg).__name__}")
            refused = [name for flag, name in _REFUSED_FLAGS.items() if msg.flags & flag]
            if refused:
                raise OSError(
                    errno.EOPNOTSUPP,
                    f"the Orvane adapters can not send messages with {', '.join(refused)}",
                )
        if not i2c_msgs:
            return
        messages = [
            (check_address(msg.addr), msg.len if msg.flags & I2C_M_RD else bytes(msg))
            for msg in i2c_msgs
        ]
        data = adapter.transfer(messages)
        last = i2c_msgs[-1]
        if not last.flags & I2C_M_RD:
            return
        if isinstance(last, i2c_msg):
            last.buf[:] = data
        else:
            # smbus2's own i2c_msg, whose buf is a ctypes buffer.
            ctypes.memmove(last.buf, data, len(data))
