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
#include <iterator>
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
        EXPECT_EQ(std::filesystem::status(dir + "/private").permissions(),
                  std::filesystem::perms::owner_all);
        const auto waiting =
            tasks::FileLock::inPrivateDirectory(lock, milliseconds(20));
        EXPECT_EQ(waiting.failure(),
                  lock + " is held by another run for more than 20 ms");
        const pid_t child = ::fork();
        if (child == 0)
        {
            constexpr uid_t nobody = 65534;
            const bool refused =
                ::setuid(nobody) == 0 &&
                ::open(lock.c_str(), O_RDONLY) < 0 && errno == EACCES;
            ::_exit(refused ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(::geteuid() != 0 || status == 0);
    }
    // A directory others may enter, or a link to one, is not used.
    std::filesystem::create_directory(dir + "/shared");
    std::filesystem::create_directory_symlink(dir + "/private", dir + "/link");
    for (const auto& [name, why] :
         {std::pair{"shared", "not a private directory"},
          {"link", "Not a directory"}})
    {
        const auto none = tasks::FileLock::inPrivateDirectory(
            dir + "/" + name + "/update.lock", milliseconds(0));
        EXPECT_EQ(none.failure(), dir + "/" + name +
                                      " cannot be opened safely (" + why + ")");
    }
    std::filesystem::remove_all(dir);
}

// Every state the list's file is synced in during a rewrite, and the intent
// copy beside it at the first of them: what a power cut can leave is any mix
// of the blocks of two states synced one after the other.
struct Syncs
{
    std::string list;
    ino_t watched = 0;
    std::vector<std::string> states;
    std::string intent;
} syncs;

std::string bytesOf(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

} // namespace

// Stands in for the C library's for the whole test program, the task list
// code included: the states it records stand for what reached the disk, so
// nothing is synced for real.
extern "C" int fsync(int fd)
{
    struct stat status
    {};
    if (syncs.watched != 0 && ::fstat(fd, &status) == 0 &&
        status.st_ino == syncs.watched)
    {
        if (syncs.states.size() == 1)
        {
            syncs.intent = bytesOf(syncs.list + ".intent");
        }
        syncs.states.push_back(bytesOf(syncs.list));
    }
    return 0;
}

namespace
{

// Blocks of size from `from` or `to` as chosen says, cut at size; blocks
// not yet written read as zeros.
std::string mix(const std::string& from, const std::string& to,
                std::size_t block, const std::vector<bool>& chosen,
                std::size_t size)
{
    std::string text(std::max(from.size(), to.size()), '\0');
    for (std::size_t b = 0; b < chosen.size(); ++b)
    {
        const std::string& source = chosen[b] ? to : from;
        const std::size_t at = b * block;
        if (at < source.size())
        {
            text.replace(at, std::min(block, source.size() - at),
                         source.substr(at, block));
        }
    }
    return text.substr(0, size);
}

// The mixes of blocks that a cut between from and to can leave: in order,
// in reverse order and a sample of random ones, at either size.
std::vector<std::string> mixes(const std::string& from, const std::string& to,
                               std::size_t block)
{
    const std::size_t blocks =
        (std::max(from.size(), to.size()) + block - 1) / block;
    std::vector<std::vector<bool>> choices;
    for (std::size_t n = 0; n <= blocks; ++n)
    {
        std::vector<bool> first(blocks, false);
        std::fill_n(first.begin(), n, true);
        choices.push_back(first);
        choices.emplace_back(first.rbegin(), first.rend());
    }
    std::mt19937 random(static_cast<unsigned>(blocks));
    for (int n = 0; n < 8; ++n)
    {
        std::vector<bool> any(blocks);
        std::generate(any.begin(), any.end(),
                      [&] { return (random() & 1U) != 0; });
        choices.push_back(any);
    }
    std::vector<std::string> made;
    for (const auto& chosen : choices)
    {
        for (const std::size_t size : {from.size(), to.size()})
        {
            made.push_back(mix(from, to, block, chosen, size));
        }
    }
    return made;
}

tasks::TaskEntry entry(int n)
{
    return {"UPDATE", "BIOS Update", "BIOS.Setup.1-1",
            "JID_" + std::to_string(n), "/tmp/tmpBIOSPayload/c.bin",
            "File", "ConfigDb"};
}

// A power cut anywhere in a real rewrite of a list over one page: the next
// run finds the old list or the new one, never a mix taken for another
// writer's list.
TEST(TaskListFile, ATornRewriteIsCompletedFromItsIntentCopy)
{
    std::vector<tasks::TaskEntry> old;
    for (int n = 0; n < 24; ++n)
    {
        old.push_back(entry(n));
    }
    auto removal = old;
    removal.erase(removal.begin() + 12);
    auto appended = old;
    appended.push_back(entry(99));
    auto imported = old;
    imported.insert(imported.begin(), {"CONFIG", "BIOS Config", "x", "y",
                                       "z", "FILE", "BASECONFIG"});
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
        struct stat status
        {};
        ASSERT_EQ(::stat(syncs.list.c_str(), &status), 0);
        syncs.watched = status.st_ino;
        syncs.states = {before};
        ASSERT_TRUE(file.rewrite(after, file.read().digest));
        syncs.watched = 0;
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
                    const std::string recovered = bytesOf(syncs.list);
                    EXPECT_EQ(recovered, torn == before ? before : after)
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
