// Device exchange: framing, sending, collecting the reply line, and parsing it.
#include "exchange.h"

#include "morecom.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <optional>
#include <sys/ioctl.h>
#include <termios.h>
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
constexpr double Ms = 1.0 / MsPerDay;

std::map<int, LineGuard> &Guards()
{
    static std::map<int, LineGuard> guards;
    return guards;
}

// The line of a real port: a non-blocking tty descriptor opened by OpenPort.
class PortLine final : public Line
{
  public:
    explicit PortLine(int fd) : fd_(fd) {}

    double Now() override { return MonotonicDays(); }
    void Wait(WaitFor what, double deadline) override { WaitForEvent(fd_, what, deadline); }

    Io Read(char *data, size_t size, size_t &got) override
    {
        const ssize_t n = ::read(fd_, data, size);
        got = n > 0 ? static_cast<size_t>(n) : 0;
        // VMIN is 1, so "nothing yet" is EAGAIN and a read of 0 means hung up.
        return n > 0 ? Io::Ok : n == 0 ? Io::Gone : Classify(errno);
    }

    Io Write(const char *data, size_t size, size_t &put) override
    {
        const ssize_t n = ::write(fd_, data, size);
        put = n > 0 ? static_cast<size_t>(n) : 0;
        return n > 0 ? Io::Ok : n == 0 ? Io::WouldBlock : Classify(errno);
    }

    Io Unsent(size_t &bytes) override
    {
        bytes = 0;
        int queued = 0;
        // A device without an output count has nothing to wait for; one that
        // hung up has dropped its output, and the next read reports it gone.
        if (ioctl(fd_, TIOCOUTQ, &queued) != 0)
            return Io::Ok;
        bytes = queued > 0 ? static_cast<size_t>(queued) : 0;
        // TIOCOUTQ leaves out the UART's own FIFO and shift register; where the
        // driver reports the transmitter state, wait for it to be empty too.
        unsigned int lsr = 0;
        if (bytes == 0 && ioctl(fd_, TIOCSERGETLSR, &lsr) == 0 && !(lsr & TIOCSER_TEMT))
            bytes = 1;
        return Io::Ok;
    }

    void DiscardInput() override { tcflush(fd_, TCIFLUSH); }

  private:
    static Io Classify(int err)
    {
        switch (err) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
            return Io::WouldBlock;
        case EIO: // a hung-up tty: the adapter was pulled or the other side closed
        case ENXIO:
        case ENODEV:
            return Io::Gone;
        default:
            return Io::Failed;
        }
    }

    int fd_;
};

// How a step before the reply wait ended.
enum class Step { Done, Stopped, Failed, Gone };

// Sits out the late-reply guard: reads and discards until the line has been
// quiet for G since the failure or the last byte, for 2G at the most. What
// already waits in the input when the guard starts arrived after the failure
// (the pause or other ports took the time), so it restarts the quiet interval
// as if it had just come: a line still talking is not written to.
Step SitOutGuard(Line &line, LineGuard &guard)
{
    const double g = guard.interval;
    const double latest = guard.since + 2 * g;
    double quietFrom = guard.since;
    for (;;) {
        for (;;) {
            size_t got = 0;
            const Io r = line.Read(RxChunk.data(), RxChunk.size(), got);
            if (r == Io::Gone || r == Io::Failed)
                return r == Io::Gone ? Step::Gone : Step::Failed;
            if (r != Io::Ok)
                break; // nothing more now
            quietFrom = line.Now();
        }
        const double end = std::min(quietFrom + g, latest);
        if (line.Now() >= end)
            break;
        line.Wait(WaitFor::Input, end);
        if (StopFlag != 0)
            return Step::Stopped;
    }
    guard.armed = false;
    return Step::Done;
}

