#include "projects/i2cdevicefile.h"
#include "tests/support/fifowatchdog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QString EXAMPLE_PATH = QStringLiteral(":/examples/bh1750.i2cdev");
const QString BAD_ADDRESS = QStringLiteral("Invalid or missing address");
const QString BAD_COUNT = QStringLiteral("Command 1: invalid read count");
const QString BAD_WRITE = QStringLiteral("Command 1: invalid mode or data");

enum ESource { Content, Directory, Missing, HugeFile, Fifo, LinkToFifo, LinkToDirectory };
enum EFailure {
    MissingFolder,
    ParentIsFile,
    ReadOnlyFolder,
    DiskFull,
    TooLarge,
    AddressTooHigh,
    NoReadCount,
    ReadCountTooHigh
};

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray toBytes(const std::vector<uint8_t>& data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), qsizetype(data.size()));
}

SI2cCommand makeWrite(const QString& label, std::vector<uint8_t> data,
                      EI2cStartStop mode = EI2cStartStop::Auto)
{
    return {label, EI2cCommandType::Write, mode, std::move(data), 1};
}

SI2cCommand makeRead(const QString& label, int32_t count)
{
    return {label, EI2cCommandType::Read, EI2cStartStop::Auto, {}, count};
}

QByteArray writeLine(const char* mode, const char* data)
{
    return QByteArray(R"({ "label": "", "type": "write", "mode": ")") + mode + R"(", "data": ")" +
           data + "\" }";
}

QByteArray readLine(const char* count)
{
    return QByteArray(R"({ "label": "", "type": "read", "count": )") + count + " }";
}

} // namespace

class TestI2cDeviceFile : public QObject {
    Q_OBJECT

private slots:
    void example_data();
    void example();
    void layoutAndRoundTrip();
    void load_data();
    void load();
    void unknownKeysKept_data();
    void unknownKeysKept();
    void badInput_data();
    void badInput();
    void saveFailure_data();
    void saveFailure();
    void moveCommand_data();
    void moveCommand();
    void hasCommandLabel_data();
    void hasCommandLabel();
    void hex_data();
    void hex();
    void metaType();

private:
    QTemporaryDir m_dir;
};

void TestI2cDeviceFile::example_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("map");
    QTest::addColumn<int>("commands");
    QTest::addColumn<SI2cCommand>("last");

    QTest::newRow("BH1750") << EXAMPLE_PATH << "BH1750" << 0x23 << "" << 8
                            << makeRead(QStringLiteral("Read Measurement"), 2);
    QTest::newRow("LM75") << QStringLiteral(":/examples/lm75.i2cdev") << "LM75" << 0x48 << "LM75"
                          << 4 << makeWrite(QStringLiteral("Wake Up"), {0x01, 0x00});
}

// The examples that a first start installs load, and save byte for byte as
// they ship.
void TestI2cDeviceFile::example()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(int, address);
    QFETCH(QString, map);
    QFETCH(int, commands);
    QFETCH(SI2cCommand, last);

    const QByteArray original = readFile(path);
    CI2cDeviceFile device;
    QVERIFY2(device.Load(path), qPrintable(device.GetLastError()));
    QCOMPARE(device.GetName(), name);
    QCOMPARE(device.GetAddress(), uint8_t(address));
    QCOMPARE(device.GetMap(), map);
    QCOMPARE(device.GetCommands().size(), commands);
    QCOMPARE(device.GetCommands().last(), last);

    const QString saved = m_dir.filePath(QStringLiteral("example.i2cdev"));
    QVERIFY2(device.SaveAs(saved), qPrintable(device.GetLastError()));
    QCOMPARE(device.GetFilePath(), saved);
    QCOMPARE(readFile(saved), original);
}

