#include "chartdefs.h"

#include <QGuiApplication>
#include <QPalette>

#include <cmath>

EListError::EListError(int index)
    : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")"), index_(index)
{
}

int MulDiv(int a, int b, int c)
{
    if (c == 0)
        return -1;
    const long long num = static_cast<long long>(a) * b;
    long long q = num / c;
    const long long r = num % c;
    // Round half away from zero: compare twice the remainder with the divisor.
    const long long r2 = (r < 0 ? -r : r) * 2;
    const long long cabs = c < 0 ? -static_cast<long long>(c) : c;
    if (r2 >= cabs)
        q += ((num < 0) != (c < 0)) ? -1 : 1;
    if (q > 2147483647LL || q < -2147483648LL)
        return -1;
    return int(q);
}

ChartColor ResolveSystemColor(ChartColor c)
{
    if (!IsSystemColor(c))
        return c;
    struct Role {
        QPalette::ColorGroup group;
        QPalette::ColorRole role;
    };
    // The palette role that plays the part of each window-system colour index (1 .. 24).
    static const Role roles[] = {
        {QPalette::Active, QPalette::Window},            // 1 desktop background
        {QPalette::Active, QPalette::Highlight},         // 2 active caption
        {QPalette::Inactive, QPalette::Highlight},       // 3 inactive caption
        {QPalette::Active, QPalette::Window},            // 4 menu
        {QPalette::Active, QPalette::Base},              // 5 window
        {QPalette::Active, QPalette::Shadow},            // 6 window frame
        {QPalette::Active, QPalette::WindowText},        // 7 menu text
        {QPalette::Active, QPalette::Text},              // 8 window text
        {QPalette::Active, QPalette::HighlightedText},   // 9 caption text
        {QPalette::Active, QPalette::Button},            // 10 active border
        {QPalette::Inactive, QPalette::Button},          // 11 inactive border
        {QPalette::Active, QPalette::Mid},               // 12 application workspace
        {QPalette::Active, QPalette::Highlight},         // 13 highlight
        {QPalette::Active, QPalette::HighlightedText},   // 14 highlighted text
        {QPalette::Active, QPalette::Button},            // 15 button face
        {QPalette::Active, QPalette::Dark},              // 16 button shadow
        {QPalette::Disabled, QPalette::Text},            // 17 grey (disabled) text
        {QPalette::Active, QPalette::ButtonText},        // 18 button text
        {QPalette::Inactive, QPalette::HighlightedText}, // 19 inactive caption text
        {QPalette::Active, QPalette::Light},             // 20 button highlight
        {QPalette::Active, QPalette::Shadow},            // 21 3-D dark shadow
        {QPalette::Active, QPalette::Midlight},          // 22 3-D light
        {QPalette::Active, QPalette::ToolTipText},       // 23 tool tip text
        {QPalette::Active, QPalette::ToolTipBase},       // 24 tool tip background
    };
    const std::size_t index = c & 0x00FFFFFFu;
    if (index > std::size(roles))
        return clBlack;
    const Role &r = roles[index - 1];
    return RgbToChartColor(QGuiApplication::palette().color(r.group, r.role).rgb());
}
