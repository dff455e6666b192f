#!/usr/bin/python3
"""Time per SMBus.read_byte_data call on a simulated adapter.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/bench_smbus.py

Two goals, each checked on the median of several rounds:
- no report delay: the software's own time per call (Python layer,
  bindings, engine, HID report layer and simulator) at most 20 us;
- 1 ms per report, as full-speed USB frames: at most 1.05 times the frame
  limit of a register read, whose two answer reports take 2 ms.
Exits with 1 when a goal is missed.
"""

import statistics
import sys
import time

import pellan_i2c.sim as sim

SERIAL = "OR3-100042"
LM75 = 0x48


def per_call(bus, calls, rounds):
    """The median over rounds of the mean time per call, in seconds."""
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            bus.read_byte_data(LM75, 1)
        times.append((time.perf_counter() - start) / calls)
    return statistics.median(times)


def main():
    failed = False
    with sim.SMBus(SERIAL) as bus:
        per_call(bus, 1000, 1)  # warm-up
        overhead = per_call(bus, 20000, 7)
        goal = 20e-6
        print(f"read_byte_data, no delay:  {overhead * 1e6:8.2f} us per call (goal <= {goal * 1e6:.0f} us)")
        failed |= overhead > goal

        sim.set_report_delay(0.001, SERIAL)
        framed = per_call(bus, 100, 5)
        limit = 2 * 0.001
        print(
            f"read_byte_data, 1 ms/report: {framed * 1e3:6.3f} ms per call = {framed / limit:.3f} x the "
            f"frame limit of {limit * 1e3:.0f} ms (goal <= 1.05 x)"
        )
        failed |= framed > 1.05 * limit
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
