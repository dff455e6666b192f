"""Register maps and the devices they describe, shared by the real and the simulated stack.

The map reader, the field codec and the read-modify-write are the engine's
(the window and the command-line tool run the same ones); this layer names
things for Python and picks the adapter of a bus.
"""

from __future__ import annotations

import errno
import importlib
import os
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Callable, ClassVar, Iterator, Self, Union, cast

from pellan_i2c._busio import I2CBase
from pellan_i2c._smbus import AdapterLike, SMBusBase, check_address

#: A decoded field: the number in the field's unit (an int where the field
#: holds whole numbers only), or the label of a labelled value.
FieldValue = Union[int, float, str]

# How often a Device looks whether another object let go of busio's lock.
_LOCK_POLL_SECONDS = 0.001


@dataclass(frozen=True, repr=False, eq=False)
class Field:
    """One bit field of a register, as its map describes it. Read-only."""

    #: The name, unique in its register.
    name: str
    #: The highest and lowest bit in the register.
    msb: int
    lsb: int
    #: Two's complement.
    signed: bool
    #: The value in the unit is bits x scale + offset.
    scale: float
    offset: float
    unit: str
    #: The decimals its texts show.
    decimals: int
    #: Labelled values: the field's own bits -> label.
    values: dict[int, str]
    #: "r", "w" or "rw".
    access: str
    #: What a written 1 or 0 does: "normal", "w1c", "w1s" or "w0c".
    write: str
    description: str

    @property
    def width(self) -> int:
        """The number of bits."""
        return self.msb - self.lsb + 1

    @property
    def mask(self) -> int:
        """The field's bits where they lie in the register."""
        return ((1 << self.width) - 1) << self.lsb

    def __repr__(self) -> str:
        bits = str(self.msb) if self.msb == self.lsb else f"{self.msb}:{self.lsb}"
        details = [self.access]
        if self.write != "normal":
            details.append(self.write)
        if self.signed:
            details.append("signed")
        if self.scale != 1:
            details.append(f"scale {self.scale:g}")
        if self.offset:
            details.append(f"offset {self.offset:g}")
        if self.unit:
            details.append(self.unit)
        labels = ", ".join(f"{value} {label!r}" for value, label in self.values.items())
        return f"<Field {self.name} {bits} {', '.join(details)}{': ' + labels if labels else ''}>"


@dataclass(frozen=True, repr=False, eq=False)
class Page:
    """A page of registers: selected by writing value to select ("REG" or "REG.FIELD")."""

    name: str
    select: str
    value: int

    def __repr__(self) -> str:
        return f"<Page {self.name}: {self.select} = {self.value:#x}>"


@dataclass(frozen=True, repr=False, eq=False)
class Register:
    """One register of a map. Read-only; register["FIELD"] gives a field without regard to case."""

    name: str
    address: int
    #: Its width, 1 to 4 bytes.
    bytes: int
    #: "r", "w" or "rw".
    access: str
    #: "big" or "little".
    byte_order: str
    #: The value after reset; None where the map gives none.
    reset: int | None
    #: The bits whose reset value is defined.
    reset_mask: int
    #: The chip changes it by itself.
    volatile: bool
    #: A read has a side effect: dump() leaves it out unless asked for.
    read_clears: bool
    #: The page selected before each access, or None.
    page: str | None
    description: str
    #: In the map's order; none for a register that is one unsigned value.
    fields: tuple[Field, ...]

    @property
    def readable(self) -> bool:
        return "r" in self.access

    @property
    def writable(self) -> bool:
        return "w" in self.access

    def __getitem__(self, name: str) -> Field:
        """The field of that name without regard to case; KeyError naming the fields there are."""
        if not isinstance(name, str):
            raise TypeError(f"a field name is a str, not {type(name).__name__}")
        wanted = name.strip().casefold()
        for candidate in self.fields:
            if candidate.name.casefold() == wanted:
                return candidate
        there = ", ".join(f.name for f in self.fields) or "none"
        raise KeyError(f"{self.name} has no field {name!r}; its fields: {there}")

    def __contains__(self, name: object) -> bool:
        try:
            self[name]  # type: ignore[index]
        except (KeyError, TypeError):
            return False
        return True

    def __repr__(self) -> str:
        width = f"{self.bytes} byte{'s' if self.bytes > 1 else ''}"
        flags = "".join(
            f", {flag}"
            for flag, on in (("volatile", self.volatile), ("read_clears", self.read_clears))
            if on
        )
        fields = ", ".join(f.name for f in self.fields)
        return (
            f"<Register {self.name} {self.address:#04x} {self.access}, {width}{flags}"
            f"{': ' + fields if fields else ''}>"
        )


