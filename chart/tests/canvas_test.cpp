// Pixel tests of the drawing canvas: every convention is checked on the image's pixels.
#include "canvas.h"

#include <QFontInfo>
#include <QPainter>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace
{

using PixelSet = std::set<std::pair<int, int>>;

/// Pixels that differ between two images of the same size.
PixelSet Diff(const QImage &a, const QImage &b)
{
    PixelSet out;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y))
                out.insert({x, y});
    return out;
}

PixelSet Box(int x0, int y0, int x1, int y1)
{
    PixelSet s;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            s.insert({x, y});
    return s;
}

PixelSet Outline(int x0, int y0, int x1, int y1)
{
    PixelSet s = Box(x0, y0, x1, y1);
    for (const auto &p : Box(x0 + 1, y0 + 1, x1 - 1, y1 - 1))
        s.erase(p);
    return s;
}

PixelSet operator+(PixelSet a, const PixelSet &b)
{
    a.insert(b.begin(), b.end());
    return a;
}

QImage RandomImage(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    QRandomGenerator gen(42);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, 0xFF000000u | (gen.generate() & 0xFFFFFFu));
    return img;
}

/// The pixels of a drawn figure as text rows over the box: '#' pen, 'r' red brush, '.' other.
std::vector<std::string> Picture(const QImage &img, int x0, int y0, int w, int h)
{
    std::vector<std::string> rows;
    for (int y = y0; y < y0 + h; ++y) {
        std::string row;
        for (int x = x0; x < x0 + w; ++x) {
            const QRgb p = img.pixel(x, y) & 0xFFFFFFu;
            row += p == 0x000000u ? '#' : p == 0xFF0000u ? 'r' : '.';
        }
        rows.push_back(row);
    }
    return rows;
}

/// The pixels an outline encloses: those of `outline`'s box not reachable from outside it
/// through 4-connected pixels off the outline.
PixelSet Enclosed(const PixelSet &outline)
{
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -(1 << 30), y1 = -(1 << 30);
    for (const auto &[x, y] : outline) {
        x0 = std::min(x0, x - 1);
        y0 = std::min(y0, y - 1);
        x1 = std::max(x1, x + 1);
        y1 = std::max(y1, y + 1);
    }
    PixelSet outside;
    std::vector<std::pair<int, int>> todo{{x0, y0}};
    while (!todo.empty()) {
        const auto p = todo.back();
        todo.pop_back();
        if (p.first < x0 || p.first > x1 || p.second < y0 || p.second > y1 || outline.count(p) ||
            !outside.insert(p).second)
            continue;
        todo.push_back({p.first - 1, p.second});
        todo.push_back({p.first + 1, p.second});
        todo.push_back({p.first, p.second - 1});
        todo.push_back({p.first, p.second + 1});
    }
    PixelSet inside;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (!outline.count({x, y}) && !outside.count({x, y}))
                inside.insert({x, y});
    return inside;
}

class CanvasTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { InstallChartFontSubstitutions(); }
    void SetUp() override
    {
        canvas.ClearTarget(); // the image is replaced below
        img = QImage(120, 80, QImage::Format_RGB32);
        img.fill(Qt::white);
        blank = img.copy();
        canvas.SetImageTarget(&img);
        canvas.ResetCanvas();
    }
    PixelSet Drawn() const { return Diff(blank, img); }

    QImage img;
    QImage blank;
    TTeeCanvas3D canvas;
};

TEST_F(CanvasTest, RectangleExcludesRightAndBottomBounds)
{
    canvas.Brush.Style = bsClear;
    canvas.Rectangle(10, 10, 13, 13);
    EXPECT_EQ(Drawn(), Outline(10, 10, 13, 13));
    EXPECT_EQ(Drawn().size(), 8u);

    // With a brush the interior is filled, the outline stays where it was; corners may come
    // in any order.
    SetUp();
    canvas.Brush.Color = clRed;
    canvas.Pen.Color = clBlue;
    canvas.Rectangle(30, 25, 20, 15);
    EXPECT_EQ(Drawn(), Box(20, 15, 30, 25));
    EXPECT_EQ(canvas.GetPixel(20, 15), clBlue);
    EXPECT_EQ(canvas.GetPixel(29, 24), clBlue);
    EXPECT_EQ(canvas.GetPixel(21, 16), clRed);
    EXPECT_EQ(canvas.GetPixel(28, 23), clRed);

    // One-pixel box: one pixel.
    SetUp();
    canvas.Rectangle(5, 5, 6, 6);
    EXPECT_EQ(Drawn(), Box(5, 5, 6, 6));
}

