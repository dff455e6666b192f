// Register maps through the demo program, as a script uses them: the shipped
// maps on the demo's chips (MCP9808 0x18, INA219 0x40, LM75 0x48, TMP102
// 0x49) and maps of the test's own on its 24C02 EEPROM (0x50). Every call of
// the demo starts with fresh chips, so a write shows in its own read-back.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct SResult {
    int status = -1;
    QString out;
    QString err;
};

SResult runDemo(const QStringList& arguments, const QStringList& environment = {},
                const QString& folder = QString())
{
    QProcess process;
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    variables.remove(QStringLiteral("DISPLAY"));
    for (const QString& variable : environment)
        variables.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    process.setProcessEnvironment(variables);
    if (!folder.isEmpty())
        process.setWorkingDirectory(folder);
    process.start(QStringLiteral(PELLAN_CLI_DEMO), arguments);
    SResult result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("did not end in time");
        return result;
    }
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Arrays, a little-endian signed scaled word, a page and reads that run
// across registers, on the EEPROM, whose memory holds whatever is written.
const QByteArray EEPROM_MAP = R"({
    "version": 1, "device": "EE", "auto_increment": true,
    "pages": [ { "name": "P1", "select": "BANK", "value": "0x01" } ],
    "registers": [
        { "name": "CELL", "address": "0x00", "count": 4, "stride": 1,
          "fields": [ { "name": "LO", "bits": "3:0" },
                      { "name": "HI", "bits": "7:4", "values": { "0xF": "erased" } } ] },
        { "name": "WORD", "address": "0x04", "bytes": 2, "byte_order": "little",
          "fields": [ { "name": "V", "bits": "15:0", "signed": true, "scale": 0.01, "unit": "V" } ] },
        { "name": "BANK", "address": "0x7F" },
        { "name": "PAGED", "address": "0x20", "page": "P1" },
        { "name": "LOG", "address": "0x30", "access": "w" }
    ]
})";

const QString LM75_TEXT = QStringLiteral("TEMP (0x00) = 0x1780\n"
                                         "  T = 23.5 °C\n"
                                         "CONF (0x01) = 0x00\n"
                                         "  SHUTDOWN = normal\n"
                                         "  OS_COMP_INT = comparator\n"
                                         "  OS_POL = active low\n"
                                         "  F_QUE = 1 fault\n"
                                         "THYST (0x02) = 0x4B00\n"
                                         "  T = 75.0 °C\n"
                                         "TOS (0x03) = 0x5000\n"
                                         "  T = 80.0 °C\n");

} // namespace

class TstCliMaps : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void refusedBeforeTheBus_data();
    void refusedBeforeTheBus();
    void watchField_data();
    void watchField();
    void mapCommands();
    void headerCompiles();
    void userMapBesideProjectsFolder();

private:
    QTemporaryDir m_folder;
    QString m_eeprom;
};

void TstCliMaps::initTestCase()
{
    QVERIFY(m_folder.isValid());
    m_eeprom = m_folder.filePath(QStringLiteral("ee.i2cmap"));
    QVERIFY(writeFile(m_eeprom, EEPROM_MAP));
    // The LM75's temperature shown without decimals.
    QVERIFY(writeFile(m_folder.filePath(QStringLiteral("whole.i2cmap")), R"({"device": "WHOLE",
        "registers": [{"name": "TEMP", "address": 0, "bytes": 2, "access": "r",
        "fields": [{"name": "T", "bits": "15:7", "signed": true, "scale": 0.5, "decimals": 0}]}]})"));
}

