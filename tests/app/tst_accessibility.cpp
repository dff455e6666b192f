#include "app/aboutdialog.h"
#include "app/devicedialog.h"
#include "apptesthelpers.h"
#include "projects/projectdevicedialog.h"
#include "tests/support/privatehome.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTreeView>

#include <memory>

using apptest::connectTo;

class TstAccessibility : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { apptest::setApplicationNames(); }
    void init();
    void cleanup() { m_window.reset(); }

    void controlNames_data();
    void controlNames();
    void labelsAreBuddies_data();
    void labelsAreBuddies();
    void tabFollowsVisualOrder();
    void toolBarActionsHaveKeys();
    void dialogKeys_data();
    void dialogKeys();

private:
    Ui::MainWindow* ui() { return MainWindowProbe(*m_window).ui(); }
    void showWindow();

    std::unique_ptr<MainWindow> m_window;
};

namespace {

QAccessibleInterface* accessible(QObject* object)
{
    return QAccessible::queryAccessibleInterface(object);
}

} // namespace

void TstAccessibility::init()
{
    apptest::resetAll();
    m_window = std::make_unique<MainWindow>();
}

void TstAccessibility::showWindow()
{
    // Also after a dialog closed: the offscreen platform does not hand the
    // activation back by itself.
    m_window->show();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

void TstAccessibility::controlNames_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("name");
    // Fields named by their label, and controls without one.
    QTest::newRow("address edit") << "cmb_i2c_device"
                                  << "I2C Device:";
    QTest::newRow("write field") << "edit_write"
                                 << "Write Bytes";
    QTest::newRow("read count") << "spin_read"
                                << "Read Bytes";
    QTest::newRow("clear") << "tbtn_write_clear"
                           << "Clear input";
    QTest::newRow("save write") << "tbtn_write_save"
                                << "Save write as command";
    QTest::newRow("save read") << "tbtn_read_save"
                               << "Save read as command";
    QTest::newRow("table") << "table_data"
                           << "Output";
    QTest::newRow("new device") << "btn_projects_new"
                                << "New device";
    QTest::newRow("reload") << "btn_projects_reload"
                            << "Reload";
    QTest::newRow("folder") << "btn_projects_folder"
                            << "Projects folder";
    QTest::newRow("filter") << "edit_projects_filter"
                            << "Filter";
    QTest::newRow("tree") << "tree_projects"
                          << "Projects";
}

void TstAccessibility::controlNames()
{
    QFETCH(QString, objectName);
    QFETCH(QString, name);

    QWidget* widget = m_window->findChild<QWidget*>(objectName);
    QVERIFY(widget);
    // The address box is named by its label; its edit field needs a name too.
    if (auto* box = qobject_cast<QComboBox*>(widget))
        widget = box->lineEdit();
    QAccessibleInterface* iface = accessible(widget);
    QVERIFY(iface);
    QCOMPARE(iface->text(QAccessible::Name), name);
    // Icon buttons keep their tool tips as descriptions.
    if (!widget->toolTip().isEmpty())
        QCOMPARE(iface->text(QAccessible::Description), widget->toolTip());
}

void TstAccessibility::labelsAreBuddies_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("field");
    QTest::newRow("address") << "label"
                             << "cmb_i2c_device";
    QTest::newRow("write") << "label_3"
                           << "edit_write";
    QTest::newRow("mode") << "label_5"
                          << "cmb_startstop";
    QTest::newRow("read count") << "label_2"
                                << "spin_read";
    QTest::newRow("bytes per line") << "label_bytes_per_line"
                                    << "cmb_bytes_per_line";
    QTest::newRow("offset") << "label_offset_format"
                            << "cmb_offset_format";
}

void TstAccessibility::labelsAreBuddies()
{
    QFETCH(QString, label);
    QFETCH(QString, field);

    auto* labelWidget = m_window->findChild<QLabel*>(label);
    auto* fieldWidget = m_window->findChild<QWidget*>(field);
    QVERIFY(labelWidget && fieldWidget);
    QCOMPARE(labelWidget->buddy(), fieldWidget);
    // The relation an assistive tool reads the field's label from.
    const auto relations = accessible(fieldWidget)->relations(QAccessible::Label);
    QCOMPARE(relations.size(), 1);
    QCOMPARE(relations.first().first->object(), labelWidget);
}

