#pragma once

// What capsule-tool inspect found in a capsule, and its two renderings:
// text for a person, one JSON object for a script.

#include "builder/manifest.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace capsule_tool
{

struct RbuInfo
{
    bool present = false; // "$RBU" found
    unsigned length = 0;
};

// The root key that verifies a manifest.
struct RootInfo
{
    std::string fingerprint;
    bool development = false; // the development root key
    bool trusted = false;     // the key the capsule was verified against
};

struct ManifestInfo
{
    capsule::ManifestFields fields;
    std::string fingerprint; // of the image key
    capsule::Bytes bytes;
    // Empty when neither the trusted nor the development root verifies it.
    std::optional<RootInfo> root;
};

struct SlotInfo
{
    unsigned derLength = 0;
    std::size_t payloadSize = 0;
};

struct Report
{
    std::uintmax_t capsuleSize = 0;
    bool hasUefiHeader = false;
    std::string guid;
    std::uint32_t headerSize = 0;
    std::uint32_t flags = 0;
    std::uint32_t capsuleImageSize = 0;
    RbuInfo capsuleRbu;
    bool unwrapped = false;
    std::uint32_t imageSize = 0;
    RbuInfo imageRbu;
    std::optional<ManifestInfo> manifest;
    std::optional<SlotInfo> slot;
    bool verified = false;
    unsigned releaseType = 0;
    // The updater's failure and information lines.
    std::vector<std::string> messages;
};

void printText(const std::string& path, const Report& report);
// The JSON object, one line, and printed with a newline.
[[nodiscard]] std::string jsonReport(const std::string& path,
                                     const Report& report);
void printJson(const std::string& path, const Report& report);

} // namespace capsule_tool
