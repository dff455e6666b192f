// Register maps without a bus: the reader and its refusals, the field codec,
// the C header and Markdown exports, and where maps are found.

#include "transactions/registercodec.h"
#include "transactions/registermap.h"
#include "transactions/registermapaccess.h"
#include "transactions/registermapexport.h"
#include "transactions/registermapfolders.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using Bytes = std::vector<uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

// A map of one device "T" around the registers given (JSON array items).
QByteArray mapWith(const QByteArray& registers, const QByteArray& top = {})
{
    return "{\"device\": \"T\", " + top + (top.isEmpty() ? "" : ", ") + "\"registers\": [" +
           registers + "]}";
}

SRegisterMap parse(const QByteArray& text)
{
    QString error;
    const std::optional<SRegisterMap> map = ParseRegisterMap(text, &error);
    if (!map)
        qWarning("%s", qPrintable(error));
    return map.value_or(SRegisterMap());
}

bool writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

const QByteArray CODEC_MAP = R"({
    "device": "CODEC",
    "registers": [
        { "name": "TEMP", "address": 0, "bytes": 2,
          "fields": [ { "name": "T", "bits": "15:7", "signed": true, "scale": 0.5, "unit": "°C" } ] },
        { "name": "TA", "address": 1, "bytes": 2,
          "fields": [ { "name": "FLAGS", "bits": "15:13" },
                      { "name": "T", "bits": "12:0", "signed": true, "scale": 0.0625, "unit": "°C" } ] },
        { "name": "WIDE", "address": 2, "bytes": 4,
          "fields": [ { "name": "V", "bits": "31:0", "signed": true } ] },
        { "name": "LE", "address": 6, "bytes": 3, "byte_order": "little",
          "fields": [ { "name": "V", "bits": "23:4" } ] },
        { "name": "CONF", "address": 9,
          "fields": [ { "name": "F_QUE", "bits": "4:3", "values": { "0": "1 fault", "1": "2 faults", "2": "4 faults", "3": "6 faults" } },
                      { "name": "T", "bits": "7:5", "scale": 0.5, "offset": -40, "unit": "°C" } ] },
        { "name": "BUS", "address": 10, "bytes": 2,
          "fields": [ { "name": "V", "bits": "15:3", "scale": 4, "unit": "mV" } ] },
        { "name": "HUM", "address": 12,
          "fields": [ { "name": "RH", "bits": "7:0", "scale": 0.1, "offset": -5, "unit": "%" } ] },
        { "name": "NANO", "address": 13, "bytes": 2,
          "fields": [ { "name": "I", "bits": "15:0", "scale": 1e-9, "unit": "A" } ] },
        { "name": "FINE", "address": 15, "bytes": 2,
          "fields": [ { "name": "T", "bits": "15:0", "scale": 0.0009765625 } ] },
        { "name": "PICO", "address": 17, "bytes": 2,
          "fields": [ { "name": "I", "bits": "15:0", "scale": 1e-12, "decimals": 2, "unit": "A" } ] },
        { "name": "BIT", "address": 19, "fields": [ { "name": "ON", "bits": "0" } ] }
    ]
})";

} // namespace

class TstRegisterMap : public QObject {
    Q_OBJECT

private slots:
    void refusals_data();
    void refusals();
    void acceptedMap();
    void arraysAndPages();
    void decode_data();
    void decode();
    void encodeRefusals_data();
    void encodeRefusals();
    void jsonRangeAndPointer();
    void nearNames();
    void headerCompiles();
    void headerClashes_data();
    void headerClashes();
    void markdown();
    void shippedMaps();
    void userMapWins();
};

