#pragma once
// The in-process workbook automation server, registered under the ProgID "Excel.Application".
//
// It offers exactly the members the workbook archive calls, with the behaviour the archive
// relies on:
//
//   Application  Visible (put), Workbooks (get/method), Quit (method)
//   Workbooks    Open(file name), Add(template: -4167 or omitted -> one worksheet)
//   Workbook     WorkSheets(index or name) (get), WorkSheets (method, no arguments ->
//                collection), SaveAs(file name), Save, Close([save changes], [file name])
//   Worksheets   Add([before], [after], [count], [type: -4167]); with both positions omitted
//                the new sheet goes in front of the active sheet and becomes active
//   Worksheet    Cells(row, column) (get -> range; put: string, integer, double or boolean),
//                Range("A1" or "A1:B2") and Range(range, range) (get -> range)
//   Range        Select (fails when its sheet is not the active one), ClearComments,
//                AddComment([text]) (hidden), Comment (the comment or an empty object),
//                its default value (a one-cell range's value; empty cells are empty)
//   Comment      Visible (put)
//
// Worksheets are counted as a spreadsheet application counts them: chart sheets are not
// worksheets, and the active sheet is the one the workbook file says. Behind the calls stands a
// Document (document.h): opening and saving never hold the calling thread for long, every change
// is journaled, the workbook is locked while open, and a complete save runs in the background;
// its failure is reported by the next call on that workbook.
//
// Any other member name gives DISP_E_UNKNOWNNAME. Server errors (a file that cannot be read or
// written or is locked, a selection on a sheet that is not active, calls after Quit or on a
// closed workbook, bad cell positions) are reported as DISP_E_EXCEPTION with a description.
// Assigning "" to a cell empties it; strings are stored as texts (never converted), numbers
// must be finite. Each CoCreateInstance starts a new application with its own workbooks.

#include <functional>

/// ProgID under which RegisterExcelServer registers the server.
inline constexpr char16_t kExcelProgId[] = u"Excel.Application";

struct ExcelServerHooks {
    /// Called when the user closes the live viewer window (the application is then hidden).
    std::function<void()> viewerClosedByUser;
};

/// Registers (or re-registers) the workbook server under kExcelProgId, and connects the
/// server's waits to the application's event loop.
void RegisterExcelServer(ExcelServerHooks hooks = {});
