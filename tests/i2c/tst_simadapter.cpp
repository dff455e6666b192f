// The simulated adapter and the devices on its bus: the hardware every other
// adapter test and the demo program rely on.

#include "hid/simplehidclass.h"
#include "i2c/orv3i2c.h"
#include "i2c/orvusbids.h"
#include "sim/adapters/simbh1750.h"
#include "sim/adapters/simeeprom24c02.h"
#include "sim/adapters/simlm75.h"
#include "sim/adapters/simorvadapter.h"
#include "tests/i2c/simadapterfixture.h"

#include <QTest>

using namespace testutil;

Q_DECLARE_METATYPE(ESimOrvModel)
Q_DECLARE_METATYPE(ESimOrvFault)

namespace {
const std::wstring SERIAL = L"SIM-1";
constexpr uint8_t BH1750 = 0x23;
constexpr uint8_t LM75 = 0x48;
constexpr uint8_t EEPROM = 0x50;
} // namespace

class TestSimAdapter : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listsAsCompositeDevice();
    void silentOutsideI2cMode_data();
    void silentOutsideI2cMode();
    void answers_data();
    void answers();
    void bh1750Measures();
    void eepromPagesAndWrap();
    void lm75Registers();
    void latencyKeepsOrder();

private:
    std::shared_ptr<CSimOrvAdapter> m_sim;

    // Sends one report through a raw HID handle and returns the answers
    // that arrive within the wait.
    std::vector<Report> exchange(CSimpleHidClass& hid, const Report& report, size_t answers);
};

void TestSimAdapter::init()
{
    CSimHidStack::Instance().Reset();
}

void TestSimAdapter::cleanup()
{
    m_sim.reset();
    CSimHidStack::Instance().Reset();
}

std::vector<Report> TestSimAdapter::exchange(CSimpleHidClass& hid, const Report& report,
                                             size_t answers)
{
    std::vector<Report> received;
    if (!hid.Write(report))
        return received;
    Report buffer;
    while (received.size() < answers && hid.Read(buffer, 64, 1000))
        received.push_back(buffer);
    return received;
}

void TestSimAdapter::listsAsCompositeDevice()
{
    SSimOrvOptions options;
    options.duplicateI2cInterface = true;
    options.product = L"Bench adapter";
    m_sim = CSimOrvAdapter::Plug(ESimOrvModel::Orv5, SERIAL, options);
    QVERIFY(m_sim);
    QVERIFY(!CSimOrvAdapter::Plug(ESimOrvModel::Orv5, SERIAL));

    std::vector<SHidDeviceInfo> devices;
    QVERIFY(CSimpleHidClass::EnumerateDevices(devices, kVendorId, kProductIdOrv5));
    QCOMPARE(devices.size(), size_t(3));
    QList<int> interfaces;
    for (const SHidDeviceInfo& device : devices) {
        interfaces << device.interfaceNumber;
        QVERIFY(device.serialNumber == SERIAL);
        QVERIFY(device.product == L"Bench adapter");
        QCOMPARE(device.releaseNumber, uint16_t(0x0105));
    }
    QCOMPARE(interfaces, (QList<int>{0, 1, 1}));
    QCOMPARE(m_sim->I2cPath(), devices.back().path);

    // The I2C interface describes 64-byte numbered reports.
    CSimpleHidClass hid;
    QVERIFY(hid.OpenPath(m_sim->I2cPath()));
    size_t input = 0, output = 0, feature = 0;
    QVERIFY(hid.GetReportByteLengths(input, output, feature));
    QCOMPARE(input, size_t(64));
    QCOMPARE(output, size_t(64));
    hid.Close();

    m_sim->Unplug();
    QVERIFY(!m_sim->IsPlugged());
    QVERIFY(CSimpleHidClass::EnumerateDevices(devices, kVendorId, kProductIdOrv5));
    QVERIFY(devices.empty());
    // The serial number is free again.
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv5, SERIAL));
}

