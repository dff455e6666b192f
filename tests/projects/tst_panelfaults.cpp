// The projects folder changing under the panel's feet: files replaced,
// deleted or created while the folder is being read or while a menu or a
// dialog is open, the whole folder deleted while the panel runs, and a
// folder that refuses a save. The tree must end up showing what is on disk,
// and no file or outside edit may be lost.

#include "projects/projectspanel.h"
#include "tests/support/devicefilestate.h"
#include "tests/support/dialoganswerer.h"
#include "tests/support/fifowatchdog.h"
#include "tests/support/projectsdock.h"
#include "tests/support/projectspanelprobe.h"
#include "tests/support/readonlyfolder.h"
#include "tests/support/waits.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;
using testsupport::CProjectsDock;

namespace {

// Enough files that reading the rest of the folder takes far longer than a
// thread needs to change the first one.
constexpr int FILLER_FILES = 400;
using testsupport::WAIT_MS;

enum EChange { RewrittenInPlace, ReplacedByRename, Deleted, Created };
enum EOutside { OtherFileAdded, CommandAdded, CommandRenamed, FileRemoved, FileBroken };

QString writeDevice(const QString& folder, const QString& fileName, const QString& name,
                    const QString& description = {})
{
    CI2cDeviceFile device;
    device.SetName(name);
    device.SetDescription(description);
    device.SetAddress(0x23);
    device.AddCommand({u"Read"_s, EI2cCommandType::Read, EI2cStartStop::Auto, {}, 2});
    const QString path = QDir(folder).absoluteFilePath(fileName);
    return device.SaveAs(path) ? path : QString();
}

// "Dev" with the commands c0, c1 and c2.
QString writeDev(const QString& folder)
{
    CI2cDeviceFile device;
    device.SetName(u"Dev"_s);
    device.SetAddress(0x23);
    for (const char* label : {"c0", "c1", "c2"})
        device.AddCommand(
            {QString::fromLatin1(label), EI2cCommandType::Write, EI2cStartStop::Auto, {0x01}, 1});
    const QString path = QDir(folder).absoluteFilePath(u"dev.i2cdev"_s);
    return device.SaveAs(path) ? path : QString();
}

// What another program does to dev.i2cdev while a menu or dialog is open.
void changeOutside(const QString& path, int change)
{
    CI2cDeviceFile device;
    switch (change) {
    case OtherFileAdded: // sorts first and moves Dev down a place
        writeDevice(QFileInfo(path).path(), u"aaa.i2cdev"_s, u"Aaa"_s);
        break;
    case CommandAdded:
    case CommandRenamed:
        QVERIFY(device.Load(path));
        if (change == CommandAdded)
            device.AddCommand({u"outside"_s, EI2cCommandType::Read, EI2cStartStop::Auto, {}, 2});
        else
            device.RenameCommand(1, u"c1 outside"_s);
        QVERIFY(device.Save());
        break;
    case FileRemoved:
        QVERIFY(QFile::remove(path));
        break;
    case FileBroken: {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{");
        break;
    }
    }
}

// Names the device "Renamed" in the device dialog and presses OK.
void renameDevice(QWidget* widget)
{
    for (QLineEdit* edit : widget->findChildren<QLineEdit*>()) {
        if (edit->placeholderText() == u"e.g. BH1750"_s)
            edit->setText(u"Renamed"_s);
    }
    QTimer::singleShot(0, widget, [widget] {
        widget->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
}

// Runs an action on its own thread as soon as somebody has read the file
// (closed it after reading), or when a wait's bound has passed.
class CAfterRead {
public:
    CAfterRead(const QString& path, std::function<void()> action)
    {
        m_fd = inotify_init1(IN_CLOEXEC);
        if (m_fd < 0)
            return;
        m_watching =
            inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_CLOSE_NOWRITE) >= 0;
        m_thread = std::thread([this, action = std::move(action)] {
            pollfd waiting{m_fd, POLLIN, 0};
            m_triggered = poll(&waiting, 1, WAIT_MS) == 1;
            action();
        });
    }
    ~CAfterRead()
    {
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            close(m_fd);
    }
    CAfterRead(const CAfterRead&) = delete;
    CAfterRead& operator=(const CAfterRead&) = delete;

    bool isWatching() const { return m_watching; }
    // Joins the thread; true when the action ran because the file was read.
    bool finish()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_triggered;
    }

private:
    int m_fd = -1;
    bool m_watching = false;
    std::atomic<bool> m_triggered{false};
    std::thread m_thread;
};

} // namespace

class TstPanelFaults : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fileChangedWhileFolderReloads_data();
    void fileChangedWhileFolderReloads();
    void folderDeletedWhilePanelRuns();
    void saveIntoReadOnlyFolder();
    void specialFilesInFolder();
    void outsideChangeWhileOpen_data();
    void outsideChangeWhileOpen();

private:
    std::unique_ptr<CProjectsDock> makeDock() const { return std::make_unique<CProjectsDock>(); }
    QString folder() const { return m_dir->filePath(u"projects"_s); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TstPanelFaults::init()
{
    // In the home, so that a deleted file goes to the home trash wherever
    // TMPDIR lies.
    m_dir = std::make_unique<QTemporaryDir>(QDir::home().filePath(u"faults-XXXXXX"_s));
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(folder()));
    testsupport::startProjectsSettings(folder());
}

void TstPanelFaults::cleanup()
{
    m_dir.reset();
}

void TstPanelFaults::fileChangedWhileFolderReloads_data()
{
    QTest::addColumn<int>("change");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("rewritten in place") << int(RewrittenInPlace) << QStringList{"Changed"};
    QTest::newRow("replaced by rename") << int(ReplacedByRename) << QStringList{"Changed"};
    QTest::newRow("deleted") << int(Deleted) << QStringList();
    QTest::newRow("created") << int(Created) << QStringList{"Added", "First"};
}

// The change lands after the panel has read the file and before it has
// finished reading the folder; the watcher must still report it.
void TstPanelFaults::fileChangedWhileFolderReloads()
{
    QFETCH(int, change);
    QFETCH(QStringList, after);

    // Listed (and read) first; the fillers fail to load and sort last.
    const QString first = writeDevice(folder(), u"0000.i2cdev"_s, u"First"_s);
    QVERIFY(!first.isEmpty());
    const QString replacement = writeDevice(m_dir->path(), u"replacement.i2cdev"_s, u"Changed"_s);
    QVERIFY(!replacement.isEmpty());
    for (int i = 1; i <= FILLER_FILES; ++i) {
        QFile filler(QDir(folder()).filePath(u"%1.i2cdev"_s.arg(i, 4, 10, QChar('0'))));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        filler.write("{ \"address\": \"none\" }");
    }
    auto dock = makeDock();
    QCOMPARE(dock->texts().first(), u"First"_s);
    QCOMPARE(dock->texts().size(), FILLER_FILES + 1);

    const QString target = folder();
    CAfterRead afterRead(first, [&] {
        switch (change) {
        case RewrittenInPlace: {
            QFile file(first);
            QFile source(replacement);
            if (source.open(QIODevice::ReadOnly) && file.open(QIODevice::WriteOnly))
                file.write(source.readAll());
            break;
        }
        case ReplacedByRename:
            std::rename(QFile::encodeName(replacement).constData(),
                        QFile::encodeName(first).constData());
            break;
        case Deleted:
            QFile::remove(first);
            break;
        case Created:
            writeDevice(target, u"9999.i2cdev"_s, u"Added"_s);
            break;
        }
    });
    QVERIFY(afterRead.isWatching());
    // Written anew, so that the reload reads it again instead of keeping it.
    QCOMPARE(writeDevice(folder(), u"0000.i2cdev"_s, u"First"_s), first);
    CProjectsPanelProbe::reload(*dock->panel);
    QVERIFY(afterRead.finish());

    // Whatever the reload itself saw, the watcher brings the change in.
    PELLAN_TRY_COMPARE(dock->texts().mid(0, after.size()), after);
    PELLAN_TRY_COMPARE(dock->texts().size(), FILLER_FILES + after.size());
}

void TstPanelFaults::folderDeletedWhilePanelRuns()
{
    writeDevice(folder(), u"a.i2cdev"_s, u"Alpha"_s, u"The first"_s);
    writeDevice(folder(), u"b.i2cdev"_s, u"Beta"_s);
    auto dock = makeDock();
    QCOMPARE(dock->texts(), (QStringList{"Alpha", "Beta"}));
    dock->tree->setCurrentIndex(dock->tree->model()->index(0, 0));
    QCOMPARE(dock->descriptionLabel->text(), u"The first"_s);

    QVERIFY(QDir(folder()).removeRecursively());
    PELLAN_TRY_VERIFY(dock->texts().isEmpty());
    QVERIFY(!dock->tree->currentIndex().isValid());
    QVERIFY(dock->descriptionLabel->text().isEmpty());
    // Reloading a folder that is not there is harmless.
    dock->reloadButton->click();
    QVERIFY(dock->texts().isEmpty());
    QCOMPARE(dock->panel->GetFolder(), folder());

    // Brought back from outside: shown after a reload, and watched again.
    QVERIFY(QDir().mkpath(folder()));
    const QString path = writeDevice(folder(), u"c.i2cdev"_s, u"Gamma"_s);
    dock->reloadButton->click();
    QCOMPARE(dock->texts(), QStringList{"Gamma"});
    QFile::remove(path);
    PELLAN_TRY_VERIFY(dock->texts().isEmpty());
    writeDevice(folder(), u"d.i2cdev"_s, u"Delta"_s);
    PELLAN_TRY_COMPARE(dock->texts(), QStringList{"Delta"});
}

void TstPanelFaults::saveIntoReadOnlyFolder()
{
    const QString path = writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();
    auto dock = makeDock();
    dock->tree->setCurrentIndex(dock->tree->model()->index(0, 0));

    const testsupport::CReadOnlyFolder readOnly(folder());
    if (!readOnly.isReadOnly())
        QSKIP("this user can write into any folder");

    testsupport::CDialogAnswerer answerer;
    answerer.enterText(u"Stored"_s);
    answerer.pressButton(QMessageBox::Ok);
    dock->panel->AddCommand({{}, EI2cCommandType::Read, EI2cStartStop::Auto, {}, 4});
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(answerer.seen().size(), 2);
    QCOMPARE(answerer.seen().at(1).title, u"Projects"_s);
    QVERIFY(answerer.seen().at(1).text.startsWith(
        u"Could not save the file:\n%1\n\n"_s.arg(QDir::toNativeSeparators(path))));

    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
    QCOMPARE(QDir(folder()).entryList(QDir::Files | QDir::Hidden), QStringList{"dev.i2cdev"});
    const QModelIndex device = dock->tree->model()->index(0, 0);
    QCOMPARE(device.data().toString(), u"Dev"_s);
    QCOMPARE(dock->tree->model()->rowCount(device), 1);
}

// A FIFO, a link to one and a link to a folder, all named *.i2cdev: the
// panel comes up without waiting for a FIFO writer, and a listed one is an
// error row.
void TstPanelFaults::specialFilesInFolder()
{
    writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s);
    const QString fifo = m_dir->filePath(u"fifo"_s);
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QCOMPARE(mkfifo(QFile::encodeName(folder() + u"/fifo.i2cdev"_s).constData(), 0600), 0);
    QVERIFY(QFile::link(fifo, folder() + u"/link.i2cdev"_s));
    QVERIFY(QDir().mkdir(m_dir->filePath(u"folder"_s)));
    QVERIFY(QFile::link(m_dir->filePath(u"folder"_s), folder() + u"/folder.i2cdev"_s));

