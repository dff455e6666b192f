// The Registers view on the demo's chips: the maps that ship, read, written
// and watched through the window's adapter and output table.

#include "app/elidedlabel.h"
#include "app/registerfieldeditor.h"
#include "app/registersdock.h"
#include "app/registertreemodel.h"
#include "app/watchdock.h"
#include "apptesthelpers.h"
#include "projects/i2cdevicefile.h"
#include "projects/projectspanel.h"
#include "sim/adapters/simina219.h"
#include "sim/adapters/simlm75.h"
#include "sim/adapters/simmcp9808.h"
#include "sim/adapters/simregisterfile.h"
#include "sim/adapters/simtmp102.h"
#include "tests/support/waits.h"
#include "transactions/registermapfolders.h"

#include <QCheckBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using apptest::connectTo;

class TstRegistersDock : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { apptest::setApplicationNames(); }
    void init();
    void cleanup();

    void readAllOnDemoChips_data();
    void readAllOnDemoChips();
    void failureMarkedRestRead();
    void readClearsOnlyByName();
    void valuesNotRenewedMarkedOld();
    void controlPerField_data();
    void controlPerField();
    void writeReadsBack_data();
    void writeReadsBack();
    void typedNumberWrittenOrRefused_data();
    void typedNumberWrittenOrRefused();
    void changedMarks();
    void watchHandsOverTheRule_data();
    void watchHandsOverTheRule();
    void deviceFileNamesTheMap();
    void deviceWithoutUsableMapClearsTheView();
    void disabledWhileNotConnected();
    void connectionLostDuringReadAll();
    void readAllStopsAtSilentChip();
    void mapsReadOnceUntilChanged();
    void unknownMapNamesAFew();
    void tabReachesEveryControl();

private:
    Ui::MainWindow* ui() { return MainWindowProbe(*m_window).ui(); }
    RegistersDock* view() { return m_window->findChild<RegistersDock*>(); }
    RegisterTreeModel* model() { return view()->model(); }
    QPushButton* button(const char* name)
    {
        return view()->findChild<QPushButton*>(QLatin1String(name));
    }
    // The map by hand, at an address typed into the bench's box.
    void open(const QString& map, const QString& address);
    // Selects "REG" or "REG.FIELD"; returns the register.
    int select(const QString& target);
    QString text(const QString& target, int column);
    // The types of the output table's rows from the given one on, without
    // the chip that each names first.
    QStringList rowTypes(int from = 0);
    int rowCount() { return ui()->table_data->rowCount(); }

    std::shared_ptr<CSimOrvAdapter> m_adapter;
    std::unique_ptr<MainWindow> m_window;
};

void TstRegistersDock::init()
{
    apptest::resetAll();
    m_adapter = apptest::plugBare(ESimOrvModel::Orv3, L"SN-R");
    m_adapter->AddDevice(0x18, std::make_shared<CSimMcp9808>());
    m_adapter->AddDevice(0x40, std::make_shared<CSimIna219>());
    m_adapter->AddDevice(0x48, std::make_shared<CSimLm75>());
    m_adapter->AddDevice(0x49, std::make_shared<CSimTmp102>());
    m_adapter->SetRecording(false);
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(connectTo(*m_window, QStringLiteral("SN-R")));
}

void TstRegistersDock::cleanup()
{
    m_window.reset();
    m_adapter.reset();
}

void TstRegistersDock::open(const QString& map, const QString& address)
{
    ui()->cmb_i2c_device->setEditText(address);
    QVERIFY(view()->openMap(map));
    view()->show();
}

int TstRegistersDock::select(const QString& target)
{
    const SRegisterMap* map = view()->map();
    const int reg = map->FindRegister(target.section(QLatin1Char('.'), 0, 0));
    const int field = target.contains(QLatin1Char('.'))
                          ? map->registers[static_cast<size_t>(reg)].FindField(
                                target.section(QLatin1Char('.'), 1))
                          : -1;
    view()->tree()->setCurrentIndex(model()->indexOf(reg, field));
    return reg;
}

QString TstRegistersDock::text(const QString& target, int column)
{
    select(target);
    return view()->tree()->currentIndex().siblingAtColumn(column).data().toString();
}

