#pragma once
// The live viewer window of a workbook: one tab per sheet (the active sheet selected), cell
// values in a table, comments as tool tips (cells with a comment are tinted), the workbook's
// file name in the title.
//
// The viewer never reads the whole workbook and never waits for the file. What the program
// wrote since the last save comes from memory and shows at once; rows of the file are loaded
// when they come into view, by a thread of the viewer's own that streams the sheet from the
// file and keeps a bounded window of rows. Changes are collected and applied after a short delay
// in one go, so a pass that writes a row costs one small table update. A table opens at its last
// row and stays there as rows are loaded and written, until the user scrolls up.
//
// Closing the window by hand hides it and calls onUserClose.

#include "document.h"

#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QTabWidget;
class QTableView;

namespace workbook
{

class SheetTableModel;
class RowLoader;

class WorkbookViewer : public QWidget, private DocumentListener
{
    Q_OBJECT
  public:
    /// Delay between a change and the refresh that shows it.
    static constexpr int RefreshDelayMs = 50;
    /// Rows of the file kept in memory at most (per sheet).
    static constexpr int MaxCachedRows = 2000;

    explicit WorkbookViewer(QWidget *parent = nullptr);
    ~WorkbookViewer() override;

    /// Shows `doc` (nullptr: nothing). The viewer listens to the document until another one is
    /// set; the document must outlive that.
    void SetDocument(Document *doc, const QString &title);
    Document *CurrentDocument() const { return doc_; }
    void SetTitle(const QString &title);

    /// Applies pending changes now (tests; the timer does it otherwise).
    void RefreshNow();
    /// Waits until the rows asked for so far are loaded and shown (tests).
    void WaitForRows();

    QTabWidget *Tabs() const { return tabs_; }
    QTableView *TableAt(int sheetIndex) const;
    SheetTableModel *ModelAt(int sheetIndex) const;

    std::function<void()> onUserClose;

  protected:
    void closeEvent(QCloseEvent *event) override;

  private:
    void CellChanged(std::uint32_t sheetId, int row, int column) override;
    void StructureChanged() override;
    void BaseChanged() override;
    void Rebuild();
    void RequestRows(SheetTableModel *model);
    void RowsLoaded(quint64 generation);

    Document *doc_ = nullptr;
    QTabWidget *tabs_ = nullptr;
    std::vector<std::unique_ptr<SheetTableModel>> models_;
    bool structureDirty_ = false;
    std::vector<std::pair<std::uint32_t, int>> dirty_; ///< (sheet, row)
    QTimer refreshTimer_;
    std::unique_ptr<RowLoader> loader_;
    friend class SheetTableModel;
};

} // namespace workbook