TEST_F(CanvasTest, ACopyOfTheTargetKeepsItsPixels)
{
    // The canvas reuses the target's pixel pointer between primitives; a copy taken meanwhile
    // shares those pixels, so the next primitive must detach the target before writing.
    canvas.Line(2, 2, 40, 9);
    const QImage afterLine = img.copy();
    const QImage shared = img;
    canvas.Line(3, 30, 50, 41);
    canvas.Rectangle(60, 10, 69, 19);
    canvas.Ellipse(80, 10, 89, 19);
    canvas.Polygon({PixelPoint{90, 40}, PixelPoint{98, 40}, PixelPoint{94, 32}});
    EXPECT_TRUE(Diff(shared, afterLine).empty());
    for (const auto &[x, y] :
         {std::pair{3, 30}, std::pair{60, 10}, std::pair{84, 10}, std::pair{94, 40}})
        EXPECT_EQ(canvas.GetPixel(x, y), clBlack) << x << "," << y;
}

TEST_F(CanvasTest, ClearBrushAndInvisiblePen)
{
    canvas.Brush.Color = clRed;
    canvas.Brush.Style = bsClear;
    canvas.Rectangle(10, 10, 20, 16);
    EXPECT_EQ(Drawn(), Outline(10, 10, 20, 16));

    SetUp();
    TChartHiddenPen hidden(clBlue, 3);
    canvas.LoadPen(hidden);
    EXPECT_EQ(canvas.Pen.Style, psClear);
    EXPECT_EQ(canvas.Pen.Width, 1) << "an invisible pen only clears the style";
    canvas.Brush.Color = clRed;
    canvas.Rectangle(10, 10, 20, 16);
    EXPECT_EQ(Drawn(), Box(10, 10, 20, 16));
    EXPECT_EQ(canvas.GetPixel(10, 10), clRed);

    // Neither pen nor brush: nothing at all, for every filled shape.
    SetUp();
    canvas.Pen.Style = psClear;
    canvas.Brush.Style = bsClear;
    canvas.Rectangle(10, 10, 20, 16);
    canvas.Ellipse(30, 10, 40, 20);
    canvas.Polygon({{50, 10}, {60, 10}, {55, 20}});
    canvas.Line(0, 0, 50, 50);
    EXPECT_TRUE(Drawn().empty());

    // FillRect fills the whole box and never outlines.
    SetUp();
    canvas.Brush.Color = clGreen;
    canvas.FillRect({10, 10, 15, 12});
    EXPECT_EQ(Drawn(), Box(10, 10, 15, 12));
}

TEST_F(CanvasTest, LinesLeaveOutTheirEndPoint)
{
    canvas.HorizLine(10, 20, 5);
    EXPECT_EQ(Drawn(), Box(10, 5, 20, 6));
    SetUp();
    canvas.HorizLine(20, 10, 5);
    EXPECT_EQ(Drawn(), Box(11, 5, 21, 6));
    SetUp();
    canvas.VertLine(7, 30, 40);
    EXPECT_EQ(Drawn(), Box(7, 30, 8, 40));
    SetUp();
    canvas.Line(3, 3, 3, 3);
    EXPECT_TRUE(Drawn().empty());

    // A shallow diagonal: one pixel per column, the minor coordinate rounded half away from
    // the start.
    SetUp();
    canvas.Line(10, 10, 20, 13);
    const PixelSet expected{{10, 10}, {11, 10}, {12, 11}, {13, 11}, {14, 11},
                            {15, 12}, {16, 12}, {17, 12}, {18, 12}, {19, 13}};
    EXPECT_EQ(Drawn(), expected);

    // Every direction: the start is drawn, the end is not, one pixel per step along the major
    // axis, each pixel 8-connected to the previous one; MoveTo/LineTo moves the pen.
    for (int dx = -12; dx <= 12; ++dx)
        for (int dy = -12; dy <= 12; ++dy) {
            if (dx == 0 && dy == 0)
                continue;
            SetUp();
            canvas.MoveTo(40, 40);
            canvas.LineTo(40 + dx, 40 + dy);
            const PixelSet d = Drawn();
            ASSERT_EQ(int(d.size()), std::max(std::abs(dx), std::abs(dy))) << dx << "," << dy;
            ASSERT_TRUE(d.count({40, 40}));
            ASSERT_FALSE(d.count({40 + dx, 40 + dy}));
            for (const auto &[x, y] : d)
                ASSERT_TRUE(std::abs(x - 40) <= std::abs(dx) && std::abs(y - 40) <= std::abs(dy));
            EXPECT_EQ(canvas.PenPos(), (PixelPoint{40 + dx, 40 + dy}));
        }
}

