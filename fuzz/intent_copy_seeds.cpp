// Writes seeds for intent_copy_fuzz into the directory argv[1]: copies as
// the task list's writer makes them, and near misses of each rule.

#include "fuzz_support.hpp"
#include "tasks/intent_copy.hpp"
#include "tasks/task_list.hpp"

#include <cstdio>
#include <string>

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: intent_copy_seeds <directory>\n");
        return 2;
    }
    const std::string list = tasks::formatTaskList(
        {{"UPDATE", "BIOS Update", "BIOS.Setup.1-1", "JID_1",
          "/tmp/tmpBIOSPayload/c.bin", "File", "ConfigDb"}});
    const std::string digest = "sha256:" + std::string(64, 'a');
    const std::string seeds[] = {
        tasks::formatIntentCopy(list, digest),
        tasks::formatIntentCopy(list, "absent"),
        tasks::formatIntentCopy(list, ""),
        tasks::formatIntentCopy("{}", "x"),
        "prior \n{}",
        "prior " + digest + "\n",
        "prior " + digest,
        "prior\n{}",
        "Prior absent\n{}",
        "prior absent\n{\"QORAJob\": []}\n",
        "prior absent\n}",
        "prior a\nb\n{}",
        "",
    };
    int count = 0;
    for (const std::string& seed : seeds)
    {
        if (!fuzz::writeSeed(argv[1], "seed-" + std::to_string(count++), seed))
        {
            std::fprintf(stderr, "intent_copy_seeds: could not write seeds\n");
            return 1;
        }
    }
    return 0;
}
