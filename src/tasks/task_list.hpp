#pragma once

// The task list: the queue of BIOS jobs that the management daemon carries
// out with the host firmware at the host's next boot. It lives in one JSON
// file; every user reads it whole, changes the list in memory and writes it
// back whole, holding a TaskListLock from before the read to after the write.

#include <cstdio>
#include <string>
#include <vector>

namespace tasks
{

// One queued job: seven text fields, in the order they are written.
struct TaskEntry
{
    std::string JobType;
    std::string DisplayName;
    std::string FQDD;
    std::string JOBID;
    std::string ResourceURI;
    std::string ResourceType;
    std::string ResourceNamespace;
};

// Location of the task list file.
inline constexpr const char* taskListPath =
    "/var/lib/qorad/BIOS_task_list.json";

// Appends every complete entry of the task list file to list, in file order.
// Trouble with the file is reported on standard output and leaves list as far
// as it got; only allocation failures escape.
void readTaskList(std::vector<TaskEntry>& list);

// Replaces the task list file's contents with list. Reports nothing.
void writeTaskList(const std::vector<TaskEntry>& list);

// Advisory lock serialising read-modify-write cycles of the task list between
// runs; held from before readTaskList to after writeTaskList. Never fails the
// job: if the lock cannot be taken, the holder proceeds unlocked.
//
// The lock is an flock on a lock file beside the list. Nested locks within one
// process share the outermost one, so a cycle may call another that locks.
class TaskListLock
{
  public:
    TaskListLock();
    // Locks with the given lock file instead of the list's own.
    explicit TaskListLock(const std::string& lockFile);
    ~TaskListLock();
    TaskListLock(const TaskListLock&) = delete;
    TaskListLock& operator=(const TaskListLock&) = delete;
    TaskListLock(TaskListLock&&) = delete;
    TaskListLock& operator=(TaskListLock&&) = delete;
};

namespace detail
{

// The reader and writer at work on a list file at any path; readTaskList
// and writeTaskList run them on the task list file. The unit tests, fuzz
// target and benchmark use them directly.

// Parses the open stream and appends its entries to list, printing the
// reader's messages; true when every element of the list was taken.
bool readTaskListFrom(std::FILE* file, std::vector<TaskEntry>& list);

// readTaskList on the list file at path.
void readTaskListAt(const std::string& path, std::vector<TaskEntry>& list);

// The text writeTaskList puts into the file.
std::string formatTaskList(const std::vector<TaskEntry>& list);

// writeTaskList on the list file at path; true when the file was rewritten.
bool writeTaskListAt(const std::string& path,
                     const std::vector<TaskEntry>& list);

// The lock file of the list at path.
std::string lockPath(const std::string& path);

// Backup number n (1 the newest) of the list at path.
std::string backupPath(const std::string& path, int number);

} // namespace detail

} // namespace tasks
