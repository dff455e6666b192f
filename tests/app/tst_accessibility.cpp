#include "app/aboutdialog.h"
#include "app/devicedialog.h"
#include "apptesthelpers.h"
#include "projects/projectdevicedialog.h"
#include "tests/support/waits.h"

#include <QAccessible>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QStandardPaths>
#include <QStatusBar>
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
    void errorRowsSayItInWords();
    void tableMenuIsForCurrentRow_data();
    void tableMenuIsForCurrentRow();
    void treeMenuIsForCurrentRow_data() { tableMenuIsForCurrentRow_data(); }
    void treeMenuIsForCurrentRow();
    void returnInTreeActsLikeTheMouse();

private:
    Ui::MainWindow* ui() { return MainWindowProbe(*m_window).ui(); }
    void showWindow();
    // A device with three commands beside the example, shown in the tree.
    QString addSensor();
    // Opens the view's context menu the way the row's data names.
    void openMenuFromKeyboard(QAbstractItemView* view);

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
    QVERIFY(QTest::qWaitForWindowActive(m_window.get(), testsupport::WAIT_MS));
}

void TstAccessibility::controlNames_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("name");
    // Fields named by their label, and controls without one.
    const char* const rows[][2] = {
        {"cmb_i2c_device", "I2C Device:"},
        {"edit_write", "Write Bytes"},
        {"spin_read", "Read Bytes"},
        {"tbtn_write_clear", "Clear input"},
        {"tbtn_write_save", "Save write as command"},
        {"tbtn_read_save", "Save read as command"},
        {"table_data", "Output"},
        {"toolBar", "Tool Bar"},
        {"btn_projects_new", "New device"},
        {"btn_projects_reload", "Reload"},
        {"btn_projects_folder", "Projects folder"},
        {"edit_projects_filter", "Filter"},
        {"tree_projects", "Projects"},
        {"btn_watch", "Watch"},
        {"edit_watch_register", "Register:"},
        {"spin_watch_register_width", "Pointer bytes:"},
        {"cmb_watch_interval", "Interval:"},
        {"spin_watch_window", "Plot window:"},
        {"edit_watch_shift", "Shift:"},
        {"edit_watch_mask", "Mask:"},
        {"edit_watch_scale", "Scale:"},
        {"edit_watch_offset", "Offset:"},
        {"edit_watch_unit", "Unit:"},
        {"spin_watch_decimals", "Decimals:"},
        {"btn_watch_start", "Start"},
        {"btn_watch_clear", "Clear"},
        {"btn_watch_save", "Save CSV..."},
        // Read out as the value itself, so each new one is announced.
        {"label_watch_value", "No value"},
    };
    for (const auto& [object, name] : rows)
        QTest::newRow(object) << QString::fromLatin1(object) << QString::fromLatin1(name);
}

void TstAccessibility::controlNames()
{
    QFETCH(QString, objectName);
    QFETCH(QString, name);

    QWidget* widget = m_window->findChild<QWidget*>(objectName);
    QVERIFY(widget);
    // An editable box is named by its label; its edit field needs a name too.
    if (auto* box = qobject_cast<QComboBox*>(widget); box && box->isEditable())
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
    const char* const rows[][2] = {
        {"label", "cmb_i2c_device"},
        {"label_3", "edit_write"},
        {"label_5", "cmb_startstop"},
        {"label_2", "spin_read"},
        {"label_bytes_per_line", "cmb_bytes_per_line"},
        {"label_offset_format", "cmb_offset_format"},
    };
    for (const auto& [label, field] : rows)
        QTest::newRow(field) << QString::fromLatin1(label) << QString::fromLatin1(field);
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
        "cmb_i2c_device",      "btn_i2c_search",      "edit_write",
        "tbtn_write_clear",    "btn_write",           "tbtn_write_save",
        "cmb_startstop",       "spin_read",           "btn_read",
        "tbtn_read_save",      "btn_watch",           "cmb_bytes_per_line",
        "cmb_offset_format",   "table_data",          "btn_projects_new",
        "btn_projects_reload", "btn_projects_folder", "edit_projects_filter",
        "tree_projects",       "cmb_i2c_device",
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
    QVERIFY(QTest::qWaitForWindowActive(shown.get(), testsupport::WAIT_MS));
    QWidget* target = QApplication::focusWidget();
    QTest::keyClick(target ? target : shown.get(), Qt::Key(key));
    PELLAN_TRY_VERIFY(!shown->isVisible());
    QCOMPARE(shown->result(), result);
}

