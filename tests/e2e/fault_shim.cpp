// Fault injection for end-to-end tests, loaded into the tool with LD_PRELOAD.
//
//   FAULT_SHIM_ERROR_REPLY=3,5
//       The 3rd and 5th sd_bus_call of the process are sent as usual, but
//       return success with a method error reply in place of the peer's
//       answer: the case that a caller's error-reply check exists for.
//   FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN=/some/file
//       Once the process has opened that path (fopen or open), every
//       further operator new throws std::bad_alloc.
//   FAULT_SHIM_FILE=/some/file  FAULT_SHIM_FAULTS=pwrite:2:EIO,ftruncate:*:kill
//       Calls of pwrite, ftruncate, fallocate and fsync on a descriptor of
//       that file fail: "<function>:<n>:<what>" hits the n-th such call on
//       the file ("*" every one). <what> is an errno name (EIO, ENOSPC,
//       EOPNOTSUPP, EDQUOT), "short" (pwrite writes half of what it was
//       given, at least one byte) or "kill" (the process is killed with
//       SIGKILL before the call).
//   FAULT_SHIM_BAD_ALLOC_AFTER_REJECTED_SIGNATURE=1
//       Once EVP_DigestVerifyFinal has rejected a signature, every further
//       operator new throws std::bad_alloc.
//   FAULT_SHIM_BAD_ALLOC_FROM_SIZE=4096
//       Every operator new of at least that many bytes throws
//       std::bad_alloc.
//
// Without these variables the shim changes nothing. Programs the tool
// starts (its xz child) run without the shim.

// Both fopen and fopen64 are replaced, so neither may alias the other.
#undef _FILE_OFFSET_BITS

