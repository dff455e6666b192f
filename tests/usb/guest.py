#!/usr/bin/python3
"""The rig's checks, inside its VM (tests/usb/rig.sh starts them).

    guest.py SOURCE BUILD OUT

Makes virtual Orvane adapters with the kernel's USB gadget framework
(configfs on dummy_hcd): composite devices with each model's USB IDs and
strings, the I2C function as a HID function on the model's interface number
and other functions (HID, serial) in front of it, each answered by
pellan-usb-gadget with the demo's simulated adapter. Then runs the programs
users run, linked to the system's hidapi, against them and compares what
they print with what the demo programs print on the simulated stack, and
with i2c-tools on i2c-stub. Writes TAP lines to OUT/results.tap.

PELLAN_USB_RIG_ONLY (the kernel command line's pellan.only) names the stages
to run, separated by commas: cli, python, oracle, faults, window, two.
"""

import concurrent.futures
import errno
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

# guest.py --expect SOURCE BUILD OUT, on the host: what the demo programs print.
EXPECT_ONLY = len(sys.argv) > 1 and sys.argv[1] == "--expect"
SOURCE, BUILD, OUT = sys.argv[2:5] if EXPECT_ONLY else sys.argv[1:4]
CLI = BUILD + "/cli/pellan-i2c-cli"
DEMO_CLI = BUILD + "/cli/pellan-i2c-cli-demo"
GADGET = BUILD + "/tests/usb/pellan-usb-gadget"
WINDOW = BUILD + "/app/pellan-i2c"
CONFIGFS = "/sys/kernel/config/usb_gadget"
# The bound of every wait for a condition and of every program run: only a
# fault reaches it.
WAIT_S = 30
# Programs run as an ordinary user without access to the adapters.
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
UDEV_RULE = "70-pellan-i2c.rules"
MODELS = ("orvane3", "orvane5", "orvane7")


# ---- Results -------------------------------------------------------------------

class Tap:
    def __init__(self, path):
        self.file = open(path, "w", buffering=1)
        self.count = 0

    def result(self, ok, name, detail="", todo=None):
        self.count += 1
        line = "%s %d - %s" % ("ok" if ok else "not ok", self.count, name)
        if todo:
            line += " # TODO " + todo
        self.file.write(line + "\n")
        print(line, flush=True)
        if detail and (not ok or todo):
            if len(detail) > 6000:
                detail = detail[:3000] + "\n[...]\n" + detail[-3000:]
            for text in detail.rstrip("\n").split("\n"):
                self.file.write("#   " + text + "\n")
                print("#   " + text, flush=True)

    def note(self, text):
        self.file.write("# " + text + "\n")
        print("# " + text, flush=True)


TAP = None


def check(name, ok, detail="", todo=None):
    TAP.result(bool(ok), name, detail, todo)
    return bool(ok)


class Failure(Exception):
    pass


def wait_for(what, probe, timeout=WAIT_S):
    deadline = time.monotonic() + timeout
    while True:
        result = probe()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure("timed out after %d s waiting for %s" % (timeout, what))
        time.sleep(0.05)


# ---- Programs --------------------------------------------------------------------

class Run:
    def __init__(self, args, status, out, err, seconds):
        self.args, self.status, self.out, self.err, self.seconds = args, status, out, err, seconds

    def describe(self):
        return "%s\nexit %s after %.2f s\nstdout:\n%s\nstderr:\n%s" % (
            " ".join(self.args), self.status, self.seconds, self.out, self.err)


def environment(**extra):
    """The environment of the programs run here: the simulator's variables
    only where a check sets them."""
    env = dict(os.environ, PYTHONPATH=BUILD + "/python", LC_ALL="C.UTF-8")
    for name in ("PELLAN_SIM_FAULT", "PELLAN_SIM_REPORT_DELAY_US"):
        env.pop(name, None)
    env.update({key: value for key, value in extra.items() if value is not None})
    for key, value in extra.items():
        if value is None:
            env.pop(key, None)
    return env


def run(args, timeout=WAIT_S, env=None, prefix=()):
    """Runs a program to its end; a program still running after the bound
    is killed and its status is None."""
    start = time.monotonic()
    process = subprocess.Popen(list(prefix) + list(args), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=env or environment(),
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=timeout)
        status = process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        status = None
    return Run(list(args), status, out, err, time.monotonic() - start)


def start(args, env=None, prefix=(), stdin=None):
    return subprocess.Popen(list(prefix) + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=stdin, text=True,
                            env=env or environment(), start_new_session=True)


def finish(process, timeout=WAIT_S):
    start_time = time.monotonic()
    try:
        out, err = process.communicate(timeout=timeout)
        status = process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        status = None
    return Run(process.args, status, out, err, time.monotonic() - start_time)


def write_file(path, text, binary=False):
    with open(path, "wb" if binary else "w") as file:
        file.write(text)


def read_file(path):
    with open(path) as file:
        return file.read().strip()


def modprobe(*args):
    # The kernel's modules lie in the build folder, not in /lib/modules.
    result = run(["modprobe", "-d", os.environ["PELLAN_RIG_MODULES"]] + list(args))
    if result.status != 0:
        raise Failure("modprobe %s: %s" % (" ".join(args), result.err.strip()))


# ---- Virtual adapters ------------------------------------------------------------

def describe(model):
    result = run([GADGET, "describe", model])
    if result.status != 0:
        raise Failure("pellan-usb-gadget describe %s: %s" % (model, result.err))
    return json.loads(result.out)


