// The exchange over a scripted line on a fake clock: the late-reply guard, the
// drained write and the reply time-out, without a pseudo-terminal.
#include "exchange.h"
#include "morecom.h"

#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

using MoreCOM::Io;
using MoreCOM::WaitFor;

constexpr double kMs = 1.0 / 86400000.0;

std::string Reply(const std::string &checked)
{
    return '!' + checked + std::to_string(MoreCOM::Crc16(checked)) + '\r';
}

// Chunks arrive at scripted times and are read one chunk per Read; Wait moves
// the clock to the next arrival or the deadline. Output stays unsent for
// `drainMs` after the last write.
class FakeLine final : public MoreCOM::Line
{
  public:
    double now = 0;
    double drainMs = 0;
    bool writable = true;
    std::vector<double> writeTimes; // when each Write put bytes
    std::vector<double> discardTimes;
    std::string written;
    int discardedBytes = 0;
    std::function<void()> onWait; // runs at the end of every Wait, after the clock moved

    void Arrive(double atMs, const std::string &bytes) { incoming_.push_back({atMs * kMs, bytes}); }

    double Now() override { return now; }
    void Wait(WaitFor what, double deadline) override
    {
        Deliver();
        if (deadline > now && (what != WaitFor::Input || ready_.empty())) {
            double next = deadline;
            if (what == WaitFor::Input && !incoming_.empty())
                next = std::min(next, incoming_.front().at);
            now = std::max(now, next);
            Deliver();
        }
        if (onWait)
            onWait();
    }
    Io Read(char *data, size_t size, size_t &got) override
    {
        Deliver();
        got = 0;
        if (ready_.empty())
            return Io::WouldBlock;
        std::string &front = ready_.front();
        got = std::min(size, front.size());
        front.copy(data, got);
        front.erase(0, got);
        if (front.empty())
            ready_.pop_front();
        return Io::Ok;
    }
    Io Write(const char *data, size_t size, size_t &put) override
    {
        put = 0;
        if (!writable)
            return Io::WouldBlock;
        written.append(data, size);
        writeTimes.push_back(now);
        drainedAt_ = now + drainMs * kMs;
        put = size;
        return Io::Ok;
    }
    Io Unsent(size_t &bytes) override
    {
        bytes = now < drainedAt_ ? 1 : 0;
        return Io::Ok;
    }
    void DiscardInput() override
    {
        Deliver();
        discardTimes.push_back(now);
        for (const std::string &c : ready_)
            discardedBytes += static_cast<int>(c.size());
        ready_.clear();
    }

  private:
    struct Chunk {
        double at;
        std::string bytes;
    };
    void Deliver()
    {
        while (!incoming_.empty() && incoming_.front().at <= now) {
            ready_.push_back(incoming_.front().bytes);
            incoming_.pop_front();
        }
    }
    std::deque<Chunk> incoming_;
    std::deque<std::string> ready_;
    double drainedAt_ = 0;
};

class ExchangeOnTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        MoreCOM::StopFlag = 0;
        MoreCOM::BaudRate = 9600;
    }
    void TearDown() override { MoreCOM::StopFlag = 0; }

    MoreCOM::ExchangeOutcome Run(double timeoutMs, const std::string &body = "1;0;")
    {
        reply.clear();
        return MoreCOM::ExchangeOn(line, guard, body, 1, timeoutMs * kMs, reply);
    }
    static double AtMs(double days) { return days / kMs; }

    FakeLine line;
    MoreCOM::LineGuard guard;
    std::string reply;
};

} // namespace

TEST_F(ExchangeOnTest, GuardIntervalIsAQuarterOfTheTimeoutOrAtLeast100Ms)
{
    EXPECT_NEAR(AtMs(MoreCOM::GuardInterval(200 * kMs)), 100.0, 1e-6);
    EXPECT_NEAR(AtMs(MoreCOM::GuardInterval(400 * kMs)), 100.0, 1e-6);
    EXPECT_NEAR(AtMs(MoreCOM::GuardInterval(3970 * kMs)), 992.5, 1e-6);
}

