// The workbook archive: one worksheet row per polling pass, written through late-bound calls.
#include "excelarchive.h"

#include "inttext.h"
#include "settings.h"

#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>

#include <algorithm>
#include <chrono>
#include <cmath>

bool ArchiveOpen = false;
bool ArchiveFailed = false;
double LastSaveTime = 0;
AutoVariant ExcelApp;
AutoVariant Workbook;
AutoVariant Sheet;

namespace
{

ArchiveHost g_host;

// The number format argument of "Add": a workbook with one worksheet / a worksheet.
constexpr int16_t kXlWorksheet = -4167;
constexpr int32_t kHeaderRow = 4;

double NowMonotonicDays()
{
    if (g_host.monotonicDays)
        return g_host.monotonicDays();
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count() / 86400.0;
}

// The locale's long time format without its time-zone part ("HH:mm:ss t" -> "HH:mm:ss").
QString TimeOfDayText()
{
    if (g_host.timeOfDayText)
        return g_host.timeOfDayText();
    static const QRegularExpression timeZone(QStringLiteral("\\s*t+\\s*"));
    const QLocale locale = QLocale::system();
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(timeZone);
    if (format.isEmpty())
        format = QStringLiteral("HH:mm:ss");
    return locale.toString(QTime::currentTime(), format.trimmed());
}

void SetCaption(const QString &text)
{
    if (g_host.setCaption)
        g_host.setCaption(text);
}

// Lets the window process pending messages; true when a handler run meanwhile (a visibility
// change) failed, after which the pass makes no further calls.
bool ProcessEventsFailed()
{
    if (g_host.processEvents)
        g_host.processEvents();
    return ArchiveFailed;
}

int ArchivedPoints()
{
    return std::clamp(int(NumPoints), 0, MaxArchivedPoints);
}

std::string Utf8(const QString &s)
{
    return s.toStdString();
}

using Arg = AutomationArg;

AutoVariant CellAt(int32_t row, int32_t col)
{
    return LateBoundCall(Sheet, CallKind::PropertyGet, "Cells", {Arg::I4(row), Arg::I4(col)}, true);
}

// A one-cell range, built anew from two "Cells" gets and a "Range" get.
AutoVariant OneCellRange(int32_t row, int32_t col)
{
    const AutoVariant first = CellAt(row, col);
    const AutoVariant second = CellAt(row, col);
    return LateBoundCall(Sheet, CallKind::PropertyGet, "Range", {Arg::Var(first), Arg::Var(second)},
                         true);
}

void PutCell(int32_t row, int32_t col, const Arg &value)
{
    LateBoundCall(Sheet, CallKind::PropertyPut, "Cells", {Arg::I4(row), Arg::I4(col), value},
                  false);
}

void WriteHeader()
{
    const int m = ArchivedPoints();
    for (int k = 1; k <= m; ++k)
        PutCell(kHeaderRow, k + 1, Arg::Str(Utf8(QStringLiteral("Точка ") + QString::number(k))));
}

// Shows or hides the application as the check box ExcelVisible says.
void PutVisible()
{
    const bool visible = g_host.excelVisible && g_host.excelVisible();
    LateBoundCall(ExcelApp, CallKind::PropertyPut, "Visible", {Arg::Bool(visible)}, false);
}

void ReleaseHolders()
{
    Sheet.Clear();
    Workbook.Clear();
    ExcelApp.Clear();
}

bool FileExists(const QString &path)
{
    const QFileInfo info(path);
    return !path.isEmpty() && info.exists() && !info.isDir();
}

// The pass-failure and closing-failure marker: the archive makes no further calls.
void Fail()
{
    SetCaption(CaptionExcelError);
    ArchiveFailed = true;
}

} // namespace

void SetArchiveHost(ArchiveHost host)
{
    g_host = std::move(host);
}

