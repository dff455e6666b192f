#include "cli/clitool.h"
#include "projects/i2cdevicefile.h"
#include "sim/adapters/simeeprom24c02.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"
#include "tests/support/waits.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
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
// The demo's bus: the default devices and the sensors of the shipped maps.
const QString DEMO_GRID = QStringLiteral("     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
                                         "00:                         -- -- -- -- -- -- -- -- \n"
                                         "10: -- -- -- -- -- -- -- -- 18 -- -- -- -- -- -- -- \n"
                                         "20: -- -- -- 23 -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                         "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                                         "40: 40 -- -- -- -- -- -- -- 48 49 -- -- -- -- -- -- \n"
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

// How a demo program's standard output is broken.
enum class EOutput { Normal, Full, Closed, BrokenPipe };

// Runs the demo program as a script does, with its own adapters and without
// a display; a run that does not end in time is killed and fails the test.
SResult runDemo(const QStringList& arguments, EOutput output = EOutput::Normal,
                const QStringList& environment = {}, int timeoutMs = 60000)
{
    QProcess process;
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    variables.remove(QStringLiteral("DISPLAY"));
    variables.remove(QStringLiteral("QT_QPA_PLATFORM"));
    for (const QString& variable : environment)
        variables.insert(variable.section(QLatin1Char('='), 0, 0),
                         variable.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(variables);
    if (output == EOutput::Full)
        process.setStandardOutputFile(QStringLiteral("/dev/full"));
    process.setChildProcessModifier([output] {
        if (output == EOutput::Closed) {
            ::close(STDOUT_FILENO);
        } else if (output == EOutput::BrokenPipe) {
            // A reader that has gone, with SIGPIPE ignored as some shells do.
            int pipe[2];
            if (::pipe(pipe) == 0) {
                ::close(pipe[0]);
                ::dup2(pipe[1], STDOUT_FILENO);
                ::close(pipe[1]);
            }
            std::signal(SIGPIPE, SIG_IGN);
        }
    });
    process.start(QStringLiteral(PELLAN_CLI_DEMO), arguments);
    SResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("did not end within %1 ms").arg(timeoutMs);
        return result;
    }
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

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
    void detectTellsBrokenBusFromEmpty_data();
    void detectTellsBrokenBusFromEmpty();
    void detectEndsWhenAdapterStopsAnswering();
    void transactions_data();
    void transactions();
    void registerCommands_data();
    void registerCommands();
    void setSaysWhichStepFailed_data();
    void setSaysWhichStepFailed();
    void transferPrintsAsI2ctransfer_data();
    void transferPrintsAsI2ctransfer();
    void runsDeviceFile_data();
    void runsDeviceFile();
    void runStopsAtFirstFailure();
    void runRefusesBeforeTheBus_data();
    void runRefusesBeforeTheBus();
    void runNamesFileThatIsNotUtf8();
    void unplugDuringRun();
    void demoProgramRunsWithoutDisplay();
    void unwritableOutputFails_data();
    void unwritableOutputFails();
    void demoFaultsFromEnvironment_data();
    void demoFaultsFromEnvironment();
    void lostAdapterStillPrintsItsObject_data();
    void lostAdapterStillPrintsItsObject();
    void faultStrikesInsideALongRead_data();
    void faultStrikesInsideALongRead();

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
    row("mode outside write", {"-m", "stop", "read", "50", "1"}, 1, 2,
        "-m (--mode) belongs to write. Leave it out.");
    row("7-bit address", {"read", "0x80", "1"}, 1, 2, "invalid address \"0x80\"");
    // Reserved addresses need --all-addresses; i2c-tools' bus number
    // before the address is named as such.
    const char* reserved = "0x00 to 0x07 and 0x78 to 0x7F are kept for the general call";
    const char* option = "Give an address from 0x08 to 0x77, or --all-addresses to use a "
                         "reserved one.";
    const char* busNumber = "Unlike the i2c-tools, pellan-i2c-cli takes no bus number before the "
                            "address: the adapter is chosen with --adapter (-a). If \"%1\" is "
                            "one, leave it out.\n";
    const std::vector<std::pair<const char*, QStringList>> reservedUses = {
        {"read", {"read", "0x78", "1"}},
        {"write", {"write", "0x00", "06"}},
        {"get", {"get", "0x07", "0"}},
        {"set", {"set", "0x7F", "0", "1"}},
        {"dump", {"dump", "0x03"}},
        {"watch", {"watch", "0x7c", "2", "--samples", "1"}},
        {"regs", {"regs", "0x01", "--map", "LM75"}},
        {"get by map", {"get", "0x02", "TEMP", "--map", "LM75"}},
        {"transfer", {"transfer", "w1@0x50", "0", "r1@0x79"}},
    };
    for (const auto& [name, arguments] : reservedUses) {
        row(qPrintable(QStringLiteral("reserved address, %1").arg(QLatin1String(name))), arguments,
            1, 2, reserved);
        row(qPrintable(QStringLiteral("reserved address, %1, no bus number").arg(name)), arguments,
            1, 2, qPrintable(QString::fromLatin1(option) + QLatin1Char('\n')));
    }
    row("reserved address, 8-bit", {"--8bit", "read", "0xF0", "1"}, 1, 2,
        "address 0xF0 is reserved: 0x00 to 0x0F and 0xF0 to 0xFF are kept");
    row("reserved address of a message", {"transfer", "w1@0x50", "0", "r1@0x79"}, 1, 2,
        "message 1's address 0x79 is reserved");
    for (const auto& [name, arguments] : std::vector<std::pair<const char*, QStringList>>{
             {"i2cset", {"set", "0", "0x06", "0x00"}}, {"i2cget", {"get", "1", "0x48", "2"}}}) {
        const QString given = arguments[1];
        row(qPrintable(QStringLiteral("bus number of %1").arg(QLatin1String(name))), arguments, 1,
            2, qPrintable(QStringLiteral("address 0x0%1 is reserved: %2").arg(given, reserved)));
        row(qPrintable(QStringLiteral("bus number of %1, named").arg(QLatin1String(name))),
            arguments, 1, 2,
            qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(option),
                                                   QString::fromLatin1(busNumber).arg(given))));
    }
    row("bus number of i2cdetect", {"detect", "1"}, 1, 2,
        "detect takes no arguments; it probes 0x08 to 0x77, or 0x00 to 0x7F with "
        "--all-addresses. Unlike i2cdetect it takes no bus number");
    row("8-bit address", {"--8bit", "read", "100", "1"}, 1, 2, "invalid address \"100\"");
    row("count 0", {"read", "50", "0"}, 1, 2, "invalid byte count \"0\"");
    row("count with blanks", {"read", "50", " 2"}, 1, 2,
        "invalid byte count \" 2\": blanks are not allowed around a number");
    row("count, octal 8", {"read", "50", "08"}, 1, 2, "\"8\" is not an octal digit");
    row("address with blanks", {"read", "50 ", "1"}, 1, 2,
        "invalid address \"50 \": blanks are not allowed around a number");
    row("value with a sign", {"set", "50", "0", "+1"}, 1, 2,
        "invalid value \"+1\": a number here takes no sign");
    row("count above model", {"read", "50", "257"}, 1, 2, "reads at most 256 bytes");
    row("bad hex", {"write", "50", "01", "ABC"}, 1, 2, "invalid hex bytes \"01 ABC\"");
    row("mode stop", {"write", "50", "AA", "-m", "stop"}, 1, 2,
        "--mode stop continues a transaction that a start opened, but every call");
    row("mode none", {"write", "50", "AA", "--mode", "none"}, 1, 2, "--mode none continues");
    row("empty byte list", {"write", "50", ""}, 1, 2, "no bytes in \"\". Give hex bytes, or no");
    row("blank byte list", {"write", "50", " ", ""}, 1, 2, "no bytes in \"  \"");
    row("address only on orvane5", {"write", "0x50"}, 1, 2,
        "the Orvane5 T-5 cannot write an address without data. Probe it with a read instead");
    row("missing file", {"run", "nowhere.i2cdev"}, 1, 2, "No such file or directory");
    row("several adapters", {"detect"}, 2, 2,
        "2 adapters are attached: T-3 (Orvane3), T-5 (Orvane5). Choose one with --adapter");
    row("unknown serial", {"-a", "T-9", "detect"}, 2, 3,
        "no adapter with the serial number \"T-9\" is attached. Attached: T-3 (Orvane3)");
    row("no adapter", {"read", "50", "1"}, 0, 3, "no Orvane adapter is attached");

    // The register and transfer commands, on the Orvane5.
    QStringList values(257, QStringLiteral("0"));
    row("get beyond the model's limit", {"get", "50", "0", "257"}, 1, 2,
        "get reads 257 bytes, but the Orvane5 T-5 reads at most 256");
    row("read-back beyond the model's limit", QStringList{"set", "-r", "50", "0"} + values, 1, 2,
        "--readback reads 257 bytes, but the Orvane5 T-5 reads at most 256");
    row("mask with two values", {"set", "--mask", "0x0F", "50", "0", "1", "2"}, 1, 2,
        "--mask works on a single value, not 2");
    row("mask not a number", {"set", "--mask", "F0", "50", "0", "1"}, 1, 2, "invalid mask \"F0\"");
    for (const char* zero : {"0", "0x0", "00"}) {
        row(qPrintable(QStringLiteral("mask %1").arg(QLatin1String(zero))),
            {"set", "--mask", zero, "50", "0", "1"}, 1, 2,
            qPrintable(QStringLiteral("invalid mask \"%1\": a mask of 0 keeps every bit")
                           .arg(QLatin1String(zero))));
    }
    row("register beyond one byte", {"get", "50", "0x100"}, 1, 2,
        "invalid register \"0x100\": the largest value here is 255 (0xff). Give a register from "
        "0 to 0xFF");
    row("register width", {"--reg-width", "5", "get", "50", "0"}, 1, 2,
        "invalid --reg-width \"5\"");
    row("-r of get", {"get", "-r", "50", "0"}, 1, 2,
        "-r belongs to set (--readback) and dump (--range)");
    row("readback of dump", {"dump", "--readback", "50"}, 1, 2, "--readback belongs to set");
    row("dump mode", {"dump", "50", "x"}, 1, 2, "unknown dump mode \"x\"");
    // The i2c-tools' mode letters, with what to give instead.
    row("i2cget's w", {"get", "0x48", "0", "w"}, 1, 2,
        "\"w\" is i2cget's mode w, which reads a 16-bit word and prints it as one number whose "
        "low byte is the first read (0x8017 for the bytes 0x17 0x80). get takes a byte count "
        "there instead and prints the bytes in the order read: give 2, as in \"pellan-i2c-cli "
        "get 0x48 0 2\", which prints 0x17 0x80.");
    row("i2cget's b", {"get", "0x48", "0", "b"}, 1, 2,
        "\"b\" is i2cget's mode b, a byte read; get takes a byte count there instead, and 1 is "
        "the default: \"pellan-i2c-cli get 0x48 0\".");
    row("i2cget's c", {"get", "0x48", "0x10", "c"}, 1, 2,
        "leave c out, as in \"pellan-i2c-cli get 0x48 0x10\". To keep the stop, write the "
        "register first, \"pellan-i2c-cli write 0x48 10\", then get without a register");
    row("i2cget's s", {"get", "0x48", "0", "s"}, 1, 2,
        "an SMBus block read, whose first byte counts the bytes after it. get takes a byte count "
        "there instead: give the count byte and the bytes after it, at most 33");
    row("i2cget's i with a length", {"get", "0x50", "0", "i", "8"}, 1, 2,
        "get takes that length as its byte count: \"pellan-i2c-cli get 0x50 0 8\".");
    row("i2cget's PEC", {"get", "0x48", "0", "bp"}, 1, 2,
        "\"bp\" is i2cget's mode b, a byte read; get takes a byte count there instead, and 1 is "
        "the default: \"pellan-i2c-cli get 0x48 0\". The p asks for PEC, the SMBus packet error "
        "check, which the Orvane adapters do not send or check: leave it out.");
    row("i2cset's w", {"set", "0x48", "0x03", "0x5500", "w"}, 1, 2,
        "\"w\" is i2cset's mode w, which writes VALUE as a 16-bit word, its low byte first. set "
        "writes bytes as given: give the word's two bytes, low byte first, as in "
        "\"pellan-i2c-cli set 0x48 0x03 0x00 0x55\" for the word 0x5500.");
    row("i2cset's b", {"set", "0x48", "0x03", "0x60", "b"}, 1, 2,
        "leave b out, as in \"pellan-i2c-cli set 0x48 0x03 0x60\".");
    row("i2cset's i", {"set", "0x50", "0", "1", "2", "i"}, 1, 2,
        "leave i out, as in \"pellan-i2c-cli set 0x50 0 1 2\".");
    row("i2cset's c", {"--reg-width", "2", "set", "0x50", "0x0102", "c"}, 1, 2,
        "writes the register alone, without a value; write does that: \"pellan-i2c-cli write "
        "0x50 01 02\".");
    row("i2cset's s", {"set", "0x50", "0", "0xAA", "0xBB", "sp"}, 1, 2,
        "put the count first, as in \"pellan-i2c-cli set 0x50 0 2 0xAA 0xBB\". The p asks for PEC");
    row("i2cdump's w", {"dump", "0x50", "w"}, 1, 2,
        "\"w\" is i2cdump's mode w, which reads 16-bit words and prints each as one number, its "
        "low byte the first read. dump prints bytes: give b, or i");
    row("i2cdump's W", {"dump", "0x50", "W"}, 1, 2, "\"W\" is i2cdump's mode W, which reads");
    row("i2cdump's s", {"dump", "0x50", "s"}, 1, 2, "\"s\" is i2cdump's mode s, an SMBus block");
    row("i2cdump's PEC", {"dump", "0x50", "cp"}, 1, 2,
        "\"cp\" is mode c with a p. The p asks for PEC");
    row("range backwards", {"dump", "-r", "0x20-0x10", "50"}, 1, 2, "invalid range \"0x20-0x10\"");
    row("range too large", {"dump", "--reg-width", "3", "-r", "0-0x10000", "50"}, 1, 2,
        "holds more than 65536 registers");
    row("transfer without messages", {"transfer"}, 1, 2, "no messages given");
    // i2c-tools habits.
    row("transfer without address", {"transfer", "r2"}, 1, 2,
        "the first message \"r2\" names no address. Add one after @, e.g. r2@0x50.");
    row("negative count", {"get", "0x48", "0", "-1"}, 1, 2,
        "invalid byte count \"-1\": a number here takes no sign");
    row("i2cset's -m", {"set", "-m", "0xf0", "0x48", "3", "0x55"}, 1, 2,
        "-m (--mode) belongs to write. set's own option is --mask. Leave it out.");
    row("transfer syntax", {"transfer", "w2@0x50", "1"}, 1, 2, "needs 2 data bytes but has 1");
    row("transfer read before a write", {"transfer", "r1@0x50", "w1@0x50", "0"}, 1, 2,
        "message 0 is a read and message 1 follows it");
    row("transfer read beyond the limit", {"transfer", "r257@0x50"}, 1, 2, "reads at most 256");
    row("transfer ends on the address", {"transfer", "w1@0x50", "0", "r0"}, 1, 2,
        "which the Orvane5 cannot send");

    // watch, whose --mask decodes where set's masks a write.
    const QStringList lm75{"watch", "0x48", "2", "--format", "s16be"};
    row("watch without count", {"watch", "0x48"}, 1, 2, "watch needs an address and a byte count");
    row("watch beyond the model's limit", {"watch", "0x48", "257"}, 1, 2,
        "watch reads 257 bytes, but the Orvane5 T-5 reads at most 256");
    row("mask of watch or set", {"get", "0x48", "--mask", "1"}, 1, 2,
        "--mask belongs to set and watch");
    row("watch mask without format", {"watch", "0x48", "2", "--mask", "0x0F"}, 1, 2,
        "--mask belongs to the decoding of a value, which needs --format");
    row("watch mask not a number", lm75 + QStringList{"--mask", "F0"}, 1, 2,
        "invalid mask \"F0\": \"F\" is not a digit. Enter a 32-bit number");
    row("watch format", {"watch", "0x48", "2", "--format", "s12"}, 1, 2, "unknown format \"s12\"");
    row("watch format wider than the count", {"watch", "0x48", "1", "--format", "s16be"}, 1, 2,
        "--format s16be takes 2 bytes, but COUNT is 1");
    row("watch shift past the width", lm75 + QStringList{"--shift", "16"}, 1, 2,
        "a shift of 16 bits is past the 16 bits of s16be");
    row("watch empty scale", lm75 + QStringList{"--scale", ""}, 1, 2, "--scale is empty");
    for (const char* unit : {"°C\nfake line", "lx\tX", "\x1b[31mlx", "l\u2028x"}) {
        row(qPrintable(
                QStringLiteral("watch unit %1").arg(CCliTool::Quoted(QString::fromUtf8(unit)))),
            lm75 + QStringList{"--samples", "1", "--unit", QString::fromUtf8(unit)}, 1, 2,
            "the unit holds a control character");
    }
    row("watch interval", {"watch", "0x48", "2", "--interval", "5ms"}, 1, 2,
        "invalid interval \"5ms\": it is shorter than 10ms");
    row("watch interval in upper case", {"watch", "0x48", "2", "--interval", "1S"}, 1, 2,
        "invalid interval \"1S\": \"S\" is not a unit");
    row("watch samples", {"watch", "0x48", "2", "--samples", "0"}, 1, 2, "invalid --samples \"0\"");
    row("watch samples with blanks", {"watch", "0x48", "2", "--samples", "2 "}, 1, 2,
        "invalid --samples \"2 \": blanks");
    row("watch shift with blanks", lm75 + QStringList{"--shift", " 7"}, 1, 2,
        "invalid shift \" 7\": blanks");
    row("watch scale with blanks", lm75 + QStringList{"--scale", "0.5 "}, 1, 2,
        "invalid scale \"0.5 \"");
    row("watch csv and json", {"--json", "watch", "0x48", "2", "--csv"}, 1, 2,
        "--csv and --json are two forms");
    row("watch width without register", {"watch", "0x48", "2", "--reg-width", "2"}, 1, 2,
        "--reg-width is the width of the pointer of --register");
    row("watch register beyond one byte", {"watch", "0x48", "2", "--register", "0x100"}, 1, 2,
        "invalid register \"0x100\"");
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
    QTest::addColumn<QString>("serial"); // of the Orvane3; none attached when empty
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("expected");

    QTest::newRow("text") << "T-3" << false
                          << "Orvane3\tT-3\tOrvane3 USB-I2C\t0210\t10k 50k 100k 400k 1000k\n"
                             "Orvane5\tT-5\tOrvane5 USB-I2C\t0105\t50k 100k 400k\n";
    // A USB string is the device's own: it keeps to its column.
    QTest::newRow("text, serial with a line break and a tab")
        << "T\n\t3" << false
        << "Orvane3\tT 3\tOrvane3 USB-I2C\t0210\t10k 50k 100k 400k 1000k\n"
           "Orvane5\tT-5\tOrvane5 USB-I2C\t0105\t50k 100k 400k\n";
    QTest::newRow("json")
        << "T-3" << true
        << "{\"model\":\"Orvane3\",\"serial\":\"T-3\",\"product\":\"Orvane3 USB-I2C\","
           "\"firmware\":\"0210\",\"speeds\":[\"10k\",\"50k\",\"100k\",\"400k\",\"1000k\"],"
           "\"pullUps\":false}\n"
           "{\"model\":\"Orvane5\",\"serial\":\"T-5\",\"product\":\"Orvane5 USB-I2C\","
           "\"firmware\":\"0105\",\"speeds\":[\"50k\",\"100k\",\"400k\"],\"pullUps\":true}\n";
    QTest::newRow("none") << "" << false << "No Orvane adapter attached.\n";
}

