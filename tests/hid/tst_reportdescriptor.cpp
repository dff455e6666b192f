#include "hid/reportdescriptor.h"

#include <QtTest>

#include <random>
#include <vector>

class TestReportDescriptor : public QObject {
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("descriptor");
        QTest::addColumn<qulonglong>("input");
        QTest::addColumn<qulonglong>("output");
        QTest::addColumn<qulonglong>("feature");
        QTest::addColumn<QString>("ids"); // input, output, feature: 'y' uses IDs

        QTest::newRow("empty") << QByteArray() << 0ull << 0ull << 0ull << "nnn";
        QTest::newRow("8x64 input")
            << QByteArray::fromHex("75089540 8102") << 64ull << 0ull << 0ull << "nnn";
        QTest::newRow("8x64 input with id")
            << QByteArray::fromHex("8501 75089540 8102") << 65ull << 0ull << 0ull << "ynn";
        QTest::newRow("8x63 output")
            << QByteArray::fromHex("7508953f 9102") << 0ull << 64ull << 0ull << "nnn";
        QTest::newRow("8x63 output with id")
            << QByteArray::fromHex("8505 7508953f 9102") << 0ull << 64ull << 0ull << "nyn";
        QTest::newRow("8x63 feature")
            << QByteArray::fromHex("7508953f b102") << 0ull << 0ull << 64ull << "nnn";
        QTest::newRow("two ids of 16 and 80 bits")
            << QByteArray::fromHex("8501 75089502 8102 8502 7508950a 8102") << 11ull << 0ull << 0ull
            << "ynn";
        QTest::newRow("items of one id add up")
            << QByteArray::fromHex("75089502 8102 8102") << 4ull << 0ull << 0ull << "nnn";
        QTest::newRow("bits round up")
            << QByteArray::fromHex("75019503 8102") << 1ull << 0ull << 0ull << "nnn";
        QTest::newRow("pop restores size, count and id")
            << QByteArray::fromHex("8501 75089504 a4 8502 75109508 b4 8102") << 5ull << 0ull << 0ull
            << "ynn";
        QTest::newRow("pop restores the id flag")
            << QByteArray::fromHex("75089504 a4 8502 b4 8102") << 4ull << 0ull << 0ull << "nnn";
        QTest::newRow("pop on empty stack")
            << QByteArray::fromHex("75089540 b4 8102") << 64ull << 0ull << 0ull << "nnn";
        // The long item's data would set the report count to 1 if parsed.
        QTest::newRow("long item skipped")
            << QByteArray::fromHex("75089540 fe020095 01 8102") << 64ull << 0ull << 0ull << "nnn";
        QTest::newRow("long item cut after prefix")
            << QByteArray::fromHex("75089540 8102 fe") << 64ull << 0ull << 0ull << "nnn";
        QTest::newRow("long item longer than the rest")
            << QByteArray::fromHex("75089540 8102 fe40 00") << 64ull << 0ull << 0ull << "nnn";
        QTest::newRow("truncated item")
            << QByteArray::fromHex("75089540 8102 9602") << 64ull << 0ull << 0ull << "nnn";
        QTest::newRow("truncated before main item")
            << QByteArray::fromHex("75089540 83 0200") << 0ull << 0ull << 0ull << "nnn";
        QTest::newRow("four byte values")
            << QByteArray::fromHex("7708000000 9740000000 8102") << 64ull << 0ull << 0ull << "nnn";
        QTest::newRow("collections and locals ignored")
            << QByteArray::fromHex("0501 0902 a101 0901 75089502 8102 c0") << 2ull << 0ull << 0ull
            << "nnn";
        QTest::newRow("zero-size items leave no length")
            << QByteArray::fromHex("8501 75009540 8102") << 0ull << 0ull << 0ull << "nnn";
        // 2 x (2^32 - 1)^2 bits do not fit in 64 bits; the total saturates.
        QTest::newRow("huge totals saturate")
            << QByteArray::fromHex("77ffffffff 97ffffffff 8102 8102") << (1ull << 61) << 0ull
            << 0ull << "nnn";
    }

    void parse()
    {
        QFETCH(QByteArray, descriptor);
        QFETCH(qulonglong, input);
        QFETCH(qulonglong, output);
        QFETCH(qulonglong, feature);
        QFETCH(QString, ids);

        // Exactly sized, so that a sanitizer build sees any read beyond it.
        const std::vector<uint8_t> bytes(descriptor.begin(), descriptor.end());
        std::array<uint64_t, 3> lengths{9, 9, 9};
        std::array<bool, 3> flags{true, true, true};
        ParseReportDescriptor(bytes.data(), bytes.size(), lengths, flags);
        QCOMPARE(qulonglong(lengths[0]), input);
        QCOMPARE(qulonglong(lengths[1]), output);
        QCOMPARE(qulonglong(lengths[2]), feature);
        const QString got = QString("%1%2%3")
                                .arg(flags[0] ? 'y' : 'n')
                                .arg(flags[1] ? 'y' : 'n')
                                .arg(flags[2] ? 'y' : 'n');
        QCOMPARE(got, ids);
    }

    void anyBytesAreSafe()
    {
        std::mt19937 random(20240601);
        std::uniform_int_distribution<int> byte(0, 255);
        std::uniform_int_distribution<size_t> length(0, 300);
        for (int round = 0; round < 3000; ++round) {
            std::vector<uint8_t> bytes(length(random));
            for (auto& b : bytes) {
                b = static_cast<uint8_t>(byte(random));
            }
            std::array<uint64_t, 3> lengths{};
            std::array<bool, 3> flags{};
            ParseReportDescriptor(bytes.data(), bytes.size(), lengths, flags);
            for (size_t kind = 0; kind < 3; ++kind) {
                QVERIFY(!flags[kind] || lengths[kind] > 0);
            }
        }
        std::array<uint64_t, 3> lengths{1, 1, 1};
        std::array<bool, 3> flags{true, true, true};
        ParseReportDescriptor(nullptr, 100, lengths, flags);
        QVERIFY(lengths == (std::array<uint64_t, 3>{0, 0, 0}));
        QVERIFY(flags == (std::array<bool, 3>{false, false, false}));
    }
};

QTEST_GUILESS_MAIN(TestReportDescriptor)
#include "tst_reportdescriptor.moc"
