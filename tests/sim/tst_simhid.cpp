#include "hid/hidapiext.h"
#include "sim/simhid.h"
#include "tests/support/waits.h"

#include <QtTest>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

SSimHidInterface Interface(const std::string& path, uint16_t vid = 0x1234, uint16_t pid = 0x0001,
                           const std::wstring& serial = L"S1")
{
    SSimHidInterface desc;
    desc.path = path;
    desc.vendorId = vid;
    desc.productId = pid;
    desc.serialNumber = serial;
    desc.product = L"Widget";
    return desc;
}

// Closes a handle at the end of a test, also when a check fails early.
struct SHandle {
    hid_device* dev = nullptr;
    explicit SHandle(hid_device* d) : dev(d) {}
    ~SHandle() { hid_close(dev); }
    SHandle(const SHandle&) = delete;
    SHandle& operator=(const SHandle&) = delete;
};

int ReadInto(hid_device* dev, Bytes& out, size_t length, int ms)
{
    out.assign(length, 0);
    const int n = hid_read_timeout(dev, out.data(), out.size(), ms);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return n;
}

} // namespace

class TestSimHid : public QObject {
    Q_OBJECT

private slots:
    void init() { CSimHidStack::Instance().Reset(); }
    void cleanup()
    {
        QCOMPARE(CSimHidStack::Instance().OpenHandleCount(), size_t(0));
        CSimHidStack::Instance().Reset();
    }

    void enumerationFollowsPlugging()
    {
        auto& stack = CSimHidStack::Instance();
        QVERIFY(hid_enumerate(0, 0) == nullptr);
        QVERIFY(stack.Plug(Interface("sim/1")));
        QVERIFY(stack.Plug(Interface("sim/2", 0x1234, 0x0002, L"")));
        QVERIFY(stack.Plug(Interface("sim/3", 0x9999, 0x0001)));
        QVERIFY(!stack.Plug(Interface("sim/1")));
        QVERIFY(!stack.Plug(Interface("")));

        auto paths = [](unsigned short vid, unsigned short pid) {
            QStringList found;
            hid_device_info* list = hid_enumerate(vid, pid);
            for (auto* node = list; node != nullptr; node = node->next) {
                found << QString::fromUtf8(node->path);
            }
            hid_free_enumeration(list);
            return found;
        };
        QCOMPARE(paths(0, 0), QStringList({"sim/1", "sim/2", "sim/3"}));
        QCOMPARE(paths(0x1234, 0), QStringList({"sim/1", "sim/2"}));
        QCOMPARE(paths(0, 0x0001), QStringList({"sim/1", "sim/3"}));

        hid_device_info* list = hid_enumerate(0x1234, 0x0002);
        QVERIFY(list != nullptr);
        QVERIFY(list->serial_number == nullptr);
        QVERIFY(list->manufacturer_string == nullptr);
        QCOMPARE(QString::fromWCharArray(list->product_string), QString("Widget"));
        QVERIFY(list->next == nullptr);
        hid_free_enumeration(list);

        QVERIFY(stack.Unplug("sim/1"));
        QVERIFY(!stack.Unplug("sim/1"));
        QCOMPARE(paths(0, 0), QStringList({"sim/2", "sim/3"}));
        QVERIFY(stack.Plug(Interface("sim/1")));
        QCOMPARE(paths(0, 0), QStringList({"sim/2", "sim/3", "sim/1"}));
    }

    void openBySerial()
    {
        auto& stack = CSimHidStack::Instance();
        stack.Plug(Interface("sim/1", 0x1234, 1, L"AA"));
        stack.Plug(Interface("sim/2", 0x1234, 1, L"BB"));
        SHandle first(hid_open(0x1234, 1, nullptr));
        QVERIFY(first.dev);
        QCOMPARE(QString(hid_get_device_info(first.dev)->path), QString("sim/1"));
        SHandle second(hid_open(0x1234, 1, L"BB"));
        QVERIFY(second.dev);
        QCOMPARE(QString(hid_get_device_info(second.dev)->path), QString("sim/2"));
        QVERIFY(hid_open(0x1234, 1, L"CC") == nullptr);
        QCOMPARE(QString::fromWCharArray(hid_error(nullptr)),
                 QString("Device with requested VID/PID/(SerialNumber) not found"));
        QCOMPARE(stack.OpenHandleCount(), size_t(2));
    }

