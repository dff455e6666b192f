// The watch dock on the simulated bus, and saving the output table.

#include "app/elidedlabel.h"
#include "app/watchdock.h"
#include "app/watchplot.h"
#include "apptesthelpers.h"
#include "sim/adapters/simbh1750.h"
#include "sim/adapters/simlm75.h"
#include "tests/support/waits.h"

#include <QAccessible>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGraphicsTextItem>
#include <QGraphicsView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <cmath>
#include <csignal>
#include <sys/resource.h>

using apptest::connectTo;

using testsupport::WAIT_MS;

class TstWatch : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { apptest::setApplicationNames(); }
    void init();
    void cleanup();

    void benchWatchShowsLux();
    void registerPointerAndRememberedRule();
    void stopConditions_data();
    void stopConditions();
    void countAboveTheModelsLimitIsRefused();
    void ruleAppliesOnlyWhenValid_data();
    void ruleAppliesOnlyWhenValid();
    void ruleErrorIsNoBusFailure_data();
    void ruleErrorIsNoBusFailure();
    void longTextsKeepTheWindowWidth_data();
    void longTextsKeepTheWindowWidth();
    void firstWindowFitsTheScreen_data();
    void firstWindowFitsTheScreen();
    void intervalAppliesWhenCommitted_data();
    void intervalAppliesWhenCommitted();
    void unsavedSamplesAsk_data();
    void unsavedSamplesAsk();
    void discardCountsOnlyUnsaved();
    void changesAreAnnounced();
    void closedDockPollsNoMore_data();
    void closedDockPollsNoMore();
    void benchTransactionPausesTheWatch_data();
    void benchTransactionPausesTheWatch();
    void watchFromStoredCommand();
    void saveWatchCsv_data();
    void saveWatchCsv();
    void addressesFollowTheForm();
    void saveOutput_data();
    void saveOutput();
    void saveAsksBeforeReplacing_data();
    void saveAsksBeforeReplacing();
    void saveFailureSaysWhy_data();
    void saveFailureSaysWhy();
    void plotBreaksAtEveryGap_data();
    void plotBreaksAtEveryGap();
    void stalledWindowLeavesAGap();
    void timeAxisLabels_data();
    void timeAxisLabels();
    void plotLabelsFit_data();
    void plotLabelsFit();

private:
    Ui::MainWindow* ui() { return MainWindowProbe(*m_window).ui(); }
    WatchDock* dock() { return m_window->findChild<WatchDock*>(); }
    template <typename T> T* field(const char* name)
    {
        return dock()->findChild<T*>(QLatin1String(name));
    }
    void setRule(const QString& format, int shift, const QString& scale, const QString& unit);
    void startWatch(const QString& address);
    // Types the text into the field and commits it with Return.
    void enter(const char* name, const QString& text) { enter(field<QLineEdit>(name), text); }
    void enter(QLineEdit* edit, const QString& text);
    QString status() { return field<QLabel>("label_watch_status")->text(); }
    QString ruleState() { return shown("label_watch_rule_state"); }
    // The whole text of a label that may cut it short.
    QString shown(const char* name) { return field<ElidedLabel>(name)->fullText(); }
    // The LM75 at 0x48 at -0.5 degrees, its temperature register decoded.
    void watchLm75();
    // Clear, its samples discarded without saving.
    void clearSamples();

    std::shared_ptr<CSimOrvAdapter> m_adapter;
    std::unique_ptr<MainWindow> m_window;
    // Saves go here: a file left by an earlier run (ctest --repeat keeps the
    // home) would make the save dialog ask whether to replace it.
    std::unique_ptr<QTemporaryDir> m_saves;
};

void TstWatch::init()
{
    apptest::resetAll();
    m_adapter = apptest::plugBare(ESimOrvModel::Orv3, L"SN-W");
    auto light = std::make_shared<CSimBh1750>(250.0);
    light->Write(std::vector<uint8_t>{0x10}); // continuous high resolution
    m_adapter->AddDevice(0x23, light);
    m_adapter->AddDevice(0x48, std::make_shared<CSimLm75>(-0.5));
    m_adapter->SetRecording(false);
    m_saves = std::make_unique<QTemporaryDir>();
    QVERIFY(m_saves->isValid());
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(connectTo(*m_window, QStringLiteral("SN-W")));
}

void TstWatch::cleanup()
{
    m_window.reset();
    m_adapter.reset();
    m_saves.reset();
}

void TstWatch::setRule(const QString& format, int shift, const QString& scale, const QString& unit)
{
    field<QComboBox>("cmb_watch_format")->setCurrentText(format);
    enter("edit_watch_shift", QString::number(shift));
    enter("edit_watch_scale", scale);
    enter("edit_watch_unit", unit);
    field<QSpinBox>("spin_watch_decimals")->setValue(1);
}

void TstWatch::startWatch(const QString& address)
{
    ui()->cmb_i2c_device->setEditText(address);
    ui()->spin_read->setValue(2);
    ui()->btn_watch->click();
}

void TstWatch::enter(QLineEdit* edit, const QString& text)
{
    edit->setText(text);
    QTest::keyClick(edit, Qt::Key_Return);
}

void TstWatch::benchWatchShowsLux()
{
    enter(field<QComboBox>("cmb_watch_interval")->lineEdit(), QStringLiteral("10ms"));
    startWatch(QStringLiteral("0x23"));
    QVERIFY(dock()->isVisible());
    QVERIFY(dock()->isRunning());
    setRule(QStringLiteral("u16be"), 0, QStringLiteral("1/1.2"), QStringLiteral("lx"));
    PELLAN_TRY_VERIFY(dock()->samples().size() >= 5);
    dock()->refreshNow();
    QCOMPARE(shown("label_watch_value"), QStringLiteral("250.0 lx"));
    QCOMPARE(shown("label_watch_stats"),
             QStringLiteral("Min 250.0 lx   Max 250.0 lx   Mean 250.0 lx"));
    // Polls are not transactions of the table.
    QCOMPARE(ui()->table_data->rowCount(), 0);
    // Pause and go on: the samples stay.
    field<QPushButton>("btn_watch_start")->click();
    QVERIFY(!dock()->isRunning());
    const size_t paused = dock()->samples().size();
    field<QPushButton>("btn_watch_start")->click();
    PELLAN_TRY_VERIFY(dock()->samples().size() > paused);
    // A register being typed does not stop the watch half-way.
    QTest::keyClicks(field<QLineEdit>("edit_watch_register"), QStringLiteral("0x"));
    const size_t typed = dock()->samples().size();
    PELLAN_TRY_VERIFY(dock()->samples().size() > typed + 2);
    QVERIFY(dock()->isRunning());
}

