#pragma once

// Layout of a BIOS capsule and of the image inside it, as the updater reads
// them and the capsule tools write them (docs/image-format.md):
//
//   capsule = UEFI capsule header (84 bytes, never read by the updater)
//           + RBU header ("$RBU", its whole length L in byte 4, L - 5 more)
//           + LZMA body
//   image   = RBU header + firmware manifest + data
//           + signature slot (104 bytes: a DER signature, zero-padded)

#include <array>
#include <cstddef>
#include <cstdint>

namespace capsule::layout
{

// The UEFI capsule header is skipped as a fixed length.
inline constexpr std::size_t uefiHeaderSize = 84;

// The fields of the UEFI capsule header (EFI_CAPSULE_HEADER) that the
// capsule tools write and show; the rest of its bytes are zero.
namespace uefi
{

// EFI_CAPSULE_GUID {3B6686BD-0D76-4030-B70E-B5519E2FC5A0} in memory order,
// at the start of the header.
inline constexpr std::array<std::uint8_t, 16> capsuleGuid = {
    0xBD, 0x86, 0x66, 0x3B, 0x76, 0x0D, 0x30, 0x40,
    0xB7, 0x0E, 0xB5, 0x51, 0x9E, 0x2F, 0xC5, 0xA0};

// Little-endian 32-bit words after the GUID: HeaderSize (always
// uefiHeaderSize), Flags, CapsuleImageSize (the whole capsule file).
inline constexpr std::size_t headerSizeOffset = capsuleGuid.size();
inline constexpr std::size_t flagsOffset =
    headerSizeOffset + sizeof(std::uint32_t);
inline constexpr std::size_t imageSizeOffset =
    flagsOffset + sizeof(std::uint32_t);
// Where the fields end: a file shorter than this has no header to show.
inline constexpr std::size_t fieldsEnd =
    imageSizeOffset + sizeof(std::uint32_t);
static_assert(fieldsEnd <= uefiHeaderSize);

// CAPSULE_FLAGS_PERSIST_ACROSS_RESET, the one flag this platform's
// capsules carry.
inline constexpr std::uint32_t persistAcrossReset = 0x00010000;

} // namespace uefi

// The little-endian 32-bit word at `bytes`; the caller checks that four
// bytes are there.
inline constexpr std::uint32_t readLe32(const std::uint8_t* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) |
           static_cast<std::uint32_t>(bytes[1]) << 8U |
           static_cast<std::uint32_t>(bytes[2]) << 16U |
           static_cast<std::uint32_t>(bytes[3]) << 24U;
}

// Writes `value` as a little-endian 32-bit word at `bytes`; the caller
// checks that four bytes are there.
inline constexpr void writeLe32(std::uint8_t* bytes, std::uint32_t value)
{
    for (std::size_t i = 0; i < sizeof(value); ++i)
    {
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// "$RBU" as bytes, and the same bytes read as one little-endian 32-bit word.
inline constexpr std::array<std::uint8_t, 4> rbuMagic = {0x24, 0x52, 0x42,
                                                         0x55};
inline constexpr std::uint32_t rbuSignature = readLe32(rbuMagic.data());

// An RBU header is read as two 32-bit words; byte 4 holds its whole length.
inline constexpr std::size_t rbuWordSize = 4;
inline constexpr std::size_t rbuWordCount = 2;
inline constexpr std::size_t rbuLengthOffset = 4;
using RbuHeaderWords = std::array<std::uint8_t, rbuWordSize * rbuWordCount>;

// Large enough for a DER ECDSA signature on a 384-bit curve.
inline constexpr std::size_t signatureSlotSize = 104;

// The signature in a slot is a DER SEQUENCE with a short-form length in its
// second byte: it takes that many bytes plus its two header bytes.
inline constexpr std::size_t derLengthOffset = 1;
inline constexpr std::size_t derHeaderSize = 2;
inline constexpr std::size_t derSignatureLength(std::uint8_t lengthByte)
{
    return std::size_t{lengthByte} + derHeaderSize;
}

} // namespace capsule::layout