void TstAccessibility::tabFollowsVisualOrder()
{
    auto adapter = apptest::plugBare(ESimOrvModel::Orv3, L"SN-1");
    showWindow();
    QVERIFY(connectTo(*m_window, QStringLiteral("SN-1")));
    showWindow();
    // A table full of rows must not keep Tab to itself.
    MainWindowProbe(*m_window).addTableRow(QStringLiteral("Read 0x23"), QStringLiteral("0x00"),
                                           std::vector<uint8_t>{1, 2}, false);

    const QStringList order = {
        "cmb_i2c_device",
        "btn_i2c_search",
        "edit_write",
        "tbtn_write_clear",
        "btn_write",
        "tbtn_write_save",
        "cmb_startstop",
        "spin_read",
        "btn_read",
        "tbtn_read_save",
        "cmb_bytes_per_line",
        "cmb_offset_format",
        "table_data",
        "btn_projects_new",
        "btn_projects_reload",
        "btn_projects_folder",
        "edit_projects_filter",
        "tree_projects",
        "cmb_i2c_device",
    };
    // The control that holds the focus, also when an inner part of it has it.
    auto focused = [&order]() -> QString {
        for (QWidget* widget = QApplication::focusWidget(); widget;
             widget = widget->parentWidget()) {
            if (order.contains(widget->objectName()))
                return widget->objectName();
        }
        return QStringLiteral("(none)");
    };

    ui()->cmb_i2c_device->setFocus();
    QStringList seen = {focused()};
    for (int i = 1; i < order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen.append(focused());
    }
    QCOMPARE(seen, order);
}

void TstAccessibility::toolBarActionsHaveKeys()
{
    auto adapter = apptest::plugBare(ESimOrvModel::Orv3, L"SN-1");
    showWindow();
    MainWindowProbe probe(*m_window);

    // Connect and Disconnect share one key: only one of them is enabled.
    testsupport::CDialogAnswerer answerer;
    answerer.accept();
    QTest::keyClick(m_window.get(), Qt::Key_K, Qt::ControlModifier);
    QVERIFY(answerer.waitDone());
    QVERIFY(probe.adapter() && probe.adapter()->IsConnected());
    showWindow();
    QTest::keyClick(m_window.get(), Qt::Key_K, Qt::ControlModifier);
    QVERIFY(!probe.adapter());

    probe.addTableRow(QStringLiteral("Search"), QString(), QStringLiteral("0x23"), false);
    QTest::keyClick(m_window.get(), Qt::Key_L, Qt::ControlModifier);
    QCOMPARE(ui()->table_data->rowCount(), 0);
}

void TstAccessibility::dialogKeys_data()
{
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("result");
    QTest::newRow("device, Escape") << "device" << int(Qt::Key_Escape) << int(QDialog::Rejected);
    QTest::newRow("device, Return") << "device" << int(Qt::Key_Return) << int(QDialog::Accepted);
    QTest::newRow("about, Escape") << "about" << int(Qt::Key_Escape) << int(QDialog::Rejected);
    QTest::newRow("new device, Escape")
        << "new device" << int(Qt::Key_Escape) << int(QDialog::Rejected);
    QTest::newRow("new device, Return")
        << "new device" << int(Qt::Key_Return) << int(QDialog::Accepted);
}

void TstAccessibility::dialogKeys()
{
    QFETCH(QString, dialog);
    QFETCH(int, key);
    QFETCH(int, result);

    auto adapter = apptest::plugBare(ESimOrvModel::Orv3, L"SN-1");
    QAction speed(QStringLiteral("100 kbit/s"));
    std::unique_ptr<QDialog> shown;
    if (dialog == QLatin1String("device")) {
        shown = std::make_unique<DeviceDialog>(QList<QAction*>{&speed}, true);
    } else if (dialog == QLatin1String("about")) {
        shown = std::make_unique<AboutDialog>();
    } else {
        auto form = std::make_unique<ProjectDeviceDialog>(
            QStringLiteral("New Device"),
            [](const QString&) { return std::optional<uint8_t>(0x23); }, nullptr);
        form->setValues(QStringLiteral("BH1750"), QStringLiteral("0x23"), QString());
        shown = std::move(form);
    }
    shown->open();
    QVERIFY(QTest::qWaitForWindowActive(shown.get()));
    QWidget* target = QApplication::focusWidget();
    QTest::keyClick(target ? target : shown.get(), Qt::Key(key));
    QTRY_VERIFY(!shown->isVisible());
    QCOMPARE(shown->result(), result);
}

PELLAN_TEST_MAIN(TstAccessibility)
#include "tst_accessibility.moc"
