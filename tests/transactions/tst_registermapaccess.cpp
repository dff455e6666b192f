// Register maps on simulated adapters: what Read All and read-modify-writes
// put on the bus, byte by byte, on every model, and the shipped maps on the
// demo's chips.

#include "i2c/orvdevicefactory.h"
#include "sim/adapters/demoadapters.h"
#include "sim/adapters/simlm75.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/adapters/simregisterfile.h"
#include "sim/simhid.h"
#include "transactions/registermapaccess.h"
#include "transactions/registermapfolders.h"

#include <QFile>
#include <QTest>

#include <algorithm>

#include <memory>

namespace {

constexpr uint8_t CHIP = 0x30;

EOrvType typeOf(ESimOrvModel model)
{
    switch (model) {
    case ESimOrvModel::Orv3:
        return EOrvType::Orv3;
    case ESimOrvModel::Orv5:
        return EOrvType::Orv5;
    case ESimOrvModel::Orv7:
        break;
    }
    return EOrvType::Orv7;
}

// The bus frames of the reports an adapter received: "S 60 00 Sr 61 [4] P".
QString wire(const std::vector<CSimOrvAdapter::Report>& reports, ESimOrvModel model)
{
    QStringList tokens;
    bool open = false;
    for (const CSimOrvAdapter::Report& report : reports) {
        if (report[0] == 0x02) {
            const int control = report[1];
            if (control & 0x80)
                tokens << (open ? "Sr" : "S");
            for (int i = 0; i < (control & 0x3F); ++i)
                tokens
                    << QStringLiteral("%1").arg(report[2 + i], 2, 16, QLatin1Char('0')).toUpper();
            open = !(control & 0x40);
            if (!open)
                tokens << "P";
        } else if (report[0] == 0x03) {
            int count = report[1];
            if (model == ESimOrvModel::Orv5)
                count = count == 0 ? 256 : count;
            else
                count |= report[3] << 8;
            tokens << (open ? "Sr" : "S")
                   << QStringLiteral("%1").arg(report[2], 2, 16, QLatin1Char('0')).toUpper()
                   << QStringLiteral("[%1]").arg(count) << "P";
            open = false;
        }
    }
    return tokens.join(' ');
}

SRegisterMap parse(const QByteArray& text)
{
    QString error;
    std::optional<SRegisterMap> map = ParseRegisterMap(text, &error);
    if (!map)
        qWarning("%s", qPrintable(error));
    return map.value_or(SRegisterMap());
}

QStringList stepTypes(const std::vector<SMapStep>& steps)
{
    QStringList types;
    for (const SMapStep& step : steps)
        types << step.type;
    return types;
}

// name=value for every register read, "name failed" for the failed ones.
QStringList values(const SRegisterMap& map, const SMapRead& read)
{
    QStringList texts;
    for (const SMapRegisterRead& r : read.registers) {
        const SMapRegister& reg = map.registers[static_cast<size_t>(r.reg)];
        texts << (r.value ? reg.name + '=' + RegisterValueText(reg, *r.value)
                          : reg.name + QStringLiteral(" failed"));
    }
    return texts;
}

const QByteArray STATUS_MAP = R"({"device": "S", "registers": [
    {"name": "STATUS", "address": 1, "fields": [
        {"name": "READY", "bits": "0", "write": "w1c"},
        {"name": "ERR", "bits": "1", "write": "w1c"},
        {"name": "MODE", "bits": "4:2"},
        {"name": "NOTX", "bits": "5", "write": "w0c"},
        {"name": "GO", "bits": "6", "write": "w1s"},
        {"name": "EN", "bits": "7"}]}]})";

const QByteArray REFUSE_MAP = R"({"device": "R", "registers": [
    {"name": "RO", "address": 0, "access": "r"},
    {"name": "WO", "address": 1, "access": "w", "reset": "0x80",
     "fields": [{"name": "A", "bits": "3:0"}, {"name": "B", "bits": "6:4"}]},
    {"name": "MIX", "address": 2, "fields": [{"name": "S", "bits": "0", "access": "r"},
                                             {"name": "C", "bits": "7:1"}]}]})";

} // namespace

