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
//
// Ports are left as they were found: OpenPort saves the line settings it
// replaces and ClosePort puts them back, so a wrong mapping never leaves a
// terminal raw. A port whose device vanished (an unplugged USB adapter) is
// reported through DeviceGone; its handle is dead for good, and the caller
// closes it and opens the same path again later.
//
// Waiting: the link never spins and never wakes on a timer. Wherever it waits
// (the reply, a full output queue, the late-reply guard) it calls the event
// hook with the descriptor and the deadline; the application's hook dispatches
// its window events and sleeps until the next one, the port or the deadline.
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
/// True after an exchange that failed (16 or 18) because its device vanished:
/// the line hung up or the device was removed. Cleared when an exchange starts.
extern bool DeviceGone;
/// Why the last OpenPort failed, in one line for the operator's log: COM port,
/// path, the step and the system's error, with a hint where one helps (for
/// EACCES: the group to add the user to). Empty after a successful OpenPort.
extern std::string OpenFailureReason;
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
/// exclusively. The line settings found are saved for ClosePort. On success
/// CurrentHandle holds the new descriptor and LastError is left as it was. On
/// failure LastError is 5 (cannot open, also: held by another), 21 (not a
/// character device) or 6 (a configuration step failed), CurrentHandle is
/// NoHandle, OpenFailureReason says why and nothing stays open (a port whose
/// configuration failed gets its old settings back first).
bool OpenPort();

/// Russian message text (UTF-8) of a link error code; codes without a text of
/// their own give "Неизвестная ошибка  " followed by the code.
std::string ErrorText(int code);

/// Sets BaudRate and ReplyTimeout from row speedIndex of SpeedTable; an index
/// outside 0..6 changes nothing.
void ApplySpeed(int speedIndex);

/// Drops unsent output, restores the line settings OpenPort found, releases
/// exclusive use (TIOCNXCL) and closes the descriptor; the port's late-reply
/// guard is forgotten. NoHandle is ignored; a dead handle (device gone) closes
/// all the same. CurrentHandle is reset to NoHandle when it names the closed
/// descriptor, so a stale number is never written to.
void ClosePort(int handle);

/// Maps COM port comNumber (1..256) to a device path; an empty path removes the entry.
void SetPortPath(int comNumber, const std::string &path);
/// Removes every COM port mapping.
void ClearPortPaths();
/// Device path of COM port comNumber: the mapped path, or DefaultPortPath.
std::string PortPath(int comNumber);
/// The path of an unmapped COM port comNumber: /dev/ttyS<comNumber-1>.
std::string DefaultPortPath(int comNumber);

/// What a wait watches besides the application's events and the deadline.
enum class WaitFor {
    Events, ///< no descriptor: only events and the deadline
    Input,  ///< the descriptor becoming readable (data, or a hang-up)
    Output, ///< the descriptor becoming writable
};

/// The application's event hook, called wherever the link waits. It dispatches
/// the application's pending events, then sleeps until the next event arrives,
/// `fd` becomes ready for `what`, or MonotonicDays() reaches `deadlineDays`,
/// whichever is first. A deadline not after now asks for the pending events
/// only, without sleeping. It may return early: the link checks StopFlag, the
/// port and the clock after every call and calls again. It must not wake
/// without a cause (no periodic timer), so that waiting costs no CPU.
using EventHook = std::function<void(int fd, WaitFor what, double deadlineDays)>;

/// Installs the event hook (the application does, at start-up). Empty = none:
/// waits then sleep in PollWait and no events are dispatched.
void SetEventHook(EventHook hook);
/// One wait through the event hook, or PollWait without one.
void WaitForEvent(int fd, WaitFor what, double deadlineDays);
/// Dispatches the pending events through the hook without sleeping.
void ProcessEvents();
/// The wait without an application: poll() on `fd` for `what` (a plain sleep
/// for Events or a negative fd) until it is ready or the deadline has passed.
void PollWait(int fd, WaitFor what, double deadlineDays);

/// A monotonic clock in days (arbitrary origin): time-outs and pauses are
/// measured on it so a wall-clock jump cannot stretch or cut them.
double MonotonicDays();

} // namespace MoreCOM
