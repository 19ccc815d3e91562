#include "textgrid.h"

#include <QAbstractButton>
#include <QFocusEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionHeader>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolTip>

// Edits cells in a frameless line edit that hands every keystroke to the grid.
class TTextGridDelegate : public QStyledItemDelegate
{
  public:
    explicit TTextGridDelegate(TTextGrid *grid) : QStyledItemDelegate(grid), grid_(grid) {}

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &,
                          const QModelIndex &index) const override
    {
        auto *edit = new QLineEdit(parent);
        edit->setFrame(false);
        const int col = index.column() + 1;
        const int row = index.row() + 1;
        TTextGrid *grid = grid_;
        QObject::connect(edit, &QLineEdit::textEdited, grid, [grid, col, row](const QString &t) {
            grid->EditorTextEdited(col, row, t);
        });
        grid_->EditorCreated(edit);
        return edit;
    }

    // Called whenever the cell's text changes while the editor is open; only a real
    // difference is copied, so the cursor stays where the operator is typing.
    void setEditorData(QWidget *editor, const QModelIndex &index) const override
    {
        auto *edit = static_cast<QLineEdit *>(editor);
        const QString text = index.data(Qt::EditRole).toString();
        if (edit->text() != text)
            edit->setText(text);
    }

    void setModelData(QWidget *editor, QAbstractItemModel *model,
                      const QModelIndex &index) const override
    {
        const QString text = static_cast<QLineEdit *>(editor)->text();
        if (index.data(Qt::EditRole).toString() != text)
            model->setData(index, text, Qt::EditRole);
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        if (grid_->DrawFocusSelected()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem opt(option);
        opt.state &= ~QStyle::State_Selected;
        QStyledItemDelegate::paint(painter, opt, index);
    }

  private:
    TTextGrid *grid_;
};

TTextGrid::TTextGrid(QWidget *parent) : QTableWidget(parent)
{
    setItemDelegate(new TTextGridDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setCornerButtonEnabled(false);
    setWordWrap(false);
    // A text wider than its cell is cut at the cell's edge, not shortened with an ellipsis;
    // the whole text shows as a tool tip. The grid scrolls by whole rows and columns.
    setTextElideMode(Qt::ElideNone);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerItem);
    for (QHeaderView *h : {horizontalHeader(), verticalHeader()}) {
        h->setSectionResizeMode(QHeaderView::Fixed);
        h->setSectionsClickable(false);
        h->setHighlightSections(false);
        h->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        h->setMinimumSectionSize(1);
    }
    horizontalHeader()->setStretchLastSection(false);
    cornerButton_ = findChild<QAbstractButton *>(QString(), Qt::FindDirectChildrenOnly);
    if (cornerButton_ != nullptr)
        cornerButton_->installEventFilter(this);
    SetDefaultColWidth(64);
    SetDefaultRowHeight(24);
    SetColCount(5);
    SetRowCount(5);
}

QString TTextGrid::Cells(int col, int row) const
{
    if (col < 0 || row < 0 || col >= ColCount() || row >= RowCount())
        return {};
    QTableWidgetItem *it = nullptr;
    if (col == 0 && row == 0)
        return corner_;
    if (row == 0)
        it = horizontalHeaderItem(col - 1);
    else if (col == 0)
        it = verticalHeaderItem(row - 1);
    else
        it = item(row - 1, col - 1);
    return it != nullptr ? it->text() : QString();
}

void TTextGrid::SetCells(int col, int row, const QString &text)
{
    if (col < 0 || row < 0 || col >= ColCount() || row >= RowCount())
        return;
    if (col == 0 && row == 0) {
        corner_ = text;
        if (cornerButton_ != nullptr)
            cornerButton_->update();
        return;
    }
    if (row == 0 || col == 0) {
        QTableWidgetItem *it =
            row == 0 ? horizontalHeaderItem(col - 1) : verticalHeaderItem(row - 1);
        if (it == nullptr) {
            it = new QTableWidgetItem;
            if (row == 0)
                setHorizontalHeaderItem(col - 1, it);
            else
                setVerticalHeaderItem(row - 1, it);
        }
        it->setText(text);
        return;
    }
    QTableWidgetItem *it = item(row - 1, col - 1);
    if (it == nullptr) {
        it = new QTableWidgetItem(text);
        setItem(row - 1, col - 1, it);
    } else if (it->text() != text) {
        it->setText(text);
    }
}

