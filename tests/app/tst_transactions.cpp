#include "apptesthelpers.h"
#include "sim/adapters/simbh1750.h"
#include "sim/adapters/simeeprom24c02.h"
#include "tests/support/watchdog.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <QTest>

using apptest::cell;
using apptest::connectTo;
using apptest::lastCell;
using apptest::takeReports;

namespace {

// Answers every address; its start unplugs the adapter it sits on, as if
// the cable came out in the middle of a bus search.
class CUnplugOnStart : public CSimI2cDevice {
public:
    explicit CUnplugOnStart(std::vector<std::string> paths) : m_paths(std::move(paths)) {}
    bool Start(bool) override
    {
        for (const std::string& path : m_paths)
            CSimHidStack::Instance().Unplug(path);
        return true;
    }
    size_t Write(std::span<const uint8_t> bytes) override { return bytes.size(); }
    void Read(std::span<uint8_t> out) override { std::fill(out.begin(), out.end(), 0); }
    void Stop() override {}

private:
    std::vector<std::string> m_paths;
};

} // namespace

class TstTransactions : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { apptest::setApplicationNames(); }
    void init();
    void cleanup();

    void parseAddress_data();
    void parseAddress();
    void formatSwitchConvertsAddressTexts();

    void writeModes_data();
    void writeModes();
    void writeRefusesBadInput_data();
    void writeRefusesBadInput();
    void orvane5RefusesAddressOnlyWrite();
    void nackRow();
    void readRows();
    void failedReadKeepsBytesReceived();
    void transactionOnVanishedAdapterShowsLostBox();

    void searchFindsDevices_data();
    void searchFindsDevices();
    void searchKeepsChosenAddress_data();
    void searchKeepsChosenAddress();
    void searchOnEmptyBus();
    void searchOnBrokenBus_data();
    void searchOnBrokenBus();
    void unplugDuringSearch();

private:
    Ui::MainWindow* ui() { return MainWindowProbe(*m_window).ui(); }
    void connectOrv(ESimOrvModel model);

    std::unique_ptr<MainWindow> m_window;
    std::shared_ptr<CSimOrvAdapter> m_adapter;
};

void TstTransactions::init()
{
    apptest::resetAll();
    m_window = std::make_unique<MainWindow>();
}

void TstTransactions::cleanup()
{
    m_window.reset();
    m_adapter.reset();
}

void TstTransactions::connectOrv(ESimOrvModel model)
{
    m_adapter = CSimOrvAdapter::Plug(model, L"T-1");
    QVERIFY(m_adapter);
    QVERIFY(connectTo(*m_window, QStringLiteral("T-1")));
    m_adapter->TakeReceivedReports();
}

void TstTransactions::parseAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("eightBit");
    QTest::addColumn<int>("expected"); // -1: invalid

    QTest::newRow("50") << "50" << false << 0x50;
    QTest::newRow("0x50") << "0x50" << false << 0x50;
    QTest::newRow("0X50") << "0X50" << false << 0x50;
    QTest::newRow("blanks") << "  0x50 \t" << false << 0x50;
    QTest::newRow("7f") << "7f" << false << 0x7F;
    QTest::newRow("0x80") << "0x80" << false << -1;
    QTest::newRow("zz") << "zz" << false << -1;
    QTest::newRow("empty") << "" << false << -1;
    QTest::newRow("prefix only") << "0x" << false << -1;
    QTest::newRow("inner blank") << "5 0" << false << -1;
    QTest::newRow("sign") << "+50" << false << -1;
    QTest::newRow("huge") << "0x100000000" << true << -1;
    QTest::newRow("8-bit 0xA0") << "0xA0" << true << 0x50;
    QTest::newRow("8-bit 0xA1") << "0xA1" << true << 0x50;
    QTest::newRow("8-bit 0xFF") << "0xff" << true << 0x7F;
    QTest::newRow("8-bit 0x100") << "0x100" << true << -1;
}

void TstTransactions::parseAddress()
{
    QFETCH(QString, text);
    QFETCH(bool, eightBit);
    QFETCH(int, expected);
    const std::optional<uint8_t> address = MainWindowProbe(*m_window).parseAddress(text, eightBit);
    QCOMPARE(address ? int(*address) : -1, expected);
}

