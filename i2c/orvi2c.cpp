#include "i2c/orvi2c.h"

#include "i2c/orvusbids.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

namespace {

constexpr size_t REPORT_LENGTH = 64;
constexpr size_t MAX_WRITE_CHUNK = 62;
constexpr int RECEIVE_TIMEOUT_MS = 1000;
// The longest a wait goes without asking the cancel check.
constexpr int WAIT_SLICE_MS = 50;

constexpr uint8_t REPORT_ENABLE = 0x01;
constexpr uint8_t REPORT_WRITE = 0x02;
constexpr uint8_t REPORT_READ = 0x03;

constexpr uint8_t FLAG_START = 0x80;
constexpr uint8_t FLAG_STOP = 0x40;
constexpr uint8_t STATUS_ERROR = 0x80;
constexpr uint8_t STATUS_ARBITRATION_LOST = 0x40;
constexpr uint8_t STATUS_COUNT_MASK = 0x3F;
constexpr uint8_t COUNT_TAKEN_AS_MAX = 63;

constexpr const char* NOT_CONNECTED = "Not connected";
constexpr const char* SPEED_NOT_SUPPORTED = "Speed not supported by this device";
constexpr const char* PULLUPS_FIXED = "Pull-ups can not be switched on this device";
constexpr const char* NO_DATA = "No data to write";
constexpr const char* ARBITRATION_LOST = "Arbitration lost";
constexpr const char* NACK_RECEIVED = "NACK received";
constexpr const char* INVALID_ADDRESS = "Invalid address";
constexpr const char* DEVICE_NOT_FOUND = "Device not found";
constexpr const char* TIMEOUT = "Timeout";
constexpr const char* CANCELLED = "Cancelled";

// What the HID layer says when the device went away: a failed write (ENODEV)
// and a failed wait for input, as hidapi on Linux and the simulated stack
// word them. The system gives no other sign of an unplug at that moment.
constexpr const char* HID_GONE_TEXTS[] = {"No such device", "device disconnected"};
// What it says when the system refused to open the device.
constexpr const char* HID_DENIED_TEXTS[] = {"Permission denied", "Access denied"};

struct SErrorCode {
    EOrvError kind;
    const char* text;
};

SErrorCode ErrorCodeOf(uint8_t code)
{
    switch (code) {
    case 0:
        return {EOrvError::AdapterError, "Error"};
    case 1:
        return {EOrvError::WrongCount, "Wrong number of bytes"};
    case 2:
        return {EOrvError::NoStart, "Transaction without start"};
    case 3:
        return {EOrvError::Nack, NACK_RECEIVED};
    case 4:
        return {EOrvError::BusError, "Bus error"};
    default:
        return {EOrvError::AdapterError, "Unknown error"};
    }
}

template <size_t N> bool Mentions(const std::string& text, const char* const (&needles)[N])
{
    return std::any_of(std::begin(needles), std::end(needles),
                       [&](const char* needle) { return text.find(needle) != std::string::npos; });
}

// Serial numbers are ordered by UTF-16 code units, as the adapters report
// them; wchar_t holds whole code points here, which order differently above
// U+FFFF.
std::u16string Utf16Key(const std::wstring& text)
{
    std::u16string key;
    key.reserve(text.size());
    for (wchar_t c : text) {
        const auto cp = static_cast<uint32_t>(c);
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            key.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            key.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            key.push_back(static_cast<char16_t>(cp));
        }
    }
    return key;
}

} // namespace

COrvI2c::COrvI2c(uint16_t productId, int interfaceNumber)
    : m_productId(productId), m_interfaceNumber(interfaceNumber)
{
}

COrvI2c::~COrvI2c()
{
    Disconnect();
}