QStringList TstRegistersDock::rowTypes(int from)
{
    QStringList types;
    for (int row = from; row < rowCount(); ++row)
        types << apptest::cell(*m_window, row, 0).section(QStringLiteral(": "), 1);
    return types;
}

void TstRegistersDock::readAllOnDemoChips_data()
{
    QTest::addColumn<QString>("map");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("reg");
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");

    QTest::newRow("LM75") << "LM75"
                          << "0x48"
                          << QStringList{"Read TEMP", "Read CONF", "Read THYST", "Read TOS"}
                          << "TEMP"
                          << "0x1780"
                          << "TEMP.T"
                          << "23.5 °C";
    QTest::newRow("TMP102") << "tmp102"
                            << "0x49"
                            << QStringList{"Read TEMP", "Read CONF", "Read T_LOW", "Read T_HIGH"}
                            << "CONF"
                            << "0x60A0"
                            << "TEMP.T"
                            << "24.0000 °C";
    QTest::newRow("MCP9808") << "MCP9808"
                             << "0x18"
                             << QStringList{"Read CONFIG",    "Read T_UPPER",   "Read T_LOWER",
                                            "Read T_CRIT",    "Read T_A",       "Read MANUF_ID",
                                            "Read DEVICE_ID", "Read RESOLUTION"}
                             << "MANUF_ID"
                             << "0x0054"
                             << "DEVICE_ID.DEVICE"
                             << "4";
    // POWER is left out: its read clears the conversion-ready flag.
    QTest::newRow("INA219") << "INA219"
                            << "0x40"
                            << QStringList{"Read CONFIG", "Read SHUNT_VOLTAGE", "Read BUS_VOLTAGE",
                                           "Read CURRENT", "Read CALIBRATION"}
                            << "CONFIG"
                            << "0x399F"
                            << "CONFIG.MODE"
                            << "shunt and bus, continuous";
}

void TstRegistersDock::readAllOnDemoChips()
{
    QFETCH(QString, map);
    QFETCH(QString, address);
    QFETCH(QStringList, rows);
    QFETCH(QString, reg);
    QFETCH(QString, raw);
    QFETCH(QString, field);
    QFETCH(QString, value);

    open(map, address);
    button("btn_registers_read_all")->click();
    QCOMPARE(rowTypes(), rows);
    QCOMPARE(apptest::cell(*m_window, 0, 0),
             view()->map()->device + QStringLiteral(": ") + rows[0]);
    for (int row = 0; row < rowCount(); ++row)
        QVERIFY(!apptest::cell(*m_window, row, 1).contains(QLatin1String("NACK")));
    QCOMPARE(text(reg, RegisterTreeModel::ColumnRaw), raw);
    QCOMPARE(text(field, RegisterTreeModel::ColumnValue), value);
    QVERIFY2(
        view()->statusText().contains(QStringLiteral("%1 register(s) read").arg(rows.size())) ||
            view()->statusText().contains(QStringLiteral("%1 registers read").arg(rows.size())),
        qPrintable(view()->statusText()));
}

// A chip that auto-increments: one read per run of registers; the pointer of
// a register that is not there is refused, that register is marked, and the
// rest of its run is read again.
void TstRegistersDock::failureMarkedRestRead()
{
    auto chip = std::make_shared<CSimRegisterFile>();
    for (uint32_t address : {0x00u, 0x01u, 0x06u})
        chip->SetRegister(address, static_cast<uint8_t>(0x10 + address));
    m_adapter->AddDevice(0x30, chip);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("chip.i2cmap"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"version": 1, "device": "CHIP", "auto_increment": true, "registers": [
        {"name": "A", "address": 0}, {"name": "B", "address": 1},
        {"name": "GONE", "address": 5}, {"name": "C", "address": 6}]})");
    file.close();

    open(path, QStringLiteral("0x30"));
    button("btn_registers_read_all")->click();
    QCOMPARE(rowTypes(), (QStringList{"Read A..B", "Read GONE..C", "Read C"}));
    QVERIFY(apptest::cell(*m_window, 1, 1).contains(QLatin1String("NACK")));
    // The pointer written is not data read.
    QCOMPARE(apptest::cell(*m_window, 1, 2), QString());
    QCOMPARE(text(QStringLiteral("B"), RegisterTreeModel::ColumnRaw), QStringLiteral("0x11"));
    QCOMPARE(text(QStringLiteral("C"), RegisterTreeModel::ColumnRaw), QStringLiteral("0x16"));
    QVERIFY(text(QStringLiteral("GONE"), RegisterTreeModel::ColumnValue)
                .startsWith(QLatin1String("Read failed: NACK")));
    QCOMPARE(view()
                 ->tree()
                 ->currentIndex()
                 .siblingAtColumn(RegisterTreeModel::ColumnValue)
                 .data(Qt::ForegroundRole)
                 .value<QColor>(),
             QColor(0xF4, 0x43, 0x36));
    QCOMPARE(view()->tree()->currentIndex().data(Qt::AccessibleDescriptionRole).toString(),
             QStringLiteral("Read failed"));
    QVERIFY(
        view()->statusText().contains(QLatin1String("3 of 4 registers read; no value for GONE")));
}

