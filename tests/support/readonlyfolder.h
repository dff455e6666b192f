#pragma once

#include <QDir>
#include <QFile>
#include <QString>

#include <array>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace testsupport {

namespace detail {

// A folder left immutable cannot be removed by anyone, root included, until
// the flag is cleared: not by the next run's set-up, not by "rm -rf build".
// So a test that dies while the flag is set clears it on its way out. Only
// SIGKILL escapes this; the home's set-up step clears what it leaves behind
// (cmake/PellanTestHome.cmake).
inline volatile std::sig_atomic_t g_immutableFd = -1;
inline int g_restoreFlags = 0;
inline constexpr std::array<int, 7> FATAL_SIGNALS{SIGINT,  SIGTERM, SIGHUP, SIGQUIT,
                                                  SIGABRT, SIGSEGV, SIGBUS};
inline std::array<struct sigaction, FATAL_SIGNALS.size()> g_previous{};

inline void clearImmutableFlag()
{
    const int fd = g_immutableFd;
    if (fd < 0)
        return;
    int flags = g_restoreFlags;
    ioctl(fd, FS_IOC_SETFLAGS, &flags);
    g_immutableFd = -1;
}

// Clears the flag, then hands the signal on to whoever handled it before
// (QTestLib's crash report, the sanitizers): the signal stays blocked until
// this handler returns, and is then delivered to the previous action.
inline void clearOnFatalSignal(int signal)
{
    clearImmutableFlag();
    for (std::size_t i = 0; i < FATAL_SIGNALS.size(); ++i) {
        if (FATAL_SIGNALS[i] == signal)
            sigaction(signal, &g_previous[i], nullptr);
    }
    raise(signal);
}

} // namespace detail

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
            m_immutable = setImmutable(folder);
        m_readOnly = !canCreateFileIn(folder);
    }
    ~CReadOnlyFolder()
    {
        if (m_immutable)
            clearImmutable();
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
    // The descriptor stays open while it is set, so that a fatal signal can
    // clear the flag again without touching the file system by name.
    bool setImmutable(const QString& folder)
    {
        const int fd =
            open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        if (fd < 0 || detail::g_immutableFd >= 0 || ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
            if (fd >= 0)
                close(fd);
            return false;
        }
        detail::g_restoreFlags = flags;
        detail::g_immutableFd = fd;
        struct sigaction action {};
        action.sa_handler = detail::clearOnFatalSignal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < detail::FATAL_SIGNALS.size(); ++i)
            sigaction(detail::FATAL_SIGNALS[i], &action, &detail::g_previous[i]);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // A sanitizer report ends the process without a signal.
        __sanitizer_set_death_callback(detail::clearImmutableFlag);
#endif
        flags |= FS_IMMUTABLE_FL;
        if (ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0) {
            m_fd = fd;
            return true;
        }
        detail::g_immutableFd = -1;
        restoreSignals();
        close(fd);
        return false;
    }

    void clearImmutable()
    {
        detail::clearImmutableFlag();
        restoreSignals();
        close(m_fd);
    }

    static void restoreSignals()
    {
        for (std::size_t i = 0; i < detail::FATAL_SIGNALS.size(); ++i)
            sigaction(detail::FATAL_SIGNALS[i], &detail::g_previous[i], nullptr);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        __sanitizer_set_death_callback(nullptr);
#endif
    }

    QString m_folder;
    QFile::Permissions m_permissions;
    int m_fd = -1;
    bool m_immutable = false;
    bool m_readOnly = false;
};

} // namespace testsupport
