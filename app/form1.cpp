#include "form1.h"

#include "eventwait.h"
#include "excelarchive.h"
#include "formsetup.h"
#include "icons.h"
#include "morecom.h"
#include "panel.h"
#include "series.h"
#include "settings.h"
#include "textgrid.h"
#include "windowplacement.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRegion>
#include <QTabWidget>
#include <QToolButton>
#include <qdrawutil.h>

namespace
{

// The window font: "MS Sans Serif" 13 pixels high (the chart's font substitution maps
// the name to an installed sans font).
QFont WindowFont()
{
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setPixelSize(13);
    // Set explicitly, so that a control inside a bold parent stays plain.
    f.setBold(false);
    return f;
}

QFont BoldFont()
{
    QFont f = WindowFont();
    f.setBold(true);
    return f;
}

// A group box drawn as the layout places its controls: the frame's top edge runs through the
// middle of the caption line, the caption sits on it eight pixels from the left, and the
// controls' positions count from the box's top-left corner. (The desktop style would draw the
// caption above the frame and the frame a caption line lower, through the first control.)
class CaptionOnFrameGroupBox : public QGroupBox
{
  public:
    using QGroupBox::QGroupBox;

  protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        const QFontMetrics fm(font());
        const QRect caption(8, 0, fm.horizontalAdvance(title()), fm.height());
        // An etched frame (a dark and a light line), broken where the caption stands so that
        // the page's own background shows behind the text.
        p.setClipRegion(QRegion(rect()) - QRegion(caption));
        qDrawShadeRect(&p, rect().adjusted(0, fm.height() / 2, 0, 0), palette(), true, 1);
        p.setClipping(false);
        p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                 QPalette::WindowText));
        p.drawText(caption, Qt::AlignLeft | Qt::AlignVCenter, title());
    }
};

} // namespace

TForm1::TForm1(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("  PTK71"));
    setWindowIcon(ProgramIcon());
    // Single border, system menu and minimise only, always on top.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    setFixedSize(487, 344);
    setFont(WindowFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);
    setAutoFillBackground(true);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(8, 8, 473, 329);
    TabSheet1 = new QWidget;
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    TabSheet2 = new QWidget;
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    TabSheet3 = new QWidget;
    TabSheet3->setObjectName(QStringLiteral("TabSheet3"));
    PageControl1->addTab(TabSheet1, QStringLiteral("Измерения"));
    PageControl1->addTab(TabSheet2, QStringLiteral("График"));
    PageControl1->addTab(TabSheet3, QStringLiteral("Архивация"));
    PageControl1->setCurrentIndex(0);

    buildMeasurementsTab();
    buildGraphTab();
    buildArchiveTab();
    setTabOrderOfControls();

    ShowErrorDialog = [this](const QString &text) { showErrorBox(text); };
    ChooseFileName = [this](const QString &current) { return showSaveDialog(current); };

    // The device link waits in the event loop: the window's events, the port and the
    // deadline wake it, nothing else.
    MoreCOM::SetEventHook(QtEventWait);

    InstallArchiveHost();

    // Centred on the screen, title bar and frame included.
    CentreOnScreen(this);

    FormCreate();
}

TForm1::~TForm1()
{
    MoreCOM::SetEventHook({});
    SetArchiveHost({});
}

void TForm1::buildMeasurementsTab()
{
    BtnStart = new QPushButton(QStringLiteral("Пуск"), TabSheet1);
    BtnStart->setObjectName(QStringLiteral("BtnStart"));
    BtnStart->setGeometry(8, 263, 57, 25);
    BtnStart->setCursor(Qt::PointingHandCursor);
    connect(BtnStart, &QPushButton::clicked, this, [this] { BtnStartClick(); });

    BtnStop = new QPushButton(QStringLiteral("Останов."), TabSheet1);
    BtnStop->setObjectName(QStringLiteral("BtnStop"));
    BtnStop->setGeometry(72, 263, 81, 25);
    BtnStop->setDefault(true);
    connect(BtnStop, &QPushButton::clicked, this, [this] { BtnStopClick(); });

    BoxSpeed = new QComboBox(TabSheet1);
    BoxSpeed->setObjectName(QStringLiteral("BoxSpeed"));
    BoxSpeed->setGeometry(208, 263, 113, 24);
    BoxSpeed->setFont(BoldFont());
    BoxSpeed->setEditable(false);
    BoxSpeed->setToolTip(QStringLiteral("Скорость обмена с прибором"));
    BoxSpeed->addItems({QStringLiteral("   300 бод"), QStringLiteral("   600 бод"),
                        QStringLiteral("  1200 бод"), QStringLiteral("  2400 бод"),
                        QStringLiteral("  4800 бод"), QStringLiteral("  9600 бод"),
                        QStringLiteral(" 19200 бод")});
    // Only the operator's choice runs the handler; code that sets the index calls it itself.
    connect(BoxSpeed, &QComboBox::activated, this, [this](int) { BoxSpeedChange(); });

    SG = new TTextGrid(TabSheet1);
    SG->setObjectName(QStringLiteral("SG"));
    SG->setGeometry(96, 8, 249, 237);
    SG->setFont(BoldFont());
    SG->SetColCount(2);
    SG->SetRowCount(9);
    SG->SetDefaultColWidth(110);
    SG->SetDefaultRowHeight(25);
    SG->setShowGrid(true);
    SG->setEditTriggers(QAbstractItemView::NoEditTriggers);
    SG->setSelectionMode(QAbstractItemView::NoSelection);
    SG->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SG->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    SG->setFocusPolicy(Qt::NoFocus);
    SG->setVisible(false);

    BtnSetup = new QPushButton(QStringLiteral("Настройка"), TabSheet1);
    BtnSetup->setObjectName(QStringLiteral("BtnSetup"));
    BtnSetup->setGeometry(368, 263, 89, 25);
    connect(BtnSetup, &QPushButton::clicked, this, [this] { BtnSetupClick(); });
}