void TstRegistersDock::readClearsOnlyByName()
{
    open(QStringLiteral("INA219"), QStringLiteral("0x40"));
    button("btn_registers_read_all")->click();
    QCOMPARE(text(QStringLiteral("POWER"), RegisterTreeModel::ColumnValue),
             QStringLiteral("not read by Read All: a read clears it"));
    QCOMPARE(text(QStringLiteral("POWER"), RegisterTreeModel::ColumnAccess),
             QStringLiteral("r, volatile, read clears"));
    const int before = rowCount();
    select(QStringLiteral("POWER"));
    button("btn_registers_read")->click();
    QCOMPARE(rowTypes(before), QStringList{"Read POWER"});
    QVERIFY(model()->value(model()->map()->FindRegister(u"POWER")).has_value());
}

void TstRegistersDock::valuesNotRenewedMarkedOld()
{
    open(QStringLiteral("INA219"), QStringLiteral("0x40"));
    const int power = model()->map()->FindRegister(u"POWER");
    const int bus = model()->map()->FindRegister(u"BUS_VOLTAGE");
    const auto tip = [this](int reg) {
        return model()
            ->indexOf(reg, -1, RegisterTreeModel::ColumnValue)
            .data(Qt::ToolTipRole)
            .toString();
    };
    button("btn_registers_read_all")->click();
    QVERIFY(!model()->isStale(bus));

    // Reading POWER may clear a flag in another register.
    select(QStringLiteral("POWER"));
    button("btn_registers_read")->click();
    QVERIFY(!model()->isStale(power));
    QVERIFY(model()->isStale(bus));
    QVERIFY(tip(bus).contains(QLatin1String("Not read since POWER was read at")));

    // Read All leaves POWER out: its value is from before.
    button("btn_registers_read_all")->click();
    QVERIFY(!model()->isStale(bus));
    QVERIFY(model()->isStale(power));
    QVERIFY(tip(power).contains(QLatin1String("Not read by the last Read All, at")));
    const QModelIndex value = model()->indexOf(power, -1, RegisterTreeModel::ColumnValue);
    QVERIFY(value.data(Qt::ForegroundRole).value<QColor>() !=
            model()
                ->indexOf(bus, -1, RegisterTreeModel::ColumnValue)
                .data(Qt::ForegroundRole)
                .value<QColor>());

    button("btn_registers_read")->click();
    QVERIFY(!model()->isStale(power));
}

void TstRegistersDock::controlPerField_data()
{
    QTest::addColumn<QString>("map");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("shown"); // the control's value, or the caption without one

    using EKind = RegisterFieldEditor::EKind;
    QTest::newRow("labels") << "TMP102"
                            << "CONF.F" << int(EKind::Labels) << "1 fault";
    QTest::newRow("one bit") << "TMP102"
                             << "CONF.OS" << int(EKind::Bit) << "0";
    QTest::newRow("number in its unit") << "TMP102"
                                        << "T_LOW.T" << int(EKind::Number) << "75.0000 °C";
    QTest::newRow("whole register") << "INA219"
                                    << "CALIBRATION" << int(EKind::Whole) << "0x0000";
    QTest::newRow("read-only field") << "TMP102"
                                     << "CONF.R" << int(EKind::None) << "CONF.R is read-only.";
    QTest::newRow("read-only register") << "LM75"
                                        << "TEMP" << int(EKind::None) << "TEMP is read-only.";
}