bool COrvI2c::Connect(const std::wstring& serialNumber, EI2cSpeed speed)
{
    // A new connection first ends the old one and forgets its adapter.
    Disconnect();

    if (!IsSpeedSupported(speed)) {
        SetLastError(EOrvError::Unsupported, SPEED_NOT_SUPPORTED);
        return false;
    }

    SHidDeviceInfo chosen;
    if (!FindInterface(serialNumber, chosen)) {
        SetLastError(EOrvError::Gone, DEVICE_NOT_FOUND);
        return false;
    }
    // Taken before the device opens: a refused program never sees a report.
    std::string holder;
    if (!m_lock.Acquire(chosen.path, holder)) {
        SetLastError(EOrvError::Busy, "Adapter in use by " + holder);
        return false;
    }
    if (!m_hid.OpenPath(chosen.path)) {
        const std::string error = m_hid.GetLastError();
        SetLastError(Mentions(error, HID_DENIED_TEXTS) ? EOrvError::AccessDenied
                                                       : EOrvError::UsbError,
                     error);
        m_lock.Release();
        return false;
    }
    if (!HasAdapterReports()) {
        m_hid.Close();
        m_lock.Release();
        return false;
    }

    m_serialNumber = serialNumber;
    m_firmware = chosen.releaseNumber;
    m_productName = ProductNameOf(chosen);

    if (SetSpeed(speed))
        return true;

    std::string error = m_lastError;
    const EOrvError kind = m_lastErrorKind;
    Disconnect();
    SetLastError(kind, std::move(error));
    return false;
}

bool COrvI2c::HasAdapterReports()
{
    // A device with the family's IDs whose reports are shorter would take
    // each report in pieces and never answer in a form the engine reads:
    // every transaction would wait for its deadline. A descriptor that can
    // not be read, or declares no reports, says nothing against the device.
    size_t input = 0;
    size_t output = 0;
    size_t feature = 0;
    if (!m_hid.GetReportByteLengths(input, output, feature) || (input == 0 && output == 0) ||
        (input >= REPORT_LENGTH && output >= REPORT_LENGTH))
        return true;
    SetLastError(EOrvError::UsbError, "Not an Orvane I2C interface: its report descriptor gives " +
                                          std::to_string(input) + "-byte input and " +
                                          std::to_string(output) + "-byte output reports, not " +
                                          std::to_string(REPORT_LENGTH) + "-byte ones");
    return false;
}

bool COrvI2c::Describe(const std::wstring& serialNumber, std::wstring& productName,
                       uint16_t& firmware)
{
    SHidDeviceInfo info;
    if (!FindInterface(serialNumber, info)) {
        SetLastError(EOrvError::Gone, DEVICE_NOT_FOUND);
        return false;
    }
    productName = ProductNameOf(info);
    firmware = info.releaseNumber;
    return true;
}

bool COrvI2c::FindInterface(const std::wstring& serialNumber, SHidDeviceInfo& info) const
{
    std::vector<SHidDeviceInfo> devices;
    CSimpleHidClass::EnumerateDevices(devices, kVendorId, m_productId);
    bool found = false;
    for (const SHidDeviceInfo& device : devices) {
        // The last match wins: a composite device may list its interface
        // more than once.
        if (device.interfaceNumber == m_interfaceNumber && device.serialNumber == serialNumber) {
            info = device;
            found = true;
        }
    }
    return found;
}

std::wstring COrvI2c::ProductNameOf(const SHidDeviceInfo& info) const
{
    return info.product.empty() ? GetTypeName() : info.product;
}

void COrvI2c::Disconnect()
{
    if (m_hid.IsOpen()) {
        SendEnable(false, 0);
        m_hid.Close();
    }
    // Only this process's handle: a copy that fork() made keeps the lock.
    m_lock.Release();
    m_serialNumber.clear();
    m_productName.clear();
    m_firmware = 0;
    m_speed = EI2cSpeed::Speed100k;
}

void COrvI2c::Abandon()
{
    m_hid.Close();
    Disconnect();
}

bool COrvI2c::IsDeviceAlive()
{
    if (!m_hid.IsOpen())
        return false;
    std::vector<uint8_t> discarded;
    int received = 0;
    do {
        received = m_hid.ReadCount(discarded, REPORT_LENGTH, 0);
    } while (received > 0);
    return received == 0;
}

bool COrvI2c::IsConnected() const
{
    return m_hid.IsOpen();
}

bool COrvI2c::IsPresent() const
{
    return m_hid.IsOpen() && IsListed();
}

bool COrvI2c::IsListed() const
{
    std::vector<std::wstring> serialNumbers;
    EnumerateInterface(m_productId, m_interfaceNumber, serialNumbers);
    return std::find(serialNumbers.begin(), serialNumbers.end(), m_serialNumber) !=
           serialNumbers.end();
}

