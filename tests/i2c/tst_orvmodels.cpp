// What differs between the Orvane3, Orvane5 and Orvane7, seen in the reports
// the simulated adapter receives.

#include "i2c/orv3i2c.h"
#include "i2c/orv5i2c.h"
#include "i2c/orv7i2c.h"
#include "sim/adapters/simorvadapter.h"
#include "tests/i2c/simadapterfixture.h"

#include <QTest>

#include <memory>

using namespace testutil;

namespace {

constexpr uint8_t EEPROM = 0x50;
constexpr uint8_t ABSENT = 0x11;
const std::wstring SERIAL = L"SN-1";

std::unique_ptr<COrvI2c> MakeModel(ESimOrvModel model)
{
    switch (model) {
    case ESimOrvModel::Orv3:
        return std::make_unique<COrv3i2c>();
    case ESimOrvModel::Orv5:
        return std::make_unique<COrv5i2c>();
    case ESimOrvModel::Orv7:
        return std::make_unique<COrv7i2c>();
    }
    return nullptr;
}

} // namespace

Q_DECLARE_METATYPE(ESimOrvModel)

class TestOrvModels : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void capabilities_data();
    void capabilities();
    void connectSendsTheConfiguration_data();
    void connectSendsTheConfiguration();
    void unsupportedSpeedIsRefusedBeforeOpening();
    void readRequestLayout_data();
    void readRequestLayout();
    void readCountLimit_data();
    void readCountLimit();
    void fixedPullUps_data();
    void fixedPullUps();
    void orv5PullUpSwitch();
    void probeStyle_data();
    void probeStyle();
    void orv5RefusesAddressOnlyWrite();

private:
    std::shared_ptr<CSimOrvAdapter> m_sim;
    std::unique_ptr<COrvI2c> m_i2c;

    void plugAndConnect(ESimOrvModel model, EI2cSpeed speed = EI2cSpeed::Speed100k);
    void addModelColumn();
};

void TestOrvModels::init()
{
    CSimHidStack::Instance().Reset();
}

void TestOrvModels::cleanup()
{
    m_i2c.reset();
    m_sim.reset();
    CSimHidStack::Instance().Reset();
}

void TestOrvModels::plugAndConnect(ESimOrvModel model, EI2cSpeed speed)
{
    m_sim = CSimOrvAdapter::Plug(model, SERIAL);
    QVERIFY(m_sim);
    m_i2c = MakeModel(model);
    QVERIFY2(m_i2c->Connect(SERIAL, speed), m_i2c->GetLastError().c_str());
    m_sim->TakeReceivedReports();
}

void TestOrvModels::addModelColumn()
{
    QTest::addColumn<ESimOrvModel>("model");
}

void TestOrvModels::capabilities_data()
{
    addModelColumn();
    QTest::addColumn<QString>("name");
    QTest::addColumn<QList<int>>("speeds");
    QTest::addColumn<int>("maxRead");
    QTest::addColumn<bool>("pullUpSwitch");

    QTest::newRow("Orvane3") << ESimOrvModel::Orv3 << "Orvane3" << QList<int>{0, 1, 2, 3, 4}
                             << 65535 << false;
    QTest::newRow("Orvane5") << ESimOrvModel::Orv5 << "Orvane5" << QList<int>{0, 1, 2} << 256
                             << true;
    QTest::newRow("Orvane7") << ESimOrvModel::Orv7 << "Orvane7" << QList<int>{0, 1, 2, 3, 4}
                             << 65535 << false;
}

void TestOrvModels::capabilities()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(QString, name);
    QFETCH(QList<int>, speeds);
    QFETCH(int, maxRead);
    QFETCH(bool, pullUpSwitch);

    // Asked of an unconnected object, as the device dialog does.
    const std::unique_ptr<COrvI2c> i2c = MakeModel(model);
    QCOMPARE(QString::fromStdWString(i2c->GetTypeName()), name);
    for (int speed = 0; speed <= 5; ++speed)
        QCOMPARE(i2c->IsSpeedSupported(static_cast<EI2cSpeed>(speed)), speeds.contains(speed));
    QCOMPARE(i2c->GetMaxReadCount(), static_cast<size_t>(maxRead));
    QCOMPARE(i2c->HasPullUpSwitch(), pullUpSwitch);
    // The Orvane5 alone has the switch, and alone no address-only write.
    QCOMPARE(i2c->IsAddressOnlyWriteSupported(), !pullUpSwitch);
    QVERIFY(i2c->GetPullUpsEnabled());
    QVERIFY(!i2c->IsConnected());
    QCOMPARE(i2c->GetSpeed(), EI2cSpeed::Speed100k);

    // Each model finds its adapters on its own product ID and interface.
    m_sim = CSimOrvAdapter::Plug(model, SERIAL);
    QVERIFY(i2c->Connect(SERIAL, EI2cSpeed::Speed100k));
    QVERIFY(i2c->IsPresent());
}

