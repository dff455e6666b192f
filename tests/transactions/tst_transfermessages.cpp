#include "i2c/orvdevicefactory.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"
#include "transactions/transfermessages.h"

#include <QTest>

#include <memory>

namespace {

QString hex(const std::vector<uint8_t>& bytes)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<qsizetype>(bytes.size()))
                                   .toHex(' '));
}

// "w50:20 41 42|r50:2": direction, address, then the data or the length.
QString describe(const std::vector<STransferMessage>& messages)
{
    QStringList parts;
    for (const STransferMessage& message : messages) {
        parts.append(QStringLiteral("%1%2:%3")
                         .arg(QChar(message.read ? u'r' : u'w'))
                         .arg(message.address, 2, 16, QLatin1Char('0'))
                         .arg(message.read ? QString::number(message.length) : hex(message.data)));
    }
    return parts.join(QLatin1Char('|'));
}

} // namespace

class TstTransferMessages : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { CSimHidStack::Instance().Reset(); }

    void parse_data();
    void parse();
    void verboseLines();
    void send_data();
    void send();
};

void TstTransferMessages::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("eightBit");
    QTest::addColumn<QString>("messages");
    QTest::addColumn<QString>("error");

    const auto row = [](const char* name, QStringList arguments, const char* messages,
                        const char* error = "", bool eightBit = false) {
        QTest::newRow(name) << arguments << eightBit << QString::fromLatin1(messages)
                            << QString::fromLatin1(error);
    };
    row("write, read", {"w3@0x50", "0x20", "0x41", "0x42", "r2"}, "w50:20 41 42|r50:2");
    row("address carried on", {"w1@50", "0", "w1@0x48", "1", "r1"}, "w50:00|w48:01|r48:1");
    row("decimal, octal, hex length", {"w0x2@0x50", "10", "010"}, "w50:0a 08");
    row("zero lengths", {"w0@0x50", "r0"}, "w50:|r50:0");
    row("8-bit address", {"r1@0xA1"}, "r50:1", "", true);
    row("suffix =", {"w4@0x50", "0x10="}, "w50:10 10 10 10");
    row("suffix + wraps", {"w3@0x50", "0xfe+"}, "w50:fe ff 00");
    row("suffix - wraps", {"w3@0x50", "1-"}, "w50:01 00 ff");
    row("suffix p", {"w8@0x50", "0p"}, "w50:00 50 b0 71 ee 04 58 a0");
    row("suffix after given bytes", {"w4@0x50", "1", "2+", "r1"}, "w50:01 02 03 04|r50:1");
    row("suffix on the last byte", {"w2@0x50", "1", "2p"}, "w50:01 02");

    row("nothing", {}, "", "no messages given");
    row("no address", {"r2"}, "", "the first message \"r2\" names no address");
    row("not a message", {"x1@0x50"}, "", "invalid message \"x1@0x50\"");
    row("data missing", {"w3@0x50", "1", "2"}, "",
        "message 0 \"w3@0x50\" needs 3 data bytes but has 2");
    row("next message too soon", {"w2@0x50", "1", "r1"}, "",
        "invalid data byte \"r1\" in message 0");
    row("byte too large", {"w1@0x50", "256"}, "", "invalid data byte \"256\"");
    row("unknown suffix", {"w2@0x50", "1*"}, "", "invalid data byte \"1*\"");
    row("data after a read", {"r1@0x50", "5"}, "",
        "message 0 is a read, which takes no data bytes");
    row("length too large", {"r65536@0x50"}, "", "invalid length in message 0");
    row("7-bit address too large", {"r1@0x80"}, "", "invalid address in message 0 \"r1@0x80\"");
    row("address empty", {"r1@"}, "", "invalid message \"r1@\"");
}

void TstTransferMessages::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, eightBit);
    QFETCH(QString, messages);
    QFETCH(QString, error);

    const STransferParse parsed = ParseTransferMessages(arguments, eightBit);
    QVERIFY2(error.isEmpty() ? parsed.error.isEmpty() : parsed.error.startsWith(error),
             qPrintable(parsed.error));
    QCOMPARE(describe(parsed.messages), messages);
}

