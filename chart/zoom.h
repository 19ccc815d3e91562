// Axis operations of zooming and panning: setting a range by hand, one animation step, one pan
// step, and saving/restoring an axis for ResetZoom. The mouse handling itself is TCustomChart's
// (panel.h); these helpers touch nothing but the axis they are given.
#pragma once

#include "panel.h"

class TChartAxis;

/// Pixels a left drag must exceed horizontally and vertically to zoom or reset.
inline constexpr int ZoomMinDragPixels = 16;
/// Each animation step covers the remaining distance divided by this.
inline constexpr double ZoomStepDivisor = 3.0;
/// A press this close (in pixels, exclusive) to an axis line counts as on the axis.
inline constexpr int AxisHitTolerance = 12;
/// Narrowest range ForceRange keeps.
inline constexpr double MinimumAxisRange = 1e-10;

/// Sets the axis by hand: Automatic, AutomaticMinimum and AutomaticMaximum off, Minimum :=
/// min(a, b), Maximum := max(a, b); a range narrower than 1e-10 becomes a .. b + 1e-10. Each
/// change of Minimum or Maximum asks for a repaint.
void ForceRange(TChartAxis &axis, double a, double b);

/// One animation step: a third of the remaining distance toward the target range.
void AnimateStep(TChartAxis &axis, double targetMinimum, double targetMaximum);

/// The range the axis shows after moving the view from one pixel to another:
/// d = PixelToValue(fromPixel) - PixelToValue(toPixel); Minimum + d .. Maximum + d.
void PanRange(const TChartAxis &axis, int fromPixel, int toPixel, double &newMinimum,
              double &newMaximum);

/// The axis' automatic flags and range, as ResetZoom restores them.
TSavedAxis SaveAxis(const TChartAxis &axis);
/// Restores the automatic flags and, when the axis is then not automatic, ForceRange to the
/// saved range.
void RestoreAxis(TChartAxis &axis, const TSavedAxis &saved);
