#include "inistore.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace
{

std::string Lower(std::string_view s)
{
    std::string r(s);
    for (char &c : r)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return r;
}

std::string_view Trim(std::string_view s)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

// A value enclosed in one pair of double or single quotes reads without them.
std::string_view Unquote(std::string_view v)
{
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

enum class LineKind { Other, Section, Key };

struct Classified {
    LineKind kind = LineKind::Other;
    std::string_view name;  // section or key name, trimmed
    std::string_view value; // key value, trimmed
};

Classified Classify(std::string_view text)
{
    Classified c;
    std::string_view t = Trim(text);
    if (t.empty() || t.front() == ';')
        return c;
    if (t.front() == '[') {
        std::string_view inner = t.substr(1);
        std::size_t close = inner.find(']');
        if (close != std::string_view::npos)
            inner = inner.substr(0, close);
        c.kind = LineKind::Section;
        c.name = Trim(inner);
        return c;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string_view::npos)
        return c;
    std::string_view key = Trim(t.substr(0, eq));
    if (key.empty())
        return c;
    c.kind = LineKind::Key;
    c.name = key;
    c.value = Trim(t.substr(eq + 1));
    return c;
}

enum class ReadResult { Ok, Missing, Failed };

// Reads the whole file, or, when it holds more than `limit` bytes, its complete lines within
// the first `limit` bytes (a line cut by the limit is left out, so no key reads a truncated
// value); `oversized` tells whether the file holds more than was read.
ReadResult ReadFileCapped(const std::string &path, std::size_t limit, std::string &data,
                          bool &oversized)
{
    data.clear();
    oversized = false;
    // O_NONBLOCK keeps a FIFO or device at the path from blocking the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    struct stat st {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ReadResult::Failed;
    }
    // Sized from the file, so a small file does not cost a buffer of the cap's size; the
    // file may still grow while it is read.
    const std::size_t expected =
        std::min<std::size_t>(std::size_t(std::max<off_t>(st.st_size, 0)), limit);
    data.resize(expected + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == data.size()) {
            if (data.size() > limit)
                break;
            data.resize(std::min(limit + 1, data.size() * 2));
        }
        ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            data.clear();
            return ReadResult::Failed;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got > limit) {
        oversized = true;
        // A carriage return alone ends a line too.
        const std::size_t lastBreak = std::string_view(data.data(), limit).find_last_of("\r\n");
        got = lastBreak == std::string_view::npos ? 0 : lastBreak + 1;
    }
    data.resize(got);
    return ReadResult::Ok;
}

bool WriteAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The file that a write replaces: a symbolic link is followed to its target so the
// link itself survives.
std::string WriteTarget(const std::string &path)
{
    struct stat st {
    };
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) != nullptr)
            return resolved;
    }
    return path;
}

// Whether the permissions of an existing file allow it to be written. A file without any
// write bit is read-only for every user, the superuser included (the superuser's access()
// ignores the mode bits, so they are checked too).
bool MayWrite(const std::string &path, const struct stat &st)
{
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return false;
    return ::access(path.c_str(), W_OK) == 0;
}

// Rewrites an existing file in place, keeping its inode (and so its hard links and owner).
bool RewriteInPlace(const std::string &path, const std::string &data)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, data) && ::ftruncate(fd, static_cast<off_t>(data.size())) == 0 &&
              ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    return ok;
}

// Replaces the file with `data`: the new contents go to a temporary file in the same folder,
// which is flushed to disk and renamed over the old file. An existing file keeps its mode and,
// where the temporary file can be given them, its owner and group. A file with several hard
// links, or whose owner the temporary file cannot take over, is rewritten in place instead
// (after the temporary copy is safely on disk), so its links and owner survive; if that
// rewrite fails the temporary copy is renamed over it after all, so the file is never left
// half written. A file whose permissions deny writing is not replaced. A writable file in a
// folder where no temporary file can be made is rewritten in place.
bool ReplaceFile(const std::string &path, const std::string &data)
{
    static std::atomic<unsigned> counter{0};
    const std::string target = WriteTarget(path);
    std::string dir = ".";
    std::string base = target;
    if (std::size_t slash = target.rfind('/'); slash != std::string::npos) {
        dir = slash == 0 ? "/" : target.substr(0, slash);
        base = target.substr(slash + 1);
    }
    struct stat old {
    };
    const bool existed = ::stat(target.c_str(), &old) == 0;
    if (existed && (!S_ISREG(old.st_mode) || !MayWrite(target, old)))
        return false;

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = dir + "/." + base + ".tmp" + std::to_string(::getpid()) + "_" +
               std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        // A writable file in a folder this user may not add to (one an administrator put
        // beside an installed program): written in place, as the profile-string functions
        // would write it.
        const int err = errno;
        return existed && (err == EACCES || err == EPERM || err == EROFS) &&
               RewriteInPlace(target, data);
    }
    bool ok = true;
    bool sameIdentity = true;
    if (existed) {
        struct stat mine {
        };
        if (::fstat(fd, &mine) == 0 && (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid))
            sameIdentity = ::fchown(fd, old.st_uid, old.st_gid) == 0;
        // After fchown, which may clear the set-id bits.
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
        sameIdentity = sameIdentity && old.st_nlink <= 1;
    }
    ok = ok && WriteAll(fd, data) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && existed && !sameIdentity && RewriteInPlace(target, data)) {
        ::unlink(temp.c_str());
        return true;
    }
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

