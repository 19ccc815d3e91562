// The in-memory workbook model: cell addressing, values and comments, sheet order and naming,
// change notifications.
#include "workbook.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace workbook;

namespace
{

TEST(WorkbookModel, CellReferencesAndColumnNames)
{
    EXPECT_EQ(ColumnName(1), QStringLiteral("A"));
    EXPECT_EQ(ColumnName(26), QStringLiteral("Z"));
    EXPECT_EQ(ColumnName(27), QStringLiteral("AA"));
    EXPECT_EQ(ColumnName(254), QStringLiteral("IT"));
    EXPECT_EQ(ColumnName(16384), QStringLiteral("XFD"));
    EXPECT_EQ(ColumnName(0), QString());
    EXPECT_EQ(ColumnName(16385), QString());

    int row = 0, column = 0;
    EXPECT_TRUE(ParseCellRef(QStringLiteral("A1"), row, column));
    EXPECT_EQ(row, 1);
    EXPECT_EQ(column, 1);
    EXPECT_TRUE(ParseCellRef(QStringLiteral("$it$65501"), row, column));
    EXPECT_EQ(row, 65501);
    EXPECT_EQ(column, 254);
    EXPECT_TRUE(ParseCellRef(QStringLiteral("XFD1048576"), row, column));
    for (const char *bad : {"", "A", "1", "A0", "XFE1", "A1048577", "A1 ", "1A", "A-1", "AAAA1"})
        EXPECT_FALSE(ParseCellRef(QString::fromLatin1(bad), row, column)) << bad;
}

TEST(WorkbookModel, ValuesCommentsAndTheirTexts)
{
    Workbook book;
    Worksheet *s = book.AppendSheet();
    EXPECT_TRUE(s->SetNumber(2, 2, 5));
    EXPECT_TRUE(s->SetNumber(3, 2, 0.1));
    EXPECT_TRUE(s->SetNumber(4, 2, -0.0));
    EXPECT_TRUE(s->SetNumber(5, 2, 1e21));
    EXPECT_TRUE(s->SetBoolean(6, 2, false));
    EXPECT_TRUE(s->SetText(7, 2, QStringLiteral("Точка 1")));
    EXPECT_EQ(s->CellAt(2, 2)->ValueText(), QStringLiteral("5"));
    EXPECT_EQ(s->CellAt(3, 2)->ValueText(), QStringLiteral("0.1"));
    EXPECT_EQ(s->CellAt(4, 2)->ValueText(), QStringLiteral("0"));
    EXPECT_EQ(s->CellAt(5, 2)->ValueText(), QStringLiteral("1e+21"));
    EXPECT_EQ(s->CellAt(6, 2)->ValueText(), QStringLiteral("FALSE"));
    EXPECT_EQ(s->CellAt(7, 2)->ValueText(), QStringLiteral("Точка 1"));

    // Values no cell can hold are refused and change nothing.
    EXPECT_FALSE(s->SetNumber(2, 2, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(s->SetNumber(2, 2, INFINITY));
    EXPECT_FALSE(s->SetText(2, 2, QString(MaxTextLength + 1, QLatin1Char('x'))));
    EXPECT_FALSE(s->SetNumber(0, 1, 1));
    EXPECT_FALSE(s->SetNumber(1, MaxColumns + 1, 1));
    EXPECT_FALSE(s->SetNumber(MaxRows + 1, 1, 1));
    EXPECT_EQ(s->CellAt(2, 2)->number, 5);

    // A comment survives clearing the value, and the value survives clearing the comment.
    EXPECT_TRUE(s->SetNumber(9, 3, 1));
    EXPECT_TRUE(s->SetComment(9, 3, QStringLiteral("note")));
    EXPECT_FALSE(s->CellAt(9, 3)->commentVisible);
    EXPECT_TRUE(s->ClearValue(9, 3));
    ASSERT_NE(s->CellAt(9, 3), nullptr);
    EXPECT_EQ(s->CellAt(9, 3)->ValueText(), QString());
    EXPECT_TRUE(s->SetCommentVisible(9, 3, true));
    EXPECT_TRUE(s->CellAt(9, 3)->commentVisible);
    EXPECT_TRUE(s->ClearComment(9, 3));
    EXPECT_EQ(s->CellAt(9, 3), nullptr); // blank again
    EXPECT_FALSE(s->SetCommentVisible(9, 3, true));

    EXPECT_EQ(s->MaxRow(), 7);
    EXPECT_EQ(s->MaxColumn(), 2);
    EXPECT_TRUE(s->SetComment(12, 5, QStringLiteral("far")));
    EXPECT_EQ(s->MaxRow(), 12);
    EXPECT_EQ(s->MaxColumn(), 5);
}

TEST(WorkbookModel, SheetInsertionKeepsTheActiveSheetAndNamesStayUnique)
{
    Workbook book;
    book.AppendSheet();
    EXPECT_EQ(book.ActiveIndex(), 0);
    Worksheet *front = book.InsertSheet(0);
    EXPECT_EQ(book.IndexOf(front), 0);
    EXPECT_EQ(book.ActiveIndex(), 1); // the old active sheet stays active until told otherwise
    EXPECT_EQ(book.Sheet(0)->Name(), QStringLiteral("Sheet2"));
    EXPECT_EQ(book.Sheet(1)->Name(), QStringLiteral("Sheet1"));

    EXPECT_EQ(book.AppendSheet(QStringLiteral("sheet1"))->Name(), QStringLiteral("sheet1 (2)"));
    EXPECT_EQ(book.AppendSheet(QStringLiteral("a/b"))->Name(), QStringLiteral("Sheet3"));
    EXPECT_EQ(book.AppendSheet(QString(40, QLatin1Char('n')))->Name(), QStringLiteral("Sheet4"));
    EXPECT_EQ(book.FindSheet(QStringLiteral("SHEET2")), front);
    EXPECT_EQ(book.Sheet(99), nullptr);
    EXPECT_EQ(book.InsertSheet(99)->Name(), QStringLiteral("Sheet5")); // clamped to the end
    EXPECT_EQ(book.IndexOf(book.Sheet(book.SheetCount() - 1)), book.SheetCount() - 1);
}

TEST(WorkbookModel, ChangesAreReportedToTheListener)
{
    struct Recorder : WorkbookListener {
        std::vector<std::tuple<int, int, int>> cells;
        int structure = 0;
        void CellChanged(int s, int r, int c) override { cells.emplace_back(s, r, c); }
        void StructureChanged() override { ++structure; }
    } recorder;
    Workbook book;
    book.AppendSheet();
    book.SetModified(false);
    book.SetListener(&recorder);
    const auto revision = book.Revision();
    book.InsertSheet(0);
    book.SetActive(0);
    book.Sheet(1)->SetNumber(5, 2, 1);
    book.Sheet(1)->SetComment(5, 3, QStringLiteral("x"));
    EXPECT_EQ(recorder.structure, 2);
    ASSERT_EQ(recorder.cells.size(), 2u);
    EXPECT_EQ(recorder.cells[0], std::make_tuple(1, 5, 2));
    EXPECT_EQ(recorder.cells[1], std::make_tuple(1, 5, 3));
    EXPECT_TRUE(book.IsModified());
    EXPECT_GT(book.Revision(), revision);
    book.SetListener(nullptr);
    book.Sheet(1)->SetNumber(6, 2, 1);
    EXPECT_EQ(recorder.cells.size(), 2u);
}

} // namespace