// Changing the row or column count may move the current cell (when its row goes), which
// would open the always-shown editor there and hand it the keyboard. Rebuilding the grid never
// does either: editing is switched off meanwhile, and the editor comes back only when the grid
// has the keyboard anyway.
class TTextGrid::RebuildScope
{
  public:
    explicit RebuildScope(TTextGrid *grid) : grid_(grid), triggers_(grid->editTriggers())
    {
        grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    }
    ~RebuildScope()
    {
        grid_->setEditTriggers(triggers_);
        if (grid_->alwaysShowEditor_ && grid_->hasFocus())
            grid_->OpenEditor();
    }
    RebuildScope(const RebuildScope &) = delete;
    RebuildScope &operator=(const RebuildScope &) = delete;

  private:
    TTextGrid *grid_;
    QAbstractItemView::EditTriggers triggers_;
};

void TTextGrid::SetRowCount(int rows)
{
    RebuildScope scope(this);
    const int old = rowCount();
    const int body = std::max(rows - 1, 0);
    setRowCount(body);
    // Fixed cells without an item would show the row number instead of staying blank.
    for (int r = old; r < body; ++r)
        setVerticalHeaderItem(r, new QTableWidgetItem);
    if (body > 0 && columnCount() > 0 && !currentIndex().isValid())
        setCurrentCell(0, 0);
}

void TTextGrid::SetColCount(int cols)
{
    RebuildScope scope(this);
    const int old = columnCount();
    const int body = std::max(cols - 1, 0);
    setColumnCount(body);
    for (int c = old; c < body; ++c)
        setHorizontalHeaderItem(c, new QTableWidgetItem);
    if (rowCount() > 0 && body > 0 && !currentIndex().isValid())
        setCurrentCell(0, 0);
}

void TTextGrid::SetDefaultColWidth(int width)
{
    horizontalHeader()->setDefaultSectionSize(width);
    for (int c = 0; c < columnCount(); ++c)
        horizontalHeader()->resizeSection(c, width);
    verticalHeader()->setFixedWidth(width);
}

void TTextGrid::SetDefaultRowHeight(int height)
{
    verticalHeader()->setDefaultSectionSize(height);
    for (int r = 0; r < rowCount(); ++r)
        verticalHeader()->resizeSection(r, height);
    horizontalHeader()->setFixedHeight(height);
}

void TTextGrid::SetColWidth(int col, int width)
{
    if (col == 0)
        verticalHeader()->setFixedWidth(width);
    else if (col > 0 && col < ColCount())
        horizontalHeader()->resizeSection(col - 1, width);
}

