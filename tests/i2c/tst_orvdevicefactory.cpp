// Listing the attached adapters of every model, and creating adapter objects.

#include "i2c/orvdevicefactory.h"
#include "i2c/orvusbids.h"
#include "sim/adapters/simorvadapter.h"

#include <QTest>

#include <vector>

namespace {

QStringList Describe(const std::vector<SOrvDeviceEntry>& entries)
{
    QStringList out;
    for (const SOrvDeviceEntry& entry : entries)
        out << QString::number(static_cast<int>(entry.type)) + ":" +
                   QString::fromStdWString(entry.serialNumber);
    return out;
}

} // namespace

class TestOrvDeviceFactory : public QObject {
    Q_OBJECT

private slots:
    void init() { CSimHidStack::Instance().Reset(); }
    void cleanup() { CSimHidStack::Instance().Reset(); }

    void nothingAttached();
    void listsByModelThenSerial();
    void create_data();
    void create();
};

void TestOrvDeviceFactory::nothingAttached()
{
    QVERIFY(COrvDeviceFactory::EnumerateDevices().empty());
}

void TestOrvDeviceFactory::listsByModelThenSerial()
{
    SSimOrvOptions twice;
    twice.duplicateI2cInterface = true;
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv7, L"D", twice));
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv5, L"B"));
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv5, L"A", twice));
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"C"));
    // Another vendor's device with the same product ID is not an adapter.
    SSimHidInterface foreign;
    foreign.path = "sim/foreign";
    foreign.vendorId = 0x1234;
    foreign.productId = kProductIdOrv3;
    foreign.serialNumber = L"FOREIGN";
    foreign.interfaceNumber = 2;
    QVERIFY(CSimHidStack::Instance().Plug(foreign));

    const std::vector<SOrvDeviceEntry> expected{{EOrvType::Orv3, L"C"},
                                                {EOrvType::Orv5, L"A"},
                                                {EOrvType::Orv5, L"B"},
                                                {EOrvType::Orv7, L"D"}};
    QCOMPARE(Describe(COrvDeviceFactory::EnumerateDevices()), Describe(expected));
    // Listing opens nothing.
    QCOMPARE(CSimHidStack::Instance().OpenHandleCount(), size_t(0));
}

void TestOrvDeviceFactory::create_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("name");

    QTest::newRow("Orv3") << 0 << "Orvane3";
    QTest::newRow("Orv5") << 1 << "Orvane5";
    QTest::newRow("Orv7") << 2 << "Orvane7";
    QTest::newRow("3") << 3 << QString();
    QTest::newRow("-1") << -1 << QString();
}

void TestOrvDeviceFactory::create()
{
    QFETCH(int, type);
    QFETCH(QString, name);

    const std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(static_cast<EOrvType>(type));
    if (name.isEmpty()) {
        QVERIFY(!adapter);
        return;
    }
    QVERIFY(adapter);
    QCOMPARE(QString::fromStdWString(adapter->GetTypeName()), name);
    QVERIFY(!adapter->IsConnected());
}

QTEST_GUILESS_MAIN(TestOrvDeviceFactory)
#include "tst_orvdevicefactory.moc"