void TstWatch::registerPointerAndRememberedRule()
{
    startWatch(QStringLiteral("0x48"));
    field<QPushButton>("btn_watch_start")->click(); // pause to set up
    enter("edit_watch_register", QStringLiteral("00"));
    setRule(QStringLiteral("s16be"), 7, QStringLiteral("0.5"), QStringLiteral("°C"));
    clearSamples();
    field<QPushButton>("btn_watch_start")->click();
    PELLAN_TRY_VERIFY(!dock()->samples().empty());
    dock()->refreshNow();
    QCOMPARE(shown("label_watch_value"), QStringLiteral("-0.5 °C"));
    QCOMPARE(dock()->samples().front().raw, (std::vector<uint8_t>{0xFF, 0x80}));

    // Another source has a rule of its own; coming back brings this one.
    field<QPushButton>("btn_watch_start")->click();
    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Discard);
    startWatch(QStringLiteral("0x23"));
    QVERIFY(answerer.waitDone());
    QCOMPARE(field<QComboBox>("cmb_watch_format")->currentText(), QStringLiteral("u16be"));
    QCOMPARE(field<QLineEdit>("edit_watch_register")->text(), QString());

    // Also after a restart.
    m_window.reset();
    m_window = std::make_unique<MainWindow>();
    QVERIFY(connectTo(*m_window, QStringLiteral("SN-W")));
    startWatch(QStringLiteral("0x48"));
    QCOMPARE(field<QComboBox>("cmb_watch_format")->currentText(), QStringLiteral("s16be"));
    QCOMPARE(field<QLineEdit>("edit_watch_shift")->text(), QStringLiteral("7"));
    QCOMPARE(field<QLineEdit>("edit_watch_unit")->text(), QStringLiteral("°C"));
    QCOMPARE(field<QLineEdit>("edit_watch_register")->text(), QStringLiteral("00"));
    PELLAN_TRY_VERIFY(!dock()->samples().empty());
    QCOMPARE(*dock()->samples().front().value, -0.5);
}

void TstWatch::stopConditions_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<bool>("running");
    QTest::addColumn<QString>("reason");
    // A device that does not answer its address fails each poll, and the
    // watch goes on.
    QTest::newRow("NACK goes on") << "nack" << true << "Watching";
    QTest::newRow("timeout") << "timeout" << false << "did not answer in time (Timeout)";
    QTest::newRow("disconnect") << "disconnect" << false << "the adapter was disconnected";
    QTest::newRow("unplugged") << "unplug" << false << "the connection to the adapter was lost";
}

void TstWatch::stopConditions()
{
    QFETCH(QString, event);
    QFETCH(bool, running);
    QFETCH(QString, reason);

    enter(field<QComboBox>("cmb_watch_interval")->lineEdit(), QStringLiteral("10ms"));
    startWatch(event == QLatin1String("nack") ? QStringLiteral("0x30") : QStringLiteral("0x23"));
    PELLAN_TRY_VERIFY(!dock()->samples().empty());
    testsupport::CDialogAnswerer answerer;
    if (event == QLatin1String("timeout")) {
        m_adapter->SetFault(ESimOrvFault::NoAnswer);
    } else if (event == QLatin1String("disconnect")) {
        ui()->actionDisconnect->trigger();
    } else if (event == QLatin1String("unplug")) {
        answerer.pressButton(QMessageBox::Ok);
        m_adapter->Unplug();
    }
    if (running) {
        PELLAN_TRY_VERIFY(dock()->failureCount() >= 3);
        QVERIFY(dock()->isRunning());
    } else {
        PELLAN_TRY_VERIFY(!dock()->isRunning());
    }
    QVERIFY2(status().contains(reason), qPrintable(status()));
    if (event == QLatin1String("unplug")) {
        QVERIFY(answerer.waitDone(WAIT_MS));
        QCOMPARE(answerer.seen().first().text,
                 QStringLiteral("Connection to the Orvane was lost."));
        QVERIFY(!MainWindowProbe(*m_window).adapter());
    }
    if (event == QLatin1String("timeout"))
        QCOMPARE(dock()->samples().back().error, QStringLiteral("Timeout"));
    QCOMPARE(field<QPushButton>("btn_watch_start")->text(),
             running ? QStringLiteral("Pause") : QStringLiteral("Start"));
}

void TstWatch::countAboveTheModelsLimitIsRefused()
{
    ui()->actionDisconnect->trigger();
    auto orvane5 = apptest::plugBare(ESimOrvModel::Orv5, L"SN-5");
    QVERIFY(connectTo(*m_window, QStringLiteral("SN-5")));
    orvane5->TakeReceivedReports();
    ui()->cmb_i2c_device->setEditText(QStringLiteral("0x23"));
    ui()->spin_read->setValue(257);
    ui()->btn_watch->click();
    QVERIFY(!dock()->isRunning());
    QCOMPARE(status(),
             QStringLiteral("Not started: the Orvane5 reads 1 to 256 bytes at a time, not 257."));
    QVERIFY(dock()->samples().empty());
    QVERIFY(orvane5->TakeReceivedReports().empty());
}

void TstWatch::clearSamples()
{
    testsupport::CDialogAnswerer answerer;
    // The buttons follow the samples at the next refresh.
    dock()->refreshNow();
    if (!dock()->samples().empty())
        answerer.pressButton(QMessageBox::Discard);
    field<QPushButton>("btn_watch_clear")->click();
    QVERIFY(answerer.waitDone());
}

void TstWatch::watchLm75()
{
    enter(field<QComboBox>("cmb_watch_interval")->lineEdit(), QStringLiteral("10ms"));
    startWatch(QStringLiteral("0x48"));
    enter("edit_watch_register", QStringLiteral("00"));
    setRule(QStringLiteral("s16be"), 7, QStringLiteral("0.5"), QStringLiteral("°C"));
    clearSamples();
    PELLAN_TRY_VERIFY(!dock()->samples().empty());
    QCOMPARE(dock()->samples().back().value, std::optional<double>(-0.5));
}

