// Instrument simulator: answers requests on pseudo-terminals the way measuring
// instruments on an RS-485 line do.
//
// Each AddPort creates one pseudo-terminal (master set raw at once) and a
// thread that reads requests from the master and answers those addressed to
// the instruments listed for that port: "!" address ";" reading ";" CRC-16 CR.
// Unknown addresses, malformed frames and frames with a wrong CRC get no
// answer. The program under test opens the slave path (SlavePath).
//
// Readings: each channel of each instrument follows a slowly varying wave with
// a per-channel phase, unless SetReading fixed its text. Behaviour chooses a
// reply delay and fault injection per instrument. All methods are thread-safe;
// destroying the simulator stops its threads and closes every descriptor.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace sim
{

/// Shape of the simulated readings over time.
enum class Wave { Sine, Triangle, Ramp };

/// How one instrument answers. The faults apply to every faultEvery-th request.
struct Behaviour {
    int replyDelayMs = 0;  ///< wait before answering
    bool silent = false;   ///< never answer (the request is still counted)
    bool wrongCrc = false; ///< send a CRC off by one
    std::string noise;     ///< bytes sent (in a write of their own) before the "!"
    int splitParts = 1;    ///< reply written in this many pieces
    int gapMs = 3;         ///< pause after the noise and between split pieces
    int cutShort = 0;      ///< drop this many bytes from the end (no CR arrives)
    int extraFields = 0;   ///< append this many fields after the reading
    std::string trailer;   ///< bytes written right after the CR, in the same write
    bool hangUp = false;   ///< hang up the line (like a pulled USB adapter) instead of answering
    int lateMs = 0;        ///< answer this much later than usual (requests behind it wait)
    int faultEvery = 1;    ///< faults apply to requests 1*n, 2*n, ... of this instrument
};

/// Settings for the whole simulator.
struct Options {
    Wave wave = Wave::Sine;
    double periodSec = 120.0; ///< period of the wave
    /// Pace the bytes at this baud rate (10 bit times per byte; the request's
    /// wire time is waited for too). 0 = no pacing; -1 = the speed the program
    /// set on the line.
    int paceBaud = 0;
    Behaviour defaults; ///< behaviour of every instrument without SetBehaviour
    /// Receives the trace, one line at a time, each starting with the seconds
    /// since the simulator started: the bytes as read from the line ("<") and
    /// as written to it (">", one line per write: noise, split pieces, cut
    /// replies and trailers as they went out), what each request asked for,
    /// and the faults applied. Empty = no trace.
    std::function<void(const std::string &)> trace;
};

class Simulator
{
  public:
    explicit Simulator(Options options = {});
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    /// Creates the pseudo-terminal for COM port `com`, serving `addresses`
    /// (0..254), and starts answering at once. Returns the slave path, or an
    /// empty string when no pseudo-terminal could be made or `com` is taken.
    std::string AddPort(int com, const std::vector<int> &addresses);
    /// Slave path of COM port `com` ("" if not added).
    std::string SlavePath(int com) const;

    /// Fixes the reading text of a channel (channel -1: every channel of the instrument).
    void SetReading(int com, int address, int channel, const std::string &text);
    /// Sets the behaviour of one instrument (replaces Options::defaults for it).
    void SetBehaviour(int com, int address, const Behaviour &behaviour);

    /// Well-formed requests (correct CRC) received for `address` on port
    /// `com`, served or not; address -1 counts every frame ended by CR.
    int RequestCount(int com, int address = -1) const;

    /// Hangs up port `com` now, as a pulled USB adapter: the master is closed,
    /// the slave reads and writes fail and its path vanishes. Safe to call
    /// from any thread, including the hook of an exchange.
    void Unplug(int com);
    /// Plugs port `com` in again after an Unplug (or a hang-up; a port still
    /// plugged in is unplugged first): a new pseudo-terminal with the same
    /// instruments, readings and behaviours. Returns its slave path (the kernel
    /// may give it another number), or "" when `com` was never added or no
    /// pseudo-terminal could be made.
    std::string Replug(int com);

    /// Stops every port thread and closes all descriptors (also done by the destructor).
    void Stop();

    /// The reading text the wave gives for a channel at `seconds` after start.
    std::string WaveReading(int address, int channel, double seconds) const;

  private:
    struct Port;
    void Serve(Port &port);
    void HandleFrame(Port &port, const std::string &frame);
    void Trace(const std::string &line) const;
    void Trace(double atSec, const std::string &line) const;

    Options options_;
    mutable std::mutex mutex_;
    mutable std::mutex traceMutex_; // one trace line at a time
    std::map<int, std::unique_ptr<Port>> ports_;
    std::map<std::tuple<int, int, int>, std::string> readings_;
    std::map<std::pair<int, int>, Behaviour> behaviours_;
    std::map<std::pair<int, int>, int> counts_;
    std::map<int, int> frameCounts_;
    double startSec_ = 0;
};

} // namespace sim
