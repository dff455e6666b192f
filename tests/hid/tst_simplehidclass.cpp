#include "hid/simplehidclass.h"
#include "sim/simhid.h"
#include "tests/support/waits.h"

#include <QtTest>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

using HidCall = std::function<bool(CSimpleHidClass&)>;
Q_DECLARE_METATYPE(HidCall)

namespace {

constexpr uint16_t VID = 0x3A5E;
constexpr uint16_t PID = 0x0103;
const std::string PATH_A = "sim/a";
const std::string PATH_B = "sim/b";

using Bytes = std::vector<uint8_t>;

SSimHidInterface Interface(const std::string& path, const std::wstring& serial)
{
    SSimHidInterface desc;
    desc.path = path;
    desc.vendorId = VID;
    desc.productId = PID;
    desc.serialNumber = serial;
    desc.manufacturer = L"Tremwick";
    desc.product = L"Orvane3 \U0001F600";
    desc.releaseNumber = 0x0210;
    desc.usagePage = 0xFF00;
    desc.usage = 1;
    desc.interfaceNumber = 2;
    // Report ID 2: 63 bytes in and out.
    desc.reportDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02,
                             0x75, 0x08, 0x95, 0x3F, 0x81, 0x02, 0x91, 0x02, 0xC0};
    desc.indexedStrings = {{1, L"Tremwick"}, {2, std::wstring(300, L'x')}};
    return desc;
}

// Answers every output report with the same bytes as an input report.
std::shared_ptr<CSimHidCallbackBehaviour> Echo()
{
    auto echo = std::make_shared<CSimHidCallbackBehaviour>();
    echo->onOutputReport = [](CSimHidDevice& device, std::span<const uint8_t> report,
                              std::wstring&) {
        device.QueueInputReport(Bytes(report.begin(), report.end()));
        return static_cast<int>(report.size());
    };
    return echo;
}

} // namespace

class TestSimpleHidClass : public QObject {
    Q_OBJECT

private slots:
    void init() { CSimHidStack::Instance().Reset(); }
    void cleanup() { CSimHidStack::Instance().Reset(); }

    void libraryInitAndExitFollowInstances()
    {
        auto& stack = CSimHidStack::Instance();
        {
            CSimpleHidClass first;
            QCOMPARE(stack.InitCount(), 1);
            {
                CSimpleHidClass second;
                QCOMPARE(stack.InitCount(), 1);
            }
            QCOMPARE(stack.ExitCount(), 0);
        }
        QCOMPARE(stack.ExitCount(), 1);
        {
            CSimpleHidClass again;
            QCOMPARE(stack.InitCount(), 2);
        }
        QCOMPARE(stack.ExitCount(), 2);
    }

    void closedDeviceRefuses_data()
    {
        QTest::addColumn<HidCall>("call");
        QTest::newRow("Write") << HidCall([](CSimpleHidClass& h) { return h.Write({1, 2}); });
        QTest::newRow("Read") << HidCall([](CSimpleHidClass& h) {
            Bytes keep{7, 7};
            const bool ok = h.Read(keep, 64, 0);
            return ok || keep != Bytes{7, 7}; // untouched when not open
        });
        QTest::newRow("SendFeatureReport")
            << HidCall([](CSimpleHidClass& h) { return h.SendFeatureReport({1}); });
        QTest::newRow("GetFeatureReport") << HidCall([](CSimpleHidClass& h) {
            Bytes buffer;
            return h.GetFeatureReport(1, buffer, 8);
        });
        QTest::newRow("GetIndexedString") << HidCall([](CSimpleHidClass& h) {
            std::wstring text;
            return h.GetIndexedString(1, text);
        });
        QTest::newRow("GetDeviceInfo") << HidCall([](CSimpleHidClass& h) {
            SHidDeviceInfo info;
            return h.GetDeviceInfo(info);
        });
        QTest::newRow("GetReportByteLengths") << HidCall([](CSimpleHidClass& h) {
            size_t a = 1, b = 1, c = 1;
            return h.GetReportByteLengths(a, b, c) || a + b + c != 0;
        });
        QTest::newRow("GetReportIdUsage") << HidCall([](CSimpleHidClass& h) {
            bool x = true, y = true, z = true;
            return h.GetReportIdUsage(x, y, z) || x || y || z;
        });
        QTest::newRow("StartReadThread")
            << HidCall([](CSimpleHidClass& h) { return h.StartReadThread(nullptr, 64, 10); });
    }

