#include "i2c/orvdevicefactory.h"
#include "sim/adapters/simeeprom24c02.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"
#include "transactions/registeraccess.h"
#include "transactions/registerdump.h"

#include <QTest>

#include <algorithm>
#include <memory>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t WIDE_ADDRESS = 0x30;

// Acknowledges every byte and answers reads with 0x5A.
class CAnyDevice : public CSimI2cDevice {
public:
    bool Start(bool) override { return true; }
    size_t Write(std::span<const uint8_t> bytes) override { return bytes.size(); }
    void Read(std::span<uint8_t> out) override { std::fill(out.begin(), out.end(), 0x5A); }
    void Stop() override {}
};

QByteArray hex(const Bytes& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()))
        .toHex(' ');
}

// The bytes of a write report after its control byte, as many as it counts.
Bytes writePayload(const CSimOrvAdapter::Report& report)
{
    const size_t count = report[1] & 0x3F;
    return Bytes(report.begin() + 2, report.begin() + 2 + static_cast<qsizetype>(count));
}

} // namespace

class TstRegisters : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void registerWidths_data();
    void registerWidths();
    void setWithReadbackAndMask_data();
    void setWithReadbackAndMask();
    void dumpGrid_data();
    void dumpGrid();
    void dumpModes_data();
    void dumpModes();
    void dumpEndsWhenAdapterStopsAnswering();

private:
    void connect(ESimOrvModel model);

    std::shared_ptr<CSimOrvAdapter> m_adapter;
    std::unique_ptr<COrvI2c> m_i2c;
};

void TstRegisters::init()
{
    CSimHidStack::Instance().Reset();
}

void TstRegisters::cleanup()
{
    m_i2c.reset();
    m_adapter.reset();
    CSimHidStack::Instance().Reset();
}

void TstRegisters::connect(ESimOrvModel model)
{
    m_adapter = CSimOrvAdapter::Plug(model, L"R-1");
    m_i2c =
        COrvDeviceFactory::Create(model == ESimOrvModel::Orv5 ? EOrvType::Orv5 : EOrvType::Orv3);
    QVERIFY(m_i2c->Connect(L"R-1", EI2cSpeed::Speed100k));
    m_adapter->TakeReceivedReports();
}

void TstRegisters::registerWidths_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<uint>("reg");
    QTest::addColumn<QByteArray>("pointer");
    QTest::addColumn<bool>("fits");

    QTest::newRow("1 byte") << 1 << 0x12u << QByteArray("12") << true;
    QTest::newRow("1 byte, largest") << 1 << 0xFFu << QByteArray("ff") << true;
    QTest::newRow("1 byte, too large") << 1 << 0x100u << QByteArray() << false;
    QTest::newRow("2 bytes") << 2 << 0x1234u << QByteArray("12 34") << true;
    QTest::newRow("2 bytes, small register") << 2 << 0x05u << QByteArray("00 05") << true;
    QTest::newRow("2 bytes, too large") << 2 << 0x10000u << QByteArray() << false;
    QTest::newRow("3 bytes") << 3 << 0xABCDEFu << QByteArray("ab cd ef") << true;
    QTest::newRow("4 bytes, largest") << 4 << 0xFFFFFFFEu << QByteArray("ff ff ff fe") << true;
    QTest::newRow("width 0") << 0 << 0u << QByteArray() << false;
    QTest::newRow("width 5") << 5 << 0u << QByteArray() << false;
}

void TstRegisters::registerWidths()
{
    QFETCH(int, width);
    QFETCH(uint, reg);
    QFETCH(QByteArray, pointer);
    QFETCH(bool, fits);
    QCOMPARE(RegisterFits(reg, width), fits);
    if (!fits)
        return;
    QCOMPARE(hex(RegisterPointerBytes(reg, width)), pointer);

    connect(ESimOrvModel::Orv3);
    m_adapter->AddDevice(WIDE_ADDRESS, std::make_shared<CAnyDevice>());

    // A read: the pointer with a start and no stop, then the read.
    const SRegisterRead read = RunRegisterRead(*m_i2c, WIDE_ADDRESS, reg, width, 2);
    QCOMPARE(read.data(), (Bytes{0x5A, 0x5A}));
    std::vector<CSimOrvAdapter::Report> reports = m_adapter->TakeReceivedReports();
    QCOMPARE(reports.size(), size_t(2));
    QCOMPARE(reports[0][1], uint8_t(0x80 | (width + 1)));
    QCOMPARE(hex(writePayload(reports[0])), "60 " + pointer);
    QCOMPARE(hex({reports[1][0], reports[1][1]}), QByteArray("03 02"));

    // A write: pointer and values with a start and a stop.
    QVERIFY(RunRegisterWrite(*m_i2c, WIDE_ADDRESS, reg, width, {0xA5}).ok);
    reports = m_adapter->TakeReceivedReports();
    QCOMPARE(reports.size(), size_t(1));
    QCOMPARE(reports[0][1], uint8_t(0xC0 | (width + 2)));
    QCOMPARE(hex(writePayload(reports[0])), "60 " + pointer + " a5");
}