class TstRegisterMapAccess : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void readAllRuns_data();
    void readAllRuns();
    void writeSendsTheIncrementFlag();
    void readAllKeepsToTheReadLimit_data();
    void readAllKeepsToTheReadLimit();
    void readAllMarksFailures();
    void readAllStopsWhenTheAdapterIsGone();
    void readAllStopsWhenCancelled();
    void pagesSelectedBeforeAccess();
    void writeKeepsStatusBits_data();
    void writeKeepsStatusBits();
    void writeOnEveryModel_data();
    void writeOnEveryModel();
    void refusedBeforeTheBus_data();
    void refusedBeforeTheBus();
    void shippedMapsOnDemoChips_data();
    void shippedMapsOnDemoChips();
    void tmp102ExtendedMode();

private:
    void connect(ESimOrvModel model, const std::wstring& serial = L"M-1");
    std::shared_ptr<CSimRegisterFile> addChip(SSimRegisterFileOptions options);
    QString takeWire();

    std::shared_ptr<CSimOrvAdapter> m_adapter;
    std::vector<std::shared_ptr<CSimOrvAdapter>> m_demo;
    std::unique_ptr<COrvI2c> m_i2c;
    ESimOrvModel m_model = ESimOrvModel::Orv3;
};

void TstRegisterMapAccess::init()
{
    CSimHidStack::Instance().Reset();
}

void TstRegisterMapAccess::cleanup()
{
    m_i2c.reset();
    m_adapter.reset();
    m_demo.clear();
    CSimHidStack::Instance().Reset();
}

void TstRegisterMapAccess::connect(ESimOrvModel model, const std::wstring& serial)
{
    m_model = model;
    if (!m_adapter)
        m_adapter = CSimOrvAdapter::Plug(model, serial);
    m_i2c = COrvDeviceFactory::Create(typeOf(model));
    QVERIFY(m_i2c->Connect(serial, EI2cSpeed::Speed100k));
    m_adapter->TakeReceivedReports();
}

std::shared_ptr<CSimRegisterFile> TstRegisterMapAccess::addChip(SSimRegisterFileOptions options)
{
    auto chip = std::make_shared<CSimRegisterFile>(options);
    m_adapter->AddDevice(CHIP, chip);
    return chip;
}

QString TstRegisterMapAccess::takeWire()
{
    return wire(m_adapter->TakeReceivedReports(), m_model);
}

void TstRegisterMapAccess::readAllRuns_data()
{
    QTest::addColumn<bool>("autoIncrement");
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("wire");

    QTest::newRow("runs") << true << "" << QStringList{"Read A..C", "Read D"}
                          << "S 60 00 Sr 61 [4] P S 60 05 Sr 61 [1] P";
    QTest::newRow("runs, increment flag") << true << "0x80" << QStringList{"Read A..C", "Read D"}
                                          << "S 60 80 Sr 61 [4] P S 60 05 Sr 61 [1] P";
    QTest::newRow("one by one") << false << ""
                                << QStringList{"Read A", "Read B", "Read C", "Read D"}
                                << "S 60 00 Sr 61 [1] P S 60 01 Sr 61 [2] P "
                                   "S 60 03 Sr 61 [1] P S 60 05 Sr 61 [1] P";
    QTest::newRow("one by one, increment flag")
        << false << "0x80" << QStringList{"Read A", "Read B", "Read C", "Read D"}
        << "S 60 00 Sr 61 [1] P S 60 81 Sr 61 [2] P S 60 03 Sr 61 [1] P S 60 05 Sr 61 [1] P";
}

