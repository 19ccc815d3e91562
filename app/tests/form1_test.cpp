// The main window outside a run: start-up state, the enable rule, Enter, the speed
// kept across starts, and the archiving tab's small handlers.
#include "apptestutil.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

TEST_F(AppTest, StartsWithTheWindowAndGridOfTheLayout)
{
    WriteSettings({{1, 1, 0}, {1, 1, 1}, {2, 5, 0}}, 4, {});
    form = std::make_unique<TForm1>();
    EXPECT_FALSE(form->SG->isVisibleTo(form->TabSheet1));
    CreateWindows();

    EXPECT_EQ(form->windowTitle(), QStringLiteral("  PTK71"));
    EXPECT_EQ(form->minimumSize(), QSize(487, 344));
    EXPECT_EQ(form->maximumSize(), QSize(487, 344));
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(form->windowIcon().availableSizes().isEmpty());

    EXPECT_EQ(form->PageControl1->currentIndex(), 0);
    EXPECT_EQ(form->PageControl1->tabText(1), QStringLiteral("График"));
    // The setup window's creation sized, labelled and showed the readings grid.
    EXPECT_TRUE(form->SG->isVisibleTo(form->TabSheet1));
    EXPECT_EQ(form->SG->RowCount(), 4);
    EXPECT_EQ(form->SG->Cells(0, 0), QStringLiteral("  Точка"));
    EXPECT_EQ(form->SG->Cells(1, 0), QStringLiteral("  Значения"));
    EXPECT_EQ(form->SG->Cells(0, 3), QStringLiteral("   3"));

    // No "Speed" in the file: item 5 applied.
    EXPECT_EQ(form->BoxSpeed->currentText(), QStringLiteral("  9600 бод"));
    EXPECT_EQ(MoreCOM::BaudRate, 9600);

    // The chart's eight series in their order, colours and marker shapes.
    ASSERT_EQ(form->Chart->SeriesCount(), 8);
    EXPECT_EQ(form->SeriesOf(0)->Title(), QStringLiteral("Точка1"));
    EXPECT_EQ(form->SeriesOf(1)->SeriesColor(), ChartColor(0x004080FF));
    EXPECT_EQ(form->Series[3]->Pointer().Style(), psTriangle);
    EXPECT_EQ(form->Series[4]->Pointer().Style(), psCircle);
    EXPECT_TRUE(form->Series[7]->Pointer().Visible());
    EXPECT_EQ(form->CheckBoxes[5]->property("Tag").toInt(), 5);
}

TEST_F(AppTest, SpeedChosenIsKeptForTheNextStart)
{
    CreateWindows();
    form->BoxSpeed->setCurrentIndex(6);
    emit form->BoxSpeed->activated(6);
    EXPECT_EQ(MoreCOM::BaudRate, 19200);
    form->close();
    EXPECT_EQ(LoadSpeed(), 6);

    setup.reset();
    form.reset();
    MoreCOM::ApplySpeed(0);
    CreateWindows();
    EXPECT_EQ(form->BoxSpeed->currentText(), QStringLiteral(" 19200 бод"));
    EXPECT_EQ(MoreCOM::BaudRate, 19200);
}

TEST_F(AppTest, EnDisGuardsTheRunInputsAndFollowsTheSaveSwitch)
{
    CreateWindows();
    // Saving off: the file controls stay disabled whichever way.
    form->EnDis(false);
    EXPECT_FALSE(form->BtnStart->isEnabled());
    EXPECT_FALSE(form->BtnSetup->isEnabled());
    EXPECT_FALSE(form->BoxSpeed->isEnabled());
    EXPECT_FALSE(form->EnExcel->isEnabled());
    EXPECT_TRUE(form->BtnStop->isEnabled());
    form->EnDis(true);
    EXPECT_TRUE(form->BtnStart->isEnabled());
    EXPECT_FALSE(form->FileName->isEnabled());
    EXPECT_FALSE(form->SelFileName->isEnabled());
    EXPECT_FALSE(form->ExcelVisible->isEnabled());

    // Saving on: during a run only the show-workbook box stays usable.
    form->EnExcel->click();
    EXPECT_TRUE(form->FileName->isEnabled());
    EXPECT_TRUE(form->ExcelVisible->isEnabled());
    form->EnDis(false);
    EXPECT_FALSE(form->FileName->isEnabled());
    EXPECT_FALSE(form->SelFileName->isEnabled());
    EXPECT_TRUE(form->ExcelVisible->isEnabled());
    EXPECT_TRUE(form->BtnStop->isEnabled());
    form->EnDis(true);
    EXPECT_TRUE(form->FileName->isEnabled());
    EXPECT_TRUE(form->SelFileName->isEnabled());
    form->EnExcel->click();
    EXPECT_FALSE(form->ExcelVisible->isEnabled());
}

