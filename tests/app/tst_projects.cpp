#include "apptesthelpers.h"
#include "projects/i2cdevicefile.h"
#include "sim/adapters/simi2cdevice.h"
#include "tests/support/waits.h"

#include <QDockWidget>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using apptest::connectTo;
using apptest::takeReports;

namespace {

QString projectsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
           QStringLiteral("/Tremwick/pellan_i2c/projects");
}

SI2cCommand writeCommand(const QString& label, EI2cStartStop mode, std::vector<uint8_t> data)
{
    SI2cCommand command;
    command.label = label;
    command.type = EI2cCommandType::Write;
    command.mode = mode;
    command.data = std::move(data);
    return command;
}

SI2cCommand readCommand(const QString& label, int count)
{
    SI2cCommand command;
    command.label = label;
    command.type = EI2cCommandType::Read;
    command.count = count;
    return command;
}

// A device file "Bench EEPROM" at 0x50 in the projects folder.
bool writeEepromFile(const QString& folder)
{
    CI2cDeviceFile file;
    file.SetName(QStringLiteral("Bench EEPROM"));
    file.SetAddress(0x50);
    file.AddCommand(writeCommand(QStringLiteral("Set pointer"), EI2cStartStop::Start, {0x00}));
    file.AddCommand(writeCommand(QStringLiteral("Finish"), EI2cStartStop::Stop, {0xAB, 0xCD}));
    file.AddCommand(readCommand(QStringLiteral("Read 16"), 16));
    return QDir().mkpath(folder) && file.SaveAs(folder + QStringLiteral("/eeprom.i2cdev"));
}

// Keeps every byte written to it.
class CRecorder : public CSimI2cDevice {
public:
    bool Start(bool) override { return true; }
    size_t Write(std::span<const uint8_t> bytes) override
    {
        written.insert(written.end(), bytes.begin(), bytes.end());
        return bytes.size();
    }
    void Read(std::span<uint8_t> out) override { std::fill(out.begin(), out.end(), 0); }
    void Stop() override {}
    std::vector<uint8_t> written;
};

} // namespace

class TstProjects : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { apptest::setApplicationNames(); }
    void init();
    void cleanup();

    void clickingRowsLoadsFields();
    void executeWithoutConnectionOnlyLoads();
    void executeStopWriteSendsNoAddress();
    void executeSendsEveryStoredByte();
    void longDescriptionKeepsTheWindowWidth();
    void saveButtonsHandCommandsToThePanel();
    void saveRefusesBadInput_data();
    void saveRefusesBadInput();
    void formatSwitchUpdatesTree();
    void viewActionFollowsDock();
    void anotherFolderIsShown();

private:
    Ui::MainWindow* ui() { return MainWindowProbe(*m_window).ui(); }
    QModelIndex rowOf(const QString& name, const QModelIndex& parent = {});
    void click(const QModelIndex& index);
    void doubleClick(const QModelIndex& index);

    std::unique_ptr<MainWindow> m_window;
};

void TstProjects::init()
{
    apptest::resetAll();
    QDir(projectsFolder()).removeRecursively();
    QVERIFY(writeEepromFile(projectsFolder()));
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get(), testsupport::WAIT_MS));
}

void TstProjects::cleanup()
{
    m_window.reset();
}

QModelIndex TstProjects::rowOf(const QString& name, const QModelIndex& parent)
{
    QAbstractItemModel* model = ui()->tree_projects->model();
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        if (index.data().toString() == name)
            return index;
    }
    return {};
}

void TstProjects::click(const QModelIndex& index)
{
    QTreeView* tree = ui()->tree_projects;
    if (index.parent().isValid())
        tree->expand(index.parent());
    tree->scrollTo(index);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(index).center());
}

void TstProjects::doubleClick(const QModelIndex& index)
{
    QTreeView* tree = ui()->tree_projects;
    click(index);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(index).center());
}

void TstProjects::clickingRowsLoadsFields()
{
    ui()->actionAddress8Bit->trigger();
    // The switch rebuilt the tree: look the rows up afterwards.
    const QModelIndex device = rowOf(QStringLiteral("Bench EEPROM"));
    QVERIFY(device.isValid());
    click(device);
    QCOMPARE(ui()->cmb_i2c_device->currentText(), QStringLiteral("0xA0"));

    ui()->edit_write->setText(QStringLiteral("77"));
    ui()->cmb_startstop->setCurrentIndex(3);
    ui()->cmb_i2c_device->setEditText(QString());
    click(rowOf(QStringLiteral("Read 16"), device));
    QCOMPARE(ui()->cmb_i2c_device->currentText(), QStringLiteral("0xA0"));
    QCOMPARE(ui()->spin_read->value(), 16);
    QCOMPARE(ui()->edit_write->text(), QStringLiteral("77")); // untouched
    QCOMPARE(ui()->cmb_startstop->currentIndex(), 3);

    click(rowOf(QStringLiteral("Finish"), device));
    QCOMPARE(ui()->edit_write->text(), QStringLiteral("AB CD"));
    QCOMPARE(ui()->cmb_startstop->currentIndex(), 2);
    QCOMPARE(ui()->spin_read->value(), 16);
}