void TstCliTool::list()
{
    QFETCH(QString, serial);
    QFETCH(bool, json);
    QFETCH(QString, expected);
    if (!serial.isEmpty()) {
        plug(ESimOrvModel::Orv5, L"T-5");
        plug(ESimOrvModel::Orv3, serial.toStdWString());
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
    // As i2cdetect -a: the reserved addresses too.
    const SResult all = run({"--all-addresses", "detect"});
    QCOMPARE(all.status, 0);
    QCOMPARE(all.out, QString(GRID)
                          .replace(QStringLiteral("00:                         "),
                                   QStringLiteral("00: -- -- -- -- -- -- -- -- "))
                          .replace(QStringLiteral("--                         \n"),
                                   QStringLiteral("-- -- -- -- -- -- -- -- -- \n")));

    const SResult json = run({"--json", "detect"});
    QCOMPARE(json.status, 0);
    QCOMPARE(json.out, QStringLiteral("{\"type\":\"search\",\"address\":null,\"ok\":true,"
                                      "\"status\":0,\"error\":\"\",\"data\":\"\","
                                      "\"found\":[35,72,80],\"failed\":[]}\n"));
}

void TstCliTool::detectTellsBrokenBusFromEmpty_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<ESimOrvFault>("fault");
    QTest::addColumn<int>("after");
    QTest::addColumn<int>("failed"); // XX cells
    QTest::addColumn<QString>("message");

    const int orv3 = static_cast<int>(ESimOrvModel::Orv3);
    const int orv5 = static_cast<int>(ESimOrvModel::Orv5);
    QTest::newRow("bus error") << orv3 << ESimOrvFault::BusError << 0 << 112
                               << "112 of 112 probes failed (XX in the grid), the first at 0x08 "
                                  "with: Bus error.";
    QTest::newRow("arbitration lost, read probes")
        << orv5 << ESimOrvFault::ArbitrationLost << 0 << 112
        << "the first at 0x08 with: Arbitration lost. Another master holds the bus";
    QTest::newRow("bus error from 0x26")
        << orv3 << ESimOrvFault::BusError << 30 << 82 << "82 of 112 probes failed";
    QTest::newRow("write error") << orv3 << ESimOrvFault::WriteError << 0 << 112
                                 << "with: Broken pipe";
}

