// Arbitrary decompressed images through verifyBiosImage. Each input is put
// into an anonymous memory file; the context is given a scratch area inside
// a directory of its own that never holds files, so its clean-up touches
// nothing else.

#include "builder/scratch_directory.hpp"
#include "fuzz_support.hpp"
#include "update/bios_image_context.hpp"
#include "update/verify_image.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

// One private scratch area for the whole run; the contexts never unwrap,
// they only remove what would be there.
const capsule::ScratchDirectory& scratch()
{
    static const capsule::ScratchDirectory directory;
    if (!directory.ready())
    {
        std::abort();
    }
    return directory;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    update::BiosImageContext ctx(scratch().file("no-capsule"),
                                 scratch().area());
    ctx.file = fuzz::memoryStream(data, size);
    if (!ctx.file)
    {
        return 0;
    }
    // Positioned at its end, as unwrapping leaves it.
    std::fseek(ctx.file.get(), 0, SEEK_END);
    ctx.imageSize = static_cast<std::uint32_t>(size);
    const bool passed = update::verifyBiosImage(ctx);
    if (passed != ctx.verified || (passed && ctx.releaseType == 0))
    {
        std::abort();
    }
    return 0;
}
