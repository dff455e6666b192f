#!/usr/bin/python3
"""Time per SMBus.read_byte_data call on a simulated adapter.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/bench_smbus.py

Two goals, each checked on the median of several rounds:
- no report delay: the software's own time per call (Python layer,
  bindings, engine, HID report layer and simulator) at most 20 us;
- 1 ms per report, as full-speed USB frames: at most 1.05 times the frame
  limit of a register read, whose two answer reports take 2 ms.
Exits with 1 when a goal is missed.

The simulator delivers a delayed report with a timed wait of the reading
thread, which the kernel lets end up to the thread's timer slack late (50 us
by default) to coalesce wake-ups; a real adapter's reports arrive by USB
interrupt instead. So the delayed case runs with a timer slack of 1 ns, and
is printed with the default slack as well, for comparison.
"""

import ctypes
import statistics
import sys
import time

import pellan_i2c.sim as sim

SERIAL = "OR3-100042"
LM75 = 0x48


PR_SET_TIMERSLACK = 29


def per_call(bus, calls, rounds):
    """The median over rounds of the mean time per call, in seconds."""
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            bus.read_byte_data(LM75, 1)
        times.append((time.perf_counter() - start) / calls)
    return statistics.median(times)


def median_call(bus, calls):
    """The median time of single calls, in seconds."""
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        bus.read_byte_data(LM75, 1)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def set_timer_slack(nanoseconds):
    return ctypes.CDLL(None, use_errno=True).prctl(PR_SET_TIMERSLACK, nanoseconds, 0, 0, 0) == 0


def main():
    failed = False
    with sim.SMBus(SERIAL) as bus:
        per_call(bus, 1000, 1)  # warm-up
        overhead = per_call(bus, 20000, 7)
        goal = 20e-6
        print(f"read_byte_data, no delay:  {overhead * 1e6:8.2f} us per call (goal <= {goal * 1e6:.0f} us)")
        failed |= overhead > goal

        sim.set_report_delay(0.001, SERIAL)
        limit = 2 * 0.001
        loose = median_call(bus, 300)
        print(
            f"read_byte_data, 1 ms/report, default timer slack: {loose * 1e3:6.3f} ms per call = "
            f"{loose / limit:.3f} x the frame limit of {limit * 1e3:.0f} ms"
        )
        if not set_timer_slack(1):
            print("bench_smbus.py: could not set the timer slack", file=sys.stderr)
            return 2
        framed = median_call(bus, 300)
        print(
            f"read_byte_data, 1 ms/report, 1 ns timer slack:    {framed * 1e3:6.3f} ms per call = "
            f"{framed / limit:.3f} x the frame limit (goal <= 1.05 x)"
        )
        failed |= framed > 1.05 * limit
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
