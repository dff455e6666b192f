"""A simulated MCP9808 written in Python, and a smbus2 driver run on it.

From the source tree, after building:
    PYTHONPATH=build/python:python/examples /usr/bin/python3 python/examples/mcp9808_target.py
"""

import pellan_i2c.sim as sim


class Mcp9808Target:
    """The sensor's registers as the bus sees them: a write's first byte
    selects a register, two more bytes (high first) set it, a read returns
    it. Unknown registers are refused with a NACK."""

    def __init__(self, celsius: float) -> None:
        raw = round(celsius * 16) & 0x1FFF
        self.registers = {0x01: 0x0000, 0x05: raw, 0x06: 0x0054, 0x07: 0x0400}
        self.pointer = 0x05

    def write(self, data: bytes) -> None:
        if not data:
            return  # an address probe: acknowledged
        if data[0] not in self.registers:
            raise sim.Nack
        self.pointer = data[0]
        if len(data) == 3 and self.pointer == 0x01:
            self.registers[0x01] = data[1] << 8 | data[2]

    def read(self, count: int) -> bytes:
        value = self.registers[self.pointer].to_bytes(2, "big")
        return (value * count)[:count]


if __name__ == "__main__":
    from mcp9808_driver import Mcp9808

    sim.attach(0x18, Mcp9808Target(21.25), "OR3-100042")
    with sim.SMBus("OR3-100042") as bus:
        sensor = Mcp9808(bus)
        print("scan:", [hex(a) for a in bus.adapter.scan()])
        print("temperature: %.2f C" % sensor.temperature())
        print("one transaction: %.2f C" % sensor.temperature_rdwr())
