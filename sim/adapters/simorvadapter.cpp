#include "sim/adapters/simorvadapter.h"

#include "i2c/orvusbids.h"
#include "sim/adapters/simbh1750.h"
#include "sim/adapters/simeeprom24c02.h"
#include "sim/adapters/simlm75.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

namespace {

constexpr size_t REPORT_LENGTH = 64;
constexpr size_t MAX_CHUNK = 62;

constexpr uint8_t REPORT_ENABLE = 0x01;
constexpr uint8_t REPORT_WRITE = 0x02;
constexpr uint8_t REPORT_READ = 0x03;

constexpr uint8_t FLAG_START = 0x80;
constexpr uint8_t FLAG_STOP = 0x40;
constexpr uint8_t COUNT_MASK = 0x3F;
constexpr uint8_t FLAG_PULLUPS_OFF = 0x80;

constexpr uint8_t STATUS_ERROR = 0x80;
constexpr uint8_t STATUS_ARBITRATION_LOST = 0x40;

constexpr uint8_t CODE_ERROR = 0;
constexpr uint8_t CODE_WRONG_COUNT = 1;
constexpr uint8_t CODE_NO_START = 2;
constexpr uint8_t CODE_NACK = 3;
constexpr uint8_t CODE_BUS_ERROR = 4;

constexpr uint16_t USAGE_PAGE_VENDOR = 0xFF00;

// Vendor-defined reports 1 to 3, 63 data bytes each way.
const std::vector<uint8_t> I2C_REPORT_DESCRIPTOR = {
    0x06, 0x00, 0xFF, // Usage Page (vendor 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xA1, 0x01,       // Collection (Application)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x3F,       //   Report Count (63)
    0x85, 0x01,       //   Report ID (1)
    0x09, 0x01,       //   Usage (1)
    0x91, 0x02,       //   Output (Data, Var, Abs)
    0x85, 0x02,       //   Report ID (2)
    0x09, 0x02,       //   Usage (2)
    0x81, 0x02,       //   Input (Data, Var, Abs)
    0x09, 0x02,       //   Usage (2)
    0x91, 0x02,       //   Output (Data, Var, Abs)
    0x85, 0x03,       //   Report ID (3)
    0x09, 0x03,       //   Usage (3)
    0x81, 0x02,       //   Input (Data, Var, Abs)
    0x09, 0x03,       //   Usage (3)
    0x91, 0x02,       //   Output (Data, Var, Abs)
    0xC0,             // End Collection
};

// The other function of the composite device: a plain 8-byte vendor report.
const std::vector<uint8_t> OTHER_REPORT_DESCRIPTOR = {
    0x06, 0x01, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
    0x08, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0,
};

std::string ToUtf8(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) {
        const auto cp = static_cast<uint32_t>(c);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::vector<uint8_t> MakeReport(uint8_t id, uint8_t byte1, uint8_t byte2 = 0)
{
    std::vector<uint8_t> report(REPORT_LENGTH, 0);
    report[0] = id;
    report[1] = byte1;
    report[2] = byte2;
    return report;
}

// A report cut or padded to the full length, so that short reports read as
// zero bytes.
std::array<uint8_t, REPORT_LENGTH> Padded(std::span<const uint8_t> report)
{
    std::array<uint8_t, REPORT_LENGTH> padded{};
    std::copy_n(report.begin(), std::min(report.size(), REPORT_LENGTH), padded.begin());
    return padded;
}

// The byte count of a read request: 16 bits, or on the Orvane5 8 bits with
// 0 for 256.
size_t readCountOf(ESimOrvModel model, std::span<const uint8_t> report)
{
    const size_t count = report[1];
    if (model == ESimOrvModel::Orv5)
        return count == 0 ? 256 : count;
    return count | static_cast<size_t>(report[3]) << 8;
}

} // namespace

CSimOrvAdapter::CSimOrvAdapter(SPrivate, ESimOrvModel model, std::wstring serialNumber)
    : m_model(model), m_serialNumber(std::move(serialNumber))
{
}

std::wstring CSimOrvAdapter::ModelName(ESimOrvModel model)
{
    switch (model) {
    case ESimOrvModel::Orv3:
        return L"Orvane3";
    case ESimOrvModel::Orv5:
        return L"Orvane5";
    case ESimOrvModel::Orv7:
        return L"Orvane7";
    }
    return {};
}

uint16_t CSimOrvAdapter::ProductId(ESimOrvModel model)
{
    switch (model) {
    case ESimOrvModel::Orv3:
        return kProductIdOrv3;
    case ESimOrvModel::Orv5:
        return kProductIdOrv5;
    case ESimOrvModel::Orv7:
        return kProductIdOrv7;
    }
    return 0;
}

int CSimOrvAdapter::I2cInterfaceNumber(ESimOrvModel model)
{
    return model == ESimOrvModel::Orv5 ? 1 : 2;
}

std::shared_ptr<CSimOrvAdapter> CSimOrvAdapter::Plug(ESimOrvModel model, std::wstring serialNumber,
                                                     SSimOrvOptions options)
{
    auto adapter = std::make_shared<CSimOrvAdapter>(SPrivate{}, model, serialNumber);
    if (options.defaultDevices) {
        adapter->AddDevice(CSimBh1750::DEFAULT_ADDRESS, std::make_shared<CSimBh1750>());
        adapter->AddDevice(CSimLm75::DEFAULT_ADDRESS, std::make_shared<CSimLm75>());
        adapter->AddDevice(CSimEeprom24c02::DEFAULT_ADDRESS, std::make_shared<CSimEeprom24c02>());
    }

    SSimHidInterface base;
    base.vendorId = kVendorId;
    base.productId = ProductId(model);
    base.serialNumber = serialNumber;
    base.manufacturer = L"Orvane";
    base.product = options.product.empty() ? ModelName(model) + L" USB-I2C" : options.product;
    base.releaseNumber = options.releaseNumber != 0    ? options.releaseNumber
                         : model == ESimOrvModel::Orv3 ? 0x0210
                         : model == ESimOrvModel::Orv5 ? 0x0105
                                                       : 0x0302;
    // The adapter records what it receives itself; the stack need not.
    base.recordWrites = false;

    const std::string prefix = "sim/" + ToUtf8(ModelName(model)) + "/" + ToUtf8(serialNumber);
    const int i2cInterface = I2cInterfaceNumber(model);

    std::vector<std::pair<SSimHidInterface, bool>> interfaces;
    for (int number = 0; number <= i2cInterface; ++number) {
        SSimHidInterface description = base;
        description.interfaceNumber = number;
        description.path = prefix + "/if" + std::to_string(number);
        const bool isI2c = number == i2cInterface;
        description.usagePage = USAGE_PAGE_VENDOR + (isI2c ? 0 : 1);
        description.usage = 1;
        description.reportDescriptor = isI2c ? I2C_REPORT_DESCRIPTOR : OTHER_REPORT_DESCRIPTOR;
        interfaces.emplace_back(description, isI2c);
    }
    if (options.duplicateI2cInterface) {
        SSimHidInterface description = interfaces.back().first;
        description.path += "b";
        interfaces.emplace_back(description, true);
    }

    std::vector<std::string> paths;
    for (auto& [description, isI2c] : interfaces) {
        const std::string path = description.path;
        std::shared_ptr<CSimHidBehaviour> behaviour;
        if (isI2c)
            behaviour = adapter;
        if (!CSimHidStack::Instance().Plug(std::move(description), behaviour)) {
            for (const std::string& plugged : paths)
                CSimHidStack::Instance().Unplug(plugged);
            return nullptr;
        }
        paths.push_back(path);
    }
    {
        std::lock_guard lock(adapter->m_mutex);
        adapter->m_paths = std::move(paths);
    }
    return adapter;
}

void CSimOrvAdapter::Unplug()
{
    std::vector<std::string> paths;
    {
        std::lock_guard lock(m_mutex);
        paths = m_paths;
        m_i2cMode = false;
        m_active.reset();
    }
    for (const std::string& path : paths)
        CSimHidStack::Instance().Unplug(path);
}

bool CSimOrvAdapter::IsPlugged() const
{
    const std::string path = I2cPath();
    const auto device = CSimHidStack::Instance().Find(path);
    return device && device->Behaviour().get() == this;
}

std::vector<std::string> CSimOrvAdapter::Paths() const
{
    std::lock_guard lock(m_mutex);
    return m_paths;
}

std::string CSimOrvAdapter::I2cPath() const
{
    std::lock_guard lock(m_mutex);
    return m_paths.empty() ? std::string() : m_paths.back();
}

bool CSimOrvAdapter::IsI2cMode() const
{
    std::lock_guard lock(m_mutex);
    return m_i2cMode;
}

uint8_t CSimOrvAdapter::EnableFlags() const
{
    std::lock_guard lock(m_mutex);
    return m_enableFlags;
}

void CSimOrvAdapter::AddDevice(uint8_t address, std::shared_ptr<CSimI2cDevice> device)
{
    std::lock_guard lock(m_mutex);
    m_devices[static_cast<uint8_t>(address & 0x7F)] = std::move(device);
}

void CSimOrvAdapter::RemoveDevice(uint8_t address)
{
    std::lock_guard lock(m_mutex);
    m_devices.erase(static_cast<uint8_t>(address & 0x7F));
}

std::shared_ptr<CSimI2cDevice> CSimOrvAdapter::Device(uint8_t address) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_devices.find(address);
    return it == m_devices.end() ? nullptr : it->second;
}