void TstCliTool::detectTellsBrokenBusFromEmpty()
{
    QFETCH(int, model);
    QFETCH(ESimOrvFault, fault);
    QFETCH(int, after);
    QFETCH(int, failed);
    QFETCH(QString, message);
    const auto adapter = plug(static_cast<ESimOrvModel>(model), L"T-1");
    // Connecting sends no request; a write error counts its report too.
    const auto breakBus = [&] {
        adapter->SetFault(fault, -1, fault == ESimOrvFault::WriteError ? 1 : after);
    };

    breakBus();
    const SResult text = run({"detect"});
    QCOMPARE(text.status, 1);
    QCOMPARE(text.out.count(QStringLiteral("XX ")), failed);
    QVERIFY2(text.err.contains(message), qPrintable(text.err));

    breakBus();
    const SResult json = run({"--json", "detect"});
    QCOMPARE(json.status, 1);
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(object[QStringLiteral("ok")].toBool(true), false);
    QVERIFY(!object[QStringLiteral("error")].toString().isEmpty());
    QCOMPARE(object[QStringLiteral("failed")].toArray().size(), failed);
}

void TstCliTool::detectEndsWhenAdapterStopsAnswering()
{
    // 112 probes of a second each would take two minutes: the scan must end
    // at the first timeout. A regression is killed by runDemo's watchdog.
    const SResult result = runDemo({"-a", "OR3-100042", "detect"}, EOutput::Normal,
                                   {"PELLAN_SIM_FAULT=no-answer:3"}, 30000);
    QVERIFY2(result.status == 1, qPrintable(result.err));
    QVERIFY2(result.err.contains(QStringLiteral("the probe of 0x0B failed: Timeout. The adapter "
                                                "stopped answering")),
             qPrintable(result.err));
    QCOMPARE(result.out.count(QStringLiteral("XX ")), 1);
    QCOMPARE(result.out.count(QStringLiteral("-- ")), 3);
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
    QTest::newRow("write nack") << QStringList{"write", "0x51", "00"} << orv3 << 1
                                << "Write 0x51\t0x80  NACK\t00\n";
    QTest::newRow("probe") << QStringList{"write", "0x50"} << orv3 << 0 << "Write 0x50\t0x01\t\n";
    QTest::newRow("read orvane5") << QStringList{"read", "0x48", "2"} << orv5 << 0 << "17 80\n";
    // i2c-tools' -y asks for no confirmation, which none of these does.
    QTest::newRow("-y ignored") << QStringList{"get", "-y", "0x48", "0", "2"} << orv3 << 0
                                << "0x17 0x80\n";
    // Counts are numbers as everywhere else: 0x hex, 0 octal.
    QTest::newRow("count in hex") << QStringList{"read", "0x48", "0x2"} << orv3 << 0 << "17 80\n";
    QTest::newRow("reserved address, allowed")
        << QStringList{"--all-addresses", "read", "0x03", "1"} << orv3 << 1
        << "Read 0x03\t0x80  NACK received\t\n";
    QTest::newRow("count in octal") << QStringList{"get", "0x50", "0", "010"} << orv3 << 0
                                    << "0xff 0xff 0xff 0xff 0xff 0xff 0xff 0xff\n";
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

void TstCliTool::registerCommands_data()
{
    QTest::addColumn<ESimOrvModel>("model");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected");

    const auto orv3 = ESimOrvModel::Orv3;
    const auto orv5 = ESimOrvModel::Orv5;
    const auto orv7 = ESimOrvModel::Orv7;
    const QString header =
        QStringLiteral("     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n");
    QTest::newRow("get") << orv3 << QStringList{"get", "0x48", "0", "2"} << 0 << "0x17 0x80\n";
    QTest::newRow("get, current pointer") << orv5 << QStringList{"get", "0x48"} << 0 << "0x17\n";
    QTest::newRow("get, 8-bit address")
        << orv7 << QStringList{"--8bit", "get", "0x90", "0x03", "2"} << 0 << "0x50 0x00\n";
    QTest::newRow("get, nobody there") << orv3 << QStringList{"get", "0x51", "0"} << 1 << "";
    QTest::newRow("get, json")
        << orv5 << QStringList{"get", "--json", "0x48", "2"} << 0
        << "{\"type\":\"get\",\"address\":72,\"ok\":true,\"status\":1,\"error\":\"\","
           "\"data\":\"4B\",\"register\":2}\n";
    QTest::newRow("set, read back") << orv7 << QStringList{"set", "-r", "0x50", "0x10", "1", "2"}
                                    << 0 << "Values 0x01 0x02 written, readback matched\n";
    QTest::newRow("set, read back across a page end")
        << orv3 << QStringList{"set", "--readback", "0x50", "6", "1", "2", "3"} << 1
        << "Warning - data mismatch - wrote 0x01 0x02 0x03, read back 0x01 0x02 0xff\n";
    QTest::newRow("set, mask, json")
        << orv5 << QStringList{"--json", "set", "0x50", "0x10", "0x5A", "--mask", "0x0F", "-r"} << 0
        << "{\"type\":\"set\",\"address\":80,\"ok\":true,\"status\":1,\"error\":\"\","
           "\"data\":\"FA\",\"register\":16,\"old\":\"FF\",\"readback\":\"FA\",\"step\":null}\n";
    QTest::newRow("set, mask in octal, json")
        << orv3 << QStringList{"--json", "set", "--mask", "010", "0x50", "0x10", "0"} << 0
        << "{\"type\":\"set\",\"address\":80,\"ok\":true,\"status\":3,\"error\":\"\","
           "\"data\":\"F7\",\"register\":16,\"old\":\"FF\",\"step\":null}\n";
    QTest::newRow("set, mismatch, json")
        << orv3 << QStringList{"--json", "set", "-r", "0x48", "3", "0x55", "0x01"} << 1
        << "{\"type\":\"set\",\"address\":72,\"ok\":false,\"status\":2,\"error\":\"read "
           "back 0x00 at offset 1 from register 0x03, but wrote 0x01\",\"data\":\"55 01\","
           "\"register\":3,\"readback\":\"55 00\",\"step\":\"readback\"}\n";
    QTest::newRow("dump, range, blocks")
        << orv5 << QStringList{"dump", "-r", "0x0e-0x11", "0x50", "i"} << 0
        << header + "00:                                           ff ff                  ..\n"
                    "10: ff ff                                              ..              \n";
    QTest::newRow("dump, failed bytes")
        << orv7 << QStringList{"dump", "0x48", "--range", "2-5"} << 1
        << header + "00:       4b 50 XX XX                                    KPXX          \n";
    QTest::newRow("dump, json")
        << orv3 << QStringList{"--json", "dump", "0x48", "c", "-r", "0-1"} << 0
        << "{\"type\":\"dump\",\"address\":72,\"ok\":true,\"status\":0,\"error\":\"\","
           "\"data\":\"17 17\",\"first\":0,\"last\":1}\n";
    QTest::newRow("transfer, json")
        << orv5 << QStringList{"--json", "transfer", "w1@0x48", "1", "r1"} << 0
        << "{\"type\":\"transfer\",\"address\":72,\"ok\":true,\"status\":1,\"error\":\"\","
           "\"data\":\"00\",\"messages\":[{\"type\":\"write\",\"address\":72,\"ok\":true,"
           "\"status\":2,\"error\":\"\",\"data\":\"01\"},{\"type\":\"read\",\"address\":72,"
           "\"ok\":true,\"status\":1,\"error\":\"\",\"data\":\"00\"}]}\n";
}

void TstCliTool::registerCommands()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, expected);
    plug(model, L"T-1");

    const SResult result = run(arguments);
    QCOMPARE(result.out, expected);
    QCOMPARE(result.status, status);
    QCOMPARE(result.err.isEmpty(), status == 0);
}

