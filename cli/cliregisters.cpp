// The register commands: get, set and dump, the i2c-tools way, each over one
// connection.

#include "cli/clicommands.h"
#include "cli/clioutput.h"
#include "numbers/parsenumber.h"
#include "transactions/hexlines.h"
#include "transactions/i2caddress.h"
#include "transactions/registeraccess.h"
#include "transactions/registerdump.h"

#include <array>

namespace {

QString tr(const char* text)
{
    return CCliTool::tr(text);
}

QString registerText(uint32_t reg)
{
    return QStringLiteral("0x%1")
        .arg(reg, 2, 16, QLatin1Char('0'))
        .toUpper()
        .replace(QLatin1Char('X'), QLatin1Char('x'));
}

std::optional<uint8_t> readByte(CCliTool& tool, const QString& text, const QString& what)
{
    QString reason;
    const std::optional<uint64_t> value = ParseNumber(text, ENumberSyntax::I2cTools, 0xFF, &reason);
    if (value)
        return static_cast<uint8_t>(*value);
    tool.Usage(tr("invalid %1 %2: %3. Give a byte from 0 to 255 as hex with 0x, octal with 0 or "
                  "decimal, e.g. 0x1F.")
                   .arg(what, CCliTool::Quoted(text), reason));
    return std::nullopt;
}

// One of the i2c-tools' mode letters (i2cget's, i2cset's and i2cdump's b, w,
// c, s and i, i2cdump's W), with or without the p that asks for PEC.
struct SModeLetter {
    char letter = 0;
    bool pec = false;
};

std::optional<SModeLetter> modeLetter(const QString& text)
{
    if (text.isEmpty() || text.size() > 2 || (text.size() == 2 && text[1] != u'p'))
        return std::nullopt;
    const char letter = text[0].toLatin1();
    if (!QByteArrayView("bwcsiW").contains(letter))
        return std::nullopt;
    return SModeLetter{letter, text.size() == 2};
}

// A command line as a message shows it, in double quotes.
QString example(const CCliTool& tool, const QStringList& arguments)
{
    return QLatin1Char('"') + tool.Program() + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) +
           QLatin1Char('"');
}

// The write command that sends a register pointer alone, e.g. "write 0x48 03".
QString pointerWrite(const CCliTool& tool, const QString& address, const QString& regText,
                     int width)
{
    QString reason;
    const std::optional<uint64_t> reg =
        ParseNumber(regText, ENumberSyntax::I2cTools, MaxRegister(width), &reason);
    QStringList pointer;
    for (uint8_t byte : RegisterPointerBytes(static_cast<uint32_t>(reg.value_or(0)), width))
        pointer.append(HexByte(byte));
    return example(tool, QStringList{QStringLiteral("write"), address} +
                             (reg ? pointer : QStringList{regText}));
}

// The sentence on a p: the adapters have no SMBus packet error checking.
QString pecText(const SModeLetter& mode)
{
    return mode.pec ? tr(" The p asks for PEC, the SMBus packet error check, which the Orvane "
                         "adapters do not send or check: leave it out.")
                    : QString();
}

// What get takes instead of i2cget's mode letter at COUNT (arguments as get
// has them: ADDR REG MODE [LENGTH]).
QString getModeText(const CCliTool& tool, const QStringList& arguments, const SModeLetter& mode,
                    int width)
{
    const QString given = CCliTool::Quoted(arguments[2]);
    const QStringList head = {QStringLiteral("get"), arguments[0], arguments[1]};
    QString text;
    switch (mode.letter) {
    case 'b':
        text = tr("%1 is i2cget's mode b, a byte read; get takes a byte count there instead, "
                  "and 1 is the default: %2.")
                   .arg(given, example(tool, head));
        break;
    case 'w':
        text = tr("%1 is i2cget's mode w, which reads a 16-bit word and prints it as one number "
                  "whose low byte is the first read (0x8017 for the bytes 0x17 0x80). get takes a "
                  "byte count there instead and prints the bytes in the order read: give 2, as "
                  "in %2, which prints 0x17 0x80.")
                   .arg(given, example(tool, head + QStringList{QStringLiteral("2")}));
        break;
    case 'c':
        text = tr("%1 is i2cget's mode c, which writes the register and reads a byte in a second "
                  "transaction, after a stop. get reads after a repeated start instead, which "
                  "such devices take too: leave c out, as in %2. To keep the stop, write the "
                  "register first, %3, then get without a register, %4.")
                   .arg(given, example(tool, head),
                        pointerWrite(tool, arguments[0], arguments[1], width),
                        example(tool, {QStringLiteral("get"), arguments[0]}));
        break;
    case 's':
        text = tr("%1 is i2cget's mode s, an SMBus block read, whose first byte counts the bytes "
                  "after it. get takes a byte count there instead: give the count byte and the "
                  "bytes after it, at most 33, as in %2.")
                   .arg(given, example(tool, head + QStringList{QStringLiteral("33")}));
        break;
    case 'i':
        text =
            tr("%1 is i2cget's mode i, a block read of LENGTH bytes (32 without one). get "
               "takes that length as its byte count: %2.")
                .arg(given,
                     example(tool, head + QStringList{arguments.value(3, QStringLiteral("32"))}));
        break;
    default:
        text = tr("%1 is a mode letter of i2cdump, not of i2cget. get takes a byte count there, "
                  "1 by default, as in %2.")
                   .arg(given, example(tool, head + QStringList{QStringLiteral("2")}));
    }
    return text + pecText(mode);
}

