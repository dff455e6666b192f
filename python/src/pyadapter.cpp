#include "python/src/pyadapter.h"

#include "hid/widestring.h"
#include "i2c/orv5i2c.h"
#include "i2c/orvdevicefactory.h"
#include "i2c/orvi2c.h"

#include <array>
#include <cerrno>
#include <utility>

namespace {

// Bits of the adapter's status byte and codes of its acknowledge.
constexpr uint8_t STATUS_ERROR = 0x80;
constexpr uint8_t STATUS_ARBITRATION_LOST = 0x40;
constexpr uint8_t ERROR_CODE_NACK = 3;

constexpr const char* CLOSED = "I/O operation on a closed adapter";

struct SSpeedHz {
    EI2cSpeed speed;
    unsigned hz;
};

// Slowest first, as users think of them.
constexpr std::array<SSpeedHz, 5> SPEEDS{{
    {EI2cSpeed::Speed10k, 10'000},
    {EI2cSpeed::Speed50k, 50'000},
    {EI2cSpeed::Speed100k, 100'000},
    {EI2cSpeed::Speed400k, 400'000},
    {EI2cSpeed::Speed1000k, 1'000'000},
}};

std::string Utf8(const std::wstring& text)
{
    return WideToUtf8(text.c_str());
}

std::vector<unsigned> SupportedSpeeds(const COrvI2c& adapter)
{
    std::vector<unsigned> speeds;
    for (const SSpeedHz& entry : SPEEDS) {
        if (adapter.IsSpeedSupported(entry.speed))
            speeds.push_back(entry.hz);
    }
    return speeds;
}

std::string Join(const std::vector<std::string>& parts)
{
    std::string joined;
    for (const std::string& part : parts)
        joined += (joined.empty() ? "" : ", ") + part;
    return joined;
}

std::string TypeNameOf(EOrvType type)
{
    const std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(type);
    return adapter ? Utf8(adapter->GetTypeName()) : std::string();
}

// The errno a Linux I2C bus driver gives for the same failure: EREMOTEIO
// for a NACK (as the Raspberry Pi's does), EAGAIN for lost arbitration,
// ETIMEDOUT when the adapter did not answer, ENODEV when it is gone.
int ErrnoOf(const COrvI2c& adapter, const SI2cTransaction& transaction)
{
    if (transaction.status & STATUS_ARBITRATION_LOST)
        return EAGAIN;
    if (transaction.type == EI2cTransactionType::Write) {
        if (transaction.errorCode == ERROR_CODE_NACK)
            return EREMOTEIO;
        if (transaction.errorCode != 0)
            return EIO;
    } else if (transaction.status & STATUS_ERROR) {
        return EREMOTEIO;
    }
    // No answer from the adapter: a lost adapter or a late one.
    if (!adapter.IsPresent())
        return ENODEV;
    if (transaction.error == QLatin1String("Timeout"))
        return ETIMEDOUT;
    if (transaction.error == QLatin1String("NACK received"))
        return EREMOTEIO;
    return EIO;
}

} // namespace

std::vector<SPyAdapterInfo> ListPyAdapters()
{
    std::vector<SPyAdapterInfo> list;
    for (const SOrvDeviceEntry& entry : COrvDeviceFactory::EnumerateDevices()) {
        const std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(entry.type);
        std::wstring product;
        uint16_t firmware = 0;
        // An adapter unplugged since the listing is left out.
        if (!adapter || !adapter->Describe(entry.serialNumber, product, firmware))
            continue;
        SPyAdapterInfo info;
        info.model = Utf8(adapter->GetTypeName());
        info.serial = Utf8(entry.serialNumber);
        info.product = Utf8(product);
        info.firmware = firmware;
        info.speeds = SupportedSpeeds(*adapter);
        info.pullUpSwitch = adapter->HasPullUpSwitch();
        list.push_back(std::move(info));
    }
    return list;
}

CPyAdapter::CPyAdapter(const std::optional<std::string>& serial, unsigned speedHz, bool pullUps)
{
    const std::vector<SOrvDeviceEntry> entries = COrvDeviceFactory::EnumerateDevices();
    std::vector<std::string> attached;
    for (const SOrvDeviceEntry& entry : entries)
        attached.push_back(Utf8(entry.serialNumber) + " (" + TypeNameOf(entry.type) + ")");

    if (entries.empty()) {
        throw CI2cError(ENODEV, "no Orvane adapter is attached. Plug one in and check with "
                                "pellan_i2c.list_adapters().");
    }
    const SOrvDeviceEntry* chosen = nullptr;
    if (serial) {
        for (const SOrvDeviceEntry& entry : entries) {
            if (Utf8(entry.serialNumber) == *serial) {
                chosen = &entry;
                break;
            }
        }
        if (!chosen) {
            throw CI2cError(ENODEV, "no adapter with the serial number \"" + *serial +
                                        "\" is attached. Attached: " + Join(attached) +
                                        ". Give one of these as the serial number.");
        }
    } else if (entries.size() > 1) {
        throw std::invalid_argument(std::to_string(entries.size()) + " adapters are attached: " +
                                    Join(attached) + ". Choose one by its serial number, e.g. '" +
                                    Utf8(entries.front().serialNumber) + "'.");
    } else {
        chosen = &entries.front();
    }

    m_adapter = COrvDeviceFactory::Create(chosen->type);
    if (!m_adapter)
        throw CI2cError(ENODEV, "unknown adapter model.");
    m_model = Utf8(m_adapter->GetTypeName());
    m_serial = Utf8(chosen->serialNumber);
    const std::string name = m_model + " " + m_serial;

    const SSpeedHz* speed = nullptr;
    for (const SSpeedHz& entry : SPEEDS) {
        if (entry.hz == speedHz && m_adapter->IsSpeedSupported(entry.speed))
            speed = &entry;
    }
    if (!speed) {
        std::vector<std::string> speeds;
        for (unsigned hz : SupportedSpeeds(*m_adapter))
            speeds.push_back(std::to_string(hz));
        throw std::invalid_argument("the " + name + " does not run at " + std::to_string(speedHz) +
                                    " Hz. Give one of " + Join(speeds) + ".");
    }
    if (!pullUps && !m_adapter->HasPullUpSwitch()) {
        throw std::invalid_argument("the " + name +
                                    " has no switchable pull-ups; pull_ups=False works on the "
                                    "Orvane5 only.");
    }
    // Kept by the adapter and applied while connecting.
    if (!pullUps)
        m_adapter->SetPullUpsEnabled(false);
    if (!m_adapter->Connect(chosen->serialNumber, speed->speed)) {
        const std::string error = m_adapter->GetLastError();
        int code = EIO;
        if (error == "Device not found")
            code = ENODEV;
        else if (error.find("Permission denied") != std::string::npos)
            code = EACCES;
        throw CI2cError(code, "cannot connect to the " + name + ": " + error +
                                  ". Check the cable, and that you may open its HID device "
                                  "(the udev rule 70-pellan-i2c.rules grants it).");
    }
    m_product = Utf8(m_adapter->GetProductName());
    m_firmware = m_adapter->GetFirmware();
    m_speedHz = speed->hz;
    m_pullUps = m_adapter->GetPullUpsEnabled();
    m_maxRead = m_adapter->GetMaxReadCount();
}

CPyAdapter::~CPyAdapter()
{
    Close();
}

void CPyAdapter::Close()
{
    std::lock_guard lock(m_mutex);
    if (m_adapter)
        m_adapter->Disconnect();
    m_adapter.reset();
}

bool CPyAdapter::IsClosed() const
{
    std::lock_guard lock(m_mutex);
    return !m_adapter;
}

COrvI2c& CPyAdapter::Open()
{
    if (!m_adapter)
        throw std::invalid_argument(CLOSED);
    return *m_adapter;
}

void CPyAdapter::CheckReadCount(size_t count) const
{
    if (count == 0 || count > m_maxRead) {
        throw std::invalid_argument("the " + m_model + " reads 1 to " + std::to_string(m_maxRead) +
                                    " bytes at once, not " + std::to_string(count) + ".");
    }
}

bool CPyAdapter::RefusesAddressOnly() const
{
    return dynamic_cast<const COrv5i2c*>(m_adapter.get()) != nullptr;
}

void CPyAdapter::Fail(const SI2cTransaction& transaction)
{
    throw CI2cError(ErrnoOf(*m_adapter, transaction), transaction.error.toStdString());
}

void CPyAdapter::Write(uint8_t address, const std::vector<uint8_t>& data, EI2cStartStop mode)
{
    std::lock_guard lock(m_mutex);
    COrvI2c& adapter = Open();
    if (!IsWriteDataAcceptable(mode, data))
        throw std::invalid_argument("the modes stop and none send no address: give data bytes.");
    const SI2cTransaction write = RunWrite(adapter, mode, address, data);
    if (!write.ok) {
        // The engine refuses what the model can not send, before the bus.
        if (mode == EI2cStartStop::Auto && data.empty() && RefusesAddressOnly())
            throw CI2cError(EOPNOTSUPP, write.error.toStdString());
        Fail(write);
    }
}

std::vector<uint8_t> CPyAdapter::Read(uint8_t address, size_t count)
{
    std::lock_guard lock(m_mutex);
    COrvI2c& adapter = Open();
    CheckReadCount(count);
    SI2cTransaction read = RunRead(adapter, address, count);
    if (!read.ok)
        Fail(read);
    return std::move(read.data);
}

std::vector<uint8_t> CPyAdapter::WriteRead(uint8_t address, const std::vector<uint8_t>& data,
                                           size_t count)
{
    std::lock_guard lock(m_mutex);
    COrvI2c& adapter = Open();
    CheckReadCount(count);
    const SI2cTransaction write = RunWrite(adapter, EI2cStartStop::Start, address, data);
    if (!write.ok)
        Fail(write);
    SI2cTransaction read = RunRead(adapter, address, count);
    if (!read.ok)
        Fail(read);
    return std::move(read.data);
}

std::vector<uint8_t> CPyAdapter::Scan()
{
    std::lock_guard lock(m_mutex);
    COrvI2c& adapter = Open();
    const SI2cTransaction search = RunSearch(adapter);
    // Probes fail one by one when the adapter goes; only its presence after
    // the whole scan tells a quiet bus from a lost adapter.
    if (!adapter.IsPresent())
        throw CI2cError(ENODEV, adapter.GetLastError());
    return search.found;
}

bool CPyAdapter::Probe(uint8_t address)
{
    std::lock_guard lock(m_mutex);
    COrvI2c& adapter = Open();
    // The models without address-only writes probe with a one-byte read.
    const SI2cTransaction probe = RefusesAddressOnly()
                                      ? RunRead(adapter, address, 1)
                                      : RunWrite(adapter, EI2cStartStop::Auto, address, {});
    if (probe.ok)
        return true;
    const int code = ErrnoOf(adapter, probe);
    if (code == EREMOTEIO)
        return false;
    throw CI2cError(code, probe.error.toStdString());
}

std::vector<uint8_t> CPyAdapter::Transfer(const std::vector<SPyMessage>& messages)
{
    std::lock_guard lock(m_mutex);
    COrvI2c& adapter = Open();
    for (size_t i = 0; i < messages.size(); ++i) {
        const SPyMessage& message = messages[i];
        const bool last = i + 1 == messages.size();
        if (message.read && !last) {
            throw CI2cError(EOPNOTSUPP, "the " + m_model +
                                            " ends every read with a stop, so a read can only "
                                            "be the last message");
        }
        if (message.read && (message.count == 0 || message.count > m_maxRead)) {
            throw CI2cError(EOPNOTSUPP, "the " + m_model + " reads 1 to " +
                                            std::to_string(m_maxRead) + " bytes at once, not " +
                                            std::to_string(message.count));
        }
        if (!message.read && last && message.data.empty() && RefusesAddressOnly()) {
            throw CI2cError(EOPNOTSUPP, "Address-only write is not supported by the " + m_model);
        }
    }
    for (size_t i = 0; i < messages.size(); ++i) {
        const SPyMessage& message = messages[i];
        if (message.read) {
            SI2cTransaction read = RunRead(adapter, message.address, message.count);
            if (!read.ok)
                Fail(read);
            return std::move(read.data);
        }
        const bool last = i + 1 == messages.size();
        const SI2cTransaction write =
            RunWrite(adapter, last ? EI2cStartStop::Auto : EI2cStartStop::Start, message.address,
                     message.data);
        if (!write.ok)
            Fail(write);
    }
    return {};
}
