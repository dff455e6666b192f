#include "cli/clioutput.h"

#include "transactions/hexlines.h"
#include "transactions/registeraccess.h"
#include "transactions/registercodec.h"
#include "transactions/registerdump.h"
#include "transactions/registermapfolders.h"
#include "transactions/transfermessages.h"
#include "transactions/watch.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QTextStream>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

namespace {

constexpr int READ_BYTES_PER_LINE = 16;
constexpr int GRID_COLUMNS = 16;
constexpr int GRID_ADDRESSES = 128;

QString tr(const char* text)
{
    return QCoreApplication::translate("CCliOutput", text);
}

// One value as compact JSON.
QString jsonText(const QJsonValue& value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// An object with its keys in the given order, which QJsonObject would sort.
QString jsonObject(const std::vector<std::pair<QString, QJsonValue>>& pairs)
{
    QStringList members;
    for (const auto& [key, value] : pairs)
        members.append(jsonText(key) + QLatin1Char(':') + jsonText(value));
    return QLatin1Char('{') + members.join(QLatin1Char(',')) + QLatin1Char('}');
}

QString dataText(const std::vector<uint8_t>& bytes)
{
    return FormatHexLines(QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<qsizetype>(bytes.size())),
                          0, false);
}

QString typeName(EI2cTransactionType type)
{
    switch (type) {
    case EI2cTransactionType::Write:
        return QStringLiteral("write");
    case EI2cTransactionType::Read:
        return QStringLiteral("read");
    case EI2cTransactionType::Search:
        return QStringLiteral("search");
    }
    return {};
}

// The keys every transaction has, then the label, then extra keys.
QString transactionJson(const SI2cTransaction& transaction, const std::optional<QString>& label,
                        const std::vector<std::pair<QString, QJsonValue>>& extra = {})
{
    std::vector<std::pair<QString, QJsonValue>> pairs = {
        {QStringLiteral("type"), typeName(transaction.type)},
        {QStringLiteral("address"),
         transaction.address ? QJsonValue(*transaction.address) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("ok"), transaction.ok},
        {QStringLiteral("status"), transaction.status},
        {QStringLiteral("error"), transaction.error},
        {QStringLiteral("data"), dataText(transaction.data)},
    };
    if (label)
        pairs.emplace_back(QStringLiteral("label"), *label);
    if (transaction.type == EI2cTransactionType::Search) {
        QJsonArray found;
        for (uint8_t address : transaction.found)
            found.append(address);
        pairs.emplace_back(QStringLiteral("found"), found);
    }
    pairs.insert(pairs.end(), extra.begin(), extra.end());
    return jsonObject(pairs);
}

using SJsonPairs = std::vector<std::pair<QString, QJsonValue>>;

// A register or transfer command as one object: the keys of a transaction
// under the command's type, then its own keys.
QString commandJson(const char* type, uint8_t address, const SI2cTransaction* failure,
                    const SI2cTransaction* last, const QString& data, const SJsonPairs& extra)
{
    const SI2cTransaction* shown = failure ? failure : last;
    SJsonPairs pairs = {
        {QStringLiteral("type"), QLatin1String(type)},
        {QStringLiteral("address"), address},
        {QStringLiteral("ok"), failure == nullptr},
        {QStringLiteral("status"), shown ? shown->status : 0},
        {QStringLiteral("error"), shown ? shown->error : QString()},
        {QStringLiteral("data"), data},
    };
    pairs.insert(pairs.end(), extra.begin(), extra.end());
    return jsonObject(pairs);
}

// A register of a map in the keys' documented order, with its fields in map
// order (all, or only one).
QString mapRegisterJson(const SMapRegister& reg, std::optional<uint32_t> value,
                        const QString& error, int only = -1)
{
    QStringList fields;
    for (size_t i = 0; value && i < reg.fields.size(); ++i) {
        if (only >= 0 && static_cast<size_t>(only) != i)
            continue;
        const SFieldReading reading = DecodeField(reg, reg.fields[i], *value);
        fields.append(jsonText(reg.fields[i].name) + QLatin1Char(':') +
                      jsonObject({{QStringLiteral("value"), FieldReadingValue(reading)},
                                  {QStringLiteral("text"), reading.text}}));
    }
    QString text = jsonObject({
        {QStringLiteral("register"), reg.name},
        {QStringLiteral("address"), static_cast<qint64>(reg.address)},
        {QStringLiteral("raw"),
         value ? QJsonValue(RegisterValueText(reg, *value)) : QJsonValue(QJsonValue::Null)},
    });
    text.chop(1);
    text += QStringLiteral(",\"fields\":{") + fields.join(QLatin1Char(',')) + QLatin1Char('}');
    if (!value || !error.isEmpty())
        text += QStringLiteral(",\"ok\":false,\"error\":") + jsonText(error);
    return text + QLatin1Char('}');
}

// A free text (a description, a file name) on one line of text output:
// line breaks, tabs and other control characters become blanks, so that a
// line stays one record and its tab-separated columns stay in place.
QString oneLine(QString text)
{
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    }
    return text.simplified();
}

