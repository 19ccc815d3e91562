// Simulator library: readings, tracing, silence rules, pacing and shutdown.
#include "exchange.h"
#include "morecom.h"
#include "simulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <mutex>
#include <unistd.h>

using namespace std::chrono;

namespace
{

class SimulatorTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        MoreCOM::BaudRate = 9600;
        MoreCOM::ReplyTimeout = 1.0 / 86400;
        MoreCOM::StopFlag = 0;
    }
    void TearDown() override
    {
        MoreCOM::ClosePort(MoreCOM::CurrentHandle);
        MoreCOM::ClearPortPaths();
    }
    static bool Open(const std::string &path)
    {
        MoreCOM::SetPortPath(1, path);
        MoreCOM::PortIndex = 0;
        return MoreCOM::OpenPort();
    }
    /// Options whose trace collects its lines for Traced().
    sim::Options Tracing()
    {
        sim::Options o;
        o.trace = [this](const std::string &line) {
            std::lock_guard lock(traceMutex_);
            trace_.push_back(line);
        };
        return o;
    }
    std::vector<std::string> Traced()
    {
        std::lock_guard lock(traceMutex_);
        return trace_;
    }
    static double Ask(int address, int channel)
    {
        if (!MoreCOM::Exchange("1;" + std::to_string(channel) + ";", address) ||
            !MoreCOM::ParseReply(address, 1))
            return NAN;
        return std::stod(MoreCOM::ReplyFields[1]);
    }

  private:
    std::mutex traceMutex_;
    std::vector<std::string> trace_;
};

} // namespace

TEST_F(SimulatorTest, WavesArePlausibleAndDifferPerChannel)
{
    for (sim::Wave wave : {sim::Wave::Sine, sim::Wave::Triangle, sim::Wave::Ramp}) {
        sim::Options o;
        o.wave = wave;
        sim::Simulator s(o);
        for (int channel = 0; channel < 4; ++channel) {
            const std::string a = s.WaveReading(1, channel, 10.0);
            const std::string b = s.WaveReading(1, channel, 11.0);
            for (char c : a)
                EXPECT_TRUE(MoreCOM::IsValueChar(static_cast<uint8_t>(c))) << a;
            EXPECT_EQ(a.size() - a.find('.'), 3u) << a; // two decimals
            EXPECT_LT(std::fabs(std::stod(a) - std::stod(b)), 5.0) << "slowly varying";
            EXPECT_GE(std::stod(a), 0.0);
            EXPECT_LE(std::stod(a), 100.0);
        }
        EXPECT_NE(s.WaveReading(1, 0, 10.0), s.WaveReading(1, 1, 10.0));
        EXPECT_NE(s.WaveReading(1, 0, 10.0), s.WaveReading(1, 0, 40.0));
    }
}

TEST_F(SimulatorTest, AnswersOnlyItsInstrumentsAndTracesTheLine)
{
    sim::Simulator s(Tracing());
    ASSERT_TRUE(Open(s.AddPort(1, {1, 7})));
    EXPECT_TRUE(std::isfinite(Ask(7, 3)));
    s.SetReading(1, 1, -1, "-1.5");
    EXPECT_EQ(Ask(1, 9), -1.5);
    MoreCOM::ReplyTimeout = 0.05 / 86400;
    EXPECT_TRUE(std::isnan(Ask(2, 0))); // not on this line
    EXPECT_EQ(MoreCOM::LastError, 9);
    MoreCOM::ReplyTimeout = 1.0 / 86400;
    // A frame with a wrong CRC is not answered and counts for no address.
    const std::string bad = "\xFF:1;1;0;7628\r";
    ASSERT_EQ(write(MoreCOM::CurrentHandle, bad.data(), bad.size()), 13);
    EXPECT_EQ(Ask(1, 0), -1.5);
    usleep(10000);
    EXPECT_EQ(s.RequestCount(1, 1), 2);
    EXPECT_EQ(s.RequestCount(1, 7), 1);
    EXPECT_EQ(s.RequestCount(1, 2), 1);
    EXPECT_EQ(s.RequestCount(1), 5);

    const std::vector<std::string> trace = Traced();
    bool request = false, reply = false;
    for (const std::string &line : trace) {
        request |= line.find("COM1 request address 7 channel 3") != std::string::npos;
        reply |= line.find("COM1 reply address 1 channel 9: !1;-1.5;") != std::string::npos;
    }
    EXPECT_TRUE(request);
    EXPECT_TRUE(reply);
}

TEST_F(SimulatorTest, PacedRepliesTakeTheirWireTime)
{
    // 13-byte request + 14-byte reply = 270 bit times.
    for (int pace : {19200, -1}) {
        sim::Options o;
        o.paceBaud = pace;
        sim::Simulator s(o);
        MoreCOM::BaudRate = 4800;
        ASSERT_TRUE(Open(s.AddPort(1, {1})));
        s.SetReading(1, 1, 0, "23.5");
        const auto t0 = steady_clock::now();
        ASSERT_TRUE(MoreCOM::Exchange("1;0;", 1));
        const double took = duration<double>(steady_clock::now() - t0).count();
        EXPECT_GE(took, 270.0 / (pace > 0 ? pace : 4800)) << pace;
        MoreCOM::ClosePort(MoreCOM::CurrentHandle);
    }
}

