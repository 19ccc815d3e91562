// Basic types shared by the whole chart component: colours, rectangles, the chart's exception
// classes, the list error, the property setters' change test and the rounding helpers used for
// pixel positions.
#pragma once

#include <QColor>
#include <QRect>
#include <QString>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

/// Stores value in field when they differ and tells whether it did: the property setters' test
/// "did anything change (so repaint)?". The value converts to the field's type.
template <class T> bool SetIfChanged(T &field, const std::type_identity_t<T> &value)
{
    if (field == value)
        return false;
    field = value;
    return true;
}

/// A colour as 0x00BBGGRR (red in the low byte). The two marker values below are not colours.
using ChartColor = std::uint32_t;

/// "Take the colour from elsewhere" (the series, the point, the panel).
inline constexpr ChartColor AutoColor = 0x80000000u;
/// "Draw nothing": a point of this colour is a gap in its line.
inline constexpr ChartColor clNone = 0x1FFFFFFFu;
/// The "default colour" marker a caller may hand to AppendXY; it is stored as AutoColor.
inline constexpr ChartColor clDefault = 0x20000000u;

inline constexpr ChartColor clBlack = 0x00000000u;
inline constexpr ChartColor clMaroon = 0x00000080u;
inline constexpr ChartColor clGreen = 0x00008000u;
inline constexpr ChartColor clOlive = 0x00008080u;
inline constexpr ChartColor clNavy = 0x00800000u;
inline constexpr ChartColor clPurple = 0x00800080u;
inline constexpr ChartColor clTeal = 0x00808000u;
inline constexpr ChartColor clGray = 0x00808080u;
inline constexpr ChartColor clSilver = 0x00C0C0C0u;
inline constexpr ChartColor clRed = 0x000000FFu;
inline constexpr ChartColor clLime = 0x0000FF00u;
inline constexpr ChartColor clYellow = 0x0000FFFFu;
inline constexpr ChartColor clBlue = 0x00FF0000u;
inline constexpr ChartColor clFuchsia = 0x00FF00FFu;
inline constexpr ChartColor clAqua = 0x00FFFF00u;
inline constexpr ChartColor clWhite = 0x00FFFFFFu;
/// System colours: 0x80000000 plus the window system's colour index. They stand for the colours
/// of the desktop's theme and are resolved from the application palette when they are drawn
/// (ResolveSystemColor). Index 0 is AutoColor's, which is a marker, not a colour.
inline constexpr ChartColor clSystemColor = 0x80000000u;
inline constexpr ChartColor clBackground = clSystemColor | 1u;
inline constexpr ChartColor clActiveCaption = clSystemColor | 2u;
inline constexpr ChartColor clInactiveCaption = clSystemColor | 3u;
inline constexpr ChartColor clMenu = clSystemColor | 4u;
inline constexpr ChartColor clWindow = clSystemColor | 5u;
inline constexpr ChartColor clWindowFrame = clSystemColor | 6u;
inline constexpr ChartColor clMenuText = clSystemColor | 7u;
inline constexpr ChartColor clWindowText = clSystemColor | 8u;
inline constexpr ChartColor clCaptionText = clSystemColor | 9u;
inline constexpr ChartColor clActiveBorder = clSystemColor | 10u;
inline constexpr ChartColor clInactiveBorder = clSystemColor | 11u;
inline constexpr ChartColor clAppWorkSpace = clSystemColor | 12u;
inline constexpr ChartColor clHighlight = clSystemColor | 13u;
inline constexpr ChartColor clHighlightText = clSystemColor | 14u;
/// Face colour of buttons and panels (the chart's background).
inline constexpr ChartColor clBtnFace = clSystemColor | 15u;
inline constexpr ChartColor clBtnShadow = clSystemColor | 16u;
inline constexpr ChartColor clGrayText = clSystemColor | 17u;
inline constexpr ChartColor clBtnText = clSystemColor | 18u;
inline constexpr ChartColor clInactiveCaptionText = clSystemColor | 19u;
inline constexpr ChartColor clBtnHighlight = clSystemColor | 20u;
inline constexpr ChartColor cl3DDkShadow = clSystemColor | 21u;
inline constexpr ChartColor cl3DLight = clSystemColor | 22u;
inline constexpr ChartColor clInfoText = clSystemColor | 23u;
inline constexpr ChartColor clInfoBk = clSystemColor | 24u;

