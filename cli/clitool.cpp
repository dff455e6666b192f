#include "cli/clitool.h"

#include "cli/clicommands.h"
#include "cli/clioutput.h"
#include "numbers/parsenumber.h"
#include "projects/projectsfolder.h"
#include "transactions/adapters.h"
#include "transactions/i2caddress.h"
#include "transactions/i2ctransaction.h"
#include "transactions/registermapfolders.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <map>
#include <utility>

namespace {

const QString DEFAULT_PROGRAM = QStringLiteral("pellan-i2c-cli");

// The largest read of any model; the selected model may allow fewer.
constexpr size_t MAX_READ_COUNT = 65535;

// Short option names that more than one command option claims.
std::map<QString, int> shortNameUses()
{
    std::map<QString, int> uses;
    for (const SCliCommandOption& option : CliCommandOptions()) {
        if (option.shortName)
            ++uses[QLatin1String(option.shortName)];
    }
    return uses;
}

// A parser for the command given (null: for none). It knows every option of
// every command, so that one given to the wrong command can be named, but a
// short name shared by several commands only as the given command means it.
// A long name that several options share is one option to the parser; the
// command tells what it means.
std::unique_ptr<QCommandLineParser> makeParser(const SCliCommand* command)
{
    auto parser = std::make_unique<QCommandLineParser>();
    parser->setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser->addOptions({
        QCommandLineOption({QStringLiteral("a"), QStringLiteral("adapter")}, QString(),
                           QStringLiteral("SERIAL")),
        QCommandLineOption({QStringLiteral("s"), QStringLiteral("speed")}, QString(),
                           QStringLiteral("SPEED")),
        QCommandLineOption(QStringLiteral("pull-ups"), QString(), QStringLiteral("on|off")),
        QCommandLineOption(QStringLiteral("8bit")),
        QCommandLineOption(QStringLiteral("all-addresses")),
        QCommandLineOption(QStringLiteral("json")),
        QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}),
        // The i2c-tools' "yes, no confirmation": there is none to skip.
        QCommandLineOption(QStringList{QStringLiteral("y"), QStringLiteral("yes")}),
        QCommandLineOption(QStringLiteral("version")),
    });
    const std::map<QString, int> uses = shortNameUses();
    std::vector<std::pair<QStringList, const char*>> options; // names, value name
    for (const SCliCommandOption& option : CliCommandOptions()) {
        const QString longName = QLatin1String(option.longName);
        auto entry = std::find_if(options.begin(), options.end(), [&](const auto& known) {
            return known.first.contains(longName);
        });
        if (entry == options.end())
            entry = options.insert(options.end(), {QStringList{longName}, option.valueName});
        const bool own = command && CliCommandTakes(*command, option);
        if (option.shortName && (own || uses.at(QLatin1String(option.shortName)) == 1))
            entry->first.prepend(QLatin1String(option.shortName));
    }
    for (const auto& [names, valueName] : options) {
        parser->addOption(valueName ? QCommandLineOption(names, QString(), QLatin1String(valueName))
                                    : QCommandLineOption(names));
    }
    return parser;
}

// Marks an argument that is a negative number ("-1", "-40", "-0.5"), so that
// the parser takes it for a value and not for the short options "-1": the
// command then says what is wrong with it (a count takes no sign), and an
// offset of -40 stays a value.
const QString NEGATIVE_MARK = QStringLiteral("\uE000");

QStringList markNegativeNumbers(QStringList arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--"))
            break;
        if (argument.size() > 1 && argument[0] == u'-' &&
            (argument[1].isDigit() || argument[1] == u'.'))
            arguments[i].prepend(NEGATIVE_MARK);
    }
    return arguments;
}

QString unmarked(QString text)
{
    if (text.startsWith(NEGATIVE_MARK))
        text.remove(0, NEGATIVE_MARK.size());
    return text;
}

} // namespace

CCliTool::CCliTool(QTextStream& out, QTextStream& err) : m_out(out), m_err(err) {}

CCliTool::~CCliTool() = default;