void TstWatch::ruleAppliesOnlyWhenValid_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("error");
    // Typed key by key: "1FF" passes through the valid "1" and "1F".
    QTest::newRow("register too wide") << "edit_watch_register"
                                       << "1FF"
                                       << "Invalid register";
    QTest::newRow("register with a sign") << "edit_watch_register"
                                          << "+10"
                                          << "Invalid register";
    QTest::newRow("mask prefix alone") << "edit_watch_mask"
                                       << "0x"
                                       << "Invalid mask";
    QTest::newRow("scale not a number") << "edit_watch_scale"
                                        << "abc"
                                        << "Invalid scale";
    QTest::newRow("offset out of range") << "edit_watch_offset"
                                         << "1e309"
                                         << "Invalid offset";
    QTest::newRow("shift past the width") << "edit_watch_shift"
                                          << "31"
                                          << "past the 16 bits";
    QTest::newRow("valid scale") << "edit_watch_scale"
                                 << "0.25"
                                 << "";
}

void TstWatch::ruleAppliesOnlyWhenValid()
{
    QFETCH(QString, name);
    QFETCH(QString, typed);
    QFETCH(QString, error);

    watchLm75();
    auto* edit = field<QLineEdit>(qPrintable(name));
    edit->clear();
    QTest::keyClicks(edit, typed);
    // Nothing applies before Return, whatever the polls in between.
    const size_t typing = dock()->samples().size();
    PELLAN_TRY_VERIFY(dock()->samples().size() > typing + 2);
    QCOMPARE(dock()->samples().back().value, std::optional<double>(-0.5));
    QTest::keyClick(edit, Qt::Key_Return);

    const size_t committed = dock()->samples().size();
    PELLAN_TRY_VERIFY(dock()->samples().size() > committed + 2);
    if (error.isEmpty()) {
        QVERIFY(dock()->ruleEditor()->isApplied());
        QCOMPARE(dock()->samples().back().value, std::optional<double>(-0.25));
        QCOMPARE(ruleState().trimmed(), QString());
        return;
    }
    // The rule in force stays, and says so; the field is marked on itself.
    QCOMPARE(dock()->samples().back().value, std::optional<double>(-0.5));
    dock()->refreshNow();
    QCOMPARE(shown("label_watch_value"), QStringLiteral("-0.5 °C"));
    const QString inForce =
        QStringLiteral("In force: register 00, s16be, shift 7, scale 0.5, unit °C");
    QVERIFY2(ruleState().startsWith(QStringLiteral("Rule not applied: ")), qPrintable(ruleState()));
    QVERIFY2(ruleState().contains(error), qPrintable(ruleState()));
    QVERIFY2(ruleState().endsWith(inForce), qPrintable(ruleState()));
    QVERIFY2(edit->accessibleDescription().startsWith(QStringLiteral("Not valid: ")),
             qPrintable(edit->accessibleDescription()));
    QVERIFY(edit->toolTip().contains(error));
    // A valid edit of another field neither clears the mark nor applies.
    enter("edit_watch_unit", QStringLiteral("C"));
    QVERIFY(edit->accessibleDescription().startsWith(QStringLiteral("Not valid: ")));
    QVERIFY(ruleState().startsWith(QStringLiteral("Rule not applied: ")));
    QCOMPARE(dock()->ruleEditor()->appliedTexts().decoding.unit, QStringLiteral("°C"));
    // Once valid, the mark goes.
    edit->setText(name == QLatin1String("edit_watch_register") ? QStringLiteral("00") : QString());
    QVERIFY(edit->accessibleDescription().isEmpty());
}

void TstWatch::ruleErrorIsNoBusFailure_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("scale");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("error");
    // The LM75 reads FF 80 at -0.5 degrees.
    QTest::newRow("1 byte: u8 by default") << 1 << ""
                                           << ""
                                           << "255.00"
                                           << "";
    QTest::newRow("1 byte as u16be") << 1 << "u16be"
                                     << ""
                                     << "Rule error"
                                     << "u16be needs 2 bytes but the read gave 1.";
    QTest::newRow("overflow") << 2 << "u16be"
                              << "1e305"
                              << "Rule error"
                              << "beyond the largest number";
}

void TstWatch::ruleErrorIsNoBusFailure()
{
    QFETCH(int, count);
    QFETCH(QString, format);
    QFETCH(QString, scale);
    QFETCH(QString, value);
    QFETCH(QString, error);

    ui()->cmb_i2c_device->setEditText(QStringLiteral("0x48"));
    ui()->spin_read->setValue(count);
    ui()->btn_watch->click();
    if (!format.isEmpty())
        field<QComboBox>("cmb_watch_format")->setCurrentText(format);
    if (!scale.isEmpty())
        enter("edit_watch_scale", scale);
    clearSamples();
    PELLAN_TRY_VERIFY(dock()->samples().size() >= 2);
    dock()->refreshNow();
    QCOMPARE(dock()->failureCount(), 0);
    QCOMPARE(shown("label_watch_value"), value);
    if (error.isEmpty()) {
        QCOMPARE(ruleState().trimmed(), QString());
        return;
    }
    QVERIFY2(ruleState().startsWith(QStringLiteral("Rule error: ")), qPrintable(ruleState()));
    QVERIFY2(ruleState().contains(error), qPrintable(ruleState()));
    // Never drawn or averaged.
    QCOMPARE(shown("label_watch_stats"), QStringLiteral("Min -   Max -   Mean -"));
    QCOMPARE(dock()->plot()->pointCount(), 0);
}

void TstWatch::longTextsKeepTheWindowWidth_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("label"); // the one that cuts its text short
    QTest::newRow("long command label") << "label"
                                        << "label_watch_source";
    QTest::newRow("offset 1e30") << "offset"
                                 << "label_watch_stats";
    QTest::newRow("rule error") << "rule error"
                                << "label_watch_rule_state";
}

