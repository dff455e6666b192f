#include "i2c/orv7i2c.h"

#include "i2c/orvusbids.h"

namespace {
constexpr int I2C_INTERFACE = 2;
} // namespace

COrv7i2c::COrv7i2c() : COrv3i2c(kProductIdOrv7, I2C_INTERFACE) {}

bool COrv7i2c::EnumerateDevices(std::vector<std::wstring>& serialNumbers)
{
    return EnumerateInterface(kProductIdOrv7, I2C_INTERFACE, serialNumbers);
}

std::wstring COrv7i2c::GetTypeName() const
{
    return L"Orvane7";
}
