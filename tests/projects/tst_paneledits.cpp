// Edits of the projects panel against the disk as it is now: a trash that
// cannot take a file, files and folders changed while the tree still shows
// them as they were, Properties that write back only what the user changed,
// two entries for one device, entries that cannot be read, and reloads that
// read only the files that changed.

#include "projects/projectspanel.h"
#include "tests/support/devicefilestate.h"
#include "tests/support/dialoganswerer.h"
#include "tests/support/projectsdock.h"
#include "tests/support/projectspanelprobe.h"
#include "tests/support/readonlyfolder.h"
#include "tests/support/waits.h"
#include "tests/support/watchdog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using testsupport::CDialogAnswerer;

namespace {

enum ETrashFault { InfoIsFile, FilesIsFile, TrashIsFile, DataHomeIsFile };
enum EOutside { CommandAppended, CommandDataChanged, FolderReplaced, LinkRepointed };
enum EField { NoField, Name, Address, Description };
enum EChange { Untouched, Touched, RewrittenSameSize, RewrittenTimeKept, ReplacedByRename };

QString writeDevice(const QString& folder, const QString& fileName, const QString& name,
                    const QStringList& labels = {"c0", "c1", "c2"})
{
    CI2cDeviceFile device;
    device.SetName(name);
    device.SetAddress(0x23);
    for (const QString& label : labels)
        device.AddCommand({label, EI2cCommandType::Write, EI2cStartStop::Auto, {0x01}, 1});
    const QString path = QDir(folder).absoluteFilePath(fileName);
    return device.SaveAs(path) ? path : QString();
}

// "c0, c1, c2 in Dev at 0x23: description", "gone" or "unreadable".
QString fileState(const QString& path)
{
    return testsupport::deviceFileState(path, testsupport::EStateText::WithAddressAndDescription);
}

// Loads, changes and saves the device file as another program would.
void editOutside(const QString& path, const std::function<void(CI2cDeviceFile&)>& edit)
{
    CI2cDeviceFile device;
    QVERIFY(device.Load(path));
    edit(device);
    QVERIFY(device.Save());
}

// The device dialog: sets the fields named, then presses OK.
CDialogAnswerer::Handler setFields(const QString& name, const QString& address,
                                   const QString& description)
{
    return [=](QWidget* widget) {
        for (QLineEdit* edit : widget->findChildren<QLineEdit*>()) {
            if (edit->placeholderText() == u"e.g. BH1750"_s && !name.isNull())
                edit->setText(name);
            if (edit->placeholderText() == u"0x23"_s && !address.isNull())
                edit->setText(address);
        }
        if (!description.isNull())
            widget->findChild<QPlainTextEdit*>()->setPlainText(description);
        QTimer::singleShot(0, widget, [widget] {
            widget->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
    };
}

} // namespace

class TstPanelEdits : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void trashRefused_data();
    void trashRefused();
    void readOnlyFolderOffersNoDeletion();
    void staleTree_data();
    void staleTree();
    void propertiesChangedFields_data();
    void propertiesChangedFields();
    void ownNameIsFree_data();
    void ownNameIsFree();
    void unreadableEntries();
    void newDeviceLeavesLinkTargetsFree();
    void reloadReadsChangedFiles_data();
    void reloadReadsChangedFiles();

private:
    // The projects dock with the rows found by their places.
    struct SDock : testsupport::CProjectsDock {
        QModelIndex row(int row, int command = -1) const
        {
            const QModelIndex top = model()->index(row, 0);
            return command < 0 ? top : model()->index(command, 0, top);
        }
    };

    std::unique_ptr<SDock> makeDock() const { return std::make_unique<SDock>(); }
    QString folder() const { return m_dir->filePath(u"projects"_s); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_previousDataHome;
};

void TstPanelEdits::init()
{
    // In the home, with a trash of its own on the same file system.
    m_dir = std::make_unique<QTemporaryDir>(QDir::home().filePath(u"edits-XXXXXX"_s));
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(folder()));
    m_previousDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->filePath(u"data"_s)));
    testsupport::startProjectsSettings(folder());
}

void TstPanelEdits::cleanup()
{
    qputenv("XDG_DATA_HOME", m_previousDataHome);
    m_dir.reset();
}