bool SingleLine(std::string_view s)
{
    for (char c : s)
        if (c == '\n' || c == '\r' || c == '\0')
            return false;
    return true;
}

} // namespace

// The file as lines with an index of sections and their keys.
struct IniStore::Document {
    struct Line {
        std::string text;
        std::string eol; // "\n", "\r\n", "\r", or "" for a last line without line break
    };
    struct Section {
        std::string name;
        std::size_t header = 0;                            // line of "[name]"
        std::size_t end = 0;                               // one past its last line
        std::unordered_map<std::string, std::size_t> keys; // lower-case key -> line
        std::vector<std::size_t> keyOrder;                 // lines of first occurrences
    };

    std::vector<Line> lines;
    /// The file starts with a UTF-8 byte-order mark (kept on writing, not part of any name).
    bool bom = false;
    std::vector<Section> sections;
    std::unordered_map<std::string, std::size_t> sectionIndex; // lower-case -> first

    void Parse(std::string_view data)
    {
        lines.clear();
        bom = data.starts_with(Utf8Bom);
        if (bom)
            data.remove_prefix(Utf8Bom.size());
        // Lines end in "\r\n", "\n" or a carriage return alone, so no value read holds a
        // line break (the writer refuses them as well) and a value reads the same whatever
        // follows its line.
        while (!data.empty()) {
            const std::size_t at = data.find_first_of("\r\n");
            Line line;
            if (at == std::string_view::npos) {
                line.text = std::string(data);
                data = {};
            } else {
                line.text = std::string(data.substr(0, at));
                const bool crlf = data[at] == '\r' && at + 1 < data.size() && data[at + 1] == '\n';
                line.eol = crlf ? "\r\n" : std::string(1, data[at]);
                data.remove_prefix(at + line.eol.size());
            }
            lines.push_back(std::move(line));
        }
        Index();
    }

    void Index()
    {
        sections.clear();
        sectionIndex.clear();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            Classified c = Classify(lines[i].text);
            if (c.kind == LineKind::Section) {
                if (!sections.empty())
                    sections.back().end = i;
                Section s;
                s.name = std::string(c.name);
                s.header = i;
                sectionIndex.emplace(Lower(c.name), sections.size());
                sections.push_back(std::move(s));
            } else if (c.kind == LineKind::Key && !sections.empty()) {
                Section &s = sections.back();
                if (s.keys.emplace(Lower(c.name), i).second)
                    s.keyOrder.push_back(i);
            }
        }
        if (!sections.empty())
            sections.back().end = lines.size();
    }

    const Section *FindSection(std::string_view name) const
    {
        auto it = sectionIndex.find(Lower(name));
        return it == sectionIndex.end() ? nullptr : &sections[it->second];
    }

    bool Find(std::string_view section, std::string_view key, std::string &value) const
    {
        const Section *s = FindSection(section);
        if (s == nullptr)
            return false;
        auto it = s->keys.find(Lower(key));
        if (it == s->keys.end())
            return false;
        value = std::string(Classify(lines[it->second].text).value);
        return true;
    }

    std::string DefaultEol() const
    {
        for (const Line &l : lines)
            if (!l.eol.empty())
                return l.eol;
        return "\n";
    }

    void Apply(std::string_view section,
               const std::vector<std::pair<std::string, std::string>> &values)
    {
        const std::string eol = DefaultEol();
        std::vector<Line> added;
        std::unordered_map<std::string, std::size_t> addedIndex;
        const Section *s = FindSection(section);
        for (const auto &[key, value] : values) {
            std::string lower = Lower(Trim(key));
            if (s != nullptr) {
                if (auto it = s->keys.find(lower); it != s->keys.end()) {
                    Line &line = lines[it->second];
                    line.text = std::string(Classify(line.text).name) + "=" + value;
                    continue;
                }
            }
            if (auto it = addedIndex.find(lower); it != addedIndex.end()) {
                added[it->second].text = key + "=" + value;
                continue;
            }
            addedIndex.emplace(lower, added.size());
            added.push_back({key + "=" + value, eol});
        }
        if (added.empty())
            return;
        std::size_t at = lines.size();
        if (s != nullptr) {
            at = s->header + 1;
            for (std::size_t i = s->header + 1; i < s->end; ++i)
                if (!Trim(lines[i].text).empty())
                    at = i + 1;
        } else {
            added.insert(added.begin(), Line{"[" + std::string(section) + "]", eol});
        }
        if (at > 0 && lines[at - 1].eol.empty())
            lines[at - 1].eol = eol;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
        Index();
    }

    std::string Serialize() const
    {
        std::string out(bom ? Utf8Bom : std::string_view());
        for (const Line &l : lines) {
            out += l.text;
            out += l.eol;
        }
        return out;
    }
};

