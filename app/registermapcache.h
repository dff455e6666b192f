#pragma once

#include "transactions/registermap.h"
#include "transactions/registermapfolders.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// The register maps of the maps folders as the Registers view lists and
// finds them (as ListRegisterMaps and FindRegisterMap do), each file read
// once and again only when its size or time changed: the list is asked for
// on many clicks, and one large map would cost its parse every time.
class RegisterMapCache {
public:
    std::vector<SMapEntry> list(const QStringList& folders);
    // A map by file (a path, or a name with a / or the suffix) or by device
    // or file base name; nothing with the reason in error.
    std::shared_ptr<const SRegisterMap> find(const QString& nameOrPath, const QStringList& folders,
                                             QString* error);
    // The map in a file; nothing with the reason in error. The same file
    // unchanged gives the same map.
    std::shared_ptr<const SRegisterMap> load(const QString& path, QString* error);
    // How many times a file was read, for the tests.
    int reads() const { return m_reads; }

private:
    struct SFile {
        qint64 size = -1;
        QDateTime modified;
        SMapEntry entry;
        std::shared_ptr<const SRegisterMap> map;
    };
    const SFile& file(const QString& path);

    QHash<QString, SFile> m_files;
    int m_reads = 0;
};
