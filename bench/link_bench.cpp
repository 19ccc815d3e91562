// Device link benchmarks against the simulator on pseudo-terminals:
//  1. round trip of one Exchange vs. a minimal poll()-based round trip on a
//     bare pseudo-terminal pair (ratio of medians, target <= 1.5; p99);
//  2. CPU seconds per wall second while Exchange waits out a silent
//     instrument at 300 baud (3.97 s time-out; target <= 0.005, goal 0.001);
//  3. a pass of 8 points with the simulator pacing bytes at 19200 baud:
//     measured time / pure wire time of the frames (target <= 1.05);
//  4. the extra time per pass the late-reply guard costs after a time-out,
//     on a quiet line and with the reply arriving late, against the same
//     pass without the guard and against waiting out a whole time-out;
//  5. the cost of one attempt to open a port whose device is absent.
// Usage: link_bench [round-trips]   (default 2000)
#include "exchange.h"
#include "morecom.h"
#include "simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace
{

double Micros(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::micro>(b - a).count();
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1))];
}

double CpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

bool OpenCom1(const std::string &path)
{
    MoreCOM::SetPortPath(1, path);
    MoreCOM::PortIndex = 0;
    return MoreCOM::OpenPort();
}

// The baseline: a responder thread on a bare master answering a fixed reply,
// and a client that writes the request and waits with read + poll(1 ms).
std::vector<double> BareRoundTrips(int count)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    termios tio{};
    grantpt(master);
    unlockpt(master);
    ptsname_r(master, name, sizeof name);
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &tio);

    std::atomic<bool> stop{false};
    std::thread responder([&] {
        const std::string reply = "!1;23.5;16959\r";
        std::string in;
        char buf[256];
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                continue;
            in.append(buf, n);
            if (in.find('\r') != std::string::npos) {
                in.clear();
                [[maybe_unused]] ssize_t w = write(master, reply.data(), reply.size());
            }
        }
    });
    const std::string request = MoreCOM::BuildRequest(1, "1;0;");
    std::vector<double> times;
    char buf[240];
    for (int i = 0; i < count + 50; ++i) {
        const auto t0 = Clock::now();
        [[maybe_unused]] ssize_t w = write(slave, request.data(), request.size());
        bool done = false;
        while (!done) {
            ssize_t n = read(slave, buf, sizeof buf);
            if (n > 0) {
                done = std::find(buf, buf + n, '\r') != buf + n;
                continue;
            }
            pollfd p{slave, POLLIN, 0};
            poll(&p, 1, 1);
        }
        if (i >= 50)
            times.push_back(Micros(t0, Clock::now()));
    }
    stop = true;
    responder.join();
    close(slave);
    close(master);
    return times;
}

std::vector<double> ExchangeRoundTrips(int count)
{
    sim::Simulator s;
    if (!OpenCom1(s.AddPort(1, {1}))) {
        std::fprintf(stderr, "cannot open the simulated port\n");
        std::exit(1);
    }
    s.SetReading(1, 1, 0, "23.5");
    MoreCOM::ReplyTimeout = 1.0 / 86400;
    std::vector<double> times;
    for (int i = 0; i < count + 50; ++i) {
        const auto t0 = Clock::now();
        if (!MoreCOM::Exchange("1;0;", 1)) {
            std::fprintf(stderr, "exchange failed: %d\n", MoreCOM::LastError);
            std::exit(1);
        }
        if (i >= 50)
            times.push_back(Micros(t0, Clock::now()));
    }
    MoreCOM::ClosePort(MoreCOM::CurrentHandle);
    return times;
}

void SilentWaitCpu()
{
    sim::Simulator s;
    MoreCOM::ApplySpeed(0); // 300 baud, 3.97 s
    OpenCom1(s.AddPort(1, {1}));
    sim::Behaviour silent;
    silent.silent = true;
    s.SetBehaviour(1, 1, silent);
    std::vector<double> ratios;
    for (int i = 0; i < 3; ++i) {
        MoreCOM::ResetGuard(MoreCOM::CurrentHandle); // the reply wait alone
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        MoreCOM::Exchange("1;0;", 1);
        const double wall = Micros(t0, Clock::now()) * 1e-6;
        ratios.push_back((CpuSeconds() - cpu0) / wall);
        if (MoreCOM::LastError != 9)
            std::fprintf(stderr, "unexpected error %d\n", MoreCOM::LastError);
    }
    MoreCOM::ClosePort(MoreCOM::CurrentHandle);
    MoreCOM::ApplySpeed(5);
    std::printf("silent wait at 300 baud (3.97 s time-out, 3 runs): CPU s per wall s median "
                "%.5f, max %.5f (target <= 0.005, goal 0.001)\n",
                Percentile(ratios, 0.5), Percentile(ratios, 1.0));
}

// Seconds of one pass of two points on one line at `speedIndex`: the first
// gets no reply (nobody at address 2, or a reply `lateMs` after its time-out),
// the second answers at once. With `guard` false the port's guard is forgotten
// before the second point, as if there were none.
double GuardPassSeconds(sim::Simulator &s, bool guard, int lateMs)
{
    sim::Behaviour b;
    b.lateMs = lateMs > 0 ? static_cast<int>(MoreCOM::ReplyTimeout * 86400e3) + lateMs : 0;
    b.silent = lateMs <= 0;
    s.SetBehaviour(1, 2, b);
    const int handle = MoreCOM::CurrentHandle;
    usleep(20000); // let a late reply of the previous pass arrive and be flushed
    MoreCOM::ResetGuard(handle);
    const auto t0 = Clock::now();
    MoreCOM::Exchange("1;0;", 2);
    if (!guard)
        MoreCOM::ResetGuard(handle);
    const bool ok = MoreCOM::Exchange("1;0;", 1) && MoreCOM::ParseReply(1, 1);
    const double took = Micros(t0, Clock::now()) * 1e-6;
    if (guard && !ok)
        std::fprintf(stderr, "guarded pass lost its reading: %d\n", MoreCOM::LastError);
    return took;
}