void TstRegisters::setWithReadbackAndMask_data()
{
    QTest::addColumn<uint8_t>("address");
    QTest::addColumn<uint>("reg");
    QTest::addColumn<QByteArray>("values");
    QTest::addColumn<int>("mask"); // -1: none
    QTest::addColumn<bool>("readback");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<int>("mismatch"); // -1: none
    QTest::addColumn<int>("requests");

    // The 24C02 at 0x50 holds 0xFF everywhere, pages of 8 bytes.
    QTest::newRow("write") << uint8_t(0x50) << 0x10u << QByteArray("\x01\x02", 2) << -1 << false
                           << QByteArray("01 02") << -1 << 1;
    QTest::newRow("read back") << uint8_t(0x50) << 0x10u << QByteArray("\x01\x02", 2) << -1 << true
                               << QByteArray("01 02") << -1 << 3;
    QTest::newRow("read back across a page end")
        << uint8_t(0x50) << 0x06u << QByteArray("\x01\x02\x03\x04", 4) << -1 << true
        << QByteArray("01 02 03 04") << 2 << 3;
    QTest::newRow("mask") << uint8_t(0x50) << 0x10u << QByteArray("\x5A", 1) << 0x0F << false
                          << QByteArray("fa") << -1 << 3;
    QTest::newRow("mask, read back") << uint8_t(0x50) << 0x10u << QByteArray("\x00", 1) << 0xF0
                                     << true << QByteArray("0f") << -1 << 5;
    // The LM75 keeps the top bit of its limits' low byte only.
    QTest::newRow("LM75 limit, read back") << uint8_t(0x48) << 0x03u << QByteArray("\x55\x01", 2)
                                           << -1 << true << QByteArray("55 01") << 1 << 3;
    QTest::newRow("no device") << uint8_t(0x51) << 0x00u << QByteArray("\x01", 1) << 0x0F << true
                               << QByteArray("01") << -1 << 1;
}

void TstRegisters::setWithReadbackAndMask()
{
    QFETCH(uint8_t, address);
    QFETCH(uint, reg);
    QFETCH(QByteArray, values);
    QFETCH(int, mask);
    QFETCH(bool, readback);
    QFETCH(QByteArray, written);
    QFETCH(int, mismatch);
    QFETCH(int, requests);
    connect(ESimOrvModel::Orv3);

    const SRegisterSet set =
        RunRegisterSet(*m_i2c, address, reg, 1, Bytes(values.begin(), values.end()),
                       mask < 0 ? std::nullopt : std::optional<uint8_t>(mask), readback);
    QCOMPARE(hex(set.written), written);
    QCOMPARE(set.mismatch ? int(*set.mismatch) : -1, mismatch);
    QCOMPARE(set.ok(), mismatch < 0 && address != 0x51);
    QCOMPARE(set.failure() != nullptr, address == 0x51);
    QCOMPARE(m_adapter->ReceivedReports().size(), size_t(requests));
    if (address == 0x50 && mismatch < 0) {
        const auto contents = m_adapter->DeviceAs<CSimEeprom24c02>(0x50)->Contents();
        QCOMPARE(hex(Bytes(contents.begin() + reg, contents.begin() + reg + set.written.size())),
                 written);
    }
}