void TstRegisterMap::refusals_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error"); // the start of the message

    const QByteArray r = R"({"name": "R", "address": 0})";
    const auto row = [](const char* name, const QByteArray& text, const char* error) {
        QTest::newRow(name) << text << QString::fromUtf8(error);
    };
    row("not JSON", "{\n  \"device\": }", "line 2, column 14: JSON error");
    row("not UTF-8", "{\"device\": \"\xff\"}", "not UTF-8");
    row("not an object", "[]", "the map is not a JSON object");
    row("too large", QByteArray(MAP_FILE_SIZE_MAX + 1, ' '), "too large");
    row("newer version", mapWith(r, "\"version\": 2"), "version: 2 is newer");
    row("version not a number", mapWith(r, "\"version\": \"one\""), "version: \"one\" is not");
    row("version as text", mapWith(r, "\"version\": \"1\""), "version: \"1\" is not a number");
    row("key given twice", "{\"device\": \"X\",\n \"device\": \"Y\", \"registers\": [" + r + "]}",
        "line 2, column 2: the key \"device\" is given twice in one object");
    row("key given twice, escaped", mapWith(R"({"name": "R", "address": 0, "n\u0061me": "S"})"),
        "line 1, column 59: the key \"name\" is given twice");
    row("huge name, cut",
        mapWith("{\"name\": \"" + QByteArray(100000, 'A') + "\", \"address\": 0}"),
        "registers[0].name: \"" + QByteArray(40, 'A') + "…\" is not a name");
    row("device missing", "{\"registers\": [" + r + "]}", "device: missing");
    row("device not text", "{\"device\": 7, \"registers\": [" + r + "]}",
        "device: 7 is not a text");
    row("pointer bytes", mapWith(r, "\"pointer_bytes\": 5"), "pointer_bytes: 5 is outside 1 to 4");
    row("byte order", mapWith(r, "\"byte_order\": \"middle\""), "byte_order: \"middle\" is not");
    row("auto increment", mapWith(r, "\"auto_increment\": \"yes\""), "auto_increment:");
    row("increment flag wide", mapWith(r, "\"increment_flag\": \"0x100\""), "increment_flag:");
    row("increment flag zero", mapWith(r, "\"increment_flag\": 0"), "increment_flag:");
    row("registers missing", "{\"device\": \"T\"}", "registers: missing");
    row("registers empty", mapWith(""), "registers: the map has no registers");
    row("register not object", mapWith("3"), "registers[0]: a register is an object");
    row("name missing", mapWith(R"({"address": 0})"), "registers[0].name: missing");
    row("name not identifier", mapWith(R"({"name": "1A", "address": 0})"), "registers[0].name:");
    row("name with blank", mapWith(R"({"name": "A B", "address": 0})"), "registers[0].name:");
    row("name too long", mapWith("{\"name\": \"" + QByteArray(65, 'A') + "\", \"address\": 0}"),
        "registers[0].name:");
    row("duplicate name, other case", mapWith(r + R"(, {"name": "r", "address": 1})"),
        "registers[1].name: r is the name of registers[0]");
    row("array element clashes", mapWith(R"({"name": "A", "address": 0, "count": 2},
                                            {"name": "A1", "address": 9})"),
        "registers[1].name: A1 is the name of registers[0]");
    row("address missing", mapWith(R"({"name": "A"})"), "registers[0].address: missing");
    row("address not hex", mapWith(R"({"name": "A", "address": "0xZZ"})"), "registers[0].address:");
    row("address ambiguous", mapWith(R"({"name": "A", "address": "10"})"),
        "registers[0].address: \"10\" could be decimal or hex");
    row("address negative", mapWith(R"({"name": "A", "address": -1})"), "registers[0].address:");
    row("address fraction", mapWith(R"({"name": "A", "address": 1.5})"), "registers[0].address:");
    row("address past pointer", mapWith(R"({"name": "A", "address": "0x100"})"),
        "registers[0].address: \"0x100\" is outside 0x0 to 0xFF");
    row("address has increment flag",
        mapWith(R"({"name": "A", "address": "0x81"})", "\"increment_flag\": \"0x80\""),
        "registers[0].address: 0x81 of A has bits of the increment flag");
    row("bytes 0", mapWith(R"({"name": "A", "address": 0, "bytes": 0})"), "registers[0].bytes:");
    row("bytes 5", mapWith(R"({"name": "A", "address": 0, "bytes": 5})"), "registers[0].bytes:");
    row("access", mapWith(R"({"name": "A", "address": 0, "access": "x"})"),
        "registers[0].access: \"x\" is not r, w or rw");
    row("register byte order", mapWith(R"({"name": "A", "address": 0, "byte_order": 1})"),
        "registers[0].byte_order:");
    row("reset too wide", mapWith(R"({"name": "A", "address": 0, "reset": "0x100"})"),
        "registers[0].reset:");
    row("reset mask too wide", mapWith(R"({"name": "A", "address": 0, "reset_mask": 256})"),
        "registers[0].reset_mask:");
    row("volatile as text", mapWith(R"({"name": "A", "address": 0, "volatile": "true"})"),
        "registers[0].volatile:");
    row("read_clears as number", mapWith(R"({"name": "A", "address": 0, "read_clears": 1})"),
        "registers[0].read_clears:");
    row("description not text", mapWith(R"({"name": "A", "address": 0, "description": []})"),
        "registers[0].description:");
    row("page without pages", mapWith(R"({"name": "A", "address": 0, "page": "P"})"),
        "registers[0].page: \"P\": the map has no pages");
    row("unknown page",
        mapWith(R"({"name": "S", "address": 9}, {"name": "A", "address": 0, "page": "Q"})",
                R"("pages": [{"name": "P", "select": "S", "value": 1}])"),
        "registers[1].page: no page \"Q\"");
    row("count 0", mapWith(R"({"name": "A", "address": 0, "count": 0})"), "registers[0].count:");
    row("count too large", mapWith(R"({"name": "A", "address": 0, "count": 5000})"),
        "registers[0].count:");
    row("stride below bytes",
        mapWith(R"({"name": "A", "address": 0, "bytes": 2, "count": 2, "stride": 1})"),
        "registers[0].stride:");
    row("stride without count", mapWith(R"({"name": "A", "address": 0, "stride": 2})"),
        "registers[0].stride: a stride needs a count");
    row("array past pointer", mapWith(R"({"name": "A", "address": "0xF0", "count": 32})"),
        "registers[0].count: the last of 32 registers");
    QByteArray many;
    for (int i = 0; i < 5; ++i)
        many += (i ? "," : "") + QByteArray(R"({"name": "A)") + QByteArray::number(i) +
                R"(_", "address": 0, "count": 4096})";
    row("too many registers", mapWith(many, "\"pointer_bytes\": 2"),
        "registers[4].count: the map would have more than 16384 registers");
    row("fields not array", mapWith(R"({"name": "A", "address": 0, "fields": {}})"),
        "registers[0].fields: not an array");
    row("field not object", mapWith(R"({"name": "A", "address": 0, "fields": [1]})"),
        "registers[0].fields[0]: a field is an object");
    const auto fields = [](const QByteArray& list, const QByteArray& reg = "") {
        return mapWith("{\"name\": \"A\", \"address\": 0" + reg + ", \"fields\": [" + list + "]}");
    };
    row("field name twice", fields(R"({"name": "F", "bits": "0"}, {"name": "f", "bits": "1"})"),
        "registers[0].fields[1].name: f is a field of A already");
    row("bits missing", fields(R"({"name": "F"})"), "registers[0].fields[0].bits: missing");
    row("bits not numbers", fields(R"({"name": "F", "bits": "a:b"})"),
        "registers[0].fields[0].bits:");
    row("bits half", fields(R"({"name": "F", "bits": "3:"})"), "registers[0].fields[0].bits:");
    row("bits in hex", fields(R"({"name": "F", "bits": "0x3"})"), "registers[0].fields[0].bits:");
    row("bits reversed", fields(R"({"name": "F", "bits": "0:3"})"),
        "registers[0].fields[0].bits: \"0:3\" has its high bit last");
    row("bits outside", fields(R"({"name": "F", "bits": "8"})"),
        "registers[0].fields[0].bits: \"8\" lies outside the 8 bits of A");
    row("bits outside, wide", fields(R"({"name": "F", "bits": "16:9"})", ", \"bytes\": 2"),
        "registers[0].fields[0].bits: \"16:9\" lies outside the 16 bits of A");
    row("fields overlap", fields(R"({"name": "L", "bits": "2:0"}, {"name": "H", "bits": "3:2"})"),
        "registers[0].fields[1].bits: H (3:2) overlaps L (2:0)");
    row("signed as text", fields(R"({"name": "F", "bits": "0", "signed": "yes"})"),
        "registers[0].fields[0].signed:");
    row("scale not number", fields(R"({"name": "F", "bits": "0", "scale": "half"})"),
        "registers[0].fields[0].scale:");
    row("scale 0", fields(R"({"name": "F", "bits": "0", "scale": 0})"),
        "registers[0].fields[0].scale: 0 would make");
    row("scale overflows",
        fields(R"({"name": "F", "bits": "15:0", "scale": 1e305})", ", \"bytes\": 2"),
        "registers[0].fields[0].scale: 65535 x 1e+305 is beyond");
    row("offset overflows",
        fields(R"({"name": "F", "bits": "1:0", "scale": 1e307, "offset": 1.7e308})"),
        "registers[0].fields[0].offset: 3 x 1e+307 + 1.7e+308 is beyond");
    row("offset not number", fields(R"({"name": "F", "bits": "0", "offset": "x"})"),
        "registers[0].fields[0].offset:");
    row("decimals", fields(R"({"name": "F", "bits": "0", "decimals": 13})"),
        "registers[0].fields[0].decimals:");
    row("unit not text", fields(R"({"name": "F", "bits": "0", "unit": 5})"),
        "registers[0].fields[0].unit:");
    // Units, labels and the device print within a line; JSON escapes would
    // let a line break or a terminal's escape through.
    row("unit with a line break", fields(R"({"name": "F", "bits": "0", "unit": "m\nV"})"),
        "registers[0].fields[0].unit: \"m\\nV\" holds a control character");
    row("unit with a tab", fields(R"({"name": "F", "bits": "0", "unit": "m\tV"})"),
        "registers[0].fields[0].unit: \"m\\tV\" holds a control character");
    row("label with an escape",
        fields(R"({"name": "F", "bits": "0", "values": {"1": "\u001b[2Jon"}})"),
        "registers[0].fields[0].values[\"1\"]: the label \"\\u001b[2Jon\" holds a control");
    row("label with a line separator",
        fields(R"({"name": "F", "bits": "0", "values": {"1": "o\u2028n"}})"),
        "registers[0].fields[0].values[\"1\"]: the label \"o\\u2028n\" holds a control");
    row("unit ending in a next line", fields(R"({"name": "F", "bits": "0", "unit": "mV\u0085"})"),
        "registers[0].fields[0].unit: \"mV\\u0085\" holds a control character");
    row("label ending in a paragraph separator",
        fields(R"({"name": "F", "bits": "0", "values": {"1": "on\u2029"}})"),
        "registers[0].fields[0].values[\"1\"]: the label \"on\\u2029\" holds a control");
    row("description with an escape",
        fields(R"({"name": "F", "bits": "0", "description": "hot\n\u001b[31m"})"),
        "registers[0].fields[0].description: holds the control character U+001b");
    row("device with a line break", "{\"device\": \"T\\r\\nX\", \"registers\": [" + r + "]}",
        "device: \"T\\u000d\\nX\" holds a control character");
    row("field access", fields(R"({"name": "F", "bits": "0", "access": "x"})"),
        "registers[0].fields[0].access: \"x\" is not r, w or rw");
    row("field access wider",
        fields(R"({"name": "F", "bits": "0", "access": "rw"})", ", \"access\": \"r\""),
        "registers[0].fields[0].access: \"rw\" is wider than the register's \"r\"");
    row("write kind", fields(R"({"name": "F", "bits": "0", "write": "w2c"})"),
        "registers[0].fields[0].write: \"w2c\" is not");
    row("values not object", fields(R"({"name": "F", "bits": "0", "values": ["a"]})"),
        "registers[0].fields[0].values:");
    row("value not a number", fields(R"({"name": "F", "bits": "0", "values": {"x": "a"}})"),
        "registers[0].fields[0].values[\"x\"]:");
    row("value does not fit", fields(R"({"name": "F", "bits": "1:0", "values": {"4": "a"}})"),
        "registers[0].fields[0].values[\"4\"]: 4 does not fit the 2 bit(s) of F");
    row("negative value of unsigned",
        fields(R"({"name": "F", "bits": "1:0", "values": {"-1": "a"}})"),
        "registers[0].fields[0].values[\"-1\"]: -1 is negative");
    row("negative value too low",
        fields(R"({"name": "F", "bits": "1:0", "signed": true, "values": {"-3": "a"}})"),
        "registers[0].fields[0].values[\"-3\"]:");
    row("value labelled twice",
        fields(R"({"name": "F", "bits": "1:0", "values": {"1": "a", "0x1": "b"}})"),
        "registers[0].fields[0].values[");
    row("label twice", fields(R"({"name": "F", "bits": "1:0", "values": {"1": "On", "2": "on"}})"),
        "registers[0].fields[0].values[\"2\"]: the label \"on\" is given to 0x1 and 0x2");
    row("label empty", fields(R"({"name": "F", "bits": "0", "values": {"1": " "}})"),
        "registers[0].fields[0].values[\"1\"]:");
    row("pages not array", mapWith(r, "\"pages\": {}"), "pages: not an array");
    const auto paged = [&r](const QByteArray& pages, const QByteArray& regs = "") {
        return mapWith(
            r + R"(, {"name": "SEL", "address": "0x7F", "fields": [{"name": "B", "bits": "1:0"}, {"name": "RO", "bits": "7", "access": "r"}]})" +
                regs,
            "\"pages\": [" + pages + "]");
    };
    row("page name twice",
        paged(
            R"({"name": "P", "select": "SEL", "value": 1}, {"name": "p", "select": "SEL", "value": 2})"),
        "pages[1].name: p is a page already");
    row("selector missing", paged(R"({"name": "P", "value": 1})"), "pages[0].select: missing");
    row("unknown selector", paged(R"({"name": "P", "select": "SLE", "value": 1})"),
        "pages[0].select: no register \"SLE\"; near names: SEL");
    row("unknown selector field", paged(R"({"name": "P", "select": "SEL.X", "value": 1})"),
        "pages[0].select: SEL has no field \"X\"");
    row("read-only selector field", paged(R"({"name": "P", "select": "SEL.RO", "value": 1})"),
        "pages[0].select: SEL.RO is read-only");
    row("read-only selector",
        paged(R"({"name": "P", "select": "R", "value": 1})", "")
            .replace(R"({"name": "R", "address": 0})",
                     R"({"name": "R", "address": 0, "access": "r"})"),
        "pages[0].select: R is read-only");
    row("selector on its page",
        paged(R"({"name": "P", "select": "Q", "value": 1})",
              R"(, {"name": "Q", "address": 5, "page": "P"})"),
        "pages[0].select: Q lies on page P itself");
    row("page value missing", paged(R"({"name": "P", "select": "SEL"})"),
        "pages[0].value: missing");
    row("page value too wide", paged(R"({"name": "P", "select": "SEL.B", "value": 4})"),
        "pages[0].value: 4 is outside 0x0 to 0x3");
}

void TstRegisterMap::refusals()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    QString message;
    QVERIFY(!ParseRegisterMap(text, &message));
    QVERIFY2(message.startsWith(error), qPrintable(message));
}

