// The device link's event hook in a Qt program: the measurement run and the
// exchange wait here, dispatching the window's events and sleeping until the
// next one arrives, the port is ready or the deadline has come.
#pragma once

#include "morecom.h"

/// Dispatches the pending events, then sleeps in the event loop until the next
/// event (a click, a repaint, a timer), `fd` ready for `what` (a
/// QSocketNotifier) or MonotonicDays() reaching `deadlineDays` (a single-shot
/// timer), whichever is first, dispatches what woke it and returns. A deadline
/// not after now dispatches the pending events only. Nothing wakes it
/// periodically. Needs a QCoreApplication.
void QtEventWait(int fd, MoreCOM::WaitFor what, double deadlineDays);
