#include "projects/projectspanel.h"
#include "tests/support/dialoganswerer.h"
#include "tests/support/projectsdock.h"
#include "tests/support/projectspanelprobe.h"
#include "tests/support/readonlyfolder.h"
#include "tests/support/waits.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>
#include <QTreeView>
#include <QUrl>

#include <csignal>
#include <memory>
#include <optional>
#include <sys/resource.h>

using namespace Qt::StringLiterals;
using testsupport::CDialogAnswerer;
using testsupport::CReadOnlyFolder;

namespace {

const QString KEY_FOLDER = u"projects/folder"_s;
const QString KEY_EXPANDED = u"projects/expanded"_s;
const QString KEY_EXAMPLES = u"projects/examplesInstalled"_s;
const QString NAME_FIELD = u"e.g. BH1750"_s;
const QString ADDRESS_FIELD = u"0x23"_s;

enum EFolder { MissingFolder, EmptyFolder, DefaultFolder };
enum ENode { CommandNode, DeviceNode, ErrorNode, EmptySpace };
enum EDataHome { DataHomeMissing, TrashIsFile, DataHomeReadOnly, TrashReadOnly };

SI2cCommand makeWrite(const QString& label, std::vector<uint8_t> data,
                      EI2cStartStop mode = EI2cStartStop::Auto)
{
    return {label, EI2cCommandType::Write, mode, std::move(data), 1};
}

SI2cCommand makeRead(const QString& label, int32_t count)
{
    return {label, EI2cCommandType::Read, EI2cStartStop::Auto, {}, count};
}

QList<SI2cCommand> labelled(const QStringList& labels)
{
    QList<SI2cCommand> commands;
    for (const QString& label : labels)
        commands.append(makeWrite(label, {0x01}));
    return commands;
}

QString writeDevice(const QString& folder, const QString& fileName, const QString& name,
                    uint8_t address = 0x23, const QList<SI2cCommand>& commands = {},
                    const QString& description = {})
{
    CI2cDeviceFile device;
    device.SetName(name);
    device.SetAddress(address);
    device.SetDescription(description);
    for (const SI2cCommand& command : commands)
        device.AddCommand(command);
    const QString path = QDir(folder).absoluteFilePath(fileName);
    return device.SaveAs(path) ? path : QString();
}

bool writeRaw(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray readRaw(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList commandLabels(const QString& path)
{
    CI2cDeviceFile device;
    QStringList labels;
    if (device.Load(path)) {
        for (const SI2cCommand& command : device.GetCommands())
            labels.append(command.label);
    }
    return labels;
}

QStringList storedExpanded()
{
    return QSettings().value(KEY_EXPANDED).toStringList();
}

// The projects dock with the rows found by their texts and clicked.
class CDock : public testsupport::CProjectsDock {
public:
    // Column 0 of a device (or error) row, or of one of its commands.
    QModelIndex find(const QString& device, const QString& command = {}) const
    {
        for (int row = 0; row < model()->rowCount(); ++row) {
            const QModelIndex top = model()->index(row, 0);
            if (top.data().toString() != device)
                continue;
            if (command.isEmpty())
                return top;
            for (int child = 0; child < model()->rowCount(top); ++child) {
                const QModelIndex index = model()->index(child, 0, top);
                if (index.data().toString() == command)
                    return index;
            }
        }
        return {};
    }

    QStringList rowTexts(const QModelIndex& index) const
    {
        return {index.siblingAtColumn(0).data().toString(),
                index.siblingAtColumn(1).data().toString(),
                index.siblingAtColumn(2).data().toString()};
    }

    // "device" or "device/command" of the current row.
    QString current() const
    {
        const QModelIndex index = tree->currentIndex().siblingAtColumn(0);
        if (!index.isValid())
            return {};
        if (index.parent().isValid())
            return index.parent().data().toString() + QLatin1Char('/') + index.data().toString();
        return index.data().toString();
    }

    void click(const QModelIndex& index)
    {
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, pointOf(index));
    }
};

// Fills the device dialog and presses OK only after the answerer returned,
// so that a warning raised by OK can be answered in turn.
CDialogAnswerer::Handler fillDevice(const QString& name, const QString& address,
                                    QStringList* seen = nullptr)
{
    return [=](QWidget* widget) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        QVERIFY(dialog);
        for (QLineEdit* edit : dialog->findChildren<QLineEdit*>()) {
            if (seen)
                seen->append(edit->text());
            if (edit->placeholderText() == NAME_FIELD)
                edit->setText(name);
            else if (edit->placeholderText() == ADDRESS_FIELD && !address.isNull())
                edit->setText(address);
        }
        QTimer::singleShot(0, dialog, [dialog] {
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
    };
}

// Answers an input dialog: records its initial text, then enters the text.
CDialogAnswerer::Handler enterLabel(const QString& text, QStringList* initial, bool cancel = false)
{
    return [=](QWidget* widget) {
        auto* input = qobject_cast<QInputDialog*>(widget);
        QVERIFY(input);
        initial->append(input->textValue());
        input->setTextValue(text);
        if (cancel)
            input->reject();
        else
            input->accept();
    };
}

} // namespace

// Stands in for the desktop's file manager.
class CFolderOpener : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

class TstProjectsPanel : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // Folder, loading and tree
    void firstStart_data();
    void firstStart();
    void brokenFileGetsNoExample();
    void listing();
    void rowTexts_data();
    void rowTexts();
    void addressFormatChange();
    void filter_data();
    void filter();
    void expansionRemembered();
    void outsideChanges();
    void burstGivesOneReload();
    void clicksAndSignals();
    void reselection();
    void setFolder_data();
    void setFolder();

    // Editing
    void newDeviceFileNames_data();
    void newDeviceFileNames();
    void newDeviceAddress_data();
    void newDeviceAddress();
    void deviceProperties();
    void addCommandToSelectedDevice();
    void addCommandWithoutDevice_data();
    void addCommandWithoutDevice();
    void suggestedLabels_data();
    void suggestedLabels();
    void labelClash_data();
    void labelClash();
    void renameCommand();
    void menuEntries_data();
    void menuEntries();
    void moveCommand_data();
    void moveCommand();
    void deleteCommand_data();
    void deleteCommand();
    void deleteDevice();
    void trashLocation_data();
    void trashLocation();
    void deleteErrorFile();
    void failedSaveKeepsFile();
    void textStaysText();
    void openFolderSaysWhyItFailed_data();
    void openFolderSaysWhyItFailed();

private:
    std::unique_ptr<CDock> makeDock() const { return std::make_unique<CDock>(); }
    QString folder() const { return m_dir->path(); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TstProjectsPanel::init()
{
    // In the home, so that a deleted file goes to the home trash wherever
    // TMPDIR lies: on another file system it would go to that one's trash.
    m_dir = std::make_unique<QTemporaryDir>(QDir::home().filePath(u"projects-XXXXXX"_s));
    QVERIFY(m_dir->isValid());
    testsupport::startProjectsSettings(folder());
}

void TstProjectsPanel::cleanup()
{
    m_dir.reset();
}

// ---- Folder, loading and tree ----------------------------------------------

void TstProjectsPanel::firstStart_data()
{
    QTest::addColumn<int>("where");
    QTest::newRow("missing folder") << int(MissingFolder);
    QTest::newRow("empty folder") << int(EmptyFolder);
    QTest::newRow("default folder") << int(DefaultFolder);
}

// The example comes once per settings store and never again once deleted.
void TstProjectsPanel::firstStart()
{
    QFETCH(int, where);
    QSettings settings;
    settings.remove(KEY_EXAMPLES);
    QString expected = folder();
    if (where == MissingFolder) {
        expected = m_dir->filePath(u"not/yet"_s);
        settings.setValue(KEY_FOLDER, expected);
    } else if (where == DefaultFolder) {
        settings.remove(KEY_FOLDER);
        expected = CProjectsPanel::DefaultFolder();
        QCOMPARE(expected, QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                               u"/Tremwick/pellan_i2c/projects"_s);
        QDir(expected).removeRecursively();
    }

    auto dock = makeDock();
    QCOMPARE(dock->panel->GetFolder(), expected);
    QCOMPARE(dock->texts(), (QStringList{u"BH1750"_s, u"LM75"_s}));
    QVERIFY(QSettings().value(KEY_EXAMPLES).toBool());
    for (const QString& name : {u"bh1750.i2cdev"_s, u"lm75.i2cdev"_s}) {
        const QString example = QDir(expected).filePath(name);
        QCOMPARE(readRaw(example), readRaw(u":/examples/"_s + name));
        QVERIFY(QFile::permissions(example).testFlag(QFileDevice::WriteOwner));
        QVERIFY(QFile::remove(example));
    }
    dock.reset();
    dock = makeDock();
    QVERIFY(dock->texts().isEmpty());
    QVERIFY(!QFile::exists(QDir(expected).filePath(u"bh1750.i2cdev"_s)));
}

void TstProjectsPanel::brokenFileGetsNoExample()
{
    QSettings().remove(KEY_EXAMPLES);
    const QString broken = m_dir->filePath(u"broken.i2cdev"_s);
    QVERIFY(writeRaw(broken, "{ \"address\": \"0x80\" }"));

    auto dock = makeDock();
    QVERIFY(QSettings().value(KEY_EXAMPLES).toBool());
    QVERIFY(!QFile::exists(m_dir->filePath(u"bh1750.i2cdev"_s)));
    const QModelIndex row = dock->find(u"broken.i2cdev"_s);
    QCOMPARE(dock->texts(), QStringList{u"broken.i2cdev"_s});
    QCOMPARE(dock->rowTexts(row), (QStringList{"broken.i2cdev", "", "Error"}));
    for (int column = 0; column < 3; ++column) {
        const QModelIndex item = row.siblingAtColumn(column);
        QCOMPARE(item.data(Qt::ForegroundRole).value<QBrush>().color(), QColor(0xF44336));
        QCOMPARE(item.data(Qt::ToolTipRole).toString(), u"Invalid or missing address"_s);
    }
    dock->click(row);
    QCOMPARE(dock->descriptionLabel->text(), u"Invalid or missing address"_s);
}

// Devices by name ignoring case, then failed files; only files named *.i2cdev.
void TstProjectsPanel::listing()
{
    QVERIFY(!writeDevice(folder(), u"b.i2cdev"_s, u"b"_s).isEmpty());
    QVERIFY(!writeDevice(folder(), u"a.i2cdev"_s, u"A"_s).isEmpty());
    QVERIFY(!writeDevice(folder(), u"c.i2cdev"_s, u"c"_s).isEmpty());
    QVERIFY(writeRaw(m_dir->filePath(u"0bad.i2cdev"_s), "[]"));
    QVERIFY(writeRaw(m_dir->filePath(u"1bad.i2cdev"_s), "not json"));
    QVERIFY(!writeDevice(folder(), u"text.txt"_s, u"Text"_s).isEmpty());
    QVERIFY(!writeDevice(folder(), u".hidden.i2cdev"_s, u"Hidden"_s).isEmpty());
    QVERIFY(QDir(folder()).mkdir(u"dir.i2cdev"_s));

    auto dock = makeDock();
    QCOMPARE(dock->texts(), (QStringList{"A", "b", "c", "0bad.i2cdev", "1bad.i2cdev"}));
}

void TstProjectsPanel::rowTexts_data()
{
    QTest::addColumn<SI2cCommand>("command");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("data");
    QTest::newRow("write auto") << makeWrite("w", {0x01, 0xA5}) << "Write"
                                << "01 A5";
    QTest::newRow("write start") << makeWrite("w", {0x10}, EI2cStartStop::Start) << "Write (Start)"
                                 << "10";
    QTest::newRow("write stop") << makeWrite("w", {0xFF}, EI2cStartStop::Stop) << "Write (Stop)"
                                << "FF";
    QTest::newRow("write none") << makeWrite("w", {0x00}, EI2cStartStop::None) << "Write (None)"
                                << "00";
    QTest::newRow("address only") << makeWrite("w", {}) << "Write"
                                  << "(address only)";
    QTest::newRow("read one") << makeRead("r", 1) << "Read"
                              << "1 byte(s)";
    QTest::newRow("read many") << makeRead("r", 65535) << "Read"
                               << "65535 byte(s)";
}

void TstProjectsPanel::rowTexts()
{
    QFETCH(SI2cCommand, command);
    QFETCH(QString, type);
    QFETCH(QString, data);
    const QString path = writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s, 0x23, {command});

    auto dock = makeDock();
    const QModelIndex device = dock->find(u"Dev"_s);
    QCOMPARE(dock->model()->headerData(2, Qt::Horizontal).toString(), u"Data"_s);
    QCOMPARE(dock->rowTexts(device), (QStringList{"Dev", "", "0x23"}));
    QCOMPARE(device.data(Qt::FontRole).value<QFont>().weight(), QFont::Bold);
    QCOMPARE(device.data(Qt::ToolTipRole).toString(), QDir::toNativeSeparators(path));
    const QModelIndex row = dock->model()->index(0, 0, device);
    QCOMPARE(dock->rowTexts(row), (QStringList{command.label, type, data}));
    QVERIFY(!row.data(Qt::ToolTipRole).isValid());
    for (const QModelIndex& index : {device, row.siblingAtColumn(2)})
        QVERIFY(!dock->model()->flags(index).testFlag(Qt::ItemIsEditable));
}

// 8-bit addresses after a format change; current row and expansion stay.
void TstProjectsPanel::addressFormatChange()
{
    writeDevice(folder(), u"a.i2cdev"_s, u"A"_s, 0x23, labelled({"a1", "a2"}), u"About A"_s);
    writeDevice(folder(), u"b.i2cdev"_s, u"B"_s, 0x5C, labelled({"b1"}));
    auto dock = makeDock();
    dock->tree->expand(dock->find(u"A"_s));
    dock->click(dock->find(u"A"_s, u"a2"_s));

    dock->eightBit = true;
    dock->panel->RefreshAddresses();
    QCOMPARE(dock->texts({}, 2), (QStringList{"0x46", "0xB8"}));
    QCOMPARE(dock->current(), u"A/a2"_s);
    QVERIFY(dock->tree->isExpanded(dock->find(u"A"_s)));
    QVERIFY(!dock->tree->isExpanded(dock->find(u"B"_s)));
    QCOMPARE(dock->descriptionLabel->text(), u"About A"_s);
}

void TstProjectsPanel::filter_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QStringList>("commands"); // under the first device shown
    QTest::newRow("command label")
        << "MEASURE" << QStringList{"Sensor"} << QStringList{"Read Measurement"};
    QTest::newRow("device name") << "sEnSoR" << QStringList{"Sensor"}
                                 << QStringList{"Power On", "Read Measurement"};
    QTest::newRow("data column") << "(address only)" << QStringList{"Other"} << QStringList{"Ping"};
    QTest::newRow("no match") << "nothing like it" << QStringList{} << QStringList{};
}

void TstProjectsPanel::filter()
{
    QFETCH(QString, text);
    QFETCH(QStringList, devices);
    QFETCH(QStringList, commands);
    writeDevice(folder(), u"s.i2cdev"_s, u"Sensor"_s, 0x23,
                {makeWrite("Power On", {0x01}), makeRead("Read Measurement", 2)});
    writeDevice(folder(), u"o.i2cdev"_s, u"Other"_s, 0x50, {makeWrite("Ping", {})});
    auto dock = makeDock();

    dock->filterEdit->setText(text);
    QCOMPARE(dock->texts(), devices);
    if (!devices.isEmpty()) {
        const QModelIndex first = dock->model()->index(0, 0);
        QVERIFY(dock->tree->isExpanded(first));
        QCOMPARE(dock->texts(first), commands);
    }
    // Nothing was expanded before the filter; clearing it brings that back.
    dock->filterEdit->clear();
    QCOMPARE(dock->texts(), (QStringList{"Other", "Sensor"}));
    QVERIFY(!dock->tree->isExpanded(dock->find(u"Sensor"_s)));
    QVERIFY(storedExpanded().isEmpty());
}

void TstProjectsPanel::expansionRemembered()
{
    const QString a = writeDevice(folder(), u"a.i2cdev"_s, u"A"_s, 0x23, labelled({"a1"}));
    writeDevice(folder(), u"b.i2cdev"_s, u"B"_s, 0x24, labelled({"b1"}));
    auto dock = makeDock();
    dock->tree->expand(dock->find(u"A"_s));
    dock->tree->expand(dock->find(u"B"_s));
    dock->tree->collapse(dock->find(u"B"_s));
    QCOMPARE(storedExpanded(), QStringList{a});

    // Expanding and collapsing under a filter is not remembered.
    dock->filterEdit->setText(u"1"_s);
    dock->tree->collapse(dock->find(u"A"_s));
    dock->tree->expand(dock->find(u"B"_s));
    QCOMPARE(storedExpanded(), QStringList{a});
    dock->filterEdit->clear();
    QVERIFY(dock->tree->isExpanded(dock->find(u"A"_s)));
    QVERIFY(!dock->tree->isExpanded(dock->find(u"B"_s)));

    dock.reset();
    dock = makeDock();
    QVERIFY(dock->tree->isExpanded(dock->find(u"A"_s)));
    QVERIFY(!dock->tree->isExpanded(dock->find(u"B"_s)));
}

// Edits made by other programs show after the debounce: a new file, a
// changed one, a broken save turning red and a fix turning it back.
void TstProjectsPanel::outsideChanges()
{
    const QString path = writeDevice(folder(), u"dev.i2cdev"_s, u"Old"_s);
    auto dock = makeDock();
    QCOMPARE(dock->texts(), QStringList{"Old"});

    QVERIFY(writeRaw(path, readRaw(path).replace("\"Old\"", "\"Edited\"")));
    PELLAN_TRY_COMPARE(dock->texts(), QStringList{"Edited"});

    writeDevice(folder(), u"new.i2cdev"_s, u"Added"_s);
    PELLAN_TRY_COMPARE(dock->texts(), (QStringList{"Added", "Edited"}));

    const QByteArray good = readRaw(path);
    QVERIFY(writeRaw(path, good.left(good.size() / 2)));
    PELLAN_TRY_COMPARE(dock->texts(), (QStringList{"Added", "dev.i2cdev"}));
    QCOMPARE(dock->find(u"dev.i2cdev"_s).siblingAtColumn(2).data().toString(), u"Error"_s);

    QVERIFY(writeRaw(path, good));
    PELLAN_TRY_COMPARE(dock->texts(), (QStringList{"Added", "Edited"}));
}

// A hundred files rewritten at once, half in place and half replaced by a
// rename as editors do, are read again by a single reload; the replaced
// files are watched again afterwards.
void TstProjectsPanel::burstGivesOneReload()
{
    constexpr int COUNT = 100;
    QStringList paths;
    for (int i = 0; i < COUNT; ++i) {
        paths.append(writeDevice(folder(), u"d%1.i2cdev"_s.arg(i, 3, 10, QChar('0')),
                                 u"Device %1"_s.arg(i, 3, 10, QChar('0'))));
    }
    auto dock = makeDock();
    QCOMPARE(CProjectsPanelProbe::deviceCount(*dock->panel), COUNT);
    QSignalSpy reloads(&CProjectsPanelProbe::reloadTimer(*dock->panel), &QTimer::timeout);

    for (int i = 0; i < COUNT; ++i) {
        if (i % 2) {
            QVERIFY(writeRaw(paths[i], readRaw(paths[i]).replace("Device", "Changed")));
        } else {
            CI2cDeviceFile device;
            QVERIFY(device.Load(paths[i]));
            device.SetName(u"Changed %1"_s.arg(i, 3, 10, QChar('0')));
            QVERIFY(device.Save());
        }
    }
    PELLAN_TRY_COMPARE(reloads.count(), 1);
    QCOMPARE(dock->texts().first(), u"Changed 000"_s);
    QCOMPARE(dock->texts().last(), u"Changed 099"_s);
    // No second reload may follow. Looking for something that must not come
    // takes a duration; a slow machine can only make this miss a late extra
    // reload, never fail a right one.
    QVERIFY(!reloads.wait(1000));
    QCOMPARE(reloads.count(), 1);

    QVERIFY(writeRaw(paths[0], readRaw(paths[0]).replace("Changed 000", "Again")));
    PELLAN_TRY_COMPARE(dock->texts().first(), u"Again"_s);
    QCOMPARE(reloads.count(), 2);
}

void TstProjectsPanel::clicksAndSignals()
{
    writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s, 0x23,
                {makeWrite("W", {0x01}), makeRead("R", 2)});
    QVERIFY(writeRaw(m_dir->filePath(u"zz.i2cdev"_s), "{"));
    auto dock = makeDock();
    dock->eightBit = true; // signals carry the 7-bit address in any format
    dock->tree->expand(dock->find(u"Dev"_s));