void TstWatch::longTextsKeepTheWindowWidth()
{
    QFETCH(QString, change);
    QFETCH(QString, label);

    startWatch(QStringLiteral("0x48"));
    PELLAN_TRY_VERIFY(!dock()->samples().empty());
    dock()->refreshNow();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    const int width = m_window->width();
    const int minimum = m_window->minimumSizeHint().width();
    if (change == QLatin1String("label")) {
        testsupport::CDialogAnswerer answerer;
        answerer.pressButton(QMessageBox::Discard);
        dock()->watch({0x48, 2, QStringLiteral("/bench/lm75.i2cdev"),
                       QString(300, QLatin1Char('L')), std::nullopt},
                      false);
    } else if (change == QLatin1String("offset")) {
        enter("edit_watch_offset", QStringLiteral("1e30"));
        clearSamples();
        PELLAN_TRY_VERIFY(!dock()->samples().empty());
    } else {
        enter("edit_watch_unit", QString(200, QLatin1Char('U')));
        field<QComboBox>("cmb_watch_format")->setCurrentText(QStringLiteral("u32be"));
        PELLAN_TRY_VERIFY(!dock()->samples().empty() && dock()->samples().back().ruleError);
    }
    dock()->refreshNow();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCOMPARE(m_window->minimumSizeHint().width(), minimum);
    QCOMPARE(m_window->width(), width);
    // Cut short on the screen, whole in the tool tip and for screen readers.
    auto* shownLabel = field<ElidedLabel>(qPrintable(label));
    QVERIFY2(shownLabel->isElided(), qPrintable(shownLabel->text()));
    QCOMPARE(shownLabel->toolTip(), shownLabel->fullText());
    QCOMPARE(shownLabel->accessibleName(), shownLabel->fullText());
}

void TstWatch::firstWindowFitsTheScreen_data()
{
    QTest::addColumn<bool>("restored");
    // No settings: the window of a first start, on the test's small screen.
    QTest::newRow("first start") << false;
    // Saved on a larger screen, far off this one.
    QTest::newRow("restored, larger than the screen") << true;
}

void TstWatch::firstWindowFitsTheScreen()
{
    QFETCH(bool, restored);
    if (restored) {
        m_window->resize(4000, 3000);
        m_window->move(2500, 1500);
        m_window->close();
        QVERIFY(QSettings().contains(QStringLiteral("window/geometry")));
    }
    m_window.reset();
    if (!restored)
        apptest::resetAll();
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    const QRect available = m_window->screen()->availableGeometry();
    QVERIFY2(available.contains(m_window->frameGeometry()),
             qPrintable(QStringLiteral("%1x%2 on %3x%4")
                            .arg(m_window->width())
                            .arg(m_window->height())
                            .arg(available.width())
                            .arg(available.height())));
    dock()->show();
    QVERIFY(dock()->minimumSizeHint().height() <= available.height() / 3);
}

void TstWatch::intervalAppliesWhenCommitted_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("running"); // after Return
    QTest::addColumn<QString>("error");
    // Typed key by key beside the preset 500ms.
    QTest::newRow("5ms") << "5ms"
                         << "every 10ms"
                         << "it is shorter than 10ms";
    QTest::newRow("2h") << "2h"
                        << "every 10ms"
                        << "it is longer than 1h";
    QTest::newRow("100ms") << "100ms"
                           << "every 100ms"
                           << "";
}

void TstWatch::intervalAppliesWhenCommitted()
{
    QFETCH(QString, typed);
    QFETCH(QString, running);
    QFETCH(QString, error);

    QLineEdit* interval = field<QComboBox>("cmb_watch_interval")->lineEdit();
    enter(interval, QStringLiteral("10ms"));
    startWatch(QStringLiteral("0x48"));
    interval->clear();
    QTest::keyClicks(interval, typed);
    QCOMPARE(interval->text(), typed);
    QVERIFY(dock()->runningText().endsWith(QStringLiteral("every 10ms")));
    QTest::keyClick(interval, Qt::Key_Return);
    QVERIFY2(dock()->runningText().endsWith(running), qPrintable(dock()->runningText()));
    if (error.isEmpty()) {
        QVERIFY(interval->accessibleDescription().isEmpty());
        return;
    }
    QVERIFY2(status().startsWith(QStringLiteral("Interval not applied: ")), qPrintable(status()));
    QVERIFY2(status().contains(error), qPrintable(status()));
    QVERIFY(interval->accessibleDescription().startsWith(QStringLiteral("Not valid: ")));
}

void TstWatch::unsavedSamplesAsk_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("saved"); // before the action
    QTest::addColumn<int>("answer"); // 0: no question expected
    QTest::newRow("exit, cancelled") << "exit" << false << int(QMessageBox::Cancel);
    QTest::newRow("exit, discarded") << "exit" << false << int(QMessageBox::Discard);
    QTest::newRow("exit after saving") << "exit" << true << 0;
    QTest::newRow("clear, cancelled") << "clear" << false << int(QMessageBox::Cancel);
    QTest::newRow("clear, discarded") << "clear" << false << int(QMessageBox::Discard);
    QTest::newRow("clear after saving") << "clear" << true << 0;
}

void TstWatch::unsavedSamplesAsk()
{
    QFETCH(QString, action);
    QFETCH(bool, saved);
    QFETCH(int, answer);

    startWatch(QStringLiteral("0x48"));
    PELLAN_TRY_VERIFY(!dock()->samples().empty());
    field<QPushButton>("btn_watch_start")->click();
    testsupport::CDialogAnswerer answerer;
    if (saved) {
        answerer.chooseFile(m_saves->filePath(QStringLiteral("w.csv")));
        field<QPushButton>("btn_watch_save")->click();
        QVERIFY(answerer.waitDone());
        QVERIFY(status().startsWith(QStringLiteral("Saved")));
    }
    const int asked = static_cast<int>(answerer.seen().size());
    if (answer != 0)
        answerer.pressButton(answer);
    dock()->refreshNow();
    const bool done =
        action == QLatin1String("exit")
            ? m_window->close()
            : (field<QPushButton>("btn_watch_clear")->click(), dock()->samples().empty());
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen().size(), asked + (answer != 0 ? 1 : 0));
    if (answer != 0)
        QVERIFY2(answerer.seen().last().text.contains(QStringLiteral("have not been saved")),
                 qPrintable(answerer.seen().last().text));
    QCOMPARE(done, answer != int(QMessageBox::Cancel));
    if (action == QLatin1String("clear") && done)
        QCOMPARE(status(), QStringLiteral("Cleared."));
}

