// Writes a seed corpus for the task list reader into the directory named by
// the first argument: lists as the tool writes them, and the shapes the
// reader must take apart (extra members, odd types, broken text).

#include "tasks/task_list.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace
{

tasks::TaskEntry entry(const std::string& jobType, const std::string& jobId)
{
    return {jobType,
            "BIOS Config",
            "BIOS.Setup.1-1",
            jobId,
            "/var/lib/qorad/BIOS_Config.json",
            "FILE",
            "BASECONFIG"};
}

std::string compactElement(const std::string& jobId, const std::string& extra)
{
    return R"({"JobType": "UPDATE", "DisplayName": "BIOS Update", )"
           R"("FQDD": "BIOS.Setup.1-1", "JOBID": ")" +
           jobId +
           R"(", "ResourceURI": "/tmp/tmpBIOSPayload/c.bin", )"
           R"("ResourceType": "File", "ResourceNamespace": "ConfigDb")" +
           extra + "}";
}

std::vector<std::string> seeds()
{
    using tasks::formatTaskList;
    std::vector<std::string> out{
        formatTaskList({}),
        formatTaskList({entry("INVENTORY", "")}),
        formatTaskList({entry("CONFIG", "JobID_1700000000"),
                        entry("UPDATE", "JID_1"), entry("UPDATE", "JID_1")}),
        formatTaskList({entry("say \"hi\"\n\t\x01", "caf\xc3\xa9 \\ /")}),
        "{\"QORAJob\": [" + compactElement("1", "") + ", " +
            compactElement("2", R"(, "Extra": [1, {"a": null}])") + "]}\n",
        "{\"before\": 1, \"QORAJob\": [" + compactElement("1", "") +
            "], \"QORAJob\": 5}",
        R"({"QORAJob": [1, "x", null, [], {"JobType": 5}]})",
        R"({"QORAJob": [{"JobType": "A", "JOBID": "\u0000cut"}]})",
        R"({"qorajob": []})",
        R"({"QORAJob": {"JobType": "CONFIG"}})",
        R"(["QORAJob"])",
        "{\"QORAJob\": [" + compactElement("1", "") + ",]}",
        "{\"QORAJob\": [[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]}",
        "",
    };
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fputs("usage: task_list_seeds <directory>\n", stderr);
        return 2;
    }
    std::filesystem::path dir(argv[1]);
    std::filesystem::create_directories(dir);
    int n = 0;
    for (const auto& seed : seeds())
    {
        std::ofstream out(dir / ("seed-" + std::to_string(n++)),
                          std::ios::binary);
        out << seed;
        if (!out)
        {
            return 1;
        }
    }
    return 0;
}
