// The program on simulated hardware: one adapter of each model, each with a
// BH1750 light sensor at 0x23, an LM75 temperature sensor at 0x48 and a
// 24C02 EEPROM at 0x50 on its bus.

#include "app/startup.h"
#include "sim/adapters/simorvadapter.h"

#include <memory>
#include <vector>

int main(int argc, char* argv[])
{
    const std::vector<std::shared_ptr<CSimOrvAdapter>> adapters = {
        CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"OR3-100042"),
        CSimOrvAdapter::Plug(ESimOrvModel::Orv5, L"OR5-200107"),
        CSimOrvAdapter::Plug(ESimOrvModel::Orv7, L"OR7-300311"),
    };
    return runApplication(argc, argv);
}
