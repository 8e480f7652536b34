#pragma once

// Whose fault a failed decompression is. The decompressor says nothing the
// updater reads, so after it failed the updater looks at the BMC itself:
// whether the decompressor can be run at all, and whether the scratch area
// has room for what the compressed body decodes to.

#include "update/bios_image_context.hpp"

namespace update
{

// True when the BMC, not the capsule, kept the decompressor at `program`
// from writing the image of `area`: the program cannot be run, or the
// body decodes to more than the scratch file system has free (up to the
// largest image the decompressor may write, past which the image is too
// large whatever the room).
bool bmcAtFault(const char* program, const ScratchArea& area) noexcept;

} // namespace update