std::vector<CSimOrvAdapter::Report> CSimOrvAdapter::ReceivedReports() const
{
    std::lock_guard lock(m_mutex);
    return {m_received.begin(), m_received.end()};
}

std::vector<CSimOrvAdapter::Report> CSimOrvAdapter::TakeReceivedReports()
{
    std::lock_guard lock(m_mutex);
    std::vector<Report> taken(std::make_move_iterator(m_received.begin()),
                              std::make_move_iterator(m_received.end()));
    m_received.clear();
    return taken;
}

void CSimOrvAdapter::SetRecording(bool on)
{
    std::lock_guard lock(m_mutex);
    m_recording = on;
}

void CSimOrvAdapter::SetFault(ESimOrvFault fault, int count, int after)
{
    std::lock_guard lock(m_mutex);
    m_fault = fault;
    m_faultCount = count;
    m_faultAfter = static_cast<size_t>(std::max(after, 0));
}

void CSimOrvAdapter::ClearFaults()
{
    std::lock_guard lock(m_mutex);
    m_fault = ESimOrvFault::None;
    m_faultCount = -1;
    m_faultAfter = 0;
    m_replacements.clear();
    m_strays.clear();
    m_floodDuration = {};
}

void CSimOrvAdapter::ReplaceNextAnswer(std::vector<Report> reports)
{
    std::lock_guard lock(m_mutex);
    m_replacements.push_back(std::move(reports));
}

