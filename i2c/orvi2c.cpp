#include "i2c/orvi2c.h"

#include <utility>

// The HID transport is not part of this library yet: no adapter can be
// opened, so every bus operation fails with "Not connected".

namespace {
constexpr const char* NOT_CONNECTED = "Not connected";
constexpr const char* PULLUPS_FIXED = "Pull-ups can not be switched on this device";
} // namespace

COrvI2c::COrvI2c(uint16_t productId, int interfaceNumber)
    : m_productId(productId), m_interfaceNumber(interfaceNumber)
{
}

COrvI2c::~COrvI2c()
{
    Disconnect();
}

bool COrvI2c::Connect(const std::wstring&, EI2cSpeed)
{
    SetLastError(NOT_CONNECTED);
    return false;
}

void COrvI2c::Disconnect()
{
    m_serialNumber.clear();
    m_productName.clear();
    m_firmware = 0;
    m_speed = EI2cSpeed::Speed100k;
}

bool COrvI2c::IsConnected() const
{
    return false;
}

bool COrvI2c::IsPresent() const
{
    return false;
}

bool COrvI2c::Read(uint8_t, size_t, SI2cReadResult& result)
{
    result.status = 0;
    result.data.clear();
    SetLastError(NOT_CONNECTED);
    return false;
}

bool COrvI2c::SetSpeed(EI2cSpeed)
{
    SetLastError(NOT_CONNECTED);
    return false;
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

bool COrvI2c::EnumerateInterface(uint16_t, int, std::vector<std::wstring>& serialNumbers)
{
    serialNumbers.clear();
    return true;
}

bool COrvI2c::Write(const std::vector<uint8_t>&, SI2cWriteResult& result, bool, bool)
{
    result = SI2cWriteResult{};
    SetLastError(NOT_CONNECTED);
    return false;
}

bool COrvI2c::Probe(uint8_t address)
{
    SI2cWriteResult scratch;
    return Write({static_cast<uint8_t>(address << 1)}, scratch, true, true);
}

bool COrvI2c::HasPullUpSwitch() const
{
    return false;
}

bool COrvI2c::SetPullUpsEnabled(bool enabled)
{
    if (enabled)
        return true;
    SetLastError(PULLUPS_FIXED);
    return false;
}

bool COrvI2c::GetPullUpsEnabled() const
{
    return true;
}

bool COrvI2c::ApplyConfiguration(EI2cSpeed)
{
    SetLastError(NOT_CONNECTED);
    return false;
}

void COrvI2c::SetLastError(std::string text)
{
    m_lastError = std::move(text);
}
