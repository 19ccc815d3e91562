// The chart's drawing canvas: pens, brushes and fonts as the chart's objects keep them, and the
// canvas classes TTeeCanvas > TCanvas3D > TTeeCanvas3D that draw the chart's picture.
//
// Pixel conventions (every primitive keeps them, whatever it draws on):
//  - coordinates are integer pixels;
//  - the right and bottom bound of a rectangle or ellipse box is excluded: Rectangle(10,10,13,13)
//    touches columns and rows 10..12;
//  - the end point of a line is not drawn: HorizLine(10,20,5) colours x = 10..19, and a polyline
//    draws every joint exactly once and leaves out its last point;
//  - pen mode pmNotXor turns each pixel into NOT(dst XOR pen): drawing the same figure twice
//    restores the picture exactly (every pixel of a figure is written once);
//  - a pen of style psClear (an invisible TChartPen) draws no outline, a brush of style bsClear
//    no fill;
//  - TextOut places the text by its top-left corner unless the alignment flags say otherwise,
//    draws without antialiasing, and fills the text cell with BackColor only in bmOpaque mode.
//
// One-pixel lines, polylines, dotted lines, rectangle outlines and fills are rasterised by this
// code straight into the image's scanlines (the paint library's own line rasteriser draws other
// end points and other interior pixels; see canvasraster.cpp). Polygons are rasterised here too:
// the outline with the same line rasteriser, the fill exactly the pixels the outline encloses
// (where edges cross, by the even-odd rule), every pixel written once. An ellipse is the paint
// library's aliased ellipse in the box, painted once per size into a scratch picture and then
// reused as spans (markers repeat one size thousands of times per picture); an ellipse in a flat
// box (a side of 5 pixels or less, where the library's ellipse does not reach all four sides)
// is walked here, so that it touches every side of its box and its fill is what its outline
// encloses. Wide diagonal pens, rotated text and text go through QPainter.
//
// Drawing surface. A canvas draws on one target at a time:
//  - an image (SetImageTarget), whose scanlines it writes directly: the off-screen bitmap of a
//    buffered paint, or any Format_RGB32 / Format_ARGB32(_Premultiplied) image a test supplies;
//  - an open QPainter (SetPainterTarget), for drawing straight onto a widget. QPainter can only
//    paint on a widget inside its paintEvent, so a widget's owner binds `QPainter p(this)` there
//    (BeginPaintBuffer/FlushPaintBuffer/ReDrawBitmap take that painter as the "window canvas").
//    Hand-rasterised spans are then emitted as one-row fillRect calls with the pen mode's
//    composition mode, so NOT-XOR works on the widget too (e.g. a zoom rubber band drawn over the
//    copied picture at the end of paintEvent).
// The canvas keeps the pointer to an image's pixels between calls only while the image is not
// shared and still holds those pixels (it checks both before every primitive and detaches a
// shared image first), so sharing or copying the image (Bitmap()) is always safe.
//
// Used only on the user-interface thread.
#pragma once

#include "chartdefs.h"

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QString>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>

class QPainter;

// ---------------------------------------------------------------------------------------------
// Pen, brush and font styles

enum ChartPenStyle : std::uint8_t {
    psSolid,
    psDash,
    psDot,
    psDashDot,
    psDashDotDot,
    psClear,
    psInsideFrame
};

/// Raster operations of the pen (result from pen colour P and screen pixel D).
enum ChartPenMode : std::uint8_t {
    pmBlack,       // 0
    pmWhite,       // 1
    pmNop,         // D
    pmNot,         // NOT D
    pmCopy,        // P
    pmNotCopy,     // NOT P
    pmMergePenNot, // P OR NOT D
    pmMaskPenNot,  // P AND NOT D
    pmMergeNotPen, // NOT P OR D
    pmMaskNotPen,  // NOT P AND D
    pmMerge,       // P OR D
    pmNotMerge,    // NOT (P OR D)
    pmMask,        // P AND D
    pmNotMask,     // NOT (P AND D)
    pmXor,         // P XOR D
    pmNotXor       // NOT (P XOR D)
};

enum ChartBrushStyle : std::uint8_t {
    bsSolid,
    bsClear,
    bsHorizontal,
    bsVertical,
    bsFDiagonal,
    bsBDiagonal,
    bsCross,
    bsDiagCross
};

/// Font style bits (combine with |).
enum ChartFontStyle : std::uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using ChartFontStyles = std::uint8_t;

