// The chart control: TCustomTeePanel (widget, margins, plot rectangle, buffered painting)
// > TCustomAxisPanel (series list, axes, layout order) > TCustomChart (titles, walls, legend,
// zoom and scroll) > TChart (the control the main window places on its graph tab).
//
// Painting model: every change of a series or a setting only calls RequestRepaint, which marks
// the canvas' off-screen picture stale and schedules one Qt paint (QWidget::update coalesces);
// the next paintEvent runs one complete drawing pass (DrawChart) or, when nothing changed,
// copies the off-screen picture. Drawing passes run at most at the screen's refresh rate: a
// change within one refresh interval of the last pass is drawn when the interval is over, so
// any number of changes in between still costs one pass (a measurement run with no pause
// changes the series hundreds of times a second). PaintNow draws at once regardless. The
// window background is never erased (Qt::WA_OpaquePaintEvent); the picture covers every pixel.
//
// "The window" is modelled by WindowImage(): the pixels the control shows. paintEvent copies
// it to the screen. The zoom rubber band is drawn on it directly in NOT-XOR (outside the
// off-screen picture), as a window-system control would draw on its own device context.
//
// Everything runs on the user-interface thread; nothing is locked.
#pragma once

#include "canvas.h"
#include "chartdefs.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QImage>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

class QTimer;
class TChartAxis;
class TChartSeries;
class TChartSeriesList;
class TChartLegend;
class TCustomAxisPanel;
class TCustomChart;

enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum PanelBevel { bvNone, bvLowered, bvRaised };
enum TPanningMode { pmNone, pmHorizontal, pmVertical, pmBoth };
enum TBackImageMode { pbmStretch, pbmTile, pbmCenter };

/// The part of the chart under a pixel (PartUnderMouse).
enum TChartClickedPartStyle { cpNone, cpLegend, cpAxis, cpSeries, cpTitle, cpFoot, cpChartRect };

struct TChartClickedPart {
    TChartClickedPartStyle Part = cpNone;
    int PointIndex = -1;             ///< cpSeries: the point (or segment start) hit
    TChartSeries *ASeries = nullptr; ///< cpSeries
    TChartAxis *AAxis = nullptr;     ///< cpAxis
};

/// A mouse drag: where it started (X0, Y0), the last position seen (X1, Y1).
struct TZoomPanningRecord {
    int X0 = 0;
    int Y0 = 0;
    int X1 = 0;
    int Y1 = 0;
    bool InProgress = false;
    /// Starts a drag at (x, y): X0 = X1 = x, Y0 = Y1 = y, InProgress.
    void Activate(int x, int y)
    {
        X0 = X1 = x;
        Y0 = Y1 = y;
        InProgress = true;
    }
};

/// The widget layer: margins, the drawing bounds, the plot rectangle, the canvas and the
/// buffered paint cycle.
class TCustomTeePanel : public QWidget
{
    Q_OBJECT
  public:
    explicit TCustomTeePanel(QWidget *parent = nullptr);
    ~TCustomTeePanel() override;

    // ---- Margins (percent of the drawing area's width or height); index 0..3 = L, T, R, B.
    int MarginLeft() const { return Margins_[0]; }
    int MarginTop() const { return Margins_[1]; }
    int MarginRight() const { return Margins_[2]; }
    int MarginBottom() const { return Margins_[3]; }
    void SetMarginLeft(int value) { SetMargin(0, value); }
    void SetMarginTop(int value) { SetMargin(1, value); }
    void SetMarginRight(int value) { SetMargin(2, value); }
    void SetMarginBottom(int value) { SetMargin(3, value); }
    int Margin(int index) const { return Margins_[index & 3]; }
    void SetMargin(int index, int value);

    /// Panel colour (the background fill); default clBtnFace.
    ChartColor Color() const { return Color_; }
    void SetColor(ChartColor value);
    PanelBevel BevelOuter() const { return BevelOuter_; }
    void SetBevelOuter(PanelBevel value);
    PanelBevel BevelInner() const { return BevelInner_; }
    void SetBevelInner(PanelBevel value);
    int BevelWidth() const { return BevelWidth_; }
    void SetBevelWidth(int value);
    int BorderWidth() const { return BorderWidth_; }
    void SetBorderWidth(int value);

    bool View3D() const { return View3D_; }
    void SetView3D(bool value);
    /// The 3-D view options (a change repaints).
    TView3DOptions &View3DOptions() { return View3DOptions_; }
    const TView3DOptions &View3DOptions() const { return View3DOptions_; }

