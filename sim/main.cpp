// ptk71-sim: simulated measuring instruments on pseudo-terminals.
//
//   ptk71-sim [options] [--ini FILE | --ini-of PROGRAM] COM<n>:<addr>[,<addr>...] ...
//
// Prints "COM<n>=<slave path>" per port once it answers, and runs until
// SIGINT or SIGTERM. With --ini, the PORTS entries it wrote are put back as
// they were when it exits (removed when there were none), unless something
// else changed them meanwhile.
#include "inistore.h"
#include "settingspath.h"
#include "simulator.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

const char *const Usage =
    R"(usage: ptk71-sim [options] COM<n>:<addr>[,<addr>...] ...

Creates one pseudo-terminal per COM port and answers requests for the listed
instrument addresses (0..254) on it. Prints "COM<n>=<slave path>" per port when
ready and runs until interrupted (SIGINT/SIGTERM).

options:
  --ini FILE        also write the COM<n> paths into section PORTS of FILE;
                    the entries are put back as they were on exit
  --ini-of PROGRAM  the same into the settings file that the ptk71 executable
                    PROGRAM uses (a name without '/' is looked up in PATH):
                    PROGRAM.ini when it exists or its folder is writable,
                    else $XDG_CONFIG_HOME/ptk71/ptk71.ini (~/.config/...)
  -v, --verbose     trace the line on standard error: every read and write
                    with its time (noise, split pieces, cut replies), each
                    request and the faults applied
  --wave KIND       sine (default), triangle or ramp
  --period SEC      period of the wave in seconds (default 120)
  --delay MS        wait this long before every reply
  --pace BAUD|line  send bytes at BAUD (or at the speed the program set),
                    waiting for the request's wire time too
faults (for tests; applied to every reply, or every N-th with --fault-every):
  --silent          never answer
  --wrong-crc       send a wrong checksum
  --noise TEXT      send TEXT before the "!"
  --split N         write each reply in N pieces
  --gap MS          pause between pieces (default 3)
  --cut N           drop the last N bytes of each reply
  --late MS         answer MS later than usual, like a slow instrument:
                    requests that arrive meanwhile wait behind it
  --extra N         add N fields after the reading
  --fault-every N   apply the faults to every N-th request of an instrument
  -h, --help        show this text
)";

[[noreturn]] void Fail(const std::string &why)
{
    std::cerr << "ptk71-sim: " << why << "\n" << Usage;
    std::exit(2);
}

std::optional<long> Number(const std::string &text, long lo, long hi)
{
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const long v = std::stol(text);
    if (v < lo || v > hi)
        return std::nullopt;
    return v;
}

long NumberArg(const std::string &option, const std::string &text, long lo, long hi)
{
    auto v = Number(text, lo, hi);
    if (!v)
        Fail("bad value '" + text + "' for " + option + " (" + std::to_string(lo) + ".." +
             std::to_string(hi) + ")");
    return *v;
}

bool SameKey(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Puts back the PORTS entries written at start: the old value, or an empty one
// where there was none (an empty entry maps nothing). An entry that no longer
// holds what was written belongs to someone else now and is left alone.
bool RestorePorts(const std::string &iniPath,
                  const std::vector<std::pair<std::string, std::string>> &written,
                  const std::vector<std::optional<std::string>> &before)
{
    IniStore ini(iniPath);
    ini.Open();
    std::vector<std::pair<std::string, std::string>> restore;
    for (size_t k = 0; k < written.size(); ++k)
        if (ini.ReadString("PORTS", written[k].first, "") == written[k].second)
            restore.emplace_back(written[k].first, before[k].value_or(""));
    ini.Close();
    if (restore.empty() || ini.WriteStrings("PORTS", restore))
        return true;
    std::cerr << "ptk71-sim: " << ini.LastError() << "\n";
    return false;
}

// The executable a command name runs, as a shell finds it: a name with a '/' is taken as
// it is, other names are looked up in PATH. Symbolic links are resolved, as the kernel
// reports the running program's path. Empty when there is no such executable.
std::string ResolveProgram(const std::string &name)
{
    std::vector<std::string> candidates;
    if (name.find('/') != std::string::npos) {
        candidates.push_back(name);
    } else {
        const char *path = std::getenv("PATH");
        std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
        dirs += ':';
        for (size_t from = 0, colon; (colon = dirs.find(':', from)) != std::string::npos;
             from = colon + 1) {
            const std::string dir = dirs.substr(from, colon - from);
            candidates.push_back((dir.empty() ? "." : dir) + "/" + name);
        }
    }
    for (const std::string &c : candidates) {
        char resolved[PATH_MAX];
        if (::access(c.c_str(), X_OK) == 0 && ::realpath(c.c_str(), resolved) != nullptr)
            return resolved;
    }
    return {};
}

struct PortArg {
    int com;
    std::vector<int> addresses;
};

PortArg ParsePort(const std::string &arg)
{
    const size_t colon = arg.find(':');
    if (arg.size() < 4 || (arg.compare(0, 3, "COM") != 0 && arg.compare(0, 3, "com") != 0) ||
        colon == std::string::npos)
        Fail("bad port argument '" + arg + "'");
    auto com = Number(arg.substr(3, colon - 3), 1, 256);
    if (!com)
        Fail("bad COM port number in '" + arg + "' (1..256)");
    PortArg port{static_cast<int>(*com), {}};
    std::string list = arg.substr(colon + 1) + ',';
    size_t from = 0;
    for (size_t comma; (comma = list.find(',', from)) != std::string::npos; from = comma + 1) {
        auto address = Number(list.substr(from, comma - from), 0, 254);
        if (!address)
            Fail("bad instrument address in '" + arg + "' (0..254)");
        port.addresses.push_back(static_cast<int>(*address));
    }
    return port;
}

} // namespace

