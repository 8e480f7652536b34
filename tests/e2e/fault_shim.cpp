// Fault injection for end-to-end tests, loaded into the tool with LD_PRELOAD.
//
//   FAULT_SHIM_ERROR_REPLY=3,5
//       The 3rd and 5th sd_bus_call of the process are sent as usual, but
//       return success with a method error reply in place of the peer's
//       answer: the case that a caller's error-reply check exists for.
//   FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN=/some/file[@n]
//       Once the process has opened that path (fopen, open, or openat
//       relative to a directory; with "@n", n times), every further
//       operator new throws std::bad_alloc.
//   FAULT_SHIM_FILE=/some/file  FAULT_SHIM_FAULTS=pwrite:2:EIO,ftruncate:*:kill
//       Calls of pwrite, ftruncate, fallocate and fsync on a descriptor of
//       that file fail: "<function>:<n>:<what>" hits the n-th such call on
//       the file ("*" every one). <what> is EIO, ENOSPC, EOPNOTSUPP, EDQUOT,
//       "short" (pwrite writes half of what it was given, at least one
//       byte) or "kill" (SIGKILL before the call).
//   FAULT_SHIM_BAD_ALLOC_AFTER_REJECTED_SIGNATURE=1
//       Once EVP_DigestVerifyFinal or EVP_PKEY_verify has rejected a
//       signature, every further
//       operator new throws std::bad_alloc.
//   FAULT_SHIM_BAD_ALLOC_FROM_SIZE=4096
//       Every operator new of at least that many bytes throws bad_alloc.
//   FAULT_SHIM_BAD_ALLOC_AT=40   the 40th operator new throws bad_alloc.
//   FAULT_SHIM_NO_TMPFILE=1      open with O_TMPFILE fails (EOPNOTSUPP).
//   FAULT_SHIM_NOTHROW_NEW_FAILS=2
//       The 2nd non-throwing array new of the process returns null.
//   FAULT_SHIM_FORK_FAILS=1
//       fork fails with EAGAIN.
//   FAULT_SHIM_OWN_CALL_FAILS=EVP_MD_CTX_new@2,EVP_DigestVerifyUpdate,flock@1
//       These fail when the program's own code calls them ("@n": only its
//       n-th such call); calls from its libraries go through. A failed
//       flock says ENOLCK. Also, as a kernel without the feature would:
//       unshare (EINVAL), setresuid (EAGAIN), seccomp_load (EINVAL),
//       fdatasync (EIO) and
//       prctl<option> (EINVAL; prctl38 is PR_SET_NO_NEW_PRIVS). Children
//       forked by the program count on from their parent's count.
//   FAULT_SHIM_MANIFEST_CALL_FAILS=d2i_PUBKEY,EVP_PKEY_is_a@1
//       These OpenSSL calls fail (null, or 0) when the manifest library
//       (libvardex) makes them ("@n": only its n-th such call).
//   FAULT_SHIM_KILL_AT=12
//       Calls that open or change files (open, pwrite, fsync, fchmod, chmod,
//       fchmodat, linkat, mkdir, rename, unlink, unlinkat, rmdir, remove,
//       ftruncate, fallocate) are steps: the process is killed (SIGKILL)
//       before its 12th step.
//
// Without these variables the shim changes nothing. Programs the tool
// starts (its xz child) run without the shim.

// Without 64-bit offsets named apart, fopen, open and the rest keep their
// own names here; their 64-bit twins are aliases of them.
#undef _FILE_OFFSET_BITS

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/file.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>