// The writer's layout to the character, texts escaped on one line; the file
// loads back to the same contents and saves again to the same bytes.
void TestI2cDeviceFile::layoutAndRoundTrip()
{
    CI2cDeviceFile device;
    device.SetName(QStringLiteral(R"(Say "hi" C:\)"));
    device.SetAddress(0x5C);
    device.SetDescription(QStringLiteral("Tab\tLF\nCRLF\r\nctl\x01\x1f Grüße 温度 🌡"));
    device.AddCommand(makeWrite(QStringLiteral("S"), {0x00, 0xAB}, EI2cStartStop::Start));
    device.AddCommand(makeWrite(QString(), {}, EI2cStartStop::None));
    device.AddCommand(makeRead(QStringLiteral("R"), 65535));
    device.AddCommand(makeWrite(QStringLiteral("X"), {0x05}, static_cast<EI2cStartStop>(7)));
    const QString path = m_dir.filePath(QStringLiteral("layout.i2cdev"));
    QVERIFY(device.SaveAs(path));
    const QByteArray bytes = readFile(path);
    QCOMPARE(bytes, QByteArray(R"({
    "version": 1,
    "name": "Say \"hi\" C:\\",
    "address": "0x5C",
    "description": "Tab\tLF\nCRLF\r\nctl\u0001\u001f Grüße 温度 🌡",
    "commands": [
        { "label": "S", "type": "write", "mode": "start", "data": "00 AB" },
        { "label": "", "type": "write", "mode": "none", "data": "" },
        { "label": "R", "type": "read", "count": 65535 },
        { "label": "X", "type": "write", "mode": "auto", "data": "05" }
    ]
}
)"));

    CI2cDeviceFile loaded;
    QVERIFY2(loaded.Load(path), qPrintable(loaded.GetLastError()));
    QCOMPARE(loaded.GetName(), device.GetName());
    QCOMPARE(loaded.GetAddress(), device.GetAddress());
    QCOMPARE(loaded.GetDescription(), device.GetDescription());
    QList<SI2cCommand> commands = device.GetCommands();
    commands[3].mode = EI2cStartStop::Auto;
    QCOMPARE(loaded.GetCommands(), commands);
    QVERIFY(loaded.Save());
    QCOMPARE(readFile(path), bytes);
}

// Each file loads or fails with the text; a loaded one, saved again, holds
// the expected text.
void TestI2cDeviceFile::load_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QByteArray>("saved");
    // Single quotes stand for double quotes.
    auto file = [](const char* name, const char* json, const QString& error,
                   const QByteArray& saved = {}) {
        QTest::newRow(name) << QByteArray(json).replace('\'', '"') << error << saved;
    };
    auto command = [&](const char* name, const char* json, const QString& error,
                       const QByteArray& saved = {}) {
        file(name, "{'address': 1, 'commands': [" + QByteArray(json) + "]}", error, saved);
    };

    file("address 23", "{'address': '23'}", {}, R"("address": "0x23")");
    file("address blanks", R"({'address': ' 0x23\t'})", {}, R"("address": "0x23")");
    file("address 0X", R"({'address': '\n0X23 '})", {}, R"("address": "0x23")");
    file("address 35", "{'address': 35}", {}, R"("address": "0x23")");
    file("address 0x80", "{'address': '0x80'}", BAD_ADDRESS);
    file("address 128", "{'address': 128}", BAD_ADDRESS);
    file("address 12.5", "{'address': 12.5}", BAD_ADDRESS);
    file("address true", "{'address': true}", BAD_ADDRESS);
    file("address null", "{'address': null}", BAD_ADDRESS);
    file("address missing", "{'name': 'x'}", BAD_ADDRESS);
    file("address 0x0x23", "{'address': '0x0x23'}", BAD_ADDRESS);
    file("address long", "{'address': '10000000000000000000023'}", BAD_ADDRESS);
    file("version missing", "{'address': 1}", {}, R"("version": 1,)");
    file("version 0", "{'version': 0, 'address': 1}", {}, R"("version": 1,)");
    file("version 1", "{'version': 1, 'address': 1}", {}, R"("version": 1,)");
    file("version 2", "{'version': 2, 'address': 1}",
         QStringLiteral("File version 2 is newer than supported (1)"));
    file("no commands", "{'address': 1, 'commands': {}}", {}, "    \"commands\": []\n}\n");
    file("unknown keys",
         "{'address': 1, 'extra': 2, 'commands': [{'type': 'read', 'count': 4, "
         "'extra': 3}]}",
         {}, R"({ "label": "", "type": "read", "count": 4, "extra": 3 })");
    file("map after description", "{'address': 1, 'description': 'd', 'map': 'LM75'}", {},
         "\"description\": \"d\",\n    \"map\": \"LM75\",\n    \"commands\"");
    file("map empty", "{'address': 1, 'map': ''}", {}, "\"description\": \"\",\n    \"commands\"");
    file("map not text", "{'address': 1, 'map': 5}", QStringLiteral("Invalid map name"));
    command("type READ", "{'type': 'READ', 'count': 2}", {}, readLine("2"));
    command("type Write", "{'type': 'Write', 'data': '0x10'}", {}, writeLine("auto", "10"));
    command("type wr", "{'type': 'wr'}", QStringLiteral("Command 1: unknown type \"wr\""));
    command("type missing", "{'label': 'x'}", QStringLiteral("Command 1: unknown type \"\""));
    command("not an object", "5", QStringLiteral("Command 1: unknown type \"\""));
    command("second fails", "{'type': 'read', 'count': 1}, {'type': 'x'}",
            QStringLiteral("Command 2: unknown type \"x\""));
    command("count 1", "{'type': 'read', 'count': 1}", {}, readLine("1"));
    command("count 65535", "{'type': 'read', 'count': 65535}", {}, readLine("65535"));
    command("count 0", "{'type': 'read', 'count': 0}", BAD_COUNT);
    command("count 65536", "{'type': 'read', 'count': 65536}", BAD_COUNT);
    command("count 2^32+2", "{'type': 'read', 'count': 4294967298}", BAD_COUNT);
    command("count missing", "{'type': 'read'}", BAD_COUNT);
    command("read ignores mode, data", "{'type': 'read', 'count': 3, 'mode': 7, 'data': 'z'}", {},
            readLine("3"));
    command("mode missing", "{'type': 'write', 'data': '01'}", {}, writeLine("auto", "01"));
    command("mode STOP", "{'type': 'write', 'mode': 'STOP'}", {}, writeLine("stop", ""));
    command("mode empty", "{'type': 'write', 'mode': ''}", BAD_WRITE);
    command("mode 2", "{'type': 'write', 'mode': 2}", BAD_WRITE);
    command("data empty", "{'type': 'write', 'data': ''}", {}, writeLine("auto", ""));
    command("data 1 2 3", "{'type': 'write', 'data': '1 2 3'}", {}, writeLine("auto", "01 02 03"));
    command("data 123", "{'type': 'write', 'data': '123'}", BAD_WRITE);
    command("data 10", "{'type': 'write', 'data': 10}", BAD_WRITE);
    command("data null", "{'type': 'write', 'data': null}", BAD_WRITE);
    command("data array", "{'type': 'write', 'data': ['10']}", BAD_WRITE);
    command("data object", "{'type': 'write', 'data': {}}", BAD_WRITE);
    command("data false", "{'type': 'write', 'data': false}", BAD_WRITE);
}

