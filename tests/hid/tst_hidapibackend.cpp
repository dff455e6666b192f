#include "hid/simplehidclass.h"
#include "i2c/orvusbids.h"

#include <QtTest>

// Runs on the real hidapi of the build machine, which has no adapters.
class TestHidapiBackend : public QObject {
    Q_OBJECT

private slots:
    void enumerationWithoutAdaptersIsEmpty()
    {
        CSimpleHidClass hid;
        std::vector<SHidDeviceInfo> devices(2);
        QVERIFY(CSimpleHidClass::EnumerateDevices(devices, kVendorId, 0));
        QVERIFY(devices.empty());
    }

    void openingAMissingPathFails()
    {
        CSimpleHidClass hid;
        QVERIFY(!hid.OpenPath("/dev/pellan-no-such-hidraw"));
        QVERIFY(!hid.GetLastError().empty());
        QVERIFY(!hid.IsOpen());
        size_t in = 0, out = 0, feature = 0;
        QVERIFY(!hid.GetReportByteLengths(in, out, feature));
        QCOMPARE(hid.GetLastError(), std::string("Device not open"));
    }
};

QTEST_GUILESS_MAIN(TestHidapiBackend)
#include "tst_hidapibackend.moc"
