// The configuration jobs against task-list directories of every make: what
// they print and return, and the bytes or kind of every file they leave
// beside the list, with the list's reader, backups and intent copies.

#include "builder/scratch_directory.hpp"
#include "encoding/hex.hpp"
#include "tasks/config_jobs.hpp"
#include "tasks/task_list.hpp"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;

// What lies in the directory by name, the list's own files by what follows
// the list's name: a regular file's bytes or, after a NUL that no file here
// begins with, the kind of what is there. A name with a slash is a file in
// a directory.
using Files = std::map<std::string, std::string>;
const std::string fifo{"\0fifo", 5};
const std::string dir{"\0dir", 4};
std::string link(const std::string& target)
{
    return std::string(1, '\0') + "link -> " + target;
}

// The one directory of the list and the configurations, made over for
// every row.
const capsule::ScratchDirectory scratch;
const std::string listName = "BIOS_task_list.json";
const paths::Paths at{scratch.file(listName),
                      scratch.file("BIOS_Config.json"),
                      scratch.file("pending/BIOS_Config.json"),
                      scratch.file("staging"),
                      scratch.file("scratch"),
                      scratch.file("run/update.lock")};

const std::string exportQueued =
    "::: Export BIOS Config Task queued for next host reboot\n";
const std::string importQueued =
    "::: Import BIOS Config Task queued for next host reboot\n";
const std::string fieldMissing = "Field missing, ignoring this entry\n";
const std::string parseError = "Document has parse error ";
const std::string invalid = parseError + "Invalid value.\n";
const std::string noList = "NO QORAJob found\n";
const std::string broken = R"({"QORAJob": [ broken)";

using tasks::TaskEntry;
using Entries = std::vector<TaskEntry>;

const std::string bios = "BIOS.Setup.1-1";
TaskEntry update(const std::string& id)
{
    return {
        "UPDATE", "BIOS Update", bios, id, "/tmp/tmpBIOSPayload/capsule.bin",
        "File",   "ConfigDb"};
}
TaskEntry job(const std::string& type, const std::string& id = "x")
{
    return {type, "BIOS Config", bios, id, "NA", "INFO", "BASECONFIG"};
}
TaskEntry importOf(const std::string& id)
{
    return {"CONFIG",         "BIOS Config", bios,        id,
            at.pendingConfig, "FILE",        "BASECONFIG"};
}
const TaskEntry fileExport{"INVENTORY",       "BIOS Config", bios,        "",
                           at.exportedConfig, "FILE",        "BASECONFIG"};
const TaskEntry infoExport = job("INVENTORY", "");
const TaskEntry e1 = update("JID_1");
const TaskEntry e2 = update("JID_2");
const TaskEntry e3 = update("JID_3");
// The import's job id, "JobID_" and the second it was made in.
const std::string runTime = "<the run's time>";

// The list file's text for entries, as the writer makes it (the writer's
// own text is checked in task_list_test).
std::string listText(const Entries& entries)
{
    return tasks::formatTaskList(entries);
}

// The list an export writes where kept was.
std::string exported(Entries kept)
{
    kept.insert(kept.begin(), fileExport);
    return listText(kept);
}

std::string joined(const std::vector<std::string>& parts,
                   const std::string& separator)
{
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i)
    {
        text += (i == 0 ? "" : separator) + parts[i];
    }
    return text;
}

// An entry's "<key>": "<value>" members (none of the texts here needs
// escaping).
std::vector<std::string> members(const TaskEntry& entry)
{
    std::vector<std::string> text;
    for (const auto& [key, value] :
         {std::pair{"JobType", &entry.JobType},
          {"DisplayName", &entry.DisplayName},
          {"FQDD", &entry.FQDD},
          {"JOBID", &entry.JOBID},
          {"ResourceURI", &entry.ResourceURI},
          {"ResourceType", &entry.ResourceType},
          {"ResourceNamespace", &entry.ResourceNamespace}})
    {
        text.push_back(std::string("\"") + key + "\": \"" + *value + "\"");
    }
    return text;
}

// Hand-made list files: an entry as compact JSON (extra spliced in before
// its end), and a list around such elements.
std::string element(const TaskEntry& entry, const std::string& extra = "",
                    bool backwards = false)
{
    std::vector<std::string> parts = members(entry);
    if (backwards)
    {
        std::ranges::reverse(parts);
    }
    return "{" + joined(parts, ", ") + extra + "}";
}
std::string compact(const std::vector<std::string>& elements,
                    const std::string& before = "",
                    const std::string& after = "")
{
    return "{" + before + R"("QORAJob": [)" + joined(elements, ", ") + "]" +
           after + "}";
}
std::string replaced(std::string text, const std::string& what,
                     const std::string& with)
{
    return text.replace(text.find(what), what.size(), with);
}

