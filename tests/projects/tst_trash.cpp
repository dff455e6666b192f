// The desktop trash: where a file goes, what its information file says, and
// that a trash that cannot take the file refuses at once and leaves it
// where it was. Every test keeps its trash in the test's private home.

#include "projects/trash.h"
#include "tests/support/watchdog.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

enum ESetup { Plain, FileTaken, InfoTaken, DanglingLink };
enum EFault { InfoIsFile, FilesIsFile, TrashIsFile, DataHomeIsFile };

// By the bytes of the path: names that are not UTF-8 do not survive QString.
bool writeRaw(const QByteArray& path, const QByteArray& bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written =
        fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
    return fd >= 0 && ::close(fd) == 0 && written;
}

QByteArray readRaw(const QByteArray& path)
{
    QFile file;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    return fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)
               ? file.readAll()
               : QByteArray();
}

// A plain file where a folder should be, and the folder back again.
void replaceByFile(const QString& path)
{
    QDir(path).removeRecursively();
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

void replaceByFolder(const QString& path)
{
    QFile::remove(path);
    QDir().mkpath(path);
}

} // namespace

class TstTrash : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void trashed_data();
    void trashed();
    void refused_data();
    void refused();
    void otherFileSystem();

private:
    QString dataHome() const { return m_dir->filePath(u"data"_s); }
    QString trash() const { return dataHome() + u"/Trash"_s; }
    QByteArray projects() const { return QFile::encodeName(m_dir->filePath(u"projects"_s)); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_previousDataHome;
};

void TstTrash::init()
{
    // In the home, so that the trash is on the file system of the files.
    m_dir = std::make_unique<QTemporaryDir>(QDir::home().filePath(u"trash-XXXXXX"_s));
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(QFile::decodeName(projects())));
    m_previousDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome()));
}

void TstTrash::cleanup()
{
    qputenv("XDG_DATA_HOME", m_previousDataHome);
    m_dir.reset();
}

void TstTrash::trashed_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("setup");
    QTest::addColumn<QByteArray>("trashedName");
    QTest::addColumn<QByteArray>("encodedName"); // in the information file
    QTest::newRow("plain") << "dev.i2cdev"_ba << int(Plain) << "dev.i2cdev"_ba
                           << "dev.i2cdev"_ba;
    QTest::newRow("name taken") << "dev.i2cdev"_ba << int(FileTaken) << "dev.i2cdev-0001"_ba
                                << "dev.i2cdev"_ba;
    QTest::newRow("stale information file")
        << "dev.i2cdev"_ba << int(InfoTaken) << "dev.i2cdev-0001"_ba
        << "dev.i2cdev"_ba;
    QTest::newRow("bytes that are not UTF-8")
        << "a b%\xff.i2cdev"_ba << int(Plain) << "a b%\xff.i2cdev"_ba
        << "a%20b%25%FF.i2cdev"_ba;
    QTest::newRow("link that leads nowhere")
        << "link.i2cdev"_ba << int(DanglingLink) << "link.i2cdev"_ba
        << "link.i2cdev"_ba;
}

