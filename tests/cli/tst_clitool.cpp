#include "cli/clitool.h"
#include "projects/i2cdevicefile.h"
#include "sim/adapters/simeeprom24c02.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"
#include "tests/support/waits.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <memory>
#include <string>
#include <vector>

namespace {

const QString GRID = QStringLiteral("     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
                                    "00:                         -- -- -- -- -- -- -- -- \n"
                                    "10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                    "20: -- -- -- 23 -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                    "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                    "40: -- -- -- -- -- -- -- -- 48 -- -- -- -- -- -- -- \n"
                                    "50: 50 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                    "60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                    "70: -- -- -- -- -- -- -- --                         \n");

struct SResult {
    int status = -1;
    QString out;
    QString err;
};

SResult run(const QStringList& arguments)
{
    SResult result;
    QTextStream out(&result.out);
    QTextStream err(&result.err);
    result.status =
        CCliTool(out, err).Run(QStringList{QStringLiteral("pellan-i2c-cli")} + arguments);
    return result;
}

// Acknowledges its address until the given start, which pulls the cable of
// the adapter it sits on.
class CUnplugOnStart : public CSimI2cDevice {
public:
    CUnplugOnStart(std::vector<std::string> paths, int unplugAt)
        : m_paths(std::move(paths)), m_unplugAt(unplugAt)
    {
    }
    bool Start(bool) override
    {
        if (++m_starts == m_unplugAt) {
            for (const std::string& path : m_paths)
                CSimHidStack::Instance().Unplug(path);
        }
        return true;
    }
    size_t Write(std::span<const uint8_t> bytes) override { return bytes.size(); }
    void Read(std::span<uint8_t> out) override { std::fill(out.begin(), out.end(), 0x5A); }
    void Stop() override {}

private:
    std::vector<std::string> m_paths;
    int m_unplugAt;
    int m_starts = 0;
};

SI2cCommand writeCommand(const char* label, EI2cStartStop mode, std::vector<uint8_t> data)
{
    SI2cCommand command;
    command.label = QString::fromLatin1(label);
    command.mode = mode;
    command.data = std::move(data);
    return command;
}

SI2cCommand readCommand(const char* label, int count)
{
    SI2cCommand command;
    command.label = QString::fromLatin1(label);
    command.type = EI2cCommandType::Read;
    command.count = count;
    return command;
}

} // namespace

class TstCliTool : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void helpAndVersion();
    void badInputSendsNothing_data();
    void badInputSendsNothing();
    void list_data();
    void list();
    void detect();
    void transactions_data();
    void transactions();
    void runsDeviceFile_data();
    void runsDeviceFile();
    void runStopsAtFirstFailure();
    void unplugDuringRun();
    void demoProgramRunsWithoutDisplay();