void TstPanelEdits::trashRefused_data()
{
    QTest::addColumn<bool>("errorRow"); // Delete File... on a file that fails to load
    QTest::addColumn<int>("fault");     // what is a plain file instead of a folder
    QTest::addColumn<bool>("deleteIt");
    QTest::newRow("device, info, no") << false << int(InfoIsFile) << false;
    QTest::newRow("device, files, yes") << false << int(FilesIsFile) << true;
    QTest::newRow("device, trash, no") << false << int(TrashIsFile) << false;
    QTest::newRow("error row, info, yes") << true << int(InfoIsFile) << true;
    QTest::newRow("error row, data folder, no") << true << int(DataHomeIsFile) << false;
}

// The trash cannot take the file: the panel says so at once, asks whether
// to delete it for good with No as the default, and keeps it on No. A move
// that loops on the fault is let go by the watchdog and fails the test.
void TstPanelEdits::trashRefused()
{
    QFETCH(bool, errorRow);
    QFETCH(int, fault);
    QFETCH(bool, deleteIt);
    const QString path = errorRow ? QDir(folder()).filePath(u"dev.i2cdev"_s)
                                  : writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s);
    if (errorRow) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("{") == 1);
    }
    const QString trash = m_dir->filePath(u"data/Trash"_s);
    const QString faulty = fault == InfoIsFile    ? trash + u"/info"_s
                           : fault == FilesIsFile ? trash + u"/files"_s
                           : fault == TrashIsFile ? trash
                                                  : m_dir->filePath(u"data"_s);
    QVERIFY(QDir().mkpath(QFileInfo(faulty).path()));
    QFile plain(faulty);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    auto dock = makeDock();

    const QString title = errorRow ? u"Delete File"_s : u"Delete Device"_s;
    bool defaultNo = false;
    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(errorRow ? u"Delete File..."_s : u"Delete Device..."_s);
    answerer.pressButton(QMessageBox::Yes);
    answerer.handleWith([&](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        defaultNo = box->defaultButton() == box->button(QMessageBox::No);
        box->button(deleteIt ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    testsupport::CWatchdog watchdog(testsupport::WAIT, [&] {
        QFile::remove(faulty);
        QDir().mkpath(faulty);
    });
    dock->openMenu(dock->row(0));
    QVERIFY2(!watchdog.finish(), "moving to the trash did not end");

    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(answerer.seen().size(), 3);
    QCOMPARE(answerer.seen().at(2).title, title);
    const QString text = answerer.seen().at(2).text;
    QVERIFY2(text.startsWith(u"\"dev.i2cdev\" cannot be moved to the trash:\n"_s) &&
                 text.endsWith(u"\n\nDelete it permanently?"_s),
             qPrintable(text));
    QVERIFY(defaultNo);
    QCOMPARE(QFile::exists(path), !deleteIt);
    QCOMPARE(dock->texts().size(), deleteIt ? 0 : 1);
}

// Neither the trash nor a permanent delete can take a file from a read-only
// folder: the panel says why at once and asks nothing more.
void TstPanelEdits::readOnlyFolderOffersNoDeletion()
{
    const QString path = writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s);
    auto dock = makeDock();
    const testsupport::CReadOnlyFolder readOnly(folder());
    if (!readOnly.isReadOnly())
        QSKIP("this user can write into any folder");

    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(u"Delete Device..."_s);
    answerer.pressButton(QMessageBox::Yes);
    answerer.pressButton(QMessageBox::Ok);
    dock->openMenu(dock->row(0));
    QVERIFY(answerer.waitDone());

    QCOMPARE(answerer.seen().size(), 3);
    const QString prefix = u"Could not delete the file:\n%1\n\nThe folder is read-only: "_s.arg(
        QDir::toNativeSeparators(path));
    QVERIFY2(answerer.seen().at(2).text.startsWith(prefix) &&
                 answerer.seen().at(2).text.size() > prefix.size(),
             qPrintable(answerer.seen().at(2).text));
    QVERIFY(QFile::exists(path));
}

void TstPanelEdits::staleTree_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("change");
    QTest::addColumn<QString>("state");   // of dev.i2cdev in the folder the path leads to
    QTest::addColumn<QString>("warning"); // start of the text; empty: none
    const QString dev = u"c0, c1, c2 in Dev at 0x23: "_s;
    const QString folderText = u"The projects folder was moved, replaced or re-pointed"_s;
    QTest::newRow("move down, command appended")
        << "Move Down" << 0 << int(CommandAppended) << "c1, c0, c2, outside in Dev at 0x23: "
        << "";
    QTest::newRow("move up, data of the command changed")
        << "Move Up" << 1 << int(CommandDataChanged) << dev
        << "The command \"c1\" of \"Dev\" was changed on disk.\n\nNothing was saved.";
    QTest::newRow("move down, folder renamed away and replaced")
        << "Move Down" << 0 << int(FolderReplaced) << dev << folderText;
    QTest::newRow("move down, folder link re-pointed")
        << "Move Down" << 0 << int(LinkRepointed) << "c0, c1, c2 in Other at 0x23: " << folderText;
}