bool ParseRealText(const QString &text, double &value)
{
    // Leading blanks, optional sign, digits with optional "." and fraction (at least one digit
    // in all), optional exponent with optional sign and digits, nothing after.
    static const QRegularExpression rule(
        QStringLiteral("^ *[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    if (!rule.match(text).hasMatch())
        return false;
    bool ok = false;
    const double d = QLocale::c().toDouble(text.trimmed(), &ok);
    // An exponent beyond the double range is not a number to write into a cell.
    if (!ok || !std::isfinite(d))
        return false;
    value = d;
    return true;
}

void OpenExcel()
{
    if (ArchiveOpen || !g_host.enExcel || !g_host.enExcel())
        return;
    try {
        SetCaption(CaptionExcel);
        LastSaveTime = NowMonotonicDays();
        ExcelApp = CreateAutomationObject(g_host.progId);
        PutVisible();
        ArchiveOpen = true;
        const QString name = g_host.fileName ? g_host.fileName() : QString();
        const AutoVariant books = LateBoundCall(ExcelApp, CallKind::Method, "Workbooks", {}, true);
        const bool exists = FileExists(name);
        Workbook =
            exists ? LateBoundCall(books, CallKind::Method, "Open", {Arg::Str(Utf8(name))}, true)
                   : LateBoundCall(books, CallKind::Method, "Add", {Arg::I2(kXlWorksheet)}, true);
        Sheet = LateBoundCall(Workbook, CallKind::PropertyGet, "WorkSheets", {Arg::I4(1)}, true);
        if (!exists) {
            WriteHeader();
            LateBoundCall(Workbook, CallKind::Method, "SaveAs", {Arg::Str(Utf8(name))}, false);
        }
    } catch (const std::exception &) {
        if (ArchiveOpen) {
            try {
                LateBoundCall(ExcelApp, CallKind::Method, "Quit", {}, false);
            } catch (const std::exception &) {
                // The application is left to itself; the run goes on without the archive.
            }
        }
        // Released in every case, so a server created before the failure does not live on.
        ReleaseHolders();
        ArchiveOpen = false;
        SetCaption(CaptionExcelError);
    }
}

void SaveExcel()
{
    if (!ArchiveOpen || ArchiveFailed)
        return;
    try {
        // Select A1 so the window of a visible application scrolls along with the rows.
        {
            const AutoVariant a1 =
                LateBoundCall(Sheet, CallKind::PropertyGet, "Range", {Arg::Str("A1")}, true);
            LateBoundCall(a1, CallKind::Method, "Select", {}, false);
        }
        if (ProcessEventsFailed())
            return;

        int32_t counter = 0;
        {
            const AutoVariant b2 = CellAt(2, 2);
            if (!ParseIntText(VariantToText(b2), counter) || counter < kHeaderRow)
                counter = kHeaderRow;
        }
        if (counter >= LastSheetRow) { // above 65500: the next row would not fit
            Sheet.Clear();
            const AutoVariant sheets =
                LateBoundCall(Workbook, CallKind::Method, "WorkSheets", {}, true);
            Sheet = LateBoundCall(
                sheets, CallKind::Method, "Add",
                {Arg::Omitted(), Arg::Omitted(), Arg::I4(1), Arg::I2(kXlWorksheet)}, true);
            WriteHeader();
            counter = kHeaderRow;
        }
        // The row is fixed before the counter goes out by reference.
        const int32_t row = counter + 1;
        counter = row;
        PutCell(2, 2, Arg::I4Ref(counter));

        {
            const AutoVariant below = OneCellRange(row + 2, 1);
            LateBoundCall(below, CallKind::Method, "Select", {}, false);
        }
        if (ProcessEventsFailed())
            return;
        PutCell(row, 1, Arg::Str(Utf8(TimeOfDayText())));

        const int m = ArchivedPoints();
        for (int k = 1; k <= m; ++k) {
            const int32_t col = k + 1;
            if (ProcessEventsFailed())
                return;
            const QString reading = g_host.readingText ? g_host.readingText(k) : QString();
            double number = 0;
            const bool isNumber = ParseRealText(reading, number);
            // A number is written as such; any other text goes into a hidden comment of an
            // emptied cell. Either way an earlier comment of the cell goes first.
            PutCell(row, col, isNumber ? Arg::DoubleRef(number) : Arg::Str(""));
            LateBoundCall(OneCellRange(row, col), CallKind::Method, "ClearComments", {}, false);
            if (!isNumber) {
                LateBoundCall(OneCellRange(row, col), CallKind::Method, "AddComment",
                              {Arg::Str(Utf8(reading))}, false);
                const AutoVariant comment =
                    LateBoundCall(OneCellRange(row, col), CallKind::Method, "Comment", {}, true);
                LateBoundCall(comment, CallKind::PropertyPut, "Visible", {Arg::Bool(false)}, false);
            }
        }

        const double now = NowMonotonicDays();
        if (now > LastSaveTime + SaveIntervalDays) {
            LateBoundCall(Workbook, CallKind::Method, "Save", {}, false);
            LastSaveTime = now;
        }
    } catch (const std::exception &) {
        Fail();
    }
}

void CloseExcel()
{
    if (!ArchiveOpen || ArchiveFailed)
        return;
    try {
        LateBoundCall(Workbook, CallKind::Method, "Save", {}, false);
        SetCaption(CaptionIdle);
        LateBoundCall(Workbook, CallKind::Method, "Close", {Arg::Bool(false)}, false);
        LateBoundCall(ExcelApp, CallKind::Method, "Quit", {}, false);
        ArchiveOpen = false;
    } catch (const std::exception &) {
        Fail();
    }
    ReleaseHolders();
}

void ExcelVisibleClick()
{
    if (!ArchiveOpen || ArchiveFailed)
        return;
    try {
        PutVisible();
    } catch (const std::exception &) {
        Fail();
    }
}

void ReleaseArchive()
{
    ReleaseHolders();
}

void ResetArchiveState()
{
    ReleaseHolders();
    ArchiveOpen = false;
    ArchiveFailed = false;
    LastSaveTime = 0;
}