// The file, or the link itself, is in "files"; "info" says where it was.
void TstTrash::trashed()
{
    QFETCH(QByteArray, name);
    QFETCH(int, setup);
    QFETCH(QByteArray, trashedName);
    QFETCH(QByteArray, encodedName);
    const QByteArray path = projects() + '/' + name;
    if (setup == DanglingLink)
        QCOMPARE(::symlink("nowhere.i2cdev", path.constData()), 0);
    else
        QVERIFY(writeRaw(path, "device"));
    const QByteArray files = QFile::encodeName(trash()) + "/files/";
    const QByteArray info = QFile::encodeName(trash()) + "/info/";
    QVERIFY(QDir().mkpath(QFile::decodeName(files)) && QDir().mkpath(QFile::decodeName(info)));
    if (setup == FileTaken)
        QVERIFY(writeRaw(files + name, "older"));
    if (setup == InfoTaken)
        QVERIFY(writeRaw(info + name + ".trashinfo", "older"));

    QString error;
    QVERIFY2(moveToTrash(path, &error), qPrintable(error));
    struct stat status {};
    QCOMPARE(::lstat(path.constData(), &status), -1);
    QCOMPARE(::lstat((files + trashedName).constData(), &status), 0);
    QCOMPARE(S_ISLNK(status.st_mode), setup == DanglingLink);
    if (setup != DanglingLink)
        QCOMPARE(readRaw(files + trashedName), "device"_ba);
    const QList<QByteArray> lines = readRaw(info + trashedName + ".trashinfo").split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0), "[Trash Info]"_ba);
    QCOMPARE(lines.at(1), "Path=" + projects() + '/' + encodedName);
    QVERIFY(lines.at(2).startsWith("DeletionDate="));
}

void TstTrash::refused_data()
{
    QTest::addColumn<int>("fault");
    QTest::newRow("info is a file") << int(InfoIsFile);
    QTest::newRow("files is a file") << int(FilesIsFile);
    QTest::newRow("trash is a file") << int(TrashIsFile);
    QTest::newRow("data folder is a file") << int(DataHomeIsFile);
}

// Refused at once, with a reason; the file stays, and no information file
// is left behind. A move that loops on the fault is let go by the watchdog,
// which puts folders back where the files were, and fails the test.
void TstTrash::refused()
{
    QFETCH(int, fault);
    const QByteArray path = projects() + "/dev.i2cdev";
    QVERIFY(writeRaw(path, "device"));
    const QString faulty = fault == InfoIsFile    ? trash() + u"/info"_s
                           : fault == FilesIsFile ? trash() + u"/files"_s
                           : fault == TrashIsFile ? trash()
                                                  : dataHome();
    QVERIFY(QDir().mkpath(trash() + u"/files"_s) && QDir().mkpath(trash() + u"/info"_s));
    replaceByFile(faulty);

    testsupport::CWatchdog watchdog(std::chrono::seconds(20), [&] { replaceByFolder(faulty); });
    QString error;
    const bool moved = moveToTrash(path, &error);
    QVERIFY2(!watchdog.finish(), "moving to the trash did not end");
    QVERIFY(!moved);
    QVERIFY(!error.isEmpty());
    QCOMPARE(readRaw(path), "device"_ba);
    QDirIterator leftovers(m_dir->path(), {u"*.trashinfo"_s}, QDir::Files,
                           QDirIterator::Subdirectories);
    QVERIFY(!leftovers.hasNext());
}

// A trash on another file system cannot take the file by a rename; it is
// refused rather than copied or deleted.
void TstTrash::otherFileSystem()
{
    QTemporaryDir shm(u"/dev/shm/pellan-trash-XXXXXX"_s);
    struct stat shmStatus {};
    struct stat homeStatus {};
    if (!shm.isValid() || ::stat(QFile::encodeName(shm.path()).constData(), &shmStatus) != 0 ||
        ::stat(projects().constData(), &homeStatus) != 0 || shmStatus.st_dev == homeStatus.st_dev)
        QSKIP("no second file system at /dev/shm");
    const QByteArray path = QFile::encodeName(shm.filePath(u"dev.i2cdev"_s));
    QVERIFY(writeRaw(path, "device"));
    QVERIFY(QDir().mkpath(trash()));
    QString error;
    QVERIFY(!moveIntoTrashFolder(path, QFile::encodeName(trash()), path, &error));
    QCOMPARE(error, u"The trash is on another file system than the file."_s);
    QCOMPARE(readRaw(path), "device"_ba);
    QVERIFY(QDir(trash() + u"/info"_s).entryList(QDir::Files).isEmpty());
}

QTEST_GUILESS_MAIN(TstTrash)
#include "tst_trash.moc"
