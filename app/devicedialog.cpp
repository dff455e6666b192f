#include "app/devicedialog.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QVBoxLayout>

DeviceDialog::DeviceDialog(const QList<QAction*>& speedActions, bool pullUps, QWidget* parent)
    : QDialog(parent), m_speedActions(speedActions)
{
    setWindowTitle(tr("Select device"));

    m_deviceBox = new QComboBox(this);
    m_deviceBox->setObjectName(QStringLiteral("cmb_device"));
    m_deviceBox->setMinimumContentsLength(24);
    m_deviceBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    auto* refreshButton = new QPushButton(tr("Refresh"), this);
    refreshButton->setObjectName(QStringLiteral("btn_refresh"));
    auto* deviceRow = new QHBoxLayout;
    deviceRow->addWidget(m_deviceBox, 1);
    deviceRow->addWidget(refreshButton, 0);

    m_speedBox = new QComboBox(this);
    m_speedBox->setObjectName(QStringLiteral("cmb_speed"));
    for (QAction* action : m_speedActions) {
        m_speedBox->addItem(action->text());
        if (action->isChecked())
            m_speedBox->setCurrentIndex(m_speedBox->count() - 1);
    }

    m_pullUps = new QCheckBox(tr("Internal pull-ups"), this);
    m_pullUps->setObjectName(QStringLiteral("chk_pullups"));
    m_pullUps->setChecked(pullUps);
    m_pullUps->setToolTip(tr("Internal pull-up resistors on SDA/SCL (Orvane5 only). Switch off "
                             "for external pull-ups or lower voltage levels."));

    auto* form = new QFormLayout;
    // A row of two widgets gets no buddy of its own: the label names the box.
    auto* deviceLabel = new QLabel(tr("Device"), this);
    deviceLabel->setBuddy(m_deviceBox);
    form->addRow(deviceLabel, deviceRow);
    form->addRow(tr("I2C speed"), m_speedBox);
    form->addRow(new QLabel(this), m_pullUps);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(refreshButton, &QPushButton::clicked, this, &DeviceDialog::refresh);
    connect(m_deviceBox, &QComboBox::currentIndexChanged, this, &DeviceDialog::updateDeviceOptions);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    refresh();
}

std::optional<SOrvDeviceEntry> DeviceDialog::selectedDevice() const
{
    const int index = m_deviceBox->currentIndex();
    if (index < 0 || static_cast<size_t>(index) >= m_entries.size())
        return std::nullopt;
    return m_entries[static_cast<size_t>(index)];
}

QAction* DeviceDialog::selectedSpeedAction() const
{
    const int index = m_speedBox->currentIndex();
    if (index < 0 || index >= m_speedActions.size())
        return nullptr;
    return m_speedActions[index];
}

bool DeviceDialog::pullUpsEnabled() const
{
    return m_pullUps->isChecked();
}

void DeviceDialog::refresh()
{
    const QString remembered = m_deviceBox->currentText();
    m_entries = COrvDeviceFactory::EnumerateDevices();

    m_deviceBox->blockSignals(true);
    m_deviceBox->clear();
    for (const SOrvDeviceEntry& entry : m_entries) {
        const std::unique_ptr<COrvI2c> model = COrvDeviceFactory::Create(entry.type);
        const QString typeName = model ? QString::fromStdWString(model->GetTypeName()) : QString();
        m_deviceBox->addItem(
            tr("%1  SN %2").arg(typeName, QString::fromStdWString(entry.serialNumber)));
    }
    const int found = m_deviceBox->findText(remembered, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (found >= 0)
        m_deviceBox->setCurrentIndex(found);
    else if (m_deviceBox->count() > 0)
        // A box that already shows its placeholder selects nothing when it
        // is filled; an adapter to connect to is the friendlier default.
        m_deviceBox->setCurrentIndex(0);
    m_deviceBox->blockSignals(false);

    const bool any = m_deviceBox->count() > 0;
    m_deviceBox->setEnabled(any);
    m_deviceBox->setPlaceholderText(tr("No device found"));
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(any);

    updateDeviceOptions();
}

void DeviceDialog::updateDeviceOptions()
{
    std::unique_ptr<COrvI2c> model;
    if (const std::optional<SOrvDeviceEntry> entry = selectedDevice())
        model = COrvDeviceFactory::Create(entry->type);

    auto* items = qobject_cast<QStandardItemModel*>(m_speedBox->model());
    int fallback = -1;
    for (int i = 0; i < m_speedActions.size(); ++i) {
        const auto speed = static_cast<EI2cSpeed>(m_speedActions[i]->data().toInt());
        if (speed == EI2cSpeed::Speed100k)
            fallback = i;
        if (QStandardItem* item = items ? items->item(i) : nullptr)
            item->setEnabled(!model || model->IsSpeedSupported(speed));
    }

    const int current = m_speedBox->currentIndex();
    const QStandardItem* currentItem = items && current >= 0 ? items->item(current) : nullptr;
    if (currentItem && !currentItem->isEnabled() && fallback >= 0)
        m_speedBox->setCurrentIndex(fallback);

    m_pullUps->setEnabled(model && model->HasPullUpSwitch());
}
