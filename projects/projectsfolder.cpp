#include "projects/projectsfolder.h"

#include <QSettings>
#include <QStandardPaths>

namespace {

const QString SETTINGS_ORGANISATION = QStringLiteral("Tremwick");
const QString SETTINGS_APPLICATION = QStringLiteral("pellan_i2c");
const QString SETTINGS_FOLDER = QStringLiteral("projects/folder");

} // namespace

QString DefaultProjectsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
           QStringLiteral("/Tremwick/pellan_i2c/projects");
}

QString StoredProjectsFolder()
{
    // Named explicitly: the command-line tool sets no application names.
    const QSettings settings(SETTINGS_ORGANISATION, SETTINGS_APPLICATION);
    const QString folder = settings.value(SETTINGS_FOLDER).toString();
    return folder.trimmed().isEmpty() ? DefaultProjectsFolder() : folder;
}
