// The adapter engine against an adapter whose answers come from the fuzzer.
//
// A scripted adapter answers every write and read request with the next
// group of input reports from the fuzz input (any report IDs, lengths and
// contents) or fails the USB transfer, whole or short. Stale reports may wait
// in the input queue before an operation. The engine must not crash, and a
// reference walk over the same reports predicts exactly what it returns: the
// result, the last error, the status bytes and the data. Read data can thus
// never be longer than the count nor hold a byte that did not arrive.
//
// A request whose answer runs out would keep the engine waiting for its
// 1000 ms limit. A watcher unplugs the adapter as soon as the engine waits
// on an empty queue, so that wait ends at once with the HID layer's
// disconnect text; libFuzzer's -timeout catches any wait that does not end.

#include "fuzz/fuzzcheck.h"
#include "i2c/orvdevicefactory.h"
#include "i2c/orvi2c.h"
#include "i2c/orvusbids.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace {

using Report = std::vector<uint8_t>;

constexpr size_t REPORT_LENGTH = 64;
constexpr size_t MAX_CHUNK = 62;
constexpr uint8_t REPORT_WRITE = 0x02;
constexpr uint8_t REPORT_READ = 0x03;
constexpr int MAX_OPERATIONS = 8;
constexpr int MAX_ANSWER_REPORTS = 8;

const std::wstring SERIAL = L"FUZZ-0001";
const std::string PATH = "fuzz/orvane-i2c";
const std::wstring TRANSFER_FAILED = L"Broken pipe";
// The simulated stack's texts for a read and a write on an unplugged device.
const std::string READ_DISCONNECTED =
    "hid_read_timeout: unexpected poll error (device disconnected)";
const std::string WRITE_DISCONNECTED = "No such device";
const std::string SHORT_WRITE = "Incomplete write: 63 of 64 bytes";

// One report with an input report ID from the fuzz input: mostly the
// expected ID and the full length, sometimes anything.
Report ConsumeReport(FuzzedDataProvider& input, uint8_t expectedId)
{
    const auto shape = input.ConsumeIntegral<uint8_t>();
    const size_t length =
        (shape & 0x80) ? input.ConsumeIntegralInRange<size_t>(1, 70) : REPORT_LENGTH;
    Report report = input.ConsumeBytes<uint8_t>(length);
    report.resize(length, 0);
    report[0] = (shape & 0x40) ? input.ConsumeIntegral<uint8_t>() : expectedId;
    return report;
}

// What the adapter made of one write or read request.
struct SExchange {
    Report request;
    int result = 0; // what hid_write returned
    std::vector<Report> answer;
};

class CScriptedAdapter : public CSimHidBehaviour {
public:
    explicit CScriptedAdapter(FuzzedDataProvider& input) : m_input(input) {}

    int OnOutputReport(CSimHidDevice& device, std::span<const uint8_t> report,
                       std::wstring& error) override
    {
        const int whole = static_cast<int>(report.size());
        if (report.empty() || (report[0] != REPORT_WRITE && report[0] != REPORT_READ))
            return whole; // enable reports: never answered
        SExchange exchange{Report(report.begin(), report.end()), whole, {}};
        // An exhausted input reads as 0: the adapter stops answering.
        const auto outcome = m_input.ConsumeIntegral<uint8_t>();
        if (outcome == 0xFF) {
            exchange.result = -1;
            error = TRANSFER_FAILED;
        } else if (outcome == 0xFE) {
            exchange.result = whole - 1;
        } else {
            const int count = m_input.ConsumeIntegralInRange(0, MAX_ANSWER_REPORTS);
            for (int i = 0; i < count; ++i) {
                exchange.answer.push_back(ConsumeReport(m_input, report[0]));
                device.QueueInputReport(exchange.answer.back());
            }
        }
        m_exchanges.push_back(exchange);
        return exchange.result;
    }

    const std::vector<SExchange>& Exchanges() const { return m_exchanges; }

private:
    FuzzedDataProvider& m_input;
    std::vector<SExchange> m_exchanges;
};

// Unplugs the armed device once a reader waits on it. All answers are queued
// at once, so a waiting reader has read everything there was.
class CWaitWatcher {
public:
    CWaitWatcher() : m_thread([this] { Run(); }) {}
    ~CWaitWatcher()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    CWaitWatcher(const CWaitWatcher&) = delete;
    CWaitWatcher& operator=(const CWaitWatcher&) = delete;

    void Arm(std::shared_ptr<CSimHidDevice> device)
    {
        {
            std::lock_guard lock(m_mutex);
            m_device = std::move(device);
            m_fired = false;
        }
        m_wake.notify_all();
    }

