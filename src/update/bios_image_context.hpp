#pragma once

// The image context of one BIOS update and the unwrapping of its capsule.
//
// A capsule is an 84-byte UEFI capsule header, an RBU header and an LZMA
// body. Unwrapping copies the body into the scratch directory, has
// /usr/bin/xz decompress it there and leaves the decompressed image open in
// the context for verification. The context owns the scratch area: when it
// ends it closes its file and removes the scratch files and directory.

#include <cstdint>
#include <cstdio>
#include <string>

namespace update
{

// The three paths of a scratch area: the directory, the compressed body
// copied from the capsule, and the image xz writes beside it (the body's
// path without its ".lzma" suffix).
struct ScratchArea
{
    const char* directory;
    const char* compressedImage;
    const char* image;
};

// The updater's one scratch area. The parent "/mnt/scratchpad" must exist.
inline constexpr ScratchArea biosScratchArea{
    "/mnt/scratchpad/biosscratchpad",
    "/mnt/scratchpad/biosscratchpad/bios.lzma",
    "/mnt/scratchpad/biosscratchpad/bios",
};

struct BiosImageContext
{
    // Copies the capsule path and opens it "rb"; a failed open leaves `file`
    // null, which unwrapping reports. The second form puts the scratch area
    // somewhere else; it exists for tests and tools, the updater always
    // uses the first.
    explicit BiosImageContext(const std::string& capsulePath);
    BiosImageContext(const std::string& capsulePath, const ScratchArea& area);
    // The area must outlive the context.
    BiosImageContext(const std::string& capsulePath,
                     const ScratchArea&& area) = delete;

    BiosImageContext(const BiosImageContext&) = delete;
    BiosImageContext& operator=(const BiosImageContext&) = delete;
    BiosImageContext(BiosImageContext&&) = delete;
    BiosImageContext& operator=(BiosImageContext&&) = delete;

    // Closes `file` and removes the scratch files and directory, ignoring
    // every result.
    ~BiosImageContext();

    // The capsule at first; after unwrapping, the decompressed image.
    std::FILE* file = nullptr;
    // True once the image passed verification and gave its release type.
    bool verified = false;
    // Length byte of the decompressed image's RBU header.
    std::uint32_t rbuHeaderSize = 0;
    // Length of the decompressed image (ftell at its end, cut to 32 bits).
    std::uint32_t imageSize = 0;
    // Release type from the manifest; 0 until verification passes.
    std::uint8_t releaseType = 0;
    // The capsule path the context was built from.
    std::string path;
    // Where this context unwraps and what it removes when it ends.
    const ScratchArea* scratch = &biosScratchArea;
};

// Unwraps and decompresses the context's capsule into its scratch area.
// Returns 0 on success: `file` is then the decompressed image, positioned at
// its end, and `imageSize` its length. Non-zero on failure, reported on
// standard error (except a failed seek to the image's end).
int uncompressBiosCapFile(BiosImageContext& ctx);

} // namespace update
