// The main window's chart settings, shared by the window and the chart benchmark.
#pragma once

#include <array>

class TChart;
class TLineSeries;

/// Gives `chart` the graph tab's settings (margins, framed title, clear back wall, axes,
/// legend) and attaches the eight line series of the first eight points, with their titles,
/// colours and marker shapes; the chart owns them, `series` receives them in order.
void ConfigureMainChart(TChart &chart, std::array<TLineSeries *, 8> &series);
