#include "axis.h"

#include "panel.h"
#include "series.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

// ---------------------------------------------------------------------------------------------
// Axis title

void TChartAxisTitle::Changed()
{
    if (OnChange)
        OnChange();
}

void TChartAxisTitle::SetAngle(int a)
{
    if (a < 0 || a > 360)
        throw ChartException("Axis Title Angle must be between 0 and 359 degrees");
    if (a == 360)
        a = 0;
    if (SetIfChanged(angle_, a))
        Changed();
}

void TChartAxisTitle::SetCaption(const QString &c)
{
    if (SetIfChanged(caption_, c))
        Changed();
}

// ---------------------------------------------------------------------------------------------
// Construction and properties

TChartAxis::TChartAxis(TCustomAxisPanel *parent, TAxisKind kind)
    : parent_(parent), kind_(kind), title_(kind == akLeft    ? 90
                                           : kind == akRight ? 270
                                                             : 0),
      visible_(kind != akDepth)
{
    const auto changed = [this] { Changed(); };
    axisPen_.OnChange = changed;
    grid_.OnChange = changed;
    minorTicks_.OnChange = changed;
    ticks_.OnChange = changed;
    ticksInner_.OnChange = changed;
    labelsFont_.OnChange = changed;
    title_.OnChange = changed;
    title_.Font().OnChange = changed;
}

void TChartAxis::Changed() const
{
    if (parent_)
        parent_->RequestRepaint();
}

template <class T> void TChartAxis::SetField(T &field, T v)
{
    if (SetIfChanged(field, v))
        Changed();
}

void TChartAxis::SetAutomatic(bool v)
{
    bool changed = SetIfChanged(automatic_, v);
    if (!Loading) {
        changed |= SetIfChanged(automaticMinimum_, v);
        changed |= SetIfChanged(automaticMaximum_, v);
    }
    if (changed)
        Changed();
}

namespace
{
/// Stores one automatic bound; switching a bound off switches Automatic off too.
bool StoreAutomaticBound(bool &bound, bool &automatic, bool v)
{
    const bool changed = SetIfChanged(bound, v);
    return (!v && SetIfChanged(automatic, false)) || changed;
}
} // namespace

void TChartAxis::SetAutomaticMaximum(bool v)
{
    if (StoreAutomaticBound(automaticMaximum_, automatic_, v))
        Changed();
}

void TChartAxis::SetAutomaticMinimum(bool v)
{
    if (StoreAutomaticBound(automaticMinimum_, automatic_, v))
        Changed();
}

void TChartAxis::SetAxisValuesFormat(const QString &f)
{
    SetField(axisValuesFormat_, f);
}

void TChartAxis::SetDateTimeFormat(const QString &f)
{
    SetField(dateTimeFormat_, f);
}

void TChartAxis::SetExactDateTime(bool v)
{
    SetField(exactDateTime_, v);
}

void TChartAxis::SetGridCentered(bool v)
{
    SetField(gridCentered_, v);
}

void TChartAxis::SetIncrement(double v)
{
    if (v < 0)
        throw AxisException("Axis increment must be >= 0");
    SetField(increment_, v);
}

void TChartAxis::SetInverted(bool v)
{
    SetField(inverted_, v);
}

void TChartAxis::SetLabels(bool v)
{
    SetField(labels_, v);
}

void TChartAxis::SetLabelsAngle(int v)
{
    if (v < 0 || v > 360)
        throw ChartException("Axis Labels Angle must be between 0 and 359 degrees");
    SetField(labelsAngle_, v == 360 ? 0 : v);
}

void TChartAxis::SetLabelsMultiLine(bool v)
{
    SetField(labelsMultiLine_, v);
}

void TChartAxis::SetLabelsOnAxis(bool v)
{
    SetField(labelsOnAxis_, v);
}

void TChartAxis::SetLabelsSeparation(int v)
{
    if (v < 0)
        throw AxisException("Labels Separation % must be greater than 0");
    SetField(labelsSeparation_, v);
}

void TChartAxis::SetLabelsSize(int v)
{
    SetField(labelsSize_, v);
}

void TChartAxis::SetLabelStyle(TAxisLabelStyle v)
{
    SetField(labelStyle_, v);
}

void TChartAxis::SetLogarithmic(bool v)
{
    if (v && IsDateTimeAxis())
        throw AxisException("DateTime Axis cannot be Logarithmic");
    if (v && (minimum_ < 0 || maximum_ < 0))
        throw AxisException("Logarithmic Axis Min and Max values should be >= 0");
    SetField(logarithmic_, v);
}