void TestOrvModels::connectSendsTheConfiguration_data()
{
    addModelColumn();
    QTest::addColumn<bool>("pullUps");
    QTest::addColumn<int>("speed");
    QTest::addColumn<QList<QList<int>>>("reports");

    QTest::newRow("Orvane3 400k") << ESimOrvModel::Orv3 << true << 1
                                  << QList<QList<int>>{{0x01, 0x01, 0x01}};
    QTest::newRow("Orvane7 1000k")
        << ESimOrvModel::Orv7 << true << 4 << QList<QList<int>>{{0x01, 0x01, 0x04}};
    QTest::newRow("Orvane5 400k, pull-ups off")
        << ESimOrvModel::Orv5 << false << 1
        << QList<QList<int>>{{0x01, 0x00, 0x00}, {0x01, 0x01, 0x81}};
    QTest::newRow("Orvane5 50k, pull-ups on")
        << ESimOrvModel::Orv5 << true << 2
        << QList<QList<int>>{{0x01, 0x00, 0x00}, {0x01, 0x01, 0x02}};
}

void TestOrvModels::connectSendsTheConfiguration()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(bool, pullUps);
    QFETCH(int, speed);
    QFETCH(QList<QList<int>>, reports);

    m_sim = CSimOrvAdapter::Plug(model, SERIAL);
    m_i2c = MakeModel(model);
    QVERIFY(m_i2c->SetPullUpsEnabled(pullUps));
    QVERIFY(m_sim->ReceivedReports().empty());
    QVERIFY(m_i2c->Connect(SERIAL, static_cast<EI2cSpeed>(speed)));

    std::vector<Report> expected;
    for (const QList<int>& head : reports)
        expected.push_back(MakeReport(head));
    QCOMPARE(HexList(m_sim->TakeReceivedReports()), HexList(expected));
    QCOMPARE(m_sim->EnableFlags(), expected.back()[2]);
}

void TestOrvModels::unsupportedSpeedIsRefusedBeforeOpening()
{
    m_sim = CSimOrvAdapter::Plug(ESimOrvModel::Orv5, SERIAL);
    m_i2c = MakeModel(ESimOrvModel::Orv5);
    for (EI2cSpeed speed : {EI2cSpeed::Speed10k, EI2cSpeed::Speed1000k}) {
        QVERIFY(!m_i2c->Connect(SERIAL, speed));
        QCOMPARE(m_i2c->GetLastError(), std::string("Speed not supported by this device"));
        QVERIFY(!m_i2c->IsConnected());
    }
    QVERIFY(m_sim->ReceivedReports().empty());
}

void TestOrvModels::readRequestLayout_data()
{
    addModelColumn();
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("request");

    QTest::newRow("Orvane3 300") << ESimOrvModel::Orv3 << 300 << QList<int>{0x03, 0x2C, 0xA1, 0x01};
    QTest::newRow("Orvane7 300") << ESimOrvModel::Orv7 << 300 << QList<int>{0x03, 0x2C, 0xA1, 0x01};
    QTest::newRow("Orvane3 65535")
        << ESimOrvModel::Orv3 << 65535 << QList<int>{0x03, 0xFF, 0xA1, 0xFF};
    QTest::newRow("Orvane5 255") << ESimOrvModel::Orv5 << 255 << QList<int>{0x03, 0xFF, 0xA1, 0x00};
    QTest::newRow("Orvane5 256") << ESimOrvModel::Orv5 << 256 << QList<int>{0x03, 0x00, 0xA1, 0x00};
}

void TestOrvModels::readRequestLayout()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(int, count);
    QFETCH(QList<int>, request);

    plugAndConnect(model);
    SI2cReadResult result;
    QVERIFY2(m_i2c->Read(EEPROM, static_cast<size_t>(count), result),
             m_i2c->GetLastError().c_str());
    QCOMPARE(result.data.size(), static_cast<size_t>(count));
    QCOMPARE(HexList(m_sim->TakeReceivedReports()), HexList({MakeReport(request)}));
}

void TestOrvModels::readCountLimit_data()
{
    addModelColumn();
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("error");

    QTest::newRow("Orvane5 257") << ESimOrvModel::Orv5 << 257
                                 << "Invalid read count, this device reads 1..256 bytes";
    QTest::newRow("Orvane5 0") << ESimOrvModel::Orv5 << 0
                               << "Invalid read count, this device reads 1..256 bytes";
    QTest::newRow("Orvane3 65536")
        << ESimOrvModel::Orv3 << 65536 << "Invalid read count, this device reads 1..65535 bytes";
    QTest::newRow("Orvane7 65536")
        << ESimOrvModel::Orv7 << 65536 << "Invalid read count, this device reads 1..65535 bytes";
}

void TestOrvModels::readCountLimit()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(int, count);
    QFETCH(QString, error);

    plugAndConnect(model);
    SI2cReadResult result;
    QVERIFY(!m_i2c->Read(EEPROM, static_cast<size_t>(count), result));
    QCOMPARE(QString::fromStdString(m_i2c->GetLastError()), error);
    QVERIFY(m_sim->ReceivedReports().empty());
}

