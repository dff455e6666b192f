"""The process around the adapters: exit, Ctrl+C, fork and a long run. Each
runs in a fresh interpreter under a watchdog."""

import pytest
from conftest import OR3, run_script


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