int CCliTool::Run(const QStringList& givenArguments)
{
    const QStringList arguments = markNegativeNumbers(givenArguments);
    m_program = arguments.isEmpty() ? QString() : QFileInfo(arguments.first()).fileName();
    if (m_program.isEmpty())
        m_program = DEFAULT_PROGRAM;
    m_options = SCliOptions();

    // The command decides what its short options mean, so each command's
    // parser is tried until one finds that command's name first.
    const SCliCommand* command = nullptr;
    for (const SCliCommand& candidate : CliCommands()) {
        std::unique_ptr<QCommandLineParser> parser = makeParser(&candidate);
        if (parser->parse(arguments) && !parser->positionalArguments().isEmpty() &&
            parser->positionalArguments().first() == QLatin1String(candidate.name)) {
            command = &candidate;
            m_parser = std::move(parser);
            break;
        }
    }
    if (!command) {
        m_parser = makeParser(nullptr);
        if (!m_parser->parse(arguments)) {
            const QStringList unknown = m_parser->unknownOptionNames();
            const QString shared = unknown.isEmpty() ? QString() : unknown.first();
            QStringList takers;
            for (const SCliCommandOption& option : CliCommandOptions()) {
                if (option.shortName && shared == QLatin1String(option.shortName)) {
                    takers.append(
                        QStringLiteral("%1 (--%2)")
                            .arg(CliCommandsTaking(option), QLatin1String(option.longName)));
                }
            }
            if (takers.size() > 1) {
                return Finish(Usage(tr("-%1 belongs to %2. Give it with one of these commands, "
                                       "or leave it out.")
                                        .arg(shared, takers.join(tr(" and ")))));
            }
            return Finish(Usage(tr("%1 Run \"%2 --help\" for the commands and options.")
                                    .arg(m_parser->errorText(), m_program)));
        }
    }
    const QCommandLineParser& parser = *m_parser;
    if (parser.isSet(QStringLiteral("help"))) {
        m_out << HelpText(m_program, m_helpExtra, m_exampleAdapter);
        return Finish(ECliExit::Ok);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        m_out << m_program << ' ' << QStringLiteral(PELLAN_VERSION) << '\n';
        return Finish(ECliExit::Ok);
    }

    if (const std::optional<ECliExit> refused = ReadOptions(parser))
        return Finish(*refused);
    m_output = std::make_unique<CCliOutput>(m_out, m_options.json, m_options.eightBit);

    QStringList positional;
    for (const QString& argument : parser.positionalArguments())
        positional.append(unmarked(argument));
    QStringList names;
    for (const SCliCommand& entry : CliCommands())
        names.append(QLatin1String(entry.name));
    const QString last = names.takeLast();
    const QString commands = tr("Give one of %1 or %2; \"%3 --help\" explains them.")
                                 .arg(names.join(QStringLiteral(", ")), last, m_program);
    if (positional.isEmpty())
        return Finish(Usage(tr("no command given. %1").arg(commands)));
    if (!command)
        return Finish(
            Usage(tr("unknown command %1. %2").arg(Quoted(positional.first()), commands)));
    positional.removeFirst();

    for (const SCliCommandOption& option : CliCommandOptions()) {
        const QString name = QLatin1String(option.longName);
        if (!parser.isSet(name))
            continue;
        const auto& options = CliCommandOptions();
        const bool own = std::any_of(options.begin(), options.end(), [&](const auto& candidate) {
            return name == QLatin1String(candidate.longName) &&
                   CliCommandTakes(*command, candidate);
        });
        if (!own) {
            // An i2c-tools habit: i2cset's -m is the mask, here --mask.
            QString instead;
            if (option.shortName && arguments.contains(QLatin1Char('-') + option.shortName)) {
                for (const SCliCommandOption& candidate : options) {
                    const QString longName = QLatin1String(candidate.longName);
                    // The first: i2cset's -m is --mask, not --map.
                    if (instead.isEmpty() && CliCommandTakes(*command, candidate) &&
                        longName.startsWith(QLatin1String(option.shortName))) {
                        instead = tr(" %1's own option is --%2.")
                                      .arg(QLatin1String(command->name), longName);
                    }
                }
            }
            const QString given =
                option.shortName && arguments.contains(QLatin1Char('-') + option.shortName)
                    ? QStringLiteral("-%1 (--%2)").arg(QLatin1String(option.shortName), name)
                    : QStringLiteral("--") + name;
            return Finish(Usage(tr("%1 belongs to %2.%3 Leave it out.")
                                    .arg(given, CliCommandsTaking(name), instead)));
        }
    }
    return Finish(command->run(*this, positional));
}