    QStringList events;
    CProjectsPanel* panel = dock->panel;
    connect(panel, &CProjectsPanel::deviceSelected, this,
            [&](uint8_t address) { events.append(u"device %1"_s.arg(address)); });
    connect(panel, &CProjectsPanel::commandSelected, this,
            [&](uint8_t address, const SI2cCommand& command) {
                events.append(u"select %1 %2"_s.arg(address).arg(command.label));
            });
    connect(panel, &CProjectsPanel::commandExecuteRequested, this,
            [&](uint8_t address, const SI2cCommand& command) {
                events.append(u"execute %1 %2"_s.arg(address).arg(command.label));
            });

    dock->click(dock->find(u"Dev"_s));
    QCOMPARE(events, QStringList{"device 35"});
    dock->click(dock->find(u"Dev"_s, u"W"_s));
    QCOMPARE(events.last(), u"select 35 W"_s);
    events.clear();
    dock->click(dock->find(u"zz.i2cdev"_s));
    dock->click({});
    QVERIFY(events.isEmpty());

    // A double-click: the first press clicks, the second executes.
    const QPoint read = dock->pointOf(dock->find(u"Dev"_s, u"R"_s));
    QTest::mouseClick(dock->tree->viewport(), Qt::LeftButton, {}, read);
    QTest::mouseDClick(dock->tree->viewport(), Qt::LeftButton, {}, read);
    QCOMPARE(events, (QStringList{"select 35 R", "execute 35 R"}));