void TstWatch::discardCountsOnlyUnsaved()
{
    enter(field<QComboBox>("cmb_watch_interval")->lineEdit(), QStringLiteral("10ms"));
    startWatch(QStringLiteral("0x48"));
    QPushButton* startPause = field<QPushButton>("btn_watch_start");
    PELLAN_TRY_VERIFY(!dock()->samples().empty());
    startPause->click();
    testsupport::CDialogAnswerer answerer;
    answerer.chooseFile(m_saves->filePath(QStringLiteral("w.csv")));
    field<QPushButton>("btn_watch_save")->click();
    QVERIFY(answerer.waitDone());
    const qsizetype saved = dock()->history().total();
    startPause->click();
    PELLAN_TRY_VERIFY(dock()->history().total() >= saved + 2);
    startPause->click();
    const qsizetype unsaved = dock()->history().total() - saved;

    answerer.pressButton(QMessageBox::Discard);
    dock()->refreshNow();
    field<QPushButton>("btn_watch_clear")->click();
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen().last().text,
             QStringLiteral("%1 sample(s) of the current watch have not been saved. Discard them?")
                 .arg(unsaved));
}

// Screen readers read the rule's state and the status, as they change.
void TstWatch::changesAreAnnounced()
{
    startWatch(QStringLiteral("0x48"));
    const auto spoken = [this](const char* name) {
        QAccessibleInterface* label =
            QAccessible::queryAccessibleInterface(dock()->findChild<QWidget*>(QLatin1String(name)));
        return label ? label->text(QAccessible::Name) : QString();
    };
    // Nothing to say, no name: not even the blank lines it keeps room for.
    QCOMPARE(spoken("label_watch_rule_state"), QString());
    enter("edit_watch_scale", QStringLiteral("abc"));
    field<QPushButton>("btn_watch_start")->click();
    QVERIFY2(spoken("label_watch_rule_state").startsWith(QStringLiteral("Rule not applied: ")),
             qPrintable(spoken("label_watch_rule_state")));
    QCOMPARE(spoken("label_watch_status"), QStringLiteral("Paused."));
}

void TstWatch::closedDockPollsNoMore_data()
{
    QTest::addColumn<QString>("move");
    QTest::addColumn<bool>("paused");
    QTest::newRow("closed") << "close" << true;
    QTest::newRow("floated") << "float" << false;
    QTest::newRow("floated and docked again") << "redock" << false;
    QTest::newRow("tabbed behind Projects") << "tab" << false;
}

void TstWatch::closedDockPollsNoMore()
{
    QFETCH(QString, move);
    QFETCH(bool, paused);
    enter(field<QComboBox>("cmb_watch_interval")->lineEdit(), QStringLiteral("10ms"));
    startWatch(QStringLiteral("0x48"));
    auto* running = m_window->findChild<QLabel*>(QStringLiteral("label_status_watch"));
    QVERIFY(!running->isHidden());
    QCOMPARE(running->text(), QStringLiteral("Watching 0x48 every 10ms"));
    PELLAN_TRY_VERIFY(!dock()->samples().empty());

    if (move == QLatin1String("close")) {
        dock()->close();
    } else if (move == QLatin1String("tab")) {
        m_window->tabifyDockWidget(dock(), ui()->dock_projects);
        ui()->dock_projects->raise();
    } else {
        dock()->setFloating(true);
        if (move == QLatin1String("redock"))
            dock()->setFloating(false);
    }
    // Whatever the move left queued has run.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(dock()->isRunning(), !paused);
    QCOMPARE(running->isHidden(), paused);
    if (!paused) {
        const size_t before = dock()->samples().size();
        PELLAN_TRY_VERIFY(dock()->samples().size() > before);
        return;
    }
    const size_t taken = dock()->samples().size();
    dock()->toggleViewAction()->trigger();
    QVERIFY(dock()->isVisible());
    QVERIFY(!dock()->isRunning());
    QCOMPARE(dock()->samples().size(), taken);
    QVERIFY2(status().contains(QStringLiteral("the Watch dock was closed")), qPrintable(status()));
}

void TstWatch::benchTransactionPausesTheWatch_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("paused");
    QTest::newRow("the watched device") << "0x48" << 0 << true;
    QTest::newRow("another device") << "0x23" << 0 << false;
    QTest::newRow("another device, bus left open") << "0x23" << 1 << true;
}

void TstWatch::benchTransactionPausesTheWatch()
{
    QFETCH(QString, address);
    QFETCH(int, mode);
    QFETCH(bool, paused);

    // The LM75's temperature register 00, while the bench selects its
    // overtemperature register 03 (80 degrees: 50 00).
    enter(field<QComboBox>("cmb_watch_interval")->lineEdit(), QStringLiteral("10ms"));
    startWatch(QStringLiteral("0x48"));
    enter("edit_watch_register", QStringLiteral("00"));
    PELLAN_TRY_VERIFY(dock()->samples().size() >= 2);
    ui()->cmb_i2c_device->setEditText(address);
    ui()->cmb_startstop->setCurrentIndex(mode);
    ui()->edit_write->setText(QStringLiteral("03"));
    ui()->btn_write->click();
    QCOMPARE(dock()->isRunning(), !paused);
    if (paused)
        QVERIFY2(status().startsWith(QStringLiteral("Paused for a write to ") + address),
                 qPrintable(status()));
    if (address != QLatin1String("0x48"))
        return;
    // A poll would have set the pointer back by now.
    const size_t taken = dock()->samples().size();
    PELLAN_TRY_VERIFY(!dock()->isRunning() || dock()->samples().size() > taken + 1);
    ui()->spin_read->setValue(2);
    ui()->btn_read->click();
    QCOMPARE(apptest::lastCell(*m_window, 2), QStringLiteral("50 00"));
}

void TstWatch::watchFromStoredCommand()
{
    QTreeView* tree = ui()->tree_projects;
    tree->expandAll();
    QModelIndex command;
    const QModelIndex device = tree->model()->index(0, 0);
    for (int row = 0; row < tree->model()->rowCount(device); ++row) {
        if (tree->model()->index(row, 0, device).data().toString() ==
            QLatin1String("Read Measurement"))
            command = tree->model()->index(row, 0, device);
    }
    QVERIFY(command.isValid());
    tree->setCurrentIndex(command);
    testsupport::CDialogAnswerer answerer;
    answerer.chooseMenuEntry(QStringLiteral("Watch..."));
    emit tree->customContextMenuRequested(tree->visualRect(command).center());
    QVERIFY(answerer.waitDone());
    QVERIFY(dock()->isRunning());
    QVERIFY(shown("label_watch_source")
                .startsWith(QStringLiteral("Read Measurement (bh1750.i2cdev, 2 bytes from 0x23)")));
    PELLAN_TRY_VERIFY(!dock()->samples().empty());
    QCOMPARE(dock()->samples().front().raw, (std::vector<uint8_t>{0x01, 0x2C}));

    // Write commands cannot be watched.
    tree->setCurrentIndex(tree->model()->index(0, 0, device));
    answerer.chooseMenuEntry(QString());
    emit tree->customContextMenuRequested(tree->visualRect(tree->currentIndex()).center());
    QVERIFY(answerer.waitDone());
    QVERIFY(!answerer.menuEntries().contains(QStringLiteral("Watch...")));
}

