// The task list's lock giving up after its patience, which end-to-end runs
// cannot wait for: the tool's own patience is minutes long.

#include "tasks/task_list.hpp"
#include "tasks/task_list_cycle.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

using std::chrono::milliseconds;

TEST(TaskListLock, AnotherHolderGivesUpAfterItsPatienceAndChangesNothing)
{
    std::string dir = std::filesystem::temp_directory_path() / "lock.XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    const std::string list = dir + "/list.json";
    const std::string lockFile = list + ".lock";
    {
        const tasks::FileLock holder(lockFile);
        ASSERT_TRUE(holder.held());
        tasks::TaskListCycle cycle(list, milliseconds(20));
        EXPECT_FALSE(cycle.locked());
        EXPECT_EQ(cycle.lockFailure(),
                  lockFile + " is held by another run for more than 20 ms");
        std::vector<tasks::TaskEntry> entries;
        cycle.readTaskList(entries);
        EXPECT_FALSE(cycle.writeTaskList({}));
        EXPECT_FALSE(std::filesystem::exists(list));
        // Whole seconds are told in seconds; another lock file is another
        // lock.
        EXPECT_EQ(tasks::FileLock(lockFile, milliseconds(0)).failure(),
                  lockFile + " is held by another run for more than 0 s");
        EXPECT_TRUE(tasks::FileLock(lockFile + "2", milliseconds(0)).held());
    }
    EXPECT_TRUE(tasks::FileLock(lockFile, milliseconds(0)).held());
    // Nor is a list written whose intent copy cannot be made.
    std::filesystem::create_directories(list + ".intent.new/in-the-way");
    EXPECT_FALSE(tasks::TaskListCycle(list).writeTaskList({}));
    std::filesystem::remove_all(dir);
}

TEST(UpdateLock, IsOnTheScratchDirectoryWhereThereIsOne)
{
    std::string dir = std::filesystem::temp_directory_path() / "lock.XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    {
        const auto holder = tasks::FileLock::onDirectory(dir);
        ASSERT_TRUE(holder.held());
        const auto waiting =
            tasks::FileLock::onDirectory(dir + "/.", milliseconds(20));
        EXPECT_FALSE(waiting.held() || waiting.nowhere());
        EXPECT_EQ(waiting.failure(),
                  dir + "/. is held by another run for more than 20 ms");
    }
    EXPECT_TRUE(tasks::FileLock::onDirectory(dir, milliseconds(0)).held());
    // No directory there: nothing to share, nothing to lock.
    const std::string file = dir + "/file";
    std::FILE* created = std::fopen(file.c_str(), "w");
    ASSERT_NE(created, nullptr);
    std::fclose(created);
    for (const std::string& path : {dir + "/absent", file})
    {
        const auto none = tasks::FileLock::onDirectory(path, milliseconds(0));
        EXPECT_TRUE(none.nowhere() && !none.held()) << path;
    }
    std::filesystem::remove_all(dir);
}

// The writer's text, byte for byte: what the management daemon reads.
// Quotation marks, backslashes and control characters are escaped; every
// other byte, UTF-8 or not, is written as it is.
TEST(TaskListText, IsPrettyPrintedWithTheFewestEscapes)
{
    EXPECT_EQ(tasks::formatTaskList({}), "{\n    \"QORAJob\": []\n}");
    EXPECT_EQ(
        tasks::formatTaskList(
            {{"say \"hi\"", "back\\slash", "line\nnext\r", "tab\t\b\f\x01\x1f",
              "caf\u00e9 \u2603 /\x7f", "\xff\xfe not UTF-8", ""}}),
        R"({
    "QORAJob": [
        {
            "JobType": "say \"hi\"",
            "DisplayName": "back\\slash",
            "FQDD": "line\nnext\r",
            "JOBID": "tab\t\b\f\u0001\u001F",
)"
        "            \"ResourceURI\": \"caf\u00e9 \u2603 /\x7f\",\n"
        "            \"ResourceType\": \"\xff\xfe not UTF-8\",\n"
        R"(            "ResourceNamespace": ""
        }
    ]
})");
}

} // namespace
