#pragma once
// The in-process workbook automation server, registered under the ProgID "Excel.Application".
//
// It keeps workbooks in memory (workbook.h), saves them as .xlsx (xlsxwrite.h), opens
// existing .xlsx files (xlsxread.h) and shows a live viewer window (viewer.h) while visible.
// It offers exactly the members the workbook archive calls, with the behaviour the archive
// relies on:
//
//   Application  Visible (put), Workbooks (get/method), Quit (method)
//   Workbooks    Open(file name), Add(template: -4167 or omitted -> one worksheet)
//   Workbook     WorkSheets(index) (get), WorkSheets (method, no arguments -> collection),
//                SaveAs(file name), Save, Close([save changes])
//   Worksheets   Add([before], [after], [count], [type: -4167]); with both positions omitted
//                the new sheet goes in front of the active sheet and becomes active
//   Worksheet    Cells(row, column) (get -> range; put: string, integer, double or boolean),
//                Range("A1" or "A1:B2") and Range(range, range) (get -> range)
//   Range        Select (fails when its sheet is not the active one), ClearComments,
//                AddComment([text]) (hidden), Comment (the comment or an empty object),
//                its default value (a one-cell range's value; empty cells are empty)
//   Comment      Visible (put)
//
// Any other member name gives DISP_E_UNKNOWNNAME. Server errors (a file that cannot be read
// or written, a selection on a sheet that is not active, calls after Quit or on a closed
// workbook, bad cell positions) are reported as DISP_E_EXCEPTION with a description.
// Assigning "" to a cell empties it; strings are stored as texts (never converted), numbers
// must be finite. Each CoCreateInstance starts a new application with its own workbooks.

/// ProgID under which RegisterExcelServer registers the server.
inline constexpr char16_t kExcelProgId[] = u"Excel.Application";

/// Registers (or re-registers) the workbook server under kExcelProgId.
void RegisterExcelServer();