void TstRegisterMap::acceptedMap()
{
    const SRegisterMap map =
        parse("\xEF\xBB\xBF" + mapWith(R"(
        {"name": "A", "address": "0x0", "typo": 1, "fields": [{"name": "F", "bits": 3, "scale": 0.25, "offset": 0.5}]},
        {"name": "B", "address": 17, "bytes": 2, "byte_order": "little", "access": "r",
         "reset": "0x1234", "reset_mask": "0xFF00", "volatile": true, "read_clears": true,
         "fields": [{"name": "S", "bits": "15:8", "signed": true, "values": {"-1": "minus one", "0x7F": "top"}, "write": "W1C", "access": "r"}]})",
                                       "\"extra\": true, \"increment_flag\": \"0x80\""));
    QCOMPARE(map.device, QStringLiteral("T"));
    QCOMPARE(map.pointerBytes, 1);
    QCOMPARE(map.byteOrder, EMapByteOrder::Big);
    QCOMPARE(map.incrementFlag, 0x80u);
    QCOMPARE(map.warnings,
             QStringList({QStringLiteral("extra: unknown key, ignored"),
                          QStringLiteral("registers[0].typo: unknown key, ignored")}));
    QCOMPARE(map.registers.size(), size_t(2));
    const SMapRegister& a = map.registers[0];
    QCOMPARE(a.bytes, 1);
    QCOMPARE(a.access, EMapAccess::ReadWrite);
    QCOMPARE(a.resetMask, 0xFFu);
    QVERIFY(!a.reset);
    QCOMPARE(a.fields[0].msb, 3);
    QCOMPARE(a.fields[0].decimals, 2); // steps of 0.25 from 0.5
    const SMapRegister& b = map.registers[1];
    QCOMPARE(b.address, 17u);
    QCOMPARE(b.byteOrder, EMapByteOrder::Little);
    QCOMPARE(*b.reset, 0x1234u);
    QCOMPARE(b.resetMask, 0xFF00u);
    QVERIFY(b.isVolatile && b.readClears);
    const SMapField& s = b.fields[0];
    QCOMPARE(s.write, EFieldWrite::W1c);
    QCOMPARE(s.decimals, 0);
    QCOMPARE(s.labels.size(), size_t(2));
    QCOMPARE(s.labels[0].value, 0x7Fu); // sorted by value
    QCOMPARE(*s.LabelOf(0xFF), QStringLiteral("minus one"));
    QCOMPARE(s.FindLabel(u" TOP ")->value, 0x7Fu);
    QCOMPARE(map.FindRegister(u"b"), 1);
    QCOMPARE(b.FindField(u"s"), 0);
}

