"""Orvane USB-I2C adapters from Python.

Three ways to the bus, on the system's adapters here and on the demo's
simulated ones in pellan_i2c.sim:

- Adapter: the engine's own terms (write with start/stop modes, read,
  write_read with a repeated start, scan);
- SMBus: a drop-in for smbus2.SMBus, so that Linux sensor drivers run
  unchanged;
- busio.I2C: CircuitPython's busio.I2C protocol, for Adafruit's drivers.

On any of them, Device reads and writes a chip's registers and fields by
name, as a RegisterMap (an *.i2cmap file) describes them.

Failed transfers raise OSError with a Linux errno (EREMOTEIO for a NACK,
ETIMEDOUT, ENODEV for a lost adapter) and the adapter's own text.
"""

from pellan_i2c._core import Adapter, AdapterInfo, list_adapters
from pellan_i2c._registers import (
    Device,
    Field,
    FieldValue,
    Page,
    ReadBackError,
    Register,
    RegisterMap,
    RegisterReading,
)
from pellan_i2c._smbus import (
    I2C_M_RD,
    I2C_SMBUS_BLOCK_MAX,
    I2cFunc,
    MessageBuffer,
    SMBusBase,
    SMBusLike,
    i2c_msg,
)

__all__ = [
    "Adapter",
    "AdapterInfo",
    "Device",
    "Field",
    "FieldValue",
    "I2C_M_RD",
    "I2C_SMBUS_BLOCK_MAX",
    "I2cFunc",
    "MessageBuffer",
    "Page",
    "ReadBackError",
    "Register",
    "RegisterMap",
    "RegisterReading",
    "SMBus",
    "SMBusLike",
    "i2c_msg",
    "list_adapters",
]


class SMBus(SMBusBase):
    """An smbus2.SMBus over an Orvane adapter.


    bus is the serial number of the adapter to open or an open Adapter, which
    the bus then shares and leaves open; without it the bus stays closed until
    open(), as in smbus2 (open(None) takes the only attached adapter). The
    methods are smbus2 0.4's, with its names, argument order, defaults and
    return types; force is accepted and has no effect. funcs holds the
    I2C_FUNC bits of what the adapter can do, fd is None, and pec can only be
    0. Each call goes to the
    bus as the SMBus protocol puts it on the wire: a register read writes the
    register without a stop and reads after a repeated start; words are low
    byte first.

    Failed transfers raise OSError with the errno Linux gives: EREMOTEIO for
    a NACK, ETIMEDOUT when the adapter does not answer, ENODEV when it is
    gone, EAGAIN for lost arbitration. Bad arguments raise ValueError or
    TypeError. Two threads may share a bus, and buses on the same adapter
    share it: each call holds the adapter's lock.
    """

    _adapter_type = Adapter
