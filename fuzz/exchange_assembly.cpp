// Fuzzes the reply assembly of an exchange: ExchangeOn over a scripted line on a fake clock.
//
// Input: byte 0 picks the reply time-out, byte 1 the line's behaviour (guard armed at the
// start, writes that block now and then, output that takes its time to leave, Stop raised
// at some point); the rest is a script of what arrives when: 'd' n waits n x 3 ms, 'c' n
// followed by n bytes delivers a chunk, 'g' makes the device vanish, 'f' makes reads fail.
// Whatever the script, the exchange must end, and its outcome must follow the rules stated in
// exchange.h, checked here against what the line saw:
//  - nothing is written while the guard runs, and the input is discarded once, just before
//    the first write;
//  - success: the reply is the collected bytes from the first '!' after the discard to the
//    first CR, shorter than 250 characters, complete within the time-out counted from the
//    moment the request had left;
//  - 7 / 9 / 15 / 16 / 18 / 0 exactly when the script says so.
#include "exchange.h"
#include "morecom.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>

namespace
{

using MoreCOM::Io;
using MoreCOM::WaitFor;

constexpr double kMs = 1.0 / 86400000.0;

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

struct Event {
    double at;
    char kind; // 'c' chunk, 'g' gone, 'f' failed
    std::string bytes;
};

class ScriptLine final : public MoreCOM::Line
{
  public:
    double now = 0;
    double drainDays = 0;
    int blockEvery = 0; // every n-th Write finds no room (0: never)
    double stopAt = -1; // Stop raised when the clock passes this (days)
    std::deque<Event> script;

    // What the line saw.
    std::string written;
    double firstWrite = -1;
    int discards = 0;
    double drainedAt = -1;    ///< when Unsent first said 0 after the whole frame was written
    std::string afterDiscard; ///< every byte read after the (last) discard
    bool sawGone = false;
    bool sawFailed = false;
    long steps = 0;

    double Now() override { return now; }

    void Wait(WaitFor what, double deadline) override
    {
        Check(++steps < 1'000'000); // the exchange must end
        Deliver();
        if (deadline > now && (what != WaitFor::Input || ready_.empty())) {
            double next = deadline;
            if (!script.empty())
                next = std::min(next, script.front().at);
            Check(next >= now);
            now = std::max(now, next);
            Deliver();
        }
        if (stopAt >= 0 && now >= stopAt)
            MoreCOM::StopFlag = 1;
    }

    Io Read(char *data, size_t size, size_t &got) override
    {
        Deliver();
        got = 0;
        if (!ready_.empty() && ready_.front().kind != 'c') {
            sawGone = sawGone || ready_.front().kind == 'g';
            sawFailed = sawFailed || ready_.front().kind == 'f';
            return ready_.front().kind == 'g' ? Io::Gone : Io::Failed;
        }
        if (ready_.empty())
            return Io::WouldBlock;
        std::string &front = ready_.front().bytes;
        got = std::min(size, front.size());
        front.copy(data, got);
        afterDiscard.append(data, got);
        front.erase(0, got);
        if (front.empty())
            ready_.pop_front();
        return Io::Ok;
    }

    Io Write(const char *data, size_t size, size_t &put) override
    {
        put = 0;
        Check(discards == 1); // the input was discarded just before the first write
        if (blockEvery > 0 && ++writes_ % blockEvery == 0)
            return Io::WouldBlock;
        put = std::max<size_t>(1, size / 2); // the queue takes part of it
        written.append(data, put);
        if (firstWrite < 0)
            firstWrite = now;
        sentAt_ = now + drainDays;
        return Io::Ok;
    }

    Io Unsent(size_t &bytes) override
    {
        bytes = now < sentAt_ ? 1 : 0;
        if (bytes == 0 && drainedAt < 0 && !written.empty())
            drainedAt = now;
        return Io::Ok;
    }

    void DiscardInput() override
    {
        Deliver();
        ++discards;
        // Only chunks are input; a vanished device stays vanished.
        std::deque<Event> keep;
        for (Event &e : ready_) {
            if (e.kind != 'c')
                keep.push_back(std::move(e));
        }
        ready_ = std::move(keep);
        afterDiscard.clear();
    }

