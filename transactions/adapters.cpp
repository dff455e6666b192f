#include "transactions/adapters.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("Adapters", text);
}

QString modelOf(EOrvType type)
{
    return AdapterTraits(type).model;
}

} // namespace

const SAdapterSpeed& AdapterSpeed(EI2cSpeed speed)
{
    const auto found =
        std::find_if(ADAPTER_SPEEDS.begin(), ADAPTER_SPEEDS.end(),
                     [&](const SAdapterSpeed& entry) { return entry.speed == speed; });
    return found != ADAPTER_SPEEDS.end() ? *found : ADAPTER_SPEEDS[2];
}

std::optional<EI2cSpeed> AdapterSpeedOfHz(unsigned long long hz)
{
    for (const SAdapterSpeed& entry : ADAPTER_SPEEDS) {
        if (entry.hz == hz)
            return entry.speed;
    }
    return std::nullopt;
}

bool SAdapterTraits::Supports(EI2cSpeed speed) const
{
    return std::find(speeds.begin(), speeds.end(), speed) != speeds.end();
}

SAdapterTraits AdapterTraits(const COrvI2c& adapter)
{
    SAdapterTraits traits;
    traits.model = QString::fromStdWString(adapter.GetTypeName());
    for (const SAdapterSpeed& entry : ADAPTER_SPEEDS) {
        if (adapter.IsSpeedSupported(entry.speed))
            traits.speeds.push_back(entry.speed);
    }
    traits.maxRead = adapter.GetMaxReadCount();
    traits.pullUpSwitch = adapter.HasPullUpSwitch();
    traits.addressOnlyWrite = adapter.IsAddressOnlyWriteSupported();
    return traits;
}

SAdapterTraits AdapterTraits(EOrvType type)
{
    // A scratch object answers; it opens nothing.
    const std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(type);
    return adapter ? AdapterTraits(*adapter) : SAdapterTraits{};
}

std::vector<SAdapterListing> ListAdapters()
{
    std::vector<SAdapterListing> list;
    for (const SOrvDeviceEntry& entry : COrvDeviceFactory::EnumerateDevices()) {
        const std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(entry.type);
        std::wstring product;
        uint16_t firmware = 0;
        if (!adapter || !adapter->Describe(entry.serialNumber, product, firmware))
            continue;
        SAdapterListing listing;
        listing.type = entry.type;
        listing.serialNumber = entry.serialNumber;
        listing.product = QString::fromStdWString(product);
        listing.firmware = firmware;
        listing.traits = AdapterTraits(*adapter);
        list.push_back(std::move(listing));
    }
    return list;
}

SAdapterChoiceResult ChooseAdapter(const std::optional<QString>& serial,
                                   const SAdapterChoiceWords& words)
{
    SAdapterChoiceResult result;
    const std::vector<SOrvDeviceEntry> entries = COrvDeviceFactory::EnumerateDevices();
    if (entries.empty()) {
        result.outcome = EAdapterChoice::NoneAttached;
        result.message =
            tr("no Orvane adapter is attached. Plug one in and check with %1.").arg(words.lister);
        return result;
    }
    QStringList attached;
    for (const SOrvDeviceEntry& entry : entries) {
        attached.append(QStringLiteral("%1 (%2)").arg(QString::fromStdWString(entry.serialNumber),
                                                      modelOf(entry.type)));
    }

    const SOrvDeviceEntry* chosen = nullptr;
    if (serial) {
        const auto found = std::find_if(entries.begin(), entries.end(), [&](const auto& entry) {
            return QString::fromStdWString(entry.serialNumber) == *serial;
        });
        if (found == entries.end()) {
            result.outcome = EAdapterChoice::NotAttached;
            const QString quoted = words.quote ? words.quote(*serial) : *serial;
            result.message =
                tr("no adapter with the serial number %1 is attached. Attached: %2. %3")
                    .arg(quoted, attached.join(QStringLiteral(", ")), words.giveSerial);
            return result;
        }
        chosen = &*found;
    } else if (entries.size() > 1) {
        result.outcome = EAdapterChoice::SeveralAttached;
        result.message =
            tr("%1 adapters are attached: %2. %3")
                .arg(entries.size())
                .arg(attached.join(QStringLiteral(", ")),
                     words.chooseOne.arg(QString::fromStdWString(entries.front().serialNumber)));
        return result;
    } else {
        chosen = &entries.front();
    }
    result.outcome = EAdapterChoice::Chosen;
    result.entry = *chosen;
    result.model = modelOf(chosen->type);
    return result;
}

bool ConnectAdapter(COrvI2c& adapter, const std::wstring& serialNumber, EI2cSpeed speed,
                    std::optional<bool> pullUps)
{
    // Kept by the adapter and applied while connecting; only a model
    // without a switch refuses, before anything is opened.
    if (pullUps && !adapter.SetPullUpsEnabled(*pullUps))
        return false;
    return adapter.Connect(serialNumber, speed);
}
