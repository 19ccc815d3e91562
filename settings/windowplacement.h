#pragma once
// Placement of the program's windows: centred on the screen, title bar and frame included.

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

/// Where the client area of size `client` goes for the whole window, the `frame` around it
/// included, to be centred on `area`.
QPoint CentredClientPosition(const QRect &area, const QSize &client, const QMargins &frame);

/// Moves the top-level `window` so that its whole window (client area, title bar and frame)
/// is centred on the available area of its screen. The window manager's frame is known only
/// once a window has been shown: until then the frame of a window shown before stands in (the
/// program's windows share their decoration), and when the window turns out to have another
/// frame it is centred again as soon as the window manager reports it.
void CentreOnScreen(QWidget *window);
