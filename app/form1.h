// The main window TForm1: three tabs (measurements, graph, archiving), the
// readings grid, the chart of the first eight points, and the measurement run
// that Start performs inside its click handler.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QToolButton;
class TChart;
class TChartSeries;
class TFormSetup;
class TLineSeries;
class TTextGrid;

class TForm1 : public QWidget
{
    Q_OBJECT

  public:
    /// Builds the window and runs FormCreate (grid headers, speed item 5 applied).
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    // Tab control and pages.
    QTabWidget *PageControl1 = nullptr;
    QWidget *TabSheet1 = nullptr;
    QWidget *TabSheet2 = nullptr;
    QWidget *TabSheet3 = nullptr;

    // Tab 1: measurements.
    QPushButton *BtnStart = nullptr;
    QPushButton *BtnStop = nullptr;
    QComboBox *BoxSpeed = nullptr;
    TTextGrid *SG = nullptr;
    QPushButton *BtnSetup = nullptr;

    // Tab 2: graph.
    TChart *Chart = nullptr;
    std::array<TLineSeries *, 8> Series{};
    std::array<QCheckBox *, 8> CheckBoxes{};
    QPushButton *BtnClear = nullptr;
    QPushButton *BtnZoomUndo = nullptr;

    // Tab 3: archiving.
    QGroupBox *GroupBox1 = nullptr;
    QCheckBox *EnExcel = nullptr;
    QLabel *Label1 = nullptr;
    QLineEdit *FileName = nullptr;
    QToolButton *SelFileName = nullptr;
    QCheckBox *ExcelVisible = nullptr;

    /// The setup window; main() creates it after this window and hands it over.
    TFormSetup *FormSetup = nullptr;

    /// Shows the modal error dialog of a failed port opening. Replaceable so
    /// that tests (and only they) can answer it without a modal loop.
    std::function<void(const QString &text)> ShowErrorDialog;
    /// Asks for a workbook file name starting from `current`; empty = cancelled.
    /// Replaceable for tests; the default runs a save-file dialog.
    std::function<QString(const QString &current)> ChooseFileName;

    /// True while BtnStartClick is inside a run.
    bool RunActive() const { return runActive_; }

    // Handlers, named after control and event.
    void FormCreate();
    void FormClose();
    void BoxSpeedChange();
    void BtnStartClick();
    void BtnStopClick();
    void BtnSetupClick();
    void CheckBox1Click(QCheckBox *sender);
    void BtnClearClick();
    void BtnZoomUndoClick();
    void EnExcelClick();
    void SelFileNameClick();
    void ExcelVisibleClick();
    // The spreadsheet application's window was closed by hand: the box says it is hidden.
    void ExcelWindowClosed();
    /// Enables or disables the run's inputs (Start, Setup, speed, the archive settings).
    void EnDis(bool enable);

    /// The series plotted for point j (0..7) through the chart's series list.
    TChartSeries *SeriesOf(int j) const;

    // The workbook archive's operations on this window (they hand the archive the
    // window's controls): opened at the start of a run, one row per pass, closed at its end.
    void OpenExcel();
    void SaveExcel();
    void CloseExcel();

  protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

  private:
    void buildMeasurementsTab();
    void buildGraphTab();
    void buildArchiveTab();
    void ConfigureChart();
    void InstallArchiveHost();
    void setTabOrderOfControls();
    QString showSaveDialog(const QString &current);
    void showErrorBox(const QString &text);
    void runPasses();
    void feedChart();
    void pause(double atLeastDays);

    bool runActive_ = false;
};
