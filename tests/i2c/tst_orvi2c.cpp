// The adapter protocol engine, driven through the Orvane3 model against the
// simulated adapter, byte by byte.

#include "i2c/orv3i2c.h"
#include "i2c/orvusbids.h"
#include "sim/adapters/simeeprom24c02.h"
#include "sim/adapters/simorvadapter.h"
#include "tests/i2c/simadapterfixture.h"

#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace testutil;

namespace {
const std::wstring SERIAL = L"OR3-0001";
constexpr uint8_t EEPROM = 0x50;
constexpr uint8_t ABSENT = 0x11;
} // namespace

class TestOrvI2c : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void writeSplitsIntoReports_data();
    void writeSplitsIntoReports();
    void writeAcknowledge_data();
    void writeAcknowledge();
    void writeStopsAtFirstFailedAcknowledge();
    void writeRefusesEmptyAndUnconnected();
    void readGathersReports();
    void readStatus_data();
    void readStatus();
    void readRefusesBadArguments_data();
    void readRefusesBadArguments();
    void strayReportsAreSkipped();
    void staleReportsAreDrainedFirst();
    void probeWritesTheAddressAlone();
    void unansweredReportTimesOut();
    void floodingDeviceEndsTheWait();
    void connectChoosesTheI2cInterface();
    void connectOnOtherInterfaceFindsNothing();
    void connectRefusesShortReports();
    void connectRefusedWhileAnotherHoldsTheAdapter();
    void connectWithFailingSpeedUndoesTheConnection();
    void connectAgainLeavesFirst();
    void disconnectLeavesI2cMode();
    void setSpeed();
    void presenceFollowsUnplugging();
    void unplugDuringWaitFailsAtOnce();
    void failedTransferIsUsbErrorWhileListed();
    void adapterPulledDuringRequestIsGone();
    void cancelEndsTheWaitAndResynchronises();
    void enumerateInterfaceSortsAndDeduplicates();

private:
    std::shared_ptr<CSimOrvAdapter> m_sim;
    std::unique_ptr<COrv3i2c> m_i2c;

    void connect();
};

void TestOrvI2c::init()
{
    CSimHidStack::Instance().Reset();
    m_sim = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, SERIAL);
    QVERIFY(m_sim);
    m_i2c = std::make_unique<COrv3i2c>();
}

void TestOrvI2c::cleanup()
{
    m_i2c.reset();
    m_sim.reset();
    CSimHidStack::Instance().Reset();
}

void TestOrvI2c::connect()
{
    QVERIFY2(m_i2c->Connect(SERIAL, EI2cSpeed::Speed100k), m_i2c->GetLastError().c_str());
    m_sim->TakeReceivedReports();
}

void TestOrvI2c::writeSplitsIntoReports_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("start");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<QList<int>>("controls");

    QTest::newRow("1, start+stop") << 1 << true << true << QList<int>{0xC1};
    QTest::newRow("62, start+stop") << 62 << true << true << QList<int>{0xFE};
    QTest::newRow("63, start+stop") << 63 << true << true << QList<int>{0xBE, 0x41};
    QTest::newRow("63, start") << 63 << true << false << QList<int>{0xBE, 0x01};
    QTest::newRow("63, stop") << 63 << false << true << QList<int>{0x3E, 0x41};
    QTest::newRow("130, start+stop") << 130 << true << true << QList<int>{0xBE, 0x3E, 0x46};
    QTest::newRow("5, neither") << 5 << false << false << QList<int>{0x05};
}