void TestI2cDeviceFile::load()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, error);
    QFETCH(QByteArray, saved);

    const QString path = m_dir.filePath(QStringLiteral("load.i2cdev"));
    QVERIFY(writeFile(path, json));
    CI2cDeviceFile device;
    QCOMPARE(device.Load(path), error.isEmpty());
    if (!error.isEmpty()) {
        QCOMPARE(device.GetLastError(), error);
        return;
    }
    for (const SI2cCommand& command : device.GetCommands()) {
        if (command.type == EI2cCommandType::Read)
            QVERIFY(command.mode == EI2cStartStop::Auto && command.data.empty());
        else
            QCOMPARE(command.count, 1);
    }
    QVERIFY(device.Save());
    const QByteArray written = readFile(path);
    QVERIFY2(written.contains(saved), written.constData());
}

void TestI2cDeviceFile::unknownKeysKept_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("moveUp"); // the command moved up before saving, -1 none
    QTest::addColumn<QByteArray>("saved");
    // Other tools' keys stay, in their order, after the known ones: of the
    // file and of each command, values as written but compact.
    QTest::newRow("top level") << QByteArray(R"({ "author": "Ann", "version": 1,
        "address": "0x23", "zeta": { "b": 1, "a": [1, 2.50, "x { } , y"] },
        "name": "N", "a\"b": null })")
                               << -1 << QByteArray(R"({
    "version": 1,
    "name": "N",
    "address": "0x23",
    "description": "",
    "commands": [],
    "author": "Ann",
    "zeta": {"b":1,"a":[1,2.50,"x { } , y"]},
    "a\"b": null
}
)");
    const QByteArray commands = R"({ "address": 1, "commands": [
        { "note": "first", "type": "read", "count": 2 },
        { "type": "write", "data": "01" },
        { "type": "read", "count": 1, "note": "third", "mode": "auto", "x": [ ] } ] })";
    const QByteArray first = R"({ "label": "", "type": "read", "count": 2, "note": "first" })";
    const QByteArray second = R"({ "label": "", "type": "write", "mode": "auto", "data": "01" })";
    const QByteArray third = R"({ "label": "", "type": "read", "count": 1, "note": "third", )"
                             R"("x": [] })";
    const QByteArray head = "{\n    \"version\": 1,\n    \"name\": \"\",\n    \"address\": "
                            "\"0x01\",\n    \"description\": \"\",\n    \"commands\": [\n";
    QTest::newRow("commands") << commands << -1
                              << head + "        " + first + ",\n        " + second +
                                     ",\n        " + third + "\n    ]\n}\n";
    QTest::newRow("moved with their command") << commands << 2
                                              << head + "        " + first + ",\n        " + third +
                                                     ",\n        " + second + "\n    ]\n}\n";
}