void TstProjects::executeWithoutConnectionOnlyLoads()
{
    const QModelIndex device = rowOf(QStringLiteral("Bench EEPROM"));
    doubleClick(rowOf(QStringLiteral("Read 16"), device));
    QCOMPARE(ui()->spin_read->value(), 16);
    QCOMPARE(m_window->statusBar()->currentMessage(),
             QStringLiteral("Command \"Read 16\" loaded. Connect a device to execute it."));
    QCOMPARE(ui()->table_data->rowCount(), 0);
}

void TstProjects::executeStopWriteSendsNoAddress()
{
    auto adapter = apptest::plugBare(ESimOrvModel::Orv3, L"P-1");
    QVERIFY(connectTo(*m_window, QStringLiteral("P-1")));
    const QModelIndex device = rowOf(QStringLiteral("Bench EEPROM"));

    doubleClick(rowOf(QStringLiteral("Set pointer"), device));
    doubleClick(rowOf(QStringLiteral("Finish"), device));
    const auto writes = takeReports(*adapter, 0x02);
    QCOMPARE(writes.size(), size_t(2));
    QCOMPARE(writes[0][1], uint8_t(0x82)); // start, two bytes: A0 00
    QCOMPARE(writes[0][2], uint8_t(0xA0));
    QCOMPARE(writes[1][1], uint8_t(0x42)); // stop, two bytes, no address
    QCOMPARE(writes[1][2], uint8_t(0xAB));
    QCOMPARE(writes[1][3], uint8_t(0xCD));
    QCOMPARE(apptest::lastCell(*m_window, 0), QStringLiteral("Write [Generate Stop]"));
}

// More bytes than a line edit holds by default as hex text.
void TstProjects::executeSendsEveryStoredByte()
{
    std::vector<uint8_t> data(12000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    CI2cDeviceFile file;
    file.SetName(QStringLiteral("Long"));
    file.SetAddress(0x51);
    file.AddCommand(writeCommand(QStringLiteral("Fill"), EI2cStartStop::Auto, data));
    QVERIFY(file.SaveAs(projectsFolder() + QStringLiteral("/long.i2cdev")));
    ui()->btn_projects_reload->click();
    auto adapter = apptest::plugBare(ESimOrvModel::Orv3, L"P-1");
    auto recorder = std::make_shared<CRecorder>();
    adapter->AddDevice(0x51, recorder);
    QVERIFY(connectTo(*m_window, QStringLiteral("P-1")));

    doubleClick(rowOf(QStringLiteral("Fill"), rowOf(QStringLiteral("Long"))));
    QCOMPARE(recorder->written, data);
    QCOMPARE(CI2cDeviceFile::HexToBytes(ui()->edit_write->text()), data);
}

void TstProjects::longDescriptionKeepsTheWindowWidth()
{
    CI2cDeviceFile file;
    file.SetName(QStringLiteral("Wordy"));
    file.SetAddress(0x52);
    file.SetDescription(QString(400, QLatin1Char('W')) + QStringLiteral(" and ") +
                        QStringLiteral("many words ").repeated(60));
    QVERIFY(file.SaveAs(projectsFolder() + QStringLiteral("/wordy.i2cdev")));
    ui()->btn_projects_reload->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    const int width = m_window->width();
    const int minimum = m_window->minimumSizeHint().width();

    click(rowOf(QStringLiteral("Wordy")));
    QCOMPARE(ui()->label_projects_description->text(), file.GetDescription());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCOMPARE(m_window->minimumSizeHint().width(), minimum);
    QCOMPARE(m_window->width(), width);
}

void TstProjects::saveButtonsHandCommandsToThePanel()
{
    const QModelIndex device = rowOf(QStringLiteral("Bench EEPROM"));
    click(device);

    testsupport::CDialogAnswerer answerer;
    answerer.enterText(QStringLiteral("Probe"));
    ui()->cmb_startstop->setCurrentIndex(0);
    ui()->edit_write->clear();
    ui()->tbtn_write_save->click();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen()[0].title, QStringLiteral("Save Command"));

    answerer.enterText(QStringLiteral("Read 3"));
    ui()->spin_read->setValue(3);
    ui()->tbtn_read_save->click();
    QVERIFY(answerer.waitDone());

    CI2cDeviceFile file;
    QVERIFY(file.Load(projectsFolder() + QStringLiteral("/eeprom.i2cdev")));
    const QList<SI2cCommand>& commands = file.GetCommands();
    QCOMPARE(commands.size(), 5);
    QCOMPARE(commands[3].label, QStringLiteral("Probe"));
    QCOMPARE(commands[3].type, EI2cCommandType::Write);
    QCOMPARE(commands[3].mode, EI2cStartStop::Auto);
    QVERIFY(commands[3].data.empty());
    QCOMPARE(commands[4].type, EI2cCommandType::Read);
    QCOMPARE(commands[4].count, 3);
}