void TstCliTool::setSaysWhichStepFailed_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    // The LM75 has no register 7, so reading its old value NACKs.
    QTest::newRow("old value, json")
        << QStringList{"--json", "set", "--mask", "0xf0", "0x48", "0x07", "0x55"} << "" << 1
        << "{\"type\":\"set\",\"address\":72,\"ok\":false,\"status\":128,\"error\":\"NACK "
           "received\",\"data\":\"\",\"register\":7,\"old\":\"\",\"step\":\"old\"}\n"
        << "reading the old value of register 0x07 for --mask failed: NACK received. Nothing "
           "was written.";
    QTest::newRow("write, json")
        << QStringList{"--json", "set", "0x51", "0x10", "0x55"} << "" << 1
        << "{\"type\":\"set\",\"address\":81,\"ok\":false,\"status\":128,\"error\":\"NACK "
           "received\",\"data\":\"\",\"register\":16,\"step\":\"write\"}\n"
        << "writing register 0x10 failed: NACK received.";
    // The write is one answer report; the read-back's pointer meets the fault.
    QTest::newRow("read-back, json")
        << QStringList{"--json", "set", "-r", "0x50", "0x10", "0x55"}
        << "PELLAN_SIM_FAULT=bus-error:1" << 1
        << "{\"type\":\"set\",\"address\":80,\"ok\":false,\"status\":128,\"error\":\"Bus "
           "error\",\"data\":\"55\",\"register\":16,\"readback\":\"\",\"step\":\"readback\"}\n"
        << "reading back register 0x10 failed: Bus error. The values were written";
    QTest::newRow("read-back, text")
        << QStringList{"set", "-r", "0x50", "0x10", "0x55"} << "PELLAN_SIM_FAULT=bus-error:1" << 1
        << "Warning - readback failed\n"
        << "reading back register 0x10 failed";
    QTest::newRow("matched, text") << QStringList{"set", "-r", "0x48", "3", "0x55"} << "" << 0
                                   << "Value 0x55 written, readback matched\n"
                                   << "";
    // The LM75 keeps only the top bit of the limit's low byte.
    QTest::newRow("mismatch, text")
        << QStringList{"set", "-r", "0x48", "3", "0x55", "0x01"} << "" << 1
        << "Warning - data mismatch - wrote 0x55 0x01, read back 0x55 0x00\n"
        << "the read-back differs";
}