void TestOrvI2c::writeSplitsIntoReports()
{
    QFETCH(int, length);
    QFETCH(bool, start);
    QFETCH(bool, stop);
    QFETCH(QList<int>, controls);

    connect();
    if (!start) {
        // A write without start continues an open transaction.
        SI2cWriteResult opening;
        QVERIFY(m_i2c->Write({EEPROM << 1, 0x00}, opening, true, false));
        m_sim->TakeReceivedReports();
    }

    std::vector<uint8_t> data = Bytes(static_cast<size_t>(length), 0x10);
    data[0] = EEPROM << 1;
    SI2cWriteResult result;
    QVERIFY2(m_i2c->Write(data, result, start, stop), m_i2c->GetLastError().c_str());

    std::vector<Report> expected;
    size_t offset = 0;
    for (int control : controls) {
        Report report = MakeReport({0x02, static_cast<uint8_t>(control)});
        const size_t count = control & 0x3F;
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), count, report.begin() + 2);
        offset += count;
        expected.push_back(report);
    }
    QCOMPARE(HexList(m_sim->TakeReceivedReports()), HexList(expected));
    // The status of the last acknowledge: the simulated adapter answers with
    // the byte count.
    QCOMPARE(result.status, static_cast<uint8_t>(controls.last() & 0x3F));
    QCOMPARE(result.errorCode, uint8_t(0));
}

void TestOrvI2c::writeAcknowledge_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("error");
    QTest::addColumn<EOrvError>("kind");

    QTest::newRow("success, code ignored") << 0x01 << 3 << true << QString() << EOrvError::None;
    QTest::newRow("arbitration lost with error bit")
        << 0xC0 << 3 << false << "Arbitration lost" << EOrvError::ArbitrationLost;
    QTest::newRow("arbitration lost alone")
        << 0x40 << 0 << false << "Arbitration lost" << EOrvError::ArbitrationLost;
    QTest::newRow("code 0") << 0x80 << 0 << false << "Error" << EOrvError::AdapterError;
    QTest::newRow("code 1") << 0x80 << 1 << false << "Wrong number of bytes"
                            << EOrvError::WrongCount;
    QTest::newRow("code 2") << 0x80 << 2 << false << "Transaction without start"
                            << EOrvError::NoStart;
    QTest::newRow("code 3") << 0x80 << 3 << false << "NACK received" << EOrvError::Nack;
    QTest::newRow("code 4") << 0x80 << 4 << false << "Bus error" << EOrvError::BusError;
    QTest::newRow("code 7") << 0x80 << 7 << false << "Unknown error" << EOrvError::AdapterError;
    QTest::newRow("code 255") << 0xBF << 255 << false << "Unknown error" << EOrvError::AdapterError;
}

void TestOrvI2c::writeAcknowledge()
{
    QFETCH(int, status);
    QFETCH(int, code);
    QFETCH(bool, ok);
    QFETCH(QString, error);
    QFETCH(EOrvError, kind);

    connect();
    m_sim->ReplaceNextAnswer(
        {MakeReport({0x02, static_cast<uint8_t>(status), static_cast<uint8_t>(code)})});
    SI2cWriteResult result;
    QCOMPARE(m_i2c->Write({EEPROM << 1, 0x00}, result, true, true), ok);
    QCOMPARE(result.status, static_cast<uint8_t>(status));
    QCOMPARE(result.errorCode, static_cast<uint8_t>(code));
    QCOMPARE(m_i2c->GetLastErrorKind(), kind);
    if (!ok)
        QCOMPARE(QString::fromStdString(m_i2c->GetLastError()), error);
}

void TestOrvI2c::writeStopsAtFirstFailedAcknowledge()
{
    connect();
    m_sim->ReplaceNextAnswer({MakeReport({0x02, 0x80, 0x03})});
    SI2cWriteResult result;
    QVERIFY(!m_i2c->Write(Bytes(100, EEPROM << 1), result, true, true));
    QCOMPARE(m_i2c->GetLastError(), std::string("NACK received"));
    QCOMPARE(m_sim->TakeReceivedReports().size(), size_t(1));

    // A real NACK from the bus reads the same.
    QVERIFY(!m_i2c->Write({ABSENT << 1, 0x00}, result, true, true));
    QCOMPARE(m_i2c->GetLastError(), std::string("NACK received"));
    QCOMPARE(result.status, uint8_t(0x80));
    QCOMPARE(result.errorCode, uint8_t(3));
}

