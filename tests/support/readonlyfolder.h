#pragma once

#include <QDir>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace testsupport {

// Makes a folder read-only for as long as it lives: by its permissions, and
// where they do not bind (root) by the immutable flag, if the file system
// has one. isReadOnly() tells whether it worked; the folder is restored on
// destruction.
class CReadOnlyFolder {
public:
    explicit CReadOnlyFolder(const QString& folder)
        : m_folder(folder), m_permissions(QFile::permissions(folder))
    {
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
        if (canCreateFileIn(folder))
            m_immutable = setImmutable(folder, true);
        m_readOnly = !canCreateFileIn(folder);
    }
    ~CReadOnlyFolder()
    {
        if (m_immutable)
            setImmutable(m_folder, false);
        QFile::setPermissions(m_folder, m_permissions);
    }
    CReadOnlyFolder(const CReadOnlyFolder&) = delete;
    CReadOnlyFolder& operator=(const CReadOnlyFolder&) = delete;

    bool isReadOnly() const { return m_readOnly; }

private:
    static bool canCreateFileIn(const QString& folder)
    {
        QFile probe(QDir(folder).filePath(QStringLiteral("probe")));
        const bool created = probe.open(QIODevice::WriteOnly);
        if (created)
            probe.remove();
        return created;
    }

    // The immutable flag keeps even root from creating files in a folder.
    static bool setImmutable(const QString& folder, bool on)
    {
        const int fd =
            open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        close(fd);
        return ok;
    }

    QString m_folder;
    QFile::Permissions m_permissions;
    bool m_immutable = false;
    bool m_readOnly = false;
};

} // namespace testsupport
