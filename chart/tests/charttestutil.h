// Test helpers for the chart: the main window's chart as its layout configures it, its eight
// line series, and pixel access to the pictures.
#pragma once

#include "axis.h"
#include "canvas.h"
#include "legend.h"
#include "lineseries.h"
#include "panel.h"

#include <QCoreApplication>
#include <QImage>
#include <QTest>

#include <array>
#include <memory>

namespace charttest
{

/// Titles, colours and marker shapes of the main window's eight series.
inline const std::array<ChartColor, 8> MainSeriesColors = {clLime,
                                                           ChartColor(4227327),
                                                           clBlue,
                                                           clPurple,
                                                           ChartColor(4194368),
                                                           ChartColor(8388863),
                                                           clAqua,
                                                           clYellow};

inline TSeriesPointerStyle MainSeriesStyle(int i)
{
    return i == 3 ? psTriangle : i == 4 ? psCircle : psRectangle;
}

/// The chart of the graph tab: 465 x 288, margins 0/5/0/0, framed blue title, 2-D, right
/// legend of the series, animated zoom.
inline void ConfigureMainChart(TChart &chart)
{
    InstallChartFontSubstitutions();
    chart.resize(465, 288);
    chart.SetAnimatedZoom(true);
    chart.SetMarginBottom(0);
    chart.SetMarginLeft(5);
    chart.SetMarginRight(0);
    chart.SetMarginTop(0);
    TChartFont &tf = chart.Title().Font();
    tf.SetName(QStringLiteral("MS Sans Serif"));
    tf.SetHeight(-13);
    tf.SetColor(clBlue);
    tf.SetCharset(RUSSIAN_CHARSET);
    chart.Title().Frame().SetVisible(true);
    chart.Title().SetText({QStringLiteral("Только первые 8 графиков")});
    chart.BottomAxis()->SetExactDateTime(false);
    chart.BottomAxis()->SetIncrement(1.0);
    chart.SetChart3DPercent(5);
    chart.LeftAxis()->SetExactDateTime(false);
    chart.LeftAxis()->SetRoundFirstLabel(false);
    TChartFont &lf = chart.Legend().Font();
    lf.SetName(QStringLiteral("MS Sans Serif"));
    lf.SetHeight(-13);
    lf.SetColor(clBlack);
    lf.SetCharset(RUSSIAN_CHARSET);
    chart.Legend().SetLegendStyle(lsSeries);
    chart.SetView3D(false);
    chart.View3DOptions().SetZoom(103);
    chart.SetBevelOuter(bvNone);
}

/// Attaches the eight series "Точка1" .. "Точка8" with visible markers.
inline void AddMainSeries(TChart &chart)
{
    for (int i = 0; i < 8; ++i) {
        auto *s = new TLineSeries();
        chart.AttachSeries(s);
        s->SetTitle(QStringLiteral("Точка%1").arg(i + 1));
        s->SetSeriesColor(MainSeriesColors[std::size_t(i)]);
        s->Pointer().Brush().SetColor(MainSeriesColors[std::size_t(i)]);
        s->Pointer().SetStyle(MainSeriesStyle(i));
        s->Pointer().SetVisible(true);
        s->Marks().SetVisible(false);
    }
}

/// `count` points per series, Y wandering around 20 + series index.
inline void FillSeries(TChart &chart, int count)
{
    for (int k = 0; k < chart.SeriesCount(); ++k) {
        TChartSeries *s = chart.SeriesAt(k);
        for (int i = 0; i < count; ++i)
            s->AppendY(20.0 + k + (i * 7 % 11) * 0.25, QString(), s->SeriesColor());
    }
}

inline std::unique_ptr<TChart> MakeMainChart(int pointsPerSeries = 50)
{
    auto chart = std::make_unique<TChart>();
    ConfigureMainChart(*chart);
    AddMainSeries(*chart);
    FillSeries(*chart, pointsPerSeries);
    return chart;
}

/// Lets the event loop run until the chart has drawn the change waiting for it (drawing passes
/// come at most once per refresh interval), then handles what else is pending.
inline void WaitForPicture(TChart &chart)
{
    // Events handled meanwhile (an expose, a resize) may ask for another picture; it is
    // waited for too, until a whole frame interval passes with nothing left to draw.
    for (int round = 0; round < 20; ++round) {
        (void)QTest::qWaitFor([&] { return !chart.Canvas().BufferStale; }, 2000);
        QTest::qWait(25);
        if (!chart.Canvas().BufferStale)
            break;
    }
}

/// Shows the chart and waits until the window system has painted it.
inline void ShowAndSettle(TChart &chart)
{
    chart.show();
    (void)QTest::qWaitForWindowExposed(&chart);
    WaitForPicture(chart);
}

/// Pixel of an RGB32 image as a chart colour.
inline ChartColor Pixel(const QImage &image, int x, int y)
{
    return RgbToChartColor(image.pixel(x, y));
}

/// Canvas text metrics in the given chart font.
inline int TextWidthIn(TChart &chart, const TChartFont &font, const QString &text)
{
    chart.Canvas().AssignFont(font);
    return chart.Canvas().TextWidth(text);
}

inline int FontHeightIn(TChart &chart, const TChartFont &font)
{
    chart.Canvas().AssignFont(font);
    return chart.Canvas().FontHeight();
}

} // namespace charttest