int main(int argc, char **argv)
{
    sim::Options options;
    std::string iniPath;
    bool createIniFolder = false;
    std::vector<PortArg> ports;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                Fail("option " + a + " needs a value");
            return args[++i];
        };
        sim::Behaviour &d = options.defaults;
        if (a == "-h" || a == "--help") {
            std::cout << Usage;
            return 0;
        } else if (a == "-v" || a == "--verbose") {
            options.trace = [](const std::string &line) { std::cerr << line << std::endl; };
        } else if (a == "--ini") {
            iniPath = value();
            createIniFolder = false;
        } else if (a == "--ini-of") {
            const std::string program = value();
            const std::string executable = ResolveProgram(program);
            if (executable.empty())
                Fail("no executable program '" + program + "'");
            const SettingsLocation location = SettingsLocationFor(executable);
            iniPath = location.path;
            createIniFolder = location.createFolder;
        } else if (a == "--wave") {
            const std::string w = value();
            if (w == "sine")
                options.wave = sim::Wave::Sine;
            else if (w == "triangle")
                options.wave = sim::Wave::Triangle;
            else if (w == "ramp")
                options.wave = sim::Wave::Ramp;
            else
                Fail("unknown wave '" + w + "'");
        } else if (a == "--period") {
            options.periodSec = static_cast<double>(NumberArg(a, value(), 1, 86400));
        } else if (a == "--delay") {
            d.replyDelayMs = static_cast<int>(NumberArg(a, value(), 0, 60000));
        } else if (a == "--pace") {
            const std::string v = value();
            options.paceBaud = v == "line" ? -1 : static_cast<int>(NumberArg(a, v, 50, 4000000));
        } else if (a == "--silent") {
            d.silent = true;
        } else if (a == "--wrong-crc") {
            d.wrongCrc = true;
        } else if (a == "--noise") {
            d.noise = value();
        } else if (a == "--split") {
            d.splitParts = static_cast<int>(NumberArg(a, value(), 1, 250));
        } else if (a == "--gap") {
            d.gapMs = static_cast<int>(NumberArg(a, value(), 0, 60000));
        } else if (a == "--late") {
            d.lateMs = static_cast<int>(NumberArg(a, value(), 0, 60000));
        } else if (a == "--cut") {
            d.cutShort = static_cast<int>(NumberArg(a, value(), 0, 250));
        } else if (a == "--extra") {
            d.extraFields = static_cast<int>(NumberArg(a, value(), 0, 60));
        } else if (a == "--fault-every") {
            d.faultEvery = static_cast<int>(NumberArg(a, value(), 1, 1000000));
        } else if (!a.empty() && a[0] == '-') {
            Fail("unknown option '" + a + "'");
        } else {
            ports.push_back(ParsePort(a));
            for (size_t k = 0; k + 1 < ports.size(); ++k)
                if (ports[k].com == ports.back().com)
                    Fail("COM" + std::to_string(ports.back().com) + " given twice");
        }
    }
    if (ports.empty())
        Fail("no port given");

    // Signals are taken by sigwait below; block them before any thread starts
    // so the serving threads inherit the mask. SIGHUP (its terminal closed) and
    // SIGQUIT end it the same way, so the "PORTS" entries are put back then too.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&stopSignals, s);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    sim::Simulator simulator(options);
    std::vector<std::pair<std::string, std::string>> lines;
    for (const PortArg &p : ports) {
        const std::string path = simulator.AddPort(p.com, p.addresses);
        if (path.empty()) {
            std::cerr << "ptk71-sim: cannot create a pseudo-terminal for COM" << p.com << "\n";
            return 1;
        }
        lines.emplace_back("COM" + std::to_string(p.com), path);
    }
    // What the entries held before, to put back on exit (nullopt: no entry).
    std::vector<std::optional<std::string>> before;
    if (!iniPath.empty()) {
        if (createIniFolder)
            MakeFolders(iniPath.substr(0, iniPath.rfind('/')), 0700);
        IniStore ini(iniPath);
        ini.Open();
        const std::vector<std::string> keys = ini.Keys("PORTS");
        for (const auto &[key, path] : lines) {
            const bool present = std::any_of(keys.begin(), keys.end(),
                                             [&](const std::string &k) { return SameKey(k, key); });
            before.push_back(present ? std::optional(ini.ReadString("PORTS", key, ""))
                                     : std::nullopt);
        }
        ini.Close();
        if (!ini.WriteStrings("PORTS", lines)) {
            std::cerr << "ptk71-sim: " << ini.LastError() << "\n";
            return 1;
        }
    }
    for (const auto &[key, path] : lines)
        std::cout << key << '=' << path << '\n';
    std::cout.flush();

    int signal = 0;
    sigwait(&stopSignals, &signal);
    simulator.Stop();
    if (!iniPath.empty() && !RestorePorts(iniPath, lines, before))
        return 1;
    return 0;
}