void CSimOrvAdapter::QueueStrayReports(std::vector<Report> reports)
{
    std::lock_guard lock(m_mutex);
    for (Report& report : reports)
        m_strays.push_back(std::move(report));
}

void CSimOrvAdapter::FloodNextAnswer(std::chrono::milliseconds duration,
                                     std::chrono::microseconds interval)
{
    std::lock_guard lock(m_mutex);
    m_floodDuration = duration;
    m_floodInterval = std::max(interval, std::chrono::microseconds(1));
}

void CSimOrvAdapter::SendUnsolicited(Report report)
{
    std::shared_ptr<CSimHidDevice> device = CSimHidStack::Instance().Find(I2cPath());
    if (device)
        device->QueueInputReport(std::move(report));
}

void CSimOrvAdapter::SetLatency(std::chrono::microseconds perReport)
{
    std::lock_guard lock(m_mutex);
    m_latency = perReport;
}

std::vector<CSimOrvAdapter::Report> CSimOrvAdapter::StrayReports()
{
    Report otherId(REPORT_LENGTH, 0xA5);
    otherId[0] = 0x05;
    Report enableEcho = MakeReport(REPORT_ENABLE, 0x01);
    return {otherId, {REPORT_WRITE, 0x00}, {REPORT_READ}, enableEcho, {0x00}};
}

