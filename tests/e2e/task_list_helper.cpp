// Test-only program that changes the task list the way the tool does, under
// the same lock, so that concurrent runs can be checked for lost updates.
// It waits for the lock as the tool does.
//
//   task_list_helper append <JOBID>   appends one entry with that JOBID
//                                     (status 1 if the lock was not taken)
//   task_list_helper hold <JOBID>     takes the lock and reads the list,
//                                     prints "locked", waits for a line on
//                                     standard input, then appends the entry

#include "tasks/task_list_cycle.hpp"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace
{

tasks::TaskEntry helperEntry(const char* jobId)
{
    return {"UPDATE",
            "BIOS Update",
            "BIOS.Setup.1-1",
            jobId,
            "/tmp/tmpBIOSPayload/helper.bin",
            "File",
            "ConfigDb"};
}

// False, with the reason on standard error, when the lock was not taken.
bool appendEntry(const char* jobId, bool hold)
{
    tasks::TaskListCycle cycle;
    if (!cycle.locked())
    {
        std::fprintf(stderr, "task_list_helper: %s\n",
                     cycle.lockFailure().c_str());
        return false;
    }
    std::vector<tasks::TaskEntry> list;
    cycle.readTaskList(list);
    if (hold)
    {
        std::puts("locked");
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
    }
    list.push_back(helperEntry(jobId));
    cycle.writeTaskList(list);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "append") != 0 &&
                      std::strcmp(argv[1], "hold") != 0))
    {
        std::fputs("usage: task_list_helper append|hold <JOBID>\n", stderr);
        return 2;
    }
    return appendEntry(argv[2], std::strcmp(argv[1], "hold") == 0) ? 0 : 1;
}
