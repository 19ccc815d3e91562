// The zip writer: archives checked by libzip (with its consistency checks), Python's zipfile,
// unzip and openpyxl; raw copies byte for byte; zip64 records for many entries, far offsets
// and large sizes.
#include "zipwrite.h"

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

using namespace workbook;

namespace
{

class MemorySource : public ByteSource
{
  public:
    explicit MemorySource(std::string data) : data_(std::move(data)) {}
    std::int64_t Read(char *buffer, std::size_t n) override
    {
        n = std::min(n, data_.size() - pos_);
        std::memcpy(buffer, data_.data() + pos_, n);
        pos_ += n;
        return static_cast<std::int64_t>(n);
    }

  private:
    std::string data_;
    std::size_t pos_ = 0;
};

std::string RawDeflate(std::string_view data, int level = 6)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::uint32_t Crc(std::string_view s)
{
    return static_cast<std::uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef *>(s.data()), s.size()));
}

/// A deflate stream of `count` MiB of zeros in a few kB per GiB (see the splice tests), with
/// the CRC of what it inflates to.
struct ZeroStream {
    std::string head, block, tail = std::string("\x03\x00", 2);
    std::uint64_t count;
    std::uint32_t crc;
    std::uint64_t Size() const { return head.size() + block.size() * count + tail.size(); }
    std::uint64_t Inflated() const { return 32768 + (count << 20); }
};

ZeroStream Zeros(std::uint64_t mebibytes)
{
    const std::string zeros(1 << 20, '\0');
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string buf(1 << 20, '\0');
    auto piece = [&](std::size_t n) {
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.data()));
        z.avail_in = static_cast<uInt>(n);
        z.next_out = reinterpret_cast<Bytef *>(buf.data());
        z.avail_out = static_cast<uInt>(buf.size());
        deflate(&z, Z_SYNC_FLUSH);
        return buf.substr(0, buf.size() - z.avail_out);
    };
    ZeroStream s;
    s.head = piece(32768);
    piece(zeros.size());
    s.block = piece(zeros.size());
    deflateEnd(&z);
    s.count = mebibytes;
    const uLong mib = crc32(0, reinterpret_cast<const Bytef *>(zeros.data()), 1 << 20);
    uLong crc = crc32(0, reinterpret_cast<const Bytef *>(zeros.data()), 32768);
    for (std::uint64_t i = 0; i < mebibytes; ++i)
        crc = crc32_combine(crc, mib, 1 << 20);
    s.crc = static_cast<std::uint32_t>(crc);
    return s;
}

/// Streams a ZeroStream without holding it in memory.
class ZeroSource : public ByteSource
{
  public:
    explicit ZeroSource(const ZeroStream &z) : z_(z) {}
    std::int64_t Read(char *buffer, std::size_t n) override
    {
        for (;;) {
            const std::string &part = stage_ == 0 ? z_.head : stage_ == 1 ? z_.block : z_.tail;
            if (stage_ == 1 && done_ == z_.count) {
                stage_ = 2;
                continue;
            }
            if (at_ == part.size()) {
                if (stage_ == 2)
                    return 0;
                if (stage_ == 1)
                    ++done_;
                else
                    stage_ = 1;
                at_ = 0;
                continue;
            }
            const std::size_t k = std::min(n, part.size() - at_);
            std::memcpy(buffer, part.data() + at_, k);
            at_ += k;
            return static_cast<std::int64_t>(k);
        }
    }

  private:
    const ZeroStream &z_;
    int stage_ = 0;
    std::size_t at_ = 0;
    std::uint64_t done_ = 0;
};