void TestOrvI2c::writeRefusesEmptyAndUnconnected()
{
    SI2cWriteResult result{0x12, 0x34};
    QVERIFY(!m_i2c->Write({EEPROM << 1}, result, true, true));
    QCOMPARE(m_i2c->GetLastError(), std::string("Not connected"));
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::NotConnected);
    QCOMPARE(result.status, uint8_t(0));
    QCOMPARE(result.errorCode, uint8_t(0));

    connect();
    result = {0x12, 0x34};
    QVERIFY(!m_i2c->Write({}, result, true, true));
    QCOMPARE(m_i2c->GetLastError(), std::string("No data to write"));
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::InvalidArgument);
    QCOMPARE(result.status, uint8_t(0));
    QVERIFY(m_sim->ReceivedReports().empty());
}

void TestOrvI2c::readGathersReports()
{
    auto eeprom = m_sim->DeviceAs<CSimEeprom24c02>(EEPROM);
    QVERIFY(eeprom);
    std::array<uint8_t, 256> contents{};
    for (size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<uint8_t>(255 - i);
    eeprom->SetContents(contents);
    connect();

    SI2cReadResult result;
    QVERIFY2(m_i2c->Read(EEPROM, 100, result), m_i2c->GetLastError().c_str());
    QCOMPARE(HexList(m_sim->TakeReceivedReports()), HexList({MakeReport({0x03, 100, 0xA1, 0x00})}));
    QCOMPARE(result.data, std::vector<uint8_t>(contents.begin(), contents.begin() + 100));
    QCOMPARE(result.status, uint8_t(38));

    // Surplus bytes in the last report are ignored.
    Report full = MakeReport({0x03, 62});
    std::fill(full.begin() + 2, full.end(), 0x5A);
    m_sim->ReplaceNextAnswer({full, full});
    QVERIFY(m_i2c->Read(EEPROM, 100, result));
    QCOMPARE(result.data, std::vector<uint8_t>(100, 0x5A));
    QCOMPARE(result.status, uint8_t(62));
}

void TestOrvI2c::readStatus_data()
{
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("received");
    QTest::addColumn<EOrvError>("kind");

    QTest::newRow("count bits 63 give 62")
        << QList<int>{63, 8} << 70 << QString() << 70 << EOrvError::None;
    QTest::newRow("count 0 without error bit")
        << QList<int>{0x00} << 10 << "NACK received" << 0 << EOrvError::Nack;
    // The read data report has no error code: a bus error reads as a NACK.
    QTest::newRow("error bit with a count")
        << QList<int>{0x85} << 10 << "NACK received" << 0 << EOrvError::Nack;
    QTest::newRow("arbitration lost")
        << QList<int>{0x45} << 10 << "Arbitration lost" << 0 << EOrvError::ArbitrationLost;
    QTest::newRow("arbitration lost before error bit")
        << QList<int>{0xC0} << 10 << "Arbitration lost" << 0 << EOrvError::ArbitrationLost;
    QTest::newRow("failure after data keeps it")
        << QList<int>{62, 0x80} << 100 << "NACK received" << 62 << EOrvError::Nack;
}

void TestOrvI2c::readStatus()
{
    QFETCH(QList<int>, statuses);
    QFETCH(int, count);
    QFETCH(QString, error);
    QFETCH(int, received);
    QFETCH(EOrvError, kind);

    connect();
    std::vector<Report> answer;
    uint8_t next = 0;
    for (int status : statuses) {
        Report report = MakeReport({0x03, static_cast<uint8_t>(status)});
        for (size_t i = 2; i < report.size(); ++i)
            report[i] = next++;
        answer.push_back(report);
    }
    m_sim->ReplaceNextAnswer(answer);

    SI2cReadResult result;
    QCOMPARE(m_i2c->Read(EEPROM, static_cast<size_t>(count), result), error.isEmpty());
    QCOMPARE(m_i2c->GetLastErrorKind(), kind);
    if (!error.isEmpty())
        QCOMPARE(QString::fromStdString(m_i2c->GetLastError()), error);
    QCOMPARE(result.status, static_cast<uint8_t>(statuses.last()));
    QCOMPARE(result.data, Bytes(static_cast<size_t>(received)));
}

void TestOrvI2c::readRefusesBadArguments_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("error");

    QTest::newRow("address bit 7") << 0x80 << 1 << "Invalid address";
    QTest::newRow("count 0") << 0x50 << 0 << "Invalid read count, this device reads 1..65535 bytes";
    QTest::newRow("count 65536") << 0x50 << 65536
                                 << "Invalid read count, this device reads 1..65535 bytes";
}