void TstRegisterMap::arraysAndPages()
{
    const SRegisterMap map =
        parse(mapWith(R"(
        {"name": "SEL", "address": "0x7F", "fields": [{"name": "BANK", "bits": "5:4"}]},
        {"name": "CH", "address": "0x10", "bytes": 2, "count": 3, "stride": 4, "page": "b2"},
        {"name": "X", "address": "0x10"})",
                      R"("pages": [{"name": "B1", "select": "SEL", "value": "0x10"},
                                                        {"name": "B2", "select": "sel.bank", "value": 2}])"));
    QCOMPARE(map.RegisterNames(), QStringList({"SEL", "CH0", "CH1", "CH2", "X"}));
    QCOMPARE(map.registers[3].address, 0x18u);
    QCOMPARE(map.registers[3].element, 2);
    QCOMPARE(map.registers[3].definition, 1);
    QCOMPARE(map.registers[3].page, 1);
    QCOMPARE(map.registers[4].page, -1);
    QCOMPARE(map.pages[0].selectRegister, 0);
    QCOMPARE(map.pages[0].selectField, -1);
    QCOMPARE(map.pages[0].value, 0x10u);
    QCOMPARE(map.pages[1].selectField, 0);
    QCOMPARE(map.pages[1].value, 2u);
}

