"""One open adapter per serial number and process, shared by every object on it."""

import errno
import threading

import pytest
from conftest import OR3, OR5, OR7, run_script

import pellan_i2c.sim as sim

BOUND = 60  # seconds; far above what a loaded machine needs


class Registers:
    """Each register reads as its own number: a read that took another
    transaction's answer returns another register."""

    def __init__(self):
        self.pointer = 0

    def write(self, data):
        if data:
            self.pointer = data[0]

    def read(self, count):
        return bytes((self.pointer,)) * count


def test_two_opens_of_one_adapter_never_mix_their_data():
    sim.attach(0x40, Registers(), OR3)
    # USB-like answers leave time for the two threads to overlap.
    sim.set_report_delay(0.001)
    buses = {0x11: sim.SMBus(OR3), 0x22: sim.SMBus(OR3)}
    wrong = []

    def worker(register):
        for _ in range(150):
            value = buses[register].read_byte_data(0x40, register)
            if value != register:
                wrong.append(value)

    threads = [threading.Thread(target=worker, args=(r,)) for r in buses]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(BOUND)
        assert not thread.is_alive()
    assert wrong == []

    # Closing one leaves the other working: the adapter closes with the last.
    buses[0x22].close()
    assert buses[0x11].read_byte_data(0x40, 0x33) == 0x33
    buses[0x11].close()


@pytest.mark.parametrize(
    "open_other,close_other",
    [(sim.SMBus, lambda other: other.close()), (sim.busio.I2C, lambda other: other.deinit())],
    ids=["SMBus.close", "busio.I2C.deinit"],
)
def test_closing_one_object_leaves_the_others_open(open_other, close_other):
    with sim.SMBus(OR3) as first:
        close_other(open_other(OR3))
        assert first.read_byte_data(0x48, 1) == 0


@pytest.mark.parametrize(
    "serial,kwargs,held",
    [(OR3, {"speed": 400_000}, "100000 Hz"), (OR5, {"pull_ups": False}, "pull-ups on")],
    ids=["speed", "pull-ups"],
)
def test_other_settings_while_shared_are_busy_and_name_the_holder(serial, kwargs, held):
    with sim.SMBus(serial):
        with pytest.raises(OSError) as raised:
            sim.Adapter(serial, **kwargs)
    assert raised.value.errno == errno.EBUSY
    assert held in raised.value.strerror
    assert "SMBus opened at" in raised.value.strerror and "test_sessions.py" in raised.value.strerror
    # Once the holder closed, the other settings are free to have.
    with sim.Adapter(serial, **kwargs) as adapter:
        assert (adapter.speed, adapter.pull_ups) != (100_000, True)


def test_busio_lock_belongs_to_the_adapter():
    first, second = sim.busio.I2C(OR3), sim.busio.I2C(OR3)
    assert first.try_lock()
    assert not second.try_lock()
    second.unlock()  # not the holder: changes nothing
    assert not second.try_lock()
    first.deinit()  # releases the lock it held
    assert second.try_lock()
    assert not first.try_lock()
    second.deinit()
    assert not second.try_lock()


