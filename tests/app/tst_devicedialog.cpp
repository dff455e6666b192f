#include "app/devicedialog.h"
#include "apptesthelpers.h"

#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTest>

class TstDeviceDialog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { apptest::setApplicationNames(); }
    void init();
    void cleanup() { qDeleteAll(m_actions); }

    void emptyListCannotBeAccepted();
    void listsAdaptersInFactoryOrder();
    void modelSwitchEnablesSpeedsAndFallsBack();
    void refreshKeepsSelection();
    void refreshWithoutRememberedPicksFirst();
    void pullUpsKeepStateWhileDisabled();
    void firstSpeedWhenNoneChecked();

private:
    QComboBox* devices(DeviceDialog& d) { return d.findChild<QComboBox*>("cmb_device"); }
    QComboBox* speeds(DeviceDialog& d) { return d.findChild<QComboBox*>("cmb_speed"); }
    bool speedItemEnabled(DeviceDialog& d, int index)
    {
        auto* model = qobject_cast<QStandardItemModel*>(speeds(d)->model());
        return model->item(index)->isEnabled();
    }

    // The main window's five speed actions, in menu order, with their data.
    QList<QAction*> m_actions;
};

void TstDeviceDialog::init()
{
    apptest::resetAll();
    m_actions.clear();
    const std::pair<const char*, int> speeds[] = {{"10 kbit/s", 3},
                                                  {"50 kbit/s", 2},
                                                  {"100 kbit/s", 0},
                                                  {"400 kbit/s", 1},
                                                  {"1000 kbit/s", 4}};
    for (const auto& [text, value] : speeds) {
        auto* action = new QAction(QString::fromLatin1(text));
        action->setCheckable(true);
        action->setData(value);
        m_actions.append(action);
    }
}

void TstDeviceDialog::emptyListCannotBeAccepted()
{
    m_actions[4]->setChecked(true);
    DeviceDialog dialog(m_actions, true);
    QCOMPARE(devices(dialog)->count(), 0);
    QVERIFY(!devices(dialog)->isEnabled());
    QCOMPARE(devices(dialog)->placeholderText(), QStringLiteral("No device found"));
    QVERIFY(!dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->isEnabled());
    QVERIFY(!dialog.findChild<QCheckBox*>("chk_pullups")->isEnabled());
    for (int i = 0; i < m_actions.size(); ++i)
        QVERIFY(speedItemEnabled(dialog, i));
    QVERIFY(!dialog.selectedDevice());
    QCOMPARE(dialog.selectedSpeedAction(), m_actions[4]);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Select device"));
}

void TstDeviceDialog::listsAdaptersInFactoryOrder()
{
    auto b = apptest::plugBare(ESimOrvModel::Orv5, L"B");
    auto a = apptest::plugBare(ESimOrvModel::Orv5, L"A");
    auto c = apptest::plugBare(ESimOrvModel::Orv3, L"C");
    DeviceDialog dialog(m_actions, true);
    QComboBox* box = devices(dialog);
    QCOMPARE(box->count(), 3);
    QCOMPARE(box->itemText(0), QStringLiteral("Orvane3  SN C"));
    QCOMPARE(box->itemText(1), QStringLiteral("Orvane5  SN A"));
    QCOMPARE(box->itemText(2), QStringLiteral("Orvane5  SN B"));
    QCOMPARE(box->currentIndex(), 0);
    QVERIFY(dialog.selectedDevice());
    QCOMPARE(dialog.selectedDevice()->type, EOrvType::Orv3);
    QVERIFY(dialog.selectedDevice()->serialNumber == L"C");
}

void TstDeviceDialog::modelSwitchEnablesSpeedsAndFallsBack()
{
    auto three = apptest::plugBare(ESimOrvModel::Orv3, L"3");
    auto five = apptest::plugBare(ESimOrvModel::Orv5, L"5");
    m_actions[4]->setChecked(true); // 1000 kbit/s
    DeviceDialog dialog(m_actions, true);
    QCheckBox* pullUps = dialog.findChild<QCheckBox*>("chk_pullups");

    QCOMPARE(devices(dialog)->currentIndex(), 0); // the Orvane3 takes every speed
    for (int i = 0; i < 5; ++i)
        QVERIFY(speedItemEnabled(dialog, i));
    QVERIFY(!pullUps->isEnabled());
    QCOMPARE(speeds(dialog)->currentIndex(), 4);

    devices(dialog)->setCurrentIndex(1); // the Orvane5: 50, 100 and 400 kbit/s
    QVERIFY(!speedItemEnabled(dialog, 0));
    QVERIFY(speedItemEnabled(dialog, 1));
    QVERIFY(speedItemEnabled(dialog, 2));
    QVERIFY(speedItemEnabled(dialog, 3));
    QVERIFY(!speedItemEnabled(dialog, 4));
    QVERIFY(pullUps->isEnabled());
    QCOMPARE(dialog.selectedSpeedAction(), m_actions[2]); // fell back to 100 kbit/s

    speeds(dialog)->setCurrentIndex(3); // 400 kbit/s stays when switching back
    devices(dialog)->setCurrentIndex(0);
    QCOMPARE(dialog.selectedSpeedAction(), m_actions[3]);
}

void TstDeviceDialog::refreshKeepsSelection()
{
    auto a = apptest::plugBare(ESimOrvModel::Orv7, L"A");
    auto b = apptest::plugBare(ESimOrvModel::Orv7, L"B");
    DeviceDialog dialog(m_actions, true);
    devices(dialog)->setCurrentIndex(1);
    dialog.findChild<QPushButton*>("btn_refresh")->click();
    QCOMPARE(devices(dialog)->currentText(), QStringLiteral("Orvane7  SN B"));

    // A new adapter that sorts first does not take the selection away.
    auto first = apptest::plugBare(ESimOrvModel::Orv3, L"Z");
    dialog.refresh();
    QCOMPARE(devices(dialog)->count(), 3);
    QCOMPARE(devices(dialog)->currentText(), QStringLiteral("Orvane7  SN B"));
}

void TstDeviceDialog::refreshWithoutRememberedPicksFirst()
{
    auto a = apptest::plugBare(ESimOrvModel::Orv3, L"A");
    auto b = apptest::plugBare(ESimOrvModel::Orv3, L"B");
    DeviceDialog dialog(m_actions, true);
    devices(dialog)->setCurrentIndex(1);
    b->Unplug();
    dialog.refresh();
    QCOMPARE(devices(dialog)->count(), 1);
    QCOMPARE(devices(dialog)->currentIndex(), 0);
    QVERIFY(dialog.selectedDevice());

    a->Unplug();
    dialog.refresh();
    QVERIFY(!dialog.selectedDevice());
    QVERIFY(!dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->isEnabled());
}

void TstDeviceDialog::pullUpsKeepStateWhileDisabled()
{
    DeviceDialog off(m_actions, false);
    QVERIFY(!off.findChild<QCheckBox*>("chk_pullups")->isEnabled());
    QVERIFY(!off.pullUpsEnabled());
    DeviceDialog on(m_actions, true);
    QVERIFY(on.pullUpsEnabled());
}

void TstDeviceDialog::firstSpeedWhenNoneChecked()
{
    DeviceDialog dialog(m_actions, true);
    QCOMPARE(speeds(dialog)->currentIndex(), 0);
    QCOMPARE(dialog.selectedSpeedAction(), m_actions[0]);
}

QTEST_MAIN(TstDeviceDialog)
#include "tst_devicedialog.moc"