// The reply to point 1 arrives 40 ms after its exchange gave up. The next
// exchange does not send until the line has been quiet for G after it, and
// takes only its own reply.
TEST_F(ExchangeOnTest, ALateReplyIsDiscardedAndNeverTakenByTheNextExchange)
{
    line.Arrive(240, Reply("1;10;"));
    auto out = Run(200);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, 9);
    EXPECT_TRUE(guard.armed);
    EXPECT_NEAR(AtMs(guard.since), 200, 1e-6);
    EXPECT_NEAR(AtMs(guard.interval), 100, 1e-6);

    line.Arrive(360, Reply("1;11;"));
    out = Run(200, "1;1;");
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ(reply, Reply("1;11;"));
    ASSERT_EQ(line.writeTimes.size(), 2u);
    EXPECT_NEAR(AtMs(line.writeTimes[1]), 340, 1e-6); // 240 + G
    EXPECT_FALSE(guard.armed);
    // A successful exchange adds no wait: the next request goes out at once.
    const double before = line.now;
    line.Arrive(AtMs(before) + 5, Reply("1;12;"));
    ASSERT_TRUE(Run(200).ok);
    EXPECT_DOUBLE_EQ(line.writeTimes[2], before);
}

TEST_F(ExchangeOnTest, GuardOnAQuietLineLastsGAndOnANoisyOneAtMost2G)
{
    Run(200); // silence: 9 at 200 ms
    ASSERT_TRUE(guard.armed);
    line.Arrive(305, Reply("1;5;"));
    ASSERT_TRUE(Run(200).ok);
    EXPECT_NEAR(AtMs(line.writeTimes.back()), 300, 1e-6);

    // A reply that began but never ended (7), then bytes every 30 ms for good.
    line.Arrive(AtMs(line.now) + 10, "!1;2");
    EXPECT_EQ(Run(200).error, 7);
    const double failedAt = AtMs(guard.since);
    for (double t = failedAt + 20; t < failedAt + 400; t += 30)
        line.Arrive(t, "x");
    line.Arrive(failedAt + 390, Reply("1;6;"));
    ASSERT_TRUE(Run(200).ok);
    EXPECT_NEAR(AtMs(line.writeTimes.back()), failedAt + 200, 1e-6); // since + 2G
    EXPECT_EQ(reply, Reply("1;6;"));
    // What arrived between the guard's end and the write was discarded right before it.
    EXPECT_DOUBLE_EQ(line.discardTimes.back(), line.writeTimes.back());
}

TEST_F(ExchangeOnTest, TimeSpentAfterTheFailureCountsTowardsTheGuard)
{
    Run(200);
    line.now += 50 * kMs; // a pause
    line.Arrive(310, Reply("1;1;"));
    const double calledAt = AtMs(line.now);
    ASSERT_TRUE(Run(200).ok);
    EXPECT_NEAR(AtMs(line.writeTimes.back()), 300, 1e-6);
    EXPECT_LT(AtMs(line.writeTimes.back()) - calledAt, 100);
    // Bytes that came while nobody read (here during a pause that outlasted G)
    // restart the quiet interval: the line is still talking, so it waits, here
    // up to the 2G bound.
    Run(200);
    const double failedAt = AtMs(guard.since);
    line.Arrive(failedAt + 80, "tail of a late reply");
    line.now += 110 * kMs;
    line.Arrive(failedAt + 215, Reply("1;3;"));
    ASSERT_TRUE(Run(200).ok);
    EXPECT_NEAR(AtMs(line.writeTimes.back()), failedAt + 200, 1e-6);
    EXPECT_EQ(reply, Reply("1;3;"));
    // Long after the failure the guard costs nothing, even with bytes waiting.
    Run(200);
    line.now += 5000 * kMs;
    line.Arrive(AtMs(line.now), "stale");
    line.Arrive(AtMs(line.now) + 1, Reply("1;2;"));
    const double late = line.now;
    ASSERT_TRUE(Run(200).ok);
    EXPECT_DOUBLE_EQ(line.writeTimes.back(), late);
}