// Another program changes the file or the folder while the tree still shows
// them as they were (the debounced reload has not run): the edit applies to
// the file as it is now, or, where that is no longer what the user acted
// on, warns and leaves everything as it is.
void TstPanelEdits::staleTree()
{
    QFETCH(QString, entry);
    QFETCH(int, command);
    QFETCH(int, change);
    QFETCH(QString, state);
    QFETCH(QString, warning);
    // The folder path is a link for the re-pointing, to "a" and then to "b".
    const QString real = change == LinkRepointed ? m_dir->filePath(u"a"_s) : folder();
    if (change == LinkRepointed) {
        QVERIFY(QDir().mkpath(real) && QDir().rmdir(folder()));
        QVERIFY(QFile::link(real, folder()));
    }
    const QString path = writeDevice(real, u"dev.i2cdev"_s, u"Dev"_s);
    const QString before = fileState(path);
    auto dock = makeDock();
    CProjectsPanelProbe::reloadTimer(*dock->panel).setInterval(24 * 3600 * 1000);

    switch (change) {
    case CommandAppended:
        editOutside(path, [](CI2cDeviceFile& d) {
            d.AddCommand({u"outside"_s, EI2cCommandType::Read, EI2cStartStop::Auto, {}, 2});
        });
        break;
    case CommandDataChanged:
        editOutside(path, [](CI2cDeviceFile& d) {
            SI2cCommand c1 = d.GetCommands().at(1);
            c1.data = {0x02};
            d.RemoveCommand(1);
            d.AddCommand(c1);
            QVERIFY(d.MoveCommand(2, -1));
        });
        break;
    case FolderReplaced:
        QVERIFY(QDir().rename(folder(), folder() + u".old"_s));
        QVERIFY(QDir().mkpath(folder()));
        QCOMPARE(writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s), path);
        break;
    case LinkRepointed: {
        const QString other = m_dir->filePath(u"b"_s);
        QVERIFY(QDir().mkpath(other));
        writeDevice(other, u"dev.i2cdev"_s, u"Other"_s);
        QVERIFY(QFile::link(other, folder() + u".new"_s));
        // Over the old link in one step, as ln -sfn does.
        QCOMPARE(std::rename(QFile::encodeName(folder() + u".new"_s).constData(),
                             QFile::encodeName(folder()).constData()),
                 0);
        break;
    }
    }
    const QString folderPath = QDir(folder()).filePath(u"dev.i2cdev"_s);

    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(entry);
    if (!warning.isEmpty())
        answerer.pressButton(QMessageBox::Ok);
    dock->openMenu(dock->row(0, command));
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(fileState(folderPath), state);
    if (change == FolderReplaced)
        QCOMPARE(fileState(folder() + u".old/dev.i2cdev"_s), before);
    if (warning.isEmpty()) {
        QCOMPARE(answerer.seen().last().className, u"QMenu"_s);
    } else {
        QVERIFY2(answerer.seen().last().text.startsWith(warning),
                 qPrintable(answerer.seen().last().text));
        // The tree shows what the path leads to now.
        QCOMPARE(dock->texts(), QStringList{fileState(folderPath).section(u' ', -4, -4)});
    }
}

void TstPanelEdits::propertiesChangedFields_data()
{
    QTest::addColumn<QString>("before"); // the description when the dialog opens
    QTest::addColumn<int>("outside");    // the field another program changes
    QTest::addColumn<int>("user");       // the field the user changes
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("warning");
    QTest::newRow("address outside, description by the user")
        << "" << int(Address) << int(Description) << "c0, c1, c2 in Dev at 0x5c: mine"
        << "";
    QTest::newRow("description outside, address by the user")
        << "" << int(Description) << int(Address) << "c0, c1, c2 in Dev at 0x24: outside"
        << "";
    QTest::newRow("address outside, nothing by the user")
        << "" << int(Address) << int(NoField) << "c0, c1, c2 in Dev at 0x5c: "
        << "";
    // The field shows "\r\n" as "\n": no change of the user's.
    QTest::newRow("CRLF description, description outside, nothing by the user")
        << "a\r\nb" << int(Description) << int(NoField) << "c0, c1, c2 in Dev at 0x23: outside"
        << "";
    QTest::newRow("name outside, description by the user")
        << "" << int(Name) << int(Description) << "c0, c1, c2 in Outside at 0x23: "
        << "\"dev.i2cdev\" now holds the device \"Outside\" instead of \"Dev\".";
}

