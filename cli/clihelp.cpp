#include "cli/clitool.h"

// The whole --help text in one place, so that it reads as it prints.
QString CCliTool::HelpText(const QString& program)
{
    return tr(R"(Usage: %1 [options] COMMAND [ARGS]

Writes, reads and scans I2C buses through an Orvane3, Orvane5 or Orvane7
USB-I2C adapter, and runs the device files of Pellan I2C's projects panel,
with the same rules and output as the window.

Commands:
  list                  List the attached adapters, one line each: model,
                        serial number, product, firmware and the speeds the
                        model supports.
  detect                Probe the addresses 0x08 to 0x77 and print the grid
                        i2cdetect prints: the address of each device that
                        answered, -- for the silent ones.
  read ADDR COUNT       Read COUNT bytes (1 to 65535; the Orvane5 reads up to
                        256) from ADDR and print them 16 per line with hex
                        offsets.
  write ADDR [BYTES...] Write hex bytes to ADDR as the window's Write does.
                        Bytes are two hex digits each (0x allowed, a single
                        digit is one byte), separated by blanks, commas or
                        semicolons, in one argument or several. Without
                        bytes, write the address alone (a probe).
  run FILE [LABEL...]   Run the commands of a device file (*.i2cdev) at the
                        device's address over one connection: every command
                        in file order, or the commands with these labels in
                        the order given (letter case and blanks around a
                        label do not matter). Stops at the first failure.

Options:
  -a, --adapter SERIAL  The adapter to use, by USB serial number. Without it
                        the only attached adapter is used.
  -s, --speed SPEED     Bus speed: 10k, 50k, 100k, 400k or 1000k; 100k by
                        default. The Orvane5 runs at 50k, 100k and 400k.
  --pull-ups on|off     Internal pull-ups of the Orvane5 (on by default).
                        Switch them off for external pull-ups or lower
                        voltage levels.
  -m, --mode MODE       Start/stop mode of write:
                          auto   start, address, data, stop (the default)
                          start  start, address, data; the bus stays open
                          stop   data and stop, no address
                          none   data alone, no address
                        stop and none need at least one byte; ADDR is
                        checked but not sent. Each call of the tool is one
                        connection: a transaction left open is continued by
                        the next command of a device file, not by the next
                        call.
  --8bit                Give and show addresses in 8-bit form, the 7-bit
                        address shifted left by one (0xA0 for 0x50).
  --json                Print JSON Lines instead of text.
  -h, --help            Print this help and exit.
  --version             Print the version and exit.

Addresses are hex with or without 0x: 0x00 to 0x7F, or 0x00 to 0xFF with
--8bit.

Output:
  Text: one line per transaction as the window's "Copy Report" gives it:
  type, flags and data separated by tabs, e.g.
    Write 0x23<TAB>0x02<TAB>01
    Read 0x23<TAB>0x80  NACK received<TAB>
  A successful read prints its bytes; detect prints the grid.
  JSON (--json): one object per line with the keys type ("write", "read" or
  "search"), address (the 7-bit address as a number, null for a write
  without address), ok, status (the adapter's status byte), error (the
  adapter's text, empty when ok), data (hex bytes), label (run) and found
  (detect: the addresses that answered). list gives one object per
  adapter with the keys model, serial, product, firmware, speeds and
  pullUps.

Exit status:
  0  every transaction succeeded
  1  an I2C transaction failed (NACK, timeout, bus error, arbitration
     lost); the adapter's text goes to stderr and into the output
  2  bad usage or bad input; nothing was sent to the bus
  3  no adapter, an unknown serial number, or a connection that failed or
     was lost

Examples:
  %1 list
  %1 detect
  %1 -a OR5-200107 -s 400k read 0x23 2
  %1 write 0x50 10 DE AD BE EF
  %1 --8bit read 0xA0 16
  %1 run bh1750.i2cdev "Power On" "One Time H-Res" "Read Measurement"
  %1 --json detect | jq '.found'
)")
        .arg(program);
}
