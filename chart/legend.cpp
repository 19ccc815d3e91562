// Placement and drawing of the chart's legend.
#include "legend.h"

#include "axis.h"
#include "panel.h"
#include "series.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

namespace
{

} // namespace

TChartLegend::TChartLegend(TCustomChart *chart)
    : Chart_(chart), DividingLines_(std::make_unique<TChartHiddenPen>()),
      Font_(std::make_unique<TChartFont>()),
      Frame_(std::make_unique<TChartPen>(clBlack, 1, psSolid, true))
{
    auto notify = [this] { Changed(); };
    DividingLines_->OnChange = notify;
    Font_->OnChange = notify;
    Frame_->OnChange = notify;
}

TChartLegend::~TChartLegend() = default;

void TChartLegend::Changed()
{
    Chart_->RequestRepaint();
}

void TChartLegend::SetAlignment(TLegendAlignment value)
{
    if (SetIfChanged(Alignment_, value))
        Changed();
}

void TChartLegend::SetColor(ChartColor value)
{
    if (SetIfChanged(Color_, value))
        Changed();
}

void TChartLegend::SetColorWidth(int value)
{
    if (value < 0 || value > 100)
        throw LegendException("Legend Color Width must be between 0 and 100 %");
    if (SetIfChanged(ColorWidth_, value))
        Changed();
}

void TChartLegend::SetFirstValue(int value)
{
    if (value < 0)
        throw LegendException("First Legend Value must be > 0");
    if (SetIfChanged(FirstValue_, value))
        Changed();
}

void TChartLegend::SetHorizMargin(int value)
{
    if (SetIfChanged(HorizMargin_, value))
        Changed();
}

void TChartLegend::SetInverted(bool value)
{
    if (SetIfChanged(Inverted_, value))
        Changed();
}

void TChartLegend::SetLegendStyle(TLegendStyle value)
{
    if (SetIfChanged(LegendStyle_, value))
        Changed();
}

void TChartLegend::SetResizeChart(bool value)
{
    if (SetIfChanged(ResizeChart_, value))
        Changed();
}

void TChartLegend::SetShadowColor(ChartColor value)
{
    if (SetIfChanged(ShadowColor_, value))
        Changed();
}

void TChartLegend::SetShadowSize(int value)
{
    if (SetIfChanged(ShadowSize_, value))
        Changed();
}

void TChartLegend::SetTextStyle(TLegendTextStyle value)
{
    if (SetIfChanged(TextStyle_, value))
        Changed();
}

void TChartLegend::SetTopPos(int value)
{
    if (value < 0 || value > 100)
        throw LegendException("Top Legend Position must be between 0 and 100 %");
    if (SetIfChanged(TopPos_, value))
        Changed();
}

void TChartLegend::SetVertMargin(int value)
{
    if (SetIfChanged(VertMargin_, value))
        Changed();
}

void TChartLegend::SetVisible(bool value)
{
    if (SetIfChanged(Visible_, value))
        Changed();
}

// ---------------------------------------------------------------------------------------------
// Items

TLegendStyle TChartLegend::ResolvedStyle() const
{
    if (LegendStyle_ != lsAuto)
        return LegendStyle_;
    return Chart_->ActiveSeriesCount() < 2 ? lsValues : lsSeries;
}

namespace
{

/// The first active series of the chart, or null.
TChartSeries *FirstActiveSeries(const TCustomChart &chart)
{
    for (TChartSeries *s : chart.SeriesList())
        if (s->Active())
            return s;
    return nullptr;
}

} // namespace

int TChartLegend::LegendItemCount() const
{
    int count = 0;
    if (ResolvedStyle() == lsValues) {
        const TChartSeries *s = FirstActiveSeries(*Chart_);
        if (s && s->ShowInLegend())
            count = s->PointCount();
    } else {
        for (const TChartSeries *s : Chart_->SeriesList())
            if (s->Active() && s->ShowInLegend())
                ++count;
    }
    return std::max(0, count - FirstValue_);
}

TChartSeries *TChartLegend::LegendSeries(int n) const
{
    if (n < 0)
        return nullptr;
    for (TChartSeries *s : Chart_->SeriesList()) {
        if (!s->Active() || !s->ShowInLegend())
            continue;
        if (n == 0)
            return s;
        --n;
    }
    return nullptr;
}

