"""Checked by mypy --strict, not run: a driver annotated with SMBusLike takes
smbus2's bus and both of ours."""

import smbus2

import pellan_i2c
import pellan_i2c.sim


def temperature(bus: pellan_i2c.SMBusLike) -> int:
    return bus.read_word_data(0x18, 0x05)


def each_bus_type_checks() -> None:
    temperature(smbus2.SMBus(1))
    temperature(pellan_i2c.SMBus("OR3-100042"))
    temperature(pellan_i2c.sim.SMBus("OR3-100042"))