bool COrvI2c::Read(uint8_t address, size_t count, SI2cReadResult& result)
{
    result.status = 0;
    std::vector<uint8_t>().swap(result.data);

    if (address & 0x80) {
        SetLastError(EOrvError::InvalidArgument, INVALID_ADDRESS);
        return false;
    }
    if (count == 0 || count > GetMaxReadCount()) {
        SetLastError(EOrvError::InvalidArgument, "Invalid read count, this device reads 1.." +
                                                     std::to_string(GetMaxReadCount()) + " bytes");
        return false;
    }

    FlushInput();

    std::vector<uint8_t> report(REPORT_LENGTH, 0);
    report[0] = REPORT_READ;
    FillReadRequest(report, address, count);
    if (!SendReport(report))
        return false;

    result.data.reserve(count);
    while (result.data.size() < count) {
        if (!result.data.empty() && Cancelled()) {
            Resynchronise();
            return false;
        }
        if (!ReceiveReport(REPORT_READ, report))
            return false;
        const uint8_t status = report[1];
        result.status = status;
        if (status & STATUS_ARBITRATION_LOST) {
            SetLastError(EOrvError::ArbitrationLost, ARBITRATION_LOST);
            return false;
        }
        size_t n = status & STATUS_COUNT_MASK;
        // The read data report carries no error code: whatever went wrong
        // reads as a NACK.
        if ((status & STATUS_ERROR) || n == 0) {
            SetLastError(EOrvError::Nack, NACK_RECEIVED);
            return false;
        }
        if (n == COUNT_TAKEN_AS_MAX)
            n = MAX_WRITE_CHUNK;
        n = std::min(n, count - result.data.size());
        result.data.insert(result.data.end(), report.begin() + 2, report.begin() + 2 + n);
    }
    return true;
}

bool COrvI2c::SetSpeed(EI2cSpeed speed)
{
    if (!IsSpeedSupported(speed)) {
        SetLastError(EOrvError::Unsupported, SPEED_NOT_SUPPORTED);
        return false;
    }
    if (!ApplyConfiguration(speed))
        return false;
    m_speed = speed;
    return true;
}

EI2cSpeed COrvI2c::GetSpeed() const
{
    return m_speed;
}

std::wstring COrvI2c::GetSerialNumber() const
{
    return m_serialNumber;
}

std::wstring COrvI2c::GetProductName() const
{
    return m_productName;
}

uint16_t COrvI2c::GetFirmware() const
{
    return m_firmware;
}

std::string COrvI2c::GetLastError() const
{
    return m_lastError;
}

EOrvError COrvI2c::GetLastErrorKind() const
{
    return m_lastErrorKind;
}

void COrvI2c::SetCancelCheck(std::function<bool()> check)
{
    m_cancelCheck = std::move(check);
}

bool COrvI2c::EnumerateInterface(uint16_t productId, int interfaceNumber,
                                 std::vector<std::wstring>& serialNumbers)
{
    serialNumbers.clear();
    std::vector<SHidDeviceInfo> devices;
    if (!CSimpleHidClass::EnumerateDevices(devices, kVendorId, productId))
        return false;

    std::vector<std::pair<std::u16string, std::wstring>> keyed;
    for (SHidDeviceInfo& device : devices) {
        if (device.interfaceNumber == interfaceNumber)
            keyed.emplace_back(Utf16Key(device.serialNumber), std::move(device.serialNumber));
    }
    std::sort(keyed.begin(), keyed.end());
    keyed.erase(std::unique(keyed.begin(), keyed.end()), keyed.end());
    serialNumbers.reserve(keyed.size());
    for (auto& entry : keyed)
        serialNumbers.push_back(std::move(entry.second));
    return true;
}

bool COrvI2c::Write(const std::vector<uint8_t>& data, SI2cWriteResult& result, bool generateStart,
                    bool generateStop)
{
    result = SI2cWriteResult{};
    if (data.empty()) {
        SetLastError(EOrvError::InvalidArgument, NO_DATA);
        return false;
    }

    FlushInput();

    std::vector<uint8_t> report;
    std::vector<uint8_t> acknowledge;
    for (size_t offset = 0; offset < data.size(); offset += MAX_WRITE_CHUNK) {
        if (offset > 0 && Cancelled()) {
            Resynchronise();
            return false;
        }
        const size_t count = std::min(MAX_WRITE_CHUNK, data.size() - offset);
        const bool last = offset + count >= data.size();

        report.assign(REPORT_LENGTH, 0);
        report[0] = REPORT_WRITE;
        report[1] = static_cast<uint8_t>(count);
        if (offset == 0 && generateStart)
            report[1] |= FLAG_START;
        if (last && generateStop)
            report[1] |= FLAG_STOP;
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), count, report.begin() + 2);

        if (!SendReport(report))
            return false;
        if (!ReceiveReport(REPORT_WRITE, acknowledge))
            return false;

        result.status = acknowledge[1];
        result.errorCode = acknowledge[2];
        if (result.status & STATUS_ARBITRATION_LOST) {
            SetLastError(EOrvError::ArbitrationLost, ARBITRATION_LOST);
            return false;
        }
        if (result.status & STATUS_ERROR) {
            const SErrorCode code = ErrorCodeOf(result.errorCode);
            SetLastError(code.kind, code.text);
            return false;
        }
    }
    return true;
}