QString TChartLegend::ValueItemText(int n) const
{
    const TChartSeries *s = FirstActiveSeries(*Chart_);
    if (!s || n < 0 || n >= s->PointCount())
        return QString();
    const QLocale locale;
    const QString label = s->PointLabel(n);
    auto value = [&](double v) { return TChartAxis::FormatValue(v, s->ValueFormat(), locale); };
    auto join = [](const QString &a, const QString &b) {
        if (a.isEmpty())
            return b;
        if (b.isEmpty())
            return a;
        return a + QLatin1Char(' ') + b;
    };
    auto percent = [&] {
        const double sum = s->YValues()->AbsValueSum();
        const double p = sum != 0.0 ? 100.0 * std::abs(s->YValueAt(n)) / sum : 0.0;
        QString format = s->PercentFormat();
        const bool hasSign = format.endsWith(QLatin1Char('%'));
        if (hasSign)
            format = format.left(format.size() - 1).trimmed();
        return TChartAxis::FormatValue(p, format, locale) +
               (hasSign ? QStringLiteral(" %") : QString());
    };
    switch (TextStyle_) {
    case ltsPlain:
        return label;
    case ltsLeftValue:
        return join(value(s->YValueAt(n)), label);
    case ltsRightValue:
        return join(label, value(s->YValueAt(n)));
    case ltsLeftPercent:
        return join(percent(), label);
    case ltsRightPercent:
        return join(label, percent());
    case ltsXValue:
        return value(s->XValueAt(n));
    }
    return label;
}

QString TChartLegend::LegendText(int n) const
{
    const TLegendStyle style = ResolvedStyle();
    QString text;
    if (style == lsValues)
        text = ValueItemText(n);
    else
        text = Chart_->SeriesLegendText(LegendSeries(n), n);
    if (OnGetLegendText)
        OnGetLegendText(style, n, text);
    return text;
}

int TChartLegend::MaxLegendTextWidth(int k) const
{
    TTeeCanvas3D &canvas = Chart_->Canvas();
    canvas.AssignFont(*Font_);
    const int count = k < 0 ? LegendItemCount() : k;
    int widest = 0;
    for (int n = FirstValue_; n < FirstValue_ + count; ++n)
        widest = std::max(widest, canvas.TextWidth(LegendText(n)));
    return widest;
}

// ---------------------------------------------------------------------------------------------
// Painting

void TChartLegend::PaintLegend()
{
    TTeeCanvas3D &canvas = Chart_->Canvas();
    EffectiveStyle = ResolvedStyle();
    canvas.AssignFont(*Font_);
    canvas.SetBackColor(Color_);
    ItemHeight = canvas.FontHeight();
    SymbolWidth = RoundToEven((MaxLegendTextWidth(-1) + 4) * ColorWidth_ / 100.0);
    if (Alignment_ == laLeft || Alignment_ == laRight)
        PaintLeftRight();
    else
        PaintTopBottom();
}

void TChartLegend::PaintLeftRight()
{
    PixelRect &plot = Chart_->PlotRect;
    const PixelRect full = Chart_->ChartBounds;
    const int fw = Frame_->Width();
    const int frameGap = Frame_->Visible() ? fw + 1 : 0;

    const int top = full.Top + RoundToEven(TopPos_ * (full.Bottom - full.Top) / 100.0);
    if (top >= plot.Bottom || ItemHeight <= 0)
        RowsShown = 0;
    else
        RowsShown =
            std::max(0, std::min((plot.Bottom - 2 * fw - top) / ItemHeight, LegendItemCount()));
    const int bottom = top + ItemHeight * RowsShown + 2;

    const int w = MaxLegendTextWidth(RowsShown);
    SymbolWidth = RoundToEven((w + 10) * ColorWidth_ / 100.0);
    int left;
    int right;
    if (Alignment_ == laRight) {
        right = plot.Right - frameGap - ShadowSize_;
        TextX = right - w - 2;
        left = TextX - SymbolWidth - 8;
    } else {
        left = plot.Left + frameGap;
        TextX = left + SymbolWidth + 8;
        right = left + SymbolWidth + w + 10;
    }
    LegendRect = PixelRect{left, top, right, bottom};
    if (OnGetLegendRect)
        OnGetLegendRect(LegendRect);
    if (RowsShown < 1) {
        // Nothing is drawn, so nothing of the legend may answer a mouse press either.
        LegendRect = PixelRect{};
        return;
    }

    DrawBox();
    for (int p = 0; p < RowsShown; ++p) {
        const int n = Inverted_ ? FirstValue_ + RowsShown - 1 - p : FirstValue_ + p;
        DrawItem(n, p, TextX, LegendRect.Top + 1 + ItemHeight * p);
    }

    // The plot gives up the legend's width and a gap.
    const int widthBefore = plot.Right - plot.Left;
    const int gap = HorizMargin_ != 0 ? HorizMargin_ : MulDiv(3, widthBefore, 100);
    if (Alignment_ == laRight) {
        if (ResizeChart_)
            plot.Right = LegendRect.Left;
        plot.Right -= gap;
    } else {
        if (ResizeChart_)
            plot.Left = LegendRect.Right + frameGap + ShadowSize_;
        plot.Left += gap;
    }
    Chart_->RecalcPlotSize();
}