void TstRegisterMap::decode_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<double>("number");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("raw");

    QTest::newRow("signed, scaled") << "TEMP.T" << Bytes{0x17, 0x80} << 23.5 << "23.5 °C"
                                    << "0x1780";
    QTest::newRow("signed, negative") << "TEMP.T" << Bytes{0xE7, 0x00} << -25.0 << "-25.0 °C"
                                      << "0xE700";
    QTest::newRow("signed inside, flags set")
        << "TA.T" << Bytes{0xC1, 0x94} << 25.25 << "25.2500 °C"
        << "0xC194";
    QTest::newRow("signed inside, negative") << "TA.T" << Bytes{0xFF, 0xF0} << -1.0 << "-1.0000 °C"
                                             << "0xFFF0";
    QTest::newRow("32-bit signed") << "WIDE.V" << Bytes{0xFF, 0xFF, 0xFF, 0xFE} << -2.0 << "-2"
                                   << "0xFFFFFFFE";
    QTest::newRow("32-bit top") << "WIDE.V" << Bytes{0x7F, 0xFF, 0xFF, 0xFF} << 2147483647.0
                                << "2147483647"
                                << "0x7FFFFFFF";
    QTest::newRow("little-endian 24-bit") << "LE.V" << Bytes{0x30, 0x02, 0x01} << 4131.0 << "4131"
                                          << "0x010230";
    QTest::newRow("labelled") << "CONF.F_QUE" << Bytes{0x10} << 2.0 << "4 faults"
                              << "0x10";
    QTest::newRow("scaled with offset") << "CONF.T" << Bytes{0xE0} << -36.5 << "-36.5 °C"
                                        << "0xE0";
    QTest::newRow("millivolts") << "BUS.V" << Bytes{0x27, 0x12} << 5000.0 << "5000 mV"
                                << "0x2712";
    // 59 x 0.1 - 5 is 0.9000000000000004 in binary fractions.
    QTest::newRow("nano steps") << "NANO.I" << Bytes{0x17, 0x80} << 6.016e-6 << "0.000006016 A"
                                << "0x1780";
    QTest::newRow("binary step, every digit")
        << "FINE.T" << Bytes{0x17, 0x80} << 5.875 << "5.8750000000"
        << "0x1780";
    QTest::newRow("finer than the decimals")
        << "PICO.I" << Bytes{0x17, 0x80} << 6.016e-9 << "6.016e-09 A"
        << "0x1780";
    QTest::newRow("tenths, exactly") << "HUM.RH" << Bytes{0x3B} << 0.9 << "0.9 %"
                                     << "0x3B";
}

void TstRegisterMap::decode()
{
    QFETCH(QString, target);
    QFETCH(Bytes, bytes);
    QFETCH(double, number);
    QFETCH(QString, text);
    QFETCH(QString, raw);
    const SRegisterMap map = parse(CODEC_MAP);
    const SMapRegister& reg =
        map.registers[static_cast<size_t>(map.FindRegister(target.section('.', 0, 0)))];
    const SMapField& field = reg.fields[static_cast<size_t>(reg.FindField(target.section('.', 1)))];
    const uint32_t value = RegisterValueFromBytes(reg, bytes);
    QCOMPARE(RegisterValueText(reg, value), raw);
    QCOMPARE(RegisterValueBytes(reg, value), bytes);
    const SFieldReading reading = DecodeField(reg, field, value);
    QVERIFY2(reading.number == number, qPrintable(QString::number(reading.number, 'g', 17)));
    QCOMPARE(reading.text, text);
    // The watch decodes the field alike, also from the texts its fields show.
    const SDecodingRule rule = FieldDecodingRule(reg, field);
    QCOMPARE(*DecodeValue(rule, bytes, nullptr), number);
    QString ruleError;
    const auto fromTexts = ParseDecodingRule(DecodingRuleTexts(rule), &ruleError);
    QVERIFY2(fromTexts, qPrintable(ruleError));
    QCOMPARE(*DecodeValue(*fromTexts, bytes, nullptr), number);
    QCOMPARE(FormatDecodedValue(*fromTexts, number), FormatDecodedValue(rule, number));

    // Round trips: the text typed back, the number, and the raw bits give
    // the same bits.
    SMapError error;
    const QString typed =
        reading.HasLabel() ? reading.text.toUpper() : QString::number(reading.number, 'g', 12);
    QCOMPARE(EncodeFieldText(reg, field, typed, &error).value_or(0xDEAD), reading.bits);
    QCOMPARE(EncodeFieldNumber(reg, field, number, &error).value_or(0xDEAD), reading.bits);
    const QString hex = QStringLiteral("0x%1").arg(reading.bits, 0, 16);
    QCOMPARE(EncodeFieldText(reg, field, hex, &error).value_or(0xDEAD), reading.bits);
    QCOMPARE(WithFieldBits(field, value & ~field.Mask(), reading.bits), value);
}