// An intent copy of text, made when the list's file was as prior says.
std::string intent(const std::string& text,
                   const std::string& prior = "unknown")
{
    return "prior " + prior + "\n" + text;
}
std::string sha256(const std::string& bytes)
{
    std::array<std::uint8_t, 32> digest{};
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest.data(), nullptr,
                         EVP_sha256(), nullptr),
              1);
    return "sha256:" + encoding::lowerHex(digest);
}

Files state()
{
    Files files;
    for (const fs::directory_entry& file :
         fs::directory_iterator(scratch.file("")))
    {
        std::ifstream bytes(file.is_regular_file() ? file.path() : "");
        const std::string name = file.path().filename();
        files[name.starts_with(listName) ? name.substr(listName.size())
                                         : name] =
            file.is_symlink() ? link(fs::read_symlink(file))
            : file.is_fifo()  ? fifo
            : file.is_directory()
                ? dir
                : std::string(std::istreambuf_iterator(bytes), {});
    }
    return files;
}

// Empties the directory and makes what state() describes.
void reset(const Files& files)
{
    for (const fs::directory_entry& file :
         fs::directory_iterator(scratch.file("")))
    {
        fs::remove_all(file.path());
    }
    for (const auto& [name, what] : files)
    {
        const fs::path path = scratch.file(
            name.empty() || name[0] == '.' ? listName + name : name);
        fs::create_directories(what == dir ? path : path.parent_path());
        if (what.starts_with(link("")))
        {
            fs::create_symlink(what.substr(link("").size()), path);
        }
        else if (what == fifo)
        {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        }
        else if (what != dir)
        {
            std::ofstream(path, std::ios::binary) << what;
        }
    }
}

enum class Job
{
    exportConfig,
    forceExport,
    importConfig
};

// A job run on the files before: the files it leaves (the lock file aside)
// and all it prints.
struct Row
{
    std::string name;
    Files before;
    Files after;
    std::string printed;
    Job job;
};

// Files given as name, what, name, what, ...
Files files(const std::vector<std::string>& pairs)
{
    Files made;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2)
    {
        made[pairs[i]] = pairs[i + 1];
    }
    return made;
}
Row row(const std::string& name, const std::vector<std::string>& before,
        const std::vector<std::string>& after,
        const std::string& printed = exportQueued, Job job = Job::exportConfig)
{
    return {name, files(before), files(after), printed, job};
}

// The files a row leaves when its import was made in second t.
Files madeIn(Files files, std::time_t t)
{
    for (auto& [name, bytes] : files)
    {
        if (const std::size_t i = bytes.find(runTime); i != std::string::npos)
        {
            bytes.replace(i, runTime.size(), "JobID_" + std::to_string(t));
        }
    }
    files[".lock"] = "";
    return files;
}

// Runs every row; a list file that a row leaves as it was is not even
// rewritten.
void check(const std::vector<Row>& rows)
{
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        reset(row.before);
        const auto list = row.before.find("");
        const bool file = list != row.before.end() && list->second[0] != '\0';
        const auto old =
            fs::file_time_type::clock::now() - std::chrono::hours(9);
        if (file)
        {
            fs::last_write_time(at.taskList, old);
        }
        const std::time_t started = std::time(nullptr);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(
            row.job == Job::importConfig
                ? tasks::importBIOSConfig(at)
                : tasks::exportBIOSConfig(at, row.job == Job::forceExport));
        std::vector<Files> after;
        for (std::time_t t = started; t <= std::time(nullptr); ++t)
        {
            after.push_back(madeIn(row.after, t));
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.printed);
        EXPECT_THAT(state(), testing::AnyOfArray(after));
        const auto kept = row.after.find("");
        if (file && kept != row.after.end() && kept->second == list->second)
        {
            EXPECT_EQ(fs::last_write_time(at.taskList), old);
        }
    }
}

