// Serial devices of this machine: the list a port mapping offers, and what
// opening a path would meet, found without opening it (opening a UART raises
// its DTR and RTS lines, which resets some instruments).
#pragma once

#include <string>
#include <vector>

namespace MoreCOM
{

/// Serial devices present: the stable names in /dev/serial/by-id first, then
/// /dev/ttyUSB*, /dev/ttyACM* and the /dev/ttyS* that have a UART behind them,
/// each group in natural order (ttyUSB2 before ttyUSB10). `devRoot` and
/// `sysRoot` stand for /dev and /sys (tests give a tree of their own).
std::vector<std::string> SerialDevices(const std::string &devRoot = "/dev",
                                       const std::string &sysRoot = "/sys");

/// What opening a port's path would meet.
enum class PortState {
    Present,      ///< a serial device this user may open
    Absent,       ///< nothing there (unplugged, stale mapping, a UART slot without a chip)
    NotPermitted, ///< no read/write permission: the user is not in the device's group
    Held,         ///< locked by another program, or a running session's terminal
    NotSerial,    ///< not a serial line: a file, /dev/null, a virtual console
    Console,      ///< the system console's line
};

struct PortProbe {
    PortState state = PortState::Absent;
    /// The system's error (Absent), the group to join (NotPermitted), the
    /// holding program's name when known (Held); empty otherwise.
    std::string detail;
};

/// Probes `path` without opening it: stat, the tty driver behind the device
/// number (/proc/tty/drivers), permission, the console list and the UART type
/// under `sysRoot`, and the locks other programs keep on it
/// (flock and POSIX locks in /proc/locks, UUCP lock files LCK..name in
/// /var/lock and /run/lock). A program that holds a port open without any lock
/// is not seen; opening then fails with EBUSY if it asked for exclusive use.
PortProbe ProbePort(const std::string &path, const std::string &sysRoot = "/sys");

/// Why the terminal open on `fd` (opened from `path`) must not be used as an
/// instrument line, or "" when nothing speaks against it: it is the system
/// console, or the controlling terminal of a running session (somebody's shell
/// or a getty, reached through a stale mapping or a reused pseudo-terminal
/// number). Changing its settings or writing to it would wreck that terminal.
std::string TerminalInUse(int fd, const std::string &path, const std::string &sysRoot = "/sys");

/// The group that owns `path`, the one to add the user to; "dialout" when the
/// path or its group cannot be looked up, or the group is root's.
std::string OwningGroup(const std::string &path);

} // namespace MoreCOM