class RegisterMap:
    """A register map (*.i2cmap): a chip's registers and bit fields by name.

    RegisterMap(name_or_path), or RegisterMap.load(name_or_path), loads a
    map file (a path, or a str with a / or ending in .i2cmap) or finds one by
    device name, without regard to case, in the maps folders (folders()): the
    user's maps folder beside the projects folder first, then the shipped
    maps. The window and the command-line tool read the same files with the
    same reader, so all three accept and refuse the same maps. A missing map
    raises FileNotFoundError (naming the maps there are), one that can not be
    used ValueError naming the place, e.g. "registers[3].fields[1].bits".

    Read-only: device, description, path, pointer_bytes, byte_order,
    auto_increment, increment_flag, pages, registers (arrays expanded, in the
    file's order) and warnings (unknown keys, which are ignored).
    map["TEMP"] gives a register without regard to case (KeyError with near
    names), len(), iter() and "in" work on the registers.
    """

    # The extension module whose reader loads the map and whose folders it looks in.
    _home: ClassVar[str] = "pellan_i2c._core"

    def __init__(self, name_or_path: str | os.PathLike[str]) -> None:
        home = importlib.import_module(self._home)
        if isinstance(name_or_path, str):
            core = home._load_register_map(name_or_path, False)
        elif isinstance(name_or_path, os.PathLike):
            core = home._load_register_map(os.fspath(name_or_path), True)
        else:
            raise TypeError(
                f"a map is a device name or a path, not {type(name_or_path).__name__}"
            )
        self._core = core
        self._cores: dict[str, Any] = {home.__name__: core}
        layout: dict[str, Any] = core.layout()
        self._layout = layout
        self._pages = tuple(Page(p["name"], p["select"], p["value"]) for p in layout["pages"])
        registers = []
        for entry in layout["registers"]:
            fields = tuple(
                Field(
                    name=f["name"],
                    msb=f["msb"],
                    lsb=f["lsb"],
                    signed=f["signed"],
                    scale=f["scale"],
                    offset=f["offset"],
                    unit=f["unit"],
                    decimals=f["decimals"],
                    values=dict(f["values"]),
                    access=f["access"],
                    write=f["write"],
                    description=f["description"],
                )
                for f in entry["fields"]
            )
            registers.append(
                Register(
                    name=entry["name"],
                    address=entry["address"],
                    bytes=entry["bytes"],
                    access=entry["access"],
                    byte_order=entry["byte_order"],
                    reset=entry["reset"],
                    reset_mask=entry["reset_mask"],
                    volatile=entry["volatile"],
                    read_clears=entry["read_clears"],
                    page=entry["page"],
                    description=entry["description"],
                    fields=fields,
                )
            )
        self._registers = tuple(registers)

    @classmethod
    def load(cls, name_or_path: str | os.PathLike[str]) -> Self:
        """The map in a file, or the one of that device name in the maps folders."""
        return cls(name_or_path)

    @classmethod
    def folders(cls) -> list[str]:
        """The folders a map is looked for in by name, in order; a map in an earlier one wins."""
        folders: list[str] = importlib.import_module(cls._home)._register_map_folders()
        return folders

    @property
    def device(self) -> str:
        return str(self._layout["device"])

    @property
    def description(self) -> str:
        return str(self._layout["description"])

    @property
    def path(self) -> str:
        """The file the map was loaded from."""
        return str(self._layout["path"])

    @property
    def pointer_bytes(self) -> int:
        """The register pointer's width, 1 to 4 bytes, sent most significant first."""
        return int(self._layout["pointer_bytes"])

    @property
    def byte_order(self) -> str:
        """The registers' byte order unless a register gives its own: "big" or "little"."""
        return str(self._layout["byte_order"])

    @property
    def auto_increment(self) -> bool:
        """One read may run across consecutive registers."""
        return bool(self._layout["auto_increment"])

    @property
    def increment_flag(self) -> int:
        """The bits ORed into the pointer of an access of more than one byte; 0 for none."""
        return int(self._layout["increment_flag"])

    @property
    def pages(self) -> tuple[Page, ...]:
        return self._pages

    @property
    def registers(self) -> tuple[Register, ...]:
        return self._registers

    @property
    def warnings(self) -> tuple[str, ...]:
        """The keys the reader does not know, with their places; they were ignored."""
        return tuple(self._layout["warnings"])

    def __getitem__(self, name: str) -> Register:
        reg, fld = self._find(name)
        if fld >= 0:
            raise KeyError(f"{name!r} names a field; give the register, {self._registers[reg].name!r}")
        return self._registers[reg]

    def __contains__(self, name: object) -> bool:
        if not isinstance(name, str):
            return False
        try:
            return self._find(name)[1] < 0
        except KeyError:
            return False

    def __iter__(self) -> Iterator[Register]:
        return iter(self._registers)

    def __len__(self) -> int:
        return len(self._registers)

    def __repr__(self) -> str:
        count = len(self._registers)
        return f"<RegisterMap {self.device}: {count} register{'s' if count != 1 else ''} from {self.path}>"

    # The engine's side of the map, for the package's own use.

    def _find(self, target: str) -> tuple[int, int]:
        if not isinstance(target, str):
            raise TypeError(f"a register or field name is a str, not {type(target).__name__}")
        reg, fld = self._core.find(target)
        return int(reg), int(fld)

    def _core_in(self, module: ModuleType) -> Any:
        """This map as the extension module of an adapter holds it (each module has its own reader)."""
        core = self._cores.get(module.__name__)
        if core is None:
            core = module._load_register_map(self.path, True)
            if core.layout() != self._layout:
                raise ValueError(f"{self.path} changed since the map was loaded; load it again")
            self._cores[module.__name__] = core
        return core

    def _reading(self, reg: int, raw: int) -> RegisterReading:
        raw_text, decoded = self._core.decode(reg, raw)
        return RegisterReading(
            register=self._registers[reg],
            raw=raw,
            raw_text=raw_text,
            fields={name: value for name, value, _, _ in decoded},
            texts={name: text for name, _, text, _ in decoded},
            bits={name: bits for name, _, _, bits in decoded},
        )