// Before any read, the controls start from the reset values.
void TstRegistersDock::controlPerField()
{
    QFETCH(QString, map);
    QFETCH(QString, target);
    QFETCH(int, kind);
    QFETCH(QString, shown);

    open(map, QStringLiteral("0x49"));
    select(target);
    RegisterFieldEditor* editor = view()->editor();
    QCOMPARE(int(editor->kind()), kind);
    QWidget* control = editor->control();
    if (!control) {
        QCOMPARE(editor->findChild<QLabel*>(QStringLiteral("label_registers_field"))->text(),
                 shown);
        QVERIFY(!button("btn_registers_write")->isEnabled());
        return;
    }
    QVERIFY(control->isVisibleTo(view()));
    QVERIFY(button("btn_registers_write")->isEnabled());
    QCOMPARE(control->accessibleName(), QStringLiteral("New value of %1").arg(target));
    if (auto* box = qobject_cast<QComboBox*>(control)) {
        QCOMPARE(box->currentText(), shown);
        QCOMPARE(box->count(), 4);
    } else if (auto* bit = qobject_cast<QCheckBox*>(control)) {
        QCOMPARE(QString::number(bit->isChecked()), shown);
    } else if (auto* spin = qobject_cast<QDoubleSpinBox*>(control)) {
        QCOMPARE(spin->text(), shown);
        QCOMPARE(spin->toolTip(), QStringLiteral("-128.0000 to 127.9375 °C, in steps of 0.0625"));
        QCOMPARE(spin->singleStep(), 0.0625);
    } else {
        QCOMPARE(qobject_cast<QLineEdit*>(control)->text(), shown);
    }
}

void TstRegistersDock::writeReadsBack_data()
{
    QTest::addColumn<QString>("map");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("readBack");
    QTest::addColumn<bool>("mismatch");

    QTest::newRow("label") << "LM75"
                           << "0x48"
                           << "CONF.F_QUE"
                           << "4 faults" << QStringList{"Read CONF", "Write CONF", "Read back CONF"}
                           << "0x10" << false;
    QTest::newRow("number") << "LM75"
                            << "0x48"
                            << "TOS.T"
                            << "70.5" << QStringList{"Read TOS", "Write TOS", "Read back TOS"}
                            << "0x4680" << false;
    QTest::newRow("labelled bit") << "MCP9808"
                                  << "0x18"
                                  << "CONFIG.SHDN"
                                  << "shutdown"
                                  << QStringList{"Read CONFIG", "Write CONFIG", "Read back CONFIG"}
                                  << "0x0100" << false;
    // Its 1 clears the interrupt and reads back as 0: not compared.
    QTest::newRow("write-only bit")
        << "MCP9808"
        << "0x18"
        << "CONFIG.INT_CLEAR"
        << "1" << QStringList{"Read CONFIG", "Write CONFIG", "Read back CONFIG"} << "0x0000"
        << false;
    // The chip keeps bit 0 of its calibration at 0; every bit is given, so
    // nothing is read first.
    QTest::newRow("mismatch") << "INA219"
                              << "0x40"
                              << "CALIBRATION"
                              << "0x1001"
                              << QStringList{"Write CALIBRATION", "Read back CALIBRATION"}
                              << "0x1000" << true;
}