void TstCliMaps::commands_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err"); // a part of it; empty: none at all

    const QStringList or3 = {"-a", "OR3-100042"};
    const QStringList or5 = {"-a", "OR5-200107"};
    const QStringList or7 = {"-a", "OR7-300311"};
    const QString lm75 = QStringLiteral("--map=LM75");

    QTest::newRow("regs, text") << or3 + QStringList{"regs", "0x48", lm75} << "" << 0 << LM75_TEXT
                                << "";
    QTest::newRow("regs, JSON")
        << or5 + QStringList{"--json", "regs", "0x49", "--map", "tmp102"} << "" << 0
        << "{\"register\":\"TEMP\",\"address\":0,\"raw\":\"0x1800\",\"fields\":{\"T\":{\"value\":"
           "24,"
           "\"text\":\"24.0000 °C\"},\"EM\":{\"value\":\"normal\",\"text\":\"normal\"}}}\n"
           "{\"register\":\"CONF\",\"address\":1,\"raw\":\"0x60A0\",\"fields\":{\"OS\":{\"value\":"
           "0,"
           "\"text\":\"0\"},\"R\":{\"value\":\"12 bits\",\"text\":\"12 bits\"},\"F\":{\"value\":"
           "\"1 fault\",\"text\":\"1 fault\"},\"POL\":{\"value\":\"active low\",\"text\":\"active "
           "low\"},\"TM\":{\"value\":\"comparator\",\"text\":\"comparator\"},\"SD\":{\"value\":"
           "\"continuous\",\"text\":\"continuous\"},\"CR\":{\"value\":\"4 Hz\",\"text\":\"4 Hz\"},"
           "\"AL\":{\"value\":1,\"text\":\"1\"},\"EM\":{\"value\":\"normal\",\"text\":\"normal\"}}}"
           "\n"
           "{\"register\":\"T_LOW\",\"address\":2,\"raw\":\"0x4B00\",\"fields\":{\"T\":{\"value\":"
           "75,"
           "\"text\":\"75.0000 °C\"}}}\n"
           "{\"register\":\"T_HIGH\",\"address\":3,\"raw\":\"0x5000\",\"fields\":{\"T\":{\"value\":"
           "80,"
           "\"text\":\"80.0000 °C\"}}}\n"
        << "";
    // Arrays, little-endian, a page selected before its register, one read
    // across registers; the write-only LOG is left out.
    QString cells;
    for (int i = 0; i < 4; ++i) {
        cells +=
            QStringLiteral(
                R"({"register":"CELL%1","address":%1,"raw":"0xFF","fields":{"LO":{"value":15,"text":"15"},"HI":{"value":"erased","text":"erased"}}})"
                "\n")
                .arg(i);
    }
    QTest::newRow("regs, own map")
        << or7 + QStringList{"--json", "regs", "0x50", "--map", m_eeprom} << "" << 0
        << cells +
               R"({"register":"WORD","address":4,"raw":"0xFFFF","fields":{"V":{"value":-0.01,"text":"-0.01 V"}}}
{"register":"BANK","address":127,"raw":"0xFF","fields":{}}
{"register":"PAGED","address":32,"raw":"0xFF","fields":{}}
)"
        << "";
    QTest::newRow("get field") << or3 + QStringList{"get", "0x48", "TEMP.T", lm75} << "" << 0
                               << "23.5 °C\n"
                               << "";
    QTest::newRow("get register, any case")
        << or5 + QStringList{"get", "0x48", "temp", "--map", "lm75"} << "" << 0 << "0x17 0x80\n"
        << "";
    QTest::newRow("get ID, JSON")
        << or7 + QStringList{"--json", "get", "0x18", "MANUF_ID", "--map", "MCP9808"} << "" << 0
        << "{\"register\":\"MANUF_ID\",\"address\":6,\"raw\":\"0x0054\",\"fields\":{}}\n"
        << "";
    QTest::newRow("write-only field, JSON: no value")
        << or7 + QStringList{"--json", "get", "0x40", "CONFIG", "--map", "INA219"} << "" << 0
        << "{\"register\":\"CONFIG\",\"address\":0,\"raw\":\"0x399F\",\"fields\":{\"RST\":{"
           "\"value\":null,\"text\":\"write-only\"},\"BRNG\":{\"value\":\"32 V\",\"text\":\"32 "
           "V\"},\"PG\":{\"value\":\"320 mV\",\"text\":\"320 mV\"},\"BADC\":{\"value\":\"12 "
           "bit\",\"text\":\"12 bit\"},\"SADC\":{\"value\":\"12 bit\",\"text\":\"12 bit\"},"
           "\"MODE\":{\"value\":\"shunt and bus, continuous\",\"text\":\"shunt and bus, "
           "continuous\"}}}\n"
        << "";
    QTest::newRow("get labelled field, JSON")
        << or3 + QStringList{"--json", "get", "0x40", "CONFIG.MODE", "--map", "INA219"} << "" << 0
        << "{\"register\":\"CONFIG\",\"address\":0,\"raw\":\"0x399F\",\"fields\":{\"MODE\":{"
           "\"value\":\"shunt and bus, continuous\",\"text\":\"shunt and bus, continuous\"}}}\n"
        << "";
    QTest::newRow("set fields of two registers, JSON")
        << or5 + QStringList{"--json",
                             "set",
                             "0x48",
                             "CONF.F_QUE=4 faults",
                             "conf.os_pol=\"ACTIVE HIGH\"",
                             "TOS.T=85.5",
                             lm75}
        << "" << 0
        << "{\"register\":\"CONF\",\"address\":1,\"raw\":\"0x14\",\"fields\":{\"SHUTDOWN\":{"
           "\"value\":\"normal\",\"text\":\"normal\"},\"OS_COMP_INT\":{\"value\":\"comparator\","
           "\"text\":\"comparator\"},\"OS_POL\":{\"value\":\"active high\",\"text\":\"active "
           "high\"},\"F_QUE\":{\"value\":\"4 faults\",\"text\":\"4 faults\"}}}\n"
           "{\"register\":\"TOS\",\"address\":3,\"raw\":\"0x5580\",\"fields\":{\"T\":{\"value\":"
           "85.5,\"text\":\"85.5 °C\"}}}\n"
        << "";
    QTest::newRow("set, quiet as text")
        << or7 + QStringList{"set", "0x49", "CONF.CR=8 Hz", "T_HIGH.T=0x500", "--map", "TMP102"}
        << "" << 0 << ""
        << "";
    QTest::newRow("set a write-only field")
        << or3 + QStringList{"set", "0x18", "CONFIG.INT_CLEAR=1", "--map", "MCP9808"} << "" << 0
        << ""
        << "";
    QTest::newRow("set signed scaled little-endian, own map")
        << or5 +
               QStringList{"--json", "set", "0x50", "WORD.V=-2.5", "PAGED=0x5A", "--map", m_eeprom}
        << "" << 0
        << "{\"register\":\"WORD\",\"address\":4,\"raw\":\"0xFF06\",\"fields\":{\"V\":{\"value\":-"
           "2.5,"
           "\"text\":\"-2.50 V\"}}}\n"
           "{\"register\":\"PAGED\",\"address\":32,\"raw\":\"0x5A\",\"fields\":{}}\n"
        << "";
    QTest::newRow("set write-only register whole, own map")
        << or7 + QStringList{"--json", "set", "0x50", "LOG=7", "--map", m_eeprom} << "" << 0
        << "{\"register\":\"LOG\",\"address\":48,\"raw\":\"0x07\",\"fields\":{}}\n"
        << "";
    // The INA219 keeps bit 0 of CALIBRATION at 0.
    QTest::newRow("read-back differs")
        << or3 + QStringList{"--json", "set", "0x40", "CALIBRATION=0x1001", "--map", "INA219"} << ""
        << 1
        << "{\"register\":\"CALIBRATION\",\"address\":5,\"raw\":\"0x1000\",\"fields\":{},\"ok\":"
           "false,\"error\":\"CALIBRATION read back 0x1000 after 0x1001 was written: CALIBRATION "
           "differs\"}\n"
        << "CALIBRATION read back 0x1000 after 0x1001 was written";

    // Failures on the bus: every register is still printed.
    const auto lost = [](QStringView name, int address) {
        return QStringLiteral("{\"register\":\"%1\",\"address\":%2,\"raw\":null,\"fields\":{},"
                              "\"ok\":false,\"error\":\"hid_read_timeout: unexpected poll error "
                              "(device disconnected)\"}\n")
            .arg(name.toString(), QString::number(address));
    };
    QTest::newRow("regs, bus error")
        << or3 + QStringList{"regs", "0x48", lm75} << "bus-error:2" << 1
        << "TEMP (0x00) = 0x1780\n  T = 23.5 °C\nCONF (0x01): failed: Bus error\nTHYST (0x02): "
           "failed: Bus error\nTOS (0x03): failed: Bus error\n"
        << "3 of 4 registers failed, the first CONF with: Bus error.";
    QTest::newRow("regs, unplugged")
        << or5 + QStringList{"--json", "regs", "0x49", "--map", "TMP102"} << "unplug:2" << 3
        << QStringLiteral("{\"register\":\"TEMP\",\"address\":0,\"raw\":\"0x1800\",\"fields\":{"
                          "\"T\":{\"value\":24,\"text\":\"24.0000 °C\"},\"EM\":{\"value\":"
                          "\"normal\",\"text\":\"normal\"}}}\n") +
               lost(u"CONF", 1) + lost(u"T_LOW", 2) + lost(u"T_HIGH", 3)
        << "lost the connection";
    QTest::newRow("get, no chip")
        << or7 + QStringList{"--json", "get", "0x4A", "TEMP.T", lm75} << "" << 1
        << "{\"register\":\"TEMP\",\"address\":0,\"raw\":null,\"fields\":{},\"ok\":false,"
           "\"error\":\"NACK received\"}\n"
        << "Read TEMP failed: NACK received.";
    QTest::newRow("set, old value fails")
        << or3 + QStringList{"set", "0x48", "CONF.F_QUE=2", lm75} << "bus-error:1" << 1 << ""
        << "Read CONF failed: NACK received. Nothing was written to CONF.";
    QTest::newRow("set, read-back fails")
        << or3 + QStringList{"set", "0x48", "CONF.F_QUE=2", lm75} << "bus-error:3" << 1 << ""
        << "Read back CONF failed: Bus error. CONF was written; only its read-back failed.";
}

