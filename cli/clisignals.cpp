#include "cli/clisignals.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
int wakeFd = -1; // the self-pipe's write end, while an object lives
CCliStopSignals* current = nullptr;

// Only async-signal-safe work: a flag, and a byte that wakes the waits.
void onStopSignal(int)
{
    const int saved = errno;
    stopRequested = 1;
    if (wakeFd >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd, &byte, 1);
    }
    errno = saved;
}

timespec toTimespec(CCliStopSignals::Clock::duration left)
{
    const auto seconds = std::chrono::floor<std::chrono::seconds>(left);
    return {static_cast<time_t>(seconds.count()),
            static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
}

} // namespace

CCliStopSignals::CCliStopSignals()
{
    stopRequested = 0;
    if (::pipe2(m_pipe.data(), O_CLOEXEC | O_NONBLOCK) == 0)
        wakeFd = m_pipe[1];
    else
        m_pipe = {-1, -1};
    sigset_t held;
    sigemptyset(&held);
    for (int signal : SIGNALS)
        sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &m_oldMask);
    for (size_t i = 0; i < SIGNALS.size(); ++i) {
        struct sigaction action = {};
        sigaction(SIGNALS[i], nullptr, &m_oldActions[i]);
        if (m_oldActions[i].sa_handler == SIG_IGN)
            continue;
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        m_installed[i] = sigaction(SIGNALS[i], &action, nullptr) == 0;
    }
    current = this;
}

CCliStopSignals::~CCliStopSignals()
{
    current = nullptr;
    // The mask first: a signal still held back goes to the handler, not to
    // the default action that would end the process.
    pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
    for (size_t i = 0; i < SIGNALS.size(); ++i) {
        if (m_installed[i])
            sigaction(SIGNALS[i], &m_oldActions[i], nullptr);
    }
    wakeFd = -1;
    for (int fd : m_pipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

CCliStopSignals* CCliStopSignals::Current()
{
    return current;
}

bool CCliStopSignals::StopRequested() const
{
    if (stopRequested)
        return true;
    // One that came while held back is pending; it reaches the handler in
    // the next wait, or when the object goes.
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return false;
    for (size_t i = 0; i < SIGNALS.size(); ++i) {
        if (m_installed[i] && sigismember(&pending, SIGNALS[i]) == 1)
            return true;
    }
    return false;
}

bool CCliStopSignals::WaitUntil(Clock::time_point deadline)
{
    while (!StopRequested()) {
        const Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return true;
        const timespec timeout = toTimespec(left);
        pollfd wake = {m_pipe[0], POLLIN, 0};
        // The signals are let through only in the waits, atomically with them.
        ::ppoll(&wake, 1, &timeout, &m_oldMask);
    }
    return false;
}

bool CCliStopSignals::WaitWritable(int fd)
{
    if (fd < 0)
        return true;
    for (;;) {
        // Once a stop is asked for, only a look: the output gives way.
        const bool stop = StopRequested();
        const timespec now = {0, 0};
        std::array<pollfd, 2> fds = {{{fd, POLLOUT, 0}, {m_pipe[0], POLLIN, 0}}};
        const int ready = ::ppoll(fds.data(), stop ? 1 : 2, stop ? &now : nullptr, &m_oldMask);
        if (ready > 0 && fds[0].revents != 0)
            return true;
        if (stop)
            return false;
    }
}