void TChartAxis::SetMaximum(double v)
{
    if (!Loading && v < minimum_)
        throw AxisException("Axis Maximum Value must be >= Minimum");
    SetField(maximum_, v);
}

void TChartAxis::SetMinimum(double v)
{
    if (!Loading && v > maximum_)
        throw AxisException("Axis Minimum Value must be <= Maximum");
    SetField(minimum_, v);
}

void TChartAxis::SetMinMax(double min, double max)
{
    const bool changed =
        automatic_ || automaticMinimum_ || automaticMaximum_ || minimum_ != min || maximum_ != max;
    automatic_ = automaticMinimum_ = automaticMaximum_ = false;
    minimum_ = min;
    maximum_ = max;
    if (changed)
        Changed();
}

void TChartAxis::SetMinorTickCount(int v)
{
    SetField(minorTickCount_, v);
}

void TChartAxis::SetMinorTickLength(int v)
{
    SetField(minorTickLength_, v);
}

void TChartAxis::SetRoundFirstLabel(bool v)
{
    SetField(roundFirstLabel_, v);
}

void TChartAxis::SetTickInnerLength(int v)
{
    SetField(tickInnerLength_, v);
}

void TChartAxis::SetTickLength(int v)
{
    SetField(tickLength_, v);
}

void TChartAxis::SetTickOnLabelsOnly(bool v)
{
    SetField(tickOnLabelsOnly_, v);
}

void TChartAxis::SetTitleSize(int v)
{
    SetField(titleSize_, v);
}

void TChartAxis::SetVisible(bool v)
{
    SetField(visible_, v);
}

void TChartAxis::SetShownRange(double min, double max)
{
    shownMinimum_ = min;
    shownMaximum_ = max;
    shownRange_ = max - min;
}

PixelRect TChartAxis::PlotRect() const
{
    return parent_ ? parent_->PlotRect : standalonePlot_;
}

// ---------------------------------------------------------------------------------------------
// Series on the axis and ranges

namespace
{
bool OnAxis(const TChartSeries *s, const TChartAxis *axis)
{
    return axis->IsHorizontal() ? s->GetHorizAxis() == axis : s->GetVertAxis() == axis;
}
} // namespace

bool TChartAxis::HasActiveSeries() const
{
    if (!parent_ || IsDepthAxis())
        return false;
    for (const TChartSeries *s : parent_->SeriesList())
        if (s->Active() && OnAxis(s, this))
            return true;
    return false;
}

bool TChartAxis::IsAxisShown() const
{
    if (parent_ && !parent_->AxisVisible())
        return false;
    if (!visible_)
        return false;
    return IsDepthAxis() || HasActiveSeries();
}

double TChartAxis::SeriesExtreme(bool highest) const
{
    if (!parent_ || IsDepthAxis())
        return 0.0;
    const int perPage = parent_->MaxPointsPerPage();
    if (perPage > 0 && IsHorizontal()) {
        // Paging: the X range of the current page of the first active series on the axis.
        for (const TChartSeries *s : parent_->SeriesList()) {
            if (!s->Active() || !OnAxis(s, this))
                continue;
            const int k = s->PointCount();
            if (k == 0)
                return 0.0;
            const int m = perPage;
            long long d = (long long)m * (parent_->Page() - 1);
            if (d < 0)
                d = 0;
            if (d >= k)
                d = (long long)std::max(0, k / m - 1) * m;
            long long g = d + m - 1;
            if (g >= k)
                g = d + (k % m) - 1;
            if (g < d)
                g = d;
            const double xd = s->XValueAt(int(d)), xg = s->XValueAt(int(g));
            if (!highest)
                return xd;
            if (g - d + 1 < m && !parent_->ScaleLastPage())
                return xd + (xg - xd) * m / double(g - d + 1);
            return xg;
        }
        return 0.0;
    }
    bool found = false;
    double result = 0.0;
    for (const TChartSeries *s : parent_->SeriesList()) {
        if (!s->Active() || s->PointCount() == 0 || !OnAxis(s, this))
            continue;
        const double v = IsHorizontal() ? (highest ? s->HighestX() : s->LowestX())
                                        : (highest ? s->HighestY() : s->LowestY());
        if (!found || (highest ? v > result : v < result))
            result = v;
        found = true;
    }
    return result;
}

void TChartAxis::ComputeRange()
{
    if (automatic_ || automaticMaximum_)
        maximum_ = SeriesExtreme(true);
    if (automatic_ || automaticMinimum_)
        minimum_ = SeriesExtreme(false);
    SetShownRange(minimum_, maximum_);
}