// What set takes instead of i2cset's mode letter after the values
// (arguments as set has them: ADDR REG [VALUE...] MODE).
QString setModeText(const CCliTool& tool, const QStringList& arguments, const SModeLetter& mode,
                    int width)
{
    const QString given = CCliTool::Quoted(arguments.last());
    const QStringList values = arguments.mid(2, arguments.size() - 3);
    const QStringList head = {QStringLiteral("set"), arguments[0], arguments[1]};
    QString text;
    switch (mode.letter) {
    case 'b':
    case 'i':
        text = mode.letter == 'b'
                   ? tr("%1 is i2cset's mode b, a byte write; set writes each VALUE as a byte "
                        "anyway: leave b out, as in %2.")
                   : tr("%1 is i2cset's mode i, a block write; set writes its values as a block "
                        "anyway: leave i out, as in %2.");
        text = text.arg(given,
                        example(tool, head + (values.isEmpty() ? QStringList{QStringLiteral("0x00")}
                                                               : values)));
        break;
    case 'w': {
        // The word's bytes in the order i2cset sends them.
        QString reason;
        const std::optional<uint64_t> word =
            values.size() == 1 ? ParseNumber(values[0], ENumberSyntax::I2cTools, 0xFFFF, &reason)
                               : std::nullopt;
        const uint64_t shown = word.value_or(0x5500);
        const QStringList bytes = {QStringLiteral("0x") + HexByte(shown & 0xFF).toLower(),
                                   QStringLiteral("0x") + HexByte((shown >> 8) & 0xFF).toLower()};
        text = tr("%1 is i2cset's mode w, which writes VALUE as a 16-bit word, its low byte "
                  "first. set writes bytes as given: give the word's two bytes, low byte first, "
                  "as in %2 for the word 0x%3.")
                   .arg(given, example(tool, head + bytes))
                   .arg(shown, 4, 16, QLatin1Char('0'));
        break;
    }
    case 'c':
        text = tr("%1 is i2cset's mode c, which writes the register alone, without a value; "
                  "write does that: %2.")
                   .arg(given, pointerWrite(tool, arguments[0], arguments[1], width));
        break;
    case 's':
        text = tr("%1 is i2cset's mode s, an SMBus block write, which sends the number of "
                  "values before them; set sends only what is given: put the count first, as in "
                  "%2.")
                   .arg(given,
                        example(tool, head + QStringList{QString::number(values.size())} + values));
        break;
    default:
        text = tr("%1 is a mode letter of i2cdump, not of i2cset; set writes its values as "
                  "bytes: leave it out.")
                   .arg(given);
    }
    return text + pecText(mode);
}

// What dump takes instead of i2cdump's modes that it does not have.
QString dumpModeText(const SModeLetter& mode, const QString& given)
{
    QString text;
    switch (mode.letter) {
    case 'b':
    case 'i':
    case 'c':
        text = tr("%1 is mode %2 with a p.").arg(given, QString(QLatin1Char(mode.letter)));
        return text + pecText(mode);
    case 'w':
    case 'W':
        text = tr("%1 is i2cdump's mode %2, which reads 16-bit words and prints each as one "
                  "number, its low byte the first read. dump prints bytes: give b, or i for a "
                  "pointer that increments, and read each word's low byte first.")
                   .arg(given, QString(QLatin1Char(mode.letter)));
        break;
    default:
        text = tr("%1 is i2cdump's mode s, an SMBus block read. dump reads registers: give i, "
                  "which reads blocks as large as the model allows, or b.")
                   .arg(given);
    }
    return text + pecText(mode);
}

