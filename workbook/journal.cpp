#include "journal.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
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
constexpr auto kWriteTick = std::chrono::milliseconds(2);

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

// Reads the records of a journal file one after the other, from `from` on, without holding
// more than one in memory. Stops at the end or at the first record that is cut short or
// damaged; `end` is then the offset just past the last whole record.
class RecordReader
{
  public:
    RecordReader(int fd, std::uint64_t from) : fd_(fd), pos_(from), end_(from) {}

    // The next record and its framed bytes; false at the end (or at a torn record).
    bool Next(JournalRecord &record, std::string_view &framed)
    {
        if (!Need(8))
            return false;
        const std::uint32_t length = Get32(buf_.data() + at_);
        if (length > kMaxPayload || !Need(8 + length))
            return false;
        const std::string_view payload(buf_.data() + at_ + 8, length);
        if (Get32(buf_.data() + at_ + 4) != Crc(payload) || !DecodeRecord(payload, record))
            return false;
        framed = std::string_view(buf_.data() + at_, 8 + length);
        at_ += 8 + length;
        end_ += 8 + length;
        return true;
    }
    std::uint64_t End() const { return end_; }
    bool Failed() const { return failed_; }

  private:
    // Makes `n` bytes from at_ available; false when the file has fewer.
    bool Need(std::size_t n)
    {
        while (buf_.size() - at_ < n) {
            buf_.erase(0, at_);
            at_ = 0;
            const std::size_t old = buf_.size();
            buf_.resize(old + std::max<std::size_t>(1 << 16, n));
            const ssize_t got =
                ::pread(fd_, buf_.data() + old, buf_.size() - old, static_cast<off_t>(pos_));
            if (got < 0 && errno == EINTR) {
                buf_.resize(old);
                continue;
            }
            if (got <= 0) {
                failed_ = got < 0;
                buf_.resize(old);
                return false;
            }
            buf_.resize(old + static_cast<std::size_t>(got));
            pos_ += static_cast<std::uint64_t>(got);
        }
        return true;
    }