void TstRegistersDock::writeReadsBack()
{
    QFETCH(QString, map);
    QFETCH(QString, address);
    QFETCH(QString, target);
    QFETCH(QString, value);
    QFETCH(QStringList, rows);
    QFETCH(QString, readBack);
    QFETCH(bool, mismatch);

    open(map, address);
    const int reg = select(target);
    QWidget* control = view()->editor()->control();
    if (auto* box = qobject_cast<QComboBox*>(control))
        box->setCurrentText(value);
    else if (auto* spin = qobject_cast<QDoubleSpinBox*>(control))
        spin->setValue(value.toDouble());
    else if (auto* edit = qobject_cast<QLineEdit*>(control))
        edit->setText(value);
    else if (auto* bit = qobject_cast<QCheckBox*>(control))
        bit->setChecked(value == QLatin1String("1"));
    // Return in the control writes, as the button does.
    QTest::keyClick(control, Qt::Key_Return);
    QCOMPARE(rowTypes(), rows);
    QCOMPARE(text(target.section(QLatin1Char('.'), 0, 0), RegisterTreeModel::ColumnRaw), readBack);
    QCOMPARE(model()->isMismatch(reg), mismatch);
    const QString status = view()->statusText();
    QVERIFY2(status.contains(mismatch ? QStringLiteral("differs from what was written")
                                      : QStringLiteral("as written")),
             qPrintable(status));
    if (mismatch) {
        QVERIFY(status.contains(QLatin1String("read back 0x1000: CALIBRATION differs")));
        QVERIFY(model()->valueText(reg).endsWith(QLatin1String("but 0x1001 was written")));
        // The value asked for stays in the control.
        QCOMPARE(qobject_cast<QLineEdit*>(view()->editor()->control())->text(), value);
    }
}

void TstRegistersDock::typedNumberWrittenOrRefused_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("refusal"); // empty: written
    QTest::addColumn<QString>("raw");

    QTest::newRow("in range") << "-55" << QString() << "0xC900";
    QTest::newRow("too large") << "150"
                               << "TOS.T: 150.0 °C is outside what its 9 bit(s) hold"
                               << "0x5000";
    QTest::newRow("off the step") << "80.25"
                                  << "TOS.T: 80.25 °C is not a multiple of its step"
                                  << "0x5000";
    QTest::newRow("not a number") << "-"
                                  << "TOS.T: \"-\" is not a number"
                                  << "0x5000";
}

// What is typed is written, or refused with a word: never another value.
void TstRegistersDock::typedNumberWrittenOrRefused()
{
    QFETCH(QString, typed);
    QFETCH(QString, refusal);
    QFETCH(QString, raw);

    open(QStringLiteral("LM75"), QStringLiteral("0x48"));
    button("btn_registers_read_all")->click();
    select(QStringLiteral("TOS.T"));
    auto* spin = qobject_cast<QDoubleSpinBox*>(view()->editor()->control());
    spin->setFocus();
    spin->selectAll();
    QTest::keyClicks(spin, typed);
    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    const int before = rowCount();
    QTest::keyClick(spin, Qt::Key_Return);
    if (refusal.isEmpty()) {
        QCOMPARE(rowTypes(before), (QStringList{"Read TOS", "Write TOS", "Read back TOS"}));
    } else {
        QVERIFY(answerer.waitDone());
        QVERIFY2(answerer.seen().front().text.startsWith(refusal),
                 qPrintable(answerer.seen().front().text));
        QCOMPARE(rowCount(), before);
        QCOMPARE(spin->cleanText(), typed);
    }
    QCOMPARE(text(QStringLiteral("TOS"), RegisterTreeModel::ColumnRaw), raw);
}

void TstRegistersDock::changedMarks()
{
    open(QStringLiteral("LM75"), QStringLiteral("0x48"));
    const SRegisterMap* map = view()->map();
    const int temp = map->FindRegister(u"TEMP");
    const int conf = map->FindRegister(u"CONF");
    button("btn_registers_read_all")->click();
    QVERIFY(!model()->isChanged(conf));

    // Changed behind the view's back: the bench writes the fault queue, the
    // temperature moves.
    ui()->edit_write->setText(QStringLiteral("01 18"));
    ui()->btn_write->click();
    m_adapter->DeviceAs<CSimLm75>(0x48)->SetTemperature(30.0);
    button("btn_registers_read_all")->click();
    QVERIFY(model()->isChanged(conf));
    QVERIFY(
        model()->isChanged(conf, map->registers[static_cast<size_t>(conf)].FindField(u"F_QUE")));
    QVERIFY(
        !model()->isChanged(conf, map->registers[static_cast<size_t>(conf)].FindField(u"OS_POL")));
    const QModelIndex row = model()->indexOf(conf, -1, RegisterTreeModel::ColumnValue);
    QVERIFY(row.data(Qt::FontRole).value<QFont>().bold());
    QCOMPARE(row.data(Qt::AccessibleDescriptionRole).toString(),
             QStringLiteral("Changed since the previous read"));
    QVERIFY(row.data(Qt::ToolTipRole).toString().contains(QLatin1String("Before: 0x00")));
    // A volatile register changes by itself: no mark.
    QCOMPARE(text(QStringLiteral("TEMP.T"), RegisterTreeModel::ColumnValue),
             QStringLiteral("30.0 °C"));
    QVERIFY(!model()->isChanged(temp));

    button("btn_registers_read_all")->click();
    QVERIFY(!model()->isChanged(conf));
}