TEST_F(CanvasTest, PolylineDrawsEachJointOnceAndNotTheLastPoint)
{
    canvas.Polyline({{10, 10}, {20, 10}, {20, 20}, {10, 20}});
    PixelSet expected = Box(10, 10, 20, 11);
    for (const auto &p : Box(20, 10, 21, 20))
        expected.insert(p);
    for (const auto &p : Box(11, 20, 21, 21))
        expected.insert(p);
    EXPECT_EQ(Drawn(), expected);

    // Drawn twice in NOT-XOR mode, no joint is toggled twice.
    canvas.ClearTarget();
    img = RandomImage(120, 80);
    const QImage before = img.copy();
    canvas.SetImageTarget(&img);
    canvas.Pen.Mode = pmNotXor;
    const std::initializer_list<PixelPoint> pts{{5, 5}, {50, 17}, {30, 60}, {5, 5}, {90, 70}};
    canvas.Polyline(pts);
    EXPECT_FALSE(Diff(before, img).empty());
    canvas.Polyline(pts);
    EXPECT_TRUE(Diff(before, img).empty());
}

TEST_F(CanvasTest, ClipToPlotKeepsDrawingInsideThePlot)
{
    canvas.ClipToPlot({0, 0, 100, 50}, 0, 0);
    for (int y = -5; y < 85; y += 3)
        canvas.Line(-10, y, 130, y + 7);
    for (int x = -5; x < 125; x += 4)
        canvas.Line(x, -10, x - 9, 95);
    canvas.SetBackColor(clYellow);
    canvas.TextOut(95, 45, QStringLiteral("WWW"));
    EXPECT_EQ(canvas.GetPixel(100, 47), clWhite);
    EXPECT_EQ(canvas.GetPixel(99, 49), clWhite);
    canvas.Brush.Color = clRed;
    canvas.Rectangle(-20, -20, 200, 200);
    const PixelSet d = Drawn();
    ASSERT_FALSE(d.empty());
    for (const auto &[x, y] : d) {
        EXPECT_TRUE(x >= 1 && x <= 99) << x;
        EXPECT_TRUE(y >= 1 && y <= 48) << y;
    }
    EXPECT_TRUE(d.count({1, 1}));
    EXPECT_TRUE(d.count({99, 48}));

    // Unclip: the whole image again.
    canvas.Unclip();
    canvas.SetPixel(119, 79, clBlue);
    EXPECT_EQ(canvas.GetPixel(119, 79), clBlue);
}

TEST_F(CanvasTest, NotXorRestoresThePictureWhenDrawnTwice)
{
    canvas.ClearTarget();
    img = RandomImage(120, 80);
    const QImage before = img.copy();
    canvas.SetImageTarget(&img);
    canvas.Pen.Mode = pmNotXor;
    canvas.Pen.Color = clRed;
    canvas.Brush.Style = bsClear;

    // One pass gives NOT(screen XOR pen) on the outline.
    const QRgb bg = before.pixel(10, 10);
    canvas.Rectangle(10, 10, 40, 30);
    EXPECT_EQ(img.pixel(10, 10), (~(bg ^ 0xFFFF0000u)) | 0xFF000000u);
    canvas.Rectangle(10, 10, 40, 30);
    EXPECT_TRUE(Diff(before, img).empty()) << "hollow rectangle";

    auto twice = [&](const char *what, auto draw) {
        draw();
        EXPECT_FALSE(Diff(before, img).empty()) << what;
        draw();
        EXPECT_TRUE(Diff(before, img).empty()) << what;
    };
    canvas.Brush.Style = bsSolid;
    canvas.Brush.Color = clAqua;
    twice("filled rectangle", [&] { canvas.Rectangle(5, 5, 60, 40); });
    twice("wide filled rectangle", [&] {
        canvas.Pen.Width = 3;
        canvas.Rectangle(5, 5, 60, 40);
        canvas.Pen.Width = 1;
    });
    twice("ellipse", [&] { canvas.Ellipse(20, 20, 71, 52); });
    twice("polygon", [&] { canvas.Polygon({{10, 70}, {60, 5}, {110, 70}, {60, 40}}); });
    canvas.Pen.Style = psDot;
    twice("dotted rectangle", [&] { canvas.Rectangle(3, 3, 90, 70); });
    canvas.Pen.Style = psSolid;
    canvas.Pen.Width = 2;
    twice("wide lines", [&] {
        canvas.HorizLine(0, 100, 50);
        canvas.Line(5, 70, 100, 2);
    });
}