#include <dlfcn.h>
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace
{

__attribute__((constructor)) void keepShimFromChildren()
{
    unsetenv("LD_PRELOAD");
}

constexpr const char* errorReplyVariable = "FAULT_SHIM_ERROR_REPLY";
constexpr const char* badAllocVariable = "FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN";
constexpr const char* badAllocAfterRejectionVariable =
    "FAULT_SHIM_BAD_ALLOC_AFTER_REJECTED_SIGNATURE";
constexpr const char* badAllocSizeVariable = "FAULT_SHIM_BAD_ALLOC_FROM_SIZE";
constexpr std::uint64_t fakeCookie = 0xfa17;

unsigned callCount = 0;
bool allocationsFail = false;

template <typename Function>
Function nextSymbol(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == nullptr)
    {
        std::fprintf(stderr, "fault_shim: no next %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(symbol);
}

// True when the comma-separated list in the variable holds the number.
bool listed(const char* variable, unsigned number)
{
    const char* list = std::getenv(variable);
    if (list == nullptr)
    {
        return false;
    }
    const std::string wanted = std::to_string(number);
    const char* start = list;
    while (true)
    {
        const char* end = std::strchr(start, ',');
        const std::size_t length = end != nullptr
                                       ? static_cast<std::size_t>(end - start)
                                       : std::strlen(start);
        if (length == wanted.size() &&
            std::strncmp(start, wanted.c_str(), length) == 0)
        {
            return true;
        }
        if (end == nullptr)
        {
            return false;
        }
        start = end + 1;
    }
}

} // namespace

extern "C" int sd_bus_call(sd_bus* bus, sd_bus_message* m, std::uint64_t usec,
                           sd_bus_error* ret_error, sd_bus_message** reply)
{
    using Call = int (*)(sd_bus*, sd_bus_message*, std::uint64_t, sd_bus_error*,
                         sd_bus_message**);
    static const auto realCall = nextSymbol<Call>("sd_bus_call");
    const int result = realCall(bus, m, usec, ret_error, reply);
    ++callCount;
    if (result < 0 || reply == nullptr ||
        !listed(errorReplyVariable, callCount))
    {
        return result;
    }
    sd_bus_message_unref(*reply);
    *reply = nullptr;
    sd_bus_message* error = nullptr;
    if (sd_bus_message_new_method_errorf(m, &error,
                                         "xyz.morvex_project.Test.Injected",
                                         "injected error reply") < 0 ||
        sd_bus_message_seal(error, fakeCookie, 0) < 0)
    {
        std::fprintf(stderr, "fault_shim: cannot build an error reply\n");
        std::abort();
    }
    *reply = error;
    return 1;
}

namespace
{

void noteOpen(const char* path)
{
    const char* target = std::getenv(badAllocVariable);
    if (target != nullptr && path != nullptr && std::strcmp(path, target) == 0)
    {
        allocationsFail = true;
    }
}

using Open = std::FILE* (*)(const char*, const char*);
using OpenFd = int (*)(const char*, int, ...);
using OpenAt = int (*)(int, const char*, int, ...);

mode_t modeArgument(int flags, std::va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
}

} // namespace

extern "C" std::FILE* fopen(const char* path, const char* mode)
{
    static const auto realOpen = nextSymbol<Open>("fopen");
    noteOpen(path);
    return realOpen(path, mode);
}

extern "C" std::FILE* fopen64(const char* path, const char* mode)
{
    static const auto realOpen = nextSymbol<Open>("fopen64");
    noteOpen(path);
    return realOpen(path, mode);
}

#define FAULT_SHIM_OPEN(name)                                                  \
    extern "C" int name(const char* path, int flags, ...)                      \
    {                                                                          \
        static const auto realOpen = nextSymbol<OpenFd>(#name);                \
        std::va_list args;                                                     \
        va_start(args, flags);                                                 \
        const mode_t mode = modeArgument(flags, args);                         \
        va_end(args);                                                          \
        noteOpen(path);                                                        \
        return realOpen(path, flags, mode);                                    \
    }
#define FAULT_SHIM_OPENAT(name)                                                \
    extern "C" int name(int dir, const char* path, int flags, ...)             \
    {                                                                          \
        static const auto realOpen = nextSymbol<OpenAt>(#name);                \
        std::va_list args;                                                     \
        va_start(args, flags);                                                 \
        const mode_t mode = modeArgument(flags, args);                         \
        va_end(args);                                                          \
        noteOpen(path);                                                        \
        return realOpen(dir, path, flags, mode);                               \
    }
FAULT_SHIM_OPEN(open)
FAULT_SHIM_OPEN(open64)
FAULT_SHIM_OPENAT(openat)
FAULT_SHIM_OPENAT(openat64)

namespace
{

// The file calls on one file: pwrite, ftruncate, fallocate, fsync.
enum Call
{
    pwriteCall,
    ftruncateCall,
    fallocateCall,
    fsyncCall,
    callKinds
};
constexpr std::array<const char*, callKinds> callNames{"pwrite", "ftruncate",
                                                       "fallocate", "fsync"};
std::array<unsigned, callKinds> fileCalls{};

constexpr int shortWrite = -1;
constexpr int killProcess = -2;

int errnoNamed(const std::string& name)
{
    static const std::array<std::pair<const char*, int>, 6> names{{
        {"EIO", EIO},
        {"ENOSPC", ENOSPC},
        {"EOPNOTSUPP", EOPNOTSUPP},
        {"EDQUOT", EDQUOT},
        {"short", shortWrite},
        {"kill", killProcess},
    }};
    for (const auto& [text, value] : names)
    {
        if (name == text)
        {
            return value;
        }
    }
    std::fprintf(stderr, "fault_shim: unknown fault %s\n", name.c_str());
    std::abort();
}

bool onFaultyFile(int fd)
{
    const char* target = std::getenv("FAULT_SHIM_FILE");
    if (target == nullptr)
    {
        return false;
    }
    std::array<char, 4096> path{};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), path.data(), path.size() - 1);
    return length > 0 &&
           std::string(path.data(), static_cast<std::size_t>(length)) == target;
}

// The fault that this call hits, 0 for none.
int faultFor(Call call, int fd)
{
    const char* faults = std::getenv("FAULT_SHIM_FAULTS");
    if (faults == nullptr || !onFaultyFile(fd))
    {
        return 0;
    }
    const unsigned count = ++fileCalls[call];
    const std::string all = faults;
    std::size_t start = 0;
    while (start <= all.size())
    {
        const std::size_t end = std::min(all.find(',', start), all.size());
        const std::string item = all.substr(start, end - start);
        start = end + 1;
        const std::size_t first = item.find(':');
        const std::size_t second = item.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos ||
            item.substr(0, first) != callNames[call])
        {
            continue;
        }
        const std::string which = item.substr(first + 1, second - first - 1);
        if (which == "*" || which == std::to_string(count))
        {
            const int fault = errnoNamed(item.substr(second + 1));
            if (fault == killProcess)
            {
                kill(getpid(), SIGKILL);
            }
            return fault;
        }
    }
    return 0;
}

} // namespace

