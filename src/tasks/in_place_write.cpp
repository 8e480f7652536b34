#include "tasks/in_place_write.hpp"

#include "tasks/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace tasks
{
namespace
{

// Writes blanks over [from, to).
bool writeBlanks(int fd, off_t from, off_t to)
{
    static constexpr std::size_t blanksSize = 4096;
    static const std::array<char, blanksSize> blanks = [] {
        std::array<char, blanksSize> spaces{};
        spaces.fill(' ');
        return spaces;
    }();
    while (from < to)
    {
        const auto count = static_cast<std::size_t>(
            std::min<off_t>(to - from, static_cast<off_t>(blanks.size())));
        if (!writeAllAt(fd, {blanks.data(), count}, from))
        {
            return false;
        }
        from += static_cast<off_t>(count);
    }
    return true;
}

bool unsupported(int error)
{
    return error == EOPNOTSUPP || error == ENOSYS || error == EINVAL;
}

} // namespace

bool reserveSpace(int fd, off_t oldSize, off_t newSize)
{
    if (newSize == 0)
    {
        return true;
    }
    int result = 0;
    do
    {
        result = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, newSize);
    } while (result != 0 && errno == EINTR);
    if (result == 0)
    {
        return true;
    }
    if (!unsupported(errno))
    {
        return false;
    }
    if (newSize <= oldSize)
    {
        return true;
    }
    if (writeBlanks(fd, oldSize, newSize) && ::fsync(fd) == 0)
    {
        return true;
    }
    // Even if the blanks stayed, the old text would read the same.
    (void)::ftruncate(fd, oldSize);
    return false;
}

std::optional<std::optional<char>> markTorn(int fd, off_t oldSize)
{
    std::optional<char> first;
    if (oldSize > 0)
    {
        char byte = 0;
        if (::pread(fd, &byte, 1, 0) != 1)
        {
            return std::nullopt;
        }
        first = byte;
    }
    if (!writeAllAt(fd, {&tornMark, 1}, 0) || ::fsync(fd) != 0)
    {
        return std::nullopt;
    }
    return first;
}

bool unmarkTorn(int fd, std::optional<char> first)
{
    const bool restored =
        first ? writeAllAt(fd, {&*first, 1}, 0) : ::ftruncate(fd, 0) == 0;
    return restored && ::fsync(fd) == 0;
}

bool overwrite(int fd, std::string_view text, off_t oldSize)
{
    const auto newSize = static_cast<off_t>(text.size());
    if (text.empty())
    {
        return ::ftruncate(fd, 0) == 0 && ::fsync(fd) == 0;
    }
    return writeAllAt(fd, text.substr(1), 1) &&
           (oldSize <= newSize || writeBlanks(fd, newSize, oldSize)) &&
           ::ftruncate(fd, newSize) == 0 && ::fsync(fd) == 0 &&
           writeAllAt(fd, text.substr(0, 1), 0) && ::fsync(fd) == 0;
}

} // namespace tasks