@dataclass(frozen=True, repr=False, eq=False)
class RegisterReading:
    """A register as read: its raw value and its fields decoded.

    fields maps each field's name to its value: the number in the field's
    unit (an int where the field holds whole numbers only) or the label of a
    labelled value, None for a write-only field (whose bits are no reading;
    its text is "write-only"); texts gives what the window shows ("23.5 °C"),
    bits the field's own bits. reading["T"] is fields["T"], without regard to
    case.
    """

    register: Register
    #: The register's value as one unsigned number.
    raw: int
    #: "0x1780": two hex digits per byte of the register.
    raw_text: str
    fields: dict[str, FieldValue | None]
    texts: dict[str, str]
    bits: dict[str, int]

    @property
    def name(self) -> str:
        return self.register.name

    @property
    def address(self) -> int:
        return self.register.address

    def __getitem__(self, name: str) -> FieldValue | None:
        return self.fields[self.register[name].name]

    def as_dict(self) -> dict[str, Any]:
        """The reading as the command-line tool's --json gives it:
        {"register": "TEMP", "address": 0, "raw": "0x1780", "fields": {"T": {"value": 23.5, "text": "23.5 °C"}}}.
        """
        return {
            "register": self.name,
            "address": self.address,
            "raw": self.raw_text,
            "fields": {
                name: {"value": value, "text": self.texts[name]} for name, value in self.fields.items()
            },
        }

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={text}" for name, text in self.texts.items())
        return f"<RegisterReading {self.name} {self.raw_text}{': ' + fields if fields else ''}>"


