// Decoding rules, samples, their CSV form and the interval texts shared by
// the watch dock and the command-line tool; polls on a simulated adapter.

#include "i2c/orv3i2c.h"
#include "sim/adapters/simlm75.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"
#include "transactions/watch.h"

#include <QTest>

using Bytes = std::vector<uint8_t>;
Q_DECLARE_METATYPE(Bytes)

class TstValueDecoding : public QObject {
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void ruleErrors_data();
    void ruleErrors();
    void signedMask_data();
    void signedMask();
    void formatValue_data();
    void formatValue();
    void csvLine_data();
    void csvLine();
    void interval_data();
    void interval();
    void watchSlot_data();
    void watchSlot();
    void watchScheduleUnderLoad();
    void poll_data();
    void poll();
};

void TstValueDecoding::decode_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("shift");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("scale");
    QTest::addColumn<QString>("offset");
    QTest::addColumn<Bytes>("data");
    QTest::addColumn<double>("value");

    const Bytes b = {0x81, 0x02, 0x83, 0x04};
    QTest::newRow("u8") << "u8"
                        << ""
                        << ""
                        << ""
                        << "" << b << 129.0;
    QTest::newRow("s8") << "S8"
                        << ""
                        << ""
                        << ""
                        << "" << b << -127.0;
    QTest::newRow("u16be") << "u16be"
                           << ""
                           << ""
                           << ""
                           << "" << b << 33026.0;
    QTest::newRow("u16le") << "u16le"
                           << ""
                           << ""
                           << ""
                           << "" << b << 641.0;
    QTest::newRow("s16be") << "s16be"
                           << ""
                           << ""
                           << ""
                           << "" << b << -32510.0;
    QTest::newRow("s16le") << "s16le"
                           << ""
                           << ""
                           << ""
                           << "" << Bytes{0x02, 0x81} << -32510.0;
    QTest::newRow("u24be") << "u24be"
                           << ""
                           << ""
                           << ""
                           << "" << b << 8454787.0;
    QTest::newRow("u24le") << "u24le"
                           << ""
                           << ""
                           << ""
                           << "" << b << 8585857.0;
    QTest::newRow("u32be") << "u32be"
                           << ""
                           << ""
                           << ""
                           << "" << b << 2164425476.0;
    QTest::newRow("u32le") << "u32le"
                           << ""
                           << ""
                           << ""
                           << "" << b << 75694721.0;
    QTest::newRow("s32be") << "s32be"
                           << ""
                           << ""
                           << ""
                           << "" << b << -2130541820.0;
    QTest::newRow("s32le") << "s32le"
                           << ""
                           << ""
                           << ""
                           << "" << Bytes{4, 0x83, 2, 0x81} << -2130541820.0;
    QTest::newRow("s32 minimum") << "s32be"
                                 << ""
                                 << ""
                                 << ""
                                 << "" << Bytes{0x80, 0, 0, 0} << -2147483648.0;
    QTest::newRow("extra bytes ignored") << "u8"
                                         << ""
                                         << ""
                                         << ""
                                         << "" << Bytes{7, 9} << 7.0;
    // The sensors of the demo.
    QTest::newRow("BH1750 250 lx") << "u16be"
                                   << ""
                                   << ""
                                   << "1/1.2"
                                   << "" << Bytes{0x01, 0x2C} << 250.0;
    QTest::newRow("LM75 -0.5") << "s16be"
                               << "7"
                               << ""
                               << "0.5"
                               << "" << Bytes{0xFF, 0x80} << -0.5;
    QTest::newRow("LM75 23.5") << "s16be"
                               << "7"
                               << ""
                               << "0.5"
                               << "" << Bytes{0x17, 0x80} << 23.5;
    QTest::newRow("LM75 -55") << "s16be"
                              << "7"
                              << ""
                              << "0.5"
                              << "" << Bytes{0xC9, 0x00} << -55.0;
    QTest::newRow("unsigned shift") << "u16be"
                                    << "4"
                                    << ""
                                    << ""
                                    << "" << Bytes{0xFF, 0xF0} << 4095.0;
    QTest::newRow("mask") << "u16be"
                          << ""
                          << "0x0FFF"
                          << ""
                          << "" << Bytes{0xAB, 0xCD} << 0xBCD * 1.0;
    QTest::newRow("shift then mask") << "u16be"
                                     << "4"
                                     << "0xF"
                                     << ""
                                     << "" << Bytes{0xAB, 0xCD} << 0xC * 1.0;
    QTest::newRow("decimal mask") << "u8"
                                  << ""
                                  << "15"
                                  << ""
                                  << "" << Bytes{0xAB} << 11.0;
    QTest::newRow("mask of a negative value") << "s8"
                                              << ""
                                              << "0xFF"
                                              << ""
                                              << "" << Bytes{0xFF} << 255.0;
    QTest::newRow("scale and offset") << "u8"
                                      << ""
                                      << ""
                                      << "-0.25"
                                      << "-40" << Bytes{200} << -90.0;
}

