#pragma once

class QByteArray;
class QString;

// Moves a file (a link itself, not what it points to) into the desktop
// trash: the home trash when the file lies on the home trash's file system,
// otherwise the trash at the top of the file's own file system. True when the
// file is in a trash folder with its information file beside it. False, with
// the file left where it was and the reason in error, when no trash can take
// it. Never removes the file, and every attempt is bounded: a trash folder
// that cannot be written ends the attempt instead of retrying.
bool moveToTrash(const QByteArray& nativePath, QString* error);

// Moves the file into the trash folder trashFolder (which holds, or is given,
// "files" and "info"), recording originalPath in its information file. Fails
// without moving anything when the trash folder lies on another file system
// than the file. moveToTrash chooses the folder and calls this.
bool moveIntoTrashFolder(const QByteArray& nativePath, const QByteArray& trashFolder,
                         const QByteArray& originalPath, QString* error);
