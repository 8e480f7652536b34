// Firmware manifest reader and verifier (libvardex.so.9).
//
// The manifest layout is in vardex/manifest_format.hpp; the checks are in
// manifest_check.cpp, run here against the root key built into this library.

#include "vardex/fw_manifest.hpp"

#include "manifest_root_key.hpp"
#include "vardex/manifest_check.hpp"
#include "vardex/manifest_format.hpp"

namespace
{

namespace format = vardex::format;

} // namespace

FwManifest::FwManifest(std::FILE* stream) : stream(stream)
{}

FwManifest::~FwManifest() = default;

const std::uint8_t* FwManifest::VerifyManifest()
{
    if (!keyRecord.empty())
    {
        return keyRecord.data();
    }
    if (stream == nullptr || !vardex::readManifest(stream, manifest) ||
        !vardex::manifestAuthentic(manifest, vardex::manifestRootKeyDer.data(),
                                   vardex::manifestRootKeyDer.size()))
    {
        manifest.clear();
        return nullptr;
    }
    vardex::buildKeyRecord(manifest, keyRecord);
    releaseType = manifest[format::releaseTypeOffset];
    return keyRecord.data();
}

std::uint8_t FwManifest::extractReleaseType()
{
    // Taken from the verified manifest held in memory, never from the
    // stream; nothing until VerifyManifest has succeeded.
    return keyRecord.empty() ? 0 : releaseType;
}
