#pragma once

// Images and capsules, laid out as capsule/layout.hpp and
// docs/image-format.md describe:
//
//   capsule = UEFI capsule header (84 bytes)
//           + capsule RBU header ("$RBU", length byte L, zero-filled)
//           + LZMA body (legacy .lzma format, as "xz -d" unpacks it)
//   image   = image RBU header ("$RBU", length byte L, zero-filled)
//           + firmware manifest (signed by the root-of-trust key)
//           + payload (the raw BIOS data)
//           + signature slot (104 bytes: DER ECDSA/SHA-512 signature by the
//             image-signing key over everything before the slot, zero-padded)
//
// An RBU header always occupies max(L, 8) bytes: with L < 8 the "$RBU" word
// and the length byte are still written, so a reader that skips L bytes
// lands inside the header (useful to test such lengths).
//
// Nothing here throws except std::bad_alloc.

#include "builder/keys.hpp"
#include "capsule/layout.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace capsule
{

struct ImageLayout
{
    std::uint8_t rbuHeaderLength = 16;
};

struct CapsuleLayout
{
    std::uint8_t rbuHeaderLength = 16;
    std::uint32_t compressionPreset = 6; // liblzma preset 0..9
};

// "$RBU", the length byte, zero fill: max(length, 8) bytes.
Bytes rbuHeader(std::uint8_t length);

// RBU header + manifest + payload: the signed part of an image.
Bytes buildSignedPart(const Bytes& payload, const Bytes& manifest,
                      const ImageLayout& layout = {});

// 104 bytes: DER ECDSA/SHA-512 signature of signedData by imageKey,
// zero-padded. Empty on failure (or if the signature does not fit).
Bytes signatureSlot(const Bytes& signedData, const Key& imageKey);

// buildSignedPart + signatureSlot. Empty on failure.
Bytes buildImage(const Bytes& payload, const Bytes& manifest,
                 const Key& imageKey, const ImageLayout& layout = {});

// An image as a capsule: UEFI header, capsule RBU header, the image
// compressed. Empty on failure.
Bytes buildCapsule(const Bytes& image, const CapsuleLayout& layout = {});

// The digest of an image's signed part (RBU header, manifest, payload file),
// streamed: what the image key signs (with SHA-512). Empty on failure.
Bytes digestSignedPart(const std::string& payloadPath, const Bytes& manifest,
                       const EVP_MD* digest, const ImageLayout& image = {});

// Streams a payload file of any size into a capsule file without holding
// either whole (fixed-size buffers only); the signature slot gets what
// `signer` makes of the signed part (SHA-512). False on any failure (the
// output file is then removed).
bool packFile(const std::string& payloadPath, const Bytes& manifest,
              StreamSigner& signer, const std::string& outPath,
              const ImageLayout& image = {}, const CapsuleLayout& capsule = {});

} // namespace capsule
