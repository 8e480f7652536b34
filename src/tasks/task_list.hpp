#pragma once

// The task list: the queue of BIOS jobs that the management daemon carries
// out with the host firmware at the host's next boot. It lives in one JSON
// file; every user reads it whole, changes the list in memory and writes it
// back whole, within one TaskListCycle (task_list_cycle.hpp), which holds
// the list's lock for that time.
//
// This header is the list's codec: the record, the reader of the file's
// text and the writer's text. The file itself is in list_file.hpp.

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tasks
{

// One queued job: seven text fields, in the order they are written.
struct TaskEntry
{
    std::string JobType;
    std::string DisplayName;
    std::string FQDD;
    std::string JOBID;
    std::string ResourceURI;
    std::string ResourceType;
    std::string ResourceNamespace;
};

// The key of the file's list of entries.
inline constexpr const char* listKey = "QORAJob";

// The seven members of an entry, in the order they are looked up and written,
// each with the field it fills.
struct FieldName
{
    const char* key;
    std::string TaskEntry::*field;
};
inline constexpr std::array<FieldName, 7> fieldNames{{
    {"JobType", &TaskEntry::JobType},
    {"DisplayName", &TaskEntry::DisplayName},
    {"FQDD", &TaskEntry::FQDD},
    {"JOBID", &TaskEntry::JOBID},
    {"ResourceURI", &TaskEntry::ResourceURI},
    {"ResourceType", &TaskEntry::ResourceType},
    {"ResourceNamespace", &TaskEntry::ResourceNamespace},
}};

// The job type of an update's task.
inline constexpr const char* updateJobType = "UPDATE";

// The device every queued job is for: the BIOS setup.
inline constexpr const char* biosFqdd = "BIOS.Setup.1-1";

// What the reader does with its messages: prints them on standard output,
// as every run that changes the list does, or keeps them to itself (a run
// that only looks).
enum class Complaints
{
    printed,
    silent,
};

// The reader: parses the whole stream as the task list's text and appends
// every complete entry to list, in order, with its messages. True when
// every element of the list was taken (no message). `held`, when given, is
// set to the number of elements of the file's list, complete or not, when
// the file has a list. Only allocation failures escape.
bool parseTaskList(std::FILE* file, std::vector<TaskEntry>& list,
                   Complaints complaints = Complaints::printed,
                   std::optional<std::size_t>* held = nullptr);

// The same reader over text held in memory.
bool parseTaskList(const std::string& text, std::vector<TaskEntry>& list,
                   Complaints complaints = Complaints::printed,
                   std::optional<std::size_t>* held = nullptr);

// True when text is one complete JSON document (as a finished write leaves
// the list's file, and a torn one almost never does). Prints nothing.
bool isCompleteDocument(std::string_view text);

// The writer's text for list: the whole file, pretty-printed.
std::string formatTaskList(const std::vector<TaskEntry>& list);

// The same text in place of text's contents, in the room text already has
// where it suffices.
void formatTaskList(const std::vector<TaskEntry>& list, std::string& text);

} // namespace tasks