// Another program changes one field while the dialog is open; the user's
// OK writes only the field the user changed, to the file as it is then.
void TstPanelEdits::propertiesChangedFields()
{
    QFETCH(QString, before);
    QFETCH(int, outside);
    QFETCH(int, user);
    QFETCH(QString, state);
    QFETCH(QString, warning);
    const QString path = writeDevice(folder(), u"dev.i2cdev"_s, u"Dev"_s);
    editOutside(path, [&before](CI2cDeviceFile& d) { d.SetDescription(before); });
    auto dock = makeDock();

    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(u"Properties..."_s);
    answerer.handleWith(setFields(QString(), user == Address ? u"0x24"_s : QString(),
                                  user == Description ? u"mine"_s : QString()));
    answerer.runFirst([&] {
        editOutside(path, [outside](CI2cDeviceFile& d) {
            if (outside == Name)
                d.SetName(u"Outside"_s);
            else if (outside == Address)
                d.SetAddress(0x5C);
            else
                d.SetDescription(u"outside"_s);
        });
    });
    if (!warning.isEmpty())
        answerer.pressButton(QMessageBox::Ok);
    dock->openMenu(dock->row(0));
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(fileState(path), state);
    if (!warning.isEmpty())
        QVERIFY2(answerer.seen().last().text.startsWith(warning),
                 qPrintable(answerer.seen().last().text));
    else
        QCOMPARE(answerer.seen().size(), 2);
}

void TstPanelEdits::ownNameIsFree_data()
{
    QTest::addColumn<bool>("link"); // the second entry links to the first
    QTest::addColumn<QString>("name");
    QTest::newRow("two files, name kept") << false << "Alpha";
    QTest::newRow("link and target, name kept") << true << "Alpha";
    QTest::newRow("link and target, letter case changed") << true << "ALPHA";
}

// Two entries of the folder with the same device name: Properties of either
// accepts the name it has, and a link's target is its own file.
void TstPanelEdits::ownNameIsFree()
{
    QFETCH(bool, link);
    QFETCH(QString, name);
    const QString first = writeDevice(folder(), u"alpha.i2cdev"_s, u"Alpha"_s);
    const QString second = QDir(folder()).filePath(u"second.i2cdev"_s);
    if (link)
        QVERIFY(QFile::link(first, second));
    else
        QCOMPARE(writeDevice(folder(), u"second.i2cdev"_s, u"Alpha"_s), second);
    auto dock = makeDock();
    // Told apart by their files, which screen readers say too.
    QCOMPARE(dock->texts(), (QStringList{"Alpha (alpha.i2cdev)", "Alpha (second.i2cdev)"}));
    QCOMPARE(dock->texts({}, 0, Qt::AccessibleDescriptionRole),
             (QStringList{"File alpha.i2cdev", "File second.i2cdev"}));

    CDialogAnswerer answerer;
    answerer.chooseMenuEntry(u"Properties..."_s);
    answerer.handleWith(setFields(name, QString(), u"edited"_s));
    const int row = dock->texts({}, 0, Qt::ToolTipRole).indexOf(QDir::toNativeSeparators(second));
    dock->openMenu(dock->row(row));
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(answerer.seen().size(), 2); // no "already exists"
    QCOMPARE(fileState(second), u"c0, c1, c2 in %1 at 0x23: edited"_s.arg(name));
}

