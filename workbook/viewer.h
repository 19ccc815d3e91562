#pragma once
// Live viewer window of a workbook model: one tab per worksheet (in sheet order, the active
// sheet selected), cell values in a table, comments as tool tips (cells with a comment are
// tinted), and the workbook's file name in the window title.
//
// The viewer listens to the workbook (WorkbookListener). Changes are collected and applied
// after a short delay in one go: a pass that writes a row costs one small table update, not
// one per cell, and the rows already shown are not touched. Structural changes (a sheet
// added, renamed, activated) rebuild the tabs.

#include "workbook.h"

#include <QTimer>
#include <QWidget>

#include <map>
#include <memory>
#include <vector>

class QTabWidget;
class QTableView;

namespace workbook
{

class SheetTableModel;

class WorkbookViewer : public QWidget, private WorkbookListener
{
    Q_OBJECT
  public:
    /// Delay between a change and the refresh that shows it.
    static constexpr int RefreshDelayMs = 50;

    explicit WorkbookViewer(QWidget *parent = nullptr);
    ~WorkbookViewer() override;

    /// Shows `book` (nullptr: nothing). The viewer attaches itself as the book's listener
    /// and detaches from the previous one; the book must outlive the attachment or be
    /// detached with SetWorkbook(nullptr) first.
    void SetWorkbook(Workbook *book);
    Workbook *CurrentWorkbook() const { return book_; }

    /// Applies pending changes now (tests; the timer does it otherwise).
    void RefreshNow();

    QTabWidget *Tabs() const { return tabs_; }
    QTableView *TableAt(int sheetIndex) const;

    /// Sets the title from the workbook's name (call after the book was saved under a new
    /// name).
    void UpdateTitle();

  private:
    void CellChanged(int sheetIndex, int row, int column) override;
    void StructureChanged() override;
    void Rebuild();

    struct Dirty {
        int minRow, maxRow, minColumn, maxColumn;
    };

    Workbook *book_ = nullptr;
    QTabWidget *tabs_ = nullptr;
    std::vector<std::unique_ptr<SheetTableModel>> models_;
    std::map<int, Dirty> dirty_;
    bool structureDirty_ = false;
    QTimer refreshTimer_;
};

} // namespace workbook
