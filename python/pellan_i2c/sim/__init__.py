"""The pellan_i2c API on the demo's simulated adapters: no hardware needed.

Three simulated adapters, Orvane3 OR3-100042, Orvane5 OR5-200107 and Orvane7
OR7-300311, each with an MCP9808 temperature sensor at 0x18, a BH1750 light
sensor at 0x23, an INA219 current monitor at 0x40, an LM75 temperature sensor
at 0x48, a TMP102 temperature sensor at 0x49 and a 24C02 EEPROM at 0x50,
answer through the real protocol engine and HID report layer:

    import pellan_i2c.sim as sim
    bus = sim.SMBus("OR3-100042")
    bus.read_word_data(0x48, 0)

Devices written in Python join a bus with attach(address, target): the
adapter calls target.write(data) and target.read(count). set_report_delay()
slows the answers down like USB frames, set_fault() injects adapter faults,
unplug() pulls an adapter, reset() starts afresh, record_reports() and
take_reports() show what went to an adapter.

RegisterMap here finds the demo's shipped maps (LM75, TMP102, MCP9808,
INA219) wherever the package runs; Device is pellan_i2c.Device:

    dev = sim.Device(sim.SMBus("OR3-100042"), 0x48, sim.RegisterMap.load("LM75"))
    dev.get("TEMP.T")                       # 23.5
"""

from pellan_i2c import _registers
from pellan_i2c._registers import Device, ReadBackError, RegisterReading
from pellan_i2c._smbus import I2C_M_RD, I2C_SMBUS_BLOCK_MAX, I2cFunc, SMBusBase, SMBusLike, i2c_msg
from pellan_i2c.sim import busio
from pellan_i2c.sim._core import (
    Adapter,
    AdapterInfo,
    Nack,
    TargetError,
    attach,
    clear_faults,
    detach,
    list_adapters,
    record_reports,
    reset,
    serials,
    set_fault,
    set_report_delay,
    take_reports,
    unplug,
)

__all__ = [
    "Adapter",
    "AdapterInfo",
    "Device",
    "I2C_M_RD",
    "I2C_SMBUS_BLOCK_MAX",
    "I2cFunc",
    "Nack",
    "ReadBackError",
    "RegisterMap",
    "RegisterReading",
    "SMBus",
    "SMBusLike",
    "TargetError",
    "attach",
    "busio",
    "clear_faults",
    "detach",
    "i2c_msg",
    "list_adapters",
    "record_reports",
    "reset",
    "serials",
    "set_fault",
    "set_report_delay",
    "take_reports",
    "unplug",
]


class SMBus(SMBusBase):
    """pellan_i2c.SMBus on a simulated adapter: an smbus2.SMBus drop-in.


    bus is a simulated adapter's serial number or an open
    pellan_i2c.sim.Adapter; without it the bus stays closed until open().
    Everything else is as in pellan_i2c.SMBus.
    """

    _adapter_type = Adapter


class RegisterMap(_registers.RegisterMap):
    """pellan_i2c.RegisterMap, looking in the demo's shipped maps too.

    By name, a map is looked for in the user's maps folder, then in the build
    tree's copy of the shipped maps, then in the installed ones.
    """

    _home = "pellan_i2c.sim._core"
