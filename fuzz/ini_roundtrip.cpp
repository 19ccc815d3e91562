// Fuzzes the INI store's reader and writer through its public interface.
//
// The input is a settings file. Each input is checked three ways:
// - read: every section and key it lists can be read back;
// - round trip: the keys and values read, written section by section into a new file,
//   read again as the same sections, keys (in the same order) and values;
// - update in place: setting one existing key and adding one new key leave every other
//   key's value as it was.
// Names and values that cannot be written (a carriage return or NUL in them, a "]" in a
// section name) must be refused, and the file then stays as it was.
#include "inistore.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

using Pairs = std::vector<std::pair<std::string, std::string>>;
// Sections in file order (first spelling of each), each with its keys in order.
using Contents = std::vector<std::pair<std::string, Pairs>>;

std::string Lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

Contents Read(const std::string &path)
{
    IniStore ini(path);
    Check(ini.Open());
    Contents contents;
    std::map<std::string, bool> seen;
    for (const std::string &section : ini.Sections()) {
        if (seen[Lower(section)])
            continue; // a repeated section: the first one counts
        seen[Lower(section)] = true;
        Pairs pairs;
        for (const std::string &key : ini.Keys(section)) {
            // A line break: no value read from a line can hold one.
            const std::string missing = "\nmissing";
            const std::string value = ini.ReadString(section, key, missing);
            Check(value != missing);
            pairs.emplace_back(key, value);
        }
        contents.emplace_back(section, std::move(pairs));
    }
    return contents;
}

std::string Slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void Put(const std::string &path, const uint8_t *data, size_t size)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

bool Writable(const std::string &text)
{
    return text.find('\r') == std::string::npos && text.find('\0') == std::string::npos;
}

bool Writable(const std::string &section, const Pairs &pairs)
{
    if (!Writable(section) || section.find(']') != std::string::npos)
        return false;
    for (const auto &[key, value] : pairs)
        if (!Writable(key) || !Writable(value))
            return false;
    return true;
}

// A value read back after writing `written`: the same, or what the reader makes of it: the
// blanks around it dropped, then one pair of enclosing quotes (as the profile-string
// functions read values; a value of blanks alone therefore reads empty).
bool SameValue(const std::string &written, const std::string &read)
{
    if (read == written)
        return true;
    const size_t first = written.find_first_not_of(" \t");
    const size_t last = written.find_last_not_of(" \t");
    std::string t =
        first == std::string::npos ? std::string() : written.substr(first, last - first + 1);
    const size_t n = t.size();
    if (n >= 2 && (t[0] == '"' || t[0] == '\'') && t[n - 1] == t[0])
        t = t.substr(1, n - 2);
    return read == t;
}

// The folder for the files, in memory where the system has one.
// Made once and removed at exit (kept on the heap, so it outlives static destruction).
const std::string &Folder()
{
    static const std::string *folder = [] {
        auto *path = new std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        *path += "/ptk71-fuzz-ini_roundtrip-XXXXXX";
        Check(mkdtemp(path->data()) != nullptr);
        std::atexit([] { std::system(("rm -rf '" + Folder() + "'").c_str()); });
        return path;
    }();
    return *folder;
}

void CheckRoundTrip(const Contents &original)
{
    const std::string copy = Folder() + "/copy.ini";
    ::unlink(copy.c_str());
    Contents expected;
    for (const auto &[section, pairs] : original) {
        if (pairs.empty())
            continue; // a section is written with its keys; without any it has nothing
        IniStore ini(copy);
        const std::string before = Slurp(copy);
        if (!Writable(section, pairs)) {
            Check(!ini.WriteStrings(section, pairs));
            Check(Slurp(copy) == before);
            continue;
        }
        Check(ini.WriteStrings(section, pairs));
        expected.emplace_back(section, pairs);
    }
    const Contents again = Read(copy);
    Check(again.size() == expected.size());
    for (size_t s = 0; s < again.size(); ++s) {
        Check(again[s].first == expected[s].first);
        const Pairs &a = again[s].second;
        const Pairs &e = expected[s].second;
        Check(a.size() == e.size());
        for (size_t k = 0; k < a.size(); ++k)
            Check(a[k].first == e[k].first && SameValue(e[k].second, a[k].second));
    }
}

void CheckUpdate(const std::string &path, const Contents &original)
{
    // Changes the first key of the first writable section, adds a key to the last writable
    // section and one to a section that is new unless the input already has it.
    std::map<std::pair<std::string, std::string>, std::string> expected;
    for (const auto &[section, pairs] : original)
        for (const auto &[key, value] : pairs)
            expected[{Lower(section), Lower(key)}] = value;
    IniStore ini(path);
    auto write = [&](const std::string &section, const std::string &key, const std::string &value) {
        Check(ini.WriteString(section, key, value));
        expected[{Lower(section), Lower(key)}] = value;
    };
    for (const auto &[section, pairs] : original) {
        if (!pairs.empty() && Writable(section, {pairs.front()})) {
            write(section, pairs.front().first, "changed");
            break;
        }
    }
    for (auto it = original.rbegin(); it != original.rend(); ++it) {
        if (Writable(it->first, {})) {
            write(it->first, "FuzzAppended", "2");
            break;
        }
    }
    write("Fuzz", "Added", "1");

    std::map<std::pair<std::string, std::string>, std::string> got;
    for (const auto &[section, pairs] : Read(path))
        for (const auto &[key, value] : pairs)
            got[{Lower(section), Lower(key)}] = value;
    Check(got.size() == expected.size());
    for (const auto &[name, value] : expected) {
        auto it = got.find(name);
        Check(it != got.end() && SameValue(value, it->second));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string path = Folder() + "/input.ini";
    Put(path, data, size);
    const Contents original = Read(path);
    CheckRoundTrip(original);
    CheckUpdate(path, original);
    return 0;
}