void TestOrvI2c::readRefusesBadArguments()
{
    QFETCH(int, address);
    QFETCH(int, count);
    QFETCH(QString, error);

    connect();
    SI2cReadResult result{0x33, {1, 2, 3}};
    QVERIFY(!m_i2c->Read(static_cast<uint8_t>(address), static_cast<size_t>(count), result));
    QCOMPARE(QString::fromStdString(m_i2c->GetLastError()), error);
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::InvalidArgument);
    QCOMPARE(result.status, uint8_t(0));
    QVERIFY(result.data.empty());
    QVERIFY(m_sim->ReceivedReports().empty());
}

void TestOrvI2c::strayReportsAreSkipped()
{
    connect();
    m_sim->QueueStrayReports(CSimOrvAdapter::StrayReports());
    SI2cWriteResult written;
    QVERIFY2(m_i2c->Write({EEPROM << 1, 0x00, 0xAB}, written, true, true),
             m_i2c->GetLastError().c_str());
    QCOMPARE(written.status, uint8_t(3));

    QVERIFY(m_i2c->Write({EEPROM << 1, 0x00}, written, true, false));
    m_sim->QueueStrayReports(CSimOrvAdapter::StrayReports());
    SI2cReadResult read;
    QVERIFY2(m_i2c->Read(EEPROM, 1, read), m_i2c->GetLastError().c_str());
    QCOMPARE(read.data, std::vector<uint8_t>{0xAB});
}

void TestOrvI2c::staleReportsAreDrainedFirst()
{
    connect();
    // Left over from an earlier, abandoned transaction.
    m_sim->SendUnsolicited(MakeReport({0x02, 0x80, 0x03}));
    m_sim->SendUnsolicited(MakeReport({0x03, 0x80}));
    SI2cWriteResult written;
    QVERIFY2(m_i2c->Write({EEPROM << 1, 0x00}, written, true, false),
             m_i2c->GetLastError().c_str());

    m_sim->SendUnsolicited(MakeReport({0x03, 0x80}));
    SI2cReadResult read;
    QVERIFY2(m_i2c->Read(EEPROM, 2, read), m_i2c->GetLastError().c_str());
    QCOMPARE(read.data, (std::vector<uint8_t>{0xFF, 0xFF}));
}

void TestOrvI2c::probeWritesTheAddressAlone()
{
    connect();
    QVERIFY(m_i2c->Probe(EEPROM));
    QVERIFY(!m_i2c->Probe(ABSENT));
    QCOMPARE(m_i2c->GetLastError(), std::string("NACK received"));
    QCOMPARE(HexList(m_sim->TakeReceivedReports()),
             HexList({MakeReport({0x02, 0xC1, 0xA0}), MakeReport({0x02, 0xC1, 0x22})}));
}

void TestOrvI2c::unansweredReportTimesOut()
{
    connect();
    m_sim->SetFault(ESimOrvFault::NoAnswer, 2);
    SI2cWriteResult written{1, 1};
    QVERIFY(!m_i2c->Write({EEPROM << 1, 0x00}, written, true, true));
    QCOMPARE(m_i2c->GetLastError(), std::string("Timeout"));
    QCOMPARE(written.status, uint8_t(0));

    SI2cReadResult read;
    QVERIFY(!m_i2c->Read(EEPROM, 1, read));
    QCOMPARE(m_i2c->GetLastError(), std::string("Timeout"));
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::Timeout);

    // The adapter answers again; nothing of the failed exchanges is left.
    QVERIFY2(m_i2c->Read(EEPROM, 1, read), m_i2c->GetLastError().c_str());
}

