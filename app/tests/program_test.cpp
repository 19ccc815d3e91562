// The ptk71 executable as a process: its two options, and a replaced executable that must
// not move the settings file while the program runs.
#include "settingspath.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char **environ;

namespace
{

namespace fs = std::filesystem;

std::string ProgramPath()
{
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string me(self, n > 0 ? static_cast<size_t>(n) : 0);
    return me.substr(0, me.rfind('/')) + "/ptk71";
}

// Runs the program with `args`, returns its exit status and standard output.
int RunProgram(const std::string &args, std::string &out,
               const std::vector<std::pair<std::string, std::string>> &env = {})
{
    std::string vars;
    for (const auto &[name, value] : env)
        vars += name + "='" + value + "' ";
    FILE *p =
        ::popen(("env " + vars + "'" + ProgramPath() + "' " + args + " 2>/dev/null").c_str(), "r");
    if (p == nullptr)
        return -1;
    char buf[512];
    out.clear();
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True once the process has a socket open: the program makes its signal socket pair right
// before it shows the main window, so signals are handled from then on.
bool HasSocket(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec)) {
        std::error_code rec;
        if (fs::read_symlink(entry.path(), rec).string().rfind("socket:", 0) == 0)
            return true;
    }
    return false;
}

int WaitFor(pid_t pid, std::chrono::seconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Program, VersionAndHelpPrintAndExitOtherArgumentsAreRefused)
{
    std::string out;
    EXPECT_EQ(RunProgram("--version", out), 0);
    EXPECT_EQ(out.rfind("ptk71 ", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

    EXPECT_EQ(RunProgram("-h", out), 0);
    EXPECT_EQ(out.rfind("Usage: ptk71", 0), 0u) << out;
    EXPECT_NE(out.find("--version"), std::string::npos);
    EXPECT_NE(out.find("\n  " + SettingsLocationFor(ProgramPath()).path + "\n"), std::string::npos)
        << "help names the settings file in use:\n"
        << out;

    EXPECT_EQ(RunProgram("-platform offscreen --port=/dev/ttyS0", out), 2);
    EXPECT_EQ(out, "");
    // Refused before the toolkit starts, so also without any display to connect to.
    EXPECT_EQ(RunProgram("--bogus", out, {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":9999"}}), 2);
}

TEST(Program, ReplacedExecutableKeepsItsSettingsFileAndTermClosesTheWindow)
{
    char pattern[] = "/tmp/ptk71-prog-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    const fs::path exe = dir / "ptk71";
    fs::copy_file(ProgramPath(), exe);

    std::string exeText = exe.string();
    char *argv[] = {exeText.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!HasSocket(pid) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(HasSocket(pid)) << "the program did not come up";

    // An update replaces the file under the running program.
    fs::copy_file(ProgramPath(), dir / "ptk71.new");
    fs::rename(dir / "ptk71.new", exe);

    // SIGTERM closes the main window as its close button does: the speed is saved.
    ::kill(pid, SIGTERM);
    EXPECT_EQ(WaitFor(pid, std::chrono::seconds(30)), 0);
    std::ifstream ini(dir / "ptk71.ini");
    std::stringstream text;
    text << ini.rdbuf();
    EXPECT_EQ(text.str(), "[PARAM]\nSpeed=5\n");
    EXPECT_FALSE(fs::exists(dir / "ptk71 (deleted).ini"));
    fs::remove_all(dir);
}

} // namespace