// What failed in a register read: setting the pointer, or the read itself.
QString failureText(const CCliTool& tool, const SRegisterRead& read, uint8_t address,
                    std::optional<uint32_t> reg, int width)
{
    if (read.pointer && !read.pointer->ok) {
        return tr("Setting the register pointer of %1 to %2 (%3 byte(s))")
            .arg(FormatI2cAddress(address, tool.Options().eightBit), registerText(reg.value_or(0)))
            .arg(width);
    }
    return TransactionTypeText(*read.failure(), tool.Options().eightBit);
}

} // namespace

std::optional<int> CliRegisterWidth(CCliTool& tool)
{
    if (!tool.IsSet(QStringLiteral("reg-width")))
        return 1;
    const QString text = tool.Value(QStringLiteral("reg-width"));
    QString reason;
    const std::optional<uint64_t> width =
        ParseNumber(text, ENumberSyntax::I2cTools, REGISTER_WIDTH_MAX, &reason);
    if (width && IsRegisterWidthValid(static_cast<int>(*width)))
        return static_cast<int>(*width);
    if (width)
        reason = tr("a pointer has at least 1 byte");
    tool.Usage(tr("invalid --reg-width %1: %2. Give the bytes of the register pointer, 1 to 4.")
                   .arg(CCliTool::Quoted(text), reason));
    return std::nullopt;
}

std::optional<uint32_t> CliRegister(CCliTool& tool, const QString& text, int width)
{
    QString reason;
    const std::optional<uint64_t> reg =
        ParseNumber(text, ENumberSyntax::I2cTools, MaxRegister(width), &reason);
    if (reg)
        return static_cast<uint32_t>(*reg);
    tool.Usage(tr("invalid register %1: %2. Give a register from 0 to %3 (a pointer of %4 "
                  "byte(s); --reg-width sets it) as hex with 0x, octal with 0 or decimal, e.g. "
                  "0x10.")
                   .arg(CCliTool::Quoted(text), reason, registerText(MaxRegister(width)))
                   .arg(width));
    return std::nullopt;
}

std::unique_ptr<COrvI2c> CliConnectForRead(CCliTool& tool, size_t count, const QString& what,
                                           ECliExit& status)
{
    std::unique_ptr<COrvI2c> adapter = tool.SelectAdapter(status);
    if (!adapter)
        return nullptr;
    if (count > adapter->GetMaxReadCount()) {
        status = tool.Usage(tr("%1 reads %2 bytes, but the %3 reads at most %4 at once. Give "
                               "fewer.")
                                .arg(what)
                                .arg(count)
                                .arg(tool.AdapterName())
                                .arg(adapter->GetMaxReadCount()));
        return nullptr;
    }
    if (!tool.Connect(*adapter)) {
        status = ECliExit::NoConnection;
        return nullptr;
    }
    return adapter;
}

ECliExit CommandGet(CCliTool& tool, const QStringList& arguments)
{
    if (tool.IsSet(QStringLiteral("map")))
        return CommandGetByMap(tool, arguments);
    const QString usage = tr("get needs an address, and optionally a register and a byte "
                             "count, e.g. \"%1 get 0x48 0x00 2\".")
                              .arg(tool.Program());
    if (arguments.isEmpty() || arguments.size() > 4)
        return tool.Usage(usage);
    const std::optional<int> width = CliRegisterWidth(tool);
    if (!width)
        return ECliExit::Usage;
    const std::optional<uint8_t> address = tool.ParseAddress(arguments[0], arguments.value(1));
    if (!address)
        return ECliExit::Usage;
    // i2cget's MODE [LENGTH] where get takes a count.
    if (arguments.size() >= 3) {
        if (const std::optional<SModeLetter> mode = modeLetter(arguments[2]))
            return tool.Usage(getModeText(tool, arguments, *mode, *width));
    }
    if (arguments.size() > 3)
        return tool.Usage(usage);
    std::optional<uint32_t> reg;
    if (arguments.size() >= 2) {
        reg = CliRegister(tool, arguments[1], *width);
        if (!reg)
            return ECliExit::Usage;
    }
    size_t count = 1;
    if (arguments.size() == 3) {
        const std::optional<size_t> parsed = tool.ParseCount(arguments[2]);
        if (!parsed)
            return ECliExit::Usage;
        count = *parsed;
    }

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = CliConnectForRead(tool, count, tr("get"), status);
    if (!adapter)
        return status;
    const SRegisterRead read = reg ? RunRegisterRead(*adapter, *address, *reg, *width, count)
                                   : RunCurrentRead(*adapter, *address, count);
    // Printed also when the adapter went away: it says what was sent.
    tool.Output().WriteRegisterRead(read, *address, reg);
    if (!read.ok() && !adapter->IsPresent())
        return tool.ConnectionLost(*adapter);
    if (read.ok())
        return ECliExit::Ok;
    return tool.Judge(*read.failure(), failureText(tool, read, *address, reg, *width));
}