    // Whether the watcher had to unplug since Arm.
    bool Disarm()
    {
        std::lock_guard lock(m_mutex);
        m_device.reset();
        return m_fired;
    }

private:
    void Run()
    {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            if (!m_device) {
                m_wake.wait(lock);
            } else if (m_device->WaitingReaderCount() > 0) {
                CSimHidStack::Instance().Unplug(m_device->Description().path);
                m_fired = true;
                m_device.reset();
            } else {
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                lock.lock();
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::shared_ptr<CSimHidDevice> m_device;
    bool m_fired = false;
    bool m_stop = false;
    std::thread m_thread;
};

// The engine's rules walked over the exchanges the adapter recorded.
class CReference {
public:
    CReference(EOrvType type, size_t maxReadCount, const std::vector<SExchange>& exchanges)
        : m_orv5(type == EOrvType::Orv5), m_maxReadCount(maxReadCount), m_exchanges(exchanges)
    {
    }

    void QueueStale(const Report& report) { m_queue.push_back(report); }
    bool IsUnplugged() const { return m_unplugged; }
    size_t RequestCount() const { return m_next; }
    const std::string& LastError() const { return m_lastError; }

    bool Write(const Report& data, SI2cWriteResult& result, bool start, bool stop)
    {
        result = {};
        if (m_orv5 && data.size() == 1 && start && stop)
            return Fail("Address-only write is not supported by the Orvane5");
        if (data.empty())
            return Fail("No data to write");
        Drain();
        for (size_t offset = 0; offset < data.size(); offset += MAX_CHUNK) {
            const size_t count = std::min(MAX_CHUNK, data.size() - offset);
            const bool last = offset + count >= data.size();
            Report report(REPORT_LENGTH, 0);
            report[0] = REPORT_WRITE;
            report[1] = static_cast<uint8_t>(count | (offset == 0 && start ? 0x80 : 0) |
                                             (last && stop ? 0x40 : 0));
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), count,
                        report.begin() + 2);
            Report acknowledge;
            if (!Send(report) || !Receive(REPORT_WRITE, acknowledge))
                return false;
            result.status = acknowledge[1];
            result.errorCode = acknowledge[2];
            if (result.status & 0x40)
                return Fail("Arbitration lost");
            if (result.status & 0x80)
                return Fail(ErrorCodeText(result.errorCode));
        }
        return true;
    }

    bool Read(uint8_t address, size_t count, SI2cReadResult& result)
    {
        result = {};
        if (address & 0x80)
            return Fail("Invalid address");
        if (count == 0 || count > m_maxReadCount)
            return Fail("Invalid read count, this device reads 1.." +
                        std::to_string(m_maxReadCount) + " bytes");
        Drain();
        Report request(REPORT_LENGTH, 0);
        request[0] = REPORT_READ;
        request[1] = static_cast<uint8_t>(count & 0xFF);
        request[2] = static_cast<uint8_t>((address << 1) | 1);
        if (!m_orv5)
            request[3] = static_cast<uint8_t>(count >> 8);
        if (!Send(request))
            return false;
        while (result.data.size() < count) {
            Report report;
            if (!Receive(REPORT_READ, report))
                return false;
            result.status = report[1];
            if (result.status & 0x40)
                return Fail("Arbitration lost");
            size_t n = result.status & 0x3F;
            if ((result.status & 0x80) || n == 0)
                return Fail("NACK received");
            n = std::min(n == 63 ? MAX_CHUNK : n, count - result.data.size());
            result.data.insert(result.data.end(), report.begin() + 2, report.begin() + 2 + n);
        }
        return true;
    }

    bool Probe(uint8_t address)
    {
        if (m_orv5) {
            SI2cReadResult scratch;
            return Read(address, 1, scratch);
        }
        SI2cWriteResult scratch;
        return Write({static_cast<uint8_t>(address << 1)}, scratch, true, true);
    }

private:
    static const char* ErrorCodeText(uint8_t code)
    {
        switch (code) {
        case 0:
            return "Error";
        case 1:
            return "Wrong number of bytes";
        case 2:
            return "Transaction without start";
        case 3:
            return "NACK received";
        case 4:
            return "Bus error";
        default:
            return "Unknown error";
        }
    }

    bool Fail(std::string text)
    {
        m_lastError = std::move(text);
        return false;
    }

    void Drain() { m_queue.clear(); }

    bool Send(const Report& report)
    {
        if (m_unplugged)
            return Fail(WRITE_DISCONNECTED);
        FUZZ_CHECK(m_next < m_exchanges.size());
        const SExchange& exchange = m_exchanges[m_next++];
        FUZZ_CHECK(exchange.request == report);
        m_queue.insert(m_queue.end(), exchange.answer.begin(), exchange.answer.end());
        if (exchange.result < 0)
            return Fail(std::string(TRANSFER_FAILED.begin(), TRANSFER_FAILED.end()));
        if (exchange.result != static_cast<int>(report.size()))
            return Fail(SHORT_WRITE);
        return true;
    }

    bool Receive(uint8_t reportId, Report& report)
    {
        for (;;) {
            if (m_unplugged)
                return Fail(READ_DISCONNECTED);
            if (m_queue.empty()) {
                m_unplugged = true; // the watcher's doing
                return Fail(READ_DISCONNECTED);
            }
            report = m_queue.front();
            m_queue.pop_front();
            // Reports are read into 64 bytes.
            if (report.size() > REPORT_LENGTH)
                report.resize(REPORT_LENGTH);
            if (report.size() > 2 && report[0] == reportId) {
                report.resize(REPORT_LENGTH, 0);
                return true;
            }
        }
    }