    void readWaitsForTimeoutOrReport()
    {
        auto device = CSimHidStack::Instance().Plug(Interface("sim/1"));
        SHandle h(hid_open_path("sim/1"));
        Bytes buffer;
        const auto start = Clock::now();
        QCOMPARE(ReadInto(h.dev, buffer, 64, 30), 0);
        QVERIFY(Clock::now() - start >= std::chrono::milliseconds(30));

        // Negative waits for ever: here until another thread queues a report.
        std::thread producer([&] {
            if (testsupport::pollFor([&] { return device->WaitingReaderCount() == 1; })) {
                device->QueueInputReport({4, 5, 6});
            }
        });
        const int received = ReadInto(h.dev, buffer, 64, -1);
        producer.join();
        QCOMPARE(received, 3);
        QCOMPARE(buffer, (Bytes{4, 5, 6}));
    }

    void delayedReportsComeInDueOrder()
    {
        constexpr auto DELAY = std::chrono::milliseconds(100);
        auto device = CSimHidStack::Instance().Plug(Interface("sim/1"));
        SHandle h(hid_open_path("sim/1"));
        QCOMPARE(device->QueueInputReport({1}, std::chrono::hours(1)), size_t(1));
        Bytes buffer;
        Clock::time_point queued;
        // {2} is queued first but due later. A stall of DELAY before {3} is
        // queued would make {2} due first: such a round proves nothing, is
        // read out and played again.
        for (;;) {
            queued = Clock::now();
            QCOMPARE(device->QueueInputReport({2}, DELAY), size_t(1));
            QCOMPARE(device->QueueInputReport({3}), size_t(1));
            if (Clock::now() - queued < DELAY)
                break;
            QCOMPARE(ReadInto(h.dev, buffer, 8, testsupport::WAIT_MS), 1);
            QCOMPARE(ReadInto(h.dev, buffer, 8, testsupport::WAIT_MS), 1);
        }
        QCOMPARE(ReadInto(h.dev, buffer, 8, 0), 1);
        QCOMPARE(buffer, Bytes{3});
        QCOMPARE(ReadInto(h.dev, buffer, 8, testsupport::WAIT_MS), 1);
        QVERIFY(Clock::now() - queued >= DELAY);
        QCOMPARE(buffer, Bytes{2});
        QCOMPARE(ReadInto(h.dev, buffer, 8, 0), 0); // the hour-long one is not due
    }

    void reportsOfAnyLength()
    {
        auto device = CSimHidStack::Instance().Plug(Interface("sim/1"));
        SHandle h(hid_open_path("sim/1"));
        Bytes big(100000, 0xAB);
        device->QueueInputReport(big);
        device->QueueInputReport({});
        device->QueueInputReport({1, 2, 3});
        Bytes buffer;
        QCOMPARE(ReadInto(h.dev, buffer, 64, 0), 64);
        QCOMPARE(buffer, Bytes(64, 0xAB));
        QCOMPARE(ReadInto(h.dev, buffer, 64, 0), 0);         // an empty report reads as nothing
        QCOMPARE(hid_read_timeout(h.dev, nullptr, 0, 0), 0); // zero-length buffer drops it
        QCOMPARE(hid_read_timeout(h.dev, nullptr, 8, 0), -1);
    }