/// True for the system colours above (clSystemColor plus an index from 1).
inline constexpr bool IsSystemColor(ChartColor c)
{
    return (c & 0xFF000000u) == clSystemColor && (c & 0x00FFFFFFu) != 0;
}
/// The colour a system colour stands for now, taken from the application palette (an index
/// without a palette role gives black); any other value is returned as it is.
ChartColor ResolveSystemColor(ChartColor c);

/// Red, green and blue channels of a colour (the marker values give their raw bytes).
inline constexpr int ChartColorRed(ChartColor c)
{
    return int(c & 0xFFu);
}
inline constexpr int ChartColorGreen(ChartColor c)
{
    return int((c >> 8) & 0xFFu);
}
inline constexpr int ChartColorBlue(ChartColor c)
{
    return int((c >> 16) & 0xFFu);
}

/// The colour as an opaque QRgb (0xFFRRGGBB), the pixel value of a Format_RGB32 image.
inline constexpr std::uint32_t ChartColorToRgb(ChartColor c)
{
    return 0xFF000000u | (std::uint32_t(ChartColorRed(c)) << 16) |
           (std::uint32_t(ChartColorGreen(c)) << 8) | std::uint32_t(ChartColorBlue(c));
}
/// The inverse of ChartColorToRgb (alpha ignored).
inline constexpr ChartColor RgbToChartColor(std::uint32_t rgb)
{
    return ((rgb >> 16) & 0xFFu) | (rgb & 0xFF00u) | ((rgb & 0xFFu) << 16);
}

/// A rectangle as the window system keeps it: Right and Bottom are the first column and row
/// outside the rectangle, so Width() = Right - Left.
struct PixelRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;

    constexpr int Width() const { return Right - Left; }
    constexpr int Height() const { return Bottom - Top; }
    constexpr bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    constexpr bool operator==(const PixelRect &) const = default;
    /// The same area as a QRect (whose right() and bottom() are inclusive).
    QRect ToQRect() const { return QRect(Left, Top, Right - Left, Bottom - Top); }
};

struct PixelPoint {
    int X = 0;
    int Y = 0;
    constexpr bool operator==(const PixelPoint &) const = default;
};

/// Invalid chart property values (series, pointer, panel). The message is the fixed English text.
class ChartException : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

/// Invalid axis property values.
class AxisException : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

/// Invalid legend property values.
class LegendException : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

/// A position outside a list (series of a chart, points of a series, values of a value list).
/// The message is "List index out of bounds (<index>)"; the list is left unchanged.
class EListError : public std::out_of_range
{
  public:
    explicit EListError(int index);
    int Index() const { return index_; }

  private:
    int index_;
};

/// Throws EListError(index) unless 0 <= index < count.
inline void CheckListIndex(int index, int count)
{
    if (index < 0 || index >= count)
        throw EListError(index);
}

/// Largest magnitude RoundToEven hands out; keeps sums and differences of two rounded pixel
/// positions inside int, so far-off values stay far off instead of overflowing.
inline constexpr int RoundLimit = 1000000000;

/// x rounded to the nearest integer, ties to even (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
/// Results beyond +/-RoundLimit are clamped to it; NaN gives -RoundLimit.
/// Inline: every plotted point goes through it twice.
inline int RoundToEven(double x)
{
    if (std::isnan(x))
        return -RoundLimit;
    if (x >= RoundLimit)
        return RoundLimit;
    if (x <= -RoundLimit)
        return -RoundLimit;
    // |x| < 2^51 here: the sum with 1.5 * 2^52 has no bits left for a fraction, so the addition
    // rounds x to an integer (to nearest, ties to even: the default rounding mode) and taking
    // the constant away again is exact.
    constexpr double Shift = 6755399441055744.0;
    return int((x + Shift) - Shift);
}

/// a * b / c rounded to the nearest integer (halves away from zero), computed in 64 bits;
/// -1 when c is 0, as the window system's MulDiv.
int MulDiv(int a, int b, int c);
