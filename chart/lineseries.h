// Line series: the chart's series class for readings, drawn as a polyline with markers.
#pragma once

#include "customseries.h"
#include "seriespointer.h"

/// A series drawn as a polyline in point order with optional markers. Its pointer starts
/// invisible.
class TLineSeries : public TCustomSeries
{
  public:
    TLineSeries();
    ~TLineSeries() override;
};