extern "C" ssize_t pwrite(int fd, const void* data, std::size_t size,
                          off_t offset)
{
    using Write = ssize_t (*)(int, const void*, std::size_t, off_t);
    static const auto realWrite = nextSymbol<Write>("pwrite");
    const int fault = faultFor(pwriteCall, fd);
    if (fault == shortWrite)
    {
        size = size > 1 ? size / 2 : size;
    }
    else if (fault != 0)
    {
        errno = fault;
        return -1;
    }
    return realWrite(fd, data, size, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* data, std::size_t size,
                            off_t offset)
{
    return pwrite(fd, data, size, offset);
}

extern "C" int ftruncate(int fd, off_t length)
{
    using Truncate = int (*)(int, off_t);
    static const auto realTruncate = nextSymbol<Truncate>("ftruncate");
    if (const int fault = faultFor(ftruncateCall, fd); fault > 0)
    {
        errno = fault;
        return -1;
    }
    return realTruncate(fd, length);
}

extern "C" int ftruncate64(int fd, off_t length)
{
    return ftruncate(fd, length);
}

extern "C" int fallocate(int fd, int mode, off_t offset, off_t length)
{
    using Allocate = int (*)(int, int, off_t, off_t);
    static const auto realAllocate = nextSymbol<Allocate>("fallocate");
    if (const int fault = faultFor(fallocateCall, fd); fault > 0)
    {
        errno = fault;
        return -1;
    }
    return realAllocate(fd, mode, offset, length);
}

extern "C" int fallocate64(int fd, int mode, off_t offset, off_t length)
{
    return fallocate(fd, mode, offset, length);
}

extern "C" int fsync(int fd)
{
    using Sync = int (*)(int);
    static const auto realSync = nextSymbol<Sync>("fsync");
    if (const int fault = faultFor(fsyncCall, fd); fault > 0)
    {
        errno = fault;
        return -1;
    }
    return realSync(fd);
}

extern "C" int EVP_DigestVerifyFinal(void* ctx, const unsigned char* sig,
                                     std::size_t siglen)
{
    using Final = int (*)(void*, const unsigned char*, std::size_t);
    static const auto realFinal = nextSymbol<Final>("EVP_DigestVerifyFinal");
    const int result = realFinal(ctx, sig, siglen);
    if (result != 1 && std::getenv(badAllocAfterRejectionVariable) != nullptr)
    {
        allocationsFail = true;
    }
    return result;
}

namespace
{

bool tooLarge(std::size_t size)
{
    const char* limit = std::getenv(badAllocSizeVariable);
    return limit != nullptr && size >= std::strtoull(limit, nullptr, 10);
}

} // namespace

void* operator new(std::size_t size)
{
    using New = void* (*)(std::size_t);
    static const auto realNew = nextSymbol<New>("_Znwm");
    if (allocationsFail || tooLarge(size))
    {
        throw std::bad_alloc();
    }
    return realNew(size);
}
