#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace testsupport {

// Runs a rescue on its own thread when finish() has not come within the
// time: the rescue undoes the fault that the code under test hangs on, so
// that a hang fails the test instead of hanging it.
class CWatchdog {
public:
    CWatchdog(std::chrono::milliseconds limit, std::function<void()> rescue)
    {
        m_thread = std::thread([this, limit, rescue = std::move(rescue)] {
            std::unique_lock lock(m_mutex);
            if (m_done.wait_for(lock, limit, [this] { return m_finished; }))
                return;
            m_rescued = true;
            lock.unlock();
            rescue();
        });
    }
    ~CWatchdog() { finish(); }
    CWatchdog(const CWatchdog&) = delete;
    CWatchdog& operator=(const CWatchdog&) = delete;

    // True when the rescue had to run.
    bool finish()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        return m_rescued;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    bool m_rescued = false;
    std::thread m_thread;
};

} // namespace testsupport
