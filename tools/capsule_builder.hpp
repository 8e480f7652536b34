#pragma once

// Builds BIOS capsules, images and firmware manifests.
//
// Used by the capsule tool, the tests, the fuzz seed builders and the
// benchmarks. docs/image-format.md describes every byte produced here.
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

#include "capsule/layout.hpp"
#include "handles/openssl.hpp"

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace capsule
{

using Bytes = std::vector<std::uint8_t>;

// An owned OpenSSL key; empty (null) when loading or generating failed.
using Key = PkeyPtr;

// ---- Keys -----------------------------------------------------------------

// A private key from a PEM file (any type OpenSSL reads; the manifest
// library accepts only P-384 image keys). Empty on failure.
Key loadPrivateKey(const std::string& pemPath);

// A public key from a PEM "PUBLIC KEY" file. Empty on failure.
Key loadPublicKey(const std::string& pemPath);

// A fresh ECDSA P-384 key pair (for tests).
Key generateP384Key();

// DER SubjectPublicKeyInfo of the key's public half; empty on failure.
Bytes publicKeyDer(const EVP_PKEY* key);
inline Bytes publicKeyDer(const Key& key)
{
    return publicKeyDer(key.get());
}

// SHA-256 of the DER SubjectPublicKeyInfo, as lower-case hex.
std::string keyFingerprint(const Bytes& publicKeyDer);

// Committed development keys (NEVER for production) in the source tree:
// "manifest_root_private.pem", "manifest_root_public.pem",
// "image_signing_private.pem", "image_signing_public.pem".
std::string developmentKeyPath(const std::string& name);
std::string developmentRootKeyPath();  // manifest_root_private.pem
std::string developmentImageKeyPath(); // image_signing_private.pem

// ---- Signatures -----------------------------------------------------------

// DER ECDSA signature of `data` with the given digest; empty on failure.
Bytes signData(const std::uint8_t* data, std::size_t size, const Key& key,
               const EVP_MD* digest);

// ---- Manifest -------------------------------------------------------------

// The manifest as libvardex reads it: binds the image key's DER SPKI and the
// release type, signed by rootKey (ECDSA, SHA-384). Empty on failure.
Bytes buildManifest(const Key& rootKey, const Key& imageKey,
                    std::uint8_t releaseType);

// Same, with arbitrary bytes in the key field (for negative tests).
Bytes buildManifestFromDer(const Key& rootKey, const Bytes& imageKeyDer,
                           std::uint8_t releaseType);

// Offsets of a built manifest's fields, for tests that corrupt them.
struct ManifestFields
{
    std::uint8_t formatVersion = 0;
    std::uint8_t releaseType = 0;
    std::size_t keyOffset = 0; // DER SPKI of the image key
    std::size_t keyLength = 0;
    std::size_t signatureOffset = 0; // DER root signature
    std::size_t signatureLength = 0;
    std::size_t totalLength = 0; // whole manifest
};

// Parses (does not verify) a manifest at the start of `data`; nullopt when
// its fields are malformed or run past `size`.
std::optional<ManifestFields> parseManifest(const std::uint8_t* data,
                                            std::size_t size);

// ---- Image ----------------------------------------------------------------

using layout::signatureSlotSize;
using layout::uefiHeaderSize;

struct ImageLayout
{
    std::uint8_t rbuHeaderLength = 16;
};

// "$RBU", the length byte, zero fill: max(length, 8) bytes.
Bytes rbuHeader(std::uint8_t length);

// The little-endian 32-bit word at offset; the caller checks that four bytes
// are there.
std::uint32_t readLe32(const Bytes& bytes, std::size_t offset);

// RBU header + manifest + payload: the signed part of an image.
Bytes buildSignedPart(const Bytes& payload, const Bytes& manifest,
                      const ImageLayout& layout = {});

// 104 bytes: DER ECDSA/SHA-512 signature of signedData by imageKey,
// zero-padded. Empty on failure (or if the signature does not fit).
Bytes signatureSlot(const Bytes& signedData, const Key& imageKey);

// buildSignedPart + signatureSlot. Empty on failure.
Bytes buildImage(const Bytes& payload, const Bytes& manifest,
                 const Key& imageKey, const ImageLayout& layout = {});

// ---- Capsule --------------------------------------------------------------

struct CapsuleLayout
{
    std::uint8_t rbuHeaderLength = 16;
    std::uint32_t compressionPreset = 6; // liblzma preset 0..9
};

// The 84-byte UEFI capsule header: EFI_CAPSULE_GUID, HeaderSize 84,
// Flags CAPSULE_FLAGS_PERSIST_ACROSS_RESET, CapsuleImageSize, zero fill.
Bytes uefiCapsuleHeader(std::uint32_t capsuleImageSize);

// Legacy .lzma ("LZMA_Alone") stream of data; empty on failure.
Bytes compress(const Bytes& data, std::uint32_t preset = 6);

// Inverse of compress (accepts .lzma and .xz); nullopt on failure.
std::optional<Bytes> decompress(const Bytes& data);

// Streams a .lzma or .xz stream from `in` to `out` with fixed-size
// buffers. False on a read, write or format error.
bool decompressStream(std::FILE* in, std::FILE* out);

// UEFI header + capsule RBU header + compress(image). Empty on failure.
Bytes buildCapsule(const Bytes& image, const CapsuleLayout& layout = {});

// Everything at once: manifest from the keys, image, capsule.
Bytes buildCapsuleFromPayload(const Bytes& payload, const Key& rootKey,
                              const Key& imageKey, std::uint8_t releaseType,
                              const ImageLayout& image = {},
                              const CapsuleLayout& capsule = {});

// Streams a payload file of any size into a capsule file without holding
// either whole (fixed-size buffers only). False on any failure (the output
// file is then removed).
bool packFile(const std::string& payloadPath, const Bytes& manifest,
              const Key& imageKey, const std::string& outPath,
              const ImageLayout& image = {}, const CapsuleLayout& capsule = {});

} // namespace capsule