void TstRegisterMapAccess::readAllRuns()
{
    QFETCH(bool, autoIncrement);
    QFETCH(QString, flag);
    QFETCH(QStringList, steps);
    QFETCH(QString, wire);

    connect(ESimOrvModel::Orv3);
    SSimRegisterFileOptions options;
    options.incrementFlag = flag.isEmpty() ? 0 : 0x80;
    const auto chip = addChip(options);
    for (uint8_t address = 0; address <= 5; ++address)
        chip->SetRegister(address, static_cast<uint8_t>(0x11 * (address + 1)));
    // Register 4 is no register of the map: a run stops before it.
    const SRegisterMap map = parse(
        R"({"device": "T", "auto_increment": )" + QByteArray(autoIncrement ? "true" : "false") +
        (flag.isEmpty() ? "" : R"(, "increment_flag": ")" + flag.toLatin1() + '"') +
        R"(, "registers": [{"name": "A", "address": 0}, {"name": "B", "address": 1, "bytes": 2},
                           {"name": "C", "address": 3}, {"name": "D", "address": 5}]})");

    const SMapRead read = RunMapReadAll(*m_i2c, CHIP, map);
    QVERIFY(read.ok());
    QCOMPARE(stepTypes(read.steps), steps);
    QCOMPARE(takeWire(), wire);
    QCOMPARE(values(map, read), QStringList({"A=0x11", "B=0x2233", "C=0x44", "D=0x66"}));
}

void TstRegisterMapAccess::writeSendsTheIncrementFlag()
{
    connect(ESimOrvModel::Orv5);
    SSimRegisterFileOptions options;
    options.incrementFlag = 0x80;
    const auto chip = addChip(options);
    chip->SetRegister(1, 0x12);
    chip->SetRegister(2, 0x34);
    chip->SetRegister(3, 0x00);
    const SRegisterMap map = parse(R"({"device": "T", "increment_flag": "0x80", "registers": [
        {"name": "B", "address": 1, "bytes": 2, "byte_order": "little",
         "fields": [{"name": "LO", "bits": "7:0"}, {"name": "HI", "bits": "15:8"}]},
        {"name": "C", "address": 3}]})");
    SMapError error;
    const auto plan = PlanMapWrites(map, {"B.HI=0x56", "C=7"}, &error);
    QVERIFY(plan);
    QVERIFY(RunMapWrite(*m_i2c, CHIP, map, (*plan)[0]).ok());
    QVERIFY(RunMapWrite(*m_i2c, CHIP, map, (*plan)[1]).ok());
    QCOMPARE(takeWire(), QStringLiteral("S 60 81 Sr 61 [2] P S 60 81 12 56 P S 60 81 Sr 61 [2] P "
                                        "S 60 03 07 P S 60 03 Sr 61 [1] P"));
    QCOMPARE(chip->Register(2), uint8_t(0x56));
}

void TstRegisterMapAccess::readAllKeepsToTheReadLimit_data()
{
    QTest::addColumn<ESimOrvModel>("model");
    QTest::addColumn<QStringList>("steps");

    QTest::newRow("Orvane3") << ESimOrvModel::Orv3 << QStringList{"Read R0..R149"};
    QTest::newRow("Orvane5, 256 bytes a read")
        << ESimOrvModel::Orv5 << QStringList{"Read R0..R127", "Read R128..R149"};
    QTest::newRow("Orvane7") << ESimOrvModel::Orv7 << QStringList{"Read R0..R149"};
}

void TstRegisterMapAccess::readAllKeepsToTheReadLimit()
{
    QFETCH(ESimOrvModel, model);
    QFETCH(QStringList, steps);

    connect(model);
    SSimRegisterFileOptions options;
    options.pointerBytes = 2;
    const auto chip = addChip(options);
    for (uint32_t address = 0; address < 300; ++address)
        chip->SetRegister(address, static_cast<uint8_t>(address));
    const SRegisterMap map = parse(R"({"device": "T", "pointer_bytes": 2, "auto_increment": true,
        "registers": [{"name": "R", "address": 0, "bytes": 2, "count": 150}]})");

    const SMapRead read = RunMapReadAll(*m_i2c, CHIP, map);
    QVERIFY(read.ok());
    QCOMPARE(stepTypes(read.steps), steps);
    QCOMPARE(read.registers.size(), size_t(150));
    for (const SMapRegisterRead& r : read.registers) {
        const uint32_t first = static_cast<uint32_t>(2 * r.reg) & 0xFF;
        QCOMPARE(*r.value, first << 8 | ((first + 1) & 0xFF));
    }
}

