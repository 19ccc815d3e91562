#include "eventwait.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cmath>
#include <limits>
#include <optional>

void QtEventWait(int fd, MoreCOM::WaitFor what, double deadlineDays)
{
    const double leftMs = (deadlineDays - MoreCOM::MonotonicDays()) * 86400000.0;
    if (leftMs <= 0) {
        QCoreApplication::processEvents();
        return;
    }
    // Both exist only for this wait: a notifier left behind on a descriptor
    // that is later closed would wake the event loop for ever.
    std::optional<QSocketNotifier> notifier;
    if (fd >= 0 && what != MoreCOM::WaitFor::Events)
        notifier.emplace(static_cast<qintptr>(fd), what == MoreCOM::WaitFor::Input
                                                       ? QSocketNotifier::Read
                                                       : QSocketNotifier::Write);
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    // Rounded up, so the timer never fires before the deadline; a pause of
    // days is woken early and waited for again.
    deadline.start(static_cast<int>(
        std::min(std::ceil(leftMs), static_cast<double>(std::numeric_limits<int>::max()))));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