  private:
    void Deliver()
    {
        while (!script.empty() && script.front().at <= now) {
            ready_.push_back(std::move(script.front()));
            script.pop_front();
        }
    }

    std::deque<Event> ready_;
    double sentAt_ = 0;
    long writes_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static const double timeoutsMs[] = {50, 397, 994, 3974};
    const double timeout = timeoutsMs[data[0] % 4] * kMs;
    const uint8_t flags = data[1];
    MoreCOM::StopFlag = 0;
    MoreCOM::BaudRate = 9600;

    ScriptLine line;
    line.drainDays = (flags & 0x03) * 7 * kMs;
    line.blockEvery = (flags & 0x04) ? 3 : 0;
    MoreCOM::LineGuard guard;
    if (flags & 0x08) {
        guard.armed = true;
        guard.since = 0;
        guard.interval = std::max(timeout / 4, 100 * kMs);
        line.now = (flags & 0x10) ? 40 * kMs : 0; // part of it already spent in the pause
    }
    double t = line.now;
    size_t i = 2;
    while (i < size) {
        const char op = static_cast<char>(data[i++]);
        if (op == 'd' && i < size) {
            t += data[i++] * 3 * kMs;
        } else if (op == 'c' && i < size) {
            const size_t n = std::min<size_t>(data[i++], size - i);
            line.script.push_back(
                {t, 'c', std::string(reinterpret_cast<const char *>(data + i), n)});
            i += n;
        } else if (op == 'g' || op == 'f') {
            line.script.push_back({t, op, {}});
        }
    }
    if (flags & 0x20)
        line.stopAt = t / 2;

    std::string reply = "untouched";
    const double started = line.now;
    const MoreCOM::ExchangeOutcome out =
        MoreCOM::ExchangeOn(line, guard, "1;0;", 7, timeout, reply);
    MoreCOM::StopFlag = 0;

    // Nothing is written before the guard has run its interval since the failure.
    if (!line.written.empty() && (flags & 0x08))
        Check(line.firstWrite >= std::max(timeout / 4, 100 * kMs) - 1e-12);
    (void)started;
    if (out.ok) {
        Check(out.error == 0 && !out.gone && !guard.armed);
        Check(line.written == MoreCOM::BuildRequest(7, "1;0;"));
        Check(reply.size() >= 2 && reply.front() == '!' && reply.back() == '\r' &&
              reply.size() < 250);
        const size_t bang = line.afterDiscard.find('!');
        Check(bang != std::string::npos);
        const size_t cr = line.afterDiscard.find('\r', bang);
        Check(cr != std::string::npos &&
              line.afterDiscard.compare(bang, cr - bang + 1, reply) == 0);
        Check(line.drainedAt >= 0 && line.now <= line.drainedAt + timeout + 1e-12);
        return 0;
    }
    Check(reply == "untouched");
    switch (out.error) {
    case 0: // stopped
        Check(flags & 0x20);
        break;
    case 7:
    case 9: {
        const size_t bang = line.afterDiscard.find('!');
        Check((out.error == 7) == (bang != std::string::npos));
        Check(bang == std::string::npos ||
              line.afterDiscard.find('\r', bang) == std::string::npos ||
              line.afterDiscard.find('\r', bang) - bang + 1 >= 250);
        Check(line.drainedAt >= 0 && line.now >= line.drainedAt + timeout - 1e-12);
        Check(guard.armed && guard.interval >= 100 * kMs - 1e-12);
        break;
    }
    case 15: {
        const size_t bang = line.afterDiscard.find('!');
        Check(bang != std::string::npos && line.afterDiscard.size() - bang >= 250);
        break;
    }
    case 16: // the request did not leave in time (this line never fails a write)
        Check(!out.gone);
        break;
    case 18:
        Check(out.gone ? line.sawGone : line.sawFailed);
        break;
    default:
        Check(false);
    }
    return 0;
}
