#pragma once

#include "i2c/orvdevicefactory.h"

#include <QDialog>
#include <QList>

#include <optional>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QDialogButtonBox;

// Picks an attached adapter, a bus speed the model supports and, for the
// model with a switch, the internal pull-ups. Connects nothing itself.
class DeviceDialog : public QDialog {
    Q_OBJECT

public:
    // speedActions carry their EI2cSpeed value as data; the checked one
    // becomes the current speed.
    DeviceDialog(const QList<QAction*>& speedActions, bool pullUps, QWidget* parent = nullptr);

    // The adapter at the current index, empty when there is none.
    std::optional<SOrvDeviceEntry> selectedDevice() const;
    // The speed action at the current index of the speed box, or null.
    QAction* selectedSpeedAction() const;
    // The check box's state, also while it is disabled.
    bool pullUpsEnabled() const;

public slots:
    void refresh();
    void updateDeviceOptions();

private:
    QComboBox* m_deviceBox = nullptr;
    QComboBox* m_speedBox = nullptr;
    QCheckBox* m_pullUps = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
    QList<QAction*> m_speedActions;
    std::vector<SOrvDeviceEntry> m_entries;
};
