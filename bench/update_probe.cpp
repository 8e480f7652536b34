// Preloaded into the updater by update_bench.py. It appends to the file that
// UPDATE_PROBE_FILE names one record a line, "<event> <value>":
//
//   start <ns>   the updater's start (CLOCK_MONOTONIC, as Python's
//                time.monotonic_ns reads it)
//   line <ns>    the end of each line written on standard error, in order
//   fork <ns>    each fork (the decompressor's starter among them)
//   exit <ns>    the updater's end
//   peak <KiB>   its peak resident set (VmHWM of /proc/self/status)
//
// The benchmark pairs the line records with the lines it captured, which
// marks the phases of one update. Other programs the updater starts, the
// xz child among them, are left alone.

#include "handles/stdio.hpp"

#include <dlfcn.h>
#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace
{

constexpr const char* measuredProgram = "morvex_bios_updater";

// The records, kept in memory until the end: writing them as they come
// would add the probe's own file writes to the phases it times.
constexpr std::size_t maxRecords = 256;
struct Record
{
    const char* event;
    long long value;
};
struct Records
{
    std::array<Record, maxRecords> kept{};
    std::size_t count = 0;
    bool measured = false;
};

Records& records()
{
    static Records all;
    return all;
}

long long nowNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void note(const char* event, long long value)
{
    Records& all = records();
    if (all.measured && all.count < all.kept.size())
    {
        all.kept.at(all.count++) = {event, value};
    }
}

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void noteStart()
{
    records().measured =
        std::getenv("UPDATE_PROBE_FILE") != nullptr &&
        std::strcmp(program_invocation_short_name, measuredProgram) == 0;
    note("start", nowNanoseconds());
}

long long peakKibibytes()
{
    const FilePtr status(std::fopen("/proc/self/status", "r"));
    std::array<char, 256> line{};
    while (status &&
           std::fgets(line.data(), line.size(), status.get()) != nullptr)
    {
        if (std::strncmp(line.data(), "VmHWM:", 6) == 0)
        {
            return std::strtoll(line.data() + 6, nullptr, 10);
        }
    }
    return -1;
}

__attribute__((destructor)) void writeRecords()
{
    const Records& all = records();
    if (!all.measured)
    {
        return;
    }
    note("exit", nowNanoseconds());
    note("peak", peakKibibytes());
    const FilePtr out(std::fopen(std::getenv("UPDATE_PROBE_FILE"), "a"));
    for (std::size_t i = 0; out && i < all.count; ++i)
    {
        std::fprintf(out.get(), "%s %lld\n", all.kept.at(i).event,
                     all.kept.at(i).value);
    }
}

} // namespace

// Every diagnostic line ends with this call.
extern "C" int fputc(int c, std::FILE* stream)
{
    static const auto real = next<int (*)(int, std::FILE*)>("fputc");
    const int result = real(c, stream);
    if (c == '\n' && stream == stderr)
    {
        note("line", nowNanoseconds());
    }
    return result;
}

extern "C" pid_t fork()
{
    static const auto real = next<pid_t (*)()>("fork");
    const pid_t child = real();
    if (child != 0)
    {
        note("fork", nowNanoseconds());
    }
    else
    {
        // The child's records are not the updater's.
        records().measured = false;
    }
    return child;
}
