#pragma once

#include "tests/support/waits.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace testsupport {

// Opens a FIFO for writing when a reader still waits in open() after a
// wait's bound, so that a reader that blocks fails the test instead of
// hanging it. The bound is long: a slow machine must not pass for a reader
// that blocks.
class CFifoWatchdog {
public:
    // The FIFO may be made later or not at all; only a blocked reader is let go.
    explicit CFifoWatchdog(const QString& fifo) : m_fifo(QFile::encodeName(fifo))
    {
        m_thread = std::thread([this] {
            std::unique_lock lock(m_mutex);
            if (m_done.wait_for(lock, WAIT, [this] { return m_finished; }))
                return;
            m_blocked = true;
            while (!m_finished) {
                const int fd = open(m_fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0)
                    close(fd);
                m_done.wait_for(lock, std::chrono::milliseconds(10));
            }
        });
    }
    ~CFifoWatchdog() { finish(); }
    CFifoWatchdog(const CFifoWatchdog&) = delete;
    CFifoWatchdog& operator=(const CFifoWatchdog&) = delete;

    // True when the reader had to be let go.
    bool finish()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        return m_blocked;
    }

private:
    QByteArray m_fifo;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::atomic<bool> m_blocked{false};
    std::thread m_thread;
};

} // namespace testsupport
