#include "update/capsule_snapshot.hpp"

#include "build_limits.hpp"
#include "capsule/layout.hpp"
#include "handles/directory.hpp"
#include "tasks/file_io.hpp"
#include "update/sha512.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

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

// The most a capsule can hold: its headers (the RBU header's length is one
// byte) and the compressed body of the largest image the decompressor may
// write (the built-in limit, or a lower file size limit the updater was
// started with, which binds its own writes too), with room for a
// compressor's worst case on data that does not compress.
constexpr std::uint64_t largestRbuHeader = 0xFF;
constexpr std::uint64_t incompressibleShare = 8;
constexpr std::uint64_t compressorOverhead = std::uint64_t{64} << 10U;

off_t largestCapsule()
{
    rlimit inherited{};
    const std::uint64_t fileLimit =
        ::getrlimit(RLIMIT_FSIZE, &inherited) == 0 &&
                inherited.rlim_cur != RLIM_INFINITY
            ? inherited.rlim_cur
            : limits::maxImageSize * 2;
    const std::uint64_t image = std::min(fileLimit, limits::maxImageSize);
    return static_cast<off_t>(std::min(
        fileLimit, capsule::layout::uefiHeaderSize + largestRbuHeader + image +
                       image / incompressibleShare + compressorOverhead));
}

// Where a file system has no unnamed files: a directory of its own (mode
// 0700, unpredictable name) holding the file.
constexpr std::string_view privateDirectoryPrefix = ".bios-capsule.";
// What mkdtemp replaces with characters of its choice.
constexpr std::string_view uniqueSuffix = "XXXXXX";
constexpr const char* privateFileName = "/capsule";

// Removes the private directories a run killed while it held one left in
// `directory`. Updates do not overlap (the update lock), so none is in use.
void removeLeftoverPrivateDirectories(const std::string& directory)
{
    const DirectoryPtr listing(::opendir(directory.c_str()));
    if (!listing)
    {
        return;
    }
    while (const dirent* entry = ::readdir(listing.get()))
    {
        if (std::string_view(entry->d_name).starts_with(privateDirectoryPrefix))
        {
            const std::string left = directory + "/" + entry->d_name;
            // Best effort: what cannot be removed stays for the next run.
            static_cast<void>(::unlink((left + privateFileName).c_str()));
            static_cast<void>(::rmdir(left.c_str()));
        }
    }
}

bool noUnnamedFiles(int error)
{
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// A new file in directory that no other process can reach by name, mode 0644
// whatever the umask; its fd is not valid (errno set) when none can be made.
CapsuleSnapshot::PrivateFile openPrivate(const std::string& directory)
{
    CapsuleSnapshot::PrivateFile file;
    file.fd.reset(
        ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, unnamedMode));
    if (!file.fd.valid() && noUnnamedFiles(errno))
    {
        removeLeftoverPrivateDirectories(directory);
        std::string named = directory + "/";
        named.append(privateDirectoryPrefix).append(uniqueSuffix);
        if (::mkdtemp(named.data()) == nullptr)
        {
            return file;
        }
        file.directory = std::move(named);
        file.fd.reset(::open((file.directory + privateFileName).c_str(),
                             O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC,
                             unnamedMode));
    }
    if (file.fd.valid() && ::fchmod(file.fd.get(), stagedMode) != 0)
    {
        file.fd.reset();
    }
    return file;
}

// The first block of a capsule holds its RBU signature behind the UEFI
// header; one that does not is no capsule, and its copy stops there.
bool startsLikeACapsule(const std::uint8_t* block, std::size_t size)
{
    using namespace capsule::layout;
    return size < uefiHeaderSize + sizeof(rbuSignature) ||
           readLe32(block + uefiHeaderSize) == rbuSignature;
}

// Copies the compressed body out of a capsule as the capsule's bytes go by,
// into an unnamed file in its directory. The body begins behind the RBU
// header whose length the first block gives. It gives up for good, leaving
// no body, when the first block holds no RBU header or a step fails.
class BodyWriter
{
  public:
    BodyWriter(CompressedBody* out, const std::string& directory) :
        out(out),
        file(out != nullptr ? ::open(directory.c_str(),
                                     O_TMPFILE | O_RDWR | O_CLOEXEC, bodyMode)
                            : -1)
    {}

