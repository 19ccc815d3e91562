#include "journal.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace workbook
{

namespace
{

constexpr char kMagic[8] = {'P', 'T', 'K', '7', '1', 'J', 'N', 'L'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 8 + 4 + 8 + 8 + 8 + 8 + 4 + 8 + 4;
constexpr std::uint32_t kMaxPayload = 1u << 20;
constexpr auto kSyncInterval = std::chrono::milliseconds(20);

void Put32(std::string &out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put64(std::string &out, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint32_t Get32(const char *p)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}
std::uint64_t Get64(const char *p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

std::uint32_t Crc(std::string_view s)
{
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef *>(s.data()), static_cast<uInt>(s.size())));
}

std::string Header(const JournalBase &base, std::uint64_t firstSeq)
{
    std::string h(kMagic, sizeof kMagic);
    Put32(h, kVersion);
    Put64(h, base.identity.device);
    Put64(h, base.identity.inode);
    Put64(h, static_cast<std::uint64_t>(base.identity.size));
    Put64(h, static_cast<std::uint64_t>(base.identity.mtimeNs));
    Put32(h, base.fingerprint);
    Put64(h, firstSeq);
    Put32(h, Crc(h));
    return h;
}

bool ParseHeader(std::string_view h, JournalBase &base)
{
    if (h.size() < kHeaderSize || std::memcmp(h.data(), kMagic, sizeof kMagic) != 0 ||
        Get32(h.data() + 8) != kVersion ||
        Crc(h.substr(0, kHeaderSize - 4)) != Get32(h.data() + kHeaderSize - 4))
        return false;
    const char *p = h.data() + 12;
    base.identity.device = Get64(p);
    base.identity.inode = Get64(p + 8);
    base.identity.size = static_cast<std::int64_t>(Get64(p + 16));
    base.identity.mtimeNs = static_cast<std::int64_t>(Get64(p + 24));
    base.fingerprint = Get32(p + 32);
    return true;
}

void Frame(const JournalRecord &r, std::string &out)
{
    std::string payload;
    EncodeRecord(r, payload);
    Put32(out, static_cast<std::uint32_t>(payload.size()));
    Put32(out, Crc(payload));
    out += payload;
}

// The rebase record carries the next file's identity in its text.
JournalRecord RebaseRecord(std::uint64_t throughSeq, const JournalBase &next)
{
    JournalRecord r;
    r.type = JournalRecord::Type::Rebase;
    r.seq = throughSeq;
    std::string h;
    Put64(h, next.identity.device);
    Put64(h, next.identity.inode);
    Put64(h, static_cast<std::uint64_t>(next.identity.size));
    Put64(h, static_cast<std::uint64_t>(next.identity.mtimeNs));
    Put32(h, next.fingerprint);
    r.text = h;
    return r;
}

std::optional<JournalBase> RebaseTarget(const JournalRecord &r)
{
    if (r.text.size() != 36)
        return std::nullopt;
    JournalBase b;
    const char *p = r.text.data();
    b.identity.device = Get64(p);
    b.identity.inode = Get64(p + 8);
    b.identity.size = static_cast<std::int64_t>(Get64(p + 16));
    b.identity.mtimeNs = static_cast<std::int64_t>(Get64(p + 24));
    b.fingerprint = Get32(p + 32);
    return b;
}

bool WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string FolderOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string FileOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void SyncFolder(const std::string &folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Writes header + body into a new file beside `path` and renames it over `path`. Returns the
// descriptor of the new file, open for appending, or -1.
int ReplaceWith(const std::string &path, const std::string &content, std::string *error)
{
    const std::string tmp = path + ".new";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || !WriteAll(fd, content) || ::fdatasync(fd) != 0 ||
        ::rename(tmp.c_str(), path.c_str()) != 0) {
        if (error != nullptr)
            *error = "cannot write the journal " + path + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
        }
        return -1;
    }
    SyncFolder(FolderOf(path));
    return fd;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Records

void EncodeRecord(const JournalRecord &r, std::string &out)
{
    out += static_cast<char>(r.type);
    Put64(out, r.seq);
    Put32(out, r.sheet);
    Put32(out, r.row);
    Put32(out, r.column);
    out += static_cast<char>(r.flag ? 1 : 0);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &r.number, sizeof bits);
    Put64(out, bits);
    Put32(out, static_cast<std::uint32_t>(r.text.size()));
    out += r.text;
}

bool DecodeRecord(std::string_view p, JournalRecord &r)
{
    constexpr std::size_t fixed = 1 + 8 + 4 + 4 + 4 + 1 + 8 + 4;
    if (p.size() < fixed)
        return false;
    const auto type = static_cast<std::uint8_t>(p[0]);
    if (type < 1 || type > static_cast<std::uint8_t>(JournalRecord::Type::Rebase))
        return false;
    r.type = static_cast<JournalRecord::Type>(type);
    r.seq = Get64(p.data() + 1);
    r.sheet = Get32(p.data() + 9);
    r.row = Get32(p.data() + 13);
    r.column = Get32(p.data() + 17);
    r.flag = p[21] != 0;
    const std::uint64_t bits = Get64(p.data() + 22);
    std::memcpy(&r.number, &bits, sizeof bits);
    const std::uint32_t length = Get32(p.data() + 30);
    if (p.size() != fixed + length)
        return false;
    r.text.assign(p.substr(fixed));
    return true;
}

std::optional<JournalBase> JournalBase::Of(int fd)
{
    const auto identity = FileIdentity::OfDescriptor(fd);
    if (!identity)
        return std::nullopt;
    JournalBase base;
    base.identity = *identity;
    const std::int64_t tail = std::min<std::int64_t>(identity->size, 64 * 1024);
    std::string bytes(static_cast<std::size_t>(tail), '\0');
    const ssize_t n = ::pread(fd, bytes.data(), bytes.size(), identity->size - tail);
    if (n != static_cast<ssize_t>(tail))
        return std::nullopt;
    base.fingerprint = Crc(bytes);
    return base;
}

std::string Journal::PathOf(const std::string &workbookPath)
{
    return FolderOf(workbookPath) + "/." + FileOf(workbookPath) + ".ptk71-journal";
}

// ---------------------------------------------------------------------------------------------
// The journal thread

struct Journal::Impl {
    std::string path;
    int fd = -1;
    mutable std::mutex mutex;
    std::condition_variable wake;    ///< the thread waits on it
    std::condition_variable durable; ///< waiters for durability
    std::string queue;               ///< framed records not yet written
    std::uint64_t queuedSeq = 0;     ///< highest seq in queue or written
    std::uint64_t writtenSeq = 0;    ///< highest seq written (not yet synced)
    std::uint64_t durableSeq = 0;
    bool syncNow = false;
    bool stop = false;
    bool removeFile = false;
    std::string failure;
    // Written records since the last compaction, for rewriting the journal: (seq, framed).
    std::deque<std::pair<std::uint64_t, std::string>> kept;
    std::size_t keptBytes = 0;
    // A request of the save thread, carried out by the journal thread.
    struct Request {
        enum class Kind { None, Rebase, Compact } kind = Kind::None;
        std::uint64_t throughSeq = 0;
        JournalBase next;
        bool done = false;
        bool ok = false;
        std::string error;
    } request;
    std::condition_variable requestDone;
    std::thread thread;

    void Run();
    bool WriteQueued(std::unique_lock<std::mutex> &lock);
    bool Sync(std::unique_lock<std::mutex> &lock);
    void Serve(std::unique_lock<std::mutex> &lock);
    void Fail(const std::string &why)
    {
        if (failure.empty())
            failure = why + ": " + std::strerror(errno);
        durable.notify_all();
    }
};

bool Journal::Impl::WriteQueued(std::unique_lock<std::mutex> &lock)
{
    if (queue.empty())
        return true;
    std::string batch;
    batch.swap(queue);
    const std::uint64_t seq = queuedSeq;
    lock.unlock();
    const bool ok = fd >= 0 && WriteAll(fd, batch);
    lock.lock();
    if (!ok) {
        Fail("cannot write the journal " + path);
        return false;
    }
    writtenSeq = seq;
    // Keep the records for compaction, split by record so the old ones can be dropped.
    std::size_t at = 0;
    while (at + 8 <= batch.size()) {
        const std::uint32_t length = Get32(batch.data() + at);
        const std::uint64_t recordSeq = Get64(batch.data() + at + 8 + 1);
        kept.emplace_back(recordSeq, batch.substr(at, 8 + length));
        keptBytes += 8 + length;
        at += 8 + length;
    }
    return true;
}

bool Journal::Impl::Sync(std::unique_lock<std::mutex> &lock)
{
    const std::uint64_t seq = writtenSeq;
    if (seq <= durableSeq)
        return true;
    lock.unlock();
    const bool ok = ::fdatasync(fd) == 0;
    lock.lock();
    if (!ok) {
        Fail("cannot sync the journal " + path);
        return false;
    }
    durableSeq = std::max(durableSeq, seq);
    durable.notify_all();
    return true;
}

void Journal::Impl::Serve(std::unique_lock<std::mutex> &lock)
{
    Request &r = request;
    WriteQueued(lock);
    if (r.kind == Request::Kind::Rebase) {
        std::string framed;
        Frame(RebaseRecord(r.throughSeq, r.next), framed);
        lock.unlock();
        r.ok = fd >= 0 && WriteAll(fd, framed) && ::fdatasync(fd) == 0;
        lock.lock();
        if (!r.ok)
            r.error = "cannot write the journal " + path + ": " + std::strerror(errno);
    } else {
        while (!kept.empty() && kept.front().first <= r.throughSeq) {
            keptBytes -= kept.front().second.size();
            kept.pop_front();
        }
        std::string content = Header(r.next, r.throughSeq + 1);
        for (const auto &[seq, framed] : kept)
            content += framed;
        lock.unlock();
        const int newFd = ReplaceWith(path, content, &r.error);
        lock.lock();
        r.ok = newFd >= 0;
        if (r.ok) {
            ::close(fd);
            fd = newFd;
            durableSeq = std::max(durableSeq, writtenSeq);
            durable.notify_all();
        }
    }
    r.done = true;
    r.kind = Request::Kind::None;
    requestDone.notify_all();
}

void Journal::Impl::Run()
{
    std::unique_lock<std::mutex> lock(mutex);
    auto lastSync = std::chrono::steady_clock::now() - kSyncInterval;
    for (;;) {
        wake.wait(lock, [this] {
            return stop || !queue.empty() || request.kind != Request::Kind::None ||
                   (syncNow && writtenSeq > durableSeq);
        });
        if (request.kind != Request::Kind::None) {
            Serve(lock);
            continue;
        }
        if (!WriteQueued(lock) && !stop)
            continue;
        // Sync at most every kSyncInterval while changes stream in, at once when asked.
        const auto due = lastSync + kSyncInterval;
        if (!syncNow && !stop && std::chrono::steady_clock::now() < due) {
            wake.wait_until(lock, due, [this] {
                return stop || syncNow || request.kind != Request::Kind::None;
            });
            if (request.kind != Request::Kind::None)
                continue;
            WriteQueued(lock);
        }
        syncNow = false;
        Sync(lock);
        lastSync = std::chrono::steady_clock::now();
        if (stop && queue.empty())
            break;
    }
    if (removeFile) {
        ::close(fd);
        fd = -1;
        ::unlink(path.c_str());
    }
}

Journal::Journal(std::unique_ptr<Impl> impl) : d_(std::move(impl)) {}

std::unique_ptr<Journal> Journal::Start(const std::string &workbookPath, const JournalBase &base,
                                        std::uint64_t nextSeq,
                                        const std::vector<JournalRecord> &replay,
                                        std::string *error)
{
    auto impl = std::make_unique<Impl>();
    impl->path = PathOf(workbookPath);
    std::string content = Header(base, nextSeq);
    std::uint64_t last = nextSeq > 0 ? nextSeq - 1 : 0;
    for (const JournalRecord &r : replay) {
        std::string framed;
        Frame(r, framed);
        impl->kept.emplace_back(r.seq, framed);
        impl->keptBytes += framed.size();
        content += framed;
        last = std::max(last, r.seq);
    }
    impl->fd = ReplaceWith(impl->path, content, error);
    if (impl->fd < 0)
        return nullptr;
    impl->queuedSeq = impl->writtenSeq = impl->durableSeq = last;
    std::unique_ptr<Journal> journal(new Journal(std::move(impl)));
    journal->lastSeq_ = last;
    Impl *d = journal->d_.get();
    d->thread = std::thread([d] { d->Run(); });
    return journal;
}

Journal::~Journal()
{
    {
        std::lock_guard<std::mutex> lock(d_->mutex);
        d_->stop = true;
    }
    d_->wake.notify_all();
    if (d_->thread.joinable())
        d_->thread.join();
    if (d_->fd >= 0)
        ::close(d_->fd);
}

std::uint64_t Journal::Append(JournalRecord record)
{
    record.seq = ++lastSeq_;
    std::string framed;
    Frame(record, framed);
    {
        std::lock_guard<std::mutex> lock(d_->mutex);
        d_->queue += framed;
        d_->queuedSeq = record.seq;
    }
    d_->wake.notify_one();
    return record.seq;
}

bool Journal::WaitDurable(std::uint64_t seq, std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(d_->mutex);
    if (d_->durableSeq >= seq)
        return true;
    d_->syncNow = true;
    d_->wake.notify_one();
    return d_->durable.wait_for(lock, limit, [&] {
        return d_->durableSeq >= seq || !d_->failure.empty();
    }) && d_->durableSeq >= seq;
}

std::string Journal::Failure() const
{
    std::lock_guard<std::mutex> lock(d_->mutex);
    return d_->failure;
}

void Journal::Remove()
{
    {
        std::lock_guard<std::mutex> lock(d_->mutex);
        d_->stop = true;
        d_->removeFile = true;
    }
    d_->wake.notify_all();
    if (d_->thread.joinable())
        d_->thread.join();
}

std::size_t Journal::HeldBytes() const
{
    std::lock_guard<std::mutex> lock(d_->mutex);
    return d_->queue.size() + d_->keptBytes;
}

bool Journal::Rebase(std::uint64_t throughSeq, const JournalBase &next, std::string *error)
{
    std::unique_lock<std::mutex> lock(d_->mutex);
    d_->request = Impl::Request{Impl::Request::Kind::Rebase, throughSeq, next, false, false, {}};
    d_->wake.notify_one();
    d_->requestDone.wait(lock, [&] { return d_->request.done; });
    if (!d_->request.ok && error != nullptr)
        *error = d_->request.error;
    return d_->request.ok;
}

bool Journal::Compact(std::uint64_t throughSeq, const JournalBase &next, std::string *error)
{
    std::unique_lock<std::mutex> lock(d_->mutex);
    d_->request = Impl::Request{Impl::Request::Kind::Compact, throughSeq, next, false, false, {}};
    d_->wake.notify_one();
    d_->requestDone.wait(lock, [&] { return d_->request.done; });
    if (!d_->request.ok && error != nullptr)
        *error = d_->request.error;
    return d_->request.ok;
}

// ---------------------------------------------------------------------------------------------
// Reading a journal at the opening

ReplayResult ReadJournal(const std::string &workbookPath, const JournalBase &base)
{
    ReplayResult result;
    const std::string path = Journal::PathOf(workbookPath);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno != ENOENT) {
            result.status = ReplayResult::Status::Failed;
            result.error = "cannot read the journal " + path + ": " + std::strerror(errno);
        }
        return result;
    }
    std::string data;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);

    JournalBase header;
    std::vector<JournalRecord> records;
    bool valid = ParseHeader(data, header);
    if (valid) {
        std::size_t at = kHeaderSize;
        while (at + 8 <= data.size()) {
            const std::uint32_t length = Get32(data.data() + at);
            if (length > kMaxPayload || at + 8 + length > data.size())
                break;
            const std::string_view payload(data.data() + at + 8, length);
            JournalRecord r;
            if (Get32(data.data() + at + 4) != Crc(payload) || !DecodeRecord(payload, r))
                break;
            records.push_back(std::move(r));
            at += 8 + length;
        }
        result.tornTail = at != data.size();
    }

    // Which records apply: all of them when the header matches the file; those after the
    // last rebase record that names the file otherwise.
    std::optional<std::size_t> from;
    if (valid && header == base) {
        from = 0;
    } else if (valid) {
        for (std::size_t i = records.size(); i-- > 0;) {
            if (records[i].type == JournalRecord::Type::Rebase &&
                RebaseTarget(records[i]) == base) {
                from = i + 1;
                break;
            }
        }
    }
    if (!from) {
        // Never applied blindly and never thrown away: kept beside the workbook.
        char stamp[32];
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        ::localtime_r(&t, &tm);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
        result.recoveryPath = workbookPath + "." + stamp + ".ptk71-journal";
        if (::rename(path.c_str(), result.recoveryPath.c_str()) != 0) {
            result.status = ReplayResult::Status::Failed;
            result.error = "cannot move the journal " + path + " aside: " + std::strerror(errno);
            return result;
        }
        result.status = ReplayResult::Status::Moved;
        return result;
    }
    for (std::size_t i = *from; i < records.size(); ++i) {
        if (records[i].type == JournalRecord::Type::Rebase)
            continue;
        result.lastSeq = std::max(result.lastSeq, records[i].seq);
        result.records.push_back(std::move(records[i]));
    }
    result.status = ReplayResult::Status::Applied;
    return result;
}

} // namespace workbook
