#include "tasks/config_jobs.hpp"

#include "audit/audit_record.hpp"
#include "diag.hpp"
#include "handles/fd.hpp"
#include "tasks/task_list_cycle.hpp"

#include <fcntl.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace tasks
{
namespace
{

constexpr const char* importJobIdPrefix = "JobID_";
// The display name of every export and import job.
constexpr const char* configJobName = "BIOS Config";

constexpr const char* configJobType = "config";
constexpr const char* inventoryJobType = "inventory";

char asciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whole-text equality of a job type with name, ASCII letter case ignored.
bool isJobType(std::string_view jobType, std::string_view name)
{
    return std::ranges::equal(jobType, name, [](char a, char b) {
        return asciiUpper(a) == asciiUpper(b);
    });
}

bool anyOfJobType(const std::vector<TaskEntry>& list, std::string_view name)
{
    return std::ranges::any_of(list, [name](const TaskEntry& entry) {
        return isJobType(entry.JobType, name);
    });
}

// Builds an export entry: the file kind names the exported configuration,
// the information kind names no file.
TaskEntry exportEntry(const paths::Paths& paths, bool fileKind)
{
    return TaskEntry{"INVENTORY",
                     configJobName,
                     biosFqdd,
                     "",
                     fileKind ? paths.exportedConfig : "NA",
                     fileKind ? "FILE" : "INFO",
                     "BASECONFIG"};
}

// Whether the exported configuration can be opened for reading. Never waits:
// a FIFO there counts as a file that opens.
bool exportedConfigOpens(const paths::Paths& paths)
{
    const UniqueFd exported(
        ::open(paths.exportedConfig.c_str(),
               O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    return exported.valid();
}

TaskEntry importEntry(const paths::Paths& paths, const std::string& jobId)
{
    return TaskEntry{"CONFIG",    configJobName,       biosFqdd,
                     jobId,       paths.pendingConfig, "FILE",
                     "BASECONFIG"};
}

} // namespace

bool exportBIOSConfig(const paths::Paths& paths, bool force)
{
    // Looked at before the task list is locked: nothing that may wait runs
    // under the lock.
    const bool fileKind = force || !exportedConfigOpens(paths);
    TaskListCycle cycle(paths.taskList);
    if (!cycle.locked())
    {
        diag::fail(lines::exportListLocked, cycle.lockFailure().c_str());
        return false;
    }
    std::vector<TaskEntry> list;
    cycle.readTaskList(list);
    if (anyOfJobType(list, configJobType))
    {
        // A pending import must run before any export.
        return true;
    }
    std::erase_if(list, [](const TaskEntry& entry) {
        return isJobType(entry.JobType, inventoryJobType);
    });
    list.insert(list.begin(), exportEntry(paths, fileKind));
    writeTaskListUnnoticed(cycle, list);
    diag::milestone(lines::exportQueuedMilestone);
    return true;
}

bool importBIOSConfig(const paths::Paths& paths)
{
    std::string jobId = importJobIdPrefix + std::to_string(std::time(nullptr));
    audit::noteJobId(jobId);
    TaskListCycle cycle(paths.taskList);
    if (!cycle.locked())
    {
        diag::fail(lines::importListLocked, cycle.lockFailure().c_str());
        return false;
    }
    std::vector<TaskEntry> list;
    cycle.readTaskList(list);
    std::erase_if(list, [](const TaskEntry& entry) {
        return isJobType(entry.JobType, configJobType) ||
               isJobType(entry.JobType, inventoryJobType);
    });
    list.insert(list.begin(), importEntry(paths, jobId));
    writeTaskListUnnoticed(cycle, list);
    diag::milestone(lines::importQueuedMilestone);
    return true;
}

} // namespace tasks
