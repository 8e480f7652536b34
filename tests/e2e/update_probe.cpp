// Unwraps and verifies one capsule in-process, the way an update does, and
// prints the results on standard output:
//
//   unwrap rc=<n> imageSize=<n> lzmaLeft=<0|1> imagePresent=<0|1>
//   verify passed=<0|1> verified=<0|1> rbuHeaderSize=<n> releaseType=<n>
//
// (the second line only when unwrapping succeeded). Diagnostics go to
// standard error as the updater writes them.
//
//   update_probe <capsule path>
//
// UPDATE_PROBE_FAULT selects one injected failure:
//   copy-buffer     the first 4 MiB non-throwing array allocation fails
//   verify-buffer   the second 4 MiB non-throwing array allocation fails
//   fork            fork fails with EAGAIN
//   md-ctx          EVP_MD_CTX_new fails when the updater's code calls it
//   digest-update   EVP_DigestVerifyUpdate fails when the updater's code
//                   calls it
//
// UPDATE_PROBE_FSIZE=<bytes> and UPDATE_PROBE_CPU=<seconds> lower the
// probe's own file-size and CPU-time limits first, as a caller of the
// updater may, so that its decompressor's limits can be reached cheaply.

#include "update/bios_image_context.hpp"
#include "update/verify_image.hpp"

#include <dlfcn.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace
{

constexpr std::size_t readBufferSize = std::size_t{4} * 1024 * 1024;

bool faultIs(const char* name)
{
    const char* fault = std::getenv("UPDATE_PROBE_FAULT");
    return fault != nullptr && std::strcmp(fault, name) == 0;
}

template <typename Function>
Function nextSymbol(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == nullptr)
    {
        std::abort();
    }
    return reinterpret_cast<Function>(symbol);
}

unsigned bufferAllocations = 0;

// True when `caller` lies in this program (the updater's code linked into
// it), not in OpenSSL or the manifest library.
bool inThisProgram(const void* caller)
{
    Dl_info self{};
    Dl_info other{};
    return dladdr(reinterpret_cast<const void*>(&faultIs), &self) != 0 &&
           dladdr(caller, &other) != 0 && self.dli_fbase == other.dli_fbase;
}

int exists(const char* path)
{
    return access(path, F_OK) == 0 ? 1 : 0;
}

// Lowers the soft limit of this process to the value in the variable, if
// set.
void lowerLimit(const char* variable, int resource)
{
    const char* value = std::getenv(variable);
    if (value == nullptr)
    {
        return;
    }
    rlimit lowered{};
    if (getrlimit(resource, &lowered) == 0)
    {
        lowered.rlim_cur =
            static_cast<rlim_t>(std::strtoull(value, nullptr, 10));
    }
    if (setrlimit(resource, &lowered) != 0)
    {
        std::perror("setrlimit");
        std::exit(2);
    }
}

} // namespace

// Array allocations go through malloc so that the non-throwing form can be
// made to fail; every array form is replaced to keep the pairs matched.
void* operator new[](std::size_t size,
                     const std::nothrow_t& /*unused*/) noexcept
{
    if (size == readBufferSize)
    {
        ++bufferAllocations;
        if ((bufferAllocations == 1 && faultIs("copy-buffer")) ||
            (bufferAllocations == 2 && faultIs("verify-buffer")))
        {
            return nullptr;
        }
    }
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](std::size_t size)
{
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr)
    {
        throw std::bad_alloc();
    }
    return memory;
}

void operator delete[](void* memory) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, std::size_t /*unused*/) noexcept
{
    std::free(memory);
}

extern "C" pid_t fork()
{
    if (faultIs("fork"))
    {
        errno = EAGAIN;
        return -1;
    }
    return nextSymbol<pid_t (*)()>("fork")();
}

extern "C" EVP_MD_CTX* EVP_MD_CTX_new()
{
    if (faultIs("md-ctx") && inThisProgram(__builtin_return_address(0)))
    {
        return nullptr;
    }
    return nextSymbol<EVP_MD_CTX* (*)()>("EVP_MD_CTX_new")();
}

extern "C" int EVP_DigestVerifyUpdate(EVP_MD_CTX* ctx, const void* data,
                                      size_t size)
{
    if (faultIs("digest-update") && inThisProgram(__builtin_return_address(0)))
    {
        return 0;
    }
    return nextSymbol<int (*)(EVP_MD_CTX*, const void*, size_t)>(
        "EVP_DigestVerifyUpdate")(ctx, data, size);
}

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: update_probe <capsule path>\n");
        return 2;
    }
    lowerLimit("UPDATE_PROBE_FSIZE", RLIMIT_FSIZE);
    lowerLimit("UPDATE_PROBE_CPU", RLIMIT_CPU);
    try
    {
        update::BiosImageContext ctx(argv[1]);
        const int rc = update::uncompressBiosCapFile(ctx);
        std::printf("unwrap rc=%d imageSize=%u lzmaLeft=%d imagePresent=%d\n",
                    rc, ctx.imageSize,
                    exists(ctx.scratch.compressedImage.c_str()),
                    exists(ctx.scratch.image.c_str()));
        if (rc == 0)
        {
            const bool passed = update::verifyBiosImage(ctx);
            std::printf("verify passed=%d verified=%d rbuHeaderSize=%u "
                        "releaseType=%u\n",
                        passed ? 1 : 0, ctx.verified ? 1 : 0, ctx.rbuHeaderSize,
                        unsigned{ctx.releaseType});
        }
    }
    catch (const std::exception& e)
    {
        std::printf("exception %s\n", e.what());
        return 1;
    }
    return 0;
}