DESCRIPTIONS = {}


class Adapter:
    """One virtual adapter: a composite USB gadget and its responder.

    layout names the functions in interface order: "hid" (another HID
    function, with the simulated adapter's descriptor for that interface),
    "gser" (one interface), "acm" (two), and "i2c", the I2C function."""

    def __init__(self, name, model, serial, layout, udc, report_length=64, descriptor=None,
                 responder=True):
        self.name, self.model, self.serial = name, model, serial
        self.layout, self.udc = layout, udc
        self.description = DESCRIPTIONS[model]
        self.report_length = report_length
        self.descriptor = descriptor
        self.path = CONFIGFS + "/" + name
        self.responder = None
        self.answers = responder
        self.trace = None
        self.functions = []

    @property
    def model_name(self):
        return self.description["model"]

    @property
    def i2c_interface(self):
        number = 0
        for kind in self.layout:
            if kind == "i2c":
                return number
            number += 2 if kind == "acm" else 1
        raise Failure("no I2C function in " + self.name)

    def create(self):
        d = self.description
        if self.i2c_interface != d["i2cInterface"] and self.descriptor is None:
            raise Failure("%s: the I2C function would be interface %d, the %s's is %d" % (
                self.name, self.i2c_interface, self.model_name, d["i2cInterface"]))
        os.mkdir(self.path)
        write_file(self.path + "/idVendor", "0x%04x" % d["vendorId"])
        write_file(self.path + "/idProduct", "0x%04x" % d["productId"])
        write_file(self.path + "/bcdDevice", "0x%04x" % d["release"])
        write_file(self.path + "/bcdUSB", "0x0200")
        if "acm" in self.layout:
            # A composite device with an interface association.
            write_file(self.path + "/bDeviceClass", "0xef")
            write_file(self.path + "/bDeviceSubClass", "0x02")
            write_file(self.path + "/bDeviceProtocol", "0x01")
        os.mkdir(self.path + "/strings/0x409")
        write_file(self.path + "/strings/0x409/manufacturer", d["manufacturer"])
        write_file(self.path + "/strings/0x409/product", d["product"])
        write_file(self.path + "/strings/0x409/serialnumber", self.serial)
        os.mkdir(self.path + "/configs/c.1")
        write_file(self.path + "/configs/c.1/MaxPower", "100")
        descriptors = {item["number"]: bytes.fromhex(item["reportDescriptor"])
                       for item in d["interfaces"]}
        number = 0
        for index, kind in enumerate(self.layout):
            function = "%s.%s_%d" % ("hid" if kind in ("hid", "i2c") else kind, self.name, index)
            os.mkdir(self.path + "/functions/" + function)
            if kind in ("hid", "i2c"):
                base = self.path + "/functions/" + function
                descriptor = descriptors.get(number, b"")
                length = 8
                if kind == "i2c":
                    descriptor = self.descriptor or descriptors[d["i2cInterface"]]
                    length = self.report_length
                    self.i2c_function = base
                write_file(base + "/protocol", "0")
                write_file(base + "/subclass", "0")
                write_file(base + "/report_length", str(length))
                write_file(base + "/report_desc", descriptor, binary=True)
            os.symlink(self.path + "/functions/" + function, self.path + "/configs/c.1/" + function)
            self.functions.append(function)
            number += 2 if kind == "acm" else 1

    def remove(self):
        self.stop_responder()
        if self.is_bound():
            self.unplug()
        for function in self.functions:
            os.unlink(self.path + "/configs/c.1/" + function)
        os.rmdir(self.path + "/configs/c.1")
        for function in self.functions:
            os.rmdir(self.path + "/functions/" + function)
        os.rmdir(self.path + "/strings/0x409")
        os.rmdir(self.path)

    def is_bound(self):
        return read_file(self.path + "/UDC") != ""

    def plug(self, wait=True):
        write_file(self.path + "/UDC", self.udc)
        if wait:
            wait_for("the %s %s to be listed" % (self.model_name, self.serial),
                     lambda: self.hidraw() is not None)

    def unplug(self, wait=True):
        write_file(self.path + "/UDC", "\n")
        if wait:
            wait_for("the %s %s to go" % (self.model_name, self.serial),
                     lambda: self.hidraw() is None)

    def hidg(self):
        minor = read_file(self.i2c_function + "/dev").split(":")[1]
        return "/dev/hidg" + minor

    def hidraw(self):
        """The device node of the I2C interface, once the host has it."""
        wanted_id = "HID_ID=0003:%08X:%08X" % (self.description["vendorId"],
                                               self.description["productId"])
        for node in os.listdir("/sys/class/hidraw"):
            try:
                uevent = read_file("/sys/class/hidraw/%s/device/uevent" % node).split("\n")
            except OSError:
                continue
            if wanted_id in uevent and "HID_UNIQ=" + self.serial in uevent and any(
                    line.startswith("HID_PHYS=") and line.endswith("/input%d" % self.i2c_interface)
                    for line in uevent) and os.path.exists("/dev/" + node):
                return "/dev/" + node
        return None

    def start_responder(self, **variables):
        """Starts a fresh responder (fresh simulated devices); the variables
        go to its environment (None removes one)."""
        self.stop_responder()
        descriptor, self.trace = tempfile.mkstemp(prefix="pellan-rig-trace-")
        os.close(descriptor)
        self.responder = subprocess.Popen(
            [GADGET, "serve", self.model, self.hidg(), "--udc", self.path + "/UDC", "--trace",
             self.trace], env=environment(**variables), stdout=subprocess.DEVNULL)

    def requests(self):
        """The requests the responder has taken, as hex lines."""
        try:
            with open(self.trace) as file:
                return file.read().split()
        except OSError:
            return []

    def stop_responder(self):
        if self.responder is not None:
            self.responder.send_signal(signal.SIGCONT)
            self.responder.terminate()
            try:
                self.responder.wait(timeout=WAIT_S)
            except subprocess.TimeoutExpired:
                self.responder.kill()
                self.responder.wait()
            self.responder = None

    def pause_responder(self):
        self.responder.send_signal(signal.SIGSTOP)

    def resume_responder(self):
        self.responder.send_signal(signal.SIGCONT)


