#include "viewer.h"

#include "sheetpatch.h"

#include <QAbstractTableModel>
#include <QBrush>
#include <QCloseEvent>
#include <QColor>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

namespace workbook
{

// ---------------------------------------------------------------------------------------------
// Loading rows of the file on a thread of the viewer's own

struct LoadedRow {
    std::vector<ReadCell> cells; ///< in column order
    std::vector<std::pair<int, std::string>> notes;
};

struct LoadRequest {
    quint64 generation = 0;
    int fd = -1; ///< owned by the request
    std::string sheetPart;
    std::string sharedStringsPart;
    std::uint32_t sheetId = 0;
    int firstRow = 1;
    int lastRow = 1;
};

struct LoadResult {
    quint64 generation = 0;
    std::uint32_t sheetId = 0;
    int firstRow = 0;
    int lastRow = 0;
    int lastRowOfSheet = 0; ///< from the sheet's dimension or the rows seen
    std::map<int, LoadedRow> rows;
    bool ok = false;
};

class RowLoader
{
  public:
    explicit RowLoader(std::function<void()> notify) : notify_(std::move(notify))
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~RowLoader()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            latest_ = 0;
        }
        cv_.notify_all();
        thread_.join();
        if (pending_ && pending_->fd >= 0)
            ::close(pending_->fd);
    }

    void Request(LoadRequest request)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_ && pending_->fd >= 0)
                ::close(pending_->fd);
            latest_ = request.generation;
            pending_ = std::move(request);
        }
        cv_.notify_all();
    }

    std::vector<LoadResult> Take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(results_, {});
    }

    bool Idle()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return !pending_ && !busy_;
    }

  private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || pending_.has_value(); });
            if (stop_)
                return;
            LoadRequest request = std::move(*pending_);
            pending_.reset();
            busy_ = true;
            lock.unlock();
            LoadResult result = Load(request);
            ::close(request.fd);
            lock.lock();
            busy_ = false;
            if (result.generation == latest_) {
                results_.push_back(std::move(result));
                lock.unlock();
                notify_();
                lock.lock();
            }
        }
    }

    LoadResult Load(const LoadRequest &request)
    {
        LoadResult result;
        result.generation = request.generation;
        result.sheetId = request.sheetId;
        result.firstRow = request.firstRow;
        result.lastRow = request.lastRow;
        ReadLimits limits;
        limits.cancelled = [this, g = request.generation] {
            std::lock_guard<std::mutex> lock(mutex_);
            return stop_ || latest_ != g;
        };
        std::string why;
        auto pkg = Package::Open(request.fd, &why, limits);
        if (!pkg)
            return result;
        const PackageEntry *sheet = pkg->Find(request.sheetPart);
        if (sheet == nullptr)
            return result;
        result.lastRowOfSheet = DimensionLastRow(*pkg, *sheet);
        SharedStrings strings(*pkg, request.sharedStringsPart.empty()
                                        ? nullptr
                                        : pkg->Find(request.sharedStringsPart));
        int seen = 0;
        const bool ok = ReadSheetRows(
            *pkg, *sheet, &strings, request.firstRow, request.lastRow,
            [&](int row, std::vector<ReadCell> &cells) {
                seen = std::max(seen, row);
                result.rows[row].cells = std::move(cells);
                return true;
            },
            &why);
        if (!ok)
            return result;
        result.lastRowOfSheet = std::max(result.lastRowOfSheet, seen);
        std::vector<Rel> rels;
        if (ReadRels(*pkg, request.sheetPart, rels, &why)) {
            for (const Rel &r : rels) {
                if (!RelTypeIs(r.type, "comments"))
                    continue;
                if (const PackageEntry *comments = pkg->Find(r.target)) {
                    ReadNotes(
                        *pkg, *comments, request.firstRow, request.lastRow,
                        [&](int row, int column, const std::string &text) {
                            result.rows[row].notes.emplace_back(column, text);
                            return true;
                        },
                        &why);
                }
                break;
            }
        }
        result.ok = true;
        return result;
    }

    std::function<void()> notify_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<LoadRequest> pending_;
    std::vector<LoadResult> results_;
    quint64 latest_ = 0;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// ---------------------------------------------------------------------------------------------
// The table model of one worksheet

class SheetTableModel : public QAbstractTableModel
{
  public:
    static constexpr int MinRows = 20;
    static constexpr int MinColumns = 8;