QString TstAccessibility::addSensor()
{
    CI2cDeviceFile device;
    device.SetName(QStringLiteral("Sensor"));
    device.SetAddress(0x48);
    device.AddCommand(
        {QStringLiteral("A"), EI2cCommandType::Write, EI2cStartStop::Auto, {0x01}, 1});
    device.AddCommand(
        {QStringLiteral("B"), EI2cCommandType::Write, EI2cStartStop::Auto, {0x02, 0xA5}, 1});
    device.AddCommand(
        {QStringLiteral("C"), EI2cCommandType::Write, EI2cStartStop::Auto, {0x03}, 1});
    const QString path = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                         QStringLiteral("/Tremwick/pellan_i2c/projects/sensor.i2cdev");
    if (!device.SaveAs(path))
        return {};
    ui()->btn_projects_reload->click();
    return path;
}

void TstAccessibility::tableMenuIsForCurrentRow_data()
{
    QTest::addColumn<bool>("menuKey");
    QTest::newRow("Shift+F10") << false;
    // Qt turns the Menu key into a context menu event at a point of its own;
    // here a point over the first row.
    QTest::newRow("Menu key") << true;
}

void TstAccessibility::openMenuFromKeyboard(QAbstractItemView* view)
{
    QFETCH(bool, menuKey);
    if (!menuKey) {
        QTest::keyClick(view, Qt::Key_F10, Qt::ShiftModifier);
        return;
    }
    const QPoint pos = view->visualRect(view->model()->index(0, 0)).center();
    QContextMenuEvent event(QContextMenuEvent::Keyboard, pos, view->mapToGlobal(pos));
    QApplication::sendEvent(view, &event);
}

void TstAccessibility::errorRowsSayItInWords()
{
    showWindow();
    MainWindowProbe probe(*m_window);
    probe.addTableRow(QStringLiteral("Read 0x23"), QStringLiteral("0x00"),
                      std::vector<uint8_t>{0x12, 0x34}, false);
    probe.addTableRow(QStringLiteral("Write 0x50"), QStringLiteral("0x02  NACK"),
                      std::vector<uint8_t>{0x01}, true);
    QAccessibleTableInterface* table = accessible(ui()->table_data)->tableInterface();
    QVERIFY(table);
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 3; ++column) {
            QAccessibleInterface* cell = table->cellAt(row, column);
            QVERIFY(cell);
            QCOMPARE(cell->text(QAccessible::Name), apptest::cell(*m_window, row, column));
            QCOMPARE(cell->text(QAccessible::Description),
                     row == 1 ? QStringLiteral("Error") : QString());
        }
    }

    const QString broken = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                           QStringLiteral("/Tremwick/pellan_i2c/projects/broken.i2cdev");
    QFile file(broken);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("{") == 1);
    file.close();
    ui()->btn_projects_reload->click();
    QTreeView* tree = ui()->tree_projects;
    const QModelIndex errorRow = tree->model()->index(tree->model()->rowCount() - 1, 2);
    QCOMPARE(errorRow.data().toString(), QStringLiteral("Error"));
    tree->scrollTo(errorRow); // laid out, as a shown tree is
    QAccessibleInterface* cell =
        accessible(tree)->tableInterface()->cellAt(tree->model()->rowCount() - 1, 0);
    QVERIFY(cell);
    QCOMPARE(cell->text(QAccessible::Name), QStringLiteral("broken.i2cdev"));
    QVERIFY(cell->text(QAccessible::Description).startsWith(QStringLiteral("Error: ")));
    QVERIFY(file.remove());
}

