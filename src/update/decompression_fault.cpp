#include "update/decompression_fault.hpp"

#include "build_limits.hpp"
#include "update/confinement.hpp"

#include <sys/statvfs.h>
#include <sys/wait.h>

namespace update
{
namespace
{

// Free bytes of the file system that holds `directory`; 0 when unknown.
std::uint64_t roomIn(const std::string& directory) noexcept
{
    struct statvfs fs
    {};
    if (statvfs(directory.c_str(), &fs) != 0)
    {
        return 0;
    }
    return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

} // namespace

bool bmcAtFault(const ScratchArea& area, std::uint32_t required) noexcept
{
    if (roomIn(area.directory) >= limits::maxImageSize)
    {
        return false;
    }
    try
    {
        const confinement::Run test = confinement::runDecompressor(
            area, required, confinement::Action::test);
        return test.forked && WIFEXITED(test.status) &&
               WEXITSTATUS(test.status) == 0;
    }
    catch (const std::exception&)
    {
        // Memory ran out planning the test: the capsule keeps the blame.
        return false;
    }
}

} // namespace update
