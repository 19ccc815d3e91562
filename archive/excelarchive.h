// The workbook archive: appends every completed polling pass to a spreadsheet workbook, one
// worksheet row per pass, through late-bound calls on the spreadsheet application's
// automation server ("Excel.Application").
//
// The archive does not know the main window. The window fills in an ArchiveHost with what the
// archive reads from it (the readings grid, the archive check boxes, the file name, the
// caption) and what it writes (the caption), and calls the operations below from its
// handlers and from the measurement run. Failures are shown only in the caption
// (" Ошибка в Excel") and never escape these operations.
#pragma once

#include "automation.h"

#include <QString>

#include <functional>
#include <string>

struct ArchiveHost {
    // Text of the readings grid SG for point k (1-based): column 1, row k.
    std::function<QString(int point)> readingText;
    // State of the check box EnExcel ("Сохранение данных в Excel").
    std::function<bool()> enExcel;
    // Text of the edit FileName.
    std::function<QString()> fileName;
    // State of the check box ExcelVisible ("Показывать Excel"); for ExcelVisibleClick its new
    // state.
    std::function<bool()> excelVisible;
    // Sets the main window's caption.
    std::function<void(const QString &)> setCaption;
    // Processes pending window messages once.
    std::function<void()> processEvents;

    // Optional; empty members take the defaults below.
    // Monotonic clock in days (default: a steady clock); used for the save interval, so a
    // wall-clock jump cannot stretch or cut it.
    std::function<double()> monotonicDays;
    // Current time of day as text in the long time format without time zone (default: the
    // local wall time in the system locale's long time format, e.g. "14:05:07").
    std::function<QString()> timeOfDayText;
    // ProgID of the spreadsheet application (tests register a recording server under another).
    std::string progId = "Excel.Application";
};

// Installs the host (the main window does this once, in its constructor).
void SetArchiveHost(ArchiveHost host);

// Archive state: process-wide, false/empty at program start.
extern bool ArchiveOpen;     // the server object exists and the archive has not been closed
extern bool ArchiveFailed;   // latched by a failure in SaveExcel, CloseExcel, ExcelVisibleClick
extern double LastSaveTime;  // monotonic days of the last explicit save, or of the opening
extern AutoVariant ExcelApp; // the spreadsheet application
extern AutoVariant Workbook; // the workbook being written
extern AutoVariant Sheet;    // the worksheet being written

// Caption texts the archive sets.
inline const QString CaptionIdle = QStringLiteral("  PTK71");
inline const QString CaptionExcel = QStringLiteral("  PTK71 (Excel)");
inline const QString CaptionExcelError = QStringLiteral(" Ошибка в Excel");

constexpr int MaxArchivedPoints = 253;       // m = min(NumPoints, 253)
constexpr int LastSheetRow = 65501;          // rows 5 .. 65501 per worksheet
constexpr double SaveIntervalDays = 0.00345; // 298.08 s between periodic saves

// Opens (FileName exists) or creates the workbook when EnExcel is ticked and no archive is open.
// Called by the run once before its first pass.
void OpenExcel();
// Writes one data row for the pass just completed (the texts in the readings grid).
void SaveExcel();
// Saves and closes the workbook and ends the application; releases the three references.
void CloseExcel();
// Shows or hides the application's window while the archive is open (ExcelVisible click).
void ExcelVisibleClick();
// Program end: releases Sheet, Workbook and ExcelApp in any state (before AutomationShutdown).
void ReleaseArchive();

// Tests only: releases the references and clears ArchiveOpen, ArchiveFailed and LastSaveTime.
void ResetArchiveState();

// The real-number text rule: leading blanks, optional sign, digits with optional "." and
// fraction, optional exponent, nothing after; "." whatever the locale.
bool ParseRealText(const QString &text, double &value);