TEST_F(CanvasTest, EllipseFitsItsBoxSymmetrically)
{
    canvas.Brush.Color = clRed;
    for (auto [w, h] : {std::pair{9, 9}, {10, 10}, {14, 7}, {2, 2}, {3, 5}, {40, 12}}) {
        SetUp();
        canvas.Brush.Color = clRed;
        canvas.Ellipse(10, 10, 10 + w, 10 + h);
        const PixelSet d = Drawn();
        int minX = 999, maxX = -1, minY = 999, maxY = -1;
        for (const auto &[x, y] : d) {
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
            EXPECT_TRUE(d.count({2 * 10 + w - 1 - x, y})) << "mirror x " << w << "x" << h;
            EXPECT_TRUE(d.count({x, 2 * 10 + h - 1 - y})) << "mirror y " << w << "x" << h;
        }
        EXPECT_EQ(minX, 10);
        EXPECT_EQ(maxX, 10 + w - 1);
        EXPECT_EQ(minY, 10);
        EXPECT_EQ(maxY, 10 + h - 1);
        if (w >= 5 && h >= 5) {
            EXPECT_EQ(canvas.GetPixel(10 + w / 2, 10 + h / 2), clRed);
            EXPECT_EQ(canvas.GetPixel(10, 10), clWhite) << "corners stay outside";
            EXPECT_EQ(canvas.GetPixel(10 + w / 2, 10), clBlack) << "outline at the top";
        }
    }
}

TEST_F(CanvasTest, EllipseMatchesTheLibraryEllipseAndRepeatsExactly)
{
    // Same pixels as the paint library's aliased ellipse in the box with a cosmetic pen.
    QImage ref = blank.copy();
    {
        QPainter p(&ref);
        QPen pen(Qt::black, 0);
        pen.setCosmetic(true);
        p.setPen(pen);
        p.setBrush(Qt::red);
        p.drawEllipse(QRect(10, 10, 8, 8));
        p.drawEllipse(QRect(40, 12, 13, 6));
    }
    canvas.Brush.Color = clRed;
    canvas.Ellipse(10, 10, 19, 19);
    canvas.Ellipse(40, 12, 54, 19);
    EXPECT_TRUE(Diff(ref, img).empty());

    // A marker drawn again elsewhere is the same shape moved (shapes are reused).
    SetUp();
    canvas.Brush.Color = clRed;
    canvas.Ellipse(10, 10, 19, 19);
    canvas.Polygon({{10, 40}, {18, 40}, {14, 32}});
    const PixelSet first = Drawn();
    SetUp();
    canvas.Brush.Color = clRed;
    canvas.Ellipse(60, 30, 69, 39);
    canvas.Polygon({{60, 60}, {68, 60}, {64, 52}});
    canvas.Ellipse(60, 30, 69, 39);
    canvas.Polygon({{60, 60}, {68, 60}, {64, 52}});
    PixelSet moved;
    for (const auto &[x, y] : first)
        moved.insert({x + 50, y + 20});
    EXPECT_EQ(Drawn(), moved);
}

TEST_F(CanvasTest, PolygonOutlineCoversVerticesAndFillStaysInside)
{
    canvas.Brush.Color = clRed;
    canvas.Polygon({{10, 30}, {30, 30}, {20, 10}});
    const PixelSet d = Drawn();
    EXPECT_TRUE(d.count({10, 30}));
    EXPECT_TRUE(d.count({30, 30}));
    EXPECT_TRUE(d.count({20, 10}));
    EXPECT_EQ(canvas.GetPixel(20, 10), clBlack);
    EXPECT_EQ(canvas.GetPixel(20, 25), clRed);
    for (const auto &[x, y] : d)
        EXPECT_TRUE(x >= 10 && x <= 30 && y >= 10 && y <= 30);
    // Only the triangle's own pixels: nothing beyond its edges on the base row.
    EXPECT_EQ(canvas.GetPixel(9, 30), clWhite);
    EXPECT_EQ(canvas.GetPixel(31, 30), clWhite);
}