void TestOrvI2c::floodingDeviceEndsTheWait()
{
    connect();
    // Stray reports every millisecond for 3 s, then the acknowledge: a wait
    // that only ended on a quiet gap would take the acknowledge at 3 s.
    m_sim->FloodNextAnswer(std::chrono::seconds(3));
    const auto begin = std::chrono::steady_clock::now();
    SI2cWriteResult written;
    QVERIFY(!m_i2c->Write({EEPROM << 1, 0x00}, written, true, true));
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    QCOMPARE(m_i2c->GetLastError(), std::string("Timeout"));
    QCOMPARE(written.status, uint8_t(0));
    QVERIFY(elapsed >= std::chrono::milliseconds(1000));
}

void TestOrvI2c::connectChoosesTheI2cInterface()
{
    m_sim->Unplug();
    SSimOrvOptions options;
    options.duplicateI2cInterface = true;
    options.releaseNumber = 0x0123;
    m_sim = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, SERIAL, options);
    QVERIFY(m_sim);

    QVERIFY2(m_i2c->Connect(SERIAL, EI2cSpeed::Speed400k), m_i2c->GetLastError().c_str());
    QVERIFY(m_i2c->IsConnected());
    QCOMPARE(m_i2c->GetSerialNumber(), SERIAL);
    QCOMPARE(m_i2c->GetProductName(), std::wstring(L"Orvane3 USB-I2C"));
    QCOMPARE(m_i2c->GetFirmware(), uint16_t(0x0123));
    QCOMPARE(m_i2c->GetSpeed(), EI2cSpeed::Speed400k);
    // The last listed entry of the I2C interface is the one opened.
    const std::vector<std::string> paths = m_sim->Paths();
    QCOMPARE(paths.size(), size_t(4));
    for (size_t i = 0; i < paths.size(); ++i)
        QCOMPARE(CSimHidStack::Instance().Find(paths[i])->OpenHandleCount(),
                 size_t(i + 1 == paths.size() ? 1 : 0));
    // Connecting does not drain and sends nothing but the configuration.
    QCOMPARE(HexList(m_sim->TakeReceivedReports()), HexList({MakeReport({0x01, 0x01, 0x01})}));

    // Without a product string the model's name stands in.
    m_i2c->Disconnect();
    SSimHidInterface bare;
    bare.path = "sim/bare";
    bare.vendorId = kVendorId;
    bare.productId = kProductIdOrv3;
    bare.serialNumber = L"BARE";
    bare.interfaceNumber = 2;
    QVERIFY(CSimHidStack::Instance().Plug(bare));
    QVERIFY(m_i2c->Connect(L"BARE", EI2cSpeed::Speed100k));
    QCOMPARE(m_i2c->GetProductName(), std::wstring(L"Orvane3"));
}

void TestOrvI2c::connectOnOtherInterfaceFindsNothing()
{
    SSimHidInterface other;
    other.path = "sim/other";
    other.vendorId = kVendorId;
    other.productId = kProductIdOrv3;
    other.serialNumber = L"ELSEWHERE";
    other.interfaceNumber = 0;
    QVERIFY(CSimHidStack::Instance().Plug(other));

    QVERIFY(!m_i2c->Connect(L"ELSEWHERE", EI2cSpeed::Speed100k));
    QCOMPARE(m_i2c->GetLastError(), std::string("Device not found"));
    // Serial numbers compare exactly.
    QVERIFY(!m_i2c->Connect(L"or3-0001", EI2cSpeed::Speed100k));
    QVERIFY(!m_i2c->Connect(L"OR3-000", EI2cSpeed::Speed100k));
    QCOMPARE(m_i2c->GetLastError(), std::string("Device not found"));
    QVERIFY(!m_i2c->IsConnected());
}

