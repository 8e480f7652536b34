#pragma once

// Whose fault a failed decompression is. The decompressor says nothing the
// updater reads, so after it failed the updater looks at the BMC itself:
// whether the scratch area has room for the largest image, and, where it
// has not, whether the compressed body decodes at all.

#include "update/bios_image_context.hpp"

#include <cstdint>

namespace update
{

// True when the BMC, not the capsule, kept the decompressor from writing
// the image of `area`: the scratch file system has less room than the
// largest image the decompressor may write, and the body decodes cleanly
// (tested by xz itself, confined with the `required` layers as the failed
// run was: the updater never decodes a capsule's bytes), so the write is
// what failed.
bool bmcAtFault(const ScratchArea& area, std::uint32_t required) noexcept;

} // namespace update
