// Rewriting a large compressed worksheet part: the splicer (reusing unchanged deflate blocks)
// against inflating and recompressing the whole part, and against the writer library writing
// the same sheet from scratch.
//
// The old part is a worksheet of 40,000 rows x (a time text + 253 readings), about 300 MB of
// XML, compressed at level 6. The edit is what continuing a workbook does: a new counter in B2
// and 100 rows inserted before </sheetData>.
//
// Run: build/bench/splice_bench [rows] [--no-writer]
#include "deflatesplice.h"

#include <xlsxwriter.h>
#include <zlib.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <random>
#include <string>
#include <unistd.h>

using namespace workbook;

namespace
{

constexpr int kColumns = 253; // readings per row, columns B.. after the time text in A
constexpr int kFirstRow = 5;

struct Clock {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    double cpu = Cpu();
    static double Cpu()
    {
        timespec ts;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
    double Wall() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    }
    double CpuTime() const { return Cpu() - cpu; }
};

std::string Column(int index) // 0 = A
{
    std::string s;
    for (int n = index + 1; n > 0; n = (n - 1) / 26)
        s.insert(s.begin(), static_cast<char>('A' + (n - 1) % 26));
    return s;
}

/// One row of the sheet, as the archive writes it.
void AppendRow(std::string &s, int row, std::mt19937 &rng, const std::string *columns)
{
    char buf[96];
    const std::string r = std::to_string(row);
    s += "<row r=\"" + r + "\">";
    std::snprintf(buf, sizeof buf,
                  "<c r=\"A%s\" t=\"inlineStr\"><is><t>%02d:%02d:%02d</t></is></c>", r.c_str(),
                  row / 3600 % 24, row / 60 % 60, row % 60);
    s += buf;
    for (int c = 1; c <= kColumns; ++c) {
        const unsigned v = rng() % 100000;
        std::snprintf(buf, sizeof buf, "<c r=\"%s%s\"><v>%u.%03u</v></c>", columns[c].c_str(),
                      r.c_str(), v / 1000, v % 1000);
        s += buf;
    }
    s += "</row>";
}

class Deflater
{
  public:
    explicit Deflater(int level)
    {
        deflateInit2(&z_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        buf_.resize(1 << 20);
    }
    ~Deflater() { deflateEnd(&z_); }
    void Put(const char *data, std::size_t n, int flush = Z_NO_FLUSH)
    {
        z_.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        z_.avail_in = static_cast<uInt>(n);
        do {
            z_.next_out = reinterpret_cast<Bytef *>(buf_.data());
            z_.avail_out = static_cast<uInt>(buf_.size());
            deflate(&z_, flush);
            const std::size_t k = buf_.size() - z_.avail_out;
            if (keep)
                out.append(buf_.data(), k);
            size += k;
        } while (z_.avail_out == 0);
    }
    void Finish() { Put(nullptr, 0, Z_FINISH); }
    bool keep = false;
    std::string out;
    std::uint64_t size = 0;

  private:
    z_stream z_{};
    std::string buf_;
};

/// Makes the old part: returns its raw deflate bytes; sets the XML size.
std::string MakeOldPart(int rows, std::uint64_t &xmlSize)
{
    std::string columns[kColumns + 1];
    for (int c = 0; c <= kColumns; ++c)
        columns[c] = Column(c);
    std::mt19937 rng(1);
    Deflater d(6);
    d.keep = true;
    std::string s =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
        "<dimension ref=\"A1:IT" +
        std::to_string(rows + kFirstRow - 1) +
        "\"/><sheetData><row r=\"2\"><c r=\"A2\" t=\"inlineStr\"><is><t>Rows</t></is>"
        "</c><c r=\"B2\"><v>" +
        std::to_string(rows) + "</v></c></row>";
    xmlSize = 0;
    for (int r = kFirstRow; r < rows + kFirstRow; ++r) {
        AppendRow(s, r, rng, columns);
        if (s.size() > (1 << 20)) {
            d.Put(s.data(), s.size());
            xmlSize += s.size();
            s.clear();
        }
    }
    s += "</sheetData><pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" "
         "header=\"0.3\" footer=\"0.3\"/></worksheet>";
    d.Put(s.data(), s.size());
    xmlSize += s.size();
    d.Finish();
    return d.out;
}

std::size_t Find(std::string_view data, std::string_view pattern, std::size_t from)
{
    const void *at = memmem(data.data() + from, data.size() - from, pattern.data(), pattern.size());
    return at == nullptr ? std::string_view::npos
                         : static_cast<std::size_t>(static_cast<const char *>(at) - data.data());
}

/// The edit of a continued sheet: a new counter in B2, rows inserted before </sheetData>.
/// Holds back the tail that could be the start of a pattern it is looking for.
class ContinueEditor : public SpliceEditor
{
  public:
    ContinueEditor(std::string counter, std::string rows)
        : counter_(std::move(counter)), rows_(std::move(rows))
    {
    }
    bool Consume(std::string_view data, bool last, SpliceOps &ops) override
    {
        static constexpr std::string_view kCounter = "<c r=\"B2\"><v>";
        static constexpr std::string_view kEnd = "</sheetData>";
        std::size_t pos = 0;
        for (;;) {
            if (state_ == 2) {
                ops.Copy(data.size() - pos);
                return true;
            }
            const std::string_view pattern = state_ == 0 ? kCounter : kEnd;
            const std::size_t at = Find(data, pattern, pos);
            if (at == std::string_view::npos) {
                if (last)
                    return false;
                const std::size_t keep = pattern.size() - 1;
                if (data.size() > pos + keep)
                    ops.Copy(data.size() - keep - pos);
                return true;
            }
            if (state_ == 0) {
                const std::size_t value = at + kCounter.size();
                const std::size_t close = Find(data, "</v>", value);
                if (close == std::string_view::npos) {
                    ops.Copy(at - pos); // decide the rest once the value is complete
                    return !last;
                }
                ops.Copy(value - pos);
                ops.Skip(close - value);
                ops.Insert(counter_);
                pos = close;
                state_ = 1;
            } else {
                ops.Copy(at - pos);
                ops.Insert(rows_);
                pos = at;
                state_ = 2;
            }
        }
    }
    std::string Message() const override { return "pattern not found"; }