    // Takes the capsule's bytes at offset.
    void take(const std::uint8_t* bytes, std::size_t size, off_t offset)
    {
        using namespace capsule::layout;
        if (offset == 0)
        {
            const bool header =
                size >= uefiHeaderSize + rbuWordSize * 2 &&
                readLe32(bytes + uefiHeaderSize) == rbuSignature;
            bodyOffset = header ? static_cast<off_t>(
                                      uefiHeaderSize +
                                      bytes[uefiHeaderSize + rbuLengthOffset])
                                : -1;
        }
        if (!file.valid() || bodyOffset < 0)
        {
            file.reset();
            return;
        }
        const off_t end = offset + static_cast<off_t>(size);
        const off_t from = std::max(offset, bodyOffset);
        if (from < end &&
            !tasks::writeAllAt(
                file.get(),
                {reinterpret_cast<const char*>(bytes) + (from - offset),
                 static_cast<std::size_t>(end - from)},
                from - bodyOffset))
        {
            file.reset();
        }
    }

    // Hands the body over, once the capsule has been read whole.
    void finish()
    {
        if (file.valid() && bodyOffset >= 0)
        {
            out->file = std::move(file);
            out->offset = static_cast<long>(bodyOffset);
        }
    }

  private:
    // What the scratch area's body would be made with: "wb" under the umask.
    static constexpr mode_t bodyMode = 0666;
    CompressedBody* out;
    UniqueFd file;
    off_t bodyOffset = -1;
};

// Copies `from` (from its start) into `to`. With cut given, the copy is a
// capsule's: it stops after largestCapsule() bytes, or after a first block
// that is not a capsule's, and cut says whether it stopped before the end;
// with body given, the capsule's body is copied out as it goes by. 0, or the
// errno value of the step that failed.
int copyAll(int from, int to, std::uint8_t* buffer, bool* cut = nullptr,
            BodyWriter* body = nullptr)
{
    const off_t most = largestCapsule();
    off_t offset = 0;
    for (;;)
    {
        const off_t room =
            cut == nullptr ? static_cast<off_t>(copyBufferSize) : most - offset;
        const ssize_t got = ::pread(
            from, buffer,
            std::min(copyBufferSize, static_cast<std::size_t>(room) + 1),
            offset);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            return got == 0 ? 0 : errno;
        }
        auto size = static_cast<std::size_t>(got);
        if (cut != nullptr)
        {
            *cut = static_cast<off_t>(size) > room ||
                   (offset == 0 && !startsLikeACapsule(buffer, size));
            size = std::min(size, static_cast<std::size_t>(room));
        }
        if (body != nullptr)
        {
            body->take(buffer, size, offset);
        }
        errno = 0;
        if (!tasks::writeAllAt(
                to, {reinterpret_cast<const char*>(buffer), size}, offset))
        {
            // A write that stored nothing and said nothing: no room.
            return errno != 0 ? errno : ENOSPC;
        }
        offset += static_cast<off_t>(size);
        if (cut != nullptr && *cut)
        {
            return 0;
        }
    }
}

// Syncs file, links it into directory and syncs the directory.
int publishFile(int file, int directory, const std::string& name)
{
    if (::fsync(file) != 0)
    {
        return errno;
    }
    if (const int error = tasks::linkUnnamed(file, directory, name); error != 0)
    {
        return error;
    }
    return ::fsync(directory) == 0 ? 0 : errno;
}

} // namespace

CapsuleSnapshot::CapsuleSnapshot(
    const std::string& payloadPath,
    const std::vector<std::string>& privateDirectories, CompressedBody* body,
    const std::string& bodyDirectory)
{
    const UniqueFd payload = openPayload(payloadPath);
    if (!payload.valid())
    {
        return;
    }
    CopyBuffer buffer = allocateCopyBuffer();
    if (!buffer)
    {
        why = std::strerror(ENOMEM);
        return;
    }
    for (const std::string& directory : privateDirectories)
    {
        // Only beside the first copy: a body that held room on a full
        // file system would change where the copy can go.
        BodyWriter bodyWriter(
            &directory == &privateDirectories.front() ? body : nullptr,
            bodyDirectory);
        PrivateFile file = openPrivate(directory);
        // Made before the copy, so that a digest that cannot be had stops it.
        Sha512 sha;
        const int error = file.fd.valid()
                              ? copyAll(payload.get(), file.fd.get(),
                                        buffer.get(), &cut, &bodyWriter)
                              : errno;
        struct stat copied
        {};
        if (error == 0)
        {
            if (!sha.failed() && ::fstat(file.fd.get(), &copied) == 0)
            {
                bodyWriter.finish();
                copy = std::move(file);
                digest = {
                    std::move(sha), std::move(buffer), 0, copied.st_size, {}};
                why.clear();
            }
            return;
        }
        why.append(why.empty() ? "" : "; ")
            .append(directory)
            .append(": ")
            .append(std::strerror(error));
    }
}

