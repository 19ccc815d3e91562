// Device exchange: framing, reply collection against the simulator on a
// pseudo-terminal, and reply validation.
#include "link_fixture.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono;

namespace
{

std::string Reply(const std::string &checked)
{
    return '!' + checked + std::to_string(MoreCOM::Crc16(checked)) + '\r';
}

double Seconds(steady_clock::time_point since)
{
    return duration<double>(steady_clock::now() - since).count();
}

} // namespace

TEST(CrcTest, WorkedExamplesAndCharacterClasses)
{
    EXPECT_EQ(MoreCOM::Crc16("1;1;0;"), 7627);
    EXPECT_EQ(MoreCOM::Crc16("1;23.5;"), 16959);
    uint16_t crc = 0xFFFF;
    MoreCOM::CrcStep(crc, '1');
    EXPECT_EQ(crc, MoreCOM::Crc16("1"));
    EXPECT_EQ(MoreCOM::BuildRequest(1, "1;0;"), std::string("\xFF:1;1;0;7627\r"));
    std::string numbers, values;
    for (int c = 0; c < 256; ++c) {
        if (MoreCOM::IsNumberChar(static_cast<uint8_t>(c)))
            numbers += static_cast<char>(c);
        if (MoreCOM::IsValueChar(static_cast<uint8_t>(c)))
            values += static_cast<char>(c);
    }
    EXPECT_EQ(numbers, "-.0123456789");
    EXPECT_EQ(values, "$-.0123456789");
}

TEST(ParseReplyTest, WellFormedLines)
{
    const std::string line = "!1;23.5;16959\r";
    EXPECT_TRUE(MoreCOM::ParseReply(line, 1, 1));
    EXPECT_EQ(MoreCOM::ReplyFields[1], "23.5");
    EXPECT_TRUE(MoreCOM::ParseReply("!1;23.5;016959\r", 1, 1)); // leading zero
    EXPECT_TRUE(MoreCOM::ParseReply("noise!1;23.5;16959\rtail", 1, 1));
    EXPECT_TRUE(MoreCOM::ParseReply(Reply("1;;"), 1, 1));
    EXPECT_EQ(MoreCOM::ReplyFields[1], "");
    EXPECT_TRUE(MoreCOM::ParseReply(Reply("7;"), 7, 0));
    EXPECT_TRUE(MoreCOM::ParseReply(Reply("001;$12;-2.5;"), 1, 2));
    EXPECT_EQ(MoreCOM::ReplyFields[1], "$12");
    EXPECT_EQ(MoreCOM::ReplyFields[2], "-2.5");
    std::string sixty = "3;";
    for (int k = 0; k < 60; ++k)
        sixty += std::to_string(k) + ';';
    EXPECT_TRUE(MoreCOM::ParseReply(Reply(sixty), 3, 60));
    EXPECT_EQ(MoreCOM::ReplyFields[60], "59");
}

TEST(ParseReplyTest, MalformedLinesFail)
{
    const std::string cases[] = {
        "!1;23.5;16958\r",                // wrong checksum
        "!1;23.5;16959",                  // no CR after the checksum
        "!1;23.5;16959;\r",               // something other than CR after it
        Reply("1;2a;"),                   // letters in a field
        Reply("1;23.5;4;"),               // more fields than asked for
        Reply("1.0;23.5;"),               // address not an integer
        Reply(";23.5;"),                  // no address
        "1;23.5;16959\r",                 // no "!"
        "!",                              // "!" is the last character
        "!1;",                            // nothing after the fields
        "!1;23.5;\r",                     // empty checksum
        "!1;23.5;99999999999999999999\r", // checksum beyond 64 bits
    };
    for (const std::string &line : cases)
        EXPECT_FALSE(MoreCOM::ParseReply(line, 1, 1)) << line;
    EXPECT_FALSE(MoreCOM::ParseReply("!1;23.5;16959\r", 2, 1)); // other address
    EXPECT_FALSE(MoreCOM::ParseReply(Reply("1;"), 1, 61));      // more than 60 fields
    MoreCOM::LastError = 33;
    MoreCOM::ParseReply("junk", 1, 1);
    EXPECT_EQ(MoreCOM::LastError, 33); // parsing never reports through LastError
}

using ExchangeTest = LinkTest;

