#include "update/capsule_snapshot.hpp"

#include "encoding/hex.hpp"
#include "handles/openssl.hpp"
#include "tasks/file_io.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <new>
#include <span>
#include <string_view>

namespace update
{
namespace
{

// The copy streams through a buffer of its own, smaller than the unwrapping
// one: it is the first of the update's buffers, and only adds a pass of
// reads and writes, no more memory.
constexpr std::size_t copyBufferSize = std::size_t{1} << 20U;
using CopyBuffer = std::unique_ptr<std::uint8_t[]>; // NOLINT(*-c-arrays)

// Such a buffer, allocated without throwing; null when memory is short.
CopyBuffer allocateCopyBuffer() noexcept
{
    return CopyBuffer(new (std::nothrow) std::uint8_t[copyBufferSize]);
}

// The staged capsule: readable by the host's services, written by no one.
constexpr mode_t stagedMode = 0644;
// An unnamed file is reachable by no name, whatever its mode.
constexpr mode_t unnamedMode = 0600;

// Opens the payload entry for reading, once: a link is followed as the
// payload lookup followed it, but nothing is waited on (a FIFO's writer, a
// device) and only a regular file is taken. What is read from here on is
// this open file, whatever later becomes of the name.
UniqueFd openPayload(const std::string& path)
{
    UniqueFd payload(
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status
    {};
    if (!payload.valid() || ::fstat(payload.get(), &status) != 0 ||
        !S_ISREG(status.st_mode))
    {
        return {};
    }
    return payload;
}

// A new unnamed file in directory, mode 0644 whatever the umask.
UniqueFd openUnnamed(const std::string& directory)
{
    UniqueFd file(
        ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, unnamedMode));
    if (file.valid() && ::fchmod(file.get(), stagedMode) != 0)
    {
        file.reset();
    }
    return file;
}

// SHA-512 of what is fed to it; any OpenSSL failure leaves it failed.
class Sha512
{
  public:
    Sha512() :
        ctx(EVP_MD_CTX_new()),
        good(ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr) == 1)
    {}

    void update(const std::uint8_t* data, std::size_t size)
    {
        good = good && EVP_DigestUpdate(ctx.get(), data, size) == 1;
    }

    // Lowercase hexadecimal digest; empty when any step failed.
    std::string hex()
    {
        std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
        unsigned int length = 0;
        if (!good || EVP_DigestFinal_ex(ctx.get(), md.data(), &length) != 1)
        {
            return {};
        }
        return encoding::lowerHex(std::span(md.data(), length));
    }

  private:
    MdCtxPtr ctx;
    bool good;
};

// Copies all of `from` (from its start) into `to`, feeding every byte to
// digest when one is given. 0, or the errno value of the step that failed.
int copyAll(int from, int to, std::uint8_t* buffer, Sha512* digest)
{
    off_t offset = 0;
    for (;;)
    {
        const ssize_t got = ::pread(from, buffer, copyBufferSize, offset);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            return got == 0 ? 0 : errno;
        }
        const auto size = static_cast<std::size_t>(got);
        if (digest != nullptr)
        {
            digest->update(buffer, size);
        }
        errno = 0;
        if (!tasks::writeAllAt(
                to, {reinterpret_cast<const char*>(buffer), size}, offset))
        {
            // A write that stored nothing and said nothing: no room.
            return errno != 0 ? errno : ENOSPC;
        }
        offset += got;
    }
}

// Links the unnamed file into directory under name. Without the right to
// link by descriptor, through its /proc name.
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

// Syncs file, links it into directory and syncs the directory.
int publishFile(int file, int directory, const std::string& name)
{
    if (::fsync(file) != 0)
    {
        return errno;
    }
    if (const int error = linkUnnamed(file, directory, name); error != 0)
    {
        return error;
    }
    return ::fsync(directory) == 0 ? 0 : errno;
}

} // namespace

CapsuleSnapshot::CapsuleSnapshot(
    const std::string& payloadPath,
    const std::vector<std::string>& privateDirectories)
{
    const UniqueFd payload = openPayload(payloadPath);
    const CopyBuffer buffer = allocateCopyBuffer();
    if (!payload.valid() || !buffer)
    {
        return;
    }
    for (const std::string& directory : privateDirectories)
    {
        UniqueFd file = openUnnamed(directory);
        Sha512 sha;
        if (file.valid() &&
            copyAll(payload.get(), file.get(), buffer.get(), &sha) == 0)
        {
            digest = sha.hex();
            if (!digest.empty())
            {
                copy = std::move(file);
            }
            return;
        }
    }
}

bool CapsuleSnapshot::valid() const noexcept
{
    return copy.valid();
}

FilePtr CapsuleSnapshot::openStream() const
{
    if (!valid())
    {
        return nullptr;
    }
    UniqueFd reader(::fcntl(copy.get(), F_DUPFD_CLOEXEC, 0));
    if (!reader.valid() || ::lseek(reader.get(), 0, SEEK_SET) != 0)
    {
        return nullptr;
    }
    FilePtr stream(::fdopen(reader.get(), "rb"));
    if (stream)
    {
        reader.release();
    }
    return stream;
}

const std::string& CapsuleSnapshot::sha512Hex() const noexcept
{
    return digest;
}

std::error_code CapsuleSnapshot::publish(const std::string& directory,
                                         const std::string& name) const
{
    const auto failed = [](int error) {
        return std::error_code(error, std::generic_category());
    };
    if (!valid())
    {
        return failed(EBADF);
    }
    const UniqueFd target(::open(
        directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!target.valid())
    {
        return failed(errno);
    }
    int error = publishFile(copy.get(), target.get(), name);
    if (error != EXDEV)
    {
        return error == 0 ? std::error_code() : failed(error);
    }
    // The copy lies on another file system: copied once more, from the
    // copy, never from the payload.
    const UniqueFd staged = openUnnamed(directory);
    if (!staged.valid())
    {
        return failed(errno);
    }
    const CopyBuffer buffer = allocateCopyBuffer();
    error = buffer ? copyAll(copy.get(), staged.get(), buffer.get(), nullptr)
                   : ENOMEM;
    if (error == 0)
    {
        error = publishFile(staged.get(), target.get(), name);
    }
    return error == 0 ? std::error_code() : failed(error);
}

} // namespace update
