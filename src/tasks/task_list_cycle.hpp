#pragma once

// One read-change-write of the task list, as every user of the list does
// it:
//
//   tasks::TaskListCycle cycle(path);  // takes the list's lock
//   if (!cycle.locked()) {
//       // report cycle.lockFailure() (lines::listUnchanged); change nothing
//   }
//   std::vector<tasks::TaskEntry> list;
//   cycle.readTaskList(list);                  // readTaskList
//   ... change list ...
//   cycle.writeTaskList(list);                 // writeTaskList
//
// The cycle holds the lock (FileLock on "<list>.lock") from its start to
// its end, so runs never interleave their cycles, and it carries what the
// read learnt about the file to the write. Take one cycle per change and
// never two at a time: a second cycle in the same process waits for the
// first like any other run.
//
// What the cycle guarantees (list_file.hpp has the mechanics):
// - A kill or power cut at any instant leaves the complete old list or the
//   complete new one to the next cycle, which finishes an interrupted write
//   before it reads. A write that returned true survives a power cut.
// - A failed write never damages the list: room for the new text is secured
//   before the old text is touched, and once it is touched an intent copy
//   of the new text completes it.
// - A list that could not be read whole has the bytes that were read saved
//   as a backup ("<list>.unreadable.1") before it is rewritten.
// - Nothing is written through a link, FIFO or device at any of the names.

#include "build_limits.hpp"
#include "tasks/file_lock.hpp"
#include "tasks/list_file.hpp"
#include "tasks/task_list.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tasks
{

class TaskListCycle
{
  public:
    // A cycle on the list file at path, waiting at most patience for its
    // lock.
    explicit TaskListCycle(
        const std::string& path,
        std::chrono::milliseconds patience = limits::lockPatience);

    TaskListCycle(const TaskListCycle&) = delete;
    TaskListCycle& operator=(const TaskListCycle&) = delete;
    TaskListCycle(TaskListCycle&&) = delete;
    TaskListCycle& operator=(TaskListCycle&&) = delete;
    ~TaskListCycle() = default;

    // True when the cycle may go on: it holds the list's lock, or no file
    // can be where the list's lock and the list would be (their directory
    // is absent or read-only), so that there is nothing to lock; readTaskList()
    // then reads what is there and writeTaskList() writes nothing, as for any
    // list that cannot be written. False when the lock is held by another run
    // beyond the patience or cannot be opened safely: readTaskList() reads
    // nothing and writeTaskList() writes nothing.
    bool locked() const noexcept;

    // Why the lock was not taken (FileLock::failure()); empty when locked.
    const std::string& lockFailure() const noexcept;

    // Appends every complete entry of the list file to list,
    // in file order. Trouble with the file is reported on standard output
    // (the reader's messages) and leaves list as far as it got; a file that
    // is absent or cannot be read prints nothing. Only allocation failures
    // escape.
    void readTaskList(std::vector<TaskEntry>& list);

    // Replaces the list file's contents with list. Reports
    // nothing; true when the file now holds list. Writes nothing when the
    // cycle is not locked, when a file is there that could not be read, or
    // when an interrupted write still waits to be completed. Only
    // allocation failures escape, before anything is written.
    [[nodiscard]] bool writeTaskList(const std::vector<TaskEntry>& list);

  private:
    // writeTaskList() less its note in the audit record: 0, or the errno
    // value of what kept the list from being written.
    int write(const std::vector<TaskEntry>& list);
    // Notes in the audit record that the unread list was kept as a backup.
    void warnOfSetAsideList() const;

    ListFile file;
    FileLock lock;
    // An interrupted write this cycle could not complete: writeTaskList()
    // leaves the list be. Its text, when it could be read, is the list's true
    // contents, which readTaskList() then reads.
    bool blocked = false;
    std::optional<std::string> pending;
    // Set by readTaskList(): something was there that could not be read at all.
    bool unreadable = false;
    // Set by readTaskList(): the bytes of a list that was not read whole, to be
    // kept before it is replaced.
    std::string unread;
    // Set by readTaskList(): the number of elements of the file's list,
    // when it had one.
    std::optional<std::size_t> heldJobs;
    // Set by readTaskList(): the digest of what the list held, which the
    // write's intent copy records.
    std::string prior;
    // The room the list's bytes were read into, once they are no longer
    // needed: the next text is written there rather than in memory never
    // touched before.
    std::string room;
};

// How the updater's runs write their list: whether or not it was written,
// the run goes on as if it had been (a task list that cannot be written is
// not noticed; the audit record notes it). The one place where the write's
// result is set aside.
inline void writeTaskListUnnoticed(TaskListCycle& cycle,
                                   const std::vector<TaskEntry>& list)
{
    static_cast<void>(cycle.writeTaskList(list));
}

} // namespace tasks