void TChartLegend::PaintTopBottom()
{
    // Items in columns across the plot, as many rows as needed.
    PixelRect &plot = Chart_->PlotRect;
    const int fw = Frame_->Width();
    const int frameGap = Frame_->Visible() ? fw + 1 : 0;
    const int count = LegendItemCount();
    const int w = MaxLegendTextWidth(-1);
    const int columnWidth = SymbolWidth + w + 14;
    const int room = plot.Right - plot.Left - 2 * frameGap - ShadowSize_;
    const int columns = std::max(1, std::min(count, room / std::max(1, columnWidth)));
    const int rows = ItemHeight > 0 ? (count + columns - 1) / columns : 0;
    RowsShown = rows;
    const int boxWidth = columns * columnWidth;
    const int left = std::max(plot.Left + frameGap, (plot.Left + plot.Right - boxWidth) / 2);
    int top;
    if (Alignment_ == laTop)
        top = plot.Top + frameGap;
    else
        top = plot.Bottom - frameGap - ShadowSize_ - (ItemHeight * rows + 2);
    LegendRect = PixelRect{left, top, left + boxWidth, top + ItemHeight * rows + 2};
    TextX = left + SymbolWidth + 8;
    if (OnGetLegendRect)
        OnGetLegendRect(LegendRect);
    if (rows < 1 || count < 1) {
        LegendRect = PixelRect{};
        RowsShown = 0;
        return;
    }

    DrawBox();
    for (int p = 0; p < count; ++p) {
        const int n = Inverted_ ? FirstValue_ + count - 1 - p : FirstValue_ + p;
        const int row = p / columns;
        const int column = p % columns;
        DrawItem(n, row, LegendRect.Left + column * columnWidth + SymbolWidth + 8,
                 LegendRect.Top + 1 + ItemHeight * row);
    }

    const int heightBefore = plot.Bottom - plot.Top;
    const int gap = VertMargin_ != 0 ? VertMargin_ : MulDiv(4, heightBefore, 100);
    if (Alignment_ == laTop) {
        if (ResizeChart_)
            plot.Top = LegendRect.Bottom + frameGap + ShadowSize_;
        plot.Top += gap;
    } else {
        if (ResizeChart_)
            plot.Bottom = LegendRect.Top - frameGap;
        plot.Bottom -= gap;
    }
    Chart_->RecalcPlotSize();
}

void TChartLegend::DrawBox()
{
    TTeeCanvas3D &canvas = Chart_->Canvas();
    const int fw = Frame_->Width();
    canvas.LoadPen(*Frame_);
    if (Frame_->Visible() && Frame_->Color() == AutoColor)
        canvas.Pen.Color = clBlack;
    canvas.Pen.Mode = pmCopy;
    PixelRect r = LegendRect;
    int e;
    if (Frame_->Visible()) {
        r = PixelRect{r.Left - fw, r.Top - fw, r.Right + fw, r.Bottom + fw};
        e = ShadowSize_ + fw + (fw - 1) / 2;
    } else {
        e = ShadowSize_ - 1;
    }
    canvas.Brush.Style = bsSolid;
    if (ShadowSize_ > 0) {
        canvas.Brush.Color = ShadowColor_;
        canvas.FillRect(PixelRect{LegendRect.Left + ShadowSize_, LegendRect.Top + ShadowSize_,
                                  LegendRect.Right + e, LegendRect.Bottom + e});
    }
    canvas.Brush.Color = Color_;
    canvas.Rectangle(r);

    canvas.Pen = TCanvasPen{Color_ == clBlack ? clWhite : clBlack, 1, psSolid, pmCopy};
}

void TChartLegend::DrawItem(int n, int row, int x, int y)
{
    TTeeCanvas3D &canvas = Chart_->Canvas();
    canvas.Brush.Style = bsSolid;
    canvas.Brush.Color = Color_;
    if (OnGetLegendPos)
        OnGetLegendPos(n, x, y);
    canvas.Brush.Style = bsClear;

    const QString text = LegendText(n);
    if (!text.isEmpty()) {
        canvas.AssignFont(*Font_);
        canvas.SetBackMode(bmTransparent);
        canvas.TextOut(x, y, text);
        const PixelRect symbol{x - 4 - SymbolWidth, y + 2, x - 4, y + ItemHeight - 2};
        TChartSeries *series = nullptr;
        int index = -1;
        if (EffectiveStyle == lsValues) {
            series = FirstActiveSeries(*Chart_);
            index = n;
        } else {
            series = LegendSeries(n);
        }
        if (series && !series->ColorEachPoint() && series->SeriesColor() != clNone) {
            const ChartColor color = index < 0 ? series->SeriesColor() : series->PointColor(index);
            canvas.Brush.Color = color;
            canvas.Brush.Style = bsSolid;
            canvas.SetBackColor(Color_);
            series->PrepareLegendCanvas(canvas);
            series->PaintLegendSymbol(canvas, index, symbol);
        }
    }
    if (row > 0 && DividingLines_->Visible()) {
        canvas.LoadPen(*DividingLines_);
        canvas.SetBackMode(bmTransparent);
        canvas.HorizLine(LegendRect.Left, LegendRect.Right, y);
    }
}
