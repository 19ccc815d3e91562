#include "viewer.h"

#include <QAbstractTableModel>
#include <QBrush>
#include <QColor>
#include <QHeaderView>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace workbook
{

// Table model over one worksheet. The extent shown only grows between rebuilds, so a new row
// is one row insertion and a changed cell one dataChanged signal.
class SheetTableModel : public QAbstractTableModel
{
  public:
    static constexpr int MinRows = 20;
    static constexpr int MinColumns = 8;

    explicit SheetTableModel(const Worksheet *sheet)
        : sheet_(sheet), rows_(std::max(sheet->MaxRow(), MinRows)),
          columns_(std::max(sheet->MaxColumn(), MinColumns))
    {
    }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : rows_;
    }
    int columnCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : columns_;
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid())
            return QVariant();
        const Cell *cell = sheet_->CellAt(index.row() + 1, index.column() + 1);
        if (cell == nullptr)
            return QVariant();
        switch (role) {
        case Qt::DisplayRole:
            return cell->ValueText();
        case Qt::ToolTipRole:
            return cell->hasComment ? QVariant(cell->comment) : QVariant();
        case Qt::BackgroundRole:
            return cell->hasComment ? QVariant(QBrush(QColor(0xFF, 0xFF, 0xE1))) : QVariant();
        case Qt::TextAlignmentRole:
            return cell->kind == CellKind::Number ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter))
                                                  : QVariant(int(Qt::AlignLeft | Qt::AlignVCenter));
        default:
            return QVariant();
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (role != Qt::DisplayRole)
            return QVariant();
        return orientation == Qt::Horizontal ? QVariant(ColumnName(section + 1))
                                             : QVariant(section + 1);
    }

    // Grows the extent to cover the given cells and reports them changed.
    void Update(int minRow, int maxRow, int minColumn, int maxColumn)
    {
        if (maxRow > rows_) {
            beginInsertRows(QModelIndex(), rows_, maxRow - 1);
            rows_ = maxRow;
            endInsertRows();
        }
        if (maxColumn > columns_) {
            beginInsertColumns(QModelIndex(), columns_, maxColumn - 1);
            columns_ = maxColumn;
            endInsertColumns();
        }
        emit dataChanged(index(minRow - 1, minColumn - 1), index(maxRow - 1, maxColumn - 1));
    }

  private:
    const Worksheet *sheet_;
    int rows_;
    int columns_;
};

namespace
{

// Deletes every tab page (the table views).
void RemovePages(QTabWidget *tabs)
{
    while (tabs->count() > 0) {
        QWidget *page = tabs->widget(0);
        tabs->removeTab(0);
        delete page;
    }
}

} // namespace

WorkbookViewer::WorkbookViewer(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("WorkbookViewer"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    tabs_ = new QTabWidget(this);
    tabs_->setTabPosition(QTabWidget::South);
    layout->addWidget(tabs_);
    resize(800, 500);
    refreshTimer_.setSingleShot(true);
    refreshTimer_.setInterval(RefreshDelayMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &WorkbookViewer::RefreshNow);
    UpdateTitle();
}

WorkbookViewer::~WorkbookViewer()
{
    if (book_ != nullptr && book_->Listener() == this)
        book_->SetListener(nullptr);
    RemovePages(tabs_); // the views go before the models they show
}

void WorkbookViewer::SetWorkbook(Workbook *book)
{
    if (book_ != nullptr && book_->Listener() == this)
        book_->SetListener(nullptr);
    book_ = book;
    if (book_ != nullptr)
        book_->SetListener(this);
    Rebuild();
}

QTableView *WorkbookViewer::TableAt(int sheetIndex) const
{
    return qobject_cast<QTableView *>(tabs_->widget(sheetIndex));
}

void WorkbookViewer::CellChanged(int sheetIndex, int row, int column)
{
    if (structureDirty_)
        return; // a rebuild is coming anyway
    auto [it, fresh] = dirty_.try_emplace(sheetIndex, Dirty{row, row, column, column});
    if (!fresh) {
        Dirty &d = it->second;
        d.minRow = std::min(d.minRow, row);
        d.maxRow = std::max(d.maxRow, row);
        d.minColumn = std::min(d.minColumn, column);
        d.maxColumn = std::max(d.maxColumn, column);
    }
    if (!refreshTimer_.isActive())
        refreshTimer_.start();
}

void WorkbookViewer::StructureChanged()
{
    structureDirty_ = true;
    dirty_.clear();
    if (!refreshTimer_.isActive())
        refreshTimer_.start();
}

void WorkbookViewer::RefreshNow()
{
    refreshTimer_.stop();
    if (structureDirty_) {
        Rebuild();
        return;
    }
    for (const auto &[index, d] : dirty_) {
        if (index >= 0 && index < static_cast<int>(models_.size()))
            models_[index]->Update(d.minRow, d.maxRow, d.minColumn, d.maxColumn);
    }
    dirty_.clear();
}

void WorkbookViewer::Rebuild()
{
    structureDirty_ = false;
    dirty_.clear();
    refreshTimer_.stop();
    RemovePages(tabs_);
    models_.clear();
    if (book_ != nullptr) {
        for (int i = 0; i < book_->SheetCount(); ++i) {
            const Worksheet *sheet = book_->Sheet(i);
            models_.push_back(std::make_unique<SheetTableModel>(sheet));
            auto *view = new QTableView;
            view->setModel(models_.back().get());
            view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
            view->horizontalHeader()->setDefaultSectionSize(90);
            tabs_->addTab(view, sheet->Name());
        }
        tabs_->setCurrentIndex(book_->ActiveIndex());
    }
    UpdateTitle();
}

void WorkbookViewer::UpdateTitle()
{
    setWindowTitle(book_ != nullptr ? book_->Name() : QStringLiteral("Workbook"));
}

} // namespace workbook