void TestI2cDeviceFile::unknownKeysKept()
{
    QFETCH(QByteArray, json);
    QFETCH(int, moveUp);
    QFETCH(QByteArray, saved);

    const QString path = m_dir.filePath(QStringLiteral("unknown.i2cdev"));
    QVERIFY(writeFile(path, json));
    CI2cDeviceFile device;
    QVERIFY2(device.Load(path), qPrintable(device.GetLastError()));
    if (moveUp >= 0)
        QVERIFY(device.MoveCommand(moveUp, -1));
    QVERIFY(device.Save());
    QCOMPARE(readFile(path), saved);
    // Stable under load and save.
    QVERIFY(device.Load(path));
    QVERIFY(device.Save());
    QCOMPARE(readFile(path), saved);
    // A removed command takes its keys along; a new one has none.
    if (device.GetCommands().isEmpty())
        return;
    device.RemoveCommand(0);
    device.AddCommand(makeRead(QStringLiteral("new"), 3));
    QVERIFY(device.Save());
    const QByteArray edited = readFile(path);
    QVERIFY(!edited.contains("first"));
    QVERIFY(edited.contains(R"("count": 1, "note": "third", "x": [] },)"));
    QVERIFY(edited.endsWith(R"({ "label": "new", "type": "read", "count": 3 })"
                            "\n    ]\n}\n"));
}

void TestI2cDeviceFile::badInput_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error"); // start of the text

    const QString json = QStringLiteral("JSON error at offset ");
    QByteArray binary;
    for (int i = 255; i >= 0; --i)
        binary += char(i);
    QTest::newRow("empty") << int(Content) << QByteArray() << json;
    QTest::newRow("binary") << int(Content) << binary << json;
    QTest::newRow("truncated") << int(Content) << readFile(EXAMPLE_PATH).left(500) << json;
    QTest::newRow("deep nesting") << int(Content)
                                  << R"({"address": 1, "x": )" + QByteArray(100000, '[') << json;
    QTest::newRow("1e400") << int(Content) << QByteArray(R"({"address": 1e400})") << QString();
    QTest::newRow("invalid UTF-8")
        << int(Content) << QByteArray("{\"address\": 1, \"a\": \"\xc0\x80\"}") << json;
    QTest::newRow("second command bad")
        << int(Content)
        << QByteArray(R"({"name": "New", "address": 5, "description": "d", "commands": [)"
                      R"({"type": "read", "count": 1}, {"type": "write", "mode": "x"}]})")
        << QStringLiteral("Command 2: invalid mode or data");
    QTest::newRow("top-level array")
        << int(Content) << QByteArray(R"([{"address": 1}])") << BAD_ADDRESS;
    const QString notRegular = QStringLiteral("Not a regular file");
    QTest::newRow("directory") << int(Directory) << QByteArray() << notRegular;
    QTest::newRow("link to a directory") << int(LinkToDirectory) << QByteArray() << notRegular;
    QTest::newRow("FIFO") << int(Fifo) << QByteArray() << notRegular;
    QTest::newRow("link to a FIFO") << int(LinkToFifo) << QByteArray() << notRegular;
    QTest::newRow("missing") << int(Missing) << QByteArray() << QStringLiteral("No such file");
    QTest::newRow("huge") << int(HugeFile) << QByteArray() << QStringLiteral("File too large");
}