    SheetTableModel(WorkbookViewer *viewer, const SheetInfo &sheet)
        : viewer_(viewer), sheetId_(sheet.sheetId), inBase_(sheet.inBase), part_(sheet.part)
    {
        int rows = 0;
        int columns = 0;
        for (const ChangeSet *layer : viewer_->doc_->Layers()) {
            if (const SheetChanges *s = layer != nullptr ? layer->FindSheet(sheetId_) : nullptr) {
                rows = std::max(rows, s->MaxRow());
                columns = std::max(columns, s->MaxColumn());
            }
        }
        rows_ = std::max(rows, MinRows);
        columns_ = std::max(columns, MinColumns);
    }

    std::uint32_t SheetId() const { return sheetId_; }

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
        if (!index.isValid() || viewer_->doc_ == nullptr)
            return QVariant();
        const int row = index.row() + 1;
        const int column = index.column() + 1;
        std::optional<CellValue> value;
        std::optional<QString> note;
        bool noteKnown = false;
        for (const ChangeSet *layer : viewer_->doc_->Layers()) {
            const SheetChanges *s = layer != nullptr ? layer->FindSheet(sheetId_) : nullptr;
            const CellChange *c = s != nullptr ? s->Find(row, column) : nullptr;
            if (c == nullptr)
                continue;
            if (!value && c->value != ValueChange::Keep) {
                CellValue v;
                if (c->value == ValueChange::Number || c->value == ValueChange::Boolean) {
                    v.kind = c->value == ValueChange::Number ? CellValue::Kind::Number
                                                             : CellValue::Kind::Boolean;
                    v.number = c->number;
                } else if (c->value == ValueChange::Text) {
                    v.kind = CellValue::Kind::Text;
                    v.text = std::string(layer->strings.At(c->text));
                }
                value = std::move(v);
            }
            if (!noteKnown && c->note != NoteChange::Keep) {
                noteKnown = true;
                if (c->note == NoteChange::Set)
                    note = QString::fromStdString(std::string(layer->strings.At(c->noteText)));
            }
        }
        if ((!value || !noteKnown) && inBase_) {
            if (row >= cachedFrom_ && row <= cachedTo_) {
                auto it = cache_.find(row);
                if (it != cache_.end()) {
                    if (!value) {
                        const auto &cells = it->second.cells;
                        auto cell = std::lower_bound(
                            cells.begin(), cells.end(), column,
                            [](const ReadCell &c, int col) { return c.column < col; });
                        if (cell != cells.end() && cell->column == column)
                            value = cell->value;
                    }
                    if (!noteKnown) {
                        for (const auto &[c, text] : it->second.notes) {
                            if (c == column)
                                note = QString::fromStdString(text);
                        }
                    }
                }
            } else {
                const_cast<SheetTableModel *>(this)->Want(row);
            }
        }
        switch (role) {
        case Qt::DisplayRole:
            return value ? QString::fromStdString(value->ToText()) : QVariant();
        case Qt::ToolTipRole:
            return note ? QVariant(*note) : QVariant();
        case Qt::BackgroundRole:
            return note ? QVariant(QBrush(QColor(0xFF, 0xFF, 0xE1))) : QVariant();
        case Qt::TextAlignmentRole:
            return value && value->kind == CellValue::Kind::Number
                       ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter))
                       : QVariant(int(Qt::AlignLeft | Qt::AlignVCenter));
        default:
            return QVariant();
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (role != Qt::DisplayRole)
            return QVariant();
        return orientation == Qt::Horizontal
                   ? QVariant(QString::fromStdString(ColumnName(section + 1)))
                   : QVariant(section + 1);
    }

    // Grows the extent to cover rows up to `row` and columns up to `column`.
    void Grow(int row, int column)
    {
        if (row > rows_) {
            beginInsertRows(QModelIndex(), rows_, row - 1);
            rows_ = row;
            endInsertRows();
        }
        if (column > columns_) {
            beginInsertColumns(QModelIndex(), columns_, column - 1);
            columns_ = column;
            endInsertColumns();
        }
    }

    void RowsChanged(int first, int last)
    {
        first = std::max(first, 1);
        last = std::min(last, rows_);
        if (first <= last)
            emit dataChanged(index(first - 1, 0), index(last - 1, columns_ - 1));
    }

    void Want(int row)
    {
        wantedFrom_ = wantedFrom_ == 0 ? row : std::min(wantedFrom_, row);
        wantedTo_ = std::max(wantedTo_, row);
        if (!queued_) {
            queued_ = true;
            viewer_->RequestRows(this);
        }
    }
    void Dequeued() { queued_ = false; }

    bool HasWish() const { return wantedFrom_ > 0; }
    // Whether the rows wanted are in the window being loaded already: asking again would only
    // cancel and restart that load (every repaint asks for the rows it cannot show yet).
    bool WishInFlight() const
    {
        return loadingFrom_ > 0 && wantedFrom_ >= loadingFrom_ && wantedTo_ <= loadingTo_;
    }
    void DropWish() { wantedFrom_ = wantedTo_ = 0; }
    void Loading(int first, int last)
    {
        loadingFrom_ = first;
        loadingTo_ = last;
    }

    // The window of rows to load for what is wanted, within the cache's size.
    std::pair<int, int> TakeWish()
    {
        const int half = WorkbookViewer::MaxCachedRows / 2;
        const int middle = (wantedFrom_ + wantedTo_) / 2;
        int first = std::max(1, std::min(wantedFrom_ - 100, middle - half));
        int last = std::min(first + WorkbookViewer::MaxCachedRows - 1,
                            std::max(wantedTo_ + 100, middle + half));
        wantedFrom_ = wantedTo_ = 0;
        return {first, last};
    }

    void Loaded(LoadResult &result)
    {
        Loading(0, 0);
        cache_ = std::move(result.rows);
        cachedFrom_ = result.firstRow;
        cachedTo_ = result.lastRow;
        int columns = 0;
        for (const auto &[row, loaded] : cache_) {
            if (!loaded.cells.empty())
                columns = std::max(columns, loaded.cells.back().column);
        }
        Grow(std::max(result.lastRowOfSheet, MinRows), columns);
        RowsChanged(cachedFrom_, cachedTo_);
    }

    const std::string &Part() const { return part_; }
    bool InBase() const { return inBase_; }
    void SetBase(const SheetInfo &s)
    {
        inBase_ = s.inBase;
        part_ = s.part;
    }

  private:
    WorkbookViewer *viewer_;
    std::uint32_t sheetId_;
    bool inBase_;
    std::string part_;
    int rows_ = MinRows;
    int columns_ = MinColumns;
    std::map<int, LoadedRow> cache_;
    int cachedFrom_ = 0;
    int cachedTo_ = -1;
    int wantedFrom_ = 0;
    int wantedTo_ = 0;
    bool queued_ = false;
    int loadingFrom_ = 0;
    int loadingTo_ = 0;
};

