// Serial device list and side-effect-free probing of a port's path.
#include "devices.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace MoreCOM
{

namespace
{

namespace fs = std::filesystem;

std::string FirstLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

bool AllDigits(const std::string &s)
{
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Names `prefix` + a number found in `dir`, ordered by the number.
std::vector<std::string> Numbered(const std::string &dir, const std::string &prefix)
{
    std::vector<std::pair<long, std::string>> found;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string number = name.substr(prefix.size());
        if (AllDigits(number) && number.size() < 9)
            found.emplace_back(std::stol(number), name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto &[number, name] : found)
        names.push_back(std::move(name));
    return names;
}

// A serial-core port slot without a chip reports type 0 ("unknown").
bool EmptyUartSlot(const std::string &sysRoot, const std::string &name)
{
    const std::string type = FirstLine(sysRoot + "/class/tty/" + name + "/type");
    return type == "0";
}

std::string ResolvedName(const std::string &path)
{
    char resolved[PATH_MAX];
    const std::string real = ::realpath(path.c_str(), resolved) ? resolved : path;
    return real.substr(real.rfind('/') + 1);
}

bool IsConsole(const std::string &sysRoot, const std::string &name)
{
    std::istringstream active(FirstLine(sysRoot + "/class/tty/console/active"));
    std::string tty;
    while (active >> tty)
        if (tty == name)
            return true;
    return false;
}

bool Alive(long pid)
{
    return pid > 0 && pid <= INT_MAX && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::string ProgramName(long pid)
{
    return FirstLine("/proc/" + std::to_string(pid) + "/comm");
}

// The process holding a flock, POSIX or open-file lock on the file `st`
// describes, from /proc/locks: "1: FLOCK  ADVISORY  WRITE <pid> <maj>:<min>:<inode> ...".
long LockHolder(const struct stat &st)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string token, previous;
        while (fields >> token) {
            unsigned int maj = 0, min = 0;
            unsigned long long ino = 0;
            char tail = 0;
            if (std::sscanf(token.c_str(), "%x:%x:%llu%c", &maj, &min, &ino, &tail) == 3) {
                if (maj == major(st.st_dev) && min == minor(st.st_dev) && ino == st.st_ino &&
                    AllDigits(previous))
                    return std::stol(previous);
                break;
            }
            previous = token;
        }
    }
    return 0;
}

// The live process named by a UUCP lock file for `name` (its pid as text, or
// as a binary int in the oldest form).
long LockFileHolder(const std::string &name)
{
    for (const char *dir : {"/var/lock", "/run/lock"}) {
        std::ifstream in(std::string(dir) + "/LCK.." + name, std::ios::binary);
        if (!in)
            continue;
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        long pid = 0;
        const std::string text = data.substr(0, data.find_first_of("\n\r"));
        std::istringstream parse(text);
        if (!(parse >> pid) && data.size() == sizeof(int)) {
            int binary = 0;
            std::memcpy(&binary, data.data(), sizeof binary);
            pid = binary;
        }
        if (Alive(pid))
            return pid;
    }
    return 0;
}

// Whether the character device `st` names belongs to a serial or pseudo-terminal
// slave driver, from /proc/tty/drivers ("name  /dev/prefix  major  minor[-last]  type").
// Other drivers (memory devices, the console, virtual terminals) are no serial ports. When
// the list cannot be read, any character device passes.
bool SerialDriver(const struct stat &st)
{
    std::ifstream drivers("/proc/tty/drivers");
    if (!drivers)
        return true;
    const unsigned int maj = major(st.st_rdev), min = minor(st.st_rdev);
    std::string line;
    while (std::getline(drivers, line)) {
        std::istringstream fields(line);
        std::string name, prefix, minors, type;
        unsigned int lineMajor = 0;
        if (!(fields >> name >> prefix >> lineMajor >> minors >> type) || lineMajor != maj)
            continue;
        unsigned int first = 0, last = 0;
        const int n = std::sscanf(minors.c_str(), "%u-%u", &first, &last);
        if (n < 1 || min < first || min > (n == 2 ? last : first))
            continue;
        return type.rfind("serial", 0) == 0 || type == "pty:slave";
    }
    return false;
}

// The program of a session whose controlling terminal is the device `st`
// describes ("process N" when its name cannot be read), or "" when there is
// none. A terminal tells its session only to its own processes, so this looks
// through /proc/PID/stat (field 7: major in bits 8-15, minor in bits 0-7 and 20-31).
std::string SessionOn(const struct stat &st)
{
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc", ec)) {
        const std::string pid = entry.path().filename().string();
        if (!AllDigits(pid))
            continue;
        const std::string stat = FirstLine("/proc/" + pid + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 1));
        std::string state;
        long parent = 0, group = 0, session = 0;
        unsigned long long tty = 0;
        if (!(fields >> state >> parent >> group >> session >> tty) || tty == 0)
            continue;
        const unsigned int ttyMajor = (tty >> 8) & 0xfff;
        const unsigned int ttyMinor = (tty & 0xff) | ((tty >> 12) & 0xfff00);
        if (ttyMajor != major(st.st_rdev) || ttyMinor != minor(st.st_rdev))
            continue;
        const long leader = session > 0 ? session : std::stol(pid);
        const std::string program = ProgramName(leader);
        return program.empty() ? "process " + std::to_string(leader) : program;
    }
    return {};
}

} // namespace