void TstCliMaps::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, fault);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const SResult result = runDemo(arguments, {QStringLiteral("PELLAN_SIM_FAULT=") + fault});
    QCOMPARE(result.out, out);
    if (err.isEmpty())
        QCOMPARE(result.err, QString());
    else
        QVERIFY2(result.err.contains(err), qPrintable(result.err));
    QCOMPARE(result.status, status);
}

void TstCliMaps::refusedBeforeTheBus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("err");

    const QString lm75 = QStringLiteral("--map=LM75");
    const auto row = [](const char* name, const QStringList& arguments, const char* err) {
        QTest::newRow(name) << QStringList{"-a", "OR3-100042"} + arguments
                            << QString::fromUtf8(err);
    };
    row("unknown register", {"get", "0x48", "TMEP.T", lm75},
        "no register \"TMEP\" in LM75; near names: TEMP. \"pellan-i2c-cli-demo map markdown LM75\" "
        "lists the registers and fields.");
    row("unknown field", {"set", "0x48", "CONF.FQUE=1", lm75},
        "CONF has no field \"FQUE\"; near names: F_QUE.");
    row("not a multiple of the scale", {"set", "0x48", "TOS.T=80.25", lm75},
        "TOS.T: 80.25 °C is not a multiple of its step of 0.5 °C.");
    row("beyond the field", {"set", "0x48", "TOS.T=200", lm75},
        "TOS.T: 200.0 °C is outside what its 9 bit(s) hold, -128.0 °C to 127.5 °C.");
    row("raw beyond the field", {"set", "0x48", "CONF.F_QUE=0x4", lm75},
        "CONF.F_QUE: 0x4 does not fit its 2 bit(s) (at most 0x3).");
    row("unknown label", {"set", "0x48", "CONF.F_QUE=lots", lm75},
        "CONF.F_QUE: \"lots\" is no label of the field; give a number or one of \"1 fault\"");
    row("read-only register", {"set", "0x48", "TEMP.T=20", lm75}, "TEMP is read-only.");
    row("read-only field", {"set", "0x18", "CONFIG.ALERT_STAT=1", "--map", "MCP9808"},
        "CONFIG.ALERT_STAT is read-only.");
    row("field given twice", {"set", "0x48", "CONF.F_QUE=1", "CONF.F_QUE=2", lm75},
        "CONF.F_QUE is given twice.");
    row("not an assignment", {"set", "0x48", "CONF.F_QUE", lm75},
        "\"CONF.F_QUE\" is not NAME=VALUE or NAME.FIELD=VALUE.");
    row("write-only field read", {"get", "0x40", "CONFIG.RST", "--map", "INA219"},
        "CONFIG.RST is write-only");
    row("unknown map", {"regs", "0x48", "--map", "LM76"},
        "cannot use the register map \"LM76\": no register map \"LM76\"; there are LM75");
    row("pointer width with a map", {"get", "0x48", "TEMP", lm75, "--reg-width", "2"},
        "--reg-width does not go with --map: the map gives the pointer's width.");
    row("read-back option with a map", {"set", "-r", "0x48", "TOS.T=80", lm75},
        "--readback does not go with --map");
    row("regs without a map", {"regs", "0x48"}, "regs needs an address and --map");
    row("watch field with a format",
        {"watch", "0x48", "--map", "LM75", "--field", "TEMP.T", "--format", "s16be"},
        "--field takes its register and decoding from the map, so --format does not go with it.");
    row("watch field without a map", {"watch", "0x48", "--field", "TEMP.T"}, "--field needs --map");
    row("watch map without a field", {"watch", "0x48", "2", lm75},
        "--map in a watch needs --field");
    row("watch a register that has fields", {"watch", "0x48", lm75, "--field", "TEMP"},
        "--field names a field, NAME.FIELD, and TEMP has fields");
    row("watch fewer bytes than the register", {"watch", "0x48", "1", lm75, "--field", "TEMP.T"},
        "TEMP has 2 bytes, but COUNT is 1.");
}

