#include "tasks/task_list_cycle.hpp"

#include "handles/stdio.hpp"

#include <cstdio>
#include <utility>

namespace tasks
{
namespace
{

// A read stream over text held in memory; null when none can be made.
FilePtr streamOver(std::string& text)
{
    return FilePtr(fmemopen(text.data(), text.size(), "rb"));
}

} // namespace

TaskListCycle::TaskListCycle() : TaskListCycle(taskListPath)
{}

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
        const FilePtr stream = streamOver(*pending);
        if (stream)
        {
            parseTaskList(stream.get(), list);
        }
        return;
    }
    ListContents contents = file.read();
    unread.clear();
    prior = contents.digest;
    const FilePtr stream = contents.state == ListContents::State::read
                               ? streamOver(contents.bytes)
                               : nullptr;
    unreadable = contents.state != ListContents::State::absent && !stream;
    if (stream && !parseTaskList(stream.get(), list))
    {
        unread = std::move(contents.bytes);
    }
}

bool TaskListCycle::writeTaskList(const std::vector<TaskEntry>& list)
{
    if (!lock.held() || blocked || unreadable)
    {
        return false;
    }
    // Built completely before anything is written.
    const std::string text = formatTaskList(list);
    if (!unread.empty())
    {
        if (!file.keepBackup(unread))
        {
            return false;
        }
        unread.clear();
    }
    return file.rewrite(text, prior);
}

} // namespace tasks
