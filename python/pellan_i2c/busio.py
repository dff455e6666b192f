"""CircuitPython's busio.I2C on the system's Orvane adapters."""

from pellan_i2c._busio import I2CBase
from pellan_i2c._core import Adapter

__all__ = ["I2C"]


class I2C(I2CBase):
    """busio.I2C over an Orvane adapter, for drivers written for CircuitPython.


    serial is the serial number of the adapter to open (None: the only
    attached one) or an open Adapter, which the object then shares and leaves
    open. As in CircuitPython, the transfers need the lock of try_lock(),
    which every busio.I2C on the same adapter shares, and buffers take start
    and end bounds instead of being copied: bytes outside the slice stay
    untouched. timeout (CircuitPython's clock-stretching limit in
    microseconds) is accepted and has no effect: the adapter waits up to 1 s
    for each of its answers. A NACK raises OSError; an
    adafruit_bus_device.i2c_device.I2CDevice runs on it unchanged.
    """

    _adapter_type = Adapter
