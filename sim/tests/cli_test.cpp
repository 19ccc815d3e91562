// ptk71-sim as a process: ready lines, the settings file, signals, bad input.
#include "exchange.h"
#include "inistore.h"
#include "morecom.h"

#include <climits>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

std::string ToolPath()
{
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir(self, n > 0 ? n : 0);
    return dir.substr(0, dir.rfind('/')) + "/ptk71-sim";
}

struct Tool {
    pid_t pid = -1;
    int out = -1;
    int err = -1;

    explicit Tool(const std::vector<std::string> &args)
    {
        int o[2], e[2];
        if (pipe2(o, O_CLOEXEC) || pipe2(e, O_CLOEXEC))
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, o[1], 1);
        posix_spawn_file_actions_adddup2(&fa, e[1], 2);
        std::vector<std::string> all{ToolPath()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(o[1]);
        close(e[1]);
        out = o[0];
        err = e[0];
    }
    ~Tool()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(out);
        close(err);
    }
    // Reads from `fd` until `lines` newlines arrived, the stream ended or 5 s passed.
    static std::string Read(int fd, int lines)
    {
        std::string text;
        char buf[512];
        while (std::count(text.begin(), text.end(), '\n') < lines) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                break;
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, n);
        }
        return text;
    }
    int Wait()
    {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

} // namespace

TEST(SimToolTest, ServesPortsWritesTheSettingsFileAndStopsOnSignal)
{
    char dir[] = "/tmp/ptk71-sim-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string ini = std::string(dir) + "/ptk71.ini";
    {
        IniStore store(ini);
        ASSERT_TRUE(store.WriteString("PARAM", "Speed", "6"));
        ASSERT_TRUE(store.WriteString("PORTS", "COM9", "/dev/old"));
        ASSERT_TRUE(store.WriteString("PORTS", "COM1", "/dev/ttyUSB0"));
    }
    Tool tool({"--ini", ini, "-v", "COM2:1", "COM9:3,4"});
    ASSERT_GT(tool.pid, 0);
    const std::string out = Tool::Read(tool.out, 2);
    const size_t nl = out.find('\n');
    ASSERT_NE(nl, std::string::npos) << out;
    const std::string com2 = out.substr(0, nl);
    const std::string com9 = out.substr(nl + 1, out.find('\n', nl + 1) - nl - 1);
    ASSERT_EQ(com2.rfind("COM2=/dev/pts/", 0), 0u) << out;
    ASSERT_EQ(com9.rfind("COM9=/dev/pts/", 0), 0u) << out;

    IniStore store(ini);
    EXPECT_EQ(store.ReadString("PARAM", "Speed", ""), "6");
    EXPECT_EQ(store.ReadString("PORTS", "COM1", ""), "/dev/ttyUSB0");
    EXPECT_EQ("COM2=" + store.ReadString("PORTS", "COM2", ""), com2);
    EXPECT_EQ("COM9=" + store.ReadString("PORTS", "COM9", ""), com9);

    const std::string path9 = com9.substr(5);
    MoreCOM::SetPortPath(9, path9);
    MoreCOM::PortIndex = 8;
    MoreCOM::ReplyTimeout = 1.0 / 86400;
    ASSERT_TRUE(MoreCOM::OpenPort());
    EXPECT_TRUE(MoreCOM::Exchange("1;2;", 4));
    EXPECT_TRUE(MoreCOM::ParseReply(4, 1));
    const std::string trace = Tool::Read(tool.err, 2);
    EXPECT_NE(trace.find("COM9 request address 4 channel 2"), std::string::npos) << trace;
    MoreCOM::ClosePort(MoreCOM::CurrentHandle);
    MoreCOM::ClearPortPaths();

    // Someone else maps COM2 meanwhile: that entry is theirs now.
    ASSERT_TRUE(IniStore(ini).WriteString("PORTS", "COM2", "/dev/ttyUSB3"));
    kill(tool.pid, SIGTERM);
    EXPECT_EQ(tool.Wait(), 0);
    struct stat st {
    };
    EXPECT_NE(stat(path9.c_str(), &st), 0); // its pseudo-terminal is gone
    // The entries it wrote are put back as they were.
    IniStore after(ini);
    EXPECT_EQ(after.ReadString("PORTS", "COM9", ""), "/dev/old");
    EXPECT_EQ(after.ReadString("PORTS", "COM2", ""), "/dev/ttyUSB3");
    EXPECT_EQ(after.ReadString("PORTS", "COM1", ""), "/dev/ttyUSB0");
    EXPECT_EQ(after.ReadString("PARAM", "Speed", ""), "6");

    // An entry that did not exist before ends up empty: it maps nothing. A
    // closed terminal (SIGHUP) puts the entries back as well.
    Tool second({"--ini", ini, "COM5:1"});
    ASSERT_EQ(Tool::Read(second.out, 1).rfind("COM5=/dev/pts/", 0), 0u);
    EXPECT_NE(IniStore(ini).ReadString("PORTS", "COM5", ""), "");
    kill(second.pid, SIGHUP);
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_EQ(IniStore(ini).ReadString("PORTS", "COM5", "none"), "");
    unlink(ini.c_str());
    rmdir(dir);
}

TEST(SimToolTest, BadInputGivesUsageAndStatus2)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"COM0:1"},
        {"COM257:1"},
        {"COM1:"},
        {"COM1:1,x"},
        {"COM1:255"},
        {"LPT1:1"},
        {"COM1:1", "COM1:2"},
        {"--wave", "square", "COM1:1"},
        {"--delay"},
        {"--late", "x", "COM1:1"},
        {"--bogus", "COM1:1"},
    };
    for (const auto &args : cases) {
        Tool tool(args);
        const std::string err = Tool::Read(tool.err, 2);
        EXPECT_EQ(tool.Wait(), 2) << (args.empty() ? "" : args[0]);
        EXPECT_NE(err.find("usage: ptk71-sim"), std::string::npos) << err;
    }
}