void TstRegistersDock::watchHandsOverTheRule_data()
{
    QTest::addColumn<QString>("map");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("value");

    QTest::newRow("signed at the top") << "LM75"
                                       << "0x48"
                                       << "TEMP.T"
                                       << "register 00, u16be, shift 7, mask 0x1FF signed, "
                                          "scale 0.5, unit °C"
                                       << "-2.5 °C";
    // Below three flag bits, which are set.
    QTest::newRow("signed inside") << "MCP9808"
                                   << "0x18"
                                   << "T_A.T"
                                   << "register 05, u16be, mask 0x1FFF signed, scale 0.0625, "
                                      "unit °C"
                                   << "-2.5000 °C";
}

void TstRegistersDock::watchHandsOverTheRule()
{
    QFETCH(QString, map);
    QFETCH(QString, address);
    QFETCH(QString, target);
    QFETCH(QString, rule);
    QFETCH(QString, value);

    m_adapter->DeviceAs<CSimLm75>(0x48)->SetTemperature(-2.5);
    auto mcp = m_adapter->DeviceAs<CSimMcp9808>(0x18);
    mcp->SetTemperature(-2.5);
    open(map, address);
    select(target);
    button("btn_registers_watch")->click();
    auto* watch = m_window->findChild<WatchDock*>();
    QVERIFY(watch->isVisible());
    QVERIFY(watch->isRunning());
    QCOMPARE(WatchRuleEditor::describe(watch->ruleEditor()->appliedTexts()), rule);
    PELLAN_TRY_VERIFY(!watch->samples().empty());
    watch->refreshNow();
    QCOMPARE(watch->findChild<ElidedLabel*>(QStringLiteral("label_watch_value"))->fullText(),
             value);
    QVERIFY(watch->findChild<ElidedLabel*>(QStringLiteral("label_watch_source"))
                ->fullText()
                .startsWith(target));

    // The view's accesses cannot come between a poll's pointer and read:
    // the watch goes on.
    button("btn_registers_read_all")->click();
    select(target);
    button("btn_registers_read")->click();
    QVERIFY(watch->isRunning());
}

void TstRegistersDock::deviceFileNamesTheMap()
{
    // The first start installed the example LM75, which names its map; the
    // bench's box holds another address.
    ui()->cmb_i2c_device->setEditText(QStringLiteral("0x23"));
    QTreeView* tree = ui()->tree_projects;
    QModelIndex device;
    for (int row = 0; row < tree->model()->rowCount(); ++row) {
        if (tree->model()->index(row, 0).data().toString() == QLatin1String("LM75"))
            device = tree->model()->index(row, 0);
    }
    QVERIFY(device.isValid());
    tree->setCurrentIndex(device);
    testsupport::CDialogAnswerer answerer;
    answerer.chooseMenuEntry(QStringLiteral("Registers"));
    emit tree->customContextMenuRequested(tree->visualRect(device).center());
    QVERIFY(answerer.waitDone());
    QVERIFY(view()->isVisible());
    QCOMPARE(view()->map()->device, QStringLiteral("LM75"));
    QCOMPARE(view()->address(), std::optional<uint8_t>(0x48));
    QCOMPARE(view()->findChild<ElidedLabel*>(QStringLiteral("label_registers_address"))->fullText(),
             QStringLiteral("0x48, from the device LM75 (lm75.i2cdev)"));
    button("btn_registers_read_all")->click();
    QCOMPARE(apptest::lastCell(*m_window, 0), QStringLiteral("LM75: Read TOS"));

    // Picked by hand, the map reads at the bench's address.
    auto* box = view()->findChild<QComboBox*>(QStringLiteral("cmb_registers_map"));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Down);
    QVERIFY(view()->map()->device != QLatin1String("LM75"));
    QCOMPARE(view()->address(), std::optional<uint8_t>(0x23));
    QCOMPARE(view()->findChild<ElidedLabel*>(QStringLiteral("label_registers_address"))->fullText(),
             QStringLiteral("0x23, from the I2C Device box"));
}

