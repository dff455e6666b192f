#include "app/mainwindow.h"
#include "tests/support/dialoganswerer.h"
#include "tests/support/mainwindowprobe.h"
#include "tests/support/waits.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QDockWidget>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QScreen>
#include <QSet>
#include <QSettings>
#include <QStatusBar>
#include <QTest>

#include <memory>

class TstMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void firstStartShowsDesignedDefaults();
    void controlsWithoutConnection();
    void settingsSurviveRestart();
    void unknownBytesPerLineKeepsDefault();
    void unreadableTableSettingsFallBack_data();
    void unreadableTableSettingsFallBack();
    void addressPlaceholderFollowsFormat();
    void menusHaveKeys();
};

namespace {
Ui::MainWindow* ui(MainWindow& window)
{
    return MainWindowProbe(window).ui();
}
} // namespace

void TstMainWindow::initTestCase()
{
    QApplication::setOrganizationName(QStringLiteral("Tremwick"));
    QApplication::setApplicationName(QStringLiteral("pellan_i2c"));
}

void TstMainWindow::init()
{
    QSettings().clear();
}

void TstMainWindow::firstStartShowsDesignedDefaults()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, testsupport::WAIT_MS));
    Ui::MainWindow* u = ui(window);

    // The designed size, as far as the screen (small under the offscreen
    // platform) has room for it with a frame around.
    const QSize room = window.screen()->availableGeometry().size() - QSize(48, 48);
    QCOMPARE(window.size(), QSize(1070, 627).boundedTo(room));
    QCOMPARE(window.windowTitle(), QStringLiteral("Orvane Pellan I2C"));
    QVERIFY(u->actionSpeed100k->isChecked());
    QVERIFY(u->actionAddress7Bit->isChecked());
    QVERIFY(u->actionPullUps->isChecked());
    QCOMPARE(u->cmb_bytes_per_line->currentText(), QStringLiteral("16"));
    QCOMPARE(u->cmb_offset_format->currentText(), QStringLiteral("Hex"));
    QVERIFY(u->dock_projects->isVisible());
    QVERIFY(u->actionProjects->isChecked());

    const QList<QLabel*> labels = window.statusBar()->findChildren<QLabel*>();
    const auto withText = [&labels](const QString& needle) -> QLabel* {
        for (QLabel* label : labels) {
            if (label->text().contains(needle))
                return label;
        }
        return nullptr;
    };
    QLabel* connection = withText(QStringLiteral("No device connected"));
    QVERIFY(connection);
    QVERIFY(connection->text().contains(QStringLiteral("color:#607d8b")));
    QVERIFY(connection->text().contains(QStringLiteral("font-weight:bold")));
    QLabel* version = withText(QStringLiteral("v1.0.0"));
    QVERIFY(version);
    QCOMPARE(version->text(), QStringLiteral("v1.0.0"));
}

void TstMainWindow::controlsWithoutConnection()
{
    MainWindow window;
    Ui::MainWindow* u = ui(window);

    QVERIFY(u->actionConnect->isEnabled());
    for (QAction* action : {u->actionDisconnect, u->actionI2cSearch})
        QVERIFY2(!action->isEnabled(), qPrintable(action->objectName()));
    for (QWidget* widget :
         {static_cast<QWidget*>(u->btn_i2c_search), static_cast<QWidget*>(u->btn_write),
          static_cast<QWidget*>(u->btn_read)})
        QVERIFY2(!widget->isEnabled(), qPrintable(widget->objectName()));
    for (QAction* action : {u->actionSpeed10k, u->actionSpeed50k, u->actionSpeed100k,
                            u->actionSpeed400k, u->actionSpeed1000k, u->actionPullUps})
        QVERIFY2(action->isEnabled(), qPrintable(action->objectName()));
    // Commands can be loaded and saved without an adapter.
    for (QWidget* widget :
         {static_cast<QWidget*>(u->tbtn_write_save), static_cast<QWidget*>(u->tbtn_read_save),
          static_cast<QWidget*>(u->edit_write), static_cast<QWidget*>(u->table_data)})
        QVERIFY2(widget->isEnabled(), qPrintable(widget->objectName()));

    // The speed actions carry their protocol values.
    QCOMPARE(u->actionSpeed10k->data().toInt(), 3);
    QCOMPARE(u->actionSpeed50k->data().toInt(), 2);
    QCOMPARE(u->actionSpeed100k->data().toInt(), 0);
    QCOMPARE(u->actionSpeed400k->data().toInt(), 1);
    QCOMPARE(u->actionSpeed1000k->data().toInt(), 4);
}

