// Cost of one export's read-modify-write of the task list, for lists of
// 1k, 10k and 100k entries (wall-clock median and minimum, processor time
// median, and processor time per entry), beside the floor of any crash-safe
// rewrite of the same list measured in the same run, and the updater's peak
// memory on a large list.
//
// The floor is what rewriting a copy of the list durably takes at the least:
// read it, parse it with RapidJSON, pretty-write it to a temporary file in
// the same directory, sync that, rename it over the copy and sync the
// directory. Cycle and floor take turns, so that both meet the same machine,
// each run in a child process of its own.
//
//   task_list_bench                      time the cycle and the floor
//   task_list_bench --entries <n>        the same for an n-entry list only
//   task_list_bench --rss <updater> [n]  run "<updater> exportBIOSConfig" on
//                                        an n-entry list (default 100000) in
//                                        a private mount namespace (root) and
//                                        print its peak resident set

#include "handles/fd.hpp"
#include "rapidjson.hpp"
#include "tasks/file_io.hpp"
#include "tasks/task_list.hpp"
#include "tasks/task_list_cycle.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <initializer_list>
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

// Stops the benchmark when a step of the floor fails: a floor that skipped
// a step would time less than a rewrite.
void check(bool done, const char* step)
{
    if (!done)
    {
        std::perror(step);
        std::exit(EXIT_FAILURE);
    }
}

// The floor: a crash-safe rewrite of the list at path, by replacing it.
void floorRewrite(const std::string& path)
{
    std::string text;
    {
        const UniqueFd list(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        text.reserve(fs::file_size(path));
        check(list.valid() && tasks::readAll(list.get(), text), "read");
    }
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    check(!document.HasParseError(), "parse");
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 4);
    document.Accept(writer);
    const std::string fresh = path + ".new";
    {
        const UniqueFd file(::open(
            fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        check(file.valid() &&
                  tasks::writeAllAt(
                      file.get(), {buffer.GetString(), buffer.GetSize()}, 0) &&
                  ::fsync(file.get()) == 0,
              "write");
    }
    check(::rename(fresh.c_str(), path.c_str()) == 0, "rename");
    check(tasks::syncDirectoryOf(path), "directory sync");
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

// Wall-clock and processor milliseconds of one run.
struct Sample
{
    double ms = 0;
    double cpu = 0;
};

template <typename Job>
Sample timeHere(Job job)
{
    const double cpuStart = cpuMilliseconds();
    const auto start = std::chrono::steady_clock::now();
    job();
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - start;
    return {took.count(), cpuMilliseconds() - cpuStart};
}

// Times job in a child process of its own: every run meets the allocator
// and fresh memory as a run of the updater does, and no job inherits what
// another left in the allocator.
template <typename Job>
Sample timeInChild(Job job)
{
    std::array<int, 2> ends{};
    check(::pipe(ends.data()) == 0, "pipe");
    const UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t child = ::fork();
    check(child >= 0, "fork");
    if (child == 0)
    {
        const Sample sample = timeHere(job);
        const bool sent = ::write(writeEnd.get(), &sample, sizeof sample) ==
                          static_cast<ssize_t>(sizeof sample);
        _exit(sent ? 0 : 1);
    }
    writeEnd.reset();
    Sample sample;
    const bool got = ::read(readEnd.get(), &sample, sizeof sample) ==
                     static_cast<ssize_t>(sizeof sample);
    int status = 0;
    check(::waitpid(child, &status, 0) == child && got && WIFEXITED(status) &&
              WEXITSTATUS(status) == 0,
          "timed run");
    return sample;
}

// Wall-clock and processor times of the runs of one job.
struct Timings
{
    std::vector<double> ms;
    std::vector<double> cpu;

    void add(const Sample& sample)
    {
        ms.push_back(sample.ms);
        cpu.push_back(sample.cpu);
    }

    static double median(std::vector<double> values)
    {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }
    double medianMs() const
    {
        return median(ms);
    }
    double minMs() const
    {
        return *std::min_element(ms.begin(), ms.end());
    }
    double medianCpu() const
    {
        return median(cpu);
    }
};

void timeSize(const fs::path& dir, std::size_t n)
{
    const std::string path = (dir / "BIOS_task_list.json").string();
    const std::string copy = (dir / "floor_copy.json").string();
    // Written by a child too, so that the runs' parent stays as small as a
    // fresh process.
    static_cast<void>(timeInChild([&] { writeList(path, n); }));
    const std::size_t bytes = fs::file_size(path);
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
    const int runs = n >= 100000 ? 5 : 21;
    Timings cycle;
    Timings floor;
    for (int r = 0; r < runs; ++r)
    {
        cycle.add(timeInChild([&] { exportCycle(path); }));
        floor.add(timeInChild([&] { floorRewrite(copy); }));
    }
    std::printf(
        "%8zu %10zu %4d | %8.2f %8.2f %8.2f %8.0f | %8.2f %8.2f | "
        "%5.2f %5.2f\n",
        n, bytes, runs, cycle.medianMs(), cycle.minMs(), cycle.medianCpu(),
        cycle.medianCpu() * 1e6 / static_cast<double>(n), floor.medianMs(),
        floor.medianCpu(), cycle.medianMs() / floor.medianMs(),
        cycle.medianCpu() / floor.medianCpu());
}

int timeCycles(std::initializer_list<std::size_t> sizes)
{
    const fs::path dir = makeScratch();
    std::printf("%24s | %-35s | %-17s | %s\n", "", "cycle", "floor",
                "cycle/floor");
    std::printf("%8s %10s %4s | %8s %8s %8s %8s | %8s %8s | %5s %5s\n",
                "entries", "file bytes", "runs", "median", "min", "cpu",
                "cpu ns/e", "median", "cpu", "time", "cpu");
    for (const std::size_t n : sizes)
    {
        timeSize(dir, n);
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
    if (argc == 3 && std::string(argv[1]) == "--entries")
    {
        return timeCycles({std::stoul(argv[2])});
    }
    if (argc != 1)
    {
        std::fputs("usage: task_list_bench [--entries <n> | --rss <updater> "
                   "[entries]]\n",
                   stderr);
        return 2;
    }
    return timeCycles({1000, 10000, 100000});
}
