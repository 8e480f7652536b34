#include "tasks/task_list_cycle.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using tasks::TaskEntry;
using testing::ElementsAre;
namespace fs = std::filesystem;

// A private directory for one test's list files, removed afterwards.
class ListDirectory : public testing::Test
{
  protected:
    void SetUp() override
    {
        std::string pattern =
            (fs::temp_directory_path() / "task_list_test.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        list = (dir / "BIOS_task_list.json").string();
    }
    void TearDown() override
    {
        fs::remove_all(dir);
    }

    void put(const std::string& text) const
    {
        std::ofstream out(list, std::ios::binary | std::ios::trunc);
        out << text;
    }

    static std::string contentsOf(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in),
                std::istreambuf_iterator<char>()};
    }

    [[nodiscard]] std::string contents() const
    {
        return contentsOf(list);
    }

    // Reads the list in a cycle of its own, returning what the reader
    // printed.
    std::string readPrinting(std::vector<TaskEntry>& entries) const
    {
        tasks::TaskListCycle cycle(list);
        testing::internal::CaptureStdout();
        cycle.readTaskList(entries);
        return testing::internal::GetCapturedStdout();
    }

    // Writes the list in a cycle of its own.
    [[nodiscard]] bool write(const std::vector<TaskEntry>& entries) const
    {
        tasks::TaskListCycle cycle(list);
        return cycle.writeTaskList(entries);
    }

    fs::path dir;
    std::string list;
};

TaskEntry exportInfo()
{
    return {"INVENTORY", "BIOS Config", "BIOS.Setup.1-1", "",
            "NA",        "INFO",        "BASECONFIG"};
}

TaskEntry update(const std::string& jobId)
{
    return {"UPDATE",
            "BIOS Update",
            "BIOS.Setup.1-1",
            jobId,
            "/tmp/tmpBIOSPayload/capsule.bin",
            "File",
            "ConfigDb"};
}

std::vector<std::string> jobIds(const std::vector<TaskEntry>& entries)
{
    std::vector<std::string> ids;
    ids.reserve(entries.size());
    for (const auto& entry : entries)
    {
        ids.push_back(entry.JOBID);
    }
    return ids;
}

bool sameEntry(const TaskEntry& a, const TaskEntry& b)
{
    return a.JobType == b.JobType && a.DisplayName == b.DisplayName &&
           a.FQDD == b.FQDD && a.JOBID == b.JOBID &&
           a.ResourceURI == b.ResourceURI && a.ResourceType == b.ResourceType &&
           a.ResourceNamespace == b.ResourceNamespace;
}

// An element with the seven members, the given JOBID, and extra text spliced
// in before the closing brace.
std::string element(const std::string& jobId, const std::string& extra = "")
{
    return R"({"JobType": "UPDATE", "DisplayName": "BIOS Update",)"
           R"( "FQDD": "BIOS.Setup.1-1", "JOBID": ")" +
           jobId +
           R"(", "ResourceURI": "/tmp/tmpBIOSPayload/capsule.bin",)"
           R"( "ResourceType": "File", "ResourceNamespace": "ConfigDb")" +
           extra + "}";
}

// ---------------------------------------------------------------- format

TEST(TaskListFormat, EmptyListIsThreeLinesWithoutFinalNewline)
{
    EXPECT_EQ(tasks::formatTaskList({}), "{\n    \"QORAJob\": []\n}");
}

TEST(TaskListFormat, OneEntryMatchesTheFileLayout)
{
    EXPECT_EQ(tasks::formatTaskList({exportInfo()}),
              "{\n"
              "    \"QORAJob\": [\n"
              "        {\n"
              "            \"JobType\": \"INVENTORY\",\n"
              "            \"DisplayName\": \"BIOS Config\",\n"
              "            \"FQDD\": \"BIOS.Setup.1-1\",\n"
              "            \"JOBID\": \"\",\n"
              "            \"ResourceURI\": \"NA\",\n"
              "            \"ResourceType\": \"INFO\",\n"
              "            \"ResourceNamespace\": \"BASECONFIG\"\n"
              "        }\n"
              "    ]\n"
              "}");
}

