#pragma once

// Firmware manifests in the format the manifest library stand-in reads
// (vardex/manifest_format.hpp): built from keys, and parsed (not verified)
// for reports and tests.

#include "builder/keys.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace capsule
{

// The manifest as libvardex reads it: binds the image key's DER SPKI and the
// release type, signed by rootKey (ECDSA, SHA-384). Empty on failure.
Bytes buildManifest(const Key& rootKey, const Key& imageKey,
                    std::uint8_t releaseType);

// Same, with arbitrary bytes in the key field (for negative tests).
Bytes buildManifestFromDer(const Key& rootKey, const Bytes& imageKeyDer,
                           std::uint8_t releaseType);

// The part of a manifest the root key signs (with SHA-384): header and image
// key. Empty when the key does not fit.
Bytes manifestSignedPart(const Bytes& imageKeyDer, std::uint8_t releaseType);

// The signed part followed by the root's DER signature; empty when the
// signature does not fit.
Bytes completeManifest(Bytes signedPart, const Bytes& signature);

// Offsets of a built manifest's fields, for reports and for tests that
// corrupt them.
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

} // namespace capsule