// Links that lead nowhere or in a circle and names that are not UTF-8 are
// error rows. A new device does not take the name of a link that leads
// nowhere, and so never writes through it out of the folder.
void TstPanelEdits::unreadableEntries()
{
    const QString outside = m_dir->filePath(u"outside"_s);
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(QFile::link(outside + u"/new.i2cdev"_s, folder() + u"/dev.i2cdev"_s));
    QCOMPARE(::symlink("loop.i2cdev", QFile::encodeName(folder() + u"/loop.i2cdev"_s)), 0);
    const QByteArray odd = QFile::encodeName(folder()) + "/odd\xff.i2cdev";
    const int fd = ::open(odd.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    QVERIFY(fd >= 0 && ::close(fd) == 0);
    auto dock = makeDock();
    QCOMPARE(dock->texts(), (QStringList{"dev.i2cdev", "loop.i2cdev", u"odd\uFFFD.i2cdev"_s}));
    QCOMPARE(dock->texts({}, 0, Qt::ToolTipRole),
             (QStringList{"Broken link: No such file or directory",
                          "Broken link: Too many levels of symbolic links",
                          "File name is not valid UTF-8"}));

    CDialogAnswerer answerer;
    answerer.handleWith(setFields(u"Dev"_s, u"0x23"_s, QString()));
    dock->newButton->click();
    QCOMPARE(answerer.pending(), 0);
    QVERIFY(QDir(outside).isEmpty());
    QCOMPARE(fileState(folder() + u"/dev_2.i2cdev"_s), u" in Dev at 0x23: "_s);

    // Found and deleted by its bytes.
    answerer.chooseMenuEntry(u"Delete File..."_s);
    answerer.pressButton(QMessageBox::Yes);
    dock->openMenu(dock->row(3));
    QCOMPARE(answerer.pending(), 0);
    struct stat status {};
    QCOMPARE(::lstat(odd.constData(), &status), -1);
    QCOMPARE(dock->texts().size(), 3);
}

// A link that leads nowhere keeps the name of its target free: a new device
// of that name would show twice, through the link and as itself.
void TstPanelEdits::newDeviceLeavesLinkTargetsFree()
{
    QCOMPARE(::symlink("target.i2cdev", QFile::encodeName(folder() + u"/link.i2cdev"_s)), 0);
    auto dock = makeDock();
    CDialogAnswerer answerer;
    answerer.handleWith(setFields(u"Target"_s, u"0x23"_s, QString()));
    dock->newButton->click();
    QCOMPARE(answerer.pending(), 0);
    QVERIFY(!QFileInfo::exists(folder() + u"/target.i2cdev"_s));
    QCOMPARE(fileState(folder() + u"/target_2.i2cdev"_s), u" in Target at 0x23: "_s);
    QCOMPARE(dock->texts().count(u"Target"_s), 1);
}

void TstPanelEdits::reloadReadsChangedFiles_data()
{
    QTest::addColumn<int>("change");
    QTest::addColumn<QString>("name"); // of b.i2cdev's device afterwards
    QTest::newRow("untouched") << int(Untouched) << "B";
    QTest::newRow("touched") << int(Touched) << "B";
    QTest::newRow("rewritten in place, same size") << int(RewrittenSameSize) << "X";
    QTest::newRow("rewritten in place, size and time kept") << int(RewrittenTimeKept) << "X";
    QTest::newRow("replaced by rename") << int(ReplacedByRename) << "X";
}

// A reload reads a file again only when its identity, size or times
// changed; an unchanged one keeps its loaded commands.
void TstPanelEdits::reloadReadsChangedFiles()
{
    QFETCH(int, change);
    QFETCH(QString, name);
    writeDevice(folder(), u"a.i2cdev"_s, u"A"_s);
    const QString b = writeDevice(folder(), u"b.i2cdev"_s, u"B"_s);
    // An old time, so that a rewrite within the same clock tick still differs.
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(b).constData(), old, 0), 0);
    auto dock = makeDock();
    const QList<CI2cDeviceFile> before = CProjectsPanelProbe::devices(*dock->panel);

    const QString x = writeDevice(m_dir->path(), u"x.i2cdev"_s, u"X"_s);
    if (change == Touched) {
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(b).constData(), nullptr, 0), 0);
    } else if (change == RewrittenSameSize || change == RewrittenTimeKept) {
        QFile source(x);
        QFile target(b);
        QVERIFY(source.open(QIODevice::ReadOnly) && target.open(QIODevice::ReadWrite));
        QVERIFY(target.write(source.readAll()) == target.size());
        target.close();
        if (change == RewrittenTimeKept)
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(b).constData(), old, 0), 0);
    } else if (change == ReplacedByRename) {
        QVERIFY(QFile::remove(b) && QFile::rename(x, b));
    }
    CProjectsPanelProbe::reload(*dock->panel);
    const QList<CI2cDeviceFile>& after = CProjectsPanelProbe::devices(*dock->panel);
    QVERIFY(after.at(0).GetCommands().isSharedWith(before.at(0).GetCommands()));
    QCOMPARE(after.at(1).GetCommands().isSharedWith(before.at(1).GetCommands()),
             change == Untouched);
    QCOMPARE(dock->texts(), (QStringList{"A", name}));
}

QTEST_MAIN(TstPanelEdits)
#include "tst_paneledits.moc"
