#include "python/src/pysession.h"

#include "i2c/orvi2c.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <thread>
#include <utility>

namespace pellanpy {

namespace {

using Clock = std::chrono::steady_clock;

// How long a wait goes without asking the cancel check.
constexpr auto WAIT_SLICE = std::chrono::milliseconds(50);

constexpr const char* ENDED_AT_EXIT = "the adapter was closed as the interpreter exits";
constexpr const char* ENDED_BY_FORK =
    "the adapter was opened before fork() and belongs to the parent process; open it again "
    "in this process once the parent has closed it";

std::string Utf8(const QString& text)
{
    return text.toStdString();
}

std::string PullUpsText(bool on)
{
    return on ? "on" : "off";
}

// Errno of a failed open, by the engine's kind of failure.
int OpenErrno(EOrvError kind)
{
    switch (kind) {
    case EOrvError::Gone:
        return ENODEV;
    case EOrvError::AccessDenied:
        return EACCES;
    case EOrvError::Busy:
        return EBUSY;
    case EOrvError::Timeout:
        return ETIMEDOUT;
    case EOrvError::Cancelled:
        return ECANCELED;
    default:
        return EIO;
    }
}

[[noreturn]] void ThrowCancelled()
{
    throw CI2cError(ECANCELED, "Cancelled", EOrvError::Cancelled);
}

[[noreturn]] void ThrowEnded(const char* ended)
{
    throw CI2cError(ended == ENDED_BY_FORK ? EBADF : ENODEV, ended, EOrvError::NotConnected);
}

} // namespace

CPySession::CLock::CLock(CPySession& session, const CGilFree&) : m_session(session)
{
    if (const char* ended = m_session.m_endedBecause)
        ThrowEnded(ended);
    if (!m_session.m_mutex.try_lock()) {
        const CPySessionRegistry& registry = CPySessionRegistry::Instance();
        while (!m_session.m_mutex.try_lock_for(WAIT_SLICE)) {
            if (registry.Cancelled(EPyWait::Idle))
                ThrowCancelled();
            if (m_session.m_heldByDaemon && registry.DaemonWaitsOver()) {
                const SPySessionIdentity& identity = m_session.m_identity;
                throw CI2cError(EBUSY, "the " + identity.model + " " + identity.serial +
                                           " is still in use by a daemon thread as the "
                                           "interpreter exits");
            }
        }
    }
    if (const char* ended = m_session.m_endedBecause) {
        m_session.m_mutex.unlock();
        ThrowEnded(ended);
    }
    m_session.m_heldByDaemon = CPySessionRegistry::Instance().DaemonThread();
}

CPySession::CLock::~CLock()
{
    m_session.m_mutex.unlock();
}

CPySession::CPySession(std::unique_ptr<COrvI2c> adapter, SPySessionIdentity identity)
    : m_adapter(std::move(adapter)), m_identity(std::move(identity))
{
}

CPySession::~CPySession() = default;

bool CPySession::TryLockBus(const void* owner)
{
    const void* expected = nullptr;
    return m_busOwner.compare_exchange_strong(expected, owner);
}

void CPySession::UnlockBus(const void* owner)
{
    const void* expected = owner;
    m_busOwner.compare_exchange_strong(expected, nullptr);
}

void CPySession::AddHolder(const void* owner, std::string description)
{
    std::lock_guard lock(m_holdersMutex);
    m_holders.emplace_back(owner, std::move(description));
}

void CPySession::RemoveHolder(const void* owner)
{
    std::lock_guard lock(m_holdersMutex);
    std::erase_if(m_holders, [&](const auto& holder) { return holder.first == owner; });
}

std::string CPySession::FirstHolder() const
{
    std::lock_guard lock(m_holdersMutex);
    return m_holders.empty() ? std::string("another object") : m_holders.front().second;
}

bool CPySession::IsAlive(const CGilFree& proof)
{
    if (m_endedBecause)
        return false;
    try {
        const CLock lock(*this, proof);
        return m_adapter->IsDeviceAlive();
    } catch (const CI2cError& error) {
        // Ended meanwhile; a cancel or the exit ends the open itself.
        if (error.Kind() == EOrvError::NotConnected)
            return false;
        throw;
    }
}

void CPySession::Close()
{
    m_adapter->Disconnect();
}

void CPySession::Abandon()
{
    m_endedBecause = ENDED_BY_FORK;
    m_adapter->Abandon();
}

CPySessionRegistry& CPySessionRegistry::Instance()
{
    static CPySessionRegistry* const registry = new CPySessionRegistry;
    return *registry;
}

void CPySessionRegistry::SetHooks(SPyWaitHooks hooks)
{
    m_hooks = std::move(hooks);
}

bool CPySessionRegistry::Cancelled(EPyWait wait) const
{
    return m_hooks.cancelled && m_hooks.cancelled(wait == EPyWait::Transfer);
}

bool CPySessionRegistry::DaemonThread() const
{
    return m_hooks.daemonThread && m_hooks.daemonThread();
}

bool CPySessionRegistry::DaemonWaitsOver() const
{
    return m_hooks.daemonWaitsOver && m_hooks.daemonWaitsOver();
}

std::vector<SAdapterListing> CPySessionRegistry::List(const CGilFree&)
{
    return ListAdapters();
}

void CPySessionRegistry::WaitForChange(std::unique_lock<std::mutex>& lock)
{
    m_changed.wait_for(lock, WAIT_SLICE);
    lock.unlock();
    if (Cancelled(EPyWait::Idle))
        ThrowCancelled();
    lock.lock();
}

std::shared_ptr<CPySession> CPySessionRegistry::Open(const std::optional<std::string>& serial,
                                                     unsigned long long speedHz,
                                                     const std::string& speedText, bool pullUps,
                                                     const CGilFree& proof)
{
    SAdapterChoiceWords words;
    words.lister = QStringLiteral("pellan_i2c.list_adapters()");
    words.giveSerial = QStringLiteral("Give one of these as the serial number.");
    words.chooseOne = QStringLiteral("Choose one by its serial number, e.g. '%1'.");
    words.quote = [](const QString& text) { return QLatin1Char('"') + text + QLatin1Char('"'); };
    const std::optional<QString> wanted =
        serial ? std::optional<QString>(QString::fromStdString(*serial)) : std::nullopt;

    const SAdapterChoiceResult choice = ChooseAdapter(wanted, words);
    switch (choice.outcome) {
    case EAdapterChoice::Chosen:
        break;
    case EAdapterChoice::SeveralAttached:
        throw std::invalid_argument(Utf8(choice.message));
    case EAdapterChoice::NoneAttached:
    case EAdapterChoice::NotAttached:
        throw CI2cError(ENODEV, Utf8(choice.message), EOrvError::Gone);
    }

    const std::string name =
        Utf8(choice.model) + " " + Utf8(QString::fromStdWString(choice.entry.serialNumber));
    const SAdapterTraits traits = AdapterTraits(choice.entry.type);
    const std::optional<EI2cSpeed> speed = AdapterSpeedOfHz(speedHz);
    if (!speed || !traits.Supports(*speed)) {
        std::string speeds;
        for (EI2cSpeed supported : traits.speeds)
            speeds += (speeds.empty() ? "" : ", ") + std::to_string(AdapterSpeed(supported).hz);
        throw std::invalid_argument("the " + name + " does not run at " + speedText +
                                    " Hz. Give one of " + speeds + ".");
    }
    if (!pullUps && !traits.pullUpSwitch) {
        throw std::invalid_argument("the " + name +
                                    " has no switchable pull-ups; pull_ups=False works on the "
                                    "Orvane5 only.");
    }

    // Share the open session, or claim the entry to open one. The table's
    // lock is let go before anything that waits or closes.
    const std::wstring& key = choice.entry.serialNumber;
    uint64_t claimed = 0;
    while (claimed == 0) {
        std::shared_ptr<CPySession> open;
        {
            std::unique_lock lock(m_mutex);
            SSlot& slot = m_slots[key];
            if (slot.id == 0) {
                slot.id = claimed = ++m_lastId;
                slot.opening = true;
                break;
            }
            if (!slot.opening)
                open = slot.session.lock();
            // Another thread opens the adapter, or its last holder closes it.
            if (!open) {
                WaitForChange(lock);
                continue;
            }
        }
        if (open->IsAlive(proof)) {
            const SPySessionIdentity& identity = open->Identity();
            if (identity.speedHz != AdapterSpeed(*speed).hz || identity.pullUps != pullUps) {
                throw CI2cError(EBUSY,
                                "the " + name + " is open at " + std::to_string(identity.speedHz) +
                                    " Hz with the pull-ups " + PullUpsText(identity.pullUps) +
                                    " by " + open->FirstHolder() + ". Open it at the same speed " +
                                    "and pull-ups, or close that first.");
            }
            return open;
        }
        // An adapter unplugged and plugged in again is a new device: the
        // objects on the old one keep failing with ENODEV, new ones get a
        // new session.
        std::lock_guard lock(m_mutex);
        const auto slot = m_slots.find(key);
        if (slot != m_slots.end() && slot->second.id == open->m_id) {
            slot->second = SSlot{++m_lastId, true, {}};
            claimed = slot->second.id;
        }
    }

    // Gives the entry up if the adapter can not be opened.
    auto giveUp = [&] {
        {
            std::lock_guard lock(m_mutex);
            const auto slot = m_slots.find(key);
            if (slot != m_slots.end() && slot->second.id == claimed)
                m_slots.erase(slot);
        }
        m_changed.notify_all();
    };
    std::unique_ptr<COrvI2c> adapter;
    try {
        adapter = COrvDeviceFactory::Create(choice.entry.type);
        if (!adapter)
            throw CI2cError(ENODEV, "unknown adapter model.", EOrvError::Gone);
        // Connecting holds the adapter: a signal handler waits for the end.
        adapter->SetCancelCheck([this] { return Cancelled(EPyWait::Transfer); });
        if (!ConnectAdapter(*adapter, key, *speed,
                            traits.pullUpSwitch ? std::optional<bool>(pullUps) : std::nullopt)) {
            const EOrvError kind = adapter->GetLastErrorKind();
            const std::string hint =
                kind == EOrvError::Busy
                    ? ". Close it or let it end; one program at a time can use an adapter."
                    : ". Check the cable, and that you may open its HID device (the udev rule "
                      "70-pellan-i2c.rules grants it).";
            throw CI2cError(OpenErrno(kind),
                            "cannot connect to the " + name + ": " + adapter->GetLastError() + hint,
                            kind);
        }
    } catch (...) {
        giveUp();
        throw;
    }

    SPySessionIdentity identity;
    identity.model = Utf8(traits.model);
    identity.serial = Utf8(QString::fromStdWString(key));
    identity.product = Utf8(QString::fromStdWString(adapter->GetProductName()));
    identity.firmware = adapter->GetFirmware();
    identity.speedHz = AdapterSpeed(*speed).hz;
    identity.pullUps = adapter->GetPullUpsEnabled();
    identity.maxRead = traits.maxRead;
    identity.addressOnlyWrite = traits.addressOnlyWrite;

    auto* created = new CPySession(std::move(adapter), std::move(identity));
    created->m_key = key;
    created->m_id = claimed;
    std::shared_ptr<CPySession> session(created, [this](CPySession* ended) { Release(ended); });
    {
        std::lock_guard lock(m_mutex);
        m_all.insert(created);
        SSlot& slot = m_slots[key];
        slot.opening = false;
        slot.session = session;
    }
    m_changed.notify_all();
    return session;
}

void CPySessionRegistry::Release(CPySession* session)
{
    if (!session->m_endedBecause)
        session->Close();
    const std::wstring key = session->m_key;
    const uint64_t id = session->m_id;
    const bool lost = session->m_lockLost;
    {
        std::lock_guard lock(m_mutex);
        m_all.erase(session);
        const auto slot = m_slots.find(key);
        // A replaced session (its adapter was re-plugged) has no entry left.
        if (slot != m_slots.end() && slot->second.id == id)
            m_slots.erase(slot);
    }
    m_changed.notify_all();
    // A lock that a thread of the parent held stays as it was, for good.
    if (!lost)
        delete session;
}

void CPySessionRegistry::CloseAll(const CGilFree&)
{
    std::vector<std::shared_ptr<CPySession>> open;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [key, slot] : m_slots) {
            if (std::shared_ptr<CPySession> session = slot.session.lock())
                open.push_back(std::move(session));
        }
    }
    for (const std::shared_ptr<CPySession>& session : open) {
        if (!session->m_mutex.try_lock())
            continue;
        if (!session->m_endedBecause) {
            session->Close();
            session->m_endedBecause = ENDED_AT_EXIT;
        }
        session->m_mutex.unlock();
    }
    // The last references may go here, with the table's lock free.
    open.clear();
}