void TestOrvI2c::connectRefusesShortReports()
{
    // The adapter's descriptor, but with 31 data bytes after each report ID.
    const std::vector<uint8_t> shortReports = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95,
        0x1F, 0x85, 0x01, 0x09, 0x01, 0x91, 0x02, 0x85, 0x02, 0x09, 0x02, 0x81, 0x02, 0x09, 0x02,
        0x91, 0x02, 0x85, 0x03, 0x09, 0x03, 0x81, 0x02, 0x09, 0x03, 0x91, 0x02, 0xC0};
    SSimHidInterface wrong;
    wrong.path = "sim/short";
    wrong.vendorId = kVendorId;
    wrong.productId = kProductIdOrv3;
    wrong.serialNumber = L"SHORT";
    wrong.interfaceNumber = 2;
    wrong.reportDescriptor = shortReports;
    const auto device = CSimHidStack::Instance().Plug(wrong);
    QVERIFY(device);

    QVERIFY(!m_i2c->Connect(L"SHORT", EI2cSpeed::Speed100k));
    QCOMPARE(m_i2c->GetLastError(),
             std::string("Not an Orvane I2C interface: its report descriptor gives 32-byte input "
                         "and 32-byte output reports, not 64-byte ones"));
    QVERIFY(!m_i2c->IsConnected());
    QCOMPARE(device->OpenHandleCount(), size_t(0));
    QCOMPARE(device->WriteCount(), size_t(0));
}

void TestOrvI2c::connectRefusedWhileAnotherHoldsTheAdapter()
{
    // An interface at a device node of the system, as the real stack lists
    // them: a pseudo-terminal of this test's own.
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
        QSKIP("no pseudo-terminal to stand for a device node");
    SSimHidInterface node;
    node.path = ptsname(terminal);
    node.vendorId = kVendorId;
    node.productId = kProductIdOrv3;
    node.serialNumber = L"NODE";
    node.interfaceNumber = 2;
    QVERIFY(CSimHidStack::Instance().Plug(node));

    COrv3i2c holder;
    QVERIFY2(holder.Connect(L"NODE", EI2cSpeed::Speed100k), holder.GetLastError().c_str());
    QVERIFY(!m_i2c->Connect(L"NODE", EI2cSpeed::Speed100k));
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::Busy);
    QCOMPARE(m_i2c->GetLastError(),
             "Adapter in use by tst_orvi2c (process " + std::to_string(::getpid()) + ")");
    QVERIFY(!m_i2c->IsConnected());
    // Nothing of the refused connection reached the device.
    QCOMPARE(CSimHidStack::Instance().Find(node.path)->OpenHandleCount(), size_t(1));

    holder.Disconnect();
    QVERIFY2(m_i2c->Connect(L"NODE", EI2cSpeed::Speed100k), m_i2c->GetLastError().c_str());
    m_i2c->Disconnect();
    ::close(terminal);
}

void TestOrvI2c::connectWithFailingSpeedUndoesTheConnection()
{
    m_sim->SetFault(ESimOrvFault::WriteError);
    QVERIFY(!m_i2c->Connect(SERIAL, EI2cSpeed::Speed100k));
    QCOMPARE(m_i2c->GetLastError(), std::string("Broken pipe"));
    QVERIFY(!m_i2c->IsConnected());
    QVERIFY(m_i2c->GetSerialNumber().empty());
    QVERIFY(m_i2c->GetProductName().empty());
    QCOMPARE(m_i2c->GetFirmware(), uint16_t(0));
    QCOMPARE(m_i2c->GetSpeed(), EI2cSpeed::Speed100k);
    // The enable report, then the attempt to leave I2C mode.
    QCOMPARE(HexList(m_sim->TakeReceivedReports()),
             HexList({MakeReport({0x01, 0x01, 0x00}), MakeReport({0x01, 0x00, 0x00})}));
    QCOMPARE(CSimHidStack::Instance().OpenHandleCount(), size_t(0));
}

void TestOrvI2c::connectAgainLeavesFirst()
{
    connect();
    QVERIFY(m_i2c->Connect(SERIAL, EI2cSpeed::Speed1000k));
    QCOMPARE(HexList(m_sim->TakeReceivedReports()),
             HexList({MakeReport({0x01, 0x00, 0x00}), MakeReport({0x01, 0x01, 0x04})}));
    QCOMPARE(CSimHidStack::Instance().OpenHandleCount(), size_t(1));
}

