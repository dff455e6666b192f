// The desktop trash: where a file goes and what its information file says.
// Refusals are tested through the panel (tst_paneledits); here only the one
// that needs a second file system. The trash is the test home's.

#include "projects/trash.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

enum ESetup { Plain, FileTaken, DanglingLink };

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

} // namespace

class TstTrash : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void trashed_data();
    void trashed();
    void otherFileSystem();

private:
    QByteArray trash() const { return QFile::encodeName(m_dir->filePath(u"data/Trash"_s)); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_previousDataHome;
};

void TstTrash::init()
{
    // In the home, so that the trash is on the file system of the files.
    m_dir = std::make_unique<QTemporaryDir>(QDir::home().filePath(u"trash-XXXXXX"_s));
    QVERIFY(m_dir->isValid());
    m_previousDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->filePath(u"data"_s)));
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
    QTest::addColumn<QByteArray>("recorded"); // the name in the information file
    QTest::newRow("names taken") << "dev.i2cdev"_ba << int(FileTaken) << "dev.i2cdev-0002"_ba
                                 << "dev.i2cdev"_ba;
    QTest::newRow("bytes that are not UTF-8")
        << "a b%\xff.i2cdev"_ba << int(Plain) << "a b%\xff.i2cdev"_ba
        << "a%20b%25%FF.i2cdev"_ba;
    QTest::newRow("link that leads nowhere")
        << "link.i2cdev"_ba << int(DanglingLink) << "link.i2cdev"_ba
        << "link.i2cdev"_ba;
}

// The file, or the link itself, is in "files" under a free name; "info"
// says where it was.
void TstTrash::trashed()
{
    QFETCH(QByteArray, name);
    QFETCH(int, setup);
    QFETCH(QByteArray, trashedName);
    QFETCH(QByteArray, recorded);
    const QByteArray path = QFile::encodeName(m_dir->path()) + '/' + name;
    QVERIFY(setup == DanglingLink ? ::symlink("nowhere", path.constData()) == 0
                                  : writeRaw(path, "device"));
    const QByteArray files = trash() + "/files/";
    const QByteArray info = trash() + "/info/";
    QVERIFY(QDir().mkpath(QFile::decodeName(files)) && QDir().mkpath(QFile::decodeName(info)));
    // Taken in "files", and the next name by a stale information file.
    if (setup == FileTaken)
        QVERIFY(writeRaw(files + name, "older") && writeRaw(info + name + "-0001.trashinfo", ""));

    QString error;
    QVERIFY2(moveToTrash(path, &error), qPrintable(error));
    struct stat status {};
    QCOMPARE(::lstat(path.constData(), &status), -1);
    QCOMPARE(::lstat((files + trashedName).constData(), &status), 0);
    QCOMPARE(S_ISLNK(status.st_mode), setup == DanglingLink);
    const QList<QByteArray> lines = readRaw(info + trashedName + ".trashinfo").split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0), "[Trash Info]"_ba);
    QCOMPARE(lines.at(1), "Path=" + QFile::encodeName(m_dir->path()) + '/' + recorded);
    QVERIFY(lines.at(2).startsWith("DeletionDate="));
}

// A trash on another file system cannot take the file by a rename: refused,
// never copied or deleted.
void TstTrash::otherFileSystem()
{
    QTemporaryDir shm(u"/dev/shm/pellan-trash-XXXXXX"_s);
    struct stat shmStatus {};
    struct stat homeStatus {};
    if (!shm.isValid() || ::stat(QFile::encodeName(shm.path()).constData(), &shmStatus) != 0 ||
        ::stat(QFile::encodeName(m_dir->path()).constData(), &homeStatus) != 0 ||
        shmStatus.st_dev == homeStatus.st_dev)
        QSKIP("no second file system at /dev/shm");
    const QByteArray path = QFile::encodeName(shm.filePath(u"dev.i2cdev"_s));
    QVERIFY(writeRaw(path, "device") && QDir().mkpath(QFile::decodeName(trash())));
    QString error;
    QVERIFY(!moveIntoTrashFolder(path, trash(), path, &error));
    QCOMPARE(error, u"The trash is on another file system than the file."_s);
    QCOMPARE(readRaw(path), "device"_ba);
    QVERIFY(QDir(QFile::decodeName(trash() + "/info")).isEmpty());
}

QTEST_GUILESS_MAIN(TstTrash)
#include "tst_trash.moc"