class ReadBackError(OSError):
    """A register read back other than written: the chip did not take the value.

    An OSError with errno EIO, so that code that handles failed transfers
    handles it too. register, written and read_back say what happened, fields
    names the fields (or the register, for a whole value) that differ.
    """

    def __init__(self, register: str, written: int, read_back: int, fields: list[str], width: int) -> None:
        digits = 2 * width
        super().__init__(
            errno.EIO,
            f"{register} read back 0x{read_back:0{digits}X} after 0x{written:0{digits}X} was "
            f"written: {', '.join(fields)} differ{'s' if len(fields) == 1 else ''}",
        )
        self.register = register
        self.written = written
        self.read_back = read_back
        self.fields = fields


class _Unset:
    def __repr__(self) -> str:
        return "<unset>"


_UNSET = _Unset()

Bus = Union[AdapterLike, SMBusBase, I2CBase]


def _module_of(adapter: object) -> ModuleType:
    """The extension module an adapter belongs to."""
    module = sys.modules.get(type(adapter).__module__)
    if module is None or getattr(module, "Adapter", None) is not type(adapter):
        raise TypeError(
            "a Device needs a bus of this package: an Adapter, SMBus or busio.I2C (or their "
            f"pellan_i2c.sim twins), not {type(adapter).__name__}"
        )
    return module


