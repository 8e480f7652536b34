#pragma once

// A capsule verified as the updater would verify it: unwrapped with the
// updater's own code in a private scratch area, then verified either by the
// updater's own verification (against the root key of this build's manifest
// library) or, for a named root key, by the manifest library's checks
// against that key followed by the updater's own signature check.

#include "builder/bytes.hpp"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace capsule_tool
{

struct Verdict
{
    bool verified = false;
    unsigned releaseType = 0;
    // The updater's failure and information lines, and the tool's own.
    std::vector<std::string> messages;
};

// Called with the unwrapped image and its size before it is verified.
using ImageVisitor = std::function<void(std::FILE*, std::uint32_t)>;

// The updater's failure and information lines are repeated on standard
// error. nullopt, reported, when no scratch area can be made or the
// updater's lines cannot be captured. `root` null: the build's manifest
// library decides.
std::optional<Verdict> verifyCapsule(const std::string& path,
                                     const capsule::Bytes* root,
                                     const ImageVisitor& visit = {});

} // namespace capsule_tool
