#pragma once

#include <array>
#include <chrono>
#include <csignal>

// SIGINT and SIGTERM as requests to end a long command at the next point
// where it can end cleanly, instead of ending the process. While an object
// lives the two are held back, so that no wait for the adapter is cut short
// and no line of output is cut in half, and let through in its waits: the
// wait between polls and the wait of a standard output that takes no more
// (a full pipe). The command asks StopRequested after every poll and every
// write, so a stop is seen within one poll whether or not a wait follows.
// A signal that was ignored when the program started stays ignored, as
// shells expect of background jobs.
class CCliStopSignals {
public:
    using Clock = std::chrono::steady_clock;

    CCliStopSignals();
    ~CCliStopSignals();
    CCliStopSignals(const CCliStopSignals&) = delete;
    CCliStopSignals& operator=(const CCliStopSignals&) = delete;

    // Whether a stop was asked for, also by a signal still held back.
    bool StopRequested() const;
    // Waits until the deadline; false as soon as a stop was asked for.
    bool WaitUntil(Clock::time_point deadline);
    // Waits until fd takes a write (or reports an error, which the write
    // then gives); false when a stop was asked for and fd takes nothing.
    bool WaitWritable(int fd);

    // The object that lives, or null.
    static CCliStopSignals* Current();

private:
    static constexpr std::array<int, 2> SIGNALS = {SIGINT, SIGTERM};

    std::array<int, 2> m_pipe = {-1, -1};
    sigset_t m_oldMask = {};
    std::array<struct sigaction, SIGNALS.size()> m_oldActions = {};
    std::array<bool, SIGNALS.size()> m_installed = {};
};