namespace
{

__attribute__((constructor)) void keepShimFromChildren()
{
    unsetenv("LD_PRELOAD");
}

constexpr std::uint64_t fakeCookie = 0xfa17;
// Set by the faults that make every later allocation fail; the shim's
// overrides are free functions, so the switch they share is global.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
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

// True when the comma-separated list in the variable holds the item (found
// without allocating: operator new may be failing).
bool listed(const char* variable, const char* item)
{
    const std::size_t length = std::strlen(item);
    const char* entry = std::getenv(variable);
    while (entry != nullptr)
    {
        if (std::strncmp(entry, item, length) == 0 &&
            (entry[length] == ',' || entry[length] == '\0'))
        {
            return true;
        }
        entry = std::strchr(entry, ',');
        entry = entry != nullptr ? entry + 1 : nullptr;
    }
    return false;
}

// The file name of the object that holds the code at `caller` ("" for the
// program itself); null when unknown.
const char* objectOf(const void* caller)
{
    Dl_info info{};
    link_map* object = nullptr;
    return dladdr1(caller, &info, reinterpret_cast<void**>(&object),
                   RTLD_DL_LINKMAP) != 0 &&
                   object != nullptr
               ? object->l_name
               : nullptr;
}

// True when the variable lists `function`, for every call or for this one
// ("<function>@<n>"), counting the calls that the variable is about.
bool listedCall(const char* variable, const char* function)
{
    static std::map<std::string, unsigned> calls;
    if (std::getenv(variable) == nullptr)
    {
        return false;
    }
    std::array<char, 128> counted{};
    std::snprintf(counted.data(), counted.size(), "%s@%u", function,
                  ++calls[std::string(variable) + function]);
    return listed(variable, function) || listed(variable, counted.data());
}

// True when this call of `function`, made by the code at `caller`, is to
// fail: the program's own calls by FAULT_SHIM_OWN_CALL_FAILS, the manifest
// library's by FAULT_SHIM_MANIFEST_CALL_FAILS.
bool callFails(const char* function, const void* caller)
{
    const char* object = objectOf(caller);
    if (object == nullptr)
    {
        return false;
    }
    if (object[0] == '\0')
    {
        return listedCall("FAULT_SHIM_OWN_CALL_FAILS", function);
    }
    return std::strstr(object, "libvardex") != nullptr &&
           listedCall("FAULT_SHIM_MANIFEST_CALL_FAILS", function);
}

// Counts a step (a call that opens or changes files) and kills the process
// before the chosen one.
void step()
{
    static unsigned count = 0;
    const char* at = std::getenv("FAULT_SHIM_KILL_AT");
    if (at != nullptr && std::strtoul(at, nullptr, 10) == ++count)
    {
        kill(getpid(), SIGKILL);
    }
}

// A function's name as a template argument: each wrapped function gets a
// `stepped` of its own, and with it its own real function, even where two
// share a type (unlink, rmdir and remove; chmod and mkdir).
template <std::size_t N>
struct Name
{
    // NOLINTNEXTLINE(*-c-arrays): taken from the literal at the call site
    consteval Name(const char (&literal)[N])
    {
        std::copy_n(literal, N, text.begin());
    }
    std::array<char, N> text{};
};

// Runs a call that changes files as one step.
template <Name function, typename Function, typename... Args>
auto stepped(Args... args)
{
    static const auto real = nextSymbol<Function>(function.text.data());
    step();
    return real(args...);
}

} // namespace

extern "C" int sd_bus_call(sd_bus* bus, sd_bus_message* m, std::uint64_t usec,
                           sd_bus_error* ret_error, sd_bus_message** reply)
{
    using Call = int (*)(sd_bus*, sd_bus_message*, std::uint64_t, sd_bus_error*,
                         sd_bus_message**);
    static const auto realCall = nextSymbol<Call>("sd_bus_call");
    static unsigned callCount = 0;
    const int result = realCall(bus, m, usec, ret_error, reply);
    if (result < 0 || reply == nullptr ||
        !listed("FAULT_SHIM_ERROR_REPLY", std::to_string(++callCount).c_str()))
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
    static unsigned opens = 0;
    const char* target = std::getenv("FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN");
    if (target == nullptr || path == nullptr)
    {
        return;
    }
    const char* at = std::strrchr(target, '@');
    const std::size_t length = at != nullptr
                                   ? static_cast<std::size_t>(at - target)
                                   : std::strlen(target);
    if (std::strlen(path) == length &&
        std::strncmp(path, target, length) == 0 &&
        ++opens >= (at != nullptr ? std::strtoul(at + 1, nullptr, 10) : 1))
    {
        allocationsFail = true;
    }
}

} // namespace

extern "C" std::FILE* fopen(const char* path, const char* mode)
{
    using Open = std::FILE* (*)(const char*, const char*);
    static const auto realOpen = nextSymbol<Open>("fopen");
    noteOpen(path);
    return realOpen(path, mode);
}

extern "C" std::FILE* fopen64(const char* path, const char* mode)
    __attribute__((alias("fopen")));