void TstRegisterMap::encodeRefusals_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("error"); // empty: accepted
    QTest::addColumn<uint>("bits");

    QTest::newRow("not a multiple of the scale")
        << "TEMP.T"
        << "23.3"
        << "TEMP.T: 23.3 °C is not a multiple of its step of 0.5 °C" << 0u;
    QTest::newRow("above the field") << "TEMP.T"
                                     << "128"
                                     << "TEMP.T: 128.0 °C is outside what its 9 bit(s) hold, "
                                        "-128.0 °C to 127.5 °C"
                                     << 0u;
    QTest::newRow("lowest") << "TEMP.T"
                            << "-128"
                            << "" << 0x100u;
    QTest::newRow("raw too wide") << "TEMP.T"
                                  << "0x200"
                                  << "TEMP.T: 0x200 does not fit" << 0u;
    QTest::newRow("negative for unsigned") << "BUS.V"
                                           << "-4"
                                           << "BUS.V: -4 mV is outside" << 0u;
    QTest::newRow("offset steps")
        << "CONF.T"
        << "-39.75"
        << "CONF.T: -39.75 °C is not a multiple of its step of 0.5 °C from -40.0 °C" << 0u;
    QTest::newRow("offset value") << "CONF.T"
                                  << "-38.5"
                                  << "" << 3u;
    QTest::newRow("label, any case") << "CONF.F_QUE"
                                     << "6 FAULTS"
                                     << "" << 3u;
    QTest::newRow("number for a labelled field") << "CONF.F_QUE"
                                                 << "1"
                                                 << "" << 1u;
    QTest::newRow("unknown label") << "CONF.F_QUE"
                                   << "5 faults"
                                   << "CONF.F_QUE: \"5 faults\" is no label of the field; give a "
                                      "number or one of \"1 fault\", \"2 faults\", \"4 faults\", "
                                      "\"6 faults\""
                                   << 0u;
    QTest::newRow("label of a field without") << "TEMP.T"
                                              << "hot"
                                              << "TEMP.T: \"hot\" is not a number" << 0u;
    QTest::newRow("exponent") << "BUS.V"
                              << "1e3"
                              << "" << 250u;
    QTest::newRow("true for one bit") << "BIT.ON"
                                      << "True"
                                      << "" << 1u;
    QTest::newRow("false for one bit") << "BIT.ON"
                                       << "false"
                                       << "" << 0u;
    QTest::newRow("true for more bits") << "BUS.V"
                                        << "true"
                                        << "BUS.V: \"true\" is not a number" << 0u;
    QTest::newRow("bad hex") << "BUS.V"
                             << "0xG"
                             << "BUS.V: \"0xG\" is not a hex number" << 0u;
}

void TstRegisterMap::encodeRefusals()
{
    QFETCH(QString, target);
    QFETCH(QString, value);
    QFETCH(QString, error);
    QFETCH(uint, bits);
    const SRegisterMap map = parse(CODEC_MAP);
    const SMapRegister& reg =
        map.registers[static_cast<size_t>(map.FindRegister(target.section('.', 0, 0)))];
    const SMapField& field = reg.fields[static_cast<size_t>(reg.FindField(target.section('.', 1)))];
    SMapError refusal;
    const std::optional<uint32_t> encoded = EncodeFieldText(reg, field, value, &refusal);
    if (error.isEmpty()) {
        QCOMPARE(encoded.value_or(0xDEAD), bits);
    } else {
        QVERIFY(!encoded);
        QCOMPARE(refusal.kind, EMapErrorKind::BadValue);
        QVERIFY2(refusal.text.startsWith(error), qPrintable(refusal.text));
    }
}

void TstRegisterMap::jsonRangeAndPointer()
{
    const SRegisterMap map = parse(CODEC_MAP);
    const SMapRegister& temp = map.registers[0];
    QCOMPARE(RegisterReadingJson(temp, 0x1780),
             QJsonDocument::fromJson(R"({"register":"TEMP","address":0,"raw":"0x1780",
                 "fields":{"T":{"value":23.5,"text":"23.5 °C"}}})")
                 .object());
    const SMapRegister& conf = map.registers[4];
    QCOMPARE(RegisterReadingJson(conf, 0x10)[u"fields"][u"F_QUE"][u"value"].toString(),
             QStringLiteral("4 faults"));

    const SFieldRange range = FieldRange(temp.fields[0]);
    QCOMPARE(range.low, -128.0);
    QCOMPARE(range.high, 127.5);
    QCOMPARE(range.step, 0.5);

    const SRegisterMap flagged = parse(mapWith(R"({"name": "A", "address": 1},
        {"name": "B", "address": 2, "bytes": 2})",
                                               R"("increment_flag": "0x80")"));
    QCOMPARE(MapRegisterPointer(flagged, flagged.registers[0]), 0x01u);
    QCOMPARE(MapRegisterPointer(flagged, flagged.registers[1]), 0x82u);
}

