#!/usr/bin/python3
"""Drives the demo program through the accessibility bus, as a screen reader
would.

Starts its own X server, session bus and AT-SPI bus in a private home, runs
the demo program on them, and then, through the AT-SPI interfaces alone:
checks that every showing control of the main window and of its dialogs has
a name, connects through the device dialog, types an address, reads, and
finds the new row in the output table; a failed read's row says so in words;
watches the light sensor and checks the watch dock's controls and its value;
opens a register map in the Registers view, reads it and picks a field.

The demo program starts only when the X server, the session bus and the
accessibility bus (with its registry) each have answered a client.

    tst_atspi.py <pellan-i2c-demo>

Exits with 77 (skipped) when Xvfb, D-Bus or the AT-SPI client is missing.
"""

import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import warnings

SKIP = 77
# Bound of every wait for a condition: only a fault reaches it, also on a
# loaded machine with a sanitizer build.
WAIT_S = 60
# Calls answer at once, unless the program is busy: a bound that only a hung
# program reaches, also on a loaded machine with a sanitizer build.
CALL_TIMEOUT_MS = 30000
# An action that opens a modal dialog answers only when the dialog closes.
ACTION_TIMEOUT_MS = 1000
# Room for "/at-spi/bus_<display>" within a socket path's 108 bytes.
RUNTIME_PATH_MAX = 80
BUS_SERVICE = "/usr/share/dbus-1/services/org.a11y.Bus.service"

# A map of the demo's LM75, opened by hand in the Registers view.
SENSOR_MAP = """{
    "version": 1, "device": "SENSOR",
    "registers": [
        {"name": "TEMP", "address": 0, "bytes": 2, "access": "r",
         "fields": [{"name": "T", "bits": "15:7", "signed": true, "scale": 0.5, "unit": "C"}]},
        {"name": "CONF", "address": 1,
         "fields": [{"name": "F_QUE", "bits": "4:3",
                     "values": {"0": "1 fault", "1": "2 faults", "2": "4 faults", "3": "6 faults"}}]}
    ]
}
"""

Atspi = None
Gio = None
GLib = None


class Failure(Exception):
    pass


def missing_tools():
    global Atspi, Gio, GLib
    missing = [tool for tool in ("Xvfb", "dbus-daemon") if not shutil.which(tool)]
    if not os.path.exists(BUS_SERVICE):
        missing.append("at-spi2-core")
    try:
        import gi

        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi as atspi, Gio as gio, GLib as glib

        Atspi, Gio, GLib = atspi, gio, glib
    except (ImportError, ValueError):
        missing.append("python3-gi with gir1.2-atspi-2.0")
    return missing