void TestSimAdapter::silentOutsideI2cMode_data()
{
    QTest::addColumn<ESimOrvModel>("model");
    QTest::addColumn<int>("badFlags");
    QTest::addColumn<int>("goodFlags");

    QTest::newRow("Orvane3") << ESimOrvModel::Orv3 << 0x05 << 0x04;
    QTest::newRow("Orvane5") << ESimOrvModel::Orv5 << 0x03 << 0x82;
}

void TestSimAdapter::silentOutsideI2cMode()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(int, badFlags);
    QFETCH(int, goodFlags);

    m_sim = CSimOrvAdapter::Plug(model, SERIAL);
    CSimpleHidClass hid;
    QVERIFY(hid.OpenPath(m_sim->I2cPath()));
    const Report write = MakeReport({0x02, 0xC2, EEPROM << 1, 0x00});
    const Report read = MakeReport({0x03, 0x01, EEPROM << 1 | 1});
    Report buffer;

    QVERIFY(hid.Write(write));
    QVERIFY(hid.Write(read));
    QVERIFY(hid.Write(MakeReport({0x01, 0x01, static_cast<uint8_t>(badFlags)})));
    QVERIFY(!m_sim->IsI2cMode());
    QVERIFY(hid.Write(write));
    QVERIFY(!hid.Read(buffer, 64, 50));
    QCOMPARE(hid.GetLastError(), std::string("Timeout"));

    QVERIFY(hid.Write(MakeReport({0x01, 0x01, static_cast<uint8_t>(goodFlags)})));
    QVERIFY(m_sim->IsI2cMode());
    QCOMPARE(m_sim->EnableFlags(), static_cast<uint8_t>(goodFlags));
    QCOMPARE(exchange(hid, write, 1).size(), size_t(1));

    QVERIFY(hid.Write(MakeReport({0x01, 0x00, 0x00})));
    QVERIFY(!m_sim->IsI2cMode());
    QVERIFY(hid.Write(read));
    QVERIFY(!hid.Read(buffer, 64, 50));
}

void TestSimAdapter::answers_data()
{
    QTest::addColumn<ESimOrvModel>("model");
    QTest::addColumn<ESimOrvFault>("fault");
    QTest::addColumn<QList<int>>("request");
    QTest::addColumn<QList<int>>("answer");

    const auto orv3 = ESimOrvModel::Orv3;
    const auto none = ESimOrvFault::None;
    QTest::newRow("write acknowledged")
        << orv3 << none << QList<int>{0x02, 0xC2, 0xA0, 0x00} << QList<int>{0x02, 0x02, 0x00};
    QTest::newRow("count 0") << orv3 << none << QList<int>{0x02, 0xC0, 0xA0}
                             << QList<int>{0x02, 0x80, 0x01};
    QTest::newRow("count 63") << orv3 << none << QList<int>{0x02, 0xFF, 0xA0}
                              << QList<int>{0x02, 0x80, 0x01};
    QTest::newRow("no start") << orv3 << none << QList<int>{0x02, 0x41, 0x00}
                              << QList<int>{0x02, 0x80, 0x02};
    QTest::newRow("address NACK") << orv3 << none << QList<int>{0x02, 0xC1, 0x22}
                                  << QList<int>{0x02, 0x80, 0x03};
    QTest::newRow("Orvane3 address only")
        << orv3 << none << QList<int>{0x02, 0xC1, 0xA0} << QList<int>{0x02, 0x01, 0x00};
    QTest::newRow("Orvane5 address only")
        << ESimOrvModel::Orv5 << none << QList<int>{0x02, 0xC1, 0xA0}
        << QList<int>{0x02, 0x80, 0x01};
    QTest::newRow("read NACK") << orv3 << none << QList<int>{0x03, 0x01, 0x23, 0x00}
                               << QList<int>{0x03, 0x80};
    QTest::newRow("read without read bit")
        << orv3 << none << QList<int>{0x03, 0x01, 0xA0, 0x00} << QList<int>{0x03, 0x80};
    QTest::newRow("write, arbitration lost")
        << orv3 << ESimOrvFault::ArbitrationLost << QList<int>{0x02, 0xC2, 0xA0, 0x00}
        << QList<int>{0x02, 0xC0, 0x00};
    QTest::newRow("read, arbitration lost")
        << orv3 << ESimOrvFault::ArbitrationLost << QList<int>{0x03, 0x01, 0xA1, 0x00}
        << QList<int>{0x03, 0x40};
    QTest::newRow("write, bus error")
        << orv3 << ESimOrvFault::BusError << QList<int>{0x02, 0xC2, 0xA0, 0x00}
        << QList<int>{0x02, 0x80, 0x04};
    QTest::newRow("read, bus error")
        << orv3 << ESimOrvFault::BusError << QList<int>{0x03, 0x01, 0xA1, 0x00}
        << QList<int>{0x03, 0x80};
}

