"""Two Python threads on one bus, and the GIL released while the adapter works."""

import threading

from conftest import OR3

import pellan_i2c.sim as sim

BOUND = 60  # seconds; far above what a loaded machine needs


class Registers:
    """Each register reads as its own number: an interleaved register read
    would return another thread's register."""

    def __init__(self):
        self.pointer = 0

    def write(self, data):
        if data:
            self.pointer = data[0]

    def read(self, count):
        return bytes((self.pointer,)) * count


def test_two_threads_share_one_bus():
    sim.attach(0x40, Registers(), OR3)
    bus = sim.SMBus(OR3)
    errors = []

    def worker(register):
        try:
            for _ in range(300):
                assert bus.read_byte_data(0x40, register) == register
                assert bus.read_i2c_block_data(0x40, register, 5) == [register] * 5
        except BaseException as error:  # noqa: BLE001 (reported below)
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(r,)) for r in (0x11, 0x22)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(BOUND)
        assert not thread.is_alive()
    bus.close()
    assert errors == []


def test_the_gil_is_free_while_the_adapter_waits():
    # The adapter never answers: the call waits for the engine's timeout,
    # during which this thread must run.
    bus = sim.SMBus(OR3)
    sim.set_fault("no_answer", count=1)
    sim.record_reports(serial=OR3)
    outcome = []

    def call():
        try:
            bus.read_byte(0x48)
        except TimeoutError:
            outcome.append("timeout")

    thread = threading.Thread(target=call)
    thread.start()
    seen_inside = False
    while thread.is_alive():
        # A request on record and the call still running: this thread ran
        # inside the call.
        if sim.take_reports(OR3) and thread.is_alive():
            seen_inside = True
        thread.join(0.01)
    assert seen_inside
    assert outcome == ["timeout"]
    bus.close()
