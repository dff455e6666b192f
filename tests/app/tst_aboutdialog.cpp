#include "app/aboutdialog.h"
#include "tests/support/dialoganswerer.h"
#include "tests/support/waits.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLockFile>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

const QString TITLE = QStringLiteral("About Orvane Pellan I2C");
const QStringList URL_SCHEMES = {QStringLiteral("http"), QStringLiteral("https"),
                                 QStringLiteral("mailto"), QStringLiteral("file")};

} // namespace

// Stands in for the desktop's browser, mail program and file viewer.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class TstAboutDialog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void contentsInOrder();
    void linkLabels_data();
    void linkLabels();
    void componentLabels_data();
    void componentLabels();
    void closeButtonCloses();
    void unopenableLinkWarns();

    void licenseLookup_data();
    void licenseLookup();
    void unopenableLicenseWarns();

private:
    static QList<QWidget*> rows(AboutDialog& dialog);
    static QString hrefOf(const QLabel* label);
    void clearSandbox();
    void putLicense(const QString& folder, const QString& name);

    UrlCatcher m_catcher;
    // The folders the dialog searches lie beside this executable, which the
    // build keeps in a folder of its own; the lock keeps two runs of this
    // test from filling and emptying them under each other.
    QString m_sandbox;
    std::unique_ptr<QLockFile> m_lock;
};

void TstAboutDialog::initTestCase()
{
    for (const QString& scheme : URL_SCHEMES)
        QDesktopServices::setUrlHandler(scheme, &m_catcher, "open");

    const QString appDir = QCoreApplication::applicationDirPath();
    m_sandbox = QDir(appDir + QStringLiteral("/..")).canonicalPath();
    // Never create or delete folders anywhere but in the test's own sandbox.
    QCOMPARE(m_sandbox, QDir(QStringLiteral(PELLAN_ABOUT_SANDBOX)).canonicalPath());

    m_lock = std::make_unique<QLockFile>(m_sandbox + QStringLiteral("/sandbox.lock"));
    m_lock->setStaleLockTime(0);
    QVERIFY2(m_lock->tryLock(60000), "another run holds the licence sandbox");
}

void TstAboutDialog::cleanupTestCase()
{
    for (const QString& scheme : URL_SCHEMES)
        QDesktopServices::unsetUrlHandler(scheme);
    clearSandbox();
    m_lock.reset();
}

void TstAboutDialog::init()
{
    clearSandbox();
    m_catcher.urls.clear();
}

void TstAboutDialog::cleanup()
{
    clearSandbox();
}

void TstAboutDialog::clearSandbox()
{
    if (m_sandbox.isEmpty())
        return;
    QDir(m_sandbox + QStringLiteral("/bin/licenses")).removeRecursively();
    QDir(m_sandbox + QStringLiteral("/share")).removeRecursively();
}

void TstAboutDialog::putLicense(const QString& folder, const QString& name)
{
    QVERIFY(QDir().mkpath(folder));
    QFile file(folder + QLatin1Char('/') + name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("licence text\n");
}

QList<QWidget*> TstAboutDialog::rows(AboutDialog& dialog)
{
    QList<QWidget*> widgets;
    QLayout* layout = dialog.layout();
    for (int i = 0; layout && i < layout->count(); ++i) {
        if (QWidget* widget = layout->itemAt(i)->widget())
            widgets.append(widget);
    }
    return widgets;
}

QString TstAboutDialog::hrefOf(const QLabel* label)
{
    static const QRegularExpression href(QStringLiteral("href=\"([^\"]*)\""));
    return href.match(label->text()).captured(1);
}

void TstAboutDialog::contentsInOrder()
{
    AboutDialog dialog;
    QCOMPARE(dialog.windowTitle(), TITLE);

    const QList<QWidget*> widgets = rows(dialog);
    QCOMPARE(widgets.size(), 10);

    auto* header = qobject_cast<QLabel*>(widgets[0]);
    QVERIFY(header);
    QCOMPARE(header->textFormat(), Qt::RichText);
    QCOMPARE(header->text(), QStringLiteral("<b>Orvane Pellan I2C</b><br>Version 1.0.0<br>"
                                            "\u00A9 2026 Tremwick Instruments"));

    // Rows 1-3 and 6-8 are the link labels, checked one by one below.
    auto* line = qobject_cast<QFrame*>(widgets[4]);
    QVERIFY(line);
    QCOMPARE(line->frameShape(), QFrame::HLine);
    QCOMPARE(line->frameShadow(), QFrame::Sunken);

    auto* caption = qobject_cast<QLabel*>(widgets[5]);
    QVERIFY(caption);
    QCOMPARE(caption->text(), QStringLiteral("Third-party components:"));

    auto* buttons = qobject_cast<QDialogButtonBox*>(widgets[9]);
    QVERIFY(buttons);
    QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Close);
}

