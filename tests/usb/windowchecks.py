#!/usr/bin/python3
"""The window's checks in the rig: pellan-i2c, linked to the system's hidapi,
driven through the accessibility bus as a screen reader would (with the
helpers of tests/app/tst_atspi.py), on one virtual adapter.

    windowchecks.py PROGRAM CLI SERIAL UDC-FILE UDC ADDRESSES

Connects, writes and reads, searches the bus (where ADDRESSES, separated by
commas, must answer); keeps the adapter from the
command-line tool CLI while connected, and says who holds it when the tool
does; notices an unplug (the gadget unbound from its controller through
UDC-FILE) and a re-plug; and an unplug between choosing the adapter and
connecting. Prints one line per check: "ok - NAME" or "not ok - NAME: WHY".
"""

import os
import select
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app"))
import tst_atspi as ui  # noqa: E402

TITLE = "Orvane Pellan I2C"


def result(ok, name, why=""):
    print(("ok - %s" if ok else "not ok - %s: " + why.replace("\n", " | ")) % name, flush=True)
    return ok


def listed(serial):
    for node in os.listdir("/sys/class/hidraw"):
        try:
            with open("/sys/class/hidraw/%s/device/uevent" % node) as file:
                if "HID_UNIQ=%s\n" % serial in file.read():
                    return True
        except OSError:
            pass
    return False


def set_udc(path, value):
    with open(path, "w") as file:
        file.write(value + "\n")


def texts(accessible):
    """The names and descriptions of an object and all below it."""
    found = [accessible.get_name() or "", accessible.get_description() or ""]
    for child in ui.children(accessible):
        found += texts(child)
    return found


def message_box(app, title):
    """The message box with this title, when one shows."""
    ui.Atspi.Accessible.clear_cache(app)
    for window in ui.children(app):
        if window.get_name() == title and window.get_role() in (
                ui.Atspi.Role.ALERT, ui.Atspi.Role.DIALOG) and ui.has_state(
                    window, ui.Atspi.StateType.SHOWING):
            return window
    return None


def answer_box(app, title, expected):
    """Waits for the box, checks that it says the expected texts, presses OK;
    returns what it said."""
    box = ui.wait_for("the message box " + repr(title), lambda: message_box(app, title))
    said = " ".join(text for text in texts(box) if text)
    ui.press(ui.wait_for("OK in " + repr(title), lambda: ui.find(box, ui.Atspi.Role.PUSH_BUTTON,
                                                                  "OK")))
    ui.wait_for(repr(title) + " to close", lambda: message_box(app, title) is None)
    missing = [text for text in expected if text not in said]
    if missing:
        raise ui.Failure("the box %r said %r, without %r" % (title, said, missing))
    return said


