#include "tasks/file_io.hpp"

#include "handles/fd.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace tasks
{
namespace
{

constexpr std::size_t readChunk = 65536;

} // namespace

bool writeAllAt(int fd, std::string_view data, off_t offset)
{
    while (!data.empty())
    {
        const ssize_t written = ::pwrite(fd, data.data(), data.size(), offset);
        if (written < 0 && errno == EINTR)
        {
            continue;
        }
        if (written <= 0)
        {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return true;
}

bool readAll(int fd, std::string& text)
{
    std::array<char, readChunk> chunk{};
    off_t offset = 0;
    while (true)
    {
        const ssize_t got = ::pread(fd, chunk.data(), chunk.size(), offset);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            return false;
        }
        if (got == 0)
        {
            return true;
        }
        text.append(chunk.data(), static_cast<std::size_t>(got));
        offset += got;
    }
}

std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "."
           : slash == 0               ? "/"
                                      : path.substr(0, slash);
}

int linkUnnamed(int file, int directory, const std::string& name)
{
    if (::linkat(file, "", directory, name.c_str(), AT_EMPTY_PATH) == 0)
    {
        return 0;
    }
    if (errno != ENOENT && errno != EPERM)
    {
        return errno;
    }
    const std::string byName = "/proc/self/fd/" + std::to_string(file);
    return ::linkat(AT_FDCWD, byName.c_str(), directory, name.c_str(),
                    AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
}

std::string nameOf(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

bool syncDirectoryOf(const std::string& path)
{
    const UniqueFd handle(
        ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return handle.valid() && ::fsync(handle.get()) == 0;
}

} // namespace tasks
