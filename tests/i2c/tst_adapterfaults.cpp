// Faults a real adapter produces in the middle of a transaction: unplugged
// while the engine waits, answers that stop half-way, short USB transfers.
// A fault must end the operation at once with the HID layer's text (no
// 1000 ms wait per remaining report), and the result must hold exactly what
// arrived.

#include "i2c/orv3i2c.h"
#include "i2c/orvusbids.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"
#include "tests/i2c/simadapterfixture.h"
#include "tests/support/waits.h"

#include <QTest>

#include <chrono>
#include <memory>
#include <thread>

using namespace testutil;

namespace {

const std::wstring SERIAL = L"OR3-0042";
constexpr uint8_t EEPROM = 0x50;
constexpr uint8_t LIGHT_SENSOR = 0x23;
constexpr uint8_t FIRST_SEARCHED = 0x08;
constexpr uint8_t LAST_SEARCHED = 0x77;

const std::string READ_DISCONNECTED =
    "hid_read_timeout: unexpected poll error (device disconnected)";
const std::string WRITE_DISCONNECTED = "No such device";

// A read data report carrying these bytes.
Report DataReport(const std::vector<uint8_t>& bytes)
{
    Report report = MakeReport({0x03, static_cast<uint8_t>(bytes.size())});
    std::copy(bytes.begin(), bytes.end(), report.begin() + 2);
    return report;
}

} // namespace

class TestAdapterFaults : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unplugDuringMultiReportWrite();
    void unplugDuringLongRead();
    void unplugDuringBusSearch();
    void answerStopsHalfWayThroughRead();
    void shortTransferIsAFailure_data();
    void shortTransferIsAFailure();

private:
    // Unplugs the adapter as soon as the engine waits for an answer that the
    // adapter will never send. Join before checking.
    std::thread unplugWhenWaiting();

    std::shared_ptr<CSimOrvAdapter> m_sim;
    std::unique_ptr<COrv3i2c> m_i2c;
};

void TestAdapterFaults::init()
{
    CSimHidStack::Instance().Reset();
    m_sim = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, SERIAL);
    QVERIFY(m_sim);
    m_i2c = std::make_unique<COrv3i2c>();
    QVERIFY2(m_i2c->Connect(SERIAL, EI2cSpeed::Speed400k), m_i2c->GetLastError().c_str());
    m_sim->TakeReceivedReports();
}

void TestAdapterFaults::cleanup()
{
    m_i2c.reset();
    m_sim.reset();
    CSimHidStack::Instance().Reset();
}

std::thread TestAdapterFaults::unplugWhenWaiting()
{
    const std::shared_ptr<CSimHidDevice> device = CSimHidStack::Instance().Find(m_sim->I2cPath());
    return std::thread([device, sim = m_sim] {
        if (!device)
            return;
        // Unplugged also when the engine never waits, so that the test ends.
        (void)testsupport::pollFor([&] { return device->WaitingReaderCount() > 0; });
        sim->Unplug();
    });
}

void TestAdapterFaults::unplugDuringMultiReportWrite()
{
    // 200 bytes are four reports; the first two are acknowledged, the third
    // is pulled out from under the engine while it waits.
    m_sim->ReplaceNextAnswer({MakeReport({0x02, 62})});
    m_sim->ReplaceNextAnswer({MakeReport({0x02, 61})});
    m_sim->ReplaceNextAnswer({});
    std::thread unplugger = unplugWhenWaiting();
    SI2cWriteResult result;
    const bool ok = m_i2c->Write(Bytes(200), result, true, true);
    unplugger.join();

    QVERIFY(!ok);
    QCOMPARE(m_i2c->GetLastError(), READ_DISCONNECTED);
    QCOMPARE(result.status, uint8_t(61)); // the last acknowledge that arrived
    QCOMPARE(m_sim->ReceivedReports().size(), size_t(3));

    // Everything after fails at once with the HID layer's text.
    QVERIFY(!m_i2c->Write(Bytes(200), result, true, true));
    QCOMPARE(m_i2c->GetLastError(), WRITE_DISCONNECTED);
    QCOMPARE(result.status, uint8_t(0));
    QVERIFY(!m_i2c->IsPresent());
}

void TestAdapterFaults::unplugDuringLongRead()
{
    // Three reports of a 500-byte read arrive, then the adapter is gone.
    const std::vector<uint8_t> first = Bytes(62, 0x00);
    const std::vector<uint8_t> second = Bytes(62, 0x40);
    const std::vector<uint8_t> third = Bytes(62, 0x80);
    m_sim->ReplaceNextAnswer({DataReport(first), DataReport(second), DataReport(third)});
    std::thread unplugger = unplugWhenWaiting();
    SI2cReadResult result;
    const bool ok = m_i2c->Read(EEPROM, 500, result);
    unplugger.join();

    QVERIFY(!ok);
    QCOMPARE(m_i2c->GetLastError(), READ_DISCONNECTED);
    std::vector<uint8_t> arrived = first;
    arrived.insert(arrived.end(), second.begin(), second.end());
    arrived.insert(arrived.end(), third.begin(), third.end());
    QCOMPARE(result.data, arrived);
    QCOMPARE(result.status, uint8_t(62));

    QVERIFY(!m_i2c->Read(EEPROM, 500, result));
    QCOMPARE(m_i2c->GetLastError(), WRITE_DISCONNECTED);
    QVERIFY(result.data.empty());
}

