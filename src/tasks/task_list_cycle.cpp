#include "tasks/task_list_cycle.hpp"

#include "audit/audit_record.hpp"

#include <cerrno>
#include <string>
#include <utility>

namespace tasks
{
namespace
{

// The errno value a failed step left, or fallback when it left none.
int errnoOr(int fallback)
{
    return errno != 0 ? errno : fallback;
}

} // namespace

void TaskListCycle::warnOfSetAsideList() const
{
    const std::string held =
        heldJobs ? "it held " + std::to_string(*heldJobs) + " job(s)"
                 : "its jobs could not be counted";
    audit::noteWarning("the task list could not be read whole; its old "
                       "text is kept as " +
                       file.backupPath(1) + " (" + held +
                       "): queue again the jobs it held that the new list "
                       "lacks");
}

TaskListCycle::TaskListCycle(const std::string& path,
                             std::chrono::milliseconds patience) :
    file(path),
    lock(file.lockPath(), patience)
{
    if (!lock.held())
    {
        return;
    }
    std::string text;
    const ListFile::Recovery recovery = file.recover(text);
    blocked = recovery != ListFile::Recovery::done;
    if (recovery == ListFile::Recovery::pending)
    {
        pending = std::move(text);
    }
}

bool TaskListCycle::locked() const noexcept
{
    return lock.held() || lock.nowhere();
}

const std::string& TaskListCycle::lockFailure() const noexcept
{
    return lock.failure();
}

void TaskListCycle::readTaskList(std::vector<TaskEntry>& list)
{
    if (!locked())
    {
        return;
    }
    if (pending)
    {
        parseTaskList(*pending, list);
        return;
    }
    ListContents contents = file.read();
    unread.clear();
    prior = contents.digest;
    unreadable = contents.state == ListContents::State::unreadable;
    heldJobs.reset();
    if (contents.state == ListContents::State::read &&
        !parseTaskList(contents.bytes, list, Complaints::printed, &heldJobs))
    {
        unread = std::move(contents.bytes);
        return;
    }
    room = std::move(contents.bytes);
}

bool TaskListCycle::writeTaskList(const std::vector<TaskEntry>& list)
{
    const int error = write(list);
    audit::noteTaskListWrite(error);
    return error == 0;
}

int TaskListCycle::write(const std::vector<TaskEntry>& list)
{
    if (!lock.held())
    {
        // No lock file could be made: neither can the list.
        return lock.openErrno() != 0 ? lock.openErrno() : ENOLCK;
    }
    if (blocked || unreadable)
    {
        return EIO;
    }
    // Built completely before anything is written.
    formatTaskList(list, room);
    const std::string& text = room;
    errno = 0;
    if (!unread.empty())
    {
        if (!file.keepBackup(unread))
        {
            return errnoOr(EIO);
        }
        unread.clear();
        warnOfSetAsideList();
    }
    return file.rewrite(text, prior) ? 0 : errnoOr(EIO);
}

} // namespace tasks