namespace
{
/// PixelToValue over an explicit rectangle (the plot shrunk by the series' margins).
double PixelToValueIn(const TChartAxis &a, int p, const PixelRect &r)
{
    if (a.IsHorizontal()) {
        const int w = r.Right - r.Left;
        if (w < 1)
            return 0.0;
        if (a.Inverted())
            return a.ShownRange() * (r.Right - p) / w + a.ShownMinimum();
        return a.ShownRange() * (p - r.Left) / w + a.ShownMinimum();
    }
    const int h = r.Bottom - r.Top;
    if (h < 1)
        return 0.0;
    if (a.Inverted())
        return a.ShownMaximum() - double(r.Bottom - p) * a.ShownRange() / h;
    return a.ShownMaximum() - double(p - r.Top) * a.ShownRange() / h;
}
} // namespace

void TChartAxis::WidenForMargins()
{
    if (!parent_)
        return;
    int lowSide = 0, highSide = 0; // left/right or top/bottom
    for (const TChartSeries *s : parent_->SeriesList()) {
        if (!s->Active() || !OnAxis(s, this))
            continue;
        int a = 0, b = 0;
        if (IsHorizontal())
            s->HorizMarginPixels(a, b);
        else
            s->VertMarginPixels(a, b);
        lowSide = std::max(lowSide, a);
        highSide = std::max(highSide, b);
    }
    const PixelRect plot = PlotRect();
    PixelRect shrunk = plot;
    double atLow, atHigh; // values at the left (bottom) and right (top) edges
    if (IsHorizontal()) {
        shrunk.Left += lowSide;
        shrunk.Right -= highSide;
        atLow = PixelToValueIn(*this, plot.Left, shrunk);
        atHigh = PixelToValueIn(*this, plot.Right, shrunk);
    } else {
        shrunk.Top += lowSide;
        shrunk.Bottom -= highSide;
        atLow = PixelToValueIn(*this, plot.Bottom, shrunk);
        atHigh = PixelToValueIn(*this, plot.Top, shrunk);
    }
    if (atLow > atHigh)
        std::swap(atLow, atHigh);
    SetShownRange(atLow, atHigh);
}

int TChartAxis::ValueToPixel(double v) const
{
    const PixelRect r = PlotRect();
    if (shownRange_ == 0.0)
        return IsHorizontal() ? (r.Left + r.Right) / 2 : (r.Top + r.Bottom) / 2;
    if (IsHorizontal()) {
        const int d = RoundToEven(double(r.Right - r.Left) * (v - shownMinimum_) / shownRange_);
        return inverted_ ? r.Right - d : r.Left + d;
    }
    const int d = RoundToEven(double(r.Bottom - r.Top) * (v - shownMinimum_) / shownRange_);
    return inverted_ ? r.Top + d : r.Bottom - d;
}

double TChartAxis::PixelToValue(int p) const
{
    return PixelToValueIn(*this, p, PlotRect());
}

// ---------------------------------------------------------------------------------------------
// Label steps

double TChartAxis::NextStep(double x)
{
    // Guards keep the 1-2-5 climb finite for values it never gets from the axis.
    if (!(x > 0.0) || std::isinf(x))
        return std::isinf(x) ? x : 1.0;
    if (x >= 10.0)
        return 10.0 * NextStep(x / 10.0);
    if (x < 1.0)
        return 0.1 * NextStep(x * 10.0);
    if (x < 2.0)
        return 2.0;
    if (x < 5.0)
        return 5.0;
    return 10.0;
}

double TChartAxis::StepForLabelCount(int n) const
{
    double step = increment_;
    if (!(step > 0.0))
        step = std::fabs(shownRange_) >= 1.0 ? 1.0 : MinimumStep;
    if (n > 0 && labelsSeparation_ > 0) {
        for (;;) {
            const double q = shownRange_ / step;
            if (std::isnan(q))
                break;
            if (std::fabs(q) < LabelSpacingLimit) {
                if (RoundToEven(q) <= n)
                    break;
            }
            const double next = NextStep(step);
            if (!(next > step))
                break;
            step = next;
        }
    }
    return std::max(step, MinimumStep);
}

