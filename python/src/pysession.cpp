#include "python/src/pysession.h"

#include "i2c/orvi2c.h"

#include <QString>

#include <cerrno>
#include <chrono>
#include <utility>

namespace pellanpy {

namespace {

using Clock = std::chrono::steady_clock;

// How long a wait for a session lock goes without asking the cancel check.
constexpr auto LOCK_SLICE = std::chrono::milliseconds(50);

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
    default:
        return EIO;
    }
}

} // namespace

CPySession::CLock::CLock(CPySession& session, const CGilFree&) : m_session(session)
{
    if (const char* ended = m_session.m_endedBecause)
        throw CI2cError(ended == ENDED_BY_FORK ? EBADF : ENODEV, ended, EOrvError::NotConnected);
    if (!m_session.m_mutex.try_lock()) {
        const CPySessionRegistry& registry = CPySessionRegistry::Instance();
        while (!m_session.m_mutex.try_lock_for(LOCK_SLICE)) {
            if (registry.CancelRequested())
                throw CI2cError(ECANCELED, "Cancelled", EOrvError::Cancelled);
        }
    }
    if (const char* ended = m_session.m_endedBecause) {
        m_session.m_mutex.unlock();
        throw CI2cError(ended == ENDED_BY_FORK ? EBADF : ENODEV, ended, EOrvError::NotConnected);
    }
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
    const CLock lock(*this, proof);
    return m_adapter->IsDeviceAlive();
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

void CPySessionRegistry::SetCancelCheck(std::function<bool()> check)
{
    std::lock_guard lock(m_mutex);
    m_cancelCheck = std::move(check);
}

bool CPySessionRegistry::CancelRequested() const
{
    // Set once at module start, before any session exists.
    return m_cancelCheck && m_cancelCheck();
}

std::vector<SAdapterListing> CPySessionRegistry::List(const CGilFree&)
{
    std::lock_guard lock(m_mutex);
    return ListAdapters();
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

    std::lock_guard lock(m_mutex);
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

    std::shared_ptr<CPySession> open = m_sessions[choice.entry.serialNumber].lock();
    // An adapter unplugged and plugged in again is a new device: the objects
    // on the old one keep failing with ENODEV, new ones get a new session.
    if (open && !open->IsAlive(proof))
        open.reset();
    if (open) {
        const SPySessionIdentity& identity = open->Identity();
        if (identity.speedHz != AdapterSpeed(*speed).hz || identity.pullUps != pullUps) {
            throw CI2cError(EBUSY, "the " + name + " is open at " +
                                       std::to_string(identity.speedHz) + " Hz with the pull-ups " +
                                       PullUpsText(identity.pullUps) + " by " +
                                       open->FirstHolder() + ". Open it at the same speed and " +
                                       "pull-ups, or close that first.");
        }
        return open;
    }

    std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(choice.entry.type);
    if (!adapter)
        throw CI2cError(ENODEV, "unknown adapter model.", EOrvError::Gone);
    if (!ConnectAdapter(*adapter, choice.entry.serialNumber, *speed,
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
    adapter->SetCancelCheck([this] { return CancelRequested(); });

    SPySessionIdentity identity;
    identity.model = Utf8(traits.model);
    identity.serial = Utf8(QString::fromStdWString(choice.entry.serialNumber));
    identity.product = Utf8(QString::fromStdWString(adapter->GetProductName()));
    identity.firmware = adapter->GetFirmware();
    identity.speedHz = AdapterSpeed(*speed).hz;
    identity.pullUps = adapter->GetPullUpsEnabled();
    identity.maxRead = traits.maxRead;
    identity.addressOnlyWrite = traits.addressOnlyWrite;

    std::shared_ptr<CPySession> session(new CPySession(std::move(adapter), std::move(identity)),
                                        [this](CPySession* ended) { Release(ended); });
    m_sessions[choice.entry.serialNumber] = session;
    return session;
}

void CPySessionRegistry::Release(CPySession* session)
{
    // Under the registry's lock, so that an adapter is never opened again
    // while its last session still closes.
    std::lock_guard lock(m_mutex);
    const std::wstring serial = QString::fromStdString(session->Identity().serial).toStdWString();
    const auto entry = m_sessions.find(serial);
    if (entry != m_sessions.end() && entry->second.expired())
        m_sessions.erase(entry);
    if (!session->m_endedBecause)
        session->Close();
    delete session;
}

void CPySessionRegistry::CloseAll(std::chrono::steady_clock::time_point deadline, const CGilFree&)
{
    std::vector<std::shared_ptr<CPySession>> open;
    {
        std::unique_lock lock(m_mutex, std::defer_lock);
        if (!lock.try_lock_until(deadline))
            return;
        for (const auto& [serial, weak] : m_sessions) {
            if (std::shared_ptr<CPySession> session = weak.lock())
                open.push_back(std::move(session));
        }
    }
    for (const std::shared_ptr<CPySession>& session : open) {
        if (!session->m_mutex.try_lock_until(deadline))
            continue;
        if (!session->m_endedBecause) {
            session->Close();
            session->m_endedBecause = ENDED_AT_EXIT;
        }
        session->m_mutex.unlock();
    }
    // The last references may go here, with the registry's lock free.
    open.clear();
}

void CPySessionRegistry::BeforeFork(std::chrono::steady_clock::time_point deadline, const CGilFree&)
{
    std::vector<std::shared_ptr<CPySession>> held;
    if (!m_mutex.try_lock_until(deadline))
        return;
    for (const auto& [serial, weak] : m_sessions) {
        std::shared_ptr<CPySession> session = weak.lock();
        if (session && session->m_mutex.try_lock_until(deadline))
            held.push_back(std::move(session));
    }
    m_forkHeld = std::move(held);
    m_forkHoldsRegistry = true;
}

void CPySessionRegistry::AfterForkInParent()
{
    if (!m_forkHoldsRegistry)
        return;
    std::vector<std::shared_ptr<CPySession>> held = std::move(m_forkHeld);
    m_forkHeld.clear();
    m_forkHoldsRegistry = false;
    for (const std::shared_ptr<CPySession>& session : held)
        session->m_mutex.unlock();
    m_mutex.unlock();
    // A last reference may go here, after the registry's lock.
}

void CPySessionRegistry::AfterForkInChild()
{
    // The only thread of the child is the one that forked. What it does not
    // hold may be held by a thread that no longer exists: those sessions
    // are left alone, never locked again.
    std::vector<std::shared_ptr<CPySession>> held = std::move(m_forkHeld);
    m_forkHeld.clear();
    for (const std::shared_ptr<CPySession>& session : held) {
        session->Abandon();
        session->m_mutex.unlock();
    }
    if (m_forkHoldsRegistry) {
        for (auto& [serial, weak] : m_sessions) {
            // Sessions of the parent whose lock was not had in time.
            if (std::shared_ptr<CPySession> session = weak.lock()) {
                if (!session->m_endedBecause)
                    session->m_endedBecause = ENDED_BY_FORK;
            }
        }
        m_sessions.clear();
        m_forkHoldsRegistry = false;
        m_mutex.unlock();
    } else {
        // The registry's lock itself may be lost: start with a fresh one.
        new (&m_mutex) std::timed_mutex;
        m_sessions.clear();
    }
    held.clear();
}

} // namespace pellanpy
