// Renders the README's screenshots: the demo program's main window connected
// to a simulated Orvane3, with a bus search, a write and a read in the table,
// the device dialog, the Registers view on the example LM75, and the watch
// dock on the demo's changing light and temperature. Run through
// scripts/screenshots.sh.

#include "app/mainwindow.h"
#include "app/registersdock.h"
#include "app/registertreemodel.h"
#include "app/watchdock.h"
#include "projects/i2cdevicefile.h"
#include "sim/adapters/demoadapters.h"
#include "sim/adapters/simorvadapter.h"
#include "tests/support/dialoganswerer.h"
#include "tests/support/mainwindowprobe.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QIcon>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tremwick"));
    QApplication::setApplicationName(QStringLiteral("pellan_i2c"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/res/icon/icon.png")));
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();

    const auto adapters = PlugDemoAdapters();

    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    MainWindowProbe probe(window);
    Ui::MainWindow* ui = probe.ui();

    // A second device file beside the example that the first start installed.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                           QStringLiteral("/Tremwick/pellan_i2c/projects");
    QDir().mkpath(folder);
    CI2cDeviceFile eeprom;
    eeprom.SetName(QStringLiteral("24C02 EEPROM"));
    eeprom.SetAddress(0x50);
    eeprom.SetDescription(
        QStringLiteral("2 Kbit EEPROM, 8-byte pages. Address 0x50 with A2..A0 low."));
    SI2cCommand setPointer;
    setPointer.label = QStringLiteral("Set address 0x00");
    setPointer.mode = EI2cStartStop::Start;
    setPointer.data = {0x00};
    eeprom.AddCommand(setPointer);
    SI2cCommand readPage;
    readPage.label = QStringLiteral("Read 40 bytes");
    readPage.type = EI2cCommandType::Read;
    readPage.count = 40;
    eeprom.AddCommand(readPage);
    eeprom.SaveAs(folder + QStringLiteral("/24c02_eeprom.i2cdev"));

    ui->btn_projects_reload->click();

    testsupport::CDialogAnswerer answerer;
    answerer.handleWith([&outDir](QWidget* dialog) {
        dialog->grab().save(outDir + QStringLiteral("/device-dialog.png"));
        static_cast<QDialog*>(dialog)->accept();
    });
    ui->actionConnect->trigger();

    ui->btn_i2c_search->click();
    ui->cmb_i2c_device->setCurrentText(QStringLiteral("0x23"));
    ui->edit_write->setText(QStringLiteral("10"));
    ui->btn_write->click();
    ui->spin_read->setValue(2);
    ui->btn_read->click();
    ui->cmb_i2c_device->setCurrentText(QStringLiteral("0x50"));
    ui->edit_write->setText(QStringLiteral("00 48 65 6C 6C 6F"));
    ui->btn_write->click();
    ui->edit_write->setText(QStringLiteral("00"));
    ui->cmb_startstop->setCurrentIndex(1);
    ui->btn_write->click();
    ui->spin_read->setValue(40);
    ui->btn_read->click();
    ui->cmb_i2c_device->setCurrentText(QStringLiteral("0x30"));
    ui->cmb_startstop->setCurrentIndex(0);
    ui->edit_write->setText(QStringLiteral("01"));
    ui->btn_write->click();
    ui->tree_projects->expandAll();
    const QModelIndex device = ui->tree_projects->model()->index(1, 0);
    ui->tree_projects->setCurrentIndex(ui->tree_projects->model()->index(7, 0, device));
    ui->tree_projects->clicked(ui->tree_projects->currentIndex());
    QTest::qWait(200);

    bool saved = window.grab().save(outDir + QStringLiteral("/main-window.png"));

    // The Registers view of the example LM75, which names its map: read,
    // its fault queue written and read back, and read again.
    auto* registers = window.findChild<RegistersDock*>();
    QAbstractItemModel* projects = ui->tree_projects->model();
    for (int row = 0; row < projects->rowCount(); ++row) {
        if (projects->index(row, 0).data().toString() == QLatin1String("LM75"))
            ui->tree_projects->setCurrentIndex(projects->index(row, 0));
    }
    CI2cDeviceFile lm75;
    lm75.Load(folder + QStringLiteral("/lm75.i2cdev"));
    registers->showDevice(lm75, true);
    registers->findChild<QPushButton*>(QStringLiteral("btn_registers_read_all"))->click();
    const SRegisterMap* map = registers->map();
    const int conf = map->FindRegister(u"CONF");
    const int queue = map->registers[static_cast<size_t>(conf)].FindField(u"F_QUE");
    registers->tree()->setCurrentIndex(registers->model()->indexOf(conf, queue));
    registers->findChild<QComboBox*>(QStringLiteral("cmb_registers_value"))
        ->setCurrentText(QStringLiteral("4 faults"));
    registers->findChild<QPushButton*>(QStringLiteral("btn_registers_write"))->click();
    QTest::qWait(200);
    saved = window.grab().save(outDir + QStringLiteral("/registers-lm75.png")) && saved;
    registers->hide();

    // The watch dock, floating at a size of its own, on each sensor in turn.
    const CDemoDrift drift(adapters);
    auto* dock = window.findChild<WatchDock*>();
    dock->setFloating(true);
    dock->resize(960, 400);
    auto watch = [&](const QString& address, const QString& reg,
                     const std::vector<std::pair<const char*, QString>>& fields,
                     const QString& file) {
        ui->cmb_i2c_device->setCurrentText(address);
        ui->spin_read->setValue(2);
        if (!dock->samples().empty())
            answerer.pressButton(QMessageBox::Discard);
        ui->btn_watch->click();
        // Paused while the rule is set, then started afresh: one series.
        auto* startButton = dock->findChild<QPushButton*>(QStringLiteral("btn_watch_start"));
        startButton->click();
        auto* registerField = dock->findChild<QLineEdit*>(QStringLiteral("edit_watch_register"));
        registerField->setText(reg);
        QTest::keyClick(registerField, Qt::Key_Return);
        QLineEdit* interval =
            dock->findChild<QComboBox*>(QStringLiteral("cmb_watch_interval"))->lineEdit();
        interval->setText(QStringLiteral("50ms"));
        QTest::keyClick(interval, Qt::Key_Return);
        dock->findChild<QSpinBox*>(QStringLiteral("spin_watch_window"))->setValue(20);
        for (const auto& [name, value] : fields) {
            QWidget* field = dock->findChild<QWidget*>(QLatin1String(name));
            if (auto* edit = qobject_cast<QLineEdit*>(field)) {
                edit->setText(value);
                QTest::keyClick(edit, Qt::Key_Return);
            } else if (auto* box = qobject_cast<QComboBox*>(field))
                box->setCurrentText(value);
            else if (auto* spin = qobject_cast<QSpinBox*>(field))
                spin->setValue(value.toInt());
        }
        answerer.pressButton(QMessageBox::Discard);
        dock->refreshNow();
        dock->findChild<QPushButton*>(QStringLiteral("btn_watch_clear"))->click();
        startButton->click();
        QTest::qWait(20500);
        dock->refreshNow();
        QTest::qWait(100);
        saved = dock->grab().save(outDir + QLatin1Char('/') + file) && saved;
    };
    // Continuous high-resolution measurements, then lux = counts / 1.2.
    ui->cmb_i2c_device->setCurrentText(QStringLiteral("0x23"));
    ui->edit_write->setText(QStringLiteral("10"));
    ui->btn_write->click();
    watch(QStringLiteral("0x23"), QString(),
          {{"cmb_watch_format", QStringLiteral("u16be")},
           {"edit_watch_scale", QStringLiteral("1/1.2")},
           {"edit_watch_unit", QStringLiteral("lx")},
           {"spin_watch_decimals", QStringLiteral("1")}},
          QStringLiteral("watch-bh1750.png"));
    watch(QStringLiteral("0x48"), QStringLiteral("00"),
          {{"cmb_watch_format", QStringLiteral("s16be")},
           {"edit_watch_shift", QStringLiteral("7")},
           {"edit_watch_scale", QStringLiteral("0.5")},
           {"edit_watch_unit", QStringLiteral("°C")},
           {"spin_watch_decimals", QStringLiteral("1")}},
          QStringLiteral("watch-lm75.png"));

    std::printf("%s\n", saved ? "saved" : "failed");
    return saved ? 0 : 1;
}