std::vector<std::string> SerialDevices(const std::string &devRoot, const std::string &sysRoot)
{
    std::vector<std::string> devices;
    std::error_code ec;
    std::vector<std::string> stable;
    for (const auto &entry : fs::directory_iterator(devRoot + "/serial/by-id", ec)) {
        std::error_code sec;
        if (fs::exists(entry.path(), sec)) // a link whose device is gone is left out
            stable.push_back(entry.path().string());
    }
    std::sort(stable.begin(), stable.end());
    devices.insert(devices.end(), stable.begin(), stable.end());
    for (const char *prefix : {"ttyUSB", "ttyACM"})
        for (const std::string &name : Numbered(devRoot, prefix))
            devices.push_back(devRoot + "/" + name);
    for (const std::string &name : Numbered(devRoot, "ttyS"))
        if (!EmptyUartSlot(sysRoot, name))
            devices.push_back(devRoot + "/" + name);
    return devices;
}

std::string OwningGroup(const std::string &path)
{
    struct stat st {
    };
    if (::stat(path.c_str(), &st) == 0 && st.st_gid != 0) {
        group gr{};
        group *found = nullptr;
        char buf[1024];
        if (getgrgid_r(st.st_gid, &gr, buf, sizeof buf, &found) == 0 && found != nullptr)
            return found->gr_name;
    }
    return "dialout";
}

std::string TerminalInUse(int fd, const std::string &path, const std::string &sysRoot)
{
    if (IsConsole(sysRoot, ResolvedName(path)))
        return "the system console, not an instrument line";
    struct stat st {
    };
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    if (const std::string user = SessionOn(st); !user.empty())
        return "the terminal of a running session (" + user +
               "), not an instrument line: is the mapping in PORTS stale?";
    return {};
}

PortProbe ProbePort(const std::string &path, const std::string &sysRoot)
{
    PortProbe probe;
    struct stat st {
    };
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        const int err = path.empty() ? ENOENT : errno;
        probe.state = err == EACCES ? PortState::NotPermitted : PortState::Absent;
        probe.detail = err == EACCES ? OwningGroup(path) : std::strerror(err);
        return probe;
    }
    if (!S_ISCHR(st.st_mode) || !SerialDriver(st)) {
        probe.state = PortState::NotSerial;
        return probe;
    }
    const std::string name = ResolvedName(path);
    if (EmptyUartSlot(sysRoot, name)) {
        probe.state = PortState::Absent;
        probe.detail = "no UART behind " + name;
        return probe;
    }
    if (IsConsole(sysRoot, name)) {
        probe.state = PortState::Console;
        return probe;
    }
    if (::access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
        probe.state = PortState::NotPermitted;
        probe.detail = OwningGroup(path);
        return probe;
    }
    long holder = LockHolder(st);
    if (holder == 0)
        holder = LockFileHolder(name);
    if (holder != 0) {
        probe.state = PortState::Held;
        probe.detail = ProgramName(holder);
        return probe;
    }
    // Somebody's terminal (a reused pseudo-terminal number): held by its session.
    if (const std::string user = SessionOn(st); !user.empty()) {
        probe.state = PortState::Held;
        probe.detail = user;
        return probe;
    }
    probe.state = PortState::Present;
    return probe;
}

} // namespace MoreCOM
