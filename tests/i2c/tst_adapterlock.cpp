// The lock that keeps an adapter's device node to one program, on a
// pseudo-terminal: a character device of the system that belongs to this
// test alone.

#include "i2c/adapterlock.h"

#include <QTemporaryFile>
#include <QTest>

#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

class TestAdapterLock : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void oneHolderAtATime();
    void pathsOfNoDeviceNodeTakeNoLock_data();
    void pathsOfNoDeviceNodeTakeNoLock();
    void aForkedCopyLeavesTheLockToTheOriginal();

private:
    int m_terminal = -1;
    std::string m_path;
};

void TestAdapterLock::init()
{
    m_terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_terminal < 0 || grantpt(m_terminal) != 0 || unlockpt(m_terminal) != 0)
        QSKIP("no pseudo-terminal to lock");
    m_path = ptsname(m_terminal);
}

void TestAdapterLock::cleanup()
{
    if (m_terminal >= 0)
        ::close(m_terminal);
    m_terminal = -1;
}

void TestAdapterLock::oneHolderAtATime()
{
    CAdapterLock first;
    CAdapterLock second;
    std::string holder;
    QVERIFY(first.Acquire(m_path, holder));
    QVERIFY(first.IsHeld());
    QVERIFY(holder.empty());

    QVERIFY(!second.Acquire(m_path, holder));
    QVERIFY(!second.IsHeld());
    QCOMPARE(holder, "tst_adapterlock (process " + std::to_string(::getpid()) + ")");

    first.Release();
    QVERIFY(second.Acquire(m_path, holder));
    QVERIFY(second.IsHeld());
}

void TestAdapterLock::pathsOfNoDeviceNodeTakeNoLock_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("simulated") << "sim/Orvane3/OR3-0001/if2";
    QTest::newRow("empty") << "";
    QTest::newRow("missing") << "/nonexistent/hidraw0";
    QTest::newRow("folder") << "/";
}

void TestAdapterLock::pathsOfNoDeviceNodeTakeNoLock()
{
    QFETCH(QString, path);
    CAdapterLock first;
    CAdapterLock second;
    std::string holder;
    QVERIFY(first.Acquire(path.toStdString(), holder));
    QVERIFY(second.Acquire(path.toStdString(), holder));
    QVERIFY(!first.IsHeld());
    QVERIFY(holder.empty());

    // A regular file is no device node either.
    QTemporaryFile file;
    QVERIFY(file.open());
    QVERIFY(first.Acquire(file.fileName().toStdString(), holder));
    QVERIFY(second.Acquire(file.fileName().toStdString(), holder));
    QVERIFY(!first.IsHeld());
}

void TestAdapterLock::aForkedCopyLeavesTheLockToTheOriginal()
{
    CAdapterLock lock;
    std::string holder;
    QVERIFY(lock.Acquire(m_path, holder));
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // The copy lets go of its handle only.
        lock.Release();
        ::_exit(0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));

    CAdapterLock other;
    QVERIFY(!other.Acquire(m_path, holder));
}

QTEST_GUILESS_MAIN(TestAdapterLock)
#include "tst_adapterlock.moc"