    const bool m_orv5;
    const size_t m_maxReadCount;
    const std::vector<SExchange>& m_exchanges;
    size_t m_next = 0;
    std::deque<Report> m_queue;
    bool m_unplugged = false;
    std::string m_lastError;
};

ESimOrvModel SimModel(EOrvType type)
{
    switch (type) {
    case EOrvType::Orv3:
        return ESimOrvModel::Orv3;
    case EOrvType::Orv5:
        return ESimOrvModel::Orv5;
    case EOrvType::Orv7:
        return ESimOrvModel::Orv7;
    }
    return ESimOrvModel::Orv3;
}

std::shared_ptr<CSimHidDevice> PlugScriptedAdapter(EOrvType type,
                                                   std::shared_ptr<CScriptedAdapter> behaviour)
{
    SSimHidInterface description;
    description.path = PATH;
    description.vendorId = kVendorId;
    description.productId = CSimOrvAdapter::ProductId(SimModel(type));
    description.serialNumber = SERIAL;
    description.product = L"Scripted adapter";
    description.interfaceNumber = CSimOrvAdapter::I2cInterfaceNumber(SimModel(type));
    description.recordWrites = false;
    return CSimHidStack::Instance().Plug(description, std::move(behaviour));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CWaitWatcher watcher;
    FuzzedDataProvider input(data, size);

    const EOrvType type = input.PickValueInArray({EOrvType::Orv3, EOrvType::Orv5, EOrvType::Orv7});
    CSimHidStack::Instance().Reset();
    auto adapter = std::make_shared<CScriptedAdapter>(input);
    const std::shared_ptr<CSimHidDevice> device = PlugScriptedAdapter(type, adapter);
    FUZZ_CHECK(device != nullptr);
    std::unique_ptr<COrvI2c> i2c = COrvDeviceFactory::Create(type);
    FUZZ_CHECK(i2c && i2c->Connect(SERIAL, EI2cSpeed::Speed100k));

    CReference reference(type, i2c->GetMaxReadCount(), adapter->Exchanges());
    watcher.Arm(device);
    for (int operation = 0; operation < MAX_OPERATIONS && input.remaining_bytes() > 0;
         ++operation) {
        const int stale = input.ConsumeIntegralInRange(0, 2);
        for (int i = 0; i < stale; ++i) {
            const Report report = ConsumeReport(input, input.ConsumeIntegral<uint8_t>());
            device->QueueInputReport(report);
            reference.QueueStale(report);
        }

        switch (input.ConsumeIntegralInRange(0, 2)) {
        case 0: {
            const Report bytes =
                input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 200));
            const bool start = input.ConsumeBool();
            const bool stop = input.ConsumeBool();
            SI2cWriteResult result{0xAA, 0xAA};
            SI2cWriteResult expected;
            const bool ok = i2c->Write(bytes, result, start, stop);
            FUZZ_CHECK(ok == reference.Write(bytes, expected, start, stop));
            FUZZ_CHECK(result.status == expected.status && result.errorCode == expected.errorCode);
            break;
        }
        case 1: {
            const auto address = input.ConsumeIntegral<uint8_t>();
            const size_t count =
                input.ConsumeBool()
                    ? input.ConsumeIntegralInRange<size_t>(0, 200)
                    : input.ConsumeIntegralInRange<size_t>(0, i2c->GetMaxReadCount() + 1);
            SI2cReadResult result{0xAA, Report(3, 0xAA)};
            SI2cReadResult expected;
            const bool ok = i2c->Read(address, count, result);
            FUZZ_CHECK(ok == reference.Read(address, count, expected));
            FUZZ_CHECK(result.data.size() <= count);
            FUZZ_CHECK(ok == (result.data.size() == count && count > 0));
            FUZZ_CHECK(result.status == expected.status && result.data == expected.data);
            break;
        }
        default: {
            const auto address = input.ConsumeIntegralInRange<uint8_t>(0, 0x7F);
            FUZZ_CHECK(i2c->Probe(address) == reference.Probe(address));
            break;
        }
        }
        if (i2c->GetLastError() != reference.LastError()) {
            std::fprintf(stderr, "engine: \"%s\"\nreference: \"%s\"\n", i2c->GetLastError().c_str(),
                         reference.LastError().c_str());
        }
        FUZZ_CHECK(i2c->GetLastError() == reference.LastError());
        if (reference.IsUnplugged())
            break;
    }
    // The engine sent exactly the requests the reference sent, and waited on
    // an empty queue exactly when the reference ran out of reports.
    FUZZ_CHECK(watcher.Disarm() == reference.IsUnplugged());
    FUZZ_CHECK(adapter->Exchanges().size() == reference.RequestCount());
    i2c.reset();
    CSimHidStack::Instance().Reset();
    return 0;
}