void TstRegisterMapAccess::readAllMarksFailures()
{
    connect(ESimOrvModel::Orv3);
    const auto chip = addChip({});
    for (uint8_t address : {1, 2, 4, 5})
        chip->SetRegister(address, static_cast<uint8_t>(0xA0 + address));
    chip->SetReadClears(4);
    const SRegisterMap map = parse(R"({"device": "T", "auto_increment": true, "registers": [
        {"name": "M", "address": 0}, {"name": "A", "address": 1}, {"name": "B", "address": 2},
        {"name": "W", "address": 3, "access": "w"}, {"name": "FIFO", "address": 4, "read_clears": true},
        {"name": "C", "address": 5}]})");

    // The chip refuses the missing register's pointer: the rest of its run
    // is read again without it. Write-only and clearing registers stay unread.
    SMapRead read = RunMapReadAll(*m_i2c, CHIP, map);
    QVERIFY(!read.ok());
    QCOMPARE(stepTypes(read.steps), QStringList({"Read M..B", "Read A..B", "Read C"}));
    QCOMPARE(values(map, read), QStringList({"M failed", "A=0xA1", "B=0xA2", "C=0xA5"}));
    QCOMPARE(read.registers[0].error, QStringLiteral("NACK received"));
    QCOMPARE(read.failure()->type, QStringLiteral("Read M..B"));
    QCOMPARE(chip->Register(4), uint8_t(0xA4));

    // Asked for by name, the clearing register is read, in the run it joins.
    read = RunMapReadAll(*m_i2c, CHIP, map, {map.FindRegister(u"FIFO")});
    QCOMPARE(stepTypes(read.steps), QStringList({"Read M..B", "Read A..B", "Read FIFO..C"}));
    QCOMPARE(values(map, read),
             QStringList({"M failed", "A=0xA1", "B=0xA2", "FIFO=0xA4", "C=0xA5"}));
    QCOMPARE(chip->Register(4), uint8_t(0));
}

void TstRegisterMapAccess::readAllStopsWhenTheAdapterIsGone()
{
    connect(ESimOrvModel::Orv3);
    addChip({})->SetRegister(0, 1);
    const SRegisterMap map = parse(R"({"device": "T", "registers": [
        {"name": "A", "address": 0}, {"name": "B", "address": 1}, {"name": "C", "address": 2}]})");
    m_adapter->SetFault(ESimOrvFault::Unplug);
    const SMapRead read = RunMapReadAll(*m_i2c, CHIP, map);
    QCOMPARE(values(map, read), QStringList({"A failed", "B failed", "C failed"}));
    QCOMPARE(read.steps.size(), size_t(1));
    QVERIFY(!read.registers[2].error.isEmpty());
    QCOMPARE(read.registers[2].error, read.registers[0].error);
}

void TstRegisterMapAccess::readAllStopsWhenCancelled()
{
    connect(ESimOrvModel::Orv3);
    const auto chip = addChip({});
    for (uint8_t address = 0; address <= 2; ++address)
        chip->SetRegister(address, address);
    const SRegisterMap map = parse(R"({"device": "T", "registers": [
        {"name": "A", "address": 0}, {"name": "B", "address": 1}, {"name": "C", "address": 2}]})");
    int asked = 0;
    const SMapRead read = RunMapReadAll(*m_i2c, CHIP, map, {}, [&asked] { return ++asked > 1; });
    QCOMPARE(values(map, read), QStringList({"A=0x00", "B failed", "C failed"}));
    QCOMPARE(read.registers[2].error, QStringLiteral("Cancelled"));
    QCOMPARE(takeWire(), QStringLiteral("S 60 00 Sr 61 [1] P"));
}