TEST_F(ExchangeTest, WorkedExamplesOnTheWire)
{
    // The request as bytes on the line, read from a bare pseudo-terminal.
    {
        TestPty pty;
        ASSERT_TRUE(Open(1, pty.path));
        MoreCOM::ReplyTimeout = Ms(50);
        EXPECT_FALSE(MoreCOM::Exchange("1;0;", 1));
        EXPECT_EQ(MoreCOM::LastError, 9);
        char buf[64];
        const ssize_t n = read(pty.master, buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n > 0 ? n : 0), std::string("\xFF:1;1;0;7627\r"));
    }
    MoreCOM::ReplyTimeout = Ms(1000);

    // The reply, from the simulator answering channel 0 of address 1 with 23.5.
    MoreCOM::ClosePort(MoreCOM::CurrentHandle);
    sim::Simulator s;
    OpenSim(s);
    s.SetReading(1, 1, 0, "23.5");
    ASSERT_TRUE(MoreCOM::Exchange("1;0;", 1)) << MoreCOM::LastError;
    EXPECT_EQ(MoreCOM::LastError, 0);
    EXPECT_EQ(MoreCOM::ReplyLine, "!1;23.5;16959\r");
    EXPECT_TRUE(MoreCOM::ParseReply(1, 1));
    EXPECT_EQ(MoreCOM::ReplyFields[1], "23.5");
    // The buffer form returns the reply in the caller's buffer.
    std::string buffer = "1;0;";
    ASSERT_TRUE(MoreCOM::Exchange(buffer, 1, MoreCOM::ReplyTimeout));
    EXPECT_EQ(buffer, "!1;23.5;16959\r");
}

TEST_F(ExchangeTest, AddressAndBodyLimits)
{
    sim::Simulator s;
    OpenSim(s, {254});
    s.SetReading(1, 254, 0, "1");
    EXPECT_TRUE(MoreCOM::Exchange("1;0;", 254));
    EXPECT_EQ(s.RequestCount(1, 254), 1);
    for (int address : {255, -1}) {
        MoreCOM::ReplyLine = "kept";
        EXPECT_FALSE(MoreCOM::Exchange("1;0;", address));
        EXPECT_EQ(MoreCOM::LastError, 19);
        EXPECT_EQ(MoreCOM::ReplyLine, "kept");
    }
    MoreCOM::ReplyTimeout = Ms(60);
    EXPECT_FALSE(MoreCOM::Exchange(std::string(240, 'A'), 254)); // sent, but no reading asked
    EXPECT_EQ(MoreCOM::LastError, 9);
    EXPECT_EQ(s.RequestCount(1, 254), 2);
    EXPECT_FALSE(MoreCOM::Exchange(std::string(241, 'A'), 254));
    EXPECT_EQ(MoreCOM::LastError, 19);
    usleep(20000);
    EXPECT_EQ(s.RequestCount(1), 2); // nothing reached the line for the refused ones
}

TEST_F(ExchangeTest, TimeoutsWithoutAndAfterTheStartMark)
{
    sim::Simulator s;
    OpenSim(s, {1, 2});
    MoreCOM::ReplyTimeout = Ms(200);
    sim::Behaviour cut;
    cut.cutShort = 9; // "!2;23" arrives, the rest never does
    s.SetBehaviour(1, 2, cut);
    s.SetReading(1, 2, 0, "23.5");
    auto t0 = steady_clock::now();
    EXPECT_FALSE(MoreCOM::Exchange("1;0;", 3)); // nobody at address 3
    EXPECT_EQ(MoreCOM::LastError, 9);
    EXPECT_GE(Seconds(t0), 0.199);
    EXPECT_FALSE(MoreCOM::Exchange("1;0;", 2));
    EXPECT_EQ(MoreCOM::LastError, 7);
    // The address-1 instrument still answers on the same line afterwards.
    MoreCOM::ReplyTimeout = Ms(1000);
    EXPECT_TRUE(MoreCOM::Exchange("1;0;", 1));
    EXPECT_TRUE(MoreCOM::ParseReply(1, 1));
}