    events.clear();
    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(u"Execute"_s);
    dock->openMenu(dock->find(u"Dev"_s, u"W"_s));
    answerer.chooseMenuEntry(u"Load into Fields"_s);
    dock->openMenu(dock->find(u"Dev"_s, u"R"_s));
    QCOMPARE(events, (QStringList{"execute 35 W", "select 35 R"}));
}

// The current row is found again by its file after every rebuild.
void TstProjectsPanel::reselection()
{
    const QString a = writeDevice(folder(), u"a.i2cdev"_s, u"A"_s);
    const QString b = writeDevice(folder(), u"b.i2cdev"_s, u"B"_s, 0x24,
                                  labelled({"b1", "b2", "b3"}), u"About B"_s);
    writeDevice(folder(), u"c.i2cdev"_s, u"C"_s, 0x25, labelled({"c1"}));
    auto dock = makeDock();
    dock->tree->expand(dock->find(u"B"_s));
    dock->click(dock->find(u"B"_s, u"b2"_s));

    dock->reloadButton->click();
    QCOMPARE(dock->current(), u"B/b2"_s);
    dock->panel->RefreshAddresses();
    QCOMPARE(dock->current(), u"B/b2"_s);

    // B moves up a place when A goes; the same file's command stays current.
    QVERIFY(QFile::remove(a));
    PELLAN_TRY_COMPARE(dock->texts(), (QStringList{"B", "C"}));
    QCOMPARE(dock->current(), u"B/b2"_s);
    QCOMPARE(dock->descriptionLabel->text(), u"About B"_s);

    // Commands beyond the new count fall back to the device row.
    writeDevice(folder(), u"b.i2cdev"_s, u"B"_s, 0x24, labelled({"b1"}));
    PELLAN_TRY_COMPARE(dock->texts(dock->find(u"B"_s)), QStringList{"b1"});
    QCOMPARE(dock->current(), u"B"_s);

    CProjectsPanelProbe::selectItem(*dock->panel, b, 0);
    QCOMPARE(dock->current(), u"B/b1"_s);
    CProjectsPanelProbe::selectItem(*dock->panel, b, 1);
    QCOMPARE(dock->current(), u"B"_s);
    CProjectsPanelProbe::selectItem(*dock->panel, m_dir->filePath(u"none"_s), 0);
    QVERIFY(dock->descriptionLabel->text().isEmpty());

    // An error row that still fails is current again after a reload.
    QVERIFY(writeRaw(m_dir->filePath(u"x.i2cdev"_s), "{"));
    PELLAN_TRY_COMPARE(dock->texts().size(), 3);
    dock->click(dock->find(u"x.i2cdev"_s));
    dock->reloadButton->click();
    QCOMPARE(dock->current(), u"x.i2cdev"_s);
    QVERIFY(dock->descriptionLabel->text().startsWith(u"JSON error at offset"_s));
}

