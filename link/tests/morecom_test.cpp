// Serial module: error texts, speeds, port names, and opening ports on
// pseudo-terminals, files and devices that are not serial ports.
#include "devices.h"
#include "link_fixture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace
{

int OpenDescriptors()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

} // namespace

TEST(ErrorTextTest, TextsOfTheCodeTable)
{
    EXPECT_EQ(MoreCOM::ErrorText(0), "Ошибок нет");
    EXPECT_EQ(MoreCOM::ErrorText(5), "Нельзя открыть   COM-порт");
    EXPECT_EQ(MoreCOM::ErrorText(6), "Ошибка установок COM-порта");
    EXPECT_EQ(MoreCOM::ErrorText(7), "Неправильный ответ");
    EXPECT_EQ(MoreCOM::ErrorText(9), "Нет ответа");
    EXPECT_EQ(MoreCOM::ErrorText(10), "Неизвестный  прибор");
    EXPECT_EQ(MoreCOM::ErrorText(15), "Ошибочная длина строки");
    EXPECT_EQ(MoreCOM::ErrorText(16), "Невозможно записать в COM-порт");
    EXPECT_EQ(MoreCOM::ErrorText(17), "Досрочное завершение операции");
    EXPECT_EQ(MoreCOM::ErrorText(18), "Невозможно считать из COM-порта");
    EXPECT_EQ(MoreCOM::ErrorText(21), "COM-порт не существует");
    EXPECT_EQ(MoreCOM::ErrorText(19), "Неизвестная ошибка  19");
    EXPECT_EQ(MoreCOM::ErrorText(-3), "Неизвестная ошибка  -3");
}

TEST(SpeedTest, RowsApplyAndOtherIndicesChangeNothing)
{
    MoreCOM::ApplySpeed(0);
    EXPECT_EQ(MoreCOM::BaudRate, 300);
    EXPECT_DOUBLE_EQ(MoreCOM::ReplyTimeout, 4.6e-5);
    MoreCOM::ApplySpeed(4);
    EXPECT_EQ(MoreCOM::BaudRate, 4800);
    EXPECT_DOUBLE_EQ(MoreCOM::ReplyTimeout, 1.15e-5);
    MoreCOM::ApplySpeed(3);
    EXPECT_DOUBLE_EQ(MoreCOM::ReplyTimeout, 1.15e-5);
    MoreCOM::ApplySpeed(-1);
    MoreCOM::ApplySpeed(7);
    EXPECT_EQ(MoreCOM::BaudRate, 2400);
    EXPECT_DOUBLE_EQ(MoreCOM::ReplyTimeout, 1.15e-5);
    MoreCOM::ApplySpeed(5);
}

TEST(PortPathTest, MappingOrSerialDeviceByNumber)
{
    MoreCOM::ClearPortPaths();
    EXPECT_EQ(MoreCOM::PortPath(1), "/dev/ttyS0");
    EXPECT_EQ(MoreCOM::PortPath(12), "/dev/ttyS11");
    MoreCOM::SetPortPath(12, "/dev/ttyUSB0");
    EXPECT_EQ(MoreCOM::PortPath(12), "/dev/ttyUSB0");
    EXPECT_EQ(MoreCOM::PortPath(1), "/dev/ttyS0");
    MoreCOM::SetPortPath(12, "");
    EXPECT_EQ(MoreCOM::PortPath(12), "/dev/ttyS11");
}

using OpenPortTest = LinkTest;

TEST_F(OpenPortTest, FailuresLeaveNothingOpen)
{
    char file[] = "/tmp/ptk71-link-XXXXXX";
    const int tmp = mkstemp(file);
    ASSERT_GE(tmp, 0);
    close(tmp);
    const int before = OpenDescriptors();
    struct Case {
        std::string path;
        int code;
    };
    for (const Case &c : {Case{"/nonexistent/ptk71-port", 5}, Case{"/tmp", 5}, Case{file, 21},
                          Case{"/dev/null", 6}}) {
        MoreCOM::LastError = 0;
        MoreCOM::CurrentHandle = 77;
        EXPECT_FALSE(Open(3, c.path)) << c.path;
        EXPECT_EQ(MoreCOM::LastError, c.code) << c.path;
        EXPECT_EQ(MoreCOM::CurrentHandle, MoreCOM::NoHandle) << c.path;
        EXPECT_EQ(OpenDescriptors(), before) << c.path;
    }
    unlink(file);
}

TEST_F(OpenPortTest, UnsupportedSpeedIsASetupFailure)
{
    TestPty pty;
    ASSERT_FALSE(pty.path.empty());
    const int before = OpenDescriptors();
    MoreCOM::BaudRate = 12345;
    EXPECT_FALSE(Open(1, pty.path));
    EXPECT_EQ(MoreCOM::LastError, 6);
    EXPECT_EQ(OpenDescriptors(), before);
    // Exclusive use was given back: the port opens at a valid speed.
    MoreCOM::BaudRate = 9600;
    EXPECT_TRUE(Open(1, pty.path));
}