// ---------------------------------------------------------------------------------------------

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

quint64 g_generation = 0;

// Keeps a view at its last row, like a log: from its opening on, however the rows grow (rows of
// the file as their extent becomes known, rows the passes write), and again whenever the user
// brings it back to the end. A user who scrolls up keeps the place. The scroll bar's range
// changes once the view has laid out the grown model, so that is where the view catches up.
void FollowLastRow(QTableView *view)
{
    QScrollBar *bar = view->verticalScrollBar();
    auto following = std::make_shared<bool>(true);
    QObject::connect(bar, &QScrollBar::valueChanged, view,
                     [bar, following](int value) { *following = value >= bar->maximum(); });
    QObject::connect(bar, &QScrollBar::rangeChanged, view, [bar, following](int, int maximum) {
        if (*following)
            bar->setValue(maximum);
    });
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
    QPointer<WorkbookViewer> self(this);
    loader_ = std::make_unique<RowLoader>([self] {
        QMetaObject::invokeMethod(
            qApp,
            [self] {
                if (self)
                    self->RowsLoaded(0);
            },
            Qt::QueuedConnection);
    });
    SetTitle(QString());
}

WorkbookViewer::~WorkbookViewer()
{
    loader_.reset();
    if (doc_ != nullptr)
        doc_->SetListener(nullptr);
    RemovePages(tabs_); // the views go before the models they show
}

void WorkbookViewer::closeEvent(QCloseEvent *event)
{
    // The server never closes the window (it hides or deletes it), so a close is the user's.
    event->accept();
    if (onUserClose)
        onUserClose();
}

void WorkbookViewer::SetDocument(Document *doc, const QString &title)
{
    if (doc_ != nullptr)
        doc_->SetListener(nullptr);
    doc_ = doc;
    if (doc_ != nullptr)
        doc_->SetListener(this);
    SetTitle(title);
    Rebuild();
}

void WorkbookViewer::SetTitle(const QString &title)
{
    setWindowTitle(title.isEmpty() ? QStringLiteral("Workbook") : title);
}

QTableView *WorkbookViewer::TableAt(int sheetIndex) const
{
    return qobject_cast<QTableView *>(tabs_->widget(sheetIndex));
}

SheetTableModel *WorkbookViewer::ModelAt(int sheetIndex) const
{
    return sheetIndex >= 0 && sheetIndex < static_cast<int>(models_.size())
               ? models_[static_cast<std::size_t>(sheetIndex)].get()
               : nullptr;
}

