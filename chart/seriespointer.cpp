#include "seriespointer.h"

#include "series.h"

TSeriesPointer::TSeriesPointer(TChartSeries *owner)
    : Owner_(owner), Brush_(AutoColor, bsSolid), Pen_(clBlack, 1, psSolid, true)
{
    Brush_.OnChange = [this] { Changed(); };
    Pen_.OnChange = [this] { Changed(); };
}

TSeriesPointer::~TSeriesPointer() = default;

void TSeriesPointer::Changed()
{
    if (Owner_)
        Owner_->RequestRepaint();
}

void TSeriesPointer::SetDraw3D(bool value)
{
    if (SetIfChanged(Draw3D_, value))
        Changed();
}

void TSeriesPointer::SetHorizSize(int value)
{
    if (value < 1)
        throw ChartException("Pointer size must be greater than zero");
    if (SetIfChanged(HorizSize_, value))
        Changed();
}

void TSeriesPointer::SetVertSize(int value)
{
    if (value < 1)
        throw ChartException("Pointer size must be greater than zero");
    if (SetIfChanged(VertSize_, value))
        Changed();
}

void TSeriesPointer::SetInflateMargins(bool value)
{
    if (SetIfChanged(InflateMargins_, value))
        Changed();
}

void TSeriesPointer::SetStyle(TSeriesPointerStyle value)
{
    if (SetIfChanged(Style_, value))
        Changed();
}

void TSeriesPointer::SetVisible(bool value)
{
    if (SetIfChanged(Visible_, value))
        Changed();
}

void TSeriesPointer::DrawShape(TTeeCanvas3D &canvas, TSeriesPointerStyle style, int x, int y, int h,
                               int v, ChartColor color)
{
    const int L = x - h;
    const int R = x + h;
    const int T = y - v;
    const int B = y + v;
    switch (style) {
    case psRectangle:
        canvas.Rectangle(L, T, R + 1, B + 1);
        break;
    case psCircle:
        canvas.Ellipse(L, T, R, B);
        break;
    case psTriangle:
        canvas.Polygon({PixelPoint{L, B}, PixelPoint{R, B}, PixelPoint{x, T}});
        break;
    case psDownTriangle:
        canvas.Polygon({PixelPoint{L, T}, PixelPoint{R, T}, PixelPoint{x, B}});
        break;
    case psCross:
        canvas.Pen.Color = color;
        canvas.VertLine(x, T, B + 1);
        canvas.HorizLine(L, R + 1, y);
        break;
    case psDiagCross:
        canvas.Pen.Color = color;
        canvas.Line(L, T, R + 1, B + 1);
        canvas.Line(R, T, L - 1, B + 1);
        break;
    case psStar:
        DrawShape(canvas, psCross, x, y, h, v, color);
        DrawShape(canvas, psDiagCross, x, y, h, v, color);
        break;
    case psDiamond:
        canvas.Polygon({PixelPoint{L, y}, PixelPoint{x, T}, PixelPoint{R, y}, PixelPoint{x, B}});
        break;
    case psSmallDot:
        canvas.SetPixel(x, y, color);
        break;
    }
}
