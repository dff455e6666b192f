#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

// Run by CTest and, through check_privatehome.cmake, as if by hand against a
// stand-in for the user's real home, which must stay untouched.
class TstPrivateHome : public QObject {
    Q_OBJECT

private slots:
    void foldersInsideHome_data();
    void foldersInsideHome();
    void writesStayInside();
};

void TstPrivateHome::foldersInsideHome_data()
{
    QTest::addColumn<int>("location");
    QTest::newRow("config") << int(QStandardPaths::GenericConfigLocation);
    QTest::newRow("data") << int(QStandardPaths::GenericDataLocation);
    QTest::newRow("cache") << int(QStandardPaths::GenericCacheLocation);
    QTest::newRow("documents") << int(QStandardPaths::DocumentsLocation);
    QTest::newRow("runtime") << int(QStandardPaths::RuntimeLocation);
}

void TstPrivateHome::foldersInsideHome()
{
    QFETCH(int, location);
    const QString home = QDir::homePath();
    QCOMPARE(home, qEnvironmentVariable("PELLAN_TEST_HOME", home));
    const QString path =
        QStandardPaths::writableLocation(QStandardPaths::StandardLocation(location));
    QVERIFY2(path.startsWith(home + QLatin1Char('/')), qPrintable(path));
    // The runtime folder must be private to its owner.
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    if (location == QStandardPaths::RuntimeLocation)
        QCOMPARE(QFile::permissions(path) & others, QFile::Permissions());
}

// What the program writes: settings, the projects folder and data.
void TstPrivateHome::writesStayInside()
{
    QSettings settings(QStringLiteral("Tremwick"), QStringLiteral("pellan_i2c"));
    settings.setValue(QStringLiteral("projects/examplesInstalled"), true);
    settings.sync();
    QCOMPARE(settings.status(), QSettings::NoError);
    QVERIFY(settings.fileName().startsWith(QDir::homePath()));
    QVERIFY(QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                          QStringLiteral("/Tremwick/pellan_i2c/projects")));
    QFile data(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               QStringLiteral("/written"));
    QVERIFY(data.open(QIODevice::WriteOnly));
}

QTEST_GUILESS_MAIN(TstPrivateHome)
#include "tst_privatehome.moc"