// The grid's row of the 16 addresses from row: the address of a device that
// answered, -- for a silent one, XX for a failed probe, blanks for those not
// probed (outside the scan, or after the address where it ended).
QString scanRow(const SI2cScan& scan, int row)
{
    QString text = QStringLiteral("%1: ").arg(row, 2, 16, QLatin1Char('0'));
    for (int address = row; address < row + GRID_COLUMNS; ++address) {
        const auto is = [address](uint8_t other) { return (other & 0x7F) == address; };
        if (address < scan.first || address > scan.last ||
            (scan.stoppedAt && address > *scan.stoppedAt)) {
            text += QLatin1String("   ");
        } else if (std::any_of(
                       scan.failures.begin(), scan.failures.end(),
                       [&](const SI2cProbeFailure& failure) { return is(failure.address); })) {
            text += QLatin1String("XX ");
        } else if (std::any_of(scan.search.found.begin(), scan.search.found.end(), is)) {
            text += QStringLiteral("%1 ").arg(address, 2, 16, QLatin1Char('0'));
        } else {
            text += QLatin1String("-- ");
        }
    }
    return text + QLatin1Char('\n');
}

QJsonValue registerValue(std::optional<uint32_t> reg)
{
    return reg ? QJsonValue(static_cast<qint64>(*reg)) : QJsonValue(QJsonValue::Null);
}

} // namespace

CCliOutput::CCliOutput(QTextStream& out, bool json, bool eightBit)
    : m_out(out), m_json(json), m_eightBit(eightBit)
{
}

void CCliOutput::WriteTransaction(const SI2cTransaction& transaction,
                                  const std::optional<QString>& label)
{
    if (m_json)
        m_out << transactionJson(transaction, label) << '\n';
    else
        m_out << TransactionReportLine(transaction, m_eightBit) << '\n';
    m_out.flush();
}

void CCliOutput::WriteReadData(const SI2cTransaction& read)
{
    if (m_json || !read.ok) {
        WriteTransaction(read);
        return;
    }
    const QString lines = FormatHexLines(QByteArray(reinterpret_cast<const char*>(read.data.data()),
                                                    static_cast<qsizetype>(read.data.size())),
                                         READ_BYTES_PER_LINE, false);
    m_out << lines << '\n';
    m_out.flush();
}

void CCliOutput::WriteScanRows(const SI2cScan& scan, uint8_t probed)
{
    if (m_json)
        return;
    if (!m_gridStarted) {
        m_gridStarted = true;
        // i2cdetect's layout, trailing blanks included.
        m_out << "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n";
    }
    // A row is complete once its last address that the scan probes is, or
    // once the scan has ended.
    while (
        m_gridRow < GRID_ADDRESSES &&
        (scan.stoppedAt || probed >= std::min<uint64_t>(m_gridRow + GRID_COLUMNS - 1, scan.last))) {
        m_out << scanRow(scan, static_cast<int>(m_gridRow));
        m_gridRow += GRID_COLUMNS;
    }
    m_out.flush();
}

void CCliOutput::WriteScan(const SI2cScan& scan)
{
    if (m_json) {
        QJsonArray failed;
        for (const SI2cProbeFailure& failure : scan.failures)
            failed.append(failure.address);
        m_out << transactionJson(scan.search, std::nullopt, {{QStringLiteral("failed"), failed}})
              << '\n';
        m_out.flush();
        return;
    }
    WriteScanRows(scan, GRID_ADDRESSES - 1);
}

