#include "tasks/job_status.hpp"

#include "bus/names.hpp"
#include "diag.hpp"
#include "noterra/event_log.hpp"
#include "tasks/task_list_cycle.hpp"

#include <algorithm>
#include <exception>
#include <vector>

namespace tasks
{
namespace
{

// Event logs that close a job.
constexpr unsigned char jobEventSeverity = 1;
constexpr const char* completedMessageId = "RED025";
constexpr const char* failedMessageId = "RED150";
constexpr const char* configJobWord = "BIOSCONFIG";
constexpr const char* updateJobWord = "BIOS";
constexpr const char* configCompletedEvent = "BIOS.CONFIGFIN.1";
constexpr const char* updateCompletedEvent = "BIOS.UPDFIN.1";
constexpr const char* configFailedEvent = "BIOS.CONFIGFAIL.1";
constexpr const char* updateFailedEvent = "BIOS.UPDFAIL.1";

// Update Status values.
constexpr int statusProgressing = 0;
constexpr int statusComplete = 1;
constexpr int statusLast = 3;
constexpr int percentageLast = 100;

bool isConfigJob(const std::string& serviceName)
{
    return serviceName == names::biosConfigService;
}

bool hasFinished(const std::string& activation)
{
    return activation == names::activationActive ||
           activation == names::activationFailed;
}

// Takes out the first task carrying the Job ID and writes the list back,
// changed or not. False, with the cycle's lock failure in why, when the
// task list's lock could not be taken.
bool removeTask(const std::string& taskList, const std::string& jobId,
                std::string& why)
{
    TaskListCycle cycle(taskList);
    if (!cycle.locked())
    {
        why = cycle.lockFailure();
        return false;
    }
    std::vector<TaskEntry> list;
    cycle.readTaskList(list);
    const auto task =
        std::find_if(list.begin(), list.end(), [&](const TaskEntry& entry) {
            return entry.JOBID == jobId;
        });
    if (task != list.end())
    {
        list.erase(task);
    }
    writeTaskListUnnoticed(cycle, list);
    return true;
}

// Writes an event that closes a job; a failure is reported with the given
// number and ignored.
void writeJobEvent(const char* event, const char* messageId,
                   const char* jobWord, const std::string& version,
                   const diag::Fail<const char*>& failed)
{
    try
    {
        // Only the library's exceptions tell of a failure; its result
        // carries nothing.
        static_cast<void>(addEventLog(jobEventSeverity, event, messageId,
                                      {jobWord, version}));
    }
    catch (const std::exception& e)
    {
        diag::fail(failed, e.what());
    }
}

} // namespace

int getJobStatus(const bus::Connection& connection, const std::string& jobId)
{
    const jobs::JobObject job =
        jobs::getObjPathServNameFromJobId(connection, jobId);
    if (!job.found())
    {
        diag::fail(lines::statusJobNotFound);
        return 2;
    }
    try
    {
        const std::string activation = bus::getProperty(
            connection, job.serviceName, job.objectPath,
            names::activationInterface, names::activationProperty);
        return hasFinished(activation) ? 0 : 1;
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::statusReadThrew, e.what());
    }
    return 3;
}

namespace
{

// The Update Percentage operand, 0 when it is no number; false (reported)
// when it lies outside 0 to 100.
bool readPercentage(const std::string& jobId, const std::string& text,
                    int& percentage)
{
    try
    {
        percentage = std::stoi(text);
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::percentageNotInteger, e.what());
        percentage = 0;
    }
    if (percentage < 0 || percentage > percentageLast)
    {
        diag::fail(lines::percentageOutOfRange, percentage, jobId.c_str());
        return false;
    }
    return true;
}

// The Update Status operand; false (reported) when it is no number or no
// status.
bool readStatus(const std::string& jobId, const std::string& text, int& status)
{
    try
    {
        status = std::stoi(text);
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::statusNotInteger, e.what());
        return false;
    }
    if (status < statusProgressing || status > statusLast)
    {
        diag::fail(lines::statusOutOfRange, status, jobId.c_str());
        return false;
    }
    return true;
}

