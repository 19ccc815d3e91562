// Taking over a crashed instance's lock while others try the same.
#include "lockfile.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <latch>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using workbook::WorkbookLock;

// Several writers find the same stale lock at once: exactly one of them gets the workbook,
// every round (one removing the fresh lock another had just made would let two win).
TEST(WorkbookLock, WritersTakingOverOneStaleLockAtOnceLetExactlyOneWin)
{
    QTemporaryDir dir;
    const std::string book = dir.filePath("book.xlsx").toStdString();
    const std::string lockPath = WorkbookLock::LockPathOf(book);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    constexpr int kWriters = 4;
    for (int round = 0; round < 600; ++round) {
        std::ofstream(lockPath) << "PTK71,someone," << host
                                << ",09.12.2026 10:00,ptk71:999999999:1;";
        std::latch start(kWriters);
        std::vector<std::unique_ptr<WorkbookLock>> got(kWriters);
        std::vector<std::thread> writers;
        for (int i = 0; i < kWriters; ++i)
            writers.emplace_back([&, i] {
                start.arrive_and_wait();
                got[i] = WorkbookLock::Acquire(book, nullptr);
            });
        for (std::thread &t : writers)
            t.join();
        int winners = 0;
        for (const auto &lock : got)
            winners += lock != nullptr;
        ASSERT_EQ(winners, 1) << "round " << round;
    }
}