void CCliOutput::WriteAdapter(const SCliAdapterInfo& adapter)
{
    const QString firmware = QStringLiteral("%1").arg(adapter.firmware, 4, 16, QLatin1Char('0'));
    if (m_json) {
        m_out << jsonObject({
                     {QStringLiteral("model"), adapter.model},
                     {QStringLiteral("serial"), adapter.serial},
                     {QStringLiteral("product"), adapter.product},
                     {QStringLiteral("firmware"), firmware},
                     {QStringLiteral("speeds"), QJsonArray::fromStringList(adapter.speeds)},
                     {QStringLiteral("pullUps"), adapter.pullUps},
                 })
              << '\n';
    } else {
        // The adapter's USB strings are its own: no line break of theirs
        // splits its line.
        m_out << QStringList{adapter.model, oneLine(adapter.serial), oneLine(adapter.product),
                             firmware, adapter.speeds.join(QLatin1Char(' '))}
                     .join(QLatin1Char('\t'))
              << '\n';
    }
    m_out.flush();
}

void CCliOutput::WriteNoAdapters()
{
    if (!m_json)
        m_out << tr("No Orvane adapter attached.") << '\n';
    m_out.flush();
}

void CCliOutput::WriteRegisterRead(const SRegisterRead& read, uint8_t address,
                                   std::optional<uint32_t> reg)
{
    if (m_json) {
        const SI2cTransaction* last = read.read ? &*read.read : nullptr;
        m_out << commandJson("get", address, read.failure(), last,
                             dataText(last ? last->data : std::vector<uint8_t>()),
                             {{QStringLiteral("register"), registerValue(reg)}})
              << '\n';
    } else if (read.ok()) {
        m_out << I2cToolsBytes(read.data()) << '\n';
    }
    m_out.flush();
}

void CCliOutput::WriteRegisterSet(const SRegisterSet& set, uint8_t address, uint32_t reg,
                                  bool masked, bool readback, const QString& mismatch)
{
    if (!m_json) {
        // i2cset prints nothing without -r, and one of its three lines
        // with it once the write went.
        if (!readback || !set.isWritten())
            return;
        const bool several = set.written.size() > 1;
        if (!set.readback || !set.readback->ok()) {
            m_out << "Warning - readback failed\n";
        } else if (set.mismatch) {
            m_out << "Warning - data mismatch - wrote " << I2cToolsBytes(set.written)
                  << ", read back " << I2cToolsBytes(set.readback->data()) << '\n';
        } else {
            m_out << (several ? "Values " : "Value ") << I2cToolsBytes(set.written)
                  << " written, readback matched\n";
        }
        m_out.flush();
        return;
    }
    static constexpr std::array<const char*, 4> STEPS = {nullptr, "old", "write", "readback"};
    const char* step = STEPS[static_cast<size_t>(set.failedStep())];
    SJsonPairs extra = {{QStringLiteral("register"), registerValue(reg)}};
    if (masked) {
        extra.emplace_back(QStringLiteral("old"),
                           set.old && set.old->ok() ? dataText(set.old->data()) : QString());
    }
    if (readback) {
        extra.emplace_back(QStringLiteral("readback"), set.readback && set.readback->read
                                                           ? dataText(set.readback->read->data)
                                                           : QString());
    }
    const SI2cTransaction* last = set.readback && set.readback->read ? &*set.readback->read
                                  : set.write                        ? &*set.write
                                                                     : nullptr;
    extra.emplace_back(QStringLiteral("step"),
                       step ? QJsonValue(QLatin1String(step)) : QJsonValue(QJsonValue::Null));
    // Data only for what went to the device.
    const QString written = set.isWritten() ? dataText(set.written) : QString();
    QString json = commandJson("set", address, set.failure(), last, written, extra);
    if (set.mismatch && !set.failure()) {
        // The transactions went well; the values read back did not.
        SI2cTransaction failed = *last;
        failed.error = mismatch;
        json = commandJson("set", address, &failed, last, written, extra);
    }
    m_out << json << '\n';
    m_out.flush();
}