TEST_F(CanvasTest, PolygonFillIsExactlyWhatItsOutlineEncloses)
{
    // The legend's triangle of a series with triangle markers (half sizes 2 and 3).
    canvas.Brush.Color = clRed;
    canvas.Polygon({{8, 16}, {12, 16}, {10, 10}});
    EXPECT_EQ(Picture(img, 7, 9, 7, 9), (std::vector<std::string>{
                                            ".......", //
                                            "...#...", //
                                            "...#...", //
                                            "..#r#..", //
                                            "..#r#..", //
                                            "..#r#..", //
                                            ".#rrr#.", //
                                            ".#####.", //
                                            ".......", //
                                        }));

    // Triangles and diamonds of every marker size, and some irregular ones: the brush covers
    // the pixels the outline encloses, no more and no less.
    QRandomGenerator gen(7);
    for (int k = 0; k < 300; ++k) {
        std::vector<PixelPoint> pts;
        const int cx = 30, cy = 30, h = 1 + k % 9, v = 1 + (k / 9) % 9;
        if (k < 81)
            pts = {{cx - h, cy + v}, {cx + h, cy + v}, {cx, cy - v}};
        else if (k < 162)
            pts = {{cx - h, cy}, {cx, cy - v}, {cx + h, cy}, {cx, cy + v}};
        else
            for (int i = 0; i < 3; ++i)
                pts.push_back({int(gen.bounded(10, 50)), int(gen.bounded(10, 50))});
        SetUp();
        canvas.Brush.Style = bsClear;
        canvas.Polygon(pts);
        const PixelSet outline = Drawn();
        SetUp();
        canvas.Brush.Color = clRed;
        canvas.Polygon(pts);
        PixelSet pen, brush;
        for (const auto &[x, y] : Drawn())
            (canvas.GetPixel(x, y) == clRed ? brush : pen).insert({x, y});
        ASSERT_EQ(pen, outline) << "shape " << k;
        ASSERT_EQ(brush, Enclosed(outline)) << "shape " << k;
    }

    // Where edges cross, an enclosed region is filled by the even-odd rule: a five-pointed
    // star keeps its centre empty, its points are filled.
    SetUp();
    canvas.Brush.Color = clRed;
    canvas.Polygon({{40, 5}, {52, 45}, {20, 20}, {60, 20}, {28, 45}});
    EXPECT_EQ(canvas.GetPixel(40, 28), clWhite);
    EXPECT_EQ(canvas.GetPixel(40, 12), clRed);
}

TEST_F(CanvasTest, FlatEllipsesAreInscribedInTheirBox)
{
    // Boxes with a side of 5 pixels or less: the outline touches all four sides and is closed,
    // symmetric, and the brush fills exactly what it encloses. Two pixels or less: all frame.
    for (int w = 1; w <= 24; ++w)
        for (int h = 1; h <= 24; ++h) {
            if (std::min(w, h) > 5)
                continue;
            SetUp();
            canvas.Brush.Color = clRed;
            canvas.Ellipse(10, 10, 10 + w, 10 + h);
            PixelSet pen, brush;
            for (const auto &[x, y] : Drawn())
                (canvas.GetPixel(x, y) == clRed ? brush : pen).insert({x, y});
            int minX = 999, maxX = -1, minY = 999, maxY = -1;
            for (const auto &[x, y] : pen) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = std::max(maxY, y);
                ASSERT_TRUE(pen.count({2 * 10 + w - 1 - x, y})) << w << "x" << h;
                ASSERT_TRUE(pen.count({x, 2 * 10 + h - 1 - y})) << w << "x" << h;
            }
            ASSERT_EQ(minX, 10) << w << "x" << h;
            ASSERT_EQ(maxX, 9 + w) << w << "x" << h;
            ASSERT_EQ(minY, 10) << w << "x" << h;
            ASSERT_EQ(maxY, 9 + h) << w << "x" << h;
            ASSERT_EQ(brush, Enclosed(pen)) << w << "x" << h;
            if (w <= 2 || h <= 2)
                ASSERT_EQ(pen, Box(10, 10, 10 + w, 10 + h)) << w << "x" << h;
            else
                ASSERT_FALSE(brush.empty()) << w << "x" << h;
        }

    const auto shape = [&](int w, int h) {
        SetUp();
        canvas.Brush.Color = clRed;
        canvas.Ellipse(10, 10, 10 + w, 10 + h);
        return Picture(img, 10, 10, w, h);
    };
    EXPECT_EQ(shape(4, 4), (std::vector<std::string>{".##.", "#rr#", "#rr#", ".##."}));
    EXPECT_EQ(shape(6, 3), (std::vector<std::string>{".####.", "#rrrr#", ".####."}));
    EXPECT_EQ(shape(12, 2), (std::vector<std::string>{"############", "############"}));
    EXPECT_EQ(shape(20, 4), (std::vector<std::string>{"....############....", //
                                                      "####rrrrrrrrrrrr####", //
                                                      "####rrrrrrrrrrrr####", //
                                                      "....############...."}));
    EXPECT_EQ(shape(3, 9), (std::vector<std::string>{".#.", ".#.", "#r#", "#r#", "#r#", "#r#",
                                                     "#r#", ".#.", ".#."}));
    // The legend's circle of a series with circle markers (half sizes 2 and 3).
    EXPECT_EQ(shape(4, 6),
              (std::vector<std::string>{".##.", "#rr#", "#rr#", "#rr#", "#rr#", ".##."}));
}