void TstProjectsPanel::setFolder_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("cleaned");
    QTest::newRow("parent segments") << "/a/../b/./c"
                                     << "/b/c";
    QTest::newRow("doubled separators") << "//b///c//"
                                        << "/b/c";
}

void TstProjectsPanel::setFolder()
{
    QFETCH(QString, given);
    QFETCH(QString, cleaned);
    const QString target = folder() + cleaned;
    QVERIFY(QDir().mkpath(target));
    writeDevice(target, u"moved.i2cdev"_s, u"Moved"_s);
    writeDevice(folder(), u"here.i2cdev"_s, u"Here"_s);
    auto dock = makeDock();
    QCOMPARE(dock->texts(), QStringList{"Here"});

    dock->panel->SetFolder(folder() + given);
    QCOMPARE(dock->panel->GetFolder(), target);
    QCOMPARE(QSettings().value(KEY_FOLDER).toString(), target);
    QCOMPARE(dock->texts(), QStringList{"Moved"});

    // Devices created there are found and selected again by their path.
    CDialogAnswerer answerer;
    answerer.handleWith(fillDevice(u"Fresh"_s, u"0x10"_s));
    dock->newButton->click();
    QCOMPARE(dock->current(), u"Fresh"_s);

    // A missing folder is created.
    dock->panel->SetFolder(folder() + u"/new//one"_s);
    QVERIFY(QFileInfo(folder() + u"/new/one"_s).isDir());
    QVERIFY(dock->texts().isEmpty());
}