/// Character sets a font may ask for; only recorded (Qt fonts are Unicode).
inline constexpr int DEFAULT_CHARSET = 1;
inline constexpr int RUSSIAN_CHARSET = 204;

/// Background mode for text cells and hatched brushes.
enum ChartBackMode : std::uint8_t { bmTransparent, bmOpaque };

/// Text alignment flags of TextOut (horizontal | vertical). 0 = left and top.
inline constexpr unsigned TA_LEFT = 0;
inline constexpr unsigned TA_RIGHT = 2;
inline constexpr unsigned TA_CENTER = 6;
inline constexpr unsigned TA_TOP = 0;
inline constexpr unsigned TA_BOTTOM = 8;
inline constexpr unsigned TA_BASELINE = 24;
inline constexpr unsigned TA_HORZMASK = 6;
inline constexpr unsigned TA_VERTMASK = 24;

/// Direction of a gradient fill.
enum TGradientDirection : std::uint8_t { gdTopBottom, gdBottomTop, gdLeftRight, gdRightLeft };

/// Font height in pixels of a point size at the 96 dpi the chart is laid out for:
/// -(points * 96 / 72) rounded, negative meaning "character height" (8 points -> -11).
int FontHeightForPoints(int points);

/// Maps "MS Sans Serif" and "Arial" to Liberation Sans (DejaVu Sans when Liberation Sans is not
/// installed) in Qt's font substitution table. Call once at start-up before any font is
/// resolved; calling it again is harmless.
void InstallChartFontSubstitutions();

// ---------------------------------------------------------------------------------------------
// The canvas' own pen, brush and font: plain state the next primitive uses. The chart's parts
// set these fields directly (canvas.Pen.Color = ...).

struct TCanvasPen {
    ChartColor Color = clBlack;
    int Width = 1;
    ChartPenStyle Style = psSolid;
    ChartPenMode Mode = pmCopy;
};

struct TCanvasBrush {
    ChartColor Color = clWhite;
    ChartBrushStyle Style = bsSolid;
};

/// Height < 0: character height in pixels (the font's pixel size); Height > 0: cell height in
/// pixels (taken as the pixel size too); 0: the default 13 pixels.
struct TCanvasFont {
    QString Name = QStringLiteral("MS Sans Serif");
    int Height = -13;
    ChartColor Color = clBlack;
    ChartFontStyles Style = 0;
    int Charset = DEFAULT_CHARSET;

    /// Point size at 96 dpi (derived from Height).
    int Size() const;
    void SetSize(int points) { Height = FontHeightForPoints(points); }
    bool operator==(const TCanvasFont &) const = default;
};

// ---------------------------------------------------------------------------------------------
// Pens, brushes and fonts of the chart's parts. Each setter stores a different value and then
// calls OnChange (the owner connects it to its chart's RequestRepaint).

class TChartPen
{
  public:
    explicit TChartPen(ChartColor color = clBlack, int width = 1, ChartPenStyle style = psSolid,
                       bool visible = true);
    virtual ~TChartPen() = default;
    TChartPen(const TChartPen &) = default;
    TChartPen &operator=(const TChartPen &) = default;

    ChartColor Color() const { return color_; }
    void SetColor(ChartColor c);
    int Width() const { return width_; }
    void SetWidth(int w);
    ChartPenStyle Style() const { return style_; }
    void SetStyle(ChartPenStyle s);
    ChartPenMode Mode() const { return mode_; }
    void SetMode(ChartPenMode m);
    bool Visible() const { return visible_; }
    void SetVisible(bool v);
    /// Copies colour, width, style, mode and Visible (one OnChange when anything differs).
    void Assign(const TChartPen &other);

    /// Called after a setter changed a value.
    std::function<void()> OnChange;

  protected:
    void Changed();

  private:
    ChartColor color_;
    int width_;
    ChartPenStyle style_;
    ChartPenMode mode_ = pmCopy;
    bool visible_;
};

/// A chart pen that is invisible until switched on.
class TChartHiddenPen : public TChartPen
{
  public:
    explicit TChartHiddenPen(ChartColor color = clBlack, int width = 1,
                             ChartPenStyle style = psSolid)
        : TChartPen(color, width, style, false)
    {
    }
};

class TChartBrush
{
  public:
    explicit TChartBrush(ChartColor color = AutoColor, ChartBrushStyle style = bsSolid)
        : color_(color), style_(style)
    {
    }

