// Arbitrary decompressed images through verifyBiosImage. Each input is put
// into an anonymous memory file; the context is given a scratch area inside
// a directory of its own that never holds files, so its clean-up touches
// nothing else.

#include "update/bios_image_context.hpp"
#include "update/verify_image.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

struct EmptyScratch
{
    std::string directory;
    std::string compressedImage;
    std::string image;
    update::ScratchArea area{};
};

const EmptyScratch& emptyScratch()
{
    static const EmptyScratch scratch = [] {
        EmptyScratch made;
        std::string pattern = "/tmp/verify-image-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
        {
            std::abort();
        }
        made.directory = pattern + "/biosscratchpad";
        made.compressedImage = made.directory + "/bios.lzma";
        made.image = made.directory + "/bios";
        made.area = {made.directory.c_str(), made.compressedImage.c_str(),
                     made.image.c_str()};
        return made;
    }();
    return scratch;
}

// A read stream over a memory file holding the bytes; null on failure.
std::FILE* memoryStream(const std::uint8_t* data, std::size_t size)
{
    const int fd = memfd_create("image", 0);
    if (fd < 0)
    {
        return nullptr;
    }
    std::size_t written = 0;
    while (written < size)
    {
        const ssize_t n = write(fd, data + written, size - written);
        if (n <= 0)
        {
            close(fd);
            return nullptr;
        }
        written += static_cast<std::size_t>(n);
    }
    std::FILE* stream = fdopen(fd, "rb");
    if (stream == nullptr)
    {
        close(fd);
    }
    return stream;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    const EmptyScratch& scratch = emptyScratch();
    update::BiosImageContext ctx(scratch.directory + "/no-capsule",
                                 scratch.area);
    ctx.file = memoryStream(data, size);
    if (ctx.file == nullptr)
    {
        return 0;
    }
    // Positioned at its end, as unwrapping leaves it.
    std::fseek(ctx.file, 0, SEEK_END);
    ctx.imageSize = static_cast<std::uint32_t>(size);
    const bool passed = update::verifyBiosImage(ctx);
    if (passed != ctx.verified || (passed && ctx.releaseType == 0))
    {
        std::abort();
    }
    return 0;
}