TEST_F(SimulatorTest, StopsPromptlyWithRepliesPending)
{
    const auto t0 = steady_clock::now();
    {
        sim::Simulator s;
        ASSERT_TRUE(Open(s.AddPort(1, {1})));
        ASSERT_TRUE(s.AddPort(1, {2}).empty()); // a port is added once
        sim::Behaviour slow;
        slow.replyDelayMs = 10000;
        slow.splitParts = 3;
        s.SetBehaviour(1, 1, slow);
        const std::string frame = MoreCOM::BuildRequest(1, "1;0;");
        ASSERT_EQ(write(MoreCOM::CurrentHandle, frame.data(), frame.size()),
                  static_cast<ssize_t>(frame.size()));
        while (s.RequestCount(1, 1) == 0)
            usleep(1000);
    }
    EXPECT_LT(duration<double>(steady_clock::now() - t0).count(), 2.0);
}

// The trace shows the bytes as they went over the line, one write per line,
// each stamped with its time: the noise, every split piece, the cut reply.
TEST_F(SimulatorTest, TraceShowsTheWireWithTimes)
{
    sim::Simulator s(Tracing());
    ASSERT_TRUE(Open(s.AddPort(1, {1})));
    s.SetReading(1, 1, 0, "23.5");
    sim::Behaviour b;
    b.noise = "zz";
    b.splitParts = 2;
    b.cutShort = 1; // the CR never comes
    s.SetBehaviour(1, 1, b);
    MoreCOM::ReplyTimeout = 0.1 / 86400;
    EXPECT_TRUE(std::isnan(Ask(1, 0)));
    EXPECT_EQ(MoreCOM::LastError, 7);
    usleep(20000);

    const std::vector<std::string> trace = Traced();
    std::vector<std::string> wire;
    double last = -1;
    for (const std::string &line : trace) {
        double at = -1;
        char rest[256] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf %255[^\n]", &at, rest), 2) << line;
        EXPECT_GE(at, last) << line;
        last = at;
        const std::string text = rest;
        if (text.rfind("COM1 <  ", 0) == 0 || text.rfind("COM1 >  ", 0) == 0)
            wire.push_back(text);
    }
    // "!1;23.5;16959" without its CR, in two pieces after the noise.
    EXPECT_EQ(wire, (std::vector<std::string>{"COM1 <  \\xFF:1;1;0;7627\\r", "COM1 >  zz",
                                              "COM1 >  !1;23.", "COM1 >  5;16959"}));
    bool faults = false;
    for (const std::string &line : trace)
        faults |= line.find("COM1 reply address 1 faults: noise first, split in 2 pieces, last 1 "
                            "bytes cut") != std::string::npos;
    EXPECT_TRUE(faults);
}

// A late reply: the instrument answers after the delay, and the requests that
// arrive meanwhile wait behind it and are answered after it, in order.
TEST_F(SimulatorTest, LateRepliesKeepLaterRequestsWaiting)
{
    sim::Simulator s;
    ASSERT_TRUE(Open(s.AddPort(1, {1})));
    sim::Behaviour late;
    late.lateMs = 300;
    late.faultEvery = 2;
    s.SetBehaviour(1, 1, late);
    s.SetReading(1, 1, 2, "22");
    s.SetReading(1, 1, 3, "33");
    auto t0 = steady_clock::now();
    EXPECT_FALSE(std::isnan(Ask(1, 1)));
    EXPECT_LT(duration<double>(steady_clock::now() - t0).count(), 0.3) << "request 1: not late";
    const int fd = MoreCOM::CurrentHandle;
    t0 = steady_clock::now();
    for (const char *body : {"1;2;", "1;3;"}) {
        const std::string frame = MoreCOM::BuildRequest(1, body);
        ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    }
    std::string got;
    while (std::count(got.begin(), got.end(), '\r') < 2 &&
           duration<double>(steady_clock::now() - t0).count() < 3) {
        char buf[64];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, n);
        else
            usleep(2000);
    }
    EXPECT_GE(duration<double>(steady_clock::now() - t0).count(), 0.3);
    auto reply = [](const std::string &checked) {
        return '!' + checked + std::to_string(MoreCOM::Crc16(checked)) + '\r';
    };
    EXPECT_EQ(got, reply("1;22;") + reply("1;33;"));
    EXPECT_EQ(s.RequestCount(1, 1), 3);
}

TEST_F(SimulatorTest, ReplugGivesAFreshLineWithTheSameInstruments)
{
    sim::Simulator s;
    ASSERT_TRUE(Open(s.AddPort(1, {1})));
    s.SetReading(1, 1, -1, "8");
    EXPECT_EQ(Ask(1, 0), 8.0);
    s.Unplug(1);
    EXPECT_TRUE(std::isnan(Ask(1, 0)));
    MoreCOM::ClosePort(MoreCOM::CurrentHandle);
    const std::string path = s.Replug(1);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(s.SlavePath(1), path);
    ASSERT_TRUE(Open(path));
    EXPECT_EQ(Ask(1, 0), 8.0);
    EXPECT_EQ(s.RequestCount(1, 1), 2); // the one sent into the unplugged line never arrived
    EXPECT_TRUE(s.Replug(5).empty());   // never added
}