void CCliOutput::WriteRegisterDumpRows(const SRegisterDump& dump, size_t done)
{
    if (m_json)
        return;
    if (!m_gridStarted) {
        m_gridStarted = true;
        m_gridRow = dump.first - dump.first % GRID_COLUMNS;
        m_out << FormatRegisterDumpHeader(dump.last);
    }
    // A row is complete once the registers read cover its last one.
    while (m_gridRow <= dump.last &&
           std::min<uint64_t>(m_gridRow + GRID_COLUMNS - 1, dump.last) < dump.first + done) {
        m_out << FormatRegisterDumpRow(dump.first, dump.last, dump.values,
                                       static_cast<uint32_t>(m_gridRow));
        m_gridRow += GRID_COLUMNS;
    }
    m_out.flush();
}

void CCliOutput::WriteRegisterDump(const SRegisterDump& dump, uint8_t address)
{
    if (!m_json) {
        WriteRegisterDumpRows(dump, dump.values.size());
        return;
    }
    QStringList bytes;
    bytes.reserve(static_cast<qsizetype>(dump.values.size()));
    for (int value : dump.values) {
        bytes.append(value == REGISTER_FAILED ? QStringLiteral("XX")
                                              : HexByte(static_cast<uint8_t>(value)));
    }
    const SI2cTransaction* failure = dump.failure ? &*dump.failure : nullptr;
    m_out << commandJson("dump", address, failure, nullptr, bytes.join(QLatin1Char(' ')),
                         {{QStringLiteral("first"), static_cast<qint64>(dump.first)},
                          {QStringLiteral("last"), static_cast<qint64>(dump.last)}})
          << '\n';
    m_out.flush();
}

void CCliOutput::WriteTransfer(const std::vector<STransferMessage>& messages,
                               const std::vector<SI2cTransaction>& transactions, bool verbose)
{
    const bool ok = transactions.size() == messages.size() && transactions.back().ok;
    // A read is always the last message: its bytes are the data.
    const bool readDone = ok && messages.back().read;
    if (!m_json) {
        for (size_t k = 0; k < transactions.size() && transactions[k].ok; ++k) {
            if (verbose)
                m_out << TransferMessageLine(k, messages[k], transactions[k].data, m_eightBit)
                      << '\n';
            else if (messages[k].read && messages[k].length > 0)
                m_out << I2cToolsBytes(transactions[k].data) << '\n';
        }
        m_out.flush();
        return;
    }
    // Written out here, so that each message keeps the order of its keys.
    QStringList sent;
    for (const SI2cTransaction& transaction : transactions)
        sent.append(transactionJson(transaction, std::nullopt));
    QString json = commandJson("transfer", messages.front().address,
                               ok ? nullptr : &transactions.back(), &transactions.back(),
                               readDone ? dataText(transactions.back().data) : QString(), {});
    json.chop(1);
    m_out << json << ",\"messages\":[" << sent.join(QLatin1Char(',')) << "]}\n";
    m_out.flush();
}

void CCliOutput::WriteWatchHeader(bool csv)
{
    if (csv && !m_json) {
        m_out << WatchCsvHeader() << '\n';
        m_out.flush();
    }
}

void CCliOutput::WriteWatchSample(const SWatchSample& sample, const SWatchPoll& poll,
                                  const SWatchSource& source,
                                  const std::optional<SDecodingRule>& rule, bool csv,
                                  const std::optional<SFieldReading>& reading)
{
    const bool failed = !sample.error.isEmpty();
    if (m_json) {
        QJsonValue value(QJsonValue::Null);
        if (reading && !failed)
            value = FieldReadingValue(*reading);
        else if (rule && sample.value)
            value = FormatDecodedNumber(*rule, *sample.value).toDouble();
        const SJsonPairs extra = {
            {QStringLiteral("register"), registerValue(source.reg)},
            {QStringLiteral("time"), FormatLocalIsoTimestamp(sample.epochMs)},
            {QStringLiteral("seconds"), std::round(sample.seconds * 1e6) / 1e6},
            {QStringLiteral("value"), value},
            {QStringLiteral("unit"), rule ? rule->unit : QString()},
        };
        SJsonPairs pairs = {
            {QStringLiteral("type"), QStringLiteral("watch")},
            {QStringLiteral("address"), source.address},
            {QStringLiteral("ok"), !failed},
            {QStringLiteral("status"), poll.status},
            {QStringLiteral("error"), sample.error},
            {QStringLiteral("data"), dataText(sample.raw)},
        };
        pairs.insert(pairs.end(), extra.begin(), extra.end());
        m_out << jsonObject(pairs) << '\n';
    } else if (csv) {
        const int offset = QDateTime::fromMSecsSinceEpoch(sample.epochMs).offsetFromUtc();
        m_out << WatchCsvLine(sample, rule.value_or(SDecodingRule()), offset) << '\n';
    } else {
        QString text;
        if (failed)
            text = tr("failed: %1").arg(sample.error);
        else if (reading)
            text = reading->text;
        else if (rule && sample.value)
            text = FormatDecodedValue(*rule, *sample.value);
        else
            text = dataText(sample.raw);
        m_out << FormatLocalIsoTimestamp(sample.epochMs) << '\t' << text << '\n';
    }
    m_out.flush();
}

