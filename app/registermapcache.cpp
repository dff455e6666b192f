#include "app/registermapcache.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

const QString SUFFIX = QString::fromLatin1(MAP_FILE_SUFFIX);
// Map names offered when a name is not found; the rest are counted.
constexpr int OFFERED_MAX = 5;

bool looksLikePath(const QString& text)
{
    const QFileInfo info(text);
    return text.contains(QLatin1Char('/')) || text.endsWith(QLatin1Char('.') + SUFFIX) ||
           (info.exists() && !info.isDir());
}

} // namespace

const RegisterMapCache::SFile& RegisterMapCache::file(const QString& path)
{
    const QFileInfo info(path);
    const QString key = info.absoluteFilePath();
    SFile& cached = m_files[key];
    const qint64 size = info.exists() ? info.size() : -1;
    const QDateTime modified = info.lastModified();
    if (cached.size == size && cached.modified == modified && size >= 0)
        return cached;
    cached = SFile{size, modified, {}, nullptr};
    cached.entry.path = path;
    ++m_reads;
    if (std::optional<SRegisterMap> map = LoadRegisterMap(path, &cached.entry.error))
        cached.map = std::make_shared<const SRegisterMap>(std::move(*map));
    if (cached.map) {
        cached.entry.device = cached.map->device;
        cached.entry.description = cached.map->description;
        cached.entry.registers = static_cast<int>(cached.map->registers.size());
    } else {
        cached.entry.device = info.completeBaseName();
    }
    return cached;
}

std::vector<SMapEntry> RegisterMapCache::list(const QStringList& folders)
{
    std::vector<SMapEntry> entries;
    for (const QString& folder : folders) {
        // Also folders, FIFOs and unreadable files: each is listed with the
        // reason it does not load.
        const QFileInfoList files = QDir(folder).entryInfoList(
            {QStringLiteral("*.") + SUFFIX},
            QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        const size_t folderStart = entries.size();
        for (const QFileInfo& info : files) {
            SMapEntry entry = file(info.filePath()).entry;
            entry.path = info.filePath();
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
                                       .arg(known->path, entry.path, known->device);
            }
        }
    }
    // Files that went are forgotten.
    m_files.removeIf([](const auto& file) { return !QFileInfo::exists(file.key()); });
    std::stable_sort(entries.begin(), entries.end(), [](const SMapEntry& a, const SMapEntry& b) {
        return a.device.compare(b.device, Qt::CaseInsensitive) < 0;
    });
    return entries;
}

std::shared_ptr<const SRegisterMap> RegisterMapCache::load(const QString& path, QString* error)
{
    const SFile& cached = file(path);
    if (!cached.map && error)
        *error = cached.entry.error;
    return cached.map;
}

std::shared_ptr<const SRegisterMap>
RegisterMapCache::find(const QString& nameOrPath, const QStringList& folders, QString* error)
{
    const QString text = nameOrPath.trimmed();
    QString reason;
    if (text.contains(QChar(0))) {
        if (error)
            *error = QStringLiteral("a map name or path cannot hold a NUL character");
        return nullptr;
    }
    if (looksLikePath(text)) {
        std::shared_ptr<const SRegisterMap> map = load(text, &reason);
        if (!map && error)
            *error = text + QStringLiteral(": ") + reason;
        return map;
    }
    // By device name first, then by file name, so that "lm75" finds LM75.
    const std::vector<SMapEntry> entries = list(folders);
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
        std::shared_ptr<const SRegisterMap> map = load(found->path, &reason);
        if (!map && error)
            *error = found->path + QStringLiteral(": ") + reason;
        if (map && !found->warnings.isEmpty()) {
            auto warned = std::make_shared<SRegisterMap>(*map);
            warned->warnings << found->warnings;
            return warned;
        }
        return map;
    }
    if (!error)
        return nullptr;
    QStringList names;
    for (const SMapEntry& entry : entries)
        names << entry.device;
    if (names.isEmpty()) {
        *error = QStringLiteral("no register map \"%1\": no maps in %2")
                     .arg(text, folders.join(QStringLiteral(", ")));
        return nullptr;
    }
    QStringList offered = NearNames(names, text, 3);
    for (const QString& name : names) {
        if (offered.size() >= OFFERED_MAX)
            break;
        if (!offered.contains(name))
            offered << name;
    }
    const qsizetype more = names.size() - offered.size();
    *error = QStringLiteral("no register map \"%1\"; there are %2%3")
                 .arg(text, offered.join(QStringLiteral(", ")),
                      more > 0 ? QStringLiteral(" and %1 more").arg(more) : QString());
    return nullptr;
}
