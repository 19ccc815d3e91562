#include "windowplacement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QMargins>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace
{

/// The last frame a window manager put around one of the program's windows.
QMargins &KnownFrame()
{
    static QMargins frame;
    return frame;
}

/// The frame of a shown window as the window manager reports it (none without one).
QMargins ShownFrame(const QWidget *window)
{
    const QWindow *handle = window->windowHandle();
    if (handle == nullptr || !window->isVisible())
        return {};
    return handle->frameMargins();
}

/// Puts the client area where it is when the frame around it is centred. The client area's
/// position is the one every window system takes the same way, shown before or not (a frame
/// position is taken for the client's by some before the window is framed).
QPoint ClientPositionFor(const QWidget *window, const QMargins &frame)
{
    const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return window->pos();
    return CentredClientPosition(screen->availableGeometry(), window->size(), frame);
}

void Place(QWidget *window, const QMargins &frame)
{
    window->setGeometry(QRect(ClientPositionFor(window, frame), window->size()));
}

/// Centres a window again once it is shown and its frame is known, if it is not centred.
class FrameWatcher : public QObject
{
  public:
    explicit FrameWatcher(QWidget *window) : QObject(window), window_(window)
    {
        window->installEventFilter(this);
        // A window manager reports the frame right after mapping the window, or never.
        QTimer::singleShot(3000, this, [this] { deleteLater(); });
    }

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == window_ &&
            (event->type() == QEvent::Move || event->type() == QEvent::Show ||
             event->type() == QEvent::UpdateRequest || event->type() == QEvent::Paint))
            QTimer::singleShot(0, this, [this] { Check(); });
        return false;
    }

  private:
    void Check()
    {
        if (!window_)
            return;
        const QMargins frame = ShownFrame(window_);
        if (frame.isNull())
            return;
        KnownFrame() = frame;
        // The frame assumed may not be this window's, or the window manager may have placed the
        // window by itself.
        if (window_->geometry().topLeft() != ClientPositionFor(window_, frame))
            Place(window_, frame);
        deleteLater();
    }

    QPointer<QWidget> window_;
};

} // namespace

QPoint CentredClientPosition(const QRect &area, const QSize &client, const QMargins &frame)
{
    const QSize outer = client.grownBy(frame);
    return QPoint(area.x() + (area.width() - outer.width()) / 2 + frame.left(),
                  area.y() + (area.height() - outer.height()) / 2 + frame.top());
}

void CentreOnScreen(QWidget *window)
{
    if (window == nullptr)
        return;
    QMargins frame = ShownFrame(window);
    const bool own = !frame.isNull();
    if (own)
        KnownFrame() = frame;
    else
        frame = KnownFrame();
    Place(window, frame);
    const QWindow *handle = window->windowHandle();
    if (handle == nullptr || !handle->isExposed())
        new FrameWatcher(window);
}