    /// The drawing canvas (owns the off-screen picture).
    TTeeCanvas3D &Canvas() const { return *Canvas_; }

    /// Rectangle of the current drawing pass (the client rectangle, at (0, 0) when buffered).
    PixelRect ChartBounds;
    /// The plotting rectangle, set anew in every drawing pass. Readers: axes, series, legend,
    /// zoom. Write it through code that then calls RecalcPlotSize (the derived sizes below are
    /// computed from it on every call).
    PixelRect PlotRect;
    int PlotWidth() const { return PlotRect.Right - PlotRect.Left; }
    int PlotHeight() const { return PlotRect.Bottom - PlotRect.Top; }
    int PlotCenterX() const { return (PlotRect.Left + PlotRect.Right) / 2; }
    int PlotCenterY() const { return (PlotRect.Top + PlotRect.Bottom) / 2; }
    /// Keeps PlotRect inside ChartBounds' top-left and at least one pixel wide and high.
    void RecalcPlotSize();

    /// False during construction; RequestRepaint does nothing until it is set.
    bool Initialized() const { return Initialized_; }
    /// Marks the off-screen picture stale and schedules one paint. Nothing is drawn now.
    /// Ignored during a drawing pass: the pass already reflects the state it reads.
    void RequestRepaint();

    /// One complete drawing pass into the canvas' picture of the given bounds; the finished
    /// picture is copied into WindowImage at the bounds' top-left corner.
    virtual void DrawChart(const PixelRect &bounds);
    /// The drawing rectangle: the client rectangle.
    virtual PixelRect GetRectangle() const;

    /// Brings the window up to date at once (synchronously): a drawing pass when the picture
    /// is stale, else a copy of the picture; then the screen is refreshed with QWidget::repaint.
    void PaintNow();

    /// The pixels the control shows (the "window"): the last picture plus the rubber band.
    const QImage &WindowImage() const { return Window_; }

    /// Number of complete drawing passes run so far (for tests and benchmarks).
    int DrawCount() const { return DrawCount_; }
    /// Time spent in drawing passes so far, in nanoseconds (for benchmarks).
    qint64 DrawingNs() const { return DrawingNs_; }
    /// Called at the end of every drawing pass.
    std::function<void(TCustomTeePanel *)> OnAfterDraw;

    /// Zoom and pan drags (TCustomChart handles the mouse).
    TZoomPanningRecord ZoomDrag;
    TZoomPanningRecord PanDrag;

  protected:
    /// The drawing pass proper, between the canvas' begin and flush (supplied by the axis
    /// panel layer).
    virtual void PaintChartArea() = 0;
    /// Draws on the window after the picture was copied there (the rubber band).
    virtual void PaintOverlay() {}

    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    /// A changed palette changes what the system colours resolve to: the picture is redrawn.
    void changeEvent(QEvent *event) override;

    /// Refreshes WindowImage: a drawing pass when the picture is stale or of another size;
    /// otherwise the window already shows the picture.
    void UpdateWindowImage();
    /// Shortest time between the starts of two drawing passes from paint requests: one
    /// refresh interval of the chart's screen (60 Hz when the screen does not tell), or twenty
    /// times what the last new picture cost (drawing it, copying it into the window and the
    /// window's flush to the screen) when that is longer, so that showing the chart never
    /// takes more than about a twentieth of the time on a slow machine.
    qint64 FrameIntervalNs() const;

  public:
    /// Overrides the shortest time between two drawing passes (milliseconds; 0, the default,
    /// means one refresh interval of the screen).
    void SetFrameInterval(int ms) { FrameIntervalMs_ = ms; }

  protected:
    /// Switches RequestRepaint off for good (destruction).
    void StopRepainting() { Initialized_ = false; }

    QImage Window_;

  private:
    std::unique_ptr<TTeeCanvas3D> Canvas_;
    int Margins_[4] = {3, 4, 3, 4};
    ChartColor Color_ = clBtnFace;
    PanelBevel BevelOuter_ = bvRaised;
    PanelBevel BevelInner_ = bvNone;
    int BevelWidth_ = 1;
    int BorderWidth_ = 0;
    bool View3D_ = true;
    TView3DOptions View3DOptions_;
    bool Initialized_ = false;
    bool Painting_ = false;
    int DrawCount_ = 0;