void TstTransactions::formatSwitchConvertsAddressTexts()
{
    QComboBox* box = ui()->cmb_i2c_device;
    box->addItem(QStringLiteral("0x23"));
    box->addItem(QStringLiteral("sensor"));
    box->setCurrentText(QStringLiteral("0x50"));

    ui()->actionAddress8Bit->trigger();
    QCOMPARE(box->itemText(0), QStringLiteral("0x46"));
    QCOMPARE(box->itemText(1), QStringLiteral("sensor"));
    QCOMPARE(box->currentText(), QStringLiteral("0xA0"));

    ui()->actionAddress7Bit->trigger();
    QCOMPARE(box->itemText(0), QStringLiteral("0x23"));
    QCOMPARE(box->currentText(), QStringLiteral("0x50"));

    box->setCurrentText(QStringLiteral("0x99")); // no 7-bit address: kept
    ui()->actionAddress8Bit->trigger();
    QCOMPARE(box->currentText(), QStringLiteral("0x99"));
}

void TstTransactions::writeModes_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QByteArray>("report"); // bytes 1.. of the write report
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("data");

    QTest::newRow("Auto") << 0 << "00 10" << QByteArray("\xC3\xA0\x00\x10", 4) << "Write 0x50"
                          << "00 10";
    QTest::newRow("Generate Start")
        << 1 << "00" << QByteArray("\x82\xA0\x00", 3) << "Write 0x50 [Generate Start]"
        << "00";
    QTest::newRow("Generate Stop")
        << 2 << "FF" << QByteArray("\x41\xFF", 2) << "Write [Generate Stop]"
        << "FF";
    QTest::newRow("None") << 3 << "1,2;3" << QByteArray("\x03\x01\x02\x03", 4) << "Write [None]"
                          << "01 02 03";
}

void TstTransactions::writeModes()
{
    QFETCH(int, mode);
    QFETCH(QString, input);
    QFETCH(QByteArray, report);
    QFETCH(QString, type);
    QFETCH(QString, data);

    connectOrv(ESimOrvModel::Orv3);
    // A transaction left open by Generate Start lets the other modes through.
    if (mode >= 2) {
        ui()->cmb_startstop->setCurrentIndex(1);
        ui()->cmb_i2c_device->setCurrentText(QStringLiteral("0x50"));
        ui()->edit_write->setText(QStringLiteral("00"));
        ui()->btn_write->click();
        m_adapter->TakeReceivedReports();
    }
    ui()->cmb_i2c_device->setCurrentText(QStringLiteral("0x50"));
    ui()->cmb_startstop->setCurrentIndex(mode);
    ui()->edit_write->setText(input);
    QTest::keyClick(ui()->edit_write, Qt::Key_Return);

    const auto writes = takeReports(*m_adapter, 0x02);
    QCOMPARE(writes.size(), size_t(1));
    QCOMPARE(writes[0].size(), size_t(64));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(writes[0].data()) + 1, report.size()),
             report);
    QCOMPARE(lastCell(*m_window, 0), type);
    QCOMPARE(lastCell(*m_window, 2), data);
    QVERIFY(lastCell(*m_window, 1).startsWith(QStringLiteral("0x")));
    QVERIFY(!lastCell(*m_window, 1).contains(QStringLiteral("  ")));
}

void TstTransactions::writeRefusesBadInput_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("text");

    const QString badAddress = QStringLiteral(
        "Invalid I2C address. Enter a hex address in the selected format, e.g. \"0x50\".");
    const QString badInput = QStringLiteral("Invalid input. Enter hex bytes, e.g. \"01 A5 FF\".");
    QTest::newRow("bad address") << 0 << "0x80"
                                 << "01" << badAddress;
    QTest::newRow("empty address") << 1 << ""
                                   << "01" << badAddress;
    QTest::newRow("not hex") << 0 << "0x50"
                             << "ABC" << badInput;
    QTest::newRow("stop without bytes") << 2 << ""
                                        << "" << badInput;
    QTest::newRow("none without bytes") << 3 << "zz"
                                        << " , " << badInput;
}

void TstTransactions::writeRefusesBadInput()
{
    QFETCH(int, mode);
    QFETCH(QString, address);
    QFETCH(QString, input);
    QFETCH(QString, text);

    connectOrv(ESimOrvModel::Orv3);
    ui()->cmb_i2c_device->setCurrentText(address);
    ui()->cmb_startstop->setCurrentIndex(mode);
    ui()->edit_write->setText(input);

    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    ui()->btn_write->click();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen()[0].title, QStringLiteral("Write"));
    QCOMPARE(answerer.seen()[0].text, text);
    QCOMPARE(ui()->table_data->rowCount(), 0);
    QVERIFY(takeReports(*m_adapter, 0x02).empty());
}

