#include "tasks/file_lock.hpp"

#include "tasks/file_io.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

namespace tasks
{
namespace
{

// The lock file is only ever read, never written.
constexpr int openFlags = O_RDONLY | safeOpenFlags;
constexpr mode_t lockFileMode = 0600;

constexpr std::chrono::milliseconds firstPause{1};
constexpr std::chrono::milliseconds longestPause{50};

// Opens the lock file, creating it when absent (and then syncing its
// directory, so that it stays once a run has relied on it). A lock file
// removed between the two opens is created again: only a directory where no
// file can be makes "no such file" the answer.
UniqueFd openLockFile(const std::string& path, std::string& why, int& openError)
{
    UniqueFd file;
    for (;;)
    {
        file.reset(
            ::open(path.c_str(), openFlags | O_CREAT | O_EXCL, lockFileMode));
        if (file.valid())
        {
            // Set aside: the lock is the open file, whether or not its
            // name has reached the disk yet; a name lost in a power cut is
            // created again by the next run.
            static_cast<void>(syncDirectoryOf(path));
            return file;
        }
        if (errno != EEXIST)
        {
            break;
        }
        file.reset(::open(path.c_str(), openFlags));
        if (file.valid() || errno != ENOENT)
        {
            break;
        }
    }
    if (!file.valid())
    {
        openError = errno;
        why = path + " cannot be opened safely (" + std::strerror(errno) + ")";
        return file;
    }
    struct stat status
    {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        why = path + " cannot be opened safely (not a regular file)";
        file.reset();
    }
    return file;
}

constexpr mode_t privateDirectoryMode = 0700;
// Permission bits of the group and of others.
constexpr mode_t sharedBits = 0077;

// Why directory is not one only this user can enter; empty when it is.
std::string privateDirectoryProblem(const std::string& directory)
{
    const UniqueFd opened(::open(
        directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!opened.valid())
    {
        return std::strerror(errno);
    }
    struct stat status
    {};
    if (::fstat(opened.get(), &status) != 0)
    {
        return std::strerror(errno);
    }
    if (status.st_uid != ::geteuid() || (status.st_mode & sharedBits) != 0)
    {
        return "not a private directory";
    }
    return {};
}

std::string patienceText(std::chrono::milliseconds patience)
{
    if (patience.count() % 1000 == 0)
    {
        return std::to_string(patience.count() / 1000) + " s";
    }
    return std::to_string(patience.count()) + " ms";
}

} // namespace

FileLock::FileLock(const std::string& lockFile,
                   std::chrono::milliseconds patience)
{
    UniqueFd opened = openLockFile(lockFile, why, openError);
    if (opened.valid())
    {
        acquire(std::move(opened), lockFile, patience);
    }
}

FileLock FileLock::inPrivateDirectory(const std::string& lockFile,
                                      std::chrono::milliseconds patience)
{
    const std::string directory = directoryOf(lockFile);
    if (::mkdir(directory.c_str(), privateDirectoryMode) == 0)
    {
        // Set aside as for the lock file: a name lost in a power cut is
        // made again by the next run.
        static_cast<void>(syncDirectoryOf(directory));
    }
    FileLock lock;
    const std::string problem = privateDirectoryProblem(directory);
    if (!problem.empty())
    {
        lock.openError = EACCES;
        lock.why = directory + " cannot be opened safely (" + problem + ")";
        return lock;
    }
    return FileLock(lockFile, patience);
}

void FileLock::acquire(UniqueFd opened, const std::string& lockFile,
                       std::chrono::milliseconds patience)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    auto pause = firstPause;
    while (::flock(opened.get(), LOCK_EX | LOCK_NB) != 0)
    {
        if (errno != EWOULDBLOCK && errno != EINTR)
        {
            why = lockFile + " cannot be locked (" + std::strerror(errno) + ")";
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline)
        {
            why = lockFile + " is held by another run for more than " +
                  patienceText(patience);
            return;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, longestPause);
    }
    file = std::move(opened);
}

bool FileLock::held() const noexcept
{
    return file.valid();
}

const std::string& FileLock::failure() const noexcept
{
    return why;
}

bool FileLock::nowhere() const noexcept
{
    return openError == ENOENT || openError == EROFS;
}

} // namespace tasks