    /// Asks Qt for a paint now, or when the refresh interval since the last pass is over.
    void ScheduleRepaint();
    /// True while the last drawing pass started less than a refresh interval ago.
    bool WithinFrameInterval() const;
    QElapsedTimer PassClock_;
    qint64 LastPassStartNs_ = -1;
    qint64 LastPassCostNs_ = 0;
    qint64 DrawingNs_ = 0;
    int FrameIntervalMs_ = 0;
    /// Fires when the refresh interval is over and a change is waiting to be drawn.
    QTimer *FrameTimer_ = nullptr;
};

/// The series and axes layer: holds the series list and the five axes and orders the layout.
class TCustomAxisPanel : public TCustomTeePanel
{
    Q_OBJECT
  public:
    explicit TCustomAxisPanel(QWidget *parent = nullptr);
    /// Frees every series still in the list, then the axes.
    ~TCustomAxisPanel() override;

    // ---- Series list ----
    TChartSeriesList &SeriesList() const { return *SeriesList_; }
    int SeriesCount() const;
    /// The series at the position; EListError ("List index out of bounds (%d)") outside.
    TChartSeries *SeriesAt(int index) const;
    int ActiveSeriesCount() const;
    /// Appends the series (the chart takes ownership). A series whose SeriesColor is AutoColor
    /// gets the first free palette colour. Nothing happens if it is already in the list.
    void AttachSeries(TChartSeries *series);
    /// Removes the series from the list (ownership goes back to the caller); its ParentChart
    /// becomes none. Nothing happens if it is not in the list.
    void DetachSeries(TChartSeries *series);

    // ---- Axes ----
    TChartAxis *LeftAxis() const { return LeftAxis_.get(); }
    TChartAxis *RightAxis() const { return RightAxis_.get(); }
    TChartAxis *TopAxis() const { return TopAxis_.get(); }
    TChartAxis *BottomAxis() const { return BottomAxis_.get(); }
    TChartAxis *DepthAxis() const { return DepthAxis_.get(); }

    // ---- Published settings ----
    bool AxisVisible() const { return AxisVisible_; }
    void SetAxisVisible(bool value);
    /// 1..100; otherwise ChartException "3D effect percent must be between 1 and 100".
    int Chart3DPercent() const { return Chart3DPercent_; }
    void SetChart3DPercent(int value);
    bool ClipPoints() const { return ClipPoints_; }
    void SetClipPoints(bool value);
    bool View3DWalls() const { return View3DWalls_; }
    void SetView3DWalls(bool value);
    /// >= 0; otherwise ChartException "MaxPointsPerPage must be >= 0".
    int MaxPointsPerPage() const { return MaxPointsPerPage_; }
    void SetMaxPointsPerPage(int value);
    int Page() const { return Page_; }
    virtual void SetPage(int value);
    bool ScaleLastPage() const { return ScaleLastPage_; }
    void SetScaleLastPage(bool value);

    /// Wall size of an axis: 0 unless 3-D with View3DWalls.
    virtual int AxisWallSize(const TChartAxis *axis) const = 0;
    /// True when no series of the chart has the colour and it is neither the panel Color nor
    /// (with checkBackground) the back colour. AttachSeries uses it for the palette choice.
    virtual bool IsFreeSeriesColor(ChartColor color, bool checkBackground) const = 0;
    /// The text the legend shows for a series: its Title, or "Series " + n when that is empty.
    virtual QString SeriesLegendText(const TChartSeries *series, int index) const;

  protected:
    /// Background, titles and legend, axis ranges and bands, margins, walls, axes, series,
    /// rubber band, in this order.
    void PaintChartArea() override;
    virtual void PaintWalls() = 0;
    virtual void PaintBackground(const PixelRect &rect) = 0;
    virtual void PaintTitlesAndLegend() = 0;
    virtual void AxisLayoutPass() = 0;
    virtual void MarginPass() = 0;
    /// DrawAxis on top, bottom, left, right (each only when shown).
    void PaintAxes();

  private:
    std::unique_ptr<TChartSeriesList> SeriesList_;
    std::unique_ptr<TChartAxis> LeftAxis_;
    std::unique_ptr<TChartAxis> RightAxis_;
    std::unique_ptr<TChartAxis> TopAxis_;
    std::unique_ptr<TChartAxis> BottomAxis_;
    std::unique_ptr<TChartAxis> DepthAxis_;
    bool AxisVisible_ = true;
    int Chart3DPercent_ = 15;
    bool ClipPoints_ = true;
    bool View3DWalls_ = true;
    int MaxPointsPerPage_ = 0;
    int Page_ = 1;
    bool ScaleLastPage_ = true;
};

