#include "tasks/config_jobs.hpp"

#include "diag.hpp"
#include "file_ptr.hpp"
#include "tasks/task_list.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tasks
{
namespace
{

// The BIOS configuration to be applied.
constexpr const char* pendingConfigPath =
    "/var/lib/qorad/pending/BIOS_Config.json";

constexpr const char* exportQueuedMessage =
    "::: Export BIOS Config Task queued for next host reboot";
constexpr const char* importQueuedMessage =
    "::: Import BIOS Config Task queued for next host reboot";

constexpr const char* importJobIdPrefix = "JobID_";

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
TaskEntry exportEntry(bool fileKind)
{
    return TaskEntry{"INVENTORY",
                     "BIOS Config",
                     "BIOS.Setup.1-1",
                     "",
                     fileKind ? exportedConfigPath : "NA",
                     fileKind ? "FILE" : "INFO",
                     "BASECONFIG"};
}

TaskEntry importEntry(const std::string& jobId)
{
    return TaskEntry{"CONFIG",          "BIOS Config", "BIOS.Setup.1-1", jobId,
                     pendingConfigPath, "FILE",        "BASECONFIG"};
}

} // namespace

int exportBIOSConfig(bool force)
{
    TaskListLock lock;
    std::vector<TaskEntry> list;
    readTaskList(list);
    if (anyOfJobType(list, configJobType))
    {
        // A pending import must run before any export.
        return 0;
    }
    std::erase_if(list, [](const TaskEntry& entry) {
        return isJobType(entry.JobType, inventoryJobType);
    });
    FilePtr exported(std::fopen(exportedConfigPath, "rb"));
    list.insert(list.begin(), exportEntry(force || !exported));
    exported.reset();
    writeTaskList(list);
    diag::milestone(exportQueuedMessage);
    return 0;
}

void importBIOSConfig()
{
    std::string jobId = importJobIdPrefix + std::to_string(std::time(nullptr));
    TaskListLock lock;
    std::vector<TaskEntry> list;
    readTaskList(list);
    std::erase_if(list, [](const TaskEntry& entry) {
        return isJobType(entry.JobType, configJobType) ||
               isJobType(entry.JobType, inventoryJobType);
    });
    list.insert(list.begin(), importEntry(jobId));
    writeTaskList(list);
    diag::milestone(importQueuedMessage);
}

} // namespace tasks
