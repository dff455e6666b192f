#include "cli/clicommands.h"
#include "cli/clitool.h"

#include <QCoreApplication>

namespace {

constexpr int HELP_COLUMN = 24;

// One entry of a list: the name two blanks in, the first line of the text
// beside it at HELP_COLUMN (or below it when the name is too wide), the
// other lines below.
QString helpEntry(const QString& name, const char* text)
{
    const QStringList lines =
        QCoreApplication::translate("CCliTool", text).split(QLatin1Char('\n'));
    QString entry = QStringLiteral("  ") + name;
    const QString indent(HELP_COLUMN, QLatin1Char(' '));
    if (entry.size() < HELP_COLUMN)
        entry += QString(HELP_COLUMN - entry.size(), QLatin1Char(' '));
    else
        entry += QLatin1Char('\n') + indent;
    entry += lines.first() + QLatin1Char('\n');
    for (qsizetype i = 1; i < lines.size(); ++i)
        entry += indent + lines[i] + QLatin1Char('\n');
    return entry;
}

QString optionName(const SCliCommandOption& option)
{
    QString name = QStringLiteral("--") + QLatin1String(option.longName);
    if (option.shortName)
        name = QStringLiteral("-%1, %2").arg(QLatin1String(option.shortName), name);
    if (option.valueName)
        name += QLatin1Char(' ') + QLatin1String(option.valueName);
    return name;
}

QString commandsSection()
{
    QString text = CCliTool::tr("Commands:\n");
    for (const SCliCommand& command : CliCommands())
        text += helpEntry(QLatin1String(command.synopsis), command.help);
    return text;
}

// The options of the commands, grouped under the commands that take them.
QString commandOptionsSection()
{
    QString text;
    QString group;
    for (const SCliCommandOption& option : CliCommandOptions()) {
        const QString takers = CliCommandsTaking(option);
        if (takers != group) {
            group = takers;
            text += CCliTool::tr("\nOptions of %1:\n").arg(group);
        }
        text += helpEntry(optionName(option), option.help);
    }
    return text;
}

} // namespace