def test_closed_and_repr_never_wait_for_the_bus():
    # A transfer is inside a Python target until the main thread has read
    # closed and repr: if either waited for the transfer, neither would end.
    result = run_script(
        f"""
        import threading
        import pellan_i2c.sim as sim

        looked = threading.Event()
        inside = threading.Event()

        class Waiting:
            def write(self, data):
                inside.set()
                looked.wait()

            def read(self, count):
                return bytes(count)

        sim.attach(0x40, Waiting(), "{OR3}")
        adapter = sim.Adapter("{OR3}")
        worker = threading.Thread(target=adapter.write, args=(0x40, b"\\x01"))
        worker.start()
        inside.wait()
        print(adapter.closed, repr(adapter))
        looked.set()
        worker.join()
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("False <Adapter Orvane3 OR3-100042 at 100000 Hz>")


def test_repr_of_the_adapter_inside_its_own_target():
    result = run_script(
        f"""
        import pellan_i2c.sim as sim

        adapter = sim.Adapter("{OR3}")

        class Looking:
            def write(self, data):
                print(repr(adapter))

            def read(self, count):
                return bytes(count)

        sim.attach(0x40, Looking(), "{OR3}")
        adapter.write(0x40, b"\\x01")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "<Adapter Orvane3 OR3-100042 at 100000 Hz>\n"


def test_a_shared_adapter_object_counts_once():
    adapter = sim.Adapter(OR3)
    bus = sim.SMBus(adapter)
    bus.close()
    assert not adapter.closed
    assert adapter.write_read(0x48, b"\x01", 1) == b"\x00"
    adapter.close()
    assert adapter.closed and repr(adapter) == "<Adapter Orvane3 OR3-100042 (closed)>"
    with sim.Adapter(OR3) as again:
        assert again.write_read(0x48, b"\x01", 1) == b"\x00"


def test_opening_and_closing_one_adapter_from_two_threads():
    # The last object's close and another thread's open of the same adapter
    # meet often here: the new connection must never see the old one's
    # disconnect, nor wait for good.
    result = run_script(
        f"""
        import threading
        import pellan_i2c.sim as sim

        errors = []

        def churn():
            for _ in range(1500):
                try:
                    with sim.SMBus("{OR3}") as bus:
                        assert bus.read_byte_data(0x48, 1) == 0
                except OSError as error:
                    errors.append(error.errno)

        threads = [threading.Thread(target=churn) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(errors)
        """
    )
    assert (result.returncode, result.stdout) == (0, "[]\n"), result.stderr


# The main thread opens an adapter that another thread holds; a signal
# handler, which can run only inside the wait of that open, tells the other
# threads that the main thread is in there.
MAIN_WAITS = """
    import os, signal, threading
    import pellan_i2c.sim as sim

    waiting = threading.Event()
    runs = []
    opening = False

    def looked(signum, frame):
        if opening:
            runs.append(signum)
            if len(runs) == 2:  # one of them ran inside the open
                waiting.set()

    signal.signal(signal.SIGUSR1, looked)

    def nudge_until_waiting():
        for _ in range(6000):
            if waiting.wait(0.01):
                return
            os.kill(os.getpid(), signal.SIGUSR1)
    """

# ... while a reader holds OR3 in a long read.
READER_HOLDS_OR3 = f"""
    sim.set_report_delay(0.02, "{OR3}")
    old = sim.Adapter("{OR3}")
    sim.record_reports(serial="{OR3}")

    def read():
        try:
            old.read(0x50, 30000)
        except OSError as error:
            print("read", error.errno)

    reader = threading.Thread(target=read)
    reader.start()
    while not sim.take_reports("{OR3}"):
        threading.Event().wait(0.001)
    """


def test_threads_reopen_a_replugged_adapter():
    # Each re-plug leaves the old session to its last holder, as the others
    # open the new one.
    result = run_script(
        f"""
        import errno, threading
        import pellan_i2c.sim as sim

        reads = [0, 0, 0]
        wrong = []
        done = threading.Event()

        def worker(n):
            bus = sim.SMBus("{OR3}")
            while not done.is_set():
                try:
                    bus.read_word_data(0x48, 0)
                    reads[n] += 1
                except OSError as error:
                    if error.errno != errno.ENODEV:
                        wrong.append(error.errno)
                    bus.close()
                    while True:
                        try:
                            bus = sim.SMBus("{OR3}")
                            break
                        except OSError as error:
                            if error.errno != errno.ENODEV:
                                wrong.append(error.errno)
            bus.close()

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(3)]
        for thread in threads:
            thread.start()
        for _ in range(300):
            seen = list(reads)
            while any(now == then for now, then in zip(reads, seen)):
                threading.Event().wait(0.001)
            sim.reset()
        done.set()
        for thread in threads:
            thread.join()
        print(wrong)
        """
    )
    assert (result.returncode, result.stdout) == (0, "[]\n"), result.stderr


def test_a_wait_for_one_adapter_stalls_no_other():
    result = run_script(
        MAIN_WAITS
        + READER_HOLDS_OR3
        + f"""
    def elsewhere():
        nudge_until_waiting()
        with sim.Adapter("{OR7}") as other:
            other.read(0x48, 2)
        sim.list_adapters()
        print("reader still reading:", reader.is_alive())
        sim.unplug("{OR3}")

    threading.Thread(target=elsewhere).start()
    opening = True
    try:
        sim.SMBus("{OR3}")
    except OSError as error:
        print("open", error.errno)
    reader.join()
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == "reader still reading: True"


def test_an_adapter_dropped_inside_a_target_closes_after_the_call():
    # The garbage collector may drop an adapter's last reference inside a
    # target, whose thread holds the GIL and its own adapter.
    result = run_script(
        MAIN_WAITS
        + f"""
    held = [sim.Adapter("{OR7}")]
    inside = threading.Event()

    class Dropping:
        def write(self, data):
            pass

        def read(self, count):
            inside.set()
            waiting.wait()
            held.clear()
            return bytes(count)

    sim.attach(0x62, Dropping(), "{OR3}")
    first = sim.Adapter("{OR3}")
    target = threading.Thread(target=first.read, args=(0x62, 1))
    target.start()
    inside.wait()
    threading.Thread(target=nudge_until_waiting).start()
    opening = True
    second = sim.Adapter("{OR3}")
    target.join()
    # Closed: another speed is free to have.
    print(sim.Adapter("{OR7}", speed=400_000).speed)
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "400000\n"
