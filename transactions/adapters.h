#pragma once

// The adapter rules every front end shares: the bus speeds and what each
// model can do, the list of attached adapters, the choice of one by its
// serial number, and connecting to it. The front ends add only their own
// words (an option name, a function to call).

#include "i2c/orvdevicefactory.h"

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct SAdapterSpeed {
    EI2cSpeed speed;
    unsigned hz;
    const char* name; // as the command line takes it: "400k"
};

// Every speed of the family, slowest first, as users think of them.
inline constexpr std::array<SAdapterSpeed, 5> ADAPTER_SPEEDS{{
    {EI2cSpeed::Speed10k, 10'000, "10k"},
    {EI2cSpeed::Speed50k, 50'000, "50k"},
    {EI2cSpeed::Speed100k, 100'000, "100k"},
    {EI2cSpeed::Speed400k, 400'000, "400k"},
    {EI2cSpeed::Speed1000k, 1'000'000, "1000k"},
}};

const SAdapterSpeed& AdapterSpeed(EI2cSpeed speed);
// The speed of this clock in hertz, none for a clock no model runs at.
std::optional<EI2cSpeed> AdapterSpeedOfHz(unsigned long long hz);

// What a model can do, known without connecting.
struct SAdapterTraits {
    QString model;                 // "Orvane3"
    std::vector<EI2cSpeed> speeds; // slowest first
    size_t maxRead = 0;            // the most bytes one read may fetch
    bool pullUpSwitch = false;     // the pull-ups can be switched off
    bool addressOnlyWrite = true;  // the address alone can go on the bus

    bool Supports(EI2cSpeed speed) const;
};

SAdapterTraits AdapterTraits(const COrvI2c& adapter);
// Empty traits for an unknown model.
SAdapterTraits AdapterTraits(EOrvType type);

// One attached adapter, as the front ends list it.
struct SAdapterListing {
    EOrvType type = EOrvType::Orv3;
    std::wstring serialNumber;
    QString product;
    uint16_t firmware = 0;
    SAdapterTraits traits;

    QString Serial() const { return QString::fromStdWString(serialNumber); }
};

// Every attached adapter: all Orvane3 by serial number, then all Orvane5,
// then all Orvane7. One unplugged since the system listed it is left out.
// Opens no device.
std::vector<SAdapterListing> ListAdapters();

// The front end's own words in the messages of ChooseAdapter.
struct SAdapterChoiceWords {
    QString lister;     // how to list the adapters: "\"pellan-i2c-cli list\""
    QString giveSerial; // after the attached ones: "Give one of these with --adapter."
    // When several are attached; %1 is the first serial number.
    QString chooseOne;
    // How a serial number that is not attached is quoted.
    std::function<QString(const QString&)> quote;
};

enum class EAdapterChoice {
    Chosen,
    NoneAttached,
    NotAttached,     // no adapter has the serial number asked for
    SeveralAttached, // none asked for, and several are attached
};

struct SAdapterChoiceResult {
    EAdapterChoice outcome = EAdapterChoice::NoneAttached;
    SOrvDeviceEntry entry; // the chosen one
    QString model;         // its model name
    QString message;       // what is wrong and what to do, when not chosen
};

// The adapter with this serial number, or the only attached one.
SAdapterChoiceResult ChooseAdapter(const std::optional<QString>& serial,
                                   const SAdapterChoiceWords& words);

// Opens the adapter with this serial number at the speed, its pull-ups
// switched as asked (unchanged when not asked). The one place where a front
// end opens an adapter. False with the adapter's last error and its kind.
bool ConnectAdapter(COrvI2c& adapter, const std::wstring& serialNumber, EI2cSpeed speed,
                    std::optional<bool> pullUps);