int CCliTool::Finish(ECliExit status)
{
    m_out.flush();
    if (OutputFailed()) {
        const QString reason = m_out.device() ? m_out.device()->errorString() : QString();
        status = Fail(
            ECliExit::OutputFailed,
            tr("cannot write the output: %1.").arg(reason.isEmpty() ? tr("write error") : reason));
    }
    return static_cast<int>(status);
}

QStringList CCliTool::SpeedNames(const SAdapterTraits& traits)
{
    QStringList names;
    for (EI2cSpeed speed : traits.speeds)
        names.append(QLatin1String(AdapterSpeed(speed).name));
    return names;
}

bool CCliTool::OutputFailed() const
{
    return m_out.status() != QTextStream::Ok;
}

QStringList CCliTool::MapFolders() const
{
    return ::MapFolders(StoredProjectsFolder(), m_demo);
}

bool CCliTool::IsSet(const QString& option) const
{
    return m_parser && m_parser->isSet(option);
}

QString CCliTool::Value(const QString& option) const
{
    return m_parser ? unmarked(m_parser->value(option)) : QString();
}

std::optional<ECliExit> CCliTool::ReadOptions(const QCommandLineParser& parser)
{
    SCliOptions& options = m_options;
    if (parser.isSet(QStringLiteral("adapter"))) {
        options.serial = unmarked(parser.value(QStringLiteral("adapter")));
        if (options.serial.isEmpty()) {
            return Usage(
                tr("--adapter needs a serial number; \"%1 list\" shows them.").arg(m_program));
        }
    }
    if (parser.isSet(QStringLiteral("speed"))) {
        const QString name = unmarked(parser.value(QStringLiteral("speed"))).trimmed();
        bool known = false;
        for (const SAdapterSpeed& entry : ADAPTER_SPEEDS) {
            if (name.compare(QLatin1String(entry.name), Qt::CaseInsensitive) == 0) {
                options.speed = entry.speed;
                options.speedName = QLatin1String(entry.name);
                known = true;
            }
        }
        if (!known) {
            return Usage(
                tr("unknown speed %1. Give one of 10k, 50k, 100k, 400k or 1000k, e.g. --speed "
                   "400k.")
                    .arg(Quoted(name)));
        }
    }
    if (parser.isSet(QStringLiteral("pull-ups"))) {
        const QString value = unmarked(parser.value(QStringLiteral("pull-ups"))).trimmed();
        if (value.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0) {
            options.pullUps = true;
        } else if (value.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
            options.pullUps = false;
        } else {
            return Usage(tr("--pull-ups takes on or off, not %1.").arg(Quoted(value)));
        }
    }
    options.eightBit = parser.isSet(QStringLiteral("8bit"));
    options.allAddresses = parser.isSet(QStringLiteral("all-addresses"));
    options.json = parser.isSet(QStringLiteral("json"));
    return std::nullopt;
}

std::unique_ptr<COrvI2c> CCliTool::SelectAdapter(ECliExit& status)
{
    SAdapterChoiceWords words;
    words.lister = Quoted(tr("%1 list").arg(m_program));
    words.giveSerial = tr("Give one of these with --adapter.");
    words.chooseOne = tr("Choose one with --adapter SERIAL, e.g. --adapter %1.");
    words.quote = [](const QString& text) { return Quoted(text); };
    const SAdapterChoiceResult choice = ChooseAdapter(
        m_options.serial.isEmpty() ? std::nullopt : std::optional<QString>(m_options.serial),
        words);
    switch (choice.outcome) {
    case EAdapterChoice::Chosen:
        break;
    case EAdapterChoice::SeveralAttached:
        status = Usage(choice.message);
        return nullptr;
    case EAdapterChoice::NoneAttached:
    case EAdapterChoice::NotAttached:
        status = Fail(ECliExit::NoConnection, choice.message);
        return nullptr;
    }

    std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(choice.entry.type);
    if (!adapter) {
        status = Fail(ECliExit::NoConnection, tr("unknown adapter model."));
        return nullptr;
    }
    m_serial = choice.entry.serialNumber;
    m_adapterName = QStringLiteral("%1 %2").arg(choice.model, QString::fromStdWString(m_serial));

    const SAdapterTraits traits = AdapterTraits(*adapter);
    if (!traits.Supports(m_options.speed)) {
        status = Usage(tr("the %1 does not run at %2. Give one of %3 with --speed.")
                           .arg(m_adapterName, m_options.speedName,
                                SpeedNames(traits).join(QStringLiteral(", "))));
        return nullptr;
    }
    if (m_options.pullUps && !traits.pullUpSwitch) {
        status = Usage(tr("the %1 has no switchable pull-ups; --pull-ups works on the Orvane5 "
                          "only. Leave it out.")
                           .arg(m_adapterName));
        return nullptr;
    }
    return adapter;
}