void TstAccessibility::tableMenuIsForCurrentRow()
{
    showWindow();
    MainWindowProbe probe(*m_window);
    for (uint8_t value : {0xA0, 0xB0, 0xC0})
        probe.addTableRow(QStringLiteral("Read 0x23"), QStringLiteral("0x00"),
                          std::vector<uint8_t>{value}, false);
    QTableWidget* table = ui()->table_data;
    table->setFocus();
    table->selectRow(0);
    // Ctrl+Down moves the current row without selecting it.
    table->selectionModel()->setCurrentIndex(table->model()->index(2, 0),
                                             QItemSelectionModel::NoUpdate);

    testsupport::CDialogAnswerer answerer;
    answerer.chooseMenuEntry(QStringLiteral("Copy Data"));
    openMenuFromKeyboard(table);
    QVERIFY(answerer.waitDone());
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("C0"));
    QCOMPARE(table->selectionModel()->selectedRows().size(), 1);
}

void TstAccessibility::treeMenuIsForCurrentRow()
{
    showWindow();
    const QString path = addSensor();
    QVERIFY(!path.isEmpty());
    QTreeView* tree = ui()->tree_projects;
    tree->setFocus();
    // Among the examples that the first start installed.
    tree->setCurrentIndex(tree->model()
                              ->match(tree->model()->index(0, 0), Qt::DisplayRole,
                                      QStringLiteral("Sensor"), 1, Qt::MatchExactly)
                              .value(0));
    QCOMPARE(tree->currentIndex().data().toString(), QStringLiteral("Sensor"));
    for (Qt::Key key : {Qt::Key_Right, Qt::Key_Down, Qt::Key_Down})
        QTest::keyClick(tree, key);
    QCOMPARE(tree->currentIndex().data().toString(), QStringLiteral("B"));

    testsupport::CDialogAnswerer answerer;
    answerer.chooseMenuEntry(QStringLiteral("Delete Command"));
    answerer.pressButton(QMessageBox::Yes);
    openMenuFromKeyboard(tree);
    QVERIFY(answerer.waitDone());
    // Both moves are open to the middle command only.
    QCOMPARE(answerer.menuEntries().mid(0, 6),
             QStringList({"Execute", "Load into Fields", "Rename...", "Move Up", "Move Down",
                          "Delete Command"}));
    CI2cDeviceFile device;
    QVERIFY(device.Load(path));
    QCOMPARE(device.GetCommands().size(), 2);
    QCOMPARE(device.GetCommands().at(0).label, QStringLiteral("A"));
    QCOMPARE(device.GetCommands().at(1).label, QStringLiteral("C"));
}

void TstAccessibility::returnInTreeActsLikeTheMouse()
{
    showWindow();
    QVERIFY(!addSensor().isEmpty());
    QTreeView* tree = ui()->tree_projects;
    tree->setFocus();
    const QModelIndex sensor = tree->model()
                                   ->match(tree->model()->index(0, 0), Qt::DisplayRole,
                                           QStringLiteral("Sensor"), 1, Qt::MatchExactly)
                                   .value(0);
    QVERIFY(sensor.isValid());
    tree->setCurrentIndex(sensor);
    QTest::keyClick(tree, Qt::Key_Return);
    QCOMPARE(ui()->cmb_i2c_device->currentText(), QStringLiteral("0x48"));

    // A command runs as on a double-click; without an adapter it is loaded.
    tree->expand(sensor);
    tree->setCurrentIndex(tree->model()->index(1, 0, sensor));
    QTest::keyClick(tree, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(ui()->edit_write->text(), QStringLiteral("02 A5"));
    QVERIFY(m_window->statusBar()->currentMessage().contains(QStringLiteral("\"B\" loaded")));
}

QTEST_MAIN(TstAccessibility)
#include "tst_accessibility.moc"