class Device:
    """A chip on a bus, its registers and fields by name as its register map gives them.

    Device(bus, address, map): bus is an Adapter, an SMBus or a busio.I2C
    (or their pellan_i2c.sim twins), address the chip's 7-bit address, map a
    RegisterMap or a name or path to load one from.

        dev = Device(pellan_i2c.sim.SMBus("OR3-100042"), 0x48, RegisterMap.load("LM75"))
        dev.read("TEMP")             # <RegisterReading TEMP 0x1780: T=23.5 °C>
        dev.get("TEMP.T")            # 23.5
        dev.set("CONF", F_QUE=2, OS_POL="active high")
        dev.set("TOS.T", 80.0)
        dev.dump()                   # {"TEMP": ..., "CONF": ..., ...}

    Names are matched without regard to case. An unknown name raises
    KeyError listing near names, a value a field can not hold (or that is not
    a multiple of its step), a read-only target or a write-only read
    ValueError, all before anything is sent. A failed transfer raises OSError
    with the errno of the adapter's other calls (EREMOTEIO for a NACK, ...),
    its message naming the step ("Read back CONF: NACK received").

    Each call holds the adapter for all its steps (page selection, the read,
    the write, the read-back), so no other object's transaction comes in
    between. On a busio.I2C it takes the bus lock for the call and releases
    it after, waiting while another object holds it, as an Adafruit
    I2CDevice does; if this busio.I2C holds the lock already, the call uses
    it and leaves it held.
    """

    def __init__(self, bus: Bus, address: int, map: RegisterMap | str | os.PathLike[str]) -> None:
        if not isinstance(bus, (SMBusBase, I2CBase)):
            _module_of(bus)
        self._bus = bus
        self._address = check_address(address)
        self._map = map if isinstance(map, RegisterMap) else RegisterMap.load(map)

    @property
    def bus(self) -> Bus:
        return self._bus

    @property
    def address(self) -> int:
        return self._address

    @property
    def map(self) -> RegisterMap:
        return self._map

    def __repr__(self) -> str:
        return f"<Device {self._map.device} at {self._address:#04x} on {self._bus!r}>"

    def read(self, name: str) -> RegisterReading:
        """Reads one register (its page selected first), also one whose read clears something."""
        return self._read(self._register(name))

    def get(self, target: str) -> FieldValue | RegisterReading:
        """Reads "NAME.FIELD" and returns the field's value (a number in its unit, or its
        label), or reads "NAME" and returns the register as read() does."""
        reg, fld = self._map._find(target)
        self._map._core.check_read(reg, fld)
        reading = self._read(reg)
        if fld < 0:
            return reading
        # Never None: check_read refused a write-only field.
        return cast(FieldValue, reading.fields[self._map.registers[reg].fields[fld].name])

    def set(
        self, target: str, value: FieldValue | _Unset = _UNSET, /, **fields: FieldValue
    ) -> RegisterReading | None:
        """One read-modify-write of a register, then a read-back where it is readable.

        set("TOS.T", 80.0) sets a field, set("CONF", F_QUE=2, OS_POL="active
        high") several fields of one register, set("CONF", 0x18) the whole
        register. A number is in the field's unit (80.0 for 80 °C); a str is
        a label (without regard to case), a number, or a raw value of the
        field's bits in 0x hex; True and False set a one-bit field (as the
        command line's true and false), and no other. The fields not named
        keep their bits, except that a 1 read from a w1c or w1s field is not
        written back, nor a 0 from a w0c field.

        Returns the register as read back, or None for a write-only register.
        A read-back whose checked bits differ from those written raises
        ReadBackError (an OSError, EIO) after the write.
        """
        if not isinstance(target, str):
            raise TypeError(f"a register or field name is a str, not {type(target).__name__}")
        if fields:
            if not isinstance(value, _Unset):
                raise TypeError("give a value, or fields as keywords, not both")
            reg, fld = self._map._find(target)
            register = self._map.registers[reg]
            if fld >= 0:
                raise TypeError(
                    f"fields as keywords go with a register: set({register.name!r}, "
                    f"{next(iter(fields))}=...)"
                )
            assignments = [(f"{register.name}.{name}", given) for name, given in fields.items()]
        elif isinstance(value, _Unset):
            raise TypeError("set() needs a value, or fields as keywords")
        else:
            assignments = [(target, value)]
        reg, plan = self._map._core.plan_write(assignments)
        address = self._address
        written, read_back, differ = self._run(
            lambda module, adapter, core: module._map_write(adapter, address, core, reg, plan)
        )
        if read_back is None:
            return None
        register = self._map.registers[reg]
        if differ:
            raise ReadBackError(register.name, written, read_back, list(differ), register.bytes)
        return self._map._reading(reg, read_back)

    def dump(self, *also: str) -> dict[str, RegisterReading]:
        """Reads every readable register, in map order, as the window's Read All does.

        Registers whose read clears something (read_clears) are left out
        unless named in also. One read runs across consecutive registers
        where the map allows it. If any register fails, the others are still
        read and then OSError names those that failed, with the errno of the
        first failure.
        """
        extra = [self._register(name) for name in also]
        address = self._address
        values = self._run(
            lambda module, adapter, core: module._map_read_all(adapter, address, core, extra)
        )
        readings = (self._map._reading(reg, raw) for reg, raw in values)
        return {reading.name: reading for reading in readings}

    def _register(self, name: str) -> int:
        reg, fld = self._map._find(name)
        if fld >= 0:
            register = self._map.registers[reg].name
            raise ValueError(
                f"{name!r} is a field: read the register, {register!r}, or get({name!r}) the field"
            )
        self._map._core.check_read(reg)
        return reg

    def _read(self, reg: int) -> RegisterReading:
        self._map._core.check_read(reg)
        address = self._address
        raw = self._run(lambda module, adapter, core: module._map_read(adapter, address, core, reg))
        return self._map._reading(reg, int(raw))

    def _run(self, work: Callable[[Any, Any, Any], Any]) -> Any:
        with self._held() as adapter:
            module = _module_of(adapter)
            return work(module, adapter, self._map._core_in(module))

    @contextmanager
    def _held(self) -> Iterator[AdapterLike]:
        """The bus's adapter, with busio's lock held where the bus has one."""
        bus = self._bus
        if isinstance(bus, SMBusBase):
            yield bus.adapter
        elif isinstance(bus, I2CBase):
            if bus._locked:
                yield bus._live()
                return
            while not bus.try_lock():
                bus._live()  # ValueError once deinitialized
                time.sleep(_LOCK_POLL_SECONDS)
            try:
                yield bus._live()
            finally:
                bus.unlock()
        else:
            yield bus