bool CCliTool::Connect(COrvI2c& adapter)
{
    if (ConnectAdapter(adapter, m_serial, m_options.speed, m_options.pullUps))
        return true;
    if (adapter.GetLastErrorKind() == EOrvError::Busy) {
        Fail(ECliExit::NoConnection,
             tr("cannot connect to the %1: %2. Close it or let it end; one program at a time can "
                "use an adapter.")
                 .arg(m_adapterName, QString::fromStdString(adapter.GetLastError())));
        return false;
    }
    Fail(ECliExit::NoConnection,
         tr("cannot connect to the %1: %2. Check the cable, and that you may open its HID "
            "device (the udev rule 70-pellan-i2c.rules grants it).")
             .arg(m_adapterName, Clause(QString::fromStdString(adapter.GetLastError()))));
    return false;
}

ECliExit CCliTool::ConnectionLost(COrvI2c& adapter, const std::optional<QString>& label)
{
    const QString error = QString::fromStdString(adapter.GetLastError());
    const QString where = label ? tr(" during %1").arg(Quoted(*label)) : QString();
    return Fail(ECliExit::NoConnection,
                tr("lost the connection to the %1%2: %3. Plug it back in and run the command "
                   "again.")
                    .arg(m_adapterName, where, Clause(error)));
}

ECliExit CCliTool::Judge(const SI2cTransaction& transaction, const QString& what)
{
    if (transaction.ok)
        return ECliExit::Ok;
    return Fail(
        ECliExit::Failed,
        tr("%1 failed: %2. %3").arg(what, Clause(transaction.error), FailureHint(transaction)));
}

QString CCliTool::FailureHint(const SI2cTransaction& transaction) const
{
    // One hint for each kind of failure the engine tells apart.
    switch (transaction.errorKind) {
    case EOrvError::Nack:
        return tr("Check the address, the wiring and the pull-ups; \"%1 detect\" shows which "
                  "addresses answer.")
            .arg(m_program);
    case EOrvError::ArbitrationLost:
        return tr("Another master holds the bus; try again when it is idle.");
    case EOrvError::NoStart:
        return tr("The modes stop and none continue a transaction that a start opened in the "
                  "same connection: put them after a command with mode start in one device "
                  "file.");
    case EOrvError::BusError:
        return tr("Check the wiring and the pull-ups; a device may hold SDA or SCL low.");
    case EOrvError::InvalidArgument:
    case EOrvError::Unsupported:
        // Refused before anything went out: a write without data.
        if (transaction.type != EI2cTransactionType::Write)
            break;
        return tr("Give at least one data byte; \"%1 read ADDR 1\" probes an address.")
            .arg(m_program);
    case EOrvError::Timeout:
    case EOrvError::Gone:
    case EOrvError::NotConnected:
    case EOrvError::UsbError:
    case EOrvError::AccessDenied:
    case EOrvError::Busy:
    case EOrvError::Cancelled:
        return tr("The adapter did not answer in time; unplug it, plug it in again and repeat.");
    case EOrvError::None:
    case EOrvError::WrongCount:
    case EOrvError::AdapterError:
        break;
    }
    return tr("Check the wiring and the pull-ups, and try again.");
}