TEST(ConfigJobs, QueueTheirJobs)
{
    const Entries inventory{job("Inventory"), job("iNVENTORY"),
                            job("inventoryX"), job(""), job("INVENTORY ")};
    const Entries almost{job("CONFIGURE"), job("configs"), job(" config"),
                         job(""), job("C\u00d6NFIG")};
    const std::string config = "BIOS_Config.json";
    const std::string pending = listText({e1, job("cOnFiG"), infoExport});
    const std::string info = listText({infoExport});
    using enum Job;
    check({
        row("export: the file kind", {}, {"", exported({})}),
        row("export beside an exported configuration: the information kind",
            {config, "{}"}, {config, "{}", "", info}),
        row("forced export", {config, "{}"}, {config, "{}", "", exported({})},
            exportQueued, forceExport),
        row("an exported configuration that does not open", {config, link("x")},
            {config, link("x"), "", exported({})}),
        row("an exported configuration that is a FIFO", {config, fifo},
            {config, fifo, "", info}),
        row("export replaces inventory jobs, letter case aside",
            {"", listText({infoExport, e1, inventory[0], inventory[1],
                           inventory[2], inventory[3], inventory[4]})},
            {"", exported({e1, inventory[2], inventory[3], inventory[4]})}),
        row("a pending import blocks an export", {"", pending}, {"", pending},
            "", forceExport),
        row("job types merely like config", {"", listText(almost)},
            {"", exported(almost)}),
        row("import", {}, {"", listText({importOf(runTime)})}, importQueued,
            importConfig),
        row("import replaces pending jobs, updates keep their places",
            {"", listText({fileExport, e1, importOf("JobID_1"), e2,
                           job("Config"), job("other")})},
            {"", listText({importOf(runTime), e1, e2, job("other")})},
            importQueued, importConfig),
    });
}

// The list holds content: the export prints printed and keeps kept; what it
// could not read whole is backed up.
Row reads(const std::string& name, const std::string& content,
          const std::string& printed, const Entries& kept = {})
{
    Row made =
        row(name, {"", content}, {"", exported(kept)}, printed + exportQueued);
    if (!printed.empty() && !content.empty())
    {
        made.after[".unreadable.1"] = content;
    }
    return made;
}

const TaskEntry special{"say \"hi\"",
                        "back\\slash",
                        "line\nnext\r",
                        "tab\t\b\f\x01\x1f",
                        "caf\u00e9 \u2603 /\x7f",
                        "\xff\xfe not UTF-8",
                        ""};
// The same, as a writer of the list escapes it.
const std::string specialElement =
    R"({"JobType": "say \"hi\"", "DisplayName": "back\\slash", )"
    R"("FQDD": "line\nnext\r", "JOBID": "tab\t\b\f\u0001\u001F", )"
    "\"ResourceURI\": \"caf\u00e9 \u2603 /\x7f\", "
    "\"ResourceType\": \"\xff\xfe not UTF-8\", \"ResourceNamespace\": \"\"}";

std::string repeated(const std::string& text, int times)
{
    return times == 0 ? "" : text + repeated(text, times - 1);
}

TEST(ExportBIOSConfig, ReadsTheList)
{
    check({
        reads("empty list", R"({"QORAJob":[]})", ""),
        reads("extra members and a final newline",
              compact({element(e1, R"(, "x": [1, {"a": null}])")},
                      R"("a": 1, )", R"(, "z": {})") +
                  "\n",
              "", {e1}),
        reads("duplicates in any member order",
              compact({element(e1, "", true), element(e1, "", true)}), "",
              {e1, e1}),
        reads("the first list counts",
              compact({element(e1)}, "", R"(, "QORAJob": 5)"), "", {e1}),
        reads("every escape, and bytes that are not UTF-8",
              compact({specialElement}), "", {special}),
        reads("an escaped NUL ends a text",
              compact({replaced(element(e1), "JID_1", R"(JID\u0000tail)")}), "",
              {update("JID")}),
        reads("nested deep",
              compact({element(e1)}, "",
                      R"(, "x": )" + std::string(500, '[') +
                          std::string(500, ']')),
              "", {e1}),
        reads("nested too deep",
              R"({"QORAJob": [], "x": )" + std::string(100000, '['),
              parseError + "Terminate parsing due to Handler error.\n"),
        reads("empty file", "", parseError + "The document is empty.\n"),
        reads("cut short", R"({"QORAJob": [)", invalid),
        reads("another letter case", R"({"qorajob": [], "QORAJOB": []})",
              noList),
        reads("root not an object", R"(["QORAJob"])", noList),
        reads("list not an array", R"({"QORAJob": null})",
              "NO Arrays found in QORAJob\n"),
        reads("an element lacking a member",
              compact({element(e1),
                       replaced(element(e2), R"("JOBID": "JID_2", )", ""),
                       element(e3)}),
              fieldMissing, {e1, e3}),
        reads("elements and members of other types",
              compact({"7", "-1", "18446744073709551615",
                       "-9223372036854775808", "1.5", R"("x")", "null", "false",
                       "[]", replaced(element(e1), R"("BIOS.Setup.1-1")", "{}"),
                       R"({"JOBID": 1, )" + element(e2).substr(1),
                       element(e3, R"(, "JOBID": 5)")}),
              repeated(fieldMissing, 11), {e3}),
    });
}