    int fd_;
    std::uint64_t pos_;
    std::uint64_t end_;
    std::string buf_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

// The temporary file a journal is rewritten into before it is renamed over the journal.
std::string TempPathOf(const std::string &journalPath)
{
    return journalPath + ".new";
}

// Moves the journal at `path` aside as "<workbook>.<date-time>.ptk71-journal" (with "-2", "-3"
// ... before the extension when that name is taken: a kept journal is never overwritten).
bool MoveAside(const std::string &path, const std::string &workbookPath, std::string *keptAs,
               std::string *error)
{
    char stamp[32];
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    for (int n = 1; n < 1000; ++n) {
        const std::string name = workbookPath + "." + stamp +
                                 (n > 1 ? "-" + std::to_string(n) : std::string()) +
                                 ".ptk71-journal";
        // A hard link fails rather than replace a file of that name; where the file system has
        // none, a rename after a look does nearly as well.
        if (::link(path.c_str(), name.c_str()) == 0) {
            if (::unlink(path.c_str()) != 0) {
                const int saved = errno;
                ::unlink(name.c_str()); // the second name of a journal that stays where it is
                errno = saved;
                break;
            }
        } else if (errno == EEXIST) {
            continue;
        } else {
            struct stat st {
            };
            if (::lstat(name.c_str(), &st) == 0)
                continue;
            if (::rename(path.c_str(), name.c_str()) != 0)
                break;
        }
        SyncFolder(FolderOf(path));
        *keptAs = name;
        return true;
    }
    *error = "cannot move the journal " + path + " aside: " + std::strerror(errno);
    return false;
}

// Writes a new journal beside `path`: the header for `base`, then the records of `from` (an
// open journal, or -1) from offset `offset` on whose sequence number is above `afterSeq`, and
// renames it over `path`. Returns the new file's descriptor, open for appending, or -1.
int RewriteJournal(const std::string &path, const JournalBase &base, std::uint64_t firstSeq,
                   int from, std::uint64_t offset, std::uint64_t afterSeq, std::string *error)
{
    const std::string tmp = TempPathOf(path);
    // Read and written: a later compaction copies records out of it.
    const int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && WriteAll(fd, Header(base, firstSeq));
    if (ok && from >= 0) {
        RecordReader reader(from, offset);
        JournalRecord r;
        std::string_view framed;
        std::string batch;
        while (ok && reader.Next(r, framed)) {
            if (r.type == JournalRecord::Type::Rebase || r.seq <= afterSeq)
                continue;
            batch.append(framed);
            if (batch.size() >= (1u << 20)) {
                ok = WriteAll(fd, batch);
                batch.clear();
            }
        }
        ok = ok && !reader.Failed() && WriteAll(fd, batch);
    }
    ok = ok && ::fdatasync(fd) == 0 && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
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
    std::function<void()> onDurable; ///< see SetDurableCallback
    std::uint64_t notifyAt = 0;      ///< a WaitDurable that gave up waits for this (0: none)
    bool sleeping = false;           ///< the thread waits for work (an append must wake it)
    bool stop = false;
    bool removeFile = false;
    std::string failure;
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
    void Fail(std::unique_lock<std::mutex> &lock, const std::string &why)
    {
        if (failure.empty())
            failure = why + ": " + std::strerror(errno);
        Notify(lock);
    }
    // Tells the waiters that durableSeq moved on or the journal failed.
    void Notify(std::unique_lock<std::mutex> &lock)
    {
        durable.notify_all();
        if (notifyAt == 0 || (durableSeq < notifyAt && failure.empty()) || !onDurable)
            return;
        notifyAt = 0;
        const std::function<void()> callback = onDurable;
        lock.unlock();
        callback();
        lock.lock();
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
        Fail(lock, "cannot write the journal " + path);
        return false;
    }
    writtenSeq = seq;
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
        Fail(lock, "cannot sync the journal " + path);
        return false;
    }
    durableSeq = std::max(durableSeq, seq);
    Notify(lock);
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
        // The records after the save are copied from the journal file itself, so the changes
        // are never held in memory twice.
        lock.unlock();
        const int newFd =
            RewriteJournal(path, r.next, r.throughSeq + 1, fd, kHeaderSize, r.throughSeq, &r.error);
        lock.lock();
        r.ok = newFd >= 0;
        if (r.ok) {
            ::close(fd);
            fd = newFd;
            durableSeq = std::max(durableSeq, writtenSeq);
            Notify(lock);
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
        // Asleep until there is something to do; an append wakes the thread only then, so a
        // pass's many appends cost one wake-up, not one each.
        if (queue.empty() && writtenSeq <= durableSeq && request.kind == Request::Kind::None &&
            !stop) {
            sleeping = true;
            wake.wait(lock, [this] {
                return stop || !queue.empty() || request.kind != Request::Kind::None;
            });
            sleeping = false;
        }
        if (request.kind != Request::Kind::None) {
            Serve(lock);
            continue;
        }
        // What was appended reaches the file within a tick, so a killed process loses only the
        // last moments; it is synced at most every kSyncInterval, or at once when asked.
        WriteQueued(lock);
        const auto now = std::chrono::steady_clock::now();
        if (stop || syncNow || now >= lastSync + kSyncInterval) {
            syncNow = false;
            Sync(lock);
            lastSync = now;
            if (stop && queue.empty())
                break;
            continue;
        }
        wake.wait_for(lock, kWriteTick,
                      [this] { return stop || syncNow || request.kind != Request::Kind::None; });
    }
    if (removeFile) {
        ::close(fd);
        fd = -1;
        ::unlink(path.c_str());
    }
}

Journal::Journal(std::unique_ptr<Impl> impl) : d_(std::move(impl)) {}

std::unique_ptr<Journal> Journal::Start(const std::string &workbookPath, const JournalBase &base,
                                        std::uint64_t nextSeq, std::string *error)
{
    auto impl = std::make_unique<Impl>();
    impl->path = PathOf(workbookPath);
    // A journal already there holds changes no save took in (a crash, then the workbook was
    // moved away and a new one is saved under its name): it is kept, never replaced.
    struct stat st {
    };
    if (::lstat(impl->path.c_str(), &st) == 0) {
        std::string keptAs;
        if (!MoveAside(impl->path, workbookPath, &keptAs, error))
            return nullptr;
        std::fprintf(stderr,
                     "ptk71: a journal of unsaved changes was found beside %s when a new one was "
                     "started; it was not applied and is kept as %s\n",
                     workbookPath.c_str(), keptAs.c_str());
    }
    impl->fd = RewriteJournal(impl->path, base, nextSeq, -1, 0, 0, error);
    if (impl->fd < 0)
        return nullptr;
    const std::uint64_t last = nextSeq > 0 ? nextSeq - 1 : 0;
    impl->queuedSeq = impl->writtenSeq = impl->durableSeq = last;
    std::unique_ptr<Journal> journal(new Journal(std::move(impl)));
    journal->lastSeq_ = last;
    Impl *d = journal->d_.get();
    d->thread = std::thread([d] { d->Run(); });
    return journal;
}