def make_adapters(settings):
    adapters = []
    for setting in settings:
        adapter = Adapter(**setting)
        adapter.create()
        adapters.append(adapter)
    for adapter in adapters:
        adapter.plug(wait=False)
    for adapter in adapters:
        wait_for("the %s %s to be listed" % (adapter.model_name, adapter.serial),
                 lambda: adapter.hidraw() is not None)
        if adapter.answers:
            adapter.start_responder()
    return adapters


def remove_adapters(adapters):
    for adapter in adapters:
        adapter.remove()


# ---- What the demo programs print -------------------------------------------------
#
# The responders answer with the demo's simulated adapters, so the CLI on a
# virtual adapter must print what the demo CLI prints on its simulated twin,
# and the Python package must return what pellan_i2c.sim returns. The demo's
# answers do not depend on the kernel: rig.sh computes them on the host
# (guest.py --expect) before the VM starts, and the guest runs only the real
# programs.

DEVICE_FILE = SOURCE + "/tests/usb/24c02.i2cdev"

# Every CLI command on every model, and variants each on one model (the
# models share the code behind them), in this order on a fresh responder:
# the commands that change the devices come last.
ALL = MODELS
CLI_COMMANDS = [
    (ALL, ["detect"]),
    (["orvane3"], ["--json", "detect"]),
    (ALL, ["read", "0x48", "2"]),
    (["orvane5"], ["read", "0x50", "200"]),
    (["orvane5"], ["read", "0x30", "1"]),
    (ALL, ["get", "0x48", "0x00", "2"]),
    (["orvane7"], ["get", "0x48", "0x01"]),
    (["orvane7"], ["get", "0x50"]),
    (ALL, ["dump", "-r", "0x0c-0x23", "0x50"]),
    (ALL, ["dump", "0x50", "i"]),
    (["orvane3"], ["dump", "-r", "0x00-0x07", "0x48"]),
    (["orvane5"], ["dump", "-r", "0x00-0x03", "0x48", "c"]),
    (["orvane7"], ["--json", "dump", "-r", "0x00-0x03", "0x48"]),
    (ALL, ["watch", "0x48", "2", "--register", "0", "--format", "s16be", "--shift", "7",
           "--scale", "0.5", "--unit", "C", "--interval", "100ms", "--samples", "3"]),
    (["orvane3"], ["--json", "watch", "0x50", "1", "--interval", "50ms", "--samples", "2"]),
    (["orvane5"], ["--json", "run", DEVICE_FILE, "Pointer", "Read"]),
    (ALL, ["write", "0x50", "00", "01", "02"]),
    (["orvane3", "orvane5"], ["write", "0x50"]),
    (ALL, ["run", DEVICE_FILE]),
    (ALL, ["set", "-r", "0x48", "0x03", "0x55", "0x00"]),
    (["orvane7"], ["set", "-r", "0x48", "0x03", "0x55", "0x01"]),
    (["orvane3"], ["set", "--mask", "0x0f", "0x48", "0x01", "0x05"]),
    (ALL, ["transfer", "-v", "w3@0x48", "0x03", "0x5a", "0x80", "w1@0x48", "0x03", "r2"]),
]


def commands_of(model):
    return [args for models, args in CLI_COMMANDS if model in models]


# Faults of the simulated adapter behind a real USB device: the demo CLI
# with the same variables prints the same.
FAULT_COMMANDS = [
    ({"PELLAN_SIM_FAULT": "bus-error:1"}, ["get", "0x48", "0x00", "2"]),
    ({"PELLAN_SIM_FAULT": "arbitration-lost"}, ["read", "0x48", "2"]),
    ({"PELLAN_SIM_FAULT": "no-answer:1"}, ["get", "0x48", "0x00", "2"]),
    ({"PELLAN_SIM_FAULT": "unplug:1"}, ["get", "0x48", "0x00", "2"]),
    ({"PELLAN_SIM_REPORT_DELAY_US": "20000"}, ["read", "0x50", "200"]),
]
FAULT_MODEL = "orvane7"


def demo_key(serial, args, env=None):
    return json.dumps([serial, args, sorted((env or {}).items())])


def demo_cli(serial, args, env=None):
    return run([DEMO_CLI, "-a", serial] + args, env=environment(**(env or {})))


def demo_runs():
    """Every demo run the checks compare with: (serial, args, env)."""
    for model in MODELS:
        for args in commands_of(model):
            yield DESCRIPTIONS[model]["serial"], args, None
    for env, args in FAULT_COMMANDS:
        yield DESCRIPTIONS[FAULT_MODEL]["serial"], args, env


EXPECTED = {}


