#include "tests/support/privatehome.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace testsupport {

void usePrivateHome()
{
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/pellan-test-XXXXXX"));
    if (!home.isValid())
        qFatal("No temporary folder for a private home");
    const QString root = home.path();
    const std::pair<const char*, QString> folders[] = {
        {"HOME", root},
        {"XDG_CONFIG_HOME", root + QStringLiteral("/.config")},
        {"XDG_DATA_HOME", root + QStringLiteral("/.local/share")},
        {"XDG_CACHE_HOME", root + QStringLiteral("/.cache")},
        {"XDG_DOCUMENTS_DIR", root + QStringLiteral("/Documents")},
        {"XDG_RUNTIME_DIR", root + QStringLiteral("/.runtime")},
    };
    for (const auto& [name, path] : folders) {
        QDir().mkpath(path);
        qputenv(name, QFile::encodeName(path));
    }
    QFile::setPermissions(root + QStringLiteral("/.runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace testsupport