    void reportsReachOpenHandlesOnly()
    {
        auto desc = Interface("sim/1");
        desc.inputQueueLimit = 2;
        auto device = CSimHidStack::Instance().Plug(desc);
        QCOMPARE(device->QueueInputReport({9}), size_t(0));
        SHandle a(hid_open_path("sim/1"));
        SHandle b(hid_open_path("sim/1"));
        QCOMPARE(device->QueueInputReport({1}), size_t(2));
        QCOMPARE(device->QueueInputReport({2}), size_t(2));
        QCOMPARE(device->QueueInputReport({3}), size_t(0)); // both queues full
        Bytes buffer;
        for (hid_device* dev : {a.dev, b.dev}) {
            QCOMPARE(ReadInto(dev, buffer, 8, 0), 1);
            QCOMPARE(buffer, Bytes{1});
            QCOMPARE(ReadInto(dev, buffer, 8, 0), 1);
            QCOMPARE(buffer, Bytes{2});
            QCOMPARE(ReadInto(dev, buffer, 8, 0), 0);
        }
    }

    void nonBlockingRead()
    {
        auto device = CSimHidStack::Instance().Plug(Interface("sim/1"));
        SHandle h(hid_open_path("sim/1"));
        unsigned char byte = 0;
        QCOMPARE(hid_set_nonblocking(h.dev, 1), 0);
        QCOMPARE(hid_read(h.dev, &byte, 1), 0);
        device->QueueInputReport({7});
        QCOMPARE(hid_read(h.dev, &byte, 1), 1);
        QCOMPARE(byte, uint8_t(7));
    }

    void unplugFailsOpenHandles()
    {
        auto& stack = CSimHidStack::Instance();
        auto device = stack.Plug(Interface("sim/1"));
        SHandle h(hid_open_path("sim/1"));

        int result = 0;
        std::thread blocked([&] {
            unsigned char buffer[8];
            result = hid_read_timeout(h.dev, buffer, sizeof buffer, -1);
        });
        QVERIFY(testsupport::pollFor([&] { return device->WaitingReaderCount() == 1; }));
        QVERIFY(stack.Unplug("sim/1"));
        blocked.join();
        QCOMPARE(result, -1);

        QCOMPARE(QString::fromWCharArray(hid_read_error(h.dev)),
                 QString("hid_read_timeout: unexpected poll error (device disconnected)"));
        const unsigned char report[] = {0x02, 0x01};
        QCOMPARE(hid_write(h.dev, report, sizeof report), -1);
        QCOMPARE(QString::fromWCharArray(hid_error(h.dev)), QString("No such device"));
        unsigned char descriptor[16];
        QCOMPARE(hid_get_report_descriptor(h.dev, descriptor, sizeof descriptor), -1);
        QCOMPARE(device->QueueInputReport({1}), size_t(0));
        QVERIFY(hid_open_path("sim/1") == nullptr);

        // A new plug on the same path is a new device; the old handle stays dead.
        auto again = stack.Plug(Interface("sim/1"));
        QVERIFY(again && again != device);
        QCOMPARE(hid_write(h.dev, report, sizeof report), -1);
    }

