#pragma once

// Verification of a decompressed BIOS image.
//
// Image layout: an RBU header ("$RBU", its whole length L in byte 4),
// the firmware manifest at offset L, the image data, and a 104-byte
// signature slot at the end. The manifest library authenticates the manifest
// and yields the image-signing public key; the DER signature at the start of
// the slot is an SHA-512 signature by that key over everything before the
// slot.

#include "update/bios_image_context.hpp"

#include <cstdint>
#include <cstdio>

namespace update
{

// Checks the RBU header, the manifest, the signature and the release type of
// the image open in `ctx.file` (`ctx.imageSize` bytes long). On a pass sets
// `releaseType` and returns true. Failures are reported on
// standard error. An exception from the manifest library passes to the
// caller. The file stays open in every outcome.
[[nodiscard]] bool verifyBiosImage(BiosImageContext& ctx);

// Verifies the signature in the last 104 bytes of `image` (`size` bytes)
// over the bytes before them with the key in `keyRecord` (16-bit host-order
// length, then DER SubjectPublicKeyInfo). 0 when it verifies, -1 otherwise.
// With `signedBytes`, the SHA-512 of exactly those bytes, an EC key checks
// the signature against it and only the slot is read; the verdict and the
// lines are those of reading the bytes.
[[nodiscard]] int signature_verify(std::FILE* image, std::uint32_t size,
                                   const std::uint8_t* keyRecord,
                                   const ImageDigest* signedBytes = nullptr);

} // namespace update