TEST_F(CanvasTest, PenStylesAndWidths)
{
    // Dotted: three on, three off, starting at the first point; the pattern runs on through
    // the joints of a polyline.
    canvas.Pen.Style = psDot;
    canvas.HorizLine(10, 40, 5);
    for (int x = 10; x < 40; ++x)
        EXPECT_EQ(canvas.GetPixel(x, 5) == clBlack, (x - 10) % 6 < 3) << x;
    canvas.Polyline({{10, 8}, {14, 8}, {40, 8}});
    for (int x = 10; x < 40; ++x)
        EXPECT_EQ(canvas.GetPixel(x, 8) == clBlack, (x - 10) % 6 < 3) << x;

    // Width 2: rows y-1 and y (columns x-1 and x), end excluded.
    SetUp();
    canvas.Pen.Width = 2;
    canvas.HorizLine(10, 20, 30);
    EXPECT_EQ(Drawn(), Box(10, 29, 20, 31));
    SetUp();
    canvas.Pen.Width = 2;
    canvas.VertLine(50, 10, 20);
    EXPECT_EQ(Drawn(), Box(49, 10, 51, 20));
    // A 2-pixel rectangle frame is centred on the outline a 1-pixel pen draws (10..19).
    SetUp();
    canvas.Pen.Width = 2;
    canvas.Brush.Style = bsClear;
    canvas.Rectangle(10, 10, 20, 20);
    EXPECT_EQ(Drawn(), Outline(9, 9, 20, 20) + Outline(10, 10, 19, 19));
}

TEST_F(CanvasTest, TextIsPlacedByItsTopLeftCornerWithoutAntialiasing)
{
    canvas.Font.Name = QStringLiteral("MS Sans Serif");
    canvas.Font.Height = -13;
    canvas.SetBackMode(bmTransparent);
    const QString text = QStringLiteral("Точка1 W");
    const int w = canvas.TextWidth(text), h = canvas.TextHeight(text);
    const QFontMetrics fm(canvas.CurrentQFont());
    EXPECT_EQ(w, fm.horizontalAdvance(text));
    EXPECT_EQ(canvas.FontHeight(), fm.height()) << "the full line height";
    EXPECT_GT(h, 13);

    canvas.TextOut(20, 10, text);
    const PixelSet d = Drawn();
    ASSERT_FALSE(d.empty());
    std::set<QRgb> colours;
    for (const auto &[x, y] : d) {
        EXPECT_TRUE(x >= 20 && x < 20 + w && y >= 10 && y < 10 + h) << x << "," << y;
        colours.insert(img.pixel(x, y));
    }
    EXPECT_EQ(colours, std::set<QRgb>{0xFF000000u}) << "no antialiasing";

    // Right and centre alignment move the same ink; opaque mode fills the cell.
    const QImage left = img.copy();
    SetUp();
    canvas.Font.Height = -13;
    canvas.SetBackMode(bmTransparent);
    canvas.SetTextAlign(TA_RIGHT);
    canvas.TextOut(20 + w, 10, text);
    EXPECT_TRUE(Diff(left, img).empty());
    SetUp();
    canvas.Font.Height = -13;
    canvas.SetBackMode(bmTransparent);
    canvas.SetTextAlign(TA_CENTER | TA_BOTTOM);
    canvas.TextOut(20 + w / 2, 10 + h, text);
    EXPECT_TRUE(Diff(left, img).empty());
    SetUp();
    canvas.Font.Height = -13;
    canvas.SetBackColor(clYellow);
    canvas.TextOut(20, 10, text);
    EXPECT_EQ(Drawn(), Box(20, 10, 20 + w, 10 + h));

    // No font, no measurement failure: an empty text is 0 wide.
    EXPECT_EQ(canvas.TextWidth(QString()), 0);
}

