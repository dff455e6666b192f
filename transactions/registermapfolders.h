#pragma once

// Where register maps come from, in order; for a device name the first
// folder's map wins, so a user's map replaces the one that ships:
//   1. the user's maps folder beside the projects folder (<projects>/../maps);
//   2. the build tree's copy of the shipped maps, for the demo programs;
//   3. the installed maps (<prefix>/share/pellan-i2c/maps, beside the program
//      and /usr/share/pellan-i2c/maps).

#include "transactions/registermap.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// The maps folder beside a projects folder; empty for an empty one.
QString UserMapsFolder(const QString& projectsFolder);
// The shipped maps as the build tree holds them, for the demo programs.
QString DemoMapsFolder();
// The installed maps' folders, without repeats.
QStringList InstalledMapsFolders();
// Every folder in the order above (the build tree's only for the demo
// programs), without repeats and empty entries.
QStringList MapFolders(const QString& projectsFolder, bool demo);

struct SMapEntry {
    QString device; // the file's device; its base name when it does not load
    QString description;
    QString path;
    QString error; // why it does not load; empty when it does
    int registers = 0;
    // Other files of the same folder with this device name, which lose to
    // this one (the first by file name): a warning each, naming both.
    QStringList warnings;
};

// The maps in the folders (entries named *.i2cmap; one that is no readable
// regular file is listed with its error), one per device name without
// regard to case, the first folder's winning; sorted by name.
std::vector<SMapEntry> ListRegisterMaps(const QStringList& folders);
// A map by file (a path to an existing file, or one with a / or the
// suffix) or by device name (without regard to case; a file's base name
// also counts) in the folders. Nothing with the reason in error: the file's
// own error, or the names there are with the near ones first.
std::optional<SRegisterMap> FindRegisterMap(const QString& nameOrPath, const QStringList& folders,
                                            QString* error);
