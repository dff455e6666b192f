// The watch command: one value polled on a fixed schedule until a number of
// samples, Ctrl+C or SIGTERM, printed as text, CSV or JSON Lines.

#include "cli/clicommands.h"
#include "cli/clioutput.h"
#include "cli/clisignals.h"
#include "numbers/parsenumber.h"
#include "transactions/registercodec.h"
#include "transactions/registermapaccess.h"
#include "transactions/watch.h"

#include <QDateTime>

#include <algorithm>
#include <array>
#include <chrono>

namespace {

using Clock = CCliStopSignals::Clock;

constexpr int DEFAULT_INTERVAL_MS = 1000;

QString tr(const char* text)
{
    return CCliTool::tr(text);
}

struct SDecodingOption {
    const char* name;
    QString SDecodingTexts::*text;
};

// The options after --format, which decode a value and need it.
const std::array<SDecodingOption, 6> DECODING_OPTIONS = {{
    {"shift", &SDecodingTexts::shift},
    {"mask", &SDecodingTexts::mask},
    {"scale", &SDecodingTexts::scale},
    {"offset", &SDecodingTexts::offset},
    {"unit", &SDecodingTexts::unit},
    {"decimals", &SDecodingTexts::decimals},
}};

// The rule the options give: none without --format (the bytes are shown),
// or the exit status in status when they are refused.
std::optional<SDecodingRule> readRule(CCliTool& tool, ECliExit& status)
{
    status = ECliExit::Ok;
    SDecodingTexts texts;
    for (const SDecodingOption& option : DECODING_OPTIONS) {
        const QString name = QLatin1String(option.name);
        if (!tool.IsSet(name))
            continue;
        if (!tool.IsSet(QStringLiteral("format"))) {
            status = tool.Usage(tr("--%1 belongs to the decoding of a value, which needs "
                                   "--format. Give one, e.g. --format u16be, or leave --%1 out.")
                                    .arg(name));
            return std::nullopt;
        }
        texts.*option.text = tool.Value(name);
        // An empty variable would silently give the default.
        if ((texts.*option.text).trimmed().isEmpty() && name != QLatin1String("unit")) {
            status = tool.Usage(tr("--%1 is empty. Give a value, or leave it out.").arg(name));
            return std::nullopt;
        }
    }
    if (!tool.IsSet(QStringLiteral("format")))
        return std::nullopt;
    texts.format = tool.Value(QStringLiteral("format"));
    if (texts.format.trimmed().isEmpty()) {
        status = tool.Usage(tr("--format is empty. Give one of %1.")
                                .arg(ValueFormatNames().join(QStringLiteral(", "))));
        return std::nullopt;
    }
    QString error;
    std::optional<SDecodingRule> rule = ParseDecodingRule(texts, &error);
    if (!rule) {
        // The shared texts are sentences; here they follow "program: ".
        if (!error.isEmpty())
            error[0] = error[0].toLower();
        status = tool.Usage(error);
    }
    return rule;
}

} // namespace