void TstTransferMessages::verboseLines()
{
    const STransferParse parsed =
        ParseTransferMessages({"w3@0x50", "0x20", "0x41", "0x42", "r2", "w0@0x23"}, false);
    QCOMPARE(TransferMessageLine(0, parsed.messages[0], {}, false),
             QStringLiteral("msg 0: addr 0x50, write, len 3, buf 0x20 0x41 0x42"));
    QCOMPARE(TransferMessageLine(1, parsed.messages[1], {0xff, 0x0a}, true),
             QStringLiteral("msg 1: addr 0xa0, read, len 2, buf 0xff 0x0a"));
    QCOMPARE(TransferMessageLine(2, parsed.messages[2], {}, false),
             QStringLiteral("msg 2: addr 0x23, write, len 0"));
}

void TstTransferMessages::send_data()
{
    QTest::addColumn<ESimOrvModel>("model");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("read");        // the last transaction's data
    QTest::addColumn<QStringList>("reports"); // report ID and control byte

    const auto orv3 = ESimOrvModel::Orv3;
    const auto orv5 = ESimOrvModel::Orv5;
    QTest::newRow("register read") << orv3 << QStringList{"w1@0x48", "0", "r2"} << QString()
                                   << "17 80" << QStringList{"02 82", "03 02"};
    QTest::newRow("writes, one stop at the end")
        << orv3 << QStringList{"w1@0x48", "1", "w2@0x50", "0x10", "0xAA"} << QString() << "10 aa"
        << QStringList{"02 82", "02 c3"};
    QTest::newRow("read of nothing")
        << orv3 << QStringList{"r0@0x50"} << QString() << "" << QStringList{"02 c1"};
    QTest::newRow("address alone first, on the Orvane5")
        << orv5 << QStringList{"w0@0x50", "r1"} << QString() << "ff"
        << QStringList{"02 81", "03 01"};
    QTest::newRow("failure ends it")
        << orv3 << QStringList{"w1@0x51", "0", "r1"} << QString() << "00" << QStringList{"02 82"};

    QTest::newRow("read before a write")
        << orv3 << QStringList{"w1@0x50", "0", "r1", "w1@0x50", "0"}
        << "message 1 is a read and message 2 follows it, but the Orvane adapters end every read "
           "with a stop"
        << "" << QStringList{};
    QTest::newRow("read beyond the Orvane5's limit")
        << orv5 << QStringList{"r257@0x50"}
        << "message 0 reads 257 bytes, but the Orvane5 reads at most 256"
        << "" << QStringList{};
    QTest::newRow("address alone last, on the Orvane5")
        << orv5 << QStringList{"w1@0x50", "0", "r0"}
        << "message 1 has length 0, so it would end the transaction with the address alone"
        << "" << QStringList{};
}

void TstTransferMessages::send()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(QStringList, arguments);
    QFETCH(QString, problem);
    QFETCH(QString, read);
    QFETCH(QStringList, reports);

    const auto adapter = CSimOrvAdapter::Plug(model, L"T-1");
    const std::unique_ptr<COrvI2c> i2c =
        COrvDeviceFactory::Create(model == ESimOrvModel::Orv5 ? EOrvType::Orv5 : EOrvType::Orv3);
    QVERIFY(i2c->Connect(L"T-1", EI2cSpeed::Speed100k));
    adapter->TakeReceivedReports();

    const STransferParse parsed = ParseTransferMessages(arguments, false);
    QVERIFY(parsed.error.isEmpty());
    const QString refused = TransferProblem(parsed.messages, *i2c);
    QVERIFY2(problem.isEmpty() ? refused.isEmpty() : refused.startsWith(problem),
             qPrintable(refused));
    if (!refused.isEmpty())
        return;

    const std::vector<SI2cTransaction> transactions = RunTransfer(*i2c, parsed.messages);
    QCOMPARE(hex(transactions.back().data), read);
    QCOMPARE(transactions.back().ok, transactions.size() == parsed.messages.size());
    QStringList sent;
    for (const CSimOrvAdapter::Report& report : adapter->TakeReceivedReports())
        sent.append(hex({report[0], report[1]}));
    QCOMPARE(sent, reports);
}

QTEST_GUILESS_MAIN(TstTransferMessages)
#include "tst_transfermessages.moc"
