#include "i2c/orv5i2c.h"

#include "i2c/orvusbids.h"

namespace {
constexpr int I2C_INTERFACE = 1;
constexpr size_t MAX_READ_COUNT = 256;
constexpr uint8_t FLAG_PULLUPS_OFF = 0x80;
} // namespace

COrv5i2c::COrv5i2c() : COrvI2c(kProductIdOrv5, I2C_INTERFACE)
{
    m_pullUpsEnabled = true;
}

bool COrv5i2c::EnumerateDevices(std::vector<std::wstring>& serialNumbers)
{
    return EnumerateInterface(kProductIdOrv5, I2C_INTERFACE, serialNumbers);
}

bool COrv5i2c::Write(const std::vector<uint8_t>& data, SI2cWriteResult& result, bool generateStart,
                     bool generateStop)
{
    if (data.size() == 1 && generateStart && generateStop) {
        result = SI2cWriteResult{};
        SetLastError(EOrvError::Unsupported, "Address-only write is not supported by the Orvane5");
        return false;
    }
    return COrvI2c::Write(data, result, generateStart, generateStop);
}

bool COrv5i2c::IsAddressOnlyWriteSupported() const
{
    return false;
}

bool COrv5i2c::Probe(uint8_t address)
{
    SI2cReadResult scratch;
    return Read(address, 1, scratch);
}

std::wstring COrv5i2c::GetTypeName() const
{
    return L"Orvane5";
}

bool COrv5i2c::IsSpeedSupported(EI2cSpeed speed) const
{
    return static_cast<uint8_t>(speed) <= static_cast<uint8_t>(EI2cSpeed::Speed50k);
}

size_t COrv5i2c::GetMaxReadCount() const
{
    return MAX_READ_COUNT;
}

bool COrv5i2c::HasPullUpSwitch() const
{
    return true;
}

bool COrv5i2c::SetPullUpsEnabled(bool enabled)
{
    const bool previous = m_pullUpsEnabled;
    m_pullUpsEnabled = enabled;
    if (enabled == previous || !IsConnected())
        return true;
    if (ApplyConfiguration(GetSpeed()))
        return true;
    m_pullUpsEnabled = previous;
    return false;
}

bool COrv5i2c::GetPullUpsEnabled() const
{
    return m_pullUpsEnabled;
}

uint8_t COrv5i2c::GetEnableFlags(EI2cSpeed speed) const
{
    const auto flags = static_cast<uint8_t>(speed);
    return m_pullUpsEnabled ? flags : static_cast<uint8_t>(flags | FLAG_PULLUPS_OFF);
}

void COrv5i2c::FillReadRequest(std::vector<uint8_t>& report, uint8_t address, size_t count) const
{
    // 256 travels as 0.
    report[1] = static_cast<uint8_t>(count & 0xFF);
    report[2] = static_cast<uint8_t>((address << 1) | 1);
}

bool COrv5i2c::ApplyConfiguration(EI2cSpeed speed)
{
    if (!SendEnable(false, 0))
        return false;
    return SendEnable(true, GetEnableFlags(speed));
}