std::unique_ptr<Journal> Journal::Continue(const std::string &workbookPath, const JournalBase &base,
                                           const ReplayResult &replay, std::string *error)
{
    if (replay.status != ReplayResult::Status::Applied)
        return Start(workbookPath, base, replay.lastSeq + 1, error);
    auto impl = std::make_unique<Impl>();
    impl->path = PathOf(workbookPath);
    if (replay.headerMatches) {
        // The same journal goes on, after its last whole record.
        impl->fd = ::open(impl->path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (impl->fd < 0 || ::ftruncate(impl->fd, static_cast<off_t>(replay.validLength)) != 0 ||
            ::lseek(impl->fd, static_cast<off_t>(replay.validLength), SEEK_SET) < 0) {
            if (error != nullptr)
                *error = "cannot continue the journal " + impl->path + ": " + std::strerror(errno);
            if (impl->fd >= 0)
                ::close(impl->fd);
            return nullptr;
        }
    } else {
        // It matched through a save it recorded: rewritten for the file that save made.
        const int old = ::open(impl->path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (old < 0) {
            if (error != nullptr)
                *error = "cannot read the journal " + impl->path + ": " + std::strerror(errno);
            return nullptr;
        }
        impl->fd = RewriteJournal(impl->path, base, replay.lastSeq + 1, old, kHeaderSize,
                                  replay.afterSeq, error);
        ::close(old);
        if (impl->fd < 0)
            return nullptr;
    }
    impl->queuedSeq = impl->writtenSeq = impl->durableSeq = replay.lastSeq;
    std::unique_ptr<Journal> journal(new Journal(std::move(impl)));
    journal->lastSeq_ = replay.lastSeq;
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
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(d_->mutex);
        d_->queue += framed;
        d_->queuedSeq = record.seq;
        wake = d_->sleeping;
    }
    if (wake)
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
    if (d_->durable.wait_for(lock, limit,
                             [&] { return d_->durableSeq >= seq || !d_->failure.empty(); }) &&
        d_->durableSeq >= seq)
        return true;
    if (d_->failure.empty())
        d_->notifyAt = std::max(d_->notifyAt, seq);
    return false;
}

void Journal::SetDurableCallback(std::function<void()> callback)
{
    std::lock_guard<std::mutex> lock(d_->mutex);
    d_->onDurable = std::move(callback);
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

void Journal::RemoveLeftovers(const std::string &workbookPath)
{
    const std::string tmp = TempPathOf(PathOf(workbookPath));
    struct stat st {
    };
    if (::lstat(tmp.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        ::unlink(tmp.c_str());
}

std::size_t Journal::HeldBytes() const
{
    std::lock_guard<std::mutex> lock(d_->mutex);
    return d_->queue.size();
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

ReplayResult ReadJournal(const std::string &workbookPath, const JournalBase &base,
                         const std::function<void(const JournalRecord &)> &apply)
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
    std::string head(kHeaderSize, '\0');
    JournalBase header;
    const bool valid =
        ::pread(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(kHeaderSize) &&
        ParseHeader(head, header);

    // Which records apply: all of them when the header names the file; when a save it recorded
    // made the file, those with a sequence number above what that save wrote. Those are not
    // only the records after its rebase record: changes made while the save ran may have
    // reached the journal before the rebase record did.
    std::optional<std::uint64_t> afterSeq;
    result.headerMatches = valid && header == base;
    if (result.headerMatches) {
        afterSeq = 0;
    } else if (valid) {
        RecordReader reader(fd, kHeaderSize);
        JournalRecord r;
        std::string_view framed;
        while (reader.Next(r, framed)) {
            if (r.type == JournalRecord::Type::Rebase && RebaseTarget(r) == base)
                afterSeq = r.seq;
        }
    }
    if (!afterSeq) {
        ::close(fd);
        // Never applied blindly and never thrown away: kept beside the workbook.
        if (!MoveAside(path, workbookPath, &result.recoveryPath, &result.error)) {
            result.status = ReplayResult::Status::Failed;
            return result;
        }
        result.status = ReplayResult::Status::Moved;
        return result;
    }
    result.afterSeq = *afterSeq;
    RecordReader reader(fd, kHeaderSize);
    JournalRecord r;
    std::string_view framed;
    while (reader.Next(r, framed)) {
        result.lastSeq = std::max(result.lastSeq, r.seq);
        if (r.type == JournalRecord::Type::Rebase || r.seq <= *afterSeq)
            continue;
        apply(r);
        ++result.applied;
    }
    struct stat st {
    };
    result.validLength = reader.End();
    result.tornTail =
        ::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) != reader.End();
    ::close(fd);
    if (reader.Failed()) {
        result.status = ReplayResult::Status::Failed;
        result.error = "cannot read the journal " + path;
        return result;
    }
    result.status = ReplayResult::Status::Applied;
    return result;
}

} // namespace workbook
