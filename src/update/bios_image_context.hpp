#pragma once

// The image context of one BIOS update and the unwrapping of its capsule.
//
// A capsule is an 84-byte UEFI capsule header, an RBU header and an LZMA
// body. Unwrapping copies the body into the scratch directory, has
// /usr/bin/xz decompress it there and leaves the decompressed image open in
// the context for verification. The context owns the scratch area: when it
// ends it closes its file and removes the scratch files and directory.

#include "handles/fd.hpp"
#include "handles/stdio.hpp"
#include "update/image_follower.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>

namespace update
{

// The three paths of a scratch area: the directory, the compressed body
// copied from the capsule, and the image xz writes beside it (the body's
// path without its ".lzma" suffix).
struct ScratchArea
{
    std::string directory;
    std::string compressedImage;
    std::string image;

    // The area whose directory is `directory`: "bios.lzma" and "bios" in it.
    static ScratchArea in(const std::string& directory);
};

// Capsule bodies and images pass through one buffer of this size; neither is
// ever held whole in memory.
inline constexpr std::uint32_t streamBufferSize = 4 * 1024 * 1024;

// Such a buffer, zero-filled, allocated without throwing: null when memory
// is short, which the caller reports.
using StreamBuffer = std::unique_ptr<std::uint8_t[]>; // NOLINT(*-c-arrays)
inline StreamBuffer allocateStreamBuffer() noexcept
{
    return StreamBuffer(new (std::nothrow) std::uint8_t[streamBufferSize]());
}

// A capsule's compressed body, copied out of it while the capsule itself
// was read: an unnamed file on the scratch file system, and the offset in
// the capsule where the body began. Unwrapping links it into place instead
// of copying the body once more; without one, it copies.
struct CompressedBody
{
    UniqueFd file;
    long offset = -1;
};

struct BiosImageContext
{
    // Copies the capsule path and opens it "rb"; a failed open leaves `file`
    // null, which unwrapping reports. The context unwraps in `area`.
    BiosImageContext(const std::string& capsulePath, ScratchArea area);

    // A context whose capsule is already open: `capsule` (null when it could
    // not be had, which unwrapping reports like a failed open); capsulePath
    // is what the update names it by.
    BiosImageContext(std::string capsulePath, FilePtr capsule,
                     ScratchArea area);

    BiosImageContext(const BiosImageContext&) = delete;
    BiosImageContext& operator=(const BiosImageContext&) = delete;
    BiosImageContext(BiosImageContext&&) = delete;
    BiosImageContext& operator=(BiosImageContext&&) = delete;

    // Closes `file`, then removes the scratch files and directory, ignoring
    // every result.
    ~BiosImageContext();

    // The capsule at first; after unwrapping, the decompressed image.
    FilePtr file;
    // True once the image passed verification and gave its release type.
    bool verified = false;
    // Length byte of the decompressed image's RBU header.
    std::uint32_t rbuHeaderSize = 0;
    // Length of the decompressed image (ftell at its end, cut to 32 bits).
    std::uint32_t imageSize = 0;
    // The SHA-512 of the image's first bytes, taken while xz wrote it; none
    // when it could not be taken.
    std::optional<ImageDigest> imageDigest;
    // Release type from the manifest; 0 until verification passes.
    std::uint8_t releaseType = 0;
    // The capsule path the context was built from.
    std::string path;
    // Where this context unwraps and what it removes when it ends.
    ScratchArea scratch;
    // Other work of the update's that runs while xz does, whenever the image
    // has nothing new to hash: called again and again until it says it has
    // nothing more to do.
    std::function<bool()> whileDecompressing;
    // The body already copied out of the capsule, if any; unwrapping takes
    // it when it begins where the capsule's RBU header says the body does.
    CompressedBody preparedBody;
    // The layers of the decompressor's confinement without which xz does
    // not run (a confinement::Layers set): the build's, unless the context's
    // owner can give fewer.
    std::uint32_t requiredConfinement;
};

// The first step of unwrapping: walks the open capsule's UEFI and RBU
// headers and copies the compressed body behind them into the scratch
// area's compressedImage, then closes the capsule. The scratch directory
// must exist. False once a failure line has been written.
[[nodiscard]] bool copyCompressedBody(BiosImageContext& ctx);

// Unwraps and decompresses the context's capsule into its scratch area.
// Returns 0 on success: `file` is then the decompressed image, positioned at
// its end, `imageSize` its length and `imageDigest`, when it could be taken,
// the digest of all of it but its signature slot. Non-zero on failure, reported
// on standard error (except a failed seek to the image's end).
[[nodiscard]] int uncompressBiosCapFile(BiosImageContext& ctx);

} // namespace update