bool COrvI2c::Probe(uint8_t address)
{
    SI2cWriteResult scratch;
    return Write({static_cast<uint8_t>(address << 1)}, scratch, true, true);
}

bool COrvI2c::IsAddressOnlyWriteSupported() const
{
    return true;
}

bool COrvI2c::HasPullUpSwitch() const
{
    return false;
}

bool COrvI2c::SetPullUpsEnabled(bool enabled)
{
    if (enabled)
        return true;
    SetLastError(EOrvError::Unsupported, PULLUPS_FIXED);
    return false;
}

bool COrvI2c::GetPullUpsEnabled() const
{
    return true;
}

bool COrvI2c::ApplyConfiguration(EI2cSpeed speed)
{
    return SendEnable(true, GetEnableFlags(speed));
}

bool COrvI2c::SendReport(const std::vector<uint8_t>& report)
{
    if (!m_hid.IsOpen()) {
        SetLastError(EOrvError::NotConnected, NOT_CONNECTED);
        return false;
    }
    if (!m_hid.Write(report)) {
        SetHidError(m_hid.GetLastError());
        return false;
    }
    return true;
}

bool COrvI2c::ReceiveReport(uint8_t reportId, std::vector<uint8_t>& report)
{
    using Clock = std::chrono::steady_clock;
    // One deadline for the whole wait: a device that keeps sending other
    // reports must not hold the caller for ever.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(RECEIVE_TIMEOUT_MS);
    int remainingMs = RECEIVE_TIMEOUT_MS;
    for (;;) {
        // The wait goes in slices, so that a cancel is seen soon.
        const int sliceMs = m_cancelCheck ? std::min(remainingMs, WAIT_SLICE_MS) : remainingMs;
        const int received = m_hid.ReadCount(report, REPORT_LENGTH, sliceMs);
        if (received < 0) {
            SetHidError(m_hid.GetLastError());
            return false;
        }
        if (report.size() > 2 && report[0] == reportId) {
            report.resize(REPORT_LENGTH, 0);
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            report.clear();
            // An adapter pulled out stops answering before the system
            // notices; a missing answer from an unlisted adapter means it is
            // gone.
            SetLastError(IsListed() ? EOrvError::Timeout : EOrvError::Gone, TIMEOUT);
            return false;
        }
        if (Cancelled()) {
            report.clear();
            Resynchronise();
            return false;
        }
        remainingMs = static_cast<int>(left.count());
    }
}

void COrvI2c::FlushInput()
{
    std::vector<uint8_t> discarded;
    while (m_hid.Read(discarded, REPORT_LENGTH, 0)) {
    }
}

bool COrvI2c::SendEnable(bool enable, uint8_t flags)
{
    std::vector<uint8_t> report(REPORT_LENGTH, 0);
    report[0] = REPORT_ENABLE;
    report[1] = enable ? 1 : 0;
    report[2] = flags;
    return SendReport(report);
}

void COrvI2c::SetLastError(EOrvError kind, std::string text)
{
    m_lastErrorKind = kind;
    m_lastError = std::move(text);
}

void COrvI2c::SetHidError(std::string text)
{
    const bool gone = Mentions(text, HID_GONE_TEXTS) || !IsListed();
    SetLastError(gone ? EOrvError::Gone : EOrvError::UsbError, std::move(text));
}

bool COrvI2c::Cancelled()
{
    if (!m_cancelCheck || !m_cancelCheck())
        return false;
    SetLastError(EOrvError::Cancelled, CANCELLED);
    return true;
}

void COrvI2c::Resynchronise()
{
    // The last error stays "Cancelled" whatever these reports meet.
    const std::string error = m_lastError;
    const EOrvError kind = m_lastErrorKind;
    if (SendEnable(false, 0))
        ApplyConfiguration(m_speed);
    FlushInput();
    SetLastError(kind, error);
}
