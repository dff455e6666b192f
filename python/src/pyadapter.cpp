#include "python/src/pyadapter.h"

#include "i2c/orvi2c.h"
#include "transactions/i2caddress.h"
#include "transactions/i2ctransaction.h"
#include "transactions/transfermessages.h"

#include <array>
#include <cerrno>
#include <utility>

namespace pellanpy {

namespace {

constexpr const char* CLOSED = "I/O operation on a closed adapter";

// The one table from the engine's kinds of failure to errno values.
constexpr std::array<std::pair<EOrvError, int>, 16> ERRNO_OF_KIND{{
    {EOrvError::None, EIO},
    {EOrvError::Nack, EREMOTEIO},
    {EOrvError::Timeout, ETIMEDOUT},
    {EOrvError::ArbitrationLost, EAGAIN},
    {EOrvError::BusError, EIO},
    {EOrvError::NoStart, EIO},
    {EOrvError::WrongCount, EIO},
    {EOrvError::AdapterError, EIO},
    {EOrvError::NotConnected, ENODEV},
    {EOrvError::Gone, ENODEV},
    {EOrvError::UsbError, EIO},
    {EOrvError::AccessDenied, EACCES},
    {EOrvError::Unsupported, EOPNOTSUPP},
    {EOrvError::InvalidArgument, EINVAL},
    {EOrvError::Cancelled, ECANCELED},
    {EOrvError::Busy, EBUSY},
}};

[[noreturn]] void Fail(const SI2cTransaction& transaction)
{
    throw CI2cError(ErrnoOf(transaction.errorKind), transaction.error.toStdString(),
                    transaction.errorKind);
}

std::string AddressText(uint8_t address)
{
    return FormatI2cAddress(address, false).toStdString();
}

// "0x08-0x0B, 0x23": runs of neighbours as ranges.
std::string AddressList(const std::vector<uint8_t>& addresses)
{
    std::string list;
    for (size_t i = 0; i < addresses.size();) {
        size_t last = i;
        while (last + 1 < addresses.size() && addresses[last + 1] == addresses[last] + 1)
            ++last;
        list += (list.empty() ? "" : ", ") + AddressText(addresses[i]);
        if (last > i)
            list += "-" + AddressText(addresses[last]);
        i = last + 1;
    }
    return list.empty() ? "none" : list;
}

} // namespace

int ErrnoOf(EOrvError kind)
{
    for (const auto& [entry, code] : ERRNO_OF_KIND) {
        if (entry == kind)
            return code;
    }
    return EIO;
}

std::vector<SPyAdapterInfo> ListPyAdapters(const CGilFree& proof)
{
    std::vector<SPyAdapterInfo> list;
    for (const SAdapterListing& listing : CPySessionRegistry::Instance().List(proof)) {
        SPyAdapterInfo info;
        info.model = listing.traits.model.toStdString();
        info.serial = listing.Serial().toStdString();
        info.product = listing.product.toStdString();
        info.firmware = listing.firmware;
        for (EI2cSpeed speed : listing.traits.speeds)
            info.speeds.push_back(AdapterSpeed(speed).hz);
        info.pullUpSwitch = listing.traits.pullUpSwitch;
        info.maxRead = listing.traits.maxRead;
        info.addressOnlyWrite = listing.traits.addressOnlyWrite;
        list.push_back(std::move(info));
    }
    return list;
}

CPyAdapter::CPyAdapter(const std::optional<std::string>& serial, unsigned long long speedHz,
                       const std::string& speedText, bool pullUps, std::string holder,
                       const CGilFree& proof)
{
    std::shared_ptr<CPySession> session =
        CPySessionRegistry::Instance().Open(serial, speedHz, speedText, pullUps, proof);
    session->AddHolder(this, std::move(holder));
    m_identity = session->Identity();
    m_session.store(std::move(session));
}

CPyAdapter::~CPyAdapter()
{
    LetGo();
}

void CPyAdapter::Close(const CGilFree&)
{
    m_closed = true;
    LetGo();
}

void CPyAdapter::LetGo()
{
    std::shared_ptr<CPySession> session = m_session.exchange(nullptr);
    if (!session)
        return;
    session->UnlockBus(this);
    session->RemoveHolder(this);
    // The last object to let go closes the adapter, here.
}

std::shared_ptr<CPySession> CPyAdapter::Session() const
{
    std::shared_ptr<CPySession> session = m_session.load();
    if (!session)
        throw std::invalid_argument(CLOSED);
    return session;
}

bool CPyAdapter::TryLockBus()
{
    const std::shared_ptr<CPySession> session = m_session.load();
    return session && session->TryLockBus(this);
}

void CPyAdapter::UnlockBus()
{
    if (const std::shared_ptr<CPySession> session = m_session.load())
        session->UnlockBus(this);
}

void CPyAdapter::CheckReadCount(size_t count) const
{
    if (count == 0 || count > m_identity.maxRead) {
        throw std::invalid_argument("the " + m_identity.model + " reads 1 to " +
                                    std::to_string(m_identity.maxRead) + " bytes at once, not " +
                                    std::to_string(count) + ".");
    }
}

void CPyAdapter::Write(uint8_t address, const std::vector<uint8_t>& data, EI2cStartStop mode,
                       const CGilFree& proof)
{
    const std::shared_ptr<CPySession> session = Session();
    if (!IsWriteDataAcceptable(mode, data))
        throw std::invalid_argument("the modes stop and none send no address: give data bytes.");
    const bool addressOnly = data.empty() && ModeSendsAddress(mode) && ModeSendsStop(mode);
    if (addressOnly && !m_identity.addressOnlyWrite) {
        throw CI2cError(EOPNOTSUPP,
                        "Address-only write is not supported by the " + m_identity.model,
                        EOrvError::Unsupported);
    }
    CPySession::CLock lock(*session, proof);
    const SI2cTransaction write = RunWrite(lock.Adapter(), mode, address, data);
    if (!write.ok)
        Fail(write);
}

std::vector<uint8_t> CPyAdapter::Read(uint8_t address, size_t count, const CGilFree& proof)
{
    const std::shared_ptr<CPySession> session = Session();
    CheckReadCount(count);
    CPySession::CLock lock(*session, proof);
    SI2cTransaction read = RunRead(lock.Adapter(), address, count);
    if (!read.ok)
        Fail(read);
    return std::move(read.data);
}

std::vector<uint8_t> CPyAdapter::WriteRead(uint8_t address, const std::vector<uint8_t>& data,
                                           size_t count, const CGilFree& proof)
{
    const std::shared_ptr<CPySession> session = Session();
    CheckReadCount(count);
    CPySession::CLock lock(*session, proof);
    const SI2cTransaction write = RunWrite(lock.Adapter(), EI2cStartStop::Start, address, data);
    if (!write.ok)
        Fail(write);
    SI2cTransaction read = RunRead(lock.Adapter(), address, count);
    if (!read.ok)
        Fail(read);
    return std::move(read.data);
}

std::vector<uint8_t> CPyAdapter::Scan(const CGilFree& proof)
{
    const std::shared_ptr<CPySession> session = Session();
    CPySession::CLock lock(*session, proof);
    const SI2cScan scan = RunScan(lock.Adapter());
    if (scan.failures.empty())
        return scan.search.found;

    const std::string answered = "; answered: " + AddressList(scan.search.found);
    if (scan.stoppedAt) {
        const SI2cProbeFailure& last = scan.failures.back();
        throw CI2cError(ErrnoOf(last.errorKind),
                        "the probe of " + AddressText(*scan.stoppedAt) + " failed: " +
                            last.error.toStdString() + "; the scan ended there" + answered,
                        last.errorKind);
    }
    const SI2cProbeFailure& first = scan.failures.front();
    std::vector<uint8_t> failed;
    for (const SI2cProbeFailure& failure : scan.failures)
        failed.push_back(failure.address);
    throw CI2cError(ErrnoOf(first.errorKind),
                    std::to_string(scan.failures.size()) + " of " +
                        std::to_string(SEARCH_LAST_ADDRESS - SEARCH_FIRST_ADDRESS + 1) +
                        " probes failed other than by a NACK, at " + AddressList(failed) +
                        ", the first with: " + first.error.toStdString() + answered,
                    first.errorKind);
}

bool CPyAdapter::Probe(uint8_t address, const CGilFree& proof)
{
    const std::shared_ptr<CPySession> session = Session();
    CPySession::CLock lock(*session, proof);
    COrvI2c& adapter = lock.Adapter();
    // The models without address-only writes probe with a one-byte read.
    if (adapter.Probe(address))
        return true;
    const EOrvError kind = adapter.GetLastErrorKind();
    if (kind == EOrvError::Nack)
        return false;
    throw CI2cError(ErrnoOf(kind), adapter.GetLastError(), kind);
}

std::vector<uint8_t> CPyAdapter::Transfer(const std::vector<SPyMessage>& messages,
                                          const CGilFree& proof)
{
    const std::shared_ptr<CPySession> session = Session();
    std::vector<STransferMessage> transfer;
    transfer.reserve(messages.size());
    for (const SPyMessage& message : messages) {
        STransferMessage entry;
        entry.read = message.read;
        entry.address = message.address;
        entry.length = message.read ? message.count : message.data.size();
        entry.data = message.data;
        transfer.push_back(std::move(entry));
    }
    CPySession::CLock lock(*session, proof);
    const QString problem = TransferProblem(transfer, lock.Adapter());
    if (!problem.isEmpty())
        throw CI2cError(EOPNOTSUPP, problem.toStdString(), EOrvError::Unsupported);
    std::vector<SI2cTransaction> done = RunTransfer(lock.Adapter(), transfer);
    if (done.empty())
        return {};
    if (!done.back().ok)
        Fail(done.back());
    if (done.back().type == EI2cTransactionType::Read)
        return std::move(done.back().data);
    return {};
}

void CPyAdapter::Locked(const std::function<void(COrvI2c&)>& work, const CGilFree& proof)
{
    const std::shared_ptr<CPySession> session = Session();
    CPySession::CLock lock(*session, proof);
    work(lock.Adapter());
}

} // namespace pellanpy
