// The watch command of the demo program, run as a script runs it: each row
// takes a fixed number of samples, and one run is ended by SIGTERM.

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace {

const QStringList LM75 = {"0x48",    "2", "--register", "0",   "--format", "s16be",
                          "--shift", "7", "--scale",    "0.5", "--unit",   "°C"};
// The continuous-measurement opcode as the "register" starts a measurement
// before each read, so that a fresh demo sensor has one.
const QStringList BH1750 = {"0x23",  "2",       "--register", "0x10",   "--format",
                            "u16be", "--scale", "1/1.2",      "--unit", "lx"};

void startDemo(QProcess& process, const QStringList& arguments, const QString& variable)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    if (!variable.isEmpty())
        environment.insert(variable.section(QLatin1Char('='), 0, 0),
                           variable.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(PELLAN_CLI_DEMO),
                  QStringList{"-a", "OR3-100042", "watch", "--interval", "10ms"} + arguments);
}

// Times and seconds vary from run to run; what they stand for does not. The
// first sample is at 0 seconds exactly, so its seconds stay.
QString withoutTimes(QString text)
{
    static const QRegularExpression time(
        QStringLiteral(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d))"));
    static const QRegularExpression csvSeconds(QStringLiteral(R"(^TIME,(?!0\.000,)\d+\.\d{3},)"),
                                               QRegularExpression::MultilineOption);
    static const QRegularExpression jsonSeconds(QStringLiteral(R"("seconds":(?!0[,}])[0-9.e-]+)"));
    text.replace(time, QStringLiteral("TIME"));
    text.replace(csvSeconds, QStringLiteral("TIME,S,"));
    text.replace(jsonSeconds, QStringLiteral("\"seconds\":S"));
    return text;
}

} // namespace

class TstCliWatch : public QObject {
    Q_OBJECT

private slots:
    void watchSamples_data();
    void watchSamples();
    void sigtermEndsAfterWholeLines();
};