class TempDir
{
  public:
    TempDir()
    {
        char tmpl[] = "/tmp/ptk71-zip-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string File(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

bool HaveTool(const std::string &tool)
{
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int RunQuiet(const std::string &command)
{
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ZipEntryMeta Meta(const std::string &name, std::uint16_t method = 8)
{
    ZipEntryMeta m;
    m.name = name;
    m.method = method;
    m.versionMadeBy = 0x031E; // Unix, 3.0
    m.externalAttributes = 0100644u << 16;
    return m;
}

/// Opens an archive with libzip's consistency checks; the test fails if it cannot.
struct Archive {
    explicit Archive(const std::string &path)
    {
        int code = 0;
        zip = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
        EXPECT_NE(zip, nullptr) << "libzip error " << code;
    }
    ~Archive()
    {
        if (zip != nullptr)
            zip_discard(zip);
    }
    std::string Read(const std::string &name, zip_flags_t flags = 0)
    {
        zip_file_t *f = zip_fopen(zip, name.c_str(), flags);
        EXPECT_NE(f, nullptr) << name << ": " << zip_strerror(zip);
        std::string out;
        if (f == nullptr)
            return out;
        char buf[65536];
        zip_int64_t n;
        while ((n = zip_fread(f, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<std::size_t>(n));
        EXPECT_EQ(n, 0) << name << ": " << zip_file_strerror(f);
        zip_fclose(f);
        return out;
    }
    zip_stat_t Stat(const std::string &name)
    {
        zip_stat_t st;
        zip_stat_init(&st);
        EXPECT_EQ(zip_stat(zip, name.c_str(), 0, &st), 0) << name;
        return st;
    }
    zip_t *zip = nullptr;
};

enum class ToolCheck { Test, List, ListWithPython };

/// Python's zipfile and unzip test every entry's CRC (or only list the archive, for entries
/// too large to inflate in a test, or too many for Python to test quickly); each tool is
/// skipped when missing.
void CheckWithOutsideTools(const std::string &path, ToolCheck check = ToolCheck::Test)
{
    if (HaveTool("/usr/bin/python3")) {
        const std::string mode = check == ToolCheck::Test ? "-t" : "-l";
        EXPECT_EQ(RunQuiet("/usr/bin/python3 -m zipfile " + mode + " '" + path + "'"), 0)
            << "zipfile";
    }
    if (HaveTool("unzip")) {
        const std::string mode = check == ToolCheck::List ? "-lqq" : "-tqq";
        EXPECT_EQ(RunQuiet("unzip " + mode + " '" + path + "'"), 0) << "unzip";
    }
}

std::string SheetXml(int rows)
{
    std::string s = "<sheetData>";
    for (int r = 1; r <= rows; ++r)
        s += "<row r=\"" + std::to_string(r) + "\"><c r=\"B" + std::to_string(r) + "\"><v>" +
             std::to_string(r * 0.125) + "</v></c></row>";
    return s + "</sheetData>";
}

} // namespace

TEST(ZipWriter, WritesEveryKindOfEntryForEveryReader)
{
    TempDir dir;
    const std::string path = dir.File("a.zip");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);

    std::tm when{};
    when.tm_year = 2024 - 1900;
    when.tm_mon = 4;
    when.tm_mday = 17;
    when.tm_hour = 10;
    when.tm_min = 20;
    when.tm_sec = 31;
    when.tm_isdst = -1;
    const std::time_t stamp = std::mktime(&when);
    const std::string sheet = SheetXml(20000);
    const std::string rawText = SheetXml(3000);
    std::map<std::string, std::string> expected = {
        {"[Content_Types].xml", "<Types/>"},
        {"xl/worksheets/sheet1.xml", sheet},
        {"stored.bin", std::string("\0\1\2stored", 9)},
        {"docProps/Zählwerk.xml", "<ü/>"},
        {"raw.xml", rawText},
        {"empty.txt", ""},
    };
    {
        ZipWriter zw(fd);
        ZipEntryMeta m = Meta("[Content_Types].xml");
        DosDateTime(stamp, m.dosDate, m.dosTime);
        ASSERT_TRUE(zw.AddEntry(m, expected[m.name])) << zw.Error();

        ByteSink *sink = zw.BeginEntry(Meta("xl/worksheets/sheet1.xml"), false, 9);
        ASSERT_NE(sink, nullptr) << zw.Error();
        for (std::size_t i = 0; i < sheet.size(); i += 7777)
            ASSERT_TRUE(
                sink->Write(sheet.data() + i, std::min<std::size_t>(7777, sheet.size() - i)));
        ASSERT_TRUE(zw.FinishEntry()) << zw.Error();

        ASSERT_TRUE(zw.AddEntry(Meta("stored.bin", 0), expected["stored.bin"])) << zw.Error();
        ASSERT_TRUE(zw.AddEntry(Meta("docProps/Zählwerk.xml"), expected["docProps/Zählwerk.xml"]));

        // Caller-made raw deflate, with room for zip64 sizes that turn out not to be needed.
        sink = zw.BeginRawEntry(Meta("raw.xml"), true);
        ASSERT_NE(sink, nullptr) << zw.Error();
        const std::string raw = RawDeflate(rawText);
        ASSERT_TRUE(sink->Write(raw.data(), raw.size()));
        ASSERT_TRUE(zw.FinishRawEntry(Crc(rawText), rawText.size())) << zw.Error();

        ASSERT_TRUE(zw.AddEntry(Meta("empty.txt"), "")) << zw.Error();
        ASSERT_TRUE(zw.Finish()) << zw.Error();
        EXPECT_FALSE(zw.AddEntry(Meta("late.txt"), "x"));
    }
    ::close(fd);

    Archive a(path);
    ASSERT_NE(a.zip, nullptr);
    ASSERT_EQ(zip_get_num_entries(a.zip, 0), static_cast<zip_int64_t>(expected.size()));
    // Entries keep the order they were added in.
    EXPECT_STREQ(zip_get_name(a.zip, 0, 0), "[Content_Types].xml");
    EXPECT_STREQ(zip_get_name(a.zip, 5, 0), "empty.txt");
    for (const auto &[name, data] : expected) {
        SCOPED_TRACE(name);
        EXPECT_EQ(a.Read(name), data);
        EXPECT_EQ(a.Stat(name).crc, Crc(data));
    }
    EXPECT_EQ(a.Stat("stored.bin").comp_method, ZIP_CM_STORE);
    EXPECT_LT(a.Stat("xl/worksheets/sheet1.xml").comp_size, sheet.size() / 4);
    const std::time_t back = a.Stat("[Content_Types].xml").mtime;
    std::tm got{};
    localtime_r(&back, &got);
    EXPECT_EQ(got.tm_year, when.tm_year);
    EXPECT_EQ(got.tm_mday, 17);
    EXPECT_EQ(got.tm_hour, 10);
    EXPECT_EQ(got.tm_min, 20);
    EXPECT_EQ(got.tm_sec, 30); // two-second steps
    zip_uint8_t os = 0;
    zip_uint32_t attributes = 0;
    zip_file_get_external_attributes(a.zip, 1, 0, &os, &attributes);
    EXPECT_EQ(os, ZIP_OPSYS_UNIX);
    EXPECT_EQ(attributes, 0100644u << 16);
    CheckWithOutsideTools(path);
}

TEST(ZipWriter, RawCopiesKeepTheirCompressedBytes)
{
    TempDir dir;
    const std::string source = dir.File("source.zip");
    const std::string copy = dir.File("copy.zip");
    const std::string sheet = SheetXml(5000);
    {
        // A source archive from another writer, with its own extra fields and levels.
        int code = 0;
        zip_t *z = zip_open(source.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
        ASSERT_NE(z, nullptr);
        const std::pair<const char *, const std::string *> parts[] = {{"sheet.xml", &sheet}};
        for (const auto &[name, data] : parts) {
            zip_source_t *s = zip_source_buffer(z, data->data(), data->size(), 0);
            const zip_int64_t i = zip_file_add(z, name, s, ZIP_FL_ENC_UTF_8);
            zip_set_file_compression(z, static_cast<zip_uint64_t>(i), ZIP_CM_DEFLATE, 3);
            zip_file_set_mtime(z, static_cast<zip_uint64_t>(i), 1700000000, 0);
            zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX,
                                             0100600u << 16);
        }
        static const char text[] = "kept as it is";
        zip_source_t *s = zip_source_buffer(z, text, sizeof text - 1, 0);
        const zip_int64_t i = zip_file_add(z, "stored.txt", s, 0);
        zip_set_file_compression(z, static_cast<zip_uint64_t>(i), ZIP_CM_STORE, 0);
        ASSERT_EQ(zip_close(z), 0);
    }
    Archive src(source);
    ASSERT_NE(src.zip, nullptr);
    const int fd = ::open(copy.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::vector<std::string> names;
    {
        ZipWriter zw(fd);
        for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(zip_get_num_entries(src.zip, 0));
             ++i) {
            zip_stat_t st;
            zip_stat_index(src.zip, i, 0, &st);
            ZipEntryMeta m;
            m.name = st.name;
            m.method = static_cast<std::uint16_t>(st.comp_method);
            m.crc32 = st.crc;
            m.compressedSize = st.comp_size;
            m.uncompressedSize = st.size;
            DosDateTime(st.mtime, m.dosDate, m.dosTime);
            zip_uint8_t os;
            zip_file_get_external_attributes(src.zip, i, 0, &os, &m.externalAttributes);
            m.versionMadeBy = static_cast<std::uint16_t>(os << 8 | 20);
            MemorySource raw(src.Read(st.name, ZIP_FL_COMPRESSED));
            ASSERT_TRUE(zw.AddRaw(m, raw)) << zw.Error();
            names.push_back(st.name);
        }
        ASSERT_TRUE(zw.Finish()) << zw.Error();
    }
    ::close(fd);
    Archive out(copy);
    ASSERT_NE(out.zip, nullptr);
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(out.Read(name, ZIP_FL_COMPRESSED), src.Read(name, ZIP_FL_COMPRESSED));
        EXPECT_EQ(out.Read(name), src.Read(name));
        EXPECT_EQ(out.Stat(name).mtime, src.Stat(name).mtime);
        EXPECT_EQ(out.Stat(name).comp_method, src.Stat(name).comp_method);
    }
    zip_uint8_t os = 0;
    zip_uint32_t attributes = 0;
    zip_file_get_external_attributes(out.zip, 0, 0, &os, &attributes);
    EXPECT_EQ(attributes, 0100600u << 16);
    CheckWithOutsideTools(copy);
}

TEST(ZipWriter, Zip64ForManyEntriesFarOffsetsAndLargeSizes)
{
    TempDir dir;
    {
        SCOPED_TRACE("more than 65,535 entries");
        const std::string path = dir.File("many.zip");
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ZipWriter zw(fd);
        for (int i = 0; i < 66000; ++i)
            ASSERT_TRUE(zw.AddEntry(Meta("e" + std::to_string(i), 0), "")) << zw.Error();
        ASSERT_TRUE(zw.Finish()) << zw.Error();
        ::close(fd);
        Archive a(path);
        ASSERT_NE(a.zip, nullptr);
        EXPECT_EQ(zip_get_num_entries(a.zip, 0), 66000);
        EXPECT_STREQ(zip_get_name(a.zip, 65999, 0), "e65999");
        CheckWithOutsideTools(path, ToolCheck::ListWithPython);
    }
    {
        // The archive starts 4.5 GiB into a sparse file, so every offset needs zip64 fields;
        // offsets are absolute, as in an archive behind a prefix.
        SCOPED_TRACE("offsets past 4 GiB");
        const std::string path = dir.File("far.zip");
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::lseek(fd, (9ll << 30) / 2, SEEK_SET), (9ll << 30) / 2);
        ZipWriter zw(fd);
        ASSERT_TRUE(zw.AddEntry(Meta("a.xml"), SheetXml(100))) << zw.Error();
        ByteSink *sink = zw.BeginEntry(Meta("b.xml"), true);
        ASSERT_NE(sink, nullptr);
        ASSERT_TRUE(sink->Write("<b/>", 4));
        ASSERT_TRUE(zw.FinishEntry()) << zw.Error();
        ASSERT_TRUE(zw.Finish()) << zw.Error();
        ::close(fd);
        Archive a(path);
        ASSERT_NE(a.zip, nullptr);
        EXPECT_EQ(a.Read("a.xml"), SheetXml(100));
        EXPECT_EQ(a.Read("b.xml"), "<b/>");
        CheckWithOutsideTools(path);
    }
    {
        // Entries inflating to 5 GiB from 5 MB of data: checked by their records, not inflated.
        SCOPED_TRACE("sizes past 4 GiB");
        const ZeroStream zeros = Zeros(5120);
        const std::string path = dir.File("large.zip");
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ZipWriter zw(fd);
        ZipEntryMeta m = Meta("copied.bin");
        m.crc32 = zeros.crc;
        m.compressedSize = zeros.Size();
        m.uncompressedSize = zeros.Inflated();
        ZeroSource copied(zeros);
        ASSERT_TRUE(zw.AddRaw(m, copied)) << zw.Error();
        ByteSink *sink = zw.BeginRawEntry(Meta("spliced.bin"), true);
        ASSERT_NE(sink, nullptr);
        ZeroSource spliced(zeros);
        char buf[65536];
        for (std::int64_t n; (n = spliced.Read(buf, sizeof buf)) > 0;)
            ASSERT_TRUE(sink->Write(buf, static_cast<std::size_t>(n)));
        ASSERT_TRUE(zw.FinishRawEntry(zeros.crc, zeros.Inflated())) << zw.Error();
        ASSERT_TRUE(zw.AddEntry(Meta("small.txt"), "after")) << zw.Error();
        ASSERT_TRUE(zw.Finish()) << zw.Error();
        ::close(fd);
        Archive a(path); // ZIP_CHECKCONS compares every local header with the directory
        ASSERT_NE(a.zip, nullptr);
        for (const char *name : {"copied.bin", "spliced.bin"}) {
            const zip_stat_t st = a.Stat(name);
            EXPECT_EQ(st.size, zeros.Inflated()) << name;
            EXPECT_EQ(st.comp_size, zeros.Size()) << name;
            EXPECT_EQ(st.crc, zeros.crc) << name;
        }
        EXPECT_EQ(a.Read("small.txt"), "after");
        // Inflating 5 GiB twice is too slow for a unit test; list the entries, read the
        // start of one through libzip.
        CheckWithOutsideTools(path, ToolCheck::List);
        zip_file_t *f = zip_fopen(a.zip, "spliced.bin", 0);
        ASSERT_NE(f, nullptr);
        std::string start(1 << 20, 'x');
        EXPECT_EQ(zip_fread(f, start.data(), start.size()), static_cast<zip_int64_t>(start.size()));
        EXPECT_EQ(start, std::string(1 << 20, '\0'));
        zip_fclose(f);
    }
}

TEST(ZipWriter, RefusesWhatItCannotWriteAndStaysFailed)
{
    TempDir dir;
    {
        // A raw entry that passes 4 GiB without a reserved zip64 field.
        const int fd = ::open(dir.File("a.zip").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ZipWriter zw(fd);
        ByteSink *sink = zw.BeginRawEntry(Meta("big.bin"), false);
        ASSERT_NE(sink, nullptr);
        const std::string raw = RawDeflate("x");
        ASSERT_TRUE(sink->Write(raw.data(), raw.size()));
        EXPECT_FALSE(zw.FinishRawEntry(0, 5ull << 30));
        EXPECT_NE(zw.Error().find("4 GiB"), std::string::npos) << zw.Error();
        EXPECT_FALSE(zw.AddEntry(Meta("next.txt"), "x"));
        EXPECT_FALSE(zw.Finish());
        ::close(fd);
    }
    {
        // A source that ends before the entry's compressed size; calls out of order.
        const int fd = ::open(dir.File("b.zip").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ZipWriter zw(fd);
        EXPECT_FALSE(zw.FinishEntry());
        ::close(fd);
        const int fd2 = ::open(dir.File("c.zip").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ZipWriter zw2(fd2);
        ZipEntryMeta m = Meta("short.bin");
        m.compressedSize = 100;
        MemorySource shortSource("only 20 bytes here..");
        EXPECT_FALSE(zw2.AddRaw(m, shortSource));
        EXPECT_NE(zw2.Error().find("20 of 100"), std::string::npos) << zw2.Error();
        EXPECT_FALSE(zw2.AddEntry(Meta(""), "x"));
        ::close(fd2);
    }
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ZipWriter onPipe(pipeFds[1]);
    EXPECT_FALSE(onPipe.AddEntry(Meta("x"), "x"));
    EXPECT_NE(onPipe.Error().find("seekable"), std::string::npos) << onPipe.Error();
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(ZipWriter, DosDateTimeConvertsLocalTimeAndClamps)
{
    const char *oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    std::uint16_t date = 0, time = 0;
    DosDateTime(1709214359, date, time); // 2024-02-29 13:45:59
    EXPECT_EQ(date, (44 << 9) | (2 << 5) | 29);
    EXPECT_EQ(time, (13 << 11) | (45 << 5) | 29);
    DosDateTime(0, date, time); // 1970: before the format begins
    EXPECT_EQ(date, (0 << 9) | (1 << 5) | 1);
    EXPECT_EQ(time, 0);
    DosDateTime(std::int64_t(1) << 40, date, time); // far after 2107
    EXPECT_EQ(date, (127 << 9) | (12 << 5) | 31);
    EXPECT_EQ(time, (23 << 11) | (59 << 5) | 29);
    DosDateTime(std::int64_t(-1) << 62, date, time); // beyond what the C library converts
    EXPECT_EQ(date, (0 << 9) | (1 << 5) | 1);
    if (oldTz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(ZipWriter, MinimalWorkbookOpensInOpenpyxl)
{
    if (RunQuiet("/usr/bin/python3 -c 'import openpyxl'") != 0)
        GTEST_SKIP() << "python3-openpyxl is not installed";
    TempDir dir;
    const std::string path = dir.File("book.xlsx");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string ns = "http://schemas.openxmlformats.org/";
    const std::pair<std::string, std::string> parts[] = {
        {"[Content_Types].xml",
         "<Types xmlns=\"" + ns +
             "package/2006/content-types\"><Default Extension=\"rels\" "
             "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/><Default "
             "Extension=\"xml\" ContentType=\"application/xml\"/><Override "
             "PartName=\"/xl/workbook.xml\" ContentType=\"application/"
             "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/><Override "
             "PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"application/"
             "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/></Types>"},
        {"_rels/.rels", "<Relationships xmlns=\"" + ns +
                            "package/2006/relationships\"><Relationship Id=\"rId1\" Type=\"" + ns +
                            "officeDocument/2006/relationships/officeDocument\" "
                            "Target=\"xl/workbook.xml\"/></Relationships>"},
        {"xl/workbook.xml",
         "<workbook xmlns=\"" + ns + "spreadsheetml/2006/main\" xmlns:r=\"" + ns +
             "officeDocument/2006/relationships\"><sheets><sheet "
             "name=\"Messung 1\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
        {"xl/_rels/workbook.xml.rels",
         "<Relationships xmlns=\"" + ns +
             "package/2006/relationships\"><Relationship Id=\"rId1\" Type=\"" + ns +
             "officeDocument/2006/relationships/worksheet\" "
             "Target=\"worksheets/sheet1.xml\"/></Relationships>"},
        {"xl/worksheets/sheet1.xml", "<worksheet xmlns=\"" + ns + "spreadsheetml/2006/main\">" +
                                         SheetXml(3000) + "</worksheet>"},
    };
    {
        ZipWriter zw(fd);
        for (const auto &[name, xml] : parts) {
            if (name == "xl/worksheets/sheet1.xml") {
                ByteSink *sink = zw.BeginRawEntry(Meta(name), false);
                ASSERT_NE(sink, nullptr);
                const std::string raw = RawDeflate(xml, 1);
                ASSERT_TRUE(sink->Write(raw.data(), raw.size()));
                ASSERT_TRUE(zw.FinishRawEntry(Crc(xml), xml.size())) << zw.Error();
            } else {
                ASSERT_TRUE(zw.AddEntry(Meta(name), xml)) << zw.Error();
            }
        }
        ASSERT_TRUE(zw.Finish()) << zw.Error();
    }
    ::close(fd);
    EXPECT_EQ(
        RunQuiet("/usr/bin/python3 -c \"import openpyxl,sys; ws=openpyxl.load_workbook(sys.argv[1])"
                 "['Messung 1']; sys.exit(0 if ws['B3000'].value == 375.0 and ws.max_row == 3000 "
                 "else 1)\" '" +
                 path + "'"),
        0);
}
