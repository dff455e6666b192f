#include "cli/clistdout.h"

#include "cli/clisignals.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The next piece to write while a stop can come: at most PIPE_BUF bytes, so
// that a pipe with room takes it whole without blocking, ending after a
// line where one ends in it, so that what gives way is whole lines.
qint64 pieceSize(const char* data, qint64 size)
{
    if (size <= PIPE_BUF)
        return size;
    const char* end = data + PIPE_BUF;
    const auto lastLineEnd =
        std::find(std::make_reverse_iterator(end), std::make_reverse_iterator(data), '\n');
    return lastLineEnd.base() == data ? PIPE_BUF : lastLineEnd.base() - data;
}

} // namespace

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
    CCliStopSignals* const stop = CCliStopSignals::Current();
    qint64 written = 0;
    while (written < size) {
        qint64 piece = size - written;
        if (stop) {
            // A stop while the reader takes nothing more drops the rest:
            // the command ends now rather than when the reader reads.
            if (!stop->WaitWritable(m_fd))
                return size;
            piece = pieceSize(data + written, piece);
        }
        ssize_t n = -1;
        if (m_fd < 0)
            errno = EBADF;
        else
            n = ::write(m_fd, data + written, static_cast<size_t>(piece));
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