def wait_for(what, probe, timeout=WAIT_S):
    """Polls probe until it returns something true, and returns that."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            result = probe()
        except GLib.Error:
            result = None  # the object went away or is busy; ask again
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(0.1)


def wait_until_ready(server, probe):
    """Retries probe, a client of the server, until it succeeds; the failure
    names the server and what its last attempt met."""
    deadline = time.monotonic() + WAIT_S
    while True:
        try:
            return probe()
        except (OSError, GLib.Error, Failure) as error:
            if time.monotonic() > deadline:
                raise Failure("%s did not accept clients within %d s: %s" % (server, WAIT_S, error))
        time.sleep(0.1)


def x_connection(display):
    """Opens a connection to the X server and reads the answer to its set-up,
    as every X client does first; raises when the server does not accept."""
    number = display.lstrip(":")
    error = None
    # The abstract socket first, as libxcb does, then the one in the file system.
    for path in ("\0/tmp/.X11-unix/X" + number, "/tmp/.X11-unix/X" + number):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
            connection.settimeout(CALL_TIMEOUT_MS / 1000)
            try:
                connection.connect(path)
            except OSError as refused:
                error = refused
                continue
            # Little-endian, protocol 11.0, no authorisation.
            connection.sendall(struct.pack("<BxHHHHxx", ord("l"), 11, 0, 0, 0))
            status = connection.recv(1)
            # 1: success; 0: refused, 2: needs authorisation; nothing: closed.
            if status != b"\x01":
                raise Failure("the connection set-up ended with %r" % status)
            return True
    raise error


def bus_call(connection, name, path, interface, method, reply="()"):
    return connection.call_sync(name, path, interface, method, None, GLib.VariantType(reply),
                                Gio.DBusCallFlags.NONE, CALL_TIMEOUT_MS, None)


def bus_connection(address):
    """Connects to the message bus at the address and asks it for its id;
    raises when the bus does not answer."""
    connection = Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
    try:
        bus_call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus", "GetId", "(s)")
    except GLib.Error:
        close(connection)
        raise
    return connection


def close(connection):
    try:
        connection.close_sync(None)
    except GLib.Error:
        pass  # already closed by the other end


class Session:
    """X server, session bus and demo program in a private home; everything
    started here is stopped here, by process id."""

    def __init__(self, demo, home):
        self.demo = demo
        self.home = home
        self.processes = []
        self.short_runtime = None
        self.session_bus = None
        self.accessibility_bus = None

    def __enter__(self):
        try:
            self._set_up()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _set_up(self):
        folders = {
            "HOME": self.home,
            "XDG_CONFIG_HOME": self.home + "/.config",
            "XDG_DATA_HOME": self.home + "/.local/share",
            "XDG_CACHE_HOME": self.home + "/.cache",
            "XDG_DOCUMENTS_DIR": self.home + "/Documents",
            "XDG_RUNTIME_DIR": self.home + "/.runtime",
        }
        if len(folders["XDG_RUNTIME_DIR"]) > RUNTIME_PATH_MAX:
            # Sockets live there, and socket paths are short.
            folders["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="pellan-atspi-", dir="/tmp")
            self.short_runtime = folders["XDG_RUNTIME_DIR"]
        for path in folders.values():
            os.makedirs(path, mode=0o700, exist_ok=True)
        os.environ.update(folders)
        # Never the user's desktop, bus or accessibility bus.
        for name in ("AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_PID"):
            os.environ.pop(name, None)
        os.environ["GSETTINGS_BACKEND"] = "memory"
        os.environ["DISPLAY"] = self._start_x_server()
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = self._start_bus()
        self._start_accessibility_bus()

        env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_ACCESSIBILITY="1",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        self.app_process = self._start([self.demo], env=env)

    def __exit__(self, *exc):
        for bus in (self.accessibility_bus, self.session_bus):
            if bus is not None:
                close(bus)
        for process in reversed(self.processes):
            try:
                # The bus leads a process group of its own that holds what it
                # started: the accessibility bus and its registry.
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        if self.short_runtime:
            shutil.rmtree(self.short_runtime, ignore_errors=True)
        return False

    def _start(self, command, **kwargs):
        process = subprocess.Popen(command, start_new_session=True, **kwargs)
        self.processes.append(process)
        return process

    def _start_x_server(self):
        # Without -noreset the server resets whenever its last client leaves,
        # and drops the connections still in their set-up: the short looks of
        # libatspi and of the accessibility bus launcher at the root window
        # would take the demo program's connection with them.
        read_end, write_end = os.pipe()
        self._start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                     "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,),
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            while not number.endswith(b"\n"):
                if not select.select([pipe], [], [], WAIT_S)[0]:
                    raise Failure("Xvfb gave no display number")
                chunk = pipe.read(16)
                if not chunk:
                    raise Failure("Xvfb ended at start-up")
                number += chunk
        display = ":" + number.decode().strip()
        wait_until_ready("the X server " + display, lambda: x_connection(display))
        return display

    def _start_bus(self):
        bus = self._start(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if not select.select([bus.stdout], [], [], WAIT_S)[0]:
            raise Failure("dbus-daemon gave no address")
        address = bus.stdout.readline().strip()
        if not address:
            raise Failure("dbus-daemon ended at start-up")
        self.session_bus = wait_until_ready("the session bus", lambda: bus_connection(address))
        return address

    def _start_accessibility_bus(self):
        """Starts the accessibility bus through the session bus, as the demo
        program finds it, and its registry, which applications join."""
        def start():
            address = bus_call(self.session_bus, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                               "GetAddress", "(s)").unpack()[0]
            bus = bus_connection(address)
            try:
                # Started on demand by the bus, like the launcher.
                bus_call(bus, "org.a11y.atspi.Registry", "/org/a11y/atspi/registry",
                         "org.freedesktop.DBus.Peer", "Ping")
            except GLib.Error:
                close(bus)
                raise
            return bus

        self.accessibility_bus = wait_until_ready("the accessibility bus", start)

    def not_ready(self):
        """Asks each server once more; names those that no longer answer."""
        display = os.environ["DISPLAY"]
        checks = (("the X server " + display, lambda: x_connection(display)),
                  ("the session bus", lambda: close(
                      bus_connection(os.environ["DBUS_SESSION_BUS_ADDRESS"]))),
                  ("the accessibility bus", lambda: bus_call(
                      self.accessibility_bus, "org.a11y.atspi.Registry",
                      "/org/a11y/atspi/registry", "org.freedesktop.DBus.Peer", "Ping")))
        failed = []
        for server, probe in checks:
            try:
                probe()
            except (OSError, GLib.Error, Failure) as error:
                failed.append("%s (%s)" % (server, error))
        return failed


# ---- Walking the tree -------------------------------------------------------

def children(accessible):
    count = accessible.get_child_count()
    for index in range(count):
        child = accessible.get_child_at_index(index)
        if child is not None:
            yield child


def descendants(accessible):
    for child in children(accessible):
        yield child
        # Cells and items of views are content, not controls.
        if child.get_role() not in VIEW_ROLES:
            yield from descendants(child)


def has_state(accessible, state):
    return accessible.get_state_set().contains(state)


def find(root, role, name, showing=True):
    for accessible in descendants(root):
        if accessible.get_role() == role and accessible.get_name() == name and (
                not showing or has_state(accessible, Atspi.StateType.SHOWING)):
            return accessible
    return None


def describe(accessible):
    return "%s %r" % (accessible.get_role_name(), accessible.get_name())


def is_control(accessible):
    if not has_state(accessible, Atspi.StateType.SHOWING):
        return False
    role = accessible.get_role()
    if role in ITEM_ROLES:
        return False
    return role in CONTROL_ROLES or has_state(accessible, Atspi.StateType.FOCUSABLE)


def check_names(window, where, report):
    """Adds every showing control of the window to the report; returns the
    unnamed ones."""
    unnamed = []
    for accessible in descendants(window):
        if not is_control(accessible):
            continue
        report.append("%s: %s" % (where, describe(accessible)))
        if not accessible.get_name().strip():
            unnamed.append("%s: %s" % (where, describe(accessible)))
    return unnamed


# ---- Acting -----------------------------------------------------------------

def press(accessible):
    """Runs the control's default action. An action that opens a modal
    dialog does not answer until the dialog closes: the call is given up
    after a short time, and the dialog is driven through its own tree."""
    with warnings.catch_warnings():
        # The successor, Action.get_name, is hidden behind Accessible.get_name.
        warnings.simplefilter("ignore", DeprecationWarning)
        names = [accessible.get_action_name(i).lower()
                 for i in range(accessible.get_n_actions())]
    if not names:
        raise Failure(describe(accessible) + " has no action")
    for wanted in ("press", "click", "activate", "toggle"):
        if wanted in names:
            index = names.index(wanted)
            break
    else:
        index = 0
    Atspi.set_timeout(ACTION_TIMEOUT_MS, -1)
    try:
        accessible.do_action(index)
    except GLib.Error as error:
        if "Timeout" not in error.message and "timeout" not in error.message:
            raise
    finally:
        Atspi.set_timeout(CALL_TIMEOUT_MS, -1)


def top_window(app, role, name):
    Atspi.Accessible.clear_cache(app)
    for window in children(app):
        if window.get_role() == role and window.get_name() == name and has_state(
                window, Atspi.StateType.SHOWING):
            return window
    return None


def open_dialog(app, opener, title):
    press(opener)
    return wait_for("the dialog " + repr(title),
                    lambda: top_window(app, Atspi.Role.DIALOG, title))


def close_dialog(app, dialog, title, button):
    press(wait_for(repr(button) + " in " + repr(title),
                   lambda: find(dialog, Atspi.Role.PUSH_BUTTON, button)))
    wait_for(repr(title) + " to close",
             lambda: top_window(app, Atspi.Role.DIALOG, title) is None)


def run(session):
    Atspi.init()
    # -1: no longer timeouts for a program that has just started, which
    # would hold an action that opens a modal dialog for that long.
    Atspi.set_timeout(CALL_TIMEOUT_MS, -1)

    def the_app():
        desktop = Atspi.get_desktop(0)
        Atspi.Accessible.clear_cache(desktop)
        for app in children(desktop):
            if app.get_process_id() == session.app_process.pid and app.get_child_count() > 0:
                return app
        if session.app_process.poll() is not None:
            failed = session.not_ready()
            raise Failure("the demo program ended with %d; %s" % (
                session.app_process.returncode,
                "not ready: " + ", ".join(failed) if failed else
                "the X server, the session bus and the accessibility bus all answer"))
        return None

    app = wait_for("the demo program on the accessibility bus", the_app)
    # The tree changes under the test: nothing is taken from a cache.
    Atspi.Accessible.set_cache_mask(app, Atspi.Cache.NONE)
    main = wait_for("the main window",
                    lambda: top_window(app, Atspi.Role.FRAME, "Orvane Pellan I2C"))

    report = []
    unnamed = check_names(main, "main window", report)

    dialog = open_dialog(app, find(main, Atspi.Role.PUSH_BUTTON, "Connect"), "Select device")
    unnamed += check_names(dialog, "device dialog", report)
    close_dialog(app, dialog, "Select device", "OK")
    read_button = find(main, Atspi.Role.PUSH_BUTTON, "Read")
    wait_for("the connection (Read enabled)",
             lambda: has_state(read_button, Atspi.StateType.ENABLED))

    address = find(main, Atspi.Role.TEXT, "I2C Device:")
    if address is None:
        raise Failure("no edit field named 'I2C Device:'")
    address.set_text_contents("0x23")
    wait_for("the address to be typed", lambda: address.get_text(0, -1) == "0x23")
    count = find(main, Atspi.Role.SPIN_BUTTON, "Read Bytes")
    count.set_current_value(2)
    wait_for("the byte count", lambda: count.get_current_value() == 2)

    table = find(main, Atspi.Role.TABLE, "Output")
    rows_before = table.get_n_rows()
    press(read_button)
    wait_for("a new row in the output table", lambda: table.get_n_rows() == rows_before + 1)
    cells = [table.get_accessible_at(rows_before, column) for column in range(3)]
    row = [cell.get_name() for cell in cells]
    print("new row: %r" % (row,))
    if row[0] != "Read 0x23" or not re.fullmatch(r"0x[0-9A-F]{2}", row[1]) or \
            not re.fullmatch(r"[0-9A-F]{2} [0-9A-F]{2}", row[2]) or cells[0].get_description():
        raise Failure("unexpected row %r" % (row,))

    # No device answers at 0x30: the failed row says so in words.
    address.set_text_contents("0x30")
    wait_for("the second address", lambda: address.get_text(0, -1) == "0x30")
    press(read_button)
    wait_for("the failed row", lambda: table.get_n_rows() == rows_before + 2)
    failed = table.get_accessible_at(rows_before + 1, 1)
    print("failed row: %r, described as %r" % (failed.get_name(), failed.get_description()))
    if failed.get_description() != "Error":
        raise Failure("the failed row is not described as an error")

    # Watching the light sensor opens the Watch dock: its controls are named,
    # and the latest value is read out as text.
    address.set_text_contents("0x23")
    wait_for("the address of the light sensor", lambda: address.get_text(0, -1) == "0x23")
    press(find(main, Atspi.Role.PUSH_BUTTON, "Watch"))
    pause = wait_for("the watch to run", lambda: find(main, Atspi.Role.PUSH_BUTTON, "Pause"))
    value = wait_for("a watched value", lambda: next(
        (label for label in descendants(main) if label.get_role() == Atspi.Role.LABEL
         and label.get_description() == "Latest value"
         and re.fullmatch(r"-?[0-9]+\.[0-9]{2}", label.get_name())), None))
    print("watched value: %r" % value.get_name())
    unnamed += check_names(main, "main window with the watch", report)
    press(pause)
    wait_for("the watch to pause", lambda: find(main, Atspi.Role.PUSH_BUTTON, "Start"))
    # The status label's name follows its text; a blank one has no name.
    wait_for("the pause in the status label's name",
             lambda: find(main, Atspi.Role.LABEL, "Paused."))
    blank = [describe(label) for label in descendants(main)
             if label.get_role() == Atspi.Role.LABEL and label.get_name()
             and not label.get_name().strip()]
    if blank:
        raise Failure("labels named with blank text:\n  " + "\n  ".join(blank))
    if table.get_n_rows() != rows_before + 2:
        raise Failure("the watch added rows to the output table")

    # The Registers view (View > Registers) on a map opened from a file, at
    # the LM75's address: Read All names its rows with the chip and the
    # registers, and a field chosen in the tree gets a named control for its
    # new value.
    map_path = os.path.join(os.environ["HOME"], "sensor.i2cmap")
    with open(map_path, "w", encoding="utf-8") as map_file:
        map_file.write(SENSOR_MAP)
    press(find(main, Atspi.Role.MENU_ITEM, "Registers", showing=False))
    open_map = wait_for("the Registers view",
                        lambda: find(main, Atspi.Role.PUSH_BUTTON, "Open..."))
    unnamed += check_names(main, "main window with the Registers view", report)
    dialog = open_dialog(app, open_map, "Open Register Map")
    file_name = wait_for("the file name field",
                         lambda: find(dialog, Atspi.Role.TEXT, "File name:"))
    file_name.set_text_contents(map_path)
    wait_for("the file name", lambda: file_name.get_text(0, -1) == map_path)
    close_dialog(app, dialog, "Open Register Map", "Open")
    address.set_text_contents("0x48")
    wait_for("the address of the LM75", lambda: address.get_text(0, -1) == "0x48")
    press(wait_for("Read All enabled", lambda: next(
        (button for button in [find(main, Atspi.Role.PUSH_BUTTON, "Read All")]
         if button is not None and has_state(button, Atspi.StateType.ENABLED)), None)))
    wait_for("the rows of Read All", lambda: table.get_n_rows() == rows_before + 4)
    rows = [table.get_accessible_at(rows_before + 2 + i, 0).get_name() for i in range(2)]
    print("Read All rows: %r" % (rows,))
    if rows != ["SENSOR: Read TEMP", "SENSOR: Read CONF"]:
        raise Failure("unexpected rows of Read All %r" % (rows,))
    tree = find(main, Atspi.Role.TREE, "Registers") or find(main, Atspi.Role.TREE_TABLE,
                                                             "Registers")
    if tree is None:
        raise Failure("no tree named 'Registers'")
    row = next((row for row in range(tree.get_n_rows())
                if tree.get_accessible_at(row, 0).get_name() == "F_QUE"), None)
    if row is None:
        raise Failure("no row F_QUE in the registers tree")
    tree.add_row_selection(row)
    # A list box is read out with its value, and labelled by its caption.
    wait_for("the control of F_QUE", lambda: find(main, Atspi.Role.COMBO_BOX, "1 fault"))
    wait_for("the caption of F_QUE", lambda: find(main, Atspi.Role.LABEL, "CONF.F_QUE (bits 4:3):"))
    unnamed += check_names(main, "main window, a field of the Registers view", report)

    # The filter's clear button shows only while there is text to clear.
    projects_filter = find(main, Atspi.Role.TEXT, "Filter")
    projects_filter.set_text_contents("BH")
    wait_for("the filter's clear button", lambda: any(
        is_control(child) for child in children(projects_filter)))
    unnamed += check_names(projects_filter, "main window, filter", report)
    projects_filter.set_text_contents("")

    # The dialogs that a menu entry and a tool button open.
    about = find(main, Atspi.Role.MENU_ITEM, "About", showing=False)
    dialog = open_dialog(app, about, "About Orvane Pellan I2C")
    unnamed += check_names(dialog, "About dialog", report)
    close_dialog(app, dialog, "About Orvane Pellan I2C", "Close")
    dialog = open_dialog(app, find(main, Atspi.Role.PUSH_BUTTON, "New device"), "New Device")
    unnamed += check_names(dialog, "device properties dialog", report)
    close_dialog(app, dialog, "New Device", "Cancel")

    for line in report:
        print("  " + line)
    print("controls checked: %d, unnamed: %d" % (len(report), len(unnamed)))
    if unnamed:
        raise Failure("controls without a name:\n  " + "\n  ".join(unnamed))


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    missing = missing_tools()
    if missing:
        print("skipped, missing: " + ", ".join(missing))
        return SKIP

    global CONTROL_ROLES, ITEM_ROLES, VIEW_ROLES
    R = Atspi.Role
    CONTROL_ROLES = {
        R.PUSH_BUTTON, R.TOGGLE_BUTTON, R.CHECK_BOX, R.RADIO_BUTTON, R.COMBO_BOX, R.TEXT,
        R.PASSWORD_TEXT, R.ENTRY, R.SPIN_BUTTON, R.SLIDER, R.SCROLL_BAR, R.TABLE, R.TREE,
        R.TREE_TABLE, R.LIST, R.LIST_BOX, R.MENU, R.MENU_ITEM, R.CHECK_MENU_ITEM,
        R.RADIO_MENU_ITEM, R.PAGE_TAB, R.LINK,
    }
    ITEM_ROLES = {
        R.TABLE_CELL, R.LIST_ITEM, R.TREE_ITEM, R.TABLE_COLUMN_HEADER, R.TABLE_ROW_HEADER,
        R.COLUMN_HEADER, R.ROW_HEADER,
    }
    VIEW_ROLES = {R.TABLE, R.TREE, R.TREE_TABLE, R.LIST, R.LIST_BOX}

    with tempfile.TemporaryDirectory(prefix="pellan-atspi-") as home:
        try:
            with Session(os.path.abspath(sys.argv[1]), home) as session:
                run(session)
        except Failure as failure:
            print("FAIL: %s" % failure)
            return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
