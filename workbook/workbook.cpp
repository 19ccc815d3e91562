#include "workbook.h"

#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <utility>

namespace workbook
{

QString NumberText(double value)
{
    if (value == 0.0)
        return QStringLiteral("0"); // also for -0.0
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QString Cell::ValueText() const
{
    switch (kind) {
    case CellKind::Number:
        return NumberText(number);
    case CellKind::Text:
        return text;
    case CellKind::Boolean:
        return number != 0.0 ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
    case CellKind::Empty:
        break;
    }
    return QString();
}

QString ColumnName(int column)
{
    if (column < 1 || column > MaxColumns)
        return QString();
    QString name;
    while (column > 0) {
        int digit = (column - 1) % 26;
        name.prepend(QChar('A' + digit));
        column = (column - 1) / 26;
    }
    return name;
}

bool ParseCellRef(QStringView ref, int &row, int &column)
{
    int i = 0;
    const int n = ref.size();
    if (i < n && ref[i].unicode() == '$')
        ++i;
    qint64 col = 0;
    int letters = 0;
    while (i < n) {
        char16_t c = ref[i].unicode();
        if (c >= 'a' && c <= 'z')
            c = c - 'a' + 'A';
        if (c < 'A' || c > 'Z')
            break;
        col = col * 26 + (c - 'A' + 1);
        if (++letters > 3)
            return false;
        ++i;
    }
    if (letters == 0)
        return false;
    if (i < n && ref[i].unicode() == '$')
        ++i;
    qint64 r = 0;
    int digits = 0;
    while (i < n && ref[i].unicode() >= '0' && ref[i].unicode() <= '9') {
        r = r * 10 + (ref[i].unicode() - '0');
        if (++digits > 7)
            return false;
        ++i;
    }
    if (digits == 0 || i != n)
        return false;
    if (!Worksheet::InRange(static_cast<int>(r), static_cast<int>(col)))
        return false;
    row = static_cast<int>(r);
    column = static_cast<int>(col);
    return true;
}

bool IsValidSheetName(const QString &name)
{
    if (name.isEmpty() || name.size() > MaxSheetNameLength)
        return false;
    if (name.startsWith('\'') || name.endsWith('\''))
        return false;
    for (QChar c : name) {
        switch (c.unicode()) {
        case '\\':
        case '/':
        case '?':
        case '*':
        case '[':
        case ']':
        case ':':
            return false;
        default:
            break;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------

Worksheet::Worksheet(Workbook *owner, QString name) : owner_(owner), name_(std::move(name)) {}

const Cell *Worksheet::Stored(int row, int column) const
{
    auto it = rows_.find(row);
    if (it == rows_.end() || column < 1 || column > static_cast<int>(it->second.size()))
        return nullptr;
    return &it->second[column - 1];
}

Cell *Worksheet::Stored(int row, int column)
{
    return const_cast<Cell *>(std::as_const(*this).Stored(row, column));
}

const Cell *Worksheet::CellAt(int row, int column) const
{
    const Cell *cell = Stored(row, column);
    return cell != nullptr && !cell->IsBlank() ? cell : nullptr;
}

Cell *Worksheet::Touch(int row, int column)
{
    if (row != lastRow_ || lastRowCells_ == nullptr) {
        lastRowCells_ = &rows_[row];
        lastRow_ = row;
        // Rows tend to be as wide as the ones before them: one allocation per row.
        if (lastRowCells_->empty())
            lastRowCells_->reserve(std::max(column, maxColumn_));
    }
    Row &cells = *lastRowCells_;
    if (static_cast<int>(cells.size()) < column) {
        cells.resize(column);
        if (column > maxColumn_)
            maxColumn_ = column;
    }
    return &cells[column - 1];
}

void Worksheet::Notify(int row, int column)
{
    if (owner_ != nullptr)
        owner_->CellChanged(this, row, column);
}

bool Worksheet::SetNumber(int row, int column, double value)
{
    if (!InRange(row, column) || !std::isfinite(value))
        return false;
    Cell *cell = Touch(row, column);
    cell->kind = CellKind::Number;
    cell->number = value;
    cell->text.clear();
    Notify(row, column);
    return true;
}

bool Worksheet::SetText(int row, int column, const QString &text)
{
    if (!InRange(row, column) || text.size() > MaxTextLength)
        return false;
    Cell *cell = Touch(row, column);
    cell->kind = CellKind::Text;
    cell->number = 0.0;
    cell->text = text;
    Notify(row, column);
    return true;
}

bool Worksheet::SetBoolean(int row, int column, bool value)
{
    if (!InRange(row, column))
        return false;
    Cell *cell = Touch(row, column);
    cell->kind = CellKind::Boolean;
    cell->number = value ? 1.0 : 0.0;
    cell->text.clear();
    Notify(row, column);
    return true;
}

bool Worksheet::ClearValue(int row, int column)
{
    if (!InRange(row, column))
        return false;
    if (Cell *cell = Stored(row, column)) {
        cell->kind = CellKind::Empty;
        cell->number = 0.0;
        cell->text.clear();
        Notify(row, column);
    }
    return true;
}

bool Worksheet::SetComment(int row, int column, const QString &text, bool visible)
{
    if (!InRange(row, column) || text.size() > MaxTextLength)
        return false;
    Cell *cell = Touch(row, column);
    cell->hasComment = true;
    cell->comment = text;
    cell->commentVisible = visible;
    Notify(row, column);
    return true;
}

bool Worksheet::SetCommentVisible(int row, int column, bool visible)
{
    Cell *cell = Stored(row, column);
    if (cell == nullptr || !cell->hasComment)
        return false;
    cell->commentVisible = visible;
    Notify(row, column);
    return true;
}

bool Worksheet::ClearComment(int row, int column)
{
    if (!InRange(row, column))
        return false;
    Cell *cell = Stored(row, column);
    if (cell != nullptr && cell->hasComment) {
        cell->hasComment = false;
        cell->commentVisible = false;
        cell->comment.clear();
        Notify(row, column);
    }
    return true;
}

int Worksheet::MaxRow() const
{
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
        for (const Cell &cell : it->second) {
            if (!cell.IsBlank())
                return it->first;
        }
    }
    return 0;
}

int Worksheet::MaxColumn() const
{
    int best = 0;
    for (const auto &[row, cells] : rows_) {
        for (int c = static_cast<int>(cells.size()); c > best; --c) {
            if (!cells[c - 1].IsBlank()) {
                best = c;
                break;
            }
        }
        if (best == maxColumn_)
            break;
    }
    return best;
}

// ---------------------------------------------------------------------------------------------

Workbook::Workbook() = default;
Workbook::~Workbook() = default;

Worksheet *Workbook::Sheet(int index)
{
    if (index < 0 || index >= SheetCount())
        return nullptr;
    return sheets_[index].get();
}

const Worksheet *Workbook::Sheet(int index) const
{
    if (index < 0 || index >= SheetCount())
        return nullptr;
    return sheets_[index].get();
}

int Workbook::IndexOf(const Worksheet *sheet) const
{
    for (int i = 0; i < SheetCount(); ++i) {
        if (sheets_[i].get() == sheet)
            return i;
    }
    return -1;
}

Worksheet *Workbook::FindSheet(const QString &name)
{
    for (auto &sheet : sheets_) {
        if (sheet->Name().compare(name, Qt::CaseInsensitive) == 0)
            return sheet.get();
    }
    return nullptr;
}

QString Workbook::UniqueName(const QString &wanted)
{
    auto taken = [this](const QString &name) { return FindSheet(name) != nullptr; };
    if (IsValidSheetName(wanted)) {
        if (!taken(wanted))
            return wanted;
        for (int n = 2;; ++n) {
            const QString suffix = QStringLiteral(" (%1)").arg(n);
            QString candidate = wanted.left(MaxSheetNameLength - suffix.size()) + suffix;
            if (IsValidSheetName(candidate) && !taken(candidate))
                return candidate;
        }
    }
    // Default names follow a per-workbook counter, as spreadsheet applications number them.
    for (;;) {
        QString candidate = QStringLiteral("Sheet%1").arg(nextDefaultNumber_++);
        if (!taken(candidate))
            return candidate;
    }
}

Worksheet *Workbook::InsertSheet(int position, const QString &name)
{
    position = std::clamp(position, 0, SheetCount());
    auto sheet = std::make_unique<Worksheet>(this, UniqueName(name));
    Worksheet *raw = sheet.get();
    sheets_.insert(sheets_.begin() + position, std::move(sheet));
    if (SheetCount() > 1 && position <= active_)
        ++active_; // the active sheet itself stays active
    StructureChanged();
    return raw;
}

void Workbook::SetActive(int index)
{
    if (index < 0 || index >= SheetCount() || index == active_)
        return;
    active_ = index;
    ++revision_;
    if (listener_ != nullptr)
        listener_->StructureChanged();
}

QString Workbook::Name() const
{
    if (!filePath_.isEmpty())
        return QFileInfo(filePath_).fileName();
    return untitledName_.isEmpty() ? QStringLiteral("Book1") : untitledName_;
}

void Workbook::CellChanged(const Worksheet *sheet, int row, int column)
{
    modified_ = true;
    ++revision_;
    if (listener_ != nullptr)
        listener_->CellChanged(IndexOf(sheet), row, column);
}

void Workbook::StructureChanged()
{
    modified_ = true;
    ++revision_;
    if (listener_ != nullptr)
        listener_->StructureChanged();
}

} // namespace workbook
