#include "app/watchhistory.h"

#include <QDateTime>
#include <QDir>
#include <QSaveFile>

#include <algorithm>

namespace {

// Bytes copied from the spill file at a time.
constexpr qint64 COPY_CHUNK = 1 << 20;

bool sameReading(const SDecodingRule& a, const SDecodingRule& b)
{
    return a.format == b.format && a.shift == b.shift && a.mask == b.mask &&
           a.maskSigned == b.maskSigned && a.scale == b.scale && a.offset == b.offset;
}

} // namespace

WatchHistory::WatchHistory(qsizetype memorySamples, qsizetype spillSamples)
    : m_memorySamples(memorySamples), m_spillSamples(std::min(spillSamples, memorySamples))
{
    m_series.push_back({});
}

WatchHistory::~WatchHistory() = default;

void WatchHistory::setRule(const SWatchRuleTexts& texts, const SDecodingRule& rule)
{
    SSeries& current = m_series.back();
    if (seriesHasSamples()) {
        if (current.texts.reg == texts.reg && current.texts.regWidth == texts.regWidth &&
            sameReading(current.rule, rule)) {
            relabel(texts, rule);
            return;
        }
        m_series.push_back({total(), texts, rule});
        return;
    }
    current.texts = texts;
    current.rule = rule;
}

void WatchHistory::relabel(const SWatchRuleTexts& texts, const SDecodingRule& rule)
{
    m_series.back().texts = texts;
    m_series.back().rule = rule;
}

bool WatchHistory::append(SWatchSample sample)
{
    m_samples.push_back(std::move(sample));
    if (static_cast<qsizetype>(m_samples.size()) <= m_memorySamples)
        return true;
    return spill();
}

bool WatchHistory::spill()
{
    if (!m_spillFile) {
        m_spillFile = std::make_unique<QTemporaryFile>(
            QDir(QDir::tempPath()).filePath(QStringLiteral("pellan-watch-XXXXXX.csv")));
        if (!m_spillFile->open()) {
            m_spillError = m_spillFile->errorString();
            m_spillFile.reset();
            return false;
        }
    }
    QByteArray text;
    const auto count = static_cast<size_t>(m_spillSamples);
    for (size_t i = 0; i < count; ++i)
        text += (lineOf(m_samples[i], m_spilled + static_cast<qsizetype>(i)) + QLatin1Char('\n'))
                    .toUtf8();
    const qint64 before = m_spillFile->size();
    if (!m_spillFile->seek(before) || m_spillFile->write(text) != text.size() ||
        !m_spillFile->flush()) {
        m_spillError = m_spillFile->errorString();
        // What did get written is cut off again, so that no row is twice.
        m_spillFile->resize(before);
        return false;
    }
    m_samples.erase(m_samples.begin(), m_samples.begin() + static_cast<std::ptrdiff_t>(count));
    m_spilled += m_spillSamples;
    m_spillError.clear();
    return true;
}

void WatchHistory::clear()
{
    m_samples.clear();
    m_spilled = 0;
    m_spillFile.reset();
    m_spillError.clear();
    const SSeries current = m_series.back();
    m_series.clear();
    m_series.push_back({0, current.texts, current.rule});
}

int WatchHistory::seriesOf(qsizetype index) const
{
    const auto after = std::upper_bound(
        m_series.begin(), m_series.end(), index,
        [](qsizetype value, const SSeries& series) { return value < series.first; });
    return static_cast<int>(after - m_series.begin());
}

QString WatchHistory::lineOf(const SWatchSample& sample, qsizetype index) const
{
    const int series = seriesOf(index);
    const int offset = QDateTime::fromMSecsSinceEpoch(sample.epochMs).offsetFromUtc();
    return WatchCsvLine(sample, m_series.at(series - 1).rule, offset, EWatchCsvValue::Exact) +
           QLatin1Char(',') + QString::number(series);
}

bool WatchHistory::saveCsv(const QString& path, QString* error) const
{
    QByteArray head = "# " + CsvField(m_source).toUtf8() + '\n';
    for (size_t i = 0; i < m_series.size(); ++i) {
        if (m_series[i].first >= total() && i > 0)
            break;
        head += QStringLiteral("# series %1: %2\n")
                    .arg(i + 1)
                    .arg(WatchRuleEditor::describe(m_series[i].texts))
                    .toUtf8();
    }
    head += (WatchCsvHeader() + QStringLiteral(",series\n")).toUtf8();

    // Streamed: the spilled rows may be many.
    QSaveFile file(path);
    const auto fail = [&] {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    };
    // Unbuffered, so that a short write (a full disk) shows at once: a
    // buffered one would be committed as if complete.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(head) != head.size())
        return fail();
    if (m_spillFile) {
        if (!m_spillFile->seek(0))
            return fail();
        while (!m_spillFile->atEnd()) {
            const QByteArray chunk = m_spillFile->read(COPY_CHUNK);
            if (chunk.isEmpty() || file.write(chunk) != chunk.size())
                return fail();
        }
    }
    QByteArray text;
    for (size_t i = 0; i < m_samples.size(); ++i) {
        text += (lineOf(m_samples[i], m_spilled + static_cast<qsizetype>(i)) + QLatin1Char('\n'))
                    .toUtf8();
        if (text.size() >= COPY_CHUNK || i + 1 == m_samples.size()) {
            if (file.write(text) != text.size())
                return fail();
            text.clear();
        }
    }
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}
