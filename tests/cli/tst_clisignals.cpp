// Ctrl+C and SIGTERM end every command that can run long, on a bus that
// works and under each fault of the demo's adapters, also while standard
// output is a full pipe, and leave the rows read so far in the output. Each
// run is under a watchdog, so a command that ignores the signal fails the
// test instead of hanging it.

#include "tests/support/waits.h"
#include "tests/support/watchdog.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Polls as long as the interval (a hung adapter's timeout is a second)
// leave no wait between them.
QStringList watch(const char* interval)
{
    return {"-a", "OR3-100042", "watch", "0x48", "2", "--register", "0", "--interval", interval};
}

void setDemoEnvironment(QProcess& process, const QStringList& variables)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    for (const QString& variable : variables)
        environment.insert(variable.section(QLatin1Char('='), 0, 0),
                           variable.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(environment);
}

// Kills the process when it has not ended within the bound of every wait.
struct SKillWatchdog {
    explicit SKillWatchdog(qint64 pid)
        : watchdog(testsupport::WAIT, [pid] { ::kill(static_cast<pid_t>(pid), SIGKILL); })
    {
    }
    testsupport::CWatchdog watchdog;
};

// The first line of standard output, or empty after the bound.
QByteArray firstLine(QProcess& process)
{
    QByteArray out;
    (void)testsupport::pollFor([&] {
        process.waitForReadyRead(10);
        out += process.readAllStandardOutput();
        return out.contains('\n') || process.state() == QProcess::NotRunning;
    });
    return out;
}

// What the main thread of a process waits in: "write 1" while it blocks in
// a write to standard output, "ppoll N" with the number of descriptors.
QString blockedIn(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/syscall").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> fields = file.readAll().simplified().split(' ');
    if (fields.size() < 3)
        return {};
    bool ok = false;
    const long number = fields[0].toLong(&ok);
    if (ok && number == SYS_write)
        return QStringLiteral("write %1").arg(fields[1].toLong(nullptr, 16));
    if (ok && number == SYS_ppoll)
        return QStringLiteral("ppoll %1").arg(fields[2].toLong(nullptr, 16));
    return {};
}

} // namespace

class TstCliSignals : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void signalEndsCommand_data();
    void signalEndsCommand();
    void signalEndsWatchOnFullOutput_data();
    void signalEndsWatchOnFullOutput();
    void rowsComeAsTheyAreRead_data();
    void rowsComeAsTheyAreRead();

private:
    QTemporaryDir m_folder;
    QString m_deviceFile;
};

void TstCliSignals::initTestCase()
{
    QVERIFY(m_folder.isValid());
    m_deviceFile = m_folder.filePath(QStringLiteral("eeprom.i2cdev"));
    QFile file(m_deviceFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray commands;
    for (int i = 0; i < 64; ++i)
        commands += QByteArray(i ? "," : "") + "{\"label\":\"Read " + QByteArray::number(i) +
                    "\",\"type\":\"read\",\"count\":1}";
    file.write("{\"version\":1,\"name\":\"24C02\",\"address\":\"0x50\",\"commands\":[" + commands +
               "]}");
}

void TstCliSignals::signalEndsCommand_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("signal");
    // The exit status of a watch, which ends cleanly; -1 for the other
    // commands, which the signal ends at once, as it ends the i2c-tools.
    QTest::addColumn<int>("status");

    // Half a second per answer report keeps the other commands busy for
    // seconds after their start, so the signal comes while they run.
    const QString slow = QStringLiteral("PELLAN_SIM_REPORT_DELAY_US=500000");
    const QStringList dump{"-a", "OR3-100042", "dump", "0x50", "b"};
    const QStringList detect{"-a", "OR5-200107", "detect"};
    const QStringList run{"-a", "OR3-100042", "run", m_deviceFile};
    const QStringList regs{"-a", "OR7-300311", "regs", "0x18", "--map", "MCP9808"};
    const QStringList field{"-a",   "OR3-100042", "watch",  "0x48",      "--map",
                            "LM75", "--field",    "TEMP.T", "--interval"};
    for (const char* fault : {"", "bus-error", "arbitration-lost", "no-answer"}) {
        const QString variable = *fault ? QStringLiteral("PELLAN_SIM_FAULT=%1:0").arg(fault)
                                        : QStringLiteral("PELLAN_SIM_FAULT=");
        for (const int signal : {SIGINT, SIGTERM}) {
            const QByteArray suffix = QByteArray(", ") + (*fault ? fault : "no fault") +
                                      (signal == SIGINT ? ", SIGINT" : ", SIGTERM");
            // A stopped watch fails only when samples failed.
            for (const char* interval : {"1s", "10ms"}) {
                QTest::newRow("watch " + QByteArray(interval) + suffix)
                    << watch(interval) << QStringList{variable} << signal << (*fault ? 1 : 0);
            }
            QTest::newRow("watch a field" + suffix)
                << field + QStringList{"10ms"} << QStringList{variable} << signal
                << (*fault ? 1 : 0);
            if (!*fault)
                continue;
            QTest::newRow("dump" + suffix) << dump << QStringList{variable, slow} << signal << -1;
            QTest::newRow("detect" + suffix)
                << detect << QStringList{variable, slow} << signal << -1;
            QTest::newRow("run" + suffix) << run << QStringList{variable, slow} << signal << -1;
            QTest::newRow("regs" + suffix) << regs << QStringList{variable, slow} << signal << -1;
        }
    }
}

