#include "apptesthelpers.h"
#include "tests/support/waits.h"

#include <QLabel>
#include <QMessageBox>
#include <QStatusBar>
#include <QTest>

using apptest::connectTo;
using apptest::takeReports;

class TstConnection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { apptest::setApplicationNames(); }
    void init() { apptest::resetAll(); }

    void connectsToEachModel_data();
    void connectsToEachModel();
    void failedConnectShowsBoxAndKeepsState();
    void speedChosenWhileDisconnectedIsUsed();
    void pullUpsReachTheOrvane5BeforeConnecting();
    void pullUpsSwitchWhileConnected();
    void unplugWhileIdleGivesOneLostBox();
    void failedSpeedChangeRestoresSpeedInForce();
    void disconnectReleasesTheAdapter();
};

void TstConnection::connectsToEachModel_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QString>("typeName");
    QTest::addColumn<bool>("pullUpSwitch");
    QTest::addColumn<bool>("speed1000");
    QTest::newRow("Orvane3") << int(ESimOrvModel::Orv3) << "Orvane3" << false << true;
    QTest::newRow("Orvane5") << int(ESimOrvModel::Orv5) << "Orvane5" << true << false;
    QTest::newRow("Orvane7") << int(ESimOrvModel::Orv7) << "Orvane7" << false << true;
}

void TstConnection::connectsToEachModel()
{
    QFETCH(int, model);
    QFETCH(QString, typeName);
    QFETCH(bool, pullUpSwitch);
    QFETCH(bool, speed1000);

    SSimOrvOptions options;
    options.product = L"<b>Bench</b> adapter";
    options.releaseNumber = 0x1a2b;
    auto adapter = CSimOrvAdapter::Plug(static_cast<ESimOrvModel>(model), L"SN-1", options);
    MainWindow window;
    window.show();
    MainWindowProbe probe(window);
    QVERIFY(connectTo(window, QStringLiteral("SN-1")));
    QCOMPARE(QString::fromStdWString(probe.adapter()->GetTypeName()), typeName);
    QVERIFY(probe.presenceTimer().isActive());

    Ui::MainWindow* u = probe.ui();
    QVERIFY(!u->actionConnect->isEnabled());
    QVERIFY(u->actionDisconnect->isEnabled());
    QVERIFY(u->btn_write->isEnabled());
    QVERIFY(u->btn_read->isEnabled());
    QVERIFY(u->actionI2cSearch->isEnabled());
    QCOMPARE(u->actionPullUps->isEnabled(), pullUpSwitch);
    // No switch, no pull-ups shown as on; the wish comes back afterwards.
    const QString pullUpsTip = QStringLiteral("Internal pull-up resistors on SDA/SCL. Switch off "
                                              "for external pull-ups or lower voltage levels.");
    QCOMPARE(u->actionPullUps->isChecked(), pullUpSwitch);
    QCOMPARE(u->actionPullUps->toolTip(),
             pullUpSwitch ? pullUpsTip
                          : QStringLiteral("The %1 has no switchable pull-ups.").arg(typeName));
    QCOMPARE(u->actionSpeed1000k->isEnabled(), speed1000);
    QCOMPARE(u->actionSpeed10k->isEnabled(), speed1000);
    QVERIFY(u->actionSpeed400k->isEnabled());

    // The status bar shows the device's texts as they are, never as markup.
    QStringList texts;
    for (QLabel* label : window.statusBar()->findChildren<QLabel*>()) {
        if (label->isVisibleTo(&window))
            texts.append(label->text());
    }
    QVERIFY2(texts.contains(QStringLiteral("<b>Bench</b> adapter")), qPrintable(texts.join('|')));
    QVERIFY(texts.contains(QStringLiteral("SN SN-1")));
    QVERIFY(texts.contains(QStringLiteral("FW 1a2b")));
    for (QLabel* label : window.statusBar()->findChildren<QLabel*>()) {
        if (label->text() == QStringLiteral("<b>Bench</b> adapter"))
            QCOMPARE(label->textFormat(), Qt::PlainText);
        if (label->text().contains(QStringLiteral("Connected")))
            QVERIFY(label->text().contains(QStringLiteral("color:") +
                                           QColor(76, 175, 80).darker(120).name()));
    }

    u->actionDisconnect->trigger();
    QVERIFY(u->actionPullUps->isEnabled());
    QVERIFY(u->actionPullUps->isChecked());
    QCOMPARE(u->actionPullUps->toolTip(), pullUpsTip);
}