TEST_F(ExchangeOnTest, StopDuringTheGuardSendsNothingAndKeepsItArmed)
{
    Run(200);
    line.onWait = [this] {
        if (line.now > guard.since)
            MoreCOM::StopFlag = 1;
    };
    const size_t writes = line.writeTimes.size();
    const auto out = Run(200);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, 0);
    EXPECT_EQ(line.writeTimes.size(), writes);
    EXPECT_TRUE(guard.armed);
}

// The time-out runs from the moment the request has left the port: at 300
// baud a reply 3.9 s after the last byte went out still counts, although the
// write itself took 0.5 s.
TEST_F(ExchangeOnTest, TheTimeoutStartsWhenTheRequestHasLeftThePort)
{
    MoreCOM::BaudRate = 300;
    line.drainMs = 500;
    line.Arrive(500 + 3900, Reply("1;7;"));
    const auto out = Run(3970);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ(reply, Reply("1;7;"));

    // Output that never drains fails the write after 50 ms per byte + 100 ms.
    line = FakeLine{};
    line.drainMs = 1e9;
    const size_t frame = MoreCOM::BuildRequest(1, "1;0;").size();
    const auto stalled = Run(3970);
    EXPECT_EQ(stalled.error, 16);
    EXPECT_FALSE(stalled.gone);
    EXPECT_NEAR(AtMs(line.now), 50.0 * frame + 100, 1e-6);
    EXPECT_FALSE(guard.armed);

    // So does a queue that never takes the bytes.
    line = FakeLine{};
    line.writable = false;
    EXPECT_EQ(Run(3970).error, 16);
    EXPECT_TRUE(line.writeTimes.empty());
}

TEST_F(ExchangeOnTest, EveryExchangeDiscardsWhatTheLineHoldsBeforeWriting)
{
    line.Arrive(0, Reply("1;99;")); // an old reply still in the buffer
    line.Arrive(10, Reply("1;3;"));
    ASSERT_TRUE(Run(200).ok);
    EXPECT_EQ(reply, Reply("1;3;"));
    EXPECT_EQ(line.discardedBytes, static_cast<int>(Reply("1;99;").size()));
    EXPECT_EQ(line.written, MoreCOM::BuildRequest(1, "1;0;"));
}

TEST_F(ExchangeOnTest, ReplyAssemblyAcrossChunks)
{
    // Noise in its own chunk, the reply split, the rest after CR dropped.
    const std::string r = Reply("1;23.5;");
    line.Arrive(1, "\xFFgarbage;12\r");
    line.Arrive(2, "noise" + r.substr(0, 4));
    line.Arrive(3, r.substr(4) + "!1;99;0\r");
    ASSERT_TRUE(Run(200).ok);
    EXPECT_EQ(reply, r);

    // 250 characters from "!" on fail, also when the 250th is the CR.
    line = FakeLine{};
    const std::string body = std::string(246, '7');
    line.Arrive(1, "!" + body.substr(0, 100));
    line.Arrive(2, body.substr(100) + "12\r");
    EXPECT_EQ(Run(200).error, 15);

    // Stopped while the reply is under way: nothing in `reply`, error 0.
    line = FakeLine{};
    line.Arrive(1, "!1;");
    line.Arrive(50, r);
    line.onWait = [this] {
        if (!line.written.empty() && line.now >= 1 * kMs)
            MoreCOM::StopFlag = 1;
    };
    const auto stopped = Run(200);
    EXPECT_FALSE(stopped.ok);
    EXPECT_EQ(stopped.error, 0);
    EXPECT_TRUE(reply.empty());
}

TEST_F(ExchangeOnTest, BadRequestsTouchNothing)
{
    guard.armed = true;
    guard.since = 0;
    guard.interval = 100 * kMs;
    EXPECT_EQ(Run(200, std::string(241, 'A')).error, 19);
    reply.clear();
    EXPECT_EQ(MoreCOM::ExchangeOn(line, guard, "1;0;", 255, 200 * kMs, reply).error, 19);
    EXPECT_TRUE(line.written.empty());
    EXPECT_TRUE(line.discardTimes.empty());
    EXPECT_DOUBLE_EQ(line.now, 0);
    EXPECT_TRUE(guard.armed);
}