// Writes the whole frame and waits until it has left the port, within 50 ms
// per byte + 100 ms. A full queue is waited for in slices of at most 10 ms (on
// a pseudo-terminal, room can come back without waking poll); unsent output
// for about the time its bytes take at BaudRate.
Step SendFrame(Line &line, const std::string &frame)
{
    const double deadline = line.Now() + (50.0 * frame.size() + 100.0) * Ms;
    size_t done = 0;
    while (done < frame.size()) {
        size_t put = 0;
        const Io r = line.Write(frame.data() + done, frame.size() - done, put);
        if (r == Io::Ok) {
            done += put;
            continue;
        }
        if (r == Io::Gone || r == Io::Failed)
            return r == Io::Gone ? Step::Gone : Step::Failed;
        if (line.Now() >= deadline)
            return Step::Failed;
        line.Wait(WaitFor::Output, std::min(deadline, line.Now() + 10 * Ms));
        if (StopFlag != 0)
            return Step::Stopped;
    }
    const double byteDays = BaudRate > 0 ? 10.0 / BaudRate / 86400.0 : Ms;
    for (;;) {
        size_t unsent = 0;
        const Io r = line.Unsent(unsent);
        if (r == Io::Gone || r == Io::Failed)
            return r == Io::Gone ? Step::Gone : Step::Failed;
        if (unsent == 0)
            return Step::Done;
        if (line.Now() >= deadline)
            return Step::Failed;
        line.Wait(WaitFor::Events,
                  std::min(deadline, line.Now() + std::max(unsent * byteDays, Ms)));
        if (StopFlag != 0)
            return Step::Stopped;
    }
}

// Collects one reply line into `reply`; fills the outcome.
void Collect(Line &line, LineGuard &guard, double timeoutDays, std::string &reply,
             ExchangeOutcome &out)
{
    const double start = line.Now();
    const double end = start + timeoutDays;
    bool started = false;
    std::string collected;
    collected.reserve(MaxReplyLength);
    for (;;) {
        line.Wait(WaitFor::Input, end);
        if (StopFlag != 0)
            return;
        size_t n = 0;
        const Io r = line.Read(RxChunk.data(), RxChunk.size(), n);
        if (r == Io::Gone || r == Io::Failed) {
            out.error = ErrRead;
            out.gone = r == Io::Gone;
            return;
        }
        if (r == Io::Ok) {
            size_t i = 0;
            if (!started) {
                while (i < n && RxChunk[i] != '!')
                    ++i;
                started = i < n;
            }
            bool ended = false;
            for (; started && i < n && collected.size() < MaxReplyLength; ++i) {
                collected.push_back(RxChunk[i]);
                if (RxChunk[i] == '\r') {
                    ended = true;
                    break; // the rest of this read is dropped
                }
            }
            if (collected.size() >= MaxReplyLength) {
                out.error = ErrReplyLength;
                return;
            }
            if (ended) {
                reply = std::move(collected);
                out.ok = true;
                return;
            }
        }
        if (line.Now() >= end) {
            out.error = started ? ErrBadReply : ErrNoReply;
            guard.armed = true;
            guard.since = line.Now();
            guard.interval = GuardInterval(timeoutDays);
            return;
        }
    }
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

ExchangeOutcome ExchangeOn(Line &line, LineGuard &guard, std::string_view body, int address,
                           double timeoutDays, std::string &reply)
{
    ExchangeOutcome out;
    if (body.size() > static_cast<size_t>(MaxBodyLength) || address < 0 || address > 254) {
        out.error = ErrBadRequest;
        return out;
    }
    const std::string frame = BuildRequest(address, body);
    line.Wait(WaitFor::Events, line.Now());
    if (StopFlag != 0)
        return out;
    if (guard.armed) {
        const Step s = SitOutGuard(line, guard);
        if (s == Step::Stopped)
            return out;
        if (s != Step::Done) {
            out.error = ErrRead;
            out.gone = s == Step::Gone;
            return out;
        }
    }
    line.DiscardInput();
    switch (SendFrame(line, frame)) {
    case Step::Done:
        break;
    case Step::Stopped:
        return out;
    case Step::Gone:
        out.gone = true;
        [[fallthrough]];
    case Step::Failed:
        out.error = ErrWrite;
        return out;
    }
    Collect(line, guard, timeoutDays, reply, out);
    return out;
}

double GuardInterval(double timeoutDays)
{
    return std::max(timeoutDays / 4, 100 * Ms);
}

LineGuard &GuardOf(int handle)
{
    return Guards()[handle];
}

void ResetGuard(int handle)
{
    Guards().erase(handle);
}

bool Exchange(const std::string &body, int address)
{
    std::string buffer = body;
    return Exchange(buffer, address, ReplyTimeout);
}

bool Exchange(std::string &buffer, int address, double timeoutDays)
{
    DeviceGone = false;
    PortLine line(CurrentHandle);
    std::string reply;
    const ExchangeOutcome out =
        ExchangeOn(line, GuardOf(CurrentHandle), buffer, address, timeoutDays, reply);
    LastError = out.error;
    DeviceGone = out.gone;
    if (!out.ok)
        return false;
    ReplyLine = reply;
    buffer = std::move(reply);
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