private:
    std::shared_ptr<CSimOrvAdapter> plug(ESimOrvModel model, const std::wstring& serial);
    QString writeDevice(uint8_t address, const QList<SI2cCommand>& commands);

    std::vector<std::shared_ptr<CSimOrvAdapter>> m_adapters;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TstCliTool::init()
{
    CSimHidStack::Instance().Reset();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TstCliTool::cleanup()
{
    m_adapters.clear();
    CSimHidStack::Instance().Reset();
}

std::shared_ptr<CSimOrvAdapter> TstCliTool::plug(ESimOrvModel model, const std::wstring& serial)
{
    m_adapters.push_back(CSimOrvAdapter::Plug(model, serial));
    return m_adapters.back();
}

QString TstCliTool::writeDevice(uint8_t address, const QList<SI2cCommand>& commands)
{
    CI2cDeviceFile device;
    device.SetName(QStringLiteral("Test"));
    device.SetAddress(address);
    for (const SI2cCommand& command : commands)
        device.AddCommand(command);
    const QString path = m_dir->filePath(QStringLiteral("test.i2cdev"));
    if (!device.SaveAs(path))
        qWarning() << device.GetLastError();
    return path;
}

void TstCliTool::helpAndVersion()
{
    const SResult help = run({"detect", "--help"});
    QCOMPARE(help.status, 0);
    QVERIFY(help.out.startsWith(QStringLiteral("Usage: pellan-i2c-cli [options] COMMAND [ARGS]")));
    for (const char* word : {"list", "detect", "read ADDR COUNT", "write ADDR [BYTES...]",
                             "run FILE [LABEL...]", "--adapter", "--speed", "--pull-ups", "--8bit",
                             "--json", "--mode", "--version", "Exit status"})
        QVERIFY2(help.out.contains(QLatin1String(word)), word);
    QCOMPARE(run({"--version"}).out, QStringLiteral("pellan-i2c-cli " PELLAN_VERSION "\n"));
}

void TstCliTool::badInputSendsNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("adapters"); // 0: none, 1: an Orvane5, 2: and an Orvane3
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    const auto row = [](const char* name, QStringList arguments, int adapters, int status,
                        const char* message) {
        QTest::newRow(name) << arguments << adapters << status << QString::fromUtf8(message);
    };
    row("no command", {}, 1, 2, "no command given");
    row("unknown command", {"probe"}, 1, 2, "unknown command \"probe\"");
    row("unknown option", {"--fast", "detect"}, 1, 2, "Unknown option 'fast'");
    row("extra argument", {"detect", "0x50"}, 1, 2, "detect takes no arguments");
    row("unknown speed", {"-s", "300k", "detect"}, 1, 2, "unknown speed \"300k\"");
    row("speed of another model", {"-s", "1000k", "detect"}, 1, 2,
        "the Orvane5 T-5 does not run at 1000k. Give one of 50k, 100k, 400k");
    row("pull-ups value", {"--pull-ups", "yes", "detect"}, 1, 2, "--pull-ups takes on or off");
    row("pull-ups without switch", {"-a", "T-3", "--pull-ups", "on", "detect"}, 2, 2,
        "the Orvane3 T-3 has no switchable pull-ups");
    row("mode outside write", {"-m", "stop", "read", "50", "1"}, 1, 2, "--mode belongs to write");
    row("7-bit address", {"read", "0x80", "1"}, 1, 2, "invalid address \"0x80\"");
    row("8-bit address", {"--8bit", "read", "100", "1"}, 1, 2, "invalid address \"100\"");
    row("count 0", {"read", "50", "0"}, 1, 2, "invalid byte count \"0\"");
    row("count not decimal", {"read", "50", "0x10"}, 1, 2, "invalid byte count \"0x10\"");
    row("count above model", {"read", "50", "257"}, 1, 2, "reads at most 256 bytes");
    row("bad hex", {"write", "50", "01", "ABC"}, 1, 2, "invalid hex bytes \"01 ABC\"");
    row("stop without bytes", {"write", "50", "-m", "stop"}, 1, 2,
        "--mode stop sends no address, so it needs at least one data byte");
    row("missing file", {"run", "nowhere.i2cdev"}, 1, 2, "No such file or directory");
    row("several adapters", {"detect"}, 2, 2,
        "2 adapters are attached: T-3 (Orvane3), T-5 (Orvane5). Choose one with --adapter");
    row("unknown serial", {"-a", "T-9", "detect"}, 2, 3,
        "no adapter with the serial number \"T-9\" is attached. Attached: T-3 (Orvane3)");
    row("no adapter", {"read", "50", "1"}, 0, 3, "no Orvane adapter is attached");
}

void TstCliTool::badInputSendsNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, adapters);
    QFETCH(int, status);
    QFETCH(QString, message);
    if (adapters >= 1)
        plug(ESimOrvModel::Orv5, L"T-5");
    if (adapters >= 2)
        plug(ESimOrvModel::Orv3, L"T-3");

    const SResult result = run(arguments);
    QCOMPARE(result.status, status);
    QVERIFY2(result.err.startsWith(QStringLiteral("pellan-i2c-cli: ")), qPrintable(result.err));
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(result.out, QString());
    for (const auto& adapter : m_adapters)
        QCOMPARE(adapter->ReceivedReports().size(), size_t(0));
}