IniStore::IniStore(std::string path) : path_(std::move(path)) {}

IniStore::~IniStore() = default;

bool IniStore::Open()
{
    snapshot_ = std::make_unique<Document>();
    std::string data;
    bool oversized = false;
    ReadResult r = ReadFileCapped(path_, MaxFileSize, data, oversized);
    snapshot_->Parse(data);
    return r != ReadResult::Failed;
}

void IniStore::Close()
{
    snapshot_.reset();
}

const IniStore::Document *IniStore::ReadView(Document &fresh) const
{
    if (snapshot_)
        return snapshot_.get();
    std::string data;
    bool oversized = false;
    if (ReadFileCapped(path_, MaxFileSize, data, oversized) != ReadResult::Ok)
        return nullptr;
    fresh.Parse(data);
    return &fresh;
}

std::string IniStore::ReadString(std::string_view section, std::string_view key,
                                 std::string_view def) const
{
    Document fresh;
    const Document *doc = ReadView(fresh);
    if (doc == nullptr)
        return std::string(def);
    std::string value;
    if (!doc->Find(section, key, value))
        return std::string(def);
    return std::string(Unquote(value));
}

std::vector<std::string> IniStore::Keys(std::string_view section) const
{
    Document fresh;
    const Document *doc = ReadView(fresh);
    if (doc == nullptr)
        return {};
    std::vector<std::string> keys;
    if (const Document::Section *s = doc->FindSection(section))
        for (std::size_t line : s->keyOrder)
            keys.emplace_back(Classify(doc->lines[line].text).name);
    return keys;
}

std::vector<std::string> IniStore::Sections() const
{
    Document fresh;
    const Document *doc = ReadView(fresh);
    if (doc == nullptr)
        return {};
    std::vector<std::string> names;
    for (const Document::Section &s : doc->sections)
        names.push_back(s.name);
    return names;
}

bool IniStore::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    return WriteStrings(section, {{std::string(key), std::string(value)}});
}

bool IniStore::WriteStrings(std::string_view section,
                            const std::vector<std::pair<std::string, std::string>> &values)
{
    lastError_.clear();
    const std::string error = "Unable to write to " + path_;
    bool valid = SingleLine(section) && section.find(']') == std::string_view::npos;
    for (const auto &[key, value] : values) {
        std::string_view k = Trim(key);
        valid = valid && SingleLine(key) && SingleLine(value) && !k.empty() &&
                key.find('=') == std::string::npos && k.front() != '[' && k.front() != ';';
    }
    if (!valid) {
        lastError_ = error;
        return false;
    }

    std::string data;
    bool oversized = false;
    ReadResult r = ReadFileCapped(WriteTarget(path_), MaxFileSize, data, oversized);
    if (r == ReadResult::Failed || oversized) {
        lastError_ = error;
        return false;
    }
    auto doc = std::make_unique<Document>();
    doc->Parse(data);
    doc->Apply(section, values);
    if (!ReplaceFile(path_, doc->Serialize())) {
        lastError_ = error;
        return false;
    }
    if (snapshot_)
        snapshot_ = std::move(doc);
    return true;
}