int CSimOrvAdapter::OnOutputReport(CSimHidDevice& device, std::span<const uint8_t> report,
                                   std::wstring& error)
{
    const int accepted = static_cast<int>(report.size());
    std::vector<Report> answer;
    std::vector<Report> strays;
    std::chrono::milliseconds floodDuration{0};
    std::chrono::microseconds floodInterval{1000};
    std::chrono::microseconds latency{0};
    bool unplug = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_recording) {
            m_received.emplace_back(report.begin(), report.end());
            if (m_received.size() > RECORD_LIMIT)
                m_received.pop_front();
        }
        // A write error counts every output report; the other faults the
        // reports that answer write and read requests.
        const bool counted = m_fault == ESimOrvFault::WriteError;
        size_t passing = 0;
        if (counted && TakeFault(1, passing) == ESimOrvFault::WriteError) {
            error = L"Broken pipe";
            return -1;
        }
        if (report.empty())
            return accepted;
        const std::array<uint8_t, REPORT_LENGTH> padded = Padded(report);
        const uint8_t id = padded[0];
        if (id == REPORT_ENABLE) {
            Enable(padded);
            // Leaving I2C mode ends the transfer in progress: the answer
            // reports not sent yet never come.
            if (!m_i2cMode)
                device.DropPendingInputReports();
            return accepted;
        }
        if ((id != REPORT_WRITE && id != REPORT_READ) || !m_i2cMode)
            return accepted;

        if (!m_replacements.empty()) {
            answer = std::move(m_replacements.front());
            m_replacements.pop_front();
        } else {
            const size_t reports = id == REPORT_WRITE ? 1 : ReadAnswerReports(padded);
            const ESimOrvFault fault = counted ? ESimOrvFault::None : TakeFault(reports, passing);
            // The reports before the fault went as usual; the device sees
            // nothing of a request that the fault meets at once.
            if (fault == ESimOrvFault::None || passing > 0) {
                if (id == REPORT_WRITE)
                    HandleWrite(padded, answer);
                else
                    HandleRead(padded, answer);
            }
            if (fault != ESimOrvFault::None)
                answer.resize(std::min(answer.size(), passing));
            switch (fault) {
            case ESimOrvFault::None:
                break;
            case ESimOrvFault::NoAnswer:
            case ESimOrvFault::WriteError:
                break;
            case ESimOrvFault::Unplug:
                unplug = true;
                break;
            case ESimOrvFault::ArbitrationLost:
                m_active.reset();
                answer.push_back(id == REPORT_WRITE
                                     ? MakeReport(id, STATUS_ERROR | STATUS_ARBITRATION_LOST)
                                     : MakeReport(id, STATUS_ARBITRATION_LOST));
                break;
            case ESimOrvFault::BusError:
                m_active.reset();
                answer.push_back(id == REPORT_WRITE ? MakeReport(id, STATUS_ERROR, CODE_BUS_ERROR)
                                                    : MakeReport(id, STATUS_ERROR));
                break;
            }
        }
        strays = std::exchange(m_strays, {});
        floodDuration = std::exchange(m_floodDuration, {});
        floodInterval = m_floodInterval;
        latency = m_latency;
    }
    if (unplug) {
        // Outside the lock, which Unplug takes itself.
        Unplug();
        return accepted;
    }

    // Strays first, then the flood, then the answer, each report k
    // latencies after the request.
    using std::chrono::microseconds;
    microseconds due{0};
    for (Report& stray : strays) {
        due += latency;
        device.QueueInputReport(std::move(stray), due);
    }
    if (floodDuration.count() > 0) {
        const std::vector<Report> kinds = StrayReports();
        const microseconds start = due;
        size_t index = 0;
        for (microseconds t = floodInterval; t <= floodDuration; t += floodInterval)
            device.QueueInputReport(kinds[index++ % kinds.size()], start + t);
        due = start + microseconds(floodDuration);
    }
    for (Report& reply : answer) {
        due += latency;
        device.QueueInputReport(std::move(reply), due);
    }
    return accepted;
}

void CSimOrvAdapter::Enable(std::span<const uint8_t> report)
{
    m_active.reset();
    const uint8_t flags = report[2];
    if (report[1] == 1 && IsSpeedFlagsValid(flags)) {
        m_i2cMode = true;
        m_enableFlags = flags;
    } else {
        // Leaving, or flags this model does not know: out of I2C mode.
        m_i2cMode = false;
        m_enableFlags = 0;
    }
}

bool CSimOrvAdapter::IsSpeedFlagsValid(uint8_t flags) const
{
    if (m_model == ESimOrvModel::Orv5)
        return (flags & ~FLAG_PULLUPS_OFF) <= 2;
    return flags <= 4;
}

size_t CSimOrvAdapter::MaxReadCount() const
{
    return m_model == ESimOrvModel::Orv5 ? 256 : 65535;
}

