"""A driver for the MCP9808 temperature sensor, written for smbus2 as Linux
drivers are: it imports smbus2 and needs nothing but a bus object, so it
runs unchanged on pellan_i2c.SMBus and pellan_i2c.sim.SMBus.

Its bus is annotated with pellan_i2c.SMBusLike rather than smbus2.SMBus, so
that it type-checks with either; the import is for the type checker alone."""

from typing import TYPE_CHECKING

from smbus2 import i2c_msg

if TYPE_CHECKING:
    from pellan_i2c import SMBusLike

REG_CONFIG = 0x01
REG_TEMPERATURE = 0x05
REG_MANUFACTURER = 0x06
MANUFACTURER_ID = 0x0054
SHUTDOWN = 0x0100


class Mcp9808:
    def __init__(self, bus: "SMBusLike", address: int = 0x18) -> None:
        self.bus = bus
        self.address = address
        if self._read(REG_MANUFACTURER) != MANUFACTURER_ID:
            raise RuntimeError("no MCP9808 at 0x%02x" % address)

    def _read(self, register: int) -> int:
        # SMBus words are low byte first, the MCP9808 sends the high byte first.
        word = self.bus.read_word_data(self.address, register)
        return (word & 0xFF) << 8 | word >> 8

    def _write(self, register: int, value: int) -> None:
        self.bus.write_word_data(self.address, register, (value & 0xFF) << 8 | value >> 8)

    def shutdown(self, on: bool) -> None:
        config = self._read(REG_CONFIG)
        self._write(REG_CONFIG, config | SHUTDOWN if on else config & ~SHUTDOWN)

    @staticmethod
    def _celsius(raw: int) -> float:
        raw &= 0x1FFF
        return (raw - 0x2000 if raw & 0x1000 else raw) / 16

    def temperature(self) -> float:
        return self._celsius(self._read(REG_TEMPERATURE))

    def temperature_rdwr(self) -> float:
        """The same read as one combined transaction."""
        write = i2c_msg.write(self.address, [REG_TEMPERATURE])
        read = i2c_msg.read(self.address, 2)
        self.bus.i2c_rdwr(write, read)
        high, low = read.buf[0][0], read.buf[1][0]
        return self._celsius(high << 8 | low)