void TstCliTool::setSaysWhichStepFailed()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, variable);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);

    const SResult result = runDemo(QStringList{"-a", "OR3-100042"} + arguments, EOutput::Normal,
                                   variable.isEmpty() ? QStringList() : QStringList{variable});
    QCOMPARE(result.out, out);
    QCOMPARE(result.status, status);
    QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.contains(err),
             qPrintable(result.err));
}

void TstCliTool::transferPrintsAsI2ctransfer_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err"); // how standard error begins

    const QString ffs = QStringLiteral("0xff 0xff 0xff 0xff 0xff 0xff 0xff 0xff");
    QTest::newRow("read bytes") << QStringList{"transfer", "w1@0x48", "3", "r2"} << 0
                                << "0x50 0x00\n"
                                << "";
    QTest::newRow("verbose, after sending, a read with its bytes")
        << QStringList{"transfer", "-v", "w1@0x50", "0", "r8"} << 0
        << "msg 0: addr 0x50, write, len 1, buf 0x00\nmsg 1: addr 0x50, read, len 8, buf " + ffs +
               "\n"
        << "";
    QTest::newRow("verbose, the messages sent before a failure")
        << QStringList{"transfer", "-v", "w1@0x50", "0", "w1@0x51", "0"} << 1
        << "msg 0: addr 0x50, write, len 1, buf 0x00\n"
        << "Warning: only 1/2 messages were sent\npellan-i2c-cli: message 1 (Write 0x51)";
    QTest::newRow("verbose, the first message fails")
        << QStringList{"transfer", "-v", "w1@0x51", "0", "r1"} << 1 << ""
        << "Warning: only 0/2 messages were sent\n";
    QTest::newRow("failed read") << QStringList{"transfer", "w1@0x51", "0", "r1"} << 1 << ""
                                 << "Warning: only 0/2 messages were sent\n";
}

