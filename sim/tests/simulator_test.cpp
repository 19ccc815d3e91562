// Simulator library: readings, tracing, silence rules, pacing and shutdown.
#include "exchange.h"
#include "morecom.h"
#include "simulator.h"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
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
    static double Ask(int address, int channel)
    {
        if (!MoreCOM::Exchange(address, "1;" + std::to_string(channel) + ";") ||
            !MoreCOM::ParseReply(address, 1))
            return NAN;
        return std::stod(MoreCOM::ReplyFields[1]);
    }
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
    std::vector<std::string> trace;
    std::mutex m;
    sim::Options o;
    o.trace = [&](const std::string &line) {
        std::lock_guard lock(m);
        trace.push_back(line);
    };
    sim::Simulator s(o);
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

    std::lock_guard lock(m);
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
        ASSERT_TRUE(MoreCOM::Exchange(1, "1;0;"));
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