ECliExit CommandSet(CCliTool& tool, const QStringList& arguments)
{
    if (tool.IsSet(QStringLiteral("map")))
        return CommandSetByMap(tool, arguments);
    if (arguments.size() < 3) {
        return tool.Usage(tr("set needs an address, a register and at least one value, e.g. "
                             "\"%1 set 0x50 0x10 0xAB\".")
                              .arg(tool.Program()));
    }
    const std::optional<int> width = CliRegisterWidth(tool);
    if (!width)
        return ECliExit::Usage;
    const std::optional<uint8_t> address = tool.ParseAddress(arguments[0], arguments.value(1));
    if (!address)
        return ECliExit::Usage;
    // i2cset's MODE after the values.
    if (const std::optional<SModeLetter> mode = modeLetter(arguments.last()))
        return tool.Usage(setModeText(tool, arguments, *mode, *width));
    const std::optional<uint32_t> reg = CliRegister(tool, arguments[1], *width);
    if (!reg)
        return ECliExit::Usage;
    std::vector<uint8_t> values;
    for (const QString& text : arguments.mid(2)) {
        const std::optional<uint8_t> value = readByte(tool, text, tr("value"));
        if (!value)
            return ECliExit::Usage;
        values.push_back(*value);
    }
    std::optional<uint8_t> mask;
    if (tool.IsSet(QStringLiteral("mask"))) {
        if (values.size() != 1) {
            return tool.Usage(tr("--mask works on a single value, not %1. Give one VALUE, or "
                                 "leave the mask out.")
                                  .arg(values.size()));
        }
        const QString text = tool.Value(QStringLiteral("mask"));
        mask = readByte(tool, text, tr("mask"));
        if (!mask)
            return ECliExit::Usage;
        // It would write the old value back: a write that clears
        // write-1-to-clear flags and changes nothing else.
        if (*mask == 0) {
            return tool.Usage(tr("invalid mask %1: a mask of 0 keeps every bit of the old value, "
                                 "so the write would only put it back, which clears flags that "
                                 "a written 1 clears. Give the bits to change, e.g. --mask 0x0F.")
                                  .arg(CCliTool::Quoted(text)));
        }
    }
    const bool readback = tool.IsSet(QStringLiteral("readback"));

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter =
        CliConnectForRead(tool, readback ? values.size() : 1, tr("--readback"), status);
    if (!adapter)
        return status;
    const SRegisterSet set =
        RunRegisterSet(*adapter, *address, *reg, *width, values, mask, readback);
    QString mismatch;
    if (set.mismatch) {
        const size_t offset = *set.mismatch;
        mismatch = tr("read back 0x%1 at offset %2 from register %3, but wrote 0x%4")
                       .arg(HexByte(set.readback->data()[offset]))
                       .arg(offset)
                       .arg(registerText(*reg), HexByte(set.written[offset]));
    }
    tool.Output().WriteRegisterSet(set, *address, *reg, mask.has_value(), readback, mismatch);
    if (!set.ok() && !adapter->IsPresent())
        return tool.ConnectionLost(*adapter);
    if (const SI2cTransaction* failure = set.failure()) {
        const QString hint = tool.FailureHint(*failure);
        switch (set.failedStep()) {
        case ERegisterSetStep::OldValue:
            return tool.Fail(ECliExit::Failed,
                             tr("reading the old value of register %1 for --mask failed: %2. "
                                "Nothing was written. %3")
                                 .arg(registerText(*reg), CCliTool::Clause(failure->error), hint));
        case ERegisterSetStep::Readback:
            return tool.Fail(ECliExit::Failed,
                             tr("reading back register %1 failed: %2. The values were written; "
                                "only their check failed. %3")
                                 .arg(registerText(*reg), CCliTool::Clause(failure->error), hint));
        default:
            return tool.Fail(ECliExit::Failed,
                             tr("writing register %1 failed: %2. %3")
                                 .arg(registerText(*reg), CCliTool::Clause(failure->error), hint));
        }
    }
    if (set.mismatch) {
        return tool.Fail(ECliExit::Failed,
                         tr("the read-back differs: %1. The register may be read-only, keep "
                            "only some bits, or (in a memory) wrap at a page end.")
                             .arg(mismatch));
    }
    return ECliExit::Ok;
}

