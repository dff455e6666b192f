#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

// One entry of the projects folder that is, or claims to be, a device file.
struct SFolderEntry {
    QString path;          // absolute path
    QByteArray nativePath; // the path as the file system knows it
    // Why it cannot be read as a device file (a link that leads nowhere, a
    // name that is not valid UTF-8); empty when it can be tried.
    QString problem;
};

// The entries of folder whose names end in "." and the device file suffix,
// in any letter case, sorted by name: regular files and links to anything
// but folders, and, with their problem, links that lead nowhere or in a
// circle and names that are not valid UTF-8. Folders, hidden names and
// special files are left out. Empty when the folder cannot be read.
QList<SFolderEntry> listDeviceFiles(const QString& folder);

// Which folder a path leads to now, links followed.
struct SFolderIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const SFolderIdentity&) const = default;
};

// Nothing when no folder is there.
std::optional<SFolderIdentity> folderIdentity(const QString& folder);