def expected_cli(serial, args, env=None):
    found = EXPECTED.get(demo_key(serial, args, env))
    if found is None:
        result = demo_cli(serial, args, env)
        return result
    return Run([DEMO_CLI, "-a", serial] + args, *found)


def expected_python(serial):
    found = EXPECTED.get(json.dumps(["python", serial]))
    if found is None:
        return python_checks("sim", serial)
    return Run(["pythonchecks.py", "sim", serial], *found)


def python_checks(backend, serial, prefix=()):
    return run(["/usr/bin/python3", SOURCE + "/tests/usb/pythonchecks.py", backend, serial],
               timeout=60, prefix=prefix)


def write_expectations(path):
    """On the host: runs the demo programs and saves what they print."""
    expected = {}
    for serial, args, env in demo_runs():
        result = demo_cli(serial, args, env)
        expected[demo_key(serial, args, env)] = [result.status, result.out, result.err,
                                                 result.seconds]
    for model in MODELS:
        serial = DESCRIPTIONS[model]["serial"]
        result = python_checks("sim", serial)
        expected[json.dumps(["python", serial])] = [result.status, result.out, result.err,
                                                    result.seconds]
    with open(path, "w") as file:
        json.dump(expected, file)


TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d)")
SECONDS = re.compile(r'("seconds":)[0-9.e-]+')


def normalised(text, program, serial=None, demo_serial=None):
    text = text.replace(program + ":", "PROGRAM:").replace('"%s ' % program, '"PROGRAM ')
    if serial and demo_serial:
        text = text.replace(demo_serial, serial)
    return SECONDS.sub(r"\1S", TIME.sub("TIME", text))


def same_as_demo(real, demo, serial, demo_serial):
    return (real.status is not None and real.status == demo.status and
            normalised(real.out, "pellan-i2c-cli") ==
            normalised(demo.out, "pellan-i2c-cli-demo", serial, demo_serial) and
            normalised(real.err, "pellan-i2c-cli") ==
            normalised(demo.err, "pellan-i2c-cli-demo", serial, demo_serial))


def compare_with_demo(name, adapter, args, env=None, todo=None):
    """Runs the CLI on the virtual adapter; it must print what the demo CLI
    prints on the adapter's simulated twin, and end with the same status."""
    demo_serial = adapter.description["serial"]
    real = run([CLI, "-a", adapter.serial] + args)
    demo = expected_cli(demo_serial, args, env)
    check(name, same_as_demo(real, demo, adapter.serial, demo_serial),
          "real path:\n%s\ndemo:\n%s" % (real.describe(), demo.describe()), todo)
    return real


def command_name(args):
    return " ".join(arg.replace(DEVICE_FILE, "FILE") for arg in args)


# ---- Stages ------------------------------------------------------------------------

PHASE_ONE = [
    # Another HID function comes first, so the interface filter is tried.
    dict(name="or3", model="orvane3", layout=["hid", "gser", "i2c"]),
    dict(name="or5", model="orvane5", layout=["gser", "i2c"]),
    dict(name="or7", model="orvane7", layout=["acm", "i2c"]),
]


def cli_stage(adapters):
    for json_flag in ([], ["--json"]):
        real, demo = run([CLI] + json_flag + ["list"]), run([DEMO_CLI] + json_flag + ["list"])
        check("cli: %slist shows the three adapters as the demo does" % " ".join(json_flag + [""]),
              real.status == 0 and real.out == demo.out and real.err == demo.err,
              real.describe() + "\n" + demo.describe())
    # The models' commands run side by side, each model's in order.
    with concurrent.futures.ThreadPoolExecutor(len(adapters)) as pool:
        runs = {adapter.serial: pool.submit(lambda adapter: [
            run([CLI, "-a", adapter.serial] + args) for args in commands_of(adapter.model)],
            adapter) for adapter in adapters}
        for adapter in adapters:
            demo_serial = adapter.description["serial"]
            for args, real in zip(commands_of(adapter.model), runs[adapter.serial].result()):
                demo = expected_cli(demo_serial, args)
                check("cli %s: %s" % (adapter.model_name, command_name(args)),
                      same_as_demo(real, demo, adapter.serial, demo_serial),
                      "real path:\n%s\ndemo:\n%s" % (real.describe(), demo.describe()))


def python_stage(adapters):
    for adapter in adapters:
        # Fresh devices, as the demo's.
        adapter.start_responder()
        real = python_checks("real", adapter.serial)
        sim = expected_python(adapter.serial)
        check("python %s: list_adapters, SMBus and Adapter calls return what they return on "
              "the demo's adapters" % adapter.model_name,
              real.status == 0 and sim.status == 0 and real.out == sim.out,
              real.describe() + "\n" + sim.describe())
        try:
            nack = json.loads(real.out)["nothing at 0x30"]
        except (ValueError, KeyError):
            nack = None
        check("python %s: a NACK raises OSError with errno 121 (EREMOTEIO)" % adapter.model_name,
              isinstance(nack, dict) and nack.get("errno") == errno.EREMOTEIO, repr(nack))


# The EEPROM's contents for i2c-tools' comparison: every kind of byte, printable
# and not, 0x00 and 0xff.
PATTERN = bytes((index * 37 + 11) & 0xFF for index in range(256))


def i2c_stub_bus():
    for name in os.listdir("/sys/bus/i2c/devices"):
        try:
            if read_file("/sys/bus/i2c/devices/%s/name" % name) == "SMBus stub driver":
                return name.split("-")[1]
        except OSError:
            pass
    return None


