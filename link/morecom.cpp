// Serial module on POSIX: a COM port is a tty device opened non-blocking,
// held exclusively (flock for every process, TIOCEXCL for non-root ones) and
// set raw 8N1 without flow control.
#include "morecom.h"

#include "devices.h"
#include "exchange.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace MoreCOM
{

int32_t BaudRate = 9600;
double ReplyTimeout = 1.15e-5;
int32_t StopFlag = 0;
int CurrentHandle = NoHandle;
int32_t PortIndex = 0;
int32_t LastError = 0;
bool DeviceGone = false;
std::string OpenFailureReason;
std::array<std::string, 61> ReplyFields;

const std::array<SpeedRow, 7> SpeedTable = {{
    {300, 4.6e-5},
    {600, 3.45e-5},
    {1200, 2.3e-5},
    {2400, 1.15e-5},
    {4800, 1.15e-5},
    {9600, 4.6e-6},
    {19200, 4.6e-6},
}};

std::array<PortEntry, 256> PortTable;

namespace
{

std::map<int, std::string> &PortPaths()
{
    static std::map<int, std::string> paths;
    return paths;
}

EventHook &Hook()
{
    static EventHook hook;
    return hook;
}

// Line settings found at opening, by descriptor, put back at closing.
std::map<int, termios> &OpenPorts()
{
    static std::map<int, termios> ports;
    return ports;
}

std::string Errno(const std::string &what, int err)
{
    return what + ": " + std::strerror(err);
}

std::string OpenErrorText(const std::string &path, int err)
{
    switch (err) {
    case ENOENT:
        return Errno("cannot open", err) + " (unplugged, or the mapping in PORTS is stale)";
    case EACCES:
    case EPERM: {
        const std::string g = OwningGroup(path);
        return Errno("cannot open", err) + "; add the user to the group " + g +
               " (sudo usermod -aG " + g + " $USER) and log in again";
    }
    case EBUSY:
        return Errno("cannot open", err) + " (held by another program)";
    default:
        return Errno("cannot open", err);
    }
}

bool SpeedConstant(int32_t baud, speed_t &out)
{
    static const std::pair<int32_t, speed_t> speeds[] = {
        {300, B300},   {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    };
    for (const auto &[rate, constant] : speeds) {
        if (rate == baud) {
            out = constant;
            return true;
        }
    }
    return false;
}

// The flags that decide how bytes travel; tcsetattr succeeds when any change
// was applied, so these are compared after setting to catch a partial refusal.
bool LineMatches(const termios &want, const termios &got)
{
    const tcflag_t cmask = CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    const tcflag_t imask = IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT;
    const tcflag_t lmask = ICANON | ECHO | ISIG | IEXTEN;
    return cfgetispeed(&want) == cfgetispeed(&got) && cfgetospeed(&want) == cfgetospeed(&got) &&
           (want.c_cflag & cmask) == (got.c_cflag & cmask) &&
           (want.c_iflag & imask) == (got.c_iflag & imask) &&
           (want.c_lflag & lmask) == (got.c_lflag & lmask) &&
           (want.c_oflag & OPOST) == (got.c_oflag & OPOST) && want.c_cc[VMIN] == got.c_cc[VMIN] &&
           want.c_cc[VTIME] == got.c_cc[VTIME];
}

// ENOTTY (EINVAL before Linux 5.13) means the device has no modem lines, as a
// pseudo-terminal: nothing to set, not a failure.
bool ModemCall(int fd, unsigned long request, int *arg)
{
    int r = arg ? ioctl(fd, request, arg) : ioctl(fd, request);
    return r == 0 || errno == ENOTTY || errno == EINVAL;
}

// Line settings: raw 8N1, no flow control, receiver on, modem status ignored.
// VMIN=1 with O_NONBLOCK makes "no data" EAGAIN, so a read of 0 means hang-up.
// On failure `step` names what was refused (errno tells the system's reason).
bool Configure(int fd, std::string &step)
{
    step = "cannot read the line settings";
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    speed_t speed;
    step = "speed " + std::to_string(BaudRate) + " not supported";
    errno = EINVAL;
    if (!SpeedConstant(BaudRate, speed) || cfsetispeed(&tio, speed) != 0 ||
        cfsetospeed(&tio, speed) != 0)
        return false;
    step = "line settings refused";
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return false;
    termios back{};
    if (tcgetattr(fd, &back) != 0)
        return false;
    step = "line settings only partly taken";
    errno = EINVAL;
    if (!LineMatches(tio, back))
        return false;
    // Modem lines after the speed: leaving B0 raises DTR on a UART.
    step = "cannot set RTS, DTR or break";
    int rts = TIOCM_RTS;
    int dtr = TIOCM_DTR;
    if (!ModemCall(fd, TIOCMBIS, &rts) || !ModemCall(fd, TIOCMBIC, &dtr) ||
        !ModemCall(fd, TIOCCBRK, nullptr))
        return false;
    step = "cannot discard the input";
    return tcflush(fd, TCIFLUSH) == 0;
}

} // namespace

bool OpenPort()
{
    const int com = PortIndex + 1;
    const std::string path = PortPath(com);
    auto fail = [&](int32_t code, const std::string &why) {
        CurrentHandle = NoHandle;
        LastError = code;
        OpenFailureReason = "COM" + std::to_string(com) + " (" + path + "): " + why;
        return false;
    };
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fail(ErrCannotOpen, OpenErrorText(path, errno));
    struct stat st {
    };
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        ::close(fd);
        return fail(ErrNotSerial, "not a character device, so not a serial port");
    }
    // Somebody's terminal or the console: leave it untouched.
    if (const std::string why = TerminalInUse(fd, path); !why.empty()) {
        ::close(fd);
        return fail(ErrCannotOpen, why);
    }
    // Another holder of the port: flock stops every process (root too).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return fail(ErrCannotOpen, err == EWOULDBLOCK ? "held by another program (locked)"
                                                      : Errno("cannot lock", err));
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        const int err = errno;
        ::close(fd);
        return fail(ErrSetup, Errno("cannot take exclusive use (TIOCEXCL)", err));
    }
    termios saved{};
    if (tcgetattr(fd, &saved) != 0) {
        const int err = errno;
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return fail(ErrSetup, Errno("cannot read the line settings", err));
    }
    std::string step;
    if (!Configure(fd, step)) {
        const int err = errno;
        tcsetattr(fd, TCSANOW, &saved);
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return fail(ErrSetup, Errno(step, err));
    }
    OpenPorts()[fd] = saved;
    ResetGuard(fd);
    OpenFailureReason.clear();
    CurrentHandle = fd;
    return true;
}