// A job that has ended: its final activation and closing event, then its
// task's removal from the task list.
void recordEnd(const bus::Connection& connection, const paths::Paths& paths,
               const jobs::JobObject& job, const std::string& jobId, int status)
{
    if (!updateStatusStatus(connection, job, static_cast<std::uint8_t>(status)))
    {
        diag::fail(lines::statusNotSet, jobId.c_str());
    }
    try
    {
        std::string why;
        if (!removeTask(paths.taskList, jobId, why))
        {
            diag::fail(lines::statusListLocked, why.c_str());
        }
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::taskNotRemoved, e.what());
    }
}

} // namespace

bool readStatusOperands(const std::string& jobId,
                        const std::string& percentageText,
                        const std::string& statusText, StatusOperands& operands)
{
    return readPercentage(jobId, percentageText, operands.percentage) &&
           readStatus(jobId, statusText, operands.status);
}

int updateStatus(const bus::Connection& connection, const paths::Paths& paths,
                 const std::string& jobId, const std::string& percentageText,
                 const std::string& statusText)
{
    const jobs::JobObject job =
        jobs::getObjPathServNameFromJobId(connection, jobId);
    if (!job.found())
    {
        diag::fail(lines::updateJobNotFound);
        return 1;
    }
    StatusOperands operands;
    if (!readStatusOperands(jobId, percentageText, statusText, operands))
    {
        return 1;
    }
    const int percentage = operands.percentage;
    const int status = operands.status;
    if (!updateStatusProgress(connection, job,
                              static_cast<std::uint8_t>(percentage)))
    {
        diag::fail(lines::progressNotSet, jobId.c_str());
    }
    if (status != statusProgressing)
    {
        recordEnd(connection, paths, job, jobId, status);
    }
    return 0;
}

bool updateStatusProgress(const bus::Connection& connection,
                          const jobs::JobObject& job, std::uint8_t percentage)
{
    try
    {
        const bus::Message reply = bus::setProperty(
            connection, job.serviceName, job.objectPath,
            names::activationProgressInterface, names::progressProperty,
            bus::PropertyValue{percentage});
        if (reply.isMethodError())
        {
            diag::fail(lines::progressRefused, job.objectPath.c_str());
            return false;
        }
        return true;
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::progressThrew, e.what());
    }
    return false;
}

bool updateStatusStatus(const bus::Connection& connection,
                        const jobs::JobObject& job, std::uint8_t status)
{
    std::string version;
    bool result = false;
    const std::string activation = status == statusComplete
                                       ? names::activationActive
                                       : names::activationFailed;
    try
    {
        bus::Message versionReply = bus::requestProperty(
            connection, job.serviceName, job.objectPath,
            names::versionInterface, names::versionProperty);
        if (versionReply.isMethodError())
        {
            diag::fail(lines::jobVersionUnread, job.objectPath.c_str());
        }
        else
        {
            version = versionReply.readVariantString();
        }

        const bus::Message activationReply = bus::setProperty(
            connection, job.serviceName, job.objectPath,
            names::activationInterface, names::activationProperty, activation);
        if (activationReply.isMethodError())
        {
            diag::fail(lines::activationRefused, job.objectPath.c_str());
            result = false;
        }
        else
        {
            result = true;
        }
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::activationThrew, e.what());
        result = false;
    }

    const bool config = isConfigJob(job.serviceName);
    const char* jobWord = config ? configJobWord : updateJobWord;
    if (status == statusComplete)
    {
        writeJobEvent(config ? configCompletedEvent : updateCompletedEvent,
                      completedMessageId, jobWord, version,
                      lines::completedEventThrew);
    }
    else
    {
        writeJobEvent(config ? configFailedEvent : updateFailedEvent,
                      failedMessageId, jobWord, version,
                      lines::failedJobEventThrew);
    }
    return result;
}

} // namespace tasks