TEST_F(ExchangeTest, ReplyLengthLimit)
{
    sim::Simulator s;
    OpenSim(s, {1});
    // "!1;" + reading + ";" + CRC digits + CR: find readings giving 249 and 250 in total.
    for (int total : {249, 250}) {
        std::string reading;
        for (int len = total - 12; len < total && reading.empty(); ++len)
            for (char fill = '0'; fill <= '9' && reading.empty(); ++fill)
                if (static_cast<int>(Reply("1;" + std::string(len, fill) + ";").size()) == total)
                    reading = std::string(len, fill);
        ASSERT_FALSE(reading.empty());
        s.SetReading(1, 1, 0, reading);
        const bool ok = MoreCOM::Exchange("1;0;", 1);
        if (total == 249) {
            EXPECT_TRUE(ok) << MoreCOM::LastError;
            EXPECT_EQ(MoreCOM::ReplyLine.size(), 249u);
            EXPECT_TRUE(MoreCOM::ParseReply(1, 1));
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(MoreCOM::LastError, 15);
        }
    }
}

TEST_F(ExchangeTest, NoiseSplitsAndBytesAfterTheEnd)
{
    sim::Simulator s;
    OpenSim(s, {1, 2, 3});
    s.SetReading(1, 1, -1, "23.5");
    s.SetReading(1, 2, -1, "-0.125");
    s.SetReading(1, 3, -1, "7");
    sim::Behaviour noisy;
    noisy.noise = "\x00\xFFgarbage;12\r";
    noisy.noise.insert(0, 1, '\0');
    noisy.gapMs = 10; // the noise lands in an earlier read than the "!"
    s.SetBehaviour(1, 1, noisy);
    sim::Behaviour split;
    split.splitParts = 5;
    split.gapMs = 4;
    s.SetBehaviour(1, 2, split);
    sim::Behaviour trailing;
    trailing.trailer = "\r!3;99;0\r"; // same write as the reply: dropped by this exchange
    s.SetBehaviour(1, 3, trailing);

    ASSERT_TRUE(MoreCOM::Exchange("1;4;", 1));
    EXPECT_EQ(MoreCOM::ReplyLine, Reply("1;23.5;"));
    ASSERT_TRUE(MoreCOM::Exchange("1;0;", 2));
    EXPECT_EQ(MoreCOM::ReplyLine, Reply("2;-0.125;"));
    ASSERT_TRUE(MoreCOM::Exchange("1;0;", 3));
    EXPECT_EQ(MoreCOM::ReplyLine, Reply("3;7;"));
    EXPECT_TRUE(MoreCOM::ParseReply(3, 1));
    // The rest of the read after the CR was dropped: the next exchange sees
    // only its own reply, not the trailer's "!3;99;0".
    ASSERT_TRUE(MoreCOM::Exchange("1;0;", 1));
    EXPECT_EQ(MoreCOM::ReplyLine, Reply("1;23.5;"));
}

TEST_F(ExchangeTest, FaultyRepliesFailOnlyInTheParser)
{
    sim::Simulator s;
    OpenSim(s, {1, 2});
    s.SetReading(1, 1, 0, "5");
    s.SetReading(1, 2, 0, "5");
    sim::Behaviour crc;
    crc.wrongCrc = true;
    crc.faultEvery = 2;
    s.SetBehaviour(1, 1, crc);
    sim::Behaviour extra;
    extra.extraFields = 2;
    s.SetBehaviour(1, 2, extra);
    ASSERT_TRUE(MoreCOM::Exchange("1;0;", 1));
    EXPECT_TRUE(MoreCOM::ParseReply(1, 1)); // request 1: no fault
    ASSERT_TRUE(MoreCOM::Exchange("1;0;", 1));
    EXPECT_FALSE(MoreCOM::ParseReply(1, 1)); // request 2: wrong CRC
    ASSERT_TRUE(MoreCOM::Exchange("1;0;", 2));
    EXPECT_EQ(MoreCOM::LastError, 0);
    EXPECT_FALSE(MoreCOM::ParseReply(2, 1));
    EXPECT_TRUE(MoreCOM::ParseReply(2, 3));
}

// An event hook standing for the application: every wait sleeps at most
// `sliceMs` (as if window events kept arriving) and then runs `onEvent`.
static void SliceHook(double sliceMs, std::function<void()> onEvent)
{
    MoreCOM::SetEventHook([=](int fd, MoreCOM::WaitFor what, double deadline) {
        MoreCOM::PollWait(fd, what, std::min(deadline, MoreCOM::MonotonicDays() + sliceMs / 864e5));
        onEvent();
    });
}