void TstConnection::failedConnectShowsBoxAndKeepsState()
{
    auto adapter = apptest::plugBare(ESimOrvModel::Orv3, L"X1");
    adapter->SetFault(ESimOrvFault::WriteError);
    MainWindow window;
    MainWindowProbe probe(window);

    testsupport::CDialogAnswerer answerer;
    answerer.handleWith([](QWidget* dialog) { static_cast<QDialog*>(dialog)->accept(); });
    answerer.pressButton(QMessageBox::Ok);
    probe.ui()->actionConnect->trigger();
    QVERIFY(answerer.waitDone());

    QCOMPARE(answerer.seen().size(), 2);
    QCOMPARE(answerer.seen()[1].title, QStringLiteral("Device"));
    QVERIFY2(answerer.seen()[1].text.startsWith(QStringLiteral("Connect failed:\n")),
             qPrintable(answerer.seen()[1].text));
    QVERIFY(answerer.seen()[1].text.size() > QStringLiteral("Connect failed:\n").size());
    QVERIFY(!probe.adapter());
    QVERIFY(probe.ui()->actionConnect->isEnabled());
    QVERIFY(!probe.presenceTimer().isActive());
}

void TstConnection::speedChosenWhileDisconnectedIsUsed()
{
    auto adapter = apptest::plugBare(ESimOrvModel::Orv3, L"S1");
    MainWindow window;
    MainWindowProbe probe(window);
    probe.ui()->actionSpeed50k->trigger();
    QVERIFY(probe.ui()->actionSpeed50k->isChecked());
    QVERIFY(adapter->TakeReceivedReports().empty());

    QString offered;
    testsupport::CDialogAnswerer answerer;
    answerer.handleWith([&offered](QWidget* dialog) {
        offered = dialog->findChild<QComboBox*>(QStringLiteral("cmb_speed"))->currentText();
        static_cast<QDialog*>(dialog)->accept();
    });
    probe.ui()->actionConnect->trigger();
    QCOMPARE(offered, QStringLiteral("50 kbit/s"));
    QCOMPARE(probe.adapter()->GetSpeed(), EI2cSpeed::Speed50k);
    const auto enables = takeReports(*adapter, 0x01);
    QCOMPARE(enables.size(), size_t(1));
    QCOMPARE(enables[0][1], uint8_t(0x01));
    QCOMPARE(enables[0][2], uint8_t(0x02));
}

void TstConnection::pullUpsReachTheOrvane5BeforeConnecting()
{
    auto five = apptest::plugBare(ESimOrvModel::Orv5, L"P5");
    MainWindow window;
    MainWindowProbe probe(window);
    probe.ui()->actionPullUps->trigger(); // off, as a wish
    QVERIFY(!probe.ui()->actionPullUps->isChecked());

    QVERIFY(connectTo(window, QStringLiteral("P5")));
    QVERIFY(!probe.adapter()->GetPullUpsEnabled());
    const auto enables = takeReports(*five, 0x01);
    QCOMPARE(enables.size(), size_t(2)); // leave, then enter with pull-ups off
    QCOMPARE(enables[1][2], uint8_t(0x80));
    QVERIFY(probe.ui()->actionPullUps->isEnabled());
}

