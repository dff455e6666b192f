#pragma once

// One open adapter per serial number and process, shared by every Python
// object opened on it. Hidraw and the simulated stack give each open handle
// its own copy of every input report, so two handles on one adapter would
// take each other's answers: the process opens each adapter once, and its
// objects take turns through one lock. Nothing here knows Python.
//
// Lock order: the registry's lock is the innermost of all. It is held only
// to look at or change the table of sessions, never while a session is
// connected, disconnected or destroyed, while a session's lock is waited
// for, or while a hook of the front end runs.

#include "python/src/gilfree.h"
#include "transactions/adapters.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

class COrvI2c;

namespace pellanpy {

// A failed transfer or open: the errno a Linux I2C driver gives for it and
// the text. The engine's kind of failure comes along when there is one.
class CI2cError : public std::runtime_error {
public:
    CI2cError(int code, const std::string& text, EOrvError kind = EOrvError::None)
        : std::runtime_error(text), m_code(code), m_kind(kind)
    {
    }
    int Code() const { return m_code; }
    EOrvError Kind() const { return m_kind; }

private:
    int m_code;
    EOrvError m_kind;
};

// What an adapter is, fixed when it is opened: read without any lock.
struct SPySessionIdentity {
    std::string model;
    std::string serial;
    std::string product;
    uint16_t firmware = 0;
    unsigned speedHz = 0;
    bool pullUps = true;
    size_t maxRead = 0;
    bool addressOnlyWrite = true;
};

// What a wait asks the front end, on the waiting thread. Set once, before
// any session exists; each may be empty.
struct SPyWaitHooks {
    // True ends the wait (Ctrl+C, the exit). holdsAdapter: the thread is in
    // the middle of a transaction or of opening an adapter, so nothing may
    // run meanwhile that could want an adapter; without it the thread holds
    // nothing, and a signal handler may run there.
    std::function<bool(bool holdsAdapter)> cancelled;
    // True on a thread that the interpreter does not wait for at its exit.
    std::function<bool()> daemonThread;
    // True once the exit no longer waits for adapters that daemon threads
    // hold.
    std::function<bool()> daemonWaitsOver;
};

// Which waits the front end is asked about.
enum class EPyWait {
    Idle,     // for a session's lock, or for another thread opening or closing
    Transfer, // between the reports of a transaction, holding the adapter
};

class CPySession {
public:
    // Holds the adapter for one transaction, or a series that no other
    // object's transaction may split. Waits in slices, asking the cancel
    // check between them; a cancelled wait throws CI2cError (ECANCELED). At
    // exit, a wait for an adapter that a daemon thread holds ends in
    // CI2cError (EBUSY) once the exit's time for such waits is up. Throws
    // CI2cError when the session was closed at exit or left behind by fork().
    class CLock {
    public:
        CLock(CPySession& session, const CGilFree& proof);
        ~CLock();
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;

        COrvI2c& Adapter() { return *m_session.m_adapter; }

    private:
        CPySession& m_session;
    };

    CPySession(std::unique_ptr<COrvI2c> adapter, SPySessionIdentity identity);
    ~CPySession();
    CPySession(const CPySession&) = delete;
    CPySession& operator=(const CPySession&) = delete;

    const SPySessionIdentity& Identity() const { return m_identity; }

    // busio's lock, one per adapter: true when the owner took it now; false
    // when anybody holds it, the owner too. Never waits.
    bool TryLockBus(const void* owner);
    // Releases the bus lock if the owner holds it.
    void UnlockBus(const void* owner);

    // Who holds the session, for the message that refuses other settings.
    void AddHolder(const void* owner, std::string description);
    void RemoveHolder(const void* owner);
    std::string FirstHolder() const;

private:
    friend class CPySessionRegistry;

    // The device still works: not unplugged since it was opened. Waits for
    // the transaction in progress, as CLock does.
    bool IsAlive(const CGilFree& proof);
    // Leaves I2C mode and closes the device, if still open.
    void Close();
    // After fork(), in the child: the device belongs to the parent, so the
    // child drops its copy of the handle without a word to the adapter.
    void Abandon();