void CCliOutput::WriteMapRegister(const SRegisterMap& map, const SMapRegister& reg,
                                  std::optional<uint32_t> value, const QString& error)
{
    if (m_json) {
        m_out << mapRegisterJson(reg, value, error) << '\n';
        m_out.flush();
        return;
    }
    const QString address = QStringLiteral("0x%1")
                                .arg(reg.address, 2 * map.pointerBytes, 16, QLatin1Char('0'))
                                .toUpper();
    const QString head = reg.name + QStringLiteral(" (0x") + address.mid(2) + QLatin1Char(')');
    if (!value) {
        m_out << head << ": " << tr("failed: %1").arg(error) << '\n';
    } else {
        m_out << head << " = " << RegisterValueText(reg, *value) << '\n';
        for (const SMapField& field : reg.fields) {
            const SFieldReading reading = DecodeField(reg, field, *value);
            // A write-only field's bits are no reading: no "=" and no value.
            m_out << "  " << field.name << (reading.readable ? " = " : ": ") << reading.text
                  << '\n';
        }
    }
    m_out.flush();
}

void CCliOutput::WriteMapGet(const SMapRegister& reg, int field, const std::vector<uint8_t>& bytes,
                             std::optional<uint32_t> value, const QString& error)
{
    if (m_json) {
        m_out << mapRegisterJson(reg, value, error, field) << '\n';
    } else if (value && field >= 0) {
        m_out << DecodeField(reg, reg.fields[static_cast<size_t>(field)], *value).text << '\n';
    } else if (value) {
        m_out << I2cToolsBytes(bytes) << '\n';
    }
    m_out.flush();
}

void CCliOutput::WriteMapEntry(const SMapEntry& entry)
{
    const bool ok = entry.error.isEmpty();
    if (m_json) {
        m_out << jsonObject({
                     {QStringLiteral("device"), entry.device},
                     {QStringLiteral("description"), entry.description},
                     {QStringLiteral("path"), entry.path},
                     {QStringLiteral("registers"), entry.registers},
                     {QStringLiteral("ok"), ok},
                     {QStringLiteral("error"), entry.error},
                 })
              << '\n';
    } else {
        m_out << QStringList{oneLine(entry.device),
                             ok ? QString::number(entry.registers) : QStringLiteral("-"),
                             oneLine(entry.path), oneLine(ok ? entry.description : entry.error)}
                     .join(QLatin1Char('\t'))
              << '\n';
    }
    m_out.flush();
}

void CCliOutput::WriteMapCheck(const QString& path, const SRegisterMap* map, const QString& error)
{
    if (m_json) {
        m_out << jsonObject({
                     {QStringLiteral("path"), path},
                     {QStringLiteral("ok"), map != nullptr},
                     {QStringLiteral("error"), error},
                     {QStringLiteral("device"), map ? map->device : QString()},
                     {QStringLiteral("registers"),
                      map ? static_cast<qint64>(map->registers.size()) : 0},
                     {QStringLiteral("warnings"),
                      QJsonArray::fromStringList(map ? map->warnings : QStringList())},
                 })
              << '\n';
    } else if (map) {
        const size_t count = map->registers.size();
        const QString file = oneLine(path);
        m_out << (count == 1
                      ? tr("%1: %2, 1 register").arg(file, map->device)
                      : tr("%1: %2, %3 registers").arg(file, map->device, QString::number(count)))
              << '\n';
        for (const QString& warning : map->warnings)
            m_out << tr("%1: warning: %2").arg(file, oneLine(warning)) << '\n';
    }
    m_out.flush();
}

void CCliOutput::WriteText(const QString& text)
{
    m_out << text;
    m_out.flush();
}