void TestOrvI2c::disconnectLeavesI2cMode()
{
    m_i2c->Disconnect();
    QVERIFY(m_sim->ReceivedReports().empty());

    connect();
    QVERIFY(m_sim->IsI2cMode());
    m_i2c->Disconnect();
    QCOMPARE(HexList(m_sim->TakeReceivedReports()), HexList({MakeReport({0x01, 0x00, 0x00})}));
    QVERIFY(!m_sim->IsI2cMode());
    QVERIFY(!m_i2c->IsConnected());
    QVERIFY(m_i2c->GetSerialNumber().empty());
    QCOMPARE(m_i2c->GetFirmware(), uint16_t(0));
    QCOMPARE(CSimHidStack::Instance().OpenHandleCount(), size_t(0));

    // So does destruction.
    connect();
    m_i2c.reset();
    QCOMPARE(HexList(m_sim->TakeReceivedReports()), HexList({MakeReport({0x01, 0x00, 0x00})}));
}

void TestOrvI2c::setSpeed()
{
    QVERIFY(!m_i2c->SetSpeed(EI2cSpeed::Speed400k));
    QCOMPARE(m_i2c->GetLastError(), std::string("Not connected"));

    connect();
    QVERIFY(m_i2c->SetSpeed(EI2cSpeed::Speed50k));
    QCOMPARE(m_i2c->GetSpeed(), EI2cSpeed::Speed50k);
    QVERIFY(!m_i2c->SetSpeed(static_cast<EI2cSpeed>(5)));
    QCOMPARE(m_i2c->GetLastError(), std::string("Speed not supported by this device"));
    QCOMPARE(m_i2c->GetSpeed(), EI2cSpeed::Speed50k);

    m_sim->SetFault(ESimOrvFault::WriteError, 1);
    QVERIFY(!m_i2c->SetSpeed(EI2cSpeed::Speed10k));
    QCOMPARE(m_i2c->GetSpeed(), EI2cSpeed::Speed50k);
    QVERIFY(m_i2c->IsConnected());
    QCOMPARE(HexList(m_sim->TakeReceivedReports()),
             HexList({MakeReport({0x01, 0x01, 0x02}), MakeReport({0x01, 0x01, 0x03})}));
}

void TestOrvI2c::presenceFollowsUnplugging()
{
    QVERIFY(!m_i2c->IsPresent());
    QVERIFY(!m_i2c->IsDeviceAlive());
    connect();
    QVERIFY(m_i2c->IsPresent());
    QVERIFY(m_i2c->IsDeviceAlive());
    m_sim->Unplug();
    QVERIFY(!m_i2c->IsPresent());
    QVERIFY(m_i2c->IsConnected());
    QVERIFY(!m_i2c->IsDeviceAlive());
    // Plugged in again, the adapter is listed, but the open device is gone.
    const auto again = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, SERIAL);
    QVERIFY(again);
    QVERIFY(m_i2c->IsPresent());
    QVERIFY(!m_i2c->IsDeviceAlive());

    // Transactions fail with the HID layer's text, without waiting.
    SI2cWriteResult written;
    QVERIFY(!m_i2c->Write({EEPROM << 1, 0x00}, written, true, true));
    QCOMPARE(m_i2c->GetLastError(), std::string("No such device"));
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::Gone);
    SI2cReadResult read;
    QVERIFY(!m_i2c->Read(EEPROM, 1, read));
    QCOMPARE(m_i2c->GetLastError(), std::string("No such device"));
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::Gone);
    QVERIFY(!m_i2c->Probe(EEPROM));
    m_i2c->Disconnect();
    QVERIFY(!m_i2c->IsPresent());
}

void TestOrvI2c::unplugDuringWaitFailsAtOnce()
{
    connect();
    m_sim->SetFault(ESimOrvFault::NoAnswer);
    std::thread unplugger([sim = m_sim] {
        if (WaitForReceived(*sim, 1))
            sim->Unplug();
    });
    SI2cReadResult read;
    const bool ok = m_i2c->Read(EEPROM, 4, read);
    unplugger.join();
    QVERIFY(!ok);
    QCOMPARE(m_i2c->GetLastError(),
             std::string("hid_read_timeout: unexpected poll error (device disconnected)"));
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::Gone);
}