void TstCliTool::transferPrintsAsI2ctransfer()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    plug(ESimOrvModel::Orv7, L"T-1");

    const SResult result = run(arguments);
    QCOMPARE(result.out, out);
    QCOMPARE(result.status, status);
    QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.startsWith(err),
             qPrintable(result.err));
}

void TstCliTool::runsDeviceFile_data()
{
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("expected");

    QTest::newRow("all, text") << QStringList{} << false
                               << "Write 0x50\t0x04\t10 DE AD\n"
                                  "Write 0x50 [Generate Start]\t0x02\t10\n"
                                  "Read 0x50\t0x02\tDE AD\n"
                                  "Write 0x50 [Generate Start]\t0x02\t20\n"
                                  "Write [Generate Stop]\t0x01\tBE\n";
    QTest::newRow("a stop after a start") << QStringList{"open", "close"} << false
                                          << "Write 0x50 [Generate Start]\t0x02\t20\n"
                                             "Write [Generate Stop]\t0x01\tBE\n";
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
    const QString path = writeDevice(
        0x50, {writeCommand("Store", EI2cStartStop::Auto, {0x10, 0xDE, 0xAD}),
               writeCommand("Set Pointer", EI2cStartStop::Start, {0x10}),
               readCommand("Read Two", 2), writeCommand("Open", EI2cStartStop::Start, {0x20}),
               writeCommand("Close", EI2cStartStop::Stop, {0xBE})});

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
                           writeCommand("Continue", EI2cStartStop::Auto, {0x21, 0x43}),
                           writeCommand("Never", EI2cStartStop::Auto, {0x22, 0x44})});
    adapter->SetFault(ESimOrvFault::BusError, 1, 1);

    const SResult result = run({"run", path});
    QCOMPARE(result.status, 1);
    QCOMPARE(result.out, QStringLiteral("Write 0x50\t0x03\t20 42\n"
                                        "Write 0x50\t0x80  bus error\t21 43\n"));
    QVERIFY2(result.err.contains(QStringLiteral("the command \"Continue\" failed: Bus error")),
             qPrintable(result.err));
    const auto eeprom = adapter->DeviceAs<CSimEeprom24c02>(0x50);
    QCOMPARE(eeprom->Contents()[0x20], uint8_t(0x42));
    QCOMPARE(eeprom->Contents()[0x22], uint8_t(0xFF));
}

void TstCliTool::runRefusesBeforeTheBus_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QList<SI2cCommand>>("commands");
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("address"); // of the device file, 0x50 unless given

    const int orv3 = static_cast<int>(ESimOrvModel::Orv3);
    const int orv5 = static_cast<int>(ESimOrvModel::Orv5);
    const SI2cCommand store = writeCommand("Store", EI2cStartStop::Auto, {0x10, 0x42});
    QTest::newRow("labels differing in case")
        << orv3
        << QList<SI2cCommand>{writeCommand("Erase", EI2cStartStop::Auto, {0x00, 0xFF, 0xFF}), store,
                              writeCommand("erase ", EI2cStartStop::Auto, {0, 0, 0})}
        << QStringList{"store", "ERASE"}
        << "the label \"ERASE\" names 2 commands of \"FILE\": \"Erase\", \"erase \". Labels are "
           "told apart neither"
        << 0x50;
    QTest::newRow("no commands") << orv3 << QList<SI2cCommand>{} << QStringList{}
                                 << "the device file \"FILE\" has no commands, so there is nothing"
                                 << 0x50;
    QTest::newRow("address-only write on the orvane5, after another")
        << orv5 << QList<SI2cCommand>{store, writeCommand("Probe", EI2cStartStop::Auto, {})}
        << QStringList{}
        << "the command \"Probe\" writes the address without data, which the Orvane5 T-1 "
           "cannot send"
        << 0x50;
    QTest::newRow("read beyond the orvane5's limit")
        << orv5 << QList<SI2cCommand>{store, readCommand("Dump", 257)} << QStringList{}
        << "the command \"Dump\" reads 257 bytes, but the Orvane5 T-1 reads at most 256" << 0x50;

    // Stop and none continue what a start of the same run left open.
    const SI2cCommand open = writeCommand("Open", EI2cStartStop::Start, {0x10});
    const SI2cCommand stop = writeCommand("Close", EI2cStartStop::Stop, {0x01});
    const SI2cCommand more = writeCommand("More", EI2cStartStop::None, {0x02});
    const QString continues = QStringLiteral("which continues a transaction that a start opened, "
                                             "but no command before it in this run leaves one "
                                             "open");
    QTest::newRow("stop first") << orv3 << QList<SI2cCommand>{stop} << QStringList{}
                                << "the command \"Close\" of \"FILE\" has mode stop, " + continues
                                << 0x50;
    QTest::newRow("none after a complete write")
        << orv3 << QList<SI2cCommand>{store, more} << QStringList{}
        << "the command \"More\" of \"FILE\" has mode none, " + continues << 0x50;
    QTest::newRow("stop after a read, which ends with a stop")
        << orv3 << QList<SI2cCommand>{open, readCommand("Read", 1), stop} << QStringList{}
        << "the command \"Close\" of \"FILE\" has mode stop, " + continues << 0x50;
    QTest::newRow("stop after a stop")
        << orv3 << QList<SI2cCommand>{open, more, stop, stop} << QStringList{}
        << "\"Close\" of \"FILE\" has mode stop" << 0x50;
    QTest::newRow("labels put the stop before the start")
        << orv3 << QList<SI2cCommand>{open, stop} << QStringList{"close", "open"}
        << "the command \"Close\" of \"FILE\" has mode stop, " + continues << 0x50;
    QTest::newRow("reserved address")
        << orv3 << QList<SI2cCommand>{store} << QStringList{}
        << "the device file's address 0x00 is reserved: 0x00 to 0x07 and 0x78 to 0x7F" << 0x00;

    // Labels of a big file: ten are listed, control characters escaped.
    QList<SI2cCommand> many;
    for (int i = 0; i < 30; ++i)
        many.append(readCommand(qPrintable(QStringLiteral("Line\n%1\x1b[2J").arg(i)), 1));
    many.append(readCommand(qPrintable(QString(500, QLatin1Char('L'))), 1));
    QTest::newRow("unknown label in a big file")
        << orv3 << many << QStringList{"Nothing\tHere"}
        << "has no command \"Nothing\\tHere\". Give one of \"Line\\n0\\u001b[2J\", "
           "\"Line\\n1\\u001b[2J\", \"Line\\n2\\u001b[2J\", \"Line\\n3\\u001b[2J\", "
           "\"Line\\n4\\u001b[2J\", \"Line\\n5\\u001b[2J\", \"Line\\n6\\u001b[2J\", "
           "\"Line\\n7\\u001b[2J\", \"Line\\n8\\u001b[2J\", \"Line\\n9\\u001b[2J\" and 21 "
           "more."
        << 0x50;
}