ECliExit CommandDump(CCliTool& tool, const QStringList& arguments)
{
    if (arguments.isEmpty() || arguments.size() > 2) {
        return tool.Usage(tr("dump needs an address and optionally a mode (b, i or c), e.g. "
                             "\"%1 dump 0x50 i\".")
                              .arg(tool.Program()));
    }
    const std::optional<int> width = CliRegisterWidth(tool);
    if (!width)
        return ECliExit::Usage;
    const std::optional<uint8_t> address = tool.ParseAddress(arguments[0], arguments.value(1));
    if (!address)
        return ECliExit::Usage;
    static constexpr std::array<std::pair<const char*, ERegisterDumpMode>, 3> modes{{
        {"b", ERegisterDumpMode::Byte},
        {"i", ERegisterDumpMode::Block},
        {"c", ERegisterDumpMode::Consecutive},
    }};
    ERegisterDumpMode mode = ERegisterDumpMode::Byte;
    if (arguments.size() == 2) {
        bool known = false;
        for (const auto& [name, value] : modes) {
            if (arguments[1] == QLatin1String(name)) {
                mode = value;
                known = true;
            }
        }
        if (const std::optional<SModeLetter> letter = modeLetter(arguments[1]); !known && letter) {
            return tool.Usage(dumpModeText(*letter, CCliTool::Quoted(arguments[1])) +
                              tr(" dump's modes are b, i and c."));
        }
        if (!known) {
            return tool.Usage(tr("unknown dump mode %1. Give b (a register read per byte, the "
                                 "default), i (a read per block, for a pointer that increments) "
                                 "or c (one pointer write, then byte reads).")
                                  .arg(CCliTool::Quoted(arguments[1])));
        }
    }
    uint32_t first = 0x00;
    uint32_t last = 0xFF;
    if (tool.IsSet(QStringLiteral("range"))) {
        const QString text = tool.Value(QStringLiteral("range"));
        const QStringList ends = text.split(QLatin1Char('-'));
        QString reason = tr("it is not two numbers joined by -");
        std::optional<uint64_t> from;
        std::optional<uint64_t> to;
        if (ends.size() == 2) {
            from = ParseNumber(ends[0], ENumberSyntax::I2cTools, MaxRegister(*width), &reason);
            if (from)
                to = ParseNumber(ends[1], ENumberSyntax::I2cTools, MaxRegister(*width), &reason);
            if (to && *from > *to)
                reason = tr("FIRST is above LAST");
        }
        if (!from || !to || *from > *to) {
            return tool.Usage(
                tr("invalid range %1: %2. Give FIRST-LAST, two registers from 0 "
                   "to %3 with FIRST not above LAST, e.g. --range 0x10-0x1f.")
                    .arg(CCliTool::Quoted(text), reason, registerText(MaxRegister(*width))));
        }
        if (*to - *from >= REGISTER_DUMP_MAX_COUNT) {
            return tool.Usage(tr("the range %1 holds more than %2 registers. Dump it in parts.")
                                  .arg(CCliTool::Quoted(text))
                                  .arg(REGISTER_DUMP_MAX_COUNT));
        }
        first = static_cast<uint32_t>(*from);
        last = static_cast<uint32_t>(*to);
    }

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = CliConnectForRead(tool, 1, tr("dump"), status);
    if (!adapter)
        return status;
    // Each row is printed once read, as i2cdump prints it, so that a signal,
    // which ends the dump at once, leaves what was read; the grid is printed
    // whole, with XX for what failed, even when the adapter went away.
    CCliOutput& output = tool.Output();
    const SRegisterDump dump = RunRegisterDump(*adapter, *address, first, last, *width, mode,
                                               [&output](const SRegisterDump& part, size_t done) {
                                                   output.WriteRegisterDumpRows(part, done);
                                               });
    output.WriteRegisterDump(dump, *address);
    if (dump.ok())
        return ECliExit::Ok;
    if (!adapter->IsPresent())
        return tool.ConnectionLost(*adapter);
    const SI2cTransaction& failure = *dump.failure;
    if (dump.stopped) {
        return tool.Fail(
            ECliExit::Failed,
            tr("reading register %1 failed: %2. The adapter stopped answering, so "
               "the dump ended there (XX from there on); unplug it, plug it in "
               "again and repeat.")
                .arg(registerText(dump.failureRegister), CCliTool::Clause(failure.error)));
    }
    return tool.Fail(ECliExit::Failed,
                     tr("%1 of %2 bytes failed (XX in the grid), the first at register %3 "
                        "with: %4. %5")
                         .arg(dump.failed)
                         .arg(dump.values.size())
                         .arg(registerText(dump.failureRegister), CCliTool::Clause(failure.error),
                              tool.FailureHint(failure)));
}
