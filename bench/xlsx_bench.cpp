// Saving and opening a full archive sheet: 65,500 rows x 9 columns (a time text and eight
// readings per row, as the archive writes them).
//
//  1. SaveXlsx of the workbook model, against the writer library writing the same cells
//     directly (constant-memory mode, no model, no temporary file, no fsync) in the same run;
//     the ratio of the medians is printed (target <= 1.3).
//  2. ReadXlsx of that file (target <= 1.5 s).
//
// A plain harness rather than Google Benchmark: each case runs a few times, alternating, and
// the medians are printed.
#include "workbook.h"
#include "xlsxread.h"
#include "xlsxwrite.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <xlsxwriter.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace
{

constexpr int kRows = 65500;
constexpr int kReadings = 8;
constexpr int kFirstRow = 5;
constexpr int kRepeats = 5;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// Processor time of this process: unlike wall time it does not grow when other processes
// compete for the processor.
double CpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Reading(int row, int k)
{
    return 20.0 + 0.001 * row + 0.37 * k + (row % 7) * 0.125;
}

std::string TimeText(int row)
{
    const int s = row % 86400;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", s / 3600, (s / 60) % 60, s % 60);
    return buf;
}

std::unique_ptr<workbook::Workbook> BuildModel()
{
    auto book = std::make_unique<workbook::Workbook>();
    workbook::Worksheet *sheet = book->AppendSheet();
    for (int k = 1; k <= kReadings; ++k)
        sheet->SetText(4, k + 1, QStringLiteral("Точка %1").arg(k));
    for (int i = 0; i < kRows; ++i) {
        const int row = kFirstRow + i;
        sheet->SetNumber(2, 2, row);
        sheet->SetText(row, 1, QString::fromStdString(TimeText(row)));
        for (int k = 1; k <= kReadings; ++k)
            sheet->SetNumber(row, k + 1, Reading(row, k));
    }
    return book;
}

// The same cells straight through the writer library.
bool WriteDirect(const std::string &path)
{
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    lxw_workbook *wb = workbook_new_opt(path.c_str(), &options);
    if (wb == nullptr)
        return false;
    lxw_worksheet *ws = workbook_add_worksheet(wb, "Sheet1");
    worksheet_write_number(ws, 1, 1, kFirstRow + kRows - 1, nullptr);
    for (int k = 1; k <= kReadings; ++k) {
        const std::string header = "Точка " + std::to_string(k);
        worksheet_write_string(ws, 3, k, header.c_str(), nullptr);
    }
    for (int i = 0; i < kRows; ++i) {
        const int row = kFirstRow + i;
        worksheet_write_string(ws, row - 1, 0, TimeText(row).c_str(), nullptr);
        for (int k = 1; k <= kReadings; ++k)
            worksheet_write_number(ws, row - 1, k, Reading(row, k), nullptr);
    }
    return workbook_close(wb) == LXW_NO_ERROR;
}

} // namespace

int main(int argc, char **argv)
{
    // "--open FILE": only time opening FILE (for profiling the reader).
    if (argc == 3 && std::string(argv[1]) == "--open") {
        const auto start = Clock::now();
        const double cpu = CpuSeconds();
        QString error;
        auto back = workbook::ReadXlsx(QString::fromLocal8Bit(argv[2]), &error);
        std::printf("open: %.3f s wall, %.3f s cpu, %s\n", Seconds(start), CpuSeconds() - cpu,
                    back ? "ok" : qPrintable(error));
        return back ? 0 : 1;
    }
    // "--save FILE": only build the model and save it to FILE.
    if (argc == 3 && std::string(argv[1]) == "--save") {
        QString error;
        const bool ok = workbook::SaveXlsx(*BuildModel(), QString::fromLocal8Bit(argv[2]), &error);
        if (!ok)
            std::fprintf(stderr, "%s\n", qPrintable(error));
        return ok ? 0 : 1;
    }

    QTemporaryDir dir;
    const QString ours = dir.filePath(QStringLiteral("model.xlsx"));
    const std::string direct =
        QFile::encodeName(dir.filePath(QStringLiteral("direct.xlsx"))).toStdString();

    auto start = Clock::now();
    auto book = BuildModel();
    std::printf("model of %d rows x %d columns built in %.3f s\n", kRows, kReadings + 1,
                Seconds(start));

    std::vector<double> modelTimes, directTimes, openTimes;
    std::vector<double> modelCpu, directCpu, openCpu;
    for (int i = 0; i < kRepeats; ++i) {
        start = Clock::now();
        double cpu = CpuSeconds();
        QString error;
        if (!workbook::SaveXlsx(*book, ours, &error)) {
            std::fprintf(stderr, "SaveXlsx failed: %s\n", qPrintable(error));
            return 1;
        }
        modelTimes.push_back(Seconds(start));
        modelCpu.push_back(CpuSeconds() - cpu);
        start = Clock::now();
        cpu = CpuSeconds();
        if (!WriteDirect(direct)) {
            std::fprintf(stderr, "direct write failed\n");
            return 1;
        }
        directTimes.push_back(Seconds(start));
        directCpu.push_back(CpuSeconds() - cpu);
    }
    for (int i = 0; i < 3; ++i) {
        start = Clock::now();
        const double cpu = CpuSeconds();
        QString error;
        auto back = workbook::ReadXlsx(ours, &error);
        openTimes.push_back(Seconds(start));
        openCpu.push_back(CpuSeconds() - cpu);
        if (!back || back->Sheet(0)->MaxRow() != kFirstRow + kRows - 1) {
            std::fprintf(stderr, "ReadXlsx failed: %s\n", qPrintable(error));
            return 1;
        }
    }

    const double model = Median(modelTimes);
    const double plain = Median(directTimes);
    std::printf("save through the model (SaveXlsx):  median %.3f s wall, %.3f s cpu  (file %lld "
                "bytes)\n",
                model, Median(modelCpu), static_cast<long long>(QFile(ours).size()));
    std::printf("same cells written directly:        median %.3f s wall, %.3f s cpu\n", plain,
                Median(directCpu));
    std::printf("ratio model/direct (cpu):           %.2f\n", Median(modelCpu) / Median(directCpu));
    std::printf("ratio model/direct:                 %.2f  (target <= 1.3) %s\n", model / plain,
                model / plain <= 1.3 ? "OK" : "MISSED");
    const double open = Median(openTimes);
    std::printf("open again (ReadXlsx):              median %.3f s wall, %.3f s cpu  (target <= "
                "1.5 s) %s\n",
                open, Median(openCpu), open <= 1.5 ? "OK" : "MISSED");
    double load[1] = {0};
    if (getloadavg(load, 1) == 1)
        std::printf("load average during the run: %.1f on this machine\n", load[0]);
    return 0;
}