void TstCliTool::runRefusesBeforeTheBus()
{
    QFETCH(int, model);
    QFETCH(QList<SI2cCommand>, commands);
    QFETCH(QStringList, labels);
    QFETCH(QString, message);
    QFETCH(int, address);
    const auto adapter = plug(static_cast<ESimOrvModel>(model), L"T-1");
    const QString path = writeDevice(static_cast<uint8_t>(address), commands);

    const SResult result = run(QStringList{"run", path} + labels);
    QCOMPARE(result.status, 2);
    QCOMPARE(result.out, QString());
    QVERIFY2(result.err.contains(QString(message).replace(QStringLiteral("FILE"), path)),
             qPrintable(result.err));
    QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
    QCOMPARE(adapter->ReceivedReports().size(), size_t(0));
}

void TstCliTool::runNamesFileThatIsNotUtf8()
{
    // "café" in Latin-1: the file exists, but its name is not UTF-8.
    const QByteArray name = QFile::encodeName(m_dir->path()) + "/caf\xe9.i2cdev";
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(fd >= 0);
    ::close(fd);

    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"),
                {"-c", "exec \"$0\" run \"$1$(printf '\\351').i2cdev\"", PELLAN_CLI_DEMO,
                 m_dir->filePath(QStringLiteral("caf"))});
    QVERIFY(shell.waitForFinished(30000));
    QCOMPARE(shell.exitCode(), 2);
    const QString err = QString::fromUtf8(shell.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("is not valid UTF-8")), qPrintable(err));
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
    QCOMPARE(lines.size(), 2);
    QCOMPARE(QJsonDocument::fromJson(lines[0].toUtf8()).object()[QStringLiteral("label")],
             QStringLiteral("One"));
    const QJsonObject lost = QJsonDocument::fromJson(lines[1].toUtf8()).object();
    QCOMPARE(lost[QStringLiteral("label")], QStringLiteral("Two"));
    QCOMPARE(lost[QStringLiteral("ok")], false);
    QVERIFY2(result.err.contains(QStringLiteral("lost the connection to the Orvane3 T-1 during "
                                                "\"Two\"")),
             qPrintable(result.err));
}

void TstCliTool::demoProgramRunsWithoutDisplay()
{
    const SResult result = runDemo({"-a", "OR5-200107", "detect"});
    QCOMPARE(result.status, 0);
    QCOMPARE(result.out, DEMO_GRID);
}

void TstCliTool::unwritableOutputFails_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<EOutput>("output");
    QTest::addColumn<QString>("reason");

    const QString full = QStringLiteral("No space left on device");
    const QString closed = QStringLiteral("Bad file descriptor");
    const QStringList orv3{"-a", "OR3-100042"};
    QTest::newRow("read, full") << orv3 + QStringList{"read", "0x50", "256"} << EOutput::Full
                                << full;
    QTest::newRow("read, closed") << orv3 + QStringList{"read", "0x50", "1"} << EOutput::Closed
                                  << closed;
    QTest::newRow("read, broken pipe") << orv3 + QStringList{"read", "0x50", "1"}
                                       << EOutput::BrokenPipe << QStringLiteral("Broken pipe");
    QTest::newRow("detect, full") << orv3 + QStringList{"detect"} << EOutput::Full << full;
    QTest::newRow("write, closed")
        << orv3 + QStringList{"write", "0x50", "00"} << EOutput::Closed << closed;
    QTest::newRow("help, closed") << QStringList{"--help"} << EOutput::Closed << closed;
    QTest::newRow("get, full") << orv3 + QStringList{"get", "0x48", "0"} << EOutput::Full << full;
    QTest::newRow("dump, closed") << orv3 + QStringList{"dump", "0x50", "i"} << EOutput::Closed
                                  << closed;
    QTest::newRow("transfer, broken pipe") << orv3 + QStringList{"transfer", "-v", "w1@0x50", "0"}
                                           << EOutput::BrokenPipe << QStringLiteral("Broken pipe");
    // Without --samples only the output can end it.
    QTest::newRow("watch, broken pipe")
        << orv3 + QStringList{"watch", "0x48", "2", "--interval", "10ms"} << EOutput::BrokenPipe
        << QStringLiteral("Broken pipe");
    QTest::newRow("watch, csv, full")
        << orv3 + QStringList{"watch", "--csv", "0x48", "2", "--interval", "10ms"} << EOutput::Full
        << full;
}

void TstCliTool::unwritableOutputFails()
{
    QFETCH(QStringList, arguments);
    QFETCH(EOutput, output);
    QFETCH(QString, reason);

    const SResult result = runDemo(arguments, output);
    QCOMPARE(result.status, 4);
    QCOMPARE(result.err,
             QStringLiteral("pellan-i2c-cli-demo: cannot write the output: %1.\n").arg(reason));
}