TEST(ExportBIOSConfig, BacksUpAndReplacesRegularFilesOnly)
{
    const std::string fresh = exported({});
    const std::string target = link("target");
    std::vector<Row> rows{
        row("the newest three backups stay",
            {"", broken, ".unreadable.1", "1", ".unreadable.2", "2",
             ".unreadable.3", "3"},
            {"", fresh, ".unreadable.1", broken, ".unreadable.2", "1",
             ".unreadable.3", "2"},
            invalid + exportQueued),
        row("a list that cannot be backed up stays",
            {"", broken, ".unreadable.new/file", ""},
            {"", broken, ".unreadable.new", dir}, invalid + exportQueued),
        row("links at the copies are replaced, not followed",
            {"", broken, ".intent.new", target, ".unreadable.new", target,
             ".unreadable.1", target, "target", "precious"},
            {"", fresh, ".unreadable.1", broken, ".unreadable.2", target,
             "target", "precious"},
            invalid + exportQueued),
    };
    for (const std::string& what :
         {target, dir, fifo, std::string(), std::string("x}"), listText({e1})})
    {
        rows.push_back(
            row("what is at the intent copy goes: " + what,
                {"", broken, ".intent", what, "target", "precious"},
                {"", fresh, ".unreadable.1", broken, "target", "precious"},
                invalid + exportQueued));
    }
    for (const std::string& what : {target, link("absent"), fifo, dir})
    {
        rows.push_back(row("what is at the list stays: " + what,
                           {"", what, "target", "precious"},
                           {"", what, "target", "precious"}));
    }
    check(rows);
}

// An intent copy is completed only onto the list it was made for.
TEST(ExportBIOSConfig, CompletesAnInterruptedWriteFirst)
{
    const std::string copy = listText({e1});
    const std::string made = sha256(listText({e2}));
    const std::string bad = intent(R"({"QORAJob": [{}]})");
    const std::string then = made + " inode:1 ctime:2.3";
    check({
        row("an interrupted write is completed first",
            {"", broken.substr(0, 9), ".intent", intent(copy), ".intent.new",
             "half", ".unreadable.new", "half", ".unreadable.1x", "other"},
            {"", exported({e1}), ".unreadable.1x", "other"}),
        row("not onto the same bytes written since",
            {"", listText({e2}), ".intent", intent(copy, then)},
            {"", exported({e2})}),
        row("not onto a list removed since it was made",
            {".intent", intent(copy, "absent")}, {"", exported({})}),
        row("not onto a list changed since",
            {"", listText({e3}), ".intent", intent(copy, made)},
            {"", exported({e3})}),
        row("not onto a list removed since", {".intent", intent(copy, made)},
            {"", exported({})}),
        row("an intent copy that cannot be written in is read",
            {"", dir, ".intent", bad}, {"", dir, ".intent", bad},
            fieldMissing + exportQueued),
    });
}

TEST(ExportBIOSConfig, RewritesTheListFileInPlaceAndCutsItsTail)
{
    reset({{"", listText(Entries(20, job("inventory")))}});
    fs::permissions(at.taskList, fs::perms(0640));
    struct stat before = {};
    struct stat after = {};
    ASSERT_EQ(::stat(at.taskList.c_str(), &before), 0);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(tasks::exportBIOSConfig(at, false));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), exportQueued);
    ASSERT_EQ(::stat(at.taskList.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 0777U, 0640U);
    EXPECT_EQ(state(), files({"", exported({}), ".lock", ""}));
}

TEST(ConfigJobs, WhereNoFileCanBeNothingIsLockedOrWritten)
{
    reset({});
    paths::Paths nowhere = at;
    nowhere.taskList = scratch.file("absent/" + listName);
    nowhere.exportedConfig = scratch.file("absent/BIOS_Config.json");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(tasks::exportBIOSConfig(nowhere, false));
    EXPECT_TRUE(tasks::importBIOSConfig(nowhere));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              exportQueued + importQueued);
    EXPECT_EQ(state(), Files{});
}

} // namespace