    testsupport::CFifoWatchdog watchdog(fifo);
    auto dock = makeDock();
    QVERIFY2(!watchdog.finish(), "the panel blocked on the FIFO");
    QCOMPARE(dock->texts(), (QStringList{"Dev", "link.i2cdev"}));
    const QModelIndex link = dock->tree->model()->index(1, 0);
    QCOMPARE(link.data(Qt::ToolTipRole).toString(), u"Not a regular file"_s);
}

void TstPanelFaults::outsideChangeWhileOpen_data()
{
    QTest::addColumn<QString>("entry"); // empty: Save Command
    QTest::addColumn<bool>("duringMenu");
    QTest::addColumn<int>("change");
    QTest::addColumn<QString>("events");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("warning"); // start of the text
    const QString dev = u"c0, c1, c2 in Dev"_s;
    const QString renamed = u"c0, c1 outside, c2 in Dev"_s;
    const QString gone = u"\"dev.i2cdev\" is no longer in the projects folder."_s;
    const QString changed = u"The command \"c1\" of \"Dev\" was changed on disk."_s;
    const QString notSaved = u"\n\nNothing was saved."_s;

    // A reload while the menu is open replaces every row; the entry still
    // acts on the row's file and command, or says what became of them.
    const auto menu = [](const char* name, const QString& entry, int change) -> QTestData& {
        return QTest::newRow(name) << entry << true << change;
    };
    menu("menu: execute", "Execute", OtherFileAdded) << "execute c1" << dev << "";
    menu("menu: load", "Load into Fields", OtherFileAdded) << "select c1" << dev << "";
    menu("menu: rename", "Rename...", OtherFileAdded) << ""
                                                      << "c0, R, c2 in Dev"
                                                      << "";
    menu("menu: move up", "Move Up", OtherFileAdded) << ""
                                                     << "c1, c0, c2 in Dev"
                                                     << "";
    menu("menu: move down", "Move Down", OtherFileAdded) << ""
                                                         << "c0, c2, c1 in Dev"
                                                         << "";
    menu("menu: delete command", "Delete Command", OtherFileAdded) << ""
                                                                   << "c0, c2 in Dev"
                                                                   << "";
    menu("menu: properties", "Properties...", OtherFileAdded) << ""
                                                              << "c0, c1, c2 in Renamed"
                                                              << "";
    menu("menu: delete device", "Delete Device...", OtherFileAdded) << ""
                                                                    << "gone"
                                                                    << "";
    menu("menu: execute, file removed", "Execute", FileRemoved) << ""
                                                                << "gone" << gone;
    menu("menu: properties, file broken", "Properties...", FileBroken)
        << ""
        << "unreadable"
        << "\"dev.i2cdev\" was changed on disk and can no longer be read:\nJSON error";
    menu("menu: execute, command renamed", "Execute", CommandRenamed) << "" << renamed << changed;
    menu("menu: delete, command renamed", "Delete Command", CommandRenamed)
        << "" << renamed << changed;

    // An edit answered after the watcher reloaded applies to the file as it
    // is then, or, where its file or command is gone, saves nothing.
    const auto dialog = [](const char* name, const QString& entry, int change) -> QTestData& {
        return QTest::newRow(name) << entry << false << change << "";
    };
    dialog("properties, command added", "Properties...", CommandAdded)
        << "c0, c1, c2, outside in Renamed"
        << "";
    dialog("rename, command added", "Rename...", CommandAdded) << "c0, R, c2, outside in Dev"
                                                               << "";
    dialog("delete, command added", "Delete Command", CommandAdded) << "c0, c2, outside in Dev"
                                                                    << "";
    dialog("save command, command added", "", CommandAdded) << "c0, c1, c2, outside, R in Dev"
                                                            << "";
    dialog("properties, file removed", "Properties...", FileRemoved) << "gone" << gone + notSaved;
    dialog("rename, file removed", "Rename...", FileRemoved) << "gone" << gone + notSaved;
    dialog("delete, file removed", "Delete Command", FileRemoved) << "gone" << gone + notSaved;
    dialog("save command, file removed", "", FileRemoved) << "gone" << gone + notSaved;
    dialog("rename, command renamed", "Rename...", CommandRenamed) << renamed << changed + notSaved;
    dialog("delete, command renamed", "Delete Command", CommandRenamed)
        << renamed << changed + notSaved;
}

