#include "update/image_follower.hpp"

#include "capsule/layout.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

namespace update
{
namespace
{

// Read a buffer at a time, so that the caller can look at its child between
// reads.
constexpr std::size_t followBufferSize = std::size_t{1} << 20U;

constexpr std::uint64_t slotSize = capsule::layout::signatureSlotSize;

// How far the signed bytes of a file of `size` bytes reach, as far as they
// are known: all but the last signature slot's worth.
std::uint64_t signedEnd(off_t size)
{
    const auto bytes = static_cast<std::uint64_t>(size);
    return bytes > slotSize ? bytes - slotSize : 0;
}

} // namespace

ImageFollower::ImageFollower(const std::string& directoryPath,
                             std::string fileName) :
    directory(::open(directoryPath.c_str(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
    name(std::move(fileName)),
    buffer(new (std::nothrow) std::uint8_t[followBufferSize])
{
    gaveUp = !directory.valid() || !buffer || digest.failed();
}

bool ImageFollower::opened()
{
    if (file.valid())
    {
        return true;
    }
    if (gaveUp)
    {
        return false;
    }
    file.reset(::openat(directory.get(), name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid())
    {
        // Not written yet; anything else is not a file to follow.
        gaveUp = errno != ENOENT;
        return false;
    }
    struct stat facts
    {};
    if (::fstat(file.get(), &facts) != 0 || !S_ISREG(facts.st_mode))
    {
        file.reset();
        gaveUp = true;
        return false;
    }
    return true;
}

bool ImageFollower::awaiting() const noexcept
{
    return !file.valid() && !gaveUp;
}

bool ImageFollower::hashUpTo(std::uint64_t end, bool once)
{
    while (hashed < end)
    {
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(end - hashed, followBufferSize));
        const ssize_t got =
            ::pread(file.get(), buffer.get(), want, static_cast<off_t>(hashed));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            return false;
        }
        digest.update(buffer.get(), static_cast<std::size_t>(got));
        hashed += static_cast<std::uint64_t>(got);
        if (once)
        {
            break;
        }
    }
    return true;
}

bool ImageFollower::follow()
{
    struct stat facts
    {};
    if (!opened() || ::fstat(file.get(), &facts) != 0)
    {
        return false;
    }
    const std::uint64_t before = hashed;
    gaveUp = !hashUpTo(signedEnd(facts.st_size), true);
    return !gaveUp && hashed != before;
}

std::optional<ImageDigest> ImageFollower::finish(int image)
{
    struct stat followed
    {};
    struct stat verified
    {};
    if (!opened() || ::fstat(file.get(), &followed) != 0 ||
        ::fstat(image, &verified) != 0 || followed.st_dev != verified.st_dev ||
        followed.st_ino != verified.st_ino ||
        static_cast<std::uint64_t>(verified.st_size) < hashed + slotSize ||
        !hashUpTo(signedEnd(verified.st_size), false))
    {
        return std::nullopt;
    }
    const std::optional<Sha512Bytes> sha512 = digest.finish();
    if (!sha512)
    {
        return std::nullopt;
    }
    return ImageDigest{*sha512, hashed};
}

} // namespace update
