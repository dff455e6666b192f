// Renders the README's screenshots: the demo program's main window connected
// to a simulated Orvane3, with a bus search, a write and a read in the table,
// and the device dialog. Run through scripts/screenshots.sh.

#include "app/mainwindow.h"
#include "projects/i2cdevicefile.h"
#include "sim/adapters/simorvadapter.h"
#include "tests/support/dialoganswerer.h"
#include "tests/support/mainwindowprobe.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QIcon>
#include <QLineEdit>
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

    CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"OR3-100042");
    CSimOrvAdapter::Plug(ESimOrvModel::Orv5, L"OR5-200107");
    CSimOrvAdapter::Plug(ESimOrvModel::Orv7, L"OR7-300311");

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

    const bool saved = window.grab().save(outDir + QStringLiteral("/main-window.png"));
    std::printf("%s\n", saved ? "saved" : "failed");
    return saved ? 0 : 1;
}
