"""The process around the adapters: exit, Ctrl+C, fork and a long run. Each
runs in a fresh interpreter under a watchdog."""

import textwrap

import pytest
from conftest import OR3, OR5, run_script


def test_exit_keeps_its_status_while_a_daemon_thread_is_inside_a_call():
    script = f"""
        import sys, threading
        import pellan_i2c.sim as sim

        sim.set_report_delay(0.001)
        bus = sim.SMBus("{OR3}")
        inside = threading.Event()

        def busy():
            while True:
                inside.set()
                bus.read_byte_data(0x48, 0)

        threading.Thread(target=busy, daemon=True).start()
        inside.wait()
        sys.exit(7)
        """
    for run in range(20):
        result = run_script(script)
        assert (run, result.returncode, result.stderr) == (run, 7, "")


def test_ctrl_c_ends_a_long_read_and_leaves_the_adapter_usable():
    # 1,057 answer reports at 0.1 s each: the read alone would outlast the
    # watchdog.
    result = run_script(
        f"""
        import os, signal, threading
        import pellan_i2c.sim as sim

        adapter = sim.Adapter("{OR3}")
        adapter.write(0x50, b"\\x10\\x01\\x02\\x03\\x04")
        sim.set_report_delay(0.1)
        sim.record_reports(serial="{OR3}")

        def interrupt():
            # Once the read request went out, the main thread is inside.
            while not sim.take_reports("{OR3}"):
                threading.Event().wait(0.001)
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=interrupt).start()
        try:
            adapter.read(0x50, 65535)
            print("read to the end")
        except KeyboardInterrupt:
            print("interrupted")
        sim.set_report_delay(0)
        print(adapter.write_read(0x50, b"\\x10", 4).hex())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["interrupted", "01020304"]


def test_fork_while_another_thread_is_inside_a_call():
    result = run_script(
        f"""
        import errno, os, threading
        import pellan_i2c.sim as sim

        sim.set_report_delay(0.001)
        bus = sim.SMBus("{OR3}")
        stop = threading.Event()
        busy = threading.Event()

        def spin():
            while not stop.is_set():
                assert bus.read_byte_data(0x48, 1) == 0
                busy.set()

        thread = threading.Thread(target=spin)
        thread.start()
        busy.wait()
        for _ in range(5):
            pid = os.fork()
            if pid == 0:
                status = 0
                try:
                    bus.read_byte_data(0x48, 1)
                    status = 2
                except OSError as error:
                    status = 0 if error.errno == errno.EBADF else 3
                with sim.SMBus("{OR3}") as own:
                    status = status or (own.read_byte_data(0x48, 1) != 0) * 4
                os._exit(status)
            print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
        stop.set()
        thread.join()
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0"] * 5


def test_memory_stays_flat_over_two_million_calls():
    result = run_script(
        f"""
        import pellan_i2c.sim as sim

        def resident():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * 4096

        adapter = sim.Adapter("{OR3}")
        for _ in range(20_000):
            adapter.read(0x48, 2)
        before = resident()
        for _ in range(2_000_000):
            adapter.read(0x48, 2)
        print(resident() - before)
        """,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    # The reports of 2 M calls alone would take 150 MB.
    assert int(result.stdout) < 8_000_000


@pytest.mark.parametrize("recorded", [99_999, 100_001])
def test_a_recording_keeps_the_last_reports(recorded):
    result = run_script(
        f"""
        import pellan_i2c.sim as sim

        adapter = sim.Adapter("{OR3}")
        sim.record_reports(serial="{OR3}")
        for _ in range({recorded}):
            adapter.read(0x48, 2)
        print(len(sim.take_reports("{OR3}")), len(sim.take_reports("{OR3}")))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(min(recorded, 100_000)), "0"]


def test_exit_gives_up_on_an_adapter_that_a_stuck_daemon_thread_holds():
    result = run_script(
        f"""
        import atexit, sys, threading

        def heater_off():
            try:
                bus.write_byte_data(0x50, 0x10, 0)
                print("written")
            except OSError as error:
                print("atexit", error.errno)

        atexit.register(heater_off)
        import pellan_i2c.sim as sim

        inside = threading.Event()

        class Stuck:
            def write(self, data):
                inside.set()
                threading.Event().wait()

            def read(self, count):
                return bytes(count)

        sim.attach(0x62, Stuck(), "{OR3}")
        bus = sim.SMBus("{OR3}")
        threading.Thread(target=bus.write_byte, args=(0x62, 1), daemon=True).start()
        inside.wait()
        sys.exit(3)
        """
    )
    assert (result.returncode, result.stdout, result.stderr) == (3, "atexit 16\n", "")


def test_clean_up_at_exit_may_use_the_adapters():
    # An atexit function registered before the import runs after the
    # package's own; __del__ runs as the interpreter tears the module down.
    result = run_script(
        f"""
        import atexit
        atexit.register(lambda: print("atexit before import", bus.read_byte_data(0x50, 0x10)))
        import pellan_i2c.sim as sim

        class Heater:
            def __init__(self, bus):
                self.bus = bus
                bus.write_byte_data(0x50, 0x10, 1)

            def __del__(self):
                self.bus.write_byte_data(0x50, 0x10, 0)
                print("__del__ wrote")

        bus = sim.SMBus("{OR3}")
        heater = Heater(sim.SMBus("{OR3}"))
        atexit.register(lambda: print("atexit after import", bus.read_byte_data(0x50, 0x10)))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["atexit after import 1", "atexit before import 1",
                                          "__del__ wrote"]


# A handler that puts the device in a safe state and exits, and a thread
# that sends its signal once when() is true.
SAFE_STATE = f"""
    import os, signal, sys, threading
    import pellan_i2c.sim as sim

    bus = sim.SMBus("{OR3}")
    bus.write_byte_data(0x50, 0x10, 1)

    def safe_state(signum, frame):
        bus.write_byte_data(0x50, 0x10, 0)
        print("handler", bus.read_byte_data(0x50, 0x10), flush=True)
        sys.exit(5)

    def send(number, when):
        signal.signal(number, safe_state)

        def wait_and_send():
            while not when():
                threading.Event().wait(0.001)
            os.kill(os.getpid(), number)

        threading.Thread(target=wait_and_send, daemon=True).start()

    sim.record_reports(serial="{OR3}")
    requested = lambda: sim.take_reports("{OR3}")
    """

SIGNAL_CASES = {
    # The handler runs once the read has returned, as after smbus2's ioctl.
    "terminated during a read": f"""
        sim.set_report_delay(0.002, "{OR3}")
        send(signal.SIGTERM, requested)
        bus.adapter.read(0x50, 60000)
        """,
    # Waiting holds nothing: the handler runs there, and waits its turn.
    "terminated while waiting for the adapter": f"""
        sim.set_report_delay(0.002, "{OR3}")
        threading.Thread(target=bus.adapter.read, args=(0x50, 60000), daemon=True).start()
        while not requested():
            threading.Event().wait(0.001)
        main = threading.main_thread().ident
        send(signal.SIGTERM, lambda: sys._current_frames()[main].f_code.co_name == "read_word_data")
        bus.read_word_data(0x48, 0)
        """,
    # Ctrl+C ends the transaction, 1,057 reports at 0.1 s; the handler runs
    # with the adapter free.
    "interrupted during a read": f"""
        sim.set_report_delay(0.1, "{OR3}")
        send(signal.SIGINT, requested)
        bus.adapter.read(0x50, 65535)
        """,
}


@pytest.mark.parametrize("case", SIGNAL_CASES)
def test_a_signal_handler_may_use_the_adapter(case):
    script = textwrap.dedent(SAFE_STATE) + textwrap.dedent(SIGNAL_CASES[case]) + 'print("returned")\n'
    result = run_script(script)
    assert (result.returncode, result.stdout, result.stderr) == (5, "handler 0\n", "")


def test_fork_while_a_python_target_runs_in_another_thread():
    result = run_script(
        f"""
        import os, threading
        import pellan_i2c.sim as sim

        inside, finish = threading.Event(), threading.Event()

        class Slow:
            def write(self, data):
                inside.set()
                finish.wait()

            def read(self, count):
                return bytes(count)

        sim.attach(0x62, Slow(), "{OR3}")
        bus = sim.SMBus("{OR3}")
        worker = threading.Thread(target=bus.write_byte, args=(0x62, 1))
        worker.start()
        inside.wait()
        pid = os.fork()
        if pid == 0:
            status = 2
            try:
                status = 0
                for serial in ("{OR3}", "{OR5}"):
                    with sim.SMBus(serial) as own:
                        status |= own.read_byte_data(0x48, 1) != 0
            finally:
                os._exit(status)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
        finish.set()
        worker.join()
        print(bus.read_byte_data(0x48, 1))
        """
    )
    assert (result.returncode, result.stdout) == (0, "0\n0\n"), result.stderr


def test_ctrl_c_in_a_child_forked_from_another_thread():
    # 1,057 reports at 0.1 s: only Ctrl+C ends the read within the watchdog.
    result = run_script(
        f"""
        import os, signal, threading
        import pellan_i2c.sim as sim

        def fork():
            pid = os.fork()
            if pid == 0:
                status = 2
                try:
                    adapter = sim.Adapter("{OR3}")
                    sim.set_report_delay(0.1)
                    sim.record_reports(serial="{OR3}")

                    def interrupt():
                        while not sim.take_reports("{OR3}"):
                            threading.Event().wait(0.001)
                        os.kill(os.getpid(), signal.SIGINT)

                    threading.Thread(target=interrupt).start()
                    try:
                        adapter.read(0x50, 65535)
                        status = 1
                    except KeyboardInterrupt:
                        status = 0
                finally:
                    os._exit(status)
            print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))

        thread = threading.Thread(target=fork)
        thread.start()
        thread.join()
        """
    )
    assert (result.returncode, result.stdout) == (0, "0\n"), result.stderr
