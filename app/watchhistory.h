#pragma once

#include "app/watchruleeditor.h"
#include "transactions/watch.h"

#include <QString>
#include <QTemporaryFile>

#include <deque>
#include <memory>
#include <vector>

// The samples of a watch, in series: a series is what one rule read and
// decoded, and a new one starts when the register or the decoding changes
// (a new unit or number of decimals only relabels the current one). Values
// are decoded once, as polled, and never again.
//
// Memory is bounded: the newest samples are kept (MEMORY_SAMPLES, about
// 140 bytes each with the plot's copy), and whenever there are more, the
// oldest SPILL_SAMPLES go to a temporary CSV file of their own, as the rows
// that a save writes. A save writes them all.
class WatchHistory {
public:
    static constexpr qsizetype MEMORY_SAMPLES = 500'000;
    static constexpr qsizetype SPILL_SAMPLES = 50'000;

    explicit WatchHistory(qsizetype memorySamples = MEMORY_SAMPLES,
                          qsizetype spillSamples = SPILL_SAMPLES);
    ~WatchHistory();

    // What is watched, for the file's first line.
    void setSource(const QString& source) { m_source = source; }
    // The rule of the samples to come: a new series, or, while the current
    // one has no sample, its rule replaced.
    void setRule(const SWatchRuleTexts& texts, const SDecodingRule& rule);
    // A new unit or number of decimals for the current series.
    void relabel(const SWatchRuleTexts& texts, const SDecodingRule& rule);
    // Whether the current series holds a sample.
    bool seriesHasSamples() const { return total() > m_series.back().first; }
    int seriesCount() const { return static_cast<int>(m_series.size()); }

    // False when older samples should have gone to disk and could not; they
    // stay in memory then, and spillError() says why.
    bool append(SWatchSample sample);
    void clear();

    const std::deque<SWatchSample>& inMemory() const { return m_samples; }
    qsizetype spilled() const { return m_spilled; }
    qsizetype total() const { return m_spilled + static_cast<qsizetype>(m_samples.size()); }
    QString spillError() const { return m_spillError; }
    // The temporary file, empty while nothing went there.
    QString spillPath() const { return m_spillFile ? m_spillFile->fileName() : QString(); }

    // Writes the file: "#" lines naming the source and each series' rule,
    // the header with a "series" column, then every sample with its value
    // exact. False with the reason in error.
    bool saveCsv(const QString& path, QString* error) const;

private:
    struct SSeries {
        qsizetype first = 0; // index of its first sample, spilled ones counted
        SWatchRuleTexts texts;
        SDecodingRule rule;
    };

    QString lineOf(const SWatchSample& sample, qsizetype index) const;
    int seriesOf(qsizetype index) const;
    bool spill();

    qsizetype m_memorySamples;
    qsizetype m_spillSamples;
    QString m_source;
    std::vector<SSeries> m_series;
    std::deque<SWatchSample> m_samples;
    qsizetype m_spilled = 0;
    std::unique_ptr<QTemporaryFile> m_spillFile;
    QString m_spillError;
};