TEST(TaskListFormat, EntriesAreSeparatedByCommaAfterClosingBrace)
{
    std::string text = tasks::formatTaskList({update("A"), update("B")});
    EXPECT_NE(text.find("\"ConfigDb\"\n        },\n        {\n"
                        "            \"JobType\": \"UPDATE\",\n"),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 28),
              "\"ConfigDb\"\n        }\n    ]\n}");
}

struct EscapeCase
{
    std::string field;
    std::string written;
};

class TaskListEscaping :
    public ListDirectory,
    public testing::WithParamInterface<EscapeCase>
{};

TEST_P(TaskListEscaping, FieldIsEscapedAndReadBackUnchanged)
{
    TaskEntry entry = update(GetParam().field);
    std::string text = tasks::formatTaskList({entry});
    EXPECT_NE(text.find("\"JOBID\": \"" + GetParam().written + "\",\n"),
              std::string::npos)
        << text;

    ASSERT_TRUE(write({entry}));
    EXPECT_EQ(contents(), text);
    std::vector<TaskEntry> back;
    EXPECT_EQ(readPrinting(back), "");
    ASSERT_EQ(back.size(), 1U);
    EXPECT_TRUE(sameEntry(back[0], entry));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, TaskListEscaping,
    testing::Values(EscapeCase{"say \"hi\"", R"(say \"hi\")"},
                    EscapeCase{"a\\b", R"(a\\b)"},
                    EscapeCase{"line\nnext", R"(line\nnext)"},
                    EscapeCase{"tab\there\r", R"(tab\there\r)"},
                    EscapeCase{"bell\x01\x1f", R"(bell\u0001\u001F)"},
                    EscapeCase{"caf\xc3\xa9 /x\x7f", "caf\xc3\xa9 /x\x7f"},
                    EscapeCase{"\xff\xfe raw", "\xff\xfe raw"}));

TEST(TaskListFormat, FieldIsWrittenUpToItsFirstNul)
{
    TaskEntry entry = update(std::string("JID\0tail", 8));
    EXPECT_NE(tasks::formatTaskList({entry}).find("\"JOBID\": \"JID\",\n"),
              std::string::npos);
}

// ---------------------------------------------------------------- reader

struct ReaderCase
{
    const char* name;
    std::string file;
    std::string printed;
    std::vector<std::string> ids;
};

class TaskListReader :
    public ListDirectory,
    public testing::WithParamInterface<ReaderCase>
{};

TEST_P(TaskListReader, PrintsItsMessageAndKeepsWellFormedEntries)
{
    put(GetParam().file);
    std::vector<TaskEntry> entries;
    EXPECT_EQ(readPrinting(entries), GetParam().printed);
    EXPECT_EQ(jobIds(entries), GetParam().ids);
}

const std::string fieldMissing = "Field missing, ignoring this entry\n";
const std::string noList = "NO QORAJob found\n";
const std::string parseError = "Document has parse error ";

