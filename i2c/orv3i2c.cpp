#include "i2c/orv3i2c.h"

#include "i2c/orvusbids.h"

namespace {
constexpr int I2C_INTERFACE = 2;
constexpr size_t MAX_READ_COUNT = 65535;
} // namespace

COrv3i2c::COrv3i2c() : COrv3i2c(kProductIdOrv3, I2C_INTERFACE) {}

COrv3i2c::COrv3i2c(uint16_t productId, int interfaceNumber) : COrvI2c(productId, interfaceNumber) {}

bool COrv3i2c::EnumerateDevices(std::vector<std::wstring>& serialNumbers)
{
    return EnumerateInterface(kProductIdOrv3, I2C_INTERFACE, serialNumbers);
}

std::wstring COrv3i2c::GetTypeName() const
{
    return L"Orvane3";
}

bool COrv3i2c::IsSpeedSupported(EI2cSpeed speed) const
{
    return static_cast<uint8_t>(speed) <= static_cast<uint8_t>(EI2cSpeed::Speed1000k);
}

size_t COrv3i2c::GetMaxReadCount() const
{
    return MAX_READ_COUNT;
}

uint8_t COrv3i2c::GetEnableFlags(EI2cSpeed speed) const
{
    return static_cast<uint8_t>(speed);
}

void COrv3i2c::FillReadRequest(std::vector<uint8_t>& report, uint8_t address, size_t count) const
{
    report[1] = static_cast<uint8_t>(count & 0xFF);
    report[2] = static_cast<uint8_t>((address << 1) | 1);
    report[3] = static_cast<uint8_t>((count >> 8) & 0xFF);
}