void TstValueDecoding::decode()
{
    QFETCH(QString, format);
    QFETCH(QString, shift);
    QFETCH(QString, mask);
    QFETCH(QString, scale);
    QFETCH(QString, offset);
    QFETCH(Bytes, data);
    QFETCH(double, value);

    QString error;
    const auto rule = ParseDecodingRule({format, shift, mask, scale, offset, {}, {}}, &error);
    QVERIFY2(rule, qPrintable(error));
    const auto decoded = DecodeValue(*rule, data, &error);
    QVERIFY2(decoded, qPrintable(error));
    QCOMPARE(*decoded, value);
}

void TstValueDecoding::ruleErrors_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("shift");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("scale");
    QTest::addColumn<QString>("decimals");
    QTest::addColumn<Bytes>("data");
    QTest::addColumn<QString>("error");

    const Bytes two = {1, 2};
    QTest::newRow("unknown format") << "u12"
                                    << ""
                                    << ""
                                    << ""
                                    << "" << two << "Unknown format";
    QTest::newRow("shift at the width") << "u8"
                                        << "8"
                                        << ""
                                        << ""
                                        << "" << two << "past the 8 bits of u8";
    QTest::newRow("shift past s16") << "s16le"
                                    << "16"
                                    << ""
                                    << ""
                                    << "" << two << "past the 16 bits of s16le";
    QTest::newRow("negative shift") << "u8"
                                    << "-1"
                                    << ""
                                    << ""
                                    << "" << two << "Invalid shift";
    QTest::newRow("mask not a number") << "u8"
                                       << ""
                                       << "0xZZ"
                                       << ""
                                       << "" << two << "Invalid mask";
    QTest::newRow("mask past 32 bits") << "u8"
                                       << ""
                                       << "0x100000000"
                                       << ""
                                       << "" << two << "Invalid mask";
    QTest::newRow("mask past u8") << "u8"
                                  << ""
                                  << "0x100"
                                  << ""
                                  << "" << two << "The mask 0x100 has bits past the 8 bits of u8.";
    QTest::newRow("mask past s16le")
        << "s16le"
        << ""
        << "0x1ff00"
        << ""
        << "" << two << "The mask 0x1ff00 has bits past the 16 bits of s16le.";
    QTest::newRow("value overflows")
        << "u16be"
        << ""
        << ""
        << "1.7e308"
        << "" << two << "258 x 1.7e+308 + 0 is beyond the largest number.";
    QTest::newRow("scale division by zero") << "u8"
                                            << ""
                                            << ""
                                            << "1/0"
                                            << "" << two << "Invalid scale";
    QTest::newRow("scale not finite") << "u8"
                                      << ""
                                      << ""
                                      << "inf"
                                      << "" << two << "Invalid scale";
    QTest::newRow("decimals") << "u8"
                              << ""
                              << ""
                              << ""
                              << "13" << two << "Invalid number";
    QTest::newRow("too few bytes") << "u24be"
                                   << ""
                                   << ""
                                   << ""
                                   << "" << two << "u24be needs 3 bytes but the read gave 2.";
    QTest::newRow("no bytes") << "u8"
                              << ""
                              << ""
                              << ""
                              << "" << Bytes{} << "u8 needs 1 byte but the read gave 0.";
}

void TstValueDecoding::ruleErrors()
{
    QFETCH(QString, format);
    QFETCH(QString, shift);
    QFETCH(QString, mask);
    QFETCH(QString, scale);
    QFETCH(QString, decimals);
    QFETCH(Bytes, data);
    QFETCH(QString, error);

    QString message;
    const auto rule = ParseDecodingRule({format, shift, mask, scale, {}, {}, decimals}, &message);
    if (rule) {
        QVERIFY(!DecodeValue(*rule, data, &message));
        QCOMPARE(message, error);
    } else {
        QVERIFY2(message.contains(error), qPrintable(message));
    }
}

