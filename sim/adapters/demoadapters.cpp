#include "sim/adapters/demoadapters.h"

std::vector<std::shared_ptr<CSimOrvAdapter>> PlugDemoAdapters()
{
    // The bus devices are each adapter's default ones.
    return {
        CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"OR3-100042"),
        CSimOrvAdapter::Plug(ESimOrvModel::Orv5, L"OR5-200107"),
        CSimOrvAdapter::Plug(ESimOrvModel::Orv7, L"OR7-300311"),
    };
}