    void behaviourSeesWritesAndFeatures()
    {
        auto behaviour = std::make_shared<CSimHidCallbackBehaviour>();
        behaviour->onOutputReport = [](CSimHidDevice& device, std::span<const uint8_t> report,
                                       std::wstring& error) {
            if (report.size() > 4) {
                error = L"too long";
                return -1;
            }
            device.QueueInputReport({report[0], 0xAC});
            return static_cast<int>(report.size());
        };
        auto device = CSimHidStack::Instance().Plug(Interface("sim/1"), behaviour);
        SHandle h(hid_open_path("sim/1"));

        const unsigned char ok[] = {0x02, 0x10};
        const unsigned char tooLong[] = {0x02, 1, 2, 3, 4};
        QCOMPARE(hid_write(h.dev, ok, sizeof ok), 2);
        QCOMPARE(QString::fromWCharArray(hid_error(h.dev)), QString("Success"));
        QCOMPARE(hid_write(h.dev, tooLong, sizeof tooLong), -1);
        QCOMPARE(QString::fromWCharArray(hid_error(h.dev)), QString("too long"));
        const unsigned char feature[] = {0x05, 0x33};
        QCOMPARE(hid_send_feature_report(h.dev, feature, sizeof feature), 2);

        QVERIFY(device->WaitForWrites(3, testsupport::WAIT));
        const auto writes = device->Writes();
        QCOMPARE(writes[0].bytes, (Bytes{0x02, 0x10}));
        QCOMPARE(writes[1].result, -1);
        QVERIFY(writes[2].kind == ESimHidWriteKind::Feature);
        QCOMPARE(device->OutputReports().size(), size_t(2));
        QCOMPARE(device->TakeWrites().size(), size_t(3));
        QCOMPARE(device->WriteCount(), size_t(0));

        Bytes buffer;
        QCOMPARE(ReadInto(h.dev, buffer, 64, 0), 2);
        QCOMPARE(buffer, (Bytes{0x02, 0xAC}));

        // The default feature answer: the last report set with that ID, cut
        // to the caller's buffer.
        unsigned char answer[2] = {0x05, 0};
        QCOMPARE(hid_get_feature_report(h.dev, answer, 1), 1);
        QCOMPARE(hid_get_feature_report(h.dev, answer, sizeof answer), 2);
        QCOMPARE(answer[1], uint8_t(0x33));
        answer[0] = 0x06;
        QCOMPARE(hid_get_feature_report(h.dev, answer, sizeof answer), -1);
        QCOMPARE(QString::fromWCharArray(hid_error(h.dev)), QString("Broken pipe"));
    }

    void stringsAndDescriptorFitTheBuffer()
    {
        auto desc = Interface("sim/1");
        desc.manufacturer = L"Tremwick";
        desc.reportDescriptor = {1, 2, 3, 4, 5};
        desc.indexedStrings = {{3, L"abc"}};
        CSimHidStack::Instance().Plug(desc);
        SHandle h(hid_open_path("sim/1"));
        wchar_t text[4];
        QCOMPARE(hid_get_manufacturer_string(h.dev, text, 4), 0);
        QCOMPARE(QString::fromWCharArray(text), QString("Tre"));
        QCOMPARE(hid_get_serial_number_string(h.dev, text, 4), 0);
        QCOMPARE(QString::fromWCharArray(text), QString("S1"));
        QCOMPARE(hid_get_product_string(h.dev, text, 0), -1);
        QCOMPARE(hid_get_indexed_string(h.dev, 3, text, 4), 0);
        QCOMPARE(QString::fromWCharArray(text), QString("abc"));
        QCOMPARE(hid_get_indexed_string(h.dev, 4, text, 4), -1);
        unsigned char bytes[3];
        QCOMPARE(hid_get_report_descriptor(h.dev, bytes, sizeof bytes), 3);
        QCOMPARE(bytes[2], uint8_t(3));
    }

    void countersAndVersion()
    {
        auto& stack = CSimHidStack::Instance();
        hid_init();
        hid_init();
        hid_exit();
        QCOMPARE(stack.InitCount(), 2);
        QCOMPARE(stack.ExitCount(), 1);
        stack.Reset();
        QCOMPARE(stack.InitCount(), 0);
        QCOMPARE(hid_version()->minor, HID_API_VERSION_MINOR);
        QCOMPARE(QString(hid_version_str()), QString(HID_API_VERSION_STR));
    }

    void nullHandlesFail()
    {
        unsigned char byte = 0;
        wchar_t text[4];
        QCOMPARE(hid_write(nullptr, &byte, 1), -1);
        QCOMPARE(hid_read(nullptr, &byte, 1), -1);
        QCOMPARE(hid_get_feature_report(nullptr, &byte, 1), -1);
        QCOMPARE(hid_get_product_string(nullptr, text, 4), -1);
        QVERIFY(hid_get_device_info(nullptr) == nullptr);
        QVERIFY(hid_open_path(nullptr) == nullptr);
        QVERIFY(hid_error(nullptr) != nullptr);
        hid_close(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestSimHid)
#include "tst_simhid.moc"