/// Title or foot of the chart: lines of text, optionally framed and filled.
class TChartTitle
{
  public:
    explicit TChartTitle(TCustomAxisPanel *chart);
    ~TChartTitle();

    bool AdjustFrame() const { return AdjustFrame_; }
    void SetAdjustFrame(bool value);
    TAlignment Alignment() const { return Alignment_; }
    void SetAlignment(TAlignment value);
    /// Fill of the title box; colour AutoColor means no fill.
    TChartBrush &Brush() const { return *Brush_; }
    /// Text font ("Arial", 8 points, clBlue by default).
    TChartFont &Font() const { return *Font_; }
    /// Frame of the title box (hidden by default).
    TChartPen &Frame() const { return *Frame_; }
    const QStringList &Text() const { return Text_; }
    void SetText(const QStringList &value);
    bool Visible() const { return Visible_; }
    void SetVisible(bool value);

    /// The frame rectangle as last drawn.
    PixelRect TitleRect;

  private:
    TCustomAxisPanel *Chart_;
    bool AdjustFrame_ = true;
    TAlignment Alignment_ = taCenter;
    std::unique_ptr<TChartBrush> Brush_;
    std::unique_ptr<TChartFont> Font_;
    std::unique_ptr<TChartPen> Frame_;
    QStringList Text_;
    bool Visible_ = true;
};

/// A wall of the chart (back, left, bottom). In 2-D only the back wall is drawn.
class TChartWall
{
  public:
    TChartWall(TCustomAxisPanel *chart, ChartColor color);
    ~TChartWall();

    TChartBrush &Brush() const { return *Brush_; }
    ChartColor Color() const { return Color_; }
    void SetColor(ChartColor value);
    TChartPen &Pen() const { return *Pen_; }
    int Size() const { return Size_; }
    void SetSize(int value);

  private:
    TCustomAxisPanel *Chart_;
    std::unique_ptr<TChartBrush> Brush_;
    ChartColor Color_;
    std::unique_ptr<TChartPen> Pen_;
    int Size_ = 0;
};

/// Background gradient of the chart (off by default and in this system).
class TChartGradient
{
  public:
    explicit TChartGradient(TCustomAxisPanel *chart) : Chart_(chart) {}

    TGradientDirection Direction() const { return Direction_; }
    void SetDirection(TGradientDirection value);
    ChartColor EndColor() const { return EndColor_; }
    void SetEndColor(ChartColor value);
    ChartColor StartColor() const { return StartColor_; }
    void SetStartColor(ChartColor value);
    bool Visible() const { return Visible_; }
    void SetVisible(bool value);

  private:
    TCustomAxisPanel *Chart_;
    TGradientDirection Direction_ = gdTopBottom;
    ChartColor EndColor_ = clYellow;
    ChartColor StartColor_ = clWhite;
    bool Visible_ = false;
};

/// Saved state of one axis for ResetZoom.
struct TSavedAxis {
    bool Automatic = true;
    bool AutomaticMinimum = true;
    bool AutomaticMaximum = true;
    double Minimum = 0.0;
    double Maximum = 0.0;
};

/// The saved view: top, left, right and bottom axes.
struct TSavedAxes {
    TSavedAxis Top;
    TSavedAxis Left;
    TSavedAxis Right;
    TSavedAxis Bottom;
};

/// The chart layer: titles, walls, legend, gradient, background image, zoom and scroll.
class TCustomChart : public TCustomAxisPanel
{
    Q_OBJECT
  public:
    explicit TCustomChart(QWidget *parent = nullptr);
    ~TCustomChart() override;

    TChartTitle &Title() const { return *Title_; }
    TChartTitle &Foot() const { return *Foot_; }
    TChartGradient &Gradient() const { return *Gradient_; }
    TChartWall &BackWall() const { return *BackWall_; }
    TChartWall &LeftWall() const { return *LeftWall_; }
    TChartWall &BottomWall() const { return *BottomWall_; }
    TChartLegend &Legend() const { return *Legend_; }

    /// BackWall.Color; setting it also makes the back wall's brush solid.
    ChartColor BackColor() const;
    void SetBackColor(ChartColor value);
    /// The chart's frame: BackWall.Pen.
    TChartPen &Frame() const;

