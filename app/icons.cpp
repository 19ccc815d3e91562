#include "icons.h"

#include <QPainter>
#include <QPixmap>

namespace
{

// A dark screen with a frame and a green trend line over a faint grid, scaled to `size`.
QPixmap IconPicture(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const double k = size / 32.0;
    p.scale(k, k);
    p.setPen(QPen(QColor(64, 64, 64), 1));
    p.setBrush(QColor(0, 0, 96));
    p.drawRect(1, 3, 29, 25);
    p.setPen(QPen(QColor(0, 64, 160), 1));
    for (int x = 8; x < 30; x += 7)
        p.drawLine(x, 4, x, 27);
    for (int y = 10; y < 28; y += 7)
        p.drawLine(2, y, 29, y);
    p.setPen(QPen(QColor(0, 255, 0), size >= 32 ? 2 : 3));
    const QPoint trend[] = {{3, 22}, {9, 15}, {14, 19}, {20, 8}, {25, 13}, {29, 6}};
    p.drawPolyline(trend, 6);
    p.setPen(QPen(QColor(255, 255, 0), 1));
    p.setBrush(QColor(255, 255, 0));
    p.drawRect(19, 7, 2, 2);
    return pm;
}

// An open yellow folder outlined in black, or all grey for the disabled look.
QPixmap FolderPicture(bool enabled)
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const QColor outline = enabled ? QColor(0, 0, 0) : QColor(128, 128, 128);
    const QColor back = enabled ? QColor(192, 160, 0) : QColor(192, 192, 192);
    const QColor front = enabled ? QColor(255, 224, 64) : QColor(224, 224, 224);
    p.setPen(outline);
    p.setBrush(back);
    const QPoint backShape[] = {{1, 3}, {5, 3}, {6, 4}, {12, 4}, {12, 13}, {1, 13}};
    p.drawPolygon(backShape, 6);
    p.setBrush(front);
    const QPoint frontShape[] = {{1, 13}, {4, 7}, {15, 7}, {12, 13}};
    p.drawPolygon(frontShape, 4);
    return pm;
}

} // namespace

QIcon ProgramIcon()
{
    QIcon icon;
    icon.addPixmap(IconPicture(32));
    icon.addPixmap(IconPicture(16));
    return icon;
}

QIcon FolderGlyph()
{
    QIcon icon;
    icon.addPixmap(FolderPicture(true), QIcon::Normal);
    icon.addPixmap(FolderPicture(false), QIcon::Disabled);
    return icon;
}
