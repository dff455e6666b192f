#include "transactions/watch.h"

#include "i2c/orvi2c.h"
#include "transactions/hexlines.h"
#include "transactions/registeraccess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>
#include <cmath>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("Watch", text);
}

struct SIntervalUnit {
    const char* name;
    int ms;
};
// Longest first, so that formatting picks the largest whole unit.
constexpr SIntervalUnit INTERVAL_UNITS[] = {
    {"h", 3600 * 1000},
    {"min", 60 * 1000},
    {"s", 1000},
    {"ms", 1},
};

} // namespace

SWatchPoll RunWatchPoll(COrvI2c& adapter, const SWatchSource& source)
{
    SWatchPoll poll;
    // Checked before the pointer goes out: a register read must not stop
    // half-way for a count the model can never read.
    if (source.count == 0 || source.count > adapter.GetMaxReadCount()) {
        poll.error = tr("Invalid read count %1, this adapter reads 1 to %2 bytes.")
                         .arg(source.count)
                         .arg(adapter.GetMaxReadCount());
        return poll;
    }
    const SRegisterRead read = source.reg ? RunRegisterRead(adapter, source.address, *source.reg,
                                                            source.regWidth, source.count)
                                          : RunCurrentRead(adapter, source.address, source.count);
    poll.ok = read.ok();
    if (poll.ok) {
        poll.data = read.data();
        poll.status = read.read->status;
    } else if (const SI2cTransaction* failure = read.failure()) {
        poll.error = failure->error;
        poll.timedOut = failure->errorKind == EOrvError::Timeout;
        poll.status = failure->status;
        poll.failure = *failure;
    }
    return poll;
}

SWatchSample MakeWatchSample(const SWatchPoll& poll, const SDecodingRule& rule, qint64 epochMs,
                             double seconds)
{
    SWatchSample sample;
    sample.epochMs = epochMs;
    sample.seconds = seconds;
    sample.raw = poll.data;
    if (!poll.ok) {
        sample.error = poll.error;
        return sample;
    }
    sample.value = DecodeValue(rule, poll.data, &sample.error);
    sample.ruleError = !sample.value;
    return sample;
}

QString FormatIsoTimestamp(qint64 epochMs, int offsetFromUtcSeconds)
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(epochMs, QTimeZone(offsetFromUtcSeconds));
    const QString text = time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    if (offsetFromUtcSeconds == 0)
        return text + QLatin1Char('Z');
    const int minutes = std::abs(offsetFromUtcSeconds) / 60;
    return text + QStringLiteral("%1%2:%3")
                      .arg(offsetFromUtcSeconds < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                      .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                      .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString FormatLocalIsoTimestamp(qint64 epochMs)
{
    return FormatIsoTimestamp(epochMs, QDateTime::fromMSecsSinceEpoch(epochMs).offsetFromUtc());
}

QString CsvField(const QString& text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString CsvLine(const QStringList& fields)
{
    QStringList escaped;
    escaped.reserve(fields.size());
    for (const QString& field : fields)
        escaped.append(CsvField(field));
    return escaped.join(QLatin1Char(','));
}

QString WatchCsvHeader()
{
    return QStringLiteral("time,seconds,raw,value,status");
}

QString WatchCsvLine(const SWatchSample& sample, const SDecodingRule& rule,
                     int offsetFromUtcSeconds, EWatchCsvValue value)
{
    QString number;
    if (sample.value) {
        number = value == EWatchCsvValue::Exact
                     ? QString::number(*sample.value, 'g', QLocale::FloatingPointShortest)
                     : FormatDecodedNumber(rule, *sample.value);
    }
    const QByteArray raw(reinterpret_cast<const char*>(sample.raw.data()),
                         static_cast<qsizetype>(sample.raw.size()));
    return CsvLine({
        FormatIsoTimestamp(sample.epochMs, offsetFromUtcSeconds),
        QString::number(sample.seconds, 'f', 3),
        FormatHexLines(raw, 0, false),
        number,
        sample.error.isEmpty() ? QStringLiteral("ok") : sample.error,
    });
}

qint64 WatchSlot(std::chrono::nanoseconds elapsed, std::chrono::nanoseconds interval, qint64 next)
{
    // The first slot k with k * interval >= elapsed - interval / 2.
    const std::chrono::nanoseconds latest = elapsed - interval / 2;
    const qint64 due = latest > std::chrono::nanoseconds::zero()
                           ? (latest.count() + interval.count() - 1) / interval.count()
                           : 0;
    return std::max(next, due);
}

std::optional<int> ParseWatchInterval(const QString& text, QString* error)
{
    const auto refuse = [&](const QString& reason) -> std::optional<int> {
        if (error)
            *error = tr("Invalid interval \"%1\": %2. Enter a number and a unit, e.g. 100ms, 2s "
                        "or 1min.")
                         .arg(text, reason);
        return std::nullopt;
    };
    // Digits with at most one point, then the unit at once, as the numbers
    // of every other field: no blanks, no sign, units as SI writes them.
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]+(?:\\.[0-9]+)?|\\.[0-9]+)([^0-9.]*)$"));
    if (text.isEmpty())
        return refuse(tr("it is empty"));
    if (std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSpace(); }))
        return refuse(tr("it has blanks"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return refuse(tr("it does not start with a number"));
    const QString unit = match.captured(2);
    const SIntervalUnit* found = nullptr;
    for (const SIntervalUnit& candidate : INTERVAL_UNITS) {
        if (unit == QLatin1String(candidate.name))
            found = &candidate;
    }
    if (unit.isEmpty())
        return refuse(tr("it has no unit"));
    if (!found)
        return refuse(
            tr("\"%1\" is not a unit; the units are ms, s, min and h, in lower case").arg(unit));
    const double ms = match.captured(1).toDouble() * found->ms;
    if (ms < WATCH_INTERVAL_MIN_MS)
        return refuse(tr("it is shorter than 10ms"));
    if (ms > WATCH_INTERVAL_MAX_MS)
        return refuse(tr("it is longer than 1h"));
    if (ms != std::round(ms))
        return refuse(tr("it is not a whole number of milliseconds"));
    return static_cast<int>(ms);
}

QString FormatWatchInterval(int ms)
{
    for (const SIntervalUnit& unit : INTERVAL_UNITS) {
        if (ms % unit.ms == 0)
            return QString::number(ms / unit.ms) + QLatin1String(unit.name);
    }
    return QString::number(ms) + QLatin1String("ms");
}
