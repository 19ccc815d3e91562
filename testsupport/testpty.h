// A bare pseudo-terminal pair for tests: the test holds the master, the
// program under test opens the slave path as its serial device.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>

struct TestPty {
    int master = -1;
    std::string path; ///< the slave; empty when no pair could be made

    /// `raw`: set the line raw from the master at once (a fresh slave is cooked).
    explicit TestPty(bool raw = true)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        termios tio{};
        if (master < 0 || grantpt(master) || unlockpt(master) ||
            ptsname_r(master, name, sizeof name) || tcgetattr(master, &tio))
            return;
        if (raw) {
            cfmakeraw(&tio);
            tcsetattr(master, TCSANOW, &tio);
        }
        path = name;
    }
    ~TestPty()
    {
        if (master >= 0)
            close(master);
    }
    TestPty(const TestPty &) = delete;
    TestPty &operator=(const TestPty &) = delete;
};