    ChartColor Color() const { return color_; }
    void SetColor(ChartColor c);
    ChartBrushStyle Style() const { return style_; }
    void SetStyle(ChartBrushStyle s);
    void Assign(const TChartBrush &other);

    std::function<void()> OnChange;

  private:
    void Changed();
    ChartColor color_;
    ChartBrushStyle style_;
};

/// A chart part's font ("Arial", 8 points, black unless the owner says otherwise).
class TChartFont
{
  public:
    explicit TChartFont(const QString &name = QStringLiteral("Arial"), int height = -11,
                        ChartColor color = clBlack, ChartFontStyles style = 0,
                        int charset = DEFAULT_CHARSET);

    const QString &Name() const { return f_.Name; }
    void SetName(const QString &n);
    int Height() const { return f_.Height; }
    void SetHeight(int h);
    int Size() const { return f_.Size(); }
    void SetSize(int points) { SetHeight(FontHeightForPoints(points)); }
    ChartColor Color() const { return f_.Color; }
    void SetColor(ChartColor c);
    ChartFontStyles Style() const { return f_.Style; }
    void SetStyle(ChartFontStyles s);
    int Charset() const { return f_.Charset; }
    void SetCharset(int c);
    void Assign(const TChartFont &other);
    const TCanvasFont &CanvasFont() const { return f_; }

    std::function<void()> OnChange;

  private:
    void Changed();
    TCanvasFont f_;
};

/// The chart's 3-D view settings (held by the panel, read by the canvas). With the chart in 2-D
/// none of them has an effect.
class TView3DOptions
{
  public:
    int Elevation() const { return elevation_; }
    void SetElevation(int v) { Set(elevation_, v); }
    int HorizOffset() const { return horizOffset_; }
    void SetHorizOffset(int v) { Set(horizOffset_, v); }
    int VertOffset() const { return vertOffset_; }
    void SetVertOffset(int v) { Set(vertOffset_, v); }
    bool Orthogonal() const { return orthogonal_; }
    void SetOrthogonal(bool v) { Set(orthogonal_, v); }
    int Perspective() const { return perspective_; }
    void SetPerspective(int v) { Set(perspective_, v); }
    int Rotation() const { return rotation_; }
    void SetRotation(int v) { Set(rotation_, v); }
    int Tilt() const { return tilt_; }
    void SetTilt(int v) { Set(tilt_, v); }
    int Zoom() const { return zoom_; }
    void SetZoom(int v) { Set(zoom_, v); }
    bool ZoomText() const { return zoomText_; }
    void SetZoomText(bool v) { Set(zoomText_, v); }

    std::function<void()> OnChange;

  private:
    template <class T> void Set(T &field, T v)
    {
        if (SetIfChanged(field, v) && OnChange)
            OnChange();
    }
    int elevation_ = 345;
    int horizOffset_ = 0;
    int vertOffset_ = 0;
    bool orthogonal_ = true;
    int perspective_ = 15;
    int rotation_ = 345;
    int tilt_ = 0;
    int zoom_ = 100;
    bool zoomText_ = true;
};

// ---------------------------------------------------------------------------------------------
// Canvas classes

class TTeeCanvas
{
  public:
    TTeeCanvas();
    virtual ~TTeeCanvas();
    TTeeCanvas(const TTeeCanvas &) = delete;
    TTeeCanvas &operator=(const TTeeCanvas &) = delete;

    // State the next primitive uses (set the fields directly).
    TCanvasPen Pen;
    TCanvasBrush Brush;
    TCanvasFont Font;

    // --- drawing target ---------------------------------------------------------------------
    /// Draw straight into `image` (not owned; it must stay the same object with the same data
    /// until the target changes: reassigning it meanwhile breaks the canvas' painter). The image
    /// must be Format_RGB32, Format_ARGB32 or Format_ARGB32_Premultiplied. Clears the clip.
    void SetImageTarget(QImage *image);
    /// Draw through an open painter (not owned), e.g. a widget's painter in its paintEvent.
    /// The painter's state (pen, brush, clip, composition mode) is changed freely. Clears the
    /// clip.
    void SetPainterTarget(QPainter *painter);
    /// No target: primitives do nothing, measurements still work.
    void ClearTarget();
    QImage *ImageTarget() const { return image_; }