ECliExit CommandWatch(CCliTool& tool, const QStringList& arguments)
{
    // A field of a map gives the register, its width and the rule.
    const bool byMap = tool.IsSet(QStringLiteral("map")) || tool.IsSet(QStringLiteral("field"));
    if (arguments.size() != 2 && !(byMap && arguments.size() == 1)) {
        if (byMap) {
            return tool.Usage(tr("watch with --field needs an address, and optionally a byte "
                                 "count, e.g. \"%1 watch 0x48 --map LM75 --field TEMP.T\".")
                                  .arg(tool.Program()));
        }
        return tool.Usage(tr("watch needs an address and a byte count, e.g. \"%1 watch 0x48 2 "
                             "--register 0 --format s16be --shift 7 --scale 0.5 --unit °C\".")
                              .arg(tool.Program()));
    }
    const bool csv = tool.IsSet(QStringLiteral("csv"));
    if (csv && tool.Options().json)
        return tool.Usage(tr("--csv and --json are two forms of the output. Give one of them."));
    const std::optional<uint8_t> address = tool.ParseAddress(arguments[0], arguments.value(1));
    if (!address)
        return ECliExit::Usage;
    ECliExit status = ECliExit::Ok;
    std::optional<SCliWatchedField> watched;
    if (byMap) {
        watched = CliWatchedField(tool, status);
        if (!watched)
            return status;
    }
    const SMapRegister* watchedRegister =
        watched ? &watched->map.registers[static_cast<size_t>(watched->reg)] : nullptr;
    const std::optional<size_t> count =
        arguments.size() == 2 ? tool.ParseCount(arguments[1])
                              : std::optional<size_t>(static_cast<size_t>(watchedRegister->bytes));
    if (!count)
        return ECliExit::Usage;

    SWatchSource source;
    source.address = *address;
    source.count = *count;
    if (watched) {
        source.regWidth = watched->map.pointerBytes;
        source.reg = MapRegisterPointer(watched->map, *watchedRegister);
    } else {
        if (tool.IsSet(QStringLiteral("reg-width")) && !tool.IsSet(QStringLiteral("register"))) {
            return tool.Usage(tr("--reg-width is the width of the pointer of --register. Give "
                                 "--register too, or leave --reg-width out."));
        }
        const std::optional<int> width = CliRegisterWidth(tool);
        if (!width)
            return ECliExit::Usage;
        source.regWidth = *width;
        if (tool.IsSet(QStringLiteral("register"))) {
            source.reg = CliRegister(tool, tool.Value(QStringLiteral("register")), *width);
            if (!source.reg)
                return ECliExit::Usage;
        }
    }

    int intervalMs = DEFAULT_INTERVAL_MS;
    if (tool.IsSet(QStringLiteral("interval"))) {
        const QString text = tool.Value(QStringLiteral("interval"));
        QString error;
        const std::optional<int> parsed = ParseWatchInterval(text, &error);
        if (!parsed) {
            // The shared text is a sentence; here it follows "program: ".
            if (!error.isEmpty())
                error[0] = error[0].toLower();
            return tool.Usage(error);
        }
        intervalMs = *parsed;
    }
    std::optional<qint64> samples;
    if (tool.IsSet(QStringLiteral("samples"))) {
        const QString text = tool.Value(QStringLiteral("samples"));
        QString reason;
        const std::optional<uint64_t> parsed =
            ParseNumber(text, ENumberSyntax::I2cTools, INT64_MAX, &reason);
        if (parsed && *parsed == 0)
            reason = tr("a watch takes at least 1 sample");
        if (!parsed || *parsed == 0) {
            return tool.Usage(tr("invalid --samples %1: %2. Give a number of 1 or more, or "
                                 "leave it out to watch until Ctrl+C.")
                                  .arg(CCliTool::Quoted(text), reason));
        }
        samples = static_cast<qint64>(*parsed);
    }

    std::optional<SDecodingRule> rule;
    if (watched) {
        SMapField whole; // a register without fields is one unsigned value
        whole.msb = 8 * watchedRegister->bytes - 1;
        const SMapField& field = watched->field >= 0
                                     ? watchedRegister->fields[static_cast<size_t>(watched->field)]
                                     : whole;
        rule = FieldDecodingRule(*watchedRegister, field);
        if (*count < static_cast<size_t>(watchedRegister->bytes)) {
            return tool.Usage(tr("%1 has %2 bytes, but COUNT is %3. Read at least %2, or leave "
                                 "COUNT out.")
                                  .arg(watchedRegister->name)
                                  .arg(watchedRegister->bytes)
                                  .arg(*count));
        }
    } else {
        rule = readRule(tool, status);
        if (status != ECliExit::Ok)
            return status;
    }
    if (rule && *count < static_cast<size_t>(ValueFormatBytes(rule->format))) {
        return tool.Usage(tr("--format %1 takes %2 bytes, but COUNT is %3. Read at least %2.")
                              .arg(ValueFormatName(rule->format))
                              .arg(ValueFormatBytes(rule->format))
                              .arg(*count));
    }

    const std::unique_ptr<COrvI2c> adapter = CliConnectForRead(tool, *count, tr("watch"), status);
    if (!adapter)
        return status;
    // A register on a page: the page is selected once, by a read of it.
    if (watched && watchedRegister->page >= 0) {
        const SMapRead read = RunMapRegisterRead(*adapter, *address, watched->map, watched->reg);
        if (const SMapStep* failed = read.failure()) {
            if (!adapter->IsPresent())
                return tool.ConnectionLost(*adapter);
            return tool.Judge(*failed->failure(), failed->type);
        }
    }

    CCliStopSignals stopSignals;
    CCliOutput& output = tool.Output();
    output.WriteWatchHeader(csv);
    const Clock::duration interval = std::chrono::milliseconds(intervalMs);
    // The first poll's start, so that its sample is at 0 seconds exactly.
    Clock::time_point start;
    qint64 slot = 0;
    qint64 taken = 0;
    qint64 failed = 0;
    SWatchSample firstFailure;
    SWatchPoll firstFailedPoll;
    // A stop is looked for after every poll and every line, also when the
    // next slot is due at once (a poll as long as the interval, a hung
    // adapter): then no wait would let it through.
    while (!tool.OutputFailed() && (!samples || taken < *samples) && !stopSignals.StopRequested()) {
        const Clock::time_point began = Clock::now();
        if (taken == 0)
            start = began;
        // A slot that passed more than half an interval ago, behind a long
        // poll or a wait that overshot, is skipped rather than polled late.
        slot = WatchSlot(began - start, interval, slot);
        const Clock::time_point due = start + slot * interval;
        if (due > began) {
            if (!stopSignals.WaitUntil(due))
                break;
            continue;
        }
        const qint64 epochMs = QDateTime::currentMSecsSinceEpoch();
        const SWatchPoll poll = RunWatchPoll(*adapter, source);
        SWatchSample sample = MakeWatchSample(poll, rule.value_or(SDecodingRule()), epochMs,
                                              std::chrono::duration<double>(began - start).count());
        if (!rule)
            sample.value.reset();
        // A field decodes as get decodes it: its label, its number unrounded.
        std::optional<SFieldReading> reading;
        if (watched && watched->field >= 0 && sample.error.isEmpty() &&
            sample.raw.size() >= static_cast<size_t>(watchedRegister->bytes)) {
            reading = DecodeField(*watchedRegister,
                                  watchedRegister->fields[static_cast<size_t>(watched->field)],
                                  RegisterValueFromBytes(*watchedRegister, sample.raw));
            sample.value = reading->number;
        }
        output.WriteWatchSample(sample, poll, source, rule, csv, reading);
        if (!poll.ok && !adapter->IsPresent())
            return tool.ConnectionLost(*adapter);
        ++taken;
        if (!sample.error.isEmpty() && failed++ == 0) {
            firstFailure = sample;
            firstFailedPoll = poll;
        }
        ++slot;
    }
    if (failed == 0 || tool.OutputFailed())
        return ECliExit::Ok;
    const QString hint =
        firstFailedPoll.failure ? tool.FailureHint(*firstFailedPoll.failure) : QString();
    return tool.Fail(ECliExit::Failed, tr("%1 of %2 samples failed, the first at %3 with: %4. %5")
                                           .arg(failed)
                                           .arg(taken)
                                           .arg(FormatLocalIsoTimestamp(firstFailure.epochMs),
                                                CCliTool::Clause(firstFailure.error), hint)
                                           .trimmed());
}
