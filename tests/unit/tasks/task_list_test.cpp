// The task list's lock giving up after its patience, which end-to-end runs
// cannot wait for: the tool's own patience is minutes long.

#include "tasks/list_file.hpp"
#include "tasks/task_list.hpp"
#include "tasks/task_list_cycle.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
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

// Only root may enter the update lock's directory: a process of another user
// cannot open the lock, let alone hold it.
TEST(UpdateLock, IsInADirectoryOnlyItsUserCanEnter)
{
    std::string dir = std::filesystem::temp_directory_path() / "lock.XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    const std::string lock = dir + "/private/update.lock";
    {
        const auto holder = tasks::FileLock::inPrivateDirectory(lock);
        ASSERT_TRUE(holder.held());
        const pid_t child = ::fork();
        if (child == 0)
        {
            constexpr uid_t nobody = 65534;
            const bool refused = ::setuid(nobody) == 0 &&
                                 ::open(lock.c_str(), O_RDONLY) < 0 &&
                                 errno == EACCES;
            ::_exit(refused ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(::geteuid() != 0 || status == 0);
    }
    // Nor is a directory others may enter.
    std::filesystem::create_directory(dir + "/shared");
    EXPECT_EQ(tasks::FileLock::inPrivateDirectory(dir + "/shared/lock",
                                                  milliseconds(0))
                  .failure(),
              dir + "/shared cannot be opened safely (not a private "
                    "directory)");
    std::filesystem::remove_all(dir);
}

// Every state the list's file is synced in during a rewrite, and the intent
// copy beside it at the first: a power cut can leave any mix of the blocks of
// two states synced one after the other.
struct Syncs
{
    std::string list;
    bool watching = false;
    std::vector<std::string> states;
    std::string intent;
};
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
Syncs syncs;

// Mixes of the blocks of from and to that a cut between the two can leave,
// at either size (blocks not yet written read as zeros): the first n blocks
// new, for every n, and random ones.
std::vector<std::string> mixes(const std::string& from, const std::string& to,
                               std::size_t block)
{
    const std::size_t size = std::max(from.size(), to.size());
    const std::size_t blocks = (size + block - 1) / block;
    std::mt19937 random(static_cast<unsigned>(block));
    std::vector<std::string> made;
    for (std::size_t n = 0; n <= blocks + 8; ++n)
    {
        std::string text = from;
        text.resize(size, '\0');
        for (std::size_t at = 0; at < to.size(); at += block)
        {
            if (n <= blocks ? at < n * block : (random() & 1U) != 0)
            {
                text.replace(at, std::min(block, to.size() - at),
                             to.substr(at, block));
            }
        }
        made.push_back(text.substr(0, from.size()));
        made.push_back(text.substr(0, to.size()));
    }
    return made;
}

// A power cut anywhere in a real rewrite of a list over one page: the next
// run finds the old list or the new one, never a mix taken for another
// writer's list.
TEST(TaskListFile, ATornRewriteIsCompletedFromItsIntentCopy)
{
    std::vector<tasks::TaskEntry> old;
    old.reserve(25);
    for (int n = 0; n < 25; ++n)
    {
        old.push_back({"UPDATE", "BIOS Update", "BIOS.Setup.1-1",
                       "JID_" + std::to_string(n), "c.bin", "File", "C"});
    }
    auto appended = old;
    old.pop_back();
    auto removal = old;
    removal.erase(removal.begin() + 12);
    auto imported = old;
    imported.insert(imported.begin(), {"CONFIG", "BIOS Config", "x", "y", "z",
                                       "FILE", "BASECONFIG"});
    std::string dir = std::filesystem::temp_directory_path() / "torn.XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    syncs.list = dir + "/list.json";
    const tasks::ListFile file(syncs.list);
    const std::string before = tasks::formatTaskList(old);
    ASSERT_GT(before.size(), 4096U);
    for (const auto& next : {removal, appended, imported})
    {
        const std::string after = tasks::formatTaskList(next);
        std::ofstream(syncs.list, std::ios::binary) << before;
        syncs.states = {before};
        syncs.watching = true;
        ASSERT_TRUE(file.rewrite(after, file.read().digest));
        syncs.watching = false;
        ASSERT_EQ(syncs.states.back(), after);
        for (std::size_t s = 1; s < syncs.states.size(); ++s)
        {
            for (const std::size_t block : {512U, 4096U})
            {
                for (const std::string& torn :
                     mixes(syncs.states[s - 1], syncs.states[s], block))
                {
                    std::ofstream(syncs.list, std::ios::binary) << torn;
                    std::ofstream(syncs.list + ".intent", std::ios::binary)
                        << syncs.intent;
                    std::string pending;
                    ASSERT_EQ(file.recover(pending),
                              tasks::ListFile::Recovery::done);
                    EXPECT_EQ(file.read().bytes,
                              torn == before ? before : after)
                        << "sync " << s << ", blocks of " << block;
                }
            }
        }
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

// Stands in for the C library's in the whole test program: the states it
// records stand for what reached the disk.
extern "C" int fsync(int fd)
{
    struct stat synced
    {};
    struct stat list
    {};
    if (syncs.watching && ::fstat(fd, &synced) == 0 &&
        ::stat(syncs.list.c_str(), &list) == 0 && synced.st_ino == list.st_ino)
    {
        if (syncs.states.size() == 1)
        {
            syncs.intent = tasks::ListFile(syncs.list + ".intent").read().bytes;
        }
        syncs.states.push_back(tasks::ListFile(syncs.list).read().bytes);
    }
    return 0;
}