void TstCliMaps::refusedBeforeTheBus()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, err);
    // Anything sent would fail with a bus error (exit status 1).
    const SResult result = runDemo(arguments, {QStringLiteral("PELLAN_SIM_FAULT=bus-error")});
    QVERIFY2(result.err.contains(err), qPrintable(result.err));
    QCOMPARE(result.out, QString());
    QCOMPARE(result.status, 2);
}

void TstCliMaps::watchField_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("sample"); // what each sample line holds

    QTest::newRow("signed, scaled")
        << QStringList{"--json", "watch", "0x48", "--map", "LM75", "--field", "TEMP.T"}
        << "\"data\":\"17 80\",\"register\":0,";
    QTest::newRow("text") << QStringList{"watch", "0x48", "2", "--map", "LM75", "--field", "TEMP.T"}
                          << "\t23.5 °C";
    QTest::newRow("value and unit")
        << QStringList{"--json", "watch", "0x40", "--map", "INA219", "--field", "BUS_VOLTAGE.V"}
        << "\"value\":5000,\"unit\":\"mV\"}";
    QTest::newRow("labelled, as get shows it")
        << QStringList{"watch", "0x49", "--map", "TMP102", "--field", "CONF.CR"} << "\t4 Hz";
    QTest::newRow("number unrounded, as get gives it")
        << QStringList{"--json", "watch", "0x48", "--map", "./whole.i2cmap", "--field", "TEMP.T"}
        << "\"value\":23.5,";
    QTest::newRow("register without fields")
        << QStringList{"--csv", "watch", "0x18", "--map", "MCP9808", "--field", "MANUF_ID"}
        << ",00 54,84,ok";
}