// ---- Editing ----------------------------------------------------------------

void TstProjectsPanel::newDeviceFileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("existing"); // a trailing slash makes a folder
    QTest::addColumn<QString>("fileName");
    const QString sensor = u"BH1750 Light Sensor"_s;
    QTest::newRow("words") << sensor << QStringList{} << "bh1750_light_sensor.i2cdev";
    QTest::newRow("second") << sensor << QStringList{"bh1750_light_sensor.i2cdev"}
                            << "bh1750_light_sensor_2.i2cdev";
    QTest::newRow("third") << sensor
                           << QStringList{"bh1750_light_sensor.i2cdev",
                                          "bh1750_light_sensor_2.i2cdev"}
                           << "bh1750_light_sensor_3.i2cdev";
    QTest::newRow("folder in the way") << "Dir" << QStringList{"dir.i2cdev/"} << "dir_2.i2cdev";
    QTest::newRow("punctuation only") << "!?#" << QStringList{} << "device.i2cdev";
    QTest::newRow("letters beyond a-z") << "äéü" << QStringList{} << "device.i2cdev";
    QTest::newRow("underscores only") << "___" << QStringList{"device.i2cdev"} << "device_2.i2cdev";
    QTest::newRow("hyphen between spaces")
        << "Word - Word" << QStringList{} << "word_-_word.i2cdev";
    QTest::newRow("runs of others")
        << "_Temp**Sensor  #1!" << QStringList{} << "temp_sensor_1.i2cdev";
}

void TstProjectsPanel::newDeviceFileNames()
{
    QFETCH(QString, name);
    QFETCH(QStringList, existing);
    QFETCH(QString, fileName);
    int n = 0;
    for (const QString& entry : existing) {
        if (entry.endsWith(QLatin1Char('/')))
            QVERIFY(QDir(folder()).mkdir(entry.chopped(1)));
        else
            writeDevice(folder(), entry, u"Existing %1"_s.arg(++n));
    }
    auto dock = makeDock();
    CDialogAnswerer answerer;
    answerer.handleWith(fillDevice(name, u"0x10"_s));
    dock->newButton->click();
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(answerer.seen().first().title, u"New Device"_s);

    const QString path = QDir(folder()).filePath(fileName);
    CI2cDeviceFile device;
    QVERIFY2(device.Load(path), qPrintable(device.GetLastError()));
    QCOMPARE(device.GetName(), name);
    QCOMPARE(device.GetAddress(), uint8_t(0x10));
    QCOMPARE(dock->current(), name);
    QVERIFY(storedExpanded().contains(path));
}

void TstProjectsPanel::newDeviceAddress_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("eightBit");
    QTest::addColumn<QString>("shown");
    QTest::newRow("7-bit") << "0x50" << false << "0x50";
    QTest::newRow("8-bit") << "0xa0" << true << "0xA0";
    QTest::newRow("out of range") << "0x80" << false << "";
}

// The new-device dialog starts from the main window's address, when valid.
void TstProjectsPanel::newDeviceAddress()
{
    QFETCH(QString, typed);
    QFETCH(bool, eightBit);
    QFETCH(QString, shown);
    auto dock = makeDock();
    dock->addressText = typed;
    dock->eightBit = eightBit;
    CDialogAnswerer answerer;
    QString seen = u"unseen"_s;
    answerer.handleWith([&seen](QWidget* widget) {
        for (QLineEdit* edit : widget->findChildren<QLineEdit*>()) {
            if (edit->placeholderText() == ADDRESS_FIELD)
                seen = edit->text();
        }
        qobject_cast<QDialog*>(widget)->reject();
    });
    dock->newButton->click();
    QCOMPARE(seen, shown);
    QVERIFY(QDir(folder()).isEmpty());
}

// Another device's name in other letter case is refused; the device's own
// name in other case is accepted and saved into the same file.
void TstProjectsPanel::deviceProperties()
{
    const QString path =
        writeDevice(folder(), u"alpha.i2cdev"_s, u"Alpha"_s, 0x23, labelled({"a1"}));
    writeDevice(folder(), u"other.i2cdev"_s, u"Other"_s);
    auto dock = makeDock();
    dock->eightBit = true;

    CDialogAnswerer answerer;
    QStringList shown;
    answerer.chooseMenuEntry(u"Properties..."_s);
    answerer.handleWith(fillDevice(u" OTHER "_s, {}, &shown));
    answerer.pressButton(QMessageBox::Ok);
    answerer.handleWith(fillDevice(u"alpha"_s, u"0x48"_s));
    dock->openMenu(dock->find(u"Alpha"_s));
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(shown, (QStringList{"Alpha", "0x46"}));
    QCOMPARE(answerer.seen().at(1).title, u"Device Properties"_s);
    QCOMPARE(answerer.seen().at(2).text, u"A device named \"OTHER\" already exists."_s);

    CI2cDeviceFile device;
    QVERIFY(device.Load(path));
    QCOMPARE(device.GetName(), u"alpha"_s);
    QCOMPARE(device.GetAddress(), uint8_t(0x24));
    QCOMPARE(device.GetCommands().size(), 1);
    QCOMPARE(QDir(folder()).entryList(QDir::Files).size(), 2);
    QCOMPARE(dock->current(), u"alpha"_s);
}

void TstProjectsPanel::addCommandToSelectedDevice()
{
    const QString path =
        writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s, 0x23, labelled({"First"}));
    writeDevice(folder(), u"other.i2cdev"_s, u"Other"_s);
    auto dock = makeDock();
    dock->tree->expand(dock->find(u"Dev"_s));
    dock->click(dock->find(u"Dev"_s, u"First"_s));
    dock->tree->collapse(dock->find(u"Dev"_s));
    QVERIFY(storedExpanded().isEmpty());

    CDialogAnswerer answerer;
    QStringList initial;
    answerer.handleWith(enterLabel(u" Second "_s, &initial));
    dock->panel->AddCommand(makeRead(QString(), 4));
    QCOMPARE(answerer.seen().first().title, u"Save Command"_s);
    QCOMPARE(answerer.seen().first().text, u"Label for the command in \"Dev\":"_s);
    QCOMPARE(commandLabels(path), (QStringList{"First", "Second"}));
    QCOMPARE(dock->current(), u"Dev/Second"_s);
    QVERIFY(dock->tree->isExpanded(dock->find(u"Dev"_s)));
    QCOMPARE(storedExpanded(), QStringList{path});
}

void TstProjectsPanel::addCommandWithoutDevice_data()
{
    QTest::addColumn<bool>("errorRowCurrent");
    QTest::addColumn<bool>("yes");
    QTest::newRow("nothing selected, no") << false << false;
    QTest::newRow("error row, no") << true << false;
    QTest::newRow("nothing selected, yes") << false << true;
    QTest::newRow("error row, yes") << true << true;
}

