#pragma once
// One writer at a time: the lock file beside a workbook.
//
// The lock is a file ".~lock.<name>#" in the workbook's folder, in the format the free office
// suite uses for its own locks, so that program sees who has the workbook open and this one
// sees when that program has it open:
//
//     <name shown>,<login name>,<host name>,<dd.mm.yyyy hh:mm>,<owner id>;
//
// with ',', ';' and '\' escaped by a backslash. A lock of this program has the name shown
// "PTK71" and the owner id "ptk71:<pid>:<process start time>", so a lock left by a crashed
// instance is recognised (no such process on this host) and taken over. Any other lock is
// honoured, whoever holds it: a lock that cannot be read, one from another host, one of a
// running instance (in this process too: a second server opening the same file).
//
// Creating the lock is atomic (O_EXCL); taking over a stale lock removes it (instances doing so
// at once take turns, under a lock on the folder, and remove it only while it is still the
// stale one) and creates a new one, so two instances that take over at once cannot both win.

#include <memory>
#include <string>
#include <vector>

namespace workbook
{

class WorkbookLock
{
  public:
    /// Takes the lock of the workbook at `path` (the folder must exist). Returns nullptr and
    /// sets *why (a sentence for standard error) when somebody else holds it or it cannot be
    /// created.
    static std::unique_ptr<WorkbookLock> Acquire(const std::string &path, std::string *why);
    /// Removes the lock file if it is still this lock.
    ~WorkbookLock();
    WorkbookLock(const WorkbookLock &) = delete;
    WorkbookLock &operator=(const WorkbookLock &) = delete;

    const std::string &LockPath() const { return lockPath_; }

    /// The lock file's name for a workbook path.
    static std::string LockPathOf(const std::string &path);
    /// This process's owner id ("ptk71:<pid>:<start time>").
    static std::string OwnId();

  private:
    WorkbookLock(std::string lockPath, std::string content)
        : lockPath_(std::move(lockPath)), content_(std::move(content))
    {
    }
    std::string lockPath_;
    std::string content_;
};

/// The fields of a lock file's text (unescaped), or an empty list when it is not one.
std::vector<std::string> ParseLockFields(const std::string &text);

} // namespace workbook
