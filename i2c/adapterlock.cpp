#include "i2c/adapterlock.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr const char* UNKNOWN_HOLDER = "another program";

// The name a process was started under: the last part of argv[0], or the
// kernel's short name when the command line can not be read.
std::string ProgramName(long pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream cmdline(proc + "/cmdline");
    std::string name;
    std::getline(cmdline, name, '\0');
    if (name.empty()) {
        std::ifstream comm(proc + "/comm");
        std::getline(comm, name);
    }
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

} // namespace

CAdapterLock::~CAdapterLock()
{
    Release();
}

bool CAdapterLock::Acquire(const std::string& path, std::string& holder)
{
    Release();
    holder.clear();
    // Only the system's device nodes are shared between programs.
    if (path.empty() || path.front() != '/')
        return true;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return true;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) {
        ::close(fd);
        return true;
    }
    int result = 0;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        m_fd = fd;
        return true;
    }
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    if (!busy)
        return true;
    holder = FindHolder(status.st_dev, status.st_ino);
    if (holder.empty())
        holder = UNKNOWN_HOLDER;
    return false;
}

void CAdapterLock::Release()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

std::string CAdapterLock::FindHolder(unsigned long long device, unsigned long long inode)
{
    // Lines such as "3: FLOCK  ADVISORY  WRITE 1234 00:05:117 0 EOF"; those
    // of waiting locks carry "->" after the number.
    std::ostringstream wanted;
    wanted << std::hex;
    wanted.width(2);
    wanted.fill('0');
    wanted << major(device) << ':';
    wanted.width(2);
    wanted << minor(device) << ':' << std::dec << inode;

    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, file;
        long pid = 0;
        if (!(fields >> number >> kind) || kind == "->" || kind != "FLOCK")
            continue;
        if (!(fields >> mode >> access >> pid >> file) || file != wanted.str() || pid <= 0)
            continue;
        const std::string name = ProgramName(pid);
        return (name.empty() ? std::string("process ") : name + " (process ") +
               std::to_string(pid) + (name.empty() ? "" : ")");
    }
    return {};
}