void TstTransactions::orvane5RefusesAddressOnlyWrite()
{
    connectOrv(ESimOrvModel::Orv5);
    ui()->cmb_i2c_device->setCurrentText(QStringLiteral("0x50"));
    ui()->edit_write->clear();
    ui()->btn_write->click();

    QVERIFY(takeReports(*m_adapter, 0x02).empty());
    QCOMPARE(lastCell(*m_window, 0), QStringLiteral("Write 0x50"));
    QCOMPARE(lastCell(*m_window, 1),
             QStringLiteral("0x00  Address-only write is not supported by the Orvane5"));
    QCOMPARE(lastCell(*m_window, 2), QString());
    const QTableWidgetItem* item = ui()->table_data->item(0, 0);
    QCOMPARE(item->foreground().color(), QColor(0xF4, 0x43, 0x36));
}

void TstTransactions::nackRow()
{
    connectOrv(ESimOrvModel::Orv7);
    ui()->actionAddress8Bit->trigger();
    ui()->cmb_i2c_device->setCurrentText(QStringLiteral("0x60")); // 0x30: nobody there
    ui()->edit_write->setText(QStringLiteral("01"));
    ui()->btn_write->click();
    QCOMPARE(lastCell(*m_window, 0), QStringLiteral("Write 0x60"));
    QCOMPARE(lastCell(*m_window, 1), QStringLiteral("0x80  NACK"));
    QCOMPARE(ui()->table_data->item(0, 1)->foreground().color(), QColor(0xF4, 0x43, 0x36));
}

void TstTransactions::readRows()
{
    connectOrv(ESimOrvModel::Orv3);
    auto eeprom = m_adapter->DeviceAs<CSimEeprom24c02>(0x50);
    QVERIFY(eeprom);
    std::array<uint8_t, CSimEeprom24c02::SIZE> contents{};
    for (size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<uint8_t>(i);
    eeprom->SetContents(contents);

    ui()->cmb_i2c_device->setCurrentText(QStringLiteral("0x50"));
    ui()->edit_write->setText(QStringLiteral("00"));
    ui()->btn_write->click();
    ui()->spin_read->setValue(20);
    ui()->cmb_bytes_per_line->setCurrentText(QStringLiteral("8"));
    ui()->btn_read->click();

    QCOMPARE(lastCell(*m_window, 0), QStringLiteral("Read 0x50"));
    QCOMPARE(lastCell(*m_window, 1), QStringLiteral("0x14"));
    QCOMPARE(lastCell(*m_window, 2), QStringLiteral("00: 00 01 02 03 04 05 06 07\n"
                                                    "08: 08 09 0A 0B 0C 0D 0E 0F\n"
                                                    "10: 10 11 12 13"));
    const auto requests = takeReports(*m_adapter, 0x03);
    QCOMPARE(requests.size(), size_t(1));
    QCOMPARE(requests[0][1], uint8_t(20));
    QCOMPARE(requests[0][2], uint8_t(0xA1));
    QVERIFY(ui()->table_data->item(1, 0)->foreground().color() != QColor(0xF4, 0x43, 0x36));

    // The BH1750 answers with a two-byte measurement.
    ui()->cmb_i2c_device->setCurrentText(QStringLiteral("23"));
    ui()->spin_read->setValue(2);
    ui()->btn_read->click();
    QCOMPARE(lastCell(*m_window, 0), QStringLiteral("Read 0x23"));
    QCOMPARE(lastCell(*m_window, 2).size(), 5);
}

void TstTransactions::failedReadKeepsBytesReceived()
{
    connectOrv(ESimOrvModel::Orv3);
    CSimOrvAdapter::Report first(64, 0);
    first[0] = 0x03;
    first[1] = 62;
    for (int i = 0; i < 62; ++i)
        first[2 + i] = static_cast<uint8_t>(0xA0 + (i % 16));
    CSimOrvAdapter::Report second(64, 0);
    second[0] = 0x03;
    second[1] = 0x80;
    m_adapter->ReplaceNextAnswer({first, second});

    ui()->cmb_i2c_device->setCurrentText(QStringLiteral("0x50"));
    ui()->spin_read->setValue(100);
    ui()->cmb_bytes_per_line->setCurrentText(QStringLiteral("Full"));
    ui()->btn_read->click();

    QCOMPARE(lastCell(*m_window, 1), QStringLiteral("0x80  NACK received"));
    QCOMPARE(lastCell(*m_window, 2).split(' ').size(), 62);
    QVERIFY(lastCell(*m_window, 2).startsWith(QStringLiteral("A0 A1 A2")));
    QCOMPARE(ui()->table_data->item(0, 2)->foreground().color(), QColor(0xF4, 0x43, 0x36));
}

void TstTransactions::transactionOnVanishedAdapterShowsLostBox()
{
    connectOrv(ESimOrvModel::Orv3);
    m_window->show();
    ui()->cmb_i2c_device->setCurrentText(QStringLiteral("0x50"));
    m_adapter->Unplug();

    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    ui()->btn_read->click();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen()[0].text, QStringLiteral("Connection to the Orvane was lost."));
    QCOMPARE(ui()->table_data->rowCount(), 0);
    QVERIFY(!MainWindowProbe(*m_window).adapter());
}