void TestI2cDeviceFile::badInput()
{
    QFETCH(int, source);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.i2cdev"));
    if (source == Content || source == HugeFile)
        QVERIFY(writeFile(path, bytes));
    if (source == HugeFile)
        QVERIFY(QFile::resize(path, qint64(1) << 32)); // sparse: takes no space
    const QString target = dir.filePath(QStringLiteral("target"));
    if (source == Directory)
        QVERIFY(QDir().mkdir(path));
    if (source == LinkToDirectory)
        QVERIFY(QDir().mkdir(target) && QFile::link(target, path));
    if (source == Fifo || source == LinkToFifo) {
        const QString fifo = source == Fifo ? path : target;
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        if (source == LinkToFifo)
            QVERIFY(QFile::link(target, path));
    }

    CI2cDeviceFile device;
    QVERIFY(device.Load(EXAMPLE_PATH));
    const CI2cDeviceFile before = device;
    testsupport::CFifoWatchdog watchdog(source == Fifo ? path : target);
    QVERIFY(!device.Load(path));
    QVERIFY2(!watchdog.finish(), "Load blocked on the FIFO");
    QVERIFY2(device.GetLastError().startsWith(error), qPrintable(device.GetLastError()));
    QVERIFY(!device.GetLastError().isEmpty());
    // Only the path and the error change.
    QCOMPARE(device.GetFilePath(), path);
    QCOMPARE(device.GetName(), before.GetName());
    QCOMPARE(device.GetAddress(), before.GetAddress());
    QCOMPARE(device.GetDescription(), before.GetDescription());
    QCOMPARE(device.GetCommands(), before.GetCommands());
}

void TestI2cDeviceFile::saveFailure_data()
{
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("error");
    QTest::newRow("missing folder") << int(MissingFolder) << "";
    QTest::newRow("parent is a file") << int(ParentIsFile) << "";
    QTest::newRow("read-only folder") << int(ReadOnlyFolder) << "";
    QTest::newRow("disk full") << int(DiskFull) << "";
    // Never a file that the reader would refuse.
    QTest::newRow("larger than a file may be")
        << int(TooLarge)
        << "Not saved: with its 240000 commands the file would be larger than 16777216 bytes";
    QTest::newRow("address above 0x7F") << int(AddressTooHigh) << "the address 0x80 is above";
    QTest::newRow("read of no bytes") << int(NoReadCount) << "command 2 reads 0 bytes";
    QTest::newRow("read of 65536 bytes")
        << int(ReadCountTooHigh) << "command 2 reads 65536 bytes, not 1 to 65535";
}

// The previous file stays as it was and no temporary file is left behind.
void TestI2cDeviceFile::saveFailure()
{
    QFETCH(int, failure);
    QFETCH(QString, error);

    QTemporaryDir dir;
    const QString oldPath = dir.filePath(QStringLiteral("old.i2cdev"));
    const QByteArray oldBytes = readFile(EXAMPLE_PATH);
    QVERIFY(writeFile(oldPath, oldBytes));
    const QString path = failure == MissingFolder  ? dir.filePath(QStringLiteral("no/new.i2cdev"))
                         : failure == ParentIsFile ? oldPath + QStringLiteral("/new.i2cdev")
                                                   : oldPath;
    CI2cDeviceFile device;
    // An address-only write without a label takes 70 bytes.
    for (int i = 0; failure == TooLarge && i < 240'000; ++i)
        device.AddCommand(makeWrite(QString(), {}));
    if (failure == AddressTooHigh)
        device.SetAddress(0x80);
    if (failure == NoReadCount || failure == ReadCountTooHigh) {
        device.AddCommand(makeRead(QStringLiteral("fine"), 1));
        device.AddCommand(makeRead(QStringLiteral("bad"), failure == NoReadCount ? 0 : 65536));
    }
    bool saved = true;
    if (failure == ReadOnlyFolder) {
        const auto permissions = QFile::permissions(dir.path());
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
        QFile probe(dir.filePath(QStringLiteral("probe")));
        const bool bypassed = probe.open(QIODevice::WriteOnly);
        saved = !bypassed && device.SaveAs(path);
        QFile::setPermissions(dir.path(), permissions);
        if (bypassed)
            QSKIP("folder permissions do not bind this user (root)");
    } else if (failure == DiskFull) {
        // A file size limit cuts the write short as a full disk does.
        rlimit limit{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlimit tiny{64, limit.rlim_max};
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
        saved = device.SaveAs(path);
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, previous);
    } else {
        saved = device.SaveAs(path);
    }
    QVERIFY(!saved);
    QVERIFY(!device.GetLastError().isEmpty());
    QVERIFY2(device.GetLastError().contains(error), qPrintable(device.GetLastError()));
    QCOMPARE(readFile(oldPath), oldBytes);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("old.i2cdev")});
}

