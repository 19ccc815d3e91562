#include "changes.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace workbook
{

std::uint32_t StringPool::Intern(std::string_view text)
{
    auto it = index_.find(text);
    if (it != index_.end())
        return it->second;
    const auto id = static_cast<std::uint32_t>(strings_.size());
    strings_.emplace_back(text);
    index_.emplace(strings_.back(), id);
    bytes_ += text.size() + sizeof(std::string) + 32;
    return id;
}

CellChange &SheetChanges::Touch(int row, int column)
{
    Row *cells = lastCells_;
    if (cells == nullptr || row != lastRow_) {
        cells = &rows_[row];
        lastRow_ = row;
        lastCells_ = cells;
    }
    if (static_cast<int>(cells->size()) < column) {
        cells_ += static_cast<std::size_t>(column) - cells->size();
        cells->resize(static_cast<std::size_t>(column));
    }
    maxColumn_ = std::max(maxColumn_, column);
    return (*cells)[static_cast<std::size_t>(column) - 1];
}

const CellChange *SheetChanges::Find(int row, int column) const
{
    auto it = rows_.find(row);
    if (it == rows_.end() || column < 1 || static_cast<int>(it->second.size()) < column)
        return nullptr;
    const CellChange &c = it->second[static_cast<std::size_t>(column) - 1];
    return c.IsKeep() ? nullptr : &c;
}

const SheetChanges *ChangeSet::FindSheet(std::uint32_t sheetId) const
{
    auto it = sheets_.find(sheetId);
    return it == sheets_.end() ? nullptr : &it->second;
}

CellChange &ChangeSet::Touch(std::uint32_t sheet, int row, int column)
{
    return sheets_[sheet].Touch(row, column);
}

void ChangeSet::SetNumber(std::uint32_t sheet, int row, int column, double value)
{
    CellChange &c = Touch(sheet, row, column);
    c.value = ValueChange::Number;
    c.number = value;
}

void ChangeSet::SetText(std::uint32_t sheet, int row, int column, std::string_view text)
{
    CellChange &c = Touch(sheet, row, column);
    c.value = ValueChange::Text;
    c.text = strings.Intern(text);
}

void ChangeSet::SetBoolean(std::uint32_t sheet, int row, int column, bool value)
{
    CellChange &c = Touch(sheet, row, column);
    c.value = ValueChange::Boolean;
    c.number = value ? 1 : 0;
}

void ChangeSet::ClearValue(std::uint32_t sheet, int row, int column)
{
    Touch(sheet, row, column).value = ValueChange::Empty;
}

void ChangeSet::SetNote(std::uint32_t sheet, int row, int column, std::string_view text,
                        bool visible)
{
    SheetChanges &s = sheets_[sheet];
    CellChange &c = s.Touch(row, column);
    if (c.note == NoteChange::Keep)
        ++s.notes_;
    c.note = NoteChange::Set;
    c.noteText = strings.Intern(text);
    c.noteVisible = visible;
}

void ChangeSet::SetNoteVisible(std::uint32_t sheet, int row, int column, bool visible)
{
    Touch(sheet, row, column).noteVisible = visible;
}

void ChangeSet::RemoveNote(std::uint32_t sheet, int row, int column)
{
    SheetChanges &s = sheets_[sheet];
    CellChange &c = s.Touch(row, column);
    if (c.note == NoteChange::Keep)
        ++s.notes_;
    c.note = NoteChange::Removed;
    c.noteVisible = false;
}

bool ChangeSet::Empty() const
{
    return std::all_of(sheets_.begin(), sheets_.end(),
                       [](const auto &s) { return s.second.Empty(); });
}

std::size_t ChangeSet::ApproxBytes() const
{
    std::size_t bytes = strings.Bytes();
    for (const auto &[id, sheet] : sheets_) {
        bytes += sheet.Rows().size() * 64; // map node
        bytes += sheet.Cells() * sizeof(CellChange);
    }
    return bytes;
}

// ---------------------------------------------------------------------------------------------

std::string NumberText(double value)
{
    if (value == 0)
        return "0"; // also for -0
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string ColumnName(int column)
{
    if (column < 1 || column > MaxColumns)
        return {};
    std::string name;
    while (column > 0) {
        const int digit = (column - 1) % 26;
        name.insert(name.begin(), static_cast<char>('A' + digit));
        column = (column - 1) / 26;
    }
    return name;
}

std::string CellRef(int row, int column)
{
    return ColumnName(column) + std::to_string(row);
}

bool ParseCellRef(std::string_view ref, int &row, int &column)
{
    std::size_t i = 0;
    if (i < ref.size() && ref[i] == '$')
        ++i;
    long col = 0;
    const std::size_t letters = i;
    while (i < ref.size() && i - letters < 4) {
        char c = ref[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c < 'A' || c > 'Z')
            break;
        col = col * 26 + (c - 'A' + 1);
        ++i;
    }
    if (i == letters)
        return false;
    if (i < ref.size() && ref[i] == '$')
        ++i;
    const std::size_t digits = i;
    long r = 0;
    while (i < ref.size() && ref[i] >= '0' && ref[i] <= '9' && i - digits < 8) {
        r = r * 10 + (ref[i] - '0');
        ++i;
    }
    if (i == digits || i != ref.size() || ref[digits] == '0')
        return false;
    if (!InSheet(static_cast<int>(r), static_cast<int>(col)))
        return false;
    row = static_cast<int>(r);
    column = static_cast<int>(col);
    return true;
}

} // namespace workbook