// Enter presses the default button of the tab shown: Stop, or ZoomUndo on the graph tab.
TEST_F(AppTest, EnterClicksTheDefaultButtonOfTheTabShown)
{
    CreateWindows();
    form->show();
    QSignalSpy zoomUndo(form->BtnZoomUndo, &QPushButton::clicked);
    auto pressEnter = [&] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &press);
    };
    MoreCOM::StopFlag = 0;
    pressEnter();
    EXPECT_EQ(MoreCOM::StopFlag, 1);
    EXPECT_EQ(zoomUndo.count(), 0);

    MoreCOM::StopFlag = 0;
    form->PageControl1->setCurrentIndex(1);
    pressEnter();
    EXPECT_EQ(zoomUndo.count(), 1);
    EXPECT_EQ(MoreCOM::StopFlag, 0);

    form->PageControl1->setCurrentIndex(2);
    pressEnter();
    EXPECT_EQ(zoomUndo.count(), 1);
    EXPECT_EQ(MoreCOM::StopFlag, 0);
}

TEST_F(AppTest, ChoosingAWorkbookFile)
{
    CreateWindows();
    const QString initial = QDir::homePath() + QStringLiteral("/PROBA.xlsx");
    EXPECT_EQ(form->FileName->text(), initial);

    // The real dialog: a save dialog for .xlsx starting at the current name.
    QString suffix, selected;
    QStringList filters;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        suffix = dialog->defaultSuffix();
        filters = dialog->nameFilters();
        selected = dialog->selectedFiles().value(0);
        dialog->reject();
    });
    form->EnExcel->click();
    form->SelFileName->click();
    EXPECT_EQ(suffix, QStringLiteral("xlsx"));
    // The file dialog keeps one blank before the pattern of each filter.
    EXPECT_EQ(filters, QStringList({QStringLiteral("Файлы Excel (*.xlsx)"),
                                    QStringLiteral("Все файлы (*.*)")}));
    EXPECT_EQ(selected, initial);
    EXPECT_EQ(form->FileName->text(), initial);

    form->ChooseFileName = [](const QString &) { return QStringLiteral("/data/run7.xlsx"); };
    form->SelFileName->click();
    EXPECT_EQ(form->FileName->text(), QStringLiteral("/data/run7.xlsx"));
}

TEST_F(AppTest, ArchiveGroupCaptionSitsOnTheFrameAboveItsControls)
{
    CreateWindows();
    form->PageControl1->setCurrentIndex(2);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const QImage box = form->GroupBox1->grab().toImage();
    const int frameTop = QFontMetrics(form->GroupBox1->font()).height() / 2;
    const QRgb background = box.pixel(60, frameTop + 10);
    // The frame's top edge runs at half the caption's height, left of the caption and beside it
    // up to the right end; the caption interrupts it.
    EXPECT_NE(box.pixel(3, frameTop), background);
    EXPECT_NE(box.pixel(box.width() - 20, frameTop), background);
    // No frame line crosses the first control's row between the left edge and the control.
    const QRect enExcel = form->EnExcel->geometry();
    ASSERT_GT(enExcel.top(), frameTop);
    for (int y = enExcel.top(); y <= enExcel.bottom(); ++y)
        for (int x = 5; x < enExcel.left(); ++x)
            ASSERT_EQ(box.pixel(x, y), background) << x << "," << y;
}

TEST_F(AppTest, WindowsOpenCentredTheSameWayEveryTime)
{
    CreateWindows();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const QRect area = form->screen()->availableGeometry();
    auto centred = [&](const QWidget &w) {
        const QRect f = w.frameGeometry();
        return std::abs(f.center().x() - area.center().x()) <= 1 &&
               std::abs(f.center().y() - area.center().y()) <= 1;
    };
    EXPECT_TRUE(centred(*form)) << form->frameGeometry().x() << "," << form->frameGeometry().y();

    // The setup window opens at one place, the first time and later.
    std::vector<QRect> opened;
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, [&] {
            (void)QTest::qWaitForWindowExposed(setup.get());
            opened.push_back(setup->frameGeometry());
            EXPECT_TRUE(centred(*setup));
            setup->close();
        });
        form->BtnSetupClick();
    }
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], opened[1]);
}