void TstRegistersDock::deviceWithoutUsableMapClearsTheView()
{
    open(QStringLiteral("MCP9808"), QStringLiteral("0x18"));
    select(QStringLiteral("T_CRIT.T"));
    CI2cDeviceFile device;
    device.SetName(QStringLiteral("Labels"));
    device.SetAddress(0x48);
    device.SetMap(QStringLiteral("NO_SUCH_MAP"));
    view()->showDevice(device, true);
    QVERIFY(!view()->map());
    QCOMPARE(model()->rowCount(), 0);
    QCOMPARE(view()->editor()->kind(), RegisterFieldEditor::EKind::None);
    for (const char* name : {"btn_registers_read_all", "btn_registers_read", "btn_registers_write"})
        QVERIFY2(!button(name)->isEnabled(), name);
    QVERIFY(view()->statusText().contains(QLatin1String("NO_SUCH_MAP")));
    QVERIFY(view()
                ->findChild<ElidedLabel*>(QStringLiteral("label_registers_address"))
                ->fullText()
                .contains(QLatin1String("Labels")));
}

void TstRegistersDock::disabledWhileNotConnected()
{
    open(QStringLiteral("LM75"), QStringLiteral("0x48"));
    select(QStringLiteral("CONF.F_QUE"));
    const char* const buttons[] = {"btn_registers_read_all", "btn_registers_read",
                                   "btn_registers_write"};
    for (const char* name : buttons)
        QVERIFY2(button(name)->isEnabled(), name);
    select(QStringLiteral("TEMP.T"));
    QVERIFY(button("btn_registers_watch")->isEnabled());

    ui()->actionDisconnect->trigger();
    for (const char* name : buttons)
        QVERIFY2(!button(name)->isEnabled(), name);
    QVERIFY(!button("btn_registers_watch")->isEnabled());
    // The map stays to be looked at.
    QVERIFY(view()->tree()->isEnabled());
    QCOMPARE(view()->tree()->model()->rowCount(), 4);
}

void TstRegistersDock::connectionLostDuringReadAll()
{
    open(QStringLiteral("MCP9808"), QStringLiteral("0x18"));
    // Two registers read (a pointer write and a read each), then the cable
    // goes.
    m_adapter->SetFault(ESimOrvFault::Unplug, -1, 4);
    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    button("btn_registers_read_all")->click();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen().front().text, QStringLiteral("Connection to the Orvane was lost."));
    QVERIFY(!MainWindowProbe(*m_window).adapter());
    // The rows of what was read; none for the transaction that met the loss.
    QCOMPARE(rowTypes(), (QStringList{"Read CONFIG", "Read T_UPPER"}));
    QVERIFY(!model()->error(model()->map()->FindRegister(u"RESOLUTION")).isEmpty());
    QVERIFY(!button("btn_registers_read_all")->isEnabled());
}