    void closedDeviceRefuses()
    {
        QFETCH(HidCall, call);
        CSimpleHidClass hid;
        QVERIFY(!call(hid));
        QCOMPARE(hid.GetLastError(), std::string("Device not open"));
        QVERIFY(!hid.IsReadThreadRunning());
    }

    void openWithEmptySerialTakesFirstMatch()
    {
        auto& stack = CSimHidStack::Instance();
        stack.Plug(Interface(PATH_A, L"A1"));
        stack.Plug(Interface(PATH_B, L"B2"));
        SHidDeviceInfo info;

        CSimpleHidClass any;
        QVERIFY(any.Open(VID, PID, L""));
        QVERIFY(any.GetDeviceInfo(info));
        QCOMPARE(info.path, PATH_A);

        CSimpleHidClass bySerial;
        QVERIFY(bySerial.Open(VID, PID, L"B2"));
        QVERIFY(bySerial.GetDeviceInfo(info));
        QCOMPARE(info.path, PATH_B);

        CSimpleHidClass unknown;
        QVERIFY(!unknown.Open(VID, PID, L"C3"));
        QCOMPARE(unknown.GetLastError(),
                 std::string("Device with requested VID/PID/(SerialNumber) not found"));
        QVERIFY(!unknown.IsOpen());
    }