void TTextGrid::SetAlwaysShowEditor(bool on)
{
    alwaysShowEditor_ = on;
    setEditTriggers(on ? QAbstractItemView::AllEditTriggers : QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(true);
    if (on && hasFocus())
        OpenEditor();
}

void TTextGrid::SetRowMoving(bool on)
{
    verticalHeader()->setSectionsMovable(on);
}

void TTextGrid::SetDrawFocusSelected(bool on)
{
    drawFocusSelected_ = on;
    viewport()->update();
}

void TTextGrid::ResetRowOrder()
{
    QHeaderView *h = verticalHeader();
    if (!h->sectionsMoved())
        return;
    for (int logical = 0; logical < rowCount(); ++logical)
        if (h->visualIndex(logical) != logical)
            h->moveSection(h->visualIndex(logical), logical);
}

int TTextGrid::DisplayPosition(int row) const
{
    if (row < 1 || row >= RowCount())
        return -1;
    return verticalHeader()->visualIndex(row - 1) + 1;
}

void TTextGrid::MoveRow(int row, int position)
{
    if (row < 1 || row >= RowCount() || position < 1 || position >= RowCount())
        return;
    verticalHeader()->moveSection(verticalHeader()->visualIndex(row - 1), position - 1);
}

bool TTextGrid::eventFilter(QObject *watched, QEvent *event)
{
    // The corner is the fixed cell (0, 0): drawn as a header section with its text.
    if (watched == cornerButton_ && event->type() == QEvent::Paint) {
        QPainter painter(cornerButton_);
        QStyleOptionHeader opt;
        opt.initFrom(cornerButton_);
        // The corner button is disabled (it must not select the grid) but its text is
        // drawn like every other fixed cell.
        opt.state |= QStyle::State_Enabled;
        opt.palette = palette();
        opt.rect = cornerButton_->rect();
        opt.position = QStyleOptionHeader::OnlyOneSection;
        opt.text = corner_;
        opt.textAlignment = Qt::AlignLeft | Qt::AlignVCenter;
        opt.state |= QStyle::State_Raised;
        painter.setFont(font());
        style()->drawControl(QStyle::CE_Header, &opt, &painter, cornerButton_);
        return true;
    }
    return QTableWidget::eventFilter(watched, event);
}

void TTextGrid::scrollContentsBy(int dx, int dy)
{
    QTableWidget::scrollContentsBy(dx, dy);
    KeepTopRowWhole();
}

void TTextGrid::updateGeometries()
{
    QTableWidget::updateGeometries();
    KeepTopRowWhole();
}

// At the end of its range the view would align the last row with the bottom edge and cut the
// top row; the top row stays whole instead (the last row is whole either way).
void TTextGrid::KeepTopRowWhole()
{
    const QScrollBar *bar = verticalScrollBar();
    if (verticalScrollMode() != QAbstractItemView::ScrollPerItem || bar->maximum() == 0 ||
        bar->value() != bar->maximum())
        return;
    QHeaderView *rows = verticalHeader();
    const int offset = rows->offset();
    rows->setOffsetToSectionPosition(bar->value());
    if (rows->offset() != offset)
        viewport()->update();
}

bool TTextGrid::viewportEvent(QEvent *event)
{
    if (event->type() != QEvent::ToolTip)
        return QTableWidget::viewportEvent(event);
    auto *help = static_cast<QHelpEvent *>(event);
    const QModelIndex index = indexAt(help->pos());
    const QString text = index.isValid() ? index.data(Qt::DisplayRole).toString() : QString();
    if (!text.isEmpty() && !TextFits(index, text)) {
        QToolTip::showText(help->globalPos(), text, viewport(), visualRect(index));
    } else {
        QToolTip::hideText();
        event->ignore();
    }
    return true;
}

bool TTextGrid::TextFits(const QModelIndex &index, const QString &text) const
{
    QFont f = font();
    if (const QVariant itemFont = index.data(Qt::FontRole); itemFont.isValid())
        f = itemFont.value<QFont>();
    // The text area of a cell: the cell less the style's text margin on either side.
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    return QFontMetrics(f).horizontalAdvance(text) <= visualRect(index).width() - 2 * margin;
}

void TTextGrid::changeEvent(QEvent *event)
{
    QTableWidget::changeEvent(event);
    // Fixed cells use the grid's font, as the body cells do (a platform theme may
    // otherwise give headers a font of their own).
    if (event->type() == QEvent::FontChange) {
        horizontalHeader()->setFont(font());
        verticalHeader()->setFont(font());
    }
}

void TTextGrid::focusInEvent(QFocusEvent *event)
{
    QTableWidget::focusInEvent(event);
    if (alwaysShowEditor_)
        OpenEditor();
}

void TTextGrid::closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint)
{
    QTableWidget::closeEditor(editor, hint);
    // An editor closed without moving on (Escape, Enter) is opened again on the same cell;
    // moving with Tab opens the next one by itself.
    if (alwaysShowEditor_ &&
        (hint == QAbstractItemDelegate::NoHint || hint == QAbstractItemDelegate::RevertModelCache ||
         hint == QAbstractItemDelegate::SubmitModelCache))
        QTimer::singleShot(0, this, [this] {
            if (hasFocus())
                OpenEditor();
        });
}

void TTextGrid::EditorCreated(QLineEdit *editor)
{
    editor_ = editor;
}

void TTextGrid::EditorTextEdited(int col, int row, const QString &text)
{
    SetCells(col, row, text);
    emit cellTextSet(col, row);
}

void TTextGrid::OpenEditor()
{
    QModelIndex index = currentIndex();
    if (!index.isValid() && rowCount() > 0 && columnCount() > 0) {
        setCurrentCell(0, 0);
        index = currentIndex();
    }
    if (index.isValid() && state() != QAbstractItemView::EditingState) {
        if (item(index.row(), index.column()) == nullptr)
            setItem(index.row(), index.column(), new QTableWidgetItem);
        edit(index);
    }
}