void TstValueDecoding::signedMask_data()
{
    QTest::addColumn<QString>("mask");
    QTest::addColumn<Bytes>("data");
    QTest::addColumn<QString>("result"); // the value, or the start of the error

    // A 13-bit field below three flag bits, as in a register.
    QTest::newRow("negative") << "0x1FFF" << Bytes{0xFF, 0xF0} << "-16";
    QTest::newRow("positive") << "0x1FFF" << Bytes{0xE1, 0x94} << "404";
    QTest::newRow("32 bits") << "0xFFFFFFFF" << Bytes{0xFF, 0xFF, 0xFF, 0xFE} << "-2";
    QTest::newRow("not low bits") << "0x1FF0" << Bytes{0xFF, 0xF0} << "The mask 0x1FF0 is not";
    QTest::newRow("no mask") << "" << Bytes{0xFF, 0xF0} << "A signed masked value needs a mask";
}

void TstValueDecoding::signedMask()
{
    QFETCH(QString, mask);
    QFETCH(Bytes, data);
    QFETCH(QString, result);

    SDecodingTexts texts;
    texts.format = data.size() == 4 ? QStringLiteral("u32be") : QStringLiteral("u16be");
    texts.mask = mask;
    texts.maskSigned = true;
    QString error;
    const auto rule = ParseDecodingRule(texts, &error);
    if (!rule) {
        QVERIFY2(error.startsWith(result), qPrintable(error));
        return;
    }
    QCOMPARE(QString::number(*DecodeValue(*rule, data, nullptr)), result);
    // The texts of the rule read back into the same rule.
    const auto again = ParseDecodingRule(DecodingRuleTexts(*rule), nullptr);
    QVERIFY(again);
    QCOMPARE(again->mask, rule->mask);
    QVERIFY(again->maskSigned);
}

void TstValueDecoding::formatValue_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("decimals");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("text");
    QTest::newRow("unit") << -0.5 << "1" << QStringLiteral("°C") << QStringLiteral("-0.5 °C");
    QTest::newRow("default decimals") << 250.0 << ""
                                      << "lx"
                                      << "250.00 lx";
    QTest::newRow("no unit, no decimals") << 2.4 << "0"
                                          << ""
                                          << "2";
    QTest::newRow("rounds to zero without sign") << -0.004 << "2"
                                                 << ""
                                                 << "0.00";
    QTest::newRow("negative whole") << -3.0 << "0"
                                    << ""
                                    << "-3";
}

void TstValueDecoding::formatValue()
{
    QFETCH(double, value);
    QFETCH(QString, decimals);
    QFETCH(QString, unit);
    QFETCH(QString, text);
    const auto rule = ParseDecodingRule({{}, {}, {}, {}, {}, unit, decimals}, nullptr);
    QVERIFY(rule);
    QCOMPARE(FormatDecodedValue(*rule, value), text);
}

void TstValueDecoding::csvLine_data()
{
    QTest::addColumn<bool>("ok");
    QTest::addColumn<Bytes>("raw");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QString>("line");

    // 2026-03-14 08:26:53.589 UTC, 12.3456 s after the start.
    QTest::newRow("good, UTC") << true << Bytes{0xFF, 0x80} << "" << 0
                               << "2026-03-14T08:26:53.589Z,12.346,FF 80,-0.5,ok";
    QTest::newRow("east of UTC") << true << Bytes{0x17, 0x80} << "" << 3600
                                 << "2026-03-14T09:26:53.589+01:00,12.346,17 80,23.5,ok";
    QTest::newRow("west of UTC") << true << Bytes{0x17, 0x80} << "" << -(3 * 3600 + 1800)
                                 << "2026-03-14T04:56:53.589-03:30,12.346,17 80,23.5,ok";
    QTest::newRow("failed poll") << false << Bytes{} << "NACK received" << 0
                                 << "2026-03-14T08:26:53.589Z,12.346,,,NACK received";
    QTest::newRow("error with comma and quote")
        << false << Bytes{} << "Bad \"thing\", again" << 0
        << "2026-03-14T08:26:53.589Z,12.346,,,\"Bad \"\"thing\"\", again\"";
    QTest::newRow("too few bytes") << true << Bytes{0x17} << "" << 0
                                   << "2026-03-14T08:26:53.589Z,12.346,17,,"
                                      "s16be needs 2 bytes but the read gave 1.";
}