def oracle_stage(adapter):
    """i2c-tools on i2c-stub, filled with the same registers as the devices
    behind the virtual adapter, print what detect, get and dump must print."""
    devices = adapter.description["devices"]
    modprobe("i2c_stub", "chip_addr=" + ",".join("0x%02x" % device["address"]
                                                 for device in devices))
    bus = wait_for("the i2c-stub bus", i2c_stub_bus)
    import smbus2  # Debian's python3-smbus2, in the guest only

    # Fresh devices: the LM75 as the simulated one starts, the EEPROM written
    # with the pattern through the real path.
    adapter.start_responder()
    fill = run(["/usr/bin/python3", "-c", "import sys, pellan_i2c\n"
                "bus = pellan_i2c.SMBus(sys.argv[1])\n"
                "data = bytes.fromhex(sys.argv[2])\n"
                "for page in range(0, 256, 8):\n"
                "    bus.write_i2c_block_data(0x50, page, list(data[page:page + 8]))\n",
                adapter.serial, PATTERN.hex()], timeout=60)
    check("python %s: writes the EEPROM page by page" % adapter.model_name, fill.status == 0,
          fill.describe())
    with smbus2.SMBus(int(bus)) as stub:
        for device in devices:
            values = PATTERN if device["address"] == 0x50 else [
                value or 0 for value in device["registers"]]
            for reg, value in enumerate(values):
                stub.write_byte_data(device["address"], reg, value)

    def same(ours, tool, options=(), args=(), todo=None):
        real = run([CLI, "-a", adapter.serial] + ours, timeout=60)
        theirs = [tool, "-y"] + list(options) + [bus] + list(args)
        tool_run = run(theirs, timeout=60)
        return check("i2c-tools: %s prints what %s prints" % (
            " ".join(ours), " ".join(theirs[:-len(args) - 1] + ["BUS"] + list(args))),
            tool_run.status == 0 and real.out == tool_run.out,
            "pellan-i2c-cli:\n%s\ni2c-tools:\n%s" % (real.describe(), tool_run.describe()), todo)

    same(["detect"], "i2cdetect")
    same(["get", "0x48", "0x00"], "i2cget", args=["0x48", "0x00"])
    same(["get", "0x48", "0x03"], "i2cget", args=["0x48", "0x03", "b"])
    same(["get", "0x50", "0x10", "4"], "i2cget", args=["0x50", "0x10", "i", "4"])
    # Without a register: one byte at the pointer the read before left.
    same(["get", "0x50", "0x7e"], "i2cget", args=["0x50", "0x7e"])
    same(["get", "0x50"], "i2cget", args=["0x50"])
    for mode in ("b", "i", "c"):
        same(["dump", "0x50", mode], "i2cdump", args=["0x50", mode])
    # Ranges that start and end mid-row: i2cdump pads the last row's text
    # column with blanks to its 16 characters.
    for first, last, mode in (("0x0c", "0x23", "b"), ("0x0c", "0x23", "i"), ("0x10", "0x1a", "b"),
                              ("0x05", "0x05", "i"), ("0xf0", "0xff", "b")):
        same(["dump", "-r", first + "-" + last, "0x50", mode], "i2cdump",
             ["-r", first + "-" + last], ["0x50", mode])
    same(["dump", "-r", "0x00-0x03", "0x48"], "i2cdump", ["-r", "0x00-0x03"], ["0x48", "b"])

    # i2ctransfer needs a bus that does plain I2C, which i2c-stub does not:
    # the line its manual's example prints is built here.
    real = run([CLI, "-a", adapter.serial, "transfer", "w1@0x50", "0x64", "r8"])
    golden = " ".join("0x%02x" % byte for byte in PATTERN[0x64:0x6c]) + "\n"
    check("i2c-tools: transfer w1@0x50 0x64 r8 prints the line i2ctransfer 0 w1@0x50 0x64 r8 "
          "prints", real.status == 0 and real.out == golden,
          "expected %r\n%s" % (golden, real.describe()))


class Lines:
    """The lines a running program prints, gathered on a thread."""

    def __init__(self, process):
        self.process = process
        self.lines = []
        self.thread = threading.Thread(target=self._gather, daemon=True)
        self.thread.start()

    def _gather(self):
        for line in self.process.stdout:
            self.lines.append(line)

    def finish(self, timeout=WAIT_S):
        try:
            self.process.wait(timeout=timeout)
            status = self.process.returncode
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
            status = None
        self.thread.join()
        err = self.process.stderr.read()
        return Run(self.process.args, status, "".join(self.lines), err, 0)


def waiting_on_device(pid, node):
    """Whether the process sleeps in a write to the device node, or in an
    open of it (the kernel holds hidraw opens while a write waits)."""
    try:
        call = read_file("/proc/%d/syscall" % pid).split()
        wchan = read_file("/proc/%d/wchan" % pid)
    except OSError:
        return False
    if not call or call[0] not in ("1", "257") or "p9" in wchan or wchan == "0":
        return False
    if call[0] == "1":
        try:
            return os.readlink("/proc/%d/fd/%d" % (pid, int(call[1], 16))) == node
        except (OSError, ValueError):
            return False
    return "mutex" in wchan


def renew(adapter, **variables):
    """A fresh responder on a freshly plugged adapter: whatever the last
    check left queued in the kernel or the responder is gone."""
    adapter.stop_responder()
    if adapter.is_bound():
        adapter.unplug()
    adapter.plug()
    adapter.start_responder(**variables)


