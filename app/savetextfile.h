#pragma once

#include <QByteArray>
#include <QSaveFile>
#include <QString>

// Writes the text as UTF-8 the way device files are written: to a temporary
// file first, which replaces the file only when everything was written, so a
// full disk or a lost folder never leaves half a file. False with the
// system's reason in error.
inline bool saveTextFile(const QString& path, const QString& text, QString* error)
{
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}