void TstMainWindow::settingsSurviveRestart()
{
    QRect geometry;
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window, testsupport::WAIT_MS));
        Ui::MainWindow* u = ui(window);
        // Within the test's screen of 800 pixels, which a restored window
        // must fit.
        window.setGeometry(40, 50, 740, 560);
        window.addDockWidget(Qt::LeftDockWidgetArea, u->dock_projects);
        u->cmb_bytes_per_line->setCurrentText(QStringLiteral("4"));
        u->cmb_offset_format->setCurrentIndex(1);
        geometry = window.geometry();
        window.close();
    }

    QCOMPARE(QSettings().value(QStringLiteral("table/bytesPerLine")).toInt(), 4);
    QCOMPARE(QSettings().value(QStringLiteral("table/offsetDecimal")).toBool(), true);

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, testsupport::WAIT_MS));
    Ui::MainWindow* u = ui(window);
    QCOMPARE(window.geometry().size(), geometry.size());
    QCOMPARE(window.dockWidgetArea(u->dock_projects), Qt::LeftDockWidgetArea);
    QCOMPARE(u->cmb_bytes_per_line->currentText(), QStringLiteral("4"));
    QCOMPARE(u->cmb_offset_format->currentText(), QStringLiteral("Dec"));

    // A dock closed by the user stays closed, and View > Projects says so.
    u->dock_projects->close();
    window.close();
    MainWindow third;
    third.show();
    QVERIFY(QTest::qWaitForWindowExposed(&third, testsupport::WAIT_MS));
    QVERIFY(ui(third)->dock_projects->isHidden());
    QVERIFY(!ui(third)->actionProjects->isChecked());
}

void TstMainWindow::unknownBytesPerLineKeepsDefault()
{
    QSettings().setValue(QStringLiteral("table/bytesPerLine"), 7);
    MainWindow window;
    QCOMPARE(ui(window)->cmb_bytes_per_line->currentText(), QStringLiteral("16"));
    // Restoring does not write the settings back.
    QCOMPARE(QSettings().value(QStringLiteral("table/bytesPerLine")).toInt(), 7);

    QSettings().setValue(QStringLiteral("table/bytesPerLine"), 0);
    MainWindow full;
    QCOMPARE(ui(full)->cmb_bytes_per_line->currentText(), QStringLiteral("Full"));
}

void TstMainWindow::unreadableTableSettingsFallBack_data()
{
    QTest::addColumn<QVariant>("bytesPerLine");
    QTest::addColumn<QVariant>("offsetDecimal");
    QTest::addColumn<QString>("bytesShown");
    QTest::addColumn<QString>("offsetShown");

    QTest::newRow("bytes per line a word") << QVariant("many") << QVariant(false) << "16"
                                           << "Hex";
    QTest::newRow("offset a word") << QVariant(8) << QVariant("banana") << "8"
                                   << "Hex";
    QTest::newRow("readable texts") << QVariant("32") << QVariant("true") << "32"
                                    << "Dec";
}

void TstMainWindow::unreadableTableSettingsFallBack()
{
    QFETCH(QVariant, bytesPerLine);
    QFETCH(QVariant, offsetDecimal);
    QFETCH(QString, bytesShown);
    QFETCH(QString, offsetShown);

    {
        // Texts, as a hand-edited settings file gives them back.
        QSettings settings;
        settings.setValue(QStringLiteral("table/bytesPerLine"), bytesPerLine);
        settings.setValue(QStringLiteral("table/offsetDecimal"), offsetDecimal);
    }
    MainWindow window;
    QCOMPARE(ui(window)->cmb_bytes_per_line->currentText(), bytesShown);
    QCOMPARE(ui(window)->cmb_offset_format->currentText(), offsetShown);
}

void TstMainWindow::addressPlaceholderFollowsFormat()
{
    MainWindow window;
    Ui::MainWindow* u = ui(window);
    QCOMPARE(u->cmb_i2c_device->lineEdit()->placeholderText(), QStringLiteral("0x50"));
    u->actionAddress8Bit->trigger();
    QCOMPARE(u->cmb_i2c_device->lineEdit()->placeholderText(), QStringLiteral("0xA0"));
    u->actionAddress7Bit->trigger();
    QCOMPARE(u->cmb_i2c_device->lineEdit()->placeholderText(), QStringLiteral("0x50"));
}

// Every menu and menu entry has an access key of its own within its menu,
// and Ctrl+Q quits.
void TstMainWindow::menusHaveKeys()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, testsupport::WAIT_MS));
    const auto checkKeys = [](const QList<QAction*>& actions, const QString& where) {
        QSet<QChar> keys;
        for (const QAction* action : actions) {
            if (action->isSeparator() || action->actionGroup())
                continue;
            const qsizetype mark = action->text().indexOf(QLatin1Char('&'));
            QVERIFY2(mark >= 0 && mark + 1 < action->text().size(),
                     qPrintable(where + QStringLiteral(": ") + action->text()));
            const QChar key = action->text().at(mark + 1).toLower();
            QVERIFY2(!keys.contains(key),
                     qPrintable(where + QStringLiteral(": ") + action->text()));
            keys.insert(key);
        }
    };
    checkKeys(window.menuBar()->actions(), QStringLiteral("menu bar"));
    for (const QMenu* menu : window.menuBar()->findChildren<QMenu*>())
        checkKeys(menu->actions(), menu->title());

    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), testsupport::WAIT_MS);
}

QTEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