void TstRegisterMap::nearNames()
{
    const QStringList names = {"TEMP", "TOS", "THYST", "CONF", "CONFIG2"};
    QCOMPARE(NearNames(names, u"tmep"), QStringList({"TEMP"}));
    QCOMPARE(NearNames(names, u"conf"), QStringList({"CONF", "CONFIG2"}));
    QCOMPARE(NearNames(names, u"XYZ"), QStringList());
}

void TstRegisterMap::headerCompiles()
{
    const QString cc = QStandardPaths::findExecutable(QStringLiteral("cc"));
    if (cc.isEmpty())
        QSKIP("no C compiler (cc) on the path");
    const SRegisterMap awkward = parse(R"({
        "device": "24c02-x */ v2",
        "description": "ends a comment */ early",
        "registers": [
            { "name": "CONF", "address": "0x01", "reset": "0x18",
              "fields": [ { "name": "F_QUE", "bits": "4:3", "values": { "0": "1 fault", "1": "+1.5 °C", "2": "-1.5 °C", "3": "°" } } ] },
            { "name": "WIDE", "address": 2, "bytes": 4,
              "fields": [ { "name": "ALL", "bits": "31:0" } ] },
            { "name": "CH", "address": 8, "count": 2, "stride": 2 }
        ]
    })");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(
        writeFile(dir.filePath(QStringLiteral("awkward.h")), RegisterMapHeader(awkward).toUtf8()));
    QString lm75Error;
    const auto lm75 =
        LoadRegisterMap(DemoMapsFolder() + QStringLiteral("/lm75.i2cmap"), &lm75Error);
    QVERIFY2(lm75, qPrintable(lm75Error));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("lm75.h")), RegisterMapHeader(*lm75).toUtf8()));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("main.c")), R"(
#include <stdio.h>
#include "awkward.h"
#include "lm75.h"
int main(void)
{
    printf("%x %x %x %x %x %x %x %x\n", CHIP_24C02_X_V2_CONF_ADDR, CHIP_24C02_X_V2_CONF_RESET,
           CHIP_24C02_X_V2_CONF_F_QUE_SHIFT, CHIP_24C02_X_V2_CONF_F_QUE_MASK,
           CHIP_24C02_X_V2_CONF_F_QUE_PLUS_1_5_C, CHIP_24C02_X_V2_CONF_F_QUE_MINUS_1_5_C,
           CHIP_24C02_X_V2_CONF_F_QUE_VALUE_3, CHIP_24C02_X_V2_CH1_ADDR);
    printf("%lx\n", (unsigned long)CHIP_24C02_X_V2_WIDE_ALL_MASK);
    printf("%x %x %x %x %x\n", LM75_TOS_ADDR, LM75_TOS_T_SHIFT, LM75_TOS_T_MASK,
           LM75_CONF_F_QUE_4_FAULTS, LM75_THYST_RESET);
    return 0;
}
)"));
    QProcess compiler;
    compiler.setWorkingDirectory(dir.path());
    compiler.start(
        cc, {"-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic", "-o", "main", "main.c"});
    QVERIFY(compiler.waitForFinished(60000));
    QVERIFY2(compiler.exitCode() == 0, compiler.readAllStandardError().constData());
    QProcess program;
    program.start(dir.filePath(QStringLiteral("main")), QStringList());
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.readAllStandardOutput(),
             QByteArray("1 18 3 18 1 2 3 a\nffffffff\n3 7 ff80 2 4b00\n"));
}

void TstRegisterMap::headerClashes_data()
{
    QTest::addColumn<QByteArray>("registers");
    QTest::addColumn<QString>("error");
    QTest::newRow("register and field join")
        << QByteArray(R"({"name": "A_B", "address": 0, "fields": [{"name": "C", "bits": "0"}]},
                        {"name": "A", "address": 1, "fields": [{"name": "B_C", "bits": "1"}]})")
        << "the shift of A_B.C and the shift of A.B_C both make the C name T_A_B_C_SHIFT";
    QTest::newRow("label and shift")
        << QByteArray(R"({"name": "R", "address": 0,
                          "fields": [{"name": "H", "bits": "0", "values": {"1": "shift"}}]})")
        << "the shift of R.H and the label \"shift\" of R.H both make the C name T_R_H_SHIFT";
    QTest::newRow("labels alike")
        << QByteArray(R"({"name": "R", "address": 0,
                          "fields": [{"name": "H", "bits": "1:0", "values": {"1": "a b", "2": "a-b"}}]})")
        << "the label \"a b\" of R.H and the label \"a-b\" of R.H both make the C name T_R_H_A_B";
}

void TstRegisterMap::headerClashes()
{
    QFETCH(QByteArray, registers);
    QFETCH(QString, error);
    QString clash;
    QVERIFY(RegisterMapHeader(parse(mapWith(registers)), &clash).isEmpty());
    QVERIFY2(clash.startsWith(error), qPrintable(clash));
}