void TestI2cDeviceFile::moveCommand_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("delta");
    QTest::addColumn<bool>("moved");
    QTest::addColumn<QString>("order");

    QTest::newRow("0, 2") << 0 << 2 << true << "BCAD";
    QTest::newRow("3, -3") << 3 << -3 << true << "DABC";
    QTest::newRow("1, 0") << 1 << 0 << true << "ABCD";
    QTest::newRow("1, 5") << 1 << 5 << false << "ABCD";
    QTest::newRow("1, -2") << 1 << -2 << false << "ABCD";
    QTest::newRow("overflow") << 1 << std::numeric_limits<int>::max() << false << "ABCD";
}

void TestI2cDeviceFile::moveCommand()
{
    QFETCH(int, index);
    QFETCH(int, delta);
    QFETCH(bool, moved);
    QFETCH(QString, order);

    CI2cDeviceFile device;
    for (const QChar label : QStringLiteral("ABCD"))
        device.AddCommand(makeRead(label, 1));
    QCOMPARE(device.MoveCommand(index, delta), moved);
    QString labels;
    for (const SI2cCommand& command : device.GetCommands())
        labels += command.label;
    QCOMPARE(labels, order);
}

void TestI2cDeviceFile::hasCommandLabel_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("except");
    QTest::addColumn<bool>("found");

    QTest::newRow("trimmed, any case") << " power on\t" << -1 << true;
    QTest::newRow("except itself") << " power on\t" << 0 << false;
    QTest::newRow("except another") << "POWER ON" << 1 << true;
    QTest::newRow("stored label trimmed") << "reset" << -1 << true;
    QTest::newRow("prefix") << "Power" << -1 << false;
}

void TestI2cDeviceFile::hasCommandLabel()
{
    QFETCH(QString, label);
    QFETCH(int, except);
    QFETCH(bool, found);

    CI2cDeviceFile device;
    device.AddCommand(makeWrite(QStringLiteral("Power On"), {1}));
    device.AddCommand(makeWrite(QStringLiteral(" Reset "), {7}));
    QCOMPARE(device.HasCommandLabel(label, except), found);
}

// Accepted texts give the bytes, and BytesToHex writes them back canonically.
void TestI2cDeviceFile::hex_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("canonical");

    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    QTest::newRow("separators") << "01 02,03;0x04 5" << true << "01 02 03 04 05";
    QTest::newRow("prefixed pairs") << "0x1234" << true << "12 34";
    QTest::newRow("pairs") << "1234" << true << "12 34";
    QTest::newRow("odd digits") << "ABC" << false << "";
    QTest::newRow("prefix only") << "0x" << false << "";
    QTest::newRow("not hex") << "G1" << false << "";
    QTest::newRow("late failure") << "01 02 0g" << false << "";
    QTest::newRow("double prefix") << "0x0x12" << false << "";
    QTest::newRow("wide digits") << QStringLiteral("１２") << false << "";
    QTest::newRow("empty") << "" << true << "";
    QTest::newRow("only separators") << " ,;\t\n" << true << "";
    QTest::newRow("single digits") << ",,0XaB;; 0xc f\r\n" << true << "AB 0C 0F";
    QTest::newRow("all values") << QString::fromLatin1(all.toHex(',')) << true
                                << QString::fromLatin1(all.toHex(' ').toUpper());
}

void TestI2cDeviceFile::hex()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, canonical);

    const auto bytes = CI2cDeviceFile::HexToBytes(text);
    QCOMPARE(bytes.has_value(), valid);
    if (!bytes)
        return;
    QCOMPARE(CI2cDeviceFile::BytesToHex(*bytes), canonical);
    QCOMPARE(toBytes(CI2cDeviceFile::HexToBytes(canonical).value()), toBytes(*bytes));
}

void TestI2cDeviceFile::metaType()
{
    const SI2cCommand command = makeWrite(QStringLiteral("w"), {1, 2}, EI2cStartStop::Stop);
    QCOMPARE(QVariant::fromValue(command).value<SI2cCommand>(), command);
    QVERIFY(QMetaType::fromName("SI2cCommand").isValid());
}

QTEST_GUILESS_MAIN(TestI2cDeviceFile)
#include "tst_i2cdevicefile.moc"