void TstWatch::saveWatchCsv_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("head"); // the lines before the samples
    QTest::addColumn<QString>("first");    // the end of the first sample
    QTest::addColumn<QString>("last");     // the end of the last sample
    const QString header = QStringLiteral("time,seconds,raw,value,status,series");
    QTest::newRow("failed polls") << "0x30"
                                  << QStringList{"# 2 bytes from 0x30", "# series 1: u16be", header}
                                  << ",,,NACK received,1"
                                  << ",,,NACK received,1";
    // The LM75's temperature, then its overtemperature limit: a new series
    // with its own rule; values exact, not as shown.
    QTest::newRow("register changed")
        << "0x48"
        << QStringList{"# 2 bytes from 0x48",
                       "# series 1: register 00, s16be, shift 7, scale 1/3, unit °C",
                       "# series 2: register 03, s16be, shift 7, scale 1/3, unit °C", header}
        << ",FF 80,-0.3333333333333333,ok,1"
        << ",50 00,53.33333333333333,ok,2";
}

void TstWatch::saveWatchCsv()
{
    QFETCH(QString, address);
    QFETCH(QStringList, head);
    QFETCH(QString, first);
    QFETCH(QString, last);

    enter(field<QComboBox>("cmb_watch_interval")->lineEdit(), QStringLiteral("10ms"));
    startWatch(address);
    if (address == QLatin1String("0x48")) {
        enter("edit_watch_register", QStringLiteral("00"));
        setRule(QStringLiteral("s16be"), 7, QStringLiteral("1/3"), QStringLiteral("°C"));
        clearSamples();
        PELLAN_TRY_VERIFY(dock()->samples().size() >= 2);
        enter("edit_watch_register", QStringLiteral("03"));
        PELLAN_TRY_VERIFY(dock()->samples().back().raw == (std::vector<uint8_t>{0x50, 0x00}));
    }
    PELLAN_TRY_VERIFY(!dock()->samples().empty());
    field<QPushButton>("btn_watch_start")->click();
    const QString path = m_saves->filePath(QStringLiteral("watch.csv"));
    testsupport::CDialogAnswerer answerer;
    answerer.chooseFile(path);
    field<QPushButton>("btn_watch_save")->click();
    QVERIFY(answerer.waitDone());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines.mid(0, head.size()), head);
    const QStringList rows = lines.mid(head.size());
    QCOMPARE(rows.size(), static_cast<qsizetype>(dock()->samples().size()));
    QVERIFY2(rows.first().endsWith(first), qPrintable(rows.first()));
    QVERIFY2(rows.last().endsWith(last), qPrintable(rows.last()));
    QVERIFY(status().startsWith(QStringLiteral("Saved")));
}

// Switched to 8-bit while watching, the dock, the status bar and the CSV
// name the device as the bench does.
void TstWatch::addressesFollowTheForm()
{
    startWatch(QStringLiteral("0x30"));
    ui()->actionAddress8Bit->trigger();
    QCOMPARE(shown("label_watch_source"), QStringLiteral("2 bytes from 0x60"));
    QVERIFY(m_window->findChild<QLabel*>(QStringLiteral("label_status_watch"))
                ->text()
                .startsWith(QStringLiteral("Watching 0x60 every ")));
    const QString path = m_saves->filePath(QStringLiteral("watch.csv"));
    QString error;
    QVERIFY2(dock()->saveCsv(path, &error), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readLine(), QByteArray("# 2 bytes from 0x60\n"));
}

void TstWatch::saveOutput_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("lines");
    const QString csv = QStringLiteral("CSV files (*.csv)");
    const QString text = QStringLiteral("Text files, as Copy Report (*.txt)");
    const QString time = QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}"
                                        "(Z|[+-]\\d\\d:\\d\\d)");
    const QStringList csvLines = {
        "time,type,address,status,error,data", time + ",Read 0x23,0x23,0x02,,01 2C",
        time + ",Read 0x30,0x30,0x80,NACK received,", time + ",Search,,,,\"0x23, 0x48\"", ""};
    const QStringList textLines = {"Read 0x23\t0x02\t01 2C", "Read 0x30\t0x80  NACK received\t",
                                   "Search\t\t0x23, 0x48", ""};
    // The typed suffix wins; a missing one takes the filter's.
    QTest::newRow("csv") << "out.csv" << csv << "out.csv" << csvLines;
    QTest::newRow("text") << "out.txt" << text << "out.txt" << textLines;
    QTest::newRow("no suffix, CSV") << "out" << csv << "out.csv" << csvLines;
    QTest::newRow("no suffix, text") << "out" << text << "out.txt" << textLines;
    QTest::newRow("trailing dot") << "a7." << csv << "a7.csv" << csvLines;
    QTest::newRow(".csv under the text filter") << "x.csv" << text << "x.csv" << csvLines;
    QTest::newRow(".txt under the CSV filter") << "y.txt" << csv << "y.txt" << textLines;
}

void TstWatch::saveOutput()
{
    QFETCH(QString, typed);
    QFETCH(QString, filter);
    QFETCH(QString, file);
    QFETCH(QStringList, lines);

    for (const char* address : {"0x23", "0x30"}) {
        ui()->cmb_i2c_device->setEditText(QLatin1String(address));
        ui()->spin_read->setValue(2);
        ui()->btn_read->click();
    }
    ui()->btn_i2c_search->click();
    QCOMPARE(ui()->table_data->rowCount(), 3);

    testsupport::CDialogAnswerer answerer;
    answerer.chooseFile(m_saves->filePath(typed), filter);
    ui()->actionSaveOutput->trigger();
    QVERIFY(answerer.waitDone());
    QCOMPARE(QDir(m_saves->path()).entryList(QDir::Files), QStringList{file});
    QFile saved(m_saves->filePath(file));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QStringList written = QString::fromUtf8(saved.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(written.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(lines.at(i)));
        QVERIFY2(pattern.match(written.at(i)).hasMatch(), qPrintable(written.at(i)));
    }
}

