#pragma once

// What capsule-tool inspect reads from a capsule and from the image
// unwrapped from it, into its report. Both files are read as untrusted:
// nothing beyond what was read is looked at.

#include "capsule_tool/inspect_report.hpp"
#include "capsule_tool/release_keys.hpp"

#include <cstdint>
#include <cstdio>

namespace capsule_tool
{

// The capsule's UEFI header fields and its RBU header.
void describeCapsule(std::FILE* file, Report& report);

// The decompressed image's RBU header, manifest and signature slot, without
// verifying them (that is the updater's code's job); `size` is the image's
// length.
void describeImage(std::FILE* image, std::uint32_t size, Report& report);

// Which root key verifies the report's manifest: the trusted one, else the
// development one.
void identifyRoot(const Bytes& trusted, Report& report);

} // namespace capsule_tool
