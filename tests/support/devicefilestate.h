#pragma once

#include "projects/i2cdevicefile.h"

#include <QFile>
#include <QString>
#include <QStringList>

namespace testsupport {

// How much of the device a state text names.
enum class EStateText { LabelsAndName, WithAddressAndDescription };

// A device file as a test compares it: "c0, c1, c2 in Dev" (the command
// labels and the name), or with the address and the description
// "c0, c1, c2 in Dev at 0x23: description"; "gone" when there is no file,
// "unreadable" when it does not load.
inline QString deviceFileState(const QString& path, EStateText text = EStateText::LabelsAndName)
{
    if (!QFile::exists(path))
        return QStringLiteral("gone");
    CI2cDeviceFile device;
    if (!device.Load(path))
        return QStringLiteral("unreadable");
    QStringList labels;
    for (const SI2cCommand& command : device.GetCommands())
        labels.append(command.label);
    QString state = labels.join(QStringLiteral(", ")) + QStringLiteral(" in ") + device.GetName();
    if (text == EStateText::WithAddressAndDescription)
        state += QStringLiteral(" at 0x%1: %2")
                     .arg(device.GetAddress(), 2, 16, QLatin1Char('0'))
                     .arg(device.GetDescription());
    return state;
}

} // namespace testsupport