class Window:
    def __init__(self, session):
        self.session = session
        ui.Atspi.init()
        ui.Atspi.set_timeout(ui.CALL_TIMEOUT_MS, -1)
        started = time.monotonic()
        self.app = ui.wait_for("the program on the accessibility bus", self._the_app)
        print("# %.1f s: the program on the accessibility bus" % (time.monotonic() - started),
              flush=True)
        ui.Atspi.Accessible.set_cache_mask(self.app, ui.Atspi.Cache.NONE)
        self.main = ui.wait_for("the main window",
                                lambda: ui.top_window(self.app, ui.Atspi.Role.FRAME, TITLE))
        # One walk to the controls used here, past the menus, that ends as
        # soon as all are found: each step of a walk is a call over the
        # accessibility bus, slow under emulation.
        R = ui.Atspi.Role
        wanted = {(R.TABLE, "Output"), (R.TEXT, "I2C Device:"), (R.TEXT, "Write Bytes"),
                  (R.SPIN_BUTTON, "Read Bytes")} | {(R.PUSH_BUTTON, name) for name in (
                      "Read", "Write", "Search", "Connect", "Disconnect")}
        skipped = (R.MENU_BAR, R.MENU, R.TREE, R.TABLE, R.PUSH_BUTTON, R.TEXT, R.SPIN_BUTTON)
        self.controls = {}
        pending = [self.main]
        while pending and len(self.controls) < len(wanted):
            for child in ui.children(pending.pop(0)):
                role = child.get_role()
                key = (role, child.get_name())
                if key in wanted:
                    self.controls.setdefault(key, child)
                if role not in skipped:
                    pending.append(child)
        print("# %.1f s: %d controls found" % (time.monotonic() - started, len(self.controls)),
              flush=True)
        self.table = self.control(ui.Atspi.Role.TABLE, "Output")
        self.address = self.control(ui.Atspi.Role.TEXT, "I2C Device:")
        self.data = self.control(ui.Atspi.Role.TEXT, "Write Bytes")
        self.count = self.control(ui.Atspi.Role.SPIN_BUTTON, "Read Bytes")
        self.read_button = self.control(ui.Atspi.Role.PUSH_BUTTON, "Read")

    def control(self, role, name):
        try:
            return self.controls[(role, name)]
        except KeyError:
            raise ui.Failure("the main window has no %s %r" % (role.value_nick, name)) from None

    def button(self, name):
        return self.control(ui.Atspi.Role.PUSH_BUTTON, name)

    def _the_app(self):
        desktop = ui.Atspi.get_desktop(0)
        ui.Atspi.Accessible.clear_cache(desktop)
        for app in ui.children(desktop):
            if app.get_process_id() == self.session.app_process.pid and app.get_child_count() > 0:
                return app
        if self.session.app_process.poll() is not None:
            raise ui.Failure("pellan-i2c ended with %d" % self.session.app_process.returncode)
        return None

    def connected(self):
        return ui.has_state(self.read_button, ui.Atspi.StateType.ENABLED)

    def connect(self):
        """Presses Connect and OK in the device dialog."""
        dialog = ui.open_dialog(self.app, self.button("Connect"), "Select device")
        ui.close_dialog(self.app, dialog, "Select device", "OK")

    def row(self, index):
        return [self.table.get_accessible_at(index, column).get_name() for column in range(3)]

    def act(self, button_name):
        """Presses a button and returns the row it adds to the output table."""
        rows = self.table.get_n_rows()
        ui.press(self.button(button_name))
        ui.wait_for("a new row after " + button_name, lambda: self.table.get_n_rows() == rows + 1)
        return self.row(rows)

    def type_into(self, field, text):
        field.set_text_contents(text)
        ui.wait_for("the text %r" % text, lambda: field.get_text(0, -1) == text)

    def read_temperature(self):
        """Points the LM75 at its temperature and reads it; returns the row."""
        self.type_into(self.address, "0x48")
        self.type_into(self.data, "00")
        written = self.act("Write")
        self.count.set_current_value(2)
        ui.wait_for("the byte count", lambda: self.count.get_current_value() == 2)
        read = self.act("Read")
        if written[0] != "Write 0x48" or read[0] != "Read 0x48":
            raise ui.Failure("rows %r and %r" % (written, read))
        return read


