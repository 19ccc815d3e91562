#include "lineseries.h"

TLineSeries::TLineSeries()
{
    Pointer().SetVisible(false);
}

TLineSeries::~TLineSeries() = default;
