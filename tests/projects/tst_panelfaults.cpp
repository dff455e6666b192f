// The projects folder changing under the panel's feet: the whole folder
// deleted while the panel runs. The tree must end up showing what is on disk.

#include "projects/projectspanel.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int WAIT_MS = 5000;

QString writeDevice(const QString& folder, const QString& fileName, const QString& name,
                    const QString& description = {})
{
    CI2cDeviceFile device;
    device.SetName(name);
    device.SetDescription(description);
    device.SetAddress(0x23);
    device.AddCommand({u"Read"_s, EI2cCommandType::Read, EI2cStartStop::Auto, {}, 2});
    const QString path = QDir(folder).absoluteFilePath(fileName);
    return device.SaveAs(path) ? path : QString();
}

} // namespace

class TstPanelFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void folderDeletedWhilePanelRuns();

private:
    struct SDock {
        QWidget host;
        QTreeView* tree = new QTreeView(&host);
        QLineEdit* filterEdit = new QLineEdit(&host);
        QLabel* descriptionLabel = new QLabel(&host);
        QToolButton* newButton = new QToolButton(&host);
        QToolButton* reloadButton = new QToolButton(&host);
        QToolButton* folderButton = new QToolButton(&host);
        CProjectsPanel* panel = nullptr;

        // Top-level row texts: device names, then failed files.
        QStringList texts() const
        {
            QStringList result;
            for (int row = 0; row < tree->model()->rowCount(); ++row)
                result.append(tree->model()->index(row, 0).data().toString());
            return result;
        }
    };

    std::unique_ptr<SDock> makeDock() const;
    QString folder() const { return m_dir->filePath(u"projects"_s); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TstPanelFaults::initTestCase()
{
    QCoreApplication::setOrganizationName(u"Tremwick"_s);
    QCoreApplication::setApplicationName(u"pellan_i2c"_s);
}

void TstPanelFaults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(folder()));
    QSettings settings;
    settings.clear();
    settings.setValue(u"projects/folder"_s, folder());
    settings.setValue(u"projects/examplesInstalled"_s, true);
}

void TstPanelFaults::cleanup()
{
    m_dir.reset();
}

std::unique_ptr<TstPanelFaults::SDock> TstPanelFaults::makeDock() const
{
    auto dock = std::make_unique<SDock>();
    const auto format = [](uint8_t address) { return u"0x%1"_s.arg(address, 2, 16, QChar('0')); };
    dock->panel = new CProjectsPanel(
        {dock->tree, dock->filterEdit, dock->descriptionLabel, dock->newButton, dock->reloadButton,
         dock->folderButton},
        format, [](const QString&) { return std::optional<uint8_t>(); },
        [] { return std::optional<uint8_t>(); }, &dock->host);
    dock->host.show();
    return dock;
}

void TstPanelFaults::folderDeletedWhilePanelRuns()
{
    writeDevice(folder(), u"a.i2cdev"_s, u"Alpha"_s, u"The first"_s);
    writeDevice(folder(), u"b.i2cdev"_s, u"Beta"_s);
    auto dock = makeDock();
    QCOMPARE(dock->texts(), (QStringList{"Alpha", "Beta"}));
    dock->tree->setCurrentIndex(dock->tree->model()->index(0, 0));
    QCOMPARE(dock->descriptionLabel->text(), u"The first"_s);

    QVERIFY(QDir(folder()).removeRecursively());
    QTRY_VERIFY_WITH_TIMEOUT(dock->texts().isEmpty(), WAIT_MS);
    QVERIFY(!dock->tree->currentIndex().isValid());
    QVERIFY(dock->descriptionLabel->text().isEmpty());
    // Reloading a folder that is not there is harmless.
    dock->reloadButton->click();
    QVERIFY(dock->texts().isEmpty());
    QCOMPARE(dock->panel->GetFolder(), folder());

    // Brought back from outside: shown after a reload, and watched again.
    QVERIFY(QDir().mkpath(folder()));
    const QString path = writeDevice(folder(), u"c.i2cdev"_s, u"Gamma"_s);
    dock->reloadButton->click();
    QCOMPARE(dock->texts(), QStringList{"Gamma"});
    QFile::remove(path);
    QTRY_VERIFY_WITH_TIMEOUT(dock->texts().isEmpty(), WAIT_MS);
    writeDevice(folder(), u"d.i2cdev"_s, u"Delta"_s);
    QTRY_COMPARE_WITH_TIMEOUT(dock->texts(), QStringList{"Delta"}, WAIT_MS);
}

QTEST_MAIN(TstPanelFaults)
#include "tst_panelfaults.moc"