INSTANTIATE_TEST_SUITE_P(
    Files, TaskListReader,
    testing::Values(
        ReaderCase{
            "EmptyFile", "", parseError + "The document is empty.\n", {}},
        ReaderCase{
            "OnlyBlanks", " \n\t", parseError + "The document is empty.\n", {}},
        ReaderCase{"Truncated",
                   "{",
                   parseError + "Missing a name for object member.\n",
                   {}},
        ReaderCase{"TrailingComma",
                   R"({"QORAJob": [],})",
                   parseError + "Missing a name for object member.\n",
                   {}},
        ReaderCase{"Comment",
                   "// x\n{\"QORAJob\": []}",
                   parseError + "Invalid value.\n",
                   {}},
        ReaderCase{
            "GarbageAfterRoot",
            R"({"QORAJob": []} x)",
            parseError +
                "The document root must not be followed by other values.\n",
            {}},
        ReaderCase{"EmptyArray", R"({"QORAJob": []})", "", {}},
        ReaderCase{"TrailingNewline",
                   "{\"QORAJob\": [" + element("1") + "]}\n",
                   "",
                   {"1"}},
        ReaderCase{
            "OtherCase", R"({"qorajob": [], "QORAJOB": []})", noList, {}},
        ReaderCase{"NoMembers", "{}", noList, {}},
        ReaderCase{"RootArray", "[" + element("1") + "]", noList, {}},
        ReaderCase{"RootString", R"("QORAJob")", noList, {}},
        ReaderCase{"RootNumber", "7", noList, {}},
        ReaderCase{"NotArray",
                   R"({"QORAJob": {"a": 1}})",
                   "NO Arrays found in QORAJob\n",
                   {}},
        ReaderCase{"NullList",
                   R"({"QORAJob": null})",
                   "NO Arrays found in QORAJob\n",
                   {}},
        ReaderCase{"FirstListCounts",
                   "{\"QORAJob\": [" + element("1") + "], \"QORAJob\": 5}",
                   "",
                   {"1"}},
        ReaderCase{"MissingMember",
                   "{\"QORAJob\": [" + element("1") + "," +
                       R"({"JobType": "X", "DisplayName": "", "FQDD": "",)"
                       R"( "ResourceURI": "", "ResourceType": "",)"
                       R"( "ResourceNamespace": ""},)" +
                       element("3") + "]}",
                   fieldMissing,
                   {"1", "3"}},
        ReaderCase{"ElementsNotObjects",
                   "{\"QORAJob\": [1, " + element("2") +
                       R"(, "x", null, [], true]})",
                   fieldMissing + fieldMissing + fieldMissing + fieldMissing +
                       fieldMissing,
                   {"2"}},
        ReaderCase{"MemberNotString",
                   R"({"QORAJob": [{"JobType": 5, "DisplayName": "",)"
                   R"( "FQDD": "", "JOBID": "n", "ResourceURI": "",)"
                   R"( "ResourceType": "", "ResourceNamespace": ""},)" +
                       element("2") + "]}",
                   fieldMissing,
                   {"2"}},
        ReaderCase{"MemberNullOrObject",
                   "{\"QORAJob\": [" +
                       element("1", R"(, "JOBID": "shadowed")") + "," +
                       R"({"JobType": "A", "DisplayName": "", "FQDD": {},)"
                       R"( "JOBID": "o", "ResourceURI": "",)"
                       R"( "ResourceType": "", "ResourceNamespace": null}]})",
                   fieldMissing,
                   {"1"}},
        ReaderCase{"FirstMemberOfNameCounts",
                   R"({"QORAJob": [{"JOBID": 1, "JobType": "", )"
                   R"("DisplayName": "", "FQDD": "", "JOBID": "second", )"
                   R"("ResourceURI": "", "ResourceType": "", )"
                   R"("ResourceNamespace": ""}]})",
                   fieldMissing,
                   {}},
        ReaderCase{"ExtraMembersAndDuplicates",
                   "{\"before\": {\"x\": [1, 2]}, \"QORAJob\": [" +
                       element("7", R"(, "Extra": [1, {"a": null}])") + "," +
                       element("7") + "], \"after\": true}",
                   "",
                   {"7", "7"}},
        ReaderCase{"EscapesAndNul",
                   "{\"QORAJob\": [" + element(R"(a\"b\n\u0041\u0000cut)") +
                       "]}",
                   "",
                   {"a\"b\nA"}},
        ReaderCase{"DeepNesting",
                   "{\"QORAJob\": [], \"x\": " + std::string(100000, '['),
                   parseError + "Terminate parsing due to Handler error.\n",
                   {}},
        ReaderCase{"DeepButAllowed",
                   "{\"QORAJob\": [" + element("1") + "], \"x\": " +
                       std::string(500, '[') + std::string(500, ']') + "}",
                   "",
                   {"1"}}),
    [](const testing::TestParamInfo<ReaderCase>& info) {
        return info.param.name;
    });

TEST_F(ListDirectory, MissingFileAppendsNothingAndPrintsNothing)
{
    std::vector<TaskEntry> entries{update("kept")};
    EXPECT_EQ(readPrinting(entries), "");
    EXPECT_EQ(jobIds(entries), std::vector<std::string>{"kept"});
}

