#!/usr/bin/python3
"""The rig's Python calls, once through the system's hidapi and once on the
demo's simulated adapters; the rig compares the two answers.

    pythonchecks.py real|sim SERIAL

Prints one JSON object: the adapters listed, and what each call on the
adapter with the serial number returned or raised (errno and text).
"""

import json
import sys


def attempt(call):
    try:
        value = call()
    except OSError as error:
        return {"errno": error.errno, "message": str(error)}
    return list(value) if isinstance(value, (bytes, bytearray)) else value


def main():
    backend, serial = sys.argv[1:3]
    if backend == "sim":
        import pellan_i2c.sim as pellan_i2c
    else:
        import pellan_i2c

    result = {"adapters": [[info.model, info.serial, info.product, info.firmware, info.speeds,
                            info.pull_up_switch] for info in pellan_i2c.list_adapters()]}
    bus = pellan_i2c.SMBus(serial)
    try:
        result["temperature word"] = attempt(lambda: bus.read_word_data(0x48, 0))
        result["configuration"] = attempt(lambda: bus.read_byte_data(0x48, 1))
        result["configuration written"] = attempt(lambda: bus.write_byte_data(0x48, 1, 0x02))
        result["configuration read back"] = attempt(lambda: bus.read_byte_data(0x48, 1))
        result["block written"] = attempt(
            lambda: bus.write_i2c_block_data(0x50, 0x20, [0x12, 0x34, 0x56, 0x78]))
        result["block read back"] = attempt(lambda: bus.read_i2c_block_data(0x50, 0x20, 4))
        result["nothing at 0x30"] = attempt(lambda: bus.read_byte(0x30))
    finally:
        bus.close()
    with pellan_i2c.Adapter(serial) as adapter:
        result["scan"] = attempt(adapter.scan)
        result["write_read"] = attempt(lambda: adapter.write_read(0x48, b"\x00", 2))
        result["read 300"] = attempt(lambda: adapter.read(0x50, min(300, adapter.max_read)))
    print(json.dumps(result))


if __name__ == "__main__":
    main()