// Yes creates the device, which stays saved and selected even when the
// label is then cancelled.
void TstProjectsPanel::addCommandWithoutDevice()
{
    QFETCH(bool, errorRowCurrent);
    QFETCH(bool, yes);
    QVERIFY(writeRaw(m_dir->filePath(u"bad.i2cdev"_s), "{"));
    auto dock = makeDock();
    if (errorRowCurrent)
        dock->click(dock->find(u"bad.i2cdev"_s));

    CDialogAnswerer answerer;
    QStringList initial;
    answerer.pressButton(yes ? QMessageBox::Yes : QMessageBox::No);
    if (yes) {
        answerer.handleWith(fillDevice(u"Fresh"_s, u"0x10"_s));
        answerer.handleWith(enterLabel(u"ignored"_s, &initial, true));
    }
    dock->panel->AddCommand(makeWrite(QString(), {0x01}));
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(answerer.seen().first().title, u"Save Command"_s);
    QCOMPARE(answerer.seen().first().text,
             u"No device selected in the projects list.\nCreate a new device?"_s);
    if (!yes) {
        QCOMPARE(answerer.seen().size(), 1);
        QCOMPARE(QDir(folder()).entryList(QDir::Files), QStringList{"bad.i2cdev"});
        return;
    }
    QCOMPARE(initial, QStringList{"Write 01"});
    QVERIFY(commandLabels(m_dir->filePath(u"fresh.i2cdev"_s)).isEmpty());
    QVERIFY(QFile::exists(m_dir->filePath(u"fresh.i2cdev"_s)));
    QCOMPARE(dock->current(), u"Fresh"_s);
}

void TstProjectsPanel::suggestedLabels_data()
{
    QTest::addColumn<SI2cCommand>("command");
    QTest::addColumn<QString>("suggestion");
    QTest::newRow("read") << makeRead({}, 4) << "Read 4 byte(s)";
    QTest::newRow("write") << makeWrite({}, {0x01, 0xA5}) << "Write 01 A5";
    QTest::newRow("address only") << makeWrite({}, {}, EI2cStartStop::Stop) << "Write address only";
}

void TstProjectsPanel::suggestedLabels()
{
    QFETCH(SI2cCommand, command);
    QFETCH(QString, suggestion);
    const QString path = writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s);
    const QByteArray before = readRaw(path);
    auto dock = makeDock();
    dock->click(dock->find(u"Dev"_s));

    CDialogAnswerer answerer;
    QStringList initial;
    answerer.handleWith(enterLabel({}, &initial, true));
    dock->panel->AddCommand(command);
    QCOMPARE(initial, QStringList{suggestion});
    QCOMPARE(readRaw(path), before);
}

void TstProjectsPanel::labelClash_data()
{
    QTest::addColumn<QString>("second");
    QTest::addColumn<QStringList>("labels");
    QTest::newRow("new label") << "Power Off" << QStringList{"Power On", "Power Off"};
    QTest::newRow("spaces only") << "   " << QStringList{"Power On"};
}

// A clash in letter case or surrounding spaces warns and asks again with the
// trimmed text; spaces only end the prompt without a change.
void TstProjectsPanel::labelClash()
{
    QFETCH(QString, second);
    QFETCH(QStringList, labels);
    const QString path =
        writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s, 0x23, labelled({"Power On"}));
    auto dock = makeDock();
    dock->click(dock->find(u"Dev"_s));

    CDialogAnswerer answerer;
    QStringList initial;
    answerer.handleWith(enterLabel(u"  power on "_s, &initial));
    answerer.pressButton(QMessageBox::Ok);
    answerer.handleWith(enterLabel(second, &initial));
    dock->panel->AddCommand(makeWrite({}, {0x02}));
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(answerer.seen().at(1).title, u"Save Command"_s);
    QCOMPARE(answerer.seen().at(1).text, QStringLiteral("\"power on\" already exists in \"Dev\".\n"
                                                        "Please choose a different label."));
    QCOMPARE(initial, (QStringList{"Write 02", "power on"}));
    QCOMPARE(commandLabels(path), labels);
}

// The command's own label in other case is no clash; another one's is.
void TstProjectsPanel::renameCommand()
{
    const QString path =
        writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s, 0x23, labelled({"One", "Two"}));
    auto dock = makeDock();
    dock->tree->expand(dock->find(u"Dev"_s));

    CDialogAnswerer answerer;
    QStringList initial;
    answerer.chooseMenuEntry(u"Rename..."_s);
    answerer.handleWith(enterLabel(u" ONE "_s, &initial));
    dock->openMenu(dock->find(u"Dev"_s, u"One"_s));
    QCOMPARE(answerer.seen().at(1).title, u"Rename Command"_s);
    QCOMPARE(answerer.seen().at(1).text, u"Label:"_s);
    QCOMPARE(commandLabels(path), (QStringList{"ONE", "Two"}));
    QCOMPARE(dock->current(), u"Dev/ONE"_s);

    answerer.chooseMenuEntry(u"Rename..."_s);
    answerer.handleWith(enterLabel(u"two"_s, &initial));
    answerer.pressButton(QMessageBox::Ok);
    answerer.handleWith(enterLabel({}, &initial, true));
    dock->openMenu(dock->find(u"Dev"_s, u"ONE"_s));
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(initial, (QStringList{"One", "ONE", "two"}));
    QCOMPARE(commandLabels(path), (QStringList{"ONE", "Two"}));
}

void TstProjectsPanel::menuEntries_data()
{
    QTest::addColumn<int>("node");
    QTest::addColumn<int>("commands");
    QTest::addColumn<int>("command");
    QTest::addColumn<QStringList>("entries");
    const QString tail = u"New Device...|Open Projects Folder"_s;
    const auto entries = [&](const QString& head) {
        return (head.isEmpty() ? tail : head + QLatin1Char('|') + tail).split(QLatin1Char('|'));
    };
    const QString commandHead = QStringLiteral("Execute|Load into Fields|Rename...|%1|%2|"
                                               "Delete Command");
    QTest::newRow("single command")
        << int(CommandNode) << 1 << 0
        << entries(commandHead.arg("Move Up (disabled)", "Move Down (disabled)"));
    QTest::newRow("first of three") << int(CommandNode) << 3 << 0
                                    << entries(commandHead.arg("Move Up (disabled)", "Move Down"));
    QTest::newRow("middle of three")
        << int(CommandNode) << 3 << 1 << entries(commandHead.arg("Move Up", "Move Down"));
    QTest::newRow("last of three") << int(CommandNode) << 3 << 2
                                   << entries(commandHead.arg("Move Up", "Move Down (disabled)"));
    QTest::newRow("device") << int(DeviceNode) << 1 << -1
                            << entries(u"Properties...|Delete Device..."_s);
    QTest::newRow("error row") << int(ErrorNode) << 0 << -1 << entries(u"Delete File..."_s);
    QTest::newRow("empty space") << int(EmptySpace) << 0 << -1 << entries({});
}