void TstWatch::saveAsksBeforeReplacing_data()
{
    QTest::addColumn<QString>("save");
    QTest::addColumn<bool>("replace");
    QTest::addColumn<bool>("folder");
    QTest::newRow("output, kept") << "output" << false << false;
    QTest::newRow("output, replaced") << "output" << true << false;
    QTest::newRow("watch, replaced") << "watch" << true << false;
    // Never offered: a folder is not replaced by a file.
    QTest::newRow("output, onto a folder") << "output" << false << true;
}

void TstWatch::saveAsksBeforeReplacing()
{
    QFETCH(QString, save);
    QFETCH(bool, replace);
    QFETCH(bool, folder);

    // The name is completed to one that is there already.
    const QString existing = m_saves->filePath(QStringLiteral("a6.csv"));
    QFile old(existing);
    if (folder) {
        QVERIFY(QDir(m_saves->path()).mkdir(QStringLiteral("a6.csv")));
    } else {
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old\n") == 4);
        old.close();
    }
    if (save == QLatin1String("watch")) {
        startWatch(QStringLiteral("0x30"));
        PELLAN_TRY_VERIFY(!dock()->samples().empty());
        field<QPushButton>("btn_watch_start")->click();
    } else {
        ui()->cmb_i2c_device->setEditText(QStringLiteral("0x23"));
        ui()->btn_read->click();
    }
    testsupport::CDialogAnswerer answerer;
    answerer.chooseFile(m_saves->filePath(QStringLiteral("a6")));
    answerer.pressButton(folder ? QMessageBox::Ok : replace ? QMessageBox::Yes : QMessageBox::No);
    // Not replaced, the dialog comes back for another name.
    if (!replace)
        answerer.reject();
    if (save == QLatin1String("watch"))
        field<QPushButton>("btn_watch_save")->click();
    else
        ui()->actionSaveOutput->trigger();
    QVERIFY(answerer.waitDone());
    if (folder) {
        QCOMPARE(answerer.seen().at(1).text,
                 QStringLiteral("\"%1\" is a folder.\nChoose another name.").arg(existing));
        QVERIFY(QFileInfo(existing).isDir());
        return;
    }
    QCOMPARE(answerer.seen().at(1).text,
             QStringLiteral("\"%1\" already exists.\nDo you want to replace it?").arg(existing));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll() == "old\n", !replace);
}

void TstWatch::saveFailureSaysWhy_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("diskFull");
    QTest::newRow("missing folder") << "missing folder/out.csv" << false;
    // A file size limit cuts the write short as a full disk does; the
    // table's few hundred bytes would sit in a write buffer.
    QTest::newRow("disk full, old file kept") << "out.csv" << true;
}

void TstWatch::saveFailureSaysWhy()
{
    QFETCH(QString, name);
    QFETCH(bool, diskFull);
    ui()->cmb_i2c_device->setEditText(QStringLiteral("0x23"));
    ui()->btn_read->click();
    const QString path = m_saves->filePath(name);
    testsupport::CDialogAnswerer answerer;
    answerer.chooseFile(path);
    if (diskFull) {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old\n") == 4);
        answerer.pressButton(QMessageBox::Yes);
    }
    answerer.pressButton(QMessageBox::Ok);
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit tiny{16, limit.rlim_max};
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    if (diskFull)
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    ui()->actionSaveOutput->trigger();
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);
    QVERIFY(answerer.waitDone());
    QCOMPARE(answerer.seen().last().title, QStringLiteral("Save Output"));
    QVERIFY2(answerer.seen().last().text.contains(name + QStringLiteral("\":\n")),
             qPrintable(answerer.seen().last().text));
    QCOMPARE(ui()->table_data->rowCount(), 1);
    if (diskFull) {
        QFile old(path);
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old\n"));
    } else {
        QVERIFY(!QFile::exists(path));
    }
    // No temporary file is left beside it.
    QCOMPARE(QDir(m_saves->path()).entryList(QDir::Files | QDir::Hidden),
             diskFull ? QStringList{QStringLiteral("out.csv")} : QStringList());
}

void TstWatch::plotBreaksAtEveryGap_data()
{
    QTest::addColumn<int>("interval"); // ms
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("failEvery"); // a run of failures in every so many polls
    QTest::addColumn<int>("failRun");
    QTest::addColumn<int>("pauseAfter"); // the sample before a 10 s pause, -1 none
    QTest::addColumn<int>("segments");   // -1: not counted
    QTest::newRow("10 s pause at 500 ms") << 500 << 60 << 0 << 0 << 30 << 2;
    QTest::newRow("5 failures in a row at 10 ms") << 10 << 3000 << 1000 << 5 << -1 << 4;
    QTest::newRow("every other poll fails at 10 ms") << 10 << 6000 << 2 << 1 << -1 << -1;
    // 6,000 in view of 100,000, with six failures among them.
    QTest::newRow("100,000 samples") << 10 << 100'000 << 1000 << 1 << -1 << 7;
}

void TstWatch::plotBreaksAtEveryGap()
{
    QFETCH(int, interval);
    QFETCH(int, samples);
    QFETCH(int, failEvery);
    QFETCH(int, failRun);
    QFETCH(int, pauseAfter);
    QFETCH(int, segments);

    WatchPlot* plot = dock()->plot();
    plot->setWindowSeconds(60);
    // Where no line may go across: failed polls, and the middle of a pause.
    std::vector<qint64> breaks;
    qint64 time = 1'700'000'000'000;
    for (int i = 0; i < samples; ++i, time += interval) {
        const int phase = failEvery > 0 ? i % failEvery : -1;
        if (phase >= failEvery / 2 && phase < failEvery / 2 + failRun) {
            plot->append(time, WatchPlot::GAP);
            breaks.push_back(time);
            continue;
        }
        plot->append(time, std::sin(i / 100.0));
        if (i == pauseAfter) {
            breaks.push_back(time + 5000);
            time += 10'000;
            plot->append(time + interval, WatchPlot::GAP); // as the dock resumes
        }
    }
    plot->refresh();

    for (const QList<QPointF>& line : plot->lines()) {
        for (qsizetype i = 1; i < line.size(); ++i) {
            const auto from = static_cast<qint64>(line[i - 1].x());
            const auto to = static_cast<qint64>(line[i].x());
            const auto next = std::upper_bound(breaks.begin(), breaks.end(), from);
            // QVERIFY2 builds its message even when the check holds.
            const qint64 crossed = next == breaks.end() ? to : *next;
            QVERIFY2(crossed >= to, qPrintable(QStringLiteral("a line from %1 to %2 crosses %3")
                                                   .arg(from)
                                                   .arg(to)
                                                   .arg(crossed)));
        }
    }
    if (segments >= 0)
        QCOMPARE(plot->segmentCount(), segments);
    // Never more points than the buckets across the window can show.
    QVERIFY2(plot->pointCount() <= 6 * 151, qPrintable(QString::number(plot->pointCount())));
}