void TestSimAdapter::answers()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(ESimOrvFault, fault);
    QFETCH(QList<int>, request);
    QFETCH(QList<int>, answer);

    m_sim = CSimOrvAdapter::Plug(model, SERIAL);
    m_sim->SetFault(fault, 1);
    CSimpleHidClass hid;
    QVERIFY(hid.OpenPath(m_sim->I2cPath()));
    QVERIFY(hid.Write(MakeReport({0x01, 0x01, 0x00})));
    QCOMPARE(HexList(exchange(hid, MakeReport(request), 1)), HexList({MakeReport(answer)}));
    // The fault was for one request only.
    QCOMPARE(exchange(hid, MakeReport({0x02, 0xC2, 0xA0, 0x00}), 1).front()[1], uint8_t(0x02));
}

void TestSimAdapter::bh1750Measures()
{
    m_sim = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, SERIAL);
    auto sensor = m_sim->DeviceAs<CSimBh1750>(BH1750);
    QVERIFY(sensor);
    COrv3i2c i2c;
    QVERIFY(i2c.Connect(SERIAL, EI2cSpeed::Speed100k));
    auto command = [&](uint8_t opcode) {
        SI2cWriteResult result;
        return i2c.Write({BH1750 << 1, opcode}, result, true, true);
    };
    auto measurement = [&]() -> int {
        SI2cReadResult result;
        if (!i2c.Read(BH1750, 2, result))
            return -1;
        return result.data[0] << 8 | result.data[1];
    };

    QVERIFY(!sensor->IsPoweredOn());
    QCOMPARE(measurement(), 0);
    QVERIFY(command(0x01));
    QVERIFY(sensor->IsPoweredOn());
    QVERIFY(command(0x10));
    QCOMPARE(measurement(), 300); // 250 lx * 1.2
    sensor->SetIlluminance(1000);
    QCOMPARE(measurement(), 1200); // continuous: follows the light
    QVERIFY(command(0x11));
    QCOMPARE(measurement(), 2400);
    sensor->SetIlluminance(1003);
    QVERIFY(command(0x13));
    QCOMPARE(measurement(), 1200); // 4 lx steps
    QVERIFY(command(0x07));
    QCOMPARE(measurement(), 1200); // continuous mode measures again

    // Measurement time doubled to 138: counts double.
    sensor->SetIlluminance(250);
    QVERIFY(command(0x44));
    QVERIFY(command(0x6A));
    QVERIFY(command(0x20));
    QCOMPARE(measurement(), 600);
    QVERIFY(!sensor->IsPoweredOn()); // one-time measurement powers down
    sensor->SetIlluminance(10);
    QCOMPARE(measurement(), 600);

    QVERIFY(command(0x01));
    QVERIFY(command(0x07));
    QCOMPARE(measurement(), 0);
    QVERIFY(command(0x00));
    QVERIFY(!sensor->IsPoweredOn());
}