void TstCliMaps::watchField()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, sample);
    const SResult result =
        runDemo(QStringList{"-a", "OR5-200107", "--samples", "2", "--interval", "10ms"} + arguments,
                {}, m_folder.path());
    QCOMPARE(result.err, QString());
    QCOMPARE(result.status, 0);
    QStringList lines = result.out.split(u'\n', Qt::SkipEmptyParts);
    if (arguments.contains(QStringLiteral("--csv")))
        QCOMPARE(lines.takeFirst(), QStringLiteral("time,seconds,raw,value,status"));
    QCOMPARE(lines.size(), 2);
    for (const QString& line : lines)
        QVERIFY2(line.contains(sample), qPrintable(line));
}

void TstCliMaps::mapCommands()
{
    const SResult list = runDemo({"--json", "map", "list"});
    QCOMPARE(list.status, 0);
    QStringList devices;
    for (const QString& line : list.out.split(u'\n', Qt::SkipEmptyParts)) {
        const QJsonObject entry = QJsonDocument::fromJson(line.toUtf8()).object();
        QVERIFY2(entry[u"ok"].toBool(), qPrintable(line));
        devices << entry[u"device"].toString();
    }
    QCOMPARE(devices, QStringList({"INA219", "LM75", "MCP9808", "TMP102"}));

    // A key the reader does not know is named; the map still loads.
    QVERIFY(
        writeFile(m_folder.filePath(QStringLiteral("warn.i2cmap")),
                  R"({"device": "W", "registers": [{"name": "A", "address": 1, "colour": 2}]})"));
    const SResult warned = runDemo({"map", "check", "warn.i2cmap"}, {}, m_folder.path());
    QCOMPARE(warned.out, QStringLiteral("warn.i2cmap: W, 1 register\n"
                                        "warn.i2cmap: warning: registers[0].colour: unknown key, "
                                        "ignored\n"));
    QCOMPARE(warned.status, 0);

    QVERIFY(writeFile(
        m_folder.filePath(QStringLiteral("bad.i2cmap")),
        R"({"device": "B", "registers": [{"name": "A", "address": 1, "fields": [{"name": "F", "bits": "9"}]}]})"));
    const SResult bad = runDemo({"--json", "map", "check", "bad.i2cmap"}, {}, m_folder.path());
    const QJsonObject refusal = QJsonDocument::fromJson(bad.out.toUtf8()).object();
    QCOMPARE(refusal[u"ok"].toBool(true), false);
    QVERIFY2(refusal[u"error"].toString().contains(u"registers[0].fields[0].bits"),
             qPrintable(bad.out));
    QVERIFY(bad.err.contains(u"registers[0].fields[0].bits"));
    QCOMPARE(bad.status, 2);
    // The same map refused where it is used, before the bus.
    const SResult used = runDemo({"-a", "OR3-100042", "regs", "0x48", "--map", "./bad.i2cmap"},
                                 {QStringLiteral("PELLAN_SIM_FAULT=bus-error")}, m_folder.path());
    QVERIFY2(used.err.contains(u"registers[0].fields[0].bits"), qPrintable(used.err));
    QCOMPARE(used.status, 2);

    // A C name two things would make is no header at all.
    QVERIFY(writeFile(
        m_folder.filePath(QStringLiteral("clash.i2cmap")),
        R"({"device": "C", "registers": [{"name": "A_B", "address": 0}, {"name": "a_b_", "address": 1}]})"));
    const SResult clash = runDemo({"map", "header", "./clash.i2cmap"}, {}, m_folder.path());
    QVERIFY2(clash.err.contains(u"the address of A_B and the address of a_b_ both make the C name "
                                u"C_A_B_ADDR"),
             qPrintable(clash.err));
    QCOMPARE(clash.out, QString());
    QCOMPARE(clash.status, 2);

    const SResult markdown = runDemo({"map", "markdown", "lm75"});
    QVERIFY(markdown.out.startsWith(u"# LM75\n"));
    QVERIFY(markdown.out.contains(u"| F_QUE | 4:3 | rw | normal | 0 = 1 fault, 1 = 2 faults"));
    QCOMPARE(markdown.status, 0);
}