void TstCliTool::list_data()
{
    QTest::addColumn<bool>("attached");
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("expected");

    QTest::newRow("text") << true << false
                          << "Orvane3\tT-3\tOrvane3 USB-I2C\t0210\t10k 50k 100k 400k 1000k\n"
                             "Orvane5\tT-5\tOrvane5 USB-I2C\t0105\t50k 100k 400k\n";
    QTest::newRow("json")
        << true << true
        << "{\"model\":\"Orvane3\",\"serial\":\"T-3\",\"product\":\"Orvane3 USB-I2C\","
           "\"firmware\":\"0210\",\"speeds\":[\"10k\",\"50k\",\"100k\",\"400k\",\"1000k\"],"
           "\"pullUps\":false}\n"
           "{\"model\":\"Orvane5\",\"serial\":\"T-5\",\"product\":\"Orvane5 USB-I2C\","
           "\"firmware\":\"0105\",\"speeds\":[\"50k\",\"100k\",\"400k\"],\"pullUps\":true}\n";
    QTest::newRow("none") << false << false << "No Orvane adapter attached.\n";
}

void TstCliTool::list()
{
    QFETCH(bool, attached);
    QFETCH(bool, json);
    QFETCH(QString, expected);
    if (attached) {
        plug(ESimOrvModel::Orv5, L"T-5");
        plug(ESimOrvModel::Orv3, L"T-3");
    }
    const SResult result = run(json ? QStringList{"--json", "list"} : QStringList{"list"});
    QCOMPARE(result.status, 0);
    QCOMPARE(result.out, expected);
    for (const auto& adapter : m_adapters)
        QCOMPARE(adapter->ReceivedReports().size(), size_t(0));
}

void TstCliTool::detect()
{
    plug(ESimOrvModel::Orv5, L"T-5");
    const SResult text = run({"detect"});
    QCOMPARE(text.status, 0);
    QCOMPARE(text.out, GRID);

    const SResult json = run({"--json", "detect"});
    QCOMPARE(json.status, 0);
    QCOMPARE(json.out, QStringLiteral("{\"type\":\"search\",\"address\":null,\"ok\":true,"
                                      "\"status\":0,\"error\":\"\",\"data\":\"\","
                                      "\"found\":[35,72,80]}\n"));
}

void TstCliTool::transactions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected");

    const int orv3 = static_cast<int>(ESimOrvModel::Orv3);
    const int orv5 = static_cast<int>(ESimOrvModel::Orv5);
    QTest::newRow("read") << QStringList{"read", "0x48", "2"} << orv3 << 0 << "17 80\n";
    QTest::newRow("read in hex lines")
        << QStringList{"read", "50", "20"} << orv3 << 0
        << "00: FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF\n10: FF FF FF FF\n";
    QTest::newRow("read json")
        << QStringList{"--json", "read", "0x48", "2"} << orv3 << 0
        << "{\"type\":\"read\",\"address\":72,\"ok\":true,\"status\":2,\"error\":\"\","
           "\"data\":\"17 80\"}\n";
    QTest::newRow("read nack") << QStringList{"read", "0x51", "1"} << orv3 << 1
                               << "Read 0x51\t0x80  NACK received\t\n";
    QTest::newRow("write") << QStringList{"write", "0x50", "10", "DE,ad;0x1"} << orv3 << 0
                           << "Write 0x50\t0x05\t10 DE AD 01\n";
    QTest::newRow("write 8-bit") << QStringList{"--8bit", "write", "A1", "10"} << orv3 << 0
                                 << "Write 0xA0\t0x02\t10\n";
    QTest::newRow("write start") << QStringList{"write", "50", "10", "-m", "START"} << orv3 << 0
                                 << "Write 0x50 [Generate Start]\t0x02\t10\n";
    QTest::newRow("write none json")
        << QStringList{"--json", "write", "50", "AA", "--mode", "none"} << orv3 << 1
        << "{\"type\":\"write\",\"address\":null,\"ok\":false,\"status\":128,"
           "\"error\":\"Transaction without start\",\"data\":\"AA\"}\n";
    QTest::newRow("write nack") << QStringList{"write", "0x51", "00"} << orv3 << 1
                                << "Write 0x51\t0x80  NACK\t00\n";
    QTest::newRow("address only on orvane5")
        << QStringList{"write", "0x50"} << orv5 << 1
        << "Write 0x50\t0x00  Address-only write is not supported by the Orvane5\t\n";
}

void TstCliTool::transactions()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, model);
    QFETCH(int, status);
    QFETCH(QString, expected);
    plug(static_cast<ESimOrvModel>(model), L"T-1");

    const SResult result = run(arguments);
    QCOMPARE(result.out, expected);
    QCOMPARE(result.status, status);
    // A failure names the adapter's text on err and says what to do.
    QCOMPARE(result.err.isEmpty(), status == 0);
}