TEST_F(ListDirectory, ReadAppendsAfterWhatTheListHolds)
{
    put("{\"QORAJob\": [" + element("2") + "]}");
    std::vector<TaskEntry> entries{update("1")};
    EXPECT_EQ(readPrinting(entries), "");
    EXPECT_THAT(jobIds(entries), ElementsAre("1", "2"));
}

TEST_F(ListDirectory, ReaderAndWriterRoundTripLargeList)
{
    std::vector<TaskEntry> entries;
    entries.reserve(2000);
    for (int i = 0; i < 2000; ++i)
    {
        entries.push_back(update(std::to_string(i)));
    }
    ASSERT_TRUE(write(entries));
    std::vector<TaskEntry> back;
    EXPECT_EQ(readPrinting(back), "");
    EXPECT_EQ(jobIds(back), jobIds(entries));
}

// ---------------------------------------------------------------- writer

ino_t inodeOf(const std::string& path)
{
    struct stat status
    {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    return status.st_ino;
}

TEST_F(ListDirectory, WriteRewritesTheSameFileAndCutsTheTail)
{
    ASSERT_TRUE(write({update("1"), update("2"), update("3")}));
    ino_t before = inodeOf(list);
    ASSERT_TRUE(write({exportInfo()}));
    EXPECT_EQ(inodeOf(list), before);
    EXPECT_EQ(contents(), tasks::formatTaskList({exportInfo()}));
}

TEST_F(ListDirectory, WriteCreatesAnAbsentFile)
{
    ASSERT_TRUE(write({}));
    EXPECT_EQ(contents(), "{\n    \"QORAJob\": []\n}");
}

TEST_F(ListDirectory, WriteIntoMissingDirectoryDoesNothing)
{
    // Nothing can be there, so there is nothing to lock; as for any list
    // that cannot be written, the cycle goes on and writes nothing.
    tasks::TaskListCycle cycle((dir / "absent" / "list.json").string());
    EXPECT_TRUE(cycle.locked());
    std::vector<TaskEntry> entries;
    cycle.readTaskList(entries);
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(cycle.writeTaskList({exportInfo()}));
    EXPECT_FALSE(fs::exists(dir / "absent"));
}

// ------------------------------------------------ backups and recovery

class TaskListFiles : public ListDirectory
{
  protected:
    // Reads and rewrites the list as every user does, in one cycle.
    [[nodiscard]] bool cycle() const
    {
        tasks::TaskListCycle cycle(list);
        std::vector<TaskEntry> entries;
        testing::internal::CaptureStdout();
        cycle.readTaskList(entries);
        testing::internal::GetCapturedStdout();
        entries.push_back(exportInfo());
        return cycle.writeTaskList(entries);
    }

    [[nodiscard]] std::string backup(int n) const
    {
        return tasks::ListFile(list).backupPath(n);
    }

    [[nodiscard]] std::string intent() const
    {
        return tasks::ListFile(list).intentPath();
    }

    [[nodiscard]] std::vector<std::string> namesInDir() const
    {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(dir))
        {
            names.push_back(item.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(TaskListFiles, UnparsableListIsKeptBeforeItIsReplaced)
{
    put("{\"QORAJob\": [ not json");
    ASSERT_TRUE(cycle());
    EXPECT_EQ(contentsOf(backup(1)), "{\"QORAJob\": [ not json");
    EXPECT_EQ(contents(), tasks::formatTaskList({exportInfo()}));
    EXPECT_THAT(namesInDir(),
                ElementsAre("BIOS_task_list.json", "BIOS_task_list.json.lock",
                            "BIOS_task_list.json.unreadable.1"));
}

TEST_F(TaskListFiles, NewestThreeAreKept)
{
    for (int i = 1; i <= 5; ++i)
    {
        put("broken " + std::to_string(i));
        EXPECT_TRUE(cycle());
    }
    EXPECT_EQ(contentsOf(backup(1)), "broken 5");
    EXPECT_EQ(contentsOf(backup(2)), "broken 4");
    EXPECT_EQ(contentsOf(backup(3)), "broken 3");
    EXPECT_FALSE(fs::exists(backup(4)));
}

TEST_F(TaskListFiles, EveryIncompleteReadIsKept)
{
    for (const std::string& file :
         std::vector<std::string>{"[]", "{\"other\": 1}", "{\"QORAJob\": 3}",
                                  "{\"QORAJob\": [" + element("1") + ", {}]}"})
    {
        put(file);
        EXPECT_TRUE(cycle());
        EXPECT_EQ(contentsOf(backup(1)), file);
    }
}

TEST_F(TaskListFiles, ReadableOrEmptyListIsNotKept)
{
    put("{\"QORAJob\": [" + element("1") + "]}");
    EXPECT_TRUE(cycle());
    put("");
    EXPECT_TRUE(cycle());
    EXPECT_FALSE(fs::exists(backup(1)));
}

TEST_F(TaskListFiles, BytesReadAreKeptWhateverHappenedInBetween)
{
    put("broken");
    tasks::TaskListCycle cycle(list);
    std::vector<TaskEntry> entries;
    testing::internal::CaptureStdout();
    cycle.readTaskList(entries);
    testing::internal::GetCapturedStdout();
    put("{\"QORAJob\": []}  ");
    ASSERT_TRUE(cycle.writeTaskList({exportInfo()}));
    EXPECT_EQ(contentsOf(backup(1)), "broken");
}

TEST_F(TaskListFiles, ListIsLeftWhenNoBackupCanBeMade)
{
    put("broken");
    // A directory in the way of the backup's temporary file.
    fs::create_directories(list + ".unreadable.new/x");
    EXPECT_FALSE(cycle());
    EXPECT_EQ(contents(), "broken");
    EXPECT_FALSE(fs::exists(backup(1)));
}

TEST_F(TaskListFiles, WhatCannotBeReadIsNeverWritten)
{
    // A link, a FIFO and a directory at the list's name.
    fs::create_symlink(dir / "target", list);
    EXPECT_FALSE(cycle());
    EXPECT_FALSE(fs::exists(dir / "target"));
    fs::remove(list);
    ASSERT_EQ(::mkfifo(list.c_str(), 0600), 0);
    EXPECT_FALSE(cycle());
    fs::remove(list);
    fs::create_directory(list);
    EXPECT_FALSE(cycle());
    EXPECT_TRUE(fs::is_directory(list));
}

TEST_F(TaskListFiles, IntentCopyIsWrittenIntoTheListFirst)
{
    put(tasks::formatTaskList({update("old")}).substr(0, 50));
    const std::string next = tasks::formatTaskList({update("new")});
    std::ofstream(intent(), std::ios::binary) << next;
    std::ofstream(intent() + ".new", std::ios::binary) << "half";
    std::ofstream(backup(1) + "x", std::ios::binary) << "foreign";
    std::vector<TaskEntry> entries;
    EXPECT_EQ(readPrinting(entries), "");
    EXPECT_THAT(jobIds(entries), ElementsAre("new"));
    EXPECT_EQ(contents(), next);
    EXPECT_THAT(namesInDir(),
                ElementsAre("BIOS_task_list.json", "BIOS_task_list.json.lock",
                            "BIOS_task_list.json.unreadable.1x"));
}

TEST_F(TaskListFiles, CopyThatIsNoListIsNotOursAndGoes)
{
    const std::string text = tasks::formatTaskList({update("1")});
    for (const std::string& foreign : {std::string(), std::string("x}")})
    {
        put(text);
        std::ofstream(intent(), std::ios::binary) << foreign;
        std::vector<TaskEntry> entries;
        EXPECT_EQ(readPrinting(entries), "");
        EXPECT_THAT(jobIds(entries), ElementsAre("1"));
        EXPECT_FALSE(fs::exists(intent()));
        EXPECT_EQ(contents(), text);
    }
}

TEST_F(TaskListFiles, IntentCopyThatCannotBeWrittenIsReadAndKept)
{
    fs::create_directory(list);
    const std::string next = tasks::formatTaskList({update("new")});
    std::ofstream(intent(), std::ios::binary) << next;
    tasks::TaskListCycle cycle(list);
    std::vector<TaskEntry> entries;
    cycle.readTaskList(entries);
    EXPECT_THAT(jobIds(entries), ElementsAre("new"));
    EXPECT_FALSE(cycle.writeTaskList(entries));
    EXPECT_EQ(contentsOf(intent()), next);
}

TEST_F(TaskListFiles, PlantedNamesAreNeverWrittenThrough)
{
    // Links at every name the tool creates, all aiming at one target.
    const fs::path target = dir / "target";
    std::ofstream(target) << "precious";
    for (const std::string& name : std::vector<std::string>{
             intent(), intent() + ".new", backup(1), list + ".unreadable.new"})
    {
        fs::create_symlink(target, name);
    }
    put("broken");
    ASSERT_TRUE(cycle());
    EXPECT_EQ(contentsOf(target.string()), "precious");
    EXPECT_EQ(contentsOf(backup(1)), "broken");
    EXPECT_EQ(contents(), tasks::formatTaskList({exportInfo()}));
}

// ---------------------------------------------------------------- lock

// Whether another process can take the lock on path right now.
bool lockableElsewhere(const std::string& path)
{
    pid_t child = ::fork();
    if (child == 0)
    {
        int fd = ::open(path.c_str(), O_RDONLY);
        _exit(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

constexpr std::chrono::milliseconds shortPatience{200};

TEST_F(ListDirectory, LockIsHeldForTheHoldersLifetimeAndExcludesEveryOther)
{
    const std::string lockFile = list + ".lock";
    {
        tasks::FileLock lock(lockFile);
        ASSERT_TRUE(lock.held());
        EXPECT_EQ(lock.failure(), "");
        EXPECT_FALSE(lockableElsewhere(lockFile));
        // Another holder, even in this process, waits and then gives up.
        tasks::FileLock second(lockFile, shortPatience);
        EXPECT_FALSE(second.held());
        EXPECT_EQ(second.failure(),
                  lockFile + " is held by another run for more than 200 ms");
        tasks::TaskListCycle cycle(list, shortPatience);
        EXPECT_FALSE(cycle.locked());
        EXPECT_EQ(cycle.lockFailure(), second.failure());
        EXPECT_FALSE(cycle.writeTaskList({exportInfo()}));
        EXPECT_FALSE(fs::exists(list));
        // A lock on another file is independent.
        EXPECT_TRUE(tasks::FileLock(lockFile + "2", shortPatience).held());
    }
    EXPECT_TRUE(lockableElsewhere(lockFile));
}

TEST_F(ListDirectory, HolderIsWaitedFor)
{
    const std::string lockFile = list + ".lock";
    auto lock = std::make_unique<tasks::FileLock>(lockFile);
    std::thread release([&lock] {
        std::this_thread::sleep_for(shortPatience);
        lock.reset();
    });
    tasks::FileLock waiting(lockFile, std::chrono::seconds(60));
    release.join();
    EXPECT_TRUE(waiting.held());
}

struct PlantedLock
{
    const char* name;
    void (*plant)(const std::string& path, const fs::path& dir);
    const char* failure;
};

class UnsafeLockFile :
    public ListDirectory,
    public testing::WithParamInterface<PlantedLock>
{};

TEST_P(UnsafeLockFile, IsRefusedWithoutWaitingOrWriting)
{
    const std::string lockFile = list + ".lock";
    GetParam().plant(lockFile, dir);
    tasks::FileLock lock(lockFile);
    EXPECT_FALSE(lock.held());
    EXPECT_EQ(lock.failure(), lockFile + " cannot be opened safely (" +
                                  GetParam().failure + ")");
    EXPECT_FALSE(fs::exists(dir / "target"));
}

INSTANTIATE_TEST_SUITE_P(
    Planted, UnsafeLockFile,
    testing::Values(PlantedLock{"Directory",
                                [](const std::string& path, const fs::path&) {
                                    fs::create_directory(path);
                                },
                                "not a regular file"},
                    PlantedLock{
                        "Symlink",
                        [](const std::string& path, const fs::path& dir) {
                            fs::create_symlink(dir / "target", path);
                        },
                        "Too many levels of symbolic links"},
                    PlantedLock{"Fifo",
                                [](const std::string& path, const fs::path&) {
                                    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
                                },
                                "not a regular file"}),
    [](const testing::TestParamInfo<PlantedLock>& info) {
        return info.param.name;
    });

} // namespace