void TestAdapterFaults::unplugDuringBusSearch()
{
    // The search probes every address without looking at the adapter's
    // presence in between: after the unplug, each probe must fail at once.
    std::vector<uint8_t> found;
    uint8_t address = FIRST_SEARCHED;
    for (; address < 0x30; ++address) {
        if (m_i2c->Probe(address))
            found.push_back(address);
    }
    QCOMPARE(found, std::vector<uint8_t>{LIGHT_SENSOR});

    m_sim->SetFault(ESimOrvFault::NoAnswer);
    std::thread unplugger = unplugWhenWaiting();
    QVERIFY(!m_i2c->Probe(address));
    unplugger.join();
    QCOMPARE(m_i2c->GetLastError(), READ_DISCONNECTED);

    const size_t received = m_sim->ReceivedReports().size();
    for (++address; address <= LAST_SEARCHED; ++address) {
        QVERIFY(!m_i2c->Probe(address));
        QCOMPARE(m_i2c->GetLastError(), WRITE_DISCONNECTED);
    }
    QCOMPARE(m_sim->ReceivedReports().size(), received);
    QVERIFY(!m_i2c->IsPresent());
}

void TestAdapterFaults::answerStopsHalfWayThroughRead()
{
    const std::vector<uint8_t> first = Bytes(62, 0x10);
    const std::vector<uint8_t> second = Bytes(30, 0x60);
    m_sim->ReplaceNextAnswer({DataReport(first), DataReport(second)});
    SI2cReadResult result;
    QVERIFY(!m_i2c->Read(EEPROM, 200, result));
    QCOMPARE(m_i2c->GetLastError(), std::string("Timeout"));
    std::vector<uint8_t> arrived = first;
    arrived.insert(arrived.end(), second.begin(), second.end());
    QCOMPARE(result.data, arrived);
    QCOMPARE(result.status, uint8_t(30));

    // The adapter still works for the next read.
    QVERIFY2(m_i2c->Read(EEPROM, 4, result), m_i2c->GetLastError().c_str());
    QCOMPARE(result.data.size(), size_t(4));
}

void TestAdapterFaults::shortTransferIsAFailure_data()
{
    QTest::addColumn<QString>("libraryText");
    QTest::addColumn<QString>("lastError");
    // hidapi sees nothing wrong in a short write and says "Success".
    QTest::newRow("no library text") << QString() << "Incomplete write: 63 of 64 bytes";
    QTest::newRow("library text") << "Broken pipe"
                                  << "Broken pipe";
}

void TestAdapterFaults::shortTransferIsAFailure()
{
    QFETCH(QString, libraryText);
    QFETCH(QString, lastError);
    m_i2c.reset();
    CSimHidStack::Instance().Reset();

    // An adapter that takes one byte less of every write report.
    auto behaviour = std::make_shared<CSimHidCallbackBehaviour>();
    behaviour->onOutputReport = [libraryText](CSimHidDevice&, std::span<const uint8_t> report,
                                              std::wstring& error) {
        if (report[0] == 0x01)
            return static_cast<int>(report.size());
        error = libraryText.toStdWString();
        return static_cast<int>(report.size()) - 1;
    };
    SSimHidInterface description;
    description.path = "faults/short";
    description.vendorId = kVendorId;
    description.productId = kProductIdOrv3;
    description.serialNumber = SERIAL;
    description.interfaceNumber = CSimOrvAdapter::I2cInterfaceNumber(ESimOrvModel::Orv3);
    QVERIFY(CSimHidStack::Instance().Plug(description, behaviour));

    COrv3i2c i2c;
    QVERIFY2(i2c.Connect(SERIAL, EI2cSpeed::Speed100k), i2c.GetLastError().c_str());
    SI2cWriteResult written;
    QVERIFY(!i2c.Write({EEPROM << 1, 0x00}, written, true, true));
    QCOMPARE(QString::fromStdString(i2c.GetLastError()), lastError);
    SI2cReadResult read;
    QVERIFY(!i2c.Read(EEPROM, 1, read));
    QCOMPARE(QString::fromStdString(i2c.GetLastError()), lastError);
}

QTEST_GUILESS_MAIN(TestAdapterFaults)
#include "tst_adapterfaults.moc"