TEST_F(CanvasTest, ChartFontsAreSubstituted)
{
    for (const char *name : {"MS Sans Serif", "Arial"}) {
        canvas.Font.Name = QString::fromLatin1(name);
        const QString family = QFontInfo(canvas.CurrentQFont()).family();
        EXPECT_TRUE(family == QLatin1String("Liberation Sans") ||
                    family == QLatin1String("DejaVu Sans"))
            << name << " -> " << family.toStdString();
    }
}

TEST_F(CanvasTest, LoadPenAndResetCanvas)
{
    TChartPen pen(clRed, 3, psDash);
    pen.SetMode(pmXor);
    canvas.LoadPen(pen);
    EXPECT_EQ(canvas.Pen.Color, clRed);
    EXPECT_EQ(canvas.Pen.Width, 3);
    EXPECT_EQ(canvas.Pen.Style, psDash);
    EXPECT_EQ(canvas.Pen.Mode, pmXor);

    canvas.Brush = {clBlue, bsCross};
    canvas.Font.Color = clRed;
    canvas.Font.Height = -30;
    canvas.SetBackMode(bmTransparent);
    canvas.SetTextAlign(TA_RIGHT | TA_BOTTOM);
    canvas.ResetCanvas();
    EXPECT_EQ(canvas.Pen.Color, clBlack);
    EXPECT_EQ(canvas.Pen.Width, 1);
    EXPECT_EQ(canvas.Pen.Style, psSolid);
    EXPECT_EQ(canvas.Pen.Mode, pmCopy);
    EXPECT_EQ(canvas.Brush.Color, clWhite);
    EXPECT_EQ(canvas.Brush.Style, bsSolid);
    EXPECT_EQ(canvas.Font.Color, clBlack);
    EXPECT_EQ(canvas.Font.Size(), 10);
    EXPECT_EQ(canvas.BackColor(), clWhite);
    EXPECT_EQ(canvas.BackMode(), bmOpaque);
    EXPECT_EQ(canvas.TextAlign(), 0u);

    // Chart pens notify their owner only on a real change.
    int changes = 0;
    pen.OnChange = [&] { ++changes; };
    pen.SetColor(clRed);
    pen.SetWidth(4);
    pen.SetVisible(false);
    pen.SetVisible(false);
    EXPECT_EQ(changes, 2);
    TChartBrush brush;
    EXPECT_EQ(brush.Color(), AutoColor);
    EXPECT_FALSE(TChartHiddenPen().Visible());
}