void TstCliWatch::watchSamples_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    const auto row = [](const char* name, const QStringList& arguments, const char* variable,
                        int status, const char* out, const char* err) {
        QTest::newRow(name) << arguments << QString::fromLatin1(variable) << status
                            << QString::fromUtf8(out) << QString::fromUtf8(err);
    };
    const QStringList two{"--samples", "2"};
    row("lm75, text", LM75 + two, "", 0, "TIME\t23.50 °C\nTIME\t23.50 °C\n", "");
    row("bh1750, csv", BH1750 + two + QStringList{"--csv"}, "", 0,
        "time,seconds,raw,value,status\nTIME,0.000,01 2C,250.00,ok\nTIME,S,01 2C,250.00,ok\n", "");
    row("lm75, json", QStringList{"--json", "--samples", "1"} + LM75, "", 0,
        "{\"type\":\"watch\",\"address\":72,\"ok\":true,\"status\":2,\"error\":\"\","
        "\"data\":\"17 80\",\"register\":0,\"time\":\"TIME\",\"seconds\":0,\"value\":23.5,"
        "\"unit\":\"°C\"}\n",
        "");
    row("bytes without a format", {"0x48", "2", "--samples", "1"}, "", 0, "TIME\t17 80\n", "");
    // A negative value of an option is a value, not an option.
    row("negative offset", LM75 + QStringList{"--offset", "-40", "--samples", "1"}, "", 0,
        "TIME\t-16.50 °C\n", "");
    // 010 is eight, as for set's mask: 0x17 & 8 is 0 (decimal 10 gave 2).
    row("mask in octal", {"0x48", "1", "--format", "u8", "--mask", "010", "--samples", "1"}, "", 0,
        "TIME\t0.00\n", "");
    row("bytes without a format, csv", {"0x48", "2", "--samples", "1", "--csv"}, "", 0,
        "time,seconds,raw,value,status\nTIME,0.000,17 80,,ok\n", "");
    // Each sample is two requests, the pointer and the read.
    row("failed samples", LM75 + QStringList{"--samples", "3"}, "PELLAN_SIM_FAULT=bus-error:2", 1,
        "TIME\t23.50 °C\nTIME\tfailed: Bus error\nTIME\tfailed: Bus error\n",
        "2 of 3 samples failed, the first at TIME with: Bus error. Check the wiring");
    row("failed samples, json", QStringList{"--json"} + LM75 + QStringList{"--samples", "2"},
        "PELLAN_SIM_FAULT=arbitration-lost:2", 1,
        "{\"type\":\"watch\",\"address\":72,\"ok\":true,\"status\":2,\"error\":\"\","
        "\"data\":\"17 80\",\"register\":0,\"time\":\"TIME\",\"seconds\":0,\"value\":23.5,"
        "\"unit\":\"°C\"}\n"
        "{\"type\":\"watch\",\"address\":72,\"ok\":false,\"status\":192,"
        "\"error\":\"Arbitration lost\",\"data\":\"\",\"register\":0,\"time\":\"TIME\","
        "\"seconds\":S,\"value\":null,\"unit\":\"°C\"}\n",
        "1 of 2 samples failed");
    row("timeout is a failed sample", QStringList{"--csv"} + LM75 + two,
        "PELLAN_SIM_FAULT=no-answer:2", 1,
        "time,seconds,raw,value,status\nTIME,0.000,17 80,23.50,ok\nTIME,S,,,Timeout\n",
        "1 of 2 samples failed");
    // The sample that found the adapter gone is printed as failed.
    row("unplug", LM75 + QStringList{"--samples", "3"}, "PELLAN_SIM_FAULT=unplug:2", 3,
        "TIME\t23.50 °C\nTIME\tfailed: hid_read_timeout: unexpected poll error (device "
        "disconnected)\n",
        "lost the connection to the Orvane3 OR3-100042");
    // A value beyond the largest double is a failed decoding, not "inf".
    row("overflow", {"0x48", "2", "--format", "u16be", "--scale", "1.7e308", "--samples", "1"}, "",
        1, "TIME\tfailed: 6016 x 1.7e+308 + 0 is beyond the largest number.\n",
        "1 of 1 samples failed, the first at TIME with: 6016 x 1.7e+308 + 0 is beyond the "
        "largest number.\n");
    row("overflow, json",
        {"--json", "0x48", "2", "--format", "u16be", "--scale", "1.7e308", "--samples", "1"}, "", 1,
        "{\"type\":\"watch\",\"address\":72,\"ok\":false,\"status\":2,\"error\":\"6016 x "
        "1.7e+308 + 0 is beyond the largest number.\",\"data\":\"17 80\",\"register\":null,"
        "\"time\":\"TIME\",\"seconds\":0,\"value\":null,\"unit\":\"\"}\n",
        "1 of 1 samples failed");
}

void TstCliWatch::watchSamples()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, variable);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);

    QProcess process;
    startDemo(process, arguments, variable);
    QVERIFY(process.waitForFinished(60000));
    const QString errors = withoutTimes(QString::fromUtf8(process.readAllStandardError()));
    QCOMPARE(withoutTimes(QString::fromUtf8(process.readAllStandardOutput())), out);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), status);
    QVERIFY2(err.isEmpty() ? errors.isEmpty() : errors.contains(err), qPrintable(errors));
}

void TstCliWatch::sigtermEndsAfterWholeLines()
{
    // Each poll takes most of its 10 ms, so the signal mostly comes during
    // one.
    QProcess process;
    startDemo(process, QStringList{"--json"} + LM75,
              QStringLiteral("PELLAN_SIM_REPORT_DELAY_US=3000"));
    QByteArray out;
    const QDeadlineTimer deadline(60000);
    while (!out.contains('\n') && !deadline.hasExpired() &&
           process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(1000);
        out += process.readAllStandardOutput();
    }
    QVERIFY2(out.contains('\n'), process.readAllStandardError().constData());

    process.terminate();
    QVERIFY(process.waitForFinished(60000));
    out += process.readAllStandardOutput();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(out.endsWith('\n'));
    for (const QByteArray& line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject sample = QJsonDocument::fromJson(line).object();
        QVERIFY2(sample.value(QStringLiteral("ok")).toBool(), line.constData());
        QCOMPARE(sample.value(QStringLiteral("value")).toDouble(), 23.5);
    }
    QCOMPARE(process.readAllStandardError(), QByteArray());
}

QTEST_GUILESS_MAIN(TstCliWatch)
#include "tst_cliwatch.moc"
