#include "update/confinement_steps.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>

namespace update::confinement
{
namespace
{

// Where the new root is assembled before it becomes "/": a directory every
// system has and that holds nothing the root takes from the old one.
constexpr const char* assembly = "/proc";
constexpr const char* assemblyOptions = "mode=0755,size=64k";

// Directories that hold shared libraries; those the system lacks are left
// out, and a symbolic link among them stays a link.
constexpr std::array libraryDirectories{
    "/lib",     "/lib32",     "/lib64",     "/libx32",
    "/usr/lib", "/usr/lib32", "/usr/lib64", "/usr/libx32",
};
// The dynamic loader's cache, which names libraries outside its default
// directories.
constexpr const char* loaderCache = "/etc/ld.so.cache";

constexpr mode_t directoryMode = 0755;
constexpr mode_t fileMode = 0644;

int lastError()
{
    return errno != 0 ? errno : EIO;
}

// Makes every directory of `path` below the assembly point.
int makeParents(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
    {
        const std::string directory = assembly + path.substr(0, slash);
        if (mkdirat(AT_FDCWD, directory.c_str(), directoryMode) != 0 &&
            errno != EEXIST)
        {
            return lastError();
        }
    }
    return 0;
}

// The mount flags the source already has, which a bind mount of it must
// keep.
unsigned long flagsOf(const char* path)
{
    struct statvfs facts
    {};
    if (statvfs(path, &facts) != 0)
    {
        return 0;
    }
    unsigned long flags = 0;
    flags |= (facts.f_flag & ST_NOSUID) != 0 ? MS_NOSUID : 0;
    flags |= (facts.f_flag & ST_NODEV) != 0 ? MS_NODEV : 0;
    flags |= (facts.f_flag & ST_NOEXEC) != 0 ? MS_NOEXEC : 0;
    flags |= (facts.f_flag & ST_RDONLY) != 0 ? MS_RDONLY : 0;
    return flags;
}

// Binds `path` (a directory or a file, made as a mount point beforehand)
// at its own place in the new root with `flags` added.
int bindAt(const std::string& path, unsigned long flags)
{
    const std::string target = assembly + path;
    if (mount(path.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC,
              nullptr) != 0 ||
        mount(nullptr, target.c_str(), nullptr,
              MS_BIND | MS_REMOUNT | MS_NOSUID | MS_NODEV | flags |
                  flagsOf(path.c_str()),
              nullptr) != 0)
    {
        return lastError();
    }
    return 0;
}

int placeDirectory(const std::string& path, unsigned long flags)
{
    const std::string target = assembly + path;
    if (const int error = makeParents(path); error != 0)
    {
        return error;
    }
    if (mkdirat(AT_FDCWD, target.c_str(), directoryMode) != 0 &&
        errno != EEXIST)
    {
        return lastError();
    }
    return bindAt(path, flags);
}

int placeFile(const std::string& path)
{
    const std::string target = assembly + path;
    if (const int error = makeParents(path); error != 0)
    {
        return error;
    }
    const int fd = openat(AT_FDCWD, target.c_str(),
                          O_WRONLY | O_CREAT | O_CLOEXEC, fileMode);
    if (fd < 0)
    {
        return lastError();
    }
    close(fd);
    return bindAt(path, MS_RDONLY);
}

// A library directory as the system has it: bound read-only, or, when it
// is a symbolic link, the same link.
int placeLibraryDirectory(const char* path)
{
    struct stat facts
    {};
    if (lstat(path, &facts) != 0)
    {
        return 0;
    }
    if (S_ISDIR(facts.st_mode))
    {
        return placeDirectory(path, MS_RDONLY);
    }
    if (!S_ISLNK(facts.st_mode))
    {
        return 0;
    }
    std::array<char, PATH_MAX> link{};
    const ssize_t length = readlink(path, link.data(), link.size() - 1);
    if (length < 0)
    {
        return lastError();
    }
    const std::string target = std::string(assembly) + path;
    if (const int error = makeParents(path); error != 0)
    {
        return error;
    }
    return symlinkat(link.data(), AT_FDCWD, target.c_str()) == 0 ? 0
                                                                 : lastError();
}

int assemble(const Plan& plan)
{
    for (const char* directory : libraryDirectories)
    {
        if (const int error = placeLibraryDirectory(directory); error != 0)
        {
            return error;
        }
    }
    if (access(loaderCache, F_OK) == 0)
    {
        if (const int error = placeFile(loaderCache); error != 0)
        {
            return error;
        }
    }
    if (const int error = placeFile(plan.program); error != 0)
    {
        return error;
    }
    return placeDirectory(plan.scratchDirectory, MS_NOEXEC);
}

// Makes the assembly point "/" and lets go of the old root; xz starts in
// `workingDirectory`.
int pivot(const std::string& workingDirectory)
{
    if (chdir(assembly) != 0 || syscall(SYS_pivot_root, ".", ".") != 0 ||
        umount2(".", MNT_DETACH) != 0 || chdir(workingDirectory.c_str()) != 0 ||
        mount(nullptr, "/", nullptr,
              MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) != 0)
    {
        return lastError();
    }
    return 0;
}

} // namespace

int enterMinimalRoot(const Plan& plan)
{
    errno = 0;
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("decompressor", assembly, "tmpfs", MS_NOSUID | MS_NODEV,
              assemblyOptions) != 0)
    {
        return lastError();
    }
    if (const int error = assemble(plan); error != 0)
    {
        return error;
    }
    return pivot(plan.workingDirectory);
}

} // namespace update::confinement