    std::unique_ptr<COrvI2c> m_adapter;
    const SPySessionIdentity m_identity;
    // The registry's entry, and which opening of it this session is.
    std::wstring m_key;
    uint64_t m_id = 0;
    std::timed_mutex m_mutex;
    // The thread holding m_mutex is a daemon thread.
    std::atomic<bool> m_heldByDaemon{false};
    // Why the session carries no more transactions, null while it does.
    std::atomic<const char*> m_endedBecause{nullptr};
    // In a child of fork(): a thread of the parent held the lock, so the
    // session is never destroyed.
    bool m_lockLost = false;

    std::atomic<const void*> m_busOwner{nullptr};

    mutable std::mutex m_holdersMutex;
    std::vector<std::pair<const void*, std::string>> m_holders;
};

// The sessions of this process. Deliberately never destroyed: a daemon
// thread still inside a call at exit must not meet a destroyed registry.
//
// A session is destroyed by whoever lets go of it last, on that thread,
// which must not hold the GIL: its adapter is closed there, and then its
// entry leaves the table. Until then an opener of the same adapter waits,
// so that the old handle's last report never reaches the new connection.
class CPySessionRegistry {
public:
    static CPySessionRegistry& Instance();

    // The session of the adapter with this serial number (or of the only
    // attached one), opening it unless it is open already. An open session
    // at another speed or with other pull-ups throws CI2cError (EBUSY)
    // naming its first holder. Other failures follow the command-line
    // tool's rules: a missing adapter throws CI2cError (ENODEV), several
    // adapters without a serial number, an unsupported speed or pull-ups
    // that can not be switched throw std::invalid_argument. A cancelled wait
    // throws CI2cError (ECANCELED). speedText is the speed as given, for the
    // message that refuses it.
    std::shared_ptr<CPySession> Open(const std::optional<std::string>& serial,
                                     unsigned long long speedHz, const std::string& speedText,
                                     bool pullUps, const CGilFree& proof);
    // The attached adapters.
    std::vector<SAdapterListing> List(const CGilFree& proof);

    void SetHooks(SPyWaitHooks hooks);
    // The hooks, as the waits ask them; false when a hook is missing.
    bool Cancelled(EPyWait wait) const;
    bool DaemonThread() const;
    bool DaemonWaitsOver() const;

    // At exit, with no interpreter left: ends every session whose lock is
    // free now. A session that a daemon thread still holds is left alone.
    void CloseAll(const CGilFree& proof);

    // fork(), once every call of another thread is paused where it holds no
    // lock of the HID stack, or is inside a simulated adapter (a Python
    // target): before it, take the registry's lock (waiting at most until
    // the deadline); after it, let it go. In the child every session of the
    // parent ends and the table starts empty: each handle is dropped without
    // a word to the adapter, but for those on the adapters with these
    // serial numbers, which a thread of the parent was inside; they are
    // left as they are.
    void BeforeFork(std::chrono::steady_clock::time_point deadline, const CGilFree& proof);
    void AfterForkInParent();
    void AfterForkInChild(const std::vector<std::string>& inside);

private:
    CPySessionRegistry() = default;

    // One adapter in the table. While opening, a thread connects it; while
    // the session has expired, its last holder closes it.
    struct SSlot {
        uint64_t id = 0;
        bool opening = false;
        std::weak_ptr<CPySession> session;
    };

    // The deleter of every session: closes and destroys it, then frees its
    // entry.
    void Release(CPySession* session);
    // Waits a slice for the table to change, then asks the cancel check
    // with the lock let go; throws when cancelled.
    void WaitForChange(std::unique_lock<std::mutex>& lock);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::wstring, SSlot> m_slots;
    // Every session alive, for the child of fork().
    std::set<CPySession*> m_all;
    uint64_t m_lastId = 0;
    SPyWaitHooks m_hooks;
    bool m_forkHoldsRegistry = false;
};

} // namespace pellanpy
