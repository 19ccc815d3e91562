#pragma once
// A grid of text cells with one fixed header row (row 0) and one fixed column (column 0).
//
// Cells are addressed (column, row) counting the fixed row and column, as the setup
// window and the main window's readings grid expect. The fixed row is the horizontal
// header, the fixed column the vertical header (they do not scroll and are not editable);
// cell (0, 0) is the corner. RowCount()/ColCount() include the fixed row/column.
//
// A text wider than its cell is clipped at the cell's edge (never shortened with "…") and
// shows whole as the cell's tool tip. The grid scrolls by whole rows.
//
// Rows can be dragged to a new position when SetRowMoving(true); that changes only the
// display order, the (column, row) addresses keep referring to the same rows.
// ResetRowOrder() puts the rows back in address order.
//
// With SetAlwaysShowEditor(true) the current cell is always edited in place and Tab moves
// between cells; every keystroke in the editor first stores the editor's text in the
// cell and then emits cellTextSet(column, row). Setting a cell's text while its editor is
// open updates the editor. Changing the row or column count never moves the keyboard focus
// and never opens an editor (also when the current cell's row goes away).

#include <QLineEdit>
#include <QPointer>
#include <QString>
#include <QTableWidget>

class TTextGrid : public QTableWidget
{
    Q_OBJECT
  public:
    explicit TTextGrid(QWidget *parent = nullptr);

    QString Cells(int col, int row) const;
    void SetCells(int col, int row, const QString &text);

    int RowCount() const { return rowCount() + 1; }
    void SetRowCount(int rows);
    int ColCount() const { return columnCount() + 1; }
    void SetColCount(int cols);

    void SetDefaultColWidth(int width);
    void SetDefaultRowHeight(int height);
    void SetColWidth(int col, int width);

    void SetAlwaysShowEditor(bool on);
    void SetRowMoving(bool on);
    /// Draws the current cell highlighted (off by default: only a focus frame).
    void SetDrawFocusSelected(bool on);
    bool DrawFocusSelected() const { return drawFocusSelected_; }
    void ResetRowOrder();

    /// Grid row (1..RowCount()-1) at which the row addressed `row` is shown.
    int DisplayPosition(int row) const;
    /// Shows the row addressed `row` at grid row `position`, as a drag does.
    void MoveRow(int row, int position);

    /// The open in-place editor, or nullptr.
    QLineEdit *Editor() const { return editor_; }

  signals:
    void cellTextSet(int col, int row);

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    /// Shows the whole text of a cell whose text is wider than the cell as a tool tip.
    bool viewportEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void updateGeometries() override;
    void focusInEvent(QFocusEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) override;

  private:
    friend class TTextGridDelegate;
    class RebuildScope;
    void EditorCreated(QLineEdit *editor);
    void EditorTextEdited(int col, int row, const QString &text);
    void OpenEditor();
    bool TextFits(const QModelIndex &index, const QString &text) const;
    void KeepTopRowWhole();

    QString corner_;
    bool alwaysShowEditor_ = false;
    bool drawFocusSelected_ = false;
    class QAbstractButton *cornerButton_ = nullptr;
    QPointer<QLineEdit> editor_;
};