void TestOrvModels::fixedPullUps_data()
{
    addModelColumn();
    QTest::newRow("Orvane3") << ESimOrvModel::Orv3;
    QTest::newRow("Orvane7") << ESimOrvModel::Orv7;
}

void TestOrvModels::fixedPullUps()
{
    QFETCH(ESimOrvModel, model);

    plugAndConnect(model);
    QVERIFY(!m_i2c->SetPullUpsEnabled(false));
    QCOMPARE(m_i2c->GetLastError(), std::string("Pull-ups can not be switched on this device"));
    QVERIFY(m_i2c->GetPullUpsEnabled());
    QVERIFY(m_i2c->SetPullUpsEnabled(true));
    QVERIFY(m_sim->ReceivedReports().empty());
}

void TestOrvModels::orv5PullUpSwitch()
{
    plugAndConnect(ESimOrvModel::Orv5, EI2cSpeed::Speed400k);

    // An unchanged choice sends nothing.
    QVERIFY(m_i2c->SetPullUpsEnabled(true));
    QVERIFY(m_sim->ReceivedReports().empty());

    // A change is applied at once: leave, then enter with the new flags.
    QVERIFY(m_i2c->SetPullUpsEnabled(false));
    QVERIFY(!m_i2c->GetPullUpsEnabled());
    QCOMPARE(HexList(m_sim->TakeReceivedReports()),
             HexList({MakeReport({0x01, 0x00, 0x00}), MakeReport({0x01, 0x01, 0x81})}));

    // A failed reconfiguration keeps the previous choice.
    m_sim->SetFault(ESimOrvFault::WriteError, 1);
    QVERIFY(!m_i2c->SetPullUpsEnabled(true));
    QCOMPARE(m_i2c->GetLastError(), std::string("Broken pipe"));
    QVERIFY(!m_i2c->GetPullUpsEnabled());
    QVERIFY(m_i2c->IsConnected());

    // Unconnected, the choice is kept for the next connect.
    m_i2c->Disconnect();
    m_sim->TakeReceivedReports();
    QVERIFY(m_i2c->SetPullUpsEnabled(true));
    QVERIFY(m_sim->ReceivedReports().empty());
    QVERIFY(m_i2c->Connect(SERIAL, EI2cSpeed::Speed100k));
    QCOMPARE(HexList(m_sim->TakeReceivedReports()),
             HexList({MakeReport({0x01, 0x00, 0x00}), MakeReport({0x01, 0x01, 0x00})}));
}

void TestOrvModels::probeStyle_data()
{
    addModelColumn();
    QTest::addColumn<QList<int>>("present");
    QTest::addColumn<QList<int>>("absent");

    QTest::newRow("Orvane3") << ESimOrvModel::Orv3 << QList<int>{0x02, 0xC1, 0xA0}
                             << QList<int>{0x02, 0xC1, 0x22};
    QTest::newRow("Orvane7") << ESimOrvModel::Orv7 << QList<int>{0x02, 0xC1, 0xA0}
                             << QList<int>{0x02, 0xC1, 0x22};
    QTest::newRow("Orvane5") << ESimOrvModel::Orv5 << QList<int>{0x03, 0x01, 0xA1, 0x00}
                             << QList<int>{0x03, 0x01, 0x23, 0x00};
}

void TestOrvModels::probeStyle()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(QList<int>, present);
    QFETCH(QList<int>, absent);

    plugAndConnect(model);
    QVERIFY(m_i2c->Probe(EEPROM));
    QVERIFY(!m_i2c->Probe(ABSENT));
    QCOMPARE(m_i2c->GetLastError(), std::string("NACK received"));
    QCOMPARE(HexList(m_sim->TakeReceivedReports()),
             HexList({MakeReport(present), MakeReport(absent)}));
}

void TestOrvModels::orv5RefusesAddressOnlyWrite()
{
    plugAndConnect(ESimOrvModel::Orv5);
    SI2cWriteResult result{0x12, 0x34};
    QVERIFY(!m_i2c->Write({EEPROM << 1}, result, true, true));
    QCOMPARE(m_i2c->GetLastError(),
             std::string("Address-only write is not supported by the Orvane5"));
    QCOMPARE(result.status, uint8_t(0));
    QCOMPARE(result.errorCode, uint8_t(0));
    QVERIFY(m_sim->ReceivedReports().empty());

    // One byte with only a start, or only a stop, goes through.
    QVERIFY2(m_i2c->Write({EEPROM << 1}, result, true, false), m_i2c->GetLastError().c_str());
    QVERIFY2(m_i2c->Write({0x00}, result, false, true), m_i2c->GetLastError().c_str());
    QCOMPARE(HexList(m_sim->TakeReceivedReports()),
             HexList({MakeReport({0x02, 0x81, 0xA0}), MakeReport({0x02, 0x41, 0x00})}));
}

QTEST_GUILESS_MAIN(TestOrvModels)
#include "tst_orvmodels.moc"