void TstCliMaps::headerCompiles()
{
    const QString cc = QStandardPaths::findExecutable(QStringLiteral("cc"));
    if (cc.isEmpty())
        QSKIP("no C compiler (cc) on the path");
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    for (const char* device : {"LM75", "TMP102", "MCP9808", "INA219"}) {
        const SResult header = runDemo({"map", "header", device});
        QCOMPARE(header.status, 0);
        QVERIFY(writeFile(folder.filePath(QString::fromLatin1(device).toLower() + ".h"),
                          header.out.toUtf8()));
    }
    QVERIFY(writeFile(folder.filePath(QStringLiteral("main.c")), R"(
#include <stdio.h>
#include "lm75.h"
#include "tmp102.h"
#include "mcp9808.h"
#include "ina219.h"
int main(void)
{
    printf("%x %x %x %x\n", LM75_TOS_ADDR, LM75_CONF_F_QUE_SHIFT, LM75_CONF_F_QUE_MASK,
           LM75_CONF_F_QUE_4_FAULTS);
    printf("%x %x %x\n", TMP102_CONF_RESET, TMP102_CONF_CR_MASK, TMP102_T_HIGH_T_SHIFT);
    printf("%x %x %x\n", MCP9808_MANUF_ID_ADDR, MCP9808_MANUF_ID_RESET, MCP9808_T_A_T_MASK);
    printf("%x %x\n", INA219_CONFIG_RESET, INA219_CONFIG_MODE_SHUNT_AND_BUS_CONTINUOUS);
    return 0;
}
)"));
    QProcess compiler;
    compiler.setWorkingDirectory(folder.path());
    compiler.start(cc, {"-std=c99", "-Wall", "-Werror", "-o", "main", "main.c"});
    QVERIFY(compiler.waitForFinished(60000));
    QVERIFY2(compiler.exitCode() == 0, compiler.readAllStandardError().constData());
    QProcess program;
    program.start(folder.filePath(QStringLiteral("main")), QStringList());
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.readAllStandardOutput(),
             QByteArray("3 3 18 2\n60a0 c0 4\n6 54 1fff\n399f 7\n"));
}

