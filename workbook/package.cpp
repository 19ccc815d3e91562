#include "package.h"

#include "xmlscan.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace workbook
{

// ---------------------------------------------------------------------------------------------
// File identity

std::optional<FileIdentity> FileIdentity::OfDescriptor(int fd)
{
    struct stat st {
    };
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return FileIdentity{
        static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
        static_cast<std::int64_t>(st.st_size),
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::optional<FileIdentity> FileIdentity::OfPath(const std::string &path)
{
    struct stat st {
    };
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return FileIdentity{
        static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
        static_cast<std::int64_t>(st.st_size),
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// ---------------------------------------------------------------------------------------------
// Names

std::string FolderOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".")
                                      : path.substr(0, std::max<std::size_t>(slash, 1));
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

std::string AsciiLower(std::string_view s)
{
    std::string out(s);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

namespace
{

std::string PercentDecode(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && xml::HexValue(s[i + 1]) >= 0 &&
            xml::HexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(xml::HexValue(s[i + 1]) * 16 + xml::HexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string_view FolderOf(std::string_view part)
{
    const std::size_t slash = part.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : part.substr(0, slash + 1);
}

} // namespace

std::string ResolveTarget(std::string_view sourcePart, std::string_view target)
{
    const std::string t = PercentDecode(target);
    std::string joined =
        !t.empty() && t[0] == '/' ? t.substr(1) : std::string(FolderOf(sourcePart)) + t;
    std::vector<std::string_view> segments;
    std::string_view rest = joined;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view seg = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (seg.empty() || seg == ".")
            continue;
        if (seg == "..") {
            if (!segments.empty())
                segments.pop_back();
            continue;
        }
        segments.push_back(seg);
    }
    std::string out;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i > 0)
            out += '/';
        out += segments[i];
    }
    return out;
}

std::string RelsPartOf(std::string_view part)
{
    const std::size_t slash = part.rfind('/');
    const std::string_view file = slash == std::string_view::npos ? part : part.substr(slash + 1);
    return std::string(FolderOf(part)) + "_rels/" + std::string(file) + ".rels";
}

std::string RelativeTarget(std::string_view sourcePart, std::string_view part)
{
    const std::string_view from = FolderOf(sourcePart);
    std::size_t common = 0;
    for (std::size_t i = 0; i < from.size() && i < part.size() && from[i] == part[i]; ++i) {
        if (from[i] == '/')
            common = i + 1;
    }
    std::string out;
    for (std::size_t i = common; i < from.size(); ++i) {
        if (from[i] == '/')
            out += "../";
    }
    out += part.substr(common);
    return out;
}

// ---------------------------------------------------------------------------------------------
// libzip over pread: every reader has its own position, so readers never disturb each other

namespace
{

struct PreadSource {
    int fd = -1;
    std::int64_t size = 0;
    std::int64_t pos = 0;
    zip_error_t error;
};

zip_int64_t PreadCallback(void *state, void *data, zip_uint64_t len, zip_source_cmd_t cmd)
{
    auto *s = static_cast<PreadSource *>(state);
    switch (cmd) {
    case ZIP_SOURCE_OPEN:
        s->pos = 0;
        return 0;
    case ZIP_SOURCE_READ: {
        if (s->pos >= s->size)
            return 0;
        const auto want = static_cast<std::size_t>(
            std::min<zip_uint64_t>(len, static_cast<zip_uint64_t>(s->size - s->pos)));
        ssize_t n;
        do {
            n = ::pread(s->fd, data, want, s->pos);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            zip_error_set(&s->error, ZIP_ER_READ, errno);
            return -1;
        }
        s->pos += n;
        return n;
    }
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_STAT: {
        auto *st = static_cast<zip_stat_t *>(data);
        zip_stat_init(st);
        st->size = static_cast<zip_uint64_t>(s->size);
        st->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&s->error, data, len);
    case ZIP_SOURCE_FREE:
        zip_error_fini(&s->error);
        delete s;
        return 0;
    case ZIP_SOURCE_SEEK: {
        const zip_int64_t at = zip_source_seek_compute_offset(static_cast<zip_uint64_t>(s->pos),
                                                              static_cast<zip_uint64_t>(s->size),
                                                              data, len, &s->error);
        if (at < 0)
            return -1;
        s->pos = at;
        return 0;
    }
    case ZIP_SOURCE_TELL:
        return s->pos;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(
            ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
            ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, -1);
    default:
        zip_error_set(&s->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

// Reads the stored bytes of one entry.
class RawSource : public ByteSource
{
  public:
    RawSource(zip_file_t *file, std::uint64_t size) : file_(file), left_(size) {}
    ~RawSource() override
    {
        if (file_ != nullptr)
            zip_fclose(file_);
    }
    std::int64_t Read(char *buffer, std::size_t n) override
    {
        if (file_ == nullptr)
            return -1;
        if (left_ == 0)
            return 0;
        const zip_int64_t got = zip_fread(file_, buffer, std::min<std::uint64_t>(n, left_));
        if (got < 0) {
            error_ = zip_file_strerror(file_);
            return -1;
        }
        if (got == 0) {
            error_ = "the entry ends early";
            return -1;
        }
        left_ -= static_cast<std::uint64_t>(got);
        return got;
    }
    std::string Error() const override { return error_; }

  private:
    zip_file_t *file_;
    std::uint64_t left_;
    std::string error_;
};

class FailedSource : public ByteSource
{
  public:
    explicit FailedSource(std::string why) : why_(std::move(why)) {}
    std::int64_t Read(char *, std::size_t) override { return -1; }
    std::string Error() const override { return why_; }

  private:
    std::string why_;
};

// Inflates a deflated entry (or passes a stored one through), checking size, CRC and ratio.
class PartSource : public ByteSource
{
  public:
    PartSource(std::unique_ptr<ByteSource> raw, const PackageEntry &entry, const ReadLimits &limits)
        : raw_(std::move(raw)), entry_(entry), limits_(limits), deflated_(entry.method == 8)
    {
        if (deflated_) {
            std::memset(&z_, 0, sizeof z_);
            ok_ = inflateInit2(&z_, -15) == Z_OK;
            if (!ok_)
                error_ = "cannot start inflating";
        }
    }
    ~PartSource() override
    {
        if (deflated_ && ok_)
            inflateEnd(&z_);
    }

    std::int64_t Read(char *buffer, std::size_t n) override
    {
        if (!error_.empty())
            return -1;
        if (done_ || n == 0)
            return 0;
        if (limits_.cancelled && (++polls_ & 15) == 0 && limits_.cancelled())
            return Fail("cancelled");
        std::int64_t got = deflated_ ? Inflate(buffer, n) : raw_->Read(buffer, n);
        if (got < 0)
            return error_.empty() ? Fail(raw_->Error()) : -1;
        if (!deflated_)
            compressed_ += static_cast<std::uint64_t>(got);
        if (got == 0) {
            done_ = true;
            if (produced_ != entry_.uncompressedSize)
                return Fail("the part's size does not match the archive's directory");
            if (crc_ != entry_.crc32)
                return Fail("the part's checksum does not match (damaged data)");
            return 0;
        }
        crc_ = static_cast<std::uint32_t>(
            crc32(crc_, reinterpret_cast<const Bytef *>(buffer), static_cast<uInt>(got)));
        produced_ += static_cast<std::uint64_t>(got);
        if (produced_ > entry_.uncompressedSize)
            return Fail("the part is larger than the archive's directory says");
        if (produced_ > limits_.ratioFloor &&
            static_cast<double>(produced_) >
                limits_.maxRatio * static_cast<double>(std::max<std::uint64_t>(compressed_, 1)))
            return Fail("the part inflates far beyond its compressed size (refused as a zip bomb)");
        return got;
    }
    std::string Error() const override { return error_; }

  private:
    std::int64_t Fail(std::string why)
    {
        error_ = why.empty() ? "read error" : std::move(why);
        return -1;
    }

    std::int64_t Inflate(char *buffer, std::size_t n)
    {
        if (!ok_)
            return -1;
        if (streamEnd_)
            return 0;
        z_.next_out = reinterpret_cast<Bytef *>(buffer);
        z_.avail_out = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
        while (z_.avail_out == static_cast<uInt>(std::min<std::size_t>(n, 1u << 30))) {
            if (z_.avail_in == 0 && !rawDone_) {
                const std::int64_t got = raw_->Read(in_, sizeof in_);
                if (got < 0)
                    return -1;
                if (got == 0)
                    rawDone_ = true;
                compressed_ += static_cast<std::uint64_t>(got);
                z_.next_in = reinterpret_cast<Bytef *>(in_);
                z_.avail_in = static_cast<uInt>(got);
            }
            const int rc = inflate(&z_, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                streamEnd_ = true;
                break;
            }
            if (rc == Z_BUF_ERROR && rawDone_ && z_.avail_in == 0)
                return Fail("the compressed data ends early (damaged data)");
            if (rc != Z_OK && rc != Z_BUF_ERROR)
                return Fail("the compressed data is damaged");
        }
        const std::size_t got =
            static_cast<std::size_t>(z_.next_out - reinterpret_cast<Bytef *>(buffer));
        if (got == 0 && !streamEnd_)
            return Fail("the compressed data is damaged");
        return static_cast<std::int64_t>(got);
    }

    std::unique_ptr<ByteSource> raw_;
    PackageEntry entry_;
    const ReadLimits &limits_;
    bool deflated_;
    z_stream z_{};
    bool ok_ = true;
    bool rawDone_ = false;
    bool streamEnd_ = false;
    bool done_ = false;
    std::uint32_t crc_ = 0;
    std::uint64_t produced_ = 0;
    std::uint64_t compressed_ = 0;
    unsigned polls_ = 0;
    std::string error_;
    char in_[1 << 16];
};

bool ValidUtf8NonAscii(std::string_view s)
{
    bool nonAscii = false;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const int extra = c < 0x80             ? 0
                          : (c & 0xE0) == 0xC0 ? 1
                          : (c & 0xF0) == 0xE0 ? 2
                          : (c & 0xF8) == 0xF0 ? 3
                                               : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size() + (extra == 0))
            return false;
        for (int k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        }
        nonAscii = nonAscii || extra > 0;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return nonAscii;
}

} // namespace

struct Package::Zip {
    zip_t *za = nullptr;
    ~Zip()
    {
        if (za != nullptr)
            zip_discard(za); // read-only: nothing is ever written back
    }
};

Package::~Package()
{
    zip_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

std::unique_ptr<Package> Package::OpenPath(const std::string &path, std::string *error,
                                           const ReadLimits &limits)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error != nullptr)
            *error = std::strerror(errno);
        return nullptr;
    }
    auto pkg = Open(fd, error, limits);
    ::close(fd);
    return pkg;
}

std::unique_ptr<Package> Package::Open(int fd, std::string *error, const ReadLimits &limits)
{
    auto fail = [error](std::string why) -> std::unique_ptr<Package> {
        if (error != nullptr)
            *error = std::move(why);
        return nullptr;
    };
    struct stat st {
    };
    if (::fstat(fd, &st) != 0)
        return fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail("not a regular file");
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return fail(std::strerror(errno));

    auto *state = new PreadSource;
    state->fd = own;
    state->size = st.st_size;
    zip_error_init(&state->error);
    zip_error_t err;
    zip_error_init(&err);
    zip_source_t *src = zip_source_function_create(PreadCallback, state, &err);
    if (src == nullptr) {
        zip_error_fini(&state->error);
        delete state;
        ::close(own);
        zip_error_fini(&err);
        return fail("cannot read the file");
    }
    zip_t *za = zip_open_from_source(src, ZIP_RDONLY, &err);
    if (za == nullptr) {
        const bool notZip = zip_error_code_zip(&err) == ZIP_ER_NOZIP;
        std::string why =
            notZip ? "not an .xlsx file (not a zip archive)" : zip_error_strerror(&err);
        zip_error_fini(&err);
        zip_source_free(src); // frees the state
        ::close(own);
        return fail(why);
    }
    zip_error_fini(&err);

    std::unique_ptr<Package> pkg(new Package);
    pkg->zip_ = std::make_unique<Zip>();
    pkg->zip_->za = za;
    pkg->fd_ = own;
    pkg->limits_ = limits;

    const zip_int64_t count = zip_get_num_entries(za, 0);
    if (count < 0 || static_cast<std::uint64_t>(count) > limits.maxEntries)
        return fail("the archive has too many entries");
    pkg->entries_.reserve(static_cast<std::size_t>(count));
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t zs;
        zip_stat_init(&zs);
        if (zip_stat_index(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW, &zs) != 0 ||
            zs.name == nullptr)
            return fail("the archive's directory is damaged");
        PackageEntry e;
        e.index = static_cast<std::uint64_t>(i);
        e.name = zs.name;
        e.utf8Name = ValidUtf8NonAscii(e.name);
        e.method = static_cast<std::uint16_t>(zs.comp_method);
        e.crc32 = zs.crc;
        e.compressedSize = zs.comp_size;
        e.uncompressedSize = zs.size;
        e.encrypted =
            (zs.valid & ZIP_STAT_ENCRYPTION_METHOD) && zs.encryption_method != ZIP_EM_NONE;
        DosDateTime(static_cast<std::int64_t>(zs.mtime), e.dosDate, e.dosTime);
        zip_uint8_t opsys = ZIP_OPSYS_DOS;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(za, static_cast<zip_uint64_t>(i), 0, &opsys,
                                             &attributes) == 0) {
            e.externalAttributes = attributes;
            e.versionMadeBy = static_cast<std::uint16_t>((opsys << 8) | 20);
        }
        pkg->byName_.emplace_back(AsciiLower(e.name), pkg->entries_.size());
        pkg->entries_.push_back(std::move(e));
    }
    std::sort(pkg->byName_.begin(), pkg->byName_.end());
    return pkg; // `own` stays open for libzip's reads and is closed with the package
}

const PackageEntry *Package::Find(std::string_view partName) const
{
    if (!partName.empty() && partName[0] == '/')
        partName.remove_prefix(1);
    const std::string key = AsciiLower(partName);
    auto it = std::lower_bound(byName_.begin(), byName_.end(), key,
                               [](const auto &a, const std::string &k) { return a.first < k; });
    if (it == byName_.end() || it->first != key)
        return nullptr;
    return &entries_[it->second];
}

std::unique_ptr<ByteSource> Package::OpenRaw(const PackageEntry &entry)
{
    zip_file_t *file = zip_fopen_index(zip_->za, entry.index, ZIP_FL_COMPRESSED);
    if (file == nullptr)
        return std::make_unique<FailedSource>(zip_strerror(zip_->za));
    return std::make_unique<RawSource>(file, entry.compressedSize);
}

std::unique_ptr<ByteSource> Package::OpenPart(const PackageEntry &entry)
{
    if (entry.encrypted)
        return std::make_unique<FailedSource>("the part is encrypted");
    if (entry.method != 0 && entry.method != 8)
        return std::make_unique<FailedSource>("the part uses an unsupported compression method");
    return std::make_unique<PartSource>(OpenRaw(entry), entry, limits_);
}

bool Package::ReadPart(const PackageEntry &entry, std::string &out, std::uint64_t cap,
                       std::string *error)
{
    out.clear();
    if (entry.uncompressedSize > cap) {
        if (error != nullptr)
            *error = "part \"" + entry.name + "\" is too large";
        return false;
    }
    out.reserve(static_cast<std::size_t>(entry.uncompressedSize));
    auto src = OpenPart(entry);
    char buffer[1 << 16];
    for (;;) {
        const std::int64_t n = src->Read(buffer, sizeof buffer);
        if (n < 0) {
            if (error != nullptr)
                *error = "part \"" + entry.name + "\": " + src->Error();
            return false;
        }
        if (n == 0)
            return true;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace workbook