namespace
{
/// Widest line of a (possibly multi-line) label.
int LabelWidth(TTeeCanvas &canvas, const QString &text)
{
    if (!text.contains(QLatin1Char('\n')))
        return canvas.TextWidth(text);
    int w = 0;
    for (const QString &line : text.split(QLatin1Char('\n')))
        w = std::max(w, canvas.TextWidth(line));
    return w;
}

bool AngleIsFlat(int angle)
{
    return angle == 0 || angle == 180;
}
} // namespace

double TChartAxis::LabelStep(TTeeCanvas &canvas) const
{
    canvas.AssignFont(labelsFont_);
    const bool flat = AngleIsFlat(labelsAngle_);
    const bool measureWidth = IsHorizontal() == flat;
    int s;
    if (measureWidth)
        s = std::max(LabelWidth(canvas, LabelText(shownMaximum_)),
                     LabelWidth(canvas, LabelText(shownMinimum_)));
    else
        s = canvas.FontHeight();
    if (labelsSeparation_ > 0)
        s += RoundToEven(labelsSeparation_ * 0.01 * s);
    const PixelRect r = PlotRect();
    const int extent = IsHorizontal() ? r.Right - r.Left : r.Bottom - r.Top;
    const int n = s <= 0 ? 1 : RoundToEven(double(extent) / s);
    if (n > 0)
        return StepForLabelCount(n);
    return MinimumStep;
}