def faults_stage(adapters):
    by_model = {adapter.model: adapter for adapter in adapters}
    or3, or5, or7 = by_model["orvane3"], by_model["orvane5"], by_model["orvane7"]

    # Unplugged while a read of 65535 bytes (1057 answer reports) is under way.
    renew(or3)
    before = len(or3.requests())
    reader = start([CLI, "-a", or3.serial, "read", "0x50", "65535"])
    try:
        wait_for("the read request", lambda: any(
            request.startswith("03") for request in or3.requests()[before:]))
        or3.unplug()
    finally:
        result = finish(reader)
    check("cli Orvane3: unplugged during a read: exit 3, the connection was lost",
          result.status == 3 and "lost the connection" in result.err, result.describe())
    # The pulled cable cut the adapter's power: none of its answers is due.
    or3.start_responder()
    or3.plug()
    after = run([CLI, "-a", or3.serial, "get", "0x48", "0x00", "2"])
    check("cli Orvane3: after the re-plug the next command works",
          after.status == 0 and after.out == "0x17 0x80\n", after.describe())

    # Unplugged during a watch, once it has printed two samples.
    watcher = Lines(start([CLI, "-a", or3.serial, "watch", "0x48", "2", "--register", "0",
                           "--interval", "100ms"]))
    try:
        wait_for("two samples", lambda: len(watcher.lines) >= 2)
        or3.unplug()
    finally:
        result = watcher.finish()
    check("cli Orvane3: unplugged during a watch: exit 3 after the samples before",
          result.status == 3 and "lost the connection" in result.err and
          result.out.count("17 80") >= 2, result.describe())
    or3.start_responder()
    or3.plug()

    # Unplugged while connecting: the adapter stopped taking reports, so the
    # kernel holds the program in its open or its first write until the
    # unplug ends the wait.
    or7.pause_responder()
    node = or7.hidraw()
    filler = start(["/usr/bin/python3", "-c", "import os, sys\n"
                    "fd = os.open(sys.argv[1], os.O_WRONLY)\n"
                    "for _ in range(16):\n"
                    "    os.write(fd, bytes([1]) + bytes(63))\n", node])
    connecting = None
    try:
        wait_for("a write to wait for the stopped adapter",
                 lambda: waiting_on_device(filler.pid, node))
        connecting = start([CLI, "-a", or7.serial, "read", "0x48", "2"])
        wait_for("the connect to wait in the kernel",
                 lambda: waiting_on_device(connecting.pid, node))
        or7.unplug()
    finally:
        result = finish(connecting) if connecting else None
        finish(filler)
    check("cli Orvane7: unplugged while connecting: exit 3, cannot connect",
          result is not None and result.status == 3 and "cannot connect" in result.err,
          result.describe() if result else "")
    renew(or7)

    # An ordinary user without access to the adapters' device nodes.
    listing = run([CLI, "list"], prefix=NOBODY)
    check("cli: an ordinary user lists the adapters", listing.status == 0 and
          or5.serial in listing.out, listing.describe())
    refused = run([CLI, "-a", or5.serial, "read", "0x48", "2"], prefix=NOBODY)
    check("cli: an ordinary user without access is told of the udev rule (exit 3)",
          refused.status == 3 and UDEV_RULE in refused.err and "Permission denied" in refused.err,
          refused.describe())
    # The build folder may lie in a folder only its owner may enter (a
    # mktemp -d clone), so the user gets a copy of the package of its own.
    package = tempfile.mkdtemp(prefix="pellan-package-")
    shutil.copytree(BUILD + "/python/pellan_i2c", package + "/pellan_i2c")
    os.chmod(package, 0o755)
    refused = run(["/usr/bin/python3", "-c", "import sys, pellan_i2c\n"
                   "try:\n"
                   "    pellan_i2c.Adapter(sys.argv[1])\n"
                   "except OSError as error:\n"
                   "    print(error.errno, error)\n", or5.serial], prefix=NOBODY,
                  env=environment(PYTHONPATH=package))
    shutil.rmtree(package)
    check("python: an ordinary user without access gets EACCES naming the udev rule",
          refused.out.startswith("%d " % errno.EACCES) and UDEV_RULE in refused.out,
          refused.describe())

    # An adapter that stops answering.
    or5.pause_responder()
    silent = run([CLI, "-a", or5.serial, "read", "0x48", "2"])
    check("cli Orvane5: an adapter that stops answering: Timeout, exit 1 (%.1f s)" %
          silent.seconds, silent.status == 1 and "Timeout" in silent.err, silent.describe())
    renew(or5)

    # The simulated adapter's own faults behind the real USB device.
    for variables, args in FAULT_COMMANDS:
        # The fault "unplug" unbinds the gadget.
        if not or7.is_bound():
            or7.plug()
        or7.start_responder(**variables)
        name = " ".join("%s=%s" % item for item in variables.items())
        real = compare_with_demo("cli %s with %s: %s" % (or7.model_name, name, command_name(args)),
                                 or7, args, env=variables)
    # The last one reads 200 bytes: four answer reports, each the delay after
    # the one before.
    delay = int(FAULT_COMMANDS[-1][0]["PELLAN_SIM_REPORT_DELAY_US"]) / 1e6
    check("cli Orvane7: PELLAN_SIM_REPORT_DELAY_US delays each answer report (%.2f s)" %
          real.seconds, real.status == 0 and real.seconds >= 4 * delay, real.describe())
    or7.start_responder()