void TForm1::buildGraphTab()
{
    Chart = new TChart(TabSheet2);
    Chart->setObjectName(QStringLiteral("Chart"));
    Chart->setGeometry(0, 1, 465, 288);
    ConfigureChart();

    for (int i = 0; i < 8; ++i) {
        auto *box = new QCheckBox(QString::number(i + 1), TabSheet2);
        box->setObjectName(QStringLiteral("CheckBox%1").arg(i + 1));
        box->setGeometry(432, 168 + 16 * i, 33, 17);
        box->setChecked(true);
        box->setProperty("Tag", i);
        connect(box, &QCheckBox::clicked, this, [this, box] { CheckBox1Click(box); });
        CheckBoxes[i] = box;
    }

    BtnClear = new QPushButton(QStringLiteral("Clear"), TabSheet2);
    BtnClear->setObjectName(QStringLiteral("BtnClear"));
    BtnClear->setGeometry(306, 1, 63, 19);
    BtnClear->setFocusPolicy(Qt::NoFocus);
    connect(BtnClear, &QPushButton::clicked, this, [this] { BtnClearClick(); });

    BtnZoomUndo = new QPushButton(QStringLiteral("ZoomUndo"), TabSheet2);
    BtnZoomUndo->setObjectName(QStringLiteral("BtnZoomUndo"));
    BtnZoomUndo->setGeometry(382, 1, 81, 19);
    BtnZoomUndo->setDefault(true);
    connect(BtnZoomUndo, &QPushButton::clicked, this, [this] { BtnZoomUndoClick(); });
}

void TForm1::buildArchiveTab()
{
    GroupBox1 = new CaptionOnFrameGroupBox(QStringLiteral(" Excel "), TabSheet3);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(8, 80, 449, 113);
    // The group's caption is bold blue; its controls keep the plain window font and colour.
    const QPalette plainPalette = palette();
    QPalette bluePalette = plainPalette;
    bluePalette.setColor(QPalette::WindowText, Qt::blue);
    GroupBox1->setPalette(bluePalette);
    GroupBox1->setFont(BoldFont());
    auto plain = [&](QWidget *w) {
        w->setFont(WindowFont());
        w->setPalette(plainPalette);
    };

    EnExcel = new QCheckBox(QStringLiteral("Сохранение данных в Excel"), GroupBox1);
    EnExcel->setObjectName(QStringLiteral("EnExcel"));
    EnExcel->setGeometry(104, 16, 233, 17);
    EnExcel->setChecked(false);
    plain(EnExcel);
    connect(EnExcel, &QCheckBox::clicked, this, [this] { EnExcelClick(); });

    Label1 = new QLabel(QStringLiteral("Имя файла"), GroupBox1);
    Label1->setObjectName(QStringLiteral("Label1"));
    plain(Label1);
    Label1->move(18, 43);
    Label1->adjustSize();

    FileName = new QLineEdit(QDir::homePath() + QStringLiteral("/PROBA.xlsx"), GroupBox1);
    FileName->setObjectName(QStringLiteral("FileName"));
    FileName->setGeometry(104, 40, 249, 24);
    FileName->setEnabled(false);
    plain(FileName);

    SelFileName = new QToolButton(GroupBox1);
    SelFileName->setObjectName(QStringLiteral("SelFileName"));
    SelFileName->setGeometry(368, 40, 23, 22);
    SelFileName->setAutoRaise(true);
    SelFileName->setIcon(FolderGlyph());
    SelFileName->setIconSize(QSize(16, 16));
    SelFileName->setEnabled(false);
    SelFileName->setFocusPolicy(Qt::NoFocus);
    connect(SelFileName, &QToolButton::clicked, this, [this] { SelFileNameClick(); });

    ExcelVisible = new QCheckBox(QStringLiteral("Показывать Excel"), GroupBox1);
    ExcelVisible->setObjectName(QStringLiteral("ExcelVisible"));
    ExcelVisible->setGeometry(104, 80, 193, 17);
    ExcelVisible->setChecked(true);
    ExcelVisible->setEnabled(false);
    plain(ExcelVisible);
    connect(ExcelVisible, &QCheckBox::clicked, this, [this] { ExcelVisibleClick(); });
}