void GuardCost()
{
    for (int speed : {5, 3, 0}) {
        sim::Simulator s;
        MoreCOM::ApplySpeed(speed);
        OpenCom1(s.AddPort(1, {1, 2}));
        s.SetReading(1, 1, 0, "1");
        const double timeout = MoreCOM::ReplyTimeout * 86400.0;
        const double g = MoreCOM::GuardInterval(MoreCOM::ReplyTimeout) * 86400.0;
        // At 300 baud a pass takes about 9 s: the quiet line only, twice.
        for (int lateMs : speed == 0 ? std::vector<int>{0} : std::vector<int>{0, 50}) {
            std::vector<double> with, without;
            for (int i = 0; i < (speed == 0 ? 2 : 5); ++i) {
                with.push_back(GuardPassSeconds(s, true, lateMs));
                without.push_back(GuardPassSeconds(s, false, lateMs));
            }
            const double extra = Percentile(with, 0.5) - Percentile(without, 0.5);
            std::printf("guard at %d baud (time-out %.3f s, G %.3f s), %s: pass %.3f s vs %.3f s "
                        "without: extra %.3f s per pass (whole time-out instead: %.3f s)\n",
                        MoreCOM::BaudRate, timeout, g,
                        lateMs > 0 ? "reply 50 ms late" : "quiet line", Percentile(with, 0.5),
                        Percentile(without, 0.5), extra, timeout);
        }
        MoreCOM::ClosePort(MoreCOM::CurrentHandle);
    }
    MoreCOM::ApplySpeed(5);
}

void AbsentReopen()
{
    char dir[] = "/tmp/ptk71-bench-XXXXXX";
    if (!mkdtemp(dir))
        return;
    const std::string dangling = std::string(dir) + "/usb-Instrument-if00";
    [[maybe_unused]] int r = symlink("/dev/pts/987654", dangling.c_str());
    for (const std::string &path : {std::string("/dev/serial/by-id/usb-Absent-if00"), dangling}) {
        MoreCOM::SetPortPath(1, path);
        MoreCOM::PortIndex = 0;
        std::vector<double> times;
        for (int i = 0; i < 20000; ++i) {
            const auto t0 = Clock::now();
            const bool opened = MoreCOM::OpenPort();
            times.push_back(Micros(t0, Clock::now()));
            if (opened || MoreCOM::LastError != 5) {
                std::fprintf(stderr, "unexpected open result\n");
                break;
            }
        }
        std::printf("reopen attempt on an absent path (%s): median %.2f us, p99 %.2f us\n",
                    path == dangling ? "dangling stable name" : "missing by-id name",
                    Percentile(times, 0.5), Percentile(times, 0.99));
    }
    unlink(dangling.c_str());
    rmdir(dir);
    MoreCOM::ClearPortPaths();
}

void PacedPass()
{
    sim::Options o;
    o.paceBaud = 19200;
    sim::Simulator s(o);
    MoreCOM::ApplySpeed(6);
    OpenCom1(s.AddPort(1, {1, 2}));
    s.SetReading(1, 1, -1, "23.50");
    s.SetReading(1, 2, -1, "-4.25");
    std::vector<double> ratios;
    for (int pass = 0; pass < 10; ++pass) {
        double wireBits = 0;
        const auto t0 = Clock::now();
        for (int point = 0; point < 8; ++point) {
            const int address = 1 + point % 2;
            const std::string body = "1;" + std::to_string(point) + ";";
            if (!MoreCOM::Exchange(body, address)) {
                std::fprintf(stderr, "paced exchange failed: %d\n", MoreCOM::LastError);
                std::exit(1);
            }
            wireBits +=
                10.0 * (MoreCOM::BuildRequest(address, body).size() + MoreCOM::ReplyLine.size());
        }
        const double took = Micros(t0, Clock::now()) * 1e-6;
        ratios.push_back(took / (wireBits / 19200));
    }
    MoreCOM::ClosePort(MoreCOM::CurrentHandle);
    std::printf("8-point pass paced at 19200 baud (10 passes): measured / wire time median %.4f, "
                "max %.4f (target <= 1.05)\n",
                Percentile(ratios, 0.5), Percentile(ratios, 1.0));
}

} // namespace

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;
    const std::vector<double> bare = BareRoundTrips(count);
    const std::vector<double> exch = ExchangeRoundTrips(count);
    const double bareMedian = Percentile(bare, 0.5);
    const double exchMedian = Percentile(exch, 0.5);
    std::printf("round trip, %d each: bare pty median %.1f us p99 %.1f us; Exchange+simulator "
                "median %.1f us p99 %.1f us\n",
                count, bareMedian, Percentile(bare, 0.99), exchMedian, Percentile(exch, 0.99));
    std::printf("round trip ratio of medians %.3f (target <= 1.5)\n", exchMedian / bareMedian);
    SilentWaitCpu();
    PacedPass();
    GuardCost();
    AbsentReopen();
    return 0;
}
