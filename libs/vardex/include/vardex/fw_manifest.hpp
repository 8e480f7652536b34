#pragma once

// Interface of the platform's firmware-manifest library (libvardex.so.9).
//
// The object reads the manifest that follows an image's RBU header from an
// open stdio stream, authenticates it, and hands back the public key that
// signs the image.

#include <cstdint>
#include <cstdio>
#include <vector>

class FwManifest
{
  public:
    // The stream must be positioned at the first byte after the RBU header.
    explicit FwManifest(std::FILE* stream);

    FwManifest(const FwManifest&) = delete;
    FwManifest& operator=(const FwManifest&) = delete;
    ~FwManifest();

    // Null when the manifest does not verify. Otherwise the public key
    // record: a 16-bit length in host byte order followed by that many bytes
    // of DER SubjectPublicKeyInfo. The record belongs to this object.
    const std::uint8_t* VerifyManifest();

    // The image's release type; 0 when it cannot be had. Does not depend on
    // where the stream stands.
    std::uint8_t extractReleaseType();

  private:
    std::FILE* stream;
    std::vector<std::uint8_t> manifest;
    std::vector<std::uint8_t> keyRecord;
    std::uint8_t releaseType = 0xFF;
};
