// Fault injection for end-to-end tests, loaded into the tool with LD_PRELOAD.
//
//   FAULT_SHIM_ERROR_REPLY=3,5
//       The 3rd and 5th sd_bus_call of the process are sent as usual, but
//       return success with a method error reply in place of the peer's
//       answer: the case that a caller's error-reply check exists for.
//   FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN=/some/file
//       Once the process has called fopen on that path, every further
//       operator new throws std::bad_alloc.
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
#include <systemd/sd-bus.h>

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
    static const Call realCall = nextSymbol<Call>("sd_bus_call");
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

} // namespace

extern "C" std::FILE* fopen(const char* path, const char* mode)
{
    static const Open realOpen = nextSymbol<Open>("fopen");
    noteOpen(path);
    return realOpen(path, mode);
}

extern "C" std::FILE* fopen64(const char* path, const char* mode)
{
    static const Open realOpen = nextSymbol<Open>("fopen64");
    noteOpen(path);
    return realOpen(path, mode);
}

extern "C" int EVP_DigestVerifyFinal(void* ctx, const unsigned char* sig,
                                     std::size_t siglen)
{
    using Final = int (*)(void*, const unsigned char*, std::size_t);
    static const Final realFinal = nextSymbol<Final>("EVP_DigestVerifyFinal");
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
    static const New realNew = nextSymbol<New>("_Znwm");
    if (allocationsFail || tooLarge(size))
    {
        throw std::bad_alloc();
    }
    return realNew(size);
}