void TstCliTool::demoFaultsFromEnvironment_data()
{
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    const auto row = [](const char* name, const char* variable, QStringList arguments, int status,
                        const char* out, const char* err) {
        QTest::newRow(name) << QString::fromLatin1(variable)
                            << QStringList{"-a", "OR3-100042"} + arguments << status
                            << QString::fromLatin1(out) << QString::fromLatin1(err);
    };
    row("bus error", "PELLAN_SIM_FAULT=bus-error", {"write", "0x50", "00"}, 1,
        "Write 0x50\t0x80  bus error\t00\n", "failed: Bus error");
    row("arbitration lost", "PELLAN_SIM_FAULT=arbitration-lost", {"read", "0x48", "2"}, 1,
        "Read 0x48\t0x40  Arbitration lost\t\n", "Another master holds the bus");
    row("no answer", "PELLAN_SIM_FAULT=no-answer", {"read", "0x48", "2"}, 1,
        "Read 0x48\t0x00  Timeout\t\n", "did not answer in time");
    row("unplug", "PELLAN_SIM_FAULT=unplug", {"read", "0x48", "2"}, 3,
        "Read 0x48\t0x00  hid_read_timeout: unexpected poll error (device disconnected)\t\n",
        "lost the connection to the Orvane3 OR3-100042");
    // FILE holds three writes of one answer report each: the third fails.
    row("after two reports", "PELLAN_SIM_FAULT=bus-error:2", {"run", "FILE"}, 1,
        "Write 0x50\t0x02\t01\nWrite 0x50\t0x02\t02\nWrite 0x50\t0x80  bus error\t03\n",
        "the command \"Three\" failed: Bus error");
    row("unknown kind", "PELLAN_SIM_FAULT=short-circuit", {"list"}, 2, "",
        "PELLAN_SIM_FAULT=\"short-circuit\" is not KIND[:AFTER]");
    row("bad count", "PELLAN_SIM_FAULT=unplug:-1", {"list"}, 2, "", "is not KIND[:AFTER]");
    row("delay", "PELLAN_SIM_REPORT_DELAY_US=1000", {"read", "0x48", "2"}, 0, "17 80\n", "");
    row("bad delay", "PELLAN_SIM_REPORT_DELAY_US=1ms", {"list"}, 2, "",
        "PELLAN_SIM_REPORT_DELAY_US=\"1ms\" is not a number of microseconds");
}

void TstCliTool::demoFaultsFromEnvironment()
{
    QFETCH(QString, variable);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);

    const qsizetype file = arguments.indexOf(QStringLiteral("FILE"));
    if (file >= 0) {
        arguments[file] = writeDevice(0x50, {writeCommand("One", EI2cStartStop::Auto, {0x01}),
                                             writeCommand("Two", EI2cStartStop::Auto, {0x02}),
                                             writeCommand("Three", EI2cStartStop::Auto, {0x03})});
    }
    const SResult result = runDemo(arguments, EOutput::Normal, {variable});
    QCOMPARE(result.out, out);
    QCOMPARE(result.status, status);
    QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.contains(err),
             qPrintable(result.err));
}

void TstCliTool::lostAdapterStillPrintsItsObject_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<int>("sent"); // messages of a transfer that went

    QTest::newRow("read") << QStringList{"read", "0x48", "2"} << "PELLAN_SIM_FAULT=unplug" << -1;
    QTest::newRow("write") << QStringList{"write", "0x50", "00"} << "PELLAN_SIM_FAULT=unplug" << -1;
    QTest::newRow("detect") << QStringList{"detect"} << "PELLAN_SIM_FAULT=unplug:5" << -1;
    // The pointer went; the read found the adapter gone.
    QTest::newRow("get") << QStringList{"get", "0x48", "0", "2"} << "PELLAN_SIM_FAULT=unplug:1"
                         << -1;
    QTest::newRow("set") << QStringList{"set", "-r", "0x50", "0x10", "1"}
                         << "PELLAN_SIM_FAULT=unplug:1" << -1;
    QTest::newRow("dump") << QStringList{"dump", "0x50", "-r", "0-3"} << "PELLAN_SIM_FAULT=unplug:2"
                          << -1;
    QTest::newRow("transfer") << QStringList{"transfer", "w1@0x50", "0", "r2"}
                              << "PELLAN_SIM_FAULT=unplug:1" << 1;
}

void TstCliTool::lostAdapterStillPrintsItsObject()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, variable);
    QFETCH(int, sent);

    const SResult result =
        runDemo(QStringList{"-a", "OR3-100042", "--json"} + arguments, EOutput::Normal, {variable});
    QCOMPARE(result.status, 3);
    QVERIFY2(result.err.contains(QStringLiteral("lost the connection")), qPrintable(result.err));
    const QStringList lines = result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    const QJsonObject object = QJsonDocument::fromJson(lines[0].toUtf8()).object();
    QCOMPARE(object[QStringLiteral("type")].toString(),
             arguments[0] == QLatin1String("detect") ? QStringLiteral("search") : arguments[0]);
    QCOMPARE(object[QStringLiteral("ok")], false);
    if (sent >= 0) {
        const QJsonArray messages = object[QStringLiteral("messages")].toArray();
        QCOMPARE(messages.size(), sent + 1);
        QCOMPARE(messages[sent - 1].toObject()[QStringLiteral("ok")], true);
        QCOMPARE(messages[sent].toObject()[QStringLiteral("ok")], false);
    }
}

void TstCliTool::faultStrikesInsideALongRead_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("bytes"); // read before the fault

    // 4096 bytes come in 67 reports of up to 62 bytes; AFTER counts them.
    QTest::newRow("no answer after 10 reports") << "no-answer:10" << 1 << 620;
    QTest::newRow("bus error after 10 reports") << "bus-error:10" << 1 << 620;
    QTest::newRow("arbitration lost at the last report") << "arbitration-lost:66" << 1 << 4092;
    QTest::newRow("unplug after 10 reports") << "unplug:10" << 3 << 0;
    QTest::newRow("after the whole read") << "bus-error:67" << 0 << 4096;
}

void TstCliTool::faultStrikesInsideALongRead()
{
    QFETCH(QString, fault);
    QFETCH(int, status);
    QFETCH(int, bytes);

    const SResult result = runDemo({"-a", "OR3-100042", "--json", "read", "0x50", "4096"},
                                   EOutput::Normal, {QStringLiteral("PELLAN_SIM_FAULT=") + fault});
    QCOMPARE(result.status, status);
    const QJsonObject object = QJsonDocument::fromJson(result.out.toUtf8()).object();
    const QString data = object[QStringLiteral("data")].toString();
    QCOMPARE(data.isEmpty() ? 0 : (data.size() + 1) / 3, bytes);
}

QTEST_GUILESS_MAIN(TstCliTool)
#include "tst_clitool.moc"
