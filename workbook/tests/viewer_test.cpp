// The live viewer on a large workbook opened from disk: the newest rows show at once and stay in
// view as passes arrive, an older row far up is loaded when scrolled to, and a user who scrolled
// up keeps the place.
#include "document.h"
#include "viewer.h"

#include <QCoreApplication>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <xlsxwriter.h>

namespace
{

constexpr int kColumns = 9;
constexpr int kFirstDataRow = 5;
constexpr int kLastRow = 40004;

// Cell (row, column) of a data row holds row * 100 + column, so every row can be told apart.
double ValueAt(int row, int column)
{
    return row * 100.0 + column;
}

void MakeBook(const std::string &path)
{
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    lxw_workbook *book = workbook_new_opt(path.c_str(), &options);
    lxw_worksheet *ws = workbook_add_worksheet(book, nullptr);
    worksheet_write_number(ws, 1, 1, kLastRow, nullptr);
    for (int r = kFirstDataRow; r <= kLastRow; ++r) {
        worksheet_write_string(ws, static_cast<lxw_row_t>(r - 1), 0, "10:00:00", nullptr);
        for (int c = 2; c <= kColumns; ++c)
            worksheet_write_number(ws, static_cast<lxw_row_t>(r - 1), static_cast<lxw_col_t>(c - 1),
                                   ValueAt(r, c), nullptr);
    }
    ASSERT_EQ(workbook_close(book), LXW_NO_ERROR);
}

// Handles events until `done` holds, for a bounded number of rounds.
template <class Condition> bool WaitUntil(Condition done)
{
    for (int i = 0; i < 3000; ++i) {
        QCoreApplication::processEvents();
        if (done())
            return true;
        QThread::msleep(5);
    }
    return done();
}

// Lets posted work (the refresh, the views' delayed layout) run.
void Settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

class ViewerTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        const std::string path = dir_.filePath(QStringLiteral("big.xlsx")).toStdString();
        MakeBook(path);
        std::string error;
        doc_ = workbook::Document::Open(path, &error);
        ASSERT_TRUE(doc_) << error;
        viewer_ = std::make_unique<workbook::WorkbookViewer>();
        viewer_->SetDocument(doc_.get(), QStringLiteral("big.xlsx"));
        viewer_->show();
        view_ = viewer_->TableAt(0);
        ASSERT_NE(view_, nullptr);
    }
    void TearDown() override
    {
        viewer_.reset(); // before the document it listens to
        doc_.reset();
    }

    // One pass the way the archive writes it: the counter, then the row.
    void WritePass(int row)
    {
        const std::uint32_t sheet = doc_->Sheets()[0].sheetId;
        doc_->SetNumber(sheet, 2, 2, row);
        for (int c = 2; c <= kColumns; ++c)
            doc_->SetNumber(sheet, row, c, ValueAt(row, c));
    }

    // Whether the view shows `row` (1-based) on screen.
    bool Shows(int row) const
    {
        const int top = view_->rowAt(0);
        int bottom = view_->rowAt(view_->viewport()->height() - 1);
        if (bottom < 0)
            bottom = view_->model()->rowCount() - 1;
        return top >= 0 && top + 1 <= row && row <= bottom + 1;
    }
    // Whether the model has the row's values (from the file or from the passes).
    bool HasRow(int row) const
    {
        QAbstractItemModel *m = view_->model();
        if (row > m->rowCount())
            return false;
        for (int c = 2; c <= kColumns; ++c) {
            bool number = false;
            const double v = m->data(m->index(row - 1, c - 1)).toString().toDouble(&number);
            if (!number || v != ValueAt(row, c))
                return false;
        }
        return true;
    }
    bool ShowsLoaded(int row) const { return Shows(row) && HasRow(row); }

    QTemporaryDir dir_;
    std::unique_ptr<workbook::Document> doc_;
    std::unique_ptr<workbook::WorkbookViewer> viewer_;
    QTableView *view_ = nullptr;
};

TEST_F(ViewerTest, ShowsTheNewestRowsAndFollowsPassesUntilTheUserScrollsUp)
{
    // Opening: the file's last row is shown and filled in, without scrolling by hand.
    ASSERT_TRUE(WaitUntil([&] { return ShowsLoaded(kLastRow); }))
        << "rows " << view_->rowAt(0) + 1 << ".. of " << view_->model()->rowCount();
    EXPECT_EQ(view_->model()->rowCount(), kLastRow);
    EXPECT_FALSE(Shows(kFirstDataRow));

    // Passes come in: each new row is shown as it arrives.
    for (int row = kLastRow + 1; row <= kLastRow + 3; ++row) {
        WritePass(row);
        ASSERT_TRUE(WaitUntil([&] { return ShowsLoaded(row); })) << "pass row " << row;
    }
    // The rows of the file just above the passes are still there.
    EXPECT_TRUE(HasRow(kLastRow));

    // The user scrolls far up: that row is loaded from the file.
    const int old = 20001;
    view_->scrollTo(view_->model()->index(old - 1, 0), QAbstractItemView::PositionAtTop);
    ASSERT_TRUE(WaitUntil([&] { return ShowsLoaded(old); }));

    // A pass does not take the place away from the user.
    const int next = kLastRow + 4;
    WritePass(next);
    ASSERT_TRUE(WaitUntil([&] { return view_->model()->rowCount() == next; }));
    Settle();
    EXPECT_TRUE(Shows(old));
    EXPECT_FALSE(Shows(next));
    EXPECT_TRUE(WaitUntil([&] { return ShowsLoaded(old); }));

    // Back at the end, the view follows again.
    view_->scrollToBottom();
    const int last = kLastRow + 5;
    WritePass(last);
    ASSERT_TRUE(WaitUntil([&] { return ShowsLoaded(last); }));
}

} // namespace
