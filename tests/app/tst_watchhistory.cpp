// The samples of a watch: series, the bound of memory with the older
// samples in a temporary file, and the CSV file of them all.

#include "app/watchhistory.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TstWatchHistory : public QObject {
    Q_OBJECT

private slots:
    void keptAndSaved_data();
    void keptAndSaved();
};

void TstWatchHistory::keptAndSaved_data()
{
    QTest::addColumn<int>("memory");
    QTest::addColumn<int>("spill");
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("inMemory");
    QTest::newRow("within the bound") << 10 << 4 << 8 << 8;
    QTest::newRow("past it three times") << 4 << 2 << 9 << 3;
}

void TstWatchHistory::keptAndSaved()
{
    QFETCH(int, memory);
    QFETCH(int, spill);
    QFETCH(int, samples);
    QFETCH(int, inMemory);

    WatchHistory history(memory, spill);
    history.setSource(QStringLiteral("2 bytes from 0x48"));
    SWatchRuleTexts texts;
    texts.decoding.format = QStringLiteral("u8");
    SDecodingRule rule;
    history.setRule(texts, rule);
    for (int i = 0; i < samples; ++i) {
        // The scale changes half-way: the rest is a series of its own.
        if (i == samples / 2) {
            texts.decoding.scale = QStringLiteral("2");
            rule.scale = 2;
            history.setRule(texts, rule);
        }
        SWatchSample sample;
        sample.epochMs = 1'700'000'000'000 + i;
        sample.seconds = i;
        sample.raw = {static_cast<uint8_t>(i)};
        sample.value = i * rule.scale;
        QVERIFY(history.append(sample));
    }
    QCOMPARE(static_cast<int>(history.inMemory().size()), inMemory);
    QCOMPARE(history.total(), qsizetype(samples));
    QCOMPARE(history.inMemory().back().seconds, double(samples - 1));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("w.csv"));
    QString error;
    QVERIFY2(history.saveCsv(path, &error), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines.mid(0, 4),
             (QStringList{"# 2 bytes from 0x48", "# series 1: u8", "# series 2: u8, scale 2",
                          "time,seconds,raw,value,status,series"}));
    lines = lines.mid(4);
    QCOMPARE(lines.size(), samples);
    for (int i = 0; i < samples; ++i) {
        const QStringList fields = lines.at(i).split(QLatin1Char(','));
        QCOMPARE(fields.at(1), QString::number(i) + QStringLiteral(".000"));
        const bool second = i >= samples / 2;
        QCOMPARE(fields.at(3), QString::number(second ? 2 * i : i));
        QCOMPARE(fields.at(5), second ? QStringLiteral("2") : QStringLiteral("1"));
    }

    // Clear takes the temporary file along.
    const QString spilled = history.spillPath();
    QCOMPARE(spilled.isEmpty(), inMemory == samples);
    history.clear();
    QCOMPARE(history.total(), qsizetype(0));
    if (!spilled.isEmpty())
        QVERIFY(!QFile::exists(spilled));
}

QTEST_MAIN(TstWatchHistory)
#include "tst_watchhistory.moc"