void TForm1::setTabOrderOfControls()
{
    setTabOrder(BtnStart, BtnStop);
    setTabOrder(BtnStop, BoxSpeed);
    setTabOrder(BoxSpeed, BtnSetup);
}

// ---------------------------------------------------------------------------------------
// Window-level handlers

void TForm1::FormCreate()
{
    SG->SetCells(0, 0, QStringLiteral("  Точка"));
    SG->SetCells(1, 0, QStringLiteral("  Значения"));
    BoxSpeed->setCurrentIndex(5);
    BoxSpeedChange();
}

void TForm1::FormClose()
{
    MoreCOM::StopFlag = 1;
    // A failed write is reported by the settings library on standard error; the
    // window closes regardless.
    SaveSpeed(BoxSpeed->currentIndex());
}

void TForm1::closeEvent(QCloseEvent *event)
{
    FormClose();
    event->accept();
    // This is the main window: closing it ends the program even while another window (the
    // workbook viewer) is open. A run in progress unwinds first, since the event loop only
    // sees the request once the Start handler has returned.
    QCoreApplication::quit();
}

// Enter clicks the focused push button, else the default button of the tab shown
// (Stop on the measurements tab, ZoomUndo on the graph tab), when it can take focus.
void TForm1::keyPressEvent(QKeyEvent *event)
{
    if (event->modifiers() == Qt::NoModifier &&
        (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        if (auto *focused = qobject_cast<QPushButton *>(focusWidget())) {
            if (focused->isEnabled()) {
                focused->click();
                return;
            }
        }
        QPushButton *target = nullptr;
        if (PageControl1->currentWidget() == TabSheet1)
            target = BtnStop;
        else if (PageControl1->currentWidget() == TabSheet2)
            target = BtnZoomUndo;
        if (target && target->isEnabled() && target->isVisible()) {
            target->click();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

// ---------------------------------------------------------------------------------------
// Small handlers

void TForm1::BoxSpeedChange()
{
    MoreCOM::ApplySpeed(BoxSpeed->currentIndex());
}

void TForm1::BtnSetupClick()
{
    if (FormSetup)
        FormSetup->exec();
}

TChartSeries *TForm1::SeriesOf(int j) const
{
    return Chart->SeriesAt(j);
}

void TForm1::CheckBox1Click(QCheckBox *sender)
{
    const int tag = sender->property("Tag").toInt();
    SeriesOf(tag)->SetActive(sender->isChecked());
}

void TForm1::BtnClearClick()
{
    for (int j = 0; j < 8; ++j)
        SeriesOf(j)->ClearPoints();
}

void TForm1::BtnZoomUndoClick()
{
    Chart->ResetZoom();
}

void TForm1::EnExcelClick()
{
    const bool on = EnExcel->isChecked();
    FileName->setEnabled(on);
    SelFileName->setEnabled(on);
    ExcelVisible->setEnabled(on);
}

void TForm1::SelFileNameClick()
{
    const QString chosen = ChooseFileName(FileName->text());
    if (!chosen.isEmpty())
        FileName->setText(chosen);
}

QString TForm1::showSaveDialog(const QString &current)
{
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setDefaultSuffix(QStringLiteral("xlsx"));
    dialog.setNameFilters(
        {QStringLiteral("Файлы Excel  (*.xlsx)"), QStringLiteral("Все файлы  (*.*)")});
    const QFileInfo info(current);
    dialog.setDirectory(info.absolutePath());
    dialog.selectFile(info.fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

void TForm1::EnDis(bool enable)
{
    BtnStart->setEnabled(enable);
    BtnSetup->setEnabled(enable);
    BoxSpeed->setEnabled(enable);
    EnExcel->setEnabled(enable);
    if (EnExcel->isChecked()) {
        FileName->setEnabled(enable);
        SelFileName->setEnabled(enable);
        ExcelVisible->setEnabled(true);
    } else {
        FileName->setEnabled(false);
        SelFileName->setEnabled(false);
        ExcelVisible->setEnabled(false);
    }
}

void TForm1::showErrorBox(const QString &text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Cancel,
                    this);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    box.adjustSize();
    CentreOnScreen(&box);
    box.exec();
}