void TstRegisterMap::markdown()
{
    const SRegisterMap map = parse(CODEC_MAP);
    const QString text = RegisterMapMarkdown(map);
    QVERIFY(text.startsWith(QStringLiteral("# CODEC\n")));
    // A description is one paragraph: its lines start no Markdown block.
    QVERIFY(RegisterMapMarkdown(
                parse(mapWith(R"({"name": "R", "address": 0})", R"("description": "hot\n# cold")")))
                .startsWith(QStringLiteral("# T\n\nhot # cold\n\n")));
    QVERIFY(text.contains(QStringLiteral("| LE | 0x06 | 3 | rw |  | little endian |  |\n")));
    QVERIFY(text.contains(QStringLiteral("\n## CONF (0x09)\n")));
    QVERIFY(text.contains(
        QStringLiteral("| F_QUE | 4:3 | rw | normal | 0 = 1 fault, 1 = 2 faults, 2 = 4 faults, "
                       "3 = 6 faults |  |\n")));
    QVERIFY(text.contains(QStringLiteral("| T | 15:7 | rw | normal | signed; x 0.5 °C |  |\n")));
}

void TstRegisterMap::shippedMaps()
{
    const QStringList expected = {"INA219", "LM75", "MCP9808", "TMP102"};
    QStringList devices;
    for (const SMapEntry& entry : ListRegisterMaps({DemoMapsFolder()})) {
        QVERIFY2(entry.error.isEmpty(), qPrintable(entry.path + ": " + entry.error));
        devices << entry.device;
        QString error;
        const std::optional<SRegisterMap> map = LoadRegisterMap(entry.path, &error);
        QVERIFY(map);
        QVERIFY2(map->warnings.isEmpty(), qPrintable(map->warnings.join('\n')));
    }
    QCOMPARE(devices, expected);
}

void TstRegisterMap::userMapWins()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString projects = home.filePath(QStringLiteral("pellan/projects"));
    const QString user = UserMapsFolder(projects);
    QCOMPARE(user, home.filePath(QStringLiteral("pellan/maps")));
    QVERIFY(QDir().mkpath(user));
    QVERIFY(writeFile(
        user + QStringLiteral("/mine.i2cmap"),
        R"({"device": "lm75", "description": "mine", "registers": [{"name": "A", "address": 0}]})"));
    QVERIFY(writeFile(user + QStringLiteral("/broken.i2cmap"), "{"));
    // A second lm75 in the same folder stands back, with a warning; entries
    // that are no regular file are listed alike, with their reason.
    QVERIFY(writeFile(
        user + QStringLiteral("/mine2.i2cmap"),
        R"({"device": "LM75", "description": "other", "registers": [{"name": "A", "address": 0}]})"));
    QVERIFY(QDir().mkpath(user + QStringLiteral("/folder.i2cmap")));
    QCOMPARE(::mkfifo(QFile::encodeName(user + QStringLiteral("/fifo.i2cmap")).constData(), 0600),
             0);
    QVERIFY(QFile::link(QStringLiteral("loop.i2cmap"), user + QStringLiteral("/loop.i2cmap")));

    const QStringList folders = MapFolders(projects, true);
    QCOMPARE(folders.mid(0, 2), QStringList({user, DemoMapsFolder()}));
    QVERIFY(!MapFolders(projects, false).contains(DemoMapsFolder()));

    const std::vector<SMapEntry> entries = ListRegisterMaps(folders);
    QStringList listed;
    for (const SMapEntry& entry : entries)
        listed << entry.device + (entry.error.isEmpty() ? QString() : QStringLiteral(" (broken)"));
    QCOMPARE(listed, QStringList({"broken (broken)", "fifo (broken)", "folder (broken)", "INA219",
                                  "lm75", "loop (broken)", "MCP9808", "TMP102"}));
    const auto lm75 = std::find_if(entries.begin(), entries.end(),
                                   [](const SMapEntry& e) { return e.device == u"lm75"; });
    QCOMPARE(lm75->warnings,
             QStringList(QStringLiteral("%1/mine.i2cmap and %1/mine2.i2cmap are both maps of lm75; "
                                        "%1/mine.i2cmap, the first by name, is used")
                             .arg(user)));

    QString error;
    const auto mine = FindRegisterMap(QStringLiteral("LM75"), folders, &error);
    QCOMPARE(mine->description, QStringLiteral("mine"));
    QCOMPARE(mine->warnings, lm75->warnings);
    QCOMPARE(FindRegisterMap(QStringLiteral("mcp9808"), folders, &error)->device,
             QStringLiteral("MCP9808"));
    QCOMPARE(FindRegisterMap(DemoMapsFolder() + QStringLiteral("/lm75.i2cmap"), folders, &error)
                 ->registers.size(),
             size_t(4));
    QVERIFY(!FindRegisterMap(QStringLiteral("TMP10"), folders, &error));
    QVERIFY2(error.startsWith(QStringLiteral("no register map \"TMP10\"; there are TMP102, ")),
             qPrintable(error));
    QVERIFY(!FindRegisterMap(QStringLiteral("broken"), folders, &error));
    QVERIFY2(error.endsWith(QStringLiteral("broken.i2cmap: line 1, column 2: JSON error: "
                                           "unterminated object")),
             qPrintable(error));
}

QTEST_GUILESS_MAIN(TstRegisterMap)
#include "tst_registermap.moc"