TEST_F(ExchangeTest, StopFlagEndsTheWaitAtOnce)
{
    sim::Simulator s;
    OpenSim(s, {1});
    sim::Behaviour slow;
    slow.replyDelayMs = 2000;
    s.SetBehaviour(1, 1, slow);
    MoreCOM::ReplyTimeout = Ms(5000);
    int events = 0;
    SliceHook(10, [&] {
        if (++events == 20)
            MoreCOM::StopFlag = 1;
    });
    auto t0 = steady_clock::now();
    EXPECT_FALSE(MoreCOM::Exchange("1;0;", 1));
    EXPECT_EQ(MoreCOM::LastError, 0);
    EXPECT_EQ(events, 20);
    EXPECT_LT(Seconds(t0), 1.0);
    // Set before sending: nothing goes out.
    EXPECT_FALSE(MoreCOM::Exchange("1;0;", 1));
    EXPECT_EQ(MoreCOM::LastError, 0);
    usleep(20000);
    EXPECT_EQ(s.RequestCount(1), 1);
}

TEST_F(ExchangeTest, DeviceVanishingFailsAtOnce)
{
    // Pulled while waiting for the reply: read failure, device gone.
    sim::Simulator s;
    OpenSim(s, {1});
    sim::Behaviour slow;
    slow.replyDelayMs = 3000;
    s.SetBehaviour(1, 1, slow);
    MoreCOM::ReplyTimeout = Ms(5000);
    SliceHook(10, [&] {
        if (s.RequestCount(1, 1) == 1)
            s.Unplug(1);
    });
    auto t0 = steady_clock::now();
    EXPECT_FALSE(MoreCOM::Exchange("1;0;", 1));
    EXPECT_EQ(MoreCOM::LastError, 18);
    EXPECT_TRUE(MoreCOM::DeviceGone);
    EXPECT_LT(Seconds(t0), 1.0);
    // Already gone when sending: write failure.
    EXPECT_FALSE(MoreCOM::Exchange("1;0;", 1));
    EXPECT_EQ(MoreCOM::LastError, 16);
    EXPECT_TRUE(MoreCOM::DeviceGone);
    MoreCOM::SetEventHook({});

    // Hung up by the instrument side as it is asked.
    sim::Simulator s2;
    const std::string path = s2.AddPort(2, {5});
    ASSERT_TRUE(Open(2, path));
    sim::Behaviour hang;
    hang.hangUp = true;
    s2.SetBehaviour(2, 5, hang);
    t0 = steady_clock::now();
    EXPECT_FALSE(MoreCOM::Exchange("1;0;", 5));
    EXPECT_EQ(MoreCOM::LastError, 18);
    EXPECT_TRUE(MoreCOM::DeviceGone);
    EXPECT_LT(Seconds(t0), 1.0);
    // The dead port still closes cleanly.
    const int fd = MoreCOM::CurrentHandle;
    MoreCOM::ClosePort(fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    // A plain time-out is no vanished device.
    sim::Simulator s3;
    OpenSim(s3, {1});
    MoreCOM::ReplyTimeout = Ms(30);
    EXPECT_FALSE(MoreCOM::Exchange("1;0;", 9));
    EXPECT_EQ(MoreCOM::LastError, 9);
    EXPECT_FALSE(MoreCOM::DeviceGone);
}

TEST_F(ExchangeTest, AStalledLineFailsTheWriteAfterItsDeadline)
{
    TestPty pty; // nobody reads the master: the line's buffers fill up
    ASSERT_TRUE(Open(1, pty.path));
    const std::string block(4096, 'x');
    auto lastAccepted = steady_clock::now();
    while (Seconds(lastAccepted) < 0.05) {
        if (write(MoreCOM::CurrentHandle, block.data(), block.size()) > 0)
            lastAccepted = steady_clock::now();
        else
            usleep(2000);
    }
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(MoreCOM::Exchange("1;0;", 1));
    EXPECT_EQ(MoreCOM::LastError, 16);
    // 13 bytes: 50 ms each + 100 ms.
    EXPECT_GE(Seconds(t0), 0.74);
    EXPECT_LT(Seconds(t0), 5.0);
}

// A hand-written instrument on a bare pseudo-terminal: request k is answered
// after delaysMs[k] with the channel's own value (channel c reads c*10+1), the
// way a slow instrument answers late while the next request already waits.
TEST_F(ExchangeTest, ALateReplyNeverLandsOnTheNextPoint)
{
    TestPty pty;
    ASSERT_FALSE(pty.path.empty());
    ASSERT_TRUE(Open(1, pty.path));
    // Time-out 1 s, so G = 0.25 s: the late reply comes G/2 after the time-out, which leaves
    // room for scheduling delays either way.
    const std::vector<int> delaysMs = {1125, 0, 0};
    std::atomic<bool> done{false};
    std::thread instrument([&] {
        std::string in;
        size_t k = 0;
        char buf[256];
        while (!done && k < delaysMs.size()) {
            pollfd p{pty.master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = read(pty.master, buf, sizeof buf);
            if (n <= 0)
                break;
            in.append(buf, n);
            size_t cr;
            while ((cr = in.find('\r')) != std::string::npos) {
                const std::string frame = in.substr(0, cr);
                in.erase(0, cr + 1);
                const int channel = std::atoi(frame.c_str() + frame.find(";1;") + 3);
                usleep(delaysMs[std::min(k++, delaysMs.size() - 1)] * 1000);
                const std::string r = Reply("1;" + std::to_string(channel * 10 + 1) + ";");
                [[maybe_unused]] ssize_t w = write(pty.master, r.data(), r.size());
            }
        }
    });
    MoreCOM::ReplyTimeout = Ms(1000);
    std::vector<std::string> seen;
    for (int channel = 0; channel < 3; ++channel) {
        const bool ok = MoreCOM::Exchange("1;" + std::to_string(channel) + ";", 1);
        seen.push_back(ok && MoreCOM::ParseReply(1, 1) ? MoreCOM::ReplyFields[1]
                                                       : MoreCOM::ErrorText(MoreCOM::LastError));
    }
    done = true;
    instrument.join();
    std::string got;
    for (const std::string &r : seen)
        got += r + "|";
    EXPECT_EQ(got, "Нет ответа|11|21|");
}

// An unplugged adapter behind a stable name (a symbolic link, as in
// /dev/serial/by-id): the dead port is closed, opening the name fails while
// the device is absent, and succeeds on the new device once it is back.
TEST_F(ExchangeTest, UnplugAndReplugBehindAStableName)
{
    char dir[] = "/tmp/ptk71-byid-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string link = std::string(dir) + "/usb-Instrument_1234-if00";
    sim::Simulator s;
    ASSERT_EQ(symlink(s.AddPort(1, {1}).c_str(), link.c_str()), 0);
    s.SetReading(1, 1, 0, "5");
    ASSERT_TRUE(Open(1, link));
    ASSERT_TRUE(MoreCOM::Exchange("1;0;", 1));

    // Pulled: the device and its stable name go (the pseudo-terminal's number may at once
    // be taken by another process, so the old path could lead elsewhere).
    s.Unplug(1);
    unlink(link.c_str());
    EXPECT_FALSE(MoreCOM::Exchange("1;0;", 1));
    EXPECT_TRUE(MoreCOM::DeviceGone);
    MoreCOM::ClosePort(MoreCOM::CurrentHandle);
    MoreCOM::PortIndex = 0;
    EXPECT_FALSE(MoreCOM::OpenPort());
    EXPECT_EQ(MoreCOM::LastError, 5);
    EXPECT_NE(MoreCOM::OpenFailureReason.find("COM1 (" + link + "): cannot open: "),
              std::string::npos)
        << MoreCOM::OpenFailureReason;

    const std::string fresh = s.Replug(1);
    ASSERT_FALSE(fresh.empty());
    ASSERT_EQ(symlink(fresh.c_str(), link.c_str()), 0);
    ASSERT_TRUE(MoreCOM::OpenPort()) << MoreCOM::OpenFailureReason;
    EXPECT_TRUE(MoreCOM::OpenFailureReason.empty());
    ASSERT_TRUE(MoreCOM::Exchange("1;0;", 1)) << MoreCOM::LastError;
    EXPECT_TRUE(MoreCOM::ParseReply(1, 1));
    EXPECT_EQ(MoreCOM::ReplyFields[1], "5");
    MoreCOM::ClosePort(MoreCOM::CurrentHandle);
    unlink(link.c_str());
    rmdir(dir);
}
