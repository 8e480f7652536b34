#include "update/superseded_updates.hpp"

#include "audit/audit_record.hpp"
#include "handles/stdio.hpp"
#include "tasks/task_list.hpp"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>
#include <vector>

namespace update
{
namespace
{

namespace fs = std::filesystem;

std::vector<std::string> stagedFiles(const std::string& stagingDirectory)
{
    std::vector<std::string> files;
    std::error_code error;
    for (fs::directory_iterator entry(stagingDirectory, error);
         !error && entry != fs::directory_iterator(); entry.increment(error))
    {
        files.push_back(entry->path().string());
    }
    return files;
}

std::string supersededWarning(const tasks::TaskEntry& task)
{
    return "the capsule " + task.ResourceURI + " staged for Job ID " +
           task.JOBID +
           " is removed but its UPDATE task stays queued: mark that job "
           "failed (morvex_bios_updater updateStatus " +
           task.JOBID + " 0 3)";
}

} // namespace

SupersededUpdates::SupersededUpdates(const std::string& stagingDirectory,
                                     const std::string& taskList,
                                     const std::string& jobId) noexcept
{
    try
    {
        staged = stagedFiles(stagingDirectory);
        this->taskList = taskList;
        this->jobId = jobId;
    }
    catch (const std::exception&)
    {
        // Out of memory: no warning will be given.
    }
}

SupersededUpdates::~SupersededUpdates()
{
    try
    {
        const FilePtr list(staged.empty() ? nullptr
                                          : std::fopen(taskList.c_str(), "rb"));
        if (!list)
        {
            return;
        }
        std::vector<tasks::TaskEntry> tasks;
        static_cast<void>(
            tasks::parseTaskList(list.get(), tasks, tasks::Complaints::silent));
        for (const tasks::TaskEntry& task : tasks)
        {
            if (task.JobType == tasks::updateJobType && task.JOBID != jobId &&
                std::ranges::find(staged, task.ResourceURI) != staged.end())
            {
                audit::noteWarning(supersededWarning(task));
            }
        }
    }
    catch (const std::exception&)
    {
        // Out of memory: the record goes without the warning.
    }
}

} // namespace update