void WorkbookViewer::CellChanged(std::uint32_t sheetId, int row, int)
{
    if (structureDirty_)
        return; // a rebuild is coming anyway
    dirty_.emplace_back(sheetId, row);
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

void WorkbookViewer::BaseChanged()
{
    if (doc_ == nullptr)
        return;
    for (const SheetInfo &s : doc_->Sheets()) {
        for (auto &m : models_) {
            if (m && m->SheetId() == s.sheetId)
                m->SetBase(s);
        }
    }
}

void WorkbookViewer::RefreshNow()
{
    refreshTimer_.stop();
    if (structureDirty_) {
        Rebuild();
        return;
    }
    std::map<std::uint32_t, std::pair<int, int>> ranges;
    for (const auto &[sheet, row] : dirty_) {
        auto [it, fresh] = ranges.try_emplace(sheet, row, row);
        if (!fresh) {
            it->second.first = std::min(it->second.first, row);
            it->second.second = std::max(it->second.second, row);
        }
    }
    dirty_.clear();
    for (auto &m : models_) {
        if (!m)
            continue;
        auto it = ranges.find(m->SheetId());
        if (it == ranges.end())
            continue;
        int columns = 0;
        for (const ChangeSet *layer : doc_->Layers()) {
            if (const SheetChanges *s = layer != nullptr ? layer->FindSheet(m->SheetId()) : nullptr)
                columns = std::max(columns, s->MaxColumn());
        }
        m->Grow(it->second.second, columns); // a view at its end follows (FollowLastRow)
        m->RowsChanged(it->second.first, it->second.second);
    }
}

void WorkbookViewer::Rebuild()
{
    structureDirty_ = false;
    dirty_.clear();
    refreshTimer_.stop();
    RemovePages(tabs_);
    models_.clear();
    if (doc_ != nullptr) {
        for (const SheetInfo &s : doc_->Sheets()) {
            if (s.kind != SheetKind::Worksheet) {
                models_.push_back(nullptr);
                auto *label = new QLabel(QStringLiteral("(лист диаграммы)"));
                label->setAlignment(Qt::AlignCenter);
                tabs_->addTab(label, QString::fromStdString(s.name));
                continue;
            }
            models_.push_back(std::make_unique<SheetTableModel>(this, s));
            auto *view = new QTableView;
            view->setModel(models_.back().get());
            view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
            view->horizontalHeader()->setDefaultSectionSize(90);
            FollowLastRow(view);
            tabs_->addTab(view, QString::fromStdString(s.name));
        }
        tabs_->setCurrentIndex(doc_->ActiveIndex());
    }
}

void WorkbookViewer::RequestRows(SheetTableModel *model)
{
    // Wishes are gathered while the view paints and sent once the event loop is idle again.
    QMetaObject::invokeMethod(
        this,
        [this, model] {
            bool known = false;
            for (auto &m : models_)
                known = known || m.get() == model;
            if (!known)
                return;
            model->Dequeued();
            if (!model->HasWish() || doc_ == nullptr || doc_->BaseFd() < 0 || !model->InBase())
                return;
            if (model->WishInFlight()) {
                model->DropWish();
                return;
            }
            const auto [first, last] = model->TakeWish();
            LoadRequest request;
            request.generation = ++g_generation;
            request.fd = ::dup(doc_->BaseFd());
            if (request.fd < 0)
                return;
            request.sheetPart = model->Part();
            request.sharedStringsPart = doc_->SharedStringsPart();
            request.sheetId = model->SheetId();
            request.firstRow = first;
            request.lastRow = last;
            // The loader keeps only the latest request: a load of another sheet is given up.
            for (auto &m : models_) {
                if (m)
                    m->Loading(0, 0);
            }
            model->Loading(first, last);
            loader_->Request(std::move(request));
        },
        Qt::QueuedConnection);
}

void WorkbookViewer::RowsLoaded(quint64)
{
    for (LoadResult &result : loader_->Take()) {
        // A window that could not be read is kept empty, so it is not asked for again and again.
        for (auto &m : models_) {
            if (m && m->SheetId() == result.sheetId)
                m->Loaded(result);
        }
    }
}

void WorkbookViewer::WaitForRows()
{
    for (int i = 0; i < 2000; ++i) {
        QCoreApplication::processEvents();
        bool wishes = false;
        for (auto &m : models_)
            wishes = wishes || (m && m->HasWish());
        if (!wishes && loader_->Idle()) {
            QCoreApplication::processEvents();
            RowsLoaded(0);
            return;
        }
        QThread::msleep(5);
    }
}

} // namespace workbook