void TstRegisterMapAccess::pagesSelectedBeforeAccess()
{
    connect(ESimOrvModel::Orv3);
    SSimRegisterFileOptions options;
    options.bankSelect = 0x7F;
    const auto chip = addChip(options);
    chip->SetRegister(0x7F, 0x00);
    chip->SetRegister(0x10, 0xA1, 1);
    chip->SetRegister(0x11, 0xA2, 1);
    chip->SetRegister(0x10, 0xB2, 2);
    const SRegisterMap map = parse(R"({"device": "T",
        "pages": [{"name": "P1", "select": "SEL", "value": 1},
                  {"name": "P2", "select": "SEL.BANK", "value": 2}],
        "registers": [{"name": "X", "address": "0x10", "page": "P1"},
                      {"name": "Y", "address": "0x10", "page": "P2"},
                      {"name": "Z", "address": "0x11", "page": "P1"},
                      {"name": "SEL", "address": "0x7F", "fields": [{"name": "BANK", "bits": "1:0"}]}]})");

    const SMapRead read = RunMapReadAll(*m_i2c, CHIP, map);
    QVERIFY(read.ok());
    QCOMPARE(stepTypes(read.steps), QStringList({"Read SEL", "Select P1", "Read X", "Read Z",
                                                 "Read SEL", "Select P2", "Read Y"}));
    QCOMPARE(takeWire(), QStringLiteral("S 60 7F Sr 61 [1] P S 60 7F 01 P S 60 10 Sr 61 [1] P "
                                        "S 60 11 Sr 61 [1] P S 60 7F Sr 61 [1] P S 60 7F 02 P "
                                        "S 60 10 Sr 61 [1] P"));
    QCOMPARE(values(map, read), QStringList({"X=0xA1", "Y=0xB2", "Z=0xA2", "SEL=0x00"}));

    // One register: its page first, then the access.
    const SMapRead x = RunMapRegisterRead(*m_i2c, CHIP, map, map.FindRegister(u"X"));
    QCOMPARE(stepTypes(x.steps), QStringList({"Select P1", "Read X"}));
    QCOMPARE(*x.registers[0].value, 0xA1u);
    takeWire();

    SMapError error;
    const auto writes = PlanMapWrites(map, {"Y=0x55"}, &error);
    QVERIFY(writes);
    const SMapWriteResult written = RunMapWrite(*m_i2c, CHIP, map, writes->front());
    QVERIFY(written.ok());
    QCOMPARE(stepTypes(written.steps),
             QStringList({"Read SEL", "Select P2", "Write Y", "Read back Y"}));
    QCOMPARE(takeWire(), QStringLiteral("S 60 7F Sr 61 [1] P S 60 7F 02 P S 60 10 55 P "
                                        "S 60 10 Sr 61 [1] P"));
    QCOMPARE(chip->Register(0x10, 2), uint8_t(0x55));
    QCOMPARE(chip->Register(0x10, 1), uint8_t(0xA1));
}

void TstRegisterMapAccess::writeKeepsStatusBits_data()
{
    QTest::addColumn<QString>("assignment");
    QTest::addColumn<uint>("written");
    QTest::addColumn<uint>("after");

    // The chip holds READY and ERR (w1c) and GO set, NOTX (w0c) clear.
    QTest::newRow("another field: status kept") << "STATUS.EN=1" << 0xA0u << 0xA3u;
    QTest::newRow("a w1c field: only it cleared") << "STATUS.ERR=1" << 0x22u << 0x21u;
    QTest::newRow("a w1s field") << "STATUS.GO=1" << 0x60u << 0x63u;
    QTest::newRow("a w0c field") << "STATUS.NOTX=0" << 0x00u << 0x03u;
    QTest::newRow("a normal field") << "STATUS.MODE=5" << 0x34u << 0x37u;
    QTest::newRow("the whole register") << "STATUS=0x01" << 0x01u << 0x02u;
}