void TstTransactions::searchFindsDevices_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<bool>("eightBit");
    QTest::addColumn<QString>("found");

    QTest::newRow("7-bit, write probe") << int(ESimOrvModel::Orv3) << false << "0x23, 0x50";
    QTest::newRow("7-bit, read probe") << int(ESimOrvModel::Orv5) << false << "0x23, 0x50";
    QTest::newRow("8-bit") << int(ESimOrvModel::Orv7) << true << "0x46, 0xA0";
}

void TstTransactions::searchFindsDevices()
{
    QFETCH(int, model);
    QFETCH(bool, eightBit);
    QFETCH(QString, found);

    m_adapter = apptest::plugBare(static_cast<ESimOrvModel>(model), L"T-1");
    m_adapter->AddDevice(0x23, std::make_shared<CSimBh1750>());
    m_adapter->AddDevice(0x50, std::make_shared<CSimEeprom24c02>());
    // Reserved addresses are never probed.
    m_adapter->AddDevice(0x05, std::make_shared<CSimEeprom24c02>());
    m_adapter->AddDevice(0x7A, std::make_shared<CSimEeprom24c02>());
    QVERIFY(connectTo(*m_window, QStringLiteral("T-1")));
    if (eightBit)
        ui()->actionAddress8Bit->trigger();

    ui()->btn_i2c_search->click();
    QComboBox* box = ui()->cmb_i2c_device;
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items.append(box->itemText(i));
    QCOMPARE(items.join(QStringLiteral(", ")), found);
    QCOMPARE(lastCell(*m_window, 0), QStringLiteral("Search"));
    QCOMPARE(lastCell(*m_window, 1), QString());
    QCOMPARE(lastCell(*m_window, 2), found);
}

void TstTransactions::searchKeepsChosenAddress_data()
{
    QTest::addColumn<bool>("eightBit");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("item"); // current item afterwards, -1: none

    // Devices answer at 0x23 and 0x50 (0x46 and 0xA0 in 8-bit form).
    const struct {
        const char* name;
        QString typed7;
        QString typed8;
        QString shown7;
        QString shown8;
        int item;
    } cases[] = {
        {"exact", "0x50", "0xA0", "0x50", "0xA0", 1},
        {"bare digits", "50", "a0", "0x50", "0xA0", 1},
        {"upper-case prefix", "0X50", "0XA0", "0x50", "0xA0", 1},
        {"blanks around", " 0x50 ", "0xa0 ", "0x50", "0xA0", 1},
        {"silent address", "0x51", "0xA2", "0x51", "0xA2", -1},
        {"not an address", "zz", "0x1FF", "zz", "0x1FF", -1},
        {"empty", "", "", "0x23", "0x46", 0},
    };
    for (const auto& c : cases) {
        QTest::addRow("7-bit, %s", c.name) << false << c.typed7 << c.shown7 << c.item;
        QTest::addRow("8-bit, %s", c.name) << true << c.typed8 << c.shown8 << c.item;
    }
    QTest::newRow("8-bit, read form") << true << "0xA1"
                                      << "0xA0" << 1;
}

void TstTransactions::searchKeepsChosenAddress()
{
    QFETCH(bool, eightBit);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(int, item);

    m_adapter = apptest::plugBare(ESimOrvModel::Orv3, L"T-1");
    m_adapter->AddDevice(0x23, std::make_shared<CSimBh1750>());
    m_adapter->AddDevice(0x50, std::make_shared<CSimEeprom24c02>());
    QVERIFY(connectTo(*m_window, QStringLiteral("T-1")));
    if (eightBit)
        ui()->actionAddress8Bit->trigger();
    ui()->cmb_i2c_device->setEditText(typed);

    ui()->btn_i2c_search->click();
    QComboBox* box = ui()->cmb_i2c_device;
    QCOMPARE(box->count(), 2);
    QCOMPARE(box->currentText(), shown);
    QCOMPARE(box->currentIndex(), item);
}

