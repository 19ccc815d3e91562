// Device exchange: framing, sending, collecting the reply line, and parsing it.
#include "exchange.h"

#include "morecom.h"

#include <array>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace MoreCOM
{

std::string ReplyLine;

namespace
{

constexpr size_t ChunkSize = 240;
// One port read lands here; reused by every exchange.
std::array<char, ChunkSize> RxChunk;

constexpr double MsPerDay = 86400.0 * 1000.0;

// Writes the whole frame within 50 ms per byte + 100 ms. The port is
// non-blocking, so a full output buffer is waited for in poll() slices of at
// most 10 ms (on a pseudo-terminal, room can come back without waking poll).
bool WriteFrame(int fd, const std::string &frame)
{
    const double deadline = MonotonicDays() + (50.0 * frame.size() + 100.0) / MsPerDay;
    size_t done = 0;
    while (done < frame.size()) {
        const ssize_t w = ::write(fd, frame.data() + done, frame.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false; // EIO: the device is gone
        const double leftMs = (deadline - MonotonicDays()) * MsPerDay;
        if (leftMs <= 0)
            return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, leftMs < 10 ? static_cast<int>(leftMs) + 1 : 10);
    }
    return true;
}

// Collects one reply line into `reply`. Returns nullopt when a reply line
// ended in CR, otherwise the error code (0 = stopped).
std::optional<int32_t> Collect(int fd, double timeoutDays, std::string &reply)
{
    const double start = MonotonicDays();
    bool started = false;
    bool ended = false;
    reply.clear();
    for (;;) {
        ProcessEvents();
        if (StopFlag != 0)
            return ErrNone;
        ssize_t n = ::read(fd, RxChunk.data(), RxChunk.size());
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return ErrRead;
            n = 0;
        }
        if (n > 0) {
            size_t i = 0;
            if (!started) {
                while (i < static_cast<size_t>(n) && RxChunk[i] != '!')
                    ++i;
                started = i < static_cast<size_t>(n);
            }
            for (; started && i < static_cast<size_t>(n) && reply.size() < MaxReplyLength; ++i) {
                reply.push_back(RxChunk[i]);
                if (RxChunk[i] == '\r') {
                    ended = true;
                    break; // the rest of this read is dropped
                }
            }
            if (reply.size() >= MaxReplyLength)
                return ErrReplyLength;
        }
        if (ended)
            return std::nullopt;
        if (MonotonicDays() > start + timeoutDays)
            return started ? ErrBadReply : ErrNoReply;
        if (n == 0) {
            // Nothing buffered: sleep until data arrives, at most 1 ms, so the
            // events and the stop flag are still served promptly.
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
                return ErrRead; // hung up (adapter pulled, line gone)
        }
    }
}

bool DoExchange(const std::string &body, int address, double timeoutDays, std::string &out)
{
    LastError = ErrNone;
    if (body.size() > static_cast<size_t>(MaxBodyLength) || address < 0 || address > 254) {
        LastError = ErrBadRequest;
        return false;
    }
    const std::string frame = BuildRequest(address, body);
    ProcessEvents();
    if (StopFlag != 0)
        return false;
    if (!WriteFrame(CurrentHandle, frame)) {
        LastError = ErrWrite;
        return false;
    }
    std::string reply;
    reply.reserve(MaxReplyLength);
    if (auto error = Collect(CurrentHandle, timeoutDays, reply)) {
        LastError = *error;
        return false;
    }
    out = std::move(reply);
    return true;
}

// Reads a run of number characters as a 64-bit decimal integer: an optional
// '-' then at least one digit, nothing else.
std::optional<int64_t> DecimalValue(std::string_view run)
{
    size_t i = 0;
    const bool negative = !run.empty() && run[0] == '-';
    if (negative)
        i = 1;
    if (i >= run.size())
        return std::nullopt;
    uint64_t value = 0;
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    for (; i < run.size(); ++i) {
        if (run[i] < '0' || run[i] > '9')
            return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(run[i] - '0');
        if (value > (limit - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

} // namespace

void CrcStep(uint16_t &crc, uint8_t byte)
{
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
        const bool out = crc & 1;
        crc >>= 1;
        if (out)
            crc ^= 0xA001;
    }
}

uint16_t Crc16(std::string_view text)
{
    uint16_t crc = 0xFFFF;
    for (char c : text)
        CrcStep(crc, static_cast<uint8_t>(c));
    return crc;
}

bool IsNumberChar(uint8_t c)
{
    return c == '-' || c == '.' || (c >= '0' && c <= '9');
}

bool IsValueChar(uint8_t c)
{
    return c == '$' || IsNumberChar(c);
}

std::string BuildRequest(int address, std::string_view body)
{
    std::string checked = std::to_string(address) + ';';
    checked.append(body);
    std::string frame = "\xFF:";
    frame += checked;
    frame += std::to_string(Crc16(checked));
    frame += '\r';
    return frame;
}

bool Exchange(int address, const std::string &body)
{
    return DoExchange(body, address, ReplyTimeout, ReplyLine);
}

bool Exchange(std::string &buffer, int address, double timeoutDays)
{
    if (!DoExchange(buffer, address, timeoutDays, ReplyLine))
        return false;
    buffer = ReplyLine;
    return true;
}

bool ParseReply(const std::string &line, int address, int fieldCount)
{
    if (fieldCount > MaxReplyFields)
        return false;
    const size_t bang = line.find('!');
    if (bang == std::string::npos || bang + 1 >= line.size())
        return false;
    const size_t checkedStart = bang + 1;
    size_t pos = checkedStart;
    auto runOf = [&](bool (*cls)(uint8_t)) {
        const size_t from = pos;
        while (pos < line.size() && cls(static_cast<uint8_t>(line[pos])))
            ++pos;
        return std::string_view(line).substr(from, pos - from);
    };
    // A ';' that closes a run and is followed by at least one more character.
    auto separator = [&] { return pos + 1 < line.size() && line[pos] == ';'; };

    const auto addressValue = DecimalValue(runOf(IsNumberChar));
    if (!addressValue || !separator() || *addressValue != address)
        return false;
    size_t checkedEnd = pos; // the last ';' read
    ++pos;
    for (int k = 1; k <= fieldCount; ++k) {
        ReplyFields[k] = std::string(runOf(IsValueChar));
        if (!separator())
            return false;
        checkedEnd = pos;
        ++pos;
    }
    const auto checksum = DecimalValue(runOf(IsNumberChar));
    if (!checksum || pos >= line.size() || line[pos] != '\r')
        return false;
    const std::string_view checked =
        std::string_view(line).substr(checkedStart, checkedEnd - checkedStart + 1);
    return *checksum == Crc16(checked);
}

bool ParseReply(int address, int fieldCount)
{
    return ParseReply(ReplyLine, address, fieldCount);
}

} // namespace MoreCOM