    const QImage &BackImage() const { return BackImage_; }
    void SetBackImage(const QImage &value);
    bool BackImageInside() const { return BackImageInside_; }
    void SetBackImageInside(bool value);
    TBackImageMode BackImageMode() const { return BackImageMode_; }
    void SetBackImageMode(TBackImageMode value);

    // ---- Zoom and scroll settings ----
    bool AllowZoom() const { return AllowZoom_; }
    void SetAllowZoom(bool value) { AllowZoom_ = value; }
    TPanningMode AllowPanning() const { return AllowPanning_; }
    void SetAllowPanning(TPanningMode value) { AllowPanning_ = value; }
    bool AnimatedZoom() const { return AnimatedZoom_; }
    void SetAnimatedZoom(bool value) { AnimatedZoom_ = value; }
    int AnimatedZoomSteps() const { return AnimatedZoomSteps_; }
    void SetAnimatedZoomSteps(int value) { AnimatedZoomSteps_ = value; }

    // ---- Events (none is assigned in this system) ----
    std::function<void()> OnZoom;
    std::function<void()> OnUndoZoom;
    std::function<void()> OnScroll;
    /// The ordinary mouse events, raised before the chart's own zoom and scroll handling.
    std::function<void(QMouseEvent *)> OnMouseDown;
    std::function<void(QMouseEvent *)> OnMouseMove;
    std::function<void(QMouseEvent *)> OnMouseUp;
    /// (axis, new minimum, allow, new maximum): may change the range or refuse the scroll.
    std::function<void(TChartAxis *, double &, bool &, double &)> OnAllowScroll;

    // ---- Zoom and scroll ----
    /// Zooms all four axes to the values under the pixel rectangle (corners in any order).
    virtual void ZoomToRect(const PixelRect &rect);
    /// Sets the four axes (animated when AnimatedZoom); the first zoom saves the view.
    virtual void ZoomToValues(double topMin, double topMax, double bottomMin, double bottomMax,
                              double leftMin, double leftMax, double rightMin, double rightMax);
    /// Returns to the view saved before the first zoom or pan; repaints. No animation.
    virtual void ResetZoom();
    /// Classifies a pixel: legend, series, axis, title, foot, plot or nothing.
    TChartClickedPart PartUnderMouse(int x, int y) const;

    TSavedAxes SavedAxes;
    /// True while SavedAxes holds nothing to restore.
    bool SavedAxesStale = true;

    int AxisWallSize(const TChartAxis *axis) const override;
    bool IsFreeSeriesColor(ChartColor color, bool checkBackground) const override;

    /// Places and draws a title (top) or foot (bottom), taking its band off PlotRect.
    void PaintTitle(TChartTitle &title, bool isFoot);
    /// Title at the top, then the foot, each when visible.
    void PaintTitles();

  protected:
    void PaintWalls() override;
    void PaintBackground(const PixelRect &rect) override;
    void PaintTitlesAndLegend() override;
    void AxisLayoutPass() override;
    void MarginPass() override;
    void PaintOverlay() override;

    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

    /// Draws the rubber band (ZoomDrag's rectangle) on the window in NOT-XOR; drawing it twice
    /// restores the window.
    void PaintRubberBand();

  private:
    void SaveAxesIfStale();
    void PanAxis(TChartAxis *axis, int fromPixel, int toPixel, bool &panned);

    std::unique_ptr<TChartTitle> Title_;
    std::unique_ptr<TChartTitle> Foot_;
    std::unique_ptr<TChartGradient> Gradient_;
    std::unique_ptr<TChartWall> BackWall_;
    std::unique_ptr<TChartWall> LeftWall_;
    std::unique_ptr<TChartWall> BottomWall_;
    std::unique_ptr<TChartLegend> Legend_;
    QImage BackImage_;
    bool BackImageInside_ = false;
    TBackImageMode BackImageMode_ = pbmStretch;
    bool AllowZoom_ = true;
    TPanningMode AllowPanning_ = pmBoth;
    bool AnimatedZoom_ = false;
    int AnimatedZoomSteps_ = 8;
    /// The chart's own cursor while a drag shows the arrow.
    QCursor ChartCursor_;
    bool CursorOverridden_ = false;
};

/// The chart control placed on forms. A new one is 400 x 250 pixels.
class TChart : public TCustomChart
{
    Q_OBJECT
  public:
    explicit TChart(QWidget *parent = nullptr);
};