ESimOrvFault CSimOrvAdapter::TakeFault(size_t reports, size_t& passing)
{
    passing = reports;
    if (m_fault == ESimOrvFault::None || m_faultCount == 0)
        return ESimOrvFault::None;
    if (m_faultAfter >= reports) {
        m_faultAfter -= reports;
        return ESimOrvFault::None;
    }
    passing = std::exchange(m_faultAfter, 0);
    const ESimOrvFault fault = m_fault;
    if (m_faultCount > 0 && --m_faultCount == 0)
        m_fault = ESimOrvFault::None;
    return fault;
}

void CSimOrvAdapter::HandleWrite(std::span<const uint8_t> report, std::vector<Report>& answer)
{
    const uint8_t control = report[1];
    const size_t count = control & COUNT_MASK;
    const bool start = control & FLAG_START;
    const bool stop = control & FLAG_STOP;
    auto acknowledge = [&](uint8_t status, uint8_t code) {
        answer.push_back(MakeReport(REPORT_WRITE, status, code));
    };

    if (count == 0 || count > MAX_CHUNK) {
        acknowledge(STATUS_ERROR, CODE_WRONG_COUNT);
        return;
    }
    // The Orvane5 can not put an address on the bus without data.
    if (m_model == ESimOrvModel::Orv5 && start && stop && count == 1) {
        acknowledge(STATUS_ERROR, CODE_WRONG_COUNT);
        return;
    }

    std::span<const uint8_t> data = report.subspan(2, count);
    // An address-only write reaches the device as a probe.
    if (start && stop && count == 1 && (data[0] & 1) == 0) {
        const auto it = m_devices.find(static_cast<uint8_t>(data[0] >> 1));
        m_active.reset();
        if (it == m_devices.end() || !it->second->Probe())
            acknowledge(STATUS_ERROR, CODE_NACK);
        else
            acknowledge(static_cast<uint8_t>(count), 0);
        return;
    }
    if (start) {
        const uint8_t addressByte = data[0];
        data = data.subspan(1);
        const auto it = m_devices.find(static_cast<uint8_t>(addressByte >> 1));
        const bool read = addressByte & 1;
        if (it == m_devices.end() || !it->second->Start(read)) {
            m_active.reset();
            acknowledge(STATUS_ERROR, CODE_NACK);
            return;
        }
        m_active = it->second;
        m_activeRead = read;
    } else if (!m_active) {
        acknowledge(STATUS_ERROR, CODE_NO_START);
        return;
    }

    if (!data.empty()) {
        if (m_activeRead) {
            // Data bytes after an address in read direction.
            m_active->Stop();
            m_active.reset();
            acknowledge(STATUS_ERROR, CODE_ERROR);
            return;
        }
        if (m_active->Write(data) < data.size()) {
            m_active->Stop();
            m_active.reset();
            acknowledge(STATUS_ERROR, CODE_NACK);
            return;
        }
    }
    if (stop) {
        m_active->Stop();
        m_active.reset();
    }
    acknowledge(static_cast<uint8_t>(count), 0);
}

size_t CSimOrvAdapter::ReadAnswerReports(std::span<const uint8_t> report) const
{
    const size_t count = readCountOf(m_model, report);
    // A refused read is answered by one report; a device that refuses its
    // start is not asked here, so such a read counts as a whole one.
    if (count == 0 || count > MaxReadCount() || !(report[2] & 1) ||
        m_devices.find(static_cast<uint8_t>(report[2] >> 1)) == m_devices.end())
        return 1;
    return (count + MAX_CHUNK - 1) / MAX_CHUNK;
}

void CSimOrvAdapter::HandleRead(std::span<const uint8_t> report, std::vector<Report>& answer)
{
    size_t count = readCountOf(m_model, report);
    const uint8_t addressByte = report[2];
    const auto it = m_devices.find(static_cast<uint8_t>(addressByte >> 1));
    // A repeated start ends whatever transaction a write left open.
    m_active.reset();
    if (count == 0 || count > MaxReadCount() || !(addressByte & 1) || it == m_devices.end() ||
        !it->second->Start(true)) {
        answer.push_back(MakeReport(REPORT_READ, STATUS_ERROR));
        return;
    }

    CSimI2cDevice& device = *it->second;
    device.ReadRequested(count);
    answer.reserve((count + MAX_CHUNK - 1) / MAX_CHUNK);
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(MAX_CHUNK, count - done);
        Report data = MakeReport(REPORT_READ, static_cast<uint8_t>(n));
        device.Read(std::span<uint8_t>(data.data() + 2, n));
        answer.push_back(std::move(data));
        done += n;
    }
    device.Stop();
}