    // --- state helpers ------------------------------------------------------------------------
    /// An invisible chart pen only clears the canvas pen's style; a visible one copies colour,
    /// width, style and mode.
    void LoadPen(const TChartPen &pen);
    /// Canvas brush := colour and style of the chart brush (AutoColor kept as it is).
    void AssignBrush(const TChartBrush &brush);
    /// Canvas font := the chart font.
    void AssignFont(const TChartFont &font);
    /// Pen black, width 1, solid, copy mode; brush white, solid; font black, size 10;
    /// background white, opaque; alignment left/top.
    void ResetCanvas();

    ChartColor BackColor() const { return backColor_; }
    void SetBackColor(ChartColor c) { backColor_ = c; }
    ChartBackMode BackMode() const { return backMode_; }
    void SetBackMode(ChartBackMode m) { backMode_ = m; }
    unsigned TextAlign() const { return textAlign_; }
    void SetTextAlign(unsigned flags) { textAlign_ = flags; }
    /// Current pen position (MoveTo, LineTo).
    PixelPoint PenPos() const { return penPos_; }

    // --- text measurement (current Font; 0 when the font cannot be measured) ----------------
    int TextWidth(const QString &text);
    int TextHeight(const QString &text);
    /// TextHeight("W"): the font's full line height, used as the row height.
    int FontHeight() { return TextHeight(QStringLiteral("W")); }
    /// The QFont the canvas draws the current Font with (no antialiasing, pixel size).
    const QFont &CurrentQFont();

    // --- primitives ---------------------------------------------------------------------------
    void MoveTo(int x, int y);
    /// Line from the pen position to (x, y), end point excluded; the pen position becomes (x, y).
    void LineTo(int x, int y);
    void Line(int x0, int y0, int x1, int y1);
    void HorizLine(int x0, int x1, int y);
    void VertLine(int x, int y0, int y1);
    /// Outline with the pen (unless psClear), filled with the brush (unless bsClear); the box
    /// x0..x1-1 by y0..y1-1 (corners may come in any order).
    void Rectangle(int x0, int y0, int x1, int y1);
    void Rectangle(const PixelRect &r) { Rectangle(r.Left, r.Top, r.Right, r.Bottom); }
    /// The box filled with the brush, no outline (bsClear: nothing).
    void FillRect(const PixelRect &r);
    /// Ellipse inscribed in the box x0..x1-1 by y0..y1-1.
    void Ellipse(int x0, int y0, int x1, int y1);
    void Ellipse(const PixelRect &r) { Ellipse(r.Left, r.Top, r.Right, r.Bottom); }
    /// Closed polygon, outlined with the pen and filled with the brush (alternate fill rule).
    void Polygon(std::span<const PixelPoint> points);
    void Polygon(std::initializer_list<PixelPoint> points)
    {
        Polygon(std::span<const PixelPoint>(points.begin(), points.size()));
    }
    /// Joined segments, each joint drawn once, the last point excluded. Pen position unchanged.
    void Polyline(std::span<const PixelPoint> points);
    void Polyline(std::initializer_list<PixelPoint> points)
    {
        Polyline(std::span<const PixelPoint>(points.begin(), points.size()));
    }
    /// Sets one pixel to `color` (copy mode, clipped).
    void SetPixel(int x, int y, ChartColor color);
    /// Reads one pixel of an image target (clBlack outside it or without an image target).
    ChartColor GetPixel(int x, int y) const;
    /// Text with the current font, alignment and background mode.
    void TextOut(int x, int y, const QString &text);
    /// Text rotated by `angle` degrees counter-clockwise about (x, y), its top-left corner
    /// (before rotation) at (x, y).
    void RotateLabel(int x, int y, const QString &text, double angle);
    /// `width` nested one-pixel frames, each drawn as two polylines (top-left colour along the
    /// left and top edges, bottom-right colour along the right and bottom), shrinking by one
    /// pixel per frame. The pen is left at width 1 in the last colour.
    void Frame3D(const PixelRect &r, ChartColor topLeft, ChartColor bottomRight, int width);
    /// At most 256 bands of colours interpolated from `startColor` to `endColor`.
    void GradientFill(const PixelRect &r, ChartColor startColor, ChartColor endColor,
                      TGradientDirection direction);
    /// Draws a picture with its top-left corner at (x, y).
    void Draw(int x, int y, const QImage &picture);
    /// Draws a picture stretched into the rectangle.
    void StretchDraw(const PixelRect &r, const QImage &picture);