TEST_F(CanvasTest, BufferedPaintCycle)
{
    QImage screen(60, 40, QImage::Format_RGB32);
    screen.fill(Qt::black);
    TTeeCanvas3D buf;
    EXPECT_TRUE(buf.BufferStale);
    EXPECT_EQ(buf.Bitmap(), nullptr);
    {
        QPainter window(&screen);
        EXPECT_FALSE(buf.ReDrawBitmap(&window));
        const PixelRect r = buf.BeginPaintBuffer(&window, nullptr, {0, 0, 60, 40}, false);
        EXPECT_EQ(r, (PixelRect{0, 0, 60, 40}));
        ASSERT_NE(buf.Bitmap(), nullptr);
        buf.Brush.Color = clRed;
        buf.FillRect(r);
        buf.Rectangle(10, 10, 20, 20);
        buf.FlushPaintBuffer(&window, &window, {0, 0});
    }
    EXPECT_FALSE(buf.BufferStale);
    EXPECT_TRUE(Diff(screen, *buf.Bitmap()).empty()) << "flushed onto the window";

    // A repaint without changes copies the bitmap and draws nothing new.
    const QImage *bitmap = buf.Bitmap();
    screen.fill(Qt::black);
    {
        QPainter window(&screen);
        EXPECT_TRUE(buf.ReDrawBitmap(&window));
    }
    EXPECT_TRUE(Diff(screen, *buf.Bitmap()).empty());
    EXPECT_EQ(buf.Bitmap(), bitmap);

    // A change makes it stale; a resize (Buffered off and on) frees the bitmap.
    buf.Invalidate();
    EXPECT_FALSE(buf.ReDrawBitmap(nullptr));
    buf.BufferStale = false;
    buf.SetBuffered(false);
    buf.SetBuffered(true);
    EXPECT_EQ(buf.Bitmap(), nullptr);
    EXPECT_TRUE(buf.BufferStale);
    const PixelRect r2 = buf.BeginPaintBuffer(nullptr, nullptr, {5, 5, 35, 25}, false);
    EXPECT_EQ(r2, (PixelRect{0, 0, 30, 20}));
    EXPECT_EQ(buf.Bitmap()->size(), QSize(30, 20));
    buf.FlushPaintBuffer(nullptr, nullptr, {0, 0});

    // Unbuffered: drawing goes straight to the window in its own bounds.
    buf.SetBuffered(false);
    screen.fill(Qt::white);
    {
        QPainter window(&screen);
        const PixelRect r = buf.BeginPaintBuffer(&window, nullptr, {0, 0, 60, 40}, false);
        EXPECT_EQ(r, (PixelRect{0, 0, 60, 40}));
        buf.Brush.Style = bsClear;
        buf.Rectangle(10, 10, 13, 13);
        buf.FlushPaintBuffer(&window, &window, {0, 0});
    }
    QImage expected(60, 40, QImage::Format_RGB32);
    expected.fill(Qt::white);
    EXPECT_EQ(Diff(expected, screen), Outline(10, 10, 13, 13));
}

TEST_F(CanvasTest, PainterTargetDrawsTheSamePixelsAsAnImageTarget)
{
    // A rubber band on a widget: NOT-XOR through the widget's painter, drawn twice.
    QImage screen = RandomImage(120, 80);
    const QImage before = screen.copy();
    canvas.ClearTarget();
    img = before.copy();
    canvas.SetImageTarget(&img);
    auto band = [](TTeeCanvas &c) {
        c.Pen.Mode = pmNotXor;
        c.Pen.Color = clRed;
        c.Brush.Style = bsClear;
        c.Rectangle(15, 12, 70, 50);
        c.Line(3, 3, 40, 77);
    };
    band(canvas);
    TTeeCanvas direct;
    {
        QPainter p(&screen);
        direct.SetPainterTarget(&p);
        band(direct);
        direct.ClearTarget();
    }
    EXPECT_TRUE(Diff(screen, img).empty());
    {
        QPainter p(&screen);
        direct.SetPainterTarget(&p);
        direct.ClipRectangle({0, 0, 120, 80});
        band(direct);
        direct.ClearTarget();
    }
    EXPECT_TRUE(Diff(screen, before).empty());
}

TEST_F(CanvasTest, ThreeDCanBeSwitchedOffForAWhile)
{
    EXPECT_FALSE(canvas.Is3D());
    EXPECT_EQ(canvas.Project(5, 6, 7), (PixelPoint{5, 6}));
    canvas.SetIs3D(true);
    canvas.Disable3D();
    EXPECT_FALSE(canvas.Is3D());
    canvas.Restore3D();
    EXPECT_TRUE(canvas.Is3D());
}

TEST_F(CanvasTest, HatchedBrushUsesTheBackgroundMode)
{
    canvas.Pen.Style = psClear;
    canvas.Brush = {clBlue, bsHorizontal};
    canvas.SetBackMode(bmTransparent);
    canvas.FillRect({0, 0, 16, 16});
    for (const auto &[x, y] : Drawn())
        EXPECT_EQ(canvas.GetPixel(x, y), clBlue);
    EXPECT_EQ(Drawn().size(), 32u);
    canvas.SetBackMode(bmOpaque);
    canvas.SetBackColor(clYellow);
    canvas.FillRect({0, 0, 16, 16});
    EXPECT_EQ(Drawn(), Box(0, 0, 16, 16));
}

} // namespace
