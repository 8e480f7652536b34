#include "tasks/task_list.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
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

    std::string contents() const
    {
        return contentsOf(list);
    }

    // Reads the list, returning what the reader printed.
    std::string readPrinting(std::vector<TaskEntry>& entries) const
    {
        testing::internal::CaptureStdout();
        tasks::detail::readTaskListAt(list, entries);
        return testing::internal::GetCapturedStdout();
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
    EXPECT_EQ(tasks::detail::formatTaskList({}), "{\n    \"QORAJob\": []\n}");
}

TEST(TaskListFormat, OneEntryMatchesTheFileLayout)
{
    EXPECT_EQ(tasks::detail::formatTaskList({exportInfo()}),
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
    std::string text =
        tasks::detail::formatTaskList({update("A"), update("B")});
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
    std::string text = tasks::detail::formatTaskList({entry});
    EXPECT_NE(text.find("\"JOBID\": \"" + GetParam().written + "\",\n"),
              std::string::npos)
        << text;

    ASSERT_TRUE(tasks::detail::writeTaskListAt(list, {entry}));
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
    EXPECT_NE(
        tasks::detail::formatTaskList({entry}).find("\"JOBID\": \"JID\",\n"),
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
    for (int i = 0; i < 2000; ++i)
    {
        entries.push_back(update(std::to_string(i)));
    }
    ASSERT_TRUE(tasks::detail::writeTaskListAt(list, entries));
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
    ASSERT_TRUE(tasks::detail::writeTaskListAt(
        list, {update("1"), update("2"), update("3")}));
    ino_t before = inodeOf(list);
    ASSERT_TRUE(tasks::detail::writeTaskListAt(list, {exportInfo()}));
    EXPECT_EQ(inodeOf(list), before);
    EXPECT_EQ(contents(), tasks::detail::formatTaskList({exportInfo()}));
}

TEST_F(ListDirectory, WriteCreatesAnAbsentFile)
{
    ASSERT_TRUE(tasks::detail::writeTaskListAt(list, {}));
    EXPECT_EQ(contents(), "{\n    \"QORAJob\": []\n}");
}

TEST_F(ListDirectory, WriteIntoMissingDirectoryDoesNothing)
{
    std::string nowhere = (dir / "absent" / "list.json").string();
    EXPECT_FALSE(tasks::detail::writeTaskListAt(nowhere, {exportInfo()}));
    EXPECT_FALSE(fs::exists(dir / "absent"));
}

// ---------------------------------------------------------------- backups

class TaskListBackup : public ListDirectory
{
  protected:
    // Reads and rewrites the list as every user does.
    void cycle()
    {
        std::vector<TaskEntry> entries;
        readPrinting(entries);
        entries.push_back(exportInfo());
        ASSERT_TRUE(tasks::detail::writeTaskListAt(list, entries));
    }

    std::string backup(int n) const
    {
        return tasks::detail::backupPath(list, n);
    }

    std::vector<std::string> namesInDir() const
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

TEST_F(TaskListBackup, UnparsableListIsKeptBeforeItIsReplaced)
{
    put("{\"QORAJob\": [ not json");
    cycle();
    EXPECT_EQ(contentsOf(backup(1)), "{\"QORAJob\": [ not json");
    EXPECT_EQ(contents(), tasks::detail::formatTaskList({exportInfo()}));
    EXPECT_THAT(namesInDir(), ElementsAre("BIOS_task_list.json",
                                          "BIOS_task_list.json.unreadable.1"));
}

TEST_F(TaskListBackup, NewestThreeAreKept)
{
    for (int i = 1; i <= 5; ++i)
    {
        put("broken " + std::to_string(i));
        cycle();
    }
    EXPECT_EQ(contentsOf(backup(1)), "broken 5");
    EXPECT_EQ(contentsOf(backup(2)), "broken 4");
    EXPECT_EQ(contentsOf(backup(3)), "broken 3");
    EXPECT_FALSE(fs::exists(backup(4)));
    EXPECT_EQ(namesInDir().size(), 4U);
}

TEST_F(TaskListBackup, EveryIncompleteReadIsKept)
{
    const std::vector<std::string> files{
        "[]", "{\"other\": 1}", "{\"QORAJob\": 3}",
        "{\"QORAJob\": [" + element("1") + ", {}]}"};
    for (const auto& file : files)
    {
        fs::remove(backup(1));
        put(file);
        cycle();
        EXPECT_EQ(contentsOf(backup(1)), file);
    }
}

TEST_F(TaskListBackup, ReadableOrEmptyListIsNotKept)
{
    put("{\"QORAJob\": [" + element("1") + "]}");
    cycle();
    put("");
    cycle();
    EXPECT_THAT(namesInDir(), ElementsAre("BIOS_task_list.json"));
}

TEST_F(TaskListBackup, BackupIsTakenOnceThenTheListIsReadable)
{
    put("broken");
    cycle();
    cycle();
    EXPECT_EQ(contentsOf(backup(1)), "broken");
    EXPECT_FALSE(fs::exists(backup(2)));
}

TEST_F(TaskListBackup, ListChangedSinceTheReadIsNotKept)
{
    put("broken");
    std::vector<TaskEntry> entries;
    readPrinting(entries);
    put("{\"QORAJob\": []}  ");
    ASSERT_TRUE(tasks::detail::writeTaskListAt(list, entries));
    EXPECT_FALSE(fs::exists(backup(1)));
}

TEST_F(TaskListBackup, ListIsLeftWhenNoBackupCanBeMade)
{
    put("broken");
    // A directory in the way of the backup's temporary file.
    fs::create_directory(list + ".unreadable.new");
    fs::create_directory(list + ".unreadable.new/x");
    std::vector<TaskEntry> entries;
    readPrinting(entries);
    EXPECT_FALSE(tasks::detail::writeTaskListAt(list, {exportInfo()}));
    EXPECT_EQ(contents(), "broken");
    EXPECT_FALSE(fs::exists(backup(1)));
}

// ---------------------------------------------------------------- lock

// Whether another process can take the lock on path right now.
bool lockableElsewhere(const std::string& path)
{
    pid_t child = ::fork();
    if (child == 0)
    {
        int fd = ::open(path.c_str(), O_RDWR);
        _exit(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(ListDirectory, LockIsHeldForTheHoldersLifetime)
{
    std::string lockFile = tasks::detail::lockPath(list);
    EXPECT_EQ(lockFile, list + ".lock");
    {
        tasks::TaskListLock lock(lockFile);
        ASSERT_TRUE(fs::exists(lockFile));
        EXPECT_FALSE(lockableElsewhere(lockFile));
        {
            // A nested holder shares the lock instead of waiting for it.
            tasks::TaskListLock nested(lockFile);
            EXPECT_FALSE(lockableElsewhere(lockFile));
        }
        EXPECT_FALSE(lockableElsewhere(lockFile));
    }
    EXPECT_TRUE(lockableElsewhere(lockFile));
}

TEST_F(ListDirectory, LockThatCannotBeTakenLetsTheHolderGoOn)
{
    std::string lockFile = (dir / "absent" / "x.lock").string();
    {
        tasks::TaskListLock lock(lockFile);
        EXPECT_FALSE(fs::exists(lockFile));
    }
    // The next holder still locks normally.
    std::string good = tasks::detail::lockPath(list);
    tasks::TaskListLock lock(good);
    EXPECT_FALSE(lockableElsewhere(good));
}

} // namespace
