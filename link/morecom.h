// Serial module MoreCOM: line settings, the port table, opening and closing a
// port, the stop flag and the link error codes with their texts.
//
// A procedural module with module-level state, used from the user-interface
// thread only: callers select a port (PortIndex for OpenPort, CurrentHandle
// for an exchange), call an operation that returns a boolean and read
// LastError after a false result. No exception crosses this interface.
//
// COM port n is a device path: SetPortPath fills the mapping (the settings
// load does, from the "PORTS" section of the settings file); without an entry
// COMn is /dev/ttyS<n-1>.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace MoreCOM
{

/// Value of a port handle that refers to no open port.
constexpr int NoHandle = -1;

/// Link error codes (see ErrorText for their texts).
enum LinkError : int32_t {
    ErrNone = 0,
    ErrCannotOpen = 5,
    ErrSetup = 6,
    ErrBadReply = 7,
    ErrNoReply = 9,
    ErrUnknownDevice = 10,
    ErrReplyLength = 15,
    ErrWrite = 16,
    ErrEarlyEnd = 17,
    ErrRead = 18,
    ErrBadRequest = 19,
    ErrNotSerial = 21,
};

/// Line speed in bit/s given to every port at opening.
extern int32_t BaudRate;
/// How long an exchange waits for a reply after sending, in days.
extern double ReplyTimeout;
/// 0 = carry on; non-zero = abort every wait of the exchange at its next check.
extern int32_t StopFlag;
/// Port (file descriptor) used by the next exchange; OpenPort leaves a new one here.
extern int CurrentHandle;
/// COM port number minus one: the port OpenPort opens.
extern int32_t PortIndex;
/// Code of the last failure of OpenPort or of the last exchange.
extern int32_t LastError;
/// Value fields of the last parsed reply; entry 1 is the first field (entry 0 unused).
extern std::array<std::string, 61> ReplyFields;

/// One row of the speed table: baud rate and the matching reply timeout in days.
struct SpeedRow {
    int32_t baud;
    double timeoutDays;
};
/// Speed selection index 0..6 -> baud rate and reply timeout.
extern const std::array<SpeedRow, 7> SpeedTable;

/// One entry of the run's port table, indexed by COM port number minus one.
struct PortEntry {
    int handle = NoHandle;
    bool open = false;
};
extern std::array<PortEntry, 256> PortTable;

/// Opens and configures COM port PortIndex+1 at BaudRate: raw 8N1, no flow
/// control, CLOCAL|CREAD, RTS on, DTR off, break cleared, input flushed, held
/// exclusively. On success CurrentHandle holds the new descriptor and LastError
/// is left as it was. On failure LastError is 5 (cannot open, also: held by
/// another), 21 (not a character device) or 6 (a configuration step failed),
/// CurrentHandle is NoHandle and nothing stays open.
bool OpenPort();

/// Russian message text (UTF-8) of a link error code; codes without a text of
/// their own give "Неизвестная ошибка  " followed by the code.
std::string ErrorText(int code);

/// Sets BaudRate and ReplyTimeout from row speedIndex of SpeedTable; an index
/// outside 0..6 changes nothing.
void ApplySpeed(int speedIndex);

/// Releases exclusive use (TIOCNXCL), drops unsent output and closes the
/// descriptor. NoHandle is ignored. CurrentHandle is reset to NoHandle when it
/// names the closed descriptor, so a stale number is never written to.
void ClosePort(int handle);

/// Maps COM port comNumber (1..256) to a device path; an empty path removes the entry.
void SetPortPath(int comNumber, const std::string &path);
/// Removes every COM port mapping.
void ClearPortPaths();
/// Device path of COM port comNumber: the mapped path, or /dev/ttyS<comNumber-1>.
std::string PortPath(int comNumber);

/// Sets the function run in every waiting cycle of the exchange (the
/// application processes its pending window events there). Empty = none.
void SetProcessEventsHook(std::function<void()> hook);
/// Runs the process-events hook if one is set.
void ProcessEvents();

/// A monotonic clock in days (arbitrary origin): time-outs and pauses are
/// measured on it so a wall-clock jump cannot stretch or cut them.
double MonotonicDays();

} // namespace MoreCOM
