#include "update/staging.hpp"

#include "diag.hpp"
#include "handles/directory.hpp"
#include "tasks/file_io.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

namespace update
{
namespace
{

namespace fs = std::filesystem;

// The staging directory is the host's to read, the updater's to write.
constexpr fs::perms stagingDirectoryMode =
    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
    fs::perms::others_read | fs::perms::others_exec;
// Created without access for others until its mode is set.
constexpr mode_t privateUmask = 0077;

// Sets the process umask for its lifetime.
class UmaskScope
{
  public:
    explicit UmaskScope(mode_t mask) : previous(::umask(mask))
    {}
    ~UmaskScope()
    {
        ::umask(previous);
    }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;
    UmaskScope(UmaskScope&&) = delete;
    UmaskScope& operator=(UmaskScope&&) = delete;

  private:
    mode_t previous;
};

// Creates a fresh staging directory, mode 0755 whatever the umask.
bool createStagingDirectory(const std::string& stagingDirectory)
{
    try
    {
        bool created = false;
        {
            const UmaskScope privately(privateUmask);
            created = fs::create_directories(stagingDirectory);
        }
        if (!created)
        {
            diag::fail(lines::stagingNotMade, stagingDirectory.c_str());
            return false;
        }
        fs::permissions(stagingDirectory, stagingDirectoryMode);
        // The directory's name must be on the disk before a task naming a
        // file in it can be. Set aside when it fails: the publish syncs the
        // directory's contents, and a task whose capsule is gone fails at
        // the host, not here.
        static_cast<void>(tasks::syncDirectoryOf(stagingDirectory));
        return true;
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::stagingThrew, e.what());
    }
    return false;
}

// The files an earlier update staged: its capsule, as a rule.
using StagedFiles = std::array<UniqueFd, 2>;

// Holds the first regular files directly in the staging directory (without
// following a link), so that removing them drops only their names.
StagedFiles holdStagedFiles(const std::string& stagingDirectory)
{
    StagedFiles held;
    UniqueFd directory(::open(stagingDirectory.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const DirectoryPtr listing(directory.valid() ? ::fdopendir(directory.get())
                                                 : nullptr);
    if (!listing)
    {
        return held;
    }
    static_cast<void>(directory.release());
    auto* next = held.begin();
    while (const dirent* entry = ::readdir(listing.get()))
    {
        if (next == held.end())
        {
            break;
        }
        UniqueFd file(::openat(::dirfd(listing.get()), entry->d_name,
                               O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat status
        {};
        if (file.valid() && ::fstat(file.get(), &status) == 0 &&
            S_ISREG(status.st_mode))
        {
            *next++ = std::move(file);
        }
    }
    return held;
}

} // namespace

void removeStagedCapsules(const std::string& stagingDirectory,
                          LateRelease& storage)
{
    StagedFiles held = holdStagedFiles(stagingDirectory);
    try
    {
        fs::remove_all(stagingDirectory);
    }
    catch (const std::exception&)
    {}
    for (UniqueFd& file : held)
    {
        storage.release(std::move(file));
    }
}

std::string stageCapsule(const std::string& stagingDirectory,
                         const CapsuleSnapshot& snapshot,
                         const std::string& capsulePath,
                         const std::string& capsuleName)
{
    if (!createStagingDirectory(stagingDirectory))
    {
        return {};
    }
    try
    {
        const std::error_code error =
            snapshot.publish(stagingDirectory, capsuleName);
        if (!error)
        {
            return (fs::path(stagingDirectory) / capsuleName).string();
        }
        diag::fail(lines::payloadNotCopied,
                   fs::filesystem_error("cannot copy", capsulePath,
                                        stagingDirectory, error)
                       .what());
    }
    catch (const std::exception& e)
    {
        diag::fail(lines::payloadNotCopied, e.what());
    }
    return {};
}

} // namespace update