    // --- clipping -----------------------------------------------------------------------------
    /// The rectangle (right and bottom excluded) becomes the clipping region.
    void ClipRectangle(const PixelRect &r);
    /// The clipping region becomes the whole target.
    void Unclip();

  protected:
    /// Ends a painter the canvas opened on its image target (before the image is reallocated or
    /// handed out for copying to a window).
    void EndImagePainter();

  private:
    struct Impl;
    std::unique_ptr<Impl> d_;
    QImage *image_ = nullptr;
    QPainter *painter_ = nullptr;
    std::optional<PixelRect> clip_;
    PixelPoint penPos_;
    ChartColor backColor_ = clWhite;
    ChartBackMode backMode_ = bmOpaque;
    unsigned textAlign_ = TA_LEFT | TA_TOP;
};

/// Adds the chart's 3-D view settings. In 2-D none of them is used.
class TCanvas3D : public TTeeCanvas
{
  protected:
    /// The view options of the chart (not owned; may be null).
    const TView3DOptions *view3DOptions_ = nullptr;
};

/// The chart's canvas: 3-D projection (identity while 3-D is off), clipping to the plot and the
/// off-screen bitmap of the buffered paint cycle:
///   paint request:  if (!ReDrawBitmap(&windowPainter)) {
///                       PixelRect r = BeginPaintBuffer(&windowPainter, opts, bounds, is3D);
///                       ... draw everything into r ...
///                       FlushPaintBuffer(&windowPainter, &windowPainter, {0, 0}); }
///   any change:     Invalidate() (BufferStale = true), then ask for a repaint.
///   resize:         SetBuffered(false); SetBuffered(true)  (frees the bitmap).
/// The "window canvas" arguments are a painter open on the widget; they may be null (tests,
/// benchmarks), in which case nothing is copied anywhere.
class TTeeCanvas3D : public TCanvas3D
{
  public:
    TTeeCanvas3D();
    ~TTeeCanvas3D() override;

    // --- 3-D switch and projection ------------------------------------------------------------
    bool Is3D() const { return is3D_; }
    void SetIs3D(bool on) { is3D_ = on; }
    /// Turns 3-D off for a while (legend, titles) and back on to its saved state.
    void Disable3D();
    void Restore3D();
    /// Sets the projection centre and depth for the plot (identity while 3-D is off).
    void Projection(int maxDepth, const PixelRect &bounds, const PixelRect &plot);
    /// Pixel of (x, y, z): (x, y) while 3-D is off.
    PixelPoint Project(int x, int y, int z) const;
    /// Inverse of Project for a known z.
    PixelPoint UnProject(int x, int y, int z) const;

    // --- clipping to the plot -----------------------------------------------------------------
    /// 2-D: ClipRectangle(left + 1, top + 1, right, bottom - 1).
    void ClipToPlot(const PixelRect &plot, int z0, int z1);

    // --- buffering ------------------------------------------------------------------------------
    bool Buffered() const { return buffered_; }
    /// Switching it changes the mode, frees the bitmap and marks the buffer stale.
    void SetBuffered(bool on);
    /// True until a buffered paint has been flushed; set again by Invalidate.
    bool BufferStale = true;
    void Invalidate() { BufferStale = true; }

    /// Starts a picture. Stores the options and the 3-D flag. Buffered: creates the bitmap of
    /// the bounds' size if there is none, draws into it and answers (0, 0, width, height).
    /// Otherwise draws on `window` and answers `bounds`.
    PixelRect BeginPaintBuffer(QPainter *window, const TView3DOptions *options,
                               const PixelRect &bounds, bool is3D);
    /// Buffered: copies the bitmap to `window` at `position` and clears BufferStale. In both
    /// cases drawing returns to `target` (the window).
    void FlushPaintBuffer(QPainter *window, QPainter *target, PixelPoint position);
    /// When the buffer is not stale: copies the bitmap to `window` at (0, 0) and answers true;
    /// otherwise answers false.
    bool ReDrawBitmap(QPainter *window);

    /// The off-screen bitmap (null until the first buffered paint).
    const QImage *Bitmap() const { return bitmap_.get(); }

  private:
    void FreeBitmap();

    bool is3D_ = false;
    bool saved3D_ = false;
    bool buffered_ = true;
    std::unique_ptr<QImage> bitmap_;
    // projection
    int centreX_ = 0, centreY_ = 0;
    int offsetCentreX_ = 0, offsetCentreY_ = 0;
    int halfDepth_ = 0;
    double zoom_ = 1.0;
};