extern "C" int open(const char* path, int flags, ...)
{
    static const auto realOpen =
        nextSymbol<int (*)(const char*, int, ...)>("open");
    std::va_list args;
    va_start(args, flags);
    const bool hasMode = (flags & (O_CREAT | O_TMPFILE)) != 0;
    // The analyzer, run over other files first in the same process, loses
    // the va_start just above.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const mode_t mode = hasMode ? va_arg(args, mode_t) : 0;
    va_end(args);
    noteOpen(path);
    step();
    if ((flags & O_TMPFILE) == O_TMPFILE &&
        std::getenv("FAULT_SHIM_NO_TMPFILE") != nullptr)
    {
        errno = EOPNOTSUPP;
        return -1;
    }
    return realOpen(path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...)
    __attribute__((alias("open")));

extern "C" int openat(int directory, const char* path, int flags, ...)
{
    static const auto realOpen =
        nextSymbol<int (*)(int, const char*, int, ...)>("openat");
    std::va_list args;
    va_start(args, flags);
    const bool hasMode = (flags & (O_CREAT | O_TMPFILE)) != 0;
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const mode_t mode = hasMode ? va_arg(args, mode_t) : 0;
    va_end(args);
    const int fd = realOpen(directory, path, flags, mode);
    // The path the descriptor stands for, found without allocating.
    std::array<char, 4096> link{};
    std::array<char, 64> name{};
    std::snprintf(name.data(), name.size(), "/proc/self/fd/%d", fd);
    if (fd >= 0 && readlink(name.data(), link.data(), link.size() - 1) > 0)
    {
        noteOpen(link.data());
    }
    return fd;
}

extern "C" int openat64(int directory, const char* path, int flags, ...)
    __attribute__((alias("openat")));

namespace
{

constexpr int shortWrite = -1;
constexpr int killProcess = -2;

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

// The fault that this call of `function` (pwrite, ftruncate, fallocate or
// fsync) hits, 0 for none.
int faultFor(const std::string& function, int fd)
{
    if (std::getenv("FAULT_SHIM_FAULTS") == nullptr || !onFaultyFile(fd))
    {
        return 0;
    }
    static const std::map<std::string, int> named{
        {"EIO", EIO},       {"ENOSPC", ENOSPC},    {"EOPNOTSUPP", EOPNOTSUPP},
        {"EDQUOT", EDQUOT}, {"short", shortWrite}, {"kill", killProcess}};
    static std::map<std::string, unsigned> calls;
    const std::string count = std::to_string(++calls[function]);
    // A fault for this very call comes before one for every call.
    for (const std::string& which : {count, std::string("*")})
    {
        for (const auto& [what, fault] : named)
        {
            std::string item = function;
            item.append(":").append(which).append(":").append(what);
            if (listed("FAULT_SHIM_FAULTS", item.c_str()))
            {
                if (fault == killProcess)
                {
                    kill(getpid(), SIGKILL);
                }
                return fault;
            }
        }
    }
    return 0;
}

// Runs `real` unless the call hits an errno fault.
template <typename Real, typename... Args>
int unlessFaulty(const char* function, Real real, int fd, Args... args)
{
    step();
    if (const int fault = faultFor(function, fd); fault > 0)
    {
        errno = fault;
        return -1;
    }
    return real(fd, args...);
}

} // namespace

extern "C" ssize_t pwrite(int fd, const void* data, std::size_t size,
                          off_t offset)
{
    using Write = ssize_t (*)(int, const void*, std::size_t, off_t);
    static const auto realWrite = nextSymbol<Write>("pwrite");
    step();
    const int fault = faultFor("pwrite", fd);
    if (fault > 0)
    {
        errno = fault;
        return -1;
    }
    return realWrite(fd, data,
                     fault == shortWrite && size > 1 ? size / 2 : size, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* data, std::size_t size,
                            off_t offset) __attribute__((alias("pwrite")));

extern "C" int ftruncate(int fd, off_t length)
{
    static const auto real = nextSymbol<int (*)(int, off_t)>("ftruncate");
    return unlessFaulty("ftruncate", real, fd, length);
}

extern "C" int ftruncate64(int fd, off_t length)
    __attribute__((alias("ftruncate")));

extern "C" int fallocate(int fd, int mode, off_t offset, off_t length)
{
    static const auto real =
        nextSymbol<int (*)(int, int, off_t, off_t)>("fallocate");
    return unlessFaulty("fallocate", real, fd, mode, offset, length);
}

extern "C" int fallocate64(int fd, int mode, off_t offset, off_t length)
    __attribute__((alias("fallocate")));

extern "C" int fsync(int fd)
{
    static const auto real = nextSymbol<int (*)(int)>("fsync");
    return unlessFaulty("fsync", real, fd);
}

namespace
{

int noteRejection(int verdict)
{
    if (verdict != 1 &&
        std::getenv("FAULT_SHIM_BAD_ALLOC_AFTER_REJECTED_SIGNATURE") != nullptr)
    {
        allocationsFail = true;
    }
    return verdict;
}

} // namespace

extern "C" int EVP_DigestVerifyFinal(void* ctx, const unsigned char* sig,
                                     std::size_t siglen)
{
    using Final = int (*)(void*, const unsigned char*, std::size_t);
    static const auto realFinal = nextSymbol<Final>("EVP_DigestVerifyFinal");
    return noteRejection(realFinal(ctx, sig, siglen));
}

extern "C" int EVP_PKEY_verify(void* ctx, const unsigned char* sig,
                               std::size_t siglen, const unsigned char* digest,
                               std::size_t digestSize)
{
    using Verify = int (*)(void*, const unsigned char*, std::size_t,
                           const unsigned char*, std::size_t);
    static const auto real = nextSymbol<Verify>("EVP_PKEY_verify");
    return noteRejection(real(ctx, sig, siglen, digest, digestSize));
}

extern "C" int flock(int fd, int operation)
{
    static const auto real = nextSymbol<int (*)(int, int)>("flock");
    if (callFails("flock", __builtin_return_address(0)))
    {
        errno = ENOLCK;
        return -1;
    }
    return real(fd, operation);
}

// The kernel lacks what these calls ask for, when the program's own code
// makes them.
extern "C" int unshare(int flags)
{
    static const auto real = nextSymbol<int (*)(int)>("unshare");
    if (callFails("unshare", __builtin_return_address(0)))
    {
        errno = EINVAL;
        return -1;
    }
    return real(flags);
}

extern "C" int fdatasync(int fd)
{
    static const auto real = nextSymbol<int (*)(int)>("fdatasync");
    if (callFails("fdatasync", __builtin_return_address(0)))
    {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

extern "C" int setresuid(uid_t real, uid_t effective, uid_t saved)
{
    static const auto next =
        nextSymbol<int (*)(uid_t, uid_t, uid_t)>("setresuid");
    if (callFails("setresuid", __builtin_return_address(0)))
    {
        errno = EAGAIN;
        return -1;
    }
    return next(real, effective, saved);
}

extern "C" int seccomp_load(void* filter)
{
    static const auto real = nextSymbol<int (*)(void*)>("seccomp_load");
    return callFails("seccomp_load", __builtin_return_address(0))
               ? -EINVAL
               : real(filter);
}

extern "C" int prctl(int option, unsigned long a, unsigned long b,
                     unsigned long c, unsigned long d)
{
    using Prctl = int (*)(int, unsigned long, unsigned long, unsigned long,
                          unsigned long);
    static const auto real = nextSymbol<Prctl>("prctl");
    const std::string name = "prctl" + std::to_string(option);
    if (callFails(name.c_str(), __builtin_return_address(0)))
    {
        errno = EINVAL;
        return -1;
    }
    return real(option, a, b, c, d);
}

extern "C" void* EVP_MD_CTX_new()
{
    static const auto real = nextSymbol<void* (*)()>("EVP_MD_CTX_new");
    return callFails("EVP_MD_CTX_new", __builtin_return_address(0)) ? nullptr
                                                                    : real();
}

extern "C" void* d2i_PUBKEY(void** key, const unsigned char** der, long size)
{
    using Decode = void* (*)(void**, const unsigned char**, long);
    static const auto real = nextSymbol<Decode>("d2i_PUBKEY");
    return callFails("d2i_PUBKEY", __builtin_return_address(0))
               ? nullptr
               : real(key, der, size);
}

extern "C" int EVP_PKEY_is_a(const void* key, const char* name)
{
    using IsA = int (*)(const void*, const char*);
    static const auto real = nextSymbol<IsA>("EVP_PKEY_is_a");
    return callFails("EVP_PKEY_is_a", __builtin_return_address(0))
               ? 0
               : real(key, name);
}

extern "C" int EVP_PKEY_get_utf8_string_param(const void* key, const char* name,
                                              char* text, std::size_t size,
                                              std::size_t* length)
{
    using Get =
        int (*)(const void*, const char*, char*, std::size_t, std::size_t*);
    static const auto real = nextSymbol<Get>("EVP_PKEY_get_utf8_string_param");
    return callFails("EVP_PKEY_get_utf8_string_param",
                     __builtin_return_address(0))
               ? 0
               : real(key, name, text, size, length);
}

extern "C" int EVP_DigestVerifyInit(void* ctx, void** pctx, const void* md,
                                    void* engine, void* key)
{
    using Init = int (*)(void*, void**, const void*, void*, void*);
    static const auto real = nextSymbol<Init>("EVP_DigestVerifyInit");
    return callFails("EVP_DigestVerifyInit", __builtin_return_address(0))
               ? 0
               : real(ctx, pctx, md, engine, key);
}

extern "C" void* EVP_PKEY_CTX_new(void* key, void* engine)
{
    static const auto real =
        nextSymbol<void* (*)(void*, void*)>("EVP_PKEY_CTX_new");
    return callFails("EVP_PKEY_CTX_new", __builtin_return_address(0))
               ? nullptr
               : real(key, engine);
}

extern "C" int EVP_PKEY_verify_init(void* ctx)
{
    static const auto real = nextSymbol<int (*)(void*)>("EVP_PKEY_verify_init");
    return callFails("EVP_PKEY_verify_init", __builtin_return_address(0))
               ? 0
               : real(ctx);
}

extern "C" int EVP_DigestVerify(void* ctx, const unsigned char* sig,
                                std::size_t sigSize, const unsigned char* data,
                                std::size_t dataSize)
{
    using Verify = int (*)(void*, const unsigned char*, std::size_t,
                           const unsigned char*, std::size_t);
    static const auto real = nextSymbol<Verify>("EVP_DigestVerify");
    return callFails("EVP_DigestVerify", __builtin_return_address(0))
               ? 0
               : real(ctx, sig, sigSize, data, dataSize);
}

extern "C" int fchmod(int fd, mode_t mode)
{
    return stepped<"fchmod", int (*)(int, mode_t)>(fd, mode);
}

extern "C" int chmod(const char* path, mode_t mode)
{
    return stepped<"chmod", int (*)(const char*, mode_t)>(path, mode);
}

extern "C" int fchmodat(int dir, const char* path, mode_t mode, int flags)
{
    return stepped<"fchmodat", int (*)(int, const char*, mode_t, int)>(
        dir, path, mode, flags);
}

extern "C" int linkat(int fromDir, const char* from, int toDir, const char* to,
                      int flags)
{
    return stepped<"linkat", int (*)(int, const char*, int, const char*, int)>(
        fromDir, from, toDir, to, flags);
}

extern "C" int mkdir(const char* path, mode_t mode)
{
    return stepped<"mkdir", int (*)(const char*, mode_t)>(path, mode);
}

extern "C" int rename(const char* from, const char* to)
{
    return stepped<"rename", int (*)(const char*, const char*)>(from, to);
}

extern "C" int unlink(const char* path)
{
    return stepped<"unlink", int (*)(const char*)>(path);
}

extern "C" int unlinkat(int dir, const char* path, int flags)
{
    return stepped<"unlinkat", int (*)(int, const char*, int)>(dir, path,
                                                               flags);
}

extern "C" int rmdir(const char* path)
{
    return stepped<"rmdir", int (*)(const char*)>(path);
}

extern "C" int remove(const char* path)
{
    return stepped<"remove", int (*)(const char*)>(path);
}

extern "C" int EVP_DigestVerifyUpdate(void* ctx, const void* data,
                                      std::size_t size)
{
    using Update = int (*)(void*, const void*, std::size_t);
    static const auto real = nextSymbol<Update>("EVP_DigestVerifyUpdate");
    return callFails("EVP_DigestVerifyUpdate", __builtin_return_address(0))
               ? 0
               : real(ctx, data, size);
}

extern "C" pid_t fork()
{
    if (std::getenv("FAULT_SHIM_FORK_FAILS") != nullptr)
    {
        errno = EAGAIN;
        return -1;
    }
    return nextSymbol<pid_t (*)()>("fork")();
}

// Only allocation is made to fail; what was allocated is freed by the real
// operator delete, so none is declared here.
void* operator new(std::size_t size) // NOLINT(cert-dcl54-cpp)
{
    static const auto realNew = nextSymbol<void* (*)(std::size_t)>("_Znwm");
    const char* limit = std::getenv("FAULT_SHIM_BAD_ALLOC_FROM_SIZE");
    const char* at = std::getenv("FAULT_SHIM_BAD_ALLOC_AT");
    static unsigned long long count = 0;
    ++count;
    if (allocationsFail ||
        (limit != nullptr && size >= std::strtoull(limit, nullptr, 10)) ||
        (at != nullptr && count == std::strtoull(at, nullptr, 10)))
    {
        throw std::bad_alloc();
    }
    return realNew(size);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    using New = void* (*)(std::size_t, const std::nothrow_t&);
    static const auto realNew = nextSymbol<New>("_ZnamRKSt9nothrow_t");
    static unsigned count = 0;
    return listed("FAULT_SHIM_NOTHROW_NEW_FAILS",
                  std::to_string(++count).c_str())
               ? nullptr
               : realNew(size, tag);
}