// A chip that stops answering costs one deadline, not one per register.
void TstRegistersDock::readAllStopsAtSilentChip()
{
    auto chip = std::make_shared<CSimRegisterFile>();
    m_adapter->AddDevice(0x50, chip);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("eeprom.i2cmap"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray registers;
    for (int i = 0; i < 8; ++i) {
        chip->SetRegister(static_cast<uint32_t>(i), 0);
        registers += QStringLiteral(R"(%1{"name": "R%2", "address": %2})")
                         .arg(i ? QStringLiteral(",") : QString())
                         .arg(i)
                         .toUtf8();
    }
    file.write(R"({"version": 1, "device": "EEPROM", "registers": [)" + registers + "]}");
    file.close();
    open(path, QStringLiteral("0x50"));
    // Two registers (a pointer write and a read each), then silence.
    m_adapter->SetFault(ESimOrvFault::NoAnswer, -1, 4);
    button("btn_registers_read_all")->click();
    QCOMPARE(rowTypes(), (QStringList{"Read R0", "Read R1", "Read R2"}));
    QVERIFY2(view()->statusText().contains(
                 QLatin1String("2 of 8 registers read; no value for R2 (Timeout); stopped at "
                               "R2, which did not answer: 5 not read")),
             qPrintable(view()->statusText()));
    QCOMPARE(model()->error(7), QStringLiteral("not read: EEPROM did not answer"));
    QVERIFY(!view()->isRunning());
}

void TstRegistersDock::mapsReadOnceUntilChanged()
{
    const QString folder = UserMapsFolder(m_window->findChild<CProjectsPanel*>()->GetFolder());
    QVERIFY(QDir().mkpath(folder));
    QFile file(folder + QStringLiteral("/mine.i2cmap"));
    const auto write = [&file](const QByteArray& name) {
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(R"({"version": 1, "device": ")" + name +
                   R"(", "registers": [{"name": "A", "address": 0}]})");
        file.close();
    };
    write("MINE");
    QVERIFY(view()->openMap(QStringLiteral("MINE")));
    const int reads = view()->maps().reads();
    view()->hide();
    view()->show();
    QVERIFY(view()->openMap(QStringLiteral("LM75")));
    QVERIFY(view()->openMap(QStringLiteral("mine")));
    QCOMPARE(view()->maps().reads(), reads);

    write("MINE2");
    QVERIFY(view()->openMap(QStringLiteral("MINE2")));
    QCOMPARE(view()->maps().reads(), reads + 1);
    QCOMPARE(view()->map()->device, QStringLiteral("MINE2"));
}

// Among many maps, a name not found offers the nearest and counts the rest.
void TstRegistersDock::unknownMapNamesAFew()
{
    const QString folder = UserMapsFolder(m_window->findChild<CProjectsPanel*>()->GetFolder());
    QVERIFY(QDir().mkpath(folder));
    for (int i = 0; i < 150; ++i) {
        QFile file(folder + QStringLiteral("/vendor%1.i2cmap").arg(i));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(R"({"version": 1, "device": "VENDOR_SENSOR_MODEL_%1",
            "description": "%2", "registers": [{"name": "A", "address": 0}]})")
                       .arg(i)
                       .arg(QString(40, QLatin1Char('x')))
                       .toUtf8());
    }
    CI2cDeviceFile device;
    device.SetName(QStringLiteral("Typo"));
    device.SetAddress(0x48);
    device.SetMap(QStringLiteral("LM57"));
    view()->showDevice(device, true);
    const QString status = view()->statusText();
    QVERIFY2(QRegularExpression(QStringLiteral("there are LM75, .* and \\d+ more$"))
                 .match(status)
                 .hasMatch(),
             qPrintable(status));
    QVERIFY(status.size() < 400);
}

void TstRegistersDock::tabReachesEveryControl()
{
    open(QStringLiteral("LM75"), QStringLiteral("0x48"));
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get(), testsupport::WAIT_MS));
    select(QStringLiteral("CONF.F_QUE"));
    const QStringList order = {
        "cmb_registers_map",      "btn_registers_open",  "label_registers_address",
        "btn_registers_read_all", "btn_registers_read",  "btn_registers_watch",
        "tree_registers",         "cmb_registers_value", "btn_registers_write",
    };
    auto focused = [&order]() -> QString {
        for (QWidget* widget = QApplication::focusWidget(); widget;
             widget = widget->parentWidget()) {
            if (order.contains(widget->objectName()))
                return widget->objectName();
        }
        return QStringLiteral("(none)");
    };
    view()->findChild<QWidget*>(QStringLiteral("cmb_registers_map"))->setFocus();
    QStringList seen = {focused()};
    for (int i = 1; i < order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen.append(focused());
    }
    QCOMPARE(seen, order);
    // Return on a row goes to its value.
    view()->tree()->setFocus();
    QTest::keyClick(view()->tree(), Qt::Key_Return);
    QCOMPARE(focused(), QStringLiteral("cmb_registers_value"));
}

QTEST_MAIN(TstRegistersDock)
#include "tst_registersdock.moc"
