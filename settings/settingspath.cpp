#include "settingspath.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace
{

constexpr const char *DeletedSuffix = " (deleted)";

bool Absolute(const char *path)
{
    return path != nullptr && path[0] == '/';
}

std::string HomeFolder()
{
    if (const char *home = std::getenv("HOME"); Absolute(home))
        return home;
    // No usable HOME (a service, a stripped environment): the password database's entry.
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && Absolute(found->pw_dir))
        return found->pw_dir;
    return "/";
}

// "/a/b/" -> "/a/b", and "/" -> "" so that a name can be appended with a '/'.
std::string WithoutTrailingSlashes(std::string path)
{
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}

std::string ConfigFolder()
{
    // A relative XDG_CONFIG_HOME is invalid and ignored, as an empty one is.
    std::string folder;
    if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); Absolute(xdg))
        folder = xdg;
    else
        folder = WithoutTrailingSlashes(HomeFolder()) + "/.config";
    return WithoutTrailingSlashes(folder);
}

std::string FolderOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

struct State {
    bool fixed = false;
    SettingsLocation own;      // the running program's, fixed at the first call
    SettingsLocation override; // tests and tools; empty path = none
};

State &TheState()
{
    static State state;
    return state;
}

} // namespace

bool SystemProgramFolder(const std::string &folder)
{
    return folder == "/bin" || folder == "/sbin" || folder == "/usr" ||
           folder.rfind("/usr/", 0) == 0;
}

SettingsLocation SettingsLocationFor(const std::string &executable)
{
    const std::string beside = executable + ".ini";
    const std::string folder = FolderOf(executable);
    struct stat st {
    };
    // Root may write into /usr/bin, but a file made there by "sudo ptk71" would become every
    // user's settings file (and none of them could write it): the folders that packages
    // install programs into count as read-only.
    if (::lstat(beside.c_str(), &st) == 0 ||
        (!SystemProgramFolder(folder) && ::access(folder.c_str(), W_OK) == 0))
        return {beside, false};
    return {ConfigFolder() + "/ptk71/ptk71.ini", true};
}

std::string ExecutablePath()
{
    std::string buf(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0)
        return "ptk71";
    buf.resize(static_cast<std::size_t>(n));
    const std::string suffix = DeletedSuffix;
    if (buf.size() > suffix.size() &&
        buf.compare(buf.size() - suffix.size(), suffix.size(), suffix) == 0)
        buf.resize(buf.size() - suffix.size());
    return buf;
}

const SettingsLocation &CurrentSettingsLocation()
{
    State &s = TheState();
    if (!s.fixed) {
        s.own = SettingsLocationFor(ExecutablePath());
        s.fixed = true;
    }
    return s.override.path.empty() ? s.own : s.override;
}

void SetSettingsLocation(SettingsLocation location)
{
    TheState().override = std::move(location);
}

bool MakeFolders(const std::string &folder, unsigned mode)
{
    struct stat st {
    };
    if (::stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const std::string parent = FolderOf(folder);
    if (parent != folder && !MakeFolders(parent, mode))
        return false;
    return ::mkdir(folder.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

bool PrepareSettingsFolder()
{
    const SettingsLocation &location = CurrentSettingsLocation();
    if (!location.createFolder)
        return true;
    return MakeFolders(FolderOf(location.path), 0700);
}