TEST_F(OpenPortTest, LineSettingsSeenFromTheOtherSide)
{
    TestPty pty;
    ASSERT_FALSE(pty.path.empty());
    MoreCOM::ApplySpeed(6);
    MoreCOM::LastError = 42;
    ASSERT_TRUE(Open(1, pty.path));
    EXPECT_EQ(MoreCOM::LastError, 42); // success leaves it alone
    EXPECT_GE(MoreCOM::CurrentHandle, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B19200);
    EXPECT_EQ(cfgetispeed(&tio), B19200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    MoreCOM::ApplySpeed(5);
}

TEST_F(OpenPortTest, InputBeforeOpeningIsDiscardedAndReadsDoNotWait)
{
    TestPty pty;
    ASSERT_FALSE(pty.path.empty());
    ASSERT_EQ(write(pty.master, "!1;old;1\r", 9), 9);
    ASSERT_TRUE(Open(1, pty.path));
    char buf[16];
    EXPECT_EQ(read(MoreCOM::CurrentHandle, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EAGAIN);
    // Bytes sent after opening pass through untouched (no CR/NL translation).
    ASSERT_EQ(write(pty.master, "\x13\r\n", 3), 3);
    usleep(20000);
    ASSERT_EQ(read(MoreCOM::CurrentHandle, buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "\x13\r\n");
}

TEST_F(OpenPortTest, APortHeldIsRefusedUntilClosed)
{
    TestPty pty;
    ASSERT_FALSE(pty.path.empty());
    ASSERT_TRUE(Open(1, pty.path));
    const int first = MoreCOM::CurrentHandle;
    EXPECT_FALSE(Open(2, pty.path));
    EXPECT_EQ(MoreCOM::LastError, 5);
    EXPECT_EQ(MoreCOM::ErrorText(MoreCOM::LastError), "Нельзя открыть   COM-порт");
    MoreCOM::CurrentHandle = first;
    MoreCOM::ClosePort(first);
    EXPECT_EQ(MoreCOM::CurrentHandle, MoreCOM::NoHandle);
    EXPECT_TRUE(Open(2, pty.path));
}

// A terminal opened by mistake (a stale mapping) gets its settings back:
// cooked, echoing, at its old speed.
TEST_F(OpenPortTest, ClosingPutsBackTheLineSettingsFound)
{
    TestPty pty(false);
    ASSERT_FALSE(pty.path.empty());
    const int master = pty.master;
    const char *name = pty.path.c_str();
    termios before{};
    ASSERT_EQ(tcgetattr(master, &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0u) << "a fresh terminal echoes";

    MoreCOM::ApplySpeed(0);
    ASSERT_TRUE(Open(4, name));
    termios during{};
    ASSERT_EQ(tcgetattr(master, &during), 0);
    EXPECT_EQ(during.c_lflag & (ECHO | ICANON), 0u);
    MoreCOM::ClosePort(MoreCOM::CurrentHandle);

    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
    // A refused configuration leaves them as they were, too.
    MoreCOM::BaudRate = 12345;
    EXPECT_FALSE(Open(4, name));
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    MoreCOM::ApplySpeed(5);
}

TEST_F(OpenPortTest, TheReasonOfAFailureNamesPortPathAndCause)
{
    EXPECT_FALSE(Open(7, "/nonexistent/ttyUSB9"));
    EXPECT_EQ(MoreCOM::OpenFailureReason, "COM7 (/nonexistent/ttyUSB9): cannot open: No such "
                                          "file or directory (unplugged, or the mapping in PORTS "
                                          "is stale)");
    TestPty pty;
    ASSERT_TRUE(Open(1, pty.path));
    const int held = MoreCOM::CurrentHandle;
    EXPECT_FALSE(Open(2, pty.path));
    EXPECT_NE(MoreCOM::OpenFailureReason.find("held by another program"), std::string::npos)
        << MoreCOM::OpenFailureReason;
    MoreCOM::ClosePort(held);
    MoreCOM::BaudRate = 12345;
    EXPECT_FALSE(Open(2, pty.path));
    EXPECT_NE(MoreCOM::OpenFailureReason.find("speed 12345 not supported"), std::string::npos)
        << MoreCOM::OpenFailureReason;
    MoreCOM::BaudRate = 9600;
    ASSERT_TRUE(Open(2, pty.path));
    EXPECT_TRUE(MoreCOM::OpenFailureReason.empty());
    if (geteuid() != 0) {
        // Only without root: the owner's group is what to join.
        char file[] = "/tmp/ptk71-perm-XXXXXX";
        const int fd = mkstemp(file);
        fchmod(fd, 0);
        close(fd);
        EXPECT_FALSE(Open(3, file));
        EXPECT_NE(MoreCOM::OpenFailureReason.find("add the user to the group"), std::string::npos);
        unlink(file);
    }
}

// A stale mapping that now names somebody's terminal (a reused pseudo-terminal
// number, a getty's line) is refused before anything is changed on it, and the
// ports dialog's probe shows it as held.
TEST_F(OpenPortTest, SomebodysTerminalIsLeftAlone)
{
    TestPty pty(false);
    ASSERT_FALSE(pty.path.empty());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t shell = fork();
    if (shell == 0) {
        // A new session whose controlling terminal is the slave, as a login shell's is.
        setsid();
        const int fd = open(pty.path.c_str(), O_RDWR);
        const char ok = fd >= 0 ? 1 : 0;
        [[maybe_unused]] ssize_t n = write(ready[1], &ok, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    ASSERT_EQ(ok, 1);
    termios before{};
    ASSERT_EQ(tcgetattr(pty.master, &before), 0);

    EXPECT_FALSE(Open(2, pty.path));
    EXPECT_EQ(MoreCOM::LastError, 5);
    EXPECT_NE(MoreCOM::OpenFailureReason.find("terminal of a running session"), std::string::npos)
        << MoreCOM::OpenFailureReason;
    termios after{};
    ASSERT_EQ(tcgetattr(pty.master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(MoreCOM::ProbePort(pty.path).state, MoreCOM::PortState::Held);

    kill(shell, SIGKILL);
    waitpid(shell, nullptr, 0);
    // Once the session has gone, the line is free for use.
    EXPECT_TRUE(Open(2, pty.path)) << MoreCOM::OpenFailureReason;
}
