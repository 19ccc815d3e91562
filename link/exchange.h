// Device exchange: one framed request/reply conversation with an instrument
// over the port in MoreCOM::CurrentHandle, and the validation of a reply line.
//
// Request on the wire: 0xFF ':' address ';' body CRC CR, the CRC-16 (MODBUS
// polynomial, register starting at 0xFFFF) of every byte from the address to
// the end of the body, in unsigned decimal. Reply: '!' address ';' field ';'
// ... CRC CR, the CRC taken from the character after '!' up to and including
// the ';' after the last field.
#pragma once

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
/// counted from the end of the write.
/// Returns true with LastError = 0 when a reply line ending in CR arrived.
/// On false, LastError tells why: 19 body longer than 240 or address outside
/// 0..254 (nothing sent); 0 StopFlag was set before sending or while waiting;
/// 16 the write failed, was incomplete or the device is gone; 18 a read failed
/// or the device vanished while waiting; 15 the reply reached 250 characters;
/// 7 a reply began ('!') but did not end in time; 9 no reply began in time.
/// Bytes before the first '!' are skipped; bytes after the CR in the same read
/// are dropped; the port is never purged and nothing is retried. The
/// process-events hook runs before sending and in every waiting cycle; a cycle
/// that finds no data waits up to 1 ms in poll() on the port.
bool Exchange(int address, const std::string &body);

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

} // namespace MoreCOM
