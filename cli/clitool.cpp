#include "cli/clitool.h"

#include "cli/clioutput.h"
#include "i2c/orvdevicefactory.h"
#include "i2c/orvi2c.h"
#include "projects/i2cdevicefile.h"
#include "transactions/i2caddress.h"
#include "transactions/i2ctransaction.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <array>
#include <utility>

namespace {

const QString DEFAULT_PROGRAM = QStringLiteral("pellan-i2c-cli");
// Bits of the adapter's status byte and codes of its acknowledge.
constexpr uint8_t STATUS_ERROR = 0x80;
constexpr uint8_t STATUS_ARBITRATION_LOST = 0x40;
constexpr uint8_t ERROR_CODE_NO_START = 2;
constexpr uint8_t ERROR_CODE_NACK = 3;
constexpr uint8_t ERROR_CODE_BUS_ERROR = 4;

// The largest read of any model; the selected model may allow fewer.
constexpr size_t MAX_READ_COUNT = 65535;

struct SSpeedName {
    const char* name;
    EI2cSpeed speed;
};

// Slowest first, as users think of them.
constexpr std::array<SSpeedName, 5> SPEED_NAMES{{
    {"10k", EI2cSpeed::Speed10k},
    {"50k", EI2cSpeed::Speed50k},
    {"100k", EI2cSpeed::Speed100k},
    {"400k", EI2cSpeed::Speed400k},
    {"1000k", EI2cSpeed::Speed1000k},
}};

QStringList supportedSpeeds(const COrvI2c& adapter)
{
    QStringList names;
    for (const auto& [name, speed] : SPEED_NAMES) {
        if (adapter.IsSpeedSupported(speed))
            names.append(QLatin1String(name));
    }
    return names;
}

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString typeNameOf(EOrvType type)
{
    const std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(type);
    return adapter ? QString::fromStdWString(adapter->GetTypeName()) : QString();
}

} // namespace

struct CCliTool::SOptions {
    QString serial; // empty: the only attached adapter
    EI2cSpeed speed = EI2cSpeed::Speed100k;
    QString speedName = QStringLiteral("100k");
    std::optional<bool> pullUps;
    std::optional<EI2cStartStop> mode;
    bool eightBit = false;
    bool json = false;
};

CCliTool::CCliTool(QTextStream& out, QTextStream& err) : m_out(out), m_err(err) {}

CCliTool::~CCliTool() = default;

int CCliTool::Run(const QStringList& arguments)
{
    m_program = arguments.isEmpty() ? QString() : QFileInfo(arguments.first()).fileName();
    if (m_program.isEmpty())
        m_program = DEFAULT_PROGRAM;
    m_options = std::make_unique<SOptions>();

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    const QCommandLineOption adapterOption({QStringLiteral("a"), QStringLiteral("adapter")},
                                           QString(), QStringLiteral("SERIAL"));
    const QCommandLineOption speedOption({QStringLiteral("s"), QStringLiteral("speed")}, QString(),
                                         QStringLiteral("SPEED"));
    const QCommandLineOption pullUpsOption(QStringLiteral("pull-ups"), QString(),
                                           QStringLiteral("on|off"));
    const QCommandLineOption modeOption({QStringLiteral("m"), QStringLiteral("mode")}, QString(),
                                        QStringLiteral("MODE"));
    const QCommandLineOption eightBitOption(QStringLiteral("8bit"));
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringLiteral("version"));
    parser.addOptions({adapterOption, speedOption, pullUpsOption, modeOption, eightBitOption,
                       jsonOption, helpOption, versionOption});

    if (!parser.parse(arguments)) {
        return static_cast<int>(Usage(tr("%1 Run \"%2 --help\" for the commands and options.")
                                          .arg(parser.errorText(), m_program)));
    }
    if (parser.isSet(helpOption)) {
        m_out << HelpText(m_program);
        m_out.flush();
        return static_cast<int>(ECliExit::Ok);
    }
    if (parser.isSet(versionOption)) {
        m_out << m_program << ' ' << QStringLiteral(PELLAN_VERSION) << '\n';
        m_out.flush();
        return static_cast<int>(ECliExit::Ok);
    }

    if (const std::optional<ECliExit> refused = ReadOptions(parser))
        return static_cast<int>(*refused);
    SOptions& options = *m_options;
    m_output = std::make_unique<CCliOutput>(m_out, options.json, options.eightBit);

    QStringList positional = parser.positionalArguments();
    const QString commands = tr("Give one of list, detect, read, write or run; \"%1 --help\" "
                                "explains them.")
                                 .arg(m_program);
    if (positional.isEmpty())
        return static_cast<int>(Usage(tr("no command given. %1").arg(commands)));
    const QString command = positional.takeFirst();
    if (options.mode && command != QLatin1String("write")) {
        return static_cast<int>(Usage(tr("--mode belongs to write; the commands of a device file "
                                         "carry their own mode. Leave it out.")));
    }

    ECliExit status = ECliExit::Usage;
    if (command == QLatin1String("list")) {
        status = positional.isEmpty() ? CommandList()
                                      : Usage(tr("list takes no arguments. Leave out %1.")
                                                  .arg(quoted(positional.join(QLatin1Char(' ')))));
    } else if (command == QLatin1String("detect")) {
        status = CommandDetect(positional);
    } else if (command == QLatin1String("read")) {
        status = CommandRead(positional);
    } else if (command == QLatin1String("write")) {
        status = CommandWrite(positional);
    } else if (command == QLatin1String("run")) {
        status = CommandRun(positional);
    } else {
        status = Usage(tr("unknown command %1. %2").arg(quoted(command), commands));
    }
    return static_cast<int>(status);
}