std::string ErrorText(int code)
{
    switch (code) {
    case 0:
        return "Ошибок нет";
    case 5:
        return "Нельзя открыть   COM-порт";
    case 6:
        return "Ошибка установок COM-порта";
    case 7:
        return "Неправильный ответ";
    case 9:
        return "Нет ответа";
    case 10:
        return "Неизвестный  прибор";
    case 15:
        return "Ошибочная длина строки";
    case 16:
        return "Невозможно записать в COM-порт";
    case 17:
        return "Досрочное завершение операции";
    case 18:
        return "Невозможно считать из COM-порта";
    case 21:
        return "COM-порт не существует";
    default:
        return "Неизвестная ошибка  " + std::to_string(code);
    }
}

void ApplySpeed(int speedIndex)
{
    if (speedIndex < 0 || speedIndex >= static_cast<int>(SpeedTable.size()))
        return;
    BaudRate = SpeedTable[speedIndex].baud;
    ReplyTimeout = SpeedTable[speedIndex].timeoutDays;
}

void ClosePort(int handle)
{
    if (handle < 0)
        return;
    // Unsent output is abandoned: a UART's close would otherwise wait for it to drain.
    tcflush(handle, TCOFLUSH);
    auto it = OpenPorts().find(handle);
    if (it != OpenPorts().end()) {
        tcsetattr(handle, TCSANOW, &it->second);
        OpenPorts().erase(it);
    }
    ioctl(handle, TIOCNXCL);
    ::close(handle);
    ResetGuard(handle);
    if (CurrentHandle == handle)
        CurrentHandle = NoHandle;
}

void SetPortPath(int comNumber, const std::string &path)
{
    if (path.empty())
        PortPaths().erase(comNumber);
    else
        PortPaths()[comNumber] = path;
}

void ClearPortPaths()
{
    PortPaths().clear();
}

std::string PortPath(int comNumber)
{
    auto it = PortPaths().find(comNumber);
    if (it != PortPaths().end())
        return it->second;
    return DefaultPortPath(comNumber);
}

std::string DefaultPortPath(int comNumber)
{
    return "/dev/ttyS" + std::to_string(comNumber - 1);
}

void SetEventHook(EventHook hook)
{
    Hook() = std::move(hook);
}

void WaitForEvent(int fd, WaitFor what, double deadlineDays)
{
    // A copy, so a hook that replaces itself is not destroyed while it runs.
    const EventHook hook = Hook();
    if (hook)
        hook(fd, what, deadlineDays);
    else
        PollWait(fd, what, deadlineDays);
}

void ProcessEvents()
{
    const EventHook hook = Hook();
    if (hook)
        hook(NoHandle, WaitFor::Events, 0.0);
}

void PollWait(int fd, WaitFor what, double deadlineDays)
{
    const double left = (deadlineDays - MonotonicDays()) * 86400.0;
    if (left <= 0)
        return;
    // Rounded up to the microsecond, so the wait never ends just before the deadline.
    const double micros = std::ceil(left * 1e6);
    timespec ts{static_cast<time_t>(micros / 1e6),
                static_cast<long>(std::fmod(micros, 1e6)) * 1000};
    if (fd >= 0 && what != WaitFor::Events) {
        pollfd p{fd, static_cast<short>(what == WaitFor::Input ? POLLIN : POLLOUT), 0};
        ppoll(&p, 1, &ts, nullptr);
    } else {
        ppoll(nullptr, 0, &ts, nullptr);
    }
}

double MonotonicDays()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9) / 86400.0;
}

} // namespace MoreCOM
