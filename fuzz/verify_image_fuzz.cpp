// Arbitrary decompressed images through verifyBiosImage, which must give
// the same verdict reading the image and handed the digest of its signed
// bytes. Each input is put into an anonymous memory file; the context is given
// a scratch area inside a directory of its own that never holds files, so its
// clean-up touches nothing else.

#include "builder/scratch_directory.hpp"
#include "capsule/layout.hpp"
#include "fuzz_support.hpp"
#include "update/bios_image_context.hpp"
#include "update/verify_image.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
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

// The digest of the image's bytes before its signature slot, as the
// updater takes it while xz writes the image; none for a shorter image.
std::optional<update::ImageDigest> signedBytesOf(const std::uint8_t* data,
                                                 std::size_t size)
{
    const std::size_t slot = capsule::layout::signatureSlotSize;
    update::Sha512 sha;
    if (size < slot)
    {
        return std::nullopt;
    }
    sha.update(data, size - slot);
    const std::optional<update::Sha512Bytes> bytes = sha.finish();
    if (!bytes)
    {
        return std::nullopt;
    }
    return update::ImageDigest{*bytes, size - slot};
}

// verifyBiosImage's verdict on the image, read again or handed its digest.
bool verified(const std::uint8_t* data, std::size_t size,
              std::optional<update::ImageDigest> digest)
{
    update::BiosImageContext ctx(scratch().file("no-capsule"),
                                 scratch().area());
    ctx.file = fuzz::memoryStream(data, size);
    if (!ctx.file)
    {
        return false;
    }
    // Positioned at its end, as unwrapping leaves it.
    std::fseek(ctx.file.get(), 0, SEEK_END);
    ctx.imageSize = static_cast<std::uint32_t>(size);
    ctx.imageDigest = digest;
    const bool passed = update::verifyBiosImage(ctx);
    if (passed != ctx.verified || (passed && ctx.releaseType == 0))
    {
        std::abort();
    }
    return passed;
}

} // namespace

// Both roads to the signature give the same verdict.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    if (verified(data, size, std::nullopt) !=
        verified(data, size, signedBytesOf(data, size)))
    {
        std::abort();
    }
    return 0;
}