void TstProjectsPanel::menuEntries()
{
    QFETCH(int, node);
    QFETCH(int, commands);
    QFETCH(int, command);
    QFETCH(QStringList, entries);
    const QStringList labels = QStringList{"c0", "c1", "c2"}.mid(0, commands);
    writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s, 0x23, labelled(labels));
    QVERIFY(writeRaw(m_dir->filePath(u"zz.i2cdev"_s), "{"));
    auto dock = makeDock();
    dock->tree->expand(dock->find(u"Dev"_s));

    const QModelIndex index = node == CommandNode  ? dock->find(u"Dev"_s, labels.value(command))
                              : node == DeviceNode ? dock->find(u"Dev"_s)
                              : node == ErrorNode  ? dock->find(u"zz.i2cdev"_s)
                                                   : QModelIndex();
    CDialogAnswerer answerer;
    answerer.chooseMenuEntry({});
    dock->openMenu(index);
    QCOMPARE(answerer.menuEntries(), entries);
    QCOMPARE(answerer.seen().size(), 1);
}

void TstProjectsPanel::moveCommand_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("down") << "c0"
                          << "Move Down" << QStringList{"c1", "c0", "c2"};
    QTest::newRow("up") << "c2"
                        << "Move Up" << QStringList{"c0", "c2", "c1"};
}

void TstProjectsPanel::moveCommand()
{
    QFETCH(QString, label);
    QFETCH(QString, entry);
    QFETCH(QStringList, order);
    const QString path =
        writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s, 0x23, labelled({"c0", "c1", "c2"}));
    auto dock = makeDock();
    dock->tree->expand(dock->find(u"Dev"_s));
    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(entry);
    dock->openMenu(dock->find(u"Dev"_s, label));
    QCOMPARE(commandLabels(path), order);
    QCOMPARE(dock->texts(dock->find(u"Dev"_s)), order);
    QCOMPARE(dock->current(), u"Dev/"_s + label);
}

void TstProjectsPanel::deleteCommand_data()
{
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("current");
    QTest::newRow("middle") << QStringList{"c0", "c1", "c2"} << "c1"
                            << "Dev/c2";
    QTest::newRow("last") << QStringList{"c0", "c1", "c2"} << "c2"
                          << "Dev/c1";
    QTest::newRow("only") << QStringList{"c0"} << "c0"
                          << "Dev";
}

void TstProjectsPanel::deleteCommand()
{
    QFETCH(QStringList, labels);
    QFETCH(QString, label);
    QFETCH(QString, current);
    const QString path = writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s, 0x23, labelled(labels));
    auto dock = makeDock();
    dock->tree->expand(dock->find(u"Dev"_s));

    // No keeps the command, Yes deletes it.
    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(u"Delete Command"_s);
    answerer.pressButton(QMessageBox::No);
    dock->openMenu(dock->find(u"Dev"_s, label));
    QCOMPARE(commandLabels(path), labels);
    answerer.chooseMenuEntry(u"Delete Command"_s);
    answerer.pressButton(QMessageBox::Yes);
    dock->openMenu(dock->find(u"Dev"_s, label));
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(answerer.seen().at(1).title, u"Delete Command"_s);
    QCOMPARE(answerer.seen().at(1).text, u"Delete \"%1\" from \"Dev\"?"_s.arg(label));
    labels.removeOne(label);
    QCOMPARE(commandLabels(path), labels);
    QCOMPARE(dock->current(), current);
}

// The file goes to the trash, its row and its remembered expansion go away.
void TstProjectsPanel::deleteDevice()
{
    const QString path = writeDevice(folder(), u"gone.i2cdev"_s, u"Gone"_s, 0x23, labelled({"g"}));
    const QString kept = writeDevice(folder(), u"kept.i2cdev"_s, u"Kept"_s, 0x24, labelled({"k"}));
    const QByteArray bytes = readRaw(path);
    auto dock = makeDock();
    dock->tree->expand(dock->find(u"Gone"_s));
    dock->tree->expand(dock->find(u"Kept"_s));
    QCOMPARE(storedExpanded().size(), 2);
    const QDir trash(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                     u"/Trash/files"_s);
    const QStringList trashed = trash.entryList(QDir::Files);

    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(u"Delete Device..."_s);
    answerer.pressButton(QMessageBox::Yes);
    dock->openMenu(dock->find(u"Gone"_s));
    QCOMPARE(answerer.seen().at(1).title, u"Delete Device"_s);
    QCOMPARE(answerer.seen().at(1).text, u"Move \"Gone\" (gone.i2cdev) to the trash?"_s);
    QVERIFY(!QFile::exists(path));
    const QStringList now = trash.entryList(QDir::Files);
    QCOMPARE(now.size(), trashed.size() + 1);
    bool found = false;
    for (const QString& name : now)
        found = found || (!trashed.contains(name) && readRaw(trash.filePath(name)) == bytes);
    QVERIFY(found);
    QCOMPARE(dock->texts(), QStringList{"Kept"});
    QCOMPARE(storedExpanded(), QStringList{kept});
}

void TstProjectsPanel::trashLocation_data()
{
    QTest::addColumn<int>("dataHome");
    QTest::addColumn<bool>("trashed");
    QTest::newRow("data folder missing") << int(DataHomeMissing) << true;
    QTest::newRow("trash is a file") << int(TrashIsFile) << false;
    QTest::newRow("data folder read-only") << int(DataHomeReadOnly) << false;
    QTest::newRow("trash folder read-only") << int(TrashReadOnly) << false;
}

