#include "i2c/orvdevicefactory.h"

#include "i2c/orv3i2c.h"
#include "i2c/orv5i2c.h"
#include "i2c/orv7i2c.h"

#include <utility>

namespace {

// Appends the adapters one model's enumeration finds; a failed enumeration
// adds nothing.
void AppendDevices(EOrvType type, bool (*enumerate)(std::vector<std::wstring>&),
                   std::vector<SOrvDeviceEntry>& devices)
{
    std::vector<std::wstring> serialNumbers;
    enumerate(serialNumbers);
    for (std::wstring& serialNumber : serialNumbers)
        devices.push_back(SOrvDeviceEntry{type, std::move(serialNumber)});
}

} // namespace

std::vector<SOrvDeviceEntry> COrvDeviceFactory::EnumerateDevices()
{
    std::vector<SOrvDeviceEntry> devices;
    AppendDevices(EOrvType::Orv3, &COrv3i2c::EnumerateDevices, devices);
    AppendDevices(EOrvType::Orv5, &COrv5i2c::EnumerateDevices, devices);
    AppendDevices(EOrvType::Orv7, &COrv7i2c::EnumerateDevices, devices);
    return devices;
}

std::unique_ptr<COrvI2c> COrvDeviceFactory::Create(EOrvType type)
{
    switch (type) {
    case EOrvType::Orv3:
        return std::make_unique<COrv3i2c>();
    case EOrvType::Orv5:
        return std::make_unique<COrv5i2c>();
    case EOrvType::Orv7:
        return std::make_unique<COrv7i2c>();
    }
    return nullptr;
}