std::optional<ECliExit> CCliTool::ReadOptions(const QCommandLineParser& parser)
{
    SOptions& options = *m_options;
    if (parser.isSet(QStringLiteral("adapter"))) {
        options.serial = parser.value(QStringLiteral("adapter"));
        if (options.serial.isEmpty()) {
            return Usage(
                tr("--adapter needs a serial number; \"%1 list\" shows them.").arg(m_program));
        }
    }
    if (parser.isSet(QStringLiteral("speed"))) {
        const QString name = parser.value(QStringLiteral("speed")).trimmed();
        bool known = false;
        for (const auto& [speedName, speed] : SPEED_NAMES) {
            if (name.compare(QLatin1String(speedName), Qt::CaseInsensitive) == 0) {
                options.speed = speed;
                options.speedName = QLatin1String(speedName);
                known = true;
            }
        }
        if (!known) {
            return Usage(
                tr("unknown speed %1. Give one of 10k, 50k, 100k, 400k or 1000k, e.g. --speed "
                   "400k.")
                    .arg(quoted(name)));
        }
    }
    if (parser.isSet(QStringLiteral("pull-ups"))) {
        const QString value = parser.value(QStringLiteral("pull-ups")).trimmed();
        if (value.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0) {
            options.pullUps = true;
        } else if (value.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
            options.pullUps = false;
        } else {
            return Usage(tr("--pull-ups takes on or off, not %1.").arg(quoted(value)));
        }
    }
    if (parser.isSet(QStringLiteral("mode"))) {
        const QString value = parser.value(QStringLiteral("mode")).trimmed();
        for (const auto& [mode, name] : MODE_NAMES) {
            if (value.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                options.mode = mode;
        }
        if (!options.mode) {
            return Usage(tr("unknown mode %1. Give one of auto, start, stop or none, e.g. --mode "
                            "start.")
                             .arg(quoted(value)));
        }
    }
    options.eightBit = parser.isSet(QStringLiteral("8bit"));
    options.json = parser.isSet(QStringLiteral("json"));
    return std::nullopt;
}

ECliExit CCliTool::CommandList()
{
    const std::vector<SOrvDeviceEntry> entries = COrvDeviceFactory::EnumerateDevices();
    if (entries.empty()) {
        m_output->WriteNoAdapters();
        // JSON Lines stay parseable: the note goes to err.
        if (m_options->json) {
            m_err << m_program << ": " << tr("no Orvane adapter is attached.") << '\n';
            m_err.flush();
        }
        return ECliExit::Ok;
    }
    for (const SOrvDeviceEntry& entry : entries) {
        const std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(entry.type);
        std::wstring product;
        uint16_t firmware = 0;
        // An adapter unplugged since the listing is left out.
        if (!adapter || !adapter->Describe(entry.serialNumber, product, firmware))
            continue;
        SCliAdapterInfo info;
        info.model = QString::fromStdWString(adapter->GetTypeName());
        info.serial = QString::fromStdWString(entry.serialNumber);
        info.product = QString::fromStdWString(product);
        info.firmware = firmware;
        info.speeds = supportedSpeeds(*adapter);
        info.pullUps = adapter->HasPullUpSwitch();
        m_output->WriteAdapter(info);
    }
    return ECliExit::Ok;
}

ECliExit CCliTool::CommandDetect(const QStringList& arguments)
{
    if (!arguments.isEmpty()) {
        return Usage(tr("detect takes no arguments; it probes 0x08 to 0x77. Leave out %1.")
                         .arg(quoted(arguments.join(QLatin1Char(' ')))));
    }
    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = SelectAdapter(status);
    if (!adapter)
        return status;
    if (!Connect(*adapter))
        return ECliExit::NoConnection;

    const SI2cTransaction search = RunSearch(*adapter);
    // Probes fail one by one when the adapter goes; only its presence after
    // the whole scan tells a quiet bus from a lost adapter.
    if (!adapter->IsPresent())
        return ConnectionLost(*adapter);
    m_output->WriteSearch(search);
    return ECliExit::Ok;
}

ECliExit CCliTool::CommandRead(const QStringList& arguments)
{
    if (arguments.size() != 2) {
        return Usage(
            tr("read needs an address and a byte count, e.g. \"%1 read 0x23 2\".").arg(m_program));
    }
    const std::optional<uint8_t> address = ParseAddress(arguments[0]);
    if (!address)
        return ECliExit::Usage;
    const std::optional<size_t> count = ParseCount(arguments[1]);
    if (!count)
        return ECliExit::Usage;

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = SelectAdapter(status);
    if (!adapter)
        return status;
    if (*count > adapter->GetMaxReadCount()) {
        return Usage(tr("the %1 reads at most %2 bytes at once, not %3. Give a smaller count.")
                         .arg(m_adapterName)
                         .arg(adapter->GetMaxReadCount())
                         .arg(*count));
    }
    if (!Connect(*adapter))
        return ECliExit::NoConnection;

    const SI2cTransaction read = RunRead(*adapter, *address, *count);
    if (!read.ok && !adapter->IsPresent())
        return ConnectionLost(*adapter);
    m_output->WriteReadData(read);
    return Judge(read, TransactionTypeText(read, m_options->eightBit));
}

ECliExit CCliTool::CommandWrite(const QStringList& arguments)
{
    if (arguments.isEmpty()) {
        return Usage(tr("write needs an address and the bytes, e.g. \"%1 write 0x50 00 10\".")
                         .arg(m_program));
    }
    const EI2cStartStop mode = m_options->mode.value_or(EI2cStartStop::Auto);
    const std::optional<uint8_t> address = ParseAddress(arguments[0]);
    if (!address)
        return ECliExit::Usage;
    const QString text = arguments.mid(1).join(QLatin1Char(' '));
    const std::optional<std::vector<uint8_t>> bytes = CI2cDeviceFile::HexToBytes(text);
    if (!bytes) {
        return Usage(tr("invalid hex bytes %1. Give bytes of two hex digits each, separated by "
                        "blanks, commas or semicolons, e.g. 01 A5 FF.")
                         .arg(quoted(text)));
    }
    if (!IsWriteDataAcceptable(mode, *bytes)) {
        return Usage(tr("--mode %1 sends no address, so it needs at least one data byte, e.g. "
                        "\"%2 write %3 FF --mode %1\".")
                         .arg(QLatin1String(MODE_NAMES[static_cast<size_t>(mode)].second),
                              m_program, arguments[0]));
    }

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = SelectAdapter(status);
    if (!adapter)
        return status;
    if (!Connect(*adapter))
        return ECliExit::NoConnection;

    const SI2cTransaction write = RunWrite(*adapter, mode, *address, *bytes);
    if (!write.ok && !adapter->IsPresent())
        return ConnectionLost(*adapter);
    m_output->WriteTransaction(write);
    return Judge(write, TransactionTypeText(write, m_options->eightBit));
}

ECliExit CCliTool::CommandRun(const QStringList& arguments)
{
    if (arguments.isEmpty()) {
        return Usage(tr("run needs a device file, e.g. \"%1 run bh1750.i2cdev\".").arg(m_program));
    }
    const QString path = arguments[0];
    CI2cDeviceFile device;
    if (!device.Load(path)) {
        return Usage(tr("cannot use the device file %1: %2. Give the path of a readable device "
                        "file and correct what the error names.")
                         .arg(quoted(path), device.GetLastError()));
    }

    const QList<SI2cCommand>& all = device.GetCommands();
    QList<SI2cCommand> commands;
    if (arguments.size() == 1)
        commands = all;
    for (const QString& label : arguments.mid(1)) {
        const int index = device.FindCommandLabel(label);
        if (index >= 0) {
            commands.append(all[index]);
            continue;
        }
        QStringList labels;
        for (const SI2cCommand& command : all)
            labels.append(quoted(command.label));
        return Usage(
            labels.isEmpty()
                ? tr("the device file %1 has no commands, so none is labelled %2.")
                      .arg(quoted(path), quoted(label))
                : tr("the device file %1 has no command %2. Give one of %3.")
                      .arg(quoted(path), quoted(label), labels.join(QStringLiteral(", "))));
    }
    for (const SI2cCommand& command : commands) {
        if (command.type == EI2cCommandType::Write &&
            !IsWriteDataAcceptable(command.mode, command.data)) {
            return Usage(
                tr("the command %1 of %2 writes no bytes in mode %3, which sends no "
                   "address. Add data bytes to it.")
                    .arg(quoted(command.label), quoted(path),
                         QLatin1String(MODE_NAMES[static_cast<size_t>(command.mode)].second)));
        }
    }

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = SelectAdapter(status);
    if (!adapter)
        return status;
    for (const SI2cCommand& command : commands) {
        if (command.type == EI2cCommandType::Read &&
            static_cast<size_t>(command.count) > adapter->GetMaxReadCount()) {
            return Usage(tr("the command %1 reads %2 bytes, but the %3 reads at most %4 at once. "
                            "Lower its count.")
                             .arg(quoted(command.label))
                             .arg(command.count)
                             .arg(m_adapterName)
                             .arg(adapter->GetMaxReadCount()));
        }
    }
    if (!Connect(*adapter))
        return ECliExit::NoConnection;

    for (const SI2cCommand& command : commands) {
        const SI2cTransaction transaction = RunCommand(*adapter, device.GetAddress(), command);
        if (!transaction.ok && !adapter->IsPresent())
            return ConnectionLost(*adapter, command.label);
        m_output->WriteTransaction(transaction, command.label);
        if (!transaction.ok)
            return Judge(transaction, tr("the command %1").arg(quoted(command.label)));
    }
    return ECliExit::Ok;
}

std::unique_ptr<COrvI2c> CCliTool::SelectAdapter(ECliExit& status)
{
    const std::vector<SOrvDeviceEntry> entries = COrvDeviceFactory::EnumerateDevices();
    QStringList attached;
    for (const SOrvDeviceEntry& entry : entries) {
        attached.append(QStringLiteral("%1 (%2)").arg(QString::fromStdWString(entry.serialNumber),
                                                      typeNameOf(entry.type)));
    }

    const SOrvDeviceEntry* chosen = nullptr;
    if (entries.empty()) {
        status = Fail(ECliExit::NoConnection,
                      tr("no Orvane adapter is attached. Plug one in and check with \"%1 list\".")
                          .arg(m_program));
        return nullptr;
    }
    if (!m_options->serial.isEmpty()) {
        for (const SOrvDeviceEntry& entry : entries) {
            if (QString::fromStdWString(entry.serialNumber) == m_options->serial) {
                chosen = &entry;
                break;
            }
        }
        if (!chosen) {
            status = Fail(ECliExit::NoConnection,
                          tr("no adapter with the serial number %1 is attached. Attached: %2. "
                             "Give one of these with --adapter.")
                              .arg(quoted(m_options->serial), attached.join(QStringLiteral(", "))));
            return nullptr;
        }
    } else if (entries.size() > 1) {
        status = Usage(tr("%1 adapters are attached: %2. Choose one with --adapter SERIAL, e.g. "
                          "--adapter %3.")
                           .arg(entries.size())
                           .arg(attached.join(QStringLiteral(", ")),
                                QString::fromStdWString(entries.front().serialNumber)));
        return nullptr;
    } else {
        chosen = &entries.front();
    }

    std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(chosen->type);
    if (!adapter) {
        status = Fail(ECliExit::NoConnection, tr("unknown adapter model."));
        return nullptr;
    }
    m_serial = chosen->serialNumber;
    m_adapterName = QStringLiteral("%1 %2").arg(QString::fromStdWString(adapter->GetTypeName()),
                                                QString::fromStdWString(m_serial));

    if (!adapter->IsSpeedSupported(m_options->speed)) {
        status = Usage(tr("the %1 does not run at %2. Give one of %3 with --speed.")
                           .arg(m_adapterName, m_options->speedName,
                                supportedSpeeds(*adapter).join(QStringLiteral(", "))));
        return nullptr;
    }
    if (m_options->pullUps && !adapter->HasPullUpSwitch()) {
        status = Usage(tr("the %1 has no switchable pull-ups; --pull-ups works on the Orvane5 "
                          "only. Leave it out.")
                           .arg(m_adapterName));
        return nullptr;
    }
    return adapter;
}

bool CCliTool::Connect(COrvI2c& adapter)
{
    // Kept by the adapter and applied while connecting.
    if (m_options->pullUps)
        adapter.SetPullUpsEnabled(*m_options->pullUps);
    if (adapter.Connect(m_serial, m_options->speed))
        return true;
    Fail(ECliExit::NoConnection,
         tr("cannot connect to the %1: %2. Check the cable, and that you may open its HID "
            "device (the udev rule 70-pellan-i2c.rules grants it).")
             .arg(m_adapterName, QString::fromStdString(adapter.GetLastError())));
    return false;
}

ECliExit CCliTool::ConnectionLost(COrvI2c& adapter, const std::optional<QString>& label)
{
    const QString error = QString::fromStdString(adapter.GetLastError());
    const QString where = label ? tr(" during %1").arg(quoted(*label)) : QString();
    return Fail(ECliExit::NoConnection,
                tr("lost the connection to the %1%2: %3. Plug it back in and run the command "
                   "again.")
                    .arg(m_adapterName, where, error));
}

ECliExit CCliTool::Judge(const SI2cTransaction& transaction, const QString& what)
{
    if (transaction.ok)
        return ECliExit::Ok;
    return Fail(ECliExit::Failed,
                tr("%1 failed: %2. %3").arg(what, transaction.error, FailureHint(transaction)));
}

QString CCliTool::FailureHint(const SI2cTransaction& transaction) const
{
    const QString nack = tr("Check the address, the wiring and the pull-ups; \"%1 detect\" shows "
                            "which addresses answer.")
                             .arg(m_program);
    if (transaction.status & STATUS_ARBITRATION_LOST)
        return tr("Another master holds the bus; try again when it is idle.");
    if (transaction.type == EI2cTransactionType::Write) {
        switch (transaction.errorCode) {
        case ERROR_CODE_NO_START:
            return tr("The modes stop and none continue a transaction that a start opened in "
                      "the same connection: put them after a command with mode start in one "
                      "device file.");
        case ERROR_CODE_NACK:
            return nack;
        case ERROR_CODE_BUS_ERROR:
            return tr("Check the wiring and the pull-ups; a device may hold SDA or SCL low.");
        default:
            break;
        }
        // Refused by the adapter before anything went out.
        if (transaction.status == 0 && transaction.data.empty())
            return tr("Give at least one data byte; \"%1 read ADDR 1\" probes an address.")
                .arg(m_program);
    } else if (transaction.status & STATUS_ERROR) {
        return nack;
    }
    if (transaction.status == 0)
        return tr("The adapter did not answer in time; unplug it, plug it in again and repeat.");
    return tr("Check the wiring and the pull-ups, and try again.");
}

std::optional<uint8_t> CCliTool::ParseAddress(const QString& text)
{
    const std::optional<uint8_t> address = ParseI2cAddress(text, m_options->eightBit);
    if (address)
        return address;
    if (m_options->eightBit) {
        Usage(tr("invalid address %1. With --8bit give a hex address from 0x00 to 0xFF, e.g. "
                 "0xA0.")
                  .arg(quoted(text)));
    } else {
        Usage(tr("invalid address %1. Give a hex 7-bit address from 0x00 to 0x7F, e.g. 0x50, "
                 "or the 8-bit form with --8bit.")
                  .arg(quoted(text)));
    }
    return std::nullopt;
}

std::optional<size_t> CCliTool::ParseCount(const QString& text)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    const bool digitsOnly =
        std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (ok && digitsOnly && value >= 1 && value <= MAX_READ_COUNT)
        return value;
    Usage(tr("invalid byte count %1. Give a decimal number from 1 to 65535 (256 on the "
             "Orvane5).")
              .arg(quoted(text)));
    return std::nullopt;
}

ECliExit CCliTool::Usage(const QString& message)
{
    return Fail(ECliExit::Usage, message);
}

ECliExit CCliTool::Fail(ECliExit status, const QString& message)
{
    m_err << m_program << ": " << message << '\n';
    m_err.flush();
    return status;
}