void TstProjects::saveRefusesBadInput_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("text");
    QTest::newRow("not hex") << 0 << "0xG"
                             << "Invalid input. Enter hex bytes, e.g. \"01 A5 FF\".";
    QTest::newRow("None without bytes") << 3 << ""
                                        << "Without start at least one data byte is required.";
    QTest::newRow("Stop without bytes") << 2 << " ; "
                                        << "Without start at least one data byte is required.";
}

void TstProjects::saveRefusesBadInput()
{
    QFETCH(int, mode);
    QFETCH(QString, input);
    QFETCH(QString, text);

    click(rowOf(QStringLiteral("Bench EEPROM")));
    ui()->cmb_startstop->setCurrentIndex(mode);
    ui()->edit_write->setText(input);
    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    ui()->tbtn_write_save->click();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen()[0].title, QStringLiteral("Save Command"));
    QCOMPARE(answerer.seen()[0].text, text);

    CI2cDeviceFile file;
    QVERIFY(file.Load(projectsFolder() + QStringLiteral("/eeprom.i2cdev")));
    QCOMPARE(file.GetCommands().size(), 3);
}

void TstProjects::formatSwitchUpdatesTree()
{
    QAbstractItemModel* model = ui()->tree_projects->model();
    const auto addressText = [&] {
        const QModelIndex device = rowOf(QStringLiteral("Bench EEPROM"));
        return model->index(device.row(), 2).data().toString();
    };
    QCOMPARE(addressText(), QStringLiteral("0x50"));
    ui()->actionAddress8Bit->trigger();
    QCOMPARE(addressText(), QStringLiteral("0xA0"));
    ui()->actionAddress7Bit->trigger();
    QCOMPARE(addressText(), QStringLiteral("0x50"));
}

void TstProjects::viewActionFollowsDock()
{
    QDockWidget* dock = ui()->dock_projects;
    QVERIFY(ui()->actionProjects->isChecked());
    dock->close();
    QVERIFY(!ui()->actionProjects->isChecked());
    ui()->actionProjects->trigger();
    QVERIFY(ui()->actionProjects->isChecked());
    PELLAN_TRY_VERIFY(dock->isVisible());

    // Tabbed behind another dock, the dock reports itself invisible while
    // it is not hidden: covered, not closed.
    emit dock->visibilityChanged(false);
    QVERIFY(!dock->isHidden());
    QVERIFY(ui()->actionProjects->isChecked());
}

void TstProjects::anotherFolderIsShown()
{
    QTemporaryDir other;
    QVERIFY(other.isValid());
    CI2cDeviceFile file;
    file.SetName(QStringLiteral("Clock"));
    file.SetAddress(0x68);
    QVERIFY(file.SaveAs(other.path() + QStringLiteral("/clock.i2cdev")));

    testsupport::CDialogAnswerer answerer;
    QString startedAt;
    answerer.chooseFile(other.path());
    answerer.runFirst([&] {
        startedAt = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())
                        ->directory()
                        .absolutePath();
    });
    ui()->actionProjects_Folder->trigger();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen()[0].title, QStringLiteral("Projects Folder"));
    QCOMPARE(startedAt, QDir(projectsFolder()).absolutePath());
    QVERIFY(rowOf(QStringLiteral("Clock")).isValid());
    QVERIFY(!rowOf(QStringLiteral("Bench EEPROM")).isValid());
    QCOMPARE(m_window->statusBar()->currentMessage(),
             QStringLiteral("Projects folder: ") + QDir::toNativeSeparators(other.path()));

    // Cancelling changes nothing.
    answerer.reject();
    ui()->actionProjects_Folder->trigger();
    QVERIFY(answerer.waitDone());
    QVERIFY(rowOf(QStringLiteral("Clock")).isValid());
}

QTEST_MAIN(TstProjects)
#include "tst_projects.moc"
