// Device exchange: one framed request/reply conversation with an instrument
// over the port in MoreCOM::CurrentHandle, and the validation of a reply line.
//
// Request on the wire: 0xFF ':' address ';' body CRC CR, the CRC-16 (MODBUS
// polynomial, register starting at 0xFFFF) of every byte from the address to
// the end of the body, in unsigned decimal. Reply: '!' address ';' field ';'
// ... CRC CR, the CRC taken from the character after '!' up to and including
// the ';' after the last field.
//
// On real lines a reply can come late, after its exchange gave up. Replies
// carry no channel, so only timing tells them apart: every exchange discards
// what the line holds just before it writes, and after an exchange that ended
// without a complete reply (7 or 9) the next one on that port first sits out a
// guard interval (see LineGuard), so a reply up to that late is never taken
// for another point's.
#pragma once

#include "morecom.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace MoreCOM
{

/// The reply line of the last successful Exchange, from '!' to the carriage
/// return inclusive. A failed exchange leaves it unchanged.
extern std::string ReplyLine;

/// Longest request body sent.
constexpr int MaxBodyLength = 240;
/// A collected reply (from '!' to CR) must stay below this many characters.
constexpr int MaxReplyLength = 250;
/// Most value fields ParseReply extracts.
constexpr int MaxReplyFields = 60;

/// Sends the request `body` to instrument `address` on CurrentHandle and
/// collects the reply line into ReplyLine, waiting at most ReplyTimeout days
/// counted from the moment the request has left the port.
/// Returns true with LastError = 0 when a reply line ending in CR arrived.
/// On false, LastError tells why: 19 body longer than 240 or address outside
/// 0..254 (nothing sent); 0 StopFlag was set before sending or while waiting;
/// 16 the write failed, did not leave the port within 50 ms per byte + 100 ms,
/// or the device is gone; 18 a read failed or the device vanished while
/// waiting; 15 the reply reached 250 characters; 7 a reply began ('!') but did
/// not end in time; 9 no reply began in time. DeviceGone tells whether a 16 or
/// 18 means the device vanished. Bytes before the first '!' are skipped; bytes
/// after the CR in the same read are dropped; nothing is retried. Every wait
/// goes through the event hook (WaitForEvent); events are dispatched before
/// sending too.
bool Exchange(const std::string &body, int address);

/// The same exchange with the caller's buffer and timeout: `buffer` holds the
/// body and, on success only, is replaced by the reply line (ReplyLine is set too).
bool Exchange(std::string &buffer, int address, double timeoutDays);

/// Validates `line` as a reply of instrument `address` carrying exactly
/// `fieldCount` (at most 60) value fields, and fills ReplyFields[1..fieldCount].
/// True only when the address matches, every field is a run of value characters
/// ended by ';', the checksum is a number (leading zeros accepted) followed by
/// CR, and it equals the CRC-16 of the text after '!' through the last ';'.
/// Never changes LastError; after false, ReplyFields may be partly filled.
bool ParseReply(const std::string &line, int address, int fieldCount);

/// ParseReply on ReplyLine, the line of the last successful Exchange.
bool ParseReply(int address, int fieldCount);

/// One CRC-16 step: XOR the byte into the low eight bits, then eight shifts
/// right, XORing 0xA001 after each shift that dropped a 1 bit.
void CrcStep(uint16_t &crc, uint8_t byte);

/// CRC-16 of `text`, starting at 0xFFFF, no final XOR.
uint16_t Crc16(std::string_view text);

/// '-', '.', '0'..'9'.
bool IsNumberChar(uint8_t c);
/// '$', '-', '.', '0'..'9'.
bool IsValueChar(uint8_t c);

/// Builds the request frame for `address` and `body` (no length checks).
std::string BuildRequest(int address, std::string_view body);

// ---------------------------------------------------------------------------
// The exchange over any line.
//
// Exchange runs ExchangeOn over the port CurrentHandle (POSIX reads and
// writes, TIOCOUTQ, MonotonicDays, WaitForEvent). A test or a fuzz target can
// run it over a Line of its own that hands out scripted reply chunks on a fake
// clock, without a pseudo-terminal, and check the rules below as invariants.
// ExchangeOn reads StopFlag (after every Wait) and BaudRate (to estimate how
// long unsent output takes), and touches no other module state: not
// LastError, ReplyLine or DeviceGone (Exchange sets those from the outcome).
//
// The rules, in order:
//  1. Body longer than 240 or address outside 0..254: error 19; the line is
//     not touched at all.
//  2. One Wait(Events, deadline <= Now()) dispatches pending events; StopFlag
//     set then: error 0, nothing written.
//  3. Guard: when guard.armed, nothing is written until Now() >=
//     guard.since + G (G = guard.interval). Every byte read meanwhile is
//     discarded, and after the last byte arrived the line must stay quiet for
//     G, but the guard ends at guard.since + 2G at the latest. It is disarmed
//     when it ends. StopFlag during it: error 0, nothing written, still armed.
//  4. DiscardInput() once, just before the first Write.
//  5. The frame is written whole and must have left the port (Unsent() == 0)
//     by the write deadline, the first Write's Now() + 50 ms per byte +
//     100 ms; else error 16. A full queue is waited for with Wait(Output) in
//     slices of at most 10 ms, unsent output with Wait(Events).
//  6. The reply time-out starts when Unsent() first reports 0.
//  7. Bytes before the first '!' are discarded; from '!' on, bytes are
//     collected up to and including the first CR, and the rest of the Read
//     that held the CR is dropped. A collected reply of 250 characters or more
//     is error 15. Success: `reply` is the line from '!' to that CR (shorter
//     than 250 characters), error 0, guard not armed.
//  8. Now() >= start + timeout without a CR: error 7 when a '!' arrived,
//     else 9; the guard is armed with since = Now() and G = max(timeout / 4,
//     100 ms).
//  9. Read (in the guard or the reply wait) or Write/Unsent reporting Gone:
//     18 or 16 with gone = true; Failed: 18 or 16. StopFlag after any Wait:
//     error 0.
// `reply` is written only on success. A Line's Wait must let Now() move on
// (to its deadline at the latest when nothing else happens), or the exchange
// never ends.
// ---------------------------------------------------------------------------

/// Result of one non-blocking operation on a Line.
enum class Io {
    Ok,         ///< done; the count says how many bytes (at least 1 for Read/Write)
    WouldBlock, ///< nothing to read, or no room to write, right now
    Gone,       ///< the device vanished (hung up, unplugged): final for this handle
    Failed,     ///< any other failure
};

/// What an exchange needs from its port.
class Line
{
  public:
    virtual ~Line() = default;
    /// Monotonic time in days; never goes back.
    virtual double Now() = 0;
    /// Dispatches pending events, then sleeps until an event, readiness for
    /// `what` or Now() >= deadline (see EventHook). With a deadline not after
    /// Now() it dispatches only and must not sleep.
    virtual void Wait(WaitFor what, double deadline) = 0;
    /// Takes up to `size` received bytes: Ok with got >= 1, or WouldBlock.
    virtual Io Read(char *data, size_t size, size_t &got) = 0;
    /// Queues up to `size` bytes for sending: Ok with put >= 1, or WouldBlock.
    virtual Io Write(const char *data, size_t size, size_t &put) = 0;
    /// Bytes queued but not yet sent (0 once the output has left the port).
    virtual Io Unsent(size_t &bytes) = 0;
    /// Discards every received byte not read yet.
    virtual void DiscardInput() = 0;
};

/// What a port remembers between exchanges: the late-reply guard.
struct LineGuard {
    bool armed = false;  ///< the last exchange ended without a complete reply (7 or 9)
    double since = 0;    ///< Now() when it ended, in days
    double interval = 0; ///< G in days: a quarter of its time-out, at least 100 ms
};

/// How an ExchangeOn ended.
struct ExchangeOutcome {
    bool ok = false;   ///< a reply line is in `reply`
    int32_t error = 0; ///< the LastError value (0 on success and when stopped)
    bool gone = false; ///< failed because the device vanished
};

/// The exchange itself over `line` with the port's `guard` (rules above).
ExchangeOutcome ExchangeOn(Line &line, LineGuard &guard, std::string_view body, int address,
                           double timeoutDays, std::string &reply);

/// The guard interval G for a reply time-out: max(timeout / 4, 100 ms), in days.
double GuardInterval(double timeoutDays);

/// The late-reply guard of port `handle` (disarmed until an exchange on it fails).
LineGuard &GuardOf(int handle);
/// Forgets the guard of `handle` (OpenPort and ClosePort do, as the descriptor
/// number may next name another port).
void ResetGuard(int handle);

} // namespace MoreCOM