    void openTwiceKeepsFirstDevice()
    {
        auto& stack = CSimHidStack::Instance();
        auto a = stack.Plug(Interface(PATH_A, L"A1"));
        auto b = stack.Plug(Interface(PATH_B, L"B2"));
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));
        QVERIFY(!hid.OpenPath(PATH_B));
        QCOMPARE(hid.GetLastError(), std::string("Device already open"));
        QVERIFY(!hid.Open(VID, PID, L"B2"));
        QCOMPARE(hid.GetLastError(), std::string("Device already open"));
        QCOMPARE(a->OpenHandleCount(), size_t(1));
        QCOMPARE(b->OpenHandleCount(), size_t(0));
        QVERIFY(hid.Write({0x02, 0x01}));
        QCOMPARE(a->OutputReports(), (std::vector<Bytes>{{0x02, 0x01}}));
        hid.Close();
        hid.Close();
        QCOMPARE(stack.OpenHandleCount(), size_t(0));
    }

    void openFailureKeepsLibraryText()
    {
        auto desc = Interface(PATH_A, L"A1");
        desc.openError = L"Permission denied \U0001F512";
        CSimHidStack::Instance().Plug(desc);
        CSimpleHidClass hid;
        QVERIFY(!hid.OpenPath(PATH_A));
        QCOMPARE(hid.GetLastError(), std::string("Permission denied \xF0\x9F\x94\x92"));
        QVERIFY(!hid.OpenPath("sim/none"));
        QCOMPARE(hid.GetLastError(),
                 std::string("Failed to open a device with path 'sim/none': No such file or "
                             "directory"));
    }

    void readTimeoutLeavesBufferEmpty()
    {
        CSimHidStack::Instance().Plug(Interface(PATH_A, L"A1"));
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));
        Bytes buffer{1, 2, 3};
        QVERIFY(!hid.Read(buffer, 64, 0));
        QCOMPARE(hid.GetLastError(), std::string("Timeout"));
        QVERIFY(buffer.empty());
    }

    void readYieldsReceivedLength_data()
    {
        QTest::addColumn<int>("reportLength");
        QTest::addColumn<int>("maxLength");
        QTest::newRow("one byte") << 1 << 64;
        QTest::newRow("short") << 10 << 64;
        QTest::newRow("full") << 64 << 64;
        QTest::newRow("longer than buffer") << 100 << 64;
        QTest::newRow("huge report, tiny buffer") << 5000 << 1;
    }

    void readYieldsReceivedLength()
    {
        QFETCH(int, reportLength);
        QFETCH(int, maxLength);
        auto device = CSimHidStack::Instance().Plug(Interface(PATH_A, L"A1"));
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));
        Bytes report(reportLength);
        for (int i = 0; i < reportLength; ++i) {
            report[i] = static_cast<uint8_t>(i + 1);
        }
        device->QueueInputReport(report);
        Bytes buffer;
        QVERIFY(hid.Read(buffer, maxLength, 1000));
        report.resize(std::min(reportLength, maxLength));
        QCOMPARE(buffer, report);
    }

    void incompleteTransfersFail_data()
    {
        QTest::addColumn<bool>("feature");
        QTest::addColumn<int>("answer"); // bytes accepted relative to the length
        QTest::addColumn<bool>("ok");
        for (const bool feature : {false, true}) {
            const char* kind = feature ? "feature" : "output";
            QTest::addRow("%s whole", kind) << feature << 0 << true;
            QTest::addRow("%s short", kind) << feature << -1 << false;
            QTest::addRow("%s claims more", kind) << feature << 1 << false;
            QTest::addRow("%s error", kind) << feature << -1000 << false;
        }
    }

    void incompleteTransfersFail()
    {
        QFETCH(bool, feature);
        QFETCH(int, answer);
        QFETCH(bool, ok);
        auto behaviour = std::make_shared<CSimHidCallbackBehaviour>();
        auto hook = [answer](CSimHidDevice&, std::span<const uint8_t> report, std::wstring& error) {
            error = L"device said no";
            return answer == -1000 ? -1 : static_cast<int>(report.size()) + answer;
        };
        behaviour->onOutputReport = hook;
        behaviour->onSetFeatureReport = hook;
        CSimHidStack::Instance().Plug(Interface(PATH_A, L"A1"), behaviour);
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));
        const Bytes report{0x02, 0x10, 0x20};
        QCOMPARE(feature ? hid.SendFeatureReport(report) : hid.Write(report), ok);
        if (!ok) {
            QCOMPARE(hid.GetLastError(), std::string("device said no"));
        }
    }

    void featureReportRoundTrip()
    {
        CSimHidStack::Instance().Plug(Interface(PATH_A, L"A1"));
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));
        QVERIFY(hid.SendFeatureReport({0x05, 0xAA, 0xBB, 0xCC}));
        Bytes buffer;
        QVERIFY(hid.GetFeatureReport(0x05, buffer, 3));
        QCOMPARE(buffer, (Bytes{0x05, 0xAA, 0xBB, 0xCC}));
        buffer = {9};
        QVERIFY(!hid.GetFeatureReport(0x06, buffer, 3));
        QVERIFY(buffer.empty());
        QCOMPARE(hid.GetLastError(), std::string("Broken pipe"));
    }

    void featureReportTakesLibraryCount_data()
    {
        QTest::addColumn<int>("returned");
        QTest::addColumn<Bytes>("expected");
        QTest::newRow("nothing") << 0 << Bytes{};
        QTest::newRow("id and one byte") << 2 << Bytes{0x07, 0x11};
        QTest::newRow("all allocated") << 4 << Bytes{0x07, 0x11, 0x22, 0x33};
        QTest::newRow("more than allocated") << 6 << Bytes{0x07, 0x11, 0x22, 0x33, 0, 0};
    }

    void featureReportTakesLibraryCount()
    {
        QFETCH(int, returned);
        QFETCH(Bytes, expected);
        auto behaviour = std::make_shared<CSimHidCallbackBehaviour>();
        behaviour->onGetFeatureReport = [returned](CSimHidDevice&, uint8_t id, size_t,
                                                   Bytes& report, std::wstring&) {
            report = {id, 0x11, 0x22, 0x33, 0x44, 0x55};
            return returned;
        };
        CSimHidStack::Instance().Plug(Interface(PATH_A, L"A1"), behaviour);
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));
        Bytes buffer;
        QVERIFY(hid.GetFeatureReport(0x07, buffer, 3));
        QCOMPARE(buffer, expected);
    }

    void stringsAndDeviceInfo()
    {
        auto desc = Interface(PATH_A, L"");
        desc.manufacturer.clear();
        desc.interfaceNumber = -1;
        CSimHidStack::Instance().Plug(desc);
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));

        std::wstring text;
        QVERIFY(hid.GetIndexedString(1, text));
        QCOMPARE(text, std::wstring(L"Tremwick"));
        QVERIFY(hid.GetIndexedString(2, text));
        QCOMPARE(text, std::wstring(255, L'x'));
        QVERIFY(!hid.GetIndexedString(9, text));
        QCOMPARE(hid.GetLastError(), std::string("Invalid string index"));

        SHidDeviceInfo info;
        QVERIFY(hid.GetDeviceInfo(info));
        QCOMPARE(info.path, PATH_A);
        QCOMPARE(info.vendorId, VID);
        QCOMPARE(info.productId, PID);
        QVERIFY(info.serialNumber.empty());
        QVERIFY(info.manufacturer.empty());
        QCOMPARE(info.product, desc.product);
        QCOMPARE(info.releaseNumber, uint16_t(0x0210));
        QCOMPARE(info.usagePage, uint16_t(0xFF00));
        QCOMPARE(info.usage, uint16_t(1));
        QCOMPARE(info.interfaceNumber, -1);
    }

    void reportLayoutFromDescriptor()
    {
        CSimHidStack::Instance().Plug(Interface(PATH_A, L"A1"));
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));
        size_t in = 0, out = 0, feature = 9;
        QVERIFY(hid.GetReportByteLengths(in, out, feature));
        QCOMPARE(in, size_t(64));
        QCOMPARE(out, size_t(64));
        QCOMPARE(feature, size_t(0));
        bool inIds = false, outIds = false, featureIds = true;
        QVERIFY(hid.GetReportIdUsage(inIds, outIds, featureIds));
        QVERIFY(inIds && outIds && !featureIds);

        CSimHidStack::Instance().Unplug(PATH_A);
        QVERIFY(!hid.GetReportByteLengths(in, out, feature));
        QCOMPARE(hid.GetLastError(), std::string("No such device"));
        QCOMPARE(in + out + feature, size_t(0));
    }

    void enumerateListsMatchesInOrder()
    {
        auto& stack = CSimHidStack::Instance();
        std::vector<SHidDeviceInfo> list(3);
        QVERIFY(CSimpleHidClass::EnumerateDevices(list, VID, PID));
        QVERIFY(list.empty());

        stack.Plug(Interface(PATH_B, L"B2"));
        auto other = Interface("sim/other", L"O");
        other.productId = 0x0105;
        stack.Plug(other);
        stack.Plug(Interface(PATH_A, L""));
        QVERIFY(CSimpleHidClass::EnumerateDevices(list, VID, PID));
        QCOMPARE(list.size(), size_t(2));
        QCOMPARE(list[0].path, PATH_B);
        QCOMPARE(list[0].serialNumber, std::wstring(L"B2"));
        QCOMPARE(list[0].interfaceNumber, 2);
        QCOMPARE(list[0].releaseNumber, uint16_t(0x0210));
        QCOMPARE(list[1].path, PATH_A);
        QVERIFY(list[1].serialNumber.empty());
        QVERIFY(CSimpleHidClass::EnumerateDevices(list, VID, 0));
        QCOMPARE(list.size(), size_t(3));
    }

    void readThreadDeliversEveryReportWhileWriting()
    {
        auto device = CSimHidStack::Instance().Plug(Interface(PATH_A, L"A1"), Echo());
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));
        std::mutex mutex;
        std::vector<Bytes> received;
        auto collect = [&](const Bytes& report) {
            std::lock_guard lock(mutex);
            received.push_back(report);
        };
        auto receivedCount = [&] {
            std::lock_guard lock(mutex);
            return received.size();
        };
        QVERIFY(hid.StartReadThread(collect, 64, 50));
        QVERIFY(hid.IsReadThreadRunning());
        QVERIFY(!hid.StartReadThread(collect, 64, 50));
        QCOMPARE(hid.GetLastError(), std::string("Read thread already running"));

        constexpr int COUNT = 300;
        std::atomic<int> failures{0};
        std::thread writer([&] {
            for (int i = 0; i < COUNT; ++i) {
                if (!hid.Write({0x02, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)})) {
                    ++failures;
                }
            }
        });
        writer.join();
        QCOMPARE(failures.load(), 0);
        PELLAN_TRY_COMPARE(receivedCount(), size_t(COUNT));
        for (int i = 0; i < COUNT; ++i) {
            QCOMPARE(received[i],
                     (Bytes{0x02, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}));
        }

        hid.StopReadThread();
        QVERIFY(!hid.IsReadThreadRunning());
        QVERIFY(hid.StartReadThread(collect, 64, 50));
        QVERIFY(hid.Write({0x02, 0xEE}));
        PELLAN_TRY_COMPARE(receivedCount(), size_t(COUNT + 1));
        hid.Close();
        QVERIFY(!hid.IsReadThreadRunning());
        QVERIFY(!hid.IsOpen());
    }

    // A thread that waits for ever between reports must still stop, and the
    // callback may ask its own thread to end.
    void readThreadStops()
    {
        auto device = CSimHidStack::Instance().Plug(Interface(PATH_A, L"A1"));
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));
        QVERIFY(hid.StartReadThread(nullptr, 64, -1));
        hid.StopReadThread();
        QVERIFY(!hid.IsReadThreadRunning());

        std::atomic<int> calls{0};
        QVERIFY(hid.StartReadThread(
            [&](const Bytes&) {
                ++calls;
                hid.StopReadThread();
            },
            64, -1));
        device->QueueInputReport({1});
        PELLAN_TRY_VERIFY(!hid.IsReadThreadRunning());
        QCOMPARE(calls.load(), 1);
        QVERIFY(hid.StartReadThread(nullptr, 64, 10));
        QVERIFY(hid.IsReadThreadRunning());
    }

    void unplugWhileOpen()
    {
        auto device = CSimHidStack::Instance().Plug(Interface(PATH_A, L"A1"));
        CSimpleHidClass hid;
        QVERIFY(hid.OpenPath(PATH_A));
        std::atomic<int> reports{0};
        QVERIFY(hid.StartReadThread([&](const Bytes&) { ++reports; }, 64, 20));
        device->QueueInputReport({1, 2});
        PELLAN_TRY_COMPARE(reports.load(), 1);

        QVERIFY(CSimHidStack::Instance().Unplug(PATH_A));
        PELLAN_TRY_COMPARE(
            hid.GetLastError(),
            std::string("hid_read_timeout: unexpected poll error (device disconnected)"));
        hid.StopReadThread();
        QVERIFY(!hid.Write({0x02, 1}));
        QCOMPARE(hid.GetLastError(), std::string("No such device"));
        Bytes buffer{1};
        QVERIFY(!hid.Read(buffer, 64, 1000));
        QVERIFY(buffer.empty());
        QCOMPARE(hid.GetLastError(),
                 std::string("hid_read_timeout: unexpected poll error (device disconnected)"));
        QVERIFY(hid.IsOpen());
        hid.Close();
        QCOMPARE(CSimHidStack::Instance().OpenHandleCount(), size_t(0));

        std::vector<SHidDeviceInfo> list;
        QVERIFY(CSimpleHidClass::EnumerateDevices(list, VID, PID));
        QVERIFY(list.empty());
    }
};

QTEST_GUILESS_MAIN(TestSimpleHidClass)
#include "tst_simplehidclass.moc"
