#include "lockfile.h"

#include "package.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace workbook
{

namespace
{

constexpr char kShownName[] = "PTK71";
constexpr char kOwnerPrefix[] = "ptk71:";

std::string Escape(const std::string &field)
{
    std::string out;
    for (char c : field) {
        if (c == ',' || c == ';' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

// Start time of a process in clock ticks since boot (field 22 of /proc/<pid>/stat), or "".
std::string StartTimeOf(long pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return {};
    // The command name (field 2) is in parentheses and may hold blanks; count after it.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return {};
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22)
            return field;
    }
    return {};
}

std::string HostName()
{
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return "localhost";
    return host;
}

std::string LoginName()
{
    if (const passwd *pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr)
        return pw->pw_name;
    return std::to_string(::geteuid());
}

std::string Now()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%d.%m.%Y %H:%M", &tm);
    return buffer;
}

bool ReadSmall(const std::string &path, std::string &out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n < 0)
        return false;
    out.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

enum class Create { Ok, Exists, Failed };

Create CreateLock(const std::string &lockPath, const std::string &content, int *error)
{
    const int fd = ::open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errno;
        return errno == EEXIST ? Create::Exists : Create::Failed;
    }
    const bool ok =
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    if (!ok) {
        *error = EIO;
        ::unlink(lockPath.c_str());
        return Create::Failed;
    }
    return Create::Ok;
}

// True when the lock's fields say it was left by an instance of this program on this host
// that no longer runs.
bool IsStale(const std::vector<std::string> &fields)
{
    if (fields.size() < 5 || fields[2] != HostName() || fields[4].rfind(kOwnerPrefix, 0) != 0)
        return false;
    const std::string owner = fields[4].substr(sizeof kOwnerPrefix - 1);
    const std::size_t colon = owner.find(':');
    if (colon == std::string::npos)
        return false;
    char *end = nullptr;
    const long pid = std::strtol(owner.c_str(), &end, 10);
    if (end != owner.c_str() + colon || pid <= 0)
        return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return true;
    // A process with that number runs: it is the owner only if it started when the owner did.
    const std::string started = StartTimeOf(pid);
    return !started.empty() && started != owner.substr(colon + 1);
}

} // namespace

std::vector<std::string> ParseLockFields(const std::string &text)
{
    std::vector<std::string> fields(1);
    bool escaped = false;
    for (char c : text) {
        if (escaped) {
            fields.back() += c;
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == ';') {
            return fields;
        } else {
            fields.back() += c;
        }
    }
    return {}; // no terminating ';': not (yet) a lock entry
}

std::string WorkbookLock::LockPathOf(const std::string &path)
{
    return FolderOf(path) + "/.~lock." + FileOf(path) + "#";
}

std::string WorkbookLock::OwnId()
{
    const long pid = static_cast<long>(::getpid());
    return kOwnerPrefix + std::to_string(pid) + ":" + StartTimeOf(pid);
}

std::unique_ptr<WorkbookLock> WorkbookLock::Acquire(const std::string &path, std::string *why)
{
    const std::string lockPath = LockPathOf(path);
    const std::string content = Escape(kShownName) + "," + Escape(LoginName()) + "," +
                                Escape(HostName()) + "," + Escape(Now()) + "," + Escape(OwnId()) +
                                ";";
    for (int attempt = 0; attempt < 3; ++attempt) {
        int error = 0;
        switch (CreateLock(lockPath, content, &error)) {
        case Create::Ok:
            return std::unique_ptr<WorkbookLock>(new WorkbookLock(lockPath, content));
        case Create::Failed:
            if (why != nullptr)
                *why = "cannot create the lock file " + lockPath + ": " + std::strerror(error);
            return nullptr;
        case Create::Exists:
            break;
        }
        std::string text;
        if (!ReadSmall(lockPath, text)) {
            if (errno == ENOENT)
                continue; // released meanwhile
            if (why != nullptr)
                *why = "the workbook is locked (" + lockPath + " cannot be read)";
            return nullptr;
        }
        const std::vector<std::string> fields = ParseLockFields(text);
        if (!IsStale(fields)) {
            if (why != nullptr) {
                std::string holder = fields.size() >= 2
                                         ? (!fields[0].empty() ? fields[0] : fields[1])
                                         : std::string("an unknown program");
                if (fields.size() >= 4 && !fields[3].empty())
                    holder += " since " + fields[3];
                if (fields.size() >= 3 && !fields[2].empty())
                    holder += " on " + fields[2];
                *why = "the workbook is open elsewhere: locked by " + holder + " (" + lockPath +
                       "; remove it if nobody has the workbook open)";
            }
            return nullptr;
        }
        // A crashed instance's lock: remove it, but only if it is still the same file. The
        // instances taking it over at the same time do this one after the other (a lock on
        // the folder), so none can remove the fresh lock another has made meanwhile; then the
        // exclusive creation lets exactly one of them win.
        const int folder = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0)
            while (::flock(folder, LOCK_EX) != 0 && errno == EINTR) {
            }
        std::string again;
        if (ReadSmall(lockPath, again) && again == text)
            ::unlink(lockPath.c_str());
        if (folder >= 0)
            ::close(folder); // releases the folder lock
    }
    if (why != nullptr)
        *why = "the lock file " + lockPath + " keeps changing";
    return nullptr;
}

WorkbookLock::~WorkbookLock()
{
    std::string text;
    if (ReadSmall(lockPath_, text) && text == content_)
        ::unlink(lockPath_.c_str());
}

} // namespace workbook
