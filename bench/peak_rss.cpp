// Preloaded into the updater by update_bench.py. When the updater ends, its
// peak resident set (the VmHWM line of /proc/self/status) is appended to the
// file that PEAK_RSS_FILE names. Other programs it starts, the xz child
// among them, are left alone.

#include "handles/stdio.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr const char* measuredProgram = "morvex_bios_updater";

__attribute__((destructor)) void recordPeakResidentSet()
{
    const char* target = std::getenv("PEAK_RSS_FILE");
    if (target == nullptr ||
        std::strcmp(program_invocation_short_name, measuredProgram) != 0)
    {
        return;
    }
    const FilePtr status(std::fopen("/proc/self/status", "r"));
    const FilePtr out(std::fopen(target, "a"));
    if (!status || !out)
    {
        return;
    }
    std::array<char, 256> line{};
    while (std::fgets(line.data(), line.size(), status.get()) != nullptr)
    {
        if (std::strncmp(line.data(), "VmHWM:", 6) == 0)
        {
            std::fputs(line.data(), out.get());
        }
    }
}

} // namespace