// Another program changes dev.i2cdev while the context menu or the dialog of
// an edit is open, and the watcher reloads the folder.
void TstPanelFaults::outsideChangeWhileOpen()
{
    QFETCH(QString, entry);
    QFETCH(bool, duringMenu);
    QFETCH(int, change);
    QFETCH(QString, events);
    QFETCH(QString, state);
    QFETCH(QString, warning);
    const QString path = writeDev(folder());
    auto dock = makeDock();
    const QModelIndex device = dock->tree->model()->index(0, 0);
    dock->tree->expand(device);
    QStringList seenEvents;
    connect(
        dock->panel, &CProjectsPanel::commandSelected, this,
        [&](uint8_t, const SI2cCommand& command) { seenEvents << u"select "_s + command.label; });
    connect(
        dock->panel, &CProjectsPanel::commandExecuteRequested, this,
        [&](uint8_t, const SI2cCommand& command) { seenEvents << u"execute "_s + command.label; });

    testsupport::CDialogAnswerer answerer;
    const auto outside = [&] {
        changeOutside(path, change);
        CProjectsPanelProbe::reload(*dock->panel);
    };
    if (!entry.isEmpty())
        answerer.chooseMenuEntry(entry);
    if (duringMenu)
        answerer.runFirst(outside);
    if (!duringMenu || warning.isEmpty()) {
        if (entry.isEmpty() || entry == u"Rename..."_s)
            answerer.enterText(u"R"_s);
        else if (entry.startsWith(u"Delete"_s))
            answerer.pressButton(QMessageBox::Yes);
        else if (entry == u"Properties..."_s)
            answerer.handleWith(renameDevice);
        if (!duringMenu)
            answerer.runFirst(outside);
    }
    if (!warning.isEmpty())
        answerer.pressButton(QMessageBox::Ok);
    if (entry.isEmpty()) {
        dock->tree->setCurrentIndex(device);
        dock->panel->AddCommand({{}, EI2cCommandType::Read, EI2cStartStop::Auto, {}, 4});
    } else {
        const bool onDevice = entry == u"Properties..."_s || entry == u"Delete Device..."_s;
        dock->openMenu(onDevice ? device : dock->tree->model()->index(1, 0, device));
    }

    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(seenEvents.join(u", "_s), events);
    QCOMPARE(testsupport::deviceFileState(path), state);
    const QList<testsupport::SDialogSeen>& seen = answerer.seen();
    if (!warning.isEmpty()) {
        QVERIFY2(seen.last().text.startsWith(warning), qPrintable(seen.last().text));
        // Titled "Projects" after the menu, else after the dialog answered.
        QCOMPARE(seen.last().title, duringMenu ? u"Projects"_s : seen.at(seen.size() - 2).title);
    }
}

QTEST_MAIN(TstPanelFaults)
#include "tst_panelfaults.moc"
