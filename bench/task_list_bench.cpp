// Cost of one export's read-modify-write of the task list, for lists of
// 1k, 10k and 100k entries (wall-clock median and minimum, processor time
// median, and processor time per entry), and the updater's peak memory on a
// large list.
//
//   task_list_bench                      time the cycle in-process
//   task_list_bench --rss <updater> [n]  run "<updater> exportBIOSConfig" on
//                                        an n-entry list (default 100000) in
//                                        a private mount namespace (root) and
//                                        print its peak resident set

#include "tasks/task_list.hpp"
#include "tasks/task_list_cycle.hpp"

#include <malloc.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace
{

namespace fs = std::filesystem;
using tasks::TaskEntry;

TaskEntry updateEntry(std::size_t n)
{
    return {"UPDATE",
            "BIOS Update",
            "BIOS.Setup.1-1",
            "JID_" + std::to_string(1700000000 + n),
            "/tmp/tmpBIOSPayload/bios_capsule_" + std::to_string(n) + ".bin",
            "File",
            "ConfigDb"};
}

TaskEntry exportEntry()
{
    return {"INVENTORY",
            "BIOS Config",
            "BIOS.Setup.1-1",
            "",
            "/var/lib/qorad/BIOS_Config.json",
            "FILE",
            "BASECONFIG"};
}

// Writes a list of n entries (one pending export among them) to path.
std::size_t writeList(const std::string& path, std::size_t n)
{
    std::vector<TaskEntry> list;
    list.reserve(n);
    list.push_back(exportEntry());
    for (std::size_t i = 1; i < n; ++i)
    {
        list.push_back(updateEntry(i));
    }
    std::ofstream(path, std::ios::binary) << tasks::formatTaskList(list);
    return fs::file_size(path);
}

// The export's cycle on the list at path.
void exportCycle(const std::string& path)
{
    tasks::TaskListCycle cycle(path);
    std::vector<TaskEntry> list;
    cycle.readTaskList(list);
    std::erase_if(list,
                  [](const TaskEntry& e) { return e.JobType == "INVENTORY"; });
    list.insert(list.begin(), exportEntry());
    // A cycle that writes nothing would time less than the export's work.
    if (!cycle.writeTaskList(list))
    {
        std::fputs("task_list_bench: the list was not written\n", stderr);
        std::exit(EXIT_FAILURE);
    }
}

fs::path makeScratch()
{
    std::string pattern =
        (fs::temp_directory_path() / "task_list_bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
    {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

// Processor time this process has used (user and system).
double cpuMilliseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 +
           static_cast<double>(now.tv_nsec) / 1e6;
}

int timeCycles()
{
    fs::path dir = makeScratch();
    std::string path = (dir / "BIOS_task_list.json").string();
    std::printf("%10s %12s %6s %11s %9s %11s %14s\n", "entries", "file bytes",
                "runs", "median ms", "min ms", "cpu ms", "ns per entry");
    for (std::size_t n : {1000U, 10000U, 100000U})
    {
        std::size_t bytes = writeList(path, n);
        int runs = n >= 100000 ? 5 : 21;
        std::vector<double> ms;
        std::vector<double> cpu;
        for (int r = 0; r < runs; ++r)
        {
            double cpuStart = cpuMilliseconds();
            auto start = std::chrono::steady_clock::now();
            exportCycle(path);
            std::chrono::duration<double, std::milli> took =
                std::chrono::steady_clock::now() - start;
            ms.push_back(took.count());
            cpu.push_back(cpuMilliseconds() - cpuStart);
        }
        std::sort(ms.begin(), ms.end());
        std::sort(cpu.begin(), cpu.end());
        double median = ms[ms.size() / 2];
        double cpuMedian = cpu[cpu.size() / 2];
        std::printf("%10zu %12zu %6d %11.2f %9.2f %11.2f %14.0f\n", n, bytes,
                    runs, median, ms.front(), cpuMedian,
                    cpuMedian * 1e6 / static_cast<double>(n));
    }
    fs::remove_all(dir);
    return 0;
}

// In the child: hides /var/lib behind a tmpfs holding only qorad, bound to
// dir, then runs the updater's export.
[[noreturn]] void execExportIn(const fs::path& dir, const char* updater)
{
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/var/lib", "tmpfs", 0, "size=1m") != 0 ||
        ::mkdir("/var/lib/qorad", 0755) != 0 ||
        ::mount(dir.c_str(), "/var/lib/qorad", nullptr, MS_BIND, nullptr) != 0)
    {
        std::perror("sandbox");
        _exit(126);
    }
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, STDOUT_FILENO);
    ::execl(updater, updater, "exportBIOSConfig", nullptr);
    _exit(127);
}

int measurePeakMemory(const char* updater, std::size_t n)
{
    fs::path dir = makeScratch();
    std::size_t bytes = writeList((dir / "BIOS_task_list.json").string(), n);
    // Give the list's memory back, so the child starts small.
    ::malloc_trim(0);
    pid_t child = ::fork();
    if (child == 0)
    {
        execExportIn(dir, updater);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    std::size_t after = fs::file_size(dir / "BIOS_task_list.json");
    fs::remove_all(dir);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    {
        std::fprintf(stderr, "export failed (status %d)\n", status);
        return 1;
    }
    double peak = static_cast<double>(usage.ru_maxrss) * 1024.0;
    std::printf("entries %zu, file %zu bytes (after export %zu), peak RSS %ld "
                "KiB = %.2f x file size\n",
                n, bytes, after, usage.ru_maxrss,
                peak / static_cast<double>(bytes));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "--rss")
    {
        std::size_t n = argc > 3 ? std::stoul(argv[3]) : 100000;
        return measurePeakMemory(argv[2], n);
    }
    if (argc != 1)
    {
        std::fputs("usage: task_list_bench [--rss <updater> [entries]]\n",
                   stderr);
        return 2;
    }
    return timeCycles();
}
