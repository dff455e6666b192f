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
    const auto fail = [&] {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    };
    // Unbuffered: a buffered write that fails (a full disk) is only seen when
    // the buffer is flushed inside commit(), which then replaces the file
    // with the short one all the same.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail();
    for (qint64 written = 0; written < bytes.size();) {
        const qint64 count = file.write(bytes.constData() + written, bytes.size() - written);
        if (count <= 0)
            return fail();
        written += count;
    }
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}