def start_window(adapter):
    """The window's checks on the adapter its device dialog offers first,
    while other stages use the other adapters."""
    addresses = ",".join("0x%02x" % device["address"] for device in adapter.description["devices"])
    return start(["/usr/bin/python3", SOURCE + "/tests/usb/windowchecks.py", WINDOW, CLI,
                  adapter.serial, adapter.path + "/UDC", adapter.udc, addresses])


def finish_window(process):
    started = time.monotonic()
    relay_window(finish(process, timeout=240))
    TAP.note("window: %.1f s more" % (time.monotonic() - started))


def relay_window(result):
    seen = False
    for line in result.out.splitlines():
        if line.startswith("ok - "):
            check("window: " + line[5:], True)
            seen = True
        elif line.startswith("not ok - "):
            name, _, why = line[9:].partition(": ")
            check("window: " + name, False, why.replace(" | ", "\n") + "\n" + result.err[-3000:])
            seen = True
        elif line.startswith("# "):
            TAP.note(line[2:])
    if not seen or result.status != 0:
        check("window: the checks ran to their end", seen and result.status == 0,
              result.describe()[-4000:])


def wrong_descriptor():
    """The I2C descriptor with 32-byte reports: 31 data bytes after the ID."""
    descriptor = bytes.fromhex(next(item["reportDescriptor"] for item in DESCRIPTIONS[
        "orvane3"]["interfaces"] if item["number"] == DESCRIPTIONS["orvane3"]["i2cInterface"]))
    return descriptor.replace(b"\x95\x3f", b"\x95\x1f")


def two_stage(udcs):
    demo_serial = DESCRIPTIONS["orvane5"]["serial"]
    second = demo_serial[:-1] + chr(ord(demo_serial[-1]) + 1)
    bad_serial = "OR3-900001"
    adapters = make_adapters([
        dict(name="or5a", model="orvane5", serial=demo_serial, layout=["gser", "i2c"],
             udc=udcs[0]),
        dict(name="or5b", model="orvane5", serial=second, layout=["gser", "i2c"], udc=udcs[1]),
        dict(name="bad", model="orvane3", serial=bad_serial, layout=["gser", "gser", "i2c"],
             udc=udcs[2], report_length=32, descriptor=wrong_descriptor(), responder=False),
    ])
    first, other, bad = adapters
    started = time.monotonic()

    demo = run([DEMO_CLI, "list"]).out.splitlines()
    or3_line = next(line for line in demo if line.startswith("Orvane3"))
    or5_line = next(line for line in demo if line.startswith("Orvane5"))
    expected = "\n".join([or3_line.replace(DESCRIPTIONS["orvane3"]["serial"], bad_serial),
                          or5_line, or5_line.replace(demo_serial, second)]) + "\n"
    listing = run([CLI, "list"])
    check("cli: list shows two Orvane5 and the device with the wrong descriptor",
          listing.status == 0 and listing.out == expected,
          "expected:\n%s\n%s" % (expected, listing.describe()))

    for args in commands_of("orvane5"):
        runs = [start([CLI, "-a", adapter.serial] + args) for adapter in (first, other)]
        results = [finish(process) for process in runs]
        expected = expected_cli(demo_serial, args)
        check("cli two Orvane5 at once: %s" % command_name(args),
              same_as_demo(results[0], expected, first.serial, demo_serial) and
              same_as_demo(results[1], expected, other.serial, demo_serial),
              "\n".join(result.describe() for result in results + [expected]))

    TAP.note("two: the commands on both took %.1f s" % (time.monotonic() - started))
    refused = run([CLI, "-a", bad_serial, "read", "0x48", "1"])
    check("cli: a device with the family's IDs and 32-byte reports is refused (exit 3)",
          refused.status == 3 and "report" in refused.err, refused.describe())
    refused = run(["/usr/bin/python3", "-c", "import sys, pellan_i2c\n"
                   "try:\n"
                   "    pellan_i2c.Adapter(sys.argv[1])\n"
                   "except OSError as error:\n"
                   "    print(error.errno, error)\n", bad_serial])
    check("python: a device with the family's IDs and 32-byte reports is refused",
          refused.status == 0 and "report" in refused.out, refused.describe())
    started = time.monotonic()
    lock_checks(first, other)
    TAP.note("two: the lock's checks took %.1f s" % (time.monotonic() - started))
    return adapters


# Opens an adapter from Python and prints "opened", or the errno and text.
PYTHON_OPEN = ("import sys, pellan_i2c\n"
               "try:\n"
               "    pellan_i2c.Adapter(sys.argv[1]).close()\n"
               "    print('opened')\n"
               "except OSError as error:\n"
               "    print(error.errno, error)\n")