void TstRegisterMapAccess::writeKeepsStatusBits()
{
    QFETCH(QString, assignment);
    QFETCH(uint, written);
    QFETCH(uint, after);

    connect(ESimOrvModel::Orv3);
    const auto chip = addChip({});
    chip->SetRegister(1, 0x43);
    chip->SetWriteOneToClear(1, 0x03);
    const SRegisterMap map = parse(STATUS_MAP);
    SMapError error;
    const auto writes = PlanMapWrites(map, {assignment}, &error);
    QVERIFY2(writes, qPrintable(error.text));
    const SMapWriteResult result = RunMapWrite(*m_i2c, CHIP, map, writes->front());
    QVERIFY2(result.ok(), qPrintable(result.MismatchNames(map, writes->front()).join(' ')));
    QCOMPARE(*result.written, written);
    QCOMPARE(uint(chip->Register(1)), after);
}

void TstRegisterMapAccess::writeOnEveryModel_data()
{
    QTest::addColumn<ESimOrvModel>("model");
    QTest::newRow("Orvane3") << ESimOrvModel::Orv3;
    QTest::newRow("Orvane5") << ESimOrvModel::Orv5;
    QTest::newRow("Orvane7") << ESimOrvModel::Orv7;
}

void TstRegisterMapAccess::writeOnEveryModel()
{
    QFETCH(ESimOrvModel, model);
    connect(model);
    QString loadError;
    const auto map = LoadRegisterMap(DemoMapsFolder() + QStringLiteral("/lm75.i2cmap"), &loadError);
    QVERIFY2(map, qPrintable(loadError));
    const uint8_t lm75 = CSimLm75::DEFAULT_ADDRESS;

    // Two fields of one register in one write; a field that leaves bits of
    // its register alone reads them first.
    SMapError error;
    const auto plan = PlanMapWrites(
        *map, {"conf.F_QUE=4 faults", "TOS.T=80.5", "CONF.OS_POL=\"active high\""}, &error);
    QVERIFY2(plan, qPrintable(error.text));
    QCOMPARE(plan->size(), size_t(2));
    SMapWriteResult result = RunMapWrite(*m_i2c, lm75, *map, (*plan)[0]);
    QVERIFY(result.ok());
    QCOMPARE(stepTypes(result.steps), QStringList({"Read CONF", "Write CONF", "Read back CONF"}));
    QCOMPARE(takeWire(), QStringLiteral("S 90 01 Sr 91 [1] P S 90 01 14 P S 90 01 Sr 91 [1] P"));
    QCOMPARE(m_adapter->DeviceAs<CSimLm75>(lm75)->Configuration(), uint8_t(0x14));
    QCOMPARE(MapStepReportLine(result.steps[1]), QStringLiteral("Write CONF\t0x03\t01 14"));

    result = RunMapWrite(*m_i2c, lm75, *map, (*plan)[1]);
    QVERIFY(result.ok());
    QCOMPARE(takeWire(), QStringLiteral("S 90 03 Sr 91 [2] P S 90 03 50 80 P S 90 03 Sr 91 [2] P"));
    QCOMPARE(*result.readBack, 0x5080u);

    // The LM75 keeps only the top bit of the limit's low byte.
    const auto whole = PlanMapWrites(*map, {"TOS=0x5001"}, &error);
    QVERIFY(whole);
    result = RunMapWrite(*m_i2c, lm75, *map, whole->front());
    QVERIFY(!result.ok());
    QVERIFY(result.Mismatch());
    QVERIFY(!result.failure());
    QCOMPARE(result.MismatchNames(*map, whole->front()), QStringList({"TOS"}));
    QCOMPARE(*result.readBack, 0x5000u);
}