CapsuleSnapshot::~CapsuleSnapshot() = default;

CapsuleSnapshot::PrivateFile::~PrivateFile()
{
    fd.reset();
    if (!directory.empty())
    {
        // Removing what is ours alone: nothing to do if it is gone.
        static_cast<void>(::unlink((directory + privateFileName).c_str()));
        static_cast<void>(::rmdir(directory.c_str()));
    }
}

CapsuleSnapshot::PrivateFile::PrivateFile(PrivateFile&& other) noexcept :
    fd(std::move(other.fd)), directory(std::exchange(other.directory, {}))
{}

CapsuleSnapshot::PrivateFile& CapsuleSnapshot::PrivateFile::operator=(
    PrivateFile&& other) noexcept
{
    if (this != &other)
    {
        PrivateFile gone(std::move(*this));
        fd = std::move(other.fd);
        directory = std::exchange(other.directory, {});
    }
    return *this;
}

bool CapsuleSnapshot::valid() const noexcept
{
    return copy.fd.valid();
}

const std::string& CapsuleSnapshot::failure() const noexcept
{
    return why;
}

FilePtr CapsuleSnapshot::openStream() const
{
    if (!valid())
    {
        return nullptr;
    }
    UniqueFd reader(::fcntl(copy.fd.get(), F_DUPFD_CLOEXEC, 0));
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

void CapsuleSnapshot::startWriteBack() const
{
    // Once: a write-back started stays so until publishing waits for it.
    if (valid())
    {
        static_cast<void>(writeBack.start(&::fdatasync, copy.fd.get()));
    }
}

bool CapsuleSnapshot::digestSome() const
{
    if (!valid() || !digest.sha || digest.taken >= digest.size ||
        !digest.hex.empty())
    {
        return false;
    }
    const auto want = static_cast<std::size_t>(
        std::min<off_t>(digest.size - digest.taken, copyBufferSize));
    const ssize_t got =
        ::pread(copy.fd.get(), digest.buffer.get(), want, digest.taken);
    if (got < 0 && errno == EINTR)
    {
        return true;
    }
    if (got <= 0)
    {
        // A copy that cannot be read back whole has no identity.
        digest.sha->finish();
        return false;
    }
    digest.sha->update(digest.buffer.get(), static_cast<std::size_t>(got));
    digest.taken += got;
    return digest.taken < digest.size;
}

const std::string& CapsuleSnapshot::sha512Hex() const
{
    while (digestSome())
    {}
    if (valid() && digest.sha && digest.hex.empty() &&
        digest.taken == digest.size)
    {
        digest.hex = digest.sha->finishHex();
    }
    return digest.hex;
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
    if (cut)
    {
        return failed(EFBIG);
    }
    if (sha512Hex().empty())
    {
        return failed(EIO);
    }
    // Started here when xz ended before the updater saw it run. A failed
    // write-back is told once: the sync that publishes the copy could not
    // see it.
    startWriteBack();
    if (const int error = writeBack.wait(); error != 0)
    {
        return failed(error);
    }
    const UniqueFd target(::open(
        directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!target.valid())
    {
        return failed(errno);
    }
    int error = publishFile(copy.fd.get(), target.get(), name);
    if (error != EXDEV)
    {
        return error == 0 ? std::error_code() : failed(error);
    }
    // The copy lies on another file system: copied once more, from the
    // copy, never from the payload.
    const PrivateFile staged = openPrivate(directory);
    if (!staged.fd.valid())
    {
        return failed(errno);
    }
    const CopyBuffer buffer = allocateCopyBuffer();
    error =
        buffer ? copyAll(copy.fd.get(), staged.fd.get(), buffer.get()) : ENOMEM;
    if (error == 0)
    {
        error = publishFile(staged.fd.get(), target.get(), name);
    }
    return error == 0 ? std::error_code() : failed(error);
}

} // namespace update