// The window busy for a second (a large file reloaded, say): the polls it
// held up are missing, and the plot shows the hole instead of a line.
void TstWatch::stalledWindowLeavesAGap()
{
    enter(field<QComboBox>("cmb_watch_interval")->lineEdit(), QStringLiteral("10ms"));
    startWatch(QStringLiteral("0x23"));
    PELLAN_TRY_VERIFY(dock()->history().total() >= 3);
    qint64 stallStart = 0;
    qint64 stallEnd = 0;
    QTimer::singleShot(0, this, [&] {
        stallStart = QDateTime::currentMSecsSinceEpoch();
        QElapsedTimer busy;
        busy.start();
        while (busy.elapsed() < 1000) {
        }
        stallEnd = QDateTime::currentMSecsSinceEpoch();
    });
    PELLAN_TRY_VERIFY(stallEnd != 0);
    const qsizetype before = dock()->history().total();
    PELLAN_TRY_VERIFY(dock()->history().total() >= before + 3);
    field<QPushButton>("btn_watch_start")->click();
    dock()->refreshNow();
    const qint64 middle = (stallStart + stallEnd) / 2;
    for (const QList<QPointF>& line : dock()->plot()->lines()) {
        for (qsizetype i = 1; i < line.size(); ++i)
            QVERIFY2(line[i - 1].x() > middle || line[i].x() < middle,
                     qPrintable(QStringLiteral("a line from %1 to %2 crosses the stall")
                                    .arg(line[i - 1].x())
                                    .arg(line[i].x())));
    }
}

void TstWatch::timeAxisLabels_data()
{
    QTest::addColumn<int>("window"); // s
    QTest::addColumn<QString>("label");
    // Any window that spans midnight names the new date.
    QTest::newRow("5 s") << 5 << "(\\S+ \\d+ )?\\d\\d:\\d\\d:\\d\\d";
    QTest::newRow("10 min") << 600 << "(\\S+ \\d+ )?\\d\\d:\\d\\d(:00)?";
    // A day spans two dates: the first label and the one after midnight
    // name theirs.
    QTest::newRow("24 h") << 24 * 3600 << "(\\S+ \\d+ )?\\d\\d:\\d\\d";
}

void TstWatch::timeAxisLabels()
{
    QFETCH(int, window);
    QFETCH(QString, label);

    // With room for several labels.
    dock()->show();
    dock()->setFloating(true);
    dock()->resize(900, 500);
    WatchPlot* plot = dock()->plot();
    plot->setWindowSeconds(window);
    plot->append(QDateTime::currentMSecsSinceEpoch(), 1.0);
    plot->refresh();
    QCOMPARE(plot->timeTitle(), QStringLiteral("Time"));
    PELLAN_TRY_VERIFY(plot->timeLabels().size() >= 2);
    const QStringList labels = plot->timeLabels();
    const std::vector<qint64>& times = plot->timeLabelTimes();
    // Evenly spaced at whole steps of local time.
    const qint64 step = times.at(1) - times.at(0);
    QVERIFY(step % 1000 == 0);
    for (size_t i = 1; i < times.size(); ++i)
        QCOMPARE(times[i] - times[i - 1], step);
    const QRegularExpression pattern(QRegularExpression::anchoredPattern(label));
    for (const QString& text : labels)
        QVERIFY2(pattern.match(text).hasMatch(), qPrintable(text));
    if (window == 24 * 3600)
        QVERIFY2(labels.first().contains(QLatin1Char(' ')), qPrintable(labels.first()));
}

void TstWatch::plotLabelsFit_data()
{
    QTest::addColumn<int>("window"); // s
    QTest::addColumn<QSize>("size"); // of the floating dock; none: docked
    const std::pair<const char*, QSize> sizes[] = {
        {"docked", QSize()},
        {"smallest", QSize(1, 1)},
        {"narrow", QSize(330, 420)},
        {"wide", QSize(900, 500)},
    };
    for (const int window : {5, 600, 24 * 3600})
        for (const auto& [name, size] : sizes)
            QTest::addRow("%d s, %s", window, name) << window << size;
}

void TstWatch::plotLabelsFit()
{
    QFETCH(int, window);
    QFETCH(QSize, size);

    dock()->show();
    if (size.isValid()) {
        dock()->setFloating(true);
        dock()->resize(size);
    }
    WatchPlot* plot = dock()->plot();
    plot->setWindowSeconds(window);
    std::vector<std::pair<qint64, double>> samples;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i <= 100; ++i)
        samples.emplace_back(now - qint64(window) * 10 * (100 - i), 20 + 5 * std::sin(i / 5.0));
    plot->setSamples(samples);

    // The texts as laid out: none cut short with "...", none reaching out
    // of the view, the time's labels and title all shown.
    auto* view = dock()->findChild<QGraphicsView*>();
    const auto faults = [&] {
        const QRectF shown = view->mapToScene(view->viewport()->rect()).boundingRect();
        QStringList drawn;
        QStringList faults;
        for (QGraphicsItem* item : view->scene()->items()) {
            const auto* text = dynamic_cast<QGraphicsTextItem*>(item);
            if (!text || !text->isVisible() || text->toPlainText().isEmpty())
                continue;
            drawn << text->toPlainText();
            if (drawn.last().contains(QStringLiteral("...")) ||
                !shown.contains(text->sceneBoundingRect()))
                faults << drawn.last();
        }
        const QStringList shownToo = plot->timeLabels() << plot->timeTitle();
        for (const QString& label : shownToo)
            if (!drawn.contains(label))
                faults << label + QStringLiteral(" hidden");
        return faults;
    };
    PELLAN_TRY_COMPARE(faults(), QStringList());
    QVERIFY(!plot->timeLabels().isEmpty());
}

QTEST_MAIN(TstWatch)
#include "tst_watch.moc"