void TstRegisterMapAccess::refusedBeforeTheBus_data()
{
    QTest::addColumn<QByteArray>("map");
    QTest::addColumn<QStringList>("assignments");
    QTest::addColumn<EMapErrorKind>("kind");
    QTest::addColumn<QString>("error");

    QString lm75Error;
    const auto lm75 =
        LoadRegisterMap(DemoMapsFolder() + QStringLiteral("/lm75.i2cmap"), &lm75Error);
    QVERIFY(lm75);
    QFile file(lm75->filePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray shipped = file.readAll();

    QTest::newRow("unknown register")
        << shipped << QStringList{"TMEP.T=1"} << EMapErrorKind::UnknownName
        << "no register \"TMEP\" in LM75; near names: TEMP";
    QTest::newRow("unknown field")
        << shipped << QStringList{"CONF.F_QEU=1"} << EMapErrorKind::UnknownName
        << "CONF has no field \"F_QEU\"; near names: F_QUE";
    QTest::newRow("read-only register")
        << shipped << QStringList{"TEMP.T=20"} << EMapErrorKind::ReadOnly << "TEMP is read-only";
    QTest::newRow("not a multiple of the scale")
        << shipped << QStringList{"TOS.T=80.3"} << EMapErrorKind::BadValue
        << "TOS.T: 80.3 °C is not a multiple of its step of 0.5 °C";
    QTest::newRow("given twice") << shipped << QStringList{"CONF.F_QUE=1", "conf.f_que=2"}
                                 << EMapErrorKind::BadValue << "CONF.F_QUE is given twice";
    QTest::newRow("whole and by field")
        << shipped << QStringList{"CONF=0", "CONF.F_QUE=1"} << EMapErrorKind::BadValue
        << "CONF is given both whole and by field; give one or the other";
    QTest::newRow("no value") << shipped << QStringList{"CONF"} << EMapErrorKind::BadValue
                              << "\"CONF\" is not NAME=VALUE or NAME.FIELD=VALUE";
    QTest::newRow("too wide") << shipped << QStringList{"TOS=0x10000"} << EMapErrorKind::BadValue
                              << "TOS: 0x10000 does not fit its 2 byte(s) (at most 0xFFFF)";
    QTest::newRow("read-only field")
        << REFUSE_MAP << QStringList{"MIX.S=1"} << EMapErrorKind::ReadOnly << "MIX.S is read-only";
    QTest::newRow("write-only, a field missing")
        << REFUSE_MAP << QStringList{"WO.A=1"} << EMapErrorKind::WriteOnly
        << "WO is write-only, so its other fields cannot be read and kept: give B as well, or "
           "the whole value";
}

void TstRegisterMapAccess::refusedBeforeTheBus()
{
    QFETCH(QByteArray, map);
    QFETCH(QStringList, assignments);
    QFETCH(EMapErrorKind, kind);
    QFETCH(QString, error);
    SMapError refusal;
    QVERIFY(!PlanMapWrites(parse(map), assignments, &refusal));
    QCOMPARE(refusal.kind, kind);
    QCOMPARE(refusal.text, error);
}

void TstRegisterMapAccess::shippedMapsOnDemoChips_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("text"); // a field's text, or a register's raw value

    for (const char* serial : {"OR3-100042", "OR5-200107"}) {
        const auto row = [serial](const char* device, int address, const char* target,
                                  const char* text) {
            QTest::addRow("%s %s %s", serial, device, target)
                << QString::fromLatin1(serial) << QString::fromLatin1(device) << address
                << QString::fromLatin1(target) << QString::fromUtf8(text);
        };
        row("MCP9808", 0x18, "MANUF_ID", "0x0054");
        row("MCP9808", 0x18, "DEVICE_ID.DEVICE", "4");
        row("MCP9808", 0x18, "DEVICE_ID", "0x0400");
        row("MCP9808", 0x18, "RESOLUTION.RES", "0.0625 °C");
        row("MCP9808", 0x18, "CONFIG", "0x0000");
        row("MCP9808", 0x18, "T_A.T", "22.5000 °C");
        row("INA219", 0x40, "CONFIG", "0x399F");
        row("INA219", 0x40, "CONFIG.MODE", "shunt and bus, continuous");
        row("INA219", 0x40, "CONFIG.PG", "320 mV");
        row("INA219", 0x40, "BUS_VOLTAGE.V", "5000 mV");
        row("INA219", 0x40, "BUS_VOLTAGE.CNVR", "ready");
        row("INA219", 0x40, "SHUNT_VOLTAGE.V", "2.50 mV");
        row("INA219", 0x40, "CALIBRATION", "0x0000");
        row("TMP102", 0x49, "CONF", "0x60A0");
        row("TMP102", 0x49, "CONF.CR", "4 Hz");
        row("TMP102", 0x49, "TEMP.T", "24.0000 °C");
        row("TMP102", 0x49, "T_LOW.T", "75.0000 °C");
        row("TMP102", 0x49, "T_HIGH", "0x5000");
        row("LM75", 0x48, "TEMP.T", "23.5 °C");
        row("LM75", 0x48, "THYST", "0x4B00");
    }
}

