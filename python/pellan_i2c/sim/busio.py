"""CircuitPython's busio.I2C on the demo's simulated adapters."""

from pellan_i2c._busio import I2CBase
from pellan_i2c.sim._core import Adapter

__all__ = ["I2C"]


class I2C(I2CBase):
    """pellan_i2c.busio.I2C on a simulated adapter.


    serial is a simulated adapter's serial number or an open
    pellan_i2c.sim.Adapter. Everything else is as in pellan_i2c.busio.I2C.
    """

    _adapter_type = Adapter
