// Feeds arbitrary bytes to the task list reader, as if they were the task
// list file, then checks that the reader over a stream and the one over text
// in memory take the same, that the writer writes what RapidJSON's pretty
// writer writes for it, and that what it took survives a write and a new
// read unchanged.

#include "fuzz_support.hpp"
#include "handles/stdio.hpp"
#include "rapidjson.hpp"
#include "tasks/task_list.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace
{

std::vector<tasks::TaskEntry> readFrom(const void* data, std::size_t size,
                                       bool& whole)
{
    std::vector<tasks::TaskEntry> list;
    // fmemopen wants a writable buffer even for reading.
    std::string copy(static_cast<const char*>(data), size);
    FilePtr file(fmemopen(copy.data(), copy.size(), "rb"));
    if (file)
    {
        whole = tasks::parseTaskList(file.get(), list);
    }
    return list;
}

bool sameEntries(const std::vector<tasks::TaskEntry>& a,
                 const std::vector<tasks::TaskEntry>& b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        if (a[i].JobType != b[i].JobType ||
            a[i].DisplayName != b[i].DisplayName || a[i].FQDD != b[i].FQDD ||
            a[i].JOBID != b[i].JOBID || a[i].ResourceURI != b[i].ResourceURI ||
            a[i].ResourceType != b[i].ResourceType ||
            a[i].ResourceNamespace != b[i].ResourceNamespace)
        {
            return false;
        }
    }
    return true;
}

// The list as RapidJSON's pretty writer writes it, four spaces per level.
std::string prettyWriterText(const std::vector<tasks::TaskEntry>& list)
{
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 4);
    writer.StartObject();
    writer.Key(tasks::listKey);
    writer.StartArray();
    for (const auto& entry : list)
    {
        writer.StartObject();
        for (const auto& member : tasks::fieldNames)
        {
            writer.Key(member.key);
            writer.String((entry.*member.field).c_str());
        }
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    return {buffer.GetString(), buffer.GetSize()};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz::quietStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    bool whole = false;
    auto list = readFrom(data, size, whole);
    std::vector<tasks::TaskEntry> inMemory;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (tasks::parseTaskList(bytes, inMemory) != whole ||
        !sameEntries(list, inMemory))
    {
        std::abort();
    }
    std::string text = tasks::formatTaskList(list);
    if (text != prettyWriterText(list))
    {
        std::abort();
    }
    bool again = false;
    auto back = readFrom(text.data(), text.size(), again);
    // What the writer writes, the reader takes whole and unchanged.
    if (!again || !sameEntries(list, back) ||
        tasks::formatTaskList(back) != text)
    {
        std::abort();
    }
    return 0;
}