def checks(window, cli, serial, udc_file, udc, addresses):
    def step(name, action):
        started = time.monotonic()
        try:
            action()
        except ui.Failure as failure:
            return result(False, name, str(failure))
        except ui.GLib.Error as error:
            return result(False, name, "accessibility call failed: " + error.message)
        print("# %.1f s: %s" % (time.monotonic() - started, name), flush=True)
        return result(True, name)

    def connect_and_read():
        window.connect()
        ui.wait_for("the connection (Read enabled)", window.connected)
        row = window.read_temperature()
        if row[2] != "17 80":
            raise ui.Failure("read %r" % (row,))
    if not step("the window connects to %s, writes and reads the LM75's temperature" % serial,
                connect_and_read):
        return

    def search():
        row = window.act("Search")
        if row[0] != "Search" or row[2] != ", ".join(addresses):
            raise ui.Failure("the search row is %r" % (row,))
    step("the window's bus search finds the devices at " + ", ".join(addresses), search)

    # Without XDG_RUNTIME_DIR, which the window has.
    env = {key: value for key, value in os.environ.items() if key != "XDG_RUNTIME_DIR"}

    def window_holds():
        refused = subprocess.run([cli, "-a", serial, "get", "0x48", "0x00", "2"], env=env,
                                 capture_output=True, text=True, timeout=ui.WAIT_S)
        name = "pellan-i2c (process %d)" % window.session.app_process.pid
        if refused.returncode != 3 or name not in refused.stderr:
            raise ui.Failure("the CLI ended with %d: %r" % (refused.returncode, refused.stderr))
    step("while the window is connected, the CLI is refused and told so (exit 3)", window_holds)

    def cli_holds():
        ui.press(window.button("Disconnect"))
        ui.wait_for("the disconnection", lambda: not window.connected())
        holder = subprocess.Popen([cli, "-a", serial, "watch", "0x48", "2", "--interval",
                                   "100ms"], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
        try:
            if not select.select([holder.stdout], [], [], ui.WAIT_S)[0] or \
                    not holder.stdout.readline():
                raise ui.Failure("the CLI's watch printed no sample")
            window.connect()
            answer_box(window.app, "Device",
                       ["Connect failed:", "pellan-i2c-cli (process %d)" % holder.pid])
            if window.connected():
                raise ui.Failure("connected to an adapter that the CLI holds")
        finally:
            holder.terminate()
            holder.wait(timeout=ui.WAIT_S)
        window.connect()
        ui.wait_for("the connection once the CLI has ended", window.connected)
    step("while the CLI holds the adapter, the window's Connect names it", cli_holds)

    def unplug_and_replug():
        set_udc(udc_file, "")
        answer_box(window.app, "Device", ["Connection to the Orvane was lost."])
        if window.connected():
            raise ui.Failure("Read is still enabled after the connection was lost")
        set_udc(udc_file, udc)
        ui.wait_for("the adapter to be listed again", lambda: listed(serial))
        window.connect()
        ui.wait_for("the connection after the re-plug", window.connected)
        row = window.read_temperature()
        if row[2] != "17 80":
            raise ui.Failure("read %r after the re-plug" % (row,))
    step("the window notices an unplug, and connects and reads after the re-plug",
         unplug_and_replug)

    def unplug_while_connecting():
        ui.press(window.button("Disconnect"))
        ui.wait_for("the disconnection", lambda: not window.connected())
        dialog = ui.open_dialog(window.app, window.button("Connect"), "Select device")
        set_udc(udc_file, "")
        ui.wait_for("the adapter to go", lambda: not listed(serial))
        ui.close_dialog(window.app, dialog, "Select device", "OK")
        answer_box(window.app, "Device", ["Connect failed:", "Device not found"])
        set_udc(udc_file, udc)
        ui.wait_for("the adapter to be listed again", lambda: listed(serial))
    step("the window reports an adapter unplugged between choosing it and connecting",
         unplug_while_connecting)


def main():
    if len(sys.argv) != 7:
        print(__doc__, file=sys.stderr)
        return 2
    program, cli, serial, udc_file, udc = sys.argv[1:6]
    addresses = ["0x%02X" % int(address, 16) for address in sys.argv[6].split(",")]
    missing = ui.missing_tools()
    if missing:
        result(False, "the window's checks", "missing: " + ", ".join(missing))
        return 1
    R = ui.Atspi.Role
    ui.VIEW_ROLES = {R.TABLE, R.TREE, R.TREE_TABLE, R.LIST, R.LIST_BOX}
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="pellan-rig-window-") as home:
        try:
            with ui.Session(program, home) as session:
                print("# %.1f s: X server, buses and program started" % (
                    time.monotonic() - started), flush=True)
                window = Window(session)
                print("# the window is up after %.1f s" % (time.monotonic() - started), flush=True)
                checks(window, cli, serial, udc_file, udc, addresses)
        except ui.Failure as failure:
            result(False, "the window's checks", str(failure))
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
