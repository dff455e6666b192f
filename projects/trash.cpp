#include "projects/trash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QString>

#include <unistd.h>

namespace {

// Whether the home trash exists or can be made. Qt 6.4 moves a file into
// the working directory when it cannot establish the trash folder, as when
// the data folder is missing or cannot be written; it makes "Trash" itself,
// but not its parents.
bool homeTrashUsable()
{
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataHome.isEmpty() || !QDir().mkpath(dataHome))
        return false;
    const QFileInfo trash(dataHome + QStringLiteral("/Trash"));
    if (trash.isDir())
        return true;
    // Made as Qt would make it, private to the user. This fails where the
    // data folder cannot be written or "Trash" is taken by another file.
    return QDir(dataHome).mkdir(QStringLiteral("Trash"),
                                QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Whether Qt put the file into a trash folder: "files" in the home trash, in
// "$topdir/.Trash/$uid" or in "$topdir/.Trash-$uid", with the entry's
// information file beside it.
bool isInTrash(const QString& trashedPath)
{
    const QFileInfo trashed(trashedPath);
    if (!trashed.isAbsolute() || trashed.dir().dirName() != QLatin1String("files"))
        return false;
    QDir trash = trashed.dir();
    if (!trash.cdUp())
        return false;
    const QString uid = QString::number(getuid());
    const QString name = trash.dirName();
    QDir top = trash;
    const bool named = name == QLatin1String("Trash") || name == QLatin1String(".Trash-") + uid ||
                       (name == uid && top.cdUp() && top.dirName() == QLatin1String(".Trash"));
    return named && QFileInfo(trash.filePath(QStringLiteral("info/") + trashed.fileName() +
                                             QStringLiteral(".trashinfo")))
                        .isFile();
}

// Removes the information file that Qt wrote beside a file it did not put
// into a trash, and the two folders it made for them where they are empty.
void removeLeftovers(const QString& trashedPath)
{
    const QFileInfo trashed(trashedPath);
    const QDir files = trashed.absoluteDir();
    const QString info = QDir::cleanPath(files.absoluteFilePath(QStringLiteral("../info")));
    QFile::remove(info + QLatin1Char('/') + trashed.fileName() + QStringLiteral(".trashinfo"));
    QDir().rmdir(info);
    QDir().rmdir(files.absolutePath());
}

} // namespace

bool trashOrRemove(const QString& path)
{
    QString trashed;
    if (homeTrashUsable() && QFile::moveToTrash(path, &trashed)) {
        if (isInTrash(trashed))
            return true;
        // Qt 6.4 reports success also where it moved the file elsewhere. It
        // goes back, or is at least not left where Qt put it.
        const bool restored = QFile::rename(trashed, path);
        const bool removed = !restored && QFile::remove(trashed);
        removeLeftovers(trashed);
        if (!restored)
            return removed;
    }
    return QFile::remove(path);
}