  private:
    std::string counter_, rows_;
    int state_ = 0;
};

class ArraySource : public ByteSource
{
  public:
    explicit ArraySource(const std::string &s) : s_(s) {}
    std::int64_t Read(char *buffer, std::size_t n) override
    {
        n = std::min(n, s_.size() - pos_);
        std::memcpy(buffer, s_.data() + pos_, n);
        pos_ += n;
        return static_cast<std::int64_t>(n);
    }

  private:
    const std::string &s_;
    std::size_t pos_ = 0;
};

class CountingSink : public ByteSink
{
  public:
    bool Write(const char *, std::size_t n) override
    {
        size += n;
        return true;
    }
    std::uint64_t size = 0;
};

/// The plain way: inflate everything, let the same editor decide, deflate every new byte.
class Recompress : public SpliceOps
{
  public:
    explicit Recompress(int level) : d_(level) {}
    void Copy(std::uint64_t n) override
    {
        d_.Put(data_ + pos_, n);
        pos_ += n;
    }
    void Skip(std::uint64_t n) override { pos_ += n; }
    void Insert(std::string_view b) override { d_.Put(b.data(), b.size()); }

    std::uint64_t Run(const std::string &raw, SpliceEditor &editor)
    {
        z_stream z{};
        inflateInit2(&z, -15);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(raw.data()));
        z.avail_in = static_cast<uInt>(raw.size());
        std::string buf(1 << 20, '\0');
        std::size_t have = 0;
        int ret = Z_OK;
        while (ret == Z_OK) {
            z.next_out = reinterpret_cast<Bytef *>(buf.data() + have);
            z.avail_out = static_cast<uInt>(std::min<std::size_t>(buf.size() - have, 256 << 10));
            const uInt room = z.avail_out;
            ret = inflate(&z, Z_NO_FLUSH);
            have += room - z.avail_out;
            data_ = buf.data();
            pos_ = 0;
            editor.Consume(std::string_view(buf.data(), have), ret == Z_STREAM_END, *this);
            std::memmove(buf.data(), buf.data() + pos_, have - pos_);
            have -= pos_;
            if (buf.size() - have < (256 << 10))
                buf.resize(buf.size() * 2);
        }
        inflateEnd(&z);
        d_.Finish();
        return d_.size;
    }

  private:
    Deflater d_;
    const char *data_ = nullptr;
    std::uint64_t pos_ = 0;
};

std::string NewRows(int first, int count)
{
    std::string columns[kColumns + 1];
    for (int c = 0; c <= kColumns; ++c)
        columns[c] = Column(c);
    std::mt19937 rng(2);
    std::string s;
    for (int r = first; r < first + count; ++r)
        AppendRow(s, r, rng, columns);
    return s;
}

/// Seconds of wall and processor time the writer library takes for the sheet.
std::pair<double, double> WriterFromScratch(int rows)
{
    char path[] = "/tmp/splice-bench-XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    const std::string file = std::string(path) + ".xlsx";
    std::rename(path, file.c_str());
    Clock clock;
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    lxw_workbook *wb = workbook_new_opt(file.c_str(), &options);
    lxw_worksheet *ws = workbook_add_worksheet(wb, nullptr);
    worksheet_write_string(ws, 1, 0, "Rows", nullptr);
    worksheet_write_number(ws, 1, 1, rows, nullptr);
    std::mt19937 rng(1);
    char text[16];
    for (int r = kFirstRow; r < rows + kFirstRow; ++r) {
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", r / 3600 % 24, r / 60 % 60, r % 60);
        worksheet_write_string(ws, static_cast<lxw_row_t>(r - 1), 0, text, nullptr);
        for (int c = 1; c <= kColumns; ++c)
            worksheet_write_number(ws, static_cast<lxw_row_t>(r - 1), static_cast<lxw_col_t>(c),
                                   (rng() % 100000) / 1000.0, nullptr);
    }
    const lxw_error err = workbook_close(wb);
    const std::pair<double, double> seconds{clock.Wall(), clock.CpuTime()};
    std::remove(file.c_str());
    if (err != LXW_NO_ERROR)
        std::printf("writer library failed: %s\n", lxw_strerror(err));
    return seconds;
}

/// A field of /proc/self/status in kB (VmRSS now, VmHWM the peak since the last reset).
long StatusKb(const char *field)
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long kb = -1;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, field, n) == 0 && line[n] == ':')
            kb = std::atol(line + n + 1);
    std::fclose(f);
    return kb;
}