def lock_checks(first, other):
    """Two programs on one adapter: the kernel would hand each the other's
    answers, so the second is refused and told who holds the adapter."""
    # The holder runs without XDG_RUNTIME_DIR, the others with it.
    holder = Lines(start([CLI, "-a", first.serial, "watch", "0x48", "2", "--register", "0",
                          "--interval", "50ms"], env=environment(XDG_RUNTIME_DIR=None)))
    node = first.hidraw()
    try:
        wait_for("the watch's first samples", lambda: len(holder.lines) >= 2)
        name = "pellan-i2c-cli (process %d)" % holder.process.pid
        runtime = tempfile.mkdtemp(prefix="pellan-rig-runtime-")
        gets = [run([CLI, "-a", first.serial, "get", "0x50", "0x10", "4"],
                    env=environment(XDG_RUNTIME_DIR=runtime)) for _ in range(10)]
        wrong = [get for get in gets if get.status != 3 or name not in get.err]
        check("lock: while a watch polls an adapter every 50 ms, 10 gets of another program are "
              "refused (exit 3) and name the watch", not wrong,
              "\n".join(get.describe() for get in wrong[:3]))
        beside = run([CLI, "-a", other.serial, "get", "0x48", "0x00", "2"])
        check("lock: meanwhile the other Orvane5 answers", beside.status == 0 and
              beside.out == "0x17 0x80\n", beside.describe())
        python = run(["/usr/bin/python3", "-c", PYTHON_OPEN, first.serial])
        check("lock: Python raises OSError(EBUSY) naming the program that holds the adapter",
              python.out.startswith("%d " % errno.EBUSY) and name in python.out,
              python.describe())
        # As a udev rule would, the node is opened to everybody: the lock holds
        # across users too.
        os.chmod(node, 0o666)
        stranger = run([CLI, "-a", first.serial, "get", "0x50", "0x10", "4"], prefix=NOBODY)
        check("lock: it holds for another user", stranger.status == 3 and name in stranger.err,
              stranger.describe())
    finally:
        holder.process.terminate()
        watched = holder.finish()
    check("lock: the watch that held the adapter read every sample", watched.status == 0 and
          len(watched.out.splitlines()) >= 2 and "failed" not in watched.out,
          watched.describe()[-3000:])

    # Python holds the adapter for as long as it runs.
    python = Lines(start(["/usr/bin/python3", "-c", "import sys, pellan_i2c\n"
                          "adapter = pellan_i2c.Adapter(sys.argv[1])\n"
                          "print('opened', flush=True)\n"
                          "sys.stdin.read()\n", first.serial], stdin=subprocess.PIPE))
    try:
        wait_for("Python to open the adapter", lambda: python.lines == ["opened\n"])
        refused = run([CLI, "-a", first.serial, "read", "0x48", "2"])
        check("lock: while Python holds the adapter the CLI is refused, naming it",
              refused.status == 3 and "python3 (process %d)" % python.process.pid in refused.err,
              refused.describe())
    finally:
        python.process.stdin.close()
        python.finish()
    free = run([CLI, "-a", first.serial, "get", "0x48", "0x00", "2"])
    check("lock: once the holders have ended, the adapter opens", free.status == 0 and
          free.out == "0x17 0x80\n", free.describe())


def main():
    global TAP
    if EXPECT_ONLY:
        for model in MODELS:
            DESCRIPTIONS[model] = describe(model)
        write_expectations(OUT + "/expected.json")
        return 0

    TAP = Tap(OUT + "/results.tap")
    try:
        with open(OUT + "/expected.json") as file:
            EXPECTED.update(json.load(file))
    except OSError:
        TAP.note("no expectations from the host: the demo programs run here")
    only = os.environ.get("PELLAN_USB_RIG_ONLY", "")
    try:
        cmdline = read_file("/proc/cmdline").split()
        only = next((word.split("=", 1)[1] for word in cmdline if word.startswith("pellan.only=")),
                    only)
    except OSError:
        pass
    stages = set(only.split(",")) if only else {"cli", "python", "oracle", "faults", "window",
                                                   "two"}

    started = time.monotonic()
    try:
        for module in ("libcomposite", "usb_f_hid", "usb_f_acm", "usb_f_serial", "usbhid",
                       "hid_generic", "i2c_dev"):
            modprobe(module)
        modprobe("dummy_hcd", "num=3")
        if not os.path.isdir(CONFIGFS):
            run(["mount", "-t", "configfs", "none", "/sys/kernel/config"])
        for model in MODELS:
            DESCRIPTIONS[model] = describe(model)
        udcs = sorted(os.listdir("/sys/class/udc"))

        adapters = make_adapters([dict(setting, serial=DESCRIPTIONS[setting["model"]]["serial"],
                                       udc=udcs[index]) for index, setting in enumerate(PHASE_ONE)])
        TAP.note("three adapters listed after %.1f s" % (time.monotonic() - started))
        or3, or5, or7 = adapters
        window = None
        for stage, action in (
                ("cli", lambda: cli_stage(adapters)),
                ("python", lambda: python_stage([or5, or7])),
                ("window", lambda: start_window(or3)),
                ("oracle", lambda: oracle_stage(or7)),
                ("faults", lambda: faults_stage(adapters))):
            if stage == "faults" and window is not None:
                finish_window(window)
                window = None
            if stage in stages:
                stage_start = time.monotonic()
                try:
                    if stage == "window":
                        window = action()
                    else:
                        action()
                except Failure as failure:
                    check("%s: the stage ran to its end" % stage, False, str(failure))
                TAP.note("%s: %.1f s" % (stage, time.monotonic() - stage_start))
        if window is not None:
            finish_window(window)
        remove_adapters(adapters)
        if "two" in stages:
            stage_start = time.monotonic()
            try:
                remove_adapters(two_stage(udcs))
            except Failure as failure:
                check("two: the stage ran to its end", False, str(failure))
            TAP.note("two: %.1f s" % (time.monotonic() - stage_start))
    except Failure as failure:
        check("the rig set up its adapters", False, str(failure))
    TAP.note("done in %.1f s" % (time.monotonic() - started))
    TAP.file.write("# done\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