void TestOrvI2c::failedTransferIsUsbErrorWhileListed()
{
    connect();
    m_sim->SetFault(ESimOrvFault::WriteError, 1);
    SI2cWriteResult written;
    QVERIFY(!m_i2c->Write({EEPROM << 1, 0x00}, written, true, true));
    QCOMPARE(m_i2c->GetLastError(), std::string("Broken pipe"));
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::UsbError);
}

void TestOrvI2c::adapterPulledDuringRequestIsGone()
{
    connect();
    // Taken, never answered, and the adapter leaves the listing: the wait
    // ends without an answer from an adapter that is no longer there.
    m_sim->SetFault(ESimOrvFault::Unplug);
    SI2cReadResult read;
    QVERIFY(!m_i2c->Read(EEPROM, 1, read));
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::Gone);
}

void TestOrvI2c::cancelEndsTheWaitAndResynchronises()
{
    auto eeprom = m_sim->DeviceAs<CSimEeprom24c02>(EEPROM);
    QVERIFY(eeprom);
    std::array<uint8_t, 256> contents{};
    for (size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<uint8_t>(i);
    eeprom->SetContents(contents);
    connect();
    // 1,057 answer reports at 10 ms each: the read would take 10.6 s.
    m_sim->SetLatency(std::chrono::milliseconds(10));
    std::atomic<int> checks{0};
    m_i2c->SetCancelCheck([&] { return ++checks > 3; });

    SI2cReadResult read;
    QVERIFY(!m_i2c->Read(EEPROM, 65535, read));
    QCOMPARE(m_i2c->GetLastError(), std::string("Cancelled"));
    QCOMPARE(m_i2c->GetLastErrorKind(), EOrvError::Cancelled);
    QVERIFY(read.data.size() < 62 * 10);
    // The adapter left I2C mode and entered it again at its speed, which
    // dropped the answers still on their way.
    const std::vector<Report> sent = m_sim->TakeReceivedReports();
    QVERIFY(sent.size() >= 3);
    QCOMPARE(Hex(sent[sent.size() - 2]), Hex(MakeReport({0x01, 0x00, 0x00})));
    QCOMPARE(Hex(sent.back()), Hex(MakeReport({0x01, 0x01, 0x00})));

    // The next read gets its own answer, not the abandoned one's.
    m_i2c->SetCancelCheck({});
    m_sim->SetLatency({});
    SI2cWriteResult pointer;
    QVERIFY2(m_i2c->Write({EEPROM << 1, 0x20}, pointer, true, true), m_i2c->GetLastError().c_str());
    QVERIFY2(m_i2c->Read(EEPROM, 4, read), m_i2c->GetLastError().c_str());
    QCOMPARE(read.data, Bytes(4, 0x20));
}

void TestOrvI2c::enumerateInterfaceSortsAndDeduplicates()
{
    SSimOrvOptions twice;
    twice.duplicateI2cInterface = true;
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"B", twice));
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"A"));
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"AB"));
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L""));
    // In UTF-16 a character above U+FFFF sorts before U+FFFD.
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"\uFFFD"));
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"\U0001F600"));
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv7, L"OTHER MODEL"));

    std::vector<std::wstring> serials{L"stale"};
    QVERIFY(COrvI2c::EnumerateInterface(kProductIdOrv3, 2, serials));
    const std::vector<std::wstring> expected{L"",    L"A",          L"AB",    L"B",
                                             SERIAL, L"\U0001F600", L"\uFFFD"};
    QVERIFY(serials == expected);

    QVERIFY(COrvI2c::EnumerateInterface(kProductIdOrv3, 5, serials));
    QVERIFY(serials.empty());
}

QTEST_GUILESS_MAIN(TestOrvI2c)
#include "tst_orvi2c.moc"