std::optional<uint8_t> CCliTool::ParseAddress(const QString& text, const QString& next)
{
    QString reason;
    const std::optional<uint8_t> address = ParseI2cAddress(text, m_options.eightBit, &reason);
    if (address)
        return CheckAddress(*address, tr("address"), text, next) ? address : std::nullopt;
    if (m_options.eightBit) {
        Usage(tr("invalid address %1: %2. With --8bit give a hex address from 0x00 to 0xFF, "
                 "e.g. 0xA0.")
                  .arg(Quoted(text), reason));
    } else {
        Usage(tr("invalid address %1: %2. Give a hex 7-bit address from 0x00 to 0x7F, e.g. "
                 "0x50, or the 8-bit form with --8bit.")
                  .arg(Quoted(text), reason));
    }
    return std::nullopt;
}

bool CCliTool::CheckAddress(uint8_t address, const QString& what, const QString& given,
                            const QString& next)
{
    if (m_options.allAddresses ||
        (address >= SEARCH_FIRST_ADDRESS && address <= SEARCH_LAST_ADDRESS))
        return true;
    const bool eightBit = m_options.eightBit;
    QString message =
        tr("%1 %2 is reserved: %3 are kept for the general call, which reaches every device on "
           "the bus, the START byte, CBUS, high-speed mode and 10-bit addressing. Give %4, or "
           "--all-addresses to use a reserved one.")
            .arg(what, FormatI2cAddress(address, eightBit),
                 eightBit ? tr("0x00 to 0x0F and 0xF0 to 0xFF")
                          : tr("0x00 to 0x07 and 0x78 to 0x7F"),
                 eightBit ? tr("an address from 0x10 to 0xEF")
                          : tr("an address from 0x08 to 0x77"));
    // The i2c-tools' habit: a bus number (decimal digits) before the address.
    const bool number = !given.isEmpty() && std::all_of(given.begin(), given.end(), [](QChar c) {
        return c >= u'0' && c <= u'9';
    });
    if (number && !next.isEmpty() && ParseI2cAddress(next, eightBit, nullptr)) {
        message += tr(" Unlike the i2c-tools, %1 takes no bus number before the address: the "
                      "adapter is chosen with --adapter (-a). If %2 is one, leave it out.")
                       .arg(m_program, Quoted(given));
    }
    Usage(message);
    return false;
}

std::optional<size_t> CCliTool::ParseCount(const QString& text)
{
    QString reason;
    const std::optional<uint64_t> value =
        ParseNumber(text, ENumberSyntax::I2cTools, MAX_READ_COUNT, &reason);
    if (value && *value >= 1)
        return static_cast<size_t>(*value);
    if (value)
        reason = tr("a read takes at least 1 byte");
    Usage(tr("invalid byte count %1: %2. Give a number from 1 to 65535 (256 on the Orvane5).")
              .arg(Quoted(text), reason));
    return std::nullopt;
}

ECliExit CCliTool::Usage(const QString& message)
{
    return Fail(ECliExit::Usage, message);
}

void CCliTool::Warn(const QString& line)
{
    m_err << line << '\n';
    m_err.flush();
}

ECliExit CCliTool::Fail(ECliExit status, const QString& message)
{
    m_err << m_program << ": " << message << '\n';
    m_err.flush();
    return status;
}

QString CCliTool::Clause(const QString& text)
{
    QString clause = text.trimmed();
    // An ellipsis stays: it is not a full stop.
    if (clause.endsWith(QLatin1Char('.')) && !clause.endsWith(QLatin1String("..")))
        clause.chop(1);
    return clause;
}

QString CCliTool::Quoted(const QString& text, qsizetype maxLength)
{
    const bool cut = maxLength > 0 && text.size() > maxLength;
    QString quoted(QLatin1Char('"'));
    for (QChar c : cut ? text.left(maxLength) : text) {
        switch (c.unicode()) {
        case u'"':
            quoted += QStringLiteral("\\\"");
            break;
        case u'\\':
            quoted += QStringLiteral("\\\\");
            break;
        case u'\n':
            quoted += QStringLiteral("\\n");
            break;
        case u'\r':
            quoted += QStringLiteral("\\r");
            break;
        case u'\t':
            quoted += QStringLiteral("\\t");
            break;
        default:
            // Terminal controls and the line and paragraph separators.
            if (c.category() == QChar::Other_Control || c.unicode() == 0x2028 ||
                c.unicode() == 0x2029) {
                quoted += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            } else {
                quoted += c;
            }
        }
    }
    if (cut)
        quoted += QStringLiteral("...");
    return quoted + QLatin1Char('"');
}
