// Instrument simulator: one pseudo-terminal and one serving thread per port.
#include "simulator.h"

#include "exchange.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sim
{

namespace
{

double NowSec()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

int BaudOf(speed_t s)
{
    static const std::pair<speed_t, int> speeds[] = {
        {B300, 300},   {B600, 600},     {B1200, 1200},   {B2400, 2400},   {B4800, 4800},
        {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
    };
    for (const auto &[constant, rate] : speeds)
        if (constant == s)
            return rate;
    return 0;
}

// Text for a trace line: control and non-ASCII bytes as \xNN, CR as \r.
std::string Printable(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

struct Simulator::Port {
    int com = 0;
    std::set<int> addresses;
    int master = -1;
    int slaveHold = -1; // keeps the slave side alive, so the master never sees a hang-up
    int wake = -1;      // eventfd: stop request
    std::string path;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::mutex shutdownMutex;
    std::string input;
    double frameStart = 0;

    // Sleeps until `until` (monotonic seconds); false when asked to stop.
    bool SleepUntil(double until)
    {
        for (;;) {
            if (stop)
                return false;
            const double left = until - NowSec();
            if (left <= 0)
                return true;
            pollfd p{wake, POLLIN, 0};
            timespec ts{static_cast<time_t>(left), static_cast<long>(std::fmod(left, 1.0) * 1e9)};
            ppoll(&p, 1, &ts, nullptr);
        }
    }

    // Writes all bytes to the master; false when asked to stop or the line is gone.
    bool WriteAll(const std::string &bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            if (stop || master < 0)
                return false;
            const ssize_t w = ::write(master, bytes.data() + done, bytes.size() - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            pollfd p[2] = {{master, POLLOUT, 0}, {wake, POLLIN, 0}};
            ::poll(p, 2, 10);
        }
        return true;
    }

    void CloseFds()
    {
        for (int *fd : {&master, &slaveHold, &wake}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }

    // Creates the pseudo-terminal: the master set raw at once (nothing the
    // instrument sends is echoed or translated before the program configures
    // its side) and non-blocking, a descriptor held on the slave, the stop
    // eventfd. Returns the slave path, "" on failure (nothing left open).
    std::string OpenLine()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0)
            return {};
        char name[128];
        termios tio{};
        if (grantpt(master) != 0 || unlockpt(master) != 0 ||
            ptsname_r(master, name, sizeof name) != 0 || tcgetattr(master, &tio) != 0) {
            CloseFds();
            return {};
        }
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        slaveHold = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (slaveHold < 0 || wake < 0) {
            CloseFds();
            return {};
        }
        return name;
    }

    // Stops the serving thread and closes the line (idempotent); the caller
    // holds shutdownMutex.
    void Shutdown()
    {
        stop = true;
        if (wake >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t w = ::write(wake, &one, sizeof one);
        }
        if (thread.joinable())
            thread.join();
        CloseFds();
    }
};

Simulator::Simulator(Options options) : options_(std::move(options)), startSec_(NowSec()) {}

Simulator::~Simulator()
{
    Stop();
}

std::string Simulator::AddPort(int com, const std::vector<int> &addresses)
{
    auto port = std::make_unique<Port>();
    port->com = com;
    port->addresses.insert(addresses.begin(), addresses.end());
    {
        std::lock_guard lock(mutex_);
        if (ports_.count(com))
            return {};
    }
    const std::string path = port->OpenLine();
    if (path.empty())
        return {};
    port->path = path;
    Port *raw = port.get();
    // Held until the thread object is set, so a concurrent Unplug waits for it.
    std::lock_guard starting(raw->shutdownMutex);
    {
        std::lock_guard lock(mutex_);
        if (ports_.count(com)) {
            port->CloseFds();
            return {};
        }
        ports_[com] = std::move(port);
    }
    raw->thread = std::thread([this, raw] { Serve(*raw); });
    return path;
}

std::string Simulator::SlavePath(int com) const
{
    std::lock_guard lock(mutex_);
    auto it = ports_.find(com);
    return it == ports_.end() ? std::string() : it->second->path;
}

void Simulator::SetReading(int com, int address, int channel, const std::string &text)
{
    std::lock_guard lock(mutex_);
    readings_[{com, address, channel}] = text;
}

void Simulator::SetBehaviour(int com, int address, const Behaviour &behaviour)
{
    std::lock_guard lock(mutex_);
    behaviours_[{com, address}] = behaviour;
}

int Simulator::RequestCount(int com, int address) const
{
    std::lock_guard lock(mutex_);
    if (address < 0) {
        auto it = frameCounts_.find(com);
        return it == frameCounts_.end() ? 0 : it->second;
    }
    auto it = counts_.find({com, address});
    return it == counts_.end() ? 0 : it->second;
}

void Simulator::Unplug(int com)
{
    Port *port = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = ports_.find(com);
        if (it == ports_.end())
            return;
        port = it->second.get();
    }
    std::lock_guard down(port->shutdownMutex);
    port->Shutdown();
}

std::string Simulator::Replug(int com)
{
    Port *port = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = ports_.find(com);
        if (it == ports_.end())
            return {};
        port = it->second.get();
    }
    std::lock_guard down(port->shutdownMutex);
    port->Shutdown();
    port->stop = false;
    port->input.clear();
    const std::string path = port->OpenLine();
    {
        std::lock_guard lock(mutex_);
        port->path = path;
    }
    if (path.empty())
        return {};
    Trace("COM" + std::to_string(com) + " plugged in again at " + path);
    port->thread = std::thread([this, port] { Serve(*port); });
    return path;
}

void Simulator::Stop()
{
    std::vector<int> coms;
    {
        std::lock_guard lock(mutex_);
        for (const auto &entry : ports_)
            coms.push_back(entry.first);
    }
    for (int com : coms)
        Unplug(com);
}

std::string Simulator::WaveReading(int address, int channel, double seconds) const
{
    const double phase = 0.9 * channel + 0.37 * address;
    const double cycle = seconds / options_.periodSec + phase / (2 * M_PI);
    const double frac = cycle - std::floor(cycle);
    double value = 0;
    switch (options_.wave) {
    case Wave::Sine:
        value = 20.0 + 10.0 * std::sin(2 * M_PI * cycle);
        break;
    case Wave::Triangle:
        value = 10.0 + 20.0 * (frac < 0.5 ? 2 * frac : 2 - 2 * frac);
        break;
    case Wave::Ramp:
        value = 100.0 * frac;
        break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

void Simulator::Trace(const std::string &line) const
{
    Trace(NowSec(), line);
}

void Simulator::Trace(double atSec, const std::string &line) const
{
    if (options_.trace) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%11.6f ", atSec - startSec_);
        std::lock_guard lock(traceMutex_);
        options_.trace(stamp + line);
    }
}

void Simulator::Serve(Port &port)
{
    char chunk[256];
    while (!port.stop && port.master >= 0) {
        pollfd p[2] = {{port.master, POLLIN, 0}, {port.wake, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        if (port.stop || port.master < 0)
            break;
        if (!(p[0].revents & POLLIN)) {
            if (p[0].revents & (POLLHUP | POLLERR))
                port.SleepUntil(NowSec() + 0.005); // nobody on the line; do not spin
            continue;
        }
        const ssize_t n = ::read(port.master, chunk, sizeof chunk);
        if (n <= 0)
            continue;
        if (options_.trace)
            Trace("COM" + std::to_string(port.com) + " <  " +
                  Printable(std::string(chunk, static_cast<size_t>(n))));
        if (port.input.empty())
            port.frameStart = NowSec();
        port.input.append(chunk, static_cast<size_t>(n));
        size_t cr;
        while (port.master >= 0 && (cr = port.input.find('\r')) != std::string::npos) {
            const std::string frame = port.input.substr(0, cr);
            port.input.erase(0, cr + 1);
            HandleFrame(port, frame);
            if (!port.input.empty())
                port.frameStart = NowSec();
        }
        // A line without CR never grows without bound.
        if (port.input.size() > 4096)
            port.input.clear();
    }
}

void Simulator::HandleFrame(Port &port, const std::string &frame)
{
    const int com = port.com;
    const std::string prefix = "COM" + std::to_string(com);
    {
        std::lock_guard lock(mutex_);
        ++frameCounts_[com];
    }
    // frame: ... 0xFF ':' address ';' body crc   (the CR already removed)
    const size_t mark = frame.rfind("\xFF:");
    if (mark == std::string::npos) {
        Trace(prefix + " request malformed: " + Printable(frame));
        return;
    }
    const std::string text = frame.substr(mark + 2);
    // The checksum is the trailing run of digits; the body itself may end in
    // digits, so take the shortest split whose CRC matches.
    size_t digits = 0;
    while (digits < text.size() && digits < 5 &&
           std::isdigit(static_cast<unsigned char>(text[text.size() - 1 - digits])))
        ++digits;
    std::string checked;
    bool crcOk = false;
    for (size_t k = 1; k <= digits && !crcOk; ++k) {
        checked = text.substr(0, text.size() - k);
        crcOk =
            std::strtoul(text.c_str() + text.size() - k, nullptr, 10) == MoreCOM::Crc16(checked);
    }
    const size_t semi = checked.find(';');
    if (!crcOk || semi == 0 || semi == std::string::npos || semi > 9 ||
        checked.find_first_not_of("0123456789") != semi) {
        Trace(prefix + " request with bad frame or CRC: " + Printable(frame));
        return;
    }
    const int address = std::atoi(checked.substr(0, semi).c_str());
    const std::string body = checked.substr(semi + 1);
    int channel = -1;
    if (body.size() >= 4 && body.compare(0, 2, "1;") == 0 && body.back() == ';' &&
        body.find_first_not_of("0123456789", 2) == body.size() - 1 && body.size() <= 12)
        channel = std::atoi(body.c_str() + 2);

    Behaviour b;
    std::string reading;
    bool faulty = false;
    {
        std::lock_guard lock(mutex_);
        const int count = ++counts_[{com, address}];
        auto bit = behaviours_.find({com, address});
        b = bit != behaviours_.end() ? bit->second : options_.defaults;
        faulty = b.faultEvery <= 1 || count % b.faultEvery == 0;
        auto rit = readings_.find({com, address, channel});
        if (rit == readings_.end())
            rit = readings_.find({com, address, -1});
        if (rit != readings_.end())
            reading = rit->second;
        else
            reading = WaveReading(address, channel, NowSec() - startSec_);
    }
    Trace(prefix + " request address " + std::to_string(address) + " channel " +
          std::to_string(channel) + ": " + Printable(body));
    if (!port.addresses.count(address) || channel < 0)
        return; // not ours, or not a reading request: silence, as on RS-485
    if (faulty && b.hangUp) {
        Trace(prefix + " hangs up");
        ::close(port.master);
        ::close(port.slaveHold);
        port.master = port.slaveHold = -1;
        return;
    }
    if (faulty && b.silent) {
        Trace(prefix + " address " + std::to_string(address) + " stays silent");
        return;
    }

    int baud = options_.paceBaud;
    if (baud < 0) {
        termios tio{};
        baud = tcgetattr(port.master, &tio) == 0 ? BaudOf(cfgetospeed(&tio)) : 0;
    }
    const double byteSec = baud > 0 ? 10.0 / baud : 0.0;
    // The request took its wire time to arrive, counted from its first byte.
    double t = port.frameStart + (frame.size() + 1) * byteSec;
    t = std::max(t, NowSec()) + b.replyDelayMs / 1000.0;
    if (faulty && b.lateMs > 0) {
        // A slow instrument: the line waits for it, requests behind it queue.
        Trace(prefix + " reply address " + std::to_string(address) + " late by " +
              std::to_string(b.lateMs) + " ms");
        t += b.lateMs / 1000.0;
    }
    if (!port.SleepUntil(t))
        return;

    std::string checkedReply = std::to_string(address) + ';' + reading + ';';
    for (int k = 0; faulty && k < b.extraFields; ++k)
        checkedReply += std::to_string(k) + ';';
    uint16_t crc = MoreCOM::Crc16(checkedReply);
    if (faulty && b.wrongCrc)
        crc = static_cast<uint16_t>(crc + 1);
    std::string reply = '!' + checkedReply + std::to_string(crc) + '\r';
    if (faulty && b.cutShort > 0)
        reply.resize(reply.size() > static_cast<size_t>(b.cutShort) ? reply.size() - b.cutShort
                                                                    : 0);
    std::vector<std::string> pieces;
    if (faulty && !b.noise.empty())
        pieces.push_back(b.noise);
    const int parts = faulty ? std::max(1, std::min<int>(b.splitParts, reply.size())) : 1;
    for (int k = 0; k < parts; ++k) {
        const size_t from = reply.size() * k / parts;
        const size_t to = reply.size() * (k + 1) / parts;
        pieces.push_back(reply.substr(from, to - from));
    }
    if (faulty && !b.trailer.empty())
        pieces.back() += b.trailer;
    if (faulty && options_.trace) {
        std::string faults;
        auto add = [&](const std::string &f) { faults += (faults.empty() ? "" : ", ") + f; };
        if (!b.noise.empty())
            add("noise first");
        if (parts > 1)
            add("split in " + std::to_string(parts) + " pieces");
        if (b.cutShort > 0)
            add("last " + std::to_string(b.cutShort) + " bytes cut");
        if (b.extraFields > 0)
            add(std::to_string(b.extraFields) + " extra fields");
        if (b.wrongCrc)
            add("wrong CRC");
        if (!b.trailer.empty())
            add("trailer after the CR");
        if (!faults.empty())
            Trace(prefix + " reply address " + std::to_string(address) + " faults: " + faults);
    }

    for (size_t k = 0; k < pieces.size(); ++k) {
        if (k > 0 && !port.SleepUntil(NowSec() + b.gapMs / 1000.0))
            return;
        const double began = NowSec();
        if (byteSec > 0) {
            // One byte at a time, each when its last bit would have arrived;
            // counted from the planned start, so a late wake-up catches up.
            double due = k == 0 ? t : NowSec();
            for (char c : pieces[k]) {
                due += byteSec;
                if (!port.SleepUntil(due) || !port.WriteAll(std::string(1, c)))
                    return;
            }
        } else if (!port.WriteAll(pieces[k])) {
            return;
        }
        Trace(began, prefix + " >  " + Printable(pieces[k]));
    }
    Trace(prefix + " reply address " + std::to_string(address) + " channel " +
          std::to_string(channel) + ": " + Printable(reply));
}

} // namespace sim
