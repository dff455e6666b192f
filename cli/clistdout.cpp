#include "cli/clistdout.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

CCliStdout::CCliStdout(int fd) : m_fd(fd)
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 CCliStdout::readData(char*, qint64)
{
    return -1;
}

qint64 CCliStdout::writeData(const char* data, qint64 size)
{
    qint64 written = 0;
    while (written < size) {
        ssize_t n = -1;
        if (m_fd < 0)
            errno = EBADF;
        else
            n = ::write(m_fd, data + written, static_cast<size_t>(size - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            setErrorString(QString::fromLocal8Bit(std::strerror(n < 0 ? errno : EIO)));
            return -1;
        }
        written += n;
    }
    return written;
}

bool ReserveStandardDescriptors()
{
    bool stdoutClosed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        stdoutClosed = stdoutClosed || fd == STDOUT_FILENO;
        // The lowest free number is this one, as those below are open.
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            ::close(null);
        }
    }
    return stdoutClosed;
}
