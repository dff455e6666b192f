#include "transactions/registermapfolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

const QString SUFFIX = QString::fromLatin1(MAP_FILE_SUFFIX);

void AddFolder(QStringList& folders, const QString& folder)
{
    if (folder.isEmpty())
        return;
    const QString clean = QDir::cleanPath(folder);
    if (!folders.contains(clean))
        folders << clean;
}

// The *.i2cmap entries of a folder, sorted by name: also folders, FIFOs,
// broken links and unreadable files, so that each is listed with the reason
// it does not load rather than some silently left out.
QStringList MapFiles(const QString& folder)
{
    QStringList paths;
    const QDir dir(folder);
    const QFileInfoList files = dir.entryInfoList(
        {QStringLiteral("*.") + SUFFIX},
        QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& file : files)
        paths << file.filePath();
    return paths;
}

bool Refuse(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

QString UserMapsFolder(const QString& projectsFolder)
{
    if (projectsFolder.trimmed().isEmpty())
        return QString();
    return QDir::cleanPath(projectsFolder + QStringLiteral("/../maps"));
}

QString DemoMapsFolder()
{
    return QStringLiteral(PELLAN_MAPS_BUILD_DIR);
}

QStringList InstalledMapsFolders()
{
    QStringList folders;
    // Beside the program, for an installation anywhere.
    if (QCoreApplication::instance()) {
        AddFolder(folders, QCoreApplication::applicationDirPath() +
                               QStringLiteral("/../share/pellan-i2c/maps"));
    }
    AddFolder(folders, QStringLiteral(PELLAN_MAPS_INSTALL_DIR));
    AddFolder(folders, QStringLiteral("/usr/share/pellan-i2c/maps"));
    return folders;
}

QStringList MapFolders(const QString& projectsFolder, bool demo)
{
    QStringList folders;
    AddFolder(folders, UserMapsFolder(projectsFolder));
    if (demo)
        AddFolder(folders, DemoMapsFolder());
    for (const QString& folder : InstalledMapsFolders())
        AddFolder(folders, folder);
    return folders;
}

std::vector<SMapEntry> ListRegisterMaps(const QStringList& folders)
{
    std::vector<SMapEntry> entries;
    for (const QString& folder : folders) {
        const size_t folderStart = entries.size();
        for (const QString& path : MapFiles(folder)) {
            SMapEntry entry;
            entry.path = path;
            const std::optional<SRegisterMap> map = LoadRegisterMap(path, &entry.error);
            if (map) {
                entry.device = map->device;
                entry.description = map->description;
                entry.registers = static_cast<int>(map->registers.size());
            } else {
                entry.device = QFileInfo(path).completeBaseName();
            }
            const auto known =
                std::find_if(entries.begin(), entries.end(), [&](const SMapEntry& e) {
                    return e.device.compare(entry.device, Qt::CaseInsensitive) == 0;
                });
            if (known == entries.end()) {
                entries.push_back(std::move(entry));
            } else if (known - entries.begin() >= static_cast<std::ptrdiff_t>(folderStart)) {
                // A map of a later folder standing back is intended; two in
                // one folder are a mistake the user should hear of.
                known->warnings << QStringLiteral("%1 and %2 are both maps of %3; %1, the "
                                                  "first by name, is used")
                                       .arg(known->path, path, known->device);
            }
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const SMapEntry& a, const SMapEntry& b) {
        return a.device.compare(b.device, Qt::CaseInsensitive) < 0;
    });
    return entries;
}

std::optional<SRegisterMap> FindRegisterMap(const QString& nameOrPath, const QStringList& folders,
                                            QString* error)
{
    const QString text = nameOrPath.trimmed();
    if (text.contains(QChar(0))) {
        Refuse(error, QStringLiteral("a map name or path cannot hold a NUL character"));
        return std::nullopt;
    }
    const QFileInfo file(text);
    if (text.contains(QLatin1Char('/')) || text.endsWith(QLatin1Char('.') + SUFFIX) ||
        (file.exists() && !file.isDir())) {
        QString reason;
        std::optional<SRegisterMap> map = LoadRegisterMap(text, &reason);
        if (!map)
            Refuse(error, text + QStringLiteral(": ") + reason);
        return map;
    }
    // By device name first, then by file name, so that "lm75" finds LM75.
    const std::vector<SMapEntry> entries = ListRegisterMaps(folders);
    const SMapEntry* found = nullptr;
    for (const SMapEntry& entry : entries) {
        if (entry.device.compare(text, Qt::CaseInsensitive) == 0)
            found = &entry;
    }
    for (const SMapEntry& entry : entries) {
        if (!found &&
            QFileInfo(entry.path).completeBaseName().compare(text, Qt::CaseInsensitive) == 0)
            found = &entry;
    }
    if (found) {
        if (!found->error.isEmpty()) {
            Refuse(error, found->path + QStringLiteral(": ") + found->error);
            return std::nullopt;
        }
        QString reason;
        std::optional<SRegisterMap> map = LoadRegisterMap(found->path, &reason);
        if (!map)
            Refuse(error, found->path + QStringLiteral(": ") + reason);
        else
            map->warnings << found->warnings;
        return map;
    }
    QStringList names;
    for (const SMapEntry& entry : entries)
        names << entry.device;
    QStringList ordered = NearNames(names, text, 3);
    for (const QString& name : names) {
        if (!ordered.contains(name))
            ordered << name;
    }
    Refuse(error, ordered.isEmpty() ? QStringLiteral("no register map \"%1\": no maps in %2")
                                          .arg(text, folders.join(QStringLiteral(", ")))
                                    : QStringLiteral("no register map \"%1\"; there are %2")
                                          .arg(text, ordered.join(QStringLiteral(", "))));
    return std::nullopt;
}
