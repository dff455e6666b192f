// Linked into every test binary: before main, and so before the application
// object, a test that CTest did not give its own home gets a private home
// with its own settings, data, cache, documents and runtime folders, removed
// again at exit. A test run by hand thus never touches the real user's
// settings, projects folder or trash.
//
// A test that runs in the home CTest prepared holds a lock beside it for its
// whole run. The set-up step that empties the home takes the same lock, so a
// second ctest run in the same build tree waits instead of emptying the home
// of a test that is still running (whose folders would then vanish under it).

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// Set by the CTest environment of each test to the home it prepared, which
// holds the marker file.
constexpr char HOME_VARIABLE[] = "PELLAN_TEST_HOME";
constexpr char MARKER[] = ".pellan-test-home";
// Beside the home, so that emptying the home leaves it alone; the set-up step
// (cmake/PellanTestHome.cmake) locks the same file with file(LOCK), which
// takes a POSIX record lock as fcntl does.
constexpr char LOCK_SUFFIX[] = ".lock";
// As long as the CTest timeout of a test: the other run's test must end first.
constexpr std::chrono::seconds LOCK_WAIT{120};

struct SFolder {
    const char* variable;
    const char* path; // below the home
};

constexpr std::array<SFolder, 5> FOLDERS{{
    {"XDG_CONFIG_HOME", ".config"},
    {"XDG_DATA_HOME", ".local/share"},
    {"XDG_CACHE_HOME", ".cache"},
    {"XDG_DOCUMENTS_DIR", "Documents"},
    {"XDG_RUNTIME_DIR", ".runtime"},
}};

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : std::string();
}

bool isBelow(const std::string& path, const std::string& home)
{
    return path.size() > home.size() + 1 && path.compare(0, home.size(), home) == 0 &&
           path[home.size()] == '/';
}

// True only when HOME and every XDG folder lie in the home that CTest
// prepared: an exported variable alone never lets the real home through.
bool givenByCTest()
{
    const std::string home = environment(HOME_VARIABLE);
    std::error_code error;
    if (home.empty() || environment("HOME") != home ||
        !std::filesystem::is_regular_file(std::filesystem::path(home) / MARKER, error))
        return false;
    for (const SFolder& folder : FOLDERS) {
        if (!isBelow(environment(folder.variable), home))
            return false;
    }
    return true;
}

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "test support: %s; not running against the real home\n", what.c_str());
    std::exit(EXIT_FAILURE);
}

// Holds the home's lock for the life of the process; the lock goes with the
// descriptor at exit, however the test ends.
void lockCTestHome(const std::string& home)
{
    const std::string path = home + LOCK_SUFFIX;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        fail("cannot open " + path);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const auto deadline = std::chrono::steady_clock::now() + LOCK_WAIT;
    while (fcntl(fd, F_SETLK, &lock) != 0) {
        if ((errno != EACCES && errno != EAGAIN) || std::chrono::steady_clock::now() > deadline)
            fail("another run of this test still uses " + home);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

class CPrivateHome {
public:
    CPrivateHome()
    {
        if (givenByCTest()) {
            lockCTestHome(environment(HOME_VARIABLE));
            return;
        }
        std::string base = environment("TMPDIR");
        if (base.empty())
            base = "/tmp";
        std::string pattern = base + "/pellan-test-home-XXXXXX";
        if (!mkdtemp(pattern.data()))
            fail("cannot create a private home in " + base);
        m_root = pattern;

        for (const SFolder& folder : FOLDERS) {
            const std::filesystem::path path = m_root / folder.path;
            std::error_code error;
            std::filesystem::create_directories(path, error);
            // The runtime folder must be private to its owner; the rest as well.
            if (error || chmod(path.c_str(), S_IRWXU) != 0)
                fail("cannot create " + path.string());
            setenv(folder.variable, path.c_str(), 1);
        }
        setenv("HOME", m_root.c_str(), 1);
        // A stray value from the caller's environment must not outlive this.
        setenv(HOME_VARIABLE, m_root.c_str(), 1);
        // Tests are written for the offscreen platform; a display is optional.
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        setenv("QT_LOGGING_RULES", "qt.qpa.*=false", 0);
    }

    ~CPrivateHome()
    {
        if (m_root.empty())
            return;
        std::error_code error;
        std::filesystem::remove_all(m_root, error);
    }

    CPrivateHome(const CPrivateHome&) = delete;
    CPrivateHome& operator=(const CPrivateHome&) = delete;

private:
    std::filesystem::path m_root;
};

const CPrivateHome PRIVATE_HOME;

} // namespace