void TstRegisterMapAccess::shippedMapsOnDemoChips()
{
    QFETCH(QString, serial);
    QFETCH(QString, device);
    QFETCH(int, address);
    QFETCH(QString, target);
    QFETCH(QString, text);

    m_demo = PlugDemoAdapters();
    const bool orv5 = serial.startsWith(QStringLiteral("OR5"));
    m_i2c = COrvDeviceFactory::Create(orv5 ? EOrvType::Orv5 : EOrvType::Orv3);
    QVERIFY(m_i2c->Connect(serial.toStdWString(), EI2cSpeed::Speed100k));
    QString loadError;
    const auto map = FindRegisterMap(device, {DemoMapsFolder()}, &loadError);
    QVERIFY2(map, qPrintable(loadError));

    const SMapRead read = RunMapReadAll(*m_i2c, static_cast<uint8_t>(address), *map);
    QVERIFY(read.ok());
    int reg = -1;
    int field = -1;
    QVERIFY(FindMapTarget(*map, target, reg, field, nullptr));
    const auto found = std::find_if(read.registers.begin(), read.registers.end(),
                                    [reg](const SMapRegisterRead& r) { return r.reg == reg; });
    QVERIFY(found != read.registers.end());
    const SMapRegister& r = map->registers[static_cast<size_t>(reg)];
    const QString shown =
        field < 0 ? RegisterValueText(r, *found->value)
                  : DecodeField(r, r.fields[static_cast<size_t>(field)], *found->value).text;
    QCOMPARE(shown, text);
}

void TstRegisterMapAccess::tmp102ExtendedMode()
{
    m_demo = PlugDemoAdapters();
    m_i2c = COrvDeviceFactory::Create(EOrvType::Orv7);
    QVERIFY(m_i2c->Connect(L"OR7-300311", EI2cSpeed::Speed400k));
    QString loadError;
    const auto map = FindRegisterMap(QStringLiteral("tmp102"), {DemoMapsFolder()}, &loadError);
    QVERIFY2(map, qPrintable(loadError));
    SMapError error;
    const auto plan = PlanMapWrites(*map, {"CONF.EM=extended"}, &error);
    QVERIFY(plan);
    const SMapWriteResult result = RunMapWrite(*m_i2c, 0x49, *map, plan->front());
    QVERIFY(result.ok());
    QCOMPARE(*result.written, 0x60B0u);

    // 24 degrees in 13 bits, and the mode bit.
    const int temp = map->FindRegister(u"TEMP");
    const SMapRead read = RunMapRegisterRead(*m_i2c, 0x49, *map, temp);
    QCOMPARE(*read.registers[0].value, 0x0C01u);
    const SMapRegister& reg = map->registers[static_cast<size_t>(temp)];
    QCOMPARE(DecodeField(reg, reg.fields[1], *read.registers[0].value).text,
             QStringLiteral("extended"));
}

QTEST_GUILESS_MAIN(TstRegisterMapAccess)
#include "tst_registermapaccess.moc"