void TstValueDecoding::csvLine()
{
    QFETCH(bool, ok);
    QFETCH(Bytes, raw);
    QFETCH(QString, error);
    QFETCH(int, offset);
    QFETCH(QString, line);

    const auto rule = ParseDecodingRule({"s16be", "7", {}, "0.5", {}, "°C", "1"}, nullptr);
    QVERIFY(rule);
    SWatchPoll poll;
    poll.ok = ok;
    poll.data = raw;
    poll.error = error;
    const SWatchSample sample = MakeWatchSample(poll, *rule, 1773476813589, 12.3456);
    QCOMPARE(WatchCsvHeader(), QStringLiteral("time,seconds,raw,value,status"));
    QCOMPARE(WatchCsvLine(sample, *rule, offset), line);
}

void TstValueDecoding::interval_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("ms");
    QTest::addColumn<QString>("formatted"); // or the refusal's reason
    QTest::newRow("ms") << "100ms" << 100 << "100ms";
    QTest::newRow("s") << "2s" << 2000 << "2s";
    QTest::newRow("fraction of s") << "1.5s" << 1500 << "1500ms";
    QTest::newRow("min") << "1min" << 60000 << "1min";
    QTest::newRow("h") << "1h" << 3600000 << "1h";
    QTest::newRow("90 s") << "90s" << 90000 << "90s";
    QTest::newRow("shortest") << "10ms" << 10 << "10ms";
    QTest::newRow("below 10 ms") << "9ms" << -1 << "it is shorter than 10ms";
    QTest::newRow("above 1 h") << "61min" << -1 << "it is longer than 1h";
    QTest::newRow("2 h") << "2h" << -1 << "it is longer than 1h";
    QTest::newRow("no unit") << "100" << -1 << "";
    QTest::newRow("unknown unit") << "2d" << -1 << "";
    QTest::newRow("part of a ms") << "10.5ms" << -1 << "it is not a whole number of milliseconds";
    QTest::newRow("no number") << "ms" << -1 << "";
    // Units as SI writes them, and no blanks, as every other number.
    QTest::newRow("upper-case S") << "1S" << -1 << "\"S\" is not a unit";
    QTest::newRow("upper-case MS") << "10MS" << -1 << "\"MS\" is not a unit";
    QTest::newRow("blanks around") << " 1s" << -1 << "it has blanks";
    QTest::newRow("blank inside") << "1.5 s" << -1 << "it has blanks";
    QTest::newRow("sign") << "+1s" << -1 << "it does not start with a number";
}

void TstValueDecoding::interval()
{
    QFETCH(QString, text);
    QFETCH(int, ms);
    QFETCH(QString, formatted);
    QString error;
    const std::optional<int> parsed = ParseWatchInterval(text, &error);
    if (ms < 0) {
        QVERIFY(!parsed);
        QVERIFY2(
            error.startsWith(QStringLiteral("Invalid interval \"%1\": %2").arg(text, formatted)),
            qPrintable(error));
        return;
    }
    QCOMPARE(parsed, std::optional<int>(ms));
    QCOMPARE(FormatWatchInterval(ms), formatted);
    QCOMPARE(ParseWatchInterval(formatted, nullptr), parsed);
}

void TstValueDecoding::watchSlot_data()
{
    // At an interval of 10 ms.
    QTest::addColumn<qint64>("elapsedUs");
    QTest::addColumn<qint64>("next");
    QTest::addColumn<qint64>("slot");
    QTest::newRow("first poll") << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("not yet due: a wait") << qint64(25000) << qint64(3) << qint64(3);
    QTest::newRow("late by less than half an interval") << qint64(34000) << qint64(3) << qint64(3);
    QTest::newRow("late by half an interval") << qint64(35000) << qint64(3) << qint64(3);
    QTest::newRow("late by more: skipped") << qint64(35001) << qint64(3) << qint64(4);
    // A wait for slot 252 that returned 11.4 ms late polls slot 253 then,
    // and the poll after it waits for its own slot instead of following.
    QTest::newRow("overshot wait") << qint64(2531400) << qint64(252) << qint64(253);
    QTest::newRow("after an overshot wait") << qint64(2531500) << qint64(254) << qint64(254);
    QTest::newRow("poll a little longer than the interval")
        << qint64(42000) << qint64(4) << qint64(4);
    QTest::newRow("poll much longer than the interval") << qint64(47000) << qint64(4) << qint64(5);
    QTest::newRow("a stall of a second") << qint64(1000000) << qint64(4) << qint64(100);
}

