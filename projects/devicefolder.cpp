#include "projects/devicefolder.h"

#include "projects/i2cdevicefile.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool hasDeviceSuffix(const QString& name)
{
    static const QString suffix = QLatin1Char('.') + CI2cDeviceFile::FILE_SUFFIX;
    return name.endsWith(suffix, Qt::CaseInsensitive);
}

} // namespace

QList<SFolderEntry> listDeviceFiles(const QString& folder)
{
    QList<SFolderEntry> entries;
    const QDir dir(folder);
    QByteArray nativeFolder = QFile::encodeName(dir.absolutePath());
    DIR* stream = ::opendir(nativeFolder.constData());
    if (!stream)
        return entries;
    const int fd = ::dirfd(stream);
    if (!nativeFolder.endsWith('/'))
        nativeFolder += '/';
    while (const dirent* entry = ::readdir(stream)) {
        const QByteArray rawName(entry->d_name);
        if (rawName.startsWith('.'))
            continue;
        const QString name = QFile::decodeName(rawName);
        if (!hasDeviceSuffix(name))
            continue;
        struct stat status {};
        if (::fstatat(fd, rawName.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone since it was listed
        QString problem;
        if (S_ISLNK(status.st_mode)) {
            struct stat target {};
            if (::fstatat(fd, rawName.constData(), &target, 0) != 0)
                problem = QStringLiteral("Broken link: %1").arg(qt_error_string(errno));
            else if (S_ISDIR(target.st_mode))
                continue;
        } else if (!S_ISREG(status.st_mode)) {
            continue;
        }
        // A name that does not survive the trip through text cannot be
        // opened by that text.
        if (QFile::encodeName(name) != rawName)
            problem = QStringLiteral("File name is not valid UTF-8");
        entries.append({dir.absoluteFilePath(name), nativeFolder + rawName, problem});
    }
    ::closedir(stream);
    std::sort(entries.begin(), entries.end(),
              [](const SFolderEntry& a, const SFolderEntry& b) { return a.path < b.path; });
    return entries;
}

std::optional<SFolderIdentity> folderIdentity(const QString& folder)
{
    struct stat status {};
    if (::stat(QFile::encodeName(folder).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return std::nullopt;
    return SFolderIdentity{static_cast<quint64>(status.st_dev),
                           static_cast<quint64>(status.st_ino)};
}
