// What the canvas' two source files share: the conversion of chart colours to pixels, the
// paint library's composition mode of each pen mode, the painter the canvas opens on its image,
// and the canvas' private state (the image geometry, the cached marker shape, the font cache).
// canvas.cpp holds the canvas' drawing state, text and compound primitives; canvasraster.cpp
// the rasteriser of lines, rectangles, ellipses and polygons. Not part of the chart's interface.
#pragma once

#include "canvas.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace canvasdetail
{

/// Colours as pixels: system colours as the application palette has them now; marker values
/// (AutoColor, clNone) and other high-bit values keep only their colour bytes.
inline std::uint32_t Rgb(ChartColor c)
{
    if (IsSystemColor(c))
        c = ResolveSystemColor(c);
    return ChartColorToRgb(c & 0x00FFFFFFu);
}

/// The paint library's composition mode for a pen mode (copy and no-op: plain source-over).
QPainter::CompositionMode CompositionFor(ChartPenMode m);

/// The painter for what the paint library draws: the canvas' own painter on an image target
/// (opened on first use), else the target painter when it is open; null without either.
QPainter *LibraryPainter(QImage *image, QPainter *painter, std::unique_ptr<QPainter> &own);

struct ShapeRun {

    int y, x0, x1; // row, columns x0..x1-1 (relative to the shape's origin)
};

/// The last small shape rasterised (ellipse of one size, polygon of one form), as runs.
struct ShapeCache {
    enum Kind { None, EllipseShape, PolygonShape } kind = None;
    std::vector<PixelPoint> key;
    ChartPenStyle style = psSolid;
    std::vector<ShapeRun> outline, fill;
    /// Bounding box of the runs (right and bottom excluded), relative like the runs.
    PixelRect bounds;

    /// Sets bounds from the runs (after they were rebuilt); all zero without any pixel.
    void UpdateBounds()
    {
        bounds = PixelRect{};
        bool any = false;
        for (const auto *runs : {&outline, &fill})
            for (const ShapeRun &run : *runs) {
                if (run.x0 >= run.x1)
                    continue;
                if (!any) {
                    bounds = PixelRect{run.x0, run.y, run.x1, run.y + 1};
                    any = true;
                }
                bounds.Left = std::min(bounds.Left, run.x0);
                bounds.Top = std::min(bounds.Top, run.y);
                bounds.Right = std::max(bounds.Right, run.x1);
                bounds.Bottom = std::max(bounds.Bottom, run.y + 1);
            }
    }
};

/// Geometry of the image target, read once per SetImageTarget (the image must not be
/// reassigned while it is the target). The pixel pointer is checked per primitive.
struct ImageGeometry {
    bool ok = false;
    int w = 0, h = 0;
    qsizetype stride = 0;
    /// The pixels the last primitive wrote (null until the first one).
    std::uint32_t *bits = nullptr;
};

} // namespace canvasdetail

struct TTeeCanvas::Impl {
    canvasdetail::ImageGeometry geometry;
    canvasdetail::ShapeCache shape;
    // Font cache
    bool fontValid = false;
    TCanvasFont fontKey;
    QFont qfont;
    std::optional<QFontMetrics> metrics;
    // Painter opened by the canvas on its image target (text, ellipses with wide pens, ...).
    std::unique_ptr<QPainter> imagePainter;
    // Scratch buffers reused between calls.
    std::vector<std::uint8_t> mask;
    std::vector<int> stack;
    std::vector<double> crossings;
    std::vector<PixelPoint> points;
};