void TstValueDecoding::watchSlot()
{
    QFETCH(qint64, elapsedUs);
    QFETCH(qint64, next);
    QFETCH(qint64, slot);
    QCOMPARE(WatchSlot(std::chrono::microseconds(elapsedUs), std::chrono::milliseconds(10), next),
             slot);
}

void TstValueDecoding::watchScheduleUnderLoad()
{
    // The watch's loop on a fake clock of a loaded machine: waits that
    // overshoot by up to two and a half intervals, polls of up to one and a
    // half. Polls never start closer than half an interval, nor later than
    // half an interval after their slot.
    using std::chrono::microseconds;
    const microseconds interval(10000);
    microseconds now(0);
    qint64 slot = 0;
    std::vector<std::pair<qint64, microseconds>> polls; // slot, start
    uint32_t random = 12345;
    const auto next = [&random](int below) {
        random = random * 1103515245u + 12345u;
        return static_cast<int>((random >> 8) % static_cast<uint32_t>(below));
    };
    while (polls.size() < 20000) {
        slot = WatchSlot(now, interval, slot);
        const microseconds due = slot * interval;
        if (due > now) {
            now = due + microseconds(next(4) == 0 ? next(25000) : next(200));
            continue;
        }
        polls.emplace_back(slot, now);
        now += microseconds(next(8) == 0 ? next(15000) : next(3000));
        ++slot;
    }
    for (size_t i = 0; i < polls.size(); ++i) {
        const auto [polled, start] = polls[i];
        QVERIFY(start >= polled * interval);
        QVERIFY(start - polled * interval <= interval / 2);
        if (i > 0) {
            QVERIFY(polled > polls[i - 1].first);
            QVERIFY2(start - polls[i - 1].second >= interval / 2,
                     qPrintable(QStringLiteral("polls %1 us apart at slot %2")
                                    .arg((start - polls[i - 1].second).count())
                                    .arg(polled)));
        }
    }
}

void TstValueDecoding::poll_data()
{
    QTest::addColumn<int>("reg"); // -1: none
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<Bytes>("data");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("writes");

    // The LM75 keeps its pointer: register 3 (80 degrees) stays selected.
    QTest::newRow("register 3") << 3 << 2 << true << Bytes{0x50, 0x00} << "" << 1;
    QTest::newRow("current pointer") << -1 << 2 << true << Bytes{0x17, 0x80} << "" << 0;
    QTest::newRow("no count") << 0 << 0 << false << Bytes{} << "Invalid read count 0" << 0;
}

void TstValueDecoding::poll()
{
    QFETCH(int, reg);
    QFETCH(int, count);
    QFETCH(bool, ok);
    QFETCH(Bytes, data);
    QFETCH(QString, error);
    QFETCH(int, writes);

    CSimHidStack::Instance().Reset();
    SSimOrvOptions options;
    options.defaultDevices = false;
    auto adapter = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"SN-W", options);
    adapter->AddDevice(0x48, std::make_shared<CSimLm75>(23.5));
    COrv3i2c i2c;
    QVERIFY(i2c.Connect(L"SN-W", EI2cSpeed::Speed100k));
    adapter->TakeReceivedReports();

    SWatchSource source;
    source.address = 0x48;
    if (reg >= 0)
        source.reg = static_cast<uint32_t>(reg);
    source.count = static_cast<size_t>(count);
    const SWatchPoll poll = RunWatchPoll(i2c, source);
    QCOMPARE(poll.ok, ok);
    QCOMPARE(poll.data, data);
    QVERIFY2(error.isEmpty() ? poll.error.isEmpty() : poll.error.startsWith(error),
             qPrintable(poll.error));
    QVERIFY(!poll.timedOut);
    int written = 0;
    for (const auto& report : adapter->TakeReceivedReports())
        written += report.at(0) == 0x02;
    QCOMPARE(written, writes);

    // A device that does not answer in time stops a watch; a NACK does not.
    if (reg < 0) {
        QVERIFY(!RunWatchPoll(i2c, SWatchSource{0x49, {}, 1, 2}).timedOut);
        adapter->SetFault(ESimOrvFault::NoAnswer);
        const SWatchPoll silent = RunWatchPoll(i2c, source);
        QVERIFY(!silent.ok && silent.timedOut);
    }
}

QTEST_GUILESS_MAIN(TstValueDecoding)
#include "tst_valuedecoding.moc"
