// The graph tab's chart: its settings and the eight line series of the first eight points.
#include "chartsetup.h"
#include "form1.h"

#include "axis.h"
#include "legend.h"
#include "lineseries.h"
#include "panel.h"

namespace
{

// Titles, colours (0x00BBGGRR) and marker shapes of the eight plotted points.
struct SeriesLook {
    const char *title;
    ChartColor color;
    TSeriesPointerStyle style;
};
const SeriesLook kSeriesLooks[8] = {
    {"Точка1", 0x0000FF00, psRectangle}, {"Точка2", 0x004080FF, psRectangle},
    {"Точка3", 0x00FF0000, psRectangle}, {"Точка4", 0x00800080, psTriangle},
    {"Точка5", 0x00400040, psCircle},    {"Точка6", 0x008000FF, psRectangle},
    {"Точка7", 0x00FFFF00, psRectangle}, {"Точка8", 0x0000FFFF, psRectangle},
};

void SetWindowFont(TChartFont &font, ChartColor color)
{
    font.SetName(QStringLiteral("MS Sans Serif"));
    font.SetHeight(-13);
    font.SetColor(color);
    font.SetCharset(RUSSIAN_CHARSET);
}

} // namespace

void ConfigureMainChart(TChart &c, std::array<TLineSeries *, 8> &series)
{
    c.SetAnimatedZoom(true);
    c.BackWall().Brush().SetStyle(bsClear);
    c.SetMarginLeft(5);
    c.SetMarginTop(0);
    c.SetMarginRight(0);
    c.SetMarginBottom(0);
    c.SetBevelOuter(bvNone);

    c.Title().SetText({QStringLiteral("Только первые 8 графиков")});
    SetWindowFont(c.Title().Font(), clBlue);
    c.Title().Frame().SetVisible(true);

    c.BottomAxis()->SetExactDateTime(false);
    c.BottomAxis()->SetIncrement(1.0);
    c.LeftAxis()->SetExactDateTime(false);
    c.LeftAxis()->SetRoundFirstLabel(false);

    c.SetView3D(false);
    c.SetChart3DPercent(5);
    c.View3DOptions().SetZoom(103);

    c.Legend().SetLegendStyle(lsSeries);
    SetWindowFont(c.Legend().Font(), clBlack);

    for (int i = 0; i < 8; ++i) {
        auto *s = new TLineSeries;
        c.AttachSeries(s);
        // The colour is set after joining, so the palette's choice is overwritten.
        s->SetSeriesColor(kSeriesLooks[i].color);
        s->SetTitle(QString::fromUtf8(kSeriesLooks[i].title));
        s->Marks().SetVisible(false);
        s->Marks().SetArrowLength(8);
        s->XValues()->SetName(QStringLiteral("X"));
        s->XValues()->SetOrder(loAscending);
        s->XValues()->SetMultiplier(1.0);
        s->XValues()->SetDateTime(false);
        s->YValues()->SetName(QStringLiteral("Y"));
        s->YValues()->SetOrder(loNone);
        s->YValues()->SetMultiplier(1.0);
        s->YValues()->SetDateTime(false);
        TSeriesPointer &p = s->Pointer();
        p.SetVisible(true);
        p.SetInflateMargins(true);
        p.SetStyle(kSeriesLooks[i].style);
        p.Brush().SetColor(kSeriesLooks[i].color);
        p.Pen().SetColor(clBlack);
        series[i] = s;
    }
}

void TForm1::ConfigureChart()
{
    ConfigureMainChart(*Chart, Series);
}