void TstAboutDialog::linkLabels_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QUrl>("opened");

    QTest::newRow("homepage") << 1
                              << "Homepage: <a href=\"https://www.tremwick.example/pellan-i2c\">"
                                 "https://www.tremwick.example/pellan-i2c</a>"
                              << QUrl("https://www.tremwick.example/pellan-i2c");
    QTest::newRow("support, mailto added to the address only")
        << 2 << "Support: <a href=\"mailto:support@tremwick.example\">support@tremwick.example</a>"
        << QUrl("mailto:support@tremwick.example");
    QTest::newRow("forum") << 3
                           << "Forum: <a href=\"https://forum.tremwick.example\">"
                              "https://forum.tremwick.example</a>"
                           << QUrl("https://forum.tremwick.example");
}

void TstAboutDialog::linkLabels()
{
    QFETCH(int, row);
    QFETCH(QString, text);
    QFETCH(QUrl, opened);

    AboutDialog dialog;
    auto* label = qobject_cast<QLabel*>(rows(dialog).value(row));
    QVERIFY(label);
    QCOMPARE(label->text(), text);
    QCOMPARE(label->textInteractionFlags(), Qt::TextBrowserInteraction);
    QVERIFY(!label->openExternalLinks());

    emit label->linkActivated(hrefOf(label));
    QCOMPARE(m_catcher.urls, QList<QUrl>{opened});
}

void TstAboutDialog::componentLabels_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("file");

    QTest::newRow("qt") << 6 << "<a href=\"LICENSE-qt.txt\">Qt 6 (LGPL-3.0)</a>"
                        << "LICENSE-qt.txt";
    QTest::newRow("hidapi")
        << 7 << "<a href=\"LICENSE-hidapi.txt\">hidapi (Own license (permissive))</a>"
        << "LICENSE-hidapi.txt";
    QTest::newRow("icons") << 8
                           << "<a href=\"LICENSE-google-material-icons.txt\">"
                              "Google Material Icons (Apache-2.0)</a>"
                           << "LICENSE-google-material-icons.txt";
}

void TstAboutDialog::componentLabels()
{
    QFETCH(int, row);
    QFETCH(QString, text);
    QFETCH(QString, file);

    AboutDialog dialog;
    auto* label = qobject_cast<QLabel*>(rows(dialog).value(row));
    QVERIFY(label);
    QCOMPARE(label->text(), text);
    QCOMPARE(label->textInteractionFlags(), Qt::TextBrowserInteraction);
    QVERIFY(!label->openExternalLinks());

    // The activated link is a licence file name, opened from the build tree.
    putLicense(m_sandbox + QStringLiteral("/bin/licenses"), file);
    emit label->linkActivated(hrefOf(label));
    QCOMPARE(m_catcher.urls,
             QList<QUrl>{QUrl::fromLocalFile(m_sandbox + QStringLiteral("/bin/licenses/") + file)});
}

void TstAboutDialog::closeButtonCloses()
{
    AboutDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog, testsupport::WAIT_MS));
    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    QVERIFY(buttons);
    buttons->button(QDialogButtonBox::Close)->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
}