void TstCliMaps::userMapBesideProjectsFolder()
{
    // The window's projects folder, as its settings name it; the user's LM75
    // lies beside it and wins over the shipped one. Its description's line
    // break and tab stay out of the list's line and columns.
    const QString projects = m_folder.filePath(QStringLiteral("bench/projects"));
    QVERIFY(QDir().mkpath(m_folder.filePath(QStringLiteral("bench/maps"))));
    QVERIFY(writeFile(m_folder.filePath(QStringLiteral("bench/maps/mine.i2cmap")), R"({
        "device": "lm75", "description": "mine,\n\tby hand",
        "registers": [ { "name": "TEMP", "address": 0, "bytes": 2, "access": "r",
                         "fields": [ { "name": "CELSIUS", "bits": "15:8", "signed": true, "unit": "C" } ] } ]
    })"));
    {
        QSettings settings(QStringLiteral("Tremwick"), QStringLiteral("pellan_i2c"));
        settings.setValue(QStringLiteral("projects/folder"), projects);
    }
    const SResult read =
        runDemo({"-a", "OR3-100042", "get", "0x48", "TEMP.CELSIUS", "--map", "LM75"});
    const SResult listed = runDemo({"map", "list"});
    QSettings(QStringLiteral("Tremwick"), QStringLiteral("pellan_i2c"))
        .remove(QStringLiteral("projects/folder"));
    QCOMPARE(read.err, QString());
    QCOMPARE(read.out, QStringLiteral("23 C\n"));
    QVERIFY2(
        listed.out.contains(QStringLiteral("lm75\t1\t%1\tmine, by hand\n")
                                .arg(m_folder.filePath(QStringLiteral("bench/maps/mine.i2cmap")))),
        qPrintable(listed.out));
}

QTEST_GUILESS_MAIN(TstCliMaps)
#include "tst_climaps.moc"