void TestSimAdapter::eepromPagesAndWrap()
{
    m_sim = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, SERIAL);
    auto eeprom = m_sim->DeviceAs<CSimEeprom24c02>(EEPROM);
    QVERIFY(eeprom);
    std::array<uint8_t, 256> contents{};
    for (size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<uint8_t>(i);
    eeprom->SetContents(contents);
    COrv3i2c i2c;
    QVERIFY(i2c.Connect(SERIAL, EI2cSpeed::Speed400k));

    // Page write from 0x06 wraps to the start of the page 0x00-0x07.
    SI2cWriteResult written;
    QVERIFY(i2c.Write({EEPROM << 1, 0x06, 0xA1, 0xA2, 0xA3, 0xA4}, written, true, true));
    auto now = eeprom->Contents();
    QCOMPARE(now[0x06], uint8_t(0xA1));
    QCOMPARE(now[0x07], uint8_t(0xA2));
    QCOMPARE(now[0x00], uint8_t(0xA3));
    QCOMPARE(now[0x01], uint8_t(0xA4));
    QCOMPARE(now[0x08], uint8_t(0x08));
    QCOMPARE(eeprom->AddressPointer(), uint8_t(0x02));

    // Random read: set the pointer, repeated start, read on across the end.
    SI2cReadResult read;
    QVERIFY(i2c.Write({EEPROM << 1, 0xFE}, written, true, false));
    QVERIFY(i2c.Read(EEPROM, 4, read));
    QCOMPARE(read.data, (std::vector<uint8_t>{0xFE, 0xFF, 0xA3, 0xA4}));

    // Without a stop the page write is dropped.
    QVERIFY(i2c.Write({EEPROM << 1, 0x10, 0x55}, written, true, false));
    QVERIFY(i2c.Read(EEPROM, 1, read));
    QCOMPARE(eeprom->Contents()[0x10], uint8_t(0x10));
}

void TestSimAdapter::lm75Registers()
{
    m_sim = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, SERIAL);
    auto sensor = m_sim->DeviceAs<CSimLm75>(LM75);
    QVERIFY(sensor);
    COrv3i2c i2c;
    QVERIFY(i2c.Connect(SERIAL, EI2cSpeed::Speed100k));
    SI2cReadResult read;
    SI2cWriteResult written;

    QVERIFY(i2c.Read(LM75, 2, read));
    QCOMPARE(read.data, (std::vector<uint8_t>{0x17, 0x80})); // 23.5 degrees
    sensor->SetTemperature(-0.5);
    QVERIFY(i2c.Read(LM75, 4, read));
    QCOMPARE(read.data, (std::vector<uint8_t>{0xFF, 0x80, 0xFF, 0x80}));

    QVERIFY(i2c.Write({LM75 << 1, 0x01, 0x02}, written, true, true));
    QCOMPARE(sensor->Configuration(), uint8_t(0x02));
    QVERIFY(i2c.Read(LM75, 1, read));
    QCOMPARE(read.data, std::vector<uint8_t>{0x02});
    QVERIFY(i2c.Write({LM75 << 1, 0x03}, written, true, false));
    QVERIFY(i2c.Read(LM75, 2, read));
    QCOMPARE(read.data, (std::vector<uint8_t>{0x50, 0x00}));

    // The temperature register takes no data, and there is no register 4.
    QVERIFY(!i2c.Write({LM75 << 1, 0x00, 0x12}, written, true, true));
    QCOMPARE(i2c.GetLastError(), std::string("NACK received"));
    QVERIFY(!i2c.Write({LM75 << 1, 0x04}, written, true, true));
}

void TestSimAdapter::latencyKeepsOrder()
{
    m_sim = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, SERIAL);
    m_sim->SetLatency(std::chrono::microseconds(200));
    m_sim->QueueStrayReports(CSimOrvAdapter::StrayReports());
    COrv3i2c i2c;
    QVERIFY(i2c.Connect(SERIAL, EI2cSpeed::Speed100k));
    SI2cReadResult read;
    QVERIFY2(i2c.Read(EEPROM, 300, read), i2c.GetLastError().c_str());
    QCOMPARE(read.data, std::vector<uint8_t>(300, 0xFF));
}

QTEST_GUILESS_MAIN(TestSimAdapter)
#include "tst_simadapter.moc"
