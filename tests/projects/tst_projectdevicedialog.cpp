#include "projects/projectdevicedialog.h"
#include "tests/support/dialoganswerer.h"
#include "tests/support/waits.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

namespace {

// 7-bit addresses written as "0x" and hex digits, surrounding spaces allowed.
std::optional<uint8_t> parseHex(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (!trimmed.startsWith(QStringLiteral("0x"), Qt::CaseInsensitive))
        return std::nullopt;
    bool ok = false;
    const uint value = trimmed.mid(2).toUInt(&ok, 16);
    if (!ok || value > 0x7F)
        return std::nullopt;
    return uint8_t(value);
}

QLineEdit* edit(QDialog& dialog, const QString& placeholder)
{
    for (QLineEdit* line : dialog.findChildren<QLineEdit*>()) {
        if (line->placeholderText() == placeholder)
            return line;
    }
    return nullptr;
}

} // namespace

class TstProjectDeviceDialog : public QObject {
    Q_OBJECT

private slots:
    void form();
    void checks_data();
    void checks();
    void correctedAddressAccepts();
};

void TstProjectDeviceDialog::form()
{
    ProjectDeviceDialog dialog(QStringLiteral("New Device"), parseHex, {});
    dialog.setValues(QStringLiteral("  Name "), QStringLiteral("0x23"),
                     QStringLiteral("\n line 1\n\tline 2  \n"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("New Device"));
    QVERIFY(dialog.minimumWidth() >= 360);
    QVERIFY(edit(dialog, QStringLiteral("e.g. BH1750")));
    QCOMPARE(edit(dialog, QStringLiteral("0x23"))->text(), QStringLiteral("0x23"));
    auto* description = dialog.findChild<QPlainTextEdit*>();
    QCOMPARE(description->placeholderText(),
             QStringLiteral("Optional, e.g. wiring or address pins"));
    QVERIFY(description->tabChangesFocus());
    const int height = QFontMetrics(description->font()).lineSpacing() * 4;
    QCOMPARE(description->minimumHeight(), height);
    QCOMPARE(description->maximumHeight(), height);
    QCOMPARE(dialog.name(), QStringLiteral("Name"));
    QCOMPARE(dialog.description(), QStringLiteral("line 1\n\tline 2"));
    QCOMPARE(dialog.address(), uint8_t(0));
}

void TstProjectDeviceDialog::checks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("withNameCheck");
    QTest::addColumn<QString>("warning"); // empty: accepted
    QTest::addColumn<QString>("focus");   // placeholder of the focused field

    const QString nameField = QStringLiteral("e.g. BH1750");
    const QString addressField = QStringLiteral("0x23");
    QTest::newRow("empty name") << ""
                                << "0x23" << true << "Please enter a name." << nameField;
    QTest::newRow("spaces only, bad address too")
        << "   "
        << "zz" << true << "Please enter a name." << nameField;
    QTest::newRow("taken name before bad address")
        << " <b>Taken</b> "
        << "zz" << true << "A device named \"<b>Taken</b>\" already exists." << nameField;
    QTest::newRow("no name check") << "<b>Taken</b>"
                                   << "0x10" << false << ""
                                   << "";
    QTest::newRow("empty address") << "Free"
                                   << "" << true << "Invalid I2C address." << addressField;
    QTest::newRow("out of range") << "Free"
                                  << "0x80" << true << "Invalid I2C address." << addressField;
    QTest::newRow("not a number") << "Free"
                                  << "abc" << true << "Invalid I2C address." << addressField;
    QTest::newRow("valid, untrimmed address") << "Free"
                                              << " 0x5C " << true << ""
                                              << "";
}

// The first failing check speaks, as plain text under the dialog's own title,
// and the dialog stays open with the focus on the field to correct.
void TstProjectDeviceDialog::checks()
{
    QFETCH(QString, name);
    QFETCH(QString, address);
    QFETCH(bool, withNameCheck);
    QFETCH(QString, warning);
    QFETCH(QString, focus);

    QStringList checkedNames;
    ProjectDeviceDialog::NameCheck check;
    if (withNameCheck) {
        check = [&checkedNames](const QString& n) {
            checkedNames.append(n);
            return n == QStringLiteral("<b>Taken</b>");
        };
    }
    ProjectDeviceDialog dialog(QStringLiteral("Device Properties"), parseHex, check);
    dialog.setValues(name, address, QString());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, testsupport::WAIT_MS));

    testsupport::CDialogAnswerer answerer;
    Qt::TextFormat format = Qt::AutoText;
    answerer.handleWith([&format](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        format = box->textFormat();
        box->button(QMessageBox::Ok)->click();
    });
    dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();

    if (warning.isEmpty()) {
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.address(), *parseHex(address));
        QCOMPARE(answerer.pending(), 1);
        return;
    }
    QCOMPARE(answerer.pending(), 0);
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen().first().title, QStringLiteral("Device Properties"));
    QCOMPARE(answerer.seen().first().text, warning);
    QCOMPARE(format, Qt::PlainText);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.focusWidget(), edit(dialog, focus));
    if (warning.startsWith(QStringLiteral("A device")))
        QCOMPARE(edit(dialog, focus)->selectedText(), name);
    QCOMPARE(checkedNames.isEmpty(), name.trimmed().isEmpty());
}

void TstProjectDeviceDialog::correctedAddressAccepts()
{
    ProjectDeviceDialog dialog(QStringLiteral("New Device"), parseHex, {});
    dialog.setValues(QStringLiteral("Sensor"), QStringLiteral("0x99"), QString());
    dialog.show();
    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    QPushButton* ok = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
    ok->click();
    QVERIFY(dialog.isVisible());
    edit(dialog, QStringLiteral("0x23"))->setText(QStringLiteral("0x44"));
    ok->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.address(), uint8_t(0x44));
}

QTEST_MAIN(TstProjectDeviceDialog)
#include "tst_projectdevicedialog.moc"