void TstCliSignals::signalEndsCommand()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, signal);
    QFETCH(int, status);

    QProcess process;
    setDemoEnvironment(process, environment);
    process.start(QStringLiteral(PELLAN_CLI_DEMO), arguments);
    QVERIFY(process.waitForStarted());
    SKillWatchdog watchdog(process.processId());
    // A watch takes the signals from its first poll on; its first line
    // says it runs.
    if (status >= 0)
        QVERIFY(firstLine(process).contains('\n'));

    ::kill(static_cast<pid_t>(process.processId()), signal);
    QVERIFY(process.waitForFinished(-1));
    QVERIFY2(!watchdog.watchdog.finish(), "the command ignored the signal");
    if (status < 0) {
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    } else {
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
    }
}

void TstCliSignals::signalEndsWatchOnFullOutput_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

void TstCliSignals::signalEndsWatchOnFullOutput()
{
    QFETCH(int, signal);
    int output[2];
    QCOMPARE(::pipe2(output, O_CLOEXEC), 0);
    QProcess process;
    setDemoEnvironment(process, {});
    process.setChildProcessModifier([&output] { ::dup2(output[1], STDOUT_FILENO); });
    process.start(QStringLiteral(PELLAN_CLI_DEMO), QStringList{"--json"} + watch("10ms"));
    ::close(output[1]);
    QVERIFY(process.waitForStarted());
    SKillWatchdog watchdog(process.processId());

    // The first line says the watch runs; then the pipe is filled through a
    // description of its own that does not block, and never read again.
    pollfd readable = {output[0], POLLIN, 0};
    QVERIFY(::poll(&readable, 1, testsupport::WAIT_MS) == 1);
    const int filler =
        ::open(QStringLiteral("/proc/self/fd/%1").arg(output[0]).toLocal8Bit().constData(),
               O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(filler >= 0);
    const QByteArray block(4096, 'x');
    while (::write(filler, block.constData(), static_cast<size_t>(block.size())) > 0) {
    }
    ::close(filler);
    // The watch's next line finds no room: it blocks in its write, or waits
    // for room together with the signals.
    QVERIFY(testsupport::pollFor([&] {
        const QString state = blockedIn(process.processId());
        return state == QLatin1String("write 1") || state == QLatin1String("ppoll 2");
    }));

    ::kill(static_cast<pid_t>(process.processId()), signal);
    QVERIFY(process.waitForFinished(-1));
    ::close(output[0]);
    QVERIFY2(!watchdog.watchdog.finish(), "the watch held the signal while its output was full");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardError(), QByteArray());
}

void TstCliSignals::rowsComeAsTheyAreRead_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("delay"); // of each answer report, slow enough for seconds
    QTest::addColumn<int>("signal");

    const QStringList dump{"-a", "OR3-100042", "dump", "0x50", "b"};
    const QStringList detect{"-a", "OR3-100042", "detect"};
    const QStringList regs{"-a", "OR7-300311", "regs", "0x18", "--map", "MCP9808"};
    for (const int signal : {SIGINT, SIGTERM}) {
        const QByteArray suffix = signal == SIGINT ? ", SIGINT" : ", SIGTERM";
        QTest::newRow("dump" + suffix) << dump << "PELLAN_SIM_REPORT_DELAY_US=20000" << signal;
        QTest::newRow("detect" + suffix) << detect << "PELLAN_SIM_REPORT_DELAY_US=100000" << signal;
        QTest::newRow("regs" + suffix) << regs << "PELLAN_SIM_REPORT_DELAY_US=500000" << signal;
    }
}

void TstCliSignals::rowsComeAsTheyAreRead()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, delay);
    QFETCH(int, signal);

    // The whole output, on a bus without delays.
    QProcess whole;
    setDemoEnvironment(whole, {});
    whole.start(QStringLiteral(PELLAN_CLI_DEMO), arguments);
    QVERIFY(whole.waitForFinished(testsupport::WAIT_MS));
    const QByteArray expected = whole.readAllStandardOutput();
    QVERIFY(expected.count('\n') > 2);

    // On a slow bus the header and the first row come long before the rest.
    QProcess process;
    setDemoEnvironment(process, {delay});
    process.start(QStringLiteral(PELLAN_CLI_DEMO), arguments);
    QVERIFY(process.waitForStarted());
    SKillWatchdog watchdog(process.processId());
    QByteArray out;
    QVERIFY(testsupport::pollFor([&] {
        process.waitForReadyRead(10);
        out += process.readAllStandardOutput();
        return out.count('\n') >= 2 || process.state() == QProcess::NotRunning;
    }));
    QVERIFY2(process.state() == QProcess::Running && out.size() < expected.size(),
             "the rows came only at the end");
    QVERIFY2(expected.startsWith(out), out.constData());

    // A signal ends it at once, as it ends the i2c-tools; what was read
    // stays, in whole lines.
    ::kill(static_cast<pid_t>(process.processId()), signal);
    QVERIFY(process.waitForFinished(-1));
    QVERIFY2(!watchdog.watchdog.finish(), "the command ignored the signal");
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    out += process.readAllStandardOutput();
    QVERIFY(out.count('\n') >= 2);
    QVERIFY(out.endsWith('\n'));
    QVERIFY2(expected.startsWith(out), out.constData());
}

QTEST_GUILESS_MAIN(TstCliSignals)
#include "tst_clisignals.moc"
