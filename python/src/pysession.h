#pragma once

// One open adapter per serial number and process, shared by every Python
// object opened on it. Hidraw and the simulated stack give each open handle
// its own copy of every input report, so two handles on one adapter would
// take each other's answers: the process opens each adapter once, and its
// objects take turns through one lock. Nothing here knows Python.

#include "python/src/gilfree.h"
#include "transactions/adapters.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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

class CPySession {
public:
    // Holds the adapter for one transaction, or a series that no other
    // object's transaction may split. Waits in slices, asking the cancel
    // check between them; a cancelled wait throws CI2cError (ECANCELED).
    // Throws CI2cError when the session was closed at exit or left behind
    // by fork().
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

    // busio's lock, one per adapter: true when the owner took it or holds
    // it already.
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
    // the transaction in progress.
    bool IsAlive(const CGilFree& proof);
    // Leaves I2C mode and closes the device, if still open.
    void Close();
    // After fork(), in the child: the device belongs to the parent, so the
    // child drops its copy of the handle without a word to the adapter.
    void Abandon();

    std::unique_ptr<COrvI2c> m_adapter;
    const SPySessionIdentity m_identity;
    std::timed_mutex m_mutex;
    // Why the session carries no more transactions, null while it does.
    std::atomic<const char*> m_endedBecause{nullptr};

    std::atomic<const void*> m_busOwner{nullptr};

    mutable std::mutex m_holdersMutex;
    std::vector<std::pair<const void*, std::string>> m_holders;
};

// The sessions of this process. Deliberately never destroyed: a daemon
// thread still inside a call at exit must not meet a destroyed registry.
class CPySessionRegistry {
public:
    static CPySessionRegistry& Instance();

    // The session of the adapter with this serial number (or of the only
    // attached one), opening it unless it is open already. An open session
    // at another speed or with other pull-ups throws CI2cError (EBUSY)
    // naming its first holder. Other failures follow the command-line
    // tool's rules: a missing adapter throws CI2cError (ENODEV), several
    // adapters without a serial number, an unsupported speed or pull-ups
    // that can not be switched throw std::invalid_argument.
    // speedText is the speed as given, for the message that refuses it.
    std::shared_ptr<CPySession> Open(const std::optional<std::string>& serial,
                                     unsigned long long speedHz, const std::string& speedText,
                                     bool pullUps, const CGilFree& proof);
    // The attached adapters, listed while no adapter is being opened or
    // closed (and so never while fork() copies the process).
    std::vector<SAdapterListing> List(const CGilFree& proof);

    // Asked while waiting for a session lock and by every engine wait.
    void SetCancelCheck(std::function<bool()> check);
    bool CancelRequested() const;

    // At exit: ends every open session, waiting for its lock at most until
    // the deadline; a session whose lock stays taken is left alone.
    void CloseAll(std::chrono::steady_clock::time_point deadline, const CGilFree& proof);

    // fork(): before it, wait for every session to be idle and hold all
    // locks, so that no thread is inside the engine or the HID stack at the
    // moment of the copy; after it, release them. In the child every session
    // of the parent is abandoned and the registry starts empty.
    void BeforeFork(std::chrono::steady_clock::time_point deadline, const CGilFree& proof);
    void AfterForkInParent();
    void AfterForkInChild();

private:
    CPySessionRegistry() = default;

    // Called by the session's owner count when the last object lets go.
    void Release(CPySession* session);

    std::timed_mutex m_mutex;
    std::map<std::wstring, std::weak_ptr<CPySession>> m_sessions;
    std::function<bool()> m_cancelCheck;
    // Held between BeforeFork and the after-fork calls.
    std::vector<std::shared_ptr<CPySession>> m_forkHeld;
    bool m_forkHoldsRegistry = false;
};

} // namespace pellanpy