void TstCliTool::runsDeviceFile_data()
{
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("expected");

    QTest::newRow("all, text") << QStringList{} << false
                               << "Write 0x50\t0x04\t10 DE AD\n"
                                  "Write 0x50 [Generate Start]\t0x02\t10\n"
                                  "Read 0x50\t0x02\tDE AD\n";
    QTest::newRow("labels, json")
        << QStringList{" read two ", "SET POINTER"} << true
        << "{\"type\":\"read\",\"address\":80,\"ok\":true,\"status\":2,\"error\":\"\","
           "\"data\":\"FF FF\",\"label\":\"Read Two\"}\n"
           "{\"type\":\"write\",\"address\":80,\"ok\":true,\"status\":2,\"error\":\"\","
           "\"data\":\"10\",\"label\":\"Set Pointer\"}\n";
}

void TstCliTool::runsDeviceFile()
{
    QFETCH(QStringList, labels);
    QFETCH(bool, json);
    QFETCH(QString, expected);
    plug(ESimOrvModel::Orv3, L"T-1");
    const QString path =
        writeDevice(0x50, {writeCommand("Store", EI2cStartStop::Auto, {0x10, 0xDE, 0xAD}),
                           writeCommand("Set Pointer", EI2cStartStop::Start, {0x10}),
                           readCommand("Read Two", 2)});

    QStringList arguments{QStringLiteral("run"), path};
    if (json)
        arguments.prepend(QStringLiteral("--json"));
    const SResult result = run(arguments + labels);
    QCOMPARE(result.out, expected);
    QCOMPARE(result.status, 0);
}

void TstCliTool::runStopsAtFirstFailure()
{
    const auto adapter = plug(ESimOrvModel::Orv3, L"T-1");
    const QString path =
        writeDevice(0x50, {writeCommand("Store", EI2cStartStop::Auto, {0x20, 0x42}),
                           writeCommand("Continue", EI2cStartStop::Stop, {0x43}),
                           writeCommand("Never", EI2cStartStop::Auto, {0x21, 0x44})});

    const SResult result = run({"run", path});
    QCOMPARE(result.status, 1);
    QCOMPARE(result.out, QStringLiteral("Write 0x50\t0x03\t20 42\n"
                                        "Write [Generate Stop]\t0x80  no start\t43\n"));
    QVERIFY2(result.err.contains(QStringLiteral("the command \"Continue\" failed: Transaction "
                                                "without start")),
             qPrintable(result.err));
    const auto eeprom = adapter->DeviceAs<CSimEeprom24c02>(0x50);
    QCOMPARE(eeprom->Contents()[0x20], uint8_t(0x42));
    QCOMPARE(eeprom->Contents()[0x21], uint8_t(0xFF));
}

void TstCliTool::unplugDuringRun()
{
    const auto adapter = plug(ESimOrvModel::Orv3, L"T-1");
    adapter->AddDevice(0x30, std::make_shared<CUnplugOnStart>(adapter->Paths(), 2));
    const QString path =
        writeDevice(0x30, {writeCommand("One", EI2cStartStop::Auto, {0x01}), readCommand("Two", 1),
                           writeCommand("Three", EI2cStartStop::Auto, {})});

    const SResult result = run({"--json", "run", path});
    QCOMPARE(result.status, 3);
    const QStringList lines = result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(QJsonDocument::fromJson(lines[0].toUtf8()).object()[QStringLiteral("label")],
             QStringLiteral("One"));
    QVERIFY2(result.err.contains(QStringLiteral("lost the connection to the Orvane3 T-1 during "
                                                "\"Two\"")),
             qPrintable(result.err));
}

void TstCliTool::demoProgramRunsWithoutDisplay()
{
    // The demo program as a script runs it: its own adapters, no display.
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(PELLAN_CLI_DEMO), {"-a", "OR5-200107", "detect"});
    QVERIFY(process.waitForFinished(testsupport::WAIT_MS));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), GRID);
}

QTEST_GUILESS_MAIN(TstCliTool)
#include "tst_clitool.moc"