// The text around the tables in one place, so that it reads as it prints.
QString CCliTool::HelpText(const QString& program, const QString& extra,
                           const QString& exampleAdapter)
{
    // The examples name the adapter where several are attached (the demo),
    // so that each runs as written.
    const QString adapter =
        exampleAdapter.isEmpty() ? QString() : QStringLiteral(" -a ") + exampleAdapter;
    return tr(R"(Usage: %1 [options] COMMAND [ARGS]

Writes, reads and scans I2C buses through an Orvane3, Orvane5 or Orvane7
USB-I2C adapter, and runs the device files of Pellan I2C's projects panel,
with the same rules and output as the window.

%2
Options:
  -a, --adapter SERIAL  The adapter to use, by USB serial number. Without it
                        the only attached adapter is used.
  -s, --speed SPEED     Bus speed: 10k, 50k, 100k, 400k or 1000k; 100k by
                        default. The Orvane5 runs at 50k, 100k and 400k.
  --pull-ups on|off     Internal pull-ups of the Orvane5 (on by default).
                        Switch them off for external pull-ups or lower
                        voltage levels.
  --8bit                Give and show addresses in 8-bit form, the 7-bit
                        address shifted left by one (0xA0 for 0x50). The
                        grid of detect stays by 7-bit address.
  --all-addresses       Also take the reserved addresses 0x00 to 0x07 and
                        0x78 to 0x7F (general call, 10-bit addressing, ...),
                        which are refused without it; detect then probes
                        0x00 to 0x7F, as i2cdetect -a.
  --json                Print JSON Lines instead of text.
  -y, --yes             Accepted and ignored, as the i2c-tools' -y: no
                        command asks for confirmation.
  -h, --help            Print this help and exit.
  --version             Print the version and exit.
%3
Addresses are hex with or without 0x: 0x08 to 0x77, or 0x10 to 0xEF with
--8bit (0x00 to 0x7F or 0xFF with --all-addresses). There is no bus number
as the i2c-tools take one: --adapter chooses the adapter.

Output:
  Text: one line per transaction as the window's "Copy Report" gives it:
  type, flags and data separated by tabs, e.g.
    Write 0x23<TAB>0x02<TAB>01
    Read 0x23<TAB>0x80  NACK received<TAB>
  A successful read prints its bytes; detect prints the grid. get and
  transfer print the bytes read as i2cget does (0x17 0x80), dump prints
  the grid of i2cdump, set prints nothing (with -r the line of i2cset -r).
  watch prints a line per
  sample: the time in ISO 8601 with milliseconds, a tab, and the value
  with its unit (the bytes without --format, "failed: " and the error
  for a failed poll), e.g.
    2026-03-14T09:26:53.589+01:00<TAB>23.50 °C
  JSON (--json): one object per line with the keys type ("write", "read" or
  "search"), address (the 7-bit address as a number, null for a write
  without address), ok, status (the adapter's status byte), error (the
  adapter's text, empty when ok), data (hex bytes), label (run), found
  and failed (detect: the addresses that answered, and those whose probes
  failed other than by a NACK). get, set, dump and transfer give one
  object per call under their own type, adding register (get, set), old and
  readback (set), first and last (dump, whose data shows XX for a failed
  byte) and messages (transfer, one object per message sent). watch
  gives one object per sample, adding register, time, seconds (since the
  first poll), value (null without --format) and unit. list gives
  one object per adapter with the keys model, serial, product, firmware,
  speeds and pullUps.
  Register maps (--map): regs prints a line per register and one per
  field, e.g.
    TEMP (0x00) = 0x1780
      T = 23.5 °C
  With --json, regs, get and set print one object per register:
    {"register":"TEMP","address":0,"raw":"0x1780",
     "fields":{"T":{"value":23.5,"text":"23.5 °C"}}}
  (on one line), value the label of a labelled value; one that failed
  adds "ok":false and error, raw null. map list and map check give an
  object per map.

Exit status:
  0  every transaction succeeded; also a watch ended by Ctrl+C or SIGTERM
     when no sample failed (the other commands end at once at either,
     as the i2c-tools do, and the shell sees the signal)
  1  an I2C transaction failed (NACK, timeout, bus error, arbitration
     lost); the adapter's text goes to stderr and into the output
  2  bad usage or bad input; nothing was sent to the bus
  3  no adapter, an unknown serial number, or a connection that failed or
     was lost
  4  the output could not be written (a full disk, a closed pipe or
     standard output); the reason goes to stderr

Examples (run in the projects folder, where the example bh1750.i2cdev lies):
  %1 list
  %1%4 detect
  %1 -a OR5-200107 -s 400k read 0x23 2
  %1%4 write 0x50 10 DE AD BE EF
  %1%4 --8bit read 0xA0 16
  %1%4 run bh1750.i2cdev "Power On" "One Time H-Res" "Read Measurement"
  %1%4 --json detect | jq '.found'
  %1%4 get 0x48 0x00 2
  %1%4 set -r 0x50 0x10 0xde 0xad
  %1%4 dump -r 0x00-0x3f 0x50 i
  %1%4 transfer -v w1@0x50 0x10 r4
  %1%4 watch 0x48 2 --register 0 --format s16be --shift 7 --scale 0.5
  %1%4 watch --csv --interval 100ms --samples 20 0x48 2 > log.csv
  %1%4 regs 0x48 --map LM75
  %1%4 get 0x48 TEMP.T --map LM75
  %1%4 set 0x48 CONF.F_QUE="4 faults" TOS.T=80 --map LM75
  %1%4 --json watch 0x48 --map LM75 --field TEMP.T --samples 3
  %1 map header LM75 > lm75.h
)")
               .arg(program, commandsSection(), commandOptionsSection(), adapter) +
           extra;
}
