#pragma once

// The RBU header that opens both a capsule's payload and the decompressed
// BIOS image, and the buffer size that images are streamed through.

#include <array>
#include <cstddef>
#include <cstdint>

namespace update
{

// "$RBU" as bytes, and the same bytes read as one little-endian 32-bit word.
inline constexpr std::array<std::uint8_t, 4> rbuMagic = {0x24, 0x52, 0x42,
                                                         0x55};
inline constexpr std::uint32_t rbuSignature = 0x55425224;

// The header is read as two 32-bit words; byte 4 holds its whole length.
inline constexpr std::size_t rbuWordSize = 4;
inline constexpr std::size_t rbuWordCount = 2;
inline constexpr std::size_t rbuLengthOffset = 4;
using RbuHeaderWords = std::array<std::uint8_t, rbuWordSize * rbuWordCount>;

// Capsule bodies and images pass through one buffer of this size; neither is
// ever held whole in memory.
inline constexpr std::uint32_t streamBufferSize = 4 * 1024 * 1024;

} // namespace update