void TstTransactions::searchOnEmptyBus()
{
    m_adapter = apptest::plugBare(ESimOrvModel::Orv3, L"T-1");
    QVERIFY(connectTo(*m_window, QStringLiteral("T-1")));
    ui()->cmb_i2c_device->addItem(QStringLiteral("0x11"));
    ui()->actionI2cSearch->trigger();
    QCOMPARE(ui()->cmb_i2c_device->count(), 0);
    QCOMPARE(lastCell(*m_window, 2), QStringLiteral("No device found"));
    QVERIFY(ui()->table_data->item(0, 2)->foreground().color() != QColor(0xF4, 0x43, 0x36));

    // Search rows are text: a new bytes-per-line choice leaves them alone.
    ui()->cmb_bytes_per_line->setCurrentText(QStringLiteral("2"));
    QCOMPARE(lastCell(*m_window, 2), QStringLiteral("No device found"));
}

void TstTransactions::searchOnBrokenBus_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("after"); // probes that pass first
    QTest::addColumn<int>("count"); // probes that fail then, -1 for all
    QTest::addColumn<QString>("row");
    QTest::addColumn<int>("probes"); // sent in all

    // Devices answer at 0x23 and 0x50.
    QTest::newRow("bus error") << int(ESimOrvFault::BusError) << 0 << -1
                               << "Bus error at 0x08-0x77. Found: none." << 112;
    QTest::newRow("arbitration lost twice")
        << int(ESimOrvFault::ArbitrationLost) << 0x20 - 8 << 2
        << "Arbitration lost at 0x20-0x21. Found: 0x23, 0x50." << 112;
    // One timeout and no more: each would freeze the window for a second.
    QTest::newRow("timeout") << int(ESimOrvFault::NoAnswer) << 0x30 - 8 << -1
                             << "Stopped at 0x30: Timeout. Not probed: 0x31-0x77. Found: 0x23."
                             << 0x30 - 8 + 1;
}

void TstTransactions::searchOnBrokenBus()
{
    QFETCH(int, fault);
    QFETCH(int, after);
    QFETCH(int, count);
    QFETCH(QString, row);
    QFETCH(int, probes);

    m_adapter = apptest::plugBare(ESimOrvModel::Orv3, L"T-1");
    m_adapter->AddDevice(0x23, std::make_shared<CSimBh1750>());
    m_adapter->AddDevice(0x50, std::make_shared<CSimEeprom24c02>());
    QVERIFY(connectTo(*m_window, QStringLiteral("T-1")));
    ui()->cmb_i2c_device->addItem(QStringLiteral("0x11"));
    takeReports(*m_adapter, 0x02);

    m_adapter->SetFault(static_cast<ESimOrvFault>(fault), count, after);
    // A search that probed on after a timeout would take a second for each
    // address left: past the bound, the fault goes.
    testsupport::CWatchdog watchdog(testsupport::WAIT,
                                    [this] { m_adapter->SetFault(ESimOrvFault::None); });
    ui()->btn_i2c_search->click();
    QVERIFY(!watchdog.finish());
    QCOMPARE(lastCell(*m_window, 0), QStringLiteral("Search"));
    QCOMPARE(lastCell(*m_window, 2), row);
    QCOMPARE(ui()->table_data->item(0, 2)->foreground().color(), QColor(0xF4, 0x43, 0x36));
    QCOMPARE(takeReports(*m_adapter, 0x02).size(), size_t(probes));
    // Nothing reliable to offer: the box keeps its items.
    QCOMPARE(ui()->cmb_i2c_device->count(), 1);
    QCOMPARE(ui()->cmb_i2c_device->itemText(0), QStringLiteral("0x11"));
}

void TstTransactions::unplugDuringSearch()
{
    m_adapter = apptest::plugBare(ESimOrvModel::Orv3, L"T-1");
    m_adapter->AddDevice(0x23, std::make_shared<CSimBh1750>());
    m_adapter->AddDevice(0x40, std::make_shared<CUnplugOnStart>(m_adapter->Paths()));
    QVERIFY(connectTo(*m_window, QStringLiteral("T-1")));
    ui()->cmb_i2c_device->addItem(QStringLiteral("0x11"));

    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    ui()->btn_i2c_search->click();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen()[0].text, QStringLiteral("Connection to the Orvane was lost."));
    QCOMPARE(ui()->table_data->rowCount(), 0);
    QCOMPARE(ui()->cmb_i2c_device->count(), 1);
    QCOMPARE(ui()->cmb_i2c_device->itemText(0), QStringLiteral("0x11"));
}

QTEST_MAIN(TstTransactions)
#include "tst_transactions.moc"