void CPySessionRegistry::BeforeFork(std::chrono::steady_clock::time_point deadline, const CGilFree&)
{
    // Held only for moments, but the wait is bounded all the same.
    while (!m_mutex.try_lock()) {
        if (Clock::now() >= deadline)
            return;
        std::this_thread::yield();
    }
    m_forkHoldsRegistry = true;
}

void CPySessionRegistry::AfterForkInParent()
{
    if (std::exchange(m_forkHoldsRegistry, false))
        m_mutex.unlock();
}

void CPySessionRegistry::AfterForkInChild(const std::vector<std::string>& inside)
{
    // The only thread of the child is the one that forked. A lock that a
    // thread of the parent held stays held here: such a session is never
    // locked or destroyed again. A paused thread held no lock of its handle,
    // which can be dropped; one inside the adapter did.
    new (&m_changed) std::condition_variable;
    for (CPySession* session : m_all) {
        if (session->m_mutex.try_lock())
            session->m_mutex.unlock();
        else
            session->m_lockLost = true;
        const bool handleInUse =
            session->m_lockLost &&
            std::find(inside.begin(), inside.end(), session->m_identity.serial) != inside.end();
        if (!session->m_endedBecause && !handleInUse)
            session->Abandon();
        session->m_endedBecause = ENDED_BY_FORK;
    }
    m_slots.clear();
    if (std::exchange(m_forkHoldsRegistry, false))
        m_mutex.unlock();
    else
        new (&m_mutex) std::mutex;
}

} // namespace pellanpy
