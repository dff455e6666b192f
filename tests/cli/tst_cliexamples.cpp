// Every example of the demo program's texts, its --help and its man page,
// runs as written on the demo's adapters: in a folder that holds the
// example device file, with the program found on PATH. An example ends 0,
// or 1 where it breaks the bus on purpose; a watch without --samples is
// ended by Ctrl+C after its first line, as a person would end it.

#include "tests/support/waits.h"
#include "tests/support/watchdog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString DEMO = QStringLiteral(PELLAN_CLI_DEMO);

// The lines after "Examples" up to the first empty one, without indent.
QStringList helpExamples()
{
    QProcess process;
    process.start(DEMO, {QStringLiteral("--help")});
    process.waitForFinished(testsupport::WAIT_MS);
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(u'\n');
    QStringList examples;
    bool inside = false;
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("Examples"))) {
            inside = true;
        } else if (inside && line.trimmed().isEmpty()) {
            break;
        } else if (inside) {
            examples.append(line.trimmed());
        }
    }
    return examples;
}

// The lines between .EX and .EE, continuation lines joined, as a shell
// reads them after man has rendered the escapes.
QStringList manExamples(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList examples;
    bool inside = false;
    QString pending;
    for (QString line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        if (line == QLatin1String(".EX")) {
            inside = true;
            continue;
        }
        if (line == QLatin1String(".EE"))
            inside = false;
        if (!inside)
            continue;
        line.replace(QLatin1String("\\-"), QLatin1String("-"))
            .replace(QLatin1String("\\(de"), QStringLiteral("°"))
            .replace(QLatin1String("\\(dq"), QLatin1String("\""));
        if (line.endsWith(QLatin1String("\\e"))) {
            pending += line.chopped(2);
            continue;
        }
        examples.append(
            (pending + line).simplified().replace(QLatin1String("\\e"), QLatin1String("\\")));
        pending.clear();
    }
    return examples;
}

} // namespace

class TstCliExamples : public QObject {
    Q_OBJECT

private slots:
    void examplesRunAsWritten_data();
    void examplesRunAsWritten();
};

void TstCliExamples::examplesRunAsWritten_data()
{
    QTest::addColumn<QString>("example");
    const QStringList help = helpExamples();
    const QStringList man =
        manExamples(QStringLiteral(PELLAN_SOURCE_DIR "/packaging/man/pellan-i2c-cli-demo.1.in"));
    QVERIFY(help.size() >= 10);
    QVERIFY(man.size() >= 5);
    for (const QString& example : help)
        QTest::newRow(qPrintable(QStringLiteral("help: ") + example)) << example;
    for (const QString& example : man)
        QTest::newRow(qPrintable(QStringLiteral("man: ") + example)) << example;
}

void TstCliExamples::examplesRunAsWritten()
{
    QFETCH(QString, example);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QVERIFY(QFile::copy(QStringLiteral(PELLAN_SOURCE_DIR "/app/res/examples/bh1750.i2cdev"),
                        folder.filePath(QStringLiteral("bh1750.i2cdev"))));

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.insert(QStringLiteral("PATH"), QFileInfo(DEMO).absolutePath() + u':' +
                                                   environment.value(QStringLiteral("PATH")));
    process.setWorkingDirectory(folder.path());
    // A simple command runs without a shell, so that Ctrl+C reaches the
    // program itself; pipes and redirections need one.
    static const QRegularExpression shellSyntax(QStringLiteral("[|>]"));
    if (example.contains(shellSyntax)) {
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), example});
    } else {
        QStringList words = QProcess::splitCommand(example);
        while (!words.isEmpty() && words.first().contains(u'=')) {
            const QString variable = words.takeFirst();
            environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
        }
        QVERIFY(!words.isEmpty());
        process.setProcessEnvironment(environment);
        const QString program = words.takeFirst();
        process.start(QFileInfo(DEMO).absolutePath() + u'/' + program, words);
    }
    QVERIFY(process.waitForStarted());
    const qint64 pid = process.processId();
    testsupport::CWatchdog watchdog(testsupport::WAIT,
                                    [pid] { ::kill(static_cast<pid_t>(pid), SIGKILL); });

    const bool endless =
        example.contains(QLatin1String(" watch ")) && !example.contains(QLatin1String("--samples"));
    if (endless) {
        QByteArray out;
        QVERIFY(testsupport::pollFor([&] {
            process.waitForReadyRead(10);
            out += process.peek(4096);
            return out.contains('\n') || process.state() == QProcess::NotRunning;
        }));
        ::kill(static_cast<pid_t>(pid), SIGINT);
    }
    QVERIFY(process.waitForFinished(-1));
    QVERIFY2(!watchdog.finish(), "the example did not end");
    const QByteArray err = process.readAllStandardError();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    // Breaking the bus on purpose makes a transaction fail.
    const int status = example.contains(QLatin1String("PELLAN_SIM_FAULT=")) ? 1 : 0;
    QVERIFY2(process.exitCode() == status, err.constData());
}

QTEST_GUILESS_MAIN(TstCliExamples)
#include "tst_cliexamples.moc"