// A missing data folder is made so the trash can be; where no trash can be,
// the file is deleted for good once the user agreed, and nothing lands
// anywhere else, such as in the working directory.
void TstProjectsPanel::trashLocation()
{
    QFETCH(int, dataHome);
    QFETCH(bool, trashed);
    const QString path = writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s);
    const QByteArray bytes = readRaw(path);
    auto dock = makeDock();
    const QString data = m_dir->filePath(u"data/home"_s);
    const QString trash = data + u"/Trash"_s;
    if (dataHome == TrashIsFile)
        QVERIFY(QDir().mkpath(data) && writeRaw(trash, "not a folder"));
    else if (dataHome != DataHomeMissing)
        QVERIFY(QDir().mkpath(dataHome == TrashReadOnly ? trash : data));
    std::optional<CReadOnlyFolder> readOnly;
    if (dataHome == DataHomeReadOnly || dataHome == TrashReadOnly) {
        readOnly.emplace(dataHome == TrashReadOnly ? trash : data);
        if (!readOnly->isReadOnly())
            QSKIP("this user can write into any folder");
    }
    const QString workDir = m_dir->filePath(u"work"_s);
    QVERIFY(QDir().mkpath(workDir));
    const QString previousWorkDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir));
    const QByteArray previous = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", data.toLocal8Bit());
    const auto restore = qScopeGuard([&] {
        qputenv("XDG_DATA_HOME", previous);
        QDir::setCurrent(previousWorkDir);
    });

    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(u"Delete Device..."_s);
    answerer.pressButton(QMessageBox::Yes);
    if (!trashed)
        answerer.pressButton(QMessageBox::Yes); // Delete it permanently?
    dock->openMenu(dock->find(u"Dev"_s));
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(answerer.seen().size(), trashed ? 2 : 3);
    QVERIFY(!QFile::exists(path));
    QVERIFY(dock->texts().isEmpty());
    QCOMPARE(QDir(workDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
    QCOMPARE(readRaw(trash + u"/files/dev.i2cdev"_s), trashed ? bytes : QByteArray());
}

void TstProjectsPanel::deleteErrorFile()
{
    const QString path = m_dir->filePath(u"bad.i2cdev"_s);
    QVERIFY(writeRaw(path, "{"));
    auto dock = makeDock();
    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(u"Delete File..."_s);
    answerer.pressButton(QMessageBox::Yes);
    dock->openMenu(dock->find(u"bad.i2cdev"_s));
    QCOMPARE(answerer.seen().at(1).title, u"Delete File"_s);
    QCOMPARE(answerer.seen().at(1).text, u"Move \"bad.i2cdev\" to the trash?"_s);
    QVERIFY(!QFile::exists(path));
    QVERIFY(dock->texts().isEmpty());
}

// A save cut short shows the message; the file and the tree stay as they were.
void TstProjectsPanel::failedSaveKeepsFile()
{
    const QString path =
        writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s, 0x23, labelled({"Old label"}));
    const QByteArray bytes = readRaw(path);
    auto dock = makeDock();
    dock->tree->expand(dock->find(u"Dev"_s));

    CDialogAnswerer answerer;
    QStringList initial;
    answerer.chooseMenuEntry(u"Rename..."_s);
    answerer.handleWith(enterLabel(u"New label"_s, &initial));
    answerer.pressButton(QMessageBox::Ok);
    // A file size limit fails the write as a full disk does.
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit tiny{64, limit.rlim_max};
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    dock->openMenu(dock->find(u"Dev"_s, u"Old label"_s));
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);

    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(answerer.seen().at(2).className, u"QMessageBox"_s);
    QCOMPARE(answerer.seen().at(2).title, u"Projects"_s);
    QVERIFY(answerer.seen().at(2).text.startsWith(
        u"Could not save the file:\n%1\n\n"_s.arg(QDir::toNativeSeparators(path))));
    QCOMPARE(readRaw(path), bytes);
    QCOMPARE(QDir(folder()).entryList(QDir::Files | QDir::Hidden), QStringList{"dev.i2cdev"});
    QVERIFY(dock->find(u"Dev"_s, u"Old label"_s).isValid());
}

// Names, descriptions, labels and error texts from files are shown as text.
void TstProjectsPanel::textStaysText()
{
    const QString markup = u"<b>Bold</b>"_s;
    writeDevice(folder(), u"dev.i2cdev"_s, markup, 0x23, labelled({markup}), u"<i>desc</i>"_s);
    QVERIFY(writeRaw(m_dir->filePath(u"zz.i2cdev"_s),
                     R"({ "address": 1, "commands": [ { "type": "<b>x</b>" } ] })"));
    auto dock = makeDock();
    dock->tree->expand(dock->find(markup));
    dock->click(dock->find(markup));
    QCOMPARE(dock->descriptionLabel->textFormat(), Qt::PlainText);
    QCOMPARE(dock->descriptionLabel->text(), u"<i>desc</i>"_s);

    QList<Qt::TextFormat> formats;
    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(u"Delete Command"_s);
    answerer.handleWith([&formats](QWidget* widget) {
        formats.append(qobject_cast<QMessageBox*>(widget)->textFormat());
        qobject_cast<QMessageBox*>(widget)->button(QMessageBox::No)->click();
    });
    dock->openMenu(dock->find(markup, markup));
    answerer.handleWith([&formats](QWidget* widget) {
        formats.append(widget->findChild<QLabel*>()->textFormat());
        qobject_cast<QDialog*>(widget)->reject();
    });
    dock->panel->AddCommand(makeRead({}, 1));
    QCOMPARE(formats, (QList<Qt::TextFormat>{Qt::PlainText, Qt::PlainText}));

    // The tool tip of the error row shows the file's type text literally.
    const QModelIndex error = dock->find(u"zz.i2cdev"_s);
    const QString message = error.data(Qt::ToolTipRole).toString();
    QCOMPARE(message, u"Command 1: unknown type \"<b>x</b>\""_s);
    const QPoint pos = dock->pointOf(error);
    QHelpEvent help(QEvent::ToolTip, pos, dock->tree->viewport()->mapToGlobal(pos));
    QCoreApplication::sendEvent(dock->tree->viewport(), &help);
    PELLAN_TRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), Qt::convertFromPlainText(message));
    QToolTip::hideText();
}

void TstProjectsPanel::openFolderSaysWhyItFailed_data()
{
    QTest::addColumn<bool>("opens");
    QTest::newRow("opened") << true;
    QTest::newRow("no program for folders") << false;
}

void TstProjectsPanel::openFolderSaysWhyItFailed()
{
    QFETCH(bool, opens);
    auto dock = makeDock();
    CFolderOpener opener;
    // A handler without the slot fails as a desktop without a file manager.
    QDesktopServices::setUrlHandler(u"file"_s, &opener, opens ? "open" : "missing");
    const auto restore = qScopeGuard([] { QDesktopServices::unsetUrlHandler(u"file"_s); });

    CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    dock->folderButton->click();
    QCOMPARE(answerer.pending(), opens ? 1 : 0);
    if (opens) {
        QCOMPARE(opener.opened, QList<QUrl>{QUrl::fromLocalFile(dock->panel->GetFolder())});
        return;
    }
    QCOMPARE(answerer.seen().at(0).title, u"Projects"_s);
    QCOMPARE(answerer.seen().at(0).text,
             u"Could not open the projects folder:\n%1\n\nThe desktop has no program set up to "
             "open folders."_s.arg(QDir::toNativeSeparators(dock->panel->GetFolder())));
}

QTEST_MAIN(TstProjectsPanel)
#include "tst_projectspanel.moc"