void TstAboutDialog::unopenableLinkWarns()
{
    AboutDialog dialog;
    testsupport::CDialogAnswerer answerer;
    Qt::TextFormat format = Qt::AutoText;
    answerer.handleWith([&format](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box)
            format = box->textFormat();
        qobject_cast<QDialog*>(widget)->reject();
    });

    // An unclosed IPv6 host stays invalid even in tolerant mode; the scheme
    // has no handler, so nothing but the URL check decides.
    const QString link = QStringLiteral("gopher://[<b>::1");
    dialog.openExternalLink(link);
    QVERIFY(answerer.waitDone());

    QVERIFY(m_catcher.urls.isEmpty());
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen()[0].className, QStringLiteral("QMessageBox"));
    QCOMPARE(answerer.seen()[0].title, TITLE);
    QCOMPARE(answerer.seen()[0].text, QStringLiteral("Could not open the link.\n\n") + link);
    QCOMPARE(format, Qt::PlainText);
}

void TstAboutDialog::licenseLookup_data()
{
    QTest::addColumn<bool>("inLicenses");
    QTest::addColumn<bool>("inShareDoc");
    QTest::addColumn<QString>("opened"); // relative to the sandbox; empty: warning

    QTest::newRow("build tree") << true << false << "bin/licenses/LICENSE-hidapi.txt";
    QTest::newRow("installation") << false << true << "share/doc/pellan-i2c/LICENSE-hidapi.txt";
    QTest::newRow("both, build tree first") << true << true << "bin/licenses/LICENSE-hidapi.txt";
    QTest::newRow("neither") << false << false << QString();
}

void TstAboutDialog::licenseLookup()
{
    QFETCH(bool, inLicenses);
    QFETCH(bool, inShareDoc);
    QFETCH(QString, opened);

    const QString name = QStringLiteral("LICENSE-hidapi.txt");
    if (inLicenses)
        putLicense(m_sandbox + QStringLiteral("/bin/licenses"), name);
    if (inShareDoc)
        putLicense(m_sandbox + QStringLiteral("/share/doc/pellan-i2c"), name);
    // A different licence present must not be taken for the one asked for.
    putLicense(m_sandbox + QStringLiteral("/bin/licenses"), QStringLiteral("LICENSE-qt.txt"));

    AboutDialog dialog;
    testsupport::CDialogAnswerer answerer;
    if (opened.isEmpty())
        answerer.pressButton(QMessageBox::Ok);
    dialog.openLicenseFile(name);
    QVERIFY(answerer.waitDone());

    if (!opened.isEmpty()) {
        QCOMPARE(m_catcher.urls,
                 QList<QUrl>{QUrl::fromLocalFile(m_sandbox + QLatin1Char('/') + opened)});
        QVERIFY(answerer.seen().isEmpty());
        return;
    }
    QVERIFY(m_catcher.urls.isEmpty());
    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen()[0].title, TITLE);
    QCOMPARE(answerer.seen()[0].text,
             QStringLiteral("License file not found.\n\n") +
                 QDir::toNativeSeparators(QCoreApplication::applicationDirPath() +
                                          QStringLiteral("/licenses/") + name));
}

void TstAboutDialog::unopenableLicenseWarns()
{
    // Without a handler the platform opens the file; only the offscreen
    // platform is known to refuse without launching a viewer.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QSKIP("needs the offscreen platform");

    const QString name = QStringLiteral("LICENSE-qt.txt");
    putLicense(m_sandbox + QStringLiteral("/share/doc/pellan-i2c"), name);

    AboutDialog dialog;
    testsupport::CDialogAnswerer answerer;
    answerer.pressButton(QMessageBox::Ok);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    dialog.openLicenseFile(name);
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_catcher, "open");
    QVERIFY(answerer.waitDone());

    QCOMPARE(answerer.seen().size(), 1);
    QCOMPARE(answerer.seen()[0].title, TITLE);
    QCOMPARE(answerer.seen()[0].text,
             QStringLiteral("Could not open the license file.\n\n") +
                 QDir::toNativeSeparators(QCoreApplication::applicationDirPath() +
                                          QStringLiteral("/../share/doc/pellan-i2c/") + name));
}

QTEST_MAIN(TstAboutDialog)
#include "tst_aboutdialog.moc"