void TstRegisters::dumpGrid_data()
{
    QTest::addColumn<uint>("first");
    QTest::addColumn<uint>("last");
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<QString>("grid");

    const QString header =
        QStringLiteral("     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n");
    QTest::newRow("every class of byte in the text column")
        << 0x00u << 0x0Fu << QList<int>{0x00, 0xFF, 0x01, 0x1F, 0x20, 0x41, 0x7E, 0x7F,
                                        0x80, 0xFE, -1,   0x30, 0x7A, 0x2E, 0x3F, 0x58}
        << header + "00: 00 ff 01 1f 20 41 7e 7f 80 fe XX 30 7a 2e 3f 58    ..?? A~???X0z.?X\n";
    QTest::newRow("starts and ends mid-row")
        << 0x0Du << 0x12u << QList<int>{0x61, -1, 0x00, 0x62, 0x63, 0x64}
        << header + "00:                                        61 XX 00                 aX.\n"
                    "10: 62 63 64                                           bcd             \n";
    QTest::newRow("ends on a row's last byte")
        << 0x1Eu << 0x1Fu << QList<int>{0x21, 0x22}
        << header + "10:                                           21 22                  !\"\n";
    // i2cdump -y -r 0x20-0x21 on i2c-stub, as cat -A shows it.
    QTest::newRow("ends two bytes into a row")
        << 0x20u << 0x21u << QList<int>{0xFF, 0xFF}
        << header + "20: ff ff                                              ..              \n";
    QTest::newRow("a single register")
        << 0x10u << 0x10u << QList<int>{0x41}
        << header + "10: 41                                                 A               \n";
    QTest::newRow("three-digit registers")
        << 0xFFu << 0x100u << QList<int>{0x20, 0x20}
        << "      0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
           "0f0:                                              20                    \n"
           "100: 20                                                                 \n";
}

void TstRegisters::dumpGrid()
{
    QFETCH(uint, first);
    QFETCH(uint, last);
    QFETCH(QList<int>, values);
    QFETCH(QString, grid);
    QCOMPARE(FormatRegisterDump(first, last, std::vector<int>(values.begin(), values.end())), grid);
}

void TstRegisters::dumpModes_data()
{
    QTest::addColumn<ESimOrvModel>("model");
    QTest::addColumn<ERegisterDumpMode>("mode");
    QTest::addColumn<uint>("first");
    QTest::addColumn<uint>("last");
    QTest::addColumn<int>("requests");

    const auto byte = ERegisterDumpMode::Byte;
    const auto block = ERegisterDumpMode::Block;
    const auto consecutive = ERegisterDumpMode::Consecutive;
    QTest::newRow("bytes") << ESimOrvModel::Orv3 << byte << 0x00u << 0xFFu << 512;
    QTest::newRow("blocks, Orvane3") << ESimOrvModel::Orv3 << block << 0x00u << 0xFFu << 2;
    QTest::newRow("blocks, Orvane5") << ESimOrvModel::Orv5 << block << 0x00u << 0xFFu << 2;
    QTest::newRow("blocks, part") << ESimOrvModel::Orv5 << block << 0x1Cu << 0x23u << 2;
    QTest::newRow("consecutive") << ESimOrvModel::Orv3 << consecutive << 0xF0u << 0xFFu << 17;
}

void TstRegisters::dumpModes()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(ERegisterDumpMode, mode);
    QFETCH(uint, first);
    QFETCH(uint, last);
    QFETCH(int, requests);
    connect(model);
    std::array<uint8_t, CSimEeprom24c02::SIZE> contents{};
    for (size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<uint8_t>(i * 3);
    m_adapter->DeviceAs<CSimEeprom24c02>(0x50)->SetContents(contents);

    const SRegisterDump dump = RunRegisterDump(*m_i2c, 0x50, first, last, 1, mode);
    QVERIFY(dump.ok());
    QCOMPARE(dump.values.size(), size_t(last - first + 1));
    for (uint reg = first; reg <= last; ++reg)
        QCOMPARE(dump.values[reg - first], int(contents[reg]));
    QCOMPARE(m_adapter->ReceivedReports().size(), size_t(requests));

    // Every byte fails at an address nobody answers, and the dump goes on.
    const SRegisterDump missing = RunRegisterDump(*m_i2c, 0x51, first, last, 1, mode);
    QCOMPARE(missing.failed, size_t(last - first + 1));
    QVERIFY(missing.failure && !missing.stopped);
    QCOMPARE(missing.failureRegister, first);
}

void TstRegisters::dumpEndsWhenAdapterStopsAnswering()
{
    connect(ESimOrvModel::Orv3);
    // Bytes 0 and 1 are read, then every request goes unanswered: one
    // timeout of a second ends the dump instead of 254 more.
    m_adapter->SetFault(ESimOrvFault::NoAnswer, -1, 4);
    const SRegisterDump dump =
        RunRegisterDump(*m_i2c, 0x50, 0x00, 0xFF, 1, ERegisterDumpMode::Byte);
    QVERIFY(dump.stopped);
    QCOMPARE(dump.failureRegister, 2u);
    QCOMPARE(dump.failure->error, QStringLiteral("Timeout"));
    QCOMPARE(dump.failed, size_t(254));
    QCOMPARE(m_adapter->ReceivedReports().size(), size_t(5));
}

QTEST_GUILESS_MAIN(TstRegisters)
#include "tst_registers.moc"