std::vector<double> TChartAxis::ValueLabels(double step) const
{
    std::vector<double> out;
    if (!(step > 0) || !(shownMaximum_ >= shownMinimum_))
        return out;
    if (std::fabs(shownMaximum_ / step) >= LabelSpacingLimit ||
        std::fabs(shownRange_ / step) >= MaxLabelSteps)
        return out;
    double v;
    if (shownMinimum_ == shownMaximum_)
        v = shownMaximum_;
    else if (roundFirstLabel_)
        v = std::trunc(shownMaximum_ / step) * step;
    else
        v = shownMaximum_;
    // From the top of the range downwards, each label one step below the previous one.
    if (labelsOnAxis_) {
        while (v > shownMaximum_)
            v -= step;
        while (v >= shownMinimum_) {
            out.push_back(v);
            v -= step;
        }
    } else {
        while (v >= shownMaximum_)
            v -= step;
        while (v > shownMinimum_) {
            out.push_back(v);
            v -= step;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Label texts

QString TChartAxis::FormatValue(double v, const QString &format, const QLocale &locale)
{
    if (std::isnan(v))
        return QStringLiteral("NAN");
    if (std::isinf(v))
        return v > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
    // Only the first section of a "positive;negative;zero" format is used.
    QString fmt = format.section(QLatin1Char(';'), 0, 0);
    if (fmt.isEmpty())
        fmt = QStringLiteral("#,##0.###");
    // Split into literal prefix, number pattern and literal suffix.
    const auto isPattern = [](QChar c) {
        return c == QLatin1Char('#') || c == QLatin1Char('0') || c == QLatin1Char(',') ||
               c == QLatin1Char('.');
    };
    int first = 0;
    while (first < fmt.size() && !isPattern(fmt[first]))
        ++first;
    int last = int(fmt.size()) - 1;
    while (last >= first && !isPattern(fmt[last]))
        --last;
    const QString prefix = fmt.left(first);
    const QString suffix = fmt.mid(last + 1);
    const QString pattern = fmt.mid(first, last - first + 1);
    const int dot = int(pattern.indexOf(QLatin1Char('.')));
    const QString intPart = dot < 0 ? pattern : pattern.left(dot);
    const QString fracPart = dot < 0 ? QString() : pattern.mid(dot + 1);
    const bool grouping = intPart.contains(QLatin1Char(','));
    const int minInt = int(intPart.count(QLatin1Char('0')));
    const int minFrac = int(fracPart.count(QLatin1Char('0')));
    const int maxFrac = minFrac + int(fracPart.count(QLatin1Char('#')));

    // Fifteen significant decimal digits, then rounding half away from zero at the last
    // decimal shown: the decimal value the user sees is what gets rounded.
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.14e", std::fabs(v));
    std::string digits;
    digits.push_back(buf[0]);
    digits.append(buf + 2, buf + 16);
    int exponent = std::atoi(buf + 17); // value = d.ddd... x 10^exponent
    int intDigits = exponent + 1;       // digits before the decimal point
    int keep = intDigits + maxFrac;     // significant digits kept
    if (keep < 0) {
        digits.clear();
    } else if (keep < int(digits.size())) {
        const bool up = digits[size_t(keep)] >= '5';
        digits.resize(size_t(keep));
        if (up) {
            int i = keep - 1;
            while (i >= 0 && digits[size_t(i)] == '9') {
                digits[size_t(i)] = '0';
                --i;
            }
            if (i >= 0) {
                ++digits[size_t(i)];
            } else {
                digits.insert(digits.begin(), '1');
                ++intDigits;
            }
        }
    }
    // Integer and fraction digit strings.
    std::string whole, frac;
    for (int i = 0; i < intDigits; ++i)
        whole.push_back(i < int(digits.size()) ? digits[size_t(i)] : '0');
    for (int i = intDigits; i < int(digits.size()); ++i)
        if (i >= 0)
            frac.push_back(digits[size_t(i)]);
    if (intDigits < 0)
        frac.insert(0, size_t(-intDigits), '0');
    frac.resize(std::min(frac.size(), size_t(std::max(0, maxFrac))));
    while (frac.size() > size_t(minFrac) && !frac.empty() && frac.back() == '0')
        frac.pop_back();
    while (frac.size() < size_t(minFrac))
        frac.push_back('0');
    size_t lead = 0;
    while (lead < whole.size() && whole[lead] == '0')
        ++lead;
    whole.erase(0, lead);
    while (int(whole.size()) < minInt)
        whole.insert(whole.begin(), '0');
    const bool isZero = whole.find_first_not_of('0') == std::string::npos &&
                        frac.find_first_not_of('0') == std::string::npos;

    QString out;
    if (v < 0 && !isZero)
        out += locale.negativeSign();
    out += prefix;
    const QString group = locale.groupSeparator();
    for (size_t i = 0; i < whole.size(); ++i) {
        if (grouping && i > 0 && (whole.size() - i) % 3 == 0)
            out += group;
        out += QLatin1Char(whole[i]);
    }
    if (!frac.empty()) {
        out += locale.decimalPoint();
        out += QString::fromLatin1(frac.c_str());
    }
    out += suffix;
    return out;
}

QString TChartAxis::ValueLabelText(double v, bool callEvent) const
{
    QString text;
    if (isDateTime_) {
        // Days since 1899-12-30, local time; nothing for negative values.
        if (v >= 0) {
            static const QDateTime epoch(QDate(1899, 12, 30), QTime(0, 0));
            const QDateTime t = epoch.addMSecs(qint64(std::llround(v * 86400000.0)));
            QString f = dateTimeFormat_;
            if (f.isEmpty())
                f = std::fabs(shownRange_) < 1.0 ? QStringLiteral("hh:mm:ss")
                                                 : QStringLiteral("dd.MM.yyyy");
            text = t.toString(f);
        }
    } else {
        text = FormatValue(v, axisValuesFormat_, QLocale());
    }
    if (callEvent && OnGetAxisLabel)
        OnGetAxisLabel(const_cast<TChartAxis *>(this), nullptr, -1, text);
    if (labelsMultiLine_)
        text.replace(QLatin1Char(' '), QLatin1Char('\n'));
    return text;
}

QString TChartAxis::LabelText(double v) const
{
    return ValueLabelText(v, true);
}

TAxisLabelStyle TChartAxis::ResolvedLabelStyle() const
{
    if (labelStyle_ != talAuto)
        return labelStyle_;
    if (!HasActiveSeries())
        return talNone;
    if (IsHorizontal()) {
        for (const TChartSeries *s : parent_->SeriesList()) {
            if (!s->Active() || !OnAxis(s, this))
                continue;
            // The series' X values are on this axis (its mandatory list is Y).
            if (s->PointCount() > 0 && !s->PointLabel(0).isEmpty())
                return talText;
            break;
        }
    }
    return talValue;
}

int TChartAxis::MaxLabelWidth(TTeeCanvas &canvas) const
{
    const TAxisLabelStyle style = ResolvedLabelStyle();
    canvas.AssignFont(labelsFont_);
    if (style == talNone)
        return 0;
    if (style == talMark || style == talText) {
        int w = 0;
        if (parent_)
            for (const TChartSeries *s : parent_->SeriesList()) {
                if (!s->Active() || !OnAxis(s, this))
                    continue;
                for (int i = 0; i < s->PointCount(); ++i)
                    w = std::max(w, LabelWidth(canvas, s->PointLabel(i)));
            }
        return w;
    }
    double first = shownMinimum_, last = shownMaximum_;
    if (roundFirstLabel_ || (isDateTime_ && exactDateTime_)) {
        const double step = LabelStep(canvas);
        canvas.AssignFont(labelsFont_);
        first = std::trunc(shownMinimum_ / step) * step;
        last = std::trunc(shownMaximum_ / step) * step;
    }
    return std::max(LabelWidth(canvas, ValueLabelText(last, false)),
                    LabelWidth(canvas, ValueLabelText(first, false))) +
           canvas.TextWidth(QStringLiteral(" "));
}

// ---------------------------------------------------------------------------------------------
// Layout

int TChartAxis::TitleSpace(TTeeCanvas &canvas) const
{
    if (titleSize_ != 0)
        return titleSize_;
    canvas.AssignFont(title_.Font());
    const int angle = title_.Angle();
    const bool heightAcross = IsHorizontal() ? AngleIsFlat(angle) : (angle == 90 || angle == 270);
    return heightAcross ? canvas.FontHeight() : canvas.TextWidth(title_.Caption());
}

int TChartAxis::LabelSpace(TTeeCanvas &canvas) const
{
    if (labelsSize_ != 0)
        return labelsSize_;
    // Flat labels on a horizontal axis (rotated ones on a vertical axis) stack by the font
    // height; otherwise the widest label counts.
    if (IsHorizontal() == AngleIsFlat(labelsAngle_)) {
        canvas.AssignFont(labelsFont_);
        return canvas.FontHeight();
    }
    return MaxLabelWidth(canvas);
}

int TChartAxis::TickSpace() const
{
    int t = axisPen_.Visible() ? axisPen_.Width() : 0;
    if (ticks_.Visible())
        t += tickLength_;
    if (minorTicks_.Visible())
        t = std::max(t, minorTickLength_);
    if (parent_)
        t += parent_->AxisWallSize(this);
    return t;
}

namespace
{
/// Takes `size` pixels off the axis' side of `r` and answers the new edge.
int TakeOff(PixelRect &r, TAxisKind kind, int size)
{
    switch (kind) {
    case akLeft:
        return r.Left += size;
    case akRight:
        return r.Right -= size;
    case akTop:
        return r.Top += size;
    case akBottom:
    default:
        return r.Bottom -= size;
    }
}
} // namespace

void TChartAxis::ReserveAxisSpace(PixelRect &r, TTeeCanvas &canvas)
{
    if (IsDepthAxis())
        return;
    if (!title_.Caption().isEmpty())
        titlePosition_ = TakeOff(r, kind_, TitleSpace(canvas));
    labelsBand_ = 0;
    if (labels_) {
        labelsBand_ = LabelSpace(canvas);
        labelsPosition_ = TakeOff(r, kind_, labelsBand_);
    }
    const int t = TickSpace();
    if (t > 0)
        TakeOff(r, kind_, t);
}

int TChartAxis::LabelOverflow(TTeeCanvas &canvas)
{
    if (IsHorizontal() || IsDepthAxis() || !labels_ || labelsSize_ != 0 ||
        !AngleIsFlat(labelsAngle_) || OnGetNextAxisLabel || ResolvedLabelStyle() != talValue)
        return 0;
    const double shownMin = shownMinimum_, shownMax = shownMaximum_;
    WidenForMargins();
    canvas.AssignFont(labelsFont_);
    int widest = 0;
    for (const double v : ValueLabels(LabelStep(canvas)))
        widest = std::max(widest, LabelWidth(canvas, LabelText(v)));
    SetShownRange(shownMin, shownMax);
    // Labels that only reach into the chart's margin are drawn as they are; only a label the
    // chart's edge would cut has the band measured from the labels drawn.
    const PixelRect bounds = parent_ ? parent_->ChartBounds : standalonePlot_;
    const bool cut = kind_ == akLeft ? labelsPosition_ - widest < bounds.Left
                                     : labelsPosition_ + widest > bounds.Right;
    if (widest == 0 || !cut)
        return 0;
    return std::max(0, widest + canvas.TextWidth(QStringLiteral(" ")) - labelsBand_);
}

void TChartAxis::WidenLabelBand(int pixels)
{
    labelsBand_ += pixels;
    labelsPosition_ += kind_ == akLeft ? pixels : -pixels;
}

// ---------------------------------------------------------------------------------------------
// Drawing

void TChartAxis::SetPositions(const PixelRect &plot)
{
    switch (kind_) {
    case akLeft:
        linePosition_ = plot.Left;
        break;
    case akRight:
        linePosition_ = plot.Right;
        break;
    case akTop:
        linePosition_ = plot.Top;
        break;
    case akBottom:
    case akDepth:
    default:
        linePosition_ = plot.Bottom;
        break;
    }
}

void TChartAxis::DrawTicksAndGrid(TTeeCanvas3D &canvas, int p, double v, int &prevTick)
{
    const int a = linePosition_;
    const PixelRect plot = PlotRect();
    const bool hasPrev = prevTick != std::numeric_limits<int>::min();
    // Draws a tick across the axis at position q, starting `from` pixels off the line
    // (outwards for from > 0) and `len` pixels long in the same direction.
    auto tick = [&](int q, int start, int len, bool outwards) {
        if (len <= 0)
            return;
        const int dir = (kind_ == akBottom || kind_ == akRight) == outwards ? 1 : -1;
        if (IsHorizontal())
            canvas.VertLine(q, start, start + dir * len);
        else
            canvas.HorizLine(start, start + dir * len, q);
    };
    const int outStart = (kind_ == akBottom || kind_ == akRight) ? a + 1 : a - 1;
    const int inStart = (kind_ == akBottom || kind_ == akRight) ? a - 1 : a + 1;

    if (ticks_.Visible()) {
        canvas.LoadPen(ticks_);
        tick(p, outStart, tickLength_, true);
    }
    if (grid_.Visible() && v != shownMinimum_ && v != shownMaximum_) {
        int g = p;
        bool draw = true;
        if (gridCentered_) {
            draw = hasPrev;
            g = hasPrev ? RoundToEven((p + double(prevTick)) / 2.0) : p;
        }
        if (draw) {
            canvas.LoadPen(grid_);
            if (grid_.Color() == AutoColor)
                canvas.Pen.Color = clGray;
            canvas.Brush.Style = bsClear;
            canvas.SetBackMode(bmTransparent);
            switch (kind_) {
            case akBottom:
                canvas.VertLine(g, a - 1, plot.Top);
                break;
            case akTop:
                canvas.VertLine(g, a + 1, plot.Bottom);
                break;
            case akLeft:
                canvas.HorizLine(a + 1, plot.Right, g);
                break;
            case akRight:
                canvas.HorizLine(a - 1, plot.Left, g);
                break;
            default:
                break;
            }
        }
    }
    if (ticksInner_.Visible()) {
        canvas.LoadPen(ticksInner_);
        tick(p, inStart, tickInnerLength_, false);
    }
    if (minorTicks_.Visible() && hasPrev && minorTickCount_ > 0) {
        canvas.LoadPen(minorTicks_);
        for (int i = 1; i <= minorTickCount_; ++i) {
            const int m = p - RoundToEven(double(p - prevTick) / double(minorTickCount_ + 1) * i);
            tick(m, outStart, minorTickLength_, true);
        }
    }
    prevTick = p;
}

void TChartAxis::DrawLabelText(TTeeCanvas3D &canvas, int p, const QString &text)
{
    canvas.AssignFont(labelsFont_);
    canvas.Brush.Style = bsClear;
    canvas.SetBackMode(bmTransparent);
    const int fh = canvas.FontHeight();
    const QStringList lines = text.split(QLatin1Char('\n'));
    const int n = int(lines.size());
    if (labelsAngle_ != 0) {
        // Rotated labels: the text's first line turned about the label position.
        const int x = IsHorizontal() ? p : labelsPosition_;
        const int y = IsHorizontal() ? labelsPosition_ : p;
        canvas.SetTextAlign(kind_ == akLeft ? TA_RIGHT : TA_LEFT);
        canvas.RotateLabel(x, y, lines.join(QLatin1Char(' ')), labelsAngle_);
        canvas.SetTextAlign(TA_LEFT | TA_TOP);
        return;
    }
    switch (kind_) {
    case akBottom:
        canvas.SetTextAlign(TA_CENTER | TA_TOP);
        for (int i = 0; i < n; ++i)
            canvas.TextOut(p, labelsPosition_ + i * fh, lines[i]);
        break;
    case akTop:
        canvas.SetTextAlign(TA_CENTER | TA_BOTTOM);
        for (int i = 0; i < n; ++i)
            canvas.TextOut(p, labelsPosition_ - (n - 1 - i) * fh, lines[i]);
        break;
    case akLeft:
    case akRight: {
        canvas.SetTextAlign(kind_ == akLeft ? TA_RIGHT : TA_LEFT);
        const int top = p - (n * fh) / 2;
        for (int i = 0; i < n; ++i)
            canvas.TextOut(labelsPosition_, top + i * fh, lines[i]);
        break;
    }
    default:
        break;
    }
    canvas.SetTextAlign(TA_LEFT | TA_TOP);
}

void TChartAxis::DrawTitle(TTeeCanvas3D &canvas)
{
    const QString &caption = title_.Caption();
    canvas.AssignFont(title_.Font());
    canvas.Brush.Style = bsClear;
    canvas.SetBackMode(bmTransparent);
    const int fh = canvas.FontHeight();
    const int w = canvas.TextWidth(caption);
    const PixelRect plot = PlotRect();
    const int cx = (plot.Left + plot.Right) / 2, cy = (plot.Top + plot.Bottom) / 2;
    canvas.SetTextAlign(TA_LEFT | TA_TOP);
    switch (kind_) {
    case akLeft:
        if (title_.Angle() == 90)
            canvas.RotateLabel(titlePosition_ - fh, cy + w / 2, caption, 90);
        else
            canvas.RotateLabel(titlePosition_ - w, cy - fh / 2, caption, title_.Angle());
        break;
    case akRight:
        if (title_.Angle() == 270)
            canvas.RotateLabel(titlePosition_ + fh, cy - w / 2, caption, 270);
        else
            canvas.RotateLabel(titlePosition_, cy - fh / 2, caption, title_.Angle());
        break;
    case akTop:
        canvas.RotateLabel(cx - w / 2, titlePosition_ - fh, caption, title_.Angle());
        break;
    case akBottom:
        canvas.RotateLabel(cx - w / 2, titlePosition_, caption, title_.Angle());
        break;
    default:
        break;
    }
}

void TChartAxis::DrawAxis(TTeeCanvas3D &canvas)
{
    // Date-time labelling follows the value lists of the active series on the axis.
    isDateTime_ = false;
    if (parent_)
        for (const TChartSeries *s : parent_->SeriesList())
            if (s->Active() && OnAxis(s, this)) {
                const TChartValueList *list = IsHorizontal() ? s->XValues() : s->YValues();
                if (list && list->DateTime())
                    isDateTime_ = true;
            }
    canvas.AssignFont(labelsFont_);
    const double step = LabelStep(canvas);
    const PixelRect plot = PlotRect();
    SetPositions(plot);
    if (!title_.Caption().isEmpty())
        DrawTitle(canvas);

    if (step > 0 && shownMaximum_ >= shownMinimum_) {
        int prevTick = std::numeric_limits<int>::min();
        auto drawLabel = [&](double v, const QString *fixedText) {
            const int p = ValueToPixel(v);
            if (!tickOnLabelsOnly_)
                DrawTicksAndGrid(canvas, p, v, prevTick);
            if (labels_) {
                const QString text = fixedText ? *fixedText : LabelText(v);
                if (tickOnLabelsOnly_)
                    DrawTicksAndGrid(canvas, p, v, prevTick);
                DrawLabelText(canvas, p, text);
            }
        };
        const TAxisLabelStyle style = ResolvedLabelStyle();
        if (style == talValue) {
            bool custom = false;
            if (OnGetNextAxisLabel) {
                // Custom label values, at most 1001 of them, inside the shown range.
                double v = shownMinimum_;
                for (int i = 0; i <= 1000; ++i) {
                    bool stop = true;
                    OnGetNextAxisLabel(this, i, v, stop);
                    if (stop)
                        break;
                    custom = true;
                    if (v < shownMinimum_ - 1e-7 || v > shownMaximum_ + 1e-7)
                        break;
                    drawLabel(v, nullptr);
                }
            }
            if (!custom)
                for (const double v : ValueLabels(step))
                    drawLabel(v, nullptr);
        } else if ((style == talText || style == talMark) && parent_) {
            // Point labels of the first active series on the axis, at their X values.
            for (const TChartSeries *s : parent_->SeriesList()) {
                if (!s->Active() || !OnAxis(s, this))
                    continue;
                for (int i = s->PointCount() - 1; i >= 0; --i) {
                    const double v = IsHorizontal() ? s->XValueAt(i) : s->YValueAt(i);
                    if (v < shownMinimum_ || v > shownMaximum_)
                        continue;
                    const QString text = s->PointLabel(i);
                    drawLabel(v, &text);
                }
                break;
            }
        }
    }

    if (axisPen_.Visible()) {
        canvas.LoadPen(axisPen_);
        switch (kind_) {
        case akBottom:
        case akTop:
            canvas.HorizLine(plot.Left, plot.Right, linePosition_);
            break;
        case akLeft:
        case akRight:
            canvas.VertLine(linePosition_, plot.Top, plot.Bottom);
            break;
        default:
            break;
        }
    }
}
