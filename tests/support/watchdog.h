#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace testsupport {

// Runs a rescue on its own thread when finish() has not come within the
// time: the rescue undoes the fault that the code under test hangs on, so
// that a hang fails the test instead of hanging it. With a period, the
// rescue runs again after each period until finish(), for code that may
// run into the fault more than once.
class CWatchdog {
public:
    CWatchdog(std::chrono::milliseconds limit, std::function<void()> rescue,
              std::chrono::milliseconds period = std::chrono::milliseconds::zero())
    {
        m_thread = std::thread([this, limit, period, rescue = std::move(rescue)] {
            const auto finished = [this] { return m_finished; };
            std::unique_lock lock(m_mutex);
            if (m_done.wait_for(lock, limit, finished))
                return;
            m_rescued = true;
            do {
                lock.unlock();
                rescue();
                lock.lock();
            } while (period > period.zero() && !m_done.wait_for(lock, period, finished));
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