/// Starts a new peak for VmHWM (Linux: writing 5 to clear_refs resets it).
void ResetPeak()
{
    malloc_trim(0); // give back what earlier runs freed, so their pages do not hide this one's
    if (FILE *f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

} // namespace

int main(int argc, char **argv)
{
    int rows = 40000;
    bool writer = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-writer") == 0)
            writer = false;
        else
            rows = std::atoi(argv[i]);
    }
    std::printf("old part: %d rows x (time + %d readings)\n", rows, kColumns);
    std::uint64_t xmlSize = 0;
    Clock make;
    const std::string raw = MakeOldPart(rows, xmlSize);
    std::printf("  XML %.1f MB, compressed at level 6: %.1f MB (made in %.1f s)\n", xmlSize / 1e6,
                raw.size() / 1e6, make.Wall());
    const std::string counter = std::to_string(rows + 100);
    const std::string added = NewRows(rows + kFirstRow, 100);
    std::printf("  edit: B2 := %s, %.2f MB of rows inserted before </sheetData>\n\n",
                counter.c_str(), added.size() / 1e6);

    // The floor: inflating the old part once.
    {
        Clock c;
        z_stream z{};
        inflateInit2(&z, -15);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(raw.data()));
        z.avail_in = static_cast<uInt>(raw.size());
        std::string buf(256 << 10, '\0');
        int ret;
        do {
            z.next_out = reinterpret_cast<Bytef *>(buf.data());
            z.avail_out = static_cast<uInt>(buf.size());
            ret = inflate(&z, Z_NO_FLUSH);
        } while (ret == Z_OK);
        inflateEnd(&z);
        std::printf("%-34s %7.2f s wall %7.2f s cpu\n", "inflate only (floor)", c.Wall(),
                    c.CpuTime());
    }

    struct Run {
        double wall, cpu;
        std::uint64_t size;
    };
    auto splice = [&](bool verify, const char *name) {
        ArraySource src(raw);
        CountingSink sink;
        ContinueEditor editor(counter, added);
        ResetPeak();
        const long before = StatusKb("VmRSS");
        Clock c;
        const SpliceResult r = SplicePart(src, 8, editor, sink, SpliceLimits(), 6, verify);
        const Run run{c.Wall(), c.CpuTime(), r.compressedSize};
        const long peak = StatusKb("VmHWM");
        if (!r.ok)
            std::printf("splice failed: %s\n", r.error.c_str());
        std::printf("%-34s %7.2f s wall %7.2f s cpu  out %.2f MB  reused %.4f of new bytes\n", name,
                    run.wall, run.cpu, r.compressedSize / 1e6,
                    static_cast<double>(r.reusedUncompressed) /
                        static_cast<double>(r.uncompressedSize));
        if (before > 0 && peak > 0)
            std::printf("  memory taken by the splice (peak RSS growth): %.1f MB\n",
                        (peak - before) / 1024.0);
        return run;
    };
    const Run spliced = splice(true, "splice, verified");
    const Run unverified = splice(false, "splice, not verified");

    auto recompress = [&](int level, const char *name) {
        ContinueEditor editor(counter, added);
        Recompress re(level);
        Clock c;
        const std::uint64_t size = re.Run(raw, editor);
        const Run run{c.Wall(), c.CpuTime(), size};
        std::printf("%-34s %7.2f s wall %7.2f s cpu  out %.2f MB\n", name, run.wall, run.cpu,
                    size / 1e6);
        return run;
    };
    const Run level6 = recompress(6, "inflate + recompress, level 6");
    const Run level1 = recompress(1, "inflate + recompress, level 1");

    std::printf("\nratios (cpu time):\n");
    std::printf("  splice verified   / recompress 6: %.3f   / recompress 1: %.3f\n",
                spliced.cpu / level6.cpu, spliced.cpu / level1.cpu);
    std::printf("  splice unverified / recompress 6: %.3f   / recompress 1: %.3f\n",
                unverified.cpu / level6.cpu, unverified.cpu / level1.cpu);
    std::printf("  output size splice / level 6: %.4f\n",
                static_cast<double>(spliced.size) / static_cast<double>(level6.size));
    if (writer) {
        const auto [wall, cpu] = WriterFromScratch(rows);
        std::printf("\nwriter library, same sheet from scratch (constant memory): %.2f s wall "
                    "%.2f s cpu\n",
                    wall, cpu);
        std::printf("  splice verified / writer library: %.3f cpu, %.3f wall\n", spliced.cpu / cpu,
                    spliced.wall / wall);
    }
    return 0;
}