void TstConnection::pullUpsSwitchWhileConnected()
{
    auto five = apptest::plugBare(ESimOrvModel::Orv5, L"P5");
    MainWindow window;
    MainWindowProbe probe(window);
    QVERIFY(connectTo(window, QStringLiteral("P5")));
    five->TakeReceivedReports();

    probe.ui()->actionPullUps->trigger();
    QVERIFY(!probe.adapter()->GetPullUpsEnabled());
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Internal pull-ups disabled"));
    QCOMPARE(takeReports(*five, 0x01).back()[2], uint8_t(0x80));

    // A failure on a present adapter: the box, then the check mirrors the
    // adapter again.
    five->SetFault(ESimOrvFault::WriteError, 1);
    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    probe.ui()->actionPullUps->trigger();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen()[0].title, QStringLiteral("Pull-ups"));
    QVERIFY(answerer.seen()[0].text.startsWith(QStringLiteral("Switching the pull-ups failed:\n")));
    QVERIFY(!probe.ui()->actionPullUps->isChecked());
    QVERIFY(!probe.adapter()->GetPullUpsEnabled());
}

void TstConnection::unplugWhileIdleGivesOneLostBox()
{
    auto adapter = apptest::plugBare(ESimOrvModel::Orv7, L"U1");
    MainWindow window;
    MainWindowProbe probe(window);
    QVERIFY(connectTo(window, QStringLiteral("U1")));

    testsupport::CDialogAnswerer answerer;
    QString statusBehindBox;
    answerer.handleWith([&](QWidget* box) {
        // The controls are already updated behind the box.
        statusBehindBox = probe.ui()->actionConnect->isEnabled() ? "enabled" : "disabled";
        static_cast<QMessageBox*>(box)->accept();
    });
    adapter->Unplug();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen()[0].title, QStringLiteral("Device"));
    QCOMPARE(answerer.seen()[0].text, QStringLiteral("Connection to the Orvane was lost."));
    QCOMPARE(statusBehindBox, QStringLiteral("enabled"));
    QVERIFY(!probe.adapter());
    // With the timer stopped and no adapter, no second box can come.
    QVERIFY(!probe.presenceTimer().isActive());
    QVERIFY(probe.ui()->actionConnect->isEnabled());
    QVERIFY(!probe.ui()->btn_write->isEnabled());
}

void TstConnection::failedSpeedChangeRestoresSpeedInForce()
{
    auto adapter = apptest::plugBare(ESimOrvModel::Orv3, L"F1");
    MainWindow window;
    MainWindowProbe probe(window);
    QVERIFY(connectTo(window, QStringLiteral("F1")));

    probe.ui()->actionSpeed400k->trigger();
    QCOMPARE(probe.adapter()->GetSpeed(), EI2cSpeed::Speed400k);
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("I2C speed set to 400 kbit/s"));

    adapter->SetFault(ESimOrvFault::WriteError, 1);
    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    probe.ui()->actionSpeed10k->trigger();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen()[0].title, QStringLiteral("I2C Speed"));
    QVERIFY(answerer.seen()[0].text.startsWith(QStringLiteral("Setting the speed failed:\n")));

    int checked = 0;
    for (QAction* action :
         {probe.ui()->actionSpeed10k, probe.ui()->actionSpeed50k, probe.ui()->actionSpeed100k,
          probe.ui()->actionSpeed400k, probe.ui()->actionSpeed1000k})
        checked += action->isChecked() ? 1 : 0;
    QCOMPARE(checked, 1);
    QVERIFY(probe.ui()->actionSpeed400k->isChecked());
}

void TstConnection::disconnectReleasesTheAdapter()
{
    auto adapter = apptest::plugBare(ESimOrvModel::Orv3, L"D1");
    MainWindow window;
    MainWindowProbe probe(window);
    QVERIFY(connectTo(window, QStringLiteral("D1")));
    adapter->TakeReceivedReports();

    probe.ui()->actionDisconnect->trigger();
    QVERIFY(!probe.adapter());
    QVERIFY(!probe.presenceTimer().isActive());
    QVERIFY(probe.ui()->actionConnect->isEnabled());
    const auto enables = takeReports(*adapter, 0x01);
    QCOMPARE(enables.size(), size_t(1)); // left I2C mode
    QCOMPARE(enables[0][1], uint8_t(0x00));
}

QTEST_MAIN(TstConnection)
#include "tst_connection.moc"
